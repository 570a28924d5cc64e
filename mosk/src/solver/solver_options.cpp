#include "solver/solver_options.h"

#include <petscsys.h>

#include <stdexcept>

#include "core/check.h"
#include "core/petsc_call.h"

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

std::vector<std::string> unused_own_options(PetscOptions db, const std::string& own,
                                            const char* prefix, const PetscScope& s) {
    // The names `own` puts into a database, as PETSc stores them.
    PetscOptions scratch = nullptr;
    PETSC_CHECK(s, PetscOptionsCreate(&scratch));
    PetscErrorCode code = prefix ? PetscOptionsPrefixPush(scratch, prefix) : 0;
    if (!code) code = PetscOptionsInsertString(scratch, own.c_str());
    PetscInt count = 0;
    char **names = nullptr, **values = nullptr;
    if (!code) code = PetscOptionsLeftGet(scratch, &count, &names, &values);
    std::vector<std::string> own_names(names, names + (code ? 0 : count));
    if (!code) PetscOptionsLeftRestore(scratch, &count, &names, &values);
    PetscOptionsDestroy(&scratch);
    PETSC_CHECK(s, code);

    std::vector<std::string> unused;
    PETSC_CHECK(s, PetscOptionsLeftGet(db, &count, &names, &values));
    const std::string p = prefix ? prefix : "";
    for (PetscInt i = 0; i < count; ++i)
        for (const std::string& name : own_names)
            if (name == names[i])
                unused.push_back(
                    "-" + (name.compare(0, p.size(), p) == 0 ? name.substr(p.size()) : name));
    PetscOptionsLeftRestore(db, &count, &names, &values);
    return unused;
}

}  // namespace mosk
