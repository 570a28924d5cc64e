// Midpoints of the edges bisected during one refinement level, found by the edge's sorted vertex
// pair. Open addressing with linear probing in two flat arrays (12 bytes a slot, at most half
// full): a node-based map would cost several times the memory and a cache miss per probe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

namespace mosk {

class RefineMidpoints {
public:
    // Key of the edge between vertices a and b (either order); never 0, since a != b.
    static uint64_t key(int a, int b) {
        if (a > b) std::swap(a, b);
        return uint64_t(uint32_t(a)) << 32 | uint32_t(b);
    }

    explicit RefineMidpoints(size_t expected = 0) { rehash(capacity_for(expected)); }

    size_t size() const { return count_; }
    size_t bytes() const { return keys_.capacity() * 8 + values_.capacity() * 4; }

    // The midpoint vertex of the edge, or -1 when the edge has none.
    int find(uint64_t k) const {
        for (size_t s = slot(k);; s = (s + 1) & mask_) {
            if (keys_[s] == k) return values_[s];
            if (keys_[s] == 0) return -1;
        }
    }

    // Stores `vertex` as the midpoint of an edge that has none yet.
    void insert(uint64_t k, int vertex) {
        if (2 * (count_ + 1) > keys_.size()) rehash(keys_.size() * 2);
        place(k, vertex);
        ++count_;
    }

private:
    static size_t capacity_for(size_t expected) {
        size_t c = 1024;
        while (c < 2 * expected) c *= 2;
        return c;
    }

    size_t slot(uint64_t k) const {
        // Fibonacci hashing: the high bits of the product mix both vertex numbers.
        return size_t((k * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void place(uint64_t k, int vertex) {
        size_t s = slot(k);
        while (keys_[s] != 0) s = (s + 1) & mask_;
        keys_[s] = k;
        values_[s] = vertex;
    }

    void rehash(size_t capacity) {
        if (capacity == 0 || capacity > (size_t(1) << 40))
            throw std::length_error("mosk: refinement: midpoint table too large");
        std::vector<uint64_t> old_keys(capacity, 0);
        std::vector<int> old_values(capacity, -1);
        old_keys.swap(keys_);
        old_values.swap(values_);
        mask_ = capacity - 1;
        shift_ = 64;
        for (size_t c = capacity; c > 1; c >>= 1) --shift_;
        for (size_t s = 0; s < old_keys.size(); ++s)
            if (old_keys[s] != 0) place(old_keys[s], old_values[s]);
    }

    std::vector<uint64_t> keys_;
    std::vector<int> values_;
    size_t mask_ = 0;
    unsigned shift_ = 64;
    size_t count_ = 0;
};

}  // namespace mosk
