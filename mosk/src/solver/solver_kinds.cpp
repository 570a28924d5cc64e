#include "solver/solver_kinds.h"

#include <petscksp.h>

#include "solver/petsc_call.h"

namespace mosk {
namespace {

bool has_package(const char* name) {
    PetscBool has = PETSC_FALSE;
    return PetscHasExternalPackage(name, &has) == 0 && has;
}

void set_amg(PC pc, const PetscScope& s) {
    if (has_package("hypre")) {
        s.check(PCSetType(pc, PCHYPRE), "PCSetType(hypre)");
        s.check(PCHYPRESetType(pc, "boomeramg"), "PCHYPRESetType(boomeramg)");
    } else {
        s.check(PCSetType(pc, PCGAMG), "PCSetType(gamg)");
    }
}

PC pc_of(KSP ksp, const PetscScope& s) {
    PC pc = nullptr;
    s.check(KSPGetPC(ksp, &pc), "KSPGetPC");
    return pc;
}

void configure_cg(KSP ksp, const PetscScope& s) {
    s.check(KSPSetType(ksp, KSPCG), "KSPSetType(cg)");
    set_amg(pc_of(ksp, s), s);
}

void configure_gmres(KSP ksp, const PetscScope& s) {
    s.check(KSPSetType(ksp, KSPGMRES), "KSPSetType(gmres)");
    set_amg(pc_of(ksp, s), s);
}

void configure_bicgstab(KSP ksp, const PetscScope& s) {
    s.check(KSPSetType(ksp, KSPBCGS), "KSPSetType(bcgs)");
    PC pc = pc_of(ksp, s);
    s.check(PCSetType(pc, PCILU), "PCSetType(ilu)");
    s.check(PCFactorSetLevels(pc, 0), "PCFactorSetLevels");
}

void configure_lu(KSP ksp, const PetscScope& s) {
    s.check(KSPSetType(ksp, KSPPREONLY), "KSPSetType(preonly)");
    PC pc = pc_of(ksp, s);
    s.check(PCSetType(pc, PCLU), "PCSetType(lu)");
    s.check(PCFactorSetMatSolverType(pc, lu_uses_mumps() ? MATSOLVERMUMPS : MATSOLVERPETSC),
            "PCFactorSetMatSolverType");
}

// Everything from the options database: PETSc's defaults (GMRES with ILU(0) on one process)
// unless -ksp_type, -pc_type ... say otherwise.
void configure_from_options(KSP, const PetscScope&) {}

const SolverKind kinds[] = {
    {"cg", "conjugate gradients with algebraic multigrid (symmetric positive definite systems)",
     "mosk_", configure_cg},
    {"gmres", "restarted GMRES with algebraic multigrid", "mosk_",
     configure_gmres},
    {"bicgstab", "BiCGStab with ILU(0)", "mosk_",
     configure_bicgstab},
    {"lu", "direct sparse LU factorisation", "mosk_",
     configure_lu},
    {"petsc", "Krylov method and preconditioner from PETSc's options (-ksp_type, -pc_type ...)",
     nullptr, configure_from_options},
};

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

const char* amg_preconditioner() { return has_package("hypre") ? "hypre" : "gamg"; }

bool lu_uses_mumps() { return has_package("mumps"); }

}  // namespace mosk
