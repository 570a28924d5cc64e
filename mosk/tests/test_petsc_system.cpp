// The PETSc linear-system layer: pattern from element lists, accumulation, refusal of bad
// entries, every solver kind on Poisson problems with known solutions, failure reporting,
// options, MATLAB dumps and destruction after shut-down.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <gtest/gtest.h>
#include <petscsys.h>

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "mosk.h"
#include "mosk_errors.h"
#include "core/parallel.h"
#include "solver/petsc_system.h"
#include "solver/solver_kinds.h"
#include "solver/sparsity_pattern.h"
#include "system_probe.h"

using mosk::LinearSystem;

namespace {

// P1 triangles on the unit square: m x m cells, each cut along its diagonal.
struct Mesh {
    int n = 0;
    std::vector<int> offsets{0}, indices;
    std::vector<double> x, y;
    std::vector<char> boundary;
};

Mesh unit_square(int m) {
    Mesh mesh;
    mesh.n = (m + 1) * (m + 1);
    for (int j = 0; j <= m; ++j)
        for (int i = 0; i <= m; ++i) {
            mesh.x.push_back(double(i) / m);
            mesh.y.push_back(double(j) / m);
            mesh.boundary.push_back(i == 0 || j == 0 || i == m || j == m);
        }
    auto v = [m](int i, int j) { return j * (m + 1) + i; };
    for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i)
            for (auto tri : {std::vector<int>{v(i, j), v(i + 1, j), v(i + 1, j + 1)},
                             std::vector<int>{v(i, j), v(i + 1, j + 1), v(i, j + 1)}}) {
                mesh.indices.insert(mesh.indices.end(), tri.begin(), tri.end());
                mesh.offsets.push_back(int(mesh.indices.size()));
            }
    return mesh;
}

LinearSystem make_system(const Mesh& mesh) {
    return LinearSystem(mesh.n, mesh.offsets, mesh.indices);
}

// Adds the Laplacian of every triangle with Dirichlet values g on the boundary, eliminated
// symmetrically per element (a boundary row becomes k times the identity, k = elements holding
// it), and a load f.
// With keep_columns, only the boundary rows are replaced: the other rows keep their boundary
// columns (an unsymmetric system).
void assemble_laplace(LinearSystem& sys, const Mesh& mesh,
                      const std::function<double(double, double)>& g, double f = 0.0,
                      bool keep_columns = false) {
    for (std::size_t e = 0; e + 1 < mesh.offsets.size(); ++e) {
        const int* t = mesh.indices.data() + mesh.offsets[e];
        double b[3], c[3];
        for (int k = 0; k < 3; ++k) {
            const int p = t[(k + 1) % 3], q = t[(k + 2) % 3];
            b[k] = mesh.y[p] - mesh.y[q];
            c[k] = mesh.x[q] - mesh.x[p];
        }
        const double area = 0.5 * std::fabs(b[0] * c[1] - b[1] * c[0]);
        double K[9], rhs[3];
        for (int i = 0; i < 3; ++i) {
            rhs[i] = f * area / 3;
            for (int j = 0; j < 3; ++j) K[3 * i + j] = (b[i] * b[j] + c[i] * c[j]) / (4 * area);
        }
        bool bd[3];
        double gv[3];
        for (int i = 0; i < 3; ++i) {
            bd[i] = mesh.boundary[t[i]];
            gv[i] = bd[i] ? g(mesh.x[t[i]], mesh.y[t[i]]) : 0.0;
        }
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                if (!bd[i] && bd[j] && !keep_columns) rhs[i] -= K[3 * i + j] * gv[j];
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j)
                if (bd[i] || (bd[j] && !keep_columns)) K[3 * i + j] = (i == j);
            if (bd[i]) rhs[i] = gv[i];
        }
        sys.add_block(3, t, 3, t, K);
        sys.add_rhs(3, t, rhs);
    }
}

double linear_u(double x, double y) { return 1 + x + 2 * y; }

// 1D P1 elements on [0, 1] for -u'' = 2, u(0) = u(1) = 0: the nodal values are x (1 - x).
LinearSystem one_d_poisson(int intervals) {
    std::vector<int> offsets{0}, indices;
    for (int e = 0; e < intervals; ++e) {
        indices.push_back(e);
        indices.push_back(e + 1);
        offsets.push_back(int(indices.size()));
    }
    LinearSystem sys(intervals + 1, offsets, indices);
    const double h = 1.0 / intervals;
    for (int e = 0; e < intervals; ++e) {
        const int dofs[2] = {e, e + 1};
        const bool left = e == 0, right = e == intervals - 1;
        const double K[4] = {left ? 1 : 1 / h, left || right ? 0 : -1 / h,
                             left || right ? 0 : -1 / h, right ? 1 : 1 / h};
        const double f[2] = {left ? 0 : h, right ? 0 : h};
        sys.add_block(2, dofs, 2, dofs, K);
        sys.add_rhs(2, dofs, f);
    }
    return sys;
}

// Sets PETSc options for one scope.
class ScopedOptions {
public:
    ScopedOptions(std::initializer_list<std::pair<std::string, std::string>> options) {
        for (auto& [name, value] : options) {
            PetscOptionsSetValue(nullptr, name.c_str(), value.c_str());
            names_.push_back(name);
        }
    }
    ~ScopedOptions() {
        for (auto& name : names_) PetscOptionsClearValue(nullptr, name.c_str());
    }

private:
    std::vector<std::string> names_;
};

template <class F>
std::string message_of(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

}  // namespace

// ---- pattern -----------------------------------------------------------------------------

TEST(PetscSystemPattern, CountsDistinctCoupledColumnsAndTheDiagonal) {
    // Element {3, 3, 1} repeats an index; DOFs 4 and 5 are in no element.
    LinearSystem sys(6, std::vector<int>{0, 3, 5, 8}, std::vector<int>{0, 1, 2, 2, 3, 3, 3, 1});
    const int expected[6] = {3, 4, 4, 3, 1, 1};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(probe::row_size(sys, i), expected[i]) << "row " << i;
    EXPECT_EQ(probe::matrix_nonzeros(sys), 16);
    // Triangles: one entry per vertex and two per edge; 7 in an interior row.
    const int m = 5, edges = 2 * m * (m + 1) + m * m;
    LinearSystem grid = make_system(unit_square(m));
    // The whole pattern is stored from the start, before any addition.
    EXPECT_EQ(probe::matrix_nonzeros(grid), (m + 1) * (m + 1) + 2 * edges);
    EXPECT_EQ(probe::row_size(grid, 2 * (m + 1) + 2), 7);
}

TEST(PetscSystemPattern, AShareHoldsItsRowsAndItsElementsRowsAsTheWholePatternDoes) {
    const Mesh mesh = unit_square(6);
    const std::size_t nelem = mesh.offsets.size() - 1;
    const mosk::SparsityPattern whole(mesh.n, 0, mesh.n, mesh.offsets, mesh.indices, {}, "test");
    for (const auto [first, count] : {std::pair{0, 10}, {17, 12}, {mesh.n - 9, 9}, {20, 0}}) {
        // This share's elements: every third one, and those whose first index it owns.
        std::vector<char> mine(nelem, 0);
        std::vector<char> held(std::size_t(mesh.n), 0);
        for (int i = first; i < first + count; ++i) held[i] = 1;
        for (std::size_t e = 0; e < nelem; ++e) {
            const int lead = mesh.indices[mesh.offsets[e]];
            mine[e] = e % 3 == 0 || (lead >= first && lead < first + count);
            if (mine[e])
                for (int k = mesh.offsets[e]; k < mesh.offsets[e + 1]; ++k)
                    held[mesh.indices[k]] = 1;
        }
        const mosk::SparsityPattern part(mesh.n, first, count, mesh.offsets, mesh.indices, mine,
                                         "test");
        std::int64_t entries = 0;
        for (int i = 0; i < mesh.n; ++i) {
            const int k = part.slot(i);
            ASSERT_EQ(k >= 0, bool(held[i])) << "row " << i << " of share " << first;
            if (i >= first && i < first + count) EXPECT_EQ(k, i - first);
            if (k < 0) continue;
            const int w = whole.slot(i);
            EXPECT_EQ(std::vector<PetscInt>(part.begin(k), part.end(k)),
                      std::vector<PetscInt>(whole.begin(w), whole.end(w)))
                << "row " << i << " of share " << first;
            entries += part.end(k) - part.begin(k);
        }
        EXPECT_EQ(part.entries(), entries);  // nothing beyond the held rows
    }
    EXPECT_THROW(mosk::SparsityPattern(mesh.n, 5, mesh.n, mesh.offsets, mesh.indices, {}, "t"),
                 std::invalid_argument);
    EXPECT_THROW(mosk::SparsityPattern(mesh.n, 0, 5, mesh.offsets, mesh.indices,
                                       std::vector<char>(nelem - 1, 1), "t"),
                 std::invalid_argument);
}

TEST(PetscSystemPattern, RejectsMalformedElementLists) {
    const std::vector<int> idx{0, 1, 1, 2};
    EXPECT_THROW(LinearSystem(3, std::vector<int>{1, 2, 4}, idx), std::invalid_argument);
    EXPECT_THROW(LinearSystem(3, std::vector<int>{0, 3, 2}, idx), std::invalid_argument);
    EXPECT_THROW(LinearSystem(3, std::vector<int>{0, 2, 3}, idx), std::invalid_argument);
    EXPECT_THROW(LinearSystem(3, std::vector<int>{}, idx), std::invalid_argument);
    EXPECT_THROW(LinearSystem(-1, std::vector<int>{}, std::vector<int>{}), std::invalid_argument);
    try {
        LinearSystem(2, std::vector<int>{0, 2, 4}, idx);
        FAIL() << "index 2 of a 2-unknown system accepted";
    } catch (const std::out_of_range& e) {
        EXPECT_NE(std::string(e.what()).find("index 2"), std::string::npos) << e.what();
    }
    LinearSystem empty(0, std::vector<int>{}, std::vector<int>{});
    std::vector<double> none;
    EXPECT_GT(empty.solve("cg", 1e-8, 10, 3, none).converged_reason, 0);
}

// ---- assembly ----------------------------------------------------------------------------

TEST(PetscSystemAssembly, AdditionsAccumulate) {
    LinearSystem sys(3, std::vector<int>{0, 2, 4}, std::vector<int>{0, 1, 1, 2});
    const int dofs[2] = {0, 1};
    const double K[4] = {1.5, -0.25, 2.0, 3.125};
    const double f[2] = {0.5, -1.0};
    for (int pass = 0; pass < 2; ++pass) {
        sys.add_block(2, dofs, 2, dofs, K);
        sys.add_rhs(2, dofs, f);
    }
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) EXPECT_EQ(probe::matrix_entry(sys, i, j), 2 * K[2 * i + j]);
    EXPECT_EQ(probe::rhs_values(sys), (std::vector<double>{1.0, -2.0, 0.0}));
    // A row repeated inside one block adds up as well.
    const int rows[2] = {2, 2}, col = 1;
    const double v[2] = {1.0, 0.5};
    sys.add_block(2, rows, 1, &col, v);
    EXPECT_EQ(probe::matrix_entry(sys, 2, 1), 1.5);
}

TEST(PetscSystemAssembly, RefusedBlocksAddNothing) {
    LinearSystem sys(3, std::vector<int>{0, 2, 4}, std::vector<int>{0, 1, 1, 2});
    const int rows[2] = {0, 1}, cols[2] = {1, 2}, bad_row[2] = {0, 5}, bad_col[2] = {-1, 1};
    const double v[4] = {1, 2, 3, 4}, nan_block[4] = {1, NAN, 3, 4}, inf = INFINITY;
    const std::string msg = message_of([&] { sys.add_block(2, rows, 2, cols, v); });
    EXPECT_NE(msg.find("(row 0, column 2) is outside the pattern"), std::string::npos) << msg;
    EXPECT_THROW(sys.add_block(2, rows, 2, cols, v), std::invalid_argument);
    EXPECT_THROW(sys.add_block(2, bad_row, 2, rows, v), std::out_of_range);
    EXPECT_NE(message_of([&] { sys.add_block(2, bad_row, 2, rows, v); }).find("index 5"),
              std::string::npos);
    EXPECT_THROW(sys.add_block(2, rows, 2, bad_col, v), std::out_of_range);
    EXPECT_NE(message_of([&] { sys.add_block(2, rows, 2, bad_col, v); }).find("index -1"),
              std::string::npos);
    EXPECT_THROW(sys.add_rhs(1, &bad_row[1], v), std::out_of_range);
    EXPECT_THROW(sys.add_block(2, rows, 2, rows, nan_block), std::invalid_argument);
    EXPECT_THROW(sys.add_rhs(1, rows, &inf), std::invalid_argument);
    EXPECT_THROW(sys.add_block(-1, rows, 2, rows, v), std::invalid_argument);
    EXPECT_THROW(probe::matrix_entry(sys, 3, 0), std::out_of_range);
    // The valid leading entries of the refused blocks were not added either.
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(probe::matrix_entry(sys, i, j), 0.0) << i << "," << j;
    EXPECT_EQ(probe::rhs_values(sys), (std::vector<double>{0, 0, 0}));
}

TEST(PetscSystemAssembly, EntriesOfLongRowsFindTheirPlaces) {
    // Rows of 20 columns (the even indices, given in decreasing order), of 2 and of 1 (a
    // diagonal alone): each entry lands in its place, and a column between, before or after a
    // row's columns is refused.
    std::vector<int> even;
    for (int i = 38; i >= 0; i -= 2) even.push_back(i);
    std::vector<int> indices = even;
    indices.insert(indices.end(), {1, 40});
    LinearSystem sys(41, std::vector<int>{0, 20, 22}, indices);
    std::vector<double> K(400);
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 20; ++j) K[std::size_t(20 * i + j)] = 100 * i + j;
    sys.add_block(20, even.data(), 20, even.data(), K.data());
    const int three = 3, one = 1;
    const double x = 7;
    sys.add_block(1, &three, 1, &three, &x);
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 20; ++j)
            EXPECT_EQ(probe::matrix_entry(sys, even[std::size_t(i)], even[std::size_t(j)]),
                      100 * i + j);
    EXPECT_EQ(probe::matrix_entry(sys, 3, 3), 7.0);
    for (auto [row, col] : {std::pair{0, 3}, {38, 40}, {40, 0}, {3, 2}, {3, 4}, {1, 0}})
        EXPECT_NE(
            message_of([&] { sys.add_block(1, &row, 1, &col, &x); }).find("outside the pattern"),
            std::string::npos)
            << row << "," << col;
    sys.add_block(1, &one, 1, &one, &x);
    EXPECT_EQ(probe::matrix_entry(sys, 1, 1), 7.0);
}

TEST(PetscSystemAssembly, PatternSurvivesAssemblyAndZero) {
    LinearSystem sys(3, std::vector<int>{0, 2, 4}, std::vector<int>{0, 1, 1, 2});
    const int e0[2] = {0, 1}, e1[2] = {1, 2};
    const double K[4] = {1, -1, -1, 1};
    sys.add_block(2, e0, 2, e0, K);
    EXPECT_EQ(probe::matrix_entry(sys, 0, 0),
              1.0);  // assembles with (1,2) and (2,2) still untouched
    sys.add_block(2, e1, 2, e1, K);          // needs those locations now
    EXPECT_EQ(probe::matrix_entry(sys, 1, 1), 2.0);
    EXPECT_EQ(probe::matrix_entry(sys, 2, 1), -1.0);
    sys.add_rhs(2, e1, K);
    sys.zero();
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(probe::matrix_entry(sys, i, j), 0.0);
    EXPECT_EQ(probe::rhs_values(sys), (std::vector<double>{0, 0, 0}));
    EXPECT_EQ(probe::matrix_nonzeros(sys), 7);  // the pattern, kept as explicit zeros
    sys.add_block(2, e1, 2, e1, K);
    EXPECT_EQ(probe::matrix_entry(sys, 1, 2), -1.0);
}

// ---- solving -----------------------------------------------------------------------------

TEST(PetscSystemSolve, EveryKindReproducesALinearHarmonicFunction) {
    const Mesh mesh = unit_square(24);
    LinearSystem sys = make_system(mesh);
    assemble_laplace(sys, mesh, linear_u);
    for (const mosk::SolverKind& kind : mosk::solver_kinds())
        for (int symmetry : {0, 3}) {
            std::vector<double> u(std::size_t(mesh.n), 0.0);
            const mosk::SolveResult r = sys.solve(kind.name, 1e-10, 2000, symmetry, u);
            EXPECT_GT(r.converged_reason, 0) << kind.name;
            EXPECT_LE(r.true_residual, 1e-8 * r.rhs_norm) << kind.name;
            double err = 0;
            for (int i = 0; i < mesh.n; ++i)
                err = std::max(err, std::fabs(u[i] - linear_u(mesh.x[i], mesh.y[i])));
            EXPECT_LT(err, 1e-7) << kind.name;
            if (std::string(kind.name) == "cg") {
                EXPECT_EQ(r.ksp_type, "cg");
                EXPECT_EQ(r.pc_type, mosk::amg_preconditioner());
            }
            if (std::string(kind.name) == "lu") {
                EXPECT_EQ(r.pc_type, "lu");
                EXPECT_EQ(r.iterations, 1);
            }
        }
}

TEST(PetscSystemSolve, ToleranceIsRelativeToTheResidualOfTheBoundaryValues) {
    // Boundary rows hold the values; the other rows keep their boundary columns, so the
    // residual of the guess that holds the boundary values is b - A x0 on those rows.
    const Mesh mesh = unit_square(12);
    LinearSystem sys = make_system(mesh);
    assemble_laplace(sys, mesh, linear_u, 1.0, true);
    const std::vector<double> b = probe::rhs_values(sys);
    double r0 = 0;
    for (int i = 0; i < mesh.n; ++i) {
        double ri = mesh.boundary[i] ? 0.0 : b[i];
        for (int j = 0; j < mesh.n; ++j)
            if (!mesh.boundary[i] && mesh.boundary[j])
                ri -= probe::matrix_entry(sys, i, j) * b[j] / probe::matrix_entry(sys, j, j);
        r0 += ri * ri;
    }
    for (const char* kind : {"lu", "gmres"}) {
        std::vector<double> u(std::size_t(mesh.n));
        const mosk::SolveResult r = sys.solve(kind, 1e-10, 500, 0, u);
        EXPECT_NEAR(r.reference_norm, std::sqrt(r0), 1e-12 * std::sqrt(r0)) << kind;
        EXPECT_LE(r.relative_residual(), 1e-9) << kind;
        for (int i = 0; i < mesh.n; ++i)
            if (mesh.boundary[i]) ASSERT_NEAR(u[i], linear_u(mesh.x[i], mesh.y[i]), 1e-12);
    }
}

TEST(PetscSystemSolve, NonConvergenceThrowsNamingTheKindAndKeepsTheSolution) {
    const Mesh mesh = unit_square(40);
    LinearSystem sys = make_system(mesh);
    assemble_laplace(
        sys, mesh, [](double x, double y) { return std::sin(3 * x) * std::exp(y); }, 1.0);
    for (const char* kind : {"cg", "gmres", "bicgstab", "petsc"}) {
        std::vector<double> u(std::size_t(mesh.n), 7.0);
        try {
            sys.solve(kind, 1e-12, 1, 3, u);
            ADD_FAILURE() << kind << " converged in one iteration";
        } catch (const std::runtime_error& e) {
            const std::string msg = e.what();
            EXPECT_NE(msg.find(std::string("'") + kind + "'"), std::string::npos) << msg;
            EXPECT_NE(msg.find("1 iterations"), std::string::npos) << msg;
            EXPECT_NE(msg.find("residual"), std::string::npos) << msg;
        }
        for (double v : u) ASSERT_EQ(v, 7.0) << kind << ": solution changed by a failed solve";
        EXPECT_GT(sys.solve(kind, 1e-8, 5000, 3, u).converged_reason, 0) << kind;
    }
}

TEST(PetscSystemSolve, TheToleranceInForceJudgesTheTrueResidual) {
    const Mesh mesh = unit_square(40);
    LinearSystem sys = make_system(mesh);
    assemble_laplace(
        sys, mesh, [](double x, double y) { return std::sin(3 * x) * std::exp(y); }, 1.0);
    std::vector<double> u(std::size_t(mesh.n));
    for (const char* kind : {"cg", "gmres", "bicgstab"})
        EXPECT_LE(sys.solve(kind, 1e-10, 5000, 3, u).relative_residual(), 1e-9) << kind;
    // An option's looser tolerance wins over the argument and is what the result is held to.
    ScopedOptions opts{{"-mosk_ksp_rtol", "1e-2"}};
    const double relative = sys.solve("cg", 1e-12, 5000, 3, u).relative_residual();
    EXPECT_GT(relative, 1e-11);
    EXPECT_LE(relative, 1e-1);
}

TEST(PetscSystemSolve, SingularMatrixFailsForLU) {
    // DOF 2 is in no element: its row and column stay zero.
    LinearSystem sys(3, std::vector<int>{0, 2}, std::vector<int>{0, 1});
    const int dofs[2] = {0, 1};
    const double K[4] = {2, -1, -1, 2}, f[2] = {1, 1};
    sys.add_block(2, dofs, 2, dofs, K);
    sys.add_rhs(2, dofs, f);
    std::vector<double> u(3, 0.0);
    const std::string msg = message_of([&] { sys.solve("lu", 1e-10, 10, 0, u); });
    EXPECT_NE(msg.find("'lu'"), std::string::npos) << msg;
    // Made regular, the same system solves, through a fresh factorisation.
    const int two = 2;
    const double one = 1;
    sys.add_block(1, &two, 1, &two, &one);
    sys.solve("lu", 1e-10, 10, 0, u);
    EXPECT_NEAR(u[0], 1.0, 1e-14);
    EXPECT_NEAR(u[1], 1.0, 1e-14);
    EXPECT_EQ(u[2], 0.0);
}

TEST(PetscSystemSolve, KeptSolverSeesLaterChangesOfTheSystem) {
    for (const char* kind : {"lu", "cg"}) {
        LinearSystem sys = one_d_poisson(10);
        std::vector<double> u(11), v(11);
        sys.solve(kind, 1e-12, 100, 3, u);
        const std::vector<double> b = probe::rhs_values(sys);
        std::vector<int> all(11);
        for (int i = 0; i < 11; ++i) all[i] = i;
        sys.add_rhs(11, all.data(), b.data());  // twice b: twice x
        sys.solve(kind, 1e-12, 100, 3, v);
        for (int i = 0; i < 11; ++i) EXPECT_NEAR(v[i], 2 * u[i], 1e-12) << kind << " " << i;
        const int dof = 5;
        const double extra = 100;
        sys.add_block(1, &dof, 1, &dof, &extra);  // a changed A needs a new preconditioner
        sys.solve(kind, 1e-12, 100, 3, v);
        for (int i = 0; i < 11; ++i) {
            double Av = 0;
            for (int j = std::max(0, i - 1); j <= std::min(10, i + 1); ++j)
                Av += probe::matrix_entry(sys, i, j) * v[j];
            EXPECT_NEAR(Av, 2 * b[i], 1e-9) << kind << " row " << i;
        }
    }
}

TEST(PetscSystemSolve, InitialGuessIsUsedOnlyWhenAsked) {
    const Mesh mesh = unit_square(16);
    LinearSystem sys = make_system(mesh);
    assemble_laplace(sys, mesh, linear_u);
    std::vector<double> u(std::size_t(mesh.n), 0.0);
    const int cold = sys.solve("cg", 1e-10, 500, 3, u).iterations;
    EXPECT_GT(cold, 0);
    std::vector<double> exact(std::size_t(mesh.n));
    for (int i = 0; i < mesh.n; ++i) exact[i] = linear_u(mesh.x[i], mesh.y[i]);
    std::vector<double> guess = exact;
    EXPECT_EQ(sys.solve("cg", 1e-10, 500, 3, guess, true).iterations, 0);
    std::vector<double> ignored(std::size_t(mesh.n), 1e6);
    EXPECT_EQ(sys.solve("cg", 1e-10, 500, 3, ignored, false).iterations, cold);
    for (int i = 0; i < mesh.n; ++i) EXPECT_NEAR(ignored[i], exact[i], 1e-7);
}

TEST(PetscSystemSolve, RejectsBadArguments) {
    LinearSystem sys = one_d_poisson(4);
    std::vector<double> u(5), short_u(4);
    const std::string msg = message_of([&] { sys.solve("cholesky", 1e-8, 10, 0, u); });
    EXPECT_NE(msg.find("cholesky"), std::string::npos) << msg;
    EXPECT_NE(msg.find("bicgstab"), std::string::npos) << msg;  // lists the known kinds
    EXPECT_THROW(sys.solve("cholesky", 1e-8, 10, 0, u), std::invalid_argument);
    EXPECT_THROW(sys.solve("cg", 0.0, 10, 0, u), std::invalid_argument);
    EXPECT_THROW(sys.solve("cg", 1.0, 10, 0, u), std::invalid_argument);
    EXPECT_THROW(sys.solve("cg", NAN, 10, 0, u), std::invalid_argument);
    EXPECT_THROW(sys.solve("cg", 1e-8, 0, 0, u), std::invalid_argument);
    EXPECT_THROW(sys.solve("cg", 1e-8, 10, 4, u), std::invalid_argument);
    EXPECT_THROW(sys.solve("cg", 1e-8, 10, -1, u), std::invalid_argument);
    EXPECT_THROW(sys.solve("cg", 1e-8, 10, 0, short_u), std::invalid_argument);
}

// ---- PETSc options and errors --------------------------------------------------------------

TEST(PetscSystemOptions, PrefixedOptionsTuneTheNamedKindsAndPlainOnesThePetscKind) {
    LinearSystem sys = one_d_poisson(32);
    std::vector<double> u(33);
    {
        ScopedOptions opts{{"-mosk_pc_type", "jacobi"}};
        EXPECT_EQ(sys.solve("cg", 1e-10, 500, 3, u).pc_type, "jacobi");
        EXPECT_NE(sys.solve("petsc", 1e-10, 500, 3, u).pc_type, "jacobi");
    }
    EXPECT_EQ(sys.solve("cg", 1e-10, 500, 3, u).pc_type, mosk::amg_preconditioner());
    {
        ScopedOptions opts{{"-ksp_type", "cg"}, {"-pc_type", "jacobi"}};
        const mosk::SolveResult r = sys.solve("petsc", 1e-10, 500, 3, u);
        EXPECT_EQ(r.ksp_type, "cg");
        EXPECT_EQ(r.pc_type, "jacobi");
        EXPECT_EQ(sys.solve("gmres", 1e-10, 500, 3, u).ksp_type, "gmres");
    }
    {
        // Options win over the arguments: the kind stops after one iteration. (A 2D system:
        // ILU(0) of the 1D one is exact.)
        const Mesh mesh = unit_square(20);
        LinearSystem sys2 = make_system(mesh);
        assemble_laplace(sys2, mesh, linear_u, 1.0);
        std::vector<double> u2(std::size_t(mesh.n));
        ScopedOptions opts{{"-mosk_ksp_max_it", "1"}};
        const std::string msg = message_of([&] { sys2.solve("bicgstab", 1e-12, 500, 0, u2); });
        EXPECT_NE(msg.find("1 iterations"), std::string::npos) << msg;
    }
}

TEST(PetscSystemOptions, KindDefaultsStayOutOfTheDatabaseAndOptionChangesTakeEffect) {
    LinearSystem sys = one_d_poisson(16);
    std::vector<double> u(17);
    sys.solve("cg", 1e-10, 100, 3, u);
    PetscBool set = PETSC_TRUE;
    PetscOptionsHasName(nullptr, nullptr, "-mosk_pc_hypre_boomeramg_coarsen_type", &set);
    EXPECT_FALSE(set);
    {
        ScopedOptions opts{{"-mosk_pc_factor_mat_solver_type", "petsc"}};
        sys.solve("lu", 1e-10, 1, 0, u);
    }
    // The factorisation package differs now; the solver must be made afresh, not reused.
    EXPECT_EQ(sys.solve("lu", 1e-10, 1, 0, u).pc_type, "lu");
    EXPECT_NEAR(u[8], 0.25, 1e-12);
}

TEST(PetscSystemOptions, PetscErrorsBecomeExceptionsAndTheSystemStaysUsable) {
    LinearSystem sys = one_d_poisson(8);
    std::vector<double> u(9);
    {
        ScopedOptions opts{{"-mosk_ksp_type", "no_such_method"}};
        const std::string msg = message_of([&] { sys.solve("gmres", 1e-10, 100, 0, u); });
        EXPECT_NE(msg.find("KSPSetFromOptions"), std::string::npos) << msg;
        EXPECT_NE(msg.find("no_such_method"), std::string::npos) << msg;
    }
    EXPECT_GT(sys.solve("gmres", 1e-10, 100, 0, u).converged_reason, 0);
    EXPECT_NEAR(u[4], 0.25, 1e-9);
}

// ---- MATLAB output -----------------------------------------------------------------------

namespace {

std::filesystem::path scratch_dir(const std::string& name) {
    auto dir = std::filesystem::temp_directory_path() /
               ("mosk_petsc_system_" + std::to_string(::getpid()) + "_" + name);
    std::filesystem::create_directories(dir);
    return dir;
}

// The numbers between the lines "<var> = [" and "];" of a script.
std::vector<std::vector<double>> read_rows(const std::filesystem::path& file,
                                           const std::string& var, std::string& rest) {
    std::ifstream in(file);
    std::vector<std::vector<double>> rows;
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!inside && line == var + " = [") {
            inside = true;
        } else if (inside && line == "];") {
            inside = false;
        } else if (inside) {
            std::istringstream ls(line);
            std::vector<double> row;
            for (std::string word; ls >> word;) row.push_back(std::strtod(word.c_str(), nullptr));
            rows.push_back(row);
        } else {
            rest += line + "\n";
        }
    }
    return rows;
}

}  // namespace

TEST(PetscSystemMatlab, ScriptsReadBackToTheAssembledSystem) {
    const Mesh mesh = unit_square(3);
    LinearSystem sys = make_system(mesh);
    assemble_laplace(sys, mesh, [](double x, double y) { return std::exp(x) / 3 + y / 7; }, 0.1);
    const auto dir = scratch_dir("dump");
    sys.write_matlab(dir / "A.m", dir / "b.m");

    std::string rest;
    std::map<std::pair<int, int>, double> entries;
    for (const auto& t : read_rows(dir / "A.m", "mosk_ijv", rest)) {
        ASSERT_EQ(t.size(), 3u);
        entries[{int(t[0]) - 1, int(t[1]) - 1}] += t[2];
    }
    const std::string n = std::to_string(mesh.n);
    EXPECT_NE(rest.find("A = sparse(mosk_ijv(:, 1), mosk_ijv(:, 2), mosk_ijv(:, 3), " + n + ", " +
                        n + ");"),
              std::string::npos)
        << rest;
    EXPECT_EQ(std::int64_t(entries.size()), probe::matrix_nonzeros(sys));
    for (const auto& [ij, v] : entries) {
        ASSERT_GE(ij.first, 0);
        ASSERT_LT(ij.second, mesh.n);
        EXPECT_EQ(v, probe::matrix_entry(sys, ij.first, ij.second)) << ij.first << "," << ij.second;
    }

    std::string rest_b;
    const auto b_rows = read_rows(dir / "b.m", "b", rest_b);
    const std::vector<double> b = probe::rhs_values(sys);
    ASSERT_EQ(b_rows.size(), b.size());
    for (std::size_t i = 0; i < b.size(); ++i) {
        ASSERT_EQ(b_rows[i].size(), 1u);
        EXPECT_EQ(b_rows[i][0], b[i]) << i;  // full precision
    }
    std::filesystem::remove_all(dir);
}

TEST(PetscSystemMatlab, EmptySystemAndUnwritableFiles) {
    const auto dir = scratch_dir("fail");
    LinearSystem empty(0, std::vector<int>{}, std::vector<int>{});
    empty.write_matlab(dir / "A.m", dir / "b.m");
    std::ifstream a(dir / "A.m");
    std::string text((std::istreambuf_iterator<char>(a)), {});
    EXPECT_NE(text.find("zeros(0, 3)"), std::string::npos) << text;

    LinearSystem sys = one_d_poisson(4);
    try {
        sys.write_matlab(dir / "missing" / "A.m", dir / "b2.m");
        FAIL() << "wrote into a missing directory";
    } catch (const mosk::FileError& e) {
        EXPECT_EQ(e.code(), ENOENT);
        EXPECT_NE(std::string(e.what()).find("missing"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "b2.m"));
    EXPECT_THROW(sys.write_matlab(dir / "same.m", dir / "same.m"), std::invalid_argument);
    std::filesystem::remove_all(dir);
}

// ---- lifetime ----------------------------------------------------------------------------

TEST(PetscSystemLifetime, MovedFromSystemRefusesUse) {
    LinearSystem a = one_d_poisson(4);
    LinearSystem b = std::move(a);
    std::vector<double> u(5);
    EXPECT_THROW(a.solve("cg", 1e-8, 10, 3, u), std::logic_error);
    EXPECT_THROW(a.zero(), std::logic_error);
    EXPECT_THROW(a.size(), std::logic_error);
    EXPECT_GT(b.solve("cg", 1e-8, 10, 3, u).converged_reason, 0);
    EXPECT_NEAR(u[2], 0.25, 1e-8);
}

TEST(PetscSystemLifetimeDeathTest, DestroyingAfterShutDownIsSafe) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, not a fork of MPI
    EXPECT_EXIT(
        {
#if defined(__SANITIZE_ADDRESS__)
            // PETSc objects that outlive the shut-down are abandoned on purpose.
            __lsan_disable();
#endif
            auto* sys = new LinearSystem(one_d_poisson(8));
            std::vector<double> u(9);
            sys->solve("cg", 1e-10, 100, 3, u);
            moskFinalize();
            bool refused = false;
            try {
                sys->zero();
            } catch (const std::runtime_error&) {
                refused = true;
            }
            delete sys;
            std::exit(refused ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

// On however many processes the binary runs (CTest also runs it under mpirun with 2 and 3): a
// chain of 4 rows per process, element e holding {e, e + 1}, and one element {0, n - 1} that
// couples the first row with the last. Each element is added on the owner of its first row, so
// additions reach the diagonal and off-diagonal blocks of own rows and the rows of the next
// process; what lies outside the pattern is refused, in either block and in another process's
// row, and adds nothing.
TEST(PetscSystemParallel, AdditionsReachBothBlocksAndOtherRowsAndOutsideThePatternIsRefused) {
    const int rank = mosk::process_rank(-1), nprocs = mosk::process_count(-1), n = 4 * nprocs + 1;
    std::vector<int> offsets{0}, indices;
    for (int e = 0; e + 1 < n; ++e) {
        indices.insert(indices.end(), {e, e + 1});
        offsets.push_back(int(indices.size()));
    }
    indices.insert(indices.end(), {0, n - 1});
    offsets.push_back(int(indices.size()));
    mosk::RowLayout layout;
    layout.rstart = 4 * rank;
    layout.nlocal = rank + 1 == nprocs ? 5 : 4;
    auto owner = [&](int row) { return std::min(row / 4, nprocs - 1); };
    for (std::size_t e = 0; e + 1 < offsets.size(); ++e)
        layout.mine.push_back(owner(indices[offsets[e]]) == rank);
    LinearSystem sys(n, offsets, indices, -1, layout);

    const int first = layout.rstart, own_last = first + layout.nlocal - 1;
    const int next = own_last + 1 < n ? own_last + 1 : -1;  // a row of the next process
    const double x = 1;
    auto refused = [&](int row, int col) {
        return message_of([&] {
                   sys.add_block(1, &row, 1, &col, &x);
               }).find("outside the pattern") != std::string::npos;
    };
    EXPECT_TRUE(refused(first, first + 2));  // diagonal block
    EXPECT_TRUE(refused(first + 1, n - 1));  // off-diagonal block, or a column no own row holds
    if (next >= 0 && next + 2 < n) {
        EXPECT_TRUE(refused(own_last, next + 1));
        EXPECT_TRUE(refused(next, next + 2));  // another process's row
    }
    const int mixed[2] = {first, first + 1}, mixed_cols[2] = {first, first + 3};
    const double ones[4] = {1, 1, 1, 1};
    EXPECT_THROW(sys.add_block(2, mixed, 2, mixed_cols, ones), std::invalid_argument);

    for (std::size_t e = 0; e + 1 < offsets.size(); ++e) {
        if (!layout.mine[e]) continue;
        const int* rows = indices.data() + offsets[e];
        const double a = e + 1 < offsets.size() - 1 ? double(e + 1) : 100.0;
        const double block[4] = {a, -a, -a, a};
        sys.add_block(2, rows, 2, rows, block);
    }
    auto coupling = [&](int i, int j) {  // the sum of the blocks of the elements holding i and j
        double v = 0;
        for (int e = 0; e + 1 < n; ++e)
            if ((i == e || i == e + 1) && (j == e || j == e + 1)) v += i == j ? e + 1 : -(e + 1);
        if ((i == 0 || i == n - 1) && (j == 0 || j == n - 1)) v += i == j ? 100 : -100;
        return v;
    };
    const Mat A = sys.assembled().first;  // collective; the reads below are not
    for (PetscInt i = first; i <= own_last; ++i)
        for (PetscInt j = 0; j < n; ++j) {
            PetscScalar v = 0;
            probe::ok(MatGetValues(A, 1, &i, 1, &j, &v));
            EXPECT_EQ(v, coupling(int(i), int(j))) << i << "," << j;
        }
}
