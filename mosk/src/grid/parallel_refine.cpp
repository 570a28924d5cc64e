// Refinement of a distributed grid. Every process refines the leaves it holds (its own and the
// ghosts) as one process refines a whole grid, level by level; the closure is agreed in rounds:
// each process sends the shape of the tree grown from every leaf it shares (an owned leaf to the
// processes that ghost it, a ghost to its owner) whenever that shape grew, and the receivers
// bisect their copies alike and close again, until no process has anything new to send. Then
// every shared leaf has the same tree on each process that holds it, and the owned trees are
// those of one process refining the whole grid: the least conforming refinement is unique, and a
// leaf bisected because of a neighbour always has that neighbour's tree at hand, since every
// leaf that shares an edge with an owned leaf is held. The new part is the children of the owned
// leaves plus the children of the ghosts that share a vertex with them; the grid itself is left
// as it was (its records keep the refinement tree for carrying field values).
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <numeric>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/check.h"
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

// The part's leaves that other processes hold too, each with those processes.
struct SharedLeaves {
    std::vector<int> leaf;   // local leaf numbers, increasing
    std::vector<int> first;  // leaf[k]'s processes: rank[first[k] .. first[k + 1])
    std::vector<int> rank;
    std::unordered_map<int64_t, int> ghost_of_global;  // global number -> local leaf
};

SharedLeaves shared_leaves(const GridPart& part) {
    const IndexMap& map = part.elements;
    std::vector<std::pair<int, int>> pairs;  // (leaf, process)
    for (const IndexMap::Neighbour& n : map.ghosted_by())
        for (int l : n.local) pairs.emplace_back(l, n.rank);
    SharedLeaves s;
    for (int g = 0; g < map.num_ghosts(); ++g) {
        pairs.emplace_back(map.num_owned() + g, map.ghost_owner(g));
        s.ghost_of_global.emplace(map.global(map.num_owned() + g), map.num_owned() + g);
    }
    std::sort(pairs.begin(), pairs.end());
    for (const auto& [l, r] : pairs) {
        if (s.leaf.empty() || s.leaf.back() != l) {
            s.leaf.push_back(l);
            s.first.push_back(int(s.rank.size()));
        }
        s.rank.push_back(r);
    }
    s.first.push_back(int(s.rank.size()));
    return s;
}

// One level of refinement of every held leaf, agreed with the other processes. begin[r]: the
// position of the first descendant of the part's leaf r in the grid's leaf list (updated).
void refine_level(GridImpl& g, const SharedLeaves& shared, std::vector<int>& begin) {
    const IndexMap& map = g.part.elements;
    std::optional<LevelRefinement> level;
    collective(g.comm, [&] { level.emplace(g); });
    // The tree grown from part leaf r this level: the shapes of its leaves at the level's start.
    std::vector<uint8_t> bits;
    auto shape_of = [&](int r) {
        bits.clear();
        for (int j = begin[size_t(r)]; j < begin[size_t(r) + 1]; ++j) level->shape(j, bits);
    };
    std::vector<int64_t> sent(shared.leaf.size(), -1);  // flags last sent; trees only grow
    for (;;) {
        std::vector<std::vector<int64_t>> out(size_t(g.nprocs));
        int64_t grown = 0;
        collective(g.comm, [&] {
            for (size_t k = 0; k < shared.leaf.size(); ++k) {
                shape_of(shared.leaf[k]);
                if (int64_t(bits.size()) == sent[k]) continue;
                sent[k] = int64_t(bits.size());
                ++grown;
                for (int i = shared.first[k]; i < shared.first[k + 1]; ++i)
                    pack_shape(map.global(shared.leaf[k]), bits, out[size_t(shared.rank[size_t(i)])]);
            }
        });
        if (offset_and_total(g.comm, grown).last == 0) break;
        const std::vector<std::vector<int64_t>> in = all_to_all(g.comm, out);
        collective(g.comm, [&] {
            for (const std::vector<int64_t>& message : in)
                for (size_t at = 0; at < message.size();) {
                    if (message.size() - at < 2) misfit();
                    const int64_t global = message[at], count = message[at + 1];
                    at += 2;
                    int r = -1;
                    if (global >= map.offset() && global < map.offset() + map.num_owned()) {
                        r = int(global - map.offset());
                    } else {
                        const auto it = shared.ghost_of_global.find(global);
                        if (it != shared.ghost_of_global.end()) r = it->second;
                    }
                    const size_t words = size_t(count + 63) / 64;
                    if (r < 0 || count < 0 || message.size() - at < words) misfit();
                    bits.assign(size_t(count), 0);
                    for (size_t b = 0; b < size_t(count); ++b)
                        bits[b] = uint8_t(uint64_t(message[at + b / 64]) >> (b % 64) & 1u);
                    at += words;
                    size_t pos = 0;
                    for (int j = begin[size_t(r)]; j < begin[size_t(r) + 1]; ++j)
                        level->apply(j, bits, pos);
                    if (pos != bits.size()) misfit();
                }
            level->close();
        });
    }
    std::vector<int> next;
    collective(g.comm, [&] {
        std::vector<int> first_leaf_of;
        next = level->finish(first_leaf_of);
        level.reset();
        for (int& b : begin) b = first_leaf_of[size_t(b)];
    });
    g.swap_leaves(next);
}

// The refined part's leaves: the descendants of the owned leaves, in place of their ancestors,
// then those of the ghosts that share a vertex with one of them. A leaf's key: its part leaf's
// global number and its position among that leaf's descendants (the trees agree everywhere).
HeldLeaves held_leaves(const GridImpl& g, const std::vector<int>& begin,
                       std::vector<int>& source) {
    const IndexMap& map = g.part.elements;
    const int owned = g.part.owned_leaves, roots = map.size();
    const std::span<const int> leaves = g.leaf_records();
    HeldLeaves held;
    std::vector<int> at(size_t(g.num_vertices()), -1);
    auto add = [&](int j, int r, int owner) {
        const ELEMENT_& e = g.element_record(leaves[size_t(j)]);
        held.key.push_back(map.global(r) << 32 | int64_t(j - begin[size_t(r)]));
        held.owner.push_back(owner);
        std::array<int, 4> verts{}, codes{};
        for (size_t k = 0; k < 4; ++k) {
            int& v = at[size_t(e.verts[k])];
            if (v < 0) {
                v = int(held.coords.size());
                held.coords.push_back(g.vertex(e.verts[k]));
            }
            verts[k] = v;
            codes[k] = e.label[k];
        }
        held.verts.push_back(verts);
        held.face_codes.push_back(codes);
        held.label.push_back(g.element_label(e));
        source.push_back(e.record);
    };
    for (int r = 0; r < owned; ++r)
        for (int j = begin[size_t(r)]; j < begin[size_t(r) + 1]; ++j) add(j, r, g.rank);
    held.owned = int(held.key.size());
    // The owned leaves' vertices came first: a ghost leaf touching one of them is kept.
    const int near = int(held.coords.size());
    for (int r = owned; r < roots; ++r)
        for (int j = begin[size_t(r)]; j < begin[size_t(r) + 1]; ++j) {
            const ELEMENT_& e = g.element_record(leaves[size_t(j)]);
            if (std::any_of(std::begin(e.verts), std::end(e.verts), [&](int v) {
                    return at[size_t(v)] >= 0 && at[size_t(v)] < near;
                }))
                add(j, r, map.ghost_owner(r - owned));
        }
    return held;
}

}  // namespace

HeldLeaves refine_held(GridImpl& g, int levels, std::vector<int>& source) {
    check_refinement_levels(g.part.elements.global_size(), levels);
    const std::span<const int> before = g.leaf_records();
    std::vector<int> original(before.begin(), before.end());
    const int first_vertex = g.num_vertices();
    // Back to the grid before the call: the records made stay in the store, unreachable from
    // the leaves, their links up the tree intact.
    auto restore = [&] {
        for (int r : original) {
            g.tree(r).child = -1;
            g.element_record(r).refined = 0;
        }
        g.drop_vertices_from(first_vertex);
        g.swap_leaves(original);
    };
    HeldLeaves held;
    source.clear();
    try {
        const SharedLeaves shared = shared_leaves(g.part);
        std::vector<int> begin(original.size() + 1);
        std::iota(begin.begin(), begin.end(), 0);
        for (int level = 0; level < levels; ++level) refine_level(g, shared, begin);
        collective(g.comm, [&] { held = held_leaves(g, begin, source); });
    } catch (...) {
        restore();
        throw;
    }
    restore();
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
