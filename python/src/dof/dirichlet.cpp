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
    // The library marks basis functions; every component of a marked one is prescribed.
    const size_t count = size_t(n) * dim;
    SmallBuffer<int, 256> mask{count};
    SmallBuffer<double, 256> values{count};
    SlotBinding binding(dirichletFuncSlot, f, dim);
    moskDofDirichletBCElement(d, element, dirichletFuncBridge, mask.data(), values.data(), n, 0);
    // Component k of basis function i goes to entry i * dim + k, as the field's values lie in
    // its global numbering (index + k).
    for (int i = n - 1; i >= 0 && dim > 1; --i)
        for (int k = 0; k < dim; ++k) mask[size_t(i) * dim + k] = mask[size_t(i)];
    py::list result(2);
    PyList_SET_ITEM(result.ptr(), 0, python_list(mask.data(), count).release().ptr());
    PyList_SET_ITEM(result.ptr(), 1, python_list(values.data(), count).release().ptr());
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
