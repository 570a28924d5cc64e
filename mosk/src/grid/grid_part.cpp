// A distributed grid's storage: cutting this process's part out of a whole grid (at a balance),
// and gathering the whole grid back from the parts. The gather is a stop-gap for the calls that
// do not yet work on parts alone (refinement, and balance of a distributed grid): it holds the
// whole grid on every process for the length of that call.
#include <algorithm>
#include <array>
#include <string>

#include "core/check.h"
#include "core/parallel.h"
#include "grid/grid_impl.h"
#include "grid/local_part.h"

namespace mosk {
namespace {

// What a process sends of each owned leaf when the whole grid is gathered.
constexpr int kLeafInts = 10;  // whole leaf number, 4 whole vertex numbers, 4 face codes, label

}  // namespace

void GridImpl::cut_part_of(const GridImpl& whole) {
    LocalPart lp = local_part(whole);
    const size_t n = lp.leaves.size(), nv = lp.vertex.size();
    // Vertices in the order of their whole-grid numbers (see GridPart::vertex_position).
    std::vector<int> position(nv), stored_at(nv);
    for (size_t s = 0; s < nv; ++s) position[s] = int(s);
    std::sort(position.begin(), position.end(),
              [&](int a, int b) { return lp.vertex[size_t(a)] < lp.vertex[size_t(b)]; });
    coords_.resize(nv);
    part.whole_vertex.resize(nv);
    for (size_t s = 0; s < nv; ++s) {
        const int whole_number = lp.vertex[size_t(position[s])];
        stored_at[size_t(position[s])] = int(s);
        coords_[s] = whole.vertex(whole_number);
        part.whole_vertex[s] = whole_number;
    }
    label_sets = whole.label_sets;
    root_label.assign(n, 0);
    leaves_.resize(n);
    edge_verts.assign(size_t(lp.edges.map.size()), {-1, -1});
    face_verts.assign(size_t(lp.faces.map.size()), {-1, -1, -1});
    face_label.assign(size_t(lp.faces.map.size()), 0);
    for (size_t i = 0; i < n; ++i) {
        const ELEMENT_& w = whole.leaf(lp.leaves[i]);
        ELEMENT_ e{};
        for (size_t k = 0; k < 4; ++k)
            e.verts[k] = stored_at[size_t(lp.vertices.of_leaf[4 * i + k])];
        for (size_t k = 0; k < 6; ++k) {
            e.edges[k] = lp.edges.of_leaf[6 * i + k];
            std::array<int, 2> ends = {e.verts[kEdgeVerts[k][0]], e.verts[kEdgeVerts[k][1]]};
            std::sort(ends.begin(), ends.end());
            edge_verts[size_t(e.edges[k])] = ends;
        }
        for (size_t k = 0; k < 4; ++k) {
            e.faces[k] = lp.faces.of_leaf[4 * i + k];
            std::array<int, 3> corners = {e.verts[kFaceVerts[k][0]], e.verts[kFaceVerts[k][1]],
                                          e.verts[kFaceVerts[k][2]]};
            std::sort(corners.begin(), corners.end());
            face_verts[size_t(e.faces[k])] = corners;
            // The whole grid's code: a face of a ghost leaf that no other leaf of the part
            // touches is no boundary face for being alone here.
            e.label[k] = w.label[k];
            face_label[size_t(e.faces[k])] = w.label[k];
        }
        e.index = int(i);
        e.record = int(i);
        e.owner = w.owner;
        root_label[i] = whole.element_label(w);
        elements_.push_back(e);
        tree_.push_back(TreeLinks{});
        leaves_[i] = int(i);
    }
    part.active = true;
    part.owned_leaves = lp.owned;
    part.elements = std::move(lp.elements);
    part.vertices = std::move(lp.vertices.map);
    part.edges = std::move(lp.edges.map);
    part.faces = std::move(lp.faces.map);
    part.whole_leaf = std::move(lp.leaves);
    part.vertex_position = std::move(position);
    part.boundary_labels = whole.boundary_labels();
}

std::vector<int> GridImpl::gather_whole_of(const GridImpl& pg) {
    const int owned = pg.part.owned_leaves;
    std::vector<int> leaf_ints;
    leaf_ints.reserve(size_t(owned) * kLeafInts);
    for (int i = 0; i < owned; ++i) {
        const ELEMENT_& e = pg.leaf(i);
        leaf_ints.push_back(pg.part.whole_leaf[size_t(i)]);
        for (int v : e.verts) leaf_ints.push_back(pg.part.whole_vertex[size_t(v)]);
        for (int code : e.label) leaf_ints.push_back(code);
        leaf_ints.push_back(pg.element_label(e));
    }
    const int owned_vertices = pg.part.vertices.num_owned();
    std::vector<int> vertex_ids;
    std::vector<double> xyz;
    for (int v = 0; v < pg.num_vertices(); ++v) {
        if (pg.part.vertex_position[size_t(v)] >= owned_vertices) continue;
        vertex_ids.push_back(pg.part.whole_vertex[size_t(v)]);
        for (int c = 0; c < 3; ++c) xyz.push_back(pg.vertex(v)[size_t(c)]);
    }

    std::vector<int> leaf_counts;
    std::vector<int> all_leaves = gather_all(pg.comm, leaf_ints, &leaf_counts);
    std::vector<int> all_ids = gather_all(pg.comm, vertex_ids);
    std::vector<double> all_xyz = gather_all(pg.comm, xyz);
    std::vector<int>().swap(leaf_ints);
    std::vector<double>().swap(xyz);

    const size_t nv = all_ids.size(), n = all_leaves.size() / kLeafInts;
    coords_.assign(nv, Point{0, 0, 0});
    std::vector<char> seen(nv, 0);
    for (size_t k = 0; k < nv; ++k) {
        const int v = all_ids[k];
        if (v < 0 || size_t(v) >= nv || seen[size_t(v)])
            fail<std::logic_error>("gather grid", "the parts' vertex numbers do not fit together");
        seen[size_t(v)] = 1;
        coords_[size_t(v)] = {all_xyz[3 * k], all_xyz[3 * k + 1], all_xyz[3 * k + 2]};
    }
    std::vector<int> received(n, -1);
    std::vector<int> owner_of(n, 0);
    {
        size_t at = 0;
        for (size_t p = 0; p < leaf_counts.size(); ++p)
            for (int j = 0; j < leaf_counts[p] / kLeafInts; ++j) owner_of[at++] = int(p);
    }
    for (size_t r = 0; r < n; ++r) {
        const int key = all_leaves[r * kLeafInts];
        if (key < 0 || size_t(key) >= n || received[size_t(key)] >= 0)
            fail<std::logic_error>("gather grid", "the parts' leaf numbers do not fit together");
        received[size_t(key)] = int(r);
    }
    label_sets = pg.label_sets;
    root_label.assign(n, 0);
    leaves_.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const int* d = all_leaves.data() + size_t(received[i]) * kLeafInts;
        ELEMENT_ e{};
        for (int k = 0; k < 4; ++k) {
            e.verts[k] = d[1 + k];
            if (e.verts[k] < 0 || size_t(e.verts[k]) >= nv)
                fail<std::logic_error>("gather grid", "a leaf names a vertex no part holds");
            e.label[k] = d[5 + k];
        }
        e.record = int(i);
        e.owner = owner_of[size_t(received[i])];
        root_label[i] = d[9];
        elements_.push_back(e);
        tree_.push_back(TreeLinks{});
        leaves_[i] = int(i);
    }
    // The gathered arrays go before the numbering adds its own.
    std::vector<int>().swap(all_leaves);
    std::vector<int>().swap(all_ids);
    std::vector<double>().swap(all_xyz);
    number_leaf_mesh();
    return received;
}

void GridImpl::take_contents(GridImpl& fresh) {
    swap_contents(fresh);
    renew_store_id();
    ++numbering_generation;
    ++partition_generation;
    update_record();
}

}  // namespace mosk
