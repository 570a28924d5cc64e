// Names to library values: DOF types by family name and order, initialisation modes by name.
#pragma once

#include <string>

#include "mosk.h"

namespace mosk {

// The type named family+order ("Lagrange" stands for "P"), else the library's default type
// after a UserWarning naming the key that was not found.
DOF_TYPE_* getDofTypeByName(const std::string& family, int order);

// The library's marker for an initialisation mode, or null for "DofUserFuncVoid"; an unknown
// name gives "DofNoData" after a UserWarning.
MOSK_POINT_FUNC getDofInitTypeByName(const std::string& name);

}  // namespace mosk
