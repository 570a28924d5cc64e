// Import, refinement and balance of a grid: the grid changes, then the fields on it follow
// (reset to zero after an import, carried over by interpolation or zeroed after a refinement,
// carried to the processes that hold their nodes after a balance).
#include <malloc.h>

#include <string>
#include <utility>

#include "core/check.h"
#include "core/library_state.h"
#include "core/parallel.h"
#include "dof/dof_field.h"
#include "grid/grid_impl.h"
#include "grid/parallel_refine.h"
#include "mosk.h"

namespace mosk {
namespace {

// The values of a field's nodes on one leaf, in element order, out of and into value arrays
// laid out by `b`. A part keeps the order of the whole grid's vertex numbers, so a leaf's
// element order is the same in the whole grid and in a part.
void leaf_values(const DOF_& d, const ValueBlocks& b, const ELEMENT_& e, const double* data,
                 double* out) {
    for (int k = 0; k < d.type->nbas; ++k)
        std::copy_n(data + value_index(d, b, e, k), d.dim, out + size_t(k) * size_t(d.dim));
}
void store_leaf_values(const DOF_& d, const ValueBlocks& b, const ELEMENT_& e, const double* in,
                       double* data) {
    for (int k = 0; k < d.type->nbas; ++k)
        std::copy_n(in + size_t(k) * size_t(d.dim), d.dim, data + value_index(d, b, e, k));
}

// The grid takes `next`'s contents and every field its carried values; what the grid held
// before leaves with `next`.
void take(GridImpl& g, GridImpl& next, std::vector<std::vector<double>>& values) {
    g.take_contents(next);
    for (size_t f = 0; f < g.fields.size(); ++f) {
        DofImpl& impl = dof_impl(*g.fields[f]);
        impl.values.swap(values[f]);
        g.fields[f]->data = impl.values.data();
        bump_version(impl);
    }
}

// Each process refines its part; the old part stays intact until the new one and the fields'
// values on it are made.
void refine_distributed(GridImpl& g, int levels) {
    {
        GridImpl part(nullptr, g.comm);
        const std::vector<int> source = refine_part(g, levels, part);
        std::vector<std::vector<double>> values = values_on_refined_part(g, part, source);
        take(g, part, values);
    }  // the old part leaves with `part`
    for (DOF_* d : g.fields) update_ghost_values(*d);
    malloc_trim(0);  // see distribute_grid
}

}  // namespace

void gather_whole_grid(GridImpl& g) {
    GridImpl whole(nullptr, g.comm);
    const std::vector<int> received = whole.gather_whole_of(g);
    const GRID_ counts = whole.counts();
    std::vector<std::vector<double>> values;
    for (DOF_* d : g.fields) {
        // The values on every process's owned leaves, in the order of those leaves.
        const ValueBlocks from = value_blocks(*d, *g.record), to = value_blocks(*d, counts);
        const size_t per_leaf = size_t(d->type->nbas) * size_t(d->dim);
        std::vector<double> mine(size_t(g.part.owned_leaves) * per_leaf);
        for (int i = 0; i < g.part.owned_leaves; ++i)
            leaf_values(*d, from, g.leaf(i), d->data, mine.data() + size_t(i) * per_leaf);
        const std::vector<double> all = gather_all(g.comm, std::span<const double>(mine));
        std::vector<double> v(size_t(to.total), 0.0);
        for (int i = 0; i < whole.num_leaves(); ++i)
            store_leaf_values(*d, to, whole.leaf(i),
                              all.data() + size_t(received[size_t(i)]) * per_leaf, v.data());
        values.push_back(std::move(v));
    }
    take(g, whole, values);
    malloc_trim(0);  // the part's pages (see distribute_grid)
}

void distribute_grid(GridImpl& g) {
    {
        GridImpl part(nullptr, g.comm);
        const std::vector<int> whole_leaf = part.cut_part_of(g);
        const GRID_ counts = part.counts();
        std::vector<std::vector<double>> values;
        for (DOF_* d : g.fields) {
            const ValueBlocks from = value_blocks(*d, *g.record), to = value_blocks(*d, counts);
            std::vector<double> v(size_t(to.total), 0.0), leaf(size_t(d -> type->nbas) * d->dim);
            for (int i = 0; i < part.num_leaves(); ++i) {
                leaf_values(*d, from, g.leaf(whole_leaf[size_t(i)]), d->data, leaf.data());
                store_leaf_values(*d, to, part.leaf(i), leaf.data(), v.data());
            }
            values.push_back(std::move(v));
        }
        take(g, part, values);
    }  // the whole grid leaves with `part`
    // Its pages go back to the system: freed blocks of its size would otherwise stay in the
    // heap, and the process would keep the whole grid's footprint.
    malloc_trim(0);
}

}  // namespace mosk

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
    collective(g.comm, [&] {
        if (g.distributed()) return refine_distributed(g, levels);
        const GRID_ before = *grid;
        const size_t first_new_record = g.num_records();
        refine_all(g, levels);
        transfer_fields_after_refinement(g, before, first_new_record);
    });
}

void moskBalanceGrid_(GRID_* grid, double imbalance, int, int64_t, int64_t, int comm, int64_t) {
    GridImpl& g = impl_of(grid);
    require_no_callback_running(g, "balance");
    // No process can hold less than the mean; NaN is no bound at all.
    if (!(imbalance >= 1.0))
        fail<std::invalid_argument>(
            "balance", "the imbalance must be a number >= 1, got " + format_double(imbalance));
    process_count(comm);  // a wrong communicator handle is caught here already
    if (g.nprocs == 1) return;  // one process holds every element: nothing to move
    collective(g.comm, [&] {
        // A distributed grid is partitioned whole for now (see refinement).
        if (g.distributed()) gather_whole_grid(g);
        balance_grid(g, imbalance);
        distribute_grid(g);
    });
}

}  // extern "C"
