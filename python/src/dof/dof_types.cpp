#include "dof/dof_types.h"

#include <pybind11/pybind11.h>

namespace mosk {
namespace {

// The fallbacks are kept for scripts that rely on them, but never silently.
void warn_fallback(const std::string& text) {
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0)
        throw pybind11::error_already_set();  // warnings turned into errors
}

}  // namespace

DOF_TYPE_* getDofTypeByName(const std::string& family, int order) {
    const std::string key = (family == "Lagrange" ? "P" : family) + std::to_string(order);
    for (const MOSK_DOF_TYPE_GROUP_* group = moskDofTypesList; group->types && group->tag; ++group)
        for (DOF_TYPE_* const* type = group->types; *type; ++type)
            if (key == (*type)->name) return *type;  // a key holding a NUL matches no name
    warn_fallback("Dof: no DOF type '" + key + "' (family '" + family + "', order " +
                  std::to_string(order) + "); using the default type '" + DOF_DEFAULT->name + "'");
    return DOF_DEFAULT;
}

MOSK_POINT_FUNC getDofInitTypeByName(const std::string& name) {
    if (name == "DofNoData") return moskDofUserFuncGetPointer_(0);
    if (name == "DofNoAction") return moskDofUserFuncGetPointer_(1);
    if (name == "DofInterpolation") return moskDofUserFuncGetPointer_(2);
    if (name == "DofLambdaFunction") return moskDofUserFuncGetPointer_(3);
    if (name == "DofUserFuncVoid") return nullptr;
    warn_fallback("Dof: no initialisation '" + name + "'; using 'DofNoData'");
    return moskDofUserFuncGetPointer_(0);
}

}  // namespace mosk
