// The library's private grid: coordinates, the element store (every element record of every
// refinement level, at stable addresses), the leaf list and the numbering of the leaf mesh.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/chunked_store.h"
#include "core/point.h"
#include "grid/reference_tetrahedron.h"
#include "io/mesh_data.h"
#include "mosk.h"

namespace mosk {

// Boundary label of a boundary face that the mesh file gives no label (or label 0) for.
inline constexpr int kUnlabelledBoundary = -1;

class GridImpl {
public:
    explicit GridImpl(GRID_* record, int comm);
    ~GridImpl();
    GridImpl(const GridImpl&) = delete;
    GridImpl& operator=(const GridImpl&) = delete;

    GRID_* record;  // the public record this object sits behind
    int comm;       // integer communicator handle
    int rank = 0;   // this process in comm
    int nprocs = 1; // processes of comm

    std::vector<Point> coords;          // by global vertex number; vertices are only appended
    ChunkedStore<ELEMENT_> elements;    // all records; index = ELEMENT_::record
    std::vector<int> leaves;            // record numbers of the leaf elements, in leaf order
    std::vector<std::array<int, 2>> edge_verts;  // leaf-mesh edge -> sorted vertex pair
    std::vector<std::array<int, 3>> face_verts;  // leaf-mesh face -> sorted vertex triple
    std::vector<int> face_label;        // leaf-mesh face -> label, 0 for an interior face
    uint64_t numbering_generation = 0;  // counts number_leaf_mesh calls; keys derived caches
    uint64_t partition_generation = 0;  // counts changes of owners other than by refinement

    // Owners of the leaf mesh's vertices, edges and faces: the owner of the lowest-numbered leaf
    // element that holds them (entity_owners() fills them for the current numbering and owners).
    struct EntityOwners {
        uint64_t numbering = 0, partition = 0;  // generations they were made for; 0 = none
        std::vector<int> vert, edge, face;
    } owners;

    // Fields made on this grid; refinement carries their values, import resets them, and a
    // freed grid detaches them (their grid pointer becomes null).
    std::vector<DOF_*> fields;

    // User callbacks (initial-value and boundary functions) running inside library calls that
    // read this grid. While any runs, the grid must not change under the caller: refinement,
    // import and balancing refuse (require_no_callback_running).
    int callbacks_running = 0;

    // Dirichlet flags of the leaf mesh for the label set in force (dof/dirichlet_data.cpp).
    struct DirichletFlags {
        uint64_t generation = 0;  // numbering_generation they were made for; 0 = none
        std::vector<int> labels;  // the label set they were made for (empty = all)
        std::vector<uint8_t> vert, edge, face;
    } dirichlet;

    ELEMENT_& leaf(int i) { return elements[leaves[i]]; }
    const ELEMENT_& leaf(int i) const { return elements[leaves[i]]; }

    // Replaces the contents by `mesh` after validating it; throws FormatError naming `source`
    // and leaves the grid unchanged when the mesh is invalid.
    void assign(MeshData&& mesh, const std::string& source);

    // Rebuilds the leaf-mesh numbering from `leaves` (after import and after refinement): edge and
    // face numbers in every leaf record, edge_verts, face_verts, face_label (boundary faces keep
    // the label their leaf records carry, or kUnlabelledBoundary), and then
    // the public record's counters.
    void number_leaf_mesh();

    // Copies the counts into the public record (when there is one).
    void update_record();

    // Leaf i to process i * nprocs / n: the owners before any balance.
    void assign_block_owners();
    // Elements of the leaf mesh that this process owns.
    int owned_leaf_count() const;

    // Swaps the whole contents (not the record or the store registration) with `other`.
    void swap_contents(GridImpl& other);

    uint64_t store_id() const { return store_id_; }
    // Gives the grid a new store id: elements handed out before are no longer current.
    void renew_store_id();

private:
    uint64_t store_id_ = 0;
};

GridImpl& impl_of(GRID_* grid);  // throws std::invalid_argument for a null grid
const GridImpl& impl_of(const GRID_* grid);

// Marks a user callback as running on the grid for the lifetime of the scope.
class CallbackScope {
public:
    explicit CallbackScope(GridImpl& grid) : grid_(grid) { ++grid_.callbacks_running; }
    ~CallbackScope() { --grid_.callbacks_running; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

private:
    GridImpl& grid_;
};

// Throws std::logic_error naming `op` when a user callback is running on the grid: a callback
// (or another thread while it runs) must not change the grid that the library is walking.
void require_no_callback_running(const GridImpl& grid, const char* op);

// Signed volume of the tetrahedron (positive for the library's orientation).
double signed_volume(const Point& a, const Point& b, const Point& c, const Point& d);

// Refinement (grid/refine.cpp): `levels` levels of bisection of every leaf with closure.
void refine_all(GridImpl& grid, int levels);

// The owners of the leaf mesh's entities (grid/ownership.cpp), made when the numbering or the
// owners changed since they were last made.
const GridImpl::EntityOwners& entity_owners(GridImpl& grid);

// Partition (grid/partition.cpp): the owner of each leaf (in leaf order) for `nparts` processes,
// minimising cut faces with no part above max(ceil(n / nparts), min(imbalance, 1.002) * n / nparts)
// elements: a looser `imbalance` is not used, since the slowest process sets the pace. Deterministic: every process computes the same
// partition from the same grid. Grids of more than `direct_limit` leaves are partitioned by
// subtrees of the refinement tree.
std::vector<int> partition_leaves(const GridImpl& grid, int nparts, double imbalance,
                                  int direct_limit = 200000);
// Faces between leaves of different owners.
int64_t cut_faces(const GridImpl& grid);
// Partitions the leaves over the grid's processes and makes the partition the owners
// (collective: process 0 computes, every process receives the same owners).
void balance_grid(GridImpl& grid, double imbalance);

}  // namespace mosk
