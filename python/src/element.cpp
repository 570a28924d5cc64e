#include "element.h"

#include <pybind11/stl.h>

#include <stdexcept>

#include "dof/dirichlet.h"
#include "fast_call.h"
#include "map.h"
#include "solver.h"

namespace py = pybind11;

namespace mosk {

Handle<ELEMENT_> stamped_element(ELEMENT_* e, const GRID_* grid) {
    Handle<ELEMENT_> h;
    if (e)
        h.set_borrowed(e, ElementStamp{grid->store_id, e->record});
    else
        h.set(nullptr);
    return h;
}

ELEMENT_* ElementHandle::get() const {
    ELEMENT_* e = handle.get();
    if (!e)
        throw std::runtime_error(
            "Element holds no element (it was taken from an iterator that had none left)");
    const ElementStamp* stamp = handle.release_data<ElementStamp>();
    if (!stamp || !moskElementIsCurrent(stamp->store_id, stamp->record, e))
        throw std::runtime_error(
            "Element is stale: its grid was refined, re-imported or freed after the element was "
            "obtained; take a new element from a new iterator");
    return e;
}

namespace {

py::list element_dirichlet_bc(ElementHandle& self, DofHandle& dof, PointFunction f) {
    return dof.getDirichletBC(self, std::move(f));
}

// The fast call's getGlobalIndex, for both kinds of numbering (a null result: neither).
py::object element_global_index(ElementHandle& self, py::handle numbering, int dof_idx) {
    if (SolverHandle* solver = fast::object_of<SolverHandle>(numbering.ptr()))
        return solver->getGlobalIndex(self, dof_idx);
    if (MapHandle* map = fast::object_of<MapHandle>(numbering.ptr()))
        return map->getGlobalIndex(self, dof_idx);
    return {};
}

}  // namespace

void ElementHandle::define(py::module_& m) {
    py::class_<ElementHandle> cls(m, "Element");
    define_element_quadrature(cls);
    cls.def("getDirichletBC", &element_dirichlet_bc)
        .def(
            "getGlobalIndex",
            [](ElementHandle& self, SolverHandle& e, int dof_idx) {
                return e.getGlobalIndex(self, dof_idx);
            },
            py::arg("e"), py::arg("dof_idx") = 0)
        .def(
            "getGlobalIndex",
            [](ElementHandle& self, MapHandle& e, int dof_idx) {
                return e.getGlobalIndex(self, dof_idx);
            },
            py::arg("e"), py::arg("dof_idx") = 0)
        .def("__repr__", [](const ElementHandle& self) {
            const ELEMENT_* e = self.get();
            return vec2str(std::vector<int>{e->verts[0], e->verts[1], e->verts[2], e->verts[3]});
        });
    fast::install<&element_dirichlet_bc>(cls, "getDirichletBC");
    fast::install<&element_global_index, 0>(cls, "getGlobalIndex");
}

}  // namespace mosk
