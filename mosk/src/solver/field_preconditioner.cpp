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
    s.check(VecCreate(comm, coords.replace()), "VecCreate");
    s.check(VecSetBlockSize(coords, 3), "VecSetBlockSize");
    s.check(VecSetSizes(coords, PetscInt(xyz.size()), PETSC_DECIDE), "VecSetSizes");
    s.check(VecSetType(coords, VECSTANDARD), "VecSetType");
    PetscScalar* a = nullptr;
    s.check(VecGetArray(coords, &a), "VecGetArray");
    if (!xyz.empty()) std::memcpy(a, xyz.data(), xyz.size() * sizeof(double));
    s.check(VecRestoreArray(coords, &a), "VecRestoreArray");
    OwnedNullSpace modes;
    s.check(MatNullSpaceCreateRigidBody(coords, modes.replace()), "MatNullSpaceCreateRigidBody");
    s.check(MatSetNearNullSpace(m, modes), "MatSetNearNullSpace");
}

bool runs_multigrid(KSP ksp, const PetscScope& s) {
    PC pc = nullptr;
    PCType type = nullptr;
    s.check(KSPGetPC(ksp, &pc), "KSPGetPC");
    s.check(PCGetType(pc, &type), "PCGetType");
    return type && std::strcmp(type, PCMG) == 0;
}

// A level's solver reads the options database of the whole solver (a solver's own options).
void share_options(KSP from, KSP level, const PetscScope& s) {
    PetscOptions db = nullptr;
    PC pc = nullptr;
    s.check(PetscObjectGetOptions(reinterpret_cast<PetscObject>(from), &db),
            "PetscObjectGetOptions");
    s.check(PetscObjectSetOptions(reinterpret_cast<PetscObject>(level), db),
            "PetscObjectSetOptions");
    s.check(KSPGetPC(level, &pc), "KSPGetPC");
    s.check(PetscObjectSetOptions(reinterpret_cast<PetscObject>(pc), db), "PetscObjectSetOptions");
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
    s.check(MatCreate(comm_, &P), "MatCreate");
    s.check(MatSetSizes(P, nlocal, fs_.coarse_nlocal, PETSC_DETERMINE, fs_.coarse_size),
            "MatSetSizes");
    s.check(MatSetBlockSizes(P, fs_.block_size, fs_.block_size), "MatSetBlockSizes");
    s.check(MatSetType(P, MATAIJ), "MatSetType");
    s.check(MatSeqAIJSetPreallocation(P, 0, dnnz.data()), "MatSeqAIJSetPreallocation");
    s.check(MatMPIAIJSetPreallocation(P, 0, dnnz.data(), 0, onnz.data()),
            "MatMPIAIJSetPreallocation");
    PetscInt rstart = 0, rend = 0;
    s.check(MatGetOwnershipRange(P, &rstart, &rend), "MatGetOwnershipRange");
    for (PetscInt r = 0; r < nlocal; ++r) {
        const int k = fs_.interp_offsets[std::size_t(r)];
        const PetscInt row = rstart + r;
        s.check(MatSetValues(P, 1, &row, fs_.interp_offsets[std::size_t(r) + 1] - k,
                             fs_.interp_columns.data() + k, fs_.interp_values.data() + k,
                             INSERT_VALUES),
                "MatSetValues");
    }
    s.check(MatAssemblyBegin(P, MAT_FINAL_ASSEMBLY), "MatAssemblyBegin");
    s.check(MatAssemblyEnd(P, MAT_FINAL_ASSEMBLY), "MatAssemblyEnd");
}

void FieldPreconditioner::configure(KSP ksp, Mat A, FieldUse use, const PetscScope& s) {
    multigrid_ = false;
    if (use == FieldUse::None) return;
    if (fs_.rigid_body_modes()) set_rigid_body_modes(comm_, A, fs_.node_xyz, s);
    if (use != FieldUse::Multigrid || !fs_.multilevel()) return;
    make_interpolation(s);
    PC pc = nullptr;
    s.check(KSPGetPC(ksp, &pc), "KSPGetPC");
    s.check(PCSetType(pc, PCMG), "PCSetType(mg)");
    s.check(PCMGSetLevels(pc, 2, nullptr), "PCMGSetLevels");
    s.check(PCMGSetType(pc, PC_MG_MULTIPLICATIVE), "PCMGSetType");
    s.check(PCMGSetCycleType(pc, PC_MG_CYCLE_V), "PCMGSetCycleType");
    s.check(PCMGSetGalerkin(pc, PC_MG_GALERKIN_NONE), "PCMGSetGalerkin");  // update() makes it
    s.check(PCMGSetInterpolation(pc, 1, interpolation_), "PCMGSetInterpolation");
    // The field's level: Chebyshev over Jacobi, symmetric, so CG may use it.
    KSP smoother = nullptr;
    PC smoother_pc = nullptr;
    s.check(PCMGGetSmoother(pc, 1, &smoother), "PCMGGetSmoother");
    share_options(ksp, smoother, s);
    s.check(KSPSetType(smoother, KSPCHEBYSHEV), "KSPSetType(chebyshev)");
    s.check(KSPGetPC(smoother, &smoother_pc), "KSPGetPC");
    s.check(PCSetType(smoother_pc, PCJACOBI), "PCSetType(jacobi)");
    s.check(KSPSetTolerances(smoother, PETSC_DEFAULT, PETSC_DEFAULT, PETSC_DEFAULT,
                             smoothing_steps(fs_.order)),
            "KSPSetTolerances");
    // The coarse level: one AMG cycle; for a vector field the AMG that builds its coarse
    // spaces from the rigid-body modes (BoomerAMG leaves them unused).
    KSP coarse = nullptr;
    PC coarse_pc = nullptr;
    s.check(PCMGGetCoarseSolve(pc, &coarse), "PCMGGetCoarseSolve");
    share_options(ksp, coarse, s);
    s.check(KSPSetType(coarse, KSPPREONLY), "KSPSetType(preonly)");
    s.check(KSPGetPC(coarse, &coarse_pc), "KSPGetPC");
    s.check(PCSetType(coarse_pc, fs_.rigid_body_modes() ? PCGAMG : amg_preconditioner()),
            "PCSetType(amg)");
    multigrid_ = true;
    coarse_of_state_ = -1;
}

void FieldPreconditioner::update(KSP ksp, Mat A, const PetscScope& s) {
    if (!multigrid_ || !runs_multigrid(ksp, s)) return;
    PetscObjectState state = 0;
    s.check(PetscObjectStateGet(reinterpret_cast<PetscObject>(A), &state), "PetscObjectStateGet");
    if (!coarse_ || state != coarse_of_state_) {
        const bool fresh = !coarse_;
        if (fresh) {
            Mat& c = *coarse_.replace();
            s.check(MatProductCreate(A, interpolation_, nullptr, &c), "MatProductCreate");
            s.check(MatProductSetType(c, MATPRODUCT_PtAP), "MatProductSetType");
            // One process: P^T made once, then R A P, about twice as fast as PETSc's default.
            PetscBool serial = PETSC_FALSE;
            s.check(PetscObjectTypeCompare(reinterpret_cast<PetscObject>(A), MATSEQAIJ, &serial),
                    "PetscObjectTypeCompare");
            if (serial) s.check(MatProductSetAlgorithm(c, "rap"), "MatProductSetAlgorithm");
            s.check(MatProductSetFill(c, 2.0), "MatProductSetFill");
            s.check(MatProductSetFromOptions(c), "MatProductSetFromOptions");
            s.check(MatProductSymbolic(c), "MatProductSymbolic");
            if (fs_.rigid_body_modes()) set_rigid_body_modes(comm_, c, fs_.coarse_xyz, s);
        }
        s.check(MatProductNumeric(coarse_), "MatProductNumeric");
        coarse_of_state_ = state;
    }
    PC pc = nullptr;
    KSP coarse = nullptr;
    s.check(KSPGetPC(ksp, &pc), "KSPGetPC");
    s.check(PCMGGetCoarseSolve(pc, &coarse), "PCMGGetCoarseSolve");
    s.check(KSPSetOperators(coarse, coarse_, coarse_), "KSPSetOperators");
}

}  // namespace mosk
