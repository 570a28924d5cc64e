// Where the values of a field's basis functions live: the local basis order on an element
// (vertices, then the edges' nodes in the element's edge order, then the faces' nodes, then the
// interior nodes; along an edge or on a face in the order fixed by global vertex numbers), and
// the position of each basis function's first component in the field's value array (vertex
// values, then edge, face and element values; the components of a node are consecutive).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "mosk.h"

namespace mosk {

enum class EntityKind { Vertex = 0, Edge = 1, Face = 2, Interior = 3 };

struct NodeLocation {
    EntityKind kind;
    int entity;    // local vertex, edge or face number (0 for the interior)
    int position;  // node within that entity's block
};

inline NodeLocation node_location(const DOF_TYPE_& t, int bas) {
    if (bas < 0 || bas >= t.nbas)
        throw std::out_of_range("mosk: basis function " + std::to_string(bas) + " outside 0.." +
                                std::to_string(t.nbas - 1) + " of type " + t.name);
    int i = bas;
    if (i < 4 * t.nvert) return {EntityKind::Vertex, i / t.nvert, i % t.nvert};
    i -= 4 * t.nvert;
    if (i < 6 * t.nedge) return {EntityKind::Edge, i / t.nedge, i % t.nedge};
    i -= 6 * t.nedge;
    if (i < 4 * t.nface) return {EntityKind::Face, i / t.nface, i % t.nface};
    i -= 4 * t.nface;
    return {EntityKind::Interior, 0, i};
}

// Value counts of the four blocks of a field on the grid it was made for.
struct ValueBlocks {
    int64_t vert, edge, face, elem;  // start of each block in DOF_::data
    int64_t total;
};

inline ValueBlocks value_blocks(const DOF_& d, const GRID_& g) {
    ValueBlocks b;
    b.vert = 0;
    b.edge = d.nvert_values * g.nvert_global;
    b.face = b.edge + d.nedge_values * g.nedge_global;
    b.elem = b.face + d.nface_values * g.nface_global;
    b.total = b.elem + d.nelem_values * g.nelem_global;
    return b;
}

// Index in DOF_::data of the first component of basis function `bas` on element `e`.
inline int64_t value_index(const DOF_& d, const ValueBlocks& b, const ELEMENT_& e, int bas) {
    const NodeLocation n = node_location(*d.type, bas);
    const int64_t dim = d.dim;
    switch (n.kind) {
        case EntityKind::Vertex: return b.vert + e.verts[n.entity] * d.nvert_values;
        case EntityKind::Edge:
            return b.edge + e.edges[n.entity] * d.nedge_values + n.position * dim;
        case EntityKind::Face:
            return b.face + e.faces[n.entity] * d.nface_values + n.position * dim;
        default: return b.elem + e.index * d.nelem_values + n.position * dim;
    }
}

}  // namespace mosk
