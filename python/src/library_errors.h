// Translation of the library's exceptions into the Python exceptions a user expects.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

namespace mosk {

// Registers the translator: FileError becomes OSError with its errno (so FileNotFoundError for a
// missing file), FormatError ValueError, std::bad_alloc a MemoryError that says what it is; other
// standard exceptions keep pybind11's mapping.
void register_library_errors();

// Runs f; the library's std::invalid_argument (bad input) becomes ValueError that names the
// Python method instead of the library and its operation `library_op` ("set field values").
template <class F>
decltype(auto) in_method(const char* method, const std::string& library_op, F&& f) {
    try {
        return f();
    } catch (const std::invalid_argument& e) {
        std::string text = e.what();
        for (const std::string& prefix : {std::string("mosk: "), library_op + ": "})
            if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
        throw pybind11::value_error(std::string(method) + ": " + text);
    }
}

}  // namespace mosk
