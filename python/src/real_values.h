// Arrays of real numbers from Python: anything NumPy turns into an array of booleans, integers or
// reals, as C-contiguous float64 values. Complex numbers (their imaginary part would be dropped),
// text, dates and arbitrary objects (None would become NaN) match no overload.
#pragma once

#include <pybind11/numpy.h>
#include "pybind11_internals.h"

#include <optional>

namespace mosk {

// Values in logical row-major order (a copy only when the array is not C-contiguous float64).
using DenseValues =
    pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast>;

struct RealValues {
    // Empty until loaded: an array_t made by default is a new empty NumPy array, which would cost
    // every call an allocation.
    std::optional<DenseValues> array;
};

}  // namespace mosk

namespace pybind11::detail {
template <>
struct type_caster<mosk::RealValues> {
    PYBIND11_TYPE_CASTER(mosk::RealValues, const_name("numpy.ndarray[numpy.float64]"));

    bool load(handle src, bool convert) {
        // The usual case, a C-contiguous float64 array, is taken as it is.
        if (mosk::DenseValues::check_(src)) {
            value.array = reinterpret_borrow<mosk::DenseValues>(src);
            return true;
        }
        if (!convert) return false;
        array a = array::ensure(src);
        if (!a) return false;
        const char kind = a.dtype().kind();
        if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') return false;
        value.array = mosk::DenseValues::ensure(a);
        return bool(*value.array);
    }
};
}  // namespace pybind11::detail
