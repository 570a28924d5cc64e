// Numbering of the values of a list of fields: fields one after another, each in its own value
// order (nodes by vertex, edge, face and element blocks, the components of a node consecutive).
#pragma once

#include <vector>

#include "grid/grid_impl.h"
#include "mosk.h"

namespace mosk {

struct MapImpl {
    std::vector<DOF_*> dofs;   // a freed field's entries become null
    std::vector<int> offsets;  // first local index of each field
    const GridImpl* grid = nullptr;
    uint64_t generation = 0;   // the grid's numbering the map was made for
    bool field_freed = false;  // one of the fields was freed before the map

    MapImpl() = default;
    MapImpl(const MapImpl&) = delete;
    MapImpl& operator=(const MapImpl&) = delete;
    ~MapImpl();  // leaves the lists of its live fields
};

// Throws std::invalid_argument for a null map, and std::logic_error when one of its fields was
// freed or the grid was refined or re-imported since the map was made (its numbering no longer
// matches the fields).
MapImpl& map_impl(MAP_* map, const char* op);

// Called when `dof`, a field of the map, is freed.
void forget_field(MapImpl& map, const DOF_* dof);

// For every leaf element, the global indices of every value of every field of the map on it
// (offsets has one entry per element plus one): the coupling pattern of a system over the map.
void element_connectivity(MAP_* map, std::vector<int>& offsets, std::vector<int>& indices);

}  // namespace mosk
