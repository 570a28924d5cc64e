#include "solver/field_preconditioner.h"

#include <cstring>
#include <vector>

// Exported by every PETSc, declared in a public header only from 3.19 on.
extern "C" PetscErrorCode PetscObjectStateGet(PetscObject, PetscObjectState*);

namespace mosk {

namespace {

using OwnedNullSpace = PetscOwner<MatNullSpace, MatNullSpaceDestroy>;

// The six rigid-body modes of the nodes at xyz (3 values a node, this process's nodes), laid out
// as the rows of a matrix with block size 3.
void set_rigid_body_modes(MPI_Comm comm, Mat m, const std::vector<double>& xyz,
                          const PetscScope& s) {
    OwnedVec coords;
    PETSC_CHECK(s, VecCreate(comm, coords.replace()));
    PETSC_CHECK(s, VecSetBlockSize(coords, 3));
    PETSC_CHECK(s, VecSetSizes(coords, PetscInt(xyz.size()), PETSC_DECIDE));
    PETSC_CHECK(s, VecSetType(coords, VECSTANDARD));
    PetscScalar* a = nullptr;
    PETSC_CHECK(s, VecGetArray(coords, &a));
    if (!xyz.empty()) std::memcpy(a, xyz.data(), xyz.size() * sizeof(double));
    PETSC_CHECK(s, VecRestoreArray(coords, &a));
    OwnedNullSpace modes;
    PETSC_CHECK(s, MatNullSpaceCreateRigidBody(coords, modes.replace()));
    PETSC_CHECK(s, MatSetNearNullSpace(m, modes));
}

bool runs_multigrid(KSP ksp, const PetscScope& s) {
    PC pc = nullptr;
    PCType type = nullptr;
    PETSC_CHECK(s, KSPGetPC(ksp, &pc));
    PETSC_CHECK(s, PCGetType(pc, &type));
    return type && std::strcmp(type, PCMG) == 0;
}

// A level's solver reads the options database of the whole solver (a solver's own options).
void share_options(KSP from, KSP level, const PetscScope& s) {
    PetscOptions db = nullptr;
    PC pc = nullptr;
    PETSC_CHECK(s, PetscObjectGetOptions(reinterpret_cast<PetscObject>(from), &db));
    PETSC_CHECK(s, PetscObjectSetOptions(reinterpret_cast<PetscObject>(level), db));
    PETSC_CHECK(s, KSPGetPC(level, &pc));
    PETSC_CHECK(s, PetscObjectSetOptions(reinterpret_cast<PetscObject>(pc), db));
}

// Chebyshev steps before and after the coarse correction: measured on P2 and P3 Poisson
// problems at 1e5 to 1e6 unknowns (bench/bench_high_order_pc.py).
int smoothing_steps(int order) { return order <= 2 ? 1 : order - 1; }

}  // namespace

void FieldPreconditioner::make_interpolation(const PetscScope& s) {
    if (interpolation_) return;
    const int nlocal = int(fs_.interp_offsets.size()) - 1;
    const int cstart = fs_.coarse_rstart, cend = fs_.coarse_rstart + fs_.coarse_nlocal;
    std::vector<PetscInt> dnnz(std::size_t(nlocal), 0), onnz(std::size_t(nlocal), 0);
    for (int r = 0; r < nlocal; ++r)
        for (int k = fs_.interp_offsets[r]; k < fs_.interp_offsets[r + 1]; ++k) {
            const int c = fs_.interp_columns[std::size_t(k)];
            ++(c >= cstart && c < cend ? dnnz : onnz)[std::size_t(r)];
        }
    Mat& P = *interpolation_.replace();
    PETSC_CHECK(s, MatCreate(comm_, &P));
    PETSC_CHECK(s, MatSetSizes(P, nlocal, fs_.coarse_nlocal, PETSC_DETERMINE, fs_.coarse_size));
    PETSC_CHECK(s, MatSetBlockSizes(P, fs_.block_size, fs_.block_size));
    PETSC_CHECK(s, MatSetType(P, MATAIJ));
    PETSC_CHECK(s, MatSeqAIJSetPreallocation(P, 0, dnnz.data()));
    PETSC_CHECK(s, MatMPIAIJSetPreallocation(P, 0, dnnz.data(), 0, onnz.data()));
    PetscInt rstart = 0, rend = 0;
    PETSC_CHECK(s, MatGetOwnershipRange(P, &rstart, &rend));
    for (PetscInt r = 0; r < nlocal; ++r) {
        const int k = fs_.interp_offsets[std::size_t(r)];
        const PetscInt row = rstart + r;
        PETSC_CHECK(s, MatSetValues(P, 1, &row, fs_.interp_offsets[std::size_t(r) + 1] - k,
                                    fs_.interp_columns.data() + k, fs_.interp_values.data() + k,
                                    INSERT_VALUES));
    }
    PETSC_CHECK(s, MatAssemblyBegin(P, MAT_FINAL_ASSEMBLY));
    PETSC_CHECK(s, MatAssemblyEnd(P, MAT_FINAL_ASSEMBLY));
}

void FieldPreconditioner::configure(KSP ksp, Mat A, FieldUse use, const PetscScope& s) {
    multigrid_ = false;
    if (use == FieldUse::None) return;
    if (fs_.rigid_body_modes()) set_rigid_body_modes(comm_, A, fs_.node_xyz, s);
    if (use != FieldUse::Multigrid || !fs_.multilevel()) return;
    make_interpolation(s);
    PC pc = nullptr;
    PETSC_CHECK(s, KSPGetPC(ksp, &pc));
    PETSC_CHECK(s, PCSetType(pc, PCMG));
    PETSC_CHECK(s, PCMGSetLevels(pc, 2, nullptr));
    PETSC_CHECK(s, PCMGSetType(pc, PC_MG_MULTIPLICATIVE));
    PETSC_CHECK(s, PCMGSetCycleType(pc, PC_MG_CYCLE_V));
    PETSC_CHECK(s, PCMGSetGalerkin(pc, PC_MG_GALERKIN_NONE));  // update() makes it
    PETSC_CHECK(s, PCMGSetInterpolation(pc, 1, interpolation_));
    // The field's level: Chebyshev over Jacobi, symmetric, so CG may use it.
    KSP smoother = nullptr;
    PC smoother_pc = nullptr;
    PETSC_CHECK(s, PCMGGetSmoother(pc, 1, &smoother));
    share_options(ksp, smoother, s);
    PETSC_CHECK(s, KSPSetType(smoother, KSPCHEBYSHEV));
    PETSC_CHECK(s, KSPGetPC(smoother, &smoother_pc));
    PETSC_CHECK(s, PCSetType(smoother_pc, PCJACOBI));
    PETSC_CHECK(s, KSPSetTolerances(smoother, PETSC_DEFAULT, PETSC_DEFAULT, PETSC_DEFAULT,
                                    smoothing_steps(fs_.order)));
    // The coarse level: one AMG cycle; for a vector field the AMG that builds its coarse
    // spaces from the rigid-body modes (BoomerAMG leaves them unused).
    KSP coarse = nullptr;
    PC coarse_pc = nullptr;
    PETSC_CHECK(s, PCMGGetCoarseSolve(pc, &coarse));
    share_options(ksp, coarse, s);
    PETSC_CHECK(s, KSPSetType(coarse, KSPPREONLY));
    PETSC_CHECK(s, KSPGetPC(coarse, &coarse_pc));
    PETSC_CHECK(s, PCSetType(coarse_pc, fs_.rigid_body_modes() ? PCGAMG : amg_preconditioner()));
    multigrid_ = true;
    coarse_of_state_ = -1;
}

void FieldPreconditioner::update(KSP ksp, Mat A, const PetscScope& s) {
    if (!multigrid_ || !runs_multigrid(ksp, s)) return;
    PetscObjectState state = 0;
    PETSC_CHECK(s, PetscObjectStateGet(reinterpret_cast<PetscObject>(A), &state));
    if (!coarse_ || state != coarse_of_state_) {
        const bool fresh = !coarse_;
        if (fresh) {
            Mat& c = *coarse_.replace();
            PETSC_CHECK(s, MatProductCreate(A, interpolation_, nullptr, &c));
            PETSC_CHECK(s, MatProductSetType(c, MATPRODUCT_PtAP));
            // One process: P^T made once, then R A P, about twice as fast as PETSc's default.
            PetscBool serial = PETSC_FALSE;
            PETSC_CHECK(
                s, PetscObjectTypeCompare(reinterpret_cast<PetscObject>(A), MATSEQAIJ, &serial));
            if (serial) PETSC_CHECK(s, MatProductSetAlgorithm(c, "rap"));
            PETSC_CHECK(s, MatProductSetFill(c, 2.0));
            PETSC_CHECK(s, MatProductSetFromOptions(c));
            PETSC_CHECK(s, MatProductSymbolic(c));
            if (fs_.rigid_body_modes()) set_rigid_body_modes(comm_, c, fs_.coarse_xyz, s);
        }
        PETSC_CHECK(s, MatProductNumeric(coarse_));
        coarse_of_state_ = state;
    }
    PC pc = nullptr;
    KSP coarse = nullptr;
    PETSC_CHECK(s, KSPGetPC(ksp, &pc));
    PETSC_CHECK(s, PCMGGetCoarseSolve(pc, &coarse));
    PETSC_CHECK(s, KSPSetOperators(coarse, coarse_, coarse_));
}

}  // namespace mosk
