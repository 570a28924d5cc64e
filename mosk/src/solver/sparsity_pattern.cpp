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

// The rows are built on local numbers (the held rows by slot, then the other columns of the
// elements that hold them), so that the scratch has the size of this process's part; `global`
// turns a local number back into an index.
template <class Global>
void SparsityPattern::build_rows(std::span<const int> offsets, std::span<const int> local,
                                 std::span<const char> relevant, int columns, Global global,
                                 const char* op) {
    const int held = count_ + int(others_.size());
    const std::size_t nelem = offsets.empty() ? 0 : offsets.size() - 1;
    auto holds_rows = [&](std::size_t e) { return relevant.empty() || relevant[e]; };

    // Held row -> the elements holding it (CSR).
    std::vector<std::int64_t> start(std::size_t(held) + 1, 0);
    for (std::size_t e = 0; e < nelem; ++e)
        if (holds_rows(e))
            for (int k = offsets[e]; k < offsets[e + 1]; ++k)
                if (local[k] < held) ++start[std::size_t(local[k]) + 1];
    for (int i = 0; i < held; ++i) start[i + 1] += start[i];
    std::vector<int> elements(std::size_t(start[held]));
    {
        std::vector<std::int64_t> fill(start.begin(), start.end() - 1);
        for (std::size_t e = 0; e < nelem; ++e)
            if (holds_rows(e))
                for (int k = offsets[e]; k < offsets[e + 1]; ++k)
                    if (local[k] < held) elements[fill[local[k]]++] = int(e);
    }

    // Row i: its diagonal and every index of every element holding i, each once. A byte per
    // column marks those met in the row (cleared after it): small enough to stay in cache. An
    // index is written whether met or not and kept by the count alone: a branch on it would be
    // mispredicted about once in three.
    row_start_.assign(std::size_t(held) + 1, 0);
    columns_.clear();
    std::vector<char> met(std::size_t(columns), 0);
    std::vector<int> row;
    for (int i = 0; i < held; ++i) {
        std::size_t length = 1, most = 1;
        for (std::int64_t p = start[i]; p < start[i + 1]; ++p)
            most += std::size_t(offsets[elements[p] + 1] - offsets[elements[p]]);
        if (row.size() < most) row.resize(most);
        row[0] = i;
        met[i] = 1;
        for (std::int64_t p = start[i]; p < start[i + 1]; ++p) {
            const int e = elements[p];
            for (int k = offsets[e]; k < offsets[e + 1]; ++k) {
                const int j = local[k];
                row[length] = j;
                length += !met[j];
                met[j] = 1;
            }
        }
        for (std::size_t q = 0; q < length; ++q) met[row[q]] = 0;
        if (columns_.size() + length > std::size_t(std::numeric_limits<PetscInt>::max()))
            fail<std::length_error>(op,
                                    "the pattern has more entries than "
                                    "PETSc's index type can count");
        const std::size_t at = columns_.size();
        for (std::size_t q = 0; q < length; ++q) columns_.push_back(global(row[q]));
        std::sort(columns_.begin() + at, columns_.end());
        row_start_[i + 1] = PetscInt(columns_.size());
    }
}

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

    if (first == 0 && count == n) {  // every row is this process's: local numbers are indices
        build_rows(offsets, indices, {}, n, [](int j) { return PetscInt(j); }, op);
        return;
    }
    auto owned = [&](int i) { return unsigned(i - first) < unsigned(count); };
    for (std::size_t e = 0; e < nelem; ++e)
        if (mine.empty() || mine[e])
            for (int k = offsets[e]; k < offsets[e + 1]; ++k)
                if (!owned(indices[k])) others_.push_back(indices[k]);
    sort_unique(others_);
    const int held = count + int(others_.size());

    // The elements holding a held row, and the other indices they hold.
    std::vector<char> relevant(nelem, 0);
    std::vector<int> extra;
    for (std::size_t e = 0; e < nelem; ++e) {
        for (int k = offsets[e]; k < offsets[e + 1] && !relevant[e]; ++k)
            relevant[e] = slot(indices[k]) >= 0;
        if (relevant[e])
            for (int k = offsets[e]; k < offsets[e + 1]; ++k)
                if (slot(indices[k]) < 0) extra.push_back(indices[k]);
    }
    sort_unique(extra);
    std::vector<int> local(indices.size(), -1);
    for (std::size_t e = 0; e < nelem; ++e)
        if (relevant[e])
            for (int k = offsets[e]; k < offsets[e + 1]; ++k) {
                const int s = slot(indices[k]);
                local[k] =
                    s >= 0 ? s
                           : held + int(std::lower_bound(extra.begin(), extra.end(), indices[k]) -
                                        extra.begin());
            }
    build_rows(
        offsets, local, relevant, held + int(extra.size()),
        [&](int j) {
            return PetscInt(j < count  ? first + j
                            : j < held ? others_[j - count]
                                       : extra[j - held]);
        },
        op);
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
