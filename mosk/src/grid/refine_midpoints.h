// Midpoints of the edges bisected during one refinement level, found by the edge's sorted vertex
// pair: per low vertex, a list of (high vertex, midpoint) entries whose first entry is stored in
// place. The closure asks for every edge of every new element whether it has a midpoint; most
// answers come from the low vertex's first entry alone. Vertices are numbered in the order refinement walks the mesh, so
// the lookups of neighbouring elements fall on neighbouring heads: unlike a hashed table, the
// walk stays in the cache.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/check.h"

namespace mosk {

class RefineMidpoints {
public:
    // `vertices`: vertices before the level; `expected`: midpoints the level is likely to make.
    RefineMidpoints(size_t vertices, size_t expected) : first_(vertices + expected) {}

    size_t size() const { return count_; }

    // The midpoint vertex of the edge between vertices a and b (either order), or -1.
    int find(int a, int b) const {
        if (a > b) std::swap(a, b);
        if (size_t(a) >= first_.size()) return -1;
        const Entry* x = &first_[size_t(a)];
        while (x->high != b) {
            if (x->next < 0) return -1;
            x = &more_[size_t(x->next)];
        }
        return x->vertex;
    }

    // Stores `vertex` as the midpoint of an edge (a, b) that has none yet.
    void insert(int a, int b, int vertex) {
        if (a > b) std::swap(a, b);
        if (more_.size() >= size_t(INT32_MAX))
            fail<std::length_error>("refinement", "midpoint table too large");
        if (size_t(a) >= first_.size()) first_.resize(std::max(size_t(a) + 1, 2 * first_.size()));
        Entry& head = first_[size_t(a)];
        if (head.high != kNone) {
            // The list's first entry stays in place; the new one goes second.
            more_.push_back({b, vertex, head.next});
            head.next = int(more_.size() - 1);
        } else {
            head = {b, vertex, -1};
        }
        ++count_;
    }

private:
    static constexpr int kNone = -1;
    struct Entry {
        int high = kNone;  // the edge's other (higher) vertex, kNone in an empty first entry
        int vertex = -1;  // its midpoint
        int next = -1;  // next entry of the same low vertex in more_, -1 at the end
    };
    // Per low vertex its first entry, in place: most lookups end there.
    std::vector<Entry> first_;
    std::vector<Entry> more_;
    size_t count_ = 0;
};

}  // namespace mosk
