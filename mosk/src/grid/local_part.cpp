#include "grid/local_part.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>

namespace mosk {
namespace {

// The owned leaves, then every other leaf that shares a vertex with one of them.
std::vector<int> choose_leaves(const GridImpl& g, int& owned) {
    std::vector<char> near(size_t(g.num_vertices()), 0);
    std::vector<int> leaves;
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        if (e.owner != g.rank) continue;
        leaves.push_back(i);
        for (int v : e.verts) near[size_t(v)] = 1;
    }
    owned = int(leaves.size());
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        if (e.owner == g.rank) continue;
        if (near[size_t(e.verts[0])] || near[size_t(e.verts[1])] || near[size_t(e.verts[2])] ||
            near[size_t(e.verts[3])])
            leaves.push_back(i);
    }
    return leaves;
}

// The part as numbering sees it: each leaf's number and owner, and the leaves by number.
struct PartLeaves {
    const LocalPart& part;
    std::vector<int> owner;
    std::vector<size_t> by_number;
    int rank, comm;
};

// Local numbers of the entities that `ids` names (`per` per leaf of the part: their numbers in
// the grid, below `bound`). Every leaf around an entity of an owned leaf is in the part, so owner
// and key of such an entity are found here; an entity of ghost leaves only takes the owner and
// key that a ghost leaf's owner found. `distinct_out` receives the grid's numbers in local order.
LocalEntities number_entities(const PartLeaves& p, size_t per, const std::vector<int>& ids,
                              size_t bound, std::vector<int>* distinct_out = nullptr) {
    const size_t n = p.part.leaves.size(), owned = size_t(p.part.owned);
    // The distinct entities in increasing number, found through a table over the grid's numbers
    // (the grid is held whole while its part is chosen).
    std::vector<int> slot(bound, -1), distinct;
    for (int id : ids) slot[size_t(id)] = 0;
    for (size_t id = 0; id < bound; ++id)
        if (slot[id] == 0) {
            slot[id] = int(distinct.size());
            distinct.push_back(int(id));
        }
    std::vector<int> at(ids.size());  // position of each entry in `distinct`
    for (size_t j = 0; j < ids.size(); ++j) at[j] = slot[size_t(ids[j])];
    std::vector<int>().swap(slot);
    std::vector<int> owner(distinct.size(), -1);
    std::vector<int64_t> key(distinct.size(), -1);
    for (size_t i : p.by_number)
        for (size_t k = 0; k < per; ++k) {
            const size_t d = size_t(at[i * per + k]);
            if (owner[d] >= 0) continue;
            owner[d] = p.owner[i];
            key[d] = int64_t(p.part.leaves[i]) * int64_t(per) + int64_t(k);
        }
    // (owner, key) of each leaf's entities as the leaf's owner found them.
    std::vector<double> found(2 * per * n, -1.0);
    for (size_t j = 0; j < per * owned; ++j) {
        found[2 * j] = owner[size_t(at[j])];
        found[2 * j + 1] = double(key[size_t(at[j])]);
    }
    p.part.elements.forward(found, int(2 * per));
    std::vector<char> near(distinct.size(), 0);
    for (size_t j = 0; j < per * owned; ++j) near[size_t(at[j])] = 1;
    for (size_t j = per * owned; j < ids.size(); ++j) {
        const size_t d = size_t(at[j]);
        if (near[d]) continue;
        owner[d] = int(found[2 * j]);
        key[d] = int64_t(found[2 * j + 1]);
    }

    // Local order: the owned entities, then the ghosts.
    LocalEntities out;
    std::vector<int> local(distinct.size());
    std::vector<int64_t> keys;
    std::vector<int> ordered;
    size_t mine = 0;
    for (int pass = 0; pass < 2; ++pass)
        for (size_t d = 0; d < distinct.size(); ++d)
            if ((owner[d] == p.rank) == (pass == 0)) {
                local[d] = int(keys.size());
                keys.push_back(key[d]);
                out.owner.push_back(owner[d]);
                if (distinct_out) ordered.push_back(distinct[d]);
                mine += pass == 0;
            }
    out.of_leaf.resize(ids.size());
    for (size_t j = 0; j < ids.size(); ++j) out.of_leaf[j] = local[size_t(at[j])];
    out.map = IndexMap(p.comm, std::span(keys).first(mine), std::span(out.owner).subspan(mine),
                       std::span(keys).subspan(mine));
    if (distinct_out) *distinct_out = std::move(ordered);
    return out;
}

}  // namespace

LocalPart local_part(const GridImpl& g) {
    LocalPart part;
    part.leaves = choose_leaves(g, part.owned);
    const size_t n = part.leaves.size(), owned = size_t(part.owned);
    PartLeaves p{part, std::vector<int>(n), std::vector<size_t>(n), g.rank, g.comm};
    for (size_t i = 0; i < n; ++i) p.owner[i] = g.leaf(part.leaves[i]).owner;
    std::iota(p.by_number.begin(), p.by_number.end(), size_t(0));
    std::sort(p.by_number.begin(), p.by_number.end(),
              [&](size_t a, size_t b) { return part.leaves[a] < part.leaves[b]; });
    const std::vector<int64_t> leaf_keys(part.leaves.begin(), part.leaves.end());
    part.elements =
        IndexMap(g.comm, std::span(leaf_keys).first(owned), std::span(p.owner).subspan(owned),
                 std::span(leaf_keys).subspan(owned));

    // Entities by their numbers in the grid.
    std::vector<int> vertex_ids(4 * n), edge_ids(6 * n), face_ids(4 * n);
    for (size_t i = 0; i < n; ++i) {
        const ELEMENT_& e = g.leaf(part.leaves[i]);
        for (size_t k = 0; k < 4; ++k) vertex_ids[4 * i + k] = e.verts[k];
        for (size_t k = 0; k < 6; ++k) edge_ids[6 * i + k] = e.edges[k];
        for (size_t k = 0; k < 4; ++k) face_ids[4 * i + k] = e.faces[k];
    }
    part.vertices = number_entities(p, 4, vertex_ids, size_t(g.num_vertices()), &part.vertex);
    part.edges = number_entities(p, 6, edge_ids, g.edge_verts.size());
    part.faces = number_entities(p, 4, face_ids, g.face_verts.size());
    return part;
}

}  // namespace mosk
