#include "solver/solver_kinds.h"

#include <petscksp.h>

#include <iterator>
#include <string>
#include <vector>

#include "core/parallel.h"
#include "core/petsc_call.h"

namespace mosk {
namespace {

bool has_package(const char* name) {
    PetscBool has = PETSC_FALSE;
    return PetscHasExternalPackage(name, &has) == 0 && has;
}

void set_amg(PC pc, const PetscScope& s) {
    if (has_package("hypre")) {
        PETSC_CHECK(s, PCSetType(pc, PCHYPRE));
        PETSC_CHECK(s, PCHYPRESetType(pc, "boomeramg"));
    } else {
        PETSC_CHECK(s, PCSetType(pc, PCGAMG));
    }
}

PC pc_of(KSP ksp, const PetscScope& s) {
    PC pc = nullptr;
    PETSC_CHECK(s, KSPGetPC(ksp, &pc));
    return pc;
}

// The iterative kinds stop on the true (unpreconditioned) residual, the figure a solve reports
// and checks: CG measures it with its left preconditioning, GMRES and BiCGStab need right
// preconditioning for it.
void configure_cg(KSP ksp, const PetscScope& s) {
    PETSC_CHECK(s, KSPSetType(ksp, KSPCG));
    PETSC_CHECK(s, KSPSetNormType(ksp, KSP_NORM_UNPRECONDITIONED));
    set_amg(pc_of(ksp, s), s);
}

void configure_gmres(KSP ksp, const PetscScope& s) {
    PETSC_CHECK(s, KSPSetType(ksp, KSPGMRES));
    PETSC_CHECK(s, KSPSetPCSide(ksp, PC_RIGHT));
    set_amg(pc_of(ksp, s), s);
}

// ILU(0) on one process; on several, block Jacobi with ILU(0) on each process's block (PETSc's
// ILU works on a process's own rows only).
void configure_bicgstab(KSP ksp, const PetscScope& s) {
    PETSC_CHECK(s, KSPSetType(ksp, KSPBCGS));
    PETSC_CHECK(s, KSPSetPCSide(ksp, PC_RIGHT));
    PC pc = pc_of(ksp, s);
    MPI_Comm comm = MPI_COMM_NULL;
    PETSC_CHECK(s, PetscObjectGetComm(reinterpret_cast<PetscObject>(ksp), &comm));
    if (process_count(int(MPI_Comm_c2f(comm))) > 1) {
        PETSC_CHECK(s, PCSetType(pc, PCBJACOBI));  // sub-blocks: ILU(0)
        return;
    }
    PETSC_CHECK(s, PCSetType(pc, PCILU));
    PETSC_CHECK(s, PCFactorSetLevels(pc, 0));
}

void configure_lu(KSP ksp, const PetscScope& s) {
    PETSC_CHECK(s, KSPSetType(ksp, KSPPREONLY));
    PC pc = pc_of(ksp, s);
    PETSC_CHECK(s, PCSetType(pc, PCLU));
    PETSC_CHECK(s, PCFactorSetMatSolverType(pc, lu_uses_mumps() ? MATSOLVERMUMPS : MATSOLVERPETSC));
}

// Everything from the options database: PETSc's defaults (GMRES with ILU(0) on one process)
// unless -ksp_type, -pc_type ... say otherwise.
void configure_from_options(KSP, const PetscScope&) {}

// BoomerAMG settings for 3D elliptic problems: HMIS coarsening with extended+i interpolation,
// truncated to 4 entries per row, and one level of aggressive coarsening. On a 1e5-unknown P1
// Laplacian they cut set-up about threefold at a few more CG iterations (see
// bench/petsc_system_bench.cpp). Unused when the preconditioner is not hypre.
#define MOSK_BOOMERAMG_3D(level)                               \
    {"-" level "pc_hypre_boomeramg_coarsen_type", "HMIS"},     \
        {"-" level "pc_hypre_boomeramg_interp_type", "ext+i"}, \
        {"-" level "pc_hypre_boomeramg_P_max", "4"}, {"-" level "pc_hypre_boomeramg_agg_nl", "1"}
const OptionDefault amg_defaults[] = {MOSK_BOOMERAMG_3D("")};
// "cg" gives the coarse level of its p-multigrid (field_preconditioner.h) the same settings.
const OptionDefault cg_defaults[] = {MOSK_BOOMERAMG_3D(""), MOSK_BOOMERAMG_3D("mg_coarse_")};
#undef MOSK_BOOMERAMG_3D

// The one table of kinds: the library's public kind records and alias names are made from it.
const SolverKind kinds[] = {
    {"cg", "pcg",
     "conjugate gradients with algebraic multigrid, or a p-multigrid over it for fields of order "
     ">= 2 (symmetric positive definite systems)",
     "mosk_", configure_cg, cg_defaults, FieldUse::Multigrid},
    {"gmres", "fgmres", "restarted GMRES with algebraic multigrid", "mosk_", configure_gmres,
     amg_defaults, FieldUse::NearNullSpace},
    {"bicgstab",
     "bcgs",
     "BiCGStab with ILU(0) (block Jacobi with ILU(0) on several processes)",
     "mosk_",
     configure_bicgstab,
     {},
     FieldUse::None},
    {"lu", "direct", "direct sparse LU factorisation", "mosk_", configure_lu, {}, FieldUse::None},
    {"petsc",
     "options",
     "Krylov method and preconditioner from PETSc's options (-ksp_type, -pc_type ...)",
     nullptr,
     configure_from_options,
     {},
     FieldUse::None},
};
static_assert(std::size(kinds) == kSolverKindCount);

}  // namespace

std::span<const SolverKind> solver_kinds() { return kinds; }

const SolverKind* find_solver_kind(std::string_view name) {
    for (const SolverKind& k : kinds)
        if (name == k.name) return &k;
    return nullptr;
}

std::string solver_kind_names() {
    std::string names;
    for (const SolverKind& k : kinds) names += (names.empty() ? "" : ", ") + std::string(k.name);
    return names;
}

void set_from_options(KSP ksp, const SolverKind& kind, const PetscScope& s) {
    // The KSP's own database when it has one (a solver's own options), else the global one.
    PetscOptions db = nullptr;
    PETSC_CHECK(s, PetscObjectGetOptions(reinterpret_cast<PetscObject>(ksp), &db));
    std::vector<std::string> inserted;
    auto remove_inserted = [&] {
        for (const std::string& name : inserted) PetscOptionsClearValue(db, name.c_str());
    };
    try {
        const std::string prefix = kind.options_prefix ? kind.options_prefix : "";
        for (const OptionDefault& d : kind.defaults) {
            PetscBool set = PETSC_FALSE;
            PETSC_CHECK(s, PetscOptionsHasName(db, kind.options_prefix, d.name, &set));
            if (set) continue;
            const std::string full = "-" + prefix + (d.name + 1);
            PETSC_CHECK(s, PetscOptionsSetValue(db, full.c_str(), d.value));
            inserted.push_back(full);
        }
        PETSC_CHECK(s, KSPSetFromOptions(ksp));
        // A multigrid's levels read their options only at set-up, after the defaults are gone:
        // they read them now too (a second reading keeps what an option does not set).
        PC pc = pc_of(ksp, s);
        PetscBool mg = PETSC_FALSE;
        PETSC_CHECK(s, PetscObjectTypeCompare(reinterpret_cast<PetscObject>(pc), PCMG, &mg));
        PetscInt levels = 0;
        if (mg) PETSC_CHECK(s, PCMGGetLevels(pc, &levels));
        for (PetscInt l = 0; l < levels; ++l) {
            KSP level = nullptr;
            PETSC_CHECK(s, PCMGGetSmoother(pc, l, &level));
            PETSC_CHECK(s, KSPSetFromOptions(level));
        }
    } catch (...) {
        remove_inserted();
        throw;
    }
    remove_inserted();
}

const char* amg_preconditioner() { return has_package("hypre") ? "hypre" : "gamg"; }

bool lu_uses_mumps() { return has_package("mumps"); }

}  // namespace mosk
