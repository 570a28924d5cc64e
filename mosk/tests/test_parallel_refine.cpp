// Refinement of a distributed grid, on however many processes the binary runs on (CTest also
// runs it under mpirun with 2 and 3): the leaves every process keeps are those of the whole grid
// refined on one process, and a ghost leaf is its owner's leaf of the same key.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <vector>

#include "core/parallel.h"
#include "grid/grid_impl.h"
#include "grid/parallel_refine.h"
#include "mosk.h"

namespace mosk {
namespace {

const std::string kCube = std::string(MOSK_SOURCE_DIR) + "/meshes/cube.msh";

// A leaf by its geometry: the four corners, sorted.
using Corners = std::array<double, 12>;
Corners corners(const std::array<Point, 4>& p) {
    std::array<Point, 4> s = p;
    std::sort(s.begin(), s.end());
    Corners c{};
    for (size_t k = 0; k < 4; ++k)
        for (size_t d = 0; d < 3; ++d) c[3 * k + d] = s[k][d];
    return c;
}

TEST(ParallelRefine, HeldLeavesAreTheSerialRefinementsAndGhostsMatchTheirOwners) {
    if (process_count(-1) == 1) GTEST_SKIP() << "a grid is distributed on several processes";
    for (int levels : {1, 2}) {
        GRID_* whole = moskNewGrid(-1);
        moskImport_(whole, kCube.c_str(), 1);
        moskRefineAllElements(whole, levels);
        GridImpl& w = impl_of(whole);
        std::vector<Corners> expect;
        for (int i = 0; i < w.num_leaves(); ++i) {
            const ELEMENT_& e = w.leaf(i);
            expect.push_back(corners({w.vertex(e.verts[0]), w.vertex(e.verts[1]),
                                      w.vertex(e.verts[2]), w.vertex(e.verts[3])}));
        }
        std::sort(expect.begin(), expect.end());
        moskFreeGrid(&whole);

        GRID_* record = moskNewGrid(-1);
        moskImport_(record, kCube.c_str(), 1);
        moskBalanceGrid_(record, 1.05, 1, 0, 0, moskComm, 0);
        GridImpl& g = impl_of(record);
        const int leaves_before = g.num_leaves(), vertices_before = g.num_vertices();
        const size_t records_before = g.num_records();
        std::vector<int> source;
        const HeldLeaves held = refine_held(g, levels, source);
        // The grid itself is as it was.
        EXPECT_EQ(g.num_leaves(), leaves_before);
        EXPECT_EQ(g.num_vertices(), vertices_before);
        EXPECT_EQ(g.num_records(), records_before);
        ASSERT_EQ(source.size(), held.key.size());

        std::vector<double> mine;  // owned: key, then corners
        std::map<int64_t, Corners> ghosts;
        for (size_t i = 0; i < held.key.size(); ++i) {
            std::array<Point, 4> p;
            for (size_t k = 0; k < 4; ++k) p[k] = held.coords[size_t(held.verts[i][k])];
            const Corners c = corners(p);
            EXPECT_EQ(held.owner[i] == g.rank, int(i) < held.owned);
            if (int(i) >= held.owned) {
                ghosts[held.key[i]] = c;
                continue;
            }
            mine.push_back(double(held.key[i]));
            mine.insert(mine.end(), c.begin(), c.end());
        }
        const std::vector<double> all = gather_all(g.comm, std::span<const double>(mine));
        std::vector<Corners> got;
        std::map<int64_t, Corners> owned_by_key;
        for (size_t at = 0; at < all.size(); at += 13) {
            Corners c;
            std::copy_n(all.begin() + std::ptrdiff_t(at + 1), 12, c.begin());
            got.push_back(c);
            EXPECT_TRUE(owned_by_key.emplace(int64_t(all[at]), c).second) << "key twice";
        }
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got.size(), expect.size()) << levels << " levels";
        EXPECT_TRUE(got == expect) << levels << " levels: other leaves than one process's";
        for (const auto& [key, c] : ghosts) {
            const auto it = owned_by_key.find(key);
            ASSERT_NE(it, owned_by_key.end());
            ASSERT_TRUE(it->second == c) << "ghost " << key << " is not its owner's leaf";
        }
        if (g.nprocs > 1) EXPECT_FALSE(ghosts.empty());
        moskFreeGrid(&record);
    }
}

}  // namespace
}  // namespace mosk
