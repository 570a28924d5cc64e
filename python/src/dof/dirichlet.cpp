// Dirichlet boundary data of a field on one element: which basis functions carry boundary
// values, and the values, from a Python function of the point.

#include "dof/basis_count.h"
#include "dof/dirichlet.h"
#include "python_lists.h"
#include "small_buffer.h"

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
    // Buffers of this call alone: the boundary function may itself ask for Dirichlet data.
    SmallBuffer<int, 64> mask{size_t(n)};
    SmallBuffer<double, 256> values{size_t(n) * (dim + 1)};
    double* first = values.data() + size_t(n) * dim;  // the first component of each
    SlotBinding binding(dirichletFuncSlot, f, dim);
    moskDofDirichletBCElement(d, element, dirichletFuncBridge, mask.data(), values.data(), n,
                              0);
    const int stride = d->dim;  // the library's values per basis function
    for (int i = 0; i < n; ++i) first[i] = stride > 0 ? values[size_t(i) * stride] : 0.0;
    py::list result(2);
    PyList_SET_ITEM(result.ptr(), 0, python_list(mask.data(), size_t(n)).release().ptr());
    PyList_SET_ITEM(result.ptr(), 1, python_list(first, size_t(n)).release().ptr());
    return result;
}

py::list DofHandle::getDirichletBC(ElementHandle& e, PointFunction f) {
    return mosk::getDirichletBC(*this, e, std::move(f));
}

void DofHandle::setDirichletLabels(std::optional<std::vector<int>> labels) {
    if (!labels) return moskDofSetDirichletLabels(get(), nullptr, -1);
    moskDofSetDirichletLabels(get(), labels->data(), int(labels->size()));
}

}  // namespace mosk
