// Where the values of a field's basis functions live: the local basis order on an element
// (vertices, then the edges' nodes in the element's edge order, then the faces' nodes, then the
// interior nodes; along an edge or on a face in the order fixed by global vertex numbers), and
// the position of each basis function's first component in the field's value array (vertex
// values, then edge, face and element values; the components of a node are consecutive).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "core/check.h"
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
        fail<std::out_of_range>("field value index",
                                "basis function " + std::to_string(bas) + " outside 0.." +
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
    b.edge = d.nvert_values * g.nvert_local;
    b.face = b.edge + d.nedge_values * g.nedge_local;
    b.elem = b.face + d.nface_values * g.nface_local;
    b.total = b.elem + d.nelem_values * g.nelem_local;
    return b;
}

// Index in DOF_::data of the first component of node `position` of a vertex, edge, face or
// element (by its global number) of the field: the one rule of where values live.
inline int64_t entity_value_index(const DOF_& d, const ValueBlocks& b, EntityKind kind,
                                  int64_t entity, int position) {
    const int64_t at = int64_t(position) * d.dim;
    switch (kind) {
        case EntityKind::Vertex: return b.vert + entity * d.nvert_values + at;
        case EntityKind::Edge: return b.edge + entity * d.nedge_values + at;
        case EntityKind::Face: return b.face + entity * d.nface_values + at;
        default: return b.elem + entity * d.nelem_values + at;
    }
}

// Index in DOF_::data of the first component of basis function `bas` on element `e`.
inline int64_t value_index(const DOF_& d, const ValueBlocks& b, const ELEMENT_& e, int bas) {
    const NodeLocation n = node_location(*d.type, bas);
    switch (n.kind) {
        case EntityKind::Vertex:
            return entity_value_index(d, b, n.kind, e.verts[n.entity], n.position);
        case EntityKind::Edge:
            return entity_value_index(d, b, n.kind, e.edges[n.entity], n.position);
        case EntityKind::Face:
            return entity_value_index(d, b, n.kind, e.faces[n.entity], n.position);
        default: return entity_value_index(d, b, n.kind, e.index, n.position);
    }
}

}  // namespace mosk
