// The table of solver kinds: each names a Krylov method and preconditioner that configure_ksp()
// sets on a PETSc KSP. Kinds other than "petsc" then read options with the prefix "mosk_"
// (-mosk_ksp_monitor, -mosk_pc_type ...); "petsc" reads PETSc's unprefixed options only.
#pragma once

#include <span>
#include <string>
#include <string_view>

struct _p_KSP;  // PETSc's KSP is a pointer to this

namespace mosk {

class PetscScope;

// An option value the kind uses unless the options database sets that option; `name` is
// without the kind's prefix ("-pc_hypre_boomeramg_coarsen_type").
struct OptionDefault {
    const char* name;
    const char* value;
};

// What a kind's preconditioner takes from the field behind the system (field_preconditioner.h):
// nothing, the near null space of a vector field, or also the p-multigrid of an order >= 2 field.
enum class FieldUse { None, NearNullSpace, Multigrid };

struct SolverKind {
    const char* name;
    const char* alias;  // a second name of the kind
    const char* description;
    const char* options_prefix;  // null: unprefixed options
    void (*configure)(_p_KSP* ksp, const PetscScope& scope);
    std::span<const OptionDefault> defaults;
    FieldUse field_use;
};

inline constexpr int kSolverKindCount = 5;

std::span<const SolverKind> solver_kinds();

// The kind called `name`, or null.
const SolverKind* find_solver_kind(std::string_view name);

// "cg, gmres, ..." for messages.
std::string solver_kind_names();

// KSPSetFromOptions with the kind's defaults in force for the options the database does not
// set; the defaults are removed from the database again afterwards.
void set_from_options(_p_KSP* ksp, const SolverKind& kind, const PetscScope& scope);

// The algebraic multigrid the iterative kinds use: "hypre" (BoomerAMG) when PETSc has it,
// else "gamg".
const char* amg_preconditioner();

// Whether LU factorisations go to MUMPS (else PETSc's own).
bool lu_uses_mumps();

}  // namespace mosk
