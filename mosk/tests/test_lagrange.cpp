// Lagrange bases P0..P4: node layout, interpolation, derivatives, and the node order that lets
// two elements sharing an edge or face name its nodes alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <random>
#include <set>
#include <stdexcept>
#include <vector>

#include "dof/lagrange.h"
#include "grid/grid_impl.h"

using namespace mosk;

namespace {

std::array<double, 4> node_point(const Alpha& a, int p) {
    return {double(a[0]) / p, double(a[1]) / p, double(a[2]) / p, double(a[3]) / p};
}

std::array<double, 4> random_bary(std::mt19937& gen) {
    std::exponential_distribution<double> E(1.0);
    std::array<double, 4> l;
    for (double& v : l) v = E(gen);
    const double s = l[0] + l[1] + l[2] + l[3];
    for (double& v : l) v /= s;
    return l;
}

}  // namespace

TEST(LagrangeBasis, NodeLayoutFollowsTheEntityOrder) {
    for (int p = 1; p <= kMaxLagrangeDegree; ++p) {
        SCOPED_TRACE("p = " + std::to_string(p));
        const LagrangeBasis& b = lagrange_basis(p);
        EXPECT_EQ(b.per_vertex, 1);
        EXPECT_EQ(b.per_edge, p - 1);
        EXPECT_EQ(b.per_face, (p - 1) * (p - 2) / 2);
        EXPECT_EQ(b.per_interior, (p - 1) * (p - 2) * (p - 3) / 6);
        ASSERT_EQ(b.size, 4 + 6 * b.per_edge + 4 * b.per_face + b.per_interior);
        ASSERT_EQ(b.size, (p + 1) * (p + 2) * (p + 3) / 6);
        std::set<Alpha> distinct(b.nodes.begin(), b.nodes.end());
        EXPECT_EQ(distinct.size(), size_t(b.size));
        for (const Alpha& a : b.nodes) {
            EXPECT_EQ(a[0] + a[1] + a[2] + a[3], p);
            for (int m = 0; m < 4; ++m) EXPECT_GE(a[m], 0);
        }
        for (int m = 0; m < 4; ++m) EXPECT_EQ(b.nodes[m][m], p);
        for (int e = 0; e < 6; ++e)
            for (int t = 0; t < b.per_edge; ++t) {
                const Alpha& a = b.nodes[b.edge_begin + e * b.per_edge + t];
                EXPECT_EQ(a[kEdgeVerts[e][0]], p - 1 - t);  // runs from the first vertex
                EXPECT_EQ(a[kEdgeVerts[e][1]], t + 1);
            }
        for (int f = 0; f < 4; ++f)
            for (int r = 0; r < b.per_face; ++r) {
                const Alpha& a = b.nodes[b.face_begin + f * b.per_face + r];
                EXPECT_EQ(a[f], 0);
                for (int k = 0; k < 3; ++k) EXPECT_GE(a[kFaceVerts[f][k]], 1);
            }
        for (int k = b.interior_begin; k < b.size; ++k)
            for (int m = 0; m < 4; ++m) EXPECT_GE(b.nodes[k][m], 1);
    }
    EXPECT_THROW(lagrange_basis(-1), std::out_of_range);
    EXPECT_THROW(lagrange_basis(kMaxLagrangeDegree + 1), std::out_of_range);
}

TEST(LagrangeBasis, ConstantBasisIsOne) {
    const LagrangeBasis& b = lagrange_basis(0);
    ASSERT_EQ(b.size, 1);
    const double l[4] = {0.1, 0.2, 0.3, 0.4};
    double v[1], d[4];
    lagrange_values(b, l, v);
    lagrange_derivatives(b, l, d);
    EXPECT_EQ(v[0], 1.0);
    for (double x : d) EXPECT_EQ(x, 0.0);
}

TEST(LagrangeBasis, KroneckerAtNodes) {
    for (int p = 1; p <= kMaxLagrangeDegree; ++p) {
        const LagrangeBasis& b = lagrange_basis(p);
        std::vector<double> v(b.size);
        for (int l = 0; l < b.size; ++l) {
            const auto x = node_point(b.nodes[l], p);
            lagrange_values(b, x.data(), v.data());
            for (int k = 0; k < b.size; ++k)
                EXPECT_NEAR(v[k], k == l ? 1.0 : 0.0, 1e-13)
                    << "p " << p << " k " << k << " l " << l;
        }
    }
}

// Interpolating a product of p linear forms reproduces it and its tangential derivatives; the
// partition of unity is the case of the constant, and each derivative matches finite differences.
TEST(LagrangeBasis, ReproducesPolynomialsAndDerivatives) {
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> U(-1.0, 1.0);
    for (int p = 1; p <= kMaxLagrangeDegree; ++p) {
        const LagrangeBasis& b = lagrange_basis(p);
        std::vector<std::array<double, 4>> forms(p);
        for (auto& f : forms)
            for (double& c : f) c = U(gen);
        auto poly = [&](const double* l) {
            double s = 1;
            for (const auto& f : forms) s *= f[0] * l[0] + f[1] * l[1] + f[2] * l[2] + f[3] * l[3];
            return s;
        };
        std::vector<double> nodal(b.size);
        for (int k = 0; k < b.size; ++k) nodal[k] = poly(node_point(b.nodes[k], p).data());
        std::vector<double> v(b.size), d(4 * b.size), vp(b.size), vm(b.size);
        for (int trial = 0; trial < 20; ++trial) {
            auto l = random_bary(gen);
            lagrange_values(b, l.data(), v.data());
            lagrange_derivatives(b, l.data(), d.data());
            EXPECT_NEAR(std::accumulate(v.begin(), v.end(), 0.0), 1.0, 1e-13);
            double interp = 0;
            for (int k = 0; k < b.size; ++k) interp += nodal[k] * v[k];
            EXPECT_NEAR(interp, poly(l.data()), 1e-12) << "p " << p;
            // Along the plane sum lambda = 1 (direction e_m - e_0), the sum of the basis is
            // constant and the interpolant's derivative is the polynomial's.
            const double h = 1e-6;
            for (int m = 1; m < 4; ++m) {
                double dsum = 0, dinterp = 0;
                for (int k = 0; k < b.size; ++k) {
                    const double t = d[4 * k + m] - d[4 * k];
                    dsum += t;
                    dinterp += nodal[k] * t;
                }
                auto lp = l, lm = l;
                lp[m] += h, lp[0] -= h, lm[m] -= h, lm[0] += h;
                EXPECT_NEAR(dsum, 0.0, 1e-11);
                EXPECT_NEAR(dinterp, (poly(lp.data()) - poly(lm.data())) / (2 * h), 1e-7);
            }
            // Each partial derivative against a central difference in that coordinate alone.
            for (int m = 0; m < 4; ++m) {
                auto lp = l, lm = l;
                lp[m] += h, lm[m] -= h;
                lagrange_values(b, lp.data(), vp.data());
                lagrange_values(b, lm.data(), vm.data());
                for (int k = 0; k < b.size; ++k)
                    EXPECT_NEAR(d[4 * k + m], (vp[k] - vm[k]) / (2 * h), 1e-6 * p * p)
                        << "p " << p << " k " << k << " m " << m;
            }
        }
    }
}

TEST(LagrangeNodeOrder, IsABlockPreservingPermutation) {
    std::mt19937 gen(3);
    for (int p = 0; p <= kMaxLagrangeDegree; ++p) {
        const LagrangeBasis& b = lagrange_basis(p);
        int g[4] = {10, 3, 7, 5};
        for (int trial = 0; trial < 24; ++trial) {
            std::shuffle(g, g + 4, gen);
            const NodeOrder o = lagrange_node_order(b, g);
            if (p <= 2) {
                EXPECT_TRUE(o.identity);
            }
            std::vector<int> seen(b.size, 0);
            for (int k = 0; k < b.size; ++k) {
                const int c = o.at(k);
                ASSERT_GE(c, 0);
                ASSERT_LT(c, b.size);
                ++seen[c];
                // Same entity block: the canonical node sits on the same edge/face.
                auto block = [&b](int i) {
                    if (i < 4) return i;
                    if (i < b.face_begin) return 4 + (i - b.edge_begin) / b.per_edge;
                    if (i < b.interior_begin) return 10 + (i - b.face_begin) / b.per_face;
                    return 14;
                };
                EXPECT_EQ(block(c), block(k));
            }
            for (int c : seen) EXPECT_EQ(c, 1);
            // Edge nodes start at the lower global number; P4 face nodes follow the face's
            // vertices in increasing global number (the node nearest each in turn).
            for (int e = 0; e < 6; ++e) {
                const int lo =
                    g[kEdgeVerts[e][0]] < g[kEdgeVerts[e][1]] ? kEdgeVerts[e][0] : kEdgeVerts[e][1];
                for (int t = 0; t < b.per_edge; ++t)
                    EXPECT_EQ(b.nodes[o.at(b.edge_begin + e * b.per_edge + t)][lo], p - 1 - t);
            }
            if (p == 4)
                for (int f = 0; f < 4; ++f) {
                    int sv[3] = {kFaceVerts[f][0], kFaceVerts[f][1], kFaceVerts[f][2]};
                    std::sort(sv, sv + 3, [&g](int x, int y) { return g[x] < g[y]; });
                    for (int r = 0; r < 3; ++r)
                        EXPECT_EQ(b.nodes[o.at(b.face_begin + 3 * f + r)][sv[r]], 2);
                }
        }
        const int sorted[4] = {1, 4, 6, 9};
        EXPECT_TRUE(lagrange_node_order(b, sorted).identity);
        const int twice[4] = {1, 4, 1, 9};
        if (p >= 3) {
            EXPECT_THROW(lagrange_node_order(b, twice), std::invalid_argument);
        }
    }
    const int reversed[4] = {9, 6, 4, 1};
    EXPECT_FALSE(lagrange_node_order(lagrange_basis(3), reversed).identity);
}

// Two tetrahedra share the face {A, B, C}; each lists its vertices in a random local order and
// the global numbers are random. The nodes of every shared edge and of the shared face, taken in
// each element's order, must be the same points in the same order.
TEST(LagrangeNodeOrder, SharedEdgesAndFacesAgreeBetweenNeighbours) {
    std::mt19937 gen(5);
    std::uniform_real_distribution<double> U(-1.0, 1.0);
    for (int p = 1; p <= kMaxLagrangeDegree; ++p) {
        const LagrangeBasis& b = lagrange_basis(p);
        for (int trial = 0; trial < 200; ++trial) {
            // Global vertices 0..4: 0, 1, 2 the shared face, 3 and 4 the apexes.
            std::vector<int> number(5);
            std::iota(number.begin(), number.end(), 0);
            std::shuffle(number.begin(), number.end(), gen);
            for (int& n : number) n = n * 17 + int(gen() % 17);  // distinct, unordered
            std::array<std::array<double, 3>, 5> X;
            for (auto& x : X)
                for (double& c : x) c = U(gen);
            std::array<std::array<int, 4>, 2> verts = {{{0, 1, 2, 3}, {0, 1, 2, 4}}};
            for (auto& v : verts) std::shuffle(v.begin(), v.end(), gen);

            // Element e's nodes, in its order, on the entity (given by vertex ids) `ids`.
            auto entity_points = [&](int e, std::vector<int> ids) {
                int g[4];
                for (int m = 0; m < 4; ++m) g[m] = number[verts[e][m]];
                const NodeOrder o = lagrange_node_order(b, g);
                auto local = [&](int id) {
                    return int(std::find(verts[e].begin(), verts[e].end(), id) - verts[e].begin());
                };
                int begin = 0, count = 0;
                if (ids.size() == 2) {
                    int l0 = local(ids[0]), l1 = local(ids[1]);
                    if (l0 > l1) std::swap(l0, l1);
                    for (int k = 0; k < 6; ++k)
                        if (kEdgeVerts[k][0] == l0 && kEdgeVerts[k][1] == l1)
                            begin = b.edge_begin + k * b.per_edge;
                    count = b.per_edge;
                } else {
                    const int opposite = 6 - local(ids[0]) - local(ids[1]) - local(ids[2]);
                    begin = b.face_begin + opposite * b.per_face;
                    count = b.per_face;
                }
                std::vector<std::array<double, 3>> pts;
                for (int k = begin; k < begin + count; ++k) {
                    const Alpha& a = b.nodes[o.at(k)];
                    std::array<double, 3> x = {0, 0, 0};
                    for (int m = 0; m < 4; ++m)
                        for (int c = 0; c < 3; ++c) x[c] += double(a[m]) / p * X[verts[e][m]][c];
                    pts.push_back(x);
                }
                return pts;
            };
            const std::vector<std::vector<int>> shared = {{0, 1}, {0, 2}, {1, 2}, {0, 1, 2}};
            for (const auto& ids : shared) {
                const auto p0 = entity_points(0, ids), p1 = entity_points(1, ids);
                ASSERT_EQ(p0.size(), p1.size());
                for (size_t k = 0; k < p0.size(); ++k)
                    for (int c = 0; c < 3; ++c)
                        ASSERT_NEAR(p0[k][c], p1[k][c], 1e-14)
                            << "p " << p << " trial " << trial << " entity size " << ids.size()
                            << " node " << k;
            }
        }
    }
}
