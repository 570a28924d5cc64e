// Python functions of the point, called by the library through plain function-pointer callbacks:
// a slot names the function for the length of one library call, and a fixed bridge function calls
// it. Slots are per thread: while the Python function runs, other Python threads may run and make
// bridged calls of their own.
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>

#include "mosk_errors.h"

namespace mosk {

// A Python callable of one argument, the point [x, y, z]; None gives an empty one.
struct PointFunction {
    pybind11::object callable;
    explicit operator bool() const { return bool(callable); }
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

namespace detail {

[[noreturn]] inline void point_function_error(PyObject* type, const std::string& what, double x,
                                              double y, double z, int dim) {
    char point[96];
    std::snprintf(point, sizeof point, "(%.6g, %.6g, %.6g)", x, y, z);
    PyErr_SetString(type,
                    ("the function of the point " + what + " at " + point + "; it must return " +
                     (dim == 1 ? std::string("a number (or a list of 1 number)")
                               : "a list of " + std::to_string(dim) + " numbers"))
                        .c_str());
    throw pybind11::error_already_set();
}

// One value returned by the function: a real number, finite.
inline double point_function_value(PyObject* item, double x, double y, double z, int dim) {
    const bool text = PyUnicode_Check(item) || PyBytes_Check(item);
    const double v = text ? -1.0 : PyFloat_AsDouble(item);
    if (text || (v == -1.0 && PyErr_Occurred())) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError))
            throw pybind11::error_already_set();  // 10**400: OverflowError
        PyErr_Clear();
        point_function_error(PyExc_TypeError,
                             "returned " + pybind11::repr(item).cast<std::string>(), x, y, z, dim);
    }
    if (!std::isfinite(v))
        point_function_error(PyExc_ValueError,
                             "returned the value " + pybind11::repr(item).cast<std::string>(), x, y,
                             z, dim);
    return v;
}

// Calls f at (x, y, z) and writes its dim values to `values`. f may return a number (dim 1) or a
// sequence of exactly dim finite numbers (a list, a tuple, a NumPy array); anything else raises
// TypeError or ValueError naming the point.
inline void evaluate_point_function(const PointFunction& f, double x, double y, double z,
                                    double* values, int dim) {
    pybind11::gil_scoped_acquire gil;
    pybind11::list point(3);
    PyList_SET_ITEM(point.ptr(), 0, PyFloat_FromDouble(x));
    PyList_SET_ITEM(point.ptr(), 1, PyFloat_FromDouble(y));
    PyList_SET_ITEM(point.ptr(), 2, PyFloat_FromDouble(z));
    pybind11::object r = f.callable(point);
    PyObject* o = r.ptr();
    const bool text = PyUnicode_Check(o) || PyBytes_Check(o);
    Py_ssize_t count = (PySequence_Check(o) && !text) ? PySequence_Size(o) : -1;
    if (count < 0) {
        // A number (a NumPy scalar or 0-d array too) stands for one value.
        if (!text && PyNumber_Check(o)) {
            PyErr_Clear();
            if (dim != 1)
                point_function_error(
                    PyExc_ValueError,
                    "returned one number for a field of " + std::to_string(dim) + " components", x,
                    y, z, dim);
            values[0] = point_function_value(o, x, y, z, dim);
            return;
        }
        if (PyErr_Occurred()) throw pybind11::error_already_set();
        point_function_error(PyExc_TypeError, "returned " + pybind11::repr(r).cast<std::string>(),
                             x, y, z, dim);
    }
    if (count != dim)
        point_function_error(PyExc_ValueError,
                             "returned " + std::to_string(count) + " values for a field of " +
                                 std::to_string(dim) + " component(s)",
                             x, y, z, dim);
    for (Py_ssize_t i = 0; i < count; ++i) {
        pybind11::object item =
            pybind11::reinterpret_steal<pybind11::object>(PySequence_GetItem(o, i));
        if (!item) throw pybind11::error_already_set();
        values[i] = point_function_value(item.ptr(), x, y, z, dim);
    }
}

}  // namespace detail

// Calls the slot's function at (x, y, z) and copies its values to `values`. An empty function
// throws std::bad_function_call. A Python exception (also a refused result) leaves as a
// CallbackError that carries it, so that the library can tell the other processes of a parallel
// run what failed.
inline void point_function_bridge(const PointFunctionSlot& slot, double x, double y, double z,
                                  double* values) {
    if (!slot.function || !*slot.function) throw std::bad_function_call();
    try {
        detail::evaluate_point_function(*slot.function, x, y, z, values, slot.capacity);
    } catch (pybind11::error_already_set& e) {
        std::string type = pybind11::str(e.type().attr("__name__"));
        std::string text = pybind11::str(e.value());
        throw CallbackError(std::move(type), text, std::current_exception());
    }
}

}  // namespace mosk

namespace pybind11::detail {
// None or any callable; the callable is checked only when called.
template <>
struct type_caster<mosk::PointFunction> {
    PYBIND11_TYPE_CASTER(mosk::PointFunction,
                         const_name("Callable[[list[float]], Sequence[float] | float] | None"));

    bool load(handle src, bool) {
        if (src.is_none()) {
            value.callable = object();
            return true;
        }
        if (!PyCallable_Check(src.ptr())) return false;
        value.callable = reinterpret_borrow<object>(src);
        return true;
    }
};
}  // namespace pybind11::detail
