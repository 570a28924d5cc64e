// The one way the library reports an error, so that every message reads alike:
//     mosk: <operation>: <what went wrong>
// with the operation in the user's words ("balance", "add matrix entries", "export to 'x.vtu'").
#pragma once

#include <string>
#include <string_view>

#include "mosk_errors.h"

namespace mosk {

inline std::string error_text(std::string_view operation, std::string_view what) {
    std::string text = "mosk: ";
    text.append(operation);
    text.append(": ");
    text.append(what);
    return text;
}

template <class Error = std::invalid_argument>
[[noreturn]] void fail(std::string_view operation, std::string_view what) {
    throw Error(error_text(operation, what));
}

// A file that cannot be opened, read or written: FileError with its errno.
[[noreturn]] inline void fail_file(std::string_view operation, std::string_view what, int code) {
    throw FileError(error_text(operation, what), code);
}

}  // namespace mosk
