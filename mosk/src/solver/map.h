// Numbering of the values of a list of fields.
//
// Serial order: fields one after another, each in its own value order (nodes by vertex, edge,
// face and element blocks, the components of a node consecutive); position offsets[f] + k is
// value k of field f.
//
// Global numbering: process-major, so that each process owns one contiguous range of global
// indices (PETSc's layout): first every value owned by process 0 (field by field, each in serial
// order), then process 1's, and so on. A value belongs to the owner of its node's vertex, edge,
// face or element (entity_owners). On one process the global numbering is the serial order.
//
// Local numbering (per process): the owned values first (local l is global rstart + l), then
// every other value the process holds in increasing global order. While every process holds
// the whole grid it holds every value; on a distributed grid the values of its part.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "dof/dof_field.h"
#include "grid/grid_impl.h"
#include "mosk.h"

namespace mosk {

struct MapImpl final : FieldUser {
    std::vector<DOF_*> dofs;   // a freed field's entries become null
    std::vector<int> offsets;  // first serial position of each field
    const GridImpl* grid = nullptr;
    uint64_t generation = 0;   // the grid's numbering the map was made for
    uint64_t partition = 0;    // the grid's owners the map was made for
    bool field_freed_ = false;  // one of the fields was freed before the map
    int total = 0;             // values of all fields that this process holds
    int global_size = 0;       // values over all processes
    int rstart = 0, nlocal = 0;  // this process's range of global indices
    // Global index of each serial position; empty when they agree (one process).
    std::vector<int> global_of;
    // A distributed grid: the global indices of the values held but not owned, increasing.
    std::vector<int> ghost_globals;

    MapImpl() = default;
    MapImpl(const MapImpl&) = delete;
    MapImpl& operator=(const MapImpl&) = delete;
    ~MapImpl() override;  // leaves the lists of its live fields
    void field_freed(const DOF_* dof) override;  // the map is stale from then on

    int global(int serial) const { return global_of.empty() ? serial : global_of[serial]; }
    int local_of_global(int g) const {
        if (g >= rstart && g < rstart + nlocal) return g - rstart;
        if (total == global_size) return nlocal + (g < rstart ? g : g - nlocal);
        return nlocal + int(std::lower_bound(ghost_globals.begin(), ghost_globals.end(), g) -
                            ghost_globals.begin());
    }
    int global_of_local(int l) const {
        if (l < nlocal) return rstart + l;
        const int j = l - nlocal;
        if (total != global_size) return ghost_globals[size_t(j)];
        return j < rstart ? j : j + nlocal;
    }
};

// Throws std::invalid_argument for a null map, and std::logic_error when one of its fields was
// freed or the grid was refined, re-imported or re-balanced since the map was made (its
// numbering no longer matches the fields).
MapImpl& map_impl(MAP_* map, const char* op);

// For every leaf element, the global indices of every value of every field of the map on it
// (offsets has one entry per element plus one): the coupling pattern of a system over the map.
void element_connectivity(MAP_* map, std::vector<int>& offsets, std::vector<int>& indices);


}  // namespace mosk
