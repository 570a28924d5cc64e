// A field's values and node coordinates as whole arrays, in the global numbering of a map over
// that one field (field_value_to_global), so that they line up with that map's element indices.
#include <cmath>
#include <stdexcept>
#include <string>

#include "dof/dof_field.h"
#include "core/check.h"
#include "dof/field_numbering.h"

namespace mosk {
namespace {

// The field's value count after checking that the caller's array holds exactly that many.
int64_t checked_size(const DOF_* d, int64_t n, const void* array, const char* op) {
    grid_of(d, op);
    const int64_t size = value_blocks(*d, *d->grid).total;
    if (n != size)
        fail<std::invalid_argument>(op, std::string("field '") + d->name + "' has " +
                                    std::to_string(size) + " values, the array " +
                                    std::to_string(n));
    if (size > 0 && !array) fail<std::invalid_argument>(op, "null array");
    return size;
}

}  // namespace
}  // namespace mosk

using namespace mosk;

extern "C" {

void moskDofGetValues(DOF_* dof, double* values, int64_t n) {
    checked_size(dof, n, values, "get field values");
    const std::vector<int64_t> global = field_value_to_global(*dof);
    for (size_t i = 0; i < global.size(); ++i) values[global[i]] = dof->data[i];
}

void moskDofSetValues(DOF_* dof, const double* values, int64_t n) {
    const int64_t size = checked_size(dof, n, values, "set field values");
    for (int64_t i = 0; i < size; ++i)
        if (!std::isfinite(values[i]))
            fail<std::invalid_argument>("set field values", "value " + std::to_string(values[i]) +
                                        " at index " + std::to_string(i) +
                                        " is not finite; the field is unchanged");
    const std::vector<int64_t> global = field_value_to_global(*dof);
    for (size_t i = 0; i < global.size(); ++i) dof->data[i] = values[global[i]];
    bump_version(dof_impl(*dof));
}

void moskDofGetNodeCoordinates(DOF_* dof, double* xyz, int64_t n) {
    checked_size(dof, n, xyz, "get node coordinates");
    const GridImpl& g = grid_of(dof, "get node coordinates");
    const ValueBlocks b = value_blocks(*dof, *dof->grid);
    const std::vector<int64_t> global = field_value_to_global(*dof);
    auto store = [&](int64_t first, const Point& x) {
        for (int c = 0; c < dof->dim; ++c)
            for (int k = 0; k < 3; ++k) xyz[3 * global[size_t(first + c)] + k] = x[size_t(k)];
    };
    // Vertex values straight from the coordinates (a vertex that no element holds has values
    // too); the other nodes from the elements that hold them.
    if (dof->nvert_values > 0)
        for (int v = 0; v < g.num_vertices(); ++v)
            store(entity_value_index(*dof, b, EntityKind::Vertex, int64_t(v), 0), g.vertex(v));
    for_each_node_once(*dof, g, b, [&](const ELEMENT_& e, int k, int64_t idx) {
        if (idx >= b.edge) store(idx, node_point(g, *dof->type, e, k));
    });
}

}  // extern "C"
