#include "dof/dof.h"

#include <pybind11/stl.h>

#include "dof/basis_count.h"
#include "dof/dof_types.h"
#include "text_argument.h"

namespace py = pybind11;

namespace mosk {

thread_local PointFunctionSlot initFuncSlot;

void initFuncBridge(double x, double y, double z, double* values) {
    point_function_bridge(initFuncSlot, x, y, z, values);
}

DofHandle DofHandle::create(GridHandle& g, const std::string& name, const std::string& dof_type,
                            int order, int dim, const std::string& init_type, PointFunction udf) {
    DOF_TYPE_* type = getDofTypeByName(dof_type, order);
    const std::string dof_name =
        name.empty() ? dof_type + std::to_string(order) + "_instance" : name;
    const char* c_name = c_text(dof_name, "the field name");
    DOF_* dof = nullptr;
    if (udf) {
        SlotBinding binding(initFuncSlot, udf, dim);
        dof = moskDofNew_(g.get(), type, nullptr, dim, c_name, initFuncBridge, "Dof", 0);
    } else {
        dof = moskDofNew_(g.get(), type, nullptr, dim, c_name, getDofInitTypeByName(init_type),
                          "Dof", 0);
    }
    DofHandle h;
    h.handle = Handle<DOF_>::owning(dof, LibraryFree<DOF_, moskDofFree>{});
    h.grid = g;
    return h;
}

void DofHandle::setDataByValue(double value) { moskDofSetDataByValue(get(), value); }

int DofHandle::getDim() { return int(get()->dim); }

GridHandle DofHandle::getGrid() {
    // A field made here holds its grid: hand out a sharing copy, which can never dangle.
    if (grid.handle) return grid;
    GridHandle borrowed;
    borrowed.handle.set(get()->grid);
    return borrowed;
}

int DofHandle::getNBas(ElementHandle& e) { return basis_count(get(), e.get()); }

int DofHandle::getSize() {
    const DOF_* d = get();
    if (const MOSK_DOF_VARIABLE_ORDER_* vo = d->variable_order)
        return d->dim * (vo->nvert_values + vo->nedge_values + vo->nface_values + vo->nelem_values);
    const GRID_* g = d->grid;
    const int64_t nvert = g->vertex_count ? g->vertex_count->nvert_global : g->nvert_global;
    const int64_t size = d->nvert_values * nvert + d->nedge_values * int64_t(g->nedge_global) +
                         d->nface_values * int64_t(g->nface_global) +
                         d->nelem_values * int64_t(g->nelem_global);
    return int(size);
}

int DofHandle::getLocalSize() {
    const DOF_* d = get();
    const GRID_* g = d->grid;
    return int(d->nvert_values * g->nvert_local + d->nedge_values * int64_t(g->nedge_local) +
               d->nface_values * int64_t(g->nface_local) +
               d->nelem_values * int64_t(g->nelem_local));
}

py::module_& DofHandle::define(py::module_& m) {
    py::class_<DofHandle>(m, "Dof")
        .def(py::init([](GridHandle& g, const std::string& dof_type, int order, int dim,
                         PointFunction udf, const std::string& name, const std::string& init_type) {
                 return DofHandle::create(g, name, dof_type, order, dim, init_type, std::move(udf));
             }),
             py::arg("g"), py::arg("dof_type"), py::arg("order") = 1, py::arg("dim") = 1,
             py::arg("udf") = py::none(), py::arg("name") = "",
             py::arg("init_type") = "DofInterpolation")
        .def("setDataByValue", &DofHandle::setDataByValue)
        .def("getDim", &DofHandle::getDim)
        .def("getGrid", &DofHandle::getGrid)
        .def("getNBas", &DofHandle::getNBas)
        .def("getDirichletBC", &DofHandle::getDirichletBC)
        .def("setDirichletLabels", &DofHandle::setDirichletLabels, py::arg("labels"))
        .def("getSize", &DofHandle::getSize)
        .def("getLocalSize", &DofHandle::getLocalSize)
        .def("getValues", &DofHandle::getValues, py::kw_only(), py::arg("whole") = false)
        .def("setValues", &DofHandle::setValues, py::arg("values"), py::pos_only(), py::kw_only(),
             py::arg("whole") = false)
        .def("getNodeCoordinates", &DofHandle::getNodeCoordinates, py::kw_only(),
             py::arg("whole") = false)
        .def("getGlobalIndices", &DofHandle::getGlobalIndices)
        .def("getOwnedMask", &DofHandle::getOwnedMask);
    return m;
}

}  // namespace mosk
