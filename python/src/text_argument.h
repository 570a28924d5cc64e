// Text that the library receives as a NUL-terminated string (file and field names). An embedded
// NUL would silently cut it short, naming another file or field, so such text is refused.
#pragma once

#include "pybind11_internals.h"

#include <string>

namespace mosk {

// `text` as a C string; throws ValueError naming `what` when it holds a NUL character.
inline const char* c_text(const std::string& text, const char* what) {
    if (text.find('\0') != std::string::npos)
        throw pybind11::value_error(std::string("embedded null character in ") + what);
    return text.c_str();
}

}  // namespace mosk

namespace mosk {

// A file name as Python gives it: str, bytes or any os.PathLike (pathlib.Path).
struct FileName {
    std::string text;
};

}  // namespace mosk

namespace pybind11::detail {
template <>
struct type_caster<mosk::FileName> {
    PYBIND11_TYPE_CASTER(mosk::FileName, const_name("str | bytes | os.PathLike"));

    bool load(handle src, bool convert) {
        // os.fspath: str and bytes as they are, a path object through __fspath__.
        object path = reinterpret_steal<object>(PyOS_FSPath(src.ptr()));
        if (!path) {
            PyErr_Clear();
            return false;
        }
        make_caster<std::string> text;
        if (!text.load(path, convert)) return false;
        value.text = cast_op<std::string&&>(std::move(text));
        return true;
    }
};
}  // namespace pybind11::detail
