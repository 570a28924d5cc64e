#include "map.h"

#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "dof/basis_count.h"
#include "dof/dof_pointers.h"
#include "python_lists.h"
#include "small_buffer.h"

namespace py = pybind11;

namespace mosk {

DOF_* field_of(MAP_* map, int i) {
    if (i < 0 || i >= map->ndofs)
        throw py::index_error("field number " + std::to_string(i) + " outside 0.." +
                              std::to_string(map->ndofs - 1) + " of the map's fields");
    return map->dofs[i];
}

MapHandle MapHandle::create(std::vector<DofHandle> dofs) {
    DofPointers pointers(dofs);
    MAP_* map = moskMapCreateN(pointers.count(), pointers.data());
    MapHandle h;
    h.handle = Handle<MAP_>::owning(map, LibraryFree<MAP_, moskMapDestroy>{});
    h.fields = std::move(dofs);
    return h;
}

py::typing::List<int> element_global_indices(MAP_* map, ElementHandle& e, int dof_idx) {
    DOF_* d = field_of(map, dof_idx);
    ELEMENT_* element = e.get();
    // A freed field (null) has no basis: the library refuses the map with its message.
    const int n = d ? basis_count(d, element) : 0;
    SmallBuffer<int, 64> indices{size_t(n)};
    const int written = moskMapElementGlobalIndices(map, dof_idx, element, indices.data(), n);
    return python_list(indices.data(), size_t(written));
}

py::typing::List<int> MapHandle::getGlobalIndex(ElementHandle& e, int dof_idx) {
    return element_global_indices(get(), e, dof_idx);
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
