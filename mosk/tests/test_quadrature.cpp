// Quadrature on the tetrahedron: Gauss-Jacobi rules, exactness and tightness of every shipped
// rule, positivity, an affine-mapped element, and the cached reference tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "quad/reference_tables.h"
#include "quad/tet_rules.h"

using namespace mosk;

namespace {

long double factorial(int n) {
    long double f = 1;
    for (int i = 2; i <= n; ++i) f *= i;
    return f;
}

// Largest relative error of `rule` over the monomials x^i y^j z^k of total degree <= dmax,
// split into the errors at degree <= `degree` (first) and at degree exactly degree+1 (second,
// only when dmax > degree). Reference tetrahedron: x, y, z are lambda_1, lambda_2, lambda_3.
std::pair<double, double> monomial_errors(const QuadRule& rule, int degree, int dmax) {
    // Blocks of 32 points sum in double (fast), blocks add up in long double (accurate).
    const size_t nm = size_t(dmax + 1) * (dmax + 1) * (dmax + 1);
    std::vector<long double> mom(nm, 0.0L);
    std::vector<double> block(nm, 0.0);
    auto at = [dmax](int i, int j, int k) { return (i * (dmax + 1) + j) * (dmax + 1) + k; };
    std::vector<double> px(dmax + 1), py(dmax + 1), pz(dmax + 1);
    for (int q = 0; q < rule.size; ++q) {
        px[0] = py[0] = pz[0] = 1;
        for (int d = 1; d <= dmax; ++d) {
            px[d] = px[d - 1] * rule.bary[4 * q + 1];
            py[d] = py[d - 1] * rule.bary[4 * q + 2];
            pz[d] = pz[d - 1] * rule.bary[4 * q + 3];
        }
        const double w = rule.weights[q];
        for (int i = 0; i <= dmax; ++i)
            for (int j = 0; i + j <= dmax; ++j) {
                const double wxy = w * px[i] * py[j];
                double* row = &block[at(i, j, 0)];
                for (int k = 0; i + j + k <= dmax; ++k) row[k] += wxy * pz[k];
            }
        if (q % 32 == 31 || q + 1 == rule.size) {
            for (size_t m = 0; m < nm; ++m) mom[m] += block[m];
            std::fill(block.begin(), block.end(), 0.0);
        }
    }
    double in = 0, beyond = 0;
    for (int i = 0; i <= dmax; ++i)
        for (int j = 0; i + j <= dmax; ++j)
            for (int k = 0; i + j + k <= dmax; ++k) {
                // Normalised weights: the rule gives the mean, 6 times the integral.
                const long double exact =
                    6 * factorial(i) * factorial(j) * factorial(k) / factorial(i + j + k + 3);
                const double err = double(std::fabs(mom[at(i, j, k)] - exact) / exact);
                if (i + j + k <= degree)
                    in = std::max(in, err);
                else
                    beyond = std::max(beyond, err);
            }
    return {in, beyond};
}

void expect_valid_points(const QuadRule& r, int requested) {
    ASSERT_GE(r.degree, requested);
    ASSERT_GT(r.size, 0);
    ASSERT_EQ(r.bary.size(), size_t(4 * r.size));
    ASSERT_EQ(r.weights.size(), size_t(r.size));
    double wsum = 0;
    for (int q = 0; q < r.size; ++q) {
        EXPECT_GT(r.weights[q], 0.0) << "point " << q;
        double s = 0;
        for (int m = 0; m < 4; ++m) {
            EXPECT_GE(r.bary[4 * q + m], 0.0) << "point " << q;
            EXPECT_LE(r.bary[4 * q + m], 1.0) << "point " << q;
            s += r.bary[4 * q + m];
        }
        EXPECT_NEAR(s, 1.0, 1e-15) << "point " << q;
        wsum += r.weights[q];
    }
    EXPECT_NEAR(wsum, 1.0, 1e-14);
}

}  // namespace

TEST(GaussJacobi, ExactToDegree2nMinus1AndNotBeyond) {
    for (int alpha = 0; alpha <= 2; ++alpha)
        for (int n = 1; n <= 24; ++n) {
            std::vector<double> t, w;
            gauss_jacobi01(n, alpha, t, w);
            ASSERT_EQ(t.size(), size_t(n));
            for (int i = 0; i < n; ++i) {
                EXPECT_GT(t[i], 0.0);
                EXPECT_LT(t[i], 1.0);
                EXPECT_GT(w[i], 0.0);
                if (i) {
                    EXPECT_GT(t[i], t[i - 1]);
                }
            }
            for (int k = 0; k <= 2 * n; ++k) {
                long double s = 0;
                for (int i = 0; i < n; ++i) s += w[i] * std::pow((long double)t[i], k);
                const long double exact =
                    factorial(k) * factorial(alpha) / factorial(k + alpha + 1);
                const double rel = double(std::fabs(s - exact) / exact);
                if (k < 2 * n) {
                    EXPECT_LT(rel, 1e-13) << "n " << n << " alpha " << alpha << " k " << k;
                } else if (n <= 8) {  // beyond, the error of t^2n drops towards rounding
                    EXPECT_GT(rel, 1e-10) << "n " << n << " alpha " << alpha << " k " << k;
                }
            }
        }
    std::vector<double> t, w;
    EXPECT_THROW(gauss_jacobi01(0, 0, t, w), std::invalid_argument);
    EXPECT_THROW(gauss_jacobi01(3, -1, t, w), std::invalid_argument);
}

TEST(TetQuadrature, EveryRuleIsExactPositiveInsideAndTight) {
    for (int d = 0; d <= kMaxTetRuleDegree; ++d) {
        SCOPED_TRACE("requested degree " + std::to_string(d));
        const QuadRule& r = tet_rule(d);
        expect_valid_points(r, d);
        if (d > 0) {  // even and odd requests may share a conical rule: check its points once
            const QuadRule& prev = tet_rule(d - 1);
            if (prev.bary == r.bary && prev.weights == r.weights) continue;
        }
        const auto [in, beyond] = monomial_errors(r, r.degree, r.degree + 1);
        EXPECT_LT(in, 1e-13) << "rule of degree " << r.degree << " with " << r.size << " points";
        // One degree more must fail visibly; for high conical rules that error itself falls
        // towards rounding (about 1e-12 at degree 41), so tightness is checked up to 25.
        if (r.degree <= 25) {
            EXPECT_GT(beyond, 1e-8) << "rule claims degree " << r.degree << " but is exact beyond";
        }
    }
}

TEST(TetQuadrature, ConicalProductMatchesItsPointCount) {
    for (int d = 0; d <= 12; ++d) {
        const QuadRule r = conical_tet_rule(d);
        const int n = (d + 2) / 2;
        EXPECT_EQ(r.size, n * n * n);
        expect_valid_points(r, d);
        EXPECT_LT(monomial_errors(r, r.degree, r.degree).first, 1e-13) << "degree " << d;
    }
}

TEST(TetQuadrature, SymmetricRulesAreSmallerThanTheConicalProduct) {
    for (int d = 2; d <= 8; ++d) {
        if (d == 3) continue;  // 8 points either way
        EXPECT_LT(tet_rule(d).size, conical_tet_rule(d).size) << "degree " << d;
    }
}

TEST(TetQuadrature, RejectsUnsupportedDegrees) {
    EXPECT_THROW(tet_rule(-1), std::invalid_argument);
    EXPECT_THROW(tet_rule(kMaxTetRuleDegree + 1), std::out_of_range);
    EXPECT_THROW(conical_tet_rule(-3), std::invalid_argument);
    EXPECT_THROW(conical_tet_rule(kMaxTetRuleDegree + 1), std::out_of_range);
}

// Product of q positive linear forms on a distorted tetrahedron: the rule through the affine
// map against the exact integral of the product expanded in barycentric monomials.
TEST(TetQuadrature, ExactOnAnAffinelyMappedTetrahedron) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> U(-1.0, 1.0);
    const double X[4][3] = {{0.3, -0.2, 0.1}, {2.9, 0.4, -0.3}, {0.1, 0.6, 0.2}, {0.7, 0.5, 4.1}};
    for (int q = 0; q <= kMaxTetRuleDegree; ++q) {
        const QuadRule& r = tet_rule(q);
        // Linear forms L(x) = c.x + d, positive on T; their vertex values in barycentric form.
        std::vector<std::array<double, 4>> forms(q);
        std::vector<std::array<double, 4>> coef(q);
        for (int f = 0; f < q; ++f) {
            for (int c = 0; c < 3; ++c) coef[f][c] = U(gen);
            coef[f][3] = 6.0;
            for (int m = 0; m < 4; ++m)
                forms[f][m] =
                    coef[f][0] * X[m][0] + coef[f][1] * X[m][1] + coef[f][2] * X[m][2] + coef[f][3];
        }
        // Expand prod_f sum_m forms[f][m] lambda_m into monomials lambda^alpha, stored densely
        // by (a1, a2, a3) with a0 = degree - a1 - a2 - a3.
        const int N = q + 1;
        auto at = [N](int a1, int a2, int a3) { return (a1 * N + a2) * N + a3; };
        std::vector<long double> poly(N * N * N, 0.0L), next(N * N * N);
        poly[0] = 1;
        for (int f = 0; f < q; ++f) {  // poly has degree f
            std::fill(next.begin(), next.end(), 0.0L);
            for (int a1 = 0; a1 <= f; ++a1)
                for (int a2 = 0; a1 + a2 <= f; ++a2)
                    for (int a3 = 0; a1 + a2 + a3 <= f; ++a3) {
                        const long double c = poly[at(a1, a2, a3)];
                        next[at(a1, a2, a3)] += c * forms[f][0];
                        next[at(a1 + 1, a2, a3)] += c * forms[f][1];
                        next[at(a1, a2 + 1, a3)] += c * forms[f][2];
                        next[at(a1, a2, a3 + 1)] += c * forms[f][3];
                    }
            poly.swap(next);
        }
        long double exact = 0;  // mean over T: 6 alpha! / (q + 3)! per monomial
        for (int a1 = 0; a1 <= q; ++a1)
            for (int a2 = 0; a1 + a2 <= q; ++a2)
                for (int a3 = 0; a1 + a2 + a3 <= q; ++a3)
                    exact += poly[at(a1, a2, a3)] * 6 * factorial(q - a1 - a2 - a3) *
                             factorial(a1) * factorial(a2) * factorial(a3) / factorial(q + 3);
        long double sum = 0;
        for (int k = 0; k < r.size; ++k) {
            double x[3] = {0, 0, 0};
            for (int m = 0; m < 4; ++m)
                for (int c = 0; c < 3; ++c) x[c] += r.bary[4 * k + m] * X[m][c];
            long double f = 1;
            for (int g = 0; g < q; ++g)
                f *= coef[g][0] * x[0] + coef[g][1] * x[1] + coef[g][2] * x[2] + coef[g][3];
            sum += r.weights[k] * f;
        }
        EXPECT_LT(double(std::fabs(sum - exact) / exact), 1e-12) << "degree " << q;
    }
}

// No other test uses this (p, q) pair, so the threads race on its first construction.
TEST(ReferenceTables, ConcurrentFirstUseGivesOneTable) {
    std::vector<const ReferenceTable*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&seen, t] { seen[t] = &reference_table(3, kMaxTetRuleDegree - 3); });
    for (auto& th : threads) th.join();
    for (int t = 1; t < 8; ++t) EXPECT_EQ(seen[t], seen[0]);
    EXPECT_EQ(seen[0]->rule, &tet_rule(kMaxTetRuleDegree - 3));
    EXPECT_EQ(seen[0]->value.size(), size_t(20 * seen[0]->n));
}

TEST(ReferenceTables, MatchBasisAtRulePoints) {
    for (int p = 0; p <= kMaxLagrangeDegree; ++p) {
        const ReferenceTable& t = reference_table(p, 2 * p);
        const LagrangeBasis& b = lagrange_basis(p);
        ASSERT_EQ(t.rule, &tet_rule(2 * p));
        ASSERT_EQ(t.nb, b.size);
        ASSERT_EQ(t.n, t.rule->size);
        std::vector<double> v(b.size), d(4 * b.size);
        for (int q = 0; q < t.n; ++q) {
            lagrange_values(b, &t.rule->bary[4 * q], v.data());
            lagrange_derivatives(b, &t.rule->bary[4 * q], d.data());
            for (int k = 0; k < b.size; ++k) {
                EXPECT_EQ(t.values_of(k)[q], v[k]);
                for (int m = 0; m < 4; ++m) {
                    EXPECT_EQ(t.dlambda_of(k, m)[q], d[4 * k + m]);
                }
            }
        }
        EXPECT_EQ(&reference_table(p, 2 * p), &t);
    }
    EXPECT_THROW(reference_table(5, 2), std::out_of_range);
    EXPECT_THROW(reference_table(1, -1), std::invalid_argument);
}

// Known element integrals (as fractions of the volume): P1 mass (1 + delta_kl) / 20, P2 vertex
// functions -1/20 and edge functions 1/5.
TEST(ReferenceTables, GiveKnownElementIntegrals) {
    // The rule's sum of w_q a_q b_q.
    auto dot = [](const ReferenceTable& t, const double* a, const double* b) {
        double s = 0;
        for (int q = 0; q < t.n; ++q) s += t.rule->weights[q] * a[q] * b[q];
        return s;
    };
    const ReferenceTable& p1 = reference_table(1, 2);
    for (int k = 0; k < 4; ++k)
        for (int l = 0; l < 4; ++l)
            EXPECT_NEAR(dot(p1, p1.values_of(k), p1.values_of(l)), k == l ? 0.1 : 0.05, 1e-15);
    const ReferenceTable& p2 = reference_table(2, 2);
    std::vector<double> ones(p2.n, 1.0);
    for (int k = 0; k < 10; ++k)
        EXPECT_NEAR(dot(p2, p2.values_of(k), ones.data()), k < 4 ? -0.05 : 0.2, 1e-15);
    // The barycentric derivatives of P1 are the unit vectors.
    for (int k = 0; k < 4; ++k)
        for (int m = 0; m < 4; ++m)
            EXPECT_NEAR(dot(p1, p1.dlambda_of(k, m), ones.data()), k == m ? 1.0 : 0.0, 1e-15);
}

// Triangle rules (face integrals): the mean of l0^a l1^b l2^c over the triangle is
// 2 a! b! c! / (a + b + c + 2)!, for every monomial up to the rule's degree.
TEST(TriangleQuadrature, ExactUpToItsDegreeWithPositiveWeightsInside) {
    for (int degree : {0, 1, 2, 4, 5, 8, 13, kMaxTetRuleDegree}) {
        const QuadRule& r = triangle_rule(degree);
        ASSERT_GE(r.degree, degree);
        ASSERT_EQ(r.bary.size(), size_t(3 * r.size));
        for (int p = 0; p < r.size; ++p) {
            EXPECT_GT(r.weights[p], 0);
            for (int m = 0; m < 3; ++m) EXPECT_GE(r.bary[3 * p + m], 0);
        }
        for (int a = 0; a <= r.degree; ++a)
            for (int b = 0; a + b <= r.degree; ++b)
                for (int c = 0; a + b + c <= r.degree; c += std::max(1, r.degree - a - b)) {
                    long double sum = 0;
                    for (int p = 0; p < r.size; ++p)
                        sum += r.weights[p] * std::pow((long double)r.bary[3 * p], a) *
                               std::pow((long double)r.bary[3 * p + 1], b) *
                               std::pow((long double)r.bary[3 * p + 2], c);
                    const long double exact =
                        2 * factorial(a) * factorial(b) * factorial(c) / factorial(a + b + c + 2);
                    EXPECT_LT(double(std::fabs(sum - exact) / exact), 1e-12)
                        << "degree " << degree << ", monomial " << a << " " << b << " " << c;
                }
    }
}
