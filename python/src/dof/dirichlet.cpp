// Dirichlet boundary data of a field on one element: which basis functions carry boundary
// values, and the values, from a Python function of the point.
#include <pybind11/stl.h>

#include <array>

#include "dof/basis_count.h"
#include "dof/dirichlet.h"

namespace py = pybind11;

namespace mosk {

// One per thread, like initFuncSlot.
thread_local PointFunctionSlot dirichletFuncSlot;

void dirichletFuncBridge(double x, double y, double z, double* values) {
    point_function_bridge(dirichletFuncSlot, x, y, z, values);
}

py::list getDirichletBC(DofHandle& dof, ElementHandle& e, PointFunction f) {
    DOF_* d = dof.get();
    ELEMENT_* element = e.get();
    const int n = basis_count(d, element);
    const int dim = std::max<int>(d->dim, 1);
    std::vector<int> mask(n, 0);
    std::vector<double> values(n, 0.0);
    // Scratch for the library (a matrix row) and room for one value per component; on the stack
    // for every type the library has, on the heap beyond.
    std::array<double, 64> stack;
    std::vector<double> heap;
    double* scratch = stack.data();
    if (size_t(n + dim) > stack.size()) {
        heap.resize(size_t(n + dim));
        scratch = heap.data();
    }
    double* row = scratch;
    double* value = scratch + n;
    SlotBinding binding(dirichletFuncSlot, f, dim);
    for (int i = 0; i < n; ++i)
        if (moskDofDirichletBC(d, element, i, dirichletFuncBridge, row, value, 0)) {
            values[i] = value[0];
            mask[i] = 1;
        }
    py::list result;
    result.append(py::cast(mask));
    result.append(py::cast(values));
    return result;
}

py::list DofHandle::getDirichletBC(ElementHandle& e, PointFunction f) {
    return mosk::getDirichletBC(*this, e, std::move(f));
}

}  // namespace mosk
