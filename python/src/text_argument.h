// Text that the library receives as a NUL-terminated string (file and field names). An embedded
// NUL would silently cut it short, naming another file or field, so such text is refused.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace mosk {

// `text` as a C string; throws ValueError naming `what` when it holds a NUL character.
inline const char* c_text(const std::string& text, const char* what) {
    if (text.find('\0') != std::string::npos)
        throw pybind11::value_error(std::string("embedded null character in ") + what);
    return text.c_str();
}

}  // namespace mosk
