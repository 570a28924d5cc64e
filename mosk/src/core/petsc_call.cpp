#include "core/petsc_call.h"

#include <stdexcept>
#include <string_view>

#include "core/check.h"

namespace mosk {
namespace {

// The message of the most recent error PETSc raised (not its traceback repeats). PETSc is used
// from one thread at a time.
std::string last_message;
bool have_message = false;

PetscErrorCode record_error(MPI_Comm, int, const char* function, const char*, PetscErrorCode code,
                            PetscErrorType type, const char* message, void*) {
    if (type == PETSC_ERROR_INITIAL) {
        last_message = message ? message : "";
        if (function && *function) last_message += std::string(" (in ") + function + ")";
        have_message = true;
    }
    return code;
}

}  // namespace

PetscScope::PetscScope(const char* operation) : operation_(operation) {
    have_message = false;
    pushed_ = PetscPushErrorHandler(record_error, nullptr) == 0;
}

PetscScope::~PetscScope() {
    if (pushed_) PetscPopErrorHandler();
}

std::string PetscScope::describe(PetscErrorCode code, const char* call) const {
    const std::string_view text_of_call(call);  // "MatCreate(comm, &A)" names MatCreate
    std::string text = std::string(text_of_call.substr(0, text_of_call.find('('))) +
                       " failed: PETSc error " + std::to_string(int(code));
    const char* generic = nullptr;
    char* specific = nullptr;
    if (PetscErrorMessage(code, &generic, &specific) == 0 && generic && *generic)
        text += std::string(" (") + generic + ")";
    if (have_message && !last_message.empty())
        text += ": " + last_message;
    else if (specific && *specific)
        text += std::string(": ") + specific;
    have_message = false;
    return text;
}

void PetscScope::fail(PetscErrorCode code, const char* call) const {
    ::mosk::fail<std::runtime_error>(operation_, describe(code, call));
}

}  // namespace mosk
