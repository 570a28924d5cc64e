#include "map.h"

#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "dof/basis_count.h"
#include "dof/dof_pointers.h"

namespace py = pybind11;

namespace mosk {
namespace {

DOF_* field_of(MAP_* map, int i) {
    if (i < 0 || i >= map->ndofs)
        throw py::index_error("field number " + std::to_string(i) + " outside 0.." +
                              std::to_string(map->ndofs - 1) + " of the map's fields");
    return map->dofs[i];
}

}  // namespace

MapHandle MapHandle::create(std::vector<DofHandle> dofs) {
    DofPointers pointers(dofs);
    MAP_* map = moskMapCreateN(pointers.count(), pointers.data());
    MapHandle h;
    h.handle = Handle<MAP_>::owning(map, LibraryFree<MAP_, moskMapDestroy>{});
    h.fields = std::move(dofs);
    return h;
}

std::vector<int> MapHandle::getGlobalIndex(ElementHandle& e, int dof_idx) {
    MAP_* map = get();
    DOF_* d = field_of(map, dof_idx);
    ELEMENT_* element = e.get();
    const int n = basis_count(d, element);
    std::vector<int> indices(size_t(std::max(n, 0)));
    for (int i = 0; i < n; ++i) {
        const int k = moskDofMapE2D_(d, element, i, 1);
        const int l = moskMapD2L_(map, dof_idx, k, 1);
        indices[i] = moskMapL2G(map, l);
    }
    return indices;
}

DofHandle MapHandle::getDof(int i) {
    moskMapCheckCurrent(get(), "Map.getDof");
    DOF_* dof = field_of(get(), i);
    // A map made here holds its fields: hand out a sharing copy, which can never dangle.
    if (size_t(i) < fields.size()) return fields[i];
    DofHandle d;
    d.handle.set(dof);
    return d;
}

int MapHandle::getSize() {
    moskMapCheckCurrent(get(), "Map.getSize");
    return get()->local_size;
}

int MapHandle::getGlobalSize() {
    moskMapCheckCurrent(get(), "Map.getGlobalSize");
    return get()->global_size;
}

void MapHandle::define(py::module_& m) {
    py::class_<MapHandle>(m, "Map")
        .def(py::init([](DofHandle& d) { return MapHandle::create({d}); }))
        .def(py::init(&MapHandle::create))
        .def("getGlobalIndex", &MapHandle::getGlobalIndex, py::arg("e"), py::arg("dof_idx") = 0)
        .def("getDof", &MapHandle::getDof)
        .def("getSize", &MapHandle::getSize)
        .def("getGlobalSize", &MapHandle::getGlobalSize);
}

}  // namespace mosk
