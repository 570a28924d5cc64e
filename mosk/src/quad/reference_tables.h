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

// The stiffness matrix of an affine element split by the products of its barycentric gradients:
// with G_ab = grad l_a . grad l_b (a, b = 1..3, l_0 = 1 - l_1 - l_2 - l_3), the rule's matrix is
// volume * sum over the six pairs s = (a, b), a <= b, of G_ab * entries[(k * nb + l) * 6 + s]
// (canonical node order; pairs 11, 22, 33, 12, 13, 23; a pair a < b holds both of its orders).
// Symmetric in (k, l).
struct ReferenceStiffness {
    int nb = 0;
    std::vector<double> entries;
    const double* of(int k, int l) const { return entries.data() + (std::size_t(k) * nb + l) * 6; }
};
inline constexpr int kGradientPairs[6][2] = {{1, 1}, {2, 2}, {3, 3}, {1, 2}, {1, 3}, {2, 3}};

// Cached as reference_table; the same throws.
const ReferenceStiffness& reference_stiffness(int p, int q);

// The mass matrix of bases of degrees pv (rows) and pf on the reference element, by the rule:
// entries[k * nf + l] = sum over points of weight * phi_k * psi_l (canonical node orders), so
// that a field's load on an element is volume * this matrix times its values.
struct ReferenceMass {
    int nv = 0, nf = 0;
    std::vector<double> entries;
    const double* row(int k) const { return entries.data() + std::size_t(k) * nf; }
};

// Cached as reference_table; the same throws.
const ReferenceMass& reference_mass(int pv, int pf, int q);

}  // namespace mosk
