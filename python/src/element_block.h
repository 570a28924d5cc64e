// ElementBlock: a run of a grid's elements handled in one call per operation, with results
// stacked along a leading element axis; exposed as _pymosk.ElementBlock, made by
// Grid.getElementBlocks (an ElementBlockIterator).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "construction.h"
#include "grid.h"
#include "mosk.h"

namespace mosk {

class ElementBlock {
public:
    GridHandle grid;  // shared copy: the grid outlives the block
    uint64_t store_id = 0;
    std::vector<ELEMENT_*> elements;
    std::vector<int> records;

    // The elements, after checking that every one is still a current leaf of its grid; throws
    // std::runtime_error otherwise, so nothing reads through a stale pointer.
    ELEMENT_** get() const;
    int size() const { return int(elements.size()); }

    static void define(pybind11::module_& m);
};

struct ElementBlockIterator {
    GridHandle grid;
    int cursor = 0;
    int block_size = 0;

    // The next block of up to block_size elements this process owns; StopIteration at the end.
    ElementBlock next();
};

}  // namespace mosk

MOSK_CONSTRUCTED_ONLY(mosk::ElementBlock)
MOSK_CONSTRUCTED_ONLY(mosk::ElementBlockIterator)
