// Conforming refinement by longest-edge bisection with closure.
//
// One level bisects every leaf once on its refinement edge, then closes: a leaf with an edge that
// holds a midpoint of this level is bisected on its own refinement edge, until no leaf has one.
// Refined records stay in the store as the refinement tree. Their `index`, `edges` and `faces`
// fields are deliberately left as the last numbering wrote them: carrying field values from the
// old leaf mesh to the new one reads the old numbering through them. Records made by refinement
// start with index, edges and faces at -1; number_leaf_mesh fills them in for the leaves only, and
// only once per call, so records that were leaves only between two levels of one call keep -1.
#include <algorithm>
#include <climits>
#include <string>

#include "core/library_state.h"
#include "grid/grid_impl.h"
#include "grid/refine_midpoints.h"

namespace mosk {
namespace {

// Makes the leaves `old` (the leaf list a level started from) leaves again and drops the vertices
// made since; the records made stay in the store, unreachable.
void undo_level(GridImpl& g, const std::vector<int>& old, size_t first_vertex) {
    for (int r : old) g.elements[r].child[0] = g.elements[r].child[1] = -1;
    g.coords.resize(first_vertex);
}

class LevelRefiner {
public:
    explicit LevelRefiner(GridImpl& grid)
        : g_(grid),
          first_record_(g_.elements.size()),
          first_vertex_(g_.coords.size()),
          mids_(g_.leaves.size() / 2),
          stamp_(g_.coords.size(), -1) {
        live_.reserve(2 * g_.leaves.size());
        // A level makes about twice the leaves; past this many records something is wrong with
        // the geometry, and the cap keeps a runaway closure from eating the machine.
        record_cap_ = first_record_ + 64 * g_.leaves.size() + 1024;
    }

    // Refines every leaf once, closes the mesh and returns the new leaf list; the grid's leaf
    // list and numbering are not touched. On an exception the grid is as before (the records
    // made so far stay in the store, unreachable).
    std::vector<int> run() {
        try {
            for (int r : g_.leaves) {
                bisect(r);
                for (int c : g_.elements[r].child) add_leaf(c);
            }
            // Round k rechecks the leaves that were checked before midpoints of round k - 1
            // appeared; leaves made during a round are checked when they are made.
            for (int round = 1;; ++round) {
                round_ = round;
                const size_t before = mids_.size();
                const size_t end = live_.size();
                for (size_t i = 0; i < end; ++i) {
                    const Leaf l = live_[i];
                    if (l.record >= 0 && hanging(l.verts, round - 1)) {
                        live_[i].record = -1;
                        close_from(l.record);
                    }
                }
                if (mids_.size() == before) break;
            }
            std::vector<Leaf>().swap(live_);
            return rebuild_leaves();
        } catch (...) {
            undo_level(g_, g_.leaves, first_vertex_);
            throw;
        }
    }

private:
    // The refinement edge (local edge number): the longest edge, ties broken by the larger sorted
    // pair of global vertex numbers, so that all elements around an edge agree.
    int refinement_edge(const ELEMENT_& e) const {
        int best = 0;
        double best_len = -1;
        uint64_t best_key = 0;
        for (int k = 0; k < 6; ++k) {
            const Point& a = g_.coords[e.verts[kEdgeVerts[k][0]]];
            const Point& b = g_.coords[e.verts[kEdgeVerts[k][1]]];
            // Squares of differences do not depend on the order of a and b: every element
            // computes the same length for the same edge.
            const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
            const double len = dx * dx + dy * dy + dz * dz;
            const int u = e.verts[kEdgeVerts[k][0]], v = e.verts[kEdgeVerts[k][1]];
            const uint64_t key = uint64_t(std::min(u, v)) << 32 | uint64_t(std::max(u, v));
            if (len > best_len || (len == best_len && key > best_key)) {
                best = k;
                best_len = len;
                best_key = key;
            }
        }
        return best;
    }

    int midpoint(int a, int b) {
        int m = mids_.find(a, b);
        if (m >= 0) return m;
        if (g_.coords.size() >= size_t(INT_MAX))
            throw std::length_error("mosk: refinement: too many vertices");
        const Point &pa = g_.coords[std::min(a, b)], &pb = g_.coords[std::max(a, b)];
        m = int(g_.coords.size());
        g_.coords.push_back(
            {0.5 * (pa[0] + pb[0]), 0.5 * (pa[1] + pb[1]), 0.5 * (pa[2] + pb[2])});
        mids_.insert(a, b, m);
        stamp_.push_back(-1);
        stamp_[a] = stamp_[b] = round_;
        return m;
    }

    // True when an edge of `e` holds a midpoint whose end vertices were both touched in round
    // `since` or later (a cheap filter before the table lookup).
    bool hanging(const int (&verts)[4], int since) const {
        unsigned touched = 0;
        for (int v = 0; v < 4; ++v) touched |= unsigned(stamp_[verts[v]] >= since) << v;
        for (const auto& ev : kEdgeVerts) {
            const unsigned both = (1u << ev[0]) | (1u << ev[1]);
            if ((touched & both) == both && mids_.find(verts[ev[0]], verts[ev[1]]) >= 0)
                return true;
        }
        return false;
    }

    // Bisects (a, b, c, d) on (a, b) into (a, m, c, d) and (m, b, c, d), each child taking the
    // midpoint in the place of the vertex it loses: both keep the parent's orientation and half
    // its volume. Face labels: the face opposite the lost vertex is the new interior face (0); the
    // face opposite the kept end passes whole, the two others are halves of split faces.
    void bisect(int r) {
        if (g_.elements.size() + 2 > record_cap_ || g_.elements.size() + 2 > size_t(INT_MAX))
            throw std::length_error("mosk: refinement: too many elements (" +
                                    std::to_string(g_.elements.size()) + " records)");
        ELEMENT_& p = g_.elements[r];
        const int k = refinement_edge(p);
        const int i = kEdgeVerts[k][0], j = kEdgeVerts[k][1];
        const int m = midpoint(p.verts[i], p.verts[j]);
        ELEMENT_ c{};
        std::fill(std::begin(c.edges), std::end(c.edges), -1);
        std::fill(std::begin(c.faces), std::end(c.faces), -1);
        c.index = -1;
        c.parent = r;
        c.child[0] = c.child[1] = -1;
        c.level = p.level + 1;
        const int first = int(g_.elements.size());
        for (int s = 0; s < 2; ++s) {
            const int lost = s == 0 ? j : i;  // child 0 keeps a, child 1 keeps b
            for (int v = 0; v < 4; ++v) {
                c.verts[v] = p.verts[v];
                c.label[v] = p.label[v];
            }
            c.verts[lost] = m;
            c.label[s == 0 ? i : j] = 0;
            c.record = first + s;
            g_.elements.push_back(c);
        }
        p.child[0] = first;
        p.child[1] = first + 1;
    }

    // Bisects the hanging leaf r and then, depth first, every descendant that still hangs.
    void close_from(int r) {
        stack_.push_back(r);
        while (!stack_.empty()) {
            const int x = stack_.back();
            stack_.pop_back();
            bisect(x);
            for (int c : g_.elements[x].child) {
                if (hanging(g_.elements[c].verts, 0))
                    stack_.push_back(c);
                else
                    add_leaf(c);
            }
        }
    }

    void add_leaf(int r) {
        const ELEMENT_& e = g_.elements[r];
        live_.push_back({r, {e.verts[0], e.verts[1], e.verts[2], e.verts[3]}});
    }

    // Children replace their parent in place, child 0 first.
    std::vector<int> rebuild_leaves() {
        // Every bisection turns one leaf into two.
        const size_t made = g_.elements.size() - first_record_;
        std::vector<int> leaves;
        leaves.reserve(g_.leaves.size() + made / 2);
        for (int root : g_.leaves) {
            stack_.push_back(root);
            while (!stack_.empty()) {
                const ELEMENT_& e = g_.elements[stack_.back()];
                stack_.pop_back();
                if (e.child[0] < 0) {
                    leaves.push_back(e.record);
                } else {
                    stack_.push_back(e.child[1]);
                    stack_.push_back(e.child[0]);
                }
            }
        }
        return leaves;
    }

    GridImpl& g_;
    const size_t first_record_;
    const size_t first_vertex_;
    size_t record_cap_ = 0;
    RefineMidpoints mids_;
    std::vector<int> stamp_;  // per vertex: last round in which it became an end of a bisected edge
    std::vector<int> stack_;
    // The leaves made in this level with their vertices (record -1 once refined): the rounds
    // scan this instead of the store, a fifth of the bytes.
    struct Leaf {
        int record;
        int verts[4];
    };
    std::vector<Leaf> live_;
    int round_ = 0;
};

}  // namespace

void refine_all(GridImpl& grid, int levels) {
    // The leaf mesh is numbered once, after the last level: refinement reads only vertices and
    // face labels, and bisection keeps the labels right (interior 0, boundary inherited).
    bool numbered = true;
    try {
        for (int level = 0; level < levels; ++level) {
            if (grid.leaves.empty()) break;
            const size_t first_vertex = grid.coords.size();
            // The refiner's tables are freed before the numbering, the peak of memory.
            std::vector<int> previous = LevelRefiner(grid).run();
            grid.leaves.swap(previous);
            numbered = false;
            if (level + 1 == levels) {
                try {
                    grid.number_leaf_mesh();
                    numbered = true;
                } catch (...) {
                    // Back to the previous level; the handler below numbers it again.
                    grid.leaves.swap(previous);
                    undo_level(grid, grid.leaves, first_vertex);
                    throw;
                }
            }
            log_message(1, "mosk: refinement: level " + std::to_string(level + 1) + " of " +
                               std::to_string(levels) + ": " +
                               std::to_string(grid.leaves.size()) + " elements, " +
                               std::to_string(grid.coords.size()) + " vertices");
        }
        if (!numbered) grid.number_leaf_mesh();
    } catch (...) {
        // The grid holds the last complete level; give it its numbering (deterministic, so a
        // level that was numbered before gets the same numbers).
        if (!numbered) grid.number_leaf_mesh();
        throw;
    }
}

}  // namespace mosk
