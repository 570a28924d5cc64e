// Dirichlet data: a basis function is a Dirichlet entry when its node lies on a Dirichlet face
// (a boundary face whose label the options admit; all boundary faces by default). A vertex or
// edge on such a face is a Dirichlet vertex or edge in every element that holds it.
#include <algorithm>

#include "core/library_state.h"
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
    f.vert.assign(g.coords.size(), 0);
    f.edge.assign(g.edge_verts.size(), 0);
    f.face.assign(g.face_verts.size(), 0);
    for (int i = 0; i < int(g.leaves.size()); ++i) {
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

}  // namespace
}  // namespace mosk

using namespace mosk;

extern "C" int moskDofDirichletBC(DOF_* dof, ELEMENT_* e, int bas, MOSK_POINT_FUNC f,
                                  double* /*row*/, double* value, int /*flag*/) {
    GridImpl& g = grid_of(dof, "Dirichlet data");
    const ELEMENT_& el = require_leaf(g, e, "Dirichlet data");
    const NodeLocation at = node_location(*dof->type, bas);
    const GridImpl::DirichletFlags& flags = dirichlet_flags(g);
    bool on = false;
    switch (at.kind) {
        case EntityKind::Vertex: on = flags.vert[el.verts[at.entity]]; break;
        case EntityKind::Edge: on = flags.edge[el.edges[at.entity]]; break;
        case EntityKind::Face: on = flags.face[el.faces[at.entity]]; break;
        case EntityKind::Interior: on = false; break;
    }
    if (!on) return 0;
    if (!f) throw std::invalid_argument("mosk: Dirichlet data: null boundary function");
    if (!value) throw std::invalid_argument("mosk: Dirichlet data: null value pointer");
    const ElementNodes n = element_nodes(*dof->type, el);
    double lambda[4];
    node_lambda(n, bas, lambda);
    const Point x = point_of(element_points(g, el), lambda);
    std::vector<double> buffer(size_t(dof->dim), 0.0);
    {
        // The caller keeps the element across its calls for the element's basis functions.
        CallbackScope running(g);
        f(x[0], x[1], x[2], buffer.data());
    }
    std::copy(buffer.begin(), buffer.end(), value);
    return 1;
}
