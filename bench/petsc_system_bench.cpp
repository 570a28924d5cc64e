// Times the PETSc linear-system layer on P1 Laplace problems on a structured tetrahedral box
// (each cube cut into 6 tetrahedra): pattern and preallocation, assembly of element blocks, and
// set-up and solve for each solver kind. The exact solution is linear, so the printed error
// checks the answer. Prints figures; passes or fails nothing.
//
// Built on request only (not by `make build`):
//   .venv/bin/cmake --build build/dev --target petsc_system_bench
//   build/dev/petsc_system_bench [cells_per_side=46] [kinds=cg,lu,gmres,bicgstab]
// PETSc options go through MOSK_OPTIONS, e.g. MOSK_OPTIONS="-mosk_pc_type gamg".
#include <petscmat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "mosk.h"
#include "solver/petsc_system.h"

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double exact(double x, double y, double z) { return 1 + x + 2 * y + 3 * z; }

struct Box {
    int m, n;
    std::vector<double> x, y, z;
    std::vector<char> boundary;
    std::vector<int> offsets{0}, indices;
};

Box make_box(int m) {
    Box b;
    b.m = m;
    b.n = (m + 1) * (m + 1) * (m + 1);
    auto id = [m](int i, int j, int k) { return (k * (m + 1) + j) * (m + 1) + i; };
    for (int k = 0; k <= m; ++k)
        for (int j = 0; j <= m; ++j)
            for (int i = 0; i <= m; ++i) {
                b.x.push_back(double(i) / m);
                b.y.push_back(double(j) / m);
                b.z.push_back(double(k) / m);
                b.boundary.push_back(i == 0 || j == 0 || k == 0 || i == m || j == m || k == m);
            }
    // Six tetrahedra around the cube diagonal from corner 0 to corner 7 (Kuhn's subdivision).
    static const int paths[6][3] = {{1, 3, 7}, {1, 5, 7}, {2, 3, 7},
                                    {2, 6, 7}, {4, 5, 7}, {4, 6, 7}};
    for (int k = 0; k < m; ++k)
        for (int j = 0; j < m; ++j)
            for (int i = 0; i < m; ++i) {
                int c[8];
                for (int q = 0; q < 8; ++q)
                    c[q] = id(i + (q & 1), j + (q >> 1 & 1), k + (q >> 2 & 1));
                for (auto& p : paths) {
                    for (int v : {0, p[0], p[1], p[2]}) b.indices.push_back(c[v]);
                    b.offsets.push_back(int(b.indices.size()));
                }
            }
    return b;
}

// P1 stiffness of a tetrahedron, with Dirichlet rows and columns eliminated per element.
void assemble(mosk::LinearSystem& sys, const Box& b) {
    for (std::size_t e = 0; e + 1 < b.offsets.size(); ++e) {
        const int* t = b.indices.data() + b.offsets[e];
        double J[3][3];
        for (int r = 0; r < 3; ++r) {
            J[r][0] = b.x[t[r + 1]] - b.x[t[0]];
            J[r][1] = b.y[t[r + 1]] - b.y[t[0]];
            J[r][2] = b.z[t[r + 1]] - b.z[t[0]];
        }
        const double det = J[0][0] * (J[1][1] * J[2][2] - J[1][2] * J[2][1]) -
                           J[0][1] * (J[1][0] * J[2][2] - J[1][2] * J[2][0]) +
                           J[0][2] * (J[1][0] * J[2][1] - J[1][1] * J[2][0]);
        // Gradients of lambda_1..3 are the columns of J^{-1}; lambda_0's is minus their sum.
        double inv[3][3];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) {
                const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
                inv[r][c] = (J[r1][c1] * J[r2][c2] - J[r1][c2] * J[r2][c1]) / det;
            }
        double g[4][3];
        for (int d = 0; d < 3; ++d) {
            g[0][d] = 0;
            for (int v = 1; v < 4; ++v) {
                g[v][d] = inv[d][v - 1];
                g[0][d] -= g[v][d];
            }
        }
        const double vol = std::fabs(det) / 6;
        double K[16], f[4] = {0, 0, 0, 0};
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                K[4 * i + j] = vol * (g[i][0] * g[j][0] + g[i][1] * g[j][1] + g[i][2] * g[j][2]);
        for (int j = 0; j < 4; ++j) {
            if (!b.boundary[t[j]]) continue;
            const double u = exact(b.x[t[j]], b.y[t[j]], b.z[t[j]]);
            for (int i = 0; i < 4; ++i)
                if (!b.boundary[t[i]]) f[i] -= K[4 * i + j] * u;
        }
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                if (b.boundary[t[i]] || b.boundary[t[j]]) K[4 * i + j] = (i == j);
        for (int i = 0; i < 4; ++i)
            if (b.boundary[t[i]]) f[i] = exact(b.x[t[i]], b.y[t[i]], b.z[t[i]]);
        sys.add_block(4, t, 4, t, K);
        sys.add_rhs(4, t, f);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int m = argc > 1 ? std::atoi(argv[1]) : 46;
    const std::string kinds = argc > 2 ? argv[2] : "cg,lu,gmres,bicgstab";
    moskInit(nullptr, nullptr);
    try {
        double t0 = now();
        const Box box = make_box(m);
        std::printf("box %d^3 cells: %d unknowns, %zu tetrahedra (mesh %.3f s)\n", m, box.n,
                    box.offsets.size() - 1, now() - t0);
        t0 = now();
        mosk::LinearSystem sys(box.n, box.offsets, box.indices);
        const double made = now() - t0;
        MatInfo info;
        MatGetInfo(sys.assembled().first, MAT_GLOBAL_SUM, &info);
        std::printf("pattern + preallocation: %.3f s, %.0f nonzeros\n", made, info.nz_allocated);
        t0 = now();
        assemble(sys, box);
        std::printf("assembly (element blocks, incl. element matrices): %.3f s\n", now() - t0);

        std::stringstream list(kinds);
        for (std::string kind; std::getline(list, kind, ',');) {
            std::vector<double> u(std::size_t(box.n), 0.0);
            t0 = now();
            const mosk::SolveResult r = sys.solve(kind, 1e-8, 10000, 3, u);
            const double total = now() - t0;
            double err = 0;
            for (int i = 0; i < box.n; ++i)
                err = std::max(err, std::fabs(u[i] - exact(box.x[i], box.y[i], box.z[i])));
            std::printf(
                "%-9s %s/%s: %4d iterations, setup %.3f s, KSPSolve %.3f s, call %.3f s, "
                "|b-Ax|/|b| %.2e, max error %.2e\n",
                kind.c_str(), r.ksp_type.c_str(), r.pc_type.c_str(), r.iterations, r.setup_seconds,
                r.solve_seconds, total, r.true_residual / r.rhs_norm, err);
            // A second solve reuses the preconditioner or factorisation.
            t0 = now();
            const mosk::SolveResult r2 = sys.solve(kind, 1e-8, 10000, 3, u);
            std::printf("%-9s again: setup %.3f s, KSPSolve %.3f s, call %.3f s\n", kind.c_str(),
                        r2.setup_seconds, r2.solve_seconds, now() - t0);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "petsc_system_bench: %s\n", e.what());
        moskFinalize();
        return 1;
    }
    moskFinalize();
    return 0;
}
