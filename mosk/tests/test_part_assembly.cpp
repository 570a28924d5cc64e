// A process's part of a balanced grid (refined after balance, so that the part holds refined
// leaves), on however many processes the binary runs on (CTest also runs it under mpirun with 2
// and 3), checked against the whole grid every process still holds.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "grid/grid_impl.h"
#include "mosk.h"

namespace mosk {
namespace {

struct Balanced {
    GRID_* record = moskNewGrid(-1);
    Balanced() {
        moskImport_(record, (std::string(MOSK_SOURCE_DIR) + "/meshes/cube.msh").c_str(), 1);
        balance_grid(impl_of(record), 1.05);  // owners only: the grid stays whole
        moskRefineAllElements(record, 1);
    }
    ~Balanced() { moskFreeGrid(&record); }
    GridImpl& g() { return impl_of(record); }
};

long long max_over_processes(long long x) {
    MPI_Allreduce(MPI_IN_PLACE, &x, 1, MPI_LONG_LONG, MPI_MAX, MPI_Comm_f2c(moskComm));
    return x;
}

TEST(PartAssembly, GhostLayerOwnersAndNumbersFollowTheRules) {
    Balanced b;
    GridImpl& g = b.g();
    GridImpl part(nullptr, g.comm);
    const std::vector<int> whole_leaf = part.cut_part_of(g);
    const int owned = part.part.owned_leaves;

    // Owned leaves in leaf order, then exactly the other leaves that share a vertex with them.
    std::vector<int> expect;
    std::vector<char> near(size_t(g.num_vertices()), 0);
    for (int i = 0; i < g.num_leaves(); ++i)
        if (g.leaf(i).owner == g.rank) {
            expect.push_back(i);
            for (int v : g.leaf(i).verts) near[size_t(v)] = 1;
        }
    ASSERT_EQ(owned, int(expect.size()));
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        if (e.owner != g.rank && (near[size_t(e.verts[0])] || near[size_t(e.verts[1])] ||
                                  near[size_t(e.verts[2])] || near[size_t(e.verts[3])]))
            expect.push_back(i);
    }
    EXPECT_EQ(whole_leaf, expect);
    if (g.nprocs > 1) EXPECT_GT(part.num_leaves(), owned);

    // Global leaf numbers: the owned leaves in order, process after process.
    std::vector<long long> global_leaf(size_t(g.num_leaves()));
    {
        std::vector<long long> next(size_t(g.nprocs) + 1, 0);
        for (int i = 0; i < g.num_leaves(); ++i) ++next[size_t(g.leaf(i).owner) + 1];
        for (int q = 0; q < g.nprocs; ++q) next[size_t(q) + 1] += next[size_t(q)];
        for (int i = 0; i < g.num_leaves(); ++i)
            global_leaf[size_t(i)] = next[size_t(g.leaf(i).owner)]++;
    }
    for (int i = 0; i < part.num_leaves(); ++i) {
        ASSERT_EQ(part.part.elements.global(i), global_leaf[size_t(whole_leaf[size_t(i)])]);
        ASSERT_EQ(part.leaf(i).owner, g.leaf(whole_leaf[size_t(i)]).owner);
    }

    // Vertices, edges and faces, named by their sorted whole-grid vertices: the owner is the
    // owner of the lowest-numbered leaf around them, each is owned once, and a ghost carries its
    // owner's global number.
    std::map<Point, int> whole_vertex;
    for (int v = 0; v < g.num_vertices(); ++v) whole_vertex[g.vertex(v)] = v;
    using Name = std::array<int, 3>;
    auto name_of = [&](const GridImpl& grid, const int* verts, int count) {
        Name n{-1, -1, -1};
        for (int k = 0; k < count; ++k) n[size_t(k)] = whole_vertex.at(grid.vertex(verts[k]));
        std::sort(n.begin(), n.begin() + count);
        return n;
    };
    struct Kind {
        int count;  // vertices of the entity
        const IndexMap& map;
    };
    const Kind kinds[] = {{1, part.part.vertices}, {2, part.part.edges}, {3, part.part.faces}};
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.count);
        std::map<Name, std::pair<long long, int>> lowest;  // whole grid: (leaf number, owner)
        for (int i = 0; i < g.num_leaves(); ++i) {
            const ELEMENT_& e = g.leaf(i);
            for (int a = 0; a < 4; ++a)
                for (int c = a + (kind.count > 1); c < (kind.count > 1 ? 4 : a + 1); ++c)
                    for (int d = (kind.count > 2 ? c + 1 : 0); d < (kind.count > 2 ? 4 : 1); ++d) {
                        const int verts[3] = {e.verts[a], e.verts[c], e.verts[d]};
                        auto [it, fresh] = lowest.try_emplace(name_of(g, verts, kind.count),
                                                              global_leaf[size_t(i)], e.owner);
                        if (!fresh && global_leaf[size_t(i)] < it->second.first)
                            it->second = {global_leaf[size_t(i)], e.owner};
                    }
        }
        std::vector<long long> global_of(lowest.size(), -1);
        std::map<Name, size_t> index;
        for (const auto& [n, x] : lowest) index.emplace(n, index.size());
        std::vector<std::pair<Name, int>> local(size_t(kind.map.size()));
        for (int i = 0; i < part.num_leaves(); ++i) {
            const ELEMENT_& e = part.leaf(i);
            for (int v = 0; v < 4; ++v)
                if (kind.count == 1) local[size_t(e.verts[v])] = {name_of(part, &e.verts[v], 1), 0};
            for (int k = 0; k < 6; ++k) {
                const int ends[2] = {part.edge_verts[size_t(e.edges[k])][0],
                                     part.edge_verts[size_t(e.edges[k])][1]};
                if (kind.count == 2) local[size_t(e.edges[k])] = {name_of(part, ends, 2), 0};
            }
            for (int k = 0; k < 4; ++k) {
                const auto& f = part.face_verts[size_t(e.faces[k])];
                const int corners[3] = {f[0], f[1], f[2]};
                if (kind.count == 3) local[size_t(e.faces[k])] = {name_of(part, corners, 3), 0};
            }
        }
        for (int x = 0; x < kind.map.size(); ++x) {
            // Vertices are stored by global number; their map position is vertex_position.
            const Name& n = local[size_t(x)].first;
            const int at = kind.count == 1 ? part.part.vertex_position[size_t(x)] : x;
            const int owner = at < kind.map.num_owned()
                                  ? g.rank
                                  : kind.map.ghost_owner(at - kind.map.num_owned());
            ASSERT_EQ(owner, lowest.at(n).second);
            if (at < kind.map.num_owned()) global_of[index.at(n)] = kind.map.global(at);
        }
        MPI_Allreduce(MPI_IN_PLACE, global_of.data(), int(global_of.size()), MPI_LONG_LONG, MPI_MAX,
                      MPI_Comm_f2c(moskComm));
        std::vector<char> seen(global_of.size(), 0);
        for (long long x : global_of) {
            ASSERT_TRUE(x >= 0 && x < (long long)seen.size()) << x;
            ASSERT_FALSE(seen[size_t(x)]) << x;
            seen[size_t(x)] = 1;
        }
        EXPECT_EQ(kind.map.global_size(), (long long)lowest.size());
        for (int x = 0; x < kind.map.size(); ++x) {
            const int at = kind.count == 1 ? part.part.vertex_position[size_t(x)] : x;
            ASSERT_EQ(kind.map.global(at), global_of[index.at(local[size_t(x)].first)]);
        }
    }
    // Vertices are stored in the order of their global numbers.
    for (int v = 1; v < part.num_vertices(); ++v)
        ASSERT_LT(part.vertex_global(v - 1), part.vertex_global(v));
    EXPECT_EQ(max_over_processes(part.part.vertices.global_size()), g.num_vertices());
}

// The whole grid gathered back from the parts: the same leaves (each vertex order kept), face
// labels and owners as the grid the parts were cut from, whatever their order.
TEST(PartAssembly, CutAndGatheredBackGivesTheWholeGrid) {
    Balanced b;
    GridImpl& g = b.g();
    GridImpl part(nullptr, g.comm), whole(nullptr, g.comm);
    part.cut_part_of(g);
    EXPECT_EQ(part.counts().nelem_global, g.num_leaves());
    EXPECT_EQ(part.counts().nvert_global, g.num_vertices());
    EXPECT_EQ(part.counts().nface_global, int(g.face_verts.size()));
    whole.gather_whole_of(part);
    auto leaves_of = [](const GridImpl& grid) {
        std::vector<std::tuple<std::array<Point, 4>, std::array<int, 4>, int>> out;
        for (int i = 0; i < grid.num_leaves(); ++i) {
            const ELEMENT_& e = grid.leaf(i);
            out.emplace_back(std::array<Point, 4>{grid.vertex(e.verts[0]), grid.vertex(e.verts[1]),
                                                  grid.vertex(e.verts[2]), grid.vertex(e.verts[3])},
                             std::array<int, 4>{e.label[0], e.label[1], e.label[2], e.label[3]},
                             e.owner);
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    ASSERT_EQ(whole.num_vertices(), g.num_vertices());
    EXPECT_EQ(leaves_of(whole), leaves_of(g));
}

}  // namespace
}  // namespace mosk
