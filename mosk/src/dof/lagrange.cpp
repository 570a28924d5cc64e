#include "dof/lagrange.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

#include "core/built_once.h"
#include "core/check.h"
#include "grid/reference_tetrahedron.h"

namespace mosk {

namespace {

int alpha_key(const Alpha& a, int p) { return a[1] + (p + 1) * (a[2] + (p + 1) * a[3]); }

LagrangeBasis build_basis(int p) {
    LagrangeBasis b;
    b.degree = p;
    b.size = (p + 1) * (p + 2) * (p + 3) / 6;
    if (p == 0) {
        b.nodes.push_back({0, 0, 0, 0});
        b.per_interior = 1;
    } else {
        for (int m = 0; m < 4; ++m) {
            Alpha a{};
            a[m] = p;
            b.nodes.push_back(a);
        }
        b.per_vertex = 1;
        b.edge_begin = int(b.nodes.size());
        b.per_edge = p - 1;
        for (const auto& e : kEdgeVerts)
            for (int t = 1; t < p; ++t) {
                Alpha a{};
                a[e[0]] = p - t;
                a[e[1]] = t;
                b.nodes.push_back(a);
            }
        b.face_begin = int(b.nodes.size());
        for (int c0 = p - 3; c0 >= 0; --c0)
            for (int c1 = p - 3 - c0; c1 >= 0; --c1)
                b.face_pattern.push_back({c0, c1, p - 3 - c0 - c1});
        b.per_face = int(b.face_pattern.size());
        for (const auto& f : kFaceVerts)
            for (const auto& c : b.face_pattern) {
                Alpha a{};
                for (int k = 0; k < 3; ++k) a[f[k]] = c[k] + 1;
                b.nodes.push_back(a);
            }
        b.interior_begin = int(b.nodes.size());
        for (int d0 = p - 4; d0 >= 0; --d0)
            for (int d1 = p - 4 - d0; d1 >= 0; --d1)
                for (int d2 = p - 4 - d0 - d1; d2 >= 0; --d2)
                    b.nodes.push_back({d0 + 1, d1 + 1, d2 + 1, p - 4 - d0 - d1 - d2 + 1});
        b.per_interior = int(b.nodes.size()) - b.interior_begin;
    }
    if (int(b.nodes.size()) != b.size)
        fail<std::logic_error>("Lagrange basis", "node count mismatch");
    b.index_of.assign((p + 1) * (p + 1) * (p + 1), -1);
    for (int k = 0; k < b.size; ++k) b.index_of[alpha_key(b.nodes[k], p)] = k;
    return b;
}

// L[a] = prod_{s<a} (p x - s) / (s + 1) for a = 0..p, and its derivative in x.
void factors(int p, double x, double* L, double* dL) {
    L[0] = 1.0;
    dL[0] = 0.0;
    for (int a = 1; a <= p; ++a) {
        const double f = (p * x - (a - 1)) / a;
        L[a] = L[a - 1] * f;
        dL[a] = dL[a - 1] * f + L[a - 1] * (double(p) / a);
    }
}

}  // namespace

const LagrangeBasis& lagrange_basis(int p) {
    if (p < 0 || p > kMaxLagrangeDegree)
        fail<std::out_of_range>("Lagrange basis", "degree " + std::to_string(p) + " outside 0.." +
                                                      std::to_string(kMaxLagrangeDegree));
    static std::array<BuiltOnce<LagrangeBasis>, kMaxLagrangeDegree + 1> bases;
    return bases[p].get([p] { return build_basis(p); });
}

void lagrange_values(const LagrangeBasis& b, const double lambda[4], double* out) {
    const int p = b.degree;
    double L[4][kMaxLagrangeDegree + 1], dL[4][kMaxLagrangeDegree + 1];
    for (int m = 0; m < 4; ++m) factors(p, lambda[m], L[m], dL[m]);
    for (int k = 0; k < b.size; ++k) {
        const Alpha& a = b.nodes[k];
        out[k] = L[0][a[0]] * L[1][a[1]] * L[2][a[2]] * L[3][a[3]];
    }
}

void lagrange_derivatives(const LagrangeBasis& b, const double lambda[4], double* out) {
    const int p = b.degree;
    double L[4][kMaxLagrangeDegree + 1], dL[4][kMaxLagrangeDegree + 1];
    for (int m = 0; m < 4; ++m) factors(p, lambda[m], L[m], dL[m]);
    for (int k = 0; k < b.size; ++k) {
        const Alpha& a = b.nodes[k];
        const double v0 = L[0][a[0]], v1 = L[1][a[1]], v2 = L[2][a[2]], v3 = L[3][a[3]];
        out[4 * k + 0] = dL[0][a[0]] * v1 * v2 * v3;
        out[4 * k + 1] = v0 * dL[1][a[1]] * v2 * v3;
        out[4 * k + 2] = v0 * v1 * dL[2][a[2]] * v3;
        out[4 * k + 3] = v0 * v1 * v2 * dL[3][a[3]];
    }
}

NodeOrder lagrange_node_order(const LagrangeBasis& b, const int g[4]) {
    NodeOrder order;
    const int p = b.degree;
    if (p <= 2) return order;  // at most one node per edge and none on faces
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j)
            if (g[i] == g[j])
                fail("element node order", "local vertices " + std::to_string(i) + " and " +
                                               std::to_string(j) + " have the same global number " +
                                               std::to_string(g[i]));
    if (g[0] < g[1] && g[1] < g[2] && g[2] < g[3]) return order;
    order.identity = false;
    for (int k = 0; k < b.size; ++k) order.perm[k] = uint8_t(k);  // vertices, interior
    for (int e = 0; e < 6; ++e) {
        if (g[kEdgeVerts[e][0]] < g[kEdgeVerts[e][1]]) continue;
        const int base = b.edge_begin + e * b.per_edge;
        for (int t = 0; t < b.per_edge; ++t)
            order.perm[base + t] = uint8_t(base + b.per_edge - 1 - t);
    }
    for (int f = 0; f < 4; ++f) {
        int sv[3] = {kFaceVerts[f][0], kFaceVerts[f][1], kFaceVerts[f][2]};
        std::sort(sv, sv + 3, [g](int x, int y) { return g[x] < g[y]; });
        const int base = b.face_begin + f * b.per_face;
        for (int r = 0; r < b.per_face; ++r) {
            Alpha a{};
            for (int k = 0; k < 3; ++k) a[sv[k]] = b.face_pattern[r][k] + 1;
            order.perm[base + r] = uint8_t(b.index_of[alpha_key(a, p)]);
        }
    }
    return order;
}

}  // namespace mosk
