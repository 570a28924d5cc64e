// Migration of a distributed grid's leaves to new owners. A leaf's current owner holds every leaf
// that shares a vertex with it, so it sends the new owner, besides the leaf, those neighbours
// that the new owner will not own: its ghosts, with their new owners. A receiver drops the ghosts
// it gets twice. Leaves are named by their old global numbers, vertices by their old global
// numbers (with their coordinates); a leaf keeps its vertex order.
#include "grid/migration.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <utility>

#include "core/check.h"
#include "core/parallel.h"
#include "grid/leaf_messages.h"

namespace mosk {
namespace {

constexpr const char* kOp = "balance";

// The message for one process: the leaves it will own, the ghosts it needs from here, and the
// vertices of both. `slot` (per vertex of the part, -1 on entry and on return) is scratch.
void pack(const GridImpl& g, std::span<const int> new_owner, const std::vector<int>& owned,
          const std::vector<int>& ghosts, std::vector<int>& slot, LeafMessage& m) {
    if (owned.empty() && ghosts.empty()) return;
    std::vector<int> verts;
    for (const auto* list : {&owned, &ghosts})
        for (int i : *list)
            for (int v : g.leaf(i).verts)
                if (slot[size_t(v)] < 0) {
                    slot[size_t(v)] = int(verts.size());
                    verts.push_back(v);
                }
    begin_message(m, owned.size(), ghosts.size(), verts.size());
    for (int v : verts) add_vertex(m, g.vertex_global(v), g.vertex(v));
    for (const auto* list : {&owned, &ghosts})
        for (int i : *list) {
            const ELEMENT_& e = g.leaf(i);
            add_leaf(m, g.part.elements.global(i), new_owner[size_t(i)],
                     {slot[size_t(e.verts[0])], slot[size_t(e.verts[1])], slot[size_t(e.verts[2])],
                      slot[size_t(e.verts[3])]},
                     {e.label[0], e.label[1], e.label[2], e.label[3]}, g.element_label(e));
        }
    for (int v : verts) slot[size_t(v)] = -1;
}

}  // namespace

HeldLeaves migrated_leaves(const GridImpl& g, std::span<const int> new_owner, LeafRoutes& routes) {
    const int np = g.nprocs, owned = g.part.owned_leaves;
    if (new_owner.size() != size_t(g.num_leaves()))
        fail<std::logic_error>(kOp, "one new owner per held leaf expected");
    for (int q : new_owner)
        if (q < 0 || q >= np) fail<std::logic_error>(kOp, "a new owner is no process");
    routes = LeafRoutes{};
    routes.sent.resize(size_t(np));
    std::vector<std::vector<int>> ghosts(static_cast<size_t>(np));
    {
        const LeavesAround a = leaves_around(g.num_vertices(), g.num_leaves(), [&](int i) {
            return std::span<const int>(g.leaf(i).verts);
        });
        for (int i = 0; i < owned; ++i) {
            const int q = new_owner[size_t(i)];
            routes.sent[size_t(q)].push_back(i);
            for (int v : g.leaf(i).verts)
                for (int k = a.start[size_t(v)]; k < a.start[size_t(v) + 1]; ++k) {
                    const int j = a.around[size_t(k)];
                    if (new_owner[size_t(j)] != q) ghosts[size_t(q)].push_back(j);
                }
        }
    }
    std::vector<int> slot(size_t(g.num_vertices()), -1);
    std::vector<std::vector<int64_t>> words(static_cast<size_t>(np));
    std::vector<std::vector<double>> xyz(static_cast<size_t>(np));
    for (size_t q = 0; q < size_t(np); ++q) {
        std::sort(ghosts[q].begin(), ghosts[q].end());
        ghosts[q].erase(std::unique(ghosts[q].begin(), ghosts[q].end()), ghosts[q].end());
        LeafMessage m;
        pack(g, new_owner, routes.sent[q], ghosts[q], slot, m);
        words[q].swap(m.words);
        xyz[q].swap(m.xyz);
        std::vector<int>().swap(ghosts[q]);
    }
    std::vector<std::vector<int64_t>> in_words = all_to_all(g.comm, std::move(words));
    std::vector<std::vector<double>> in_xyz = all_to_all(g.comm, std::move(xyz));
    return unpack_leaves(in_words, in_xyz, routes.origins, kOp);
}

LeafRoutes migrate_part(GridImpl& fresh, const GridImpl& g, std::span<const int> new_owner) {
    LeafRoutes routes;
    HeldLeaves held = migrated_leaves(g, new_owner, routes);
    fresh.label_sets = g.label_sets;
    assemble_part(fresh, std::move(held));
    return routes;
}

HeldLeaves held_leaves_of_part(const GridImpl& g) {
    HeldLeaves held;
    held.owned = g.part.owned_leaves;
    const size_t n = size_t(g.num_leaves());
    held.key.reserve(n);
    held.owner.reserve(n);
    held.verts.reserve(n);
    held.face_codes.reserve(n);
    held.label.reserve(n);
    held.coords.reserve(size_t(g.num_vertices()));
    std::vector<int> held_at(size_t(g.num_vertices()), -1);
    for (int i = 0; i < g.num_leaves(); ++i) {
        held.key.push_back(g.part.elements.global(i));
        held.owner.push_back(g.leaf(i).owner);
        append_held_leaf(held, g, g.leaf(i), held_at);
    }
    return held;
}

}  // namespace mosk
