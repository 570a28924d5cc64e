// Solver.Symmetry: the enumeration of what a solver is told about its matrix, with exactly its
// four values, however it is made (constructor, pickling) or compared.
#include <pybind11/pybind11.h>

#include <string>

#include "solver.h"

namespace py = pybind11;

namespace mosk {
namespace {

// Any Python integer: one outside the four values, however large or negative, is a ValueError.
SYMMETRY symmetry_of(const py::int_& value) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow || v < UNSYM || v > SPD)
        throw py::value_error("Symmetry: " + py::repr(value).cast<std::string>() +
                              " is none of UNSYM (0), SSYM (1), SYM (2), SPD (3)");
    return static_cast<SYMMETRY>(v);
}

}  // namespace

void define_symmetry(py::class_<SolverHandle>& cls) {
    py::enum_<SYMMETRY> symmetry(cls, "Symmetry");
    symmetry.value("UNSYM", UNSYM)
        .value("SSYM", SSYM)
        .value("SYM", SYM)
        .value("SPD", SPD)
        .export_values();
    // pybind11 makes a member of any unsigned int, through the constructor and through
    // __setstate__; a value outside the enumerators is undefined behaviour for an enumeration
    // without a fixed type. Both are replaced by versions that accept the four values only.
    py::delattr(symmetry, "__init__");
    symmetry.def(py::init(&symmetry_of), py::arg("value"));
    symmetry.attr("__setstate__") = py::cpp_function(
        [](py::detail::value_and_holder& v_h, const py::int_& state) {
            py::detail::initimpl::setstate<py::class_<SYMMETRY>>(
                v_h, symmetry_of(state), Py_TYPE(v_h.inst) != v_h.type->type);
        },
        py::detail::is_new_style_constructor(), py::name("__setstate__"), py::is_method(symmetry),
        py::arg("state"));
    // pybind11's shared enumeration methods take any object as `self` (Symmetry.__eq__(1, 1) is
    // True, Symmetry.__repr__(None) an AttributeError); these take a Symmetry member only.
    static const char* const names[] = {"UNSYM", "SSYM", "SYM", "SPD"};
    for (const char* name :
         {"name", "__str__", "__repr__", "__eq__", "__ne__", "__hash__", "__getstate__"})
        py::delattr(symmetry, name);
    symmetry.def_property_readonly("name", [](SYMMETRY a) { return names[a]; })
        .def("__str__", [](SYMMETRY a) { return std::string("Symmetry.") + names[a]; })
        .def("__repr__",
             [](SYMMETRY a) {
                 return "<Symmetry." + std::string(names[a]) + ": " + std::to_string(a) + ">";
             })
        .def("__eq__",
             [](SYMMETRY a, const py::object& b) {
                 return py::isinstance<SYMMETRY>(b) && b.cast<SYMMETRY>() == a;
             })
        .def("__ne__",
             [](SYMMETRY a, const py::object& b) {
                 return !py::isinstance<SYMMETRY>(b) || b.cast<SYMMETRY>() != a;
             })
        .def("__hash__", [](SYMMETRY a) { return py::hash(py::int_(int(a))); })
        .def("__getstate__", [](SYMMETRY a) { return int(a); });
}

}  // namespace mosk
