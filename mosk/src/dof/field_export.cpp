// Export of a grid with fields: the fields' values at the vertices (point data) or on the
// elements (cell data), written by the grid's VTK export.
#include <stdexcept>
#include <string>
#include <vector>

#include "core/parallel.h"
#include "core/check.h"
#include "dof/dof_layout.h"
#include "grid/grid_export.h"
#include "mosk.h"

namespace mosk {
namespace {

// The DOF records as VtkFields: fields with vertex values become point data (their values at
// the vertices; higher-order nodes on edges and faces are not written), piecewise constants cell
// data in leaf order.
std::vector<VtkField> fields_of_dofs(const GridImpl& grid, int n, DOF_** dofs) {
    if (n < 0) fail<std::invalid_argument>("export", "negative field count " + std::to_string(n));
    if (n > 0 && !dofs) fail<std::invalid_argument>("export", "null field list");
    std::vector<VtkField> fields;
    for (int i = 0; i < n; ++i) {
        const DOF_* d = dofs[i];
        // A record without a grid was never made by moskDofNew_.
        if (!d || !d->grid) fail<std::invalid_argument>("export", "null field");
        if (d->grid != grid.record)
            fail("export",
                 "field '" + std::string(d->name ? d->name : "") + "' lives on another grid");
        const ValueBlocks b = value_blocks(*d, *grid.record);
        // A field of an empty grid holds no values, and then no storage either.
        if (!d->data && b.total > 0) fail<std::invalid_argument>("export", "null field");
        VtkField f;
        f.name = d->name ? d->name : "";
        f.components = d->dim;
        // The first node's values on each vertex (point data) or element (cell data).
        auto take = [&](EntityKind kind, size_t count) {
            f.values.resize(count * size_t(d->dim));
            for (size_t i = 0; i < count; ++i)
                for (int c = 0; c < d->dim; ++c)
                    f.values[i * d->dim + c] =
                        d->data[entity_value_index(*d, b, kind, int64_t(i), 0) + c];
        };
        if (d->nvert_values > 0) {
            f.cell_data = false;
            take(EntityKind::Vertex, size_t(grid.num_vertices()));
        } else if (d->nelem_values > 0) {
            f.cell_data = true;
            take(EntityKind::Interior, size_t(grid.num_leaves()));
        } else {
            fail("export", "field '" + std::string(d->name ? d->name : "") +
                               "' has neither vertex nor element values");
        }
        fields.push_back(std::move(f));
    }
    return fields;
}

}  // namespace
}  // namespace mosk

using namespace mosk;

namespace {

void export_fields(GRID_* grid, const char* file, int n, DOF_** dofs, const double* time) {
    if (!file) fail<std::invalid_argument>("export", "null file name");
    GridImpl& g = impl_of(grid);
    std::vector<VtkField> fields;
    collective(g.comm, [&] { fields = fields_of_dofs(g, n, dofs); });
    write_vtk(g, file, fields, time);
}

}  // namespace

extern "C" void moskExportVTKn(GRID_* grid, const char* file, int n, DOF_** dofs) {
    export_fields(grid, file, n, dofs, nullptr);
}

extern "C" void moskExportVTKTime(GRID_* grid, const char* file, double time, int n, DOF_** dofs) {
    export_fields(grid, file, n, dofs, &time);
}
