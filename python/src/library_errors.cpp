#include "library_errors.h"

#include <new>

#include "mosk_errors.h"

namespace mosk {

void register_library_errors() {
    pybind11::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const CallbackError& e) {
            // The user's own exception where it was raised; elsewhere (another process of a
            // parallel run) the same built-in exception class with the same text.
            if (e.original()) std::rethrow_exception(e.original());
            PyObject* type = PyExc_RuntimeError;
            PyObject* builtins = PyEval_GetBuiltins();
            PyObject* named =
                builtins ? PyDict_GetItemString(builtins, e.type_name().c_str()) : nullptr;
            if (named && PyType_Check(named) &&
                PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(named),
                                 reinterpret_cast<PyTypeObject*>(PyExc_Exception)))
                type = named;
            PyErr_SetString(type, e.what());
        } catch (const FileError& e) {
            // OSError(errno, text) picks the matching subclass, e.g. FileNotFoundError.
            PyObject* err = PyObject_CallFunction(PyExc_OSError, "is", e.code(), e.what());
            if (err) {
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err)), err);
                Py_DECREF(err);
            }
        } catch (const FormatError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const std::bad_alloc&) {
            // Raised on every process of a collective call when one ran out.
            PyErr_SetString(PyExc_MemoryError,
                            "out of memory: a process could not allocate what the call needed");
        }
    });
}

}  // namespace mosk
