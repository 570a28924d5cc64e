#include "solver/map.h"

#include <climits>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>

#include "dof/dof_field.h"

namespace mosk {

MapImpl& map_impl(MAP_* map, const char* op) {
    if (!map || !map->impl) throw std::invalid_argument(std::string("mosk: ") + op + ": null map");
    MapImpl& m = *static_cast<MapImpl*>(map->impl);
    if (!m.dofs.empty()) grid_of(m.dofs[0], op);  // throws when the grid was freed
    if (m.grid && m.grid->numbering_generation != m.generation)
        throw std::logic_error(std::string("mosk: ") + op +
                               ": the grid was refined or re-imported after the map was made");
    return m;
}

void element_connectivity(MAP_* map, std::vector<int>& offsets, std::vector<int>& indices) {
    MapImpl& m = map_impl(map, "map connectivity");
    offsets.assign(1, 0);
    indices.clear();
    if (m.dofs.empty()) return;
    GridImpl& g = grid_of(m.dofs[0], "map connectivity");
    std::vector<ValueBlocks> blocks;
    size_t per_element = 0;
    for (DOF_* d : m.dofs) {
        blocks.push_back(value_blocks(*d, *d->grid));
        per_element += size_t(d->type->nbas) * d->dim;
    }
    offsets.reserve(g.leaves.size() + 1);
    indices.reserve(g.leaves.size() * per_element);
    for (int i = 0; i < int(g.leaves.size()); ++i) {
        const ELEMENT_& e = g.leaf(i);
        for (size_t f = 0; f < m.dofs.size(); ++f) {
            const DOF_& d = *m.dofs[f];
            for (int k = 0; k < d.type->nbas; ++k) {
                const int64_t first = m.offsets[f] + value_index(d, blocks[f], e, k);
                for (int c = 0; c < d.dim; ++c) indices.push_back(int(first + c));
            }
        }
        offsets.push_back(int(indices.size()));
    }
}

std::vector<int64_t> field_value_to_global(const DOF_& d) {
    grid_of(&d, "field numbering");
    std::vector<int64_t> global(size_t(value_blocks(d, *d.grid).total));
    std::iota(global.begin(), global.end(), int64_t(0));
    return global;
}

}  // namespace mosk

using namespace mosk;

extern "C" {

MAP_* moskMapCreateN(int n, DOF_** dofs) {
    if (n < 0) throw std::invalid_argument("mosk: new map: negative field count");
    if (n > 0 && !dofs) throw std::invalid_argument("mosk: new map: null field list");
    auto impl = std::make_unique<MapImpl>();
    int64_t size = 0;
    for (int i = 0; i < n; ++i) {
        grid_of(dofs[i], "new map");
        if (dofs[i]->grid != dofs[0]->grid)
            throw std::invalid_argument("mosk: new map: the fields live on different grids");
        impl->dofs.push_back(dofs[i]);
        impl->offsets.push_back(int(size));
        size += value_blocks(*dofs[i], *dofs[i]->grid).total;
        if (size > INT_MAX) throw std::length_error("mosk: new map: more than 2^31-1 values");
    }
    auto map = std::make_unique<MAP_>();
    *map = MAP_{};
    if (n > 0) {
        impl->grid = &impl_of(dofs[0]->grid);
        impl->generation = impl->grid->numbering_generation;
    }
    map->ndofs = n;
    map->local_size = int(size);
    map->global_size = int(size);
    map->impl = impl.get();
    map->dofs = impl->dofs.empty() ? nullptr : impl->dofs.data();
    impl.release();
    return map.release();
}

void moskMapDestroy(MAP_** map) {
    if (!map || !*map) return;
    delete static_cast<MapImpl*>((*map)->impl);
    delete *map;
    *map = nullptr;
}

int moskDofMapE2D_(DOF_* dof, ELEMENT_* e, int bas, int /*flag: node index*/) {
    GridImpl& g = grid_of(dof, "element to field index");
    const ELEMENT_& el = require_leaf(g, e, "element to field index");
    return int(value_index(*dof, value_blocks(*dof, *dof->grid), el, bas));
}

int moskMapD2L_(MAP_* map, int dof_idx, int k, int /*flag: node index*/) {
    MapImpl& m = map_impl(map, "field to local index");
    if (dof_idx < 0 || dof_idx >= int(m.dofs.size()))
        throw std::out_of_range("mosk: field to local index: field number " +
                                std::to_string(dof_idx) + " outside 0.." +
                                std::to_string(int(m.dofs.size()) - 1));
    const DOF_* d = m.dofs[dof_idx];
    const int64_t size = value_blocks(*d, *grid_of(d, "field to local index").record).total;
    if (k < 0 || k >= size)
        throw std::out_of_range("mosk: field to local index: index " + std::to_string(k) +
                                " outside the field's " + std::to_string(size) + " values");
    return m.offsets[dof_idx] + k;
}

int moskMapL2G(MAP_* map, int l) {
    map_impl(map, "local to global index");
    if (l < 0 || l >= map->local_size)
        throw std::out_of_range("mosk: local to global index: " + std::to_string(l) +
                                " outside 0.." + std::to_string(map->local_size - 1));
    return l;  // one process: local and global numbering agree
}

}  // extern "C"
