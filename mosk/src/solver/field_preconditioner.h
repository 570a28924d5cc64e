// The parts of a preconditioner that come from the field behind a system (field_structure.h):
// the rigid-body modes of a 3-component field as the matrix's near null space, and for a field
// of order >= 2 a two-level p-multigrid: the P1 field on the same grid as the coarse level,
// reached by the interpolation matrix and solved by one AMG cycle (GAMG with the rigid-body modes
// for a 3-component field), and Chebyshev with Jacobi as the smoother on the field's own level.
#pragma once

#include <petscksp.h>

#include "solver/field_structure.h"
#include "solver/petsc_objects.h"
#include "solver/solver_kinds.h"

namespace mosk {

class FieldPreconditioner {
public:
    FieldPreconditioner(MPI_Comm comm, FieldStructure structure)
        : comm_(comm), fs_(std::move(structure)) {}

    // On a KSP its kind has just configured, with A its matrix: sets A's near null space and,
    // when `use` asks for it and the field has a coarse level, the p-multigrid (options read
    // afterwards may still replace it).
    void configure(KSP ksp, Mat A, FieldUse use, const PetscScope& s);

    // Before each set-up: the coarse operator P^T A P follows A when A changed, if the KSP still
    // runs the p-multigrid.
    void update(KSP ksp, Mat A, const PetscScope& s);

private:
    void make_interpolation(const PetscScope& s);

    MPI_Comm comm_;
    FieldStructure fs_;
    OwnedMat interpolation_, coarse_;
    PetscObjectState coarse_of_state_ = -1;  // A's state when coarse_ was computed
    bool multigrid_ = false;                 // the last configure set the p-multigrid
};

}  // namespace mosk
