#include "solver/map.h"
#include "core/check.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>

#include "dof/dof_field.h"
#include "dof/field_numbering.h"

namespace mosk {

MapImpl& map_impl(MAP_* map, const char* op) {
    if (!map || !map->impl) fail<std::invalid_argument>(op, "null map");
    MapImpl& m = *static_cast<MapImpl*>(map->impl);
    if (m.field_freed_) fail<std::logic_error>(op, "a field of the map was freed before the map");
    if (!m.dofs.empty()) grid_of(m.dofs[0], op);  // throws when the grid was freed
    if (m.grid && (m.grid->numbering_generation != m.generation ||
                   m.grid->partition_generation != m.partition))
        fail<std::logic_error>(op,
                               "the grid was refined, re-imported or balanced after the map "
                               "was made");
    return m;
}

MapImpl::~MapImpl() {
    for (DOF_* d : dofs)
        if (d) {
            auto& users = dof_impl(*d).users;
            users.erase(std::remove(users.begin(), users.end(), this), users.end());
        }
}

void MapImpl::field_freed(const DOF_* dof) {
    std::replace(dofs.begin(), dofs.end(), const_cast<DOF_*>(dof), static_cast<DOF_*>(nullptr));
    field_freed_ = true;
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
    offsets.reserve(size_t(g.num_leaves()) + 1);
    indices.reserve(size_t(g.num_leaves()) * per_element);
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        for (size_t f = 0; f < m.dofs.size(); ++f) {
            const DOF_& d = *m.dofs[f];
            for (int k = 0; k < d.type->nbas; ++k) {
                const int64_t first = m.offsets[f] + value_index(d, blocks[f], e, k);
                for (int c = 0; c < d.dim; ++c) indices.push_back(m.global(int(first + c)));
            }
        }
        offsets.push_back(int(indices.size()));
    }
}

}  // namespace mosk

using namespace mosk;

extern "C" {

MAP_* moskMapCreateN(int n, DOF_** dofs) {
    if (n < 0) fail<std::invalid_argument>("new map", "negative field count");
    if (n > 0 && !dofs) fail<std::invalid_argument>("new map", "null field list");
    auto impl = std::make_unique<MapImpl>();
    int64_t size = 0;
    for (int i = 0; i < n; ++i) {
        grid_of(dofs[i], "new map");
        if (dofs[i]->grid != dofs[0]->grid)
            fail<std::invalid_argument>("new map", "the fields live on different grids");
        impl->dofs.push_back(dofs[i]);
        impl->offsets.push_back(int(size));
        size += value_blocks(*dofs[i], *dofs[i]->grid).total;
        if (size > INT_MAX) fail<std::length_error>("new map", "more than 2^31-1 values");
    }
    auto map = std::make_unique<MAP_>();
    *map = MAP_{};
    impl->total = int(size);
    impl->nlocal = int(size);
    for (DOF_* d : impl->dofs) dof_impl(*d).users.push_back(impl.get());
    if (n > 0) {
        GridImpl& g = impl_of(dofs[0]->grid);
        impl->grid = &g;
        impl->generation = g.numbering_generation;
        impl->partition = g.partition_generation;
        ValueNumbering numbering = number_values(impl->dofs, g);
        impl->rstart = numbering.rstart;
        impl->nlocal = numbering.nlocal;
        impl->global_size = numbering.global_size;
        impl->global_of = std::move(numbering.global);
        if (g.distributed())
            for (int global : impl->global_of)
                if (global < impl->rstart || global >= impl->rstart + impl->nlocal)
                    impl->ghost_globals.push_back(global);
        std::sort(impl->ghost_globals.begin(), impl->ghost_globals.end());
    } else {
        impl->global_size = int(size);
    }
    map->ndofs = n;
    map->local_size = impl->nlocal;
    map->global_size = impl->global_size;
    map->impl = impl.get();
    map->dofs = impl->dofs.empty() ? nullptr : impl->dofs.data();
    impl.release();
    return map.release();
}

void moskMapCheckCurrent(MAP_* map, const char* operation) {
    map_impl(map, operation ? operation : "map");
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
        fail<std::out_of_range>("field to local index", "field number " + std::to_string(dof_idx) +
                                                            " outside 0.." +
                                                            std::to_string(int(m.dofs.size()) - 1));
    const DOF_* d = m.dofs[dof_idx];
    const int64_t size = value_blocks(*d, *grid_of(d, "field to local index").record).total;
    if (k < 0 || k >= size)
        fail<std::out_of_range>("field to local index", "index " + std::to_string(k) +
                                                            " outside the field's " +
                                                            std::to_string(size) + " values");
    return m.local_of_global(m.global(m.offsets[dof_idx] + k));
}

int64_t moskMapBlockGlobalIndices(MAP_* map, int dof_idx, int nelem, ELEMENT_** es, int* out,
                                  int64_t capacity) {
    const char* op = "element global indices";
    MapImpl& m = map_impl(map, op);
    if (dof_idx < 0 || dof_idx >= int(m.dofs.size()))
        fail<std::out_of_range>(op, "field number " + std::to_string(dof_idx) + " outside 0.." +
                                        std::to_string(int(m.dofs.size()) - 1));
    const DOF_& d = *m.dofs[dof_idx];
    GridImpl& g = grid_of(&d, op);
    const int n = d.type->nbas;
    if (nelem < 0) fail<std::invalid_argument>(op, "negative element count");
    if (nelem > 0 && !es) fail<std::invalid_argument>(op, "null element array");
    if (!out) fail<std::invalid_argument>(op, "null output pointer");
    const int64_t need = int64_t(nelem) * n;
    if (capacity < need)
        fail<std::length_error>(op, "room for " + std::to_string(capacity) + " indices, " +
                                        std::to_string(need) + " needed");
    const ValueBlocks b = value_blocks(d, *g.record);
    for (int e = 0; e < nelem; ++e) {
        const ELEMENT_& el = require_leaf(g, es[e], op);
        int* row = out + int64_t(e) * n;
        for (int i = 0; i < n; ++i) {
            const int64_t k = value_index(d, b, el, i);
            if (k < 0 || k >= b.total)
                fail<std::out_of_range>(op, "value index " + std::to_string(k) +
                                                " outside the field's " + std::to_string(b.total) +
                                                " values");
            row[i] = m.global(m.offsets[dof_idx] + int(k));
        }
    }
    return need;
}

int moskMapElementGlobalIndices(MAP_* map, int dof_idx, ELEMENT_* e, int* out, int capacity) {
    return int(moskMapBlockGlobalIndices(map, dof_idx, 1, &e, out, capacity));
}

int moskMapL2G(MAP_* map, int l) {
    const MapImpl& m = map_impl(map, "local to global index");
    // Local indices cover every value this process holds: its own, then the others.
    if (l < 0 || l >= m.total)
        fail<std::out_of_range>("local to global index", "" + std::to_string(l) + " outside 0.." +
                                                             std::to_string(m.total - 1));
    return m.global_of_local(l);
}

}  // extern "C"
