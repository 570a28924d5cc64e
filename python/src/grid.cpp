#include "grid.h"

#include <pybind11/stl.h>

#include "dof/dof.h"
#include "dof/dof_pointers.h"
#include "element.h"
#include "element_iterator.h"
#include "text_argument.h"

namespace py = pybind11;

namespace mosk {

GridHandle GridHandle::create(const FileName& name) {
    const char* file = c_text(name.text, "the mesh file name");
    GRID_* grid = moskNewGrid(-1);
    GridHandle g;
    g.handle = Handle<GRID_>::owning(grid, LibraryFree<GRID_, moskFreeGrid>{});
    // The handle owns the grid from here on, so a failed import frees it.
    if (!name.text.empty()) moskImport_(grid, file, 1);
    return g;
}

void GridHandle::importFrom(const FileName& name) {
    moskImport_(get(), c_text(name.text, "the mesh file name"), 1);
}

void GridHandle::exportVTK(const FileName& name, std::vector<DofHandle> dofs,
                           std::optional<double> time) {
    const char* file = c_text(name.text, "the output file name");
    DofPointers pointers(dofs);
    if (time)
        moskExportVTKTime(get(), file, *time, pointers.count(), pointers.data());
    else
        moskExportVTKn(get(), file, pointers.count(), pointers.data());
}

void GridHandle::balance(double imbalance) {
    moskBalanceGrid_(get(), imbalance, 1, 0, 0, moskComm, 0);
}

void GridHandle::refineAllElements(int levels) {
    if (levels < 0)
        throw py::value_error(
            "Grid.refineAllElements: the number of levels must not be negative, "
            "got " +
            std::to_string(levels));
    moskRefineAllElements(get(), levels);
}

int GridHandle::getGlobalNumElements() { return get()->nelem_global; }

int GridHandle::getNumElements() { return get()->nelem; }

std::shared_ptr<ElementIterator> GridHandle::getElementIterator() {
    auto it = std::make_shared<ElementIterator>();
    it->init(*this, 1);
    return it;
}

double GridHandle::geomGetVolume(ElementHandle& e) { return moskGeomGetVolume(get(), e.get()); }

double GridHandle::geomGetDiameter(ElementHandle& e) { return moskGeomGetDiameter(get(), e.get()); }

std::vector<double> GridHandle::geomGetJacobian(ElementHandle& e) {
    const double* j = moskGeomGetJacobian_(get(), e.get(), nullptr, nullptr);
    return std::vector<double>(j, j + MOSK_JACOBIAN_SIZE);
}

double GridHandle::geomGetFaceArea(ElementHandle& e, int face) {
    return moskGeomGetFaceArea_(get(), e.get(), face, nullptr, nullptr);
}

double GridHandle::geomGetFaceDiameter(ElementHandle& e, int face) {
    return moskGeomGetFaceDiameter(get(), e.get(), face);
}

std::vector<double> GridHandle::geomGetFaceNormal(ElementHandle& e, int face) {
    const double* n = moskGeomGetFaceNormal(get(), e.get(), face);
    return std::vector<double>(n, n + 3);
}

std::vector<int> GridHandle::getFaceLabels(ElementHandle& e, int face) {
    std::vector<int> labels(8);
    const int n = moskFaceLabels(get(), e.get(), face, labels.data(), int(labels.size()));
    labels.resize(size_t(n));
    if (n > 8) moskFaceLabels(get(), e.get(), face, labels.data(), n);
    return labels;
}

int GridHandle::getElementLabel(ElementHandle& e) { return moskElementLabel(get(), e.get()); }

std::vector<int> GridHandle::getBoundaryLabels() {
    std::vector<int> labels(size_t(moskBoundaryLabels(get(), nullptr, 0)));
    moskBoundaryLabels(get(), labels.data(), int(labels.size()));
    return labels;
}

void GridHandle::define(py::module_& m) {
    py::class_<GridHandle>(m, "Grid")
        .def(py::init(&GridHandle::create), py::arg("name") = "")
        .def("importFrom", &GridHandle::importFrom)
        .def("exportVTK", &GridHandle::exportVTK, py::arg("name"),
             py::arg("dofs") = std::vector<DofHandle>{}, py::arg("time") = py::none())
        .def(
            "exportVTK",
            [](GridHandle& g, const FileName& name, DofHandle& dof, std::optional<double> time) {
                g.exportVTK(name, std::vector<DofHandle>{dof}, time);
            },
            py::arg("name"), py::arg("dofs"), py::arg("time") = py::none())
        .def("balance", &GridHandle::balance)
        .def("refineAllElements", &GridHandle::refineAllElements)
        .def("getGlobalNumElements", &GridHandle::getGlobalNumElements)
        .def("getNumElements", &GridHandle::getNumElements)
        .def("getElementIterator", &GridHandle::getElementIterator)
        .def("geomGetVolume", &GridHandle::geomGetVolume)
        .def("geomGetDiameter", &GridHandle::geomGetDiameter)
        .def("geomGetJacobian", &GridHandle::geomGetJacobian)
        .def("geomGetFaceArea", &GridHandle::geomGetFaceArea)
        .def("geomGetFaceDiameter", &GridHandle::geomGetFaceDiameter)
        .def("geomGetFaceNormal", &GridHandle::geomGetFaceNormal)
        .def("getFaceLabels", &GridHandle::getFaceLabels, py::arg("e"), py::arg("face"))
        .def("getElementLabel", &GridHandle::getElementLabel, py::arg("e"))
        .def("getBoundaryLabels", &GridHandle::getBoundaryLabels);
}

}  // namespace mosk
