// Refinement of a distributed grid, level by level. Every process refines the leaves it holds
// (its own and one layer of ghosts) as one process refines a whole grid, and the closure is agreed
// in rounds: each process sends the shape of the tree grown from every leaf it shares (an owned
// leaf to the processes that ghost it, a ghost to its owner) whenever that shape grew, and the
// receivers bisect their copies alike and close again, until no process has anything new to
// send. Then every shared leaf has the same tree on each process that holds it, and the owned
// trees are those of one process refining the whole grid: the least conforming refinement is
// unique, and a leaf bisected because of a neighbour always has that neighbour's tree at hand,
// since every leaf that shares an edge with an owned leaf is held. After each level a process
// keeps the children of its owned leaves and those of its ghosts that share a vertex with one of
// them (every leaf of another process that touches an owned child descends from a held leaf), so
// the ghost layer stays one leaf thick. The kept leaves become the roots of a grid of their own,
// which the next level refines, so that no level's records outlive it (they are most of the
// memory a refinement takes). The grid itself is left as it was: each new leaf names the leaf of
// the old part it lies in, which is all that carrying field values needs.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/check.h"
#include "core/library_state.h"
#include "core/parallel.h"
#include "grid/grid_impl.h"
#include "grid/parallel_refine.h"
#include "grid/refine_level.h"

namespace mosk {
namespace {

// Shapes travel packed: the leaf's global number, the count of flags, 64 flags to a word.
void pack_shape(int64_t leaf, const std::vector<uint8_t>& bits, std::vector<int64_t>& out) {
    out.push_back(leaf);
    out.push_back(int64_t(bits.size()));
    for (size_t w = 0; w < bits.size(); w += 64) {
        uint64_t word = 0;
        for (size_t b = w; b < std::min(bits.size(), w + 64); ++b)
            word |= uint64_t(bits[b] != 0) << (b - w);
        out.push_back(int64_t(word));
    }
}

[[noreturn]] void misfit() {
    fail<std::logic_error>("refinement", "the processes' refinement shapes do not fit together");
}

// The held leaves at the start of a level (the grid's leaf list: the owned ones first) with
// their owners and global numbers, and which of them other processes hold too.
struct LevelLeaves {
    IndexMap map;             // over the leaves
    std::vector<int> shared;  // leaves that other processes hold too, increasing
    std::vector<int> first;   // shared[k]'s processes: rank[first[k] .. first[k + 1])
    std::vector<int> rank;
    std::unordered_map<int64_t, int> ghost_of_global;  // global number -> leaf
};

void find_sharing(LevelLeaves& l) {
    const IndexMap& map = l.map;
    std::vector<std::pair<int, int>> pairs;  // (leaf, process)
    for (const IndexMap::Neighbour& n : map.ghosted_by())
        for (int leaf : n.local) pairs.emplace_back(leaf, n.rank);
    for (int g = 0; g < map.num_ghosts(); ++g) {
        pairs.emplace_back(map.num_owned() + g, map.ghost_owner(g));
        l.ghost_of_global.emplace(map.global(map.num_owned() + g), map.num_owned() + g);
    }
    std::sort(pairs.begin(), pairs.end());
    for (const auto& [leaf, r] : pairs) {
        if (l.shared.empty() || l.shared.back() != leaf) {
            l.shared.push_back(leaf);
            l.first.push_back(int(l.rank.size()));
        }
        l.rank.push_back(r);
    }
    l.first.push_back(int(l.rank.size()));
}

// One level of refinement of every held leaf (`roots`, with their vertices in g), agreed with
// the other processes. Returns the leaves after it; first_leaf_of[i]: the position of root i's
// first descendant there.
std::vector<LevelRoot> refine_level(GridImpl& g, const std::vector<LevelRoot>& roots,
                                    const LevelLeaves& l, std::vector<int>& first_leaf_of) {
    const IndexMap& map = l.map;
    std::optional<LevelRefinement> level;
    collective(g.comm, [&] { level.emplace(g, roots); });
    std::vector<uint8_t> bits;
    std::vector<int64_t> sent(l.shared.size(), -1);  // flags last sent; trees only grow
    // Whether this process bisected anything since its shapes were last looked at: if not,
    // every shape it has is one it sent.
    bool changed = true;
    for (;;) {
        std::vector<std::vector<int64_t>> out(size_t(g.nprocs));
        int64_t grown = 0;
        collective(g.comm, [&] {
            for (size_t k = 0; changed && k < l.shared.size(); ++k) {
                bits.clear();
                level->shape(l.shared[k], bits);
                if (int64_t(bits.size()) == sent[k]) continue;
                sent[k] = int64_t(bits.size());
                ++grown;
                for (int i = l.first[k]; i < l.first[k + 1]; ++i)
                    pack_shape(map.global(l.shared[k]), bits, out[size_t(l.rank[size_t(i)])]);
            }
        });
        if (!on_any_process(g.comm, grown > 0)) break;
        const std::vector<std::vector<int64_t>> in = all_to_all(g.comm, std::move(out));
        collective(g.comm, [&] {
            for (const std::vector<int64_t>& message : in)
                for (size_t at = 0; at < message.size();) {
                    if (message.size() - at < 2) misfit();
                    const int64_t global = message[at], count = message[at + 1];
                    at += 2;
                    int leaf = -1;
                    if (global >= map.offset() && global < map.offset() + map.num_owned()) {
                        leaf = int(global - map.offset());
                    } else {
                        const auto it = l.ghost_of_global.find(global);
                        if (it != l.ghost_of_global.end()) leaf = it->second;
                    }
                    const size_t words = size_t(count + 63) / 64;
                    if (leaf < 0 || count < 0 || message.size() - at < words) misfit();
                    bits.assign(size_t(count), 0);
                    for (size_t b = 0; b < size_t(count); ++b)
                        bits[b] = uint8_t(uint64_t(message[at + b / 64]) >> (b % 64) & 1u);
                    at += words;
                    size_t pos = 0;
                    level->apply(leaf, bits, pos);
                    if (pos != bits.size()) misfit();
                }
            changed = level->close();
        });
    }
    std::vector<LevelRoot> next;
    collective(g.comm, [&] {
        next = level->finish(first_leaf_of);
        level.reset();
    });
    return next;
}

// The leaves a process keeps after a level (see the top): keep(parent, j) for each kept leaf
// next[j], the children of the owned leaves first, each in its parent's place (parent: a
// position among the leaves at the level's start).
template <class Keep>
void for_each_kept(const GridImpl& g, const IndexMap& map, const std::vector<LevelRoot>& next,
                   const std::vector<int>& first_leaf_of, Keep keep) {
    const int owned = map.num_owned();
    std::vector<char> near(size_t(g.num_vertices()), 0);
    for (int p = 0; p < owned; ++p)
        for (int j = first_leaf_of[size_t(p)]; j < first_leaf_of[size_t(p) + 1]; ++j) {
            for (int v : next[size_t(j)].verts) near[size_t(v)] = 1;
            keep(p, j);
        }
    for (int p = owned; p < map.size(); ++p)
        for (int j = first_leaf_of[size_t(p)]; j < first_leaf_of[size_t(p) + 1]; ++j) {
            const int* v = next[size_t(j)].verts;
            if (near[size_t(v[0])] || near[size_t(v[1])] || near[size_t(v[2])] ||
                near[size_t(v[3])])
                keep(p, j);
        }
}

// Leaf e (vertices of g) as a root of the next level, its vertices added to `out` in the order of
// first use (`at`: g's vertex -> out's, -1 while not there).
LevelRoot root_of(GridImpl& out, const GridImpl& g, const LevelRoot& e, std::vector<int>& at) {
    LevelRoot r;
    for (size_t k = 0; k < 4; ++k) {
        int& x = at[size_t(e.verts[k])];
        if (x < 0) x = out.add_vertex(g.vertex(e.verts[k]));
        r.verts[k] = x;
        r.label[k] = e.label[k];
    }
    return r;
}

}  // namespace

HeldLeaves refine_held(GridImpl& g, int levels, std::vector<int>& source) {
    check_refinement_levels(g.part.elements.global_size(), levels);
    // Back to the grid before the call: the first level adds its midpoints to the part's
    // vertices, the later ones to a grid of the kept leaves' vertices alone. No level touches
    // the part's records.
    const int first_vertex = g.num_vertices();
    bool restored = false;
    auto restore = [&] {
        if (restored) return;
        restored = true;
        g.drop_vertices_from(first_vertex);
    };
    HeldLeaves held;
    source.clear();
    try {
        // The roots of the next level (the part's leaves, then the leaves kept by the level
        // before), their volume labels, the records in g they descend from, and the grid that
        // holds their vertices (the part first).
        std::vector<int> origin;
        std::vector<LevelRoot> roots;
        std::vector<int> root_label;
        collective(g.comm, [&] {
            const std::span<const int> leaves = g.leaf_records();
            origin.assign(leaves.begin(), leaves.end());
            roots.reserve(origin.size());
            root_label.reserve(origin.size());
            for (int r : origin) {
                const ELEMENT_& e = g.element_record(r);
                LevelRoot root;
                std::copy_n(e.verts, 4, root.verts);
                std::copy_n(e.label, 4, root.label);
                roots.push_back(root);
                root_label.push_back(g.element_label(e));
            }
        });
        std::unique_ptr<GridImpl> work;
        // The kept leaves' keys and owners. A child's key: its parent's global number and its
        // position among the parent's descendants, the same wherever the parent is held.
        std::vector<int64_t> keys;
        std::vector<int> owners;
        int owned = g.part.owned_leaves;
        for (int level = 0; level < levels; ++level) {
            GridImpl& cur = work ? *work : g;
            LevelLeaves l;
            if (level == 0)
                l.map = g.part.elements;
            else
                l.map = IndexMap(g.comm, std::span(keys).first(size_t(owned)),
                                 std::span(owners).subspan(size_t(owned)),
                                 std::span(keys).subspan(size_t(owned)));
            // A level may more than double the leaves (the closure bisects some again): the
            // bound checked at the start is checked again for the levels left. The count is the
            // same everywhere, so every process refuses alike.
            check_refinement_levels(l.map.global_size(), levels - level);
            find_sharing(l);
            std::vector<int> first_leaf_of;
            const std::vector<LevelRoot> next = refine_level(cur, roots, l, first_leaf_of);
            const bool last = level + 1 == levels;
            collective(g.comm, [&] {
                const IndexMap& map = l.map;
                // Room for every child, a few more than are kept: growing the arrays would copy
                // them and touch fresh pages again.
                const size_t most = next.size();
                keys.clear();
                owners.clear();
                keys.reserve(most);
                owners.reserve(most);
                std::vector<int> from;
                from.reserve(most);
                // The kept leaves go to the assembly after the last level, else they become the
                // roots of the next, with a grid of their vertices alone.
                auto compact = last ? nullptr : std::make_unique<GridImpl>(nullptr, g.comm);
                std::vector<LevelRoot> next_roots;
                std::vector<int> next_label;
                if (last)
                    reserve_held_leaves(held, most, size_t(cur.num_vertices()));
                else {
                    next_roots.reserve(most);
                    next_label.reserve(most);
                    compact->reserve_vertices(size_t(cur.num_vertices()));
                }
                std::vector<int> at(size_t(cur.num_vertices()), -1);
                // What the children of one parent share, found once per parent.
                int parent_of = -1, owner = -1, label = 0, ancestor = -1;
                int64_t family = 0;
                for_each_kept(cur, map, next, first_leaf_of, [&](int parent, int j) {
                    if (parent != parent_of) {
                        parent_of = parent;
                        family = map.global(parent) << 32;
                        owner = parent < map.num_owned()
                                    ? g.rank
                                    : map.ghost_owner(parent - map.num_owned());
                        ancestor = origin[size_t(parent)];
                        label = root_label[size_t(parent)];  // a child has its parent's
                    }
                    keys.push_back(family | int64_t(j - first_leaf_of[size_t(parent)]));
                    owners.push_back(owner);
                    from.push_back(ancestor);
                    const LevelRoot& e = next[size_t(j)];
                    if (last) {
                        append_held_leaf(held, cur, e.verts, e.label, label, at);
                    } else {
                        next_roots.push_back(root_of(*compact, cur, e, at));
                        next_label.push_back(label);
                    }
                });
                owned = first_leaf_of[size_t(map.num_owned())];
                origin.swap(from);
                if (last) {
                    held.owned = owned;
                    held.key = std::move(keys);
                    held.owner = std::move(owners);
                    source = std::move(origin);
                } else {
                    roots.swap(next_roots);
                    root_label.swap(next_label);
                    work = std::move(compact);  // the level's records go
                }
                restore();
            });
            log_message(
                1, "refinement: level " + std::to_string(level + 1) + " of " +
                       std::to_string(levels) + ": " + std::to_string(owned) + " elements and " +
                       std::to_string(int64_t(last ? held.key.size() : keys.size()) - owned) +
                       " ghosts on this process");
        }
    } catch (...) {
        restore();
        throw;
    }
    return held;
}

std::vector<int> refine_part(GridImpl& g, int levels, GridImpl& fresh) {
    std::vector<int> source;
    HeldLeaves held = refine_held(g, levels, source);
    fresh.label_sets = g.label_sets;
    assemble_part(fresh, std::move(held));
    return source;
}

}  // namespace mosk
