// Parts that a migration or a mesh dealt out by process 0 delivers, on however many processes the
// binary runs on (CTest also runs it under mpirun with 2 and 3), checked against the whole grid
// that every process reads as well: each process holds the leaves it owns and exactly the leaves
// of others that share a vertex with them, with their corners in order, face labels and volume
// labels.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <array>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <mpi.h>

#include "core/library_state.h"
#include "grid/grid_impl.h"
#include "grid/migration.h"
#include "mosk.h"
#include "mosk_errors.h"

namespace mosk {
namespace {

std::string cube() { return std::string(MOSK_SOURCE_DIR) + "/meshes/cube.msh"; }

// A leaf as every process sees it alike: corners in its vertex order, each face's label set
// (and whether it is a boundary face), volume label, owner.
using Leaf =
    std::tuple<std::array<Point, 4>, std::array<std::pair<int, std::vector<int>>, 4>, int, int>;

Leaf leaf_of(const GridImpl& g, int i, int owner) {
    const ELEMENT_& e = g.leaf(i);
    Leaf out;
    for (size_t k = 0; k < 4; ++k) {
        std::get<0>(out)[k] = g.vertex(e.verts[k]);
        std::get<1>(out)[k] = {e.label[k] > 0   ? 1
                               : e.label[k] < 0 ? -1
                                                : 0,
                               g.labels_of(e.label[k])};
    }
    std::get<2>(out) = g.element_label(e);
    std::get<3>(out) = owner;
    return out;
}

std::vector<Leaf> sorted(std::vector<Leaf> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// `part` is this process's part of `whole` with owners `owner_of` (by whole leaf).
void expect_part_of(const GridImpl& part, const GridImpl& whole,
                    const std::function<int(int)>& owner_of) {
    ASSERT_TRUE(part.distributed() || part.nprocs == 1);
    std::vector<Leaf> owned, ghosts;
    std::vector<char> near(size_t(whole.num_vertices()), 0);
    for (int i = 0; i < whole.num_leaves(); ++i)
        if (owner_of(i) == whole.rank) {
            owned.push_back(leaf_of(whole, i, whole.rank));
            for (int v : whole.leaf(i).verts) near[size_t(v)] = 1;
        }
    for (int i = 0; i < whole.num_leaves(); ++i) {
        const ELEMENT_& e = whole.leaf(i);
        if (owner_of(i) != whole.rank && (near[size_t(e.verts[0])] || near[size_t(e.verts[1])] ||
                                          near[size_t(e.verts[2])] || near[size_t(e.verts[3])]))
            ghosts.push_back(leaf_of(whole, i, owner_of(i)));
    }
    const int held_owned = part.distributed() ? part.part.owned_leaves : part.num_leaves();
    std::vector<Leaf> got_owned, got_ghosts;
    for (int i = 0; i < part.num_leaves(); ++i)
        (i < held_owned ? got_owned : got_ghosts).push_back(leaf_of(part, i, part.leaf(i).owner));
    EXPECT_EQ(sorted(got_owned), sorted(owned));
    EXPECT_EQ(sorted(got_ghosts), sorted(ghosts));
    EXPECT_EQ(part.counts().nelem_global, whole.num_leaves());
    EXPECT_EQ(part.counts().nvert_global, whole.num_vertices());
    EXPECT_EQ(part.boundary_labels(), whole.boundary_labels());
}

struct Grids {
    GRID_* whole = moskNewGrid(-1);
    GRID_* other = moskNewGrid(-1);
    ~Grids() {
        moskFreeGrid(&whole);
        moskFreeGrid(&other);
    }
};

TEST(Migration, LeavesReachTheirNewOwnersWithTheirGhostLayer) {
    Grids grids;
    moskImport_(grids.whole, cube().c_str(), 1);
    moskRefineAllElements(grids.whole, 1);  // whole on every process: not balanced yet
    GridImpl& whole = impl_of(grids.whole);
    GridImpl part(nullptr, whole.comm), fresh(nullptr, whole.comm);
    const std::vector<int> whole_leaf = part.cut_part_of(whole);
    // Scattered new owners: every leaf has neighbours of other owners, so ghosts come from many
    // senders and twice over.
    auto new_owner_of = [&](int w) { return (w * 7 + 1) % whole.nprocs; };
    std::vector<int> new_owner(whole_leaf.size());
    for (size_t i = 0; i < whole_leaf.size(); ++i) new_owner[i] = new_owner_of(whole_leaf[i]);
    const LeafRoutes routes = migrate_part(fresh, part, new_owner);
    EXPECT_EQ(int(routes.origins.size()), fresh.distributed() ? fresh.part.owned_leaves : 0);
    expect_part_of(fresh, whole, new_owner_of);
}

long long sum_over_processes(long long x) {
    MPI_Allreduce(MPI_IN_PLACE, &x, 1, MPI_LONG_LONG, MPI_SUM, MPI_Comm_f2c(moskComm));
    return x;
}

// The partition computed from the parts alone: every process that holds a leaf gives it the same
// owner, the bound holds, the result is repeatable; owners that a balance made are repaired by
// moving no more leaves than the bound asks, and kept when they meet it.
TEST(Migration, PartitionOfThePartsHoldsTheBoundAndAgreesOnEveryLeaf) {
    Grids grids;
    moskImport_(grids.whole, cube().c_str(), 1);
    GridImpl& whole = impl_of(grids.whole);
    balance_grid(whole, 1.05);  // owners only: the grid stays whole
    moskRefineAllElements(grids.whole, 2);  // children keep their parent's owner
    GridImpl part(nullptr, whole.comm);
    const std::vector<int> whole_leaf = part.cut_part_of(whole);
    const int np = whole.nprocs, owned = part.part.owned_leaves;
    const int64_t cap = partition_cap(whole.num_leaves(), np, 1.0);
    const long long excess = sum_over_processes(std::max<long long>(0, owned - cap));
    // By single leaves, by units of consecutive leaves (as on a large part), and repaired.
    for (auto [from_balance, direct_limit] :
         {std::pair{false, 200000}, {false, 0}, {true, 200000}}) {
        SCOPED_TRACE(direct_limit);
        part.owners_from_balance = from_balance;
        const std::vector<int> owner = partition_leaves_parallel(part, 1.0, direct_limit);
        EXPECT_EQ(owner, partition_leaves_parallel(part, 1.0, direct_limit));
        std::vector<int> by_whole(size_t(whole.num_leaves()), -1);
        for (size_t i = 0; i < owner.size(); ++i) by_whole[size_t(whole_leaf[i])] = owner[i];
        MPI_Allreduce(MPI_IN_PLACE, by_whole.data(), int(by_whole.size()), MPI_INT, MPI_MAX,
                      MPI_Comm_f2c(moskComm));
        for (size_t i = 0; i < owner.size(); ++i)
            ASSERT_EQ(owner[i], by_whole[size_t(whole_leaf[i])]);
        std::vector<int64_t> size(size_t(np), 0);
        for (int o : by_whole) ++size[size_t(o)];
        EXPECT_LE(*std::max_element(size.begin(), size.end()), cap);
        long long moved = 0;
        for (int i = 0; i < owned; ++i) moved += owner[size_t(i)] != whole.rank;
        if (from_balance) EXPECT_EQ(sum_over_processes(moved), excess);
    }
    // Owners from a balance that meet the caller's bound stay, where the repair above moved some.
    if (excess > 0) {
        part.owners_from_balance = true;
        const std::vector<int> kept = partition_leaves_parallel(part, double(np));
        for (int i = 0; i < part.num_leaves(); ++i) EXPECT_EQ(kept[size_t(i)], part.leaf(i).owner);
    }
}

// Owners that no balance made (an import's blocks) stay when a fresh partition cuts hardly fewer
// faces, and give way to it when it cuts far fewer.
TEST(Migration, OwnersThatCutWellStayAndScatteredOnesMove) {
    Grids grids;
    moskImport_(grids.whole, cube().c_str(), 1);
    moskRefineAllElements(grids.whole, 2);
    GridImpl& whole = impl_of(grids.whole);
    if (whole.nprocs == 1) GTEST_SKIP() << "one process owns every element";
    balance_grid(whole, 1.0);  // a good cut within the bound
    const std::vector<int> balanced = [&] {
        std::vector<int> o;
        for (int i = 0; i < whole.num_leaves(); ++i) o.push_back(whole.leaf(i).owner);
        return o;
    }();
    for (bool scattered : {false, true}) {
        SCOPED_TRACE(scattered);
        for (int i = 0; i < whole.num_leaves(); ++i)
            whole.leaf(i).owner = scattered ? i % whole.nprocs : balanced[size_t(i)];
        GridImpl part(nullptr, whole.comm);
        part.cut_part_of(whole);
        part.owners_from_balance = false;
        const std::vector<int> owner = partition_leaves_parallel(part, 1.0);
        long long moved = 0;
        for (int i = 0; i < part.part.owned_leaves; ++i) moved += owner[size_t(i)] != whole.rank;
        moved = sum_over_processes(moved);
        if (scattered)
            EXPECT_GT(moved, whole.num_leaves() / 4);
        else
            EXPECT_EQ(moved, 0);
    }
}

TEST(DealtRead, PartsOfAMeshReadOnOneProcessMakeUpTheFile) {
    Grids grids;
    moskImport_(grids.whole, cube().c_str(), 1);
    const int limit = library_options().read_whole_limit;
    mutable_library_options().read_whole_limit = 0;
    moskImport_(grids.other, cube().c_str(), 1);
    mutable_library_options().read_whole_limit = limit;
    const GridImpl& whole = impl_of(grids.whole);
    if (whole.nprocs == 1) GTEST_SKIP() << "one process reads the file whole";
    // Block owners, as an import gives them.
    expect_part_of(impl_of(grids.other), whole, [&](int i) { return whole.leaf(i).owner; });

    // A mesh that only process 0 reads and finds invalid fails on every process, and the grid
    // stays as it was.
    const std::string bad = (std::filesystem::temp_directory_path() /
                             ("inverted_" + std::to_string(::getpid()) + ".mesh"))
                                .string();
    std::ofstream(bad) << "MeshVersionFormatted 2\nDimension 3\nVertices\n4\n0 0 0 0\n1 0 0 0\n"
                          "0 1 0 0\n0 0 1 0\nTetrahedra\n1\n1 3 2 4 0\nEnd\n";
    mutable_library_options().read_whole_limit = 0;
    EXPECT_THROW(moskImport_(grids.other, bad.c_str(), 1), FormatError);
    mutable_library_options().read_whole_limit = limit;
    std::filesystem::remove(bad);
    expect_part_of(impl_of(grids.other), whole, [&](int i) { return whole.leaf(i).owner; });
}

}  // namespace
}  // namespace mosk
