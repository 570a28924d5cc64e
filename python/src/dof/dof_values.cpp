// A field's values and node coordinates as NumPy arrays. Their order is the global numbering of a
// map over the one field, so u.getValues()[e.getGlobalIndex(Map(u))] are the element's values on
// any number of processes; every process holds the whole array.
#include <string>

#include "dof/dof.h"
#include "library_errors.h"

namespace py = pybind11;

namespace mosk {

py::array_t<double> DofHandle::getValues() {
    const py::ssize_t n = getSize();
    py::array_t<double> values(n);
    moskDofGetValues(get(), values.mutable_data(), n);
    return values;
}

void DofHandle::setValues(const RealValues& values) {
    const py::ssize_t n = getSize();
    const DenseValues& a = *values.array;
    if (a.ndim() != 1 || a.shape(0) != n)
        throw py::value_error("Dof.setValues: the field has " + std::to_string(n) +
                              " values, so a one-dimensional array of that length is needed; "
                              "got shape " + std::string(py::str(a.attr("shape"))));
    in_method("Dof.setValues", "set field values", [&] { moskDofSetValues(get(), a.data(), n); });
}

py::array_t<double> DofHandle::getNodeCoordinates() {
    const py::ssize_t n = getSize();
    py::array_t<double> xyz({n, py::ssize_t(3)});
    moskDofGetNodeCoordinates(get(), xyz.mutable_data(), n);
    return xyz;
}

}  // namespace mosk
