// Python lists built straight from C arrays, for per-element results (no intermediate vector).
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <cmath>
#include <cstddef>
#include <type_traits>

namespace mosk {

// A new reference to a Python float of v. Floats are immutable, so every +0.0 (most Dirichlet
// values of an element: its nodes off the boundary) is one shared object, not an allocation.
inline PyObject* python_float(double v) {
    static PyObject* const zero = PyFloat_FromDouble(0.0);  // kept for the process's life
    if (v == 0.0 && !std::signbit(v) && zero) {
        Py_INCREF(zero);
        return zero;
    }
    return PyFloat_FromDouble(v);
}

template <class T>
pybind11::typing::List<T> python_list(const T* values, size_t n) {
    pybind11::list out(n);
    for (size_t i = 0; i < n; ++i) {
        PyObject* item;
        if constexpr (std::is_same_v<T, double>)
            item = python_float(values[i]);
        else
            item = pybind11::cast(values[i]).release().ptr();
        if (!item) throw pybind11::error_already_set();
        PyList_SET_ITEM(out.ptr(), Py_ssize_t(i), item);
    }
    return out;
}

}  // namespace mosk
