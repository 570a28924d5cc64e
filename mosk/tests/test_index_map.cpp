// The index map on however many processes the binary runs on (CTest also runs these under mpirun
// with 2 and 3): process p owns 3 + p entries with keys 1000 p + k and ghosts the first and the
// last entry of every other process, listed in an order unlike the owner's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "core/index_map.h"
#include "core/parallel.h"

namespace mosk {
namespace {

struct Layout {
    int rank = process_rank(-1), nprocs = process_count(-1);
    std::vector<int64_t> owned;
    std::vector<int> ghost_owner;
    std::vector<int64_t> ghost_key;
    std::vector<int64_t> expect_global;  // of the ghosts

    Layout() {
        for (int k = 0; k < 3 + rank; ++k) owned.push_back(1000 * rank + k);
        std::vector<int64_t> offset(size_t(nprocs) + 1, 0);
        for (int q = 0; q < nprocs; ++q) offset[size_t(q) + 1] = offset[size_t(q)] + 3 + q;
        for (int q = nprocs - 1; q >= 0; --q) {
            if (q == rank) continue;
            for (int k : {2 + q, 0}) {  // last, then first
                ghost_owner.push_back(q);
                ghost_key.push_back(1000 * q + k);
                expect_global.push_back(offset[size_t(q)] + k);
            }
        }
    }
    IndexMap map() const { return IndexMap(-1, owned, ghost_owner, ghost_key); }
};

TEST(IndexMap, GlobalNumbersComeFromOwnedRangesAndOwners) {
    const Layout l;
    const IndexMap m = l.map();
    int64_t offset = 0, total = 0;
    for (int q = 0; q < l.nprocs; ++q) {
        if (q < l.rank) offset += 3 + q;
        total += 3 + q;
    }
    EXPECT_EQ(m.offset(), offset);
    EXPECT_EQ(m.global_size(), total);
    ASSERT_EQ(m.num_owned(), 3 + l.rank);
    ASSERT_EQ(m.num_ghosts(), int(l.expect_global.size()));
    for (int i = 0; i < m.num_owned(); ++i) EXPECT_EQ(m.global(i), offset + i);
    for (int g = 0; g < m.num_ghosts(); ++g) {
        EXPECT_EQ(m.global(m.num_owned() + g), l.expect_global[size_t(g)]) << g;
        EXPECT_EQ(m.ghost_owner(g), l.ghost_owner[size_t(g)]);
    }
}

TEST(IndexMap, ForwardCopiesOwnersValuesAndReverseAddsGhosts) {
    const Layout l;
    const IndexMap m = l.map();
    // Two numbers per entry: its global number and minus it.
    std::vector<double> v(size_t(m.size()) * 2, 99.0);
    for (int i = 0; i < m.num_owned(); ++i) {
        v[2 * size_t(i)] = double(m.global(i));
        v[2 * size_t(i) + 1] = -double(m.global(i));
    }
    m.forward(v, 2);
    for (int i = 0; i < m.size(); ++i) {
        EXPECT_EQ(v[2 * size_t(i)], double(m.global(i))) << i;
        EXPECT_EQ(v[2 * size_t(i) + 1], -double(m.global(i))) << i;
    }
    // Every other process ghosts this one's first and last entry once.
    std::vector<double> w(size_t(m.size()), 1.0);
    m.reverse_add(w);
    for (int i = 0; i < m.num_owned(); ++i) {
        const bool shared = i == 0 || i == m.num_owned() - 1;
        EXPECT_EQ(w[size_t(i)], shared ? double(l.nprocs) : 1.0) << i;
    }
    for (int i = m.num_owned(); i < m.size(); ++i) EXPECT_EQ(w[size_t(i)], 1.0);
}

TEST(IndexMap, BadGhostFailsOnEveryProcess) {
    const Layout l;
    // A ghost owned by the process itself: refused by that process, and so by all.
    std::vector<int> owner = l.ghost_owner;
    std::vector<int64_t> key = l.ghost_key;
    if (l.rank == 0) {
        owner.push_back(0);
        key.push_back(0);
    }
    EXPECT_THROW(IndexMap(-1, l.owned, owner, key), std::invalid_argument);
    // A key its owner does not list: found out by the owner, refused everywhere.
    if (l.nprocs > 1) {
        owner = l.ghost_owner;
        key = l.ghost_key;
        if (l.rank == l.nprocs - 1) {
            owner.push_back(0);
            key.push_back(777);
        }
        EXPECT_THROW(IndexMap(-1, l.owned, owner, key), std::invalid_argument);
    }
    // The same map again works: nothing of the failed ones is left in flight.
    EXPECT_EQ(l.map().num_ghosts(), int(l.expect_global.size()));
}

TEST(IndexMap, OwnedKeysInAnyOrderEachOnce) {
    Layout l;
    // Listed backwards: key 1000 q + k is entry 2 + q - k of its owner q.
    std::reverse(l.owned.begin(), l.owned.end());
    const IndexMap m = l.map();
    for (int g = 0; g < m.num_ghosts(); ++g) {
        const int q = l.ghost_owner[size_t(g)];
        const int64_t k = l.ghost_key[size_t(g)] - 1000 * q;
        EXPECT_EQ(m.global(m.num_owned() + g), l.expect_global[size_t(g)] - k + (2 + q - k)) << g;
    }
    // A key owned twice: refused by its process, and so by all.
    if (l.rank == 0) l.owned.push_back(l.owned[1]);
    EXPECT_THROW(l.map(), std::invalid_argument);
}

}  // namespace
}  // namespace mosk
