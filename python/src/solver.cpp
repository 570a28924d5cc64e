#include "solver.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <sstream>

#include "dof/dof_pointers.h"
#include "fast_call.h"
#include "library_errors.h"
#include "map.h"
#include "real_values.h"
#include "sequence_argument.h"
#include "stack_argument.h"
#include "text_argument.h"

namespace py = pybind11;

namespace mosk {
namespace {

// Exactly `needed` values: too many are as much a mistake as too few (the wrong indices, say). A
// block given as a matrix must also have the shape rows x columns.
void require_values(const DenseValues& values, size_t needed, const char* what) {
    if (size_t(values.size()) != needed)
        throw py::value_error(std::string(what) + ": " + std::to_string(needed) +
                              " values needed, " + std::to_string(values.size()) + " given");
}

void add_matrix_entries(SolverHandle& self, const SequenceArgument<int>& rows,
                        const SequenceArgument<int>& cols, const RealValues& real) {
    const DenseValues& values = *real.array;
    require_values(values, rows.size() * cols.size(), "addMatrixEntries");
    if (values.ndim() == 2 &&
        (size_t(values.shape(0)) != rows.size() || size_t(values.shape(1)) != cols.size()))
        throw py::value_error(
            "addMatrixEntries: a block of shape (" + std::to_string(values.shape(0)) + ", " +
            std::to_string(values.shape(1)) + ") for " + std::to_string(rows.size()) +
            " rows and " + std::to_string(cols.size()) + " columns");
    moskMatAddEntries_(self.get()->matrix, int(rows.size()), rows.data(), int(cols.size()),
                       cols.data(), values.data(), 1, 1, 0);
}

void add_rhs_entries(SolverHandle& self, const SequenceArgument<int>& indices,
                     const RealValues& real) {
    const DenseValues& values = *real.array;
    require_values(values, indices.size(), "addRHSEntries");
    moskVecAddEntries_(self.get()->rhs, 0, int(indices.size()), indices.data(), values.data(), 1,
                       0);
}

// A stack of element blocks: rows (n, r), cols (n, c), values (n, r, c), added element by element.
void add_matrix_stack(SolverHandle& self, const StackArgument<int, 2>& rows,
                      const StackArgument<int, 2>& cols, const StackArgument<double, 3>& values) {
    const py::ssize_t n = rows.shape(0), r = rows.shape(1), c = cols.shape(1);
    if (cols.shape(0) != n || values.shape(0) != n || values.shape(1) != r || values.shape(2) != c)
        throw py::value_error("addMatrixEntries: rows " + rows.shape_text() + ", columns " +
                              cols.shape_text() + " and values " + values.shape_text() +
                              " do not fit: values (n, rows, columns) expected");
    MOSK_MATRIX_* m = self.get()->matrix;
    for (py::ssize_t k = 0; k < n; ++k)
        moskMatAddEntries_(m, int(r), rows.data() + k * r, int(c), cols.data() + k * c,
                           values.data() + k * r * c, 1, 1, 0);
}

void add_rhs_stack(SolverHandle& self, const StackArgument<int, 2>& indices,
                   const StackArgument<double, 2>& values) {
    if (values.shape(0) != indices.shape(0) || values.shape(1) != indices.shape(1))
        throw py::value_error("addRHSEntries: values of shape " + values.shape_text() +
                              " for indices of shape " + indices.shape_text());
    const py::ssize_t total = indices.shape(0) * indices.shape(1);
    if (total > INT_MAX) throw py::value_error("addRHSEntries: too many entries in one call");
    moskVecAddEntries_(self.get()->rhs, 0, int(total), indices.data(), values.data(), 1, 0);
}

}  // namespace

MOSK_SOLVER_KIND_* find_solver_kind_by_name(const std::string& name) {
    // A name holding a NUL is no kind's name (the library would read only the text before it).
    if (name.find('\0') != std::string::npos) return nullptr;
    return moskSolverKindByName(name.c_str());
}

SolverHandle SolverHandle::create(const std::string& name, std::vector<DofHandle> dofs) {
    MOSK_SOLVER_KIND_* kind = find_solver_kind_by_name(name);
    DofPointers p(dofs);
    SOLVER_* solver = moskSolverCreateN(kind, p.count(), p.data());
    SolverHandle h;
    h.handle = Handle<SOLVER_>::owning(solver, LibraryFree<SOLVER_, moskSolverDestroy>{});
    // Element systems are treated for their Dirichlet rows before assembly (processBoundary),
    // so the solver must not add its own treatment.
    solver->matrix->flag = 0;
    h.fields = std::move(dofs);
    return h;
}

py::typing::List<int> SolverHandle::getGlobalIndex(ElementHandle& e, int dof_idx) {
    SOLVER_* s = get();
    MOSK_MATRIX_* m = s->matrix2 ? s->matrix2 : s->matrix;
    return element_global_indices(m->map, e, dof_idx);
}

int SolverHandle::solve(std::vector<DofHandle> dofs, int solveFlag) {
    DofPointers p(dofs);
    return moskSolverSolveN(get(), solveFlag, p.count(), p.data());
}

void SolverHandle::define(py::module_& m) {
    py::class_<SolverHandle> cls(m, "Solver");
    cls.def(py::init([](const std::string& name, DofHandle& d) {
           return SolverHandle::create(name, {d});
       }))
        .def(py::init(&SolverHandle::create))
        .def("addMatrixEntries", &add_matrix_entries)
        .def("addRHSEntries", &add_rhs_entries)
        .def("addMatrixEntries", &add_matrix_stack)
        .def("addRHSEntries", &add_rhs_stack)
        .def("getGlobalIndex", &SolverHandle::getGlobalIndex, py::arg("e"), py::arg("dof_idx") = 0)
        .def("solve", [](SolverHandle& self, DofHandle& d) { self.solve({d}, 0); })
        .def("solve", [](SolverHandle& self, std::vector<DofHandle> d) { self.solve(d, 0); })
        .def("setSymmetry",
             [](SolverHandle& self, SYMMETRY s) {
                 moskMapCheckCurrent(self.get()->matrix->map, "Solver.setSymmetry");
                 self.get()->symmetry = int(s);
             })
        .def("dumpMATLAB",
             [](SolverHandle& self, const FileName& a, const FileName& b) {
                 moskSolverDumpMATLAB_(self.get(), c_text(a.text, "the matrix file name"),
                                       c_text(b.text, "the right-hand side file name"), nullptr, 0);
             })
        .def("zeroMatrix", [](SolverHandle& self) { moskSolverZeroMatrix(self.get()); })
        .def("zeroRHS", [](SolverHandle& self) { moskSolverZeroRHS(self.get()); })
        .def("setOptions",
             [](SolverHandle& self, const std::string& options) {
                 const char* text = c_text(options, "the options");
                 in_method("Solver.setOptions", "solver options",
                           [&] { moskSolverSetOptions(self.get(), text); });
             })
        .def("__repr__", [](const SolverHandle& self) {
            const SOLVER_* s = self.get();
            std::ostringstream out;
            out << "iter " << s->iterations << " maxit " << s->maxit << " residual " << s->residual
                << " rtol " << s->rtol;
            return out.str();
        });
    fast::install<&add_matrix_entries>(cls, "addMatrixEntries");
    fast::install<&add_rhs_entries>(cls, "addRHSEntries");
    define_symmetry(cls);
}

}  // namespace mosk
