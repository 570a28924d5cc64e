#include "solver/petsc_system.h"

#include <petscksp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "core/library_state.h"
#include "io/atomic_file.h"
#include "mosk.h"
#include "solver/petsc_call.h"
#include "solver/solver_kinds.h"
#include "solver/solver_options.h"

namespace mosk {

namespace {

void require_started(const char* operation) {
    if (!library_started())
        throw std::runtime_error(std::string("mosk: ") + operation +
                                 (library_finalized() ? ": the library has been shut down"
                                                      : ": the library is not started (moskInit)"));
}

std::string reason_text(int reason) {
    const char* name = (reason >= KSP_DIVERGED_PC_FAILED && reason <= KSP_CONVERGED_ATOL_NORMAL)
                           ? KSPConvergedReasons[reason]
                           : nullptr;
    return std::string(name ? name : "UNKNOWN") + " (" + std::to_string(reason) + ")";
}

std::string format_double(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

struct LinearSystem::Impl {
    int n = 0;
    MPI_Comm comm = MPI_COMM_NULL;
    // The pattern, CSR over all rows: columns of row i are columns[row_start[i] .. row_start[i+1]),
    // sorted.
    std::vector<PetscInt> row_start;
    std::vector<PetscInt> columns;
    Mat A = nullptr;
    Vec b = nullptr, x = nullptr;
    KSP ksp = nullptr;
    const SolverKind* ksp_kind = nullptr;
    std::string ksp_options;  // the options database when ksp was made
    std::string own_options;  // this solver's own PETSc options (add_solver_options)
    PetscOptions ksp_database = nullptr;  // ksp's own database when own_options is not empty
    double ksp_rtol = 0;      // tolerances last given to ksp
    int ksp_maxit = 0;
    bool matrix_pending = false, rhs_pending = false;  // additions not yet assembled

    ~Impl() {
        // After moskFinalize PETSc is gone: leak rather than touch it.
        if (library_finalized() || !library_started()) return;
        PetscScope s("~LinearSystem");
        destroy_ksp();
        VecDestroy(&x);
        VecDestroy(&b);
        MatDestroy(&A);
    }

    void destroy_ksp() noexcept {
        if (ksp) KSPDestroy(&ksp);
        ksp = nullptr;
        if (ksp_database) PetscOptionsDestroy(&ksp_database);
        ksp_kind = nullptr;
    }

    bool in_pattern(int row, int col) const {
        const PetscInt* first = columns.data() + row_start[row];
        const PetscInt* last = columns.data() + row_start[row + 1];
        const PetscInt* it = std::lower_bound(first, last, PetscInt(col));
        return it != last && *it == col;
    }

    void check_index(const char* operation, const char* what, int position, int index) const {
        if (index < 0 || index >= n)
            throw std::out_of_range(std::string("mosk: ") + operation + ": " + what + " index " +
                                    std::to_string(index) + " (position " +
                                    std::to_string(position) + ") is outside 0.." +
                                    std::to_string(n - 1));
    }

    void assemble(const PetscScope& s) {
        if (matrix_pending) {
            s.check(MatAssemblyBegin(A, MAT_FINAL_ASSEMBLY), "MatAssemblyBegin");
            s.check(MatAssemblyEnd(A, MAT_FINAL_ASSEMBLY), "MatAssemblyEnd");
            matrix_pending = false;
        }
        if (rhs_pending) {
            s.check(VecAssemblyBegin(b), "VecAssemblyBegin");
            s.check(VecAssemblyEnd(b), "VecAssemblyEnd");
            rhs_pending = false;
        }
    }

    void build_pattern(std::span<const int> offsets, std::span<const int> indices);
    void create_objects(const PetscScope& s);
    SolveResult run(const PetscScope& s, const SolverKind& kind, double rtol, int maxit,
                    int symmetry, std::span<double> solution, bool use_initial_guess);
};

void LinearSystem::Impl::build_pattern(std::span<const int> offsets, std::span<const int> indices) {
    const char* op = "LinearSystem";
    if (offsets.empty() && !indices.empty())
        throw std::invalid_argument("mosk: LinearSystem: element indices given without offsets");
    const std::size_t nelem = offsets.empty() ? 0 : offsets.size() - 1;
    if (!offsets.empty()) {
        if (offsets[0] != 0)
            throw std::invalid_argument("mosk: LinearSystem: offsets must start at 0, not " +
                                        std::to_string(offsets[0]));
        for (std::size_t e = 0; e < nelem; ++e)
            if (offsets[e + 1] < offsets[e])
                throw std::invalid_argument("mosk: LinearSystem: offsets decrease at element " +
                                            std::to_string(e));
        if (std::size_t(offsets[nelem]) != indices.size())
            throw std::invalid_argument("mosk: LinearSystem: offsets end at " +
                                        std::to_string(offsets[nelem]) + " but " +
                                        std::to_string(indices.size()) + " indices are given");
    }
    for (std::size_t k = 0; k < indices.size(); ++k) check_index(op, "element DOF", int(k), indices[k]);

    // DOF -> elements holding it (CSR).
    std::vector<std::int64_t> dof_start(std::size_t(n) + 1, 0);
    for (int i : indices) ++dof_start[std::size_t(i) + 1];
    for (int i = 0; i < n; ++i) dof_start[i + 1] += dof_start[i];
    std::vector<int> dof_elems(indices.size());
    {
        std::vector<std::int64_t> fill(dof_start.begin(), dof_start.end() - 1);
        for (std::size_t e = 0; e < nelem; ++e)
            for (int k = offsets[e]; k < offsets[e + 1]; ++k)
                dof_elems[fill[indices[k]]++] = int(e);
    }

    // Row i: its diagonal and every DOF of every element holding i, each once.
    row_start.assign(std::size_t(n) + 1, 0);
    columns.clear();
    std::vector<int> seen(std::size_t(n), -1);
    std::vector<PetscInt> row;
    for (int i = 0; i < n; ++i) {
        row.clear();
        row.push_back(i);
        seen[i] = i;
        for (std::int64_t p = dof_start[i]; p < dof_start[i + 1]; ++p) {
            const int e = dof_elems[p];
            for (int k = offsets[e]; k < offsets[e + 1]; ++k) {
                const int j = indices[k];
                if (seen[j] != i) {
                    seen[j] = i;
                    row.push_back(j);
                }
            }
        }
        std::sort(row.begin(), row.end());
        if (columns.size() + row.size() > std::size_t(std::numeric_limits<PetscInt>::max()))
            throw std::length_error("mosk: LinearSystem: the pattern has more entries than "
                                    "PETSc's index type can count");
        columns.insert(columns.end(), row.begin(), row.end());
        row_start[i + 1] = PetscInt(columns.size());
    }
}

void LinearSystem::Impl::create_objects(const PetscScope& s) {
    // PETSc's default split of the rows; the columns are split the same way.
    PetscInt local = PETSC_DECIDE, global = n;
    s.check(PetscSplitOwnership(comm, &local, &global), "PetscSplitOwnership");
    PetscInt rend = 0;
    if (MPI_Scan(&local, &rend, 1, MPIU_INT, MPI_SUM, comm) != MPI_SUCCESS)
        throw std::runtime_error("mosk: LinearSystem: MPI_Scan failed");
    const PetscInt rstart = rend - local, cstart = rstart, cend = rend;
    s.check(MatCreate(comm, &A), "MatCreate");
    s.check(MatSetSizes(A, local, local, n, n), "MatSetSizes");
    s.check(MatSetType(A, MATAIJ), "MatSetType");

    // Exact counts of the local rows, split into the diagonal block and the rest.
    std::vector<PetscInt> dnnz(std::size_t(rend - rstart)), onnz(std::size_t(rend - rstart));
    for (PetscInt i = rstart; i < rend; ++i)
        for (PetscInt p = row_start[i]; p < row_start[i + 1]; ++p)
            ++(columns[p] >= cstart && columns[p] < cend ? dnnz : onnz)[i - rstart];
    s.check(MatXAIJSetPreallocation(A, 1, dnnz.data(), onnz.data(), nullptr, nullptr),
            "MatXAIJSetPreallocation");

    // Store the whole pattern now so that assembly never drops a preallocated but not yet used
    // location (a later addition there would otherwise need a new allocation).
    std::vector<PetscScalar> zeros;
    for (PetscInt i = rstart; i < rend; ++i) {
        const PetscInt count = row_start[i + 1] - row_start[i];
        zeros.assign(std::size_t(count), 0.0);
        s.check(MatSetValues(A, 1, &i, count, columns.data() + row_start[i], zeros.data(),
                             INSERT_VALUES),
                "MatSetValues");
    }
    s.check(MatAssemblyBegin(A, MAT_FINAL_ASSEMBLY), "MatAssemblyBegin");
    s.check(MatAssemblyEnd(A, MAT_FINAL_ASSEMBLY), "MatAssemblyEnd");
    s.check(MatSetOption(A, MAT_NEW_NONZERO_ALLOCATION_ERR, PETSC_TRUE),
            "MatSetOption(MAT_NEW_NONZERO_ALLOCATION_ERR)");
    s.check(MatSetOption(A, MAT_NEW_NONZERO_LOCATION_ERR, PETSC_TRUE),
            "MatSetOption(MAT_NEW_NONZERO_LOCATION_ERR)");

    s.check(MatCreateVecs(A, &x, &b), "MatCreateVecs");
    s.check(VecZeroEntries(b), "VecZeroEntries");
    s.check(VecZeroEntries(x), "VecZeroEntries");
}

LinearSystem::LinearSystem(int n, std::span<const int> offsets, std::span<const int> indices,
                           int comm)
    : impl_(std::make_unique<Impl>()) {
    require_started("LinearSystem");
    if (n < 0)
        throw std::invalid_argument("mosk: LinearSystem: negative size " + std::to_string(n));
    const int handle = comm == -1 ? moskComm : comm;
    if (library_process_count(handle) != 1)
        throw std::invalid_argument(
            "mosk: LinearSystem: systems distributed over more than one process are not "
            "supported yet");
    impl_->n = n;
    impl_->comm = MPI_Comm_f2c(handle);
    impl_->build_pattern(offsets, indices);
    PetscScope s("LinearSystem");
    impl_->create_objects(s);  // on failure ~Impl releases what was made
}

LinearSystem::~LinearSystem() = default;
LinearSystem::LinearSystem(LinearSystem&&) noexcept = default;
LinearSystem& LinearSystem::operator=(LinearSystem&&) noexcept = default;

void LinearSystem::check_usable(const char* operation) const {
    if (!impl_)
        throw std::logic_error(std::string("mosk: ") + operation +
                               ": the system was moved from");
    require_started(operation);
}

int LinearSystem::size() const {
    if (!impl_) throw std::logic_error("mosk: LinearSystem::size: the system was moved from");
    return impl_->n;
}

std::int64_t LinearSystem::pattern_nonzeros() const {
    if (!impl_)
        throw std::logic_error("mosk: LinearSystem::pattern_nonzeros: the system was moved from");
    return std::int64_t(impl_->columns.size());
}

int LinearSystem::row_pattern_size(int row) const {
    if (!impl_)
        throw std::logic_error("mosk: LinearSystem::row_pattern_size: the system was moved from");
    impl_->check_index("LinearSystem::row_pattern_size", "row", 0, row);
    return int(impl_->row_start[row + 1] - impl_->row_start[row]);
}

std::int64_t LinearSystem::matrix_nonzeros() const {
    check_usable("LinearSystem::matrix_nonzeros");
    PetscScope s("LinearSystem::matrix_nonzeros");
    MatInfo info;
    s.check(MatGetInfo(impl_->A, MAT_GLOBAL_SUM, &info), "MatGetInfo");
    return std::int64_t(info.nz_used);
}

void LinearSystem::add_block(int nrows, const int* rows, int ncols, const int* cols,
                             const double* values) {
    const char* op = "LinearSystem::add_block";
    check_usable(op);
    if (nrows < 0 || ncols < 0)
        throw std::invalid_argument("mosk: LinearSystem::add_block: negative block size " +
                                    std::to_string(nrows) + " x " + std::to_string(ncols));
    if (nrows == 0 || ncols == 0) return;
    if (!rows || !cols || !values)
        throw std::invalid_argument("mosk: LinearSystem::add_block: null index or value array");
    Impl& m = *impl_;
    for (int i = 0; i < nrows; ++i) m.check_index(op, "row", i, rows[i]);
    for (int j = 0; j < ncols; ++j) m.check_index(op, "column", j, cols[j]);
    for (int i = 0; i < nrows; ++i)
        for (int j = 0; j < ncols; ++j) {
            if (!m.in_pattern(rows[i], cols[j]))
                throw std::invalid_argument(
                    "mosk: LinearSystem::add_block: entry (row " + std::to_string(rows[i]) +
                    ", column " + std::to_string(cols[j]) +
                    ") is outside the pattern: no element holds both DOFs");
            const double v = values[std::size_t(i) * std::size_t(ncols) + std::size_t(j)];
            if (!std::isfinite(v))
                throw std::invalid_argument("mosk: LinearSystem::add_block: value " +
                                            format_double(v) + " at (row " +
                                            std::to_string(rows[i]) + ", column " +
                                            std::to_string(cols[j]) + ") is not finite");
        }
    PetscScope s(op);
    static_assert(sizeof(PetscInt) == sizeof(int), "PETSc built with 64-bit indices");
    m.matrix_pending = true;
    s.check(MatSetValues(m.A, nrows, reinterpret_cast<const PetscInt*>(rows), ncols,
                         reinterpret_cast<const PetscInt*>(cols), values, ADD_VALUES),
            "MatSetValues");
}

void LinearSystem::add_rhs(int count, const int* idx, const double* values) {
    const char* op = "LinearSystem::add_rhs";
    check_usable(op);
    if (count < 0)
        throw std::invalid_argument("mosk: LinearSystem::add_rhs: negative count " +
                                    std::to_string(count));
    if (count == 0) return;
    if (!idx || !values)
        throw std::invalid_argument("mosk: LinearSystem::add_rhs: null index or value array");
    Impl& m = *impl_;
    for (int i = 0; i < count; ++i) {
        m.check_index(op, "right-hand side", i, idx[i]);
        if (!std::isfinite(values[i]))
            throw std::invalid_argument("mosk: LinearSystem::add_rhs: value " +
                                        format_double(values[i]) + " at index " +
                                        std::to_string(idx[i]) + " is not finite");
    }
    PetscScope s(op);
    m.rhs_pending = true;
    s.check(VecSetValues(m.b, count, reinterpret_cast<const PetscInt*>(idx), values, ADD_VALUES),
            "VecSetValues");
}

void LinearSystem::zero() {
    zero_matrix();
    zero_rhs();
}

void LinearSystem::zero_matrix() {
    check_usable("LinearSystem::zero_matrix");
    PetscScope s("LinearSystem::zero_matrix");
    impl_->assemble(s);  // pending additions are discarded with the rest
    s.check(MatZeroEntries(impl_->A), "MatZeroEntries");
}

void LinearSystem::zero_rhs() {
    check_usable("LinearSystem::zero_rhs");
    PetscScope s("LinearSystem::zero_rhs");
    impl_->assemble(s);
    s.check(VecZeroEntries(impl_->b), "VecZeroEntries");
}

void LinearSystem::add_solver_options(const std::vector<std::string>& words) {
    check_usable("LinearSystem::add_solver_options");
    const std::string text = checked_petsc_options(words);
    if (text.empty()) return;
    impl_->own_options += (impl_->own_options.empty() ? "" : " ") + text;
}

double LinearSystem::matrix_entry(int row, int col) {
    const char* op = "LinearSystem::matrix_entry";
    check_usable(op);
    impl_->check_index(op, "row", 0, row);
    impl_->check_index(op, "column", 0, col);
    if (!impl_->in_pattern(row, col)) return 0.0;
    PetscScope s(op);
    impl_->assemble(s);
    PetscInt r = row, c = col;
    PetscScalar v = 0;
    s.check(MatGetValues(impl_->A, 1, &r, 1, &c, &v), "MatGetValues");
    return v;
}

std::vector<double> LinearSystem::rhs_values() {
    check_usable("LinearSystem::rhs_values");
    PetscScope s("LinearSystem::rhs_values");
    impl_->assemble(s);
    std::vector<double> out(std::size_t(impl_->n));
    const PetscScalar* a = nullptr;
    s.check(VecGetArrayRead(impl_->b, &a), "VecGetArrayRead");
    std::copy(a, a + impl_->n, out.begin());
    s.check(VecRestoreArrayRead(impl_->b, &a), "VecRestoreArrayRead");
    return out;
}

SolveResult LinearSystem::solve(std::string_view kind_name, double rtol, int maxit, int symmetry,
                                std::span<double> solution, bool use_initial_guess) {
    const char* op = "LinearSystem::solve";
    check_usable(op);
    const SolverKind* kind = find_solver_kind(kind_name);
    if (!kind)
        throw std::invalid_argument("mosk: LinearSystem::solve: unknown solver kind '" +
                                    std::string(kind_name) + "' (known: " + solver_kind_names() +
                                    ")");
    if (!(rtol > 0 && rtol < 1))
        throw std::invalid_argument("mosk: LinearSystem::solve: relative tolerance " +
                                    format_double(rtol) + " is not in (0, 1)");
    if (maxit < 1)
        throw std::invalid_argument("mosk: LinearSystem::solve: maxit " + std::to_string(maxit) +
                                    " is below 1");
    if (symmetry < 0 || symmetry > 3)
        throw std::invalid_argument("mosk: LinearSystem::solve: symmetry " +
                                    std::to_string(symmetry) + " is not 0..3");
    if (solution.size() != std::size_t(impl_->n))
        throw std::invalid_argument("mosk: LinearSystem::solve: solution has " +
                                    std::to_string(solution.size()) + " values for " +
                                    std::to_string(impl_->n) + " unknowns");
    PetscScope s(op);
    try {
        return impl_->run(s, *kind, rtol, maxit, symmetry, solution, use_initial_guess);
    } catch (const std::runtime_error&) {
        // After a PETSc error or a failed solve (a failed factorisation, say) the solver may be
        // unsound: start afresh next time.
        impl_->destroy_ksp();
        throw;
    }
}

SolveResult LinearSystem::Impl::run(const PetscScope& s, const SolverKind& kind, double rtol,
                                    int maxit, int symmetry, std::span<double> solution,
                                    bool use_initial_guess) {
    SolveResult result;
    assemble(s);
    if (n == 0) {
        result.converged_reason = KSP_CONVERGED_ATOL;
        return result;
    }

    s.check(MatSetOption(A, MAT_STRUCTURALLY_SYMMETRIC, symmetry >= 1 ? PETSC_TRUE : PETSC_FALSE),
            "MatSetOption(MAT_STRUCTURALLY_SYMMETRIC)");
    s.check(MatSetOption(A, MAT_SYMMETRIC, symmetry >= 2 ? PETSC_TRUE : PETSC_FALSE),
            "MatSetOption(MAT_SYMMETRIC)");
    s.check(MatSetOption(A, MAT_SPD, symmetry == 3 ? PETSC_TRUE : PETSC_FALSE),
            "MatSetOption(MAT_SPD)");

    // The solver is kept while the kind and the options database stay the same, so that an
    // unchanged matrix keeps its preconditioner or factorisation; otherwise it is made afresh
    // (some settings, like the factorisation package, cannot change once set up).
    char* all_options = nullptr;
    s.check(PetscOptionsGetAll(nullptr, &all_options), "PetscOptionsGetAll");
    const std::string options = (all_options ? all_options : "") + std::string("\n") + own_options;
    PetscFree(all_options);
    if (ksp && (ksp_kind != &kind || ksp_options != options)) destroy_ksp();
    const bool fresh = !ksp;
    if (fresh) {
        s.check(KSPCreate(comm, &ksp), "KSPCreate");
        if (!own_options.empty()) {
            ksp_database = solver_options_database(own_options, kind.options_prefix, s);
            s.check(PetscObjectSetOptions(reinterpret_cast<PetscObject>(ksp), ksp_database),
                    "PetscObjectSetOptions");
        }
        ksp_kind = &kind;
        ksp_options = options;
        s.check(KSPSetOptionsPrefix(ksp, kind.options_prefix), "KSPSetOptionsPrefix");
        kind.configure(ksp, s);
    }
    s.check(KSPSetOperators(ksp, A, A), "KSPSetOperators");
    s.check(KSPSetInitialGuessNonzero(ksp, use_initial_guess ? PETSC_TRUE : PETSC_FALSE),
            "KSPSetInitialGuessNonzero");
    // Options go last so that they win over the arguments (-mosk_ksp_rtol ...).
    if (fresh || rtol != ksp_rtol || maxit != ksp_maxit) {
        s.check(KSPSetTolerances(ksp, rtol, PETSC_DEFAULT, PETSC_DEFAULT, maxit),
                "KSPSetTolerances");
        set_from_options(ksp, kind, s);
        ksp_rtol = rtol;
        ksp_maxit = maxit;
    }

    if (use_initial_guess) {
        PetscScalar* a = nullptr;
        s.check(VecGetArray(x, &a), "VecGetArray");
        std::copy(solution.begin(), solution.end(), a);
        s.check(VecRestoreArray(x, &a), "VecRestoreArray");
    } else {
        s.check(VecZeroEntries(x), "VecZeroEntries");
    }

    auto t0 = std::chrono::steady_clock::now();
    s.check(KSPSetUp(ksp), "KSPSetUp");
    result.setup_seconds = seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    s.check(KSPSolve(ksp, b, x), "KSPSolve");
    result.solve_seconds = seconds_since(t0);

    KSPConvergedReason reason;
    PetscInt its = 0;
    PetscReal rnorm = 0;
    s.check(KSPGetConvergedReason(ksp, &reason), "KSPGetConvergedReason");
    s.check(KSPGetIterationNumber(ksp, &its), "KSPGetIterationNumber");
    s.check(KSPGetResidualNorm(ksp, &rnorm), "KSPGetResidualNorm");
    result.iterations = int(its);
    result.residual = rnorm;
    result.converged_reason = int(reason);
    KSPType ktype = nullptr;
    PCType ptype = nullptr;
    PC pc = nullptr;
    s.check(KSPGetType(ksp, &ktype), "KSPGetType");
    s.check(KSPGetPC(ksp, &pc), "KSPGetPC");
    s.check(PCGetType(pc, &ptype), "PCGetType");
    result.ksp_type = ktype ? ktype : "";
    result.pc_type = ptype ? ptype : "";

    // ||b - A x|| of what is returned, whatever norm the method tested.
    Vec r = nullptr;
    s.check(VecDuplicate(b, &r), "VecDuplicate");
    PetscErrorCode code = MatMult(A, x, r);
    if (!code) code = VecAYPX(r, -1.0, b);
    PetscReal true_norm = 0, bnorm = 0;
    if (!code) code = VecNorm(r, NORM_2, &true_norm);
    VecDestroy(&r);
    s.check(code, "MatMult/VecNorm");
    s.check(VecNorm(b, NORM_2, &bnorm), "VecNorm");
    result.true_residual = true_norm;
    result.rhs_norm = bnorm;

    auto failure = [&](const std::string& what) {
        return std::runtime_error("mosk: LinearSystem::solve: solver '" + std::string(kind.name) +
                                  "' " + what + " after " + std::to_string(result.iterations) +
                                  " iterations, residual " + format_double(result.residual) +
                                  " (||b - Ax|| = " + format_double(result.true_residual) +
                                  ", ||b|| = " + format_double(result.rhs_norm) + ")");
    };
    if (reason < 0) throw failure("did not converge: " + reason_text(reason));
    if (!std::isfinite(true_norm)) throw failure("returned non-finite values");

    const PetscScalar* a = nullptr;
    s.check(VecGetArrayRead(x, &a), "VecGetArrayRead");
    std::copy(a, a + n, solution.begin());
    s.check(VecRestoreArrayRead(x, &a), "VecRestoreArrayRead");
    log_message(2, "solve '" + std::string(kind.name) + "' (" + result.ksp_type + "/" +
                       result.pc_type + "): " + std::to_string(result.iterations) +
                       " iterations, residual " + format_double(result.true_residual));
    return result;
}

void LinearSystem::write_matlab(const std::string& matrix_file, const std::string& rhs_file) {
    const char* op = "LinearSystem::write_matlab";
    check_usable(op);
    if (matrix_file == rhs_file)
        throw std::invalid_argument("mosk: LinearSystem::write_matlab: matrix and right-hand "
                                    "side would both go to '" + matrix_file + "'");
    PetscScope s(op);
    Impl& m = *impl_;
    m.assemble(s);
    AtomicFile mf(matrix_file, "write MATLAB matrix");
    AtomicFile rf(rhs_file, "write MATLAB right-hand side");
    char line[96];
    const std::string n = std::to_string(m.n);

    // Rows are copied out before writing: a failed write must not leave a row checked out.
    std::vector<PetscInt> cols;
    std::vector<double> vals;
    std::vector<PetscInt> starts(1, 0);
    for (PetscInt i = 0; i < m.n; ++i) {
        PetscInt count = 0;
        const PetscInt* c = nullptr;
        const PetscScalar* v = nullptr;
        s.check(MatGetRow(m.A, i, &count, &c, &v), "MatGetRow");
        cols.insert(cols.end(), c, c + count);
        vals.insert(vals.end(), v, v + count);
        s.check(MatRestoreRow(m.A, i, &count, &c, &v), "MatRestoreRow");
        starts.push_back(PetscInt(cols.size()));
    }
    const std::vector<double> rhs = rhs_values();

    mf.write("% " + n + " x " + n + " sparse matrix, " + std::to_string(cols.size()) +
             " stored entries as 1-based (row, column, value)\n");
    if (cols.empty()) {
        mf.write("mosk_ijv = zeros(0, 3);\n");
    } else {
        mf.write("mosk_ijv = [\n");
        for (PetscInt i = 0; i < m.n; ++i)
            for (PetscInt k = starts[i]; k < starts[i + 1]; ++k) {
                const int len = std::snprintf(line, sizeof line, "%d %d %.17g\n", int(i) + 1,
                                              int(cols[k]) + 1, vals[k]);
                mf.write(line, std::size_t(len));
            }
        mf.write("];\n");
    }
    mf.write("A = sparse(mosk_ijv(:, 1), mosk_ijv(:, 2), mosk_ijv(:, 3), " + n + ", " + n +
             ");\nclear mosk_ijv;\n");

    rf.write("% right-hand side, " + n + " entries\n");
    if (rhs.empty()) {
        rf.write("b = zeros(0, 1);\n");
    } else {
        rf.write("b = [\n");
        for (double v : rhs) {
            const int len = std::snprintf(line, sizeof line, "%.17g\n", v);
            rf.write(line, std::size_t(len));
        }
        rf.write("];\n");
    }
    mf.commit();
    rf.commit();
}

}  // namespace mosk
