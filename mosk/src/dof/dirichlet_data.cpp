// Dirichlet data: a basis function is a Dirichlet entry when its node lies on a Dirichlet face
// (a boundary face with a label the field's choice admits, or else the options; all boundary
// faces by default). A vertex or
// edge on such a face is a Dirichlet vertex or edge in every element that holds it.
#include <algorithm>
#include <string>
#include <vector>

#include "core/library_state.h"
#include "core/check.h"
#include "dof/dof_field.h"

namespace mosk {
namespace {

// Whether a face of label-set code `code` carries Dirichlet data: a boundary face, with one of
// `labels` unless `all`.
bool admitted(const GridImpl& g, int code, bool all, const std::vector<int>& labels) {
    if (!is_boundary_code(code)) return false;
    if (all) return true;
    for (int l : g.labels_of(code))
        if (std::find(labels.begin(), labels.end(), l) != labels.end()) return true;
    return false;
}

// "1, 2, 3", or "none".
std::string label_list(const std::vector<int>& labels) {
    std::string text;
    for (int l : labels) text += (text.empty() ? "" : ", ") + std::to_string(l);
    return text.empty() ? "none" : text;
}

// The option's labels that no boundary face carries are not an error (one option serves every
// grid of a run): the first grid without one of them gets a warning on process 0.
void warn_of_missing_option_labels(const GridImpl& g, const std::vector<int>& labels) {
    static bool warned = false;
    if (warned || g.rank != 0) return;
    const std::vector<int> present = g.boundary_labels();
    std::vector<int> missing;
    for (int l : labels)
        if (!std::binary_search(present.begin(), present.end(), l)) missing.push_back(l);
    if (missing.empty()) return;
    warned = true;
    log_message(0, "warning: -dirichlet_labels names " + label_list(missing) +
                       ", which no boundary face carries; the boundary labels are " +
                       label_list(present));
}

// The flags for the field's label choice, made when the numbering changed since.
const GridImpl::DirichletFlags& dirichlet_flags(GridImpl& g, const DOF_& dof) {
    const DofImpl& impl = *static_cast<const DofImpl*>(dof.impl);
    const bool own = impl.own_dirichlet_labels;
    const std::vector<int>& labels =
        own ? impl.dirichlet_labels : library_options().dirichlet_labels;
    const bool all = !own && labels.empty();
    GridImpl::DirichletFlags* found = nullptr;
    for (auto& f : g.dirichlet)
        if (f.all == all && f.labels == labels) found = &f;
    if (found && found->generation == g.numbering_generation) return *found;
    if (!found) {
        // Flags of an older numbering are dropped first: a few label choices live at a time.
        std::erase_if(g.dirichlet,
                      [&](const auto& f) { return f.generation != g.numbering_generation; });
        found = &g.dirichlet.emplace_back();
    }
    if (!own && !all) warn_of_missing_option_labels(g, labels);
    auto& f = *found;
    f.vert.assign(size_t(g.num_vertices()), 0);
    f.edge.assign(g.edge_verts.size(), 0);
    f.face.assign(g.face_verts.size(), 0);
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        for (int k = 0; k < 4; ++k) {
            if (!admitted(g, g.face_label[e.faces[k]], all, labels)) continue;
            f.face[e.faces[k]] = 1;
            for (int v : kFaceVerts[k]) f.vert[e.verts[v]] = 1;
            for (int m = 0; m < 6; ++m)
                if (kEdgeVerts[m][0] != k && kEdgeVerts[m][1] != k) f.edge[e.edges[m]] = 1;
        }
    }
    f.all = all;
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

// The node of basis function `bas` of the field on the element.
Point dirichlet_node(const GridImpl& g, const DOF_& dof, const ELEMENT_& el, int bas) {
    const ElementNodes n = element_nodes(*dof.type, el);
    double lambda[4];
    node_lambda(n, bas, lambda);
    return point_of(element_points(g, el), lambda);
}

// The boundary function's dim values at the node of basis function `bas`, into value.
void boundary_values(GridImpl& g, const DOF_& dof, const ELEMENT_& el, int bas, MOSK_POINT_FUNC f,
                     double* value) {
    if (!f) fail<std::invalid_argument>("Dirichlet data", "null boundary function");
    if (!value) fail<std::invalid_argument>("Dirichlet data", "null value pointer");
    const Point x = dirichlet_node(g, dof, el, bas);
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
    if (!on_dirichlet_boundary(dirichlet_flags(g, *dof), *dof->type, el, bas)) return 0;
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
                                                      " basis functions, " + std::to_string(n) +
                                                      " needed");
    const GridImpl::DirichletFlags& flags = dirichlet_flags(g, *dof);
    std::fill(mask, mask + n, 0);
    std::fill(value, value + size_t(n) * dim, 0.0);
    for (int i = 0; i < n; ++i)
        if (on_dirichlet_boundary(flags, *dof->type, el, i)) {
            boundary_values(g, *dof, el, i, f, value + size_t(i) * dim);
            mask[i] = 1;
        }
    return n;
}

extern "C" int64_t moskDofDirichletBlock(DOF_* dof, int n, ELEMENT_** es, int* mask, double* points,
                                         int64_t capacity) {
    const char* op = "Dirichlet data";
    GridImpl& g = grid_of(dof, op);
    const int nb = dof->type->nbas;
    if (n < 0) fail<std::invalid_argument>(op, "negative element count");
    if (n > 0 && (!es || !mask || !points))
        fail<std::invalid_argument>(op, "null element, mask or point array");
    if (capacity < int64_t(n) * nb)
        fail<std::length_error>(op, "room for " + std::to_string(capacity) + " entries, " +
                                        std::to_string(int64_t(n) * nb) + " needed");
    const GridImpl::DirichletFlags& flags = dirichlet_flags(g, *dof);
    int64_t m = 0;
    for (int k = 0; k < n; ++k) {
        const ELEMENT_& el = require_leaf(g, es[k], op);
        for (int i = 0; i < nb; ++i) {
            const bool on = on_dirichlet_boundary(flags, *dof->type, el, i);
            mask[int64_t(k) * nb + i] = on;
            if (!on) continue;
            const Point x = dirichlet_node(g, *dof, el, i);
            std::copy(x.begin(), x.end(), points + 3 * m++);
        }
    }
    return m;
}

extern "C" void moskDofSetDirichletLabels(DOF_* dof, const int* labels, int n) {
    const char* op = "Dirichlet labels";
    GridImpl& g = grid_of(dof, op);
    DofImpl& impl = dof_impl(*dof);
    if (n < 0) {
        impl.own_dirichlet_labels = false;
        impl.dirichlet_labels.clear();
        return;
    }
    if (n > 0 && !labels) fail<std::invalid_argument>(op, "null label pointer");
    std::vector<int> chosen(labels, labels + n);
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    const std::vector<int> present = g.boundary_labels();
    for (int l : chosen)
        if (!std::binary_search(present.begin(), present.end(), l))
            fail<std::invalid_argument>(op, "no boundary face carries label " + std::to_string(l) +
                                                "; the boundary labels are " + label_list(present));
    impl.own_dirichlet_labels = true;
    impl.dirichlet_labels = std::move(chosen);
}
