#include "library_errors.h"

#include "mosk_errors.h"

namespace mosk {

void register_library_errors() {
    pybind11::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const FileError& e) {
            // OSError(errno, text) picks the matching subclass, e.g. FileNotFoundError.
            PyObject* err = PyObject_CallFunction(PyExc_OSError, "is", e.code(), e.what());
            if (err) {
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err)), err);
                Py_DECREF(err);
            }
        } catch (const FormatError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });
}

}  // namespace mosk
