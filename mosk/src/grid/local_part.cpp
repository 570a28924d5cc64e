#include "grid/local_part.h"

#include <algorithm>
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

}  // namespace

LocalPart local_part(const GridImpl& g) {
    LocalPart p;
    p.leaves = choose_leaves(g, p.owned);
    const size_t n = p.leaves.size(), owned = size_t(p.owned);
    // From here on only the part: its leaves' numbers, owners and vertex keys.
    std::vector<int> leaf_owner(n), keys(4 * n);
    for (size_t i = 0; i < n; ++i) {
        const ELEMENT_& e = g.leaf(p.leaves[i]);
        leaf_owner[i] = e.owner;
        for (int k = 0; k < 4; ++k) keys[4 * i + size_t(k)] = e.verts[k];
    }
    std::vector<int> distinct(keys);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    std::vector<int> at(keys.size());  // position of each key in `distinct`
    for (size_t j = 0; j < keys.size(); ++j)
        at[j] = int(std::lower_bound(distinct.begin(), distinct.end(), keys[j]) - distinct.begin());

    // Owner of a vertex: the owner of the lowest-numbered leaf that holds it. Every leaf around a
    // vertex of an owned leaf is in the part, so for those vertices the rule is evaluated here;
    // a vertex of ghost leaves only takes the owner that a ghost leaf's owner evaluated.
    std::vector<int> owner(distinct.size(), -1);
    std::vector<char> near(distinct.size(), 0);
    for (size_t j = 0; j < 4 * owned; ++j) near[size_t(at[j])] = 1;
    std::vector<size_t> by_number(n);
    std::iota(by_number.begin(), by_number.end(), size_t(0));
    std::sort(by_number.begin(), by_number.end(),
              [&](size_t a, size_t b) { return p.leaves[a] < p.leaves[b]; });
    for (size_t i : by_number)
        for (size_t k = 0; k < 4; ++k) {
            int& o = owner[size_t(at[4 * i + k])];
            if (o < 0) o = leaf_owner[i];
        }
    const std::vector<int64_t> leaf_keys(p.leaves.begin(), p.leaves.end());
    p.elements = IndexMap(g.comm, std::span(leaf_keys).first(owned),
                          std::span(leaf_owner).subspan(owned),
                          std::span(leaf_keys).subspan(owned));
    std::vector<double> vertex_owners(4 * n, -1.0);  // per leaf, as its owner evaluated them
    for (size_t j = 0; j < 4 * owned; ++j) vertex_owners[j] = owner[size_t(at[j])];
    p.elements.forward(vertex_owners, 4);
    for (size_t j = 4 * owned; j < 4 * n; ++j)
        if (!near[size_t(at[j])]) owner[size_t(at[j])] = int(vertex_owners[j]);

    // Local vertex numbers: the owned vertices, then the ghosts, each by key.
    std::vector<int> local(distinct.size());
    for (int pass = 0; pass < 2; ++pass)
        for (size_t d = 0; d < distinct.size(); ++d)
            if ((owner[d] == g.rank) == (pass == 0)) {
                local[d] = int(p.vertex.size());
                p.vertex.push_back(distinct[d]);
                p.vertex_owner.push_back(owner[d]);
            }
    p.verts.resize(keys.size());
    for (size_t j = 0; j < keys.size(); ++j) p.verts[j] = local[size_t(at[j])];
    const size_t mine = size_t(std::count(owner.begin(), owner.end(), g.rank));
    const std::vector<int64_t> vertex_keys(p.vertex.begin(), p.vertex.end());
    p.vertices = IndexMap(g.comm, std::span(vertex_keys).first(mine),
                          std::span(p.vertex_owner).subspan(mine),
                          std::span(vertex_keys).subspan(mine));
    return p;
}

}  // namespace mosk
