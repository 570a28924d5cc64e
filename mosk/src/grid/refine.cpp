// Conforming refinement by longest-edge bisection with closure.
//
// One level bisects every leaf once on its refinement edge, then closes: a leaf with an edge that
// holds a midpoint of this level is bisected on its own refinement edge, until no leaf has one.
// Refined records stay in the store as the refinement tree (a level of a distributed grid's
// part, whose records would be scratch, makes compact nodes of its own instead). Their `index`,
// `edges` and `faces` fields are deliberately left as the last numbering wrote them: carrying
// field values from the old leaf mesh to the new one reads the old numbering through them.
// Records made by refinement start with index, edges and faces at -1; number_leaf_mesh fills
// them in for the leaves only, and only once per call, so records that were leaves only between
// two levels of one call keep -1.
// A call that fails (too many elements, memory) leaves the grid as it was before the call.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "core/library_state.h"
#include "core/check.h"
#include "grid/grid_impl.h"
#include "grid/refine_level.h"
#include "grid/refine_midpoints.h"

namespace mosk {

// One level's bisections. Apart = false: the roots are the grid's leaves and every half is a record
// of the grid (the refinement tree). Apart = true: the roots are given (see LevelRefinement), the
// records would be scratch, so the halves are compact nodes of the level's own instead (a third
// of the bytes), numbered from 0; the grid only receives the midpoints.
template <bool Apart>
class Refiner {
public:
    explicit Refiner(GridImpl& grid)
        requires(!Apart)
        : Refiner(grid, size_t(grid.num_leaves()), grid.num_records(), {}) {}
    Refiner(GridImpl& grid, std::span<const LevelRoot> roots)
        requires(Apart)
        : Refiner(grid, roots.size(), 0, roots) {}

    // Refines every leaf once, closes the mesh and returns the new leaf list; the grid's leaf
    // list and numbering are not touched (refine_all undoes the whole call when a level fails).
    std::vector<int> run()
        requires(!Apart)
    {
        bisect_all();
        close_rounds();
        return finish(nullptr);
    }

    // The steps of run(), for leaves that other processes hold too (LevelRefinement).
    void bisect_all() {
        const std::span<const int> leaves = g_.leaf_records();
        for (size_t i = 0; i < num_roots_; ++i) {
            // Leaf i's children are first_record_ + 2 i and + 2 i + 1.
            if constexpr (Apart)
                split(roots_[i].verts, roots_[i].label);
            else
                bisect(leaves[i]);
            add_leaf(int(first_record_ + 2 * i));
            add_leaf(int(first_record_ + 2 * i + 1));
        }
    }

    // Round k rechecks the leaves that were checked before midpoints of round k - 1 appeared;
    // leaves made during a round are checked when they are made.
    void close_rounds() {
        for (;;) {
            ++round_;
            const size_t before = mids_.size();
            const size_t end = live_.size();
            // Leaves refined in this round leave the list, so that later rounds do not scan them.
            size_t kept = 0;
            for (size_t i = 0; i < end; ++i) {
                const Leaf l = live_[i];
                if (!hanging(live_verts(l), round_ - 1))
                    live_[kept++] = l;
                else if (!bisected(l.record))  // apply() may have bisected it
                    close_from(l.record);
            }
            live_.erase(live_.begin() + std::ptrdiff_t(kept), live_.begin() + std::ptrdiff_t(end));
            if (mids_.size() == before) break;
        }
    }

    // The shape of the tree that this level grew from leaf i (of the leaves at its start) below
    // its first bisection: one flag per node in preorder, child 0 first, 1 = bisected.
    void shape(int i, std::vector<uint8_t>& bits) {
        const int first = int(first_record_);
        stack_.push_back(first + 2 * i + 1);
        stack_.push_back(first + 2 * i);
        while (!stack_.empty()) {
            const auto k = kids_[size_t(stack_.back() - first)];
            stack_.pop_back();
            bits.push_back(k[0] >= 0);
            if (k[0] < 0) continue;
            stack_.push_back(k[1]);
            stack_.push_back(k[0]);
        }
    }

    // Bisects leaf i's tree wherever `bits` (a shape as above, from bits[pos] on) has a node
    // bisected that is a leaf here; advances pos past the shape. Bisection is deterministic, so
    // the same node is the same element on every process. close_applied() finishes the closure.
    void apply(int i, std::span<const uint8_t> bits, size_t& pos) {
        const int first = int(first_record_);
        stack_.push_back(first + 2 * i + 1);
        stack_.push_back(first + 2 * i);
        while (!stack_.empty()) {
            const int x = stack_.back();
            stack_.pop_back();
            if (pos >= bits.size())
                fail<std::logic_error>("refinement", "a shape from another process ends early");
            if (!bits[pos++]) continue;
            if (kids_[size_t(x - first)][0] < 0) {
                // Only a shape that bisects something here calls for a closure afterwards.
                if (!applying_) {
                    applying_ = true;
                    ++round_;  // midpoints made from here on are rechecked by the next closure
                }
                bisect(x);
                applied_.push_back(kids_[size_t(x - first)][0]);
                applied_.push_back(kids_[size_t(x - first)][1]);
            }
            const auto k = kids_[size_t(x - first)];
            stack_.push_back(k[1]);
            stack_.push_back(k[0]);
        }
    }

    // Closes the mesh after apply(): leaves bisected there leave the list of live leaves, the
    // new ones are checked, and the rounds recheck the others. False when apply() bisected
    // nothing (nothing changed).
    bool close_applied() {
        if (!applying_) return false;
        applying_ = false;
        // Live leaves that apply() bisected stay in the list until the rounds meet them: they
        // hang (the closure left no live leaf with a midpoint on an edge, so each bisection there
        // made a midpoint in the apply round), and the rounds then drop them.
        for (int r : applied_) {
            if (bisected(r)) continue;
            if (hanging(verts_of(r), 0))
                close_from(r);
            else
                add_leaf(r);
        }
        applied_.clear();
        close_rounds();
        return true;
    }

    // The leaves after the level (their records, or the compact nodes themselves); first_leaf_of
    // (when given) receives, for each leaf at the level's start, the position of its first
    // descendant, and the count at the end.
    auto finish(std::vector<int>* first_leaf_of) {
        std::vector<Leaf>().swap(live_);
        std::vector<std::conditional_t<Apart, LevelRoot, int>> leaves;
        leaves.reserve(num_roots_ + kids_.size() / 2);  // every bisection turns one leaf into two
        walk_leaves(first_leaf_of, [&](int x) {
            if constexpr (Apart)
                leaves.push_back(nodes_[size_t(x)]);
            else
                leaves.push_back(x);
        });
        return leaves;
    }

private:
    Refiner(GridImpl& grid, size_t roots, size_t first, std::span<const LevelRoot> given)
        : g_(grid),
          roots_(given),
          num_roots_(roots),
          first_record_(first),
          mids_(size_t(g_.num_vertices()), roots / 2),
          stamp_(size_t(g_.num_vertices()), 0) {
        // Closure makes two to three times the leaves on unstructured meshes; pages of a reserve
        // that are never written cost no memory.
        live_.reserve(4 * roots);
        kids_.reserve(6 * roots);
        if constexpr (Apart) nodes_.reserve(6 * roots);
        // A level makes two to four times the leaves; past this many records something is wrong
        // with the geometry, and the cap keeps a runaway closure from eating the machine.
        record_cap_ = first_record_ + 64 * roots + 1024;
    }

    // The refinement edge (local edge number): the longest edge, ties broken by the end points'
    // coordinates (the edge whose lexicographically larger end, then smaller end, is larger), so
    // that all elements around an edge agree whatever the vertices are numbered: two processes
    // that number a shared element's vertices differently choose the same edge. The comparisons
    // are exact on the stored doubles, which both sides hold alike.
    int refinement_edge(const int (&verts)[4]) const {
        int best = 0;
        double best_len = -1;
        for (int k = 0; k < 6; ++k) {
            const Point& a = g_.vertex(verts[kEdgeVerts[k][0]]);
            const Point& b = g_.vertex(verts[kEdgeVerts[k][1]]);
            // Squares of differences do not depend on the order of a and b: every element
            // computes the same length for the same edge.
            const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
            const double len = dx * dx + dy * dy + dz * dz;
            if (len > best_len || (len == best_len && edge_after(verts, k, best))) {
                best = k;
                best_len = len;
            }
        }
        return best;
    }

    // Whether local edge k of the element with vertices `verts` comes after local edge l in the
    // order of their end points' coordinates: larger end first, then smaller end (lexicographic,
    // exact).
    bool edge_after(const int (&verts)[4], int k, int l) const {
        auto ends = [&](int edge) {
            const Point& a = g_.vertex(verts[kEdgeVerts[edge][0]]);
            const Point& b = g_.vertex(verts[kEdgeVerts[edge][1]]);
            return b < a ? std::pair<const Point&, const Point&>(a, b)
                         : std::pair<const Point&, const Point&>(b, a);
        };
        const auto x = ends(k), y = ends(l);
        return y.first < x.first || (y.first == x.first && y.second < x.second);
    }

    int midpoint(int a, int b) {
        int m = mids_.find(a, b);
        if (m >= 0) return m;
        if (g_.num_vertices() >= INT_MAX)
            fail<std::length_error>("refinement", "too many vertices");
        const Point &pa = g_.vertex(std::min(a, b)), &pb = g_.vertex(std::max(a, b));
        m = g_.add_vertex({0.5 * (pa[0] + pb[0]), 0.5 * (pa[1] + pb[1]), 0.5 * (pa[2] + pb[2])});
        mids_.insert(a, b, m);
        stamp_.push_back(0);
        stamp_[a] = stamp_[b] = mark(round_);
        return m;
    }

    // True when an edge of the element with these vertices holds a midpoint whose end vertices
    // were both touched in round `since` or later (a cheap filter before the table lookup).
    bool hanging(const int (&verts)[4], int since) const {
        const int a = verts[0], b = verts[1], c = verts[2], d = verts[3];
        const uint8_t lo = mark(since);
        const unsigned touched = unsigned(stamp_[a] >= lo) | unsigned(stamp_[b] >= lo) << 1 |
                                 unsigned(stamp_[c] >= lo) << 2 | unsigned(stamp_[d] >= lo) << 3;
        auto holds = [&](int x, int y, unsigned both) {
            return (touched & both) == both && mids_.find(x, y) >= 0;
        };
        // Written out edge by edge (local edge order) so that nothing is looked up in memory.
        return holds(a, b, edge_vertex_bits(0)) || holds(a, c, edge_vertex_bits(1)) ||
               holds(a, d, edge_vertex_bits(2)) || holds(b, c, edge_vertex_bits(3)) ||
               holds(b, d, edge_vertex_bits(4)) || holds(c, d, edge_vertex_bits(5));
    }

    // Bisects (a, b, c, d) on (a, b) into (a, m, c, d) and (m, b, c, d), each child taking the
    // midpoint in the place of the vertex it loses: both keep the parent's orientation and half
    // its volume. Face labels: the face opposite the lost vertex is the new interior face (0); the
    // face opposite the kept end passes whole, the two others are halves of split faces.
    void bisect(int r) {
        int first;
        if constexpr (Apart) {
            const LevelRoot p = nodes_[size_t(r)];  // a copy: split appends to nodes_
            first = split(p.verts, p.label);
        } else {
            ELEMENT_& p = g_.element_record(r);
            TreeLinks& links = g_.tree(r);
            TreeLinks t;
            t.parent = r;
            t.level = links.level + 1;
            // Children stay with their parent's process.
            first = split(p.verts, p.label, p.owner, t);
            links.child = first;
            p.refined = 1;
        }
        if (size_t(r) >= first_record_) kids_[r - first_record_] = {first, first + 1};
    }

    // Where the tetrahedron `verts` is cut: the local ends i, j of its refinement edge and the
    // midpoint m. Refuses a level that makes more halves than it can.
    struct Cut {
        int i, j, m;
    };
    Cut cut(const int (&verts)[4]) {
        const size_t made = Apart ? nodes_.size() : g_.num_records();
        if (made + 2 > record_cap_ || made + 2 > size_t(INT_MAX))
            fail<std::length_error>("refinement",
                                    "too many elements (" + std::to_string(made) + " records)");
        const int k = refinement_edge(verts);
        const int i = kEdgeVerts[k][0], j = kEdgeVerts[k][1];
        return {i, j, midpoint(verts[i], verts[j])};
    }

    // Half s of the tetrahedron `verts` (face codes `label`) cut at `at`, into v and l: child 0
    // keeps end i, child 1 end j, the midpoint takes the other's place (see bisect).
    static void half(const int (&verts)[4], const int (&label)[4], const Cut& at, int s,
                     int (&v)[4], int (&l)[4]) {
        for (int k = 0; k < 4; ++k) {
            v[k] = verts[k];
            l[k] = label[k];
        }
        v[s == 0 ? at.j : at.i] = at.m;
        l[s == 0 ? at.i : at.j] = 0;
    }

    // The two halves of the tetrahedron `verts` (face codes `label`) as new records with owner
    // `owner` and tree links `t`; returns the first one's record.
    int split(const int (&verts)[4], const int (&label)[4], int owner, const TreeLinks& t)
        requires(!Apart)
    {
        const Cut at = cut(verts);
        ELEMENT_ c{};
        std::fill(std::begin(c.edges), std::end(c.edges), -1);
        std::fill(std::begin(c.faces), std::end(c.faces), -1);
        c.index = -1;
        c.owner = owner;
        const int first = int(g_.num_records());
        for (int s = 0; s < 2; ++s) {
            half(verts, label, at, s, c.verts, c.label);
            c.record = first + s;
            g_.add_record(c, t);
        }
        kids_.push_back({-1, -1});
        kids_.push_back({-1, -1});
        return first;
    }
    // The same as two compact nodes; returns the first one's number.
    int split(const int (&verts)[4], const int (&label)[4])
        requires(Apart)
    {
        const Cut at = cut(verts);
        const int first = int(nodes_.size());
        for (int s = 0; s < 2; ++s) {
            LevelRoot c;
            half(verts, label, at, s, c.verts, c.label);
            nodes_.push_back(c);
        }
        kids_.push_back({-1, -1});
        kids_.push_back({-1, -1});
        return first;
    }

    // The vertices of r, a record or node made in this level.
    using Verts = int[4];
    const Verts& verts_of(int r) const {
        if constexpr (Apart)
            return nodes_[size_t(r)].verts;
        else
            return g_.element_record(r).verts;
    }

    // Bisects the hanging leaf r and then, depth first, every descendant that still hangs.
    void close_from(int r) {
        stack_.push_back(r);
        while (!stack_.empty()) {
            const int x = stack_.back();
            stack_.pop_back();
            bisect(x);
            const int first = kids_[size_t(x) - first_record_][0];
            for (int c = first; c < first + 2; ++c) {
                if (hanging(verts_of(c), 0))
                    stack_.push_back(c);
                else
                    add_leaf(c);
            }
        }
    }

    // Whether r, a record made in this level, was bisected (the compact child table, not the
    // record).
    bool bisected(int r) const { return kids_[size_t(r) - first_record_][0] >= 0; }

    void add_leaf(int r) {
        if constexpr (Apart) {
            live_.push_back({r});
        } else {
            const int (&v)[4] = verts_of(r);
            live_.push_back({r, {v[0], v[1], v[2], v[3]}});
        }
    }

    // emit(x) for each leaf x after the level, children in their parent's place, child 0 first.
    // The walk reads the compact child table, not the records.
    template <class Emit>
    void walk_leaves(std::vector<int>* first_leaf_of, Emit emit) {
        const size_t old_leaves = num_roots_;
        int count = 0;
        const int first = int(first_record_);
        if (first_leaf_of) first_leaf_of->assign(old_leaves + 1, 0);
        for (size_t i = 0; i < old_leaves; ++i) {
            if (first_leaf_of) (*first_leaf_of)[i] = count;
            stack_.push_back(first + int(2 * i + 1));
            stack_.push_back(first + int(2 * i));
            while (!stack_.empty()) {
                const int x = stack_.back();
                stack_.pop_back();
                const auto& k = kids_[size_t(x - first)];
                if (k[0] < 0) {
                    emit(x);
                    ++count;
                } else {
                    stack_.push_back(k[1]);
                    stack_.push_back(k[0]);
                }
            }
        }
        if (first_leaf_of) first_leaf_of->back() = count;
    }

    GridImpl& g_;
    const std::span<const LevelRoot> roots_;  // when Apart: the roots
    const size_t num_roots_;
    const size_t first_record_;
    size_t record_cap_ = 0;
    RefineMidpoints mids_;
    // Per vertex: mark() of the last round in which it became an end of a bisected edge, 0 for
    // none. A byte keeps the table in the cache; from round 254 on the marks saturate, which
    // only weakens the filter (a leaf is rechecked only for midpoints made since its last check,
    // and those have both ends marked in that round or later).
    std::vector<uint8_t> stamp_;
    static uint8_t mark(int round) { return uint8_t(std::min(round + 1, 255)); }
    std::vector<int> stack_;
    // The leaves made in this level, until they are refined: the rounds scan this. A record's
    // vertices are copied (a fifth of its bytes); compact nodes, which the list meets in the order
    // they were made, are read where they are.
    struct LeafOfRecord {
        int record;
        int verts[4];
    };
    struct LeafOfNode {
        int record;
    };
    using Leaf = std::conditional_t<Apart, LeafOfNode, LeafOfRecord>;
    const Verts& live_verts(const Leaf& l) const {
        if constexpr (Apart)
            return nodes_[size_t(l.record)].verts;
        else
            return l.verts;
    }
    std::vector<Leaf> live_;
    std::vector<std::array<int, 2>> kids_;  // children of the records (nodes) made in this level
    std::vector<LevelRoot> nodes_;  // when Apart: the halves made in this level
    int round_ = 0;
    bool applying_ = false;
    std::vector<int> applied_;  // children made by apply(), not yet checked
};

class LevelRefiner : public Refiner<true> {
public:
    using Refiner<true>::Refiner;
};

LevelRefinement::LevelRefinement(GridImpl& grid, std::span<const LevelRoot> roots)
    : refiner_(std::make_unique<LevelRefiner>(grid, roots)) {
    refiner_->bisect_all();
    refiner_->close_rounds();
}
LevelRefinement::~LevelRefinement() = default;
void LevelRefinement::shape(int leaf, std::vector<uint8_t>& bits) const {
    refiner_->shape(leaf, bits);
}
void LevelRefinement::apply(int leaf, std::span<const uint8_t> bits, size_t& pos) {
    refiner_->apply(leaf, bits, pos);
}
bool LevelRefinement::close() { return refiner_->close_applied(); }
std::vector<LevelRoot> LevelRefinement::finish(std::vector<int>& first_leaf_of) {
    return refiner_->finish(&first_leaf_of);
}

void check_refinement_levels(int64_t leaves, int levels) {
    // Every level at least doubles the leaves: refuse at once what 32-bit element numbers
    // cannot hold, instead of failing after minutes and gigabytes.
    if (levels > 30 || (uint64_t(leaves) << levels) > uint64_t(INT_MAX))
        fail<std::invalid_argument>(
            "refinement", std::to_string(levels) + " levels of " + std::to_string(leaves) +
                              " elements make more than " + std::to_string(INT_MAX) + " elements");
}

void refine_all(GridImpl& grid, int levels, const std::function<void()>& finish) {
    if (levels <= 0 || grid.num_leaves() == 0) {
        if (finish) finish();
        return;
    }
    check_refinement_levels(grid.num_leaves(), levels);
    // For undoing the whole call: the records made stay in the store, unreachable.
    const std::span<const int> before = grid.leaf_records();
    std::vector<int> original(before.begin(), before.end());
    const int first_vertex = grid.num_vertices();
    try {
        for (int level = 0; level < levels; ++level) {
            // The refiner's tables are freed before the next level and before the numbering.
            std::vector<int> next = Refiner<false>(grid).run();
            grid.swap_leaves(next);
            log_message(1, "refinement: level " + std::to_string(level + 1) + " of " +
                               std::to_string(levels) + ": " + std::to_string(grid.num_leaves()) +
                               " elements, " + std::to_string(grid.num_vertices()) + " vertices");
        }
        // The leaf mesh is numbered once, after the last level: refinement reads only vertices
        // and face labels, and bisection keeps the labels right (interior 0, boundary inherited).
        grid.number_leaf_mesh();
        if (finish) finish();
    } catch (...) {
        // Back to the grid before the call, numbered as it was (the numbering is deterministic).
        for (int r : original) {
            grid.tree(r).child = -1;
            grid.element_record(r).refined = 0;
        }
        grid.drop_vertices_from(first_vertex);
        grid.swap_leaves(original);
        grid.number_leaf_mesh();
        throw;
    }
}

}  // namespace mosk
