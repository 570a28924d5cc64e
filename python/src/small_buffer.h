// A buffer of n values on the stack while n is at most N (every element's basis, index list or
// value list of the library's types), on the heap beyond: per-element calls allocate nothing.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace mosk {

template <class T, size_t N>
class SmallBuffer {
public:
    explicit SmallBuffer(size_t n = 0) { resize(n); }

    // Sets the size; the contents are unspecified afterwards.
    void resize(size_t n) {
        size_ = n;
        if (n > N)
            heap_.resize(n);
        else
            heap_.clear();
    }
    T* data() { return heap_.empty() ? stack_.data() : heap_.data(); }
    const T* data() const { return heap_.empty() ? stack_.data() : heap_.data(); }
    size_t size() const { return size_; }
    T& operator[](size_t i) { return data()[i]; }

private:
    std::array<T, N> stack_;
    std::vector<T> heap_;
    size_t size_ = 0;
};

}  // namespace mosk
