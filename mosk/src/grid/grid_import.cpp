// A mesh description becomes the grid: every tetrahedron checked (indices, repeated vertices,
// degenerate or inverted), unused points dropped, the leaf mesh numbered, faces labelled
// from the file's triangles.
#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>
#include <string>

#include "core/check.h"
#include "core/library_state.h"
#include "grid/grid_impl.h"

namespace mosk {

double signed_volume(const Point& a, const Point& b, const Point& c, const Point& d) {
    const double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const double w[3] = {d[0] - a[0], d[1] - a[1], d[2] - a[2]};
    const double det = u[0] * (v[1] * w[2] - v[2] * w[1]) - u[1] * (v[0] * w[2] - v[2] * w[0]) +
                       u[2] * (v[0] * w[1] - v[1] * w[0]);
    return det / 6.0;
}

namespace {

std::string tet_text(const std::array<int, 4>& t) {
    std::ostringstream s;
    s << "(" << t[0] + 1 << ", " << t[1] + 1 << ", " << t[2] + 1 << ", " << t[3] + 1 << ")";
    return s.str();
}

// Checks everything a grid relies on; throws FormatError naming the source and the culprit.
void validate(const MeshData& mesh, const std::string& source) {
    const std::string op = mesh_read_operation(source);
    if (mesh.tets.empty()) fail<FormatError>(op, "the mesh holds no tetrahedra");
    if (mesh.points.size() > size_t(INT32_MAX) || mesh.tets.size() > size_t(INT32_MAX) / 2)
        fail<FormatError>(op, "the mesh is too large");
    if (mesh.triangles.size() != mesh.triangle_labels.size())
        fail<FormatError>(op, "surface triangles and their labels differ in number");
    if (!mesh.tet_labels.empty() && mesh.tet_labels.size() != mesh.tets.size())
        fail<FormatError>(op, "tetrahedra and their labels differ in number");
    const int64_t np = int64_t(mesh.points.size());
    for (const Point& p : mesh.points)
        for (double x : p)
            if (!std::isfinite(x)) fail<FormatError>(op, "a vertex coordinate is not finite");
    // Scale for the degeneracy test: a tetrahedron whose volume is a vanishing fraction of its
    // longest edge cubed is degenerate.
    for (size_t k = 0; k < mesh.tets.size(); ++k) {
        const auto& t = mesh.tets[k];
        // Text files give the line of the culprit.
        auto fail_tet = [&](const std::string& what) {
            fail<FormatError>(
                k < mesh.tet_lines.size() ? op + ", line " + std::to_string(mesh.tet_lines[k]) : op,
                "tetrahedron " + std::to_string(k + 1) + " " + tet_text(t) + " " + what);
        };
        for (int v : t)
            if (v < 0 || v >= np) fail_tet("names a vertex outside 1.." + std::to_string(np));
        for (int i = 0; i < 4; ++i)
            for (int j = i + 1; j < 4; ++j)
                if (t[i] == t[j]) fail_tet("repeats a vertex");
        const Point &a = mesh.points[t[0]], &b = mesh.points[t[1]], &c = mesh.points[t[2]],
                    &d = mesh.points[t[3]];
        double h = 0;
        const Point* p[4] = {&a, &b, &c, &d};
        for (auto& e : kEdgeVerts) {
            const Point &x = *p[e[0]], &y = *p[e[1]];
            h = std::max(h, std::hypot(x[0] - y[0], x[1] - y[1], x[2] - y[2]));
        }
        const double vol = signed_volume(a, b, c, d);
        if (!(std::fabs(vol) > 1e-12 * h * h * h))
            fail_tet("is degenerate (volume " + format_double(vol) + ")");
        if (vol < 0) fail_tet("is inverted (negative volume)");
    }
    for (size_t k = 0; k < mesh.triangles.size(); ++k)
        for (int v : mesh.triangles[k])
            if (v < 0 || v >= np)
                fail<FormatError>(op, "surface triangle " + std::to_string(k + 1) +
                                          " names a vertex outside 1.." + std::to_string(np));
}

}  // namespace

void GridImpl::assign(MeshData&& mesh, const std::string& source) {
    validate(mesh, source);
    // Points that no tetrahedron uses (geometry points of a mesh generator) are dropped, so that
    // the grid's vertices are exactly the mesh's vertices.
    std::vector<int> renumber(mesh.points.size(), -1);
    for (const auto& t : mesh.tets)
        for (int v : t) renumber[v] = 0;
    int used = 0;
    for (int& r : renumber)
        if (r == 0) r = used++;
    for (auto& t : mesh.tets)
        for (int& v : t) v = renumber[v];
    GridImpl fresh(nullptr, comm);
    fresh.coords_.resize(size_t(used));
    for (size_t p = 0; p < mesh.points.size(); ++p)
        if (renumber[p] >= 0) fresh.coords_[size_t(renumber[p])] = mesh.points[p];
    for (auto& tri : mesh.triangles)
        for (int& v : tri) v = renumber[v];  // -1 for a triangle off the volume mesh
    fresh.leaves_.resize(mesh.tets.size());
    for (size_t k = 0; k < mesh.tets.size(); ++k) {
        ELEMENT_ e{};
        for (int i = 0; i < 4; ++i) e.verts[i] = mesh.tets[k][i];
        e.record = int(k);
        fresh.elements_.push_back(e);
        fresh.tree_.push_back(TreeLinks{});
        fresh.leaves_[k] = int(k);
    }
    fresh.assign_block_owners();
    fresh.number_leaf_mesh();
    // Labels: every face of one element only is a boundary face; the file's triangles name them.
    std::vector<int> triangle_face(mesh.triangles.size(), -1);
    {
        // Find each file triangle among the faces: sort the faces' vertex triples once.
        std::vector<int> order(fresh.face_verts.size());
        for (size_t f = 0; f < order.size(); ++f) order[f] = int(f);
        std::sort(order.begin(), order.end(),
                  [&](int a, int b) { return fresh.face_verts[a] < fresh.face_verts[b]; });
        for (size_t k = 0; k < mesh.triangles.size(); ++k) {
            std::array<int, 3> key = mesh.triangles[k];
            std::sort(key.begin(), key.end());
            auto it = std::lower_bound(order.begin(), order.end(), key, [&](int f, const auto& k2) {
                return fresh.face_verts[f] < k2;
            });
            if (it != order.end() && fresh.face_verts[*it] == key) triangle_face[k] = *it;
        }
    }
    // A face takes the labels of every triangle on it (a face of several groups keeps them
    // all); label 0 means none.
    std::vector<std::pair<int, int>> face_labels;  // (face, label)
    for (size_t k = 0; k < mesh.triangles.size(); ++k)
        if (triangle_face[k] >= 0 && mesh.triangle_labels[k] != 0)
            face_labels.push_back({triangle_face[k], mesh.triangle_labels[k]});
    std::sort(face_labels.begin(), face_labels.end());
    face_labels.erase(std::unique(face_labels.begin(), face_labels.end()), face_labels.end());
    std::map<std::vector<int>, int> codes;  // label set -> boundary code
    std::vector<int> labels;
    for (size_t a = 0; a < face_labels.size();) {
        const int f = face_labels[a].first;
        labels.clear();
        for (; a < face_labels.size() && face_labels[a].first == f; ++a)
            labels.push_back(face_labels[a].second);
        auto it = codes.find(labels);
        if (it == codes.end()) it = codes.emplace(labels, fresh.label_code(labels, true)).first;
        fresh.face_label[f] = is_boundary_code(fresh.face_label[f]) ? it->second : -it->second;
    }
    fresh.root_label.assign(mesh.tets.size(), 0);
    if (!mesh.tet_labels.empty()) fresh.root_label = mesh.tet_labels;
    for (int i = 0; i < fresh.num_leaves(); ++i) {
        ELEMENT_& e = fresh.leaf(i);
        for (int s = 0; s < 4; ++s) e.label[s] = fresh.face_label[e.faces[s]];
    }
    take_contents(fresh);
}

}  // namespace mosk
