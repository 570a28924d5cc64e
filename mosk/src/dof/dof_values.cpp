// A field's values and node coordinates as arrays: this process's values in the field's own
// order, with their global numbers in a map over that one field (field_value_to_global); or the
// whole array in that global numbering, which on a distributed grid is gathered from the owners.
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/check.h"
#include "core/parallel.h"
#include "dof/dof_field.h"
#include "dof/field_numbering.h"

namespace mosk {
namespace {

// n < 0: the caller's array is not one-dimensional. `where`: whose values the field has.
void check_array(const DOF_* d, int64_t n, int64_t size, const void* array, const char* op,
                 const char* where) {
    if (n != size)
        fail<std::invalid_argument>(
            op, std::string("field '") + d->name + "' has " + std::to_string(size) + " values " +
                    where + ", so a one-dimensional array of that length is needed; got " +
                    (n < 0 ? std::string("an array that is not one-dimensional")
                           : "one of length " + std::to_string(n)));
    if (size > 0 && !array) fail<std::invalid_argument>(op, "null array");
}
constexpr const char* kLocal = "on this process";
constexpr const char* kWhole = "over all processes";

// The number of values this process holds, after checking that the caller's array holds as many.
int64_t checked_local_size(const DOF_* d, int64_t n, const void* array, const char* op) {
    grid_of(d, op);
    const int64_t size = value_blocks(*d, *d->grid).total;
    check_array(d, n, size, array, op, kLocal);
    return size;
}

void check_finite(const double* values, int64_t size, const char* op) {
    for (int64_t i = 0; i < size; ++i)
        if (!std::isfinite(values[i]))
            fail<std::invalid_argument>(op, "value " + std::to_string(values[i]) + " at index " +
                                                std::to_string(i) +
                                                " is not finite; the field is unchanged");
}

// The node of every value of the field (3 coordinates per value, the field's own order).
std::vector<double> node_coordinates(const DOF_& d, const GridImpl& g) {
    const ValueBlocks b = value_blocks(d, *d.grid);
    std::vector<double> xyz(size_t(b.total) * 3);
    auto store = [&](int64_t first, const Point& x) {
        for (int c = 0; c < d.dim; ++c)
            for (int k = 0; k < 3; ++k) xyz[3 * size_t(first + c) + size_t(k)] = x[size_t(k)];
    };
    // Vertex values straight from the coordinates (a vertex that no element holds has values
    // too); the other nodes from the elements that hold them.
    if (d.nvert_values > 0)
        for (int v = 0; v < g.num_vertices(); ++v)
            store(entity_value_index(d, b, EntityKind::Vertex, int64_t(v), 0), g.vertex(v));
    for_each_node_once(d, g, b, [&](const ELEMENT_& e, int k, int64_t idx) {
        if (idx >= b.edge) store(idx, node_point(g, *d.type, e, k));
    });
    return xyz;
}

// `per` numbers per value of the field (its values, or its nodes' coordinates) as the whole
// array in the global numbering: the owners' entries gathered on every process of a distributed
// grid.
void whole_array(const DOF_& d, GridImpl& g, const std::vector<int64_t>& global,
                 const double* local, int per, double* whole) {
    if (!g.distributed()) {
        for (size_t i = 0; i < global.size(); ++i)
            for (int c = 0; c < per; ++c)
                whole[global[i] * per + c] = local[i * size_t(per) + size_t(c)];
        return;
    }
    const ValueBlocks b = value_blocks(d, *d.grid);
    std::vector<int> at;
    std::vector<double> mine;
    for (size_t i = 0; i < global.size(); ++i) {
        if (!owns_value(d, g, b, int64_t(i))) continue;
        at.push_back(int(global[i]));
        for (int c = 0; c < per; ++c) mine.push_back(local[i * size_t(per) + size_t(c)]);
    }
    const std::vector<int> all_at = gather_all(g.comm, std::span<const int>(at));
    const std::vector<double> all = gather_all(g.comm, std::span<const double>(mine));
    for (size_t j = 0; j < all_at.size(); ++j)
        for (int c = 0; c < per; ++c)
            whole[size_t(all_at[j]) * size_t(per) + size_t(c)] = all[j * size_t(per) + size_t(c)];
}

// The field's size over all processes and the global number of each of its values here.
struct FieldGlobal {
    std::vector<int64_t> global;
    int64_t size = 0;
    int64_t first = 0, last = 0;  // this process's own global numbers
};

FieldGlobal field_global(DOF_* d, const char* op) {
    GridImpl& g = grid_of(d, op);
    FieldGlobal f;
    collective(g.comm, [&] {
        const ValueNumbering n = number_values({d}, g);
        f.size = n.global_size;
        f.first = n.rstart;
        f.last = n.rstart + n.nlocal;
        if (n.global.empty()) {
            f.global.resize(size_t(n.nlocal));
            for (size_t i = 0; i < f.global.size(); ++i) f.global[i] = int64_t(i);
        } else {
            f.global.assign(n.global.begin(), n.global.end());
        }
    });
    return f;
}

}  // namespace
}  // namespace mosk

using namespace mosk;

extern "C" {

int64_t moskDofGetGlobalSize(DOF_* dof) {
    const GRID_& g = *grid_of(dof, "field size").record;
    return dof->nvert_values * g.nvert_global + dof->nedge_values * g.nedge_global +
           dof->nface_values * g.nface_global + dof->nelem_values * g.nelem_global;
}

void moskDofGetGlobalIndices(DOF_* dof, int64_t* global, uint8_t* owned, int64_t n) {
    const char* op = "field global indices";
    checked_local_size(dof, n, global, op);
    const FieldGlobal f = field_global(dof, op);
    std::copy(f.global.begin(), f.global.end(), global);
    if (owned)
        for (size_t i = 0; i < f.global.size(); ++i)
            owned[i] = f.global[i] >= f.first && f.global[i] < f.last;
}

void moskDofGetLocalValues(DOF_* dof, double* values, int64_t n) {
    const int64_t size = checked_local_size(dof, n, values, "get field values");
    std::copy(dof->data, dof->data + size, values);
}

void moskDofSetLocalValues(DOF_* dof, const double* values, int64_t n) {
    const char* op = "set field values";
    GridImpl& g = grid_of(dof, op);
    // The array's length may be wrong on one process only: all learn of it.
    int64_t size = 0;
    collective(g.comm, [&] {
        size = checked_local_size(dof, n, values, op);
        check_finite(values, size, op);
    });
    std::copy(values, values + size, dof->data);
    update_ghost_values(*dof);
    bump_version(dof_impl(*dof));
}

void moskDofGetLocalNodeCoordinates(DOF_* dof, double* xyz, int64_t n) {
    const int64_t size = checked_local_size(dof, n, xyz, "get node coordinates");
    const std::vector<double> all = node_coordinates(*dof, grid_of(dof, "get node coordinates"));
    std::copy(all.begin(), all.begin() + 3 * size, xyz);
}

void moskDofGetValues(DOF_* dof, double* values, int64_t n) {
    const char* op = "get field values";
    const FieldGlobal f = field_global(dof, op);
    GridImpl& g = grid_of(dof, op);
    collective(g.comm, [&] { check_array(dof, n, f.size, values, op, kWhole); });
    whole_array(*dof, g, f.global, dof->data, 1, values);
}

void moskDofSetValues(DOF_* dof, const double* values, int64_t n) {
    const char* op = "set field values";
    const FieldGlobal f = field_global(dof, op);
    GridImpl& g = grid_of(dof, op);
    collective(g.comm, [&] {
        check_array(dof, n, f.size, values, op, kWhole);
        check_finite(values, f.size, op);
    });
    for (size_t i = 0; i < f.global.size(); ++i) dof->data[i] = values[f.global[i]];
    update_ghost_values(*dof);  // processes given different arrays still agree
    bump_version(dof_impl(*dof));
}

void moskDofGetNodeCoordinates(DOF_* dof, double* xyz, int64_t n) {
    const char* op = "get node coordinates";
    const FieldGlobal f = field_global(dof, op);
    GridImpl& g = grid_of(dof, op);
    collective(g.comm, [&] { check_array(dof, n, f.size, xyz, op, kWhole); });
    whole_array(*dof, g, f.global, node_coordinates(*dof, g).data(), 3, xyz);
}

}  // extern "C"
