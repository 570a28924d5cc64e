// Dirichlet data: a basis function is a Dirichlet entry when its node lies on a Dirichlet face
// (a boundary face whose label the options admit; all boundary faces by default). A vertex or
// edge on such a face is a Dirichlet vertex or edge in every element that holds it.
#include <algorithm>

#include "core/library_state.h"
#include "core/check.h"
#include "dof/dof_field.h"

namespace mosk {
namespace {

bool admitted(int label, const std::vector<int>& labels) {
    if (label == 0) return false;
    return labels.empty() || std::find(labels.begin(), labels.end(), label) != labels.end();
}

const GridImpl::DirichletFlags& dirichlet_flags(GridImpl& g) {
    auto& f = g.dirichlet;
    const std::vector<int>& labels = library_options().dirichlet_labels;
    if (f.generation == g.numbering_generation && f.labels == labels) return f;
    f.vert.assign(size_t(g.num_vertices()), 0);
    f.edge.assign(g.edge_verts.size(), 0);
    f.face.assign(g.face_verts.size(), 0);
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        for (int k = 0; k < 4; ++k) {
            if (!admitted(g.face_label[e.faces[k]], labels)) continue;
            f.face[e.faces[k]] = 1;
            for (int v : kFaceVerts[k]) f.vert[e.verts[v]] = 1;
            for (int m = 0; m < 6; ++m)
                if (kEdgeVerts[m][0] != k && kEdgeVerts[m][1] != k) f.edge[e.edges[m]] = 1;
        }
    }
    f.labels = labels;
    f.generation = g.numbering_generation;
    return f;
}

// Whether basis function `bas` of the field is a Dirichlet entry on the element.
bool on_dirichlet_boundary(const GridImpl::DirichletFlags& flags, const DOF_TYPE_& type,
                           const ELEMENT_& el, int bas) {
    const NodeLocation at = node_location(type, bas);
    switch (at.kind) {
        case EntityKind::Vertex: return flags.vert[el.verts[at.entity]];
        case EntityKind::Edge: return flags.edge[el.edges[at.entity]];
        case EntityKind::Face: return flags.face[el.faces[at.entity]];
        case EntityKind::Interior: return false;
    }
    return false;
}

// The boundary function's dim values at the node of basis function `bas`, into value.
void boundary_values(GridImpl& g, const DOF_& dof, const ELEMENT_& el, int bas,
                     MOSK_POINT_FUNC f, double* value) {
    if (!f) fail<std::invalid_argument>("Dirichlet data", "null boundary function");
    if (!value) fail<std::invalid_argument>("Dirichlet data", "null value pointer");
    const ElementNodes n = element_nodes(*dof.type, el);
    double lambda[4];
    node_lambda(n, bas, lambda);
    const Point x = point_of(element_points(g, el), lambda);
    // The function writes into scratch, so a throw leaves the caller's values as they were.
    thread_local std::vector<double> buffer;
    buffer.assign(size_t(dof.dim), 0.0);
    {
        // The caller keeps the element across its calls for the element's basis functions.
        CallbackScope running(g);
        f(x[0], x[1], x[2], buffer.data());
    }
    std::copy(buffer.begin(), buffer.end(), value);
}

}  // namespace
}  // namespace mosk

using namespace mosk;

extern "C" int moskDofDirichletBC(DOF_* dof, ELEMENT_* e, int bas, MOSK_POINT_FUNC f,
                                  double* /*row*/, double* value, int /*flag*/) {
    GridImpl& g = grid_of(dof, "Dirichlet data");
    const ELEMENT_& el = require_leaf(g, e, "Dirichlet data");
    if (!on_dirichlet_boundary(dirichlet_flags(g), *dof->type, el, bas)) return 0;
    boundary_values(g, *dof, el, bas, f, value);
    return 1;
}

extern "C" int moskDofDirichletBCElement(DOF_* dof, ELEMENT_* e, MOSK_POINT_FUNC f, int* mask,
                                         double* value, int capacity, int /*flag*/) {
    GridImpl& g = grid_of(dof, "Dirichlet data");
    const ELEMENT_& el = require_leaf(g, e, "Dirichlet data");
    const int n = dof->type->nbas, dim = dof->dim;
    if (!mask || !value)
        fail<std::invalid_argument>("Dirichlet data", "null mask or value pointer");
    if (capacity < n)
        fail<std::length_error>("Dirichlet data", "room for " + std::to_string(capacity) +
                                " basis functions, " + std::to_string(n) + " needed");
    const GridImpl::DirichletFlags& flags = dirichlet_flags(g);
    std::fill(mask, mask + n, 0);
    std::fill(value, value + size_t(n) * dim, 0.0);
    for (int i = 0; i < n; ++i)
        if (on_dirichlet_boundary(flags, *dof->type, el, i)) {
            boundary_values(g, *dof, el, i, f, value + size_t(i) * dim);
            mask[i] = 1;
        }
    return n;
}
