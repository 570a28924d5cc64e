// Element matrices by quadrature, as methods of _pymosk.Element: one library call per element,
// written straight into a new NumPy array.

#include <pybind11/functional.h>

#include <stdexcept>
#include <string>

#include "dof/basis_count.h"
#include "dof/dof.h"
#include "dof/point_function.h"
#include "element.h"
#include "fast_call.h"
#include "float_array.h"
#include "small_buffer.h"

namespace py = pybind11;

namespace mosk {
namespace {

DOF_* usable(DofHandle& d, const char* what) {
    DOF_* p = d.get();
    if (!p) throw std::runtime_error(std::string("Dof ") + what + " holds no field");
    return p;
}

using BilinearElement = int (*)(ELEMENT_*, DOF_*, DOF_*, DOF_*, int, double*, int);

// (nbas(u), nbas(v)) with [i][j] the integral of basis functions i of u and j of v, which
// compute(e, u, v, out, capacity) writes.
template <class Compute>
py::array_t<double> basis_matrix(ElementHandle& self, DofHandle& u, DofHandle& v,
                                 Compute&& compute) {
    DOF_* dv = usable(v, "v");
    DOF_* du = usable(u, "u");
    ELEMENT_* e = self.get();
    const int rows = basis_count(du, e), cols = basis_count(dv, e);
    py::array_t<double> out = new_float64_array(rows, cols);
    compute(e, du, dv, out.mutable_data(), rows * cols);
    return out;
}

py::array_t<double> bilinear_matrix(BilinearElement op, ElementHandle& self, DofHandle& u,
                                    DofHandle& v, int order) {
    return basis_matrix(self, u, v, [&](ELEMENT_* e, DOF_* du, DOF_* dv, double* out, int n) {
        op(e, du, nullptr, dv, order, out, n);
    });
}

// A new (dim, cols) array from the library's layout of a field-times-basis vector, basis function
// by basis function (component k of basis function i at i * dim + k), which compute(out,
// capacity) writes.
template <class Compute>
py::array_t<double> by_component(int dim, int cols, Compute&& compute) {
    py::array_t<double> out = new_float64_array(dim, cols);
    if (dim <= 0 || cols <= 0) return out;
    double* p = out.mutable_data();
    if (dim == 1) {  // the library's order is the array's
        compute(p, cols);
        return out;
    }
    SmallBuffer<double, 256> by_basis{size_t(dim) * cols};
    compute(by_basis.data(), dim * cols);
    for (int i = 0; i < cols; ++i)
        for (int k = 0; k < dim; ++k) p[size_t(k) * cols + i] = by_basis[size_t(i) * dim + k];
    return out;
}

// (dim(f), nbas(v)) with component k of basis function i at [k][i].
py::array_t<double> dof_times_bas(ElementHandle& self, DofHandle& f, DofHandle& v, int order) {
    DOF_* dv = usable(v, "v");
    DOF_* df = usable(f, "f");
    ELEMENT_* e = self.get();
    return by_component(df->dim, basis_count(dv, e), [&](double* out, int capacity) {
        moskQuadDofTimesBasElement(e, df, dv, order, out, capacity);
    });
}

// Face integrals: (nbas(u), nbas(v)) for basis times basis, (dim, nbas(v)) for a field or a
// function of the point times a basis.
py::array_t<double> face_bas_dot_bas(ElementHandle& self, DofHandle& u, DofHandle& v, int face,
                                     int order) {
    return basis_matrix(self, u, v, [&](ELEMENT_* e, DOF_* du, DOF_* dv, double* out, int n) {
        moskQuadFaceBasBasElement(e, face, du, dv, order, out, n);
    });
}

py::array_t<double> face_dof_times_bas(ElementHandle& self, DofHandle& f, DofHandle& v, int face,
                                       int order) {
    DOF_* dv = usable(v, "v");
    DOF_* df = usable(f, "f");
    ELEMENT_* e = self.get();
    return by_component(df->dim, basis_count(dv, e), [&](double* out, int capacity) {
        moskQuadFaceDofTimesBasElement(e, face, df, dv, order, out, capacity);
    });
}

thread_local PointFunctionSlot faceFuncSlot;

void faceFuncBridge(double x, double y, double z, double* values) {
    point_function_bridge(faceFuncSlot, x, y, z, values);
}

py::array_t<double> face_func_times_bas(ElementHandle& self, PointFunction g, DofHandle& v,
                                        int face, int order) {
    DOF_* dv = usable(v, "v");
    ELEMENT_* e = self.get();
    const int dim = dv->dim;
    return by_component(dim, basis_count(dv, e), [&](double* out, int capacity) {
        SlotBinding binding(faceFuncSlot, g, dim);
        moskQuadFaceFuncTimesBasElement(e, face, faceFuncBridge, dim, dv, order, out, capacity);
    });
}

py::array_t<double> grad_bas_dot_grad_bas(ElementHandle& self, DofHandle& u, DofHandle& v,
                                          int order) {
    return bilinear_matrix(moskQuadGradBasAGradBasElement, self, u, v, order);
}

py::array_t<double> bas_dot_bas(ElementHandle& self, DofHandle& u, DofHandle& v, int order) {
    return bilinear_matrix(moskQuadBasABasElement, self, u, v, order);
}

}  // namespace

void define_element_quadrature(py::class_<ElementHandle>& cls) {
    cls.def("quadGradBasDotGradBas", &grad_bas_dot_grad_bas, py::arg("u"), py::arg("v"),
            py::arg("order") = -1)
        .def("quadBasDotBas", &bas_dot_bas, py::arg("u"), py::arg("v"), py::arg("order") = -1)
        .def("quadDofTimesBas", &dof_times_bas, py::arg("f"), py::arg("v"), py::arg("order") = -1);
    cls.def("quadFaceBasDotBas", &face_bas_dot_bas, py::arg("u"), py::arg("v"), py::arg("face"),
            py::arg("order") = -1)
        .def("quadFaceDofTimesBas", &face_dof_times_bas, py::arg("f"), py::arg("v"),
             py::arg("face"), py::arg("order") = -1)
        .def("quadFaceFuncTimesBas", &face_func_times_bas, py::arg("g"), py::arg("v"),
             py::arg("face"), py::arg("order") = -1);
    fast::install<&grad_bas_dot_grad_bas, -1>(cls, "quadGradBasDotGradBas");
    fast::install<&bas_dot_bas, -1>(cls, "quadBasDotBas");
    fast::install<&dof_times_bas, -1>(cls, "quadDofTimesBas");
}

}  // namespace mosk
