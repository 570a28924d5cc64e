// Quadrature rules on the tetrahedron: fully symmetric positive rules for low degrees, the
// conical product of Gauss-Jacobi rules for any degree up to kMaxTetRuleDegree; rules on the
// triangle (for face integrals) as conical products.
#pragma once

#include <vector>

namespace mosk {

// Rule on any tetrahedron T with barycentric points:
//     integral over T of f  ~=  volume(T) * sum_k weights[k] * f(x_k),
// where x_k = sum_m bary[4k + m] * X_m for the vertices X_0..X_3 of T. The weights are
// normalised to sum to 1 (not to the reference volume 1/6), all positive, and every point lies
// inside T (barycentric coordinates in [0, 1], summing to 1 up to rounding).
struct QuadRule {
    int degree = 0;               // exact for all polynomials of total degree <= degree
    int size = 0;                 // number of points
    std::vector<double> bary;     // 4 per point
    std::vector<double> weights;  // 1 per point
};

inline constexpr int kMaxTetRuleDegree = 40;

// The cached rule exact to at least `degree` (its own `degree` may be higher: the rule for 0 is
// the degree-1 centroid rule, the 14-point rule of degree 5 also serves degree 4). Thread-safe;
// the reference stays valid for the life of the program. Throws std::invalid_argument for a
// negative degree and std::out_of_range beyond kMaxTetRuleDegree.
const QuadRule& tet_rule(int degree);

// The conical product rule for `degree` (ceil((degree + 1) / 2)^3 points), uncached; the
// fallback route of tet_rule, exposed for tests. Same errors as tet_rule.
QuadRule conical_tet_rule(int degree);

// Rule on any triangle with barycentric points, 3 per point in `bary`, weights summing to 1
// (integral ~= area * sum of weight times value): the conical product of Gauss-Jacobi rules,
// ceil((degree + 1) / 2)^2 points, exact to at least `degree`. Cached and thread-safe like
// tet_rule, with the same errors and the same largest degree.
const QuadRule& triangle_rule(int degree);

// Gauss-Jacobi rule on [0, 1] for the weight (1 - t)^alpha: n nodes (increasing) and positive
// weights summing to 1 / (alpha + 1), exact for polynomials of degree <= 2n - 1. Nodes are the
// eigenvalues of the Jacobi matrix (Sturm bisection), weights the Christoffel numbers.
// Throws std::invalid_argument unless 1 <= n <= 64 and 0 <= alpha <= 16.
void gauss_jacobi01(int n, int alpha, std::vector<double>& nodes, std::vector<double>& weights);

}  // namespace mosk
