#include "solver/petsc_options.h"

#include <stdexcept>

#include "core/library_state.h"
#include "solver/petsc_call.h"

namespace mosk {
namespace {
void require_started(const char* operation) {
    if (!library_started())
        throw std::runtime_error(std::string("mosk: ") + operation +
                                 ": the library is not started (moskInit)");
}
}  // namespace

void petsc_set_option(const std::string& name, const std::string& value) {
    require_started("petsc_set_option");
    if (name.size() < 2 || name[0] != '-')
        throw std::invalid_argument("mosk: petsc_set_option: option name '" + name +
                                    "' must start with '-'");
    PetscScope s("petsc_set_option");
    s.check(PetscOptionsSetValue(nullptr, name.c_str(), value.empty() ? nullptr : value.c_str()),
            "PetscOptionsSetValue");
}

bool petsc_has_option(const std::string& name) {
    require_started("petsc_has_option");
    PetscScope s("petsc_has_option");
    PetscBool set = PETSC_FALSE;
    s.check(PetscOptionsHasName(nullptr, nullptr, name.c_str(), &set), "PetscOptionsHasName");
    return set;
}

void petsc_clear_option(const std::string& name) {
    require_started("petsc_clear_option");
    PetscScope s("petsc_clear_option");
    s.check(PetscOptionsClearValue(nullptr, name.c_str()), "PetscOptionsClearValue");
}

}  // namespace mosk
