// Python functions of the point, called by the library through plain function-pointer callbacks:
// a slot names the function for the length of one library call, and a fixed bridge function calls
// it. Slots are per thread: while the Python function runs, other Python threads may run and make
// bridged calls of their own.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mosk_errors.h"

namespace mosk {

using PointFunction = std::function<std::vector<double>(const std::vector<double>&)>;

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
    if (!slot.function) throw std::bad_function_call();
    std::vector<double> result;
    try {
        result = (*slot.function)(std::vector<double>{x, y, z});
    } catch (pybind11::error_already_set& e) {
        std::string type = pybind11::str(e.type().attr("__name__"));
        std::string text = pybind11::str(e.value());
        throw CallbackError(std::move(type), text, std::current_exception());
    }
    if (result.size() > size_t(std::max(slot.capacity, 0)))
        throw std::invalid_argument("the function of the point returned " +
                                    std::to_string(result.size()) + " values for a field of " +
                                    std::to_string(slot.capacity) + " component(s)");
    std::copy(result.begin(), result.end(), values);
}

}  // namespace mosk
