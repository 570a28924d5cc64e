// A growing array whose elements never move: storage comes in fixed-size chunks, so pointers to
// records stay valid while records are appended (the element store hands out ELEMENT_ pointers).
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace mosk {

template <class T, unsigned ChunkBits = 14>
class ChunkedStore {
public:
    static constexpr std::size_t chunk_size = std::size_t(1) << ChunkBits;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    T& operator[](std::size_t i) { return chunks_[i >> ChunkBits][i & (chunk_size - 1)]; }
    const T& operator[](std::size_t i) const {
        return chunks_[i >> ChunkBits][i & (chunk_size - 1)];
    }

    // Appends a value-initialised record and returns it.
    T& push_back(const T& value) {
        if ((size_ >> ChunkBits) == chunks_.size()) {
            // Owned before the list grows: a list that fails to grow must not leak the chunk.
            std::unique_ptr<T[]> chunk(new T[chunk_size]);
            chunks_.push_back(std::move(chunk));
        }
        T& slot = (*this)[size_++];
        slot = value;
        return slot;
    }

    // Drops the records from n on; chunks that only they used are freed.
    void truncate(std::size_t n) {
        if (n >= size_) return;
        size_ = n;
        chunks_.resize((n + chunk_size - 1) >> ChunkBits);
    }

    // True when p points at record i of this store (never dereferences p).
    bool holds(std::size_t i, const T* p) const { return i < size_ && &(*this)[i] == p; }

    std::size_t bytes() const { return chunks_.size() * chunk_size * sizeof(T); }

private:
    std::vector<std::unique_ptr<T[]>> chunks_;
    std::size_t size_ = 0;
};

}  // namespace mosk
