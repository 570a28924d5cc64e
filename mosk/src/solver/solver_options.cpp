#include "solver/solver_options.h"

#include <petscsys.h>

#include <stdexcept>

#include "core/check.h"
#include "solver/petsc_call.h"

namespace mosk {

std::string checked_petsc_options(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : " ") + w;
    PetscScope s("solver options");
    PetscOptions scratch = nullptr;
    PETSC_CHECK(s, PetscOptionsCreate(&scratch));
    const PetscErrorCode code = PetscOptionsInsertString(scratch, text.c_str());
    PetscOptionsDestroy(&scratch);
    if (code)
        fail(s.operation(), "PETSc cannot read the options '" + text +
                                "': " + s.describe(code, "PetscOptionsInsertString"));
    return text;
}

PetscOptions solver_options_database(const std::string& own, const char* prefix,
                                     const PetscScope& s) {
    PetscOptions db = nullptr;
    PETSC_CHECK(s, PetscOptionsCreate(&db));
    char* global = nullptr;
    PetscErrorCode code = PetscOptionsGetAll(nullptr, &global);
    if (!code) code = PetscOptionsInsertString(db, global);
    PetscFree(global);
    if (!code && prefix) code = PetscOptionsPrefixPush(db, prefix);
    if (!code) code = PetscOptionsInsertString(db, own.c_str());
    if (!code && prefix) code = PetscOptionsPrefixPop(db);
    if (code) PetscOptionsDestroy(&db);
    PETSC_CHECK(s, code);
    return db;
}

}  // namespace mosk
