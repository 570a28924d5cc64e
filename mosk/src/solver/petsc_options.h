// PETSc's options database for callers that do not see PETSc's headers (the library's options
// layer, tests). Names start with '-' ("-mosk_ksp_monitor").
#pragma once

#include <string>

namespace mosk {

// Sets (or replaces) an option; an empty value sets a flag without value. Throws
// std::runtime_error when the library is not started or PETSc refuses.
void petsc_set_option(const std::string& name, const std::string& value = "");

// Whether the option is set.
bool petsc_has_option(const std::string& name);

// Removes an option; an option that is not set is no error.
void petsc_clear_option(const std::string& name);

}  // namespace mosk
