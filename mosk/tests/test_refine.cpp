// Refinement: conformity, geometry, labels, the refinement tree and the leaf numbering after
// every level, checked against facts computed here from the leaf records alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "grid/grid_impl.h"
#include "grid/refine_midpoints.h"
#include "mosk.h"
#include "mosk_errors.h"

namespace mosk {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Copies of the grid's leaf list and coordinates, to compare before and after a call.
std::vector<int> leaves_of(const GridImpl& g) {
    return {g.leaf_records().begin(), g.leaf_records().end()};
}
std::vector<Point> coords_of(const GridImpl& g) {
    return {g.vertices().begin(), g.vertices().end()};
}

// A structured box [0,1]^3 of n^3 cells, 6 tetrahedra per cell (around the cell diagonal),
// interior vertices moved by up to `jitter` cell sizes. Sides are labelled x=0:1, x=1:2,
// y=0:3, y=1:4, z=0:5, z=1:6; a side numbered `unlabelled_side` gets no triangles.
MeshData make_box(int n, double jitter = 0, int unlabelled_side = 0) {
    MeshData m;
    const int p = n + 1;
    const double h = 1.0 / n;
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> u(-1, 1);
    for (int k = 0; k < p; ++k)
        for (int j = 0; j < p; ++j)
            for (int i = 0; i < p; ++i) {
                Point x = {i * h, j * h, k * h};
                const int c[3] = {i, j, k};
                for (int d = 0; d < 3; ++d)
                    if (c[d] > 0 && c[d] < n) x[d] += jitter * h * u(rng);
                m.points.push_back(x);
            }
    auto id = [&](int i, int j, int k) { return i + p * (j + p * k); };
    const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (int k = 0; k < n; ++k)
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i)
                for (const auto& pm : perms) {
                    int c[3] = {i, j, k};
                    std::array<int, 4> t;
                    t[0] = id(c[0], c[1], c[2]);
                    for (int s = 0; s < 3; ++s) {
                        ++c[pm[s]];
                        t[s + 1] = id(c[0], c[1], c[2]);
                    }
                    if (signed_volume(m.points[t[0]], m.points[t[1]], m.points[t[2]],
                                      m.points[t[3]]) < 0)
                        std::swap(t[2], t[3]);
                    m.tets.push_back(t);
                }
    for (const auto& t : m.tets)
        for (const auto& fv : kFaceVerts) {
            const int a = t[fv[0]], b = t[fv[1]], c = t[fv[2]];
            for (int side = 1; side <= 6; ++side) {
                const int d = (side - 1) / 2;
                const double plane = (side % 2) ? 0.0 : 1.0;
                if (m.points[a][d] == plane && m.points[b][d] == plane && m.points[c][d] == plane &&
                    side != unlabelled_side) {
                    m.triangles.push_back({a, b, c});
                    m.triangle_labels.push_back(side);
                }
            }
        }
    return m;
}

double tri_area(const Point& a, const Point& b, const Point& c) {
    const double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const double x = u[1] * v[2] - u[2] * v[1], y = u[2] * v[0] - u[0] * v[2],
                 z = u[0] * v[1] - u[1] * v[0];
    return 0.5 * std::sqrt(x * x + y * y + z * z);
}

// Smallest dihedral angle (degrees) of the leaves: at edge (i, j) the angle between the faces
// opposite the two other vertices k and l is pi minus the angle of their inward normals.
double min_dihedral(const GridImpl& g) {
    double best = 180;
    for (size_t e = 0; e < size_t(g.num_leaves()); ++e) {
        const ELEMENT_& t = g.leaf(int(e));
        Point nrm[4];
        for (int f = 0; f < 4; ++f) {
            const Point& p = g.vertex(t.verts[kFaceVerts[f][0]]);
            const Point& q = g.vertex(t.verts[kFaceVerts[f][1]]);
            const Point& r = g.vertex(t.verts[kFaceVerts[f][2]]);
            const Point& o = g.vertex(t.verts[f]);
            const double u[3] = {q[0] - p[0], q[1] - p[1], q[2] - p[2]};
            const double v[3] = {r[0] - p[0], r[1] - p[1], r[2] - p[2]};
            Point n = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                       u[0] * v[1] - u[1] * v[0]};
            const double side = n[0] * (o[0] - p[0]) + n[1] * (o[1] - p[1]) + n[2] * (o[2] - p[2]);
            const double len =
                std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]) * (side < 0 ? -1 : 1);
            for (double& x : n) x /= len;
            nrm[f] = n;
        }
        for (int k = 0; k < 4; ++k)
            for (int l = k + 1; l < 4; ++l) {
                const double c =
                    nrm[k][0] * nrm[l][0] + nrm[k][1] * nrm[l][1] + nrm[k][2] * nrm[l][2];
                best = std::min(best, 180 - std::acos(std::clamp(c, -1.0, 1.0)) * 180 / kPi);
            }
    }
    return best;
}

std::map<int, double> boundary_area_by_label(const MeshData& m, int unlabelled_label) {
    std::map<int, double> area;
    // Boundary faces of the box: faces of one tetrahedron only.
    std::map<std::array<int, 3>, int> count;
    for (const auto& t : m.tets)
        for (const auto& fv : kFaceVerts) {
            std::array<int, 3> key = {t[fv[0]], t[fv[1]], t[fv[2]]};
            std::sort(key.begin(), key.end());
            ++count[key];
        }
    std::map<std::array<int, 3>, int> label;
    for (size_t k = 0; k < m.triangles.size(); ++k) {
        auto key = m.triangles[k];
        std::sort(key.begin(), key.end());
        label[key] = m.triangle_labels[k];
    }
    for (const auto& [key, c] : count)
        if (c == 1) {
            auto it = label.find(key);
            area[it == label.end() ? unlabelled_label : it->second] +=
                tri_area(m.points[key[0]], m.points[key[1]], m.points[key[2]]);
        }
    return area;
}

struct Snapshot {
    std::vector<int> leaves;
    std::vector<ELEMENT_> leaf_records;
};

Snapshot snapshot(const GridImpl& g) {
    Snapshot s{leaves_of(g), {}};
    for (int r : leaves_of(g)) s.leaf_records.push_back(g.element_record(r));
    return s;
}

// Everything a refined grid must satisfy; `area` is the boundary area per label of the imported
// mesh, `volume` its volume.
void check_grid(const GridImpl& g, const std::map<int, double>& area, double volume) {
    const int n = g.num_leaves();
    ASSERT_GT(n, 0);
    double vol = 0;
    std::map<std::array<int, 3>, std::vector<std::pair<int, int>>> faces;  // key -> (leaf, face)
    std::set<int> used;
    for (int i = 0; i < n; ++i) {
        const ELEMENT_& e = g.leaf(i);
        ASSERT_EQ(e.index, i);
        ASSERT_EQ(g.tree(e.record).child, -1);
        const double v = signed_volume(g.vertex(e.verts[0]), g.vertex(e.verts[1]),
                                       g.vertex(e.verts[2]), g.vertex(e.verts[3]));
        ASSERT_GT(v, 0) << "leaf " << i << " is not positively oriented";
        vol += v;
        for (int k = 0; k < 6; ++k) {
            const int a = e.verts[kEdgeVerts[k][0]], b = e.verts[kEdgeVerts[k][1]];
            ASSERT_GE(e.edges[k], 0);
            ASSERT_LT(e.edges[k], int(g.edge_verts.size()));
            const std::array<int, 2> key = {std::min(a, b), std::max(a, b)};
            ASSERT_EQ(g.edge_verts[e.edges[k]], key);
        }
        for (int f = 0; f < 4; ++f) {
            std::array<int, 3> key = {e.verts[kFaceVerts[f][0]], e.verts[kFaceVerts[f][1]],
                                      e.verts[kFaceVerts[f][2]]};
            std::sort(key.begin(), key.end());
            faces[key].push_back({i, f});
            ASSERT_GE(e.faces[f], 0);
            ASSERT_LT(e.faces[f], int(g.face_verts.size()));
            ASSERT_EQ(g.face_verts[e.faces[f]], key);
            ASSERT_EQ(g.face_label[e.faces[f]], e.label[f]);
        }
        for (int v : e.verts) used.insert(v);
    }
    EXPECT_NEAR(vol, volume, 1e-12 * volume);
    EXPECT_EQ(used.size(), size_t(g.num_vertices())) << "every vertex belongs to a leaf";
    EXPECT_EQ(faces.size(), g.face_verts.size());
    // Numbers follow the sorted vertex keys, each key once.
    EXPECT_EQ(std::adjacent_find(g.edge_verts.begin(), g.edge_verts.end(), std::greater_equal<>()),
              g.edge_verts.end());
    EXPECT_EQ(std::adjacent_find(g.face_verts.begin(), g.face_verts.end(), std::greater_equal<>()),
              g.face_verts.end());

    std::map<int, double> bnd;
    for (const auto& [key, owners] : faces) {
        ASSERT_LE(owners.size(), 2u) << "a face is shared by more than two leaves";
        const ELEMENT_& e = g.leaf(owners[0].first);
        const int label = e.label[owners[0].second];
        if (owners.size() == 2) {
            ASSERT_EQ(label, 0) << "an interior face carries a boundary label";
        } else {
            ASSERT_GT(label, 0) << "a boundary face carries no label set";
            ASSERT_EQ(g.labels_of(label).size(), 1u);
            bnd[g.labels_of(label)[0]] +=
                tri_area(g.vertex(key[0]), g.vertex(key[1]), g.vertex(key[2]));
        }
    }
    // A hanging vertex would leave faces of one leaf inside the box: extra boundary area.
    ASSERT_EQ(bnd.size(), area.size());
    for (const auto& [label, a] : area) EXPECT_NEAR(bnd[label], a, 1e-12) << "label " << label;

    // No vertex at the midpoint of a leaf edge (midpoints are computed as 0.5 (a + b)).
    std::set<Point> points(g.vertices().begin(), g.vertices().end());
    for (const auto& ev : g.edge_verts) {
        const Point &a = g.vertex(ev[0]), &b = g.vertex(ev[1]);
        const Point m = {0.5 * (a[0] + b[0]), 0.5 * (a[1] + b[1]), 0.5 * (a[2] + b[2])};
        ASSERT_EQ(points.count(m), 0u) << "hanging vertex on edge " << ev[0] << "-" << ev[1];
    }
}

// The refinement tree: every record is either a leaf or has two valid children that split it.
void check_tree(const GridImpl& g) {
    size_t childless = 0;
    for (size_t r = 0; r < g.num_records(); ++r) {
        const ELEMENT_& e = g.element_record(int(r));
        const TreeLinks& t = g.tree(int(r));
        ASSERT_EQ(e.record, int(r));
        ASSERT_EQ(g.is_leaf_record(int(r)), t.child < 0);
        if (t.child < 0) {
            ++childless;
            continue;
        }
        double vol[2];
        for (int s = 0; s < 2; ++s) {
            ASSERT_LT(size_t(t.child + s), g.num_records());
            const ELEMENT_& c = g.element_record(t.child + s);
            ASSERT_EQ(g.tree(t.child + s).parent, int(r));
            ASSERT_EQ(g.tree(t.child + s).level, t.level + 1);
            vol[s] = signed_volume(g.vertex(c.verts[0]), g.vertex(c.verts[1]), g.vertex(c.verts[2]),
                                   g.vertex(c.verts[3]));
        }
        const double pv = signed_volume(g.vertex(e.verts[0]), g.vertex(e.verts[1]),
                                        g.vertex(e.verts[2]), g.vertex(e.verts[3]));
        ASSERT_NEAR(vol[0], 0.5 * pv, 1e-12 * pv);
        ASSERT_NEAR(vol[1], 0.5 * pv, 1e-12 * pv);
    }
    EXPECT_EQ(childless, size_t(g.num_leaves())) << "every childless record is a leaf";
}

// The leaves after refinement are the old leaves with each replaced by its leaf descendants,
// child 0 first; and the old leaves keep their last numbering.
void check_order(const GridImpl& g, const Snapshot& before) {
    std::vector<int> expect;
    for (int root : before.leaves) {
        std::vector<int> stack = {root};
        while (!stack.empty()) {
            const int r = stack.back();
            const TreeLinks& t = g.tree(r);
            stack.pop_back();
            if (t.child < 0) {
                expect.push_back(g.element_record(r).record);
            } else {
                stack.push_back(t.child + 1);
                stack.push_back(t.child);
            }
        }
    }
    EXPECT_EQ(leaves_of(g), expect);
    for (size_t i = 0; i < before.leaves.size(); ++i) {
        const ELEMENT_& now = g.element_record(before.leaves[i]);
        const ELEMENT_& was = before.leaf_records[i];
        ASSERT_EQ(now.index, was.index);
        for (int k = 0; k < 6; ++k) ASSERT_EQ(now.edges[k], was.edges[k]);
        for (int k = 0; k < 4; ++k) ASSERT_EQ(now.faces[k], was.faces[k]);
        for (int k = 0; k < 4; ++k) ASSERT_EQ(now.verts[k], was.verts[k]);
    }
}

void refine_and_check(MeshData mesh, int levels) {
    const auto area = boundary_area_by_label(mesh, kUnlabelledBoundary);
    GridImpl g(nullptr, -1);
    g.assign(std::move(mesh), "box");
    double volume = 0;
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        volume += signed_volume(g.vertex(e.verts[0]), g.vertex(e.verts[1]), g.vertex(e.verts[2]),
                                g.vertex(e.verts[3]));
    }
    check_grid(g, area, volume);
    for (int level = 1; level <= levels; ++level) {
        SCOPED_TRACE("level " + std::to_string(level));
        const Snapshot before = snapshot(g);
        const size_t nvert = size_t(g.num_vertices());
        const std::vector<Point> old_coords = coords_of(g);
        refine_all(g, 1);
        ASSERT_GE(size_t(g.num_leaves()), 2 * before.leaves.size());
        ASSERT_GT(size_t(g.num_vertices()), nvert);
        for (size_t v = 0; v < nvert; ++v) ASSERT_EQ(g.vertex(int(v)), old_coords[v]);
        check_grid(g, area, volume);
        check_tree(g);
        check_order(g, before);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

TEST(Refine, CubeOfSixConformsOverEightLevels) { refine_and_check(make_box(1), 8); }

TEST(Refine, StructuredBoxConformsOverFourLevels) { refine_and_check(make_box(3), 4); }

TEST(Refine, JitteredBoxConformsOverFourLevels) { refine_and_check(make_box(3, 0.15), 4); }

TEST(Refine, UnlabelledBoundaryStaysUnlabelled) {
    // Side 6 has no triangles: its faces are kUnlabelledBoundary and stay so in the children.
    MeshData mesh = make_box(2, 0.1, 6);
    ASSERT_EQ(boundary_area_by_label(mesh, kUnlabelledBoundary).count(kUnlabelledBoundary), 1u);
    refine_and_check(std::move(mesh), 3);
}

TEST(Refine, SeveralLevelsInOneCallMatchLevelByLevel) {
    // One call numbers the leaf mesh once, at the end; the result must be the same grid.
    MeshData mesh = make_box(2, 0.1);
    const auto area = boundary_area_by_label(mesh, kUnlabelledBoundary);
    GridImpl a(nullptr, -1), b(nullptr, -1);
    a.assign(MeshData(mesh), "a");
    b.assign(std::move(mesh), "b");
    const Snapshot before = snapshot(a);
    refine_all(a, 3);
    for (int i = 0; i < 3; ++i) refine_all(b, 1);
    ASSERT_EQ(leaves_of(a), leaves_of(b));
    ASSERT_EQ(coords_of(a), coords_of(b));
    EXPECT_EQ(a.edge_verts, b.edge_verts);
    EXPECT_EQ(a.face_verts, b.face_verts);
    EXPECT_EQ(a.face_label, b.face_label);
    for (size_t i = 0; i < size_t(a.num_leaves()); ++i) {
        const ELEMENT_ &x = a.leaf(int(i)), &y = b.leaf(int(i));
        for (int k = 0; k < 4; ++k) ASSERT_EQ(x.verts[k], y.verts[k]);
        for (int k = 0; k < 6; ++k) ASSERT_EQ(x.edges[k], y.edges[k]);
        for (int k = 0; k < 4; ++k) ASSERT_EQ(x.faces[k], y.faces[k]);
        for (int k = 0; k < 4; ++k) ASSERT_EQ(x.label[k], y.label[k]);
    }
    check_grid(a, area, 1.0);
    check_tree(a);
    check_order(a, before);
}

// The leaves as sets of corner coordinates: what refinement made, whatever the numbering.
std::set<std::array<Point, 4>> leaf_geometry(const GridImpl& g) {
    std::set<std::array<Point, 4>> out;
    for (int i = 0; i < g.num_leaves(); ++i) {
        std::array<Point, 4> t;
        for (int k = 0; k < 4; ++k) t[k] = g.vertex(g.leaf(i).verts[k]);
        std::sort(t.begin(), t.end());
        out.insert(t);
    }
    return out;
}

// The unit cube as five tetrahedra: a regular one in the middle and four corners, so that most
// elements have several longest edges.
MeshData five_tet_cube() {
    MeshData m;
    for (int v = 0; v < 8; ++v)
        m.points.push_back({double(v & 1), double(v >> 1 & 1), double(v >> 2)});
    m.tets = {{1, 2, 4, 7}, {0, 1, 2, 4}, {3, 1, 2, 7}, {5, 1, 4, 7}, {6, 2, 4, 7}};
    for (auto& t : m.tets)
        if (signed_volume(m.points[t[0]], m.points[t[1]], m.points[t[2]], m.points[t[3]]) < 0)
            std::swap(t[2], t[3]);
    return m;
}

TEST(Refine, LeavesDoNotDependOnTheVertexNumbering) {
    // The choice among edges of equal length must follow the coordinates alone, or two processes
    // numbering a shared element's vertices differently would bisect it differently.
    MeshData mesh = five_tet_cube(), shuffled = mesh;
    std::vector<int> to(mesh.points.size());
    for (size_t v = 0; v < to.size(); ++v) to[v] = int(to.size() - 1 - v);
    std::shuffle(to.begin(), to.end(), std::mt19937(7));
    for (size_t v = 0; v < to.size(); ++v) shuffled.points[size_t(to[v])] = mesh.points[v];
    for (auto& t : shuffled.tets) {
        for (int& v : t) v = to[size_t(v)];
        std::rotate(t.begin(), t.begin() + 1, t.end() - 1);  // another local order, same volume
    }
    GridImpl a(nullptr, -1), b(nullptr, -1);
    a.assign(std::move(mesh), "a");
    b.assign(std::move(shuffled), "b");
    refine_all(a, 6);
    refine_all(b, 6);
    ASSERT_EQ(a.num_leaves(), b.num_leaves());
    EXPECT_EQ(leaf_geometry(a), leaf_geometry(b));
}

TEST(Refine, MinimumDihedralAngleDoesNotCollapse) {
    for (double jitter : {0.0, 0.15}) {
        GridImpl g(nullptr, -1);
        g.assign(make_box(1 + (jitter > 0) * 2, jitter), "box");
        const double initial = min_dihedral(g);
        double worst = initial;
        std::printf("[ dihedral ] jitter %.2f: level 0: %7.3f deg, %zu elements\n", jitter, initial,
                    size_t(g.num_leaves()));
        const int levels = jitter > 0 ? 7 : 10;
        for (int level = 1; level <= levels; ++level) {
            refine_all(g, 1);
            const double a = min_dihedral(g);
            worst = std::min(worst, a);
            std::printf("[ dihedral ] jitter %.2f: level %d: %7.3f deg, %zu elements\n", jitter,
                        level, a, size_t(g.num_leaves()));
        }
        EXPECT_GT(worst, 0.3 * initial);
    }
}

TEST(Refine, ZeroOrNegativeLevelsChangeNothing) {
    GridImpl g(nullptr, -1);
    g.assign(make_box(2), "box");
    refine_all(g, 1);
    const auto leaves = leaves_of(g);
    const auto coords = coords_of(g);
    const auto edges = g.edge_verts;
    const size_t records = g.num_records();
    for (int levels : {0, -1, -1000}) {
        refine_all(g, levels);
        EXPECT_EQ(leaves_of(g), leaves);
        EXPECT_EQ(coords_of(g), coords);
        EXPECT_EQ(g.edge_verts, edges);
        EXPECT_EQ(g.num_records(), records);
    }
    // More levels than 32-bit element numbers allow are refused before any work.
    for (int levels : {26, 31, 1000}) {
        EXPECT_THROW(refine_all(g, levels), std::invalid_argument) << levels;
        EXPECT_EQ(leaves_of(g), leaves);
        EXPECT_EQ(coords_of(g), coords);
        EXPECT_EQ(g.num_records(), records);
    }
    GridImpl empty(nullptr, -1);
    refine_all(empty, 3);
    EXPECT_EQ(empty.num_leaves(), 0);
    EXPECT_EQ(empty.num_records(), 0u);
}

TEST(Refine, PublicRecordAndStaleElementsAfterRefinement) {
    GRID_* grid = moskNewGrid(-1);
    GridImpl& g = impl_of(grid);
    g.assign(make_box(1), "cube");
    const uint64_t id = grid->store_id;
    int cursor = 0;
    ELEMENT_* first = _mosk_step_element(grid, &cursor, 1);
    ASSERT_NE(first, nullptr);
    const int first_record = first->record;
    EXPECT_EQ(moskElementIsCurrent(id, first_record, first), 1);

    moskRefineAllElements(grid, 2);
    EXPECT_EQ(grid->store_id, id) << "refinement keeps the store";
    EXPECT_EQ(grid->nelem, g.num_leaves());
    EXPECT_EQ(grid->nelem_global, g.num_leaves());
    EXPECT_EQ(grid->nvert_global, g.num_vertices());
    EXPECT_EQ(grid->nedge_global, int(g.edge_verts.size()));
    EXPECT_EQ(grid->nface_global, int(g.face_verts.size()));
    EXPECT_GE(grid->nelem, 24);
    // The old pointer still points at its record, which is now an inner node.
    EXPECT_EQ(moskElementIsCurrent(id, first_record, first), 0);
    EXPECT_GE(g.tree(first_record).child, 0);
    cursor = 0;
    ELEMENT_* now = _mosk_step_element(grid, &cursor, 1);
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(moskElementIsCurrent(id, now->record, now), 1);
    moskRefineAllElements(grid, 0);
    EXPECT_EQ(grid->nelem, g.num_leaves());
    moskFreeGrid(&grid);
    EXPECT_EQ(grid, nullptr);
}

TEST(LeafNumbering, FaceOfThreeElementsIsRejectedAndGridKept) {
    GridImpl g(nullptr, -1);
    g.assign(make_box(1), "cube");
    const auto leaves = leaves_of(g);
    const auto edges = g.edge_verts;
    MeshData bad;
    bad.points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.2, 0.2, -1}, {0.3, 0.3, 2}};
    bad.tets = {{0, 1, 2, 3}, {0, 2, 1, 4}, {0, 1, 2, 5}};  // all three hold face 0 1 2
    try {
        g.assign(std::move(bad), "bad");
        FAIL() << "a face of three elements was accepted";
    } catch (const FormatError& e) {
        EXPECT_NE(std::string(e.what()).find("more than two"), std::string::npos) << e.what();
    }
    EXPECT_EQ(leaves_of(g), leaves);
    EXPECT_EQ(g.edge_verts, edges);
}

// Several edges per low vertex (the list past its first entry), low vertices past the table's
// initial size, both vertex orders, and edges that share a vertex with a stored one but are not
// stored.
TEST(RefineMidpoints, FindsEveryStoredEdgeAndNoOther) {
    RefineMidpoints mids(8, 4);
    std::map<std::pair<int, int>, int> stored;
    std::mt19937 rng(7);
    for (int m = 1000; stored.size() < 400; ++m) {
        const int a = int(rng() % 60), b = int(rng() % 60);
        if (a == b || stored.count({std::min(a, b), std::max(a, b)})) continue;
        mids.insert(a, b, m);
        stored[{std::min(a, b), std::max(a, b)}] = m;
    }
    EXPECT_EQ(mids.size(), stored.size());
    for (int a = 0; a < 70; ++a)
        for (int b = a + 1; b < 70; ++b) {
            const auto it = stored.find({a, b});
            const int want = it == stored.end() ? -1 : it->second;
            ASSERT_EQ(mids.find(a, b), want) << a << " " << b;
            ASSERT_EQ(mids.find(b, a), want) << b << " " << a;
        }
}

}  // namespace
}  // namespace mosk
