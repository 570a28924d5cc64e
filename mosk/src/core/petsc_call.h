// Calling PETSc without letting it print or abort: a PetscScope installs an error handler that
// records PETSc's message instead of printing a traceback, and check() turns a non-zero error
// code into a std::runtime_error naming the library operation, the PETSc call and PETSc's text.
#pragma once

#include <petscsys.h>

#include <string>

namespace mosk {

class PetscScope {
public:
    // `operation` names the library operation in messages ("solve").
    explicit PetscScope(const char* operation);
    ~PetscScope();
    PetscScope(const PetscScope&) = delete;
    PetscScope& operator=(const PetscScope&) = delete;

    const char* operation() const { return operation_; }

    // Throws std::runtime_error when `code` is non-zero; `call` is the PETSc call's text (what
    // PETSC_CHECK passes) or its function's name, which messages show.
    void check(PetscErrorCode code, const char* call) const {
        if (code != 0) fail(code, call);
    }

    [[noreturn]] void fail(PetscErrorCode code, const char* call) const;

    // What went wrong in `call`, with PETSc's own text: "<call> failed: PETSc error <code> ...".
    std::string describe(PetscErrorCode code, const char* call) const;

private:
    const char* operation_;
    bool pushed_ = false;
};

}  // namespace mosk

// Runs the PETSc call `call` and checks its error code in the PetscScope `scope`; messages name
// the function from the call's own text, so the name cannot drift from the call.
#define PETSC_CHECK(scope, call) (scope).check((call), #call)
