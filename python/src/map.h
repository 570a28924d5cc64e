// MapHandle: a numbering of the values of a list of fields, exposed as _pymosk.Map.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <vector>

#include "construction.h"
#include "dof/dof.h"
#include "element.h"
#include "handle.h"
#include "mosk.h"

namespace mosk {

class MapHandle {
public:
    Handle<MAP_> handle;
    // Copies of the fields the map was made from: the library map points at their DOFs, so they
    // must live as long as the map (empty for a map a solver lends out).
    std::vector<DofHandle> fields;

    static MapHandle create(std::vector<DofHandle> dofs);

    pybind11::typing::List<int> getGlobalIndex(ElementHandle& e, int dof_idx);
    DofHandle getDof(int i);
    int getSize();
    int getGlobalSize();

    MAP_* get() const { return handle.get(); }

    static void define(pybind11::module_& m);
};

// Field number i of the map (IndexError outside its fields; null for a freed field).
DOF_* field_of(MAP_* map, int i);

// The global indices in `map` of the element's basis functions of field number dof_idx (what
// Map.getGlobalIndex and Solver.getGlobalIndex return).
pybind11::typing::List<int> element_global_indices(MAP_* map, ElementHandle& e, int dof_idx);

}  // namespace mosk

MOSK_CONSTRUCTED_ONLY(mosk::MapHandle)
