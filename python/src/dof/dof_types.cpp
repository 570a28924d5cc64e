#include "dof/dof_types.h"

#include <cstring>

namespace mosk {

DOF_TYPE_* getDofTypeByName(std::string name, int order) {
    if (name == "Lagrange") name = "P";
    const std::string key = name + std::to_string(order);
    for (const MOSK_DOF_TYPE_GROUP_* group = moskDofTypesList; group->types && group->tag;
         ++group)
        for (DOF_TYPE_* const* type = group->types; *type; ++type)
            if (std::strlen((*type)->name) == key.size() &&
                std::memcmp((*type)->name, key.data(), key.size()) == 0)
                return *type;
    return DOF_DEFAULT;
}

MOSK_POINT_FUNC getDofInitTypeByName(const std::string& name) {
    if (name == "DofNoData") return moskDofUserFuncGetPointer_(0);
    if (name == "DofNoAction") return moskDofUserFuncGetPointer_(1);
    if (name == "DofInterpolation") return moskDofUserFuncGetPointer_(2);
    if (name == "DofLambdaFunction") return moskDofUserFuncGetPointer_(3);
    if (name == "DofUserFuncVoid") return nullptr;
    return moskDofUserFuncGetPointer_(0);
}

}  // namespace mosk
