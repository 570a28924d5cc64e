// Dirichlet boundary data of a field on one element (mask and values lists).
#pragma once

#include "dof/dof.h"

namespace mosk {

extern thread_local PointFunctionSlot dirichletFuncSlot;
void dirichletFuncBridge(double x, double y, double z, double* values);

pybind11::list getDirichletBC(DofHandle& dof, ElementHandle& e, PointFunction f);

}  // namespace mosk
