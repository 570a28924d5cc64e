// The number of basis functions of a DOF field on an element, read from the library's records.
// Every part of the module that sizes per-element data uses this one rule.
#pragma once

#include "mosk.h"

namespace mosk {

inline int basis_count(const DOF_* dof, const ELEMENT_* e) {
    const MOSK_DOF_VARIABLE_ORDER_* vo = dof->variable_order;
    if (!vo) return dof->type->nbas;
    DOF_TYPE_* const* types = vo->family->types;
    const int mask = vo->family->mask;
    int n = 0;
    if (mask & 1)
        for (int k = 0; k < 4; ++k) n += types[vo->vert_order[e->verts[k]]]->nvert;
    if (mask & 2)
        for (int k = 0; k < 6; ++k) n += types[vo->edge_order[e->edges[k]]]->nedge;
    if (mask & 4)
        for (int k = 0; k < 4; ++k) n += types[vo->face_order[e->faces[k]]]->nface;
    n += types[vo->elem_order[e->index]]->nelem;
    return n;
}

}  // namespace mosk
