// A distributed grid's storage: cutting this process's part out of a whole grid (at a balance),
// and gathering the whole grid back from the parts (which refinement and balance no longer do:
// the tests put parts back together with it).
#include <algorithm>
#include <array>
#include <string>

#include "core/check.h"
#include "core/parallel.h"
#include "grid/grid_impl.h"
#include "grid/part_assembly.h"

namespace mosk {
namespace {

// What a process sends of each owned leaf when the whole grid is gathered.
constexpr int kLeafInts = 10;  // whole leaf number, 4 whole vertex numbers, 4 face codes, label

}  // namespace

std::vector<int> GridImpl::cut_part_of(const GridImpl& whole) {
    // The owned leaves, then every other leaf that shares a vertex with one of them.
    std::vector<int> chosen;
    std::vector<int> held_at(size_t(whole.num_vertices()), -1);
    HeldLeaves h;
    for (int i = 0; i < whole.num_leaves(); ++i)
        if (whole.leaf(i).owner == rank) chosen.push_back(i);
    h.owned = int(chosen.size());
    for (int i : chosen)
        for (int v : whole.leaf(i).verts) held_at[size_t(v)] = 0;
    for (int i = 0; i < whole.num_leaves(); ++i) {
        const ELEMENT_& e = whole.leaf(i);
        if (e.owner == rank) continue;
        if (held_at[size_t(e.verts[0])] == 0 || held_at[size_t(e.verts[1])] == 0 ||
            held_at[size_t(e.verts[2])] == 0 || held_at[size_t(e.verts[3])] == 0)
            chosen.push_back(i);
    }
    std::fill(held_at.begin(), held_at.end(), -1);
    for (int i : chosen) {
        const ELEMENT_& e = whole.leaf(i);
        h.key.push_back(i);
        h.owner.push_back(e.owner);
        std::array<int, 4> verts{}, codes{};
        for (size_t k = 0; k < 4; ++k) {
            int& at = held_at[size_t(e.verts[k])];
            if (at < 0) {
                at = int(h.coords.size());
                h.coords.push_back(whole.vertex(e.verts[k]));
            }
            verts[k] = at;
            codes[k] = e.label[k];
        }
        h.verts.push_back(verts);
        h.face_codes.push_back(codes);
        h.label.push_back(whole.element_label(e));
    }
    label_sets = whole.label_sets;
    assemble_part(*this, std::move(h));
    return chosen;
}

std::vector<int> GridImpl::gather_whole_of(const GridImpl& pg) {
    const int owned = pg.part.owned_leaves;
    std::vector<int> leaf_ints;
    leaf_ints.reserve(size_t(owned) * kLeafInts);
    for (int i = 0; i < owned; ++i) {
        const ELEMENT_& e = pg.leaf(i);
        leaf_ints.push_back(int(pg.part.elements.global(i)));
        for (int v : e.verts) leaf_ints.push_back(int(pg.vertex_global(v)));
        for (int code : e.label) leaf_ints.push_back(code);
        leaf_ints.push_back(pg.element_label(e));
    }
    const int owned_vertices = pg.part.vertices.num_owned();
    std::vector<int> vertex_ids;
    std::vector<double> xyz;
    for (int v = 0; v < pg.num_vertices(); ++v) {
        if (pg.part.vertex_position[size_t(v)] >= owned_vertices) continue;
        vertex_ids.push_back(int(pg.vertex_global(v)));
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
