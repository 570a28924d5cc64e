// ElementHandle: one element of a grid, borrowed, exposed as _pymosk.Element.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "construction.h"
#include "mosk.h"

namespace mosk {

// One element of a grid, borrowed, with the origin that lets every use ask the library whether
// it is still a leaf of a live grid (a refined, re-imported or freed grid makes it stale). A plain
// value: the iterator hands out one per element, so it costs no allocation of its own.
class ElementHandle {
public:
    ElementHandle() = default;
    ElementHandle(ELEMENT_* e, const GRID_* grid);  // null stays null

    // The element, after checking that it is present and current; throws std::runtime_error
    // otherwise, so nothing reads through a stale pointer.
    ELEMENT_* get() const;

    static void define(pybind11::module_& m);

private:
    ELEMENT_* element_ = nullptr;
    uint64_t store_id_ = 0;
    int record_ = -1;
};

// Registers the element quadrature methods (element_quadrature.cpp).
void define_element_quadrature(pybind11::class_<ElementHandle>& cls);

template <class T>
std::string vec2str(const std::vector<T>& v) {
    std::ostringstream s;
    s << "[";
    for (size_t i = 0; i < v.size(); ++i) {
        if (i) s << ",";
        s << v[i];
    }
    s << "]";
    return s.str();
}

}  // namespace mosk

MOSK_CONSTRUCTED_ONLY(mosk::ElementHandle)
