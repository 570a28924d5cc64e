// Reading a LinearSystem back from PETSc, for tests: entries, the right-hand side, the stored
// pattern. The library itself never reads its systems back.
#pragma once

#include <gtest/gtest.h>
#include <petscmat.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "solver/petsc_system.h"

namespace probe {

inline void ok(PetscErrorCode code) {
    if (code != 0) throw std::runtime_error("PETSc error " + std::to_string(int(code)));
}

// Entry (row, col) of the assembled matrix; row is one this process owns. Collective.
inline double matrix_entry(mosk::LinearSystem& sys, int row, int col) {
    if (row < 0 || row >= sys.size() || col < 0 || col >= sys.size())
        throw std::out_of_range("entry (" + std::to_string(row) + ", " + std::to_string(col) +
                                ") outside the system");
    const Mat A = sys.assembled().first;
    PetscInt r = row, c = col;
    PetscScalar v = 0;
    ok(MatGetValues(A, 1, &r, 1, &c, &v));
    return v;
}

// Every entry of the right-hand side, on every process. Collective.
inline std::vector<double> rhs_values(mosk::LinearSystem& sys) {
    const Vec b = sys.assembled().second;
    VecScatter scatter = nullptr;
    Vec all = nullptr;
    ok(VecScatterCreateToAll(b, &scatter, &all));
    ok(VecScatterBegin(scatter, b, all, INSERT_VALUES, SCATTER_FORWARD));
    ok(VecScatterEnd(scatter, b, all, INSERT_VALUES, SCATTER_FORWARD));
    const PetscScalar* a = nullptr;
    ok(VecGetArrayRead(all, &a));
    std::vector<double> out(a, a + sys.size());
    ok(VecRestoreArrayRead(all, &a));
    ok(VecScatterDestroy(&scatter));
    ok(VecDestroy(&all));
    return out;
}

// Entries the matrix stores over all processes, explicit zeros included. Collective.
inline std::int64_t matrix_nonzeros(mosk::LinearSystem& sys) {
    MatInfo info;
    ok(MatGetInfo(sys.assembled().first, MAT_GLOBAL_SUM, &info));
    return std::int64_t(info.nz_used);
}

// Entries the matrix stores in an owned row. Collective.
inline int row_size(mosk::LinearSystem& sys, int row) {
    const Mat A = sys.assembled().first;
    PetscInt count = 0;
    const PetscInt* cols = nullptr;
    const PetscScalar* values = nullptr;
    ok(MatGetRow(A, row, &count, &cols, &values));
    const int entries = int(count);  // MatRestoreRow clears count
    ok(MatRestoreRow(A, row, &count, &cols, &values));
    return entries;
}

}  // namespace probe
