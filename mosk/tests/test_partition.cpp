// Partition and ownership of the leaf elements.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "core/parallel.h"
#include "grid/grid_impl.h"
#include "mosk.h"

namespace mosk {
namespace {

struct CubeGrid {
    GRID_* record = moskNewGrid(-1);
    GridImpl& g = impl_of(record);
    CubeGrid() {
        moskImport_(record, (std::string(MOSK_SOURCE_DIR) + "/meshes/cube.msh").c_str(), 1);
    }
    ~CubeGrid() { moskFreeGrid(&record); }
};

void set_owners(GridImpl& g, const std::vector<int>& owner) {
    for (std::size_t i = 0; i < owner.size(); ++i) g.leaf(int(i)).owner = owner[i];
}

// Run on however many processes the binary runs on (CTest also runs it under mpirun with 2 and 3).
TEST(ParallelPartition, SameOwnersEverywhereWithinTheBoundFewerCutFacesAndRepeatable) {
    CubeGrid c;
    moskRefineAllElements(c.record, 2);  // from the block owners of the import
    const int n = c.g.num_leaves(), np = c.g.nprocs;
    for (int round = 0; round < 2; ++round) {  // then again from the partition's owners
        const int64_t cut_before = cut_faces(c.g);
        for (double imbalance : {1.0, 1.3}) {
            const std::vector<int> owner = partition_leaves_parallel(c.g, imbalance);
            EXPECT_EQ(owner, partition_leaves_parallel(c.g, imbalance));
            std::vector<int> on_root = owner;
            broadcast(c.g.comm, 0, on_root);
            ASSERT_EQ(owner, on_root);
            std::vector<int64_t> size(size_t(np), 0);
            for (int o : owner) {
                ASSERT_TRUE(o >= 0 && o < np);
                ++size[size_t(o)];
            }
            EXPECT_LE(*std::max_element(size.begin(), size.end()), partition_cap(n, np, imbalance));
            EXPECT_GT(*std::min_element(size.begin(), size.end()), 0);
            if (np == 1) continue;
            const std::vector<int> before = [&] {
                std::vector<int> o(static_cast<size_t>(n));
                for (int i = 0; i < n; ++i) o[size_t(i)] = c.g.leaf(i).owner;
                return o;
            }();
            set_owners(c.g, owner);
            if (round == 0) EXPECT_LT(cut_faces(c.g), cut_before) << imbalance;
            set_owners(c.g, before);
        }
        set_owners(c.g, partition_leaves_parallel(c.g, 1.05));  // the grid stays whole
    }
    // A refined grid in units of subtrees, from owners that split some units (balanced at a
    // finer level than the units').
    moskRefineAllElements(c.record, 3);
    const std::vector<int> owner = partition_leaves_parallel(c.g, 1.0, 0);
    std::vector<int> on_root = owner;
    broadcast(c.g.comm, 0, on_root);
    ASSERT_EQ(owner, on_root);
    std::vector<int64_t> size(size_t(np), 0);
    for (int o : owner) ++size[size_t(o)];
    EXPECT_LE(*std::max_element(size.begin(), size.end()),
              partition_cap(c.g.num_leaves(), np, 1.0));
    if (np == 1) return;
    // Subtrees stay whole unless the repair split them: a cut close to that of single leaves.
    set_owners(c.g, owner);
    const int64_t cut = cut_faces(c.g);
    set_owners(c.g, partition_leaves_parallel(c.g, 1.0, INT_MAX));
    EXPECT_LT(double(cut), 1.5 * double(cut_faces(c.g)));
}

TEST(Ownership, ChildrenKeepTheirParentsOwnerAndEntitiesGoToTheLowestLeaf) {
    CubeGrid c;
    std::vector<int> owner(size_t(c.g.num_leaves()));
    for (std::size_t i = 0; i < owner.size(); ++i) owner[i] = int(i % 3);
    set_owners(c.g, owner);
    moskRefineAllElements(c.record, 2);
    for (int r : c.g.leaf_records()) {
        const ELEMENT_& e = c.g.element_record(int(r));
        int root = r;
        while (c.g.tree(root).parent >= 0) root = c.g.tree(root).parent;
        EXPECT_EQ(e.owner, owner[root]);
    }
    const GridImpl::EntityOwners& o = entity_owners(c.g);
    std::vector<int> lowest(size_t(c.g.num_vertices()), -1);
    for (int i = c.g.num_leaves() - 1; i >= 0; --i)
        for (int v : c.g.leaf(i).verts) lowest[v] = c.g.leaf(i).owner;
    EXPECT_EQ(o.vert, lowest);
}

}  // namespace
}  // namespace mosk
