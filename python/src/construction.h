// pybind11 lets Python reach a wrapper's storage without its constructor having run:
// `Grid.__new__(Grid)` makes an object whose methods would read raw, unconstructed memory. And it
// turns None into a null pointer for a method's `self` (`Grid.getNumElements(None)`). The
// module's classes are converted through a caster that refuses both, so the call fails with
// TypeError before the method runs.
#pragma once

#include "pybind11_internals.h"

#include <string>
#include <utility>

namespace mosk {

// The binding's caster of a wrapper class T, refusing objects whose C++ value was never made.
template <class T>
class ConstructedOnlyCaster : public pybind11::detail::type_caster_base<T> {
    using base = pybind11::detail::type_caster_base<T>;

public:
    bool load(pybind11::handle src, bool convert) {
        // No argument or `self` of the module's classes may be None: refusing it here makes the
        // call match no overload.
        if (src.is_none()) return false;
        return base::template load_impl<ConstructedOnlyCaster<T>>(src, convert);
    }

    // Called by load_impl with the object's value and holder.
    void load_value(pybind11::detail::value_and_holder&& v_h) {
        if (!v_h.holder_constructed())
            throw pybind11::type_error(std::string(Py_TYPE(v_h.inst)->tp_name) +
                                       " object was never initialised (made by __new__ without "
                                       "__init__)");
        base::load_value(std::move(v_h));
    }
};

}  // namespace mosk

// Makes the binding load T through ConstructedOnlyCaster. Use at global scope, right after T's
// definition, so that every translation unit that converts T sees it.
#define MOSK_CONSTRUCTED_ONLY(T)                                     \
    namespace pybind11::detail {                                     \
    template <>                                                      \
    class type_caster<T> : public mosk::ConstructedOnlyCaster<T> {}; \
    }
