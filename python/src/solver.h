// SolverHandle: a linear solver over a list of fields, exposed as _pymosk.Solver with its
// enumeration Symmetry.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <string>
#include <vector>

#include "construction.h"
#include "dof/dof.h"
#include "element.h"
#include "handle.h"
#include "mosk.h"

namespace mosk {

class SolverHandle {
public:
    Handle<SOLVER_> handle;
    // Copies of the fields the solver was made from: the library solver points at their DOFs.
    std::vector<DofHandle> fields;

    static SolverHandle create(const std::string& name, std::vector<DofHandle> dofs);

    pybind11::typing::List<int> getGlobalIndex(ElementHandle& e, int dof_idx);
    int solve(std::vector<DofHandle> dofs, int solveFlag);

    SOLVER_* get() const { return handle.get(); }

    static void define(pybind11::module_& m);
};

// Puts the enumeration Symmetry (UNSYM, SSYM, SYM, SPD) on the class Solver.
void define_symmetry(pybind11::class_<SolverHandle>& cls);

// The solver kind named `name` in the library's tables (by kind name or alias), else null.
MOSK_SOLVER_KIND_* find_solver_kind_by_name(const std::string& name);

}  // namespace mosk

MOSK_CONSTRUCTED_ONLY(mosk::SolverHandle)
MOSK_CONSTRUCTED_ONLY(SYMMETRY)
