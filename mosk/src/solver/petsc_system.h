// A sparse linear system A x = b held in PETSc: the matrix is preallocated from element-to-DOF
// lists (two DOFs are coupled when some element holds both), entries are only ever added, and
// solve() runs one of the kinds of solver_kinds.h.
//
// The pattern is fixed at construction: every row holds its diagonal and the columns that share
// an element with it, and the whole pattern is stored from the start (explicit zeros), so that a
// later addition anywhere inside it never reallocates, whatever was added before. An addition
// outside it is refused.
//
// On several processes each owns one contiguous range of rows (and the same range of columns,
// PETSc's layout). A process keeps the pattern of its own rows and of the rows its elements hold
// (those are the rows it adds to); additions to rows of other processes travel at assembly.
// Assembly, solving, zeroing and writing are collective: every process calls them.
//
// PETSc errors become std::runtime_error (see petsc_call.h); PETSc never prints or aborts.
// Usable only while the library is started; an object destroyed after moskFinalize releases
// nothing of PETSc's (the handles are leaked on purpose).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// PETSc's handle types (petscmat.h, petscvec.h), without their headers.
typedef struct _p_Mat* Mat;
typedef struct _p_Vec* Vec;

namespace mosk {

struct SolveResult {
    int iterations = 0;
    // The residual norm the method's convergence test used (KSPGetResidualNorm: the
    // preconditioned residual for left-preconditioned methods); 0 for "lu", which tests none.
    double residual = 0;
    double true_residual = 0;  // ||b - A x||_2 of the returned solution
    double rhs_norm = 0;       // ||b||_2
    // ||b - A x0|| of the initial guess x0, which holds the boundary values (see solve()): the
    // residual of the rows left to solve, the figure the tolerance is relative to.
    double reference_norm = 0;
    int converged_reason = 0;  // PETSc's KSPConvergedReason, > 0 on success
    bool setup_kept = false;  // the preconditioner or factorisation of the last solve was reused
    std::string ksp_type;  // what ran, after options ("cg", "preonly" ...)
    std::string pc_type;  // "hypre", "gamg", "ilu", "lu" ...
    double setup_seconds = 0;  // KSPSetUp: preconditioner set-up or factorisation
    double solve_seconds = 0;  // KSPSolve (set-up excluded)

    // ||b - A x|| / ||b - A x0|| (||b - A x|| when that is zero): the figure a solve is judged by.
    double relative_residual() const {
        return reference_norm > 0 ? true_residual / reference_norm : true_residual;
    }
};

// An iterative solve is accepted when PETSc reports convergence and ||b - A x|| is at most this
// margin times the larger of rtol ||b - A x0|| and the absolute tolerance (both as in force
// after the options, PETSc's atol 1e-50 by default), or within what double precision allows
// (below). The methods stop on the residual their recurrences update, which drifts from the
// recomputed b - A x by rounding; the margin absorbs that drift, while a singular or
// inconsistent system misses the tolerance by orders of magnitude.
inline constexpr double kResidualMargin = 10;
// What double precision allows: ||b - A x|| <= factor * eps * (||A||_F ||x|| + ||b||), a
// normwise backward error of a few hundred roundings. A direct solve is held to this alone (the
// tolerance plays no part in it); an iterative one reaches no further, whatever rtol asks.
inline constexpr double kBackwardErrorFactor = 256;

// A solve whose result cannot be trusted: PETSc reported a divergence or breakdown, the values
// are not finite, or the residual exceeds what is allowed (above). The message names the kind,
// the iterations, the relative residual, the allowed one and PETSc's reason; `result` holds the
// figures of the failed attempt.
class SolveFailure : public std::runtime_error {
public:
    SolveFailure(const std::string& what, const SolveResult& r)
        : std::runtime_error(what), result(r) {}
    SolveResult result;
};

// This process's share of a system: the rows rstart .. rstart + nlocal - 1, and the elements
// (true in `mine`, one flag per element) whose contributions it adds. The default is everything.
struct RowLayout {
    int rstart = 0;
    int nlocal = -1;  // -1: every row (one process)
    std::vector<char> mine;  // empty: every element
    int block_size = 1;  // rows come in blocks of this many (a node's components)
};

struct FieldStructure;

class LinearSystem {
public:
    // n unknowns; element e holds the global indices indices[offsets[e] .. offsets[e+1]-1]
    // (offsets has one entry per element plus one; an empty `offsets` means no element).
    // comm: an integer communicator handle, -1 for moskComm; `layout` this process's share (the
    // default, every row, needs a communicator of one process).
    // Throws std::invalid_argument for a negative n, inconsistent offsets or layout,
    // std::out_of_range for an index outside 0..n-1, std::runtime_error when the library is not
    // started.
    LinearSystem(int n, std::span<const int> offsets, std::span<const int> indices, int comm = -1,
                 const RowLayout& layout = RowLayout());
    // The same, freeing the element lists once the pattern is made, before the matrix is: the
    // two never take memory at once.
    LinearSystem(int n, std::vector<int>&& offsets, std::vector<int>&& indices, int comm,
                 const RowLayout& layout);
    ~LinearSystem();
    LinearSystem(LinearSystem&&) noexcept;
    LinearSystem& operator=(LinearSystem&&) noexcept;
    LinearSystem(const LinearSystem&) = delete;  // a moved-from system throws std::logic_error
    LinearSystem& operator=(const LinearSystem&) = delete;

    int size() const;  // rows over all processes

    // Adds the dense block values (row-major, nrows x ncols) at (rows[i], cols[j]); repeated
    // indices add up. Nothing is added unless the whole block is valid: std::out_of_range names
    // an index outside 0..n-1, std::invalid_argument an entry outside the pattern (row and
    // column), a row this process neither owns nor holds on one of its elements, or a value that
    // is not finite.
    void add_block(int nrows, const int* rows, int ncols, const int* cols, const double* values);
    // Adds values[i] at idx[i] of the right-hand side; the same checks.
    void add_rhs(int count, const int* idx, const double* values);
    // Sets every matrix and right-hand-side entry to zero; the pattern stays.
    void zero();
    // The same for the matrix alone and for the right-hand side alone.
    void zero_matrix();
    void zero_rhs();

    // PETSc options of this system's solver alone (unprefixed option names, "-ksp_monitor"),
    // added to those given before; the kind's prefix is put in front at the solve. They live in
    // an options database of the solver's own, so no other system sees them. Throws
    // std::invalid_argument, keeping the earlier options, when PETSc cannot read them.
    void add_solver_options(const std::vector<std::string>& words);

    // What the preconditioner may know of the unknowns (field_structure.h); the kinds that use
    // it (SolverKind::field_use) take it from the next solve on.
    void set_field_structure(FieldStructure structure);

    // Solves A x = b with the solver kind `kind` (solver_kinds.h), relative tolerance rtol
    // (0 < rtol < 1) and at most maxit (>= 1) iterations. symmetry: 0 unsymmetric,
    // 1 structurally symmetric, 2 symmetric, 3 symmetric positive definite; it is told to PETSc
    // (MAT_STRUCTURALLY_SYMMETRIC, MAT_SYMMETRIC, MAT_SPD). The initial guess of the iterative
    // kinds is zero, or the contents of `solution` when use_initial_guess is true, with the
    // boundary values b_i / a_ii on the rows whose only nonzero is the diagonal; rtol is
    // relative to the residual of that guess. `solution` (n values, by global index) receives
    // x on every process.
    // Throws std::invalid_argument for bad arguments and SolveFailure when the solve does not
    // converge, yields non-finite values or misses the tolerance; `solution` is then left as it
    // was. The PETSc solver is kept while the kind and PETSc's
    // options stay the same, so a second solve with an unchanged matrix reuses its
    // preconditioner or factorisation; after a failure it is made afresh.
    // SolveResult::solve_seconds is the time of KSPSolve alone, setup_seconds that of KSPSetUp.
    SolveResult solve(std::string_view kind, double rtol, int maxit, int symmetry,
                      std::span<double> solution, bool use_initial_guess = false);
    // The same for the values at the global indices `at` only (those a process holds): solution
    // holds one value per entry of `at`, and the process receives no other. No `at`: every
    // value, as solve().
    using Held = std::optional<std::span<const int>>;
    SolveResult solve_at(std::string_view kind, double rtol, int maxit, int symmetry, Held at,
                         std::span<double> solution, bool use_initial_guess = false);

    // MATLAB/Octave scripts: matrix_file defines the sparse n x n matrix A from its stored
    // entries (1-based triplets), rhs_file the column vector b; values in full precision.
    // Throws FileError (with errno) when a file cannot be written; a file appears only complete.
    // On several processes process 0 writes the whole system.
    void write_matlab(const std::string& matrix_file, const std::string& rhs_file);

    // The matrix and right-hand side in PETSc, assembled (collective), to be read back by
    // tests. They remain the system's: valid while it lives, their values until its next change.
    std::pair<Mat, Vec> assembled();

private:
    struct Impl;
    // The checks of the constructors' arguments and the pattern (collective).
    void make_pattern(int n, std::span<const int> offsets, std::span<const int> indices, int comm,
                      const RowLayout& layout);
    // Throws std::logic_error for a moved-from system, std::runtime_error when the library is
    // not running.
    void check_usable(const char* operation) const;
    std::unique_ptr<Impl> impl_;
};

}  // namespace mosk
