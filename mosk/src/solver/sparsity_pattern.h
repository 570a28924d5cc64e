// The coupling pattern of a system assembled from element lists: two indices are coupled when
// some element holds both, and every row holds its diagonal. A process keeps the rows it holds,
// each with its columns sorted: its own range of rows and the rows of its elements outside it
// (on one process every row). Nothing it keeps or builds has the size of all rows: a process
// holding a part of the elements needs memory for that part alone.
#pragma once

#include <petscsys.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace mosk {

class SparsityPattern {
public:
    SparsityPattern() = default;
    // n indices over all processes; element e holds indices[offsets[e] .. offsets[e+1]-1]
    // (offsets has one entry per element plus one; an empty `offsets` means no element). This
    // process owns the rows first .. first + count - 1 and holds them and the other rows of the
    // elements flagged in `mine` (empty: every element). Throws std::invalid_argument for
    // inconsistent offsets, flags or rows, std::out_of_range for an index outside 0..n-1, both
    // naming `operation`.
    SparsityPattern(int n, int first, int count, std::span<const int> offsets,
                    std::span<const int> indices, std::span<const char> mine,
                    const char* operation);

    int size() const { return n_; }
    std::int64_t entries() const { return std::int64_t(columns_.size()); }
    // The slot of a held row, -1 for a row this process does not hold: the owned rows are the
    // slots 0 .. count - 1 in order, the others follow in increasing order.
    int slot(int row) const {
        const unsigned owned = unsigned(row - first_);
        if (owned < unsigned(count_)) return int(owned);
        const auto at = std::lower_bound(others_.begin(), others_.end(), row);
        return at != others_.end() && *at == row ? count_ + int(at - others_.begin()) : -1;
    }
    // The sorted columns of the row in slot k (none for an own row once they were dropped), the
    // first of them at first_entry(k) among entries().
    const PetscInt* begin(int k) const { return columns_.data() + start(k); }
    const PetscInt* end(int k) const { return columns_.data() + start(k + 1); }
    PetscInt first_entry(int k) const { return start(k); }
    // The held rows outside the own range, increasing: other_row(j) is in slot count + j.
    int other_rows() const { return int(others_.size()); }
    int other_row(int j) const { return others_[std::size_t(j)]; }
    const std::vector<PetscInt>& row_starts() const { return row_start_; }
    bool contains(int row, int col) const;
    // Frees the columns of the own rows, for a caller that keeps them elsewhere (the matrix):
    // only the other rows' remain.
    void drop_own_rows();
    bool own_rows_dropped() const { return dropped_; }

    // Throws std::out_of_range naming `operation`, `what` and the position of an index outside
    // 0..size()-1 (inline: the additions check every index).
    void check_index(const char* operation, const char* what, int position, int index) const {
        if (index < 0 || index >= n_) fail_index(operation, what, position, index);
    }

private:
    [[noreturn]] void fail_index(const char* operation, const char* what, int position,
                                 int index) const;

    // Where slot k's columns start; after drop_own_rows row_start_ holds the other rows' alone.
    PetscInt start(int k) const {
        return !dropped_ ? row_start_[k] : k <= count_ ? 0 : row_start_[k - count_];
    }

    int n_ = 0, first_ = 0, count_ = 0;
    bool dropped_ = false;
    std::vector<int> others_;  // the held rows outside first .. first + count - 1, increasing
    std::vector<PetscInt> row_start_, columns_;  // CSR by slot
};

}  // namespace mosk
