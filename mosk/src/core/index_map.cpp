#include "core/index_map.h"

#include <mpi.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/check.h"
#include "core/parallel.h"
#include "mosk.h"

namespace mosk {
namespace {

constexpr int kAskTag = 7301, kAnswerTag = 7302, kValuesTag = 7303;

MPI_Comm mpi_comm(int comm) { return MPI_Comm_f2c(comm == -1 ? moskComm : comm); }

void wait_all(std::vector<MPI_Request>& requests) {
    CHECK_MPI("index map", MPI_Waitall(int(requests.size()), requests.data(), MPI_STATUSES_IGNORE));
    requests.clear();
}

}  // namespace

IndexMap::IndexMap(int comm, std::span<const int64_t> owned_keys, std::span<const int> ghost_owners,
                   std::span<const int64_t> ghost_keys)
    : comm_(comm),
      owned_(int(owned_keys.size())),
      ghost_owners_(ghost_owners.begin(), ghost_owners.end()) {
    const int rank = process_rank(comm), nprocs = process_count(comm);
    // Owned keys sorted with their positions, for answering the processes that ask; keys given
    // in increasing order (the usual case) are searched where they are, without a copy.
    std::vector<std::pair<int64_t, int>> by_key;
    bool sorted = true;
    collective(comm, [&] {
        if (ghost_owners.size() != ghost_keys.size())
            fail("index map", "ghost owners and keys differ in number");
        for (int q : ghost_owners)
            if (q < 0 || q >= nprocs || q == rank)
                fail("index map", "a ghost's owner " + std::to_string(q) +
                                      " is not another process of " + std::to_string(nprocs));
        for (size_t i = 1; i < owned_keys.size() && sorted; ++i)
            sorted = owned_keys[i - 1] < owned_keys[i];
        if (sorted) return;
        by_key.reserve(owned_keys.size());
        for (int i = 0; i < owned_; ++i) by_key.emplace_back(owned_keys[size_t(i)], i);
        std::sort(by_key.begin(), by_key.end());
        for (size_t i = 1; i < by_key.size(); ++i)
            if (by_key[i].first == by_key[i - 1].first)
                fail("index map", "key " + std::to_string(by_key[i].first) + " is owned twice");
    });
    // The position of an owned key, -1 for one not owned here.
    auto position = [&](int64_t key) -> int {
        if (sorted) {
            const auto it = std::lower_bound(owned_keys.begin(), owned_keys.end(), key);
            return it != owned_keys.end() && *it == key ? int(it - owned_keys.begin()) : -1;
        }
        const auto it =
            std::lower_bound(by_key.begin(), by_key.end(), std::pair<int64_t, int>(key, -1));
        return it != by_key.end() && it->first == key ? it->second : -1;
    };
    offset_ = 0;
    global_size_ = owned_;
    ghost_global_.assign(ghost_keys.size(), -1);
    if (nprocs == 1) return;
    const MPI_Comm c = mpi_comm(comm);
    const Share range = offset_and_total(comm, owned_);
    offset_ = range.first;
    global_size_ = range.last;

    // The ghosts grouped by owner, in local order within each owner.
    std::vector<int> asks(size_t(nprocs), 0);
    for (int q : ghost_owners) ++asks[size_t(q)];
    std::vector<int> asked(size_t(nprocs), 0);
    agree_so_far(comm);
    // One count per process: who will ask this one, and for how many keys.
    CHECK_MPI("index map", MPI_Alltoall(asks.data(), 1, MPI_INT, asked.data(), 1, MPI_INT, c));
    for (int q = 0; q < nprocs; ++q)
        if (asks[size_t(q)] > 0) owners_.push_back({q, {}});
    std::vector<int> slot(size_t(nprocs), -1);
    for (size_t k = 0; k < owners_.size(); ++k) slot[size_t(owners_[k].rank)] = int(k);
    std::vector<std::vector<int64_t>> keys(owners_.size()), numbers(owners_.size());
    for (size_t g = 0; g < ghost_owners.size(); ++g) {
        const size_t k = size_t(slot[size_t(ghost_owners[g])]);
        owners_[k].local.push_back(owned_ + int(g));
        keys[k].push_back(ghost_keys[g]);
    }
    for (size_t k = 0; k < owners_.size(); ++k) numbers[k].resize(keys[k].size());
    // Every buffer is made before the messages start (see agree_so_far).
    std::vector<std::vector<int64_t>> answers;
    for (int q = 0; q < nprocs; ++q)
        if (asked[size_t(q)] > 0) ghosted_by_.push_back({q, {}});
    answers.resize(ghosted_by_.size());
    for (size_t k = 0; k < ghosted_by_.size(); ++k) {
        answers[k].resize(size_t(asked[size_t(ghosted_by_[k].rank)]));
        ghosted_by_[k].local.reserve(answers[k].size());
    }
    std::vector<MPI_Request> requests;
    requests.reserve(2 * owners_.size() + ghosted_by_.size());
    agree_so_far(comm);
    for (size_t k = 0; k < owners_.size(); ++k) {
        requests.emplace_back();
        CHECK_MPI("index map", MPI_Irecv(numbers[k].data(), int(numbers[k].size()), MPI_INT64_T,
                                         owners_[k].rank, kAnswerTag, c, &requests.back()));
        requests.emplace_back();
        CHECK_MPI("index map", MPI_Isend(keys[k].data(), int(keys[k].size()), MPI_INT64_T,
                                         owners_[k].rank, kAskTag, c, &requests.back()));
    }
    // Answer every process that asks: its keys' global numbers, -1 for a key not owned here.
    bool unknown = false;
    for (size_t k = 0; k < ghosted_by_.size(); ++k) {
        Neighbour& n = ghosted_by_[k];
        std::vector<int64_t>& a = answers[k];
        CHECK_MPI("index map", MPI_Recv(a.data(), int(a.size()), MPI_INT64_T, n.rank, kAskTag, c,
                                        MPI_STATUS_IGNORE));
        for (int64_t& key : a) {
            const int at = position(key);
            unknown |= at < 0;
            n.local.push_back(std::max(at, 0));
            key = at >= 0 ? offset_ + at : -1;
        }
        requests.emplace_back();
        CHECK_MPI("index map", MPI_Isend(a.data(), int(a.size()), MPI_INT64_T, n.rank, kAnswerTag,
                                         c, &requests.back()));
    }
    wait_all(requests);
    for (size_t k = 0; k < owners_.size(); ++k)
        for (size_t i = 0; i < numbers[k].size(); ++i) {
            unknown |= numbers[k][i] < 0;
            ghost_global_[size_t(owners_[k].local[i] - owned_)] = numbers[k][i];
        }
    collective(comm, [&] {
        if (unknown) fail("index map", "a ghost names a key that its owner does not own");
    });
}

void IndexMap::forward(std::span<double> values, int block) const { exchange(values, block, true); }

void IndexMap::reverse_add(std::span<double> values, int block) const {
    exchange(values, block, false);
}

// To the ghosts: owners send the values of the entries each neighbour ghosts, in the order that
// neighbour asked for them; the neighbour stores them in its ghosts. Back to the owners: the
// same messages in the other direction, added.
void IndexMap::exchange(std::span<double> values, int block, bool to_ghosts) const {
    if (block < 1 || values.size() != size_t(size()) * size_t(block))
        fail("index map", std::to_string(values.size()) + " values for " + std::to_string(size()) +
                              " entries of " + std::to_string(block));
    const MPI_Comm c = mpi_comm(comm_);
    const std::vector<Neighbour>& senders = to_ghosts ? ghosted_by_ : owners_;
    const std::vector<Neighbour>& receivers = to_ghosts ? owners_ : ghosted_by_;
    // Every buffer is made before the messages start (see agree_so_far).
    std::vector<std::vector<double>> in(receivers.size()), out(senders.size());
    for (size_t k = 0; k < receivers.size(); ++k)
        in[k].resize(receivers[k].local.size() * size_t(block));
    for (size_t k = 0; k < senders.size(); ++k) {
        out[k].reserve(senders[k].local.size() * size_t(block));
        for (int i : senders[k].local)
            for (int b = 0; b < block; ++b) out[k].push_back(values[size_t(i) * block + b]);
    }
    std::vector<MPI_Request> requests;
    requests.reserve(receivers.size() + senders.size());
    agree_so_far(comm_);
    if (owners_.empty() && ghosted_by_.empty()) return;
    for (size_t k = 0; k < receivers.size(); ++k) {
        requests.emplace_back();
        CHECK_MPI("index map", MPI_Irecv(in[k].data(), int(in[k].size()), MPI_DOUBLE,
                                         receivers[k].rank, kValuesTag, c, &requests.back()));
    }
    for (size_t k = 0; k < senders.size(); ++k) {
        requests.emplace_back();
        CHECK_MPI("index map", MPI_Isend(out[k].data(), int(out[k].size()), MPI_DOUBLE,
                                         senders[k].rank, kValuesTag, c, &requests.back()));
    }
    wait_all(requests);
    for (size_t k = 0; k < receivers.size(); ++k) {
        const std::vector<int>& local = receivers[k].local;
        for (size_t j = 0; j < local.size(); ++j)
            for (int b = 0; b < block; ++b) {
                double& v = values[size_t(local[j]) * block + b];
                const double x = in[k][j * size_t(block) + size_t(b)];
                v = to_ghosts ? x : v + x;
            }
    }
}

}  // namespace mosk
