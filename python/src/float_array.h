// New float64 arrays for per-element results. pybind11's array_t constructor builds shape and
// stride vectors and looks NumPy's float64 descriptor up on every call; an element loop makes
// several arrays per element, so the descriptor is looked up once and the shape passed as is.
#pragma once

#include <pybind11/numpy.h>

#include "pybind11_internals.h"


namespace mosk {

// A new, uninitialised, C-contiguous float64 array with the given extents.
template <class... Extent>
pybind11::array_t<double> new_float64_array(Extent... extents) {
    namespace pd = pybind11::detail;
    pd::npy_api& api = pd::npy_api::get();
    static PyObject* const descr = api.PyArray_DescrFromType_(pd::npy_api::NPY_DOUBLE_);
    Py_intptr_t dims[] = {Py_intptr_t(extents)...};
    Py_INCREF(descr);  // NumPy takes a reference to the descriptor
    PyObject* out = api.PyArray_NewFromDescr_(api.PyArray_Type_, descr, int(sizeof...(Extent)),
                                              dims, nullptr, nullptr, 0, nullptr);
    if (!out) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::array_t<double>>(out);
}

}  // namespace mosk
