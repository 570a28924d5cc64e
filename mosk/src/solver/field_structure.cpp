#include "solver/field_structure.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/parallel.h"
#include "dof/dof_field.h"
#include "grid/geometry.h"
#include "solver/map.h"

namespace mosk {

namespace {

// The coarse level's numbers of the field's vertex values (by value index; -1 elsewhere): the
// vertex values' rows in row order, this process's range of them (coarse_rstart, coarse_nlocal)
// and their count (coarse_size) in `fs`.
std::vector<int> coarse_numbers(const MapImpl& map, const DOF_& d, const ValueBlocks& b,
                                FieldStructure& fs) {
    const int first = map.offsets[0], rstart = map.rstart, nlocal = map.nlocal;
    std::vector<int> at(std::size_t(b.total), -1);
    if (!map.grid->distributed()) {
        // Every process holds every row: count them all.
        std::vector<int> coarse_of(std::size_t(map.total), -1);
        for (int64_t k = b.vert; k < b.edge; ++k)
            coarse_of[std::size_t(map.global(first + int(k)))] = 0;
        int count = 0;
        for (int r = 0; r < map.total; ++r) {
            if (r == rstart) fs.coarse_rstart = count;
            if (coarse_of[std::size_t(r)] == 0) coarse_of[std::size_t(r)] = count++;
        }
        if (rstart == map.total) fs.coarse_rstart = count;
        fs.coarse_size = count;
        for (int r = rstart; r < rstart + nlocal; ++r)
            fs.coarse_nlocal += coarse_of[std::size_t(r)] >= 0;
        for (int64_t k = b.vert; k < b.edge; ++k)
            at[std::size_t(k)] = coarse_of[std::size_t(map.global(first + int(k)))];
        return at;
    }
    // This process's vertex rows, numbered after those of the processes before it; the ghosts'
    // numbers from their owners.
    std::vector<std::pair<int, int64_t>> owned;  // (row, value index)
    for (int64_t k = b.vert; k < b.edge; ++k) {
        const int row = map.global(first + int(k));
        if (row >= rstart && row < rstart + nlocal) owned.emplace_back(row, k);
    }
    std::sort(owned.begin(), owned.end());
    const GridImpl& g = *map.grid;
    const Share range = offset_and_total(g.comm, int64_t(owned.size()));
    fs.coarse_rstart = int(range.first);
    fs.coarse_size = int(range.last);
    fs.coarse_nlocal = int(owned.size());
    std::vector<double> numbers(std::size_t(b.total), -1.0);
    for (std::size_t j = 0; j < owned.size(); ++j)
        numbers[std::size_t(owned[j].second)] = double(fs.coarse_rstart + int(j));
    forward_to_ghosts(d, g, numbers.data());
    for (int64_t k = b.vert; k < b.edge; ++k) at[std::size_t(k)] = int(numbers[std::size_t(k)]);
    return at;
}

}  // namespace

FieldStructure field_structure(const MapImpl& map, bool with_coarse) {
    FieldStructure fs;
    if (map.dofs.size() != 1 || !map.dofs[0] || !map.grid) return fs;
    const DOF_& d = *map.dofs[0];
    const DOF_TYPE_& type = *d.type;
    if (!type.continuous || type.order < 1 || type.nvert != 1) return fs;
    const int dim = d.dim;
    if (dim < 1 || map.nlocal % dim != 0) return fs;
    fs.order = type.order;
    fs.block_size = dim;
    const bool rigid = dim == 3;
    const bool coarse = with_coarse && fs.order >= 2;
    if (!rigid && !coarse) return fs;

    const GridImpl& g = *map.grid;
    const ValueBlocks b = value_blocks(d, *d.grid);
    const int first = map.offsets[0];
    const int rstart = map.rstart, nlocal = map.nlocal, nodes = nlocal / dim;

    // Coarse numbers of the vertex values (by value index), in row order.
    std::vector<int> coarse_at;
    if (coarse) {
        coarse_at = coarse_numbers(map, d, b, fs);
        if (rigid) fs.coarse_xyz.assign(std::size_t(fs.coarse_nlocal / dim) * 3, 0.0);
    }
    if (rigid) fs.node_xyz.assign(std::size_t(nodes) * 3, 0.0);

    // Every owned row's node lies on an element of this process (its owner holds it), so a walk
    // over them visits each once.
    struct Row {
        std::array<int, 4> columns;
        std::array<double, 4> values;
        int count = 0;
    };
    std::vector<Row> rows(coarse ? std::size_t(nlocal) : 0);
    std::vector<char> seen(std::size_t(nodes), 0);
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        if (g.nprocs > 1 && e.owner != g.rank) continue;
        const ElementNodes en = element_nodes(type, e);
        const TetPoints corners = element_points(g, e);
        for (int k = 0; k < type.nbas; ++k) {
            const int64_t at = first + value_index(d, b, e, k);
            const int row = map.global(int(at));
            if (row < rstart || row >= rstart + nlocal) continue;
            const int node = (row - rstart) / dim;
            if (seen[std::size_t(node)]) continue;
            seen[std::size_t(node)] = 1;
            double lambda[4];
            node_lambda(en, k, lambda);
            const Point x = point_of(corners, lambda);
            if (rigid)
                for (int c = 0; c < 3; ++c)
                    fs.node_xyz[3 * std::size_t(node) + c] = x[std::size_t(c)];
            if (!coarse) continue;
            for (int c = 0; c < dim; ++c) {
                Row& r = rows[std::size_t(map.global(int(at) + c) - rstart)];
                for (int m = 0; m < 4; ++m) {
                    if (lambda[m] <= 0) continue;
                    const int64_t v =
                        first + entity_value_index(d, b, EntityKind::Vertex, e.verts[m], 0) + c;
                    r.columns[std::size_t(r.count)] = coarse_at[std::size_t(v - first)];
                    r.values[std::size_t(r.count++)] = lambda[m];
                }
            }
            const int vertex_row = at - first < b.edge ? coarse_at[std::size_t(at - first)] : -1;
            if (rigid && vertex_row >= 0) {
                const int cnode = (vertex_row - fs.coarse_rstart) / dim;
                for (int c = 0; c < 3; ++c)
                    fs.coarse_xyz[3 * std::size_t(cnode) + c] = x[std::size_t(c)];
            }
        }
    }
    if (coarse) {
        fs.interp_offsets.assign(1, 0);
        for (const Row& r : rows) {
            for (int j = 0; j < r.count; ++j) {
                fs.interp_columns.push_back(r.columns[std::size_t(j)]);
                fs.interp_values.push_back(r.values[std::size_t(j)]);
            }
            fs.interp_offsets.push_back(int(fs.interp_columns.size()));
        }
    }
    return fs;
}

}  // namespace mosk
