// Python lists built straight from C arrays, for per-element results (no intermediate vector).
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <cstddef>

namespace mosk {

template <class T>
pybind11::typing::List<T> python_list(const T* values, size_t n) {
    pybind11::list out(n);
    for (size_t i = 0; i < n; ++i) {
        PyObject* item = pybind11::cast(values[i]).release().ptr();
        PyList_SET_ITEM(out.ptr(), Py_ssize_t(i), item);
    }
    return out;
}

}  // namespace mosk
