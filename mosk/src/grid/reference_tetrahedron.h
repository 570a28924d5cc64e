// The local numbering of a tetrahedron's vertices, edges and faces, which the grid, the bases and
// the boundary data share: edge k joins local vertices kEdgeVerts[k] (in increasing order); face
// i is opposite vertex i and holds kFaceVerts[i] in increasing local order.
#pragma once

#include <array>

namespace mosk {

inline constexpr int kEdgeVerts[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
inline constexpr int kFaceVerts[4][3] = {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}};

// The local edge joining local vertices i and j (either order); -1 on the diagonal.
inline constexpr std::array<std::array<int, 4>, 4> kEdgeOf = [] {
    std::array<std::array<int, 4>, 4> of{};
    for (auto& row : of) row.fill(-1);
    for (int k = 0; k < 6; ++k) {
        of[kEdgeVerts[k][0]][kEdgeVerts[k][1]] = k;
        of[kEdgeVerts[k][1]][kEdgeVerts[k][0]] = k;
    }
    return of;
}();

// The local vertices of edge k as bits (vertex v is bit v).
constexpr unsigned edge_vertex_bits(int k) {
    return 1u << kEdgeVerts[k][0] | 1u << kEdgeVerts[k][1];
}

}  // namespace mosk
