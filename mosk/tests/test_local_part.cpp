// A process's part of a balanced grid (refined after balance, so that the part holds
// refined leaves), on however many processes the binary runs on (CTest also
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
    balance_grid(impl_of(record), 1.05);  // owners only: the grid stays whole
    moskRefineAllElements(record, 1);
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

    EXPECT_EQ(p.elements.global_size(), g.num_leaves());

    // Vertices, edges and faces: the grid's entity behind each leaf's local numbers, owners as
    // the whole grid's rule gives them, each entity once over its owners, ghosts with their
    // owner's global number.
    const GridImpl::EntityOwners& whole = entity_owners(g);
    struct Kind {
        const LocalEntities& local;
        int per;
        const int* (*of)(const ELEMENT_&);
        const std::vector<int>& owner;
        size_t count;
    };
    const Kind kinds[] = {
        {p.vertices, 4, [](const ELEMENT_& e) -> const int* { return e.verts; }, whole.vert,
         size_t(g.num_vertices())},
        {p.edges, 6, [](const ELEMENT_& e) -> const int* { return e.edges; }, whole.edge,
         g.edge_verts.size()},
        {p.faces, 4, [](const ELEMENT_& e) -> const int* { return e.faces; }, whole.face,
         g.face_verts.size()},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.per == 6 ? "edges" : &kind == kinds ? "vertices" : "faces");
        const LocalEntities& l = kind.local;
        std::vector<int> entity(l.owner.size(), -1);  // local -> the grid's number
        for (size_t i = 0; i < p.leaves.size(); ++i)
            for (int k = 0; k < kind.per; ++k) {
                const int x = kind.of(g.leaf(p.leaves[i]))[k];
                int& seen_as = entity[size_t(l.of_leaf[i * size_t(kind.per) + size_t(k)])];
                ASSERT_TRUE(seen_as < 0 || seen_as == x) << "two entities share a local number";
                seen_as = x;
            }
        if (&kind == kinds) EXPECT_EQ(entity, p.vertex);
        for (size_t v = 0; v < entity.size(); ++v)
            ASSERT_EQ(l.owner[v], kind.owner[size_t(entity[v])]) << "entity " << entity[v];
        std::vector<long long> global_of(kind.count, -1);
        for (int v = 0; v < l.map.num_owned(); ++v)
            global_of[size_t(entity[size_t(v)])] = l.map.global(v);
        MPI_Allreduce(MPI_IN_PLACE, global_of.data(), int(global_of.size()), MPI_LONG_LONG, MPI_MAX,
                      MPI_Comm_f2c(moskComm));
        std::vector<char> seen(global_of.size(), 0);
        for (long long x : global_of) {
            ASSERT_TRUE(x >= 0 && x < (long long)seen.size()) << x;
            ASSERT_FALSE(seen[size_t(x)]) << x;
            seen[size_t(x)] = 1;
        }
        EXPECT_EQ(l.map.global_size(), (long long)kind.count);
        for (int v = l.map.num_owned(); v < l.map.size(); ++v)
            ASSERT_EQ(l.map.global(v), global_of[size_t(entity[size_t(v)])]);
    }
    moskFreeGrid(&record);
}


// The part a balance cuts, and the whole grid gathered back from the parts: the same vertices,
// leaves (in order), face labels and owners as the grid the parts were cut from.
TEST(LocalPart, CutAndGatheredBackGivesTheWholeGrid) {
    GRID_* record = moskNewGrid(-1);
    moskImport_(record, (std::string(MOSK_SOURCE_DIR) + "/meshes/cube.msh").c_str(), 1);
    GridImpl& g = impl_of(record);
    balance_grid(g, 1.05);
    moskRefineAllElements(record, 1);
    GridImpl part(nullptr, g.comm), whole(nullptr, g.comm);
    part.cut_part_of(g);
    EXPECT_EQ(part.counts().nelem_global, g.num_leaves());
    EXPECT_EQ(part.counts().nvert_global, g.num_vertices());
    EXPECT_EQ(part.counts().nface_global, int(g.face_verts.size()));
    for (int i = 0; i < part.num_leaves(); ++i)
        EXPECT_EQ(part.leaf(i).owner == g.rank, i < part.part.owned_leaves);
    whole.gather_whole_of(part);
    ASSERT_EQ(whole.num_leaves(), g.num_leaves());
    ASSERT_EQ(whole.num_vertices(), g.num_vertices());
    for (int v = 0; v < g.num_vertices(); ++v) ASSERT_EQ(whole.vertex(v), g.vertex(v));
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_ &a = whole.leaf(i), &b = g.leaf(i);
        for (int k = 0; k < 4; ++k) {
            ASSERT_EQ(a.verts[k], b.verts[k]);
            ASSERT_EQ(a.label[k], b.label[k]);
        }
        ASSERT_EQ(a.owner, b.owner);
    }
    EXPECT_EQ(whole.face_label, g.face_label);
    moskFreeGrid(&record);
}

}  // namespace
}  // namespace mosk
