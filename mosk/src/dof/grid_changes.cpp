// Import and refinement of a grid: the grid changes, then the fields on it follow (reset to
// zero after an import, carried over by interpolation or zeroed after a refinement).
#include <string>
#include <utility>

#include "core/parallel.h"
#include "dof/dof_field.h"
#include "grid/grid_impl.h"
#include "mosk.h"

using namespace mosk;

extern "C" {

void moskImport_(GRID_* grid, const char* file, int /*flag: whole file on every process*/) {
    GridImpl& g = impl_of(grid);
    require_no_callback_running(g, "import");
    const std::string path = file ? file : "";
    // Reading may fail on some processes only (a file one of them cannot see): agree on it before
    // any process changes its grid, so that all keep the old grid or all take the new one.
    MeshData mesh;
    collective(g.comm, [&] { mesh = read_mesh(path); });
    collective(g.comm, [&] {
        g.assign(std::move(mesh), path);
        reset_fields_after_import(g);
    });
}

void moskRefineAllElements(GRID_* grid, int levels) {
    if (levels <= 0) return;
    GridImpl& g = impl_of(grid);
    require_no_callback_running(g, "refinement");
    const GRID_ before = *grid;
    const size_t first_new_record = g.num_records();
    collective(g.comm, [&] {
        refine_all(g, levels);
        transfer_fields_after_refinement(g, before, first_new_record);
    });
}

}  // extern "C"
