// Arguments that are sequences of numbers (index lists, mask and value lists): accepted exactly
// as std::vector<T> would be (any sequence but text and bytes, each item converted as a T), but
// read into a small buffer held by the argument itself, so the per-element calls that take them
// allocate nothing. Lists and tuples of plain ints or floats take a direct path.
#pragma once

#include "pybind11_internals.h"
#include <pybind11/stl.h>

#include <climits>
#include <type_traits>
#include <vector>

#include "small_buffer.h"

namespace mosk {

template <class T>
struct SequenceArgument {
    SmallBuffer<T, 64> values;
    const T* data() const { return values.data(); }
    size_t size() const { return values.size(); }
};

}  // namespace mosk

namespace pybind11::detail {

template <class T>
struct type_caster<mosk::SequenceArgument<T>> {
    PYBIND11_TYPE_CASTER(mosk::SequenceArgument<T>,
                         const_name("list[") + make_caster<T>::name + const_name("]"));

    bool load(handle src, bool convert) {
        if (PyList_Check(src.ptr()) || PyTuple_Check(src.ptr())) {
            const bool list = PyList_Check(src.ptr());
            const Py_ssize_t n = list ? PyList_GET_SIZE(src.ptr()) : PyTuple_GET_SIZE(src.ptr());
            value.values.resize(size_t(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                // Items are read one at a time by index: a conversion below may run Python code
                // that shrinks the list.
                if (list && i >= PyList_GET_SIZE(src.ptr())) return false;
                handle item = list ? PyList_GET_ITEM(src.ptr(), i) : PyTuple_GET_ITEM(src.ptr(), i);
                if (!load_item(reinterpret_borrow<object>(item), convert, value.values[size_t(i)]))
                    return false;
            }
            return true;
        }
        // Any other sequence (a NumPy array, a range): as std::vector<T> takes it.
        make_caster<std::vector<T>> general;
        if (!general.load(src, convert)) return false;
        const std::vector<T>& v = cast_op<const std::vector<T>&>(general);
        value.values.resize(v.size());
        std::copy(v.begin(), v.end(), value.values.data());
        return true;
    }

private:
    static bool load_item(const object& item, bool convert, T& out) {
        if constexpr (std::is_same_v<T, int>) {
            if (PyLong_CheckExact(item.ptr())) {
                int overflow = 0;
                const long v = PyLong_AsLongAndOverflow(item.ptr(), &overflow);
                if (overflow || v < INT_MIN || v > INT_MAX) return false;
                out = int(v);
                return true;
            }
        } else if constexpr (std::is_same_v<T, double>) {
            if (PyFloat_CheckExact(item.ptr())) {
                out = PyFloat_AS_DOUBLE(item.ptr());
                return true;
            }
        }
        make_caster<T> conv;
        if (!conv.load(item, convert)) return false;
        out = cast_op<T>(std::move(conv));
        return true;
    }
};

}  // namespace pybind11::detail
