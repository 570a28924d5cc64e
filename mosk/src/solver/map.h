// Numbering of the values of a list of fields: fields one after another, each in its own value
// order (nodes by vertex, edge, face and element blocks, the components of a node consecutive).
#pragma once

#include <cstdint>
#include <vector>

#include "grid/grid_impl.h"
#include "mosk.h"

namespace mosk {

struct MapImpl {
    std::vector<DOF_*> dofs;
    std::vector<int> offsets;  // first local index of each field
    const GridImpl* grid = nullptr;
    uint64_t generation = 0;   // the grid's numbering the map was made for
};

// Throws std::invalid_argument for a null map, and std::logic_error when the grid was refined or
// re-imported since the map was made (its numbering no longer matches the fields).
MapImpl& map_impl(MAP_* map, const char* op);

// For every leaf element, the global indices of every value of every field of the map on it
// (offsets has one entry per element plus one): the coupling pattern of a system over the map.
void element_connectivity(MAP_* map, std::vector<int>& offsets, std::vector<int>& indices);

// For each value index of the field (its position in DOF_::data), the global index of that value
// in a map over this one field. Field values exchanged with callers as whole arrays are in this
// order, so that they line up with the element indices of such a map. On one process the
// numbering is the field's own and this is the identity.
std::vector<int64_t> field_value_to_global(const DOF_& d);

}  // namespace mosk
