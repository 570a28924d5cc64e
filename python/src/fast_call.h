// The calls of an element loop, straight from CPython. pybind11's general dispatcher spends
// several hundred nanoseconds on each call (argument vectors, the overload loop, a bound-method
// object, type-map lookups), as much as the work of a small element. A fast call is a METH_FASTCALL
// method descriptor put on the class in place of the binding's method: it takes the usual
// arguments (the module's own objects of their exact class, and what the binding's casters
// accept without help) and hands every other call, unchanged, to the binding it stands in for, so
// conversions, overloads, keywords and messages stay the binding's.
#pragma once

#include "pybind11_internals.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "construction.h"
#include "small_buffer.h"

namespace mosk::fast {

namespace pd = pybind11::detail;

// The object behind one of the module's classes when `obj` is exactly of that class and was
// constructed; else null, and the binding gives its usual TypeError.
template <class T>
T* object_of(PyObject* obj) {
    static const pd::type_info* const info = pd::get_type_info(typeid(T));
    if (!info || Py_TYPE(obj) != info->type) return nullptr;
    pd::value_and_holder v =
        reinterpret_cast<pd::instance*>(obj)->get_value_and_holder(info, false);
    if (!v || !v.holder_constructed()) return nullptr;
    return static_cast<T*>(v.value_ptr());
}

// A new Python object holding `value` (moved), for a result of one of the module's classes: the
// caster's own path, with the class's type record found once instead of on every call.
template <class T>
pybind11::object instance_of(T&& value) {
    static const pd::type_info* const info = pd::get_type_info(typeid(T));
    if (!info) return pybind11::cast(std::move(value));
    auto move = [](const void* p) -> void* {
        return new T(std::move(*const_cast<T*>(static_cast<const T*>(p))));
    };
    return pybind11::reinterpret_steal<pybind11::object>(pd::type_caster_generic::cast(
        &value, pybind11::return_value_policy::move, {}, info, nullptr, move));
}

// One argument: the module's classes by object_of, anything else by its pybind11 caster.
template <class T, bool = std::is_base_of_v<ConstructedOnlyCaster<T>, pd::make_caster<T>>>
struct Argument {
    struct Caster : pd::make_caster<T> {
        void set(const T& value) { this->value = value; }
    } caster;
    bool load(PyObject* obj) { return caster.load(obj, true); }
    bool set(const T& value) {  // a default
        caster.set(value);
        return true;
    }
    T& get() { return pd::cast_op<T&>(caster); }
};

template <class T>
struct Argument<T, true> {
    T* object = nullptr;
    bool load(PyObject* obj) { return (object = object_of<T>(obj)) != nullptr; }
    T& get() { return *object; }
};

template <class F>
struct Signature;
template <class R, class... A>
struct Signature<R (*)(A...)> {
    using Result = R;
    using Arguments = std::tuple<std::decay_t<A>...>;
};

// Function: a plain function whose parameters are those of the Python call (self first for a
// method). Defaults: the values of its trailing parameters that a call may leave out. A function
// returning pybind11::object may return a null object to hand the call to the binding.
template <auto Function, auto... Defaults>
struct Call {
    using Sig = Signature<decltype(Function)>;
    static constexpr size_t total = std::tuple_size_v<typename Sig::Arguments>;
    static constexpr size_t optional = sizeof...(Defaults);

    // The binding's function (a module initialised again replaces it; the old one is kept).
    static inline PyObject* binding = nullptr;
    static inline std::string doc;  // the binding's docstring
    static inline PyMethodDef def{};

    // args: the positional arguments, self first for a method; keywords go to the binding.
    static PyObject* call(PyObject* const* args, Py_ssize_t n, PyObject* kwnames) {
        if (!kwnames && size_t(n) <= total && size_t(n) + optional >= total) {
            try {
                pybind11::object result =
                    load_and_run(args, size_t(n), std::make_index_sequence<total>());
                if (result) return result.release().ptr();
            } catch (pybind11::error_already_set& e) {
                e.restore();
                return nullptr;
            } catch (...) {
                pd::try_translate_exceptions();
                return nullptr;
            }
        }
        return PyObject_Vectorcall(binding, args, size_t(n), kwnames);
    }

    static PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t n,
                            PyObject* kwnames) {
        const Py_ssize_t all = n + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
        SmallBuffer<PyObject*, 8> with_self{size_t(all + 1)};
        with_self[0] = self;
        std::copy(args, args + all, with_self.data() + 1);
        return call(with_self.data(), n + 1, kwnames);
    }

    static PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kwnames) {
        return call(args, n, kwnames);
    }

private:
    template <size_t... I>
    static pybind11::object load_and_run(PyObject* const* args, size_t n,
                                         std::index_sequence<I...>) {
        std::tuple<Argument<std::tuple_element_t<I, typename Sig::Arguments>>...> loaded;
        constexpr std::tuple<decltype(Defaults)...> defaults{Defaults...};
        const bool ok = ((I < n ? std::get<I>(loaded).load(args[I])
                                : load_default<I>(std::get<I>(loaded), defaults)) &&
                         ...);
        if (!ok) return {};
        if constexpr (std::is_void_v<typename Sig::Result>) {
            Function(std::get<I>(loaded).get()...);
            return pybind11::none();
        } else if constexpr (pd::is_pyobject<typename Sig::Result>::value) {
            return Function(std::get<I>(loaded).get()...);
        } else if constexpr (std::is_base_of_v<pd::type_caster_generic,
                                               pd::make_caster<typename Sig::Result>> &&
                             !std::is_polymorphic_v<typename Sig::Result>) {
            return instance_of(Function(std::get<I>(loaded).get()...));
        } else {
            return pybind11::cast(Function(std::get<I>(loaded).get()...));
        }
    }

    template <size_t I, class Loaded, class Defaults_>
    static bool load_default(Loaded& argument, const Defaults_& defaults) {
        if constexpr (I + optional >= total) {
            using Type = std::tuple_element_t<I, typename Sig::Arguments>;
            return argument.set(Type(std::get<I + optional - total>(defaults)));
        } else {
            return false;
        }
    }
};

// Puts Call<Function, Defaults...> on `scope` as `name`, in place of the binding defined there
// under that name (a class: a method descriptor; a module: a function).
template <auto Function, auto... Defaults>
void install(pybind11::handle scope, const char* name) {
    using C = Call<Function, Defaults...>;
    const bool is_class = PyType_Check(scope.ptr());
    pybind11::object binding = scope.attr(name);
    C::binding = binding.release().ptr();
    pybind11::object doc =
        pybind11::getattr(pybind11::handle(C::binding), "__doc__", pybind11::none());
    C::doc = doc.is_none() ? std::string() : pybind11::cast<std::string>(doc);
    C::def.ml_name = name;
    C::def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    C::def.ml_meth = reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(is_class ? &C::method : &C::function));
    C::def.ml_doc = C::doc.c_str();
    PyObject* made = is_class
                         ? PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(scope.ptr()), &C::def)
                         : PyCFunction_NewEx(&C::def, nullptr, scope.attr("__name__").ptr());
    if (!made) throw pybind11::error_already_set();
    pybind11::setattr(scope, name, pybind11::reinterpret_steal<pybind11::object>(made));
}

}  // namespace mosk::fast
