// A process's part of a balanced grid, on however many processes the binary runs on (CTest also
// runs it under mpirun with 2 and 3), checked against the whole grid every process holds.
#include <gtest/gtest.h>
#include <mpi.h>

#include <set>
#include <string>
#include <vector>

#include "grid/grid_impl.h"
#include "grid/local_part.h"
#include "mosk.h"

namespace mosk {
namespace {

TEST(LocalPart, GhostLayerOwnersAndVertexNumbersAgreeWithTheWholeGrid) {
    GRID_* record = moskNewGrid(-1);
    moskImport_(record, (std::string(MOSK_SOURCE_DIR) + "/meshes/cube.msh").c_str(), 1);
    moskRefineAllElements(record, 1);
    moskBalanceGrid_(record, 1.05, 1, 0, 0, moskComm, 0);
    GridImpl& g = impl_of(record);
    const LocalPart p = local_part(g);

    // Owned leaves, then exactly the other leaves that share a vertex with an owned one.
    std::set<int> near;
    for (int i = 0; i < p.owned; ++i) {
        ASSERT_EQ(g.leaf(p.leaves[size_t(i)]).owner, g.rank);
        for (int v : g.leaf(p.leaves[size_t(i)]).verts) near.insert(v);
    }
    std::vector<int> expect_ghosts;
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        bool touches = false;
        for (int v : e.verts) touches |= near.count(v) > 0;
        if (e.owner == g.rank) continue;
        if (touches) expect_ghosts.push_back(i);
    }
    EXPECT_EQ(std::vector<int>(p.leaves.begin() + p.owned, p.leaves.end()), expect_ghosts);
    EXPECT_EQ(p.owned, g.owned_leaf_count());
    if (g.nprocs > 1) EXPECT_GT(expect_ghosts.size(), 0u);

    // Local vertices of every leaf, and owners as the whole grid's rule gives them.
    for (size_t i = 0; i < p.leaves.size(); ++i)
        for (int k = 0; k < 4; ++k)
            ASSERT_EQ(p.vertex[size_t(p.verts[4 * i + size_t(k)])], g.leaf(p.leaves[i]).verts[k]);
    const GridImpl::EntityOwners& whole = entity_owners(g);
    for (size_t v = 0; v < p.vertex.size(); ++v)
        ASSERT_EQ(p.vertex_owner[v], whole.vert[size_t(p.vertex[v])]) << "vertex " << p.vertex[v];

    // Global vertex numbers: each vertex of the grid once over the owners, and every ghost has
    // its owner's number.
    std::vector<long long> global_of(size_t(g.num_vertices()), -1);
    for (int v = 0; v < p.vertices.num_owned(); ++v)
        global_of[size_t(p.vertex[size_t(v)])] = p.vertices.global(v);
    MPI_Allreduce(MPI_IN_PLACE, global_of.data(), int(global_of.size()), MPI_LONG_LONG, MPI_MAX,
                  MPI_Comm_f2c(moskComm));
    std::vector<char> seen(global_of.size(), 0);
    for (long long x : global_of) {
        ASSERT_TRUE(x >= 0 && x < (long long)seen.size()) << x;
        ASSERT_FALSE(seen[size_t(x)]) << x;
        seen[size_t(x)] = 1;
    }
    EXPECT_EQ(p.vertices.global_size(), g.num_vertices());
    for (int v = p.vertices.num_owned(); v < p.vertices.size(); ++v)
        ASSERT_EQ(p.vertices.global(v), global_of[size_t(p.vertex[size_t(v)])]);
    moskFreeGrid(&record);
}

}  // namespace
}  // namespace mosk
