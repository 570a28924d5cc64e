#include "solver/sparsity_pattern.h"
#include "core/check.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

namespace mosk {

SparsityPattern::SparsityPattern(int n, std::span<const int> offsets, std::span<const int> indices,
                                 const std::vector<char>& held, const char* op)
    : n_(n) {
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
    for (std::size_t k = 0; k < indices.size(); ++k)
        check_index(op, "element DOF", int(k), indices[k]);

    // DOF -> elements holding it (CSR).
    std::vector<std::int64_t> dof_start(std::size_t(n_) + 1, 0);
    for (int i : indices) ++dof_start[std::size_t(i) + 1];
    for (int i = 0; i < n_; ++i) dof_start[i + 1] += dof_start[i];
    std::vector<int> dof_elems(indices.size());
    {
        std::vector<std::int64_t> fill(dof_start.begin(), dof_start.end() - 1);
        for (std::size_t e = 0; e < nelem; ++e)
            for (int k = offsets[e]; k < offsets[e + 1]; ++k)
                dof_elems[fill[indices[k]]++] = int(e);
    }

    // The held rows in increasing order, with their slots.
    std::vector<int> rows;
    if (!held.empty()) {
        if (held.size() != std::size_t(n_))
            fail<std::invalid_argument>(
                op, std::to_string(held.size()) + " row flags for " + std::to_string(n_) + " rows");
        row_slot_.assign(std::size_t(n_), -1);
        for (int i = 0; i < n_; ++i)
            if (held[i]) {
                row_slot_[i] = int(rows.size());
                rows.push_back(i);
            }
    }
    const int nheld = held.empty() ? n_ : int(rows.size());

    // Row i: its diagonal and every DOF of every element holding i, each once.
    row_start_.assign(std::size_t(nheld) + 1, 0);
    columns_.clear();
    std::vector<int> seen(std::size_t(n_), -1);
    std::vector<PetscInt> row;
    for (int k = 0; k < nheld; ++k) {
        const int i = held.empty() ? k : rows[k];
        row.clear();
        row.push_back(i);
        seen[i] = i;
        for (std::int64_t p = dof_start[i]; p < dof_start[i + 1]; ++p) {
            const int e = dof_elems[p];
            for (int k = offsets[e]; k < offsets[e + 1]; ++k) {
                const int j = indices[k];
                if (seen[j] != i) {
                    seen[j] = i;
                    row.push_back(j);
                }
            }
        }
        std::sort(row.begin(), row.end());
        if (columns_.size() + row.size() > std::size_t(std::numeric_limits<PetscInt>::max()))
            fail<std::length_error>(op,
                                    "the pattern has more entries than "
                                    "PETSc's index type can count");
        columns_.insert(columns_.end(), row.begin(), row.end());
        row_start_[k + 1] = PetscInt(columns_.size());
    }
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
