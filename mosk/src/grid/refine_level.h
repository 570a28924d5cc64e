// One level of refinement taken in steps (grid/refine.cpp), for a process that holds leaves other
// processes hold too: every leaf is bisected once and the closure runs on what this process
// holds; the shapes of the trees grown from shared leaves then go to the processes that share
// them, which bisect their copies alike and close again, until no process changes anything.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace mosk {

class GridImpl;
class LevelRefiner;

// A tetrahedron of a level that is no record of the grid, which holds only its vertices: the
// level's roots, the halves it makes, and the leaves a process keeps between levels.
struct LevelRoot {
    int verts[4];
    int label[4];  // face codes, face k opposite vertex k
};

class LevelRefinement {
public:
    // Bisects every root (their vertices are `grid`'s) once and closes; the halves are the
    // level's own, and the grid receives only the midpoints. Leaf i below means root i.
    LevelRefinement(GridImpl& grid, std::span<const LevelRoot> roots);
    ~LevelRefinement();
    LevelRefinement(const LevelRefinement&) = delete;
    LevelRefinement& operator=(const LevelRefinement&) = delete;

    // Appends the shape of the tree grown from root i: one flag per node below its first
    // bisection, in preorder, 1 = bisected.
    void shape(int leaf, std::vector<uint8_t>& bits) const;
    // Bisects leaf i's tree wherever the shape at bits[pos] says (advancing pos past it); close()
    // then closes the mesh again, and tells whether the shapes applied bisected anything.
    void apply(int leaf, std::span<const uint8_t> bits, size_t& pos);
    bool close();
    // The leaves after the level, each root's in its place; first_leaf_of[i] is the position of
    // root i's first descendant (one entry more: the count).
    std::vector<LevelRoot> finish(std::vector<int>& first_leaf_of);

private:
    std::unique_ptr<LevelRefiner> refiner_;
};

// Throws std::invalid_argument (the same on every process) when `levels` levels of `leaves`
// elements would make more elements than 32-bit numbers hold.
void check_refinement_levels(int64_t leaves, int levels);

}  // namespace mosk
