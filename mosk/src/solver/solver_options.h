// PETSc options of one solver, kept apart from PETSc's global options database so that they reach
// this solver's KSP and preconditioner only: the solver's KSP gets a database of its own.
#pragma once

#include <string>
#include <vector>

struct _n_PetscOptions;  // PETSc's PetscOptions is a pointer to this

namespace mosk {

class PetscScope;

// The words joined as one options text, after checking that PETSc can read them as options
// (std::invalid_argument with PETSc's complaint otherwise).
std::string checked_petsc_options(const std::vector<std::string>& words);

// A new options database: PETSc's global options, then `own` under `prefix` (null: no prefix),
// which win. The caller frees it with PetscOptionsDestroy once no PETSc object uses it.
_n_PetscOptions* solver_options_database(const std::string& own, const char* prefix,
                                         const PetscScope& s);

// The options of `own` that nothing has read from `db` (made from them as above), as the
// caller wrote them: most likely misspelt.
std::vector<std::string> unused_own_options(_n_PetscOptions* db, const std::string& own,
                                            const char* prefix, const PetscScope& s);

}  // namespace mosk
