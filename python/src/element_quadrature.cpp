// Element matrices by quadrature, as methods of _pymosk.Element: one library call per entry,
// written straight into a new NumPy array.
#include <pybind11/numpy.h>

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "dof/basis_count.h"
#include "dof/dof.h"
#include "element.h"

namespace py = pybind11;

namespace mosk {
namespace {

DOF_* usable(DofHandle& d, const char* what) {
    DOF_* p = d.get();
    if (!p) throw std::runtime_error(std::string("Dof ") + what + " holds no field");
    return p;
}

using Bilinear = double (*)(ELEMENT_*, DOF_*, int, DOF_*, DOF_*, int, int);

// (nbas(u), nbas(v)) with [i][j] = op(e, u, i, null, v, j, order), row by row.
py::array_t<double> bilinear_matrix(Bilinear op, ElementHandle& self, DofHandle& u,
                                    DofHandle& v, int order) {
    DOF_* dv = usable(v, "v");
    DOF_* du = usable(u, "u");
    ELEMENT_* e = self.get();
    const int rows = basis_count(du, e), cols = basis_count(dv, e);
    py::array_t<double> out({py::ssize_t(rows), py::ssize_t(cols)});
    double* p = out.mutable_data();
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) *p++ = op(e, du, i, nullptr, dv, j, order);
    return out;
}

// (dim(f), nbas(v)) with component k of basis function i at [k][i].
py::array_t<double> dof_times_bas(ElementHandle& self, DofHandle& f, DofHandle& v, int order) {
    DOF_* dv = usable(v, "v");
    DOF_* df = usable(f, "f");
    ELEMENT_* e = self.get();
    const int dim = df->dim, cols = basis_count(dv, e);
    py::array_t<double> out({py::ssize_t(dim), py::ssize_t(cols)});
    if (dim <= 0 || cols <= 0) return out;
    double* p = out.mutable_data();
    // Room for the library's dim values of one basis function.
    std::array<double, 16> stack;
    std::vector<double> heap;
    double* buffer = stack.data();
    if (size_t(dim) > stack.size()) {
        heap.resize(size_t(dim));
        buffer = heap.data();
    }
    for (int i = 0; i < cols; ++i) {
        moskQuadDofTimesBas(e, df, dv, i, order, buffer);
        for (int k = 0; k < dim; ++k) p[size_t(k) * cols + i] = buffer[k];
    }
    return out;
}

}  // namespace

void define_element_quadrature(py::class_<ElementHandle>& cls) {
    cls.def("quadGradBasDotGradBas",
            [](ElementHandle& self, DofHandle& u, DofHandle& v, int order) {
                return bilinear_matrix(moskQuadGradBasAGradBas, self, u, v, order);
            },
            py::arg("u"), py::arg("v"), py::arg("order") = -1)
        .def("quadBasDotBas",
             [](ElementHandle& self, DofHandle& u, DofHandle& v, int order) {
                 return bilinear_matrix(moskQuadBasABas, self, u, v, order);
             },
             py::arg("u"), py::arg("v"), py::arg("order") = -1)
        .def("quadDofTimesBas", &dof_times_bas, py::arg("f"), py::arg("v"),
             py::arg("order") = -1);
}

}  // namespace mosk
