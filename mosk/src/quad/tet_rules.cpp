#include "quad/tet_rules.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/built_once.h"
#include "core/check.h"
#include "quad/tet_symmetric_rules.h"

namespace mosk {

namespace {

void check_degree(int degree) {
    if (degree < 0) fail("quadrature rule", "negative degree " + std::to_string(degree));
    if (degree > kMaxTetRuleDegree)
        fail<std::out_of_range>("quadrature rule", "degree " + std::to_string(degree) +
                                                       " exceeds the supported maximum " +
                                                       std::to_string(kMaxTetRuleDegree));
}

// Number of eigenvalues of the symmetric tridiagonal matrix (diag, off[1..n-1]) below x.
int count_below(const std::vector<double>& diag, const std::vector<double>& off, double x) {
    int count = 0;
    double d = 1.0;
    for (size_t i = 0; i < diag.size(); ++i) {
        d = diag[i] - x - (i ? off[i] * off[i] / d : 0.0);
        if (d == 0.0) d = -1e-300;  // treat an exact zero pivot as just below x
        if (d < 0) ++count;
    }
    return count;
}

}  // namespace

void gauss_jacobi01(int n, int alpha, std::vector<double>& nodes, std::vector<double>& weights) {
    if (n < 1 || n > 64 || alpha < 0 || alpha > 16)
        fail("Gauss-Jacobi rule",
             "unsupported n = " + std::to_string(n) + " or alpha = " + std::to_string(alpha));
    // Jacobi matrix of the weight (1 - x)^a on [-1, 1], mapped to t = (1 + x) / 2.
    const double a = alpha;
    std::vector<double> diag(n), off(n, 0.0);
    for (int k = 0; k < n; ++k) {
        const double s = 2.0 * k + a;
        diag[k] = k == 0 ? -a / (a + 2.0) : -a * a / (s * (s + 2.0));
        if (k > 0)
            off[k] = 2.0 / s * std::sqrt(k * (k + a) * k * (k + a) / ((s - 1.0) * (s + 1.0)));
        diag[k] = 0.5 * (1.0 + diag[k]);
        off[k] *= 0.5;
    }
    const double mu0 = 1.0 / (a + 1.0);

    nodes.assign(n, 0.0);
    weights.assign(n, 0.0);
    for (int i = 0; i < n; ++i) {
        // The (i+1)-th smallest eigenvalue lies in (0, 1); bisect until the interval stops
        // shrinking in floating point.
        double lo = 0.0, hi = 1.0;
        for (int it = 0; it < 200; ++it) {
            const double mid = 0.5 * (lo + hi);
            if (mid <= lo || mid >= hi) break;
            (count_below(diag, off, mid) > i ? hi : lo) = mid;
        }
        const double t = 0.5 * (lo + hi);
        nodes[i] = t;
        // Christoffel number from the orthonormal polynomials p_0 .. p_{n-1} at t.
        double pm = 0.0, p = 1.0 / std::sqrt(mu0), sum = p * p;
        for (int k = 0; k + 1 < n; ++k) {
            const double next = ((t - diag[k]) * p - off[k] * pm) / off[k + 1];
            pm = p;
            p = next;
            sum += p * p;
        }
        weights[i] = 1.0 / sum;
    }
}

QuadRule conical_tet_rule(int degree) {
    check_degree(degree);
    const int n = (degree + 2) / 2;  // ceil((degree + 1) / 2), at least 1
    // x = u, y = (1-u) v, z = (1-u)(1-v) w has Jacobian (1-u)^2 (1-v): Gauss-Jacobi with
    // alpha = 2 in u, 1 in v, 0 in w integrates degree 2n - 1 >= degree in each direction.
    std::vector<double> u, wu, v, wv, w, ww;
    gauss_jacobi01(n, 2, u, wu);
    gauss_jacobi01(n, 1, v, wv);
    gauss_jacobi01(n, 0, w, ww);
    QuadRule r;
    r.degree = 2 * n - 1;
    r.size = n * n * n;
    r.bary.reserve(4 * r.size);
    r.weights.reserve(r.size);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            for (int k = 0; k < n; ++k) {
                const double l1 = u[i];
                const double l2 = (1.0 - u[i]) * v[j];
                const double l3 = (1.0 - u[i]) * (1.0 - v[j]) * w[k];
                const double l0 = (1.0 - u[i]) * (1.0 - v[j]) * (1.0 - w[k]);
                r.bary.insert(r.bary.end(), {l0, l1, l2, l3});
                r.weights.push_back(6.0 * wu[i] * wv[j] * ww[k]);  // 6 = 1 / reference volume
            }
    return r;
}

namespace {

// Expands a table of symmetric orbits into points and weights.
QuadRule expand_symmetric(const SymmetricRule& s) {
    QuadRule r;
    r.degree = s.degree;
    for (int o = 0; o < s.orbit_count; ++o) {
        const SymmetricOrbit& orb = s.orbits[o];
        std::array<int, 4> pattern{};
        std::array<double, 4> value{};
        switch (orb.kind) {
            case OrbitKind::S4:
                pattern = {0, 0, 0, 0};
                value[0] = 0.25;
                break;
            case OrbitKind::S31:
                pattern = {0, 0, 0, 1};
                value[0] = orb.a;
                value[1] = 1.0 - 3.0 * orb.a;
                break;
            case OrbitKind::S22:
                pattern = {0, 0, 1, 1};
                value[0] = orb.a;
                value[1] = 0.5 - orb.a;
                break;
            case OrbitKind::S211:
                pattern = {0, 0, 1, 2};
                value[0] = orb.a;
                value[1] = orb.b;
                value[2] = 1.0 - 2.0 * orb.a - orb.b;
                break;
            case OrbitKind::S1111:
                pattern = {0, 1, 2, 3};
                value[0] = orb.a;
                value[1] = orb.b;
                value[2] = orb.c;
                value[3] = 1.0 - orb.a - orb.b - orb.c;
                break;
        }
        do {  // every distinct permutation of the pattern is one point of the orbit
            for (int m = 0; m < 4; ++m) r.bary.push_back(value[pattern[m]]);
            r.weights.push_back(orb.weight);
        } while (std::next_permutation(pattern.begin(), pattern.end()));
    }
    r.size = int(r.weights.size());
    return r;
}

QuadRule build_rule(int degree) {
    if (const SymmetricRule* s = symmetric_tet_rule(degree)) return expand_symmetric(*s);
    return conical_tet_rule(degree);
}

}  // namespace

const QuadRule& triangle_rule(int degree) {
    check_degree(degree);
    static std::array<BuiltOnce<QuadRule>, kMaxTetRuleDegree + 1> rules;
    return rules[degree].get([degree] {
        const int n = (degree + 2) / 2;
        // l1 = u, l2 = (1-u) v has Jacobian (1-u): Gauss-Jacobi with alpha = 1 in u, 0 in v.
        std::vector<double> u, wu, v, wv;
        gauss_jacobi01(n, 1, u, wu);
        gauss_jacobi01(n, 0, v, wv);
        QuadRule r;
        r.degree = 2 * n - 1;
        r.size = n * n;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                const double l1 = u[i], l2 = (1.0 - u[i]) * v[j];
                r.bary.insert(r.bary.end(), {(1.0 - u[i]) * (1.0 - v[j]), l1, l2});
                r.weights.push_back(2.0 * wu[i] * wv[j]);  // 2 = 1 / reference area
            }
        return r;
    });
}

const QuadRule& tet_rule(int degree) {
    check_degree(degree);
    static std::array<BuiltOnce<QuadRule>, kMaxTetRuleDegree + 1> rules;
    return rules[degree].get([degree] { return build_rule(degree); });
}

}  // namespace mosk
