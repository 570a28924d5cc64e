// The coupling pattern of a system assembled from element lists: two indices are coupled when
// some element holds both, and every row holds its diagonal. A process keeps the rows it holds
// (on one process every row), each with its columns sorted.
#pragma once

#include <petscsys.h>

#include <cstdint>
#include <span>
#include <vector>

namespace mosk {

class SparsityPattern {
public:
    SparsityPattern() = default;
    // n indices over all processes; element e holds indices[offsets[e] .. offsets[e+1]-1]
    // (offsets has one entry per element plus one; an empty `offsets` means no element). `held`
    // flags the rows to keep (empty: every row). Throws std::invalid_argument for inconsistent
    // offsets, std::out_of_range for an index outside 0..n-1, both naming `operation`.
    SparsityPattern(int n, std::span<const int> offsets, std::span<const int> indices,
                    const std::vector<char>& held, const char* operation);

    int size() const { return n_; }
    std::int64_t entries() const { return std::int64_t(columns_.size()); }
    // The slot of a held row, -1 for a row this process does not hold.
    int slot(int row) const { return row_slot_.empty() ? row : row_slot_[row]; }
    // The sorted columns of the row in slot k.
    const PetscInt* begin(int k) const { return columns_.data() + row_start_[k]; }
    const PetscInt* end(int k) const { return columns_.data() + row_start_[k + 1]; }
    PetscInt first_entry(int k) const { return row_start_[k]; }
    const std::vector<PetscInt>& row_starts() const { return row_start_; }
    bool contains(int row, int col) const;

    // Throws std::out_of_range naming `operation`, `what` and the position of an index outside
    // 0..size()-1 (inline: the additions check every index).
    void check_index(const char* operation, const char* what, int position, int index) const {
        if (index < 0 || index >= n_) fail_index(operation, what, position, index);
    }

private:
    [[noreturn]] void fail_index(const char* operation, const char* what, int position,
                                 int index) const;

    int n_ = 0;
    std::vector<int> row_slot_;  // row -> slot, -1 for a row not held; empty: slot = row
    std::vector<PetscInt> row_start_, columns_;  // CSR by slot
};

}  // namespace mosk
