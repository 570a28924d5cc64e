// A field's values and node coordinates as NumPy arrays: by default this process's (the nodes of
// its elements, owned and ghost, in the field's own order; getGlobalIndices gives their global
// numbers), with whole=True the whole array in the global numbering of a map over the one field,
// so that u.getValues(whole=True)[e.getGlobalIndex(Map(u))] are the element's values. On one
// process the two are the same array.
#include <string>

#include "dof/dof.h"
#include "library_errors.h"

namespace py = pybind11;

namespace mosk {

py::array_t<double> DofHandle::getValues(bool whole) {
    const py::ssize_t n = whole ? getSize() : getLocalSize();
    py::array_t<double> values(n);
    in_method("Dof.getValues", "get field values", [&] {
        (whole ? moskDofGetValues : moskDofGetLocalValues)(get(), values.mutable_data(), n);
    });
    return values;
}

void DofHandle::setValues(const RealValues& values, bool whole) {
    // The library checks the length (collectively: it may be wrong on one process only); -1
    // tells it that the array is not one-dimensional.
    const DenseValues& a = *values.array;
    const int64_t n = a.ndim() == 1 ? int64_t(a.shape(0)) : -1;
    in_method("Dof.setValues", "set field values",
              [&] { (whole ? moskDofSetValues : moskDofSetLocalValues)(get(), a.data(), n); });
}

py::array_t<double> DofHandle::getNodeCoordinates(bool whole) {
    const py::ssize_t n = whole ? getSize() : getLocalSize();
    py::array_t<double> xyz({n, py::ssize_t(3)});
    in_method("Dof.getNodeCoordinates", "get node coordinates", [&] {
        (whole ? moskDofGetNodeCoordinates : moskDofGetLocalNodeCoordinates)(get(),
                                                                             xyz.mutable_data(), n);
    });
    return xyz;
}

py::array_t<int64_t> DofHandle::getGlobalIndices() {
    const py::ssize_t n = getLocalSize();
    py::array_t<int64_t> global(n);
    in_method("Dof.getGlobalIndices", "field global indices",
              [&] { moskDofGetGlobalIndices(get(), global.mutable_data(), nullptr, n); });
    return global;
}

py::array_t<bool> DofHandle::getOwnedMask() {
    const py::ssize_t n = getLocalSize();
    std::vector<int64_t> global(static_cast<size_t>(n));
    py::array_t<bool> owned(n);
    static_assert(sizeof(bool) == sizeof(uint8_t));
    in_method("Dof.getOwnedMask", "field global indices", [&] {
        moskDofGetGlobalIndices(get(), global.data(),
                                reinterpret_cast<uint8_t*>(owned.mutable_data()), n);
    });
    return owned;
}

}  // namespace mosk
