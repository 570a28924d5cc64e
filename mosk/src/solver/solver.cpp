// Solvers: a linear system over a map of fields, preallocated from the fields' element
// connectivity, assembled by additions, solved by a named kind, and solved into the fields.
#include <malloc.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "core/library_state.h"
#include "core/check.h"
#include "core/parallel.h"
#include "dof/dof_field.h"
#include "solver/field_structure.h"
#include "solver/map.h"
#include "solver/petsc_system.h"
#include "solver/solver_kinds.h"

namespace {

// The public kind records, made from the library's table of kinds (solver_kinds.cpp) when the
// library is loaded. Index 0 is the default kind: the one named by the -solver option, else "cg".
MOSK_SOLVER_KIND_ kind_records[mosk::kSolverKindCount + 1];
MOSK_SOLVER_KIND_& kind_default = kind_records[0];

struct SolverImpl {
    MAP_* map = nullptr;
    MOSK_MATRIX_ matrix{};
    MOSK_VECTOR_ rhs{};
    std::unique_ptr<mosk::LinearSystem> system;
    std::vector<double> solution;

    ~SolverImpl() { moskMapDestroy(&map); }
};

// Every entry point of a solver comes through here, so none can forget that a solver whose grid
// changed, or one of whose fields was freed, is refused (map_impl's checks).
SolverImpl& solver_impl(SOLVER_* s, const char* op) {
    if (!s || !s->impl) mosk::fail<std::invalid_argument>(op, "null solver");
    auto& impl = *static_cast<SolverImpl*>(s->impl);
    mosk::map_impl(impl.map, op);
    return impl;
}

mosk::LinearSystem& system_of(void* impl, const char* op) {
    if (!impl) mosk::fail<std::invalid_argument>(op, "null record");
    return *static_cast<SolverImpl*>(impl)->system;
}

std::string kind_name(const MOSK_SOLVER_KIND_* kind) {
    if (!kind) kind = &kind_default;
    if (kind != &kind_default) return kind->name;
    const std::string& chosen = mosk::library_options().solver;
    return chosen.empty() ? "cg" : chosen;
}

std::string kind_name(const SOLVER_* s) { return kind_name(s->kind); }

}  // namespace

MOSK_SOLVER_KIND_* moskSolverList_[mosk::kSolverKindCount + 2];
const char* moskSolverNames_[mosk::kSolverKindCount + 2];

namespace {
const bool kind_tables_made = [] {
    kind_records[0] = {"default", "the kind of the -solver option, else cg", nullptr};
    moskSolverList_[0] = &kind_records[0];
    moskSolverNames_[0] = "default";
    int i = 1;
    for (const mosk::SolverKind& k : mosk::solver_kinds()) {
        kind_records[i] = {k.name, k.description, const_cast<mosk::SolverKind*>(&k)};
        moskSolverList_[i] = &kind_records[i];
        moskSolverNames_[i] = k.alias;
        ++i;
    }
    moskSolverList_[i] = nullptr;
    moskSolverNames_[i] = nullptr;
    return true;
}();
}  // namespace

using namespace mosk;

extern "C" {

MOSK_SOLVER_KIND_* moskSolverKindByName(const char* name) {
    if (!name) return nullptr;
    const std::string_view wanted(name);
    for (int i = 1; moskSolverList_[i] && moskSolverNames_[i]; ++i)
        if (wanted == moskSolverList_[i]->name || wanted == moskSolverNames_[i])
            return moskSolverList_[i];
    return nullptr;
}

SOLVER_* moskSolverCreateN(MOSK_SOLVER_KIND_* kind, int n, DOF_** dofs) {
    if (n < 1) fail<std::invalid_argument>("new solver", "it needs at least one field");
    auto impl = std::make_unique<SolverImpl>();
    impl->map = moskMapCreateN(n, dofs);
    const MapImpl& map = map_impl(impl->map, "new solver");
    const SolverKind* known = find_solver_kind(kind_name(kind));
    const FieldUse field_use = known ? known->field_use : FieldUse::None;
    collective(map.grid->comm, [&] {
        std::vector<int> offsets, indices;
        element_connectivity(impl->map, offsets, indices);
        FieldStructure structure;
        if (field_use != FieldUse::None)
            structure = field_structure(map, field_use == FieldUse::Multigrid);
        RowLayout layout;
        layout.block_size = structure.block_size;
        if (map.grid->nprocs > 1) {
            layout.rstart = map.rstart;
            layout.nlocal = map.nlocal;
            layout.mine.resize(std::size_t(map.grid->num_leaves()));
            for (std::size_t i = 0; i < layout.mine.size(); ++i)
                layout.mine[i] = map.grid->leaf(int(i)).owner == map.grid->rank;
        }
        impl->system = std::make_unique<LinearSystem>(impl->map->global_size, std::move(offsets),
                                                      std::move(indices), map.grid->comm, layout);
        if (structure.block_size > 1 || structure.multilevel())
            impl->system->set_field_structure(std::move(structure));
    });
    // As after the grid's distributed operations: the pages of the pattern's scratch go back to
    // the system rather than stay in the heap beside the matrix. (One process keeps them: there
    // they come from what the read left in the heap, and the solver's set-up reuses them.)
    if (map.grid && map.grid->distributed()) malloc_trim(0);
    // A distributed grid's solver receives the values its process holds, by serial position.
    impl->solution.assign(size_t(map.grid && map.grid->distributed() ? map.total : map.global_size),
                          0.0);
    auto s = std::make_unique<SOLVER_>();
    *s = SOLVER_{};
    impl->matrix = MOSK_MATRIX_{impl->map, 0, impl.get()};
    impl->rhs = MOSK_VECTOR_{impl->map, impl.get()};
    s->matrix = &impl->matrix;
    s->matrix2 = nullptr;
    s->rhs = &impl->rhs;
    s->rtol = library_options().solver_rtol;
    s->maxit = library_options().solver_maxit;
    s->symmetry = UNSYM;
    s->kind = kind ? kind : moskSolverList_[0];
    const std::string name = kind_name(s.get());
    if (!find_solver_kind(name))
        fail<std::invalid_argument>(
            "new solver", "unknown kind '" + name + "' (known: " + solver_kind_names() + ")");
    s->impl = impl.release();
    return s.release();
}

void moskSolverDestroy(SOLVER_** solver) {
    if (!solver || !*solver) return;
    delete static_cast<SolverImpl*>((*solver)->impl);
    delete *solver;
    *solver = nullptr;
}

// The arguments are checked once, by the system that receives them (LinearSystem::add_block and
// add_rhs); here only what is the solver's own: the matrix or vector and its map.
void moskMatAddEntries_(MOSK_MATRIX_* m, int nrows, const int* rows, int ncols, const int* cols,
                        const double* vals, int, int, int) {
    const char* op = "add matrix entries";
    if (!m) fail<std::invalid_argument>(op, "null matrix");
    map_impl(m->map, op);
    system_of(m->impl, op).add_block(nrows, rows, ncols, cols, vals);
}

void moskVecAddEntries_(MOSK_VECTOR_* v, int, int n, const int* idx, const double* vals, int, int) {
    const char* op = "add right-hand-side entries";
    if (!v) fail<std::invalid_argument>(op, "null vector");
    map_impl(v->map, op);
    system_of(v->impl, op).add_rhs(n, idx, vals);
}

int moskSolverSolveN(SOLVER_* s, int /*flag*/, int n, DOF_** dofs) {
    SolverImpl& impl = solver_impl(s, "solve");
    MapImpl& map = map_impl(impl.map, "solve");
    if (impl.matrix.flag != 0)
        fail<std::logic_error>("solve",
                               "a boundary treatment by the solver (matrix flag 1) is not "
                               "supported; treat Dirichlet rows in the element systems and clear "
                               "the flag");
    if (n != int(map.dofs.size()) || (n > 0 && !dofs))
        fail<std::invalid_argument>("solve",
                                    "the solver was made over " + std::to_string(map.dofs.size()) +
                                        " field(s), the solution asked for " + std::to_string(n));
    for (int i = 0; i < n; ++i) {
        grid_of(dofs[i], "solve");
        if (dofs[i]->grid != map.dofs[i]->grid ||
            value_blocks(*dofs[i], *dofs[i]->grid).total !=
                value_blocks(*map.dofs[i], *map.dofs[i]->grid).total)
            fail<std::invalid_argument>(
                "solve", "field " + std::to_string(i) + " ('" + dofs[i]->name +
                             "') does not match the solver's field '" + map.dofs[i]->name + "'");
    }
    const std::string name = kind_name(s);
    // A distributed grid's process receives the values it holds, in the map's serial order.
    const bool held = map.grid && map.grid->distributed();
    SolveResult r;
    try {
        collective(map.grid->comm, [&] {
            r = impl.system->solve_at(name, s->rtol, s->maxit, s->symmetry,
                                      held ? LinearSystem::Held(map.global_of) : std::nullopt,
                                      impl.solution);
        });
    } catch (const SolveFailure& failure) {
        // The record shows the failed attempt; the fields keep their values.
        s->iterations = failure.result.iterations;
        s->residual = failure.result.relative_residual();
        throw;
    }
    s->iterations = r.iterations;
    s->residual = r.relative_residual();
    log_message(1, "solve (" + name + ", " + r.ksp_type + "/" + r.pc_type +
                       (r.setup_kept ? ", set-up kept" : ", set up") +
                       "): " + std::to_string(r.iterations) + " iterations, relative residual " +
                       format_double(s->residual));
    for (int i = 0; i < n; ++i) {
        const int64_t size = value_blocks(*dofs[i], *dofs[i]->grid).total;
        if (map.global_of.empty() || held) {
            std::copy(impl.solution.begin() + map.offsets[i],
                      impl.solution.begin() + map.offsets[i] + size, dofs[i]->data);
        } else {
            for (int64_t k = 0; k < size; ++k)
                dofs[i]->data[k] = impl.solution[map.global_of[map.offsets[i] + k]];
        }
        bump_version(dof_impl(*dofs[i]));
    }
    return r.iterations;
}

void moskSolverDumpMATLAB_(SOLVER_* s, const char* matrix_file, const char* rhs_file,
                           void* /*reserved*/, int /*flag*/) {
    SolverImpl& impl = solver_impl(s, "MATLAB dump");
    if (!matrix_file || !rhs_file) fail<std::invalid_argument>("MATLAB dump", "null file name");
    const MapImpl& map = map_impl(impl.map, "MATLAB dump");
    collective(map.grid->comm, [&] { impl.system->write_matlab(matrix_file, rhs_file); });
}

void moskSolverZeroMatrix(SOLVER_* s) { solver_impl(s, "zero matrix").system->zero_matrix(); }

void moskSolverZeroRHS(SOLVER_* s) { solver_impl(s, "zero right-hand side").system->zero_rhs(); }

void moskSolverSetOptions(SOLVER_* s, const char* options) {
    SolverImpl& impl = solver_impl(s, "solver options");
    if (!options) fail<std::invalid_argument>("solver options", "null text");
    double rtol = s->rtol;
    int maxit = s->maxit;
    const std::vector<std::string> petsc_words =
        parse_solver_options(split_words(options), rtol, maxit);
    impl.system->add_solver_options(petsc_words);  // checks them before anything changes
    s->rtol = rtol;
    s->maxit = maxit;
}

}  // extern "C"
