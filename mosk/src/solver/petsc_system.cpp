#include "solver/petsc_system.h"
#include "core/check.h"

#include <petscksp.h>
#include <petsc/private/petscimpl.h>  // PetscObjectStateGet: what PCSetUp compares

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "core/library_state.h"
#include "core/parallel.h"
#include "core/stopwatch.h"
#include "mosk.h"
#include "solver/field_preconditioner.h"
#include "solver/matlab_writer.h"
#include "core/petsc_call.h"
#include "solver/petsc_objects.h"
#include "solver/sparsity_pattern.h"
#include "solver/solver_kinds.h"
#include "solver/solver_options.h"

namespace mosk {

namespace {

void require_started(const char* operation) {
    if (!library_started())
        fail<std::runtime_error>(operation, library_finalized()
                                                ? "the library has been shut down"
                                                : "the library is not started (moskInit)");
}

std::string reason_text(int reason) {
    const char* name = (reason >= KSP_DIVERGED_PC_FAILED && reason <= KSP_CONVERGED_ATOL_NORMAL)
                           ? KSPConvergedReasons[reason]
                           : nullptr;
    return std::string(name ? name : "UNKNOWN") + " (" + std::to_string(reason) + ")";
}


// The positions at[t] in the sorted row first[0 .. length - 1] (length >= 1) of the last entry
// not above want[t], for `lanes` columns side by side (the last column repeated beyond `count`).
template <int lanes>
inline void search_in_step(const PetscInt* first, std::size_t length, const int* want, int count,
                           std::size_t* at) {
    PetscInt c[lanes];
    for (int t = 0; t < lanes; ++t) {
        c[t] = want[std::min(t, count - 1)];
        at[t] = 0;
    }
    for (std::size_t rest = length; rest > 1;) {
        const std::size_t half = rest / 2;
        for (int t = 0; t < lanes; ++t) at[t] += first[at[t] + half] <= c[t] ? half : 0;
        rest -= half;
    }
}

// Finds want[0 .. count - 1] in the sorted row first[0 .. length - 1], calling found(j, p) with
// the position p of want[j]; returns the index of the first column not in the row, or -1. Every
// column is found by a binary search without branches on the data (a
// conditional move per step): the branches of a walk along the row are mispredicted about once
// an entry, which cost more than the memory. The searches go in step, a few at a time (their
// steps are the same, set by the row's length), so that their loads overlap instead of each
// waiting on the one before.
template <class Found>
inline int locate_in_row(const PetscInt* first, std::size_t length, const int* want, int count,
                         Found&& found) {
    if (length == 0) return count > 0 ? 0 : -1;
    std::size_t at[8];
    for (int j0 = 0; j0 < count;) {
        const int rest = count - j0;
        const int lanes = rest >= 8 ? 8 : rest >= 3 ? 4 : 2;
        if (lanes == 8)
            search_in_step<8>(first, length, want + j0, rest, at);
        else if (lanes == 4)
            search_in_step<4>(first, length, want + j0, rest, at);
        else
            search_in_step<2>(first, length, want + j0, rest, at);
        for (int t = 0; t < std::min(lanes, rest); ++t) {
            if (first[at[t]] != want[j0 + t]) return j0 + t;
            found(j0 + t, at[t]);
        }
        j0 += lanes;
    }
    return -1;
}

}  // namespace

struct LinearSystem::Impl {
    int n = 0;
    int rstart = 0, nlocal = 0;  // this process's rows
    bool parallel = false;       // more than one process
    MPI_Comm comm = MPI_COMM_NULL;
    // The pattern of the held rows: this process's own and those of its elements. Once the
    // matrix holds the own rows' columns, it keeps only the others' (the rows of other processes
    // that its elements add to).
    SparsityPattern pattern;
    // Declared before the objects that refer to them, so that they go after them.
    OwnedOptions ksp_database;  // ksp's own database when own_options is not empty
    OwnedMat A;
    OwnedVec b, x;
    OwnedKsp ksp;
    std::unique_ptr<FieldPreconditioner> field_pc;  // null: nothing known of the field
    int block_size = 1;
    const SolverKind* ksp_kind = nullptr;
    std::string ksp_options;  // the options database when ksp was made
    std::string own_options;  // this solver's own PETSc options (add_solver_options)
    double ksp_rtol = 0;      // tolerances last given to ksp
    int ksp_maxit = 0;
    PetscObjectState setup_state = -1;  // the matrix's state when ksp was last set up
    // This process's rows that hold a boundary value (a nonzero diagonal and no other nonzero,
    // the rows an element boundary treatment makes), their diagonals, and ||A||_F, all found
    // when the matrix was in state fixed_state.
    std::vector<PetscInt> fixed_rows;
    std::vector<PetscScalar> fixed_diagonal;
    // One process: the nonzeros of other rows in the columns of fixed rows (row, k of
    // fixed_rows, value), none after an element boundary treatment, so that A x0 costs no
    // product with the whole matrix.
    struct Coupling {
        PetscInt row, k;
        PetscScalar value;
    };
    std::vector<Coupling> couplings;
    double matrix_norm = 0;
    PetscObjectState fixed_state = -1;
    bool matrix_pending = false, rhs_pending = false;  // additions not yet assembled

    // Additions to owned rows go straight into the matrix's own storage, found by the matrix's
    // own CSR (borrowed from PETSc, which keeps it fixed: the whole pattern is stored from the
    // start). One process: the whole matrix, its columns the global ones. Several: the diagonal
    // block, whose columns are numbered from rstart, and the off-diagonal block, whose columns
    // number those of ghost_columns (global, increasing).
    Mat diag_block = nullptr, off_block = nullptr;  // the two blocks (parallel), borrowed
    const PetscInt *diag_i = nullptr, *diag_j = nullptr;
    const PetscInt *off_i = nullptr, *off_j = nullptr;
    const PetscInt* ghost_columns = nullptr;
    PetscInt ghost_count = 0;
    PetscScalar* values = nullptr;  // checked-out storage (serial, or the diagonal block)
    PetscScalar* off_values = nullptr;  // the off-diagonal block's (parallel)
    bool checked_out = false;
    PetscScalar* rhs_values = nullptr;  // checked-out storage of this process's part of b
    bool rhs_checked_out = false;
    // Scratch of add_block: the address of each entry of the block (for a row of another
    // process, in other_values below); on several processes the block's columns by
    // the block of the matrix that holds them (diagonal first, then off-diagonal, in the numbers
    // of that block) and their places in the block.
    std::vector<PetscScalar*> targets;
    std::vector<int> split_columns, split_places;
    // The sums of the additions to other processes' rows, one per entry of the pattern (which
    // keeps only those rows): PETSc's stash carries them to their owners at assembly, one entry
    // per pattern entry rather than one per addition.
    std::vector<PetscScalar> other_values;
    bool others_pending = false;

    ~Impl() {
        // The matrix storage goes back to PETSc before the matrix goes (the owners leave
        // PETSc alone after a shut-down).
        if (!library_started()) return;
        PetscScope s("release");
        try {
            release_values(s);
        } catch (const std::exception&) {  // nothing to do about it now
        }
    }

    void destroy_ksp() noexcept {
        ksp.reset();
        ksp_database.reset();
        ksp_kind = nullptr;
        setup_state = -1;
    }

    // Whether any process has `flag` set (a process's own flag on one process).
    bool anywhere(bool flag) const {
        if (!parallel) return flag;
        int any = flag ? 1 : 0;
        CHECK_MPI("assembly", MPI_Allreduce(MPI_IN_PLACE, &any, 1, MPI_INT, MPI_LOR, comm));
        return any != 0;
    }

    // Checks the matrix storage out for direct additions (until release_values).
    void check_out_values(const PetscScope& s) {
        if (checked_out) return;
        if (!parallel) {
            PETSC_CHECK(s, MatSeqAIJGetArray(A, &values));
        } else {
            PETSC_CHECK(s, MatSeqAIJGetArray(diag_block, &values));
            PETSC_CHECK(s, MatSeqAIJGetArray(off_block, &off_values));
        }
        checked_out = true;
    }

    // The same for the right-hand side's owned entries.
    void check_out_rhs(const PetscScope& s) {
        if (rhs_checked_out) return;
        PETSC_CHECK(s, VecGetArray(b, &rhs_values));
        rhs_checked_out = true;
    }

    // Returns the storage to PETSc; every other use of the matrix or the right-hand side comes
    // after this.
    void release_values(const PetscScope& s) {
        if (rhs_checked_out) {
            rhs_checked_out = false;
            PETSC_CHECK(s, VecRestoreArray(b, &rhs_values));
            rhs_values = nullptr;
        }
        if (!checked_out) return;
        checked_out = false;
        if (!parallel) {
            PETSC_CHECK(s, MatSeqAIJRestoreArray(A, &values));
        } else {
            PETSC_CHECK(s, MatSeqAIJRestoreArray(diag_block, &values));
            PETSC_CHECK(s, MatSeqAIJRestoreArray(off_block, &off_values));
        }
        values = off_values = nullptr;
    }

    // Several processes: the columns of a block by the block of the matrix that holds them
    // (split_columns, split_places, diag_count, off_count), or the first column that no owned
    // row holds (split_missing, else -1). Once per block, before locate_in_own_row.
    void split_block(int ncols, const int* cols);
    int diag_count = 0, off_count = 0, split_missing = -1;
    // The storage of each column of a block in owned row r (0 .. nlocal - 1), into
    // targets[0 .. ncols - 1] (storage checked out); the place of the column that is not in the
    // row, or -1.
    int locate_in_own_row(int r, int ncols, const int* cols, PetscScalar** targets);
    // The same for the row in slot k of the pattern (a row of another process), into
    // other_values.
    int locate_in_other_row(int k, int ncols, const int* cols, PetscScalar** targets);

    // Hands the sums of the additions to other processes' rows to PETSc's stash.
    void send_other_rows(const PetscScope& s) {
        if (!others_pending) return;
        for (int j = 0; j < pattern.other_rows(); ++j) {
            const int k = nlocal + j;
            const PetscInt row = pattern.other_row(j);
            PETSC_CHECK(s, MatSetValues(A, 1, &row, PetscInt(pattern.end(k) - pattern.begin(k)),
                                        pattern.begin(k),
                                        other_values.data() + pattern.first_entry(k), ADD_VALUES));
        }
        std::fill(other_values.begin(), other_values.end(), 0.0);
        others_pending = false;
    }

    // Collective on several processes, where every process assembles when any process added
    // something (the others may have added to its rows). An assembly changes the matrix's
    // state, which makes PETSc set the preconditioner up again: a matrix nobody added to is
    // left alone.
    void assemble(const PetscScope& s) {
        release_values(s);
        send_other_rows(s);
        if (anywhere(matrix_pending)) {
            PETSC_CHECK(s, MatAssemblyBegin(A, MAT_FINAL_ASSEMBLY));
            PETSC_CHECK(s, MatAssemblyEnd(A, MAT_FINAL_ASSEMBLY));
            matrix_pending = false;
        }
        if (anywhere(rhs_pending)) {
            PETSC_CHECK(s, VecAssemblyBegin(b));
            PETSC_CHECK(s, VecAssemblyEnd(b));
            rhs_pending = false;
        }
    }

    // Every entry of v, by global index, on every process.
    void gather(const PetscScope& s, Vec v, std::span<double> out) const;
    // The entries of v at the global indices `at` (every entry when `at` is empty).
    void gather_at(const PetscScope& s, Vec v, Held at, std::span<double> out) const;
    void create_objects(const PetscScope& s);
    void find_fixed_rows(const PetscScope& s);
    SolveResult run(const PetscScope& s, const SolverKind& kind, double rtol, int maxit,
                    int symmetry, Held at, std::span<double> solution, bool use_initial_guess);
    // The steps of run: the KSP for the kind and options (true when made afresh), the initial
    // guess in x (returns ||b - A x0||), set-up and solve with what PETSc reports, and the
    // acceptance of the result (throws SolveFailure). r is scratch of b's layout.
    bool prepare_ksp(const PetscScope& s, const SolverKind& kind, double rtol, int maxit);
    double set_initial_guess(const PetscScope& s, Held at, std::span<const double> solution,
                             bool use_initial_guess, Vec r);
    void set_up_and_solve(const PetscScope& s, const SolverKind& kind, bool fresh,
                          SolveResult& result);
    void judge(const PetscScope& s, const SolverKind& kind, bool direct, Vec x0, Vec r,
               SolveResult& result) const;
    double residual_norm(const PetscScope& s, Vec r) const;  // ||b - A x||, into r
};

void LinearSystem::Impl::gather(const PetscScope& s, Vec v, std::span<double> out) const {
    const PetscScalar* a = nullptr;
    if (!parallel) {
        PETSC_CHECK(s, VecGetArrayRead(v, &a));
        std::copy(a, a + n, out.begin());
        PETSC_CHECK(s, VecRestoreArrayRead(v, &a));
        return;
    }
    OwnedScatter scatter;
    OwnedVec all;
    PETSC_CHECK(s, VecScatterCreateToAll(v, scatter.replace(), all.replace()));
    PETSC_CHECK(s, VecScatterBegin(scatter, v, all, INSERT_VALUES, SCATTER_FORWARD));
    PETSC_CHECK(s, VecScatterEnd(scatter, v, all, INSERT_VALUES, SCATTER_FORWARD));
    PETSC_CHECK(s, VecGetArrayRead(all, &a));
    std::copy(a, a + n, out.begin());
    PETSC_CHECK(s, VecRestoreArrayRead(all, &a));
}

void LinearSystem::Impl::gather_at(const PetscScope& s, Vec v, Held at,
                                   std::span<double> out) const {
    if (!at) return gather(s, v, out);
    std::vector<PetscInt> from(at->begin(), at->end());
    OwnedIs index;
    OwnedVec received;
    OwnedScatter scatter;
    PETSC_CHECK(s, ISCreateGeneral(PETSC_COMM_SELF, PetscInt(from.size()), from.data(),
                                   PETSC_USE_POINTER, index.replace()));
    PETSC_CHECK(s, VecCreateSeqWithArray(PETSC_COMM_SELF, 1, PetscInt(out.size()), out.data(),
                                         received.replace()));
    PETSC_CHECK(s, VecScatterCreate(v, index, received, nullptr, scatter.replace()));
    PETSC_CHECK(s, VecScatterBegin(scatter, v, received, INSERT_VALUES, SCATTER_FORWARD));
    PETSC_CHECK(s, VecScatterEnd(scatter, v, received, INSERT_VALUES, SCATTER_FORWARD));
}

void LinearSystem::Impl::split_block(int ncols, const int* cols) {
    split_columns.resize(std::size_t(ncols));
    split_places.resize(std::size_t(ncols));
    diag_count = off_count = 0;
    split_missing = -1;
    for (int j = 0; j < ncols; ++j)
        if (unsigned(cols[j] - rstart) < unsigned(nlocal)) {
            split_columns[std::size_t(diag_count)] = cols[j] - rstart;
            split_places[std::size_t(diag_count++)] = j;
        }
    for (int j = 0; j < ncols; ++j)
        if (unsigned(cols[j] - rstart) >= unsigned(nlocal)) {
            const PetscInt* at =
                std::lower_bound(ghost_columns, ghost_columns + ghost_count, PetscInt(cols[j]));
            if (at == ghost_columns + ghost_count || *at != cols[j]) {
                split_missing = j;
                return;
            }
            split_columns[std::size_t(diag_count + off_count)] = int(at - ghost_columns);
            split_places[std::size_t(diag_count + off_count++)] = j;
        }
}

int LinearSystem::Impl::locate_in_own_row(int r, int ncols, const int* cols,
                                          PetscScalar** targets) {
    const PetscInt* diag_row = diag_j + diag_i[r];
    const std::size_t diag_length = std::size_t(diag_i[r + 1] - diag_i[r]);
    PetscScalar* const diag_values = values + diag_i[r];
    if (!parallel)  // the whole row is the diagonal block's, its columns the global ones
        return locate_in_row(diag_row, diag_length, cols, ncols, [&](int j, std::size_t p) {
            // The entry is wanted once the whole block is found: ask for it now.
            __builtin_prefetch(diag_values + p, 1);
            targets[j] = diag_values + p;
        });
    if (split_missing >= 0) return split_missing;
    const int* place = split_places.data();
    int missing = locate_in_row(diag_row, diag_length, split_columns.data(), diag_count,
                                [&](int t, std::size_t p) {
                                    __builtin_prefetch(diag_values + p, 1);
                                    targets[place[t]] = diag_values + p;
                                });
    if (missing >= 0) return place[missing];
    PetscScalar* const off_row_values = off_values + off_i[r];
    place += diag_count;
    missing =
        locate_in_row(off_j + off_i[r], std::size_t(off_i[r + 1] - off_i[r]),
                      split_columns.data() + diag_count, off_count, [&](int t, std::size_t p) {
                          __builtin_prefetch(off_row_values + p, 1);
                          targets[place[t]] = off_row_values + p;
                      });
    return missing >= 0 ? place[missing] : -1;
}

int LinearSystem::Impl::locate_in_other_row(int k, int ncols, const int* cols,
                                            PetscScalar** targets) {
    PetscScalar* const row_values = other_values.data() + pattern.first_entry(k);
    return locate_in_row(pattern.begin(k), std::size_t(pattern.end(k) - pattern.begin(k)), cols,
                         ncols, [&](int j, std::size_t p) { targets[j] = row_values + p; });
}

void LinearSystem::Impl::find_fixed_rows(const PetscScope& s) {
    PetscObjectState state = 0;
    PETSC_CHECK(s, PetscObjectStateGet(reinterpret_cast<PetscObject>(A.get()), &state));
    if (!anywhere(state != fixed_state)) return;
    fixed_rows.clear();
    fixed_diagonal.clear();
    for (PetscInt i = rstart; i < rstart + nlocal; ++i) {
        PetscInt count = 0;
        const PetscInt* cols = nullptr;
        const PetscScalar* vals = nullptr;
        PETSC_CHECK(s, MatGetRow(A, i, &count, &cols, &vals));
        PetscScalar diagonal = 0;
        bool alone = true;
        for (PetscInt k = 0; k < count; ++k) {
            if (cols[k] == i)
                diagonal = vals[k];
            else if (vals[k] != 0)
                alone = false;
        }
        PETSC_CHECK(s, MatRestoreRow(A, i, &count, &cols, &vals));
        if (alone && diagonal != 0) {
            fixed_rows.push_back(i - rstart);
            fixed_diagonal.push_back(diagonal);
        }
    }
    couplings.clear();
    if (!parallel) {
        std::vector<PetscInt> fixed_index(std::size_t(n), -1);
        for (std::size_t k = 0; k < fixed_rows.size(); ++k) fixed_index[fixed_rows[k]] = k;
        for (PetscInt i = 0; i < n; ++i) {
            if (fixed_index[i] >= 0) continue;
            PetscInt count = 0;
            const PetscInt* cols = nullptr;
            const PetscScalar* vals = nullptr;
            PETSC_CHECK(s, MatGetRow(A, i, &count, &cols, &vals));
            for (PetscInt k = 0; k < count; ++k)
                if (fixed_index[cols[k]] >= 0 && vals[k] != 0)
                    couplings.push_back({i, fixed_index[cols[k]], vals[k]});
            PETSC_CHECK(s, MatRestoreRow(A, i, &count, &cols, &vals));
        }
    }
    PetscReal norm = 0;
    PETSC_CHECK(s, MatNorm(A, NORM_FROBENIUS, &norm));
    matrix_norm = norm;
    fixed_state = state;
}

void LinearSystem::Impl::create_objects(const PetscScope& s) {
    // The columns are split as the rows.
    const PetscInt local = nlocal, rend = rstart + nlocal, cstart = rstart, cend = rend;
    PETSC_CHECK(s, MatCreate(comm, A.replace()));
    PETSC_CHECK(s, MatSetSizes(A, local, local, n, n));
    PETSC_CHECK(s, MatSetType(A, MATAIJ));
    if (block_size > 1) PETSC_CHECK(s, MatSetBlockSize(A, block_size));

    // The whole pattern is stored now, zeros, from the owned rows' CSR (the pattern's first
    // slots), so that assembly never drops a location not yet added to (a later addition there
    // would otherwise need a new allocation).
    const PetscInt* starts = pattern.row_starts().data();
    PETSC_CHECK(s, MatSeqAIJSetPreallocationCSR(A, starts, pattern.begin(0), nullptr));
    PETSC_CHECK(s, MatMPIAIJSetPreallocationCSR(A, starts, pattern.begin(0), nullptr));
    PETSC_CHECK(s, MatAssemblyBegin(A, MAT_FINAL_ASSEMBLY));
    PETSC_CHECK(s, MatAssemblyEnd(A, MAT_FINAL_ASSEMBLY));
    PETSC_CHECK(s, MatSetOption(A, MAT_NEW_NONZERO_ALLOCATION_ERR, PETSC_TRUE));
    PETSC_CHECK(s, MatSetOption(A, MAT_NEW_NONZERO_LOCATION_ERR, PETSC_TRUE));

    // The additions find the owned rows' entries in PETSc's own CSR: the pattern keeps only the
    // other rows. Each owned row's columns are checked to be the pattern's first.
    diag_block = A;
    if (parallel) PETSC_CHECK(s, MatMPIAIJGetSeqAIJ(A, &diag_block, &off_block, &ghost_columns));
    PETSC_CHECK(s, MatSeqAIJGetCSRAndMemType(diag_block, &diag_i, &diag_j, nullptr, nullptr));
    if (parallel) {
        PETSC_CHECK(s, MatSeqAIJGetCSRAndMemType(off_block, &off_i, &off_j, nullptr, nullptr));
        PETSC_CHECK(s, MatGetLocalSize(off_block, nullptr, &ghost_count));
    }
    bool same = diag_i[0] == 0 && (!parallel || off_i[0] == 0);
    for (PetscInt r = 0; r < local && same; ++r) {
        const int k = pattern.slot(int(rstart + r));
        const PetscInt *d = diag_j + diag_i[r], *o = parallel ? off_j + off_i[r] : nullptr;
        const PetscInt *d_end = diag_j + diag_i[r + 1],
                       *o_end = parallel ? off_j + off_i[r + 1] : o;
        for (const PetscInt* c = pattern.begin(k); c != pattern.end(k) && same; ++c) {
            if (*c >= cstart && *c < cend)
                same = d != d_end && *d++ == *c - cstart;
            else
                same = o != o_end && *o >= 0 && *o < ghost_count && ghost_columns[*o++] == *c;
        }
        same = same && d == d_end && o == o_end;
    }
    if (!same)
        fail<std::logic_error>("LinearSystem", "PETSc stores the pattern otherwise than expected");
    pattern.drop_own_rows();
    other_values.assign(std::size_t(pattern.entries()), 0.0);
    PETSC_CHECK(s, MatCreateVecs(A, x.replace(), b.replace()));
    PETSC_CHECK(s, VecZeroEntries(b));
    PETSC_CHECK(s, VecZeroEntries(x));
}

LinearSystem::LinearSystem(int n, std::span<const int> offsets, std::span<const int> indices,
                           int comm, const RowLayout& layout)
    : impl_(std::make_unique<Impl>()) {
    make_pattern(n, offsets, indices, comm, layout);
    PetscScope s("new solver");
    impl_->create_objects(s);  // on failure ~Impl releases what was made
}

LinearSystem::LinearSystem(int n, std::vector<int>&& offsets, std::vector<int>&& indices, int comm,
                           const RowLayout& layout)
    : impl_(std::make_unique<Impl>()) {
    make_pattern(n, offsets, indices, comm, layout);
    std::vector<int>().swap(offsets);
    std::vector<int>().swap(indices);
    PetscScope s("new solver");
    impl_->create_objects(s);
}

void LinearSystem::make_pattern(int n, std::span<const int> offsets, std::span<const int> indices,
                                int comm, const RowLayout& layout) {
    require_started("new solver");
    if (n < 0) fail<std::invalid_argument>("new solver", "negative size " + std::to_string(n));
    const int handle = comm == -1 ? moskComm : comm;
    Impl& m = *impl_;
    m.n = n;
    m.comm = MPI_Comm_f2c(handle);
    m.parallel = process_count(handle) > 1;
    m.rstart = layout.nlocal < 0 ? 0 : layout.rstart;
    m.nlocal = layout.nlocal < 0 ? n : layout.nlocal;
    m.block_size = layout.block_size;
    if (m.block_size < 1 || m.nlocal % m.block_size != 0 || m.rstart % m.block_size != 0)
        fail<std::invalid_argument>(
            "new solver", "rows " + std::to_string(m.rstart) + " + " + std::to_string(m.nlocal) +
                              " are not in blocks of " + std::to_string(m.block_size));
    if (m.rstart < 0 || m.nlocal < 0 || m.rstart > n - m.nlocal)
        fail<std::invalid_argument>("new solver", "rows " + std::to_string(m.rstart) + " + " +
                                                      std::to_string(m.nlocal) + " outside 0.." +
                                                      std::to_string(n - 1));
    long long rows = m.nlocal;
    CHECK_MPI("new solver", MPI_Allreduce(MPI_IN_PLACE, &rows, 1, MPI_LONG_LONG, MPI_SUM, m.comm));
    if (rows != n)
        fail<std::invalid_argument>(
            "new solver",
            "the processes' rows add up to " + std::to_string(rows) + ", not " + std::to_string(n));
    // One process holds every row whatever its flags: the pattern is built from every element.
    m.pattern = SparsityPattern(
        n, m.rstart, m.nlocal, offsets, indices,
        m.parallel ? std::span<const char>(layout.mine) : std::span<const char>(), "new solver");
}

LinearSystem::~LinearSystem() = default;
LinearSystem::LinearSystem(LinearSystem&&) noexcept = default;
LinearSystem& LinearSystem::operator=(LinearSystem&&) noexcept = default;

void LinearSystem::check_usable(const char* operation) const {
    if (!impl_) fail<std::logic_error>(operation, "the system was moved from");
    require_started(operation);
}

int LinearSystem::size() const {
    if (!impl_) fail<std::logic_error>("system size", "the system was moved from");
    return impl_->n;
}

void LinearSystem::add_block(int nrows, const int* rows, int ncols, const int* cols,
                             const double* values) {
    const char* op = "add matrix entries";
    check_usable(op);
    if (nrows < 0 || ncols < 0)
        fail<std::invalid_argument>(
            op, "negative block size " + std::to_string(nrows) + " x " + std::to_string(ncols));
    if (nrows == 0 || ncols == 0) return;
    if (!rows || !cols || !values) fail<std::invalid_argument>(op, "null index or value array");
    Impl& m = *impl_;
    for (int i = 0; i < nrows; ++i) {
        m.pattern.check_index(op, "row", i, rows[i]);
        const int r = rows[i] - m.rstart;
        const bool owned = unsigned(r) < unsigned(m.nlocal);
        if (!owned && m.pattern.slot(rows[i]) < 0)
            fail(op, "row " + std::to_string(rows[i]) +
                         " belongs to another process and to none of this process's elements; "
                         "add each element's entries on the process that owns the element");
        // The rows' columns lie far apart in memory: ask for all of them before the searches
        // below, so that their loads overlap instead of following one another.
        if (owned) {
            __builtin_prefetch(m.diag_j + m.diag_i[r]);
            __builtin_prefetch(m.diag_j + m.diag_i[r] + 16);
        }
    }
    for (int j = 0; j < ncols; ++j) m.pattern.check_index(op, "column", j, cols[j]);
    static_assert(sizeof(PetscInt) == sizeof(int), "PETSc built with 64-bit indices");
    if (!m.checked_out) {  // PETSc is called only here and for other processes' rows
        PetscScope s(op);
        m.check_out_values(s);
    }
    // Nothing is added before the whole block is found and checked.
    const std::size_t count = std::size_t(nrows) * std::size_t(ncols);
    m.targets.resize(count);
    if (m.parallel) m.split_block(ncols, cols);
    bool foreign_rows = false;
    for (int i = 0; i < nrows; ++i) {
        const int r = rows[i] - m.rstart;
        const bool owned = unsigned(r) < unsigned(m.nlocal);
        foreign_rows |= !owned;
        PetscScalar** targets = m.targets.data() + std::size_t(i) * std::size_t(ncols);
        const int missing =
            owned ? m.locate_in_own_row(r, ncols, cols, targets)
                  : m.locate_in_other_row(m.pattern.slot(rows[i]), ncols, cols, targets);
        if (missing >= 0)
            fail(op, "entry (row " + std::to_string(rows[i]) + ", column " +
                         std::to_string(cols[missing]) +
                         ") is outside the pattern: no element holds both DOFs");
    }
    bool finite = true;
    for (std::size_t q = 0; q < count; ++q) finite &= std::isfinite(values[q]);
    if (!finite)
        for (std::size_t q = 0; q < count; ++q)
            if (!std::isfinite(values[q]))
                fail<std::invalid_argument>(
                    op, "value " + format_double(values[q]) + " at (row " +
                            std::to_string(rows[q / std::size_t(ncols)]) + ", column " +
                            std::to_string(cols[q % std::size_t(ncols)]) + ") is not finite");
    m.matrix_pending = true;
    m.others_pending |= foreign_rows;
    for (std::size_t q = 0; q < count; ++q) *m.targets[q] += values[q];
}

void LinearSystem::add_rhs(int count, const int* idx, const double* values) {
    const char* op = "add right-hand-side entries";
    check_usable(op);
    if (count < 0) fail<std::invalid_argument>(op, "negative count " + std::to_string(count));
    if (count == 0) return;
    if (!idx || !values) fail<std::invalid_argument>(op, "null index or value array");
    Impl& m = *impl_;
    for (int i = 0; i < count; ++i) {
        m.pattern.check_index(op, "right-hand side", i, idx[i]);
        if (!std::isfinite(values[i]))
            fail<std::invalid_argument>(op, "value " + format_double(values[i]) + " at index " +
                                                std::to_string(idx[i]) + " is not finite");
    }
    if (!m.rhs_checked_out) {
        PetscScope s(op);
        m.check_out_rhs(s);
    }
    m.rhs_pending = true;
    bool foreign = false;
    for (int i = 0; i < count; ++i) {
        const int r = idx[i] - m.rstart;
        if (r >= 0 && r < m.nlocal)
            m.rhs_values[r] += values[i];
        else
            foreign = true;
    }
    if (!foreign) return;
    // Entries of other processes: PETSc's stash carries them to their owners at assembly.
    PetscScope s(op);
    for (int i = 0; i < count; ++i) {
        const int r = idx[i] - m.rstart;
        if (r < 0 || r >= m.nlocal)
            PETSC_CHECK(s, VecSetValues(m.b, 1, reinterpret_cast<const PetscInt*>(idx + i),
                                        values + i, ADD_VALUES));
    }
}

void LinearSystem::zero() {
    zero_matrix();
    zero_rhs();
}

void LinearSystem::zero_matrix() {
    check_usable("zero the matrix");
    PetscScope s("zero the matrix");
    impl_->assemble(s);  // pending additions are discarded with the rest
    PETSC_CHECK(s, MatZeroEntries(impl_->A));
}

void LinearSystem::zero_rhs() {
    check_usable("zero the right-hand side");
    PetscScope s("zero the right-hand side");
    impl_->assemble(s);
    PETSC_CHECK(s, VecZeroEntries(impl_->b));
}

void LinearSystem::add_solver_options(const std::vector<std::string>& words) {
    check_usable("solver options");
    const std::string text = checked_petsc_options(words);
    if (text.empty()) return;
    impl_->own_options += (impl_->own_options.empty() ? "" : " ") + text;
}

std::pair<Mat, Vec> LinearSystem::assembled() {
    check_usable("read the system");
    PetscScope s("read the system");
    impl_->assemble(s);
    return {impl_->A.get(), impl_->b.get()};
}

void LinearSystem::set_field_structure(FieldStructure structure) {
    check_usable("solver set-up");
    impl_->destroy_ksp();
    impl_->field_pc = std::make_unique<FieldPreconditioner>(impl_->comm, std::move(structure));
}

SolveResult LinearSystem::solve(std::string_view kind_name, double rtol, int maxit, int symmetry,
                                std::span<double> solution, bool use_initial_guess) {
    return solve_at(kind_name, rtol, maxit, symmetry, std::nullopt, solution, use_initial_guess);
}

SolveResult LinearSystem::solve_at(std::string_view kind_name, double rtol, int maxit, int symmetry,
                                   Held at, std::span<double> solution, bool use_initial_guess) {
    const char* op = "solve";
    check_usable(op);
    const SolverKind* kind = find_solver_kind(kind_name);
    if (!kind)
        fail<std::invalid_argument>("solve", "unknown solver kind '" + std::string(kind_name) +
                                                 "' (known: " + solver_kind_names() + ")");
    if (!(rtol > 0 && rtol < 1))
        fail<std::invalid_argument>(
            "solve", "relative tolerance " + format_double(rtol) + " is not in (0, 1)");
    if (maxit < 1)
        fail<std::invalid_argument>("solve", "maxit " + std::to_string(maxit) + " is below 1");
    if (symmetry < 0 || symmetry > 3)
        fail<std::invalid_argument>("solve",
                                    "symmetry " + std::to_string(symmetry) + " is not 0..3");
    const std::size_t unknowns = at ? at->size() : std::size_t(impl_->n);
    if (solution.size() != unknowns)
        fail<std::invalid_argument>("solve", "solution has " + std::to_string(solution.size()) +
                                                 " values for " + std::to_string(unknowns) +
                                                 " unknowns");
    for (int i : at.value_or(std::span<const int>()))
        if (i < 0 || i >= impl_->n)
            fail<std::out_of_range>("solve", "index " + std::to_string(i) + " outside 0.." +
                                                 std::to_string(impl_->n - 1));
    PetscScope s(op);
    try {
        return impl_->run(s, *kind, rtol, maxit, symmetry, at, solution, use_initial_guess);
    } catch (const std::runtime_error&) {
        // After a PETSc error or a failed solve (a failed factorisation, say) the solver may be
        // unsound: start afresh next time.
        impl_->destroy_ksp();
        throw;
    }
}

SolveResult LinearSystem::Impl::run(const PetscScope& s, const SolverKind& kind, double rtol,
                                    int maxit, int symmetry, Held at, std::span<double> solution,
                                    bool use_initial_guess) {
    SolveResult result;
    assemble(s);
    if (n == 0) {
        result.converged_reason = KSP_CONVERGED_ATOL;
        return result;
    }
    PETSC_CHECK(
        s, MatSetOption(A, MAT_STRUCTURALLY_SYMMETRIC, symmetry >= 1 ? PETSC_TRUE : PETSC_FALSE));
    PETSC_CHECK(s, MatSetOption(A, MAT_SYMMETRIC, symmetry >= 2 ? PETSC_TRUE : PETSC_FALSE));
    PETSC_CHECK(s, MatSetOption(A, MAT_SPD, symmetry == 3 ? PETSC_TRUE : PETSC_FALSE));
    const bool fresh = prepare_ksp(s, kind, rtol, maxit);
    KSPType ktype = nullptr;
    PETSC_CHECK(s, KSPGetType(ksp, &ktype));
    const bool direct = ktype && std::string(ktype) == KSPPREONLY;

    OwnedVec r;  // scratch for residuals
    PETSC_CHECK(s, VecDuplicate(b, r.replace()));
    result.reference_norm = set_initial_guess(s, at, solution, use_initial_guess, r);
    OwnedVec x0;
    PETSC_CHECK(s, VecDuplicate(x, x0.replace()));
    PETSC_CHECK(s, VecCopy(x, x0));
    if (direct) {
        PETSC_CHECK(s, VecZeroEntries(x));  // preonly takes no initial guess
        PETSC_CHECK(s, KSPSetInitialGuessNonzero(ksp, PETSC_FALSE));
    } else {
        PETSC_CHECK(s, KSPSetInitialGuessNonzero(ksp, PETSC_TRUE));
        PETSC_CHECK(s, KSPConvergedDefaultSetUIRNorm(ksp));
    }
    set_up_and_solve(s, kind, fresh, result);
    judge(s, kind, direct, x0, r, result);
    gather_at(s, x, at, solution);
    return result;
}

bool LinearSystem::Impl::prepare_ksp(const PetscScope& s, const SolverKind& kind, double rtol,
                                     int maxit) {
    // The solver is kept while the kind and the options database stay the same, so that an
    // unchanged matrix keeps its preconditioner or factorisation; otherwise it is made afresh
    // (some settings, like the factorisation package, cannot change once set up).
    char* all_options = nullptr;
    PETSC_CHECK(s, PetscOptionsGetAll(nullptr, &all_options));
    const std::string options = (all_options ? all_options : "") + std::string("\n") + own_options;
    PetscFree(all_options);
    if (ksp && (ksp_kind != &kind || ksp_options != options)) destroy_ksp();
    const bool fresh = !ksp;
    if (fresh) {
        PETSC_CHECK(s, KSPCreate(comm, ksp.replace()));
        if (!own_options.empty()) {
            *ksp_database.replace() = solver_options_database(own_options, kind.options_prefix, s);
            PETSC_CHECK(
                s, PetscObjectSetOptions(reinterpret_cast<PetscObject>(ksp.get()), ksp_database));
        }
        ksp_kind = &kind;
        ksp_options = options;
        PETSC_CHECK(s, KSPSetOptionsPrefix(ksp, kind.options_prefix));
        kind.configure(ksp, s);
        if (field_pc) field_pc->configure(ksp, A, kind.field_use, s);
    }
    PETSC_CHECK(s, KSPSetOperators(ksp, A, A));
    // Options go last so that they win over the arguments (-mosk_ksp_rtol ...).
    if (fresh || rtol != ksp_rtol || maxit != ksp_maxit) {
        PETSC_CHECK(s, KSPSetTolerances(ksp, rtol, PETSC_DEFAULT, PETSC_DEFAULT, maxit));
        set_from_options(ksp, kind, s);
        ksp_rtol = rtol;
        ksp_maxit = maxit;
    }
    return fresh;
}

double LinearSystem::Impl::residual_norm(const PetscScope& s, Vec r) const {
    PETSC_CHECK(s, MatMult(A, x, r));
    PETSC_CHECK(s, VecAYPX(r, -1.0, b));
    PetscReal norm = 0;
    PETSC_CHECK(s, VecNorm(r, NORM_2, &norm));
    return double(norm);
}

double LinearSystem::Impl::set_initial_guess(const PetscScope& s, Held at,
                                             std::span<const double> solution,
                                             bool use_initial_guess, Vec r) {
    // The initial guess holds the boundary values (b / diagonal on the rows that hold one), so
    // that those rows, whose right-hand side dwarfs the others', are solved from the start and
    // the tolerance is relative to the residual of the remaining rows.
    find_fixed_rows(s);
    {
        PetscScalar* a = nullptr;
        const PetscScalar* rhs = nullptr;
        PETSC_CHECK(s, VecGetArray(x, &a));
        PETSC_CHECK(s, VecGetArrayRead(b, &rhs));
        std::fill(a, a + nlocal, 0.0);
        if (use_initial_guess && !at)
            std::copy(solution.begin() + rstart, solution.begin() + rstart + nlocal, a);
        else if (use_initial_guess)  // the held values: those of owned rows
            for (std::size_t k = 0; k < at->size(); ++k) {
                const int row = (*at)[k];
                if (row >= rstart && row < rstart + nlocal) a[row - rstart] = solution[k];
            }
        for (std::size_t k = 0; k < fixed_rows.size(); ++k)
            a[fixed_rows[k]] = rhs[fixed_rows[k]] / fixed_diagonal[k];
        PETSC_CHECK(s, VecRestoreArrayRead(b, &rhs));
        PETSC_CHECK(s, VecRestoreArray(x, &a));
    }
    if (parallel || use_initial_guess) return residual_norm(s, r);
    // One process, x0 zero off the fixed rows: A x0 from the fixed rows and their couplings alone.
    PetscScalar* a = nullptr;
    const PetscScalar *rhs = nullptr, *guess = nullptr;
    PETSC_CHECK(s, VecCopy(b, r));
    PETSC_CHECK(s, VecGetArray(r, &a));
    PETSC_CHECK(s, VecGetArrayRead(x, &guess));
    PETSC_CHECK(s, VecGetArrayRead(b, &rhs));
    for (std::size_t k = 0; k < fixed_rows.size(); ++k)
        a[fixed_rows[k]] = rhs[fixed_rows[k]] - fixed_diagonal[k] * guess[fixed_rows[k]];
    for (const Coupling& c : couplings) a[c.row] -= c.value * guess[fixed_rows[c.k]];
    PETSC_CHECK(s, VecRestoreArrayRead(b, &rhs));
    PETSC_CHECK(s, VecRestoreArrayRead(x, &guess));
    PETSC_CHECK(s, VecRestoreArray(r, &a));
    PetscReal norm = 0;
    PETSC_CHECK(s, VecNorm(r, NORM_2, &norm));
    return double(norm);
}

void LinearSystem::Impl::set_up_and_solve(const PetscScope& s, const SolverKind& kind, bool fresh,
                                          SolveResult& result) {
    PetscObjectState state = 0;
    PETSC_CHECK(s, PetscObjectStateGet(reinterpret_cast<PetscObject>(A.get()), &state));
    result.setup_kept = state == setup_state;
    Stopwatch clock;
    if (field_pc) field_pc->update(ksp, A, s);
    PETSC_CHECK(s, KSPSetUp(ksp));
    setup_state = state;
    result.setup_seconds = clock.seconds();
    clock.restart();
    PETSC_CHECK(s, KSPSolve(ksp, b, x));
    result.solve_seconds = clock.seconds();
    // As the start-up options are at shut-down: by now every option this solver reads was read.
    if (fresh && ksp_database && library_options().verbosity >= 1)
        for (const std::string& name :
             unused_own_options(ksp_database, own_options, kind.options_prefix, s))
            log_message(1, "PETSc option " + name +
                               " of a solver's own options (setOptions) was "
                               "never used");

    KSPConvergedReason reason;
    PetscInt its = 0;
    PetscReal rnorm = 0;
    PETSC_CHECK(s, KSPGetConvergedReason(ksp, &reason));
    PETSC_CHECK(s, KSPGetIterationNumber(ksp, &its));
    PETSC_CHECK(s, KSPGetResidualNorm(ksp, &rnorm));
    result.iterations = int(its);
    result.residual = rnorm;
    result.converged_reason = int(reason);
    KSPType ktype = nullptr;
    PCType ptype = nullptr;
    PC pc = nullptr;
    PETSC_CHECK(s, KSPGetType(ksp, &ktype));
    PETSC_CHECK(s, KSPGetPC(ksp, &pc));
    PETSC_CHECK(s, PCGetType(pc, &ptype));
    result.ksp_type = ktype ? ktype : "";
    result.pc_type = ptype ? ptype : "";
}

void LinearSystem::Impl::judge(const PetscScope& s, const SolverKind& kind, bool direct, Vec x0,
                               Vec r, SolveResult& result) const {
    // Judged on ||b - A x|| of what is returned, whatever norm the method tested.
    const double true_norm = residual_norm(s, r);
    PetscReal bnorm = 0, xnorm = 0;
    PETSC_CHECK(s, VecNorm(b, NORM_2, &bnorm));
    PETSC_CHECK(s, VecNorm(x, NORM_2, &xnorm));
    result.true_residual = true_norm;
    result.rhs_norm = bnorm;

    // What double precision allows any solver: a backward error of a few hundred roundings.
    const double attainable = kBackwardErrorFactor * std::numeric_limits<double>::epsilon() *
                              (matrix_norm * xnorm + bnorm);
    // The tolerances in force: options (-mosk_ksp_rtol, -mosk_ksp_atol) win over the arguments.
    PetscReal used_rtol = 0, used_atol = 0, dtol = 0;
    PetscInt used_maxit = 0;
    PETSC_CHECK(s, KSPGetTolerances(ksp, &used_rtol, &used_atol, &dtol, &used_maxit));
    const double allowed =
        direct ? attainable
               : std::max(kResidualMargin * std::max(double(used_rtol) * result.reference_norm,
                                                     double(used_atol)),
                          attainable);
    // A singular system (one whose factorisation met a pivot of rounding size, say) can look
    // backward stable with a huge answer: the rounding errors of what the solve added to x0
    // then exceed the residual it was to remove.
    PETSC_CHECK(s, VecWAXPY(r, -1.0, x0, x));
    PetscReal correction = 0;
    PETSC_CHECK(s, VecNorm(r, NORM_2, &correction));
    const bool singular =
        kBackwardErrorFactor * std::numeric_limits<double>::epsilon() * matrix_norm * correction >=
            result.reference_norm &&
        result.reference_norm > 0;
    const int reason = result.converged_reason;
    const bool accepted = reason > 0 && std::isfinite(xnorm) && std::isfinite(true_norm) &&
                          true_norm <= allowed && !singular;
    if (accepted) return;
    const double scale = result.reference_norm > 0 ? result.reference_norm : 1.0;
    std::string why = reason <= 0 ? "PETSc's reason: " + reason_text(reason)
                      : singular  ? "the system is singular to working precision; PETSc's "
                                    "reason: none, it reported no failure"
                                  : "PETSc's reason: none; its test passed on the residual "
                                    "its iteration updates, which the residual recomputed "
                                    "from the solution does not bear out";
    throw SolveFailure(
        error_text("solve", "kind '" + std::string(kind.name) + "' failed after " +
                                std::to_string(result.iterations) +
                                " iterations: relative residual " +
                                format_double(result.relative_residual()) + ", allowed " +
                                format_double(allowed / scale) + " (" + why + ")"),
        result);
}

void LinearSystem::write_matlab(const std::string& matrix_file, const std::string& rhs_file) {
    const char* op = "MATLAB dump";
    check_usable(op);
    if (matrix_file == rhs_file)
        fail<std::invalid_argument>("MATLAB dump",
                                    "matrix and right-hand "
                                    "side would both go to '" +
                                        matrix_file + "'");
    PetscScope s(op);
    Impl& m = *impl_;
    m.assemble(s);

    // Rows are copied out before writing: a failed write must not leave a row checked out. On
    // several processes each copies its own rows and process 0 gathers them in row order.
    std::vector<PetscInt> cols;
    std::vector<double> vals;
    std::vector<PetscInt> counts;
    for (PetscInt i = m.rstart; i < m.rstart + m.nlocal; ++i) {
        PetscInt count = 0;
        const PetscInt* c = nullptr;
        const PetscScalar* v = nullptr;
        PETSC_CHECK(s, MatGetRow(m.A, i, &count, &c, &v));
        cols.insert(cols.end(), c, c + count);
        vals.insert(vals.end(), v, v + count);
        counts.push_back(count);  // MatRestoreRow clears count
        PETSC_CHECK(s, MatRestoreRow(m.A, i, &count, &c, &v));
    }
    std::vector<double> rhs(std::size_t(m.n));
    m.gather(s, m.b, rhs);
    write_matlab_system(m.comm, matrix_file, rhs_file, m.n, std::move(counts), std::move(cols),
                        std::move(vals), rhs);
}

}  // namespace mosk
