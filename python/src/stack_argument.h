// Stacks of per-element arrays (a leading element axis): a NumPy array of exactly NDim
// dimensions, read as one C-contiguous array of T. Anything else does not load, so a binding
// that takes stacks stands beside the per-element binding of the same name as an overload.
// Integer stacks take any integer dtype; values outside the range of int are refused.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <climits>
#include <cstdint>
#include <string>
#include <type_traits>

namespace mosk {

template <class T, int NDim>
struct StackArgument {
    static_assert(std::is_same_v<T, int> || std::is_same_v<T, double>);
    pybind11::array_t<T, pybind11::array::c_style> array;

    const T* data() const { return array.data(); }
    pybind11::ssize_t shape(int i) const { return array.shape(i); }
    std::string shape_text() const {
        std::string s = "(";
        for (int i = 0; i < NDim; ++i) s += (i ? ", " : "") + std::to_string(shape(i));
        return s + (NDim == 1 ? ",)" : ")");
    }
};

}  // namespace mosk

namespace pybind11::detail {

template <class T, int NDim>
struct type_caster<mosk::StackArgument<T, NDim>> {
    using Stack = mosk::StackArgument<T, NDim>;
    PYBIND11_TYPE_CASTER(Stack, const_name("numpy.ndarray"));

    bool load(handle src, bool) {
        if (!isinstance<array>(src)) return false;
        array a = reinterpret_borrow<array>(src);
        if (a.ndim() != NDim) return false;
        const char kind = a.dtype().kind();
        if constexpr (std::is_same_v<T, double>) {
            if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') return false;
            value.array = array_t<double, array::c_style | array::forcecast>::ensure(a);
            return bool(value.array);
        } else {
            if (kind != 'i' && kind != 'u') return false;
            if (a.dtype().is(dtype::of<int>())) {
                value.array = array_t<int, array::c_style | array::forcecast>::ensure(a);
                return bool(value.array);
            }
            auto wide = array_t<int64_t, array::c_style | array::forcecast>::ensure(a);
            if (!wide) return false;
            value.array = array_t<int, array::c_style>(
                std::vector<ssize_t>(wide.shape(), wide.shape() + NDim));
            const int64_t* from = wide.data();
            int* to = value.array.mutable_data();
            for (ssize_t i = 0; i < wide.size(); ++i) {
                if (from[i] < INT_MIN || from[i] > INT_MAX)
                    throw value_error("index " + std::to_string(from[i]) +
                                      " is outside the range of a 32-bit index");
                to[i] = int(from[i]);
            }
            return true;
        }
    }
};

}  // namespace pybind11::detail
