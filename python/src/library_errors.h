// Translation of the library's exceptions into the Python exceptions a user expects.
#pragma once

#include <pybind11/pybind11.h>

namespace mosk {

// Registers the translator: FileError becomes OSError with its errno (so FileNotFoundError for a
// missing file), FormatError ValueError; other standard exceptions keep pybind11's mapping.
void register_library_errors();

}  // namespace mosk
