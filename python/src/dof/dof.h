// DofHandle: the module's wrapper of a library DOF field, exposed as _pymosk.Dof.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>

#include <string>

#include "construction.h"
#include "dof/point_function.h"
#include "element.h"
#include "grid.h"
#include "handle.h"
#include "mosk.h"
#include "real_values.h"

namespace mosk {

class DofHandle {
public:
    // Members go in reverse order, so the DOF is released before its grid.
    GridHandle grid;      // the grid the DOF was created on; empty for a borrowed DOF
    Handle<DOF_> handle;  // the library DOF, owning or borrowed

    static DofHandle create(GridHandle& g, const std::string& name, const std::string& dof_type,
                            int order, int dim, const std::string& init_type, PointFunction udf);

    void setDataByValue(double value);
    int getDim();
    GridHandle getGrid();
    int getNBas(ElementHandle& e);
    pybind11::list getDirichletBC(ElementHandle& e, PointFunction f);
    // The labels of the boundary faces that carry this field's Dirichlet data; None: the
    // library-wide choice (dof/dirichlet.cpp).
    void setDirichletLabels(std::optional<std::vector<int>> labels);
    int getSize();
    int getLocalSize();
    // Values and node coordinates as NumPy arrays: this process's (the field's own order, with
    // getGlobalIndices), or with `whole` the whole array in the global numbering of a map over
    // this one field (dof/dof_values.cpp).
    pybind11::array_t<double> getValues(bool whole);
    void setValues(const RealValues& values, bool whole);
    pybind11::array_t<double> getNodeCoordinates(bool whole);
    pybind11::array_t<int64_t> getGlobalIndices();
    pybind11::array_t<bool> getOwnedMask();

    DOF_* get() const { return handle.get(); }

    static pybind11::module_& define(pybind11::module_& m);
};

// The slot and bridge through which the library calls a field's initial-value function. One slot
// per thread: another thread may run while a Python function is being called.
extern thread_local PointFunctionSlot initFuncSlot;
void initFuncBridge(double x, double y, double z, double* values);

}  // namespace mosk

MOSK_CONSTRUCTED_ONLY(mosk::DofHandle)
