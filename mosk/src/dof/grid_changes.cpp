// Import, refinement and balance of a grid: the grid changes, then the fields on it follow
// (reset to zero after an import, carried over by interpolation or zeroed after a refinement,
// carried to the processes that hold their nodes after a balance).
#include <malloc.h>

#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/check.h"
#include "core/library_state.h"
#include "core/parallel.h"
#include "dof/dof_field.h"
#include "grid/grid_impl.h"
#include "grid/migration.h"
#include "grid/parallel_refine.h"
#include "mosk.h"

namespace mosk {
namespace {

// The values of a field's nodes on one leaf, out of and into value arrays laid out by `b`, in
// the basis's own node order (its places relative to the leaf's vertices), which does not depend
// on vertex numbers: a leaf that moves keeps its vertices' order, not their numbers, and the
// nodes inside an edge or a face follow the numbers.
void leaf_values_by_node(const DOF_& d, const ValueBlocks& b, const ELEMENT_& e, const double* data,
                         double* out) {
    const ElementNodes n = element_nodes(*d.type, e);
    for (int k = 0; k < d.type->nbas; ++k)
        std::copy_n(data + value_index(d, b, e, k), d.dim,
                    out + size_t(n.order.at(k)) * size_t(d.dim));
}
void store_leaf_values_by_node(const DOF_& d, const ValueBlocks& b, const ELEMENT_& e,
                               const double* in, double* data) {
    const ElementNodes n = element_nodes(*d.type, e);
    for (int k = 0; k < d.type->nbas; ++k)
        std::copy_n(in + size_t(n.order.at(k)) * size_t(d.dim), d.dim,
                    data + value_index(d, b, e, k));
}

// Every field takes its values in `values` (laid out for the grid as it is now).
void store_values(GridImpl& g, std::vector<std::vector<double>>& values) {
    for (size_t f = 0; f < g.fields.size(); ++f) {
        DofImpl& impl = dof_impl(*g.fields[f]);
        impl.values.swap(values[f]);
        g.fields[f]->data = impl.values.data();
        bump_version(impl);
    }
}

// Once every process has made its new grid `next` and the fields' values on it, the grid takes
// `next`'s contents and every field its values; what the grid held before leaves with `next`.
// Every process takes, or none (taking allocates nothing, so it cannot fail after the
// agreement).
void take(GridImpl& g, GridImpl& next, std::vector<std::vector<double>>& values) {
    agree_so_far(g.comm);
    g.take_contents(next);
    store_values(g, values);
}

// The ghost copies of the fields' values on the new part `next` take their owners' values.
void forward_values_to_ghosts(const GridImpl& g, const GridImpl& next,
                              std::vector<std::vector<double>>& values) {
    for (size_t f = 0; f < g.fields.size(); ++f)
        forward_to_ghosts(*g.fields[f], next, values[f].data());
}

// Each process refines its part; the old part stays intact until the new one and the fields'
// values on it are made.
void refine_distributed(GridImpl& g, int levels) {
    {
        GridImpl part(nullptr, g.comm);
        const std::vector<int> source = refine_part(g, levels, part);
        std::vector<std::vector<double>> values = values_on_refined_part(g, part, source);
        forward_values_to_ghosts(g, part, values);
        take(g, part, values);
    }  // the old part leaves with `part`
    malloc_trim(0);  // see distribute_grid
}

// Each field's values on the owned leaves that move, read from the old part and sent to their
// new owners: per field, what every process sent here (by leaf, in the basis's node order).
std::vector<std::vector<std::vector<double>>> send_field_values(const GridImpl& g,
                                                                const LeafRoutes& routes) {
    std::vector<std::vector<std::vector<double>>> arrived;
    for (DOF_* d : g.fields) {
        const ValueBlocks from = value_blocks(*d, *g.record);
        const size_t per_leaf = size_t(d->type->nbas) * size_t(d->dim);
        std::vector<std::vector<double>> out(size_t(g.nprocs));
        for (size_t q = 0; q < out.size(); ++q) {
            out[q].resize(routes.sent[q].size() * per_leaf);
            for (size_t k = 0; k < routes.sent[q].size(); ++k)
                leaf_values_by_node(*d, from, g.leaf(routes.sent[q][k]), d->data,
                                    out[q].data() + k * per_leaf);
        }
        arrived.push_back(all_to_all(g.comm, std::move(out)));
    }
    return arrived;
}

// The fields' value arrays on the new part `fresh`, from the values that arrived (freed as they
// are stored); the ghosts' values follow from their owners afterwards.
std::vector<std::vector<double>> stored_field_values(
    const GridImpl& g, const GridImpl& fresh, const LeafRoutes& routes,
    std::vector<std::vector<std::vector<double>>>& arrived) {
    const GRID_ counts = fresh.counts();
    std::vector<std::vector<double>> values;
    for (size_t f = 0; f < g.fields.size(); ++f) {
        const DOF_& d = *g.fields[f];
        const ValueBlocks to = value_blocks(d, counts);
        const size_t per_leaf = size_t(d.type->nbas) * size_t(d.dim);
        std::vector<double> v(size_t(to.total), 0.0);
        for (size_t j = 0; j < routes.origins.size(); ++j) {
            const std::vector<double>& block = arrived[f][size_t(routes.origins[j].from)];
            const size_t at = size_t(routes.origins[j].at) * per_leaf;
            if (at + per_leaf > block.size())
                fail<std::logic_error>("balance", "field values do not fit the leaves moved");
            store_leaf_values_by_node(d, to, fresh.leaf(int(j)), block.data() + at, v.data());
        }
        std::vector<std::vector<double>>().swap(arrived[f]);
        values.push_back(std::move(v));
    }
    return values;
}

}  // namespace

void migrate_grid(GridImpl& g, std::span<const int> new_owner) {
    {
        LeafRoutes routes;
        HeldLeaves held = migrated_leaves(g, new_owner, routes);
        std::vector<std::vector<std::vector<double>>> arrived = send_field_values(g, routes);
        // The old part gives way before the new one is made (the two together were the peak
        // of a balance); should making the new part fail, the old one is made again from its
        // leaves, which take a fifth of its memory, and the fields' values were never touched.
        HeldLeaves before = held_leaves_of_part(g);
        const std::vector<std::vector<int>> label_sets = g.label_sets;
        GridImpl fresh(nullptr, g.comm);
        agree_so_far(g.comm);  // every process gives its old part way, or none
        std::vector<std::vector<double>> values;
        try {
            {
                GridImpl old(nullptr, g.comm);
                g.swap_contents(old);
            }
            g.owners = {};  // caches of the old part, made again on demand
            g.dirichlet.clear();
            malloc_trim(0);
            fresh.label_sets = label_sets;
            assemble_part(fresh, std::move(held));
            values = stored_field_values(g, fresh, routes, arrived);
            forward_values_to_ghosts(g, fresh, values);
            agree_so_far(g.comm);  // every process keeps the new part, or every one the old
        } catch (...) {
            // Every process makes its old part again (an exchange), so every one comes here.
            const std::exception_ptr error = agreed_failure(g.comm, std::current_exception());
            GridImpl again(nullptr, g.comm);
            again.label_sets = label_sets;
            assemble_part(again, std::move(before));
            // The same part as before, numbered alike: maps and solvers made on it stay
            // current; elements handed out before are not (their records are new).
            g.swap_contents(again);
            g.renew_store_id();
            g.update_record();
            std::rethrow_exception(error);
        }
        before = HeldLeaves{};
        take(g, fresh, values);
    }
    malloc_trim(0);  // see distribute_grid
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
                // By node: the part numbers the vertices anew, so the nodes inside an edge or a
                // face may follow another order than in the whole grid.
                leaf_values_by_node(*d, from, g.leaf(whole_leaf[size_t(i)]), d->data, leaf.data());
                store_leaf_values_by_node(*d, to, part.leaf(i), leaf.data(), v.data());
            }
            values.push_back(std::move(v));
        }
        take(g, part, values);
    }  // the whole grid leaves with `part`
    // Its pages go back to the system: freed blocks of its size would otherwise stay in the
    // heap, and the process would keep the whole grid's footprint.
    malloc_trim(0);
}

namespace {

// Reads the file `path` into g (collective, inside moskImport_'s agreement).
void import_file(GridImpl& g, const std::string& path) {
    // Reading may fail on some processes only (a file one of them cannot see): agree on it before
    // any process changes its grid, so that all keep the old grid or all take the new one.
    MeshData mesh;
    // A grid made by `read_part` (collective) becomes the grid, its fields zeroed.
    const auto take_part = [&](const std::function<void(GridImpl&)>& read_part) {
        collective(g.comm, [&] {
            GridImpl part(nullptr, g.comm);
            read_part(part);
            std::vector<std::vector<double>> values = zeroed_values(g, part);
            take(g, part, values);
            g.owners_from_balance = false;
        });
    };
    bool read = false;
    if (g.nprocs > 1) {
        // A large binary MSH 4.1 file every process reads in slices. Process 0 looks at its
        // layout; any other file (or one it cannot read) takes the way below.
        std::vector<int> sliced{0};
        if (g.rank == 0) try {
                sliced[0] = sliceable_tetrahedra(path) > library_options().read_whole_limit;
            } catch (const std::exception&) {
                // the whole read below reports it
            }
        broadcast(g.comm, 0, sliced);
        if (sliced[0]) {
            take_part([&](GridImpl& part) { assign_read_in_slices(part, path); });
            return (void)malloc_trim(0);  // what the reading held (see distribute_grid)
        }
        // Under MPI process 0 reads first: a large mesh stays there and is dealt out in parts; a
        // small one every process reads whole (and cuts at the first balance).
        collective(g.comm, [&] {
            if (g.rank == 0) mesh = read_mesh(path);
        });
        std::vector<int> size{int(std::min<size_t>(mesh.tets.size(), INT32_MAX))};
        broadcast(g.comm, 0, size);
        if (size[0] > library_options().read_whole_limit) {
            take_part([&](GridImpl& part) { assign_dealt_out(part, std::move(mesh), path); });
            return (void)malloc_trim(0);
        }
        read = g.rank == 0;
    }
    collective(g.comm, [&] {
        if (!read) mesh = read_mesh(path);
    });
    take_part([&](GridImpl& part) { part.assign(std::move(mesh), path); });
}

}  // namespace

}  // namespace mosk

using namespace mosk;

extern "C" {

void moskImport_(GRID_* grid, const char* file, int /*flag: whole file on every process*/) {
    GridImpl& g = impl_of(grid);
    require_no_callback_running(g, "import");
    // Every allocation of the import runs inside the agreement, the path's copy too.
    collective(g.comm, [&] { import_file(g, file ? file : ""); });
}

void moskRefineAllElements(GRID_* grid, int levels) {
    if (levels <= 0) return;
    GridImpl& g = impl_of(grid);
    require_no_callback_running(g, "refinement");
    collective(g.comm, [&] {
        if (g.distributed()) return refine_distributed(g, levels);
        const GRID_ before = *grid;
        const size_t first_new_record = g.num_records();
        std::vector<std::vector<double>> values;
        refine_all(g, levels, [&] {
            values = values_after_refinement(g, before, first_new_record);
            agree_so_far(g.comm);  // every process keeps the refined grid, or none
        });
        store_values(g, values);
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
        if (balance_keeps_owners(g, imbalance)) {
            // Nothing to compute or move: only a report (which reads every leaf's owner).
            if (library_options().verbosity >= 1) {
                std::vector<int> owner(size_t(g.num_leaves()));
                for (int i = 0; i < g.num_leaves(); ++i) owner[size_t(i)] = g.leaf(i).owner;
                report_partition(g, owner);
            }
        } else if (g.distributed()) {
            // Partitioned from the parts, and the leaves migrate.
            const std::vector<int> owner = partition_leaves_parallel(g, imbalance);
            report_partition(g, owner);
            // A grid that keeps its owners keeps its part (and its elements stay current).
            bool moves = false;
            for (int i = 0; i < g.part.owned_leaves && !moves; ++i)
                moves = owner[size_t(i)] != g.rank;
            if (on_any_process(g.comm, moves)) migrate_grid(g, owner);
        } else {
            // Should the cut fail, the whole grid keeps its owners too.
            std::vector<int> owner(size_t(g.num_leaves()));
            for (int i = 0; i < g.num_leaves(); ++i) owner[size_t(i)] = g.leaf(i).owner;
            try {
                balance_grid(g, imbalance);
                distribute_grid(g);
            } catch (...) {
                for (int i = 0; i < g.num_leaves(); ++i) g.leaf(i).owner = owner[size_t(i)];
                g.update_record();
                throw;
            }
        }
        g.owners_from_balance = true;
    });
}

}  // extern "C"
