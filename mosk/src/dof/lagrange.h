// Lagrange bases of degree 0..4 on a tetrahedron in barycentric coordinates, their canonical
// local node order, and the node order that makes neighbouring elements agree.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace mosk {

inline constexpr int kMaxLagrangeDegree = 4;
inline constexpr int kMaxLagrangeSize = 35;  // (p+1)(p+2)(p+3)/6 for p = 4

using Alpha = std::array<int, 4>;  // node multi-index; the node is at barycentric alpha / p

// Canonical local order of the nodes (p >= 1):
//   1. the 4 vertex nodes, vertex m at alpha = p e_m;
//   2. for each edge (i, j) in the order (0,1),(0,2),(0,3),(1,2),(1,3),(2,3), its p - 1 nodes
//      running from vertex i to vertex j: alpha_i = p - t, alpha_j = t, t = 1 .. p - 1;
//   3. for each face f = 0..3 (opposite vertex f, with local vertices v0 < v1 < v2), its
//      (p-1)(p-2)/2 nodes with alpha_{v_k} = c_k + 1, listed in decreasing lexicographic order
//      of (c0, c1) (for p = 4: the node nearest v0, then v1, then v2);
//   4. the interior nodes (all alpha_m >= 1), in decreasing lexicographic order of
//      (a0, a1, a2).
// p = 0 has the single node (0,0,0,0) with the basis function 1 (a cell value).
struct LagrangeBasis {
    int degree = 0;
    int size = 0;                   // number of nodes: (p+1)(p+2)(p+3)/6
    std::vector<Alpha> nodes;       // canonical order
    // First canonical index of each entity block and the block sizes (p >= 1; for p = 0 the
    // single node counts as interior).
    int edge_begin = 0, face_begin = 0, interior_begin = 0;
    int per_vertex = 0, per_edge = 0, per_face = 0, per_interior = 0;
    std::vector<std::array<int, 3>> face_pattern;  // (c0, c1, c2) of the face nodes, in order
    // Canonical index of the node alpha, at alpha[1] + (p+1) (alpha[2] + (p+1) alpha[3]).
    std::vector<int> index_of;
};

// Cached basis of degree p, thread-safe. Throws std::out_of_range unless 0 <= p <= 4.
const LagrangeBasis& lagrange_basis(int p);

// phi_k(lambda) for every canonical k into out[0 .. size).
void lagrange_values(const LagrangeBasis& b, const double lambda[4], double* out);

// d phi_k / d lambda_m (the four barycentric coordinates taken as independent) into
// out[4k + m], k < size, m < 4. The gradient of phi_k on an element is then
// sum_m out[4k + m] * grad lambda_m.
void lagrange_derivatives(const LagrangeBasis& b, const double lambda[4], double* out);

// The element's node order for global vertex numbers g[0..3] (of its local vertices 0..3).
// The element order has the same entity blocks as the canonical order; within an edge block the
// nodes run from the edge's lower to its higher global vertex number, within a face block they
// follow the canonical face order taken with the face's vertices sorted by global number
// (v0 = lowest), so two elements sharing an edge or face list its nodes identically.
// Meaning: the element's k-th node (the k-th DOF of the element, entity by entity in storage
// order) is the canonical node at(k), i.e. its basis function is phi_{at(k)}.
// For p <= 2 (g is not read), and whenever g is increasing, the order is the canonical one:
// identity is set and perm is not filled.
struct NodeOrder {
    bool identity = true;
    std::array<uint8_t, kMaxLagrangeSize> perm;
    int at(int k) const { return identity ? k : perm[k]; }
};

// For p >= 3, throws std::invalid_argument when two of g coincide.
NodeOrder lagrange_node_order(const LagrangeBasis& b, const int g[4]);

}  // namespace mosk
