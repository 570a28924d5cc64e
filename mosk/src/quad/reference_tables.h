// Lagrange basis values and barycentric derivatives at the points of a tetrahedron rule, cached
// per (basis degree, rule degree), so element quadrature is one dot product per matrix entry.
#pragma once

#include <cstddef>
#include <vector>

#include "dof/lagrange.h"
#include "quad/tet_rules.h"

namespace mosk {

// Layouts are basis-major (each basis function's values at all points are contiguous), with
// n = rule->size points and nb = basis->size functions, in canonical node order:
//   value[k * n + q]              phi_k at point q
//   dlambda[(4 k + m) * n + q]    d phi_k / d lambda_m at point q
struct ReferenceTable {
    const LagrangeBasis* basis = nullptr;
    const QuadRule* rule = nullptr;
    int nb = 0, n = 0;
    std::vector<double> value, dlambda;
    // [4 k + m]: whether d phi_k / d lambda_m is non-zero at some point; kernels skip the
    // others (adding their zero products would change no sum).
    std::vector<char> dlambda_used;

    const double* values_of(int k) const { return value.data() + std::size_t(k) * n; }
    const double* dlambda_of(int k, int m) const {
        return dlambda.data() + std::size_t(4 * k + m) * n;
    }
};

// The cached table for basis degree p and rule tet_rule(q); thread-safe, valid for the life of
// the program. Throws like lagrange_basis(p) and tet_rule(q).
const ReferenceTable& reference_table(int p, int q);

}  // namespace mosk
