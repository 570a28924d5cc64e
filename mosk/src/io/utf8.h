// Text checks for names written into files.
#pragma once

#include <string>

namespace mosk {

// Well-formed UTF-8 (no overlong forms, surrogates or values beyond U+10FFFF) without control
// characters.
bool is_clean_utf8(const std::string& text);

}  // namespace mosk
