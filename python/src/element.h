// ElementHandle: one element of a grid, borrowed, exposed as _pymosk.Element.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "construction.h"
#include "handle.h"
#include "mosk.h"

namespace mosk {

// The release object of an element's borrowed reference. It frees nothing; it records which
// element store the element came from, so that every use can ask the library whether the element
// is still a leaf of a live grid (a refined, re-imported or freed grid makes it stale).
struct ElementStamp {
    uint64_t store_id = 0;
    int record = -1;
    void operator()(ELEMENT_*) const noexcept {}
};

// A borrowed element handle stamped with its origin (null stays null).
Handle<ELEMENT_> stamped_element(ELEMENT_* e, const GRID_* grid);

class ElementHandle {
public:
    Handle<ELEMENT_> handle;  // always borrowed

    // The element, after checking that it is present and current; throws std::runtime_error
    // otherwise, so nothing reads through a stale pointer.
    ELEMENT_* get() const;

    static void define(pybind11::module_& m);
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
