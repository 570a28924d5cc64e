// Python functions of the point, called by the library through plain function-pointer callbacks:
// a slot names the function for the length of one library call, and a fixed bridge function calls
// it. Slots are per thread: while the Python function runs, other Python threads may run and make
// bridged calls of their own.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <exception>
#include <functional>  // std::bad_function_call
#include <stdexcept>
#include <string>
#include <vector>

#include "mosk_errors.h"

namespace mosk {

// A Python function of the point, f([x, y, z]) -> values. Called through the C API: pybind11's
// std::function wrapper builds and frees vectors, lists and a GIL guard on every call, and a field
// or a boundary calls it once per node.
class PointFunction {
public:
    PointFunction() = default;
    explicit PointFunction(pybind11::object f) : f_(std::move(f)) {}

    explicit operator bool() const { return bool(f_); }
    const pybind11::object& callable() const { return f_; }

    // Calls f([x, y, z]) and returns how many values it gave; they are written to `out` only
    // when they fit in `capacity`. A list or tuple of floats and ints is read directly, any other
    // result as pybind11 converts it to std::vector<double>.
    size_t operator()(double x, double y, double z, double* out, size_t capacity) const {
        pybind11::list point(3);
        const double xyz[3] = {x, y, z};
        for (Py_ssize_t i = 0; i < 3; ++i) {
            PyObject* v = PyFloat_FromDouble(xyz[i]);
            if (!v) throw pybind11::error_already_set();
            PyList_SET_ITEM(point.ptr(), i, v);
        }
        pybind11::object result =
            pybind11::reinterpret_steal<pybind11::object>(PyObject_CallOneArg(f_.ptr(), point.ptr()));
        if (!result) throw pybind11::error_already_set();
        PyObject* r = result.ptr();
        if (PyList_CheckExact(r) || PyTuple_CheckExact(r)) {
            const bool list = PyList_CheckExact(r);
            const size_t n = size_t(list ? PyList_GET_SIZE(r) : PyTuple_GET_SIZE(r));
            PyObject* const* items = list ? &PyList_GET_ITEM(r, 0) : &PyTuple_GET_ITEM(r, 0);
            bool plain = true;
            for (size_t i = 0; i < n && plain; ++i)
                plain = PyFloat_CheckExact(items[i]) || PyLong_CheckExact(items[i]);
            if (plain && n > capacity) return n;
            for (size_t i = 0; i < n && plain; ++i) {
                if (PyFloat_CheckExact(items[i])) {
                    out[i] = PyFloat_AS_DOUBLE(items[i]);
                } else {
                    out[i] = PyLong_AsDouble(items[i]);
                    if (out[i] == -1.0 && PyErr_Occurred()) {  // too large: refused below
                        PyErr_Clear();
                        plain = false;
                    }
                }
            }
            if (plain) return n;
        }
        const auto values = result.cast<std::vector<double>>();
        if (values.size() <= capacity) std::copy(values.begin(), values.end(), out);
        return values.size();
    }

private:
    pybind11::object f_;
};

struct PointFunctionSlot {
    const PointFunction* function = nullptr;
    int capacity = 0;  // values the library's array holds (the field's dim)
};

// Points `slot` at `f` for the lifetime of the binding and restores the previous contents
// afterwards, so that a Python function that itself triggers a bridged call works.
class SlotBinding {
public:
    SlotBinding(PointFunctionSlot& slot, const PointFunction& f, int capacity)
        : slot_(slot), saved_(slot) {
        slot_ = PointFunctionSlot{&f, capacity};
    }
    ~SlotBinding() { slot_ = saved_; }
    SlotBinding(const SlotBinding&) = delete;
    SlotBinding& operator=(const SlotBinding&) = delete;

private:
    PointFunctionSlot& slot_;
    PointFunctionSlot saved_;
};

// Calls the slot's function at (x, y, z) and copies its values to `values`. An empty function
// throws std::bad_function_call; more values than the array holds are refused (ValueError in
// Python) instead of being written past it. A Python exception leaves as a CallbackError that
// carries it, so that the library can tell the other processes of a parallel run what failed.
inline void point_function_bridge(const PointFunctionSlot& slot, double x, double y, double z,
                                  double* values) {
    if (!slot.function || !*slot.function) throw std::bad_function_call();
    const size_t capacity = size_t(std::max(slot.capacity, 0));
    size_t count = 0;
    try {
        count = (*slot.function)(x, y, z, values, capacity);
    } catch (pybind11::error_already_set& e) {
        std::string type = pybind11::str(e.type().attr("__name__"));
        std::string text = pybind11::str(e.value());
        throw CallbackError(std::move(type), text, std::current_exception());
    }
    if (count > capacity)
        throw std::invalid_argument("the function of the point returned " +
                                    std::to_string(count) + " values for a field of " +
                                    std::to_string(slot.capacity) + " component(s)");
}

}  // namespace mosk

namespace pybind11::detail {

// Any callable, as pybind11 takes a std::function; None (when converting) is no function.
template <>
struct type_caster<mosk::PointFunction> {
    PYBIND11_TYPE_CASTER(mosk::PointFunction, const_name("Callable[[list[float]], list[float]]"));

    bool load(handle src, bool convert) {
        if (src.is_none()) return convert;
        if (!PyCallable_Check(src.ptr())) return false;
        value = mosk::PointFunction(reinterpret_borrow<object>(src));
        return true;
    }

    static handle cast(const mosk::PointFunction& f, return_value_policy, handle) {
        return f ? f.callable().inc_ref() : none().release();
    }
};

}  // namespace pybind11::detail
