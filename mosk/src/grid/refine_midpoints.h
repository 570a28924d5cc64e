// Midpoints of the edges bisected during one refinement level, found by the edge's sorted vertex
// pair. Open addressing with linear probing over 12-byte slots (key and value in one cache line),
// at most half full, and a presence filter of eight bits per slot that answers most "no
// midpoint" questions from a table small enough for the cache: the closure asks that for every
// edge of every new element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

namespace mosk {

class RefineMidpoints {
public:
    explicit RefineMidpoints(size_t expected = 0) { rehash(capacity_for(expected)); }

    size_t size() const { return count_; }

    // The midpoint vertex of the edge between vertices a and b (either order), or -1.
    int find(int a, int b) const {
        if (a > b) std::swap(a, b);
        const uint64_t h = hash(a, b);
        if (!(filter_[(h >> filter_shift_) >> 6] >> ((h >> filter_shift_) & 63) & 1)) return -1;
        for (size_t s = h >> shift_;; s = (s + 1) & mask_) {
            const Slot& slot = slots_[s];
            if (slot.hi == uint32_t(b) && slot.lo == uint32_t(a)) return slot.vertex;
            if (slot.hi == 0) return -1;
        }
    }

    // Stores `vertex` as the midpoint of an edge (a, b) that has none yet.
    void insert(int a, int b, int vertex) {
        if (a > b) std::swap(a, b);
        if (2 * (count_ + 1) > slots_.size()) rehash(slots_.size() * 2);
        place(uint32_t(a), uint32_t(b), vertex);
        ++count_;
    }

private:
    // An empty slot has hi == 0, which no edge has (its high vertex exceeds its low one).
    struct Slot {
        uint32_t lo = 0, hi = 0;
        int32_t vertex = -1;
    };

    static size_t capacity_for(size_t expected) {
        size_t c = 1024;
        while (c < 2 * expected) c *= 2;
        return c;
    }

    // Fibonacci hashing: the high bits of the product mix both vertex numbers.
    static uint64_t hash(int a, int b) {
        return (uint64_t(uint32_t(a)) << 32 | uint32_t(b)) * 0x9E3779B97F4A7C15ull;
    }

    void place(uint32_t a, uint32_t b, int vertex) {
        const uint64_t h = hash(int(a), int(b));
        const uint64_t bit = h >> filter_shift_;
        filter_[bit >> 6] |= uint64_t(1) << (bit & 63);
        size_t s = h >> shift_;
        while (slots_[s].hi != 0) s = (s + 1) & mask_;
        slots_[s] = {a, b, vertex};
    }

    void rehash(size_t capacity) {
        if (capacity > (size_t(1) << 40))
            fail<std::length_error>("refinement", "midpoint table too large");
        unsigned bits = 0;
        while ((size_t(1) << bits) < capacity) ++bits;
        std::vector<Slot> old(capacity);
        old.swap(slots_);
        mask_ = capacity - 1;
        shift_ = 64 - bits;
        // Eight filter bits per slot, indexed by the top bits + 3 bits of the hash.
        filter_shift_ = 64 - (bits + 3);
        filter_.assign(capacity * 8 / 64, 0);
        for (const Slot& s : old)
            if (s.hi != 0) place(s.lo, s.hi, s.vertex);
    }

    std::vector<Slot> slots_;
    std::vector<uint64_t> filter_;
    size_t mask_ = 0;
    unsigned shift_ = 64, filter_shift_ = 0;
    size_t count_ = 0;
};

}  // namespace mosk
