#include "solver/sparsity_pattern.h"
#include "core/check.h"

#include <limits>
#include <stdexcept>
#include <string>

namespace mosk {

namespace {

void sort_unique(std::vector<int>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

}  // namespace

SparsityPattern::SparsityPattern(int n, int first, int count, std::span<const int> offsets,
                                 std::span<const int> indices, std::span<const char> mine,
                                 const char* op)
    : n_(n), first_(first), count_(count) {
    if (offsets.empty() && !indices.empty())
        fail<std::invalid_argument>(op, "element indices given without offsets");
    const std::size_t nelem = offsets.empty() ? 0 : offsets.size() - 1;
    if (!offsets.empty()) {
        if (offsets[0] != 0)
            fail<std::invalid_argument>(
                op, "offsets must start at 0, not " + std::to_string(offsets[0]));
        for (std::size_t e = 0; e < nelem; ++e)
            if (offsets[e + 1] < offsets[e])
                fail<std::invalid_argument>(op, "offsets decrease at element " + std::to_string(e));
        if (std::size_t(offsets[nelem]) != indices.size())
            fail<std::invalid_argument>(op, "offsets end at " + std::to_string(offsets[nelem]) +
                                                " but " + std::to_string(indices.size()) +
                                                " indices are given");
    }
    if (first < 0 || count < 0 || first > n - count)
        fail<std::invalid_argument>(op, "rows " + std::to_string(first) + " + " +
                                            std::to_string(count) + " outside 0.." +
                                            std::to_string(n - 1));
    if (!mine.empty() && mine.size() != nelem)
        fail<std::invalid_argument>(op, std::to_string(mine.size()) + " element flags for " +
                                            std::to_string(nelem) + " elements");
    for (std::size_t k = 0; k < indices.size(); ++k)
        check_index(op, "element DOF", int(k), indices[k]);
    auto owned = [&](int i) { return unsigned(i - first) < unsigned(count); };

    // The held rows outside the own range: those of this process's elements.
    for (std::size_t e = 0; e < nelem; ++e)
        if (mine.empty() || mine[e])
            for (int k = offsets[e]; k < offsets[e + 1]; ++k)
                if (!owned(indices[k])) others_.push_back(indices[k]);
    sort_unique(others_);
    const int held = count + int(others_.size());

    // The elements holding a held row (all of them when every index is owned), and every index
    // outside the own range that they hold. A column's number in the scratch below is its
    // position among the owned rows, or count + its position among those outside.
    std::vector<char> relevant(nelem, 1);
    std::vector<int> outside;
    if (!(first == 0 && count == n))
        for (std::size_t e = 0; e < nelem; ++e) {
            bool holds = false;
            for (int k = offsets[e]; k < offsets[e + 1] && !holds; ++k)
                holds = slot(indices[k]) >= 0;
            relevant[e] = holds;
            if (holds)
                for (int k = offsets[e]; k < offsets[e + 1]; ++k)
                    if (!owned(indices[k])) outside.push_back(indices[k]);
        }
    sort_unique(outside);
    auto number = [&](int i) {
        return owned(i) ? i - first
                        : count + int(std::lower_bound(outside.begin(), outside.end(), i) -
                                      outside.begin());
    };

    // Held row -> the elements holding it (CSR).
    std::vector<std::int64_t> start(std::size_t(held) + 1, 0);
    for (std::size_t e = 0; e < nelem; ++e)
        if (relevant[e])
            for (int k = offsets[e]; k < offsets[e + 1]; ++k)
                if (const int s = slot(indices[k]); s >= 0) ++start[std::size_t(s) + 1];
    for (int i = 0; i < held; ++i) start[i + 1] += start[i];
    std::vector<int> elements(static_cast<std::size_t>(start.back()));
    {
        std::vector<std::int64_t> fill(start.begin(), start.end() - 1);
        for (std::size_t e = 0; e < nelem; ++e)
            if (relevant[e])
                for (int k = offsets[e]; k < offsets[e + 1]; ++k)
                    if (const int s = slot(indices[k]); s >= 0) elements[fill[s]++] = int(e);
    }

    // Row i: its diagonal and every index of every element holding i, each once. A byte per
    // column marks those met in the row (cleared after it): small enough to stay in cache. An
    // index is written whether met or not and kept by the count alone: a branch on it would be
    // mispredicted about once in three.
    row_start_.assign(std::size_t(held) + 1, 0);
    std::vector<char> met(std::size_t(count) + outside.size(), 0);
    std::vector<int> row;
    // Row r's columns into row[0 .. length - 1], unsorted; inlined at both uses, and through
    // plain pointers: a byte written to `met` could otherwise alias the vectors' own pointers,
    // which the loop would reload after every write.
    auto gather = [&](int r) __attribute__((always_inline)) {
        std::size_t length = 1, most = 1;
        for (std::int64_t p = start[r]; p < start[r + 1]; ++p)
            most += std::size_t(offsets[elements[p] + 1] - offsets[elements[p]]);
        if (row.size() < most) row.resize(most);
        int* const out = row.data();
        char* const seen = met.data();
        out[0] = r < count ? first + r : others_[std::size_t(r - count)];
        seen[number(out[0])] = 1;
        for (std::int64_t p = start[r]; p < start[r + 1]; ++p) {
            const int e = elements[p];
            for (int k = offsets[e]; k < offsets[e + 1]; ++k) {
                const int j = number(indices[k]);
                out[length] = indices[k];
                length += !seen[j];
                seen[j] = 1;
            }
        }
        for (std::size_t q = 0; q < length; ++q) seen[number(out[q])] = 0;
        return length;
    };
    // Room for the whole pattern as every 32nd row foretells it, with a margin: growing by
    // doubling would leave up to half of it unused and hold the old and the new storage at once
    // (the largest allocation of the pattern).
    {
        std::size_t sampled = 0, rows = 0;
        for (int r = 0; r < held; r += 32, ++rows) sampled += gather(r);
        if (rows > 0) columns_.reserve(sampled * std::size_t(held) / rows * 33 / 32 + 64);
    }
    for (int r = 0; r < held; ++r) {
        const std::size_t length = gather(r);
        if (columns_.size() + length > std::size_t(std::numeric_limits<PetscInt>::max()))
            fail<std::length_error>(op,
                                    "the pattern has more entries than "
                                    "PETSc's index type can count");
        std::sort(row.begin(), row.begin() + std::ptrdiff_t(length));
        columns_.insert(columns_.end(), row.begin(), row.begin() + std::ptrdiff_t(length));
        row_start_[r + 1] = PetscInt(columns_.size());
    }
}

void SparsityPattern::drop_own_rows() {
    if (dropped_) return;
    const PetscInt own = row_start_[std::size_t(count_)];
    columns_.erase(columns_.begin(), columns_.begin() + own);
    row_start_.erase(row_start_.begin(), row_start_.begin() + count_);
    for (PetscInt& p : row_start_) p -= own;
    columns_.shrink_to_fit();
    row_start_.shrink_to_fit();
    dropped_ = true;
}

bool SparsityPattern::contains(int row, int col) const {
    const int k = slot(row);
    if (k < 0) return false;
    const PetscInt* it = std::lower_bound(begin(k), end(k), PetscInt(col));
    return it != end(k) && *it == col;
}

void SparsityPattern::fail_index(const char* operation, const char* what, int position,
                                 int index) const {
    fail<std::out_of_range>(operation, std::string(what) + " index " + std::to_string(index) +
                                           " (position " + std::to_string(position) +
                                           ") is outside 0.." + std::to_string(n_ - 1));
}

}  // namespace mosk
