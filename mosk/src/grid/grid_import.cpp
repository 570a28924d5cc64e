// A mesh description becomes the grid: every tetrahedron checked (indices, repeated vertices,
// degenerate or inverted), unused points dropped, the leaf mesh numbered, faces labelled
// from the file's triangles.
#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <sstream>
#include <string>

#include "core/check.h"
#include "core/library_state.h"
#include "core/parallel.h"
#include "grid/grid_impl.h"
#include "grid/leaf_messages.h"
#include "grid/mesh_import.h"

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

}  // namespace

std::string tetrahedron_fault(const std::array<int, 4>& t, const std::array<const Point*, 4>& x) {
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j)
            if (t[i] == t[j]) return "repeats a vertex";
    // Scale for the degeneracy test: a tetrahedron whose volume is a vanishing fraction of its
    // longest edge cubed is degenerate.
    double h2 = 0;  // the longest edge squared (one root instead of six)
    for (auto& e : kEdgeVerts) {
        const Point &a = *x[size_t(e[0])], &b = *x[size_t(e[1])];
        const double d[3] = {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
        h2 = std::max(h2, d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    }
    const double h = std::sqrt(h2);
    const double vol = signed_volume(*x[0], *x[1], *x[2], *x[3]);
    if (!(std::fabs(vol) > 1e-12 * h * h * h))
        return "is degenerate (volume " + format_double(vol) + ")";
    if (vol < 0) return "is inverted (negative volume)";
    return {};
}

void fail_tetrahedron(const std::string& op, int64_t line, int64_t k, const std::array<int, 4>& t,
                      const std::string& fault) {
    fail<FormatError>(line >= 0 ? op + ", line " + std::to_string(line) : op,
                      "tetrahedron " + std::to_string(k + 1) + " " + tet_text(t) + " " + fault);
}

namespace {

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
    for (size_t k = 0; k < mesh.tets.size(); ++k) {
        const auto& t = mesh.tets[k];
        // Text files give the line of the culprit.
        auto fail_tet = [&](const std::string& what) {
            fail_tetrahedron(op, k < mesh.tet_lines.size() ? mesh.tet_lines[k] : -1, int64_t(k), t,
                             what);
        };
        for (int v : t)
            if (v < 0 || v >= np) fail_tet("names a vertex outside 1.." + std::to_string(np));
        const std::string fault =
            tetrahedron_fault(t, {&mesh.points[size_t(t[0])], &mesh.points[size_t(t[1])],
                                  &mesh.points[size_t(t[2])], &mesh.points[size_t(t[3])]});
        if (!fault.empty()) fail_tet(fault);
    }
    for (size_t k = 0; k < mesh.triangles.size(); ++k)
        for (int v : mesh.triangles[k])
            if (v < 0 || v >= np)
                fail<FormatError>(op, "surface triangle " + std::to_string(k + 1) +
                                          " names a vertex outside 1.." + std::to_string(np));
}

// Points that no tetrahedron uses (geometry points of a mesh generator) are dropped, so that
// the grid's vertices are exactly the mesh's vertices (in the file's order).
void drop_unused_points(MeshData& mesh) {
    std::vector<int> renumber(mesh.points.size(), -1);
    for (const auto& t : mesh.tets)
        for (int v : t) renumber[v] = 0;
    int used = 0;
    for (size_t p = 0; p < renumber.size(); ++p)
        if (renumber[p] == 0) {
            mesh.points[size_t(used)] = mesh.points[p];
            renumber[p] = used++;
        }
    mesh.points.resize(size_t(used));
    for (auto& t : mesh.tets)
        for (int& v : t) v = renumber[size_t(v)];
    for (auto& tri : mesh.triangles)
        for (int& v : tri) v = v >= 0 && size_t(v) < renumber.size() ? renumber[size_t(v)] : -1;
}

}  // namespace

void GridImpl::assign(MeshData&& mesh, const std::string& source) {
    validate(mesh, source);
    drop_unused_points(mesh);
    GridImpl fresh(nullptr, comm);
    fresh.coords_ = std::move(mesh.points);
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

std::vector<std::array<int, 4>> face_codes_of(size_t nv,
                                              const std::vector<std::array<int, 4>>& tets,
                                              const std::vector<std::array<int, 3>>& triangles,
                                              const std::vector<int>& triangle_labels,
                                              GridImpl& sets) {
    const size_t n = tets.size();
    auto corners = [&](size_t t, int k) {
        std::array<int, 3> c = {tets[t][size_t(kFaceVerts[k][0])],
                                tets[t][size_t(kFaceVerts[k][1])],
                                tets[t][size_t(kFaceVerts[k][2])]};
        std::sort(c.begin(), c.end());
        return c;
    };
    struct Side {
        int b, c;
        uint32_t id;  // 4 * tetrahedron + face (a valid mesh has fewer than 2^30 tetrahedra)
    };
    std::vector<int64_t> start(nv + 1, 0);
    for (size_t t = 0; t < n; ++t)
        for (int k = 0; k < 4; ++k) ++start[size_t(corners(t, k)[0]) + 1];
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<Side> sides(4 * n);
    {
        std::vector<int64_t> fill(start.begin(), start.end() - 1);
        for (size_t t = 0; t < n; ++t)
            for (int k = 0; k < 4; ++k) {
                const std::array<int, 3> c = corners(t, k);
                sides[size_t(fill[size_t(c[0])]++)] = {c[1], c[2], uint32_t(4 * t + size_t(k))};
            }
    }
    auto by_corners = [](const Side& x, const Side& y) {
        return x.b != y.b ? x.b < y.b : x.c < y.c;
    };
    for (size_t a = 0; a < nv; ++a)
        std::sort(sides.begin() + start[a], sides.begin() + start[a + 1], by_corners);
    // The file's labels by the first side of their face.
    std::vector<std::pair<int64_t, int>> labelled;
    for (size_t k = 0; k < triangles.size(); ++k) {
        if (triangle_labels[k] == 0) continue;
        std::array<int, 3> key = triangles[k];
        if (key[0] < 0 || key[1] < 0 || key[2] < 0) continue;  // off the volume mesh
        std::sort(key.begin(), key.end());
        const Side probe{key[1], key[2], 0};
        const auto first = sides.begin() + start[size_t(key[0])],
                   last = sides.begin() + start[size_t(key[0]) + 1];
        const auto it = std::lower_bound(first, last, probe, by_corners);
        if (it != last && it->b == key[1] && it->c == key[2])
            labelled.push_back({int64_t(it - sides.begin()), triangle_labels[k]});
    }
    std::sort(labelled.begin(), labelled.end());
    labelled.erase(std::unique(labelled.begin(), labelled.end()), labelled.end());

    std::vector<std::array<int, 4>> codes(n);
    std::map<std::vector<int>, int> known;  // label set -> boundary code
    std::vector<int> labels;
    size_t next_label = 0;
    for (size_t a = 0; a < nv; ++a)
        for (int64_t s = start[a]; s < start[a + 1];) {
            int64_t e = s + 1;
            while (e < start[a + 1] && sides[size_t(e)].b == sides[size_t(s)].b &&
                   sides[size_t(e)].c == sides[size_t(s)].c)
                ++e;
            const bool boundary = e - s == 1;
            labels.clear();
            for (; next_label < labelled.size() && labelled[next_label].first == s; ++next_label)
                labels.push_back(labelled[next_label].second);
            int code = boundary ? kUnlabelledBoundaryCode : 0;
            if (!labels.empty()) {
                auto it = known.find(labels);
                if (it == known.end())
                    it = known.emplace(labels, sets.label_code(labels, true)).first;
                code = boundary ? it->second : -it->second;
            }
            for (; s < e; ++s)
                codes[size_t(sides[size_t(s)].id / 4)][size_t(sides[size_t(s)].id % 4)] = code;
        }
    return codes;
}

namespace {

// Process `p`'s message of the checked mesh: its block of tetrahedra (leaf i to process
// i * nprocs / n), the tetrahedra of other blocks that share a vertex with it, and their
// vertices. `stamp_leaf` and `stamp_vertex` (one entry per tetrahedron and vertex, other than p
// before the call) mark what the message already holds; `slot` (per vertex) receives the
// message's vertex numbers.
LeafMessage message_for(int p, int nprocs, const MeshData& mesh, const LeavesAround& around,
                        const std::vector<std::array<int, 4>>& codes, std::vector<int>& stamp_leaf,
                        std::vector<int>& stamp_vertex, std::vector<int>& slot) {
    const int64_t n = int64_t(mesh.tets.size());
    auto owner_of = [&](int64_t i) { return int(i * nprocs / n); };
    auto first_of = [&](int64_t q) { return (q * n + nprocs - 1) / nprocs; };
    const int64_t first = first_of(p), last = first_of(p + 1);
    std::vector<int> ghosts, verts;
    for (int64_t i = first; i < last; ++i)
        for (int v : mesh.tets[size_t(i)]) {
            if (stamp_vertex[size_t(v)] == p) continue;  // its leaves were seen
            stamp_vertex[size_t(v)] = p;
            verts.push_back(v);
            for (int k = around.start[size_t(v)]; k < around.start[size_t(v) + 1]; ++k) {
                const int j = around.around[size_t(k)];
                if ((j < first || j >= last) && stamp_leaf[size_t(j)] != p) {
                    stamp_leaf[size_t(j)] = p;
                    ghosts.push_back(j);
                }
            }
        }
    std::sort(ghosts.begin(), ghosts.end());
    for (int j : ghosts)
        for (int v : mesh.tets[size_t(j)])
            if (stamp_vertex[size_t(v)] != p) {
                stamp_vertex[size_t(v)] = p;
                verts.push_back(v);
            }
    LeafMessage m;
    begin_message(m, size_t(last - first), ghosts.size(), verts.size());
    for (size_t k = 0; k < verts.size(); ++k) {
        add_vertex(m, verts[k], mesh.points[size_t(verts[k])]);
        slot[size_t(verts[k])] = int(k);
    }
    auto add = [&](int64_t i) {
        const auto& t = mesh.tets[size_t(i)];
        add_leaf(m, i, owner_of(i),
                 {slot[size_t(t[0])], slot[size_t(t[1])], slot[size_t(t[2])], slot[size_t(t[3])]},
                 codes[size_t(i)], mesh.tet_labels.empty() ? 0 : mesh.tet_labels[size_t(i)]);
    };
    for (int64_t i = first; i < last; ++i) add(i);
    for (int j : ghosts) add(j);
    return m;
}

// Label sets as one list of numbers (count, then each set's size and labels) and back.
std::vector<int> flat_label_sets(const std::vector<std::vector<int>>& sets) {
    std::vector<int> out{int(sets.size())};
    for (const auto& s : sets) {
        out.push_back(int(s.size()));
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}
std::vector<std::vector<int>> label_sets_of(const std::vector<int>& flat) {
    std::vector<std::vector<int>> sets(size_t(flat.at(0)));
    size_t at = 1;
    for (auto& s : sets) {
        const size_t k = size_t(flat.at(at++));
        s.assign(flat.begin() + std::ptrdiff_t(at), flat.begin() + std::ptrdiff_t(at + k));
        at += k;
    }
    return sets;
}

}  // namespace

void assign_dealt_out(GridImpl& fresh, MeshData&& mesh, const std::string& source) {
    const int np = fresh.nprocs, rank = fresh.rank;
    std::vector<std::array<int, 4>> codes;
    std::vector<int> sets;
    // Checked and labelled on process 0; the others learn whether it failed.
    collective(fresh.comm, [&] {
        if (rank != 0) return;
        validate(mesh, source);
        drop_unused_points(mesh);
        codes = face_codes_of(mesh.points.size(), mesh.tets, mesh.triangles, mesh.triangle_labels,
                              fresh);
        sets = flat_label_sets(fresh.label_sets);
    });
    broadcast(fresh.comm, 0, sets);
    fresh.label_sets = label_sets_of(sets);
    // One message at a time, so that process 0 holds one beside the mesh; its own comes last.
    LeafMessage own;
    {
        LeavesAround around;
        std::vector<int> stamp_leaf, stamp_vertex, slot;
        if (rank == 0) {
            around = leaves_around(int(mesh.points.size()), int(mesh.tets.size()),
                                   [&](int i) { return mesh.tets[size_t(i)]; });
            stamp_leaf.assign(mesh.tets.size(), -1);
            stamp_vertex.assign(mesh.points.size(), -1);
            slot.assign(mesh.points.size(), -1);
        }
        for (int p = 1; p < np; ++p) {
            LeafMessage m;
            if (rank == 0)
                m = message_for(p, np, mesh, around, codes, stamp_leaf, stamp_vertex, slot);
            std::vector<std::vector<int64_t>> words(static_cast<size_t>(np));
            std::vector<std::vector<double>> xyz(static_cast<size_t>(np));
            words[size_t(p)].swap(m.words);
            xyz[size_t(p)].swap(m.xyz);
            std::vector<std::vector<int64_t>> in_words = all_to_all(fresh.comm, words);
            std::vector<std::vector<double>> in_xyz = all_to_all(fresh.comm, xyz);
            if (rank == p) {
                own.words.swap(in_words[0]);
                own.xyz.swap(in_xyz[0]);
            }
        }
        if (rank == 0)
            own = message_for(0, np, mesh, around, codes, stamp_leaf, stamp_vertex, slot);
    }
    mesh = MeshData{};
    std::vector<std::array<int, 4>>().swap(codes);
    std::vector<std::vector<int64_t>> words(static_cast<size_t>(np));
    std::vector<std::vector<double>> xyz(static_cast<size_t>(np));
    words[0].swap(own.words);
    xyz[0].swap(own.xyz);
    std::vector<LeafOrigin> origins;
    HeldLeaves held = unpack_leaves(words, xyz, origins, "import");
    std::vector<std::vector<int64_t>>().swap(words);
    std::vector<std::vector<double>>().swap(xyz);
    assemble_part(fresh, std::move(held));
}

}  // namespace mosk
