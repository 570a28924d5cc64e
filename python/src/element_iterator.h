// ElementIterator: walks a grid's elements through the library's stepping function; exposed as
// _pymosk.utils.ElementIterator.
#pragma once

#include <pybind11/pybind11.h>

#include "construction.h"
#include "element.h"
#include "grid.h"
#include "handle.h"

namespace mosk {

struct ElementIterator {
    // Members go in reverse order, so the current element is let go before the grid.
    GridHandle grid;            // shared copy: the grid outlives the iterator
    Handle<ELEMENT_> current;   // borrowed; null when the last step found none
    int cursor = 0;
    int flag = 0;

    ElementIterator() = default;
    ElementIterator(GridHandle& g, int f) { init(g, f); }

    void init(GridHandle& g, int f);
    bool hasNext();
    void next() { ++cursor; }
    ElementHandle getElement() const { return ElementHandle{current}; }

    // Asks the library for the element at the cursor and makes it current.
    ELEMENT_* step();

    // Python's next(): the element at the cursor, or StopIteration.
    ElementHandle next_element();

    static void define(pybind11::module_& m);
};

}  // namespace mosk

MOSK_CONSTRUCTED_ONLY(mosk::ElementIterator)
