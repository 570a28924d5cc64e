// A point in space.
#pragma once

#include <array>

namespace mosk {

using Point = std::array<double, 3>;

}  // namespace mosk
