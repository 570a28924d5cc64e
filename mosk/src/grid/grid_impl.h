// The library's private grid: coordinates, the element store (every element record of every
// refinement level, at stable addresses), the leaf list and the numbering of the leaf mesh.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/chunked_store.h"
#include "core/index_map.h"
#include "core/point.h"
#include "grid/reference_tetrahedron.h"
#include "io/mesh_data.h"
#include "mosk.h"

namespace mosk {

// Boundary label of a boundary face that the mesh file gives no label (or label 0) for.
inline constexpr int kUnlabelledBoundary = -1;

// Face labels: a face may belong to several groups of the mesh file, so ELEMENT_::label[k] and
// face_label hold a code of the face's label set (GridImpl::label_sets): 0 for an interior face
// without labels, c > 0 for a boundary face with label set c, -c for an interior face (an
// interface) with label set c. Set 0 is empty, set 1 is {kUnlabelledBoundary}.
inline constexpr int kUnlabelledBoundaryCode = 1;
inline bool is_boundary_code(int code) { return code > 0; }

// A record's place in the refinement tree, kept beside the element records (same record number):
// only grid/ and the transfer of field values through refinement read it. Refinement also sets
// ELEMENT_::refined, which answers "is it a leaf" without this table.
struct TreeLinks {
    int parent = -1;  // record of the parent, -1 for an element of the imported mesh
    int child = -1;   // record of the first half (the second is the next), -1 while a leaf
    int level = 0;    // bisections from the imported element
};

// This process's part of a grid distributed over several processes (after a balance): the owned
// leaves first, then the ghost leaves; vertices, edges and faces numbered locally, the owned ones
// first, each kind with its index map (global numbers, owners of the ghosts, and the exchange
// that gives ghost copies their owners' values). Inactive while every process holds the whole
// grid (one process, or before the first balance).
struct GridPart {
    bool active = false;
    int owned_leaves = 0;
    IndexMap elements, vertices, edges, faces;
    // Local vertices are stored in the order of their global numbers, so that every process
    // orders the nodes of an element, an edge or a face alike; this is each one's position in
    // `vertices` (whose owned entries come first).
    std::vector<int> vertex_position;
    std::vector<int> boundary_labels;  // of the whole grid: the same on every process
};

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

    // The storage (private below), read through these; only grid/ changes it.
    int num_vertices() const { return int(coords_.size()); }
    const Point& vertex(int v) const { return coords_[size_t(v)]; }
    std::span<const Point> vertices() const { return coords_; }
    int num_leaves() const { return int(leaves_.size()); }
    ELEMENT_& leaf(int i) { return elements_[size_t(leaves_[size_t(i)])]; }
    const ELEMENT_& leaf(int i) const { return elements_[size_t(leaves_[size_t(i)])]; }
    std::span<const int> leaf_records() const { return leaves_; }  // in leaf order
    // Every record of the refinement tree, leaves and refined elements; index = ELEMENT_::record.
    size_t num_records() const { return elements_.size(); }
    ELEMENT_& element_record(int r) { return elements_[size_t(r)]; }
    const ELEMENT_& element_record(int r) const { return elements_[size_t(r)]; }
    // Whether `e` is this grid's record `r` (a pointer from outside, checked before use).
    bool holds_record(size_t r, const ELEMENT_* e) const { return elements_.holds(r, e); }
    TreeLinks& tree(int r) { return tree_[size_t(r)]; }
    const TreeLinks& tree(int r) const { return tree_[size_t(r)]; }
    // From the record itself: the check of every element call touches no other memory.
    bool is_leaf_record(int r) const { return elements_[size_t(r)].refined == 0; }

    // Changes made by refinement: vertices and records are only appended; the leaf list is
    // replaced as a whole.
    int add_vertex(const Point& p) {
        coords_.push_back(p);
        return int(coords_.size()) - 1;
    }
    void drop_vertices_from(int first) { coords_.resize(size_t(first)); }
    void reserve_vertices(size_t n) { coords_.reserve(n); }
    // Only for records that nothing outside the refinement that made them has seen.
    void drop_records_from(size_t first) {
        elements_.truncate(first);
        tree_.truncate(first);
    }
    ELEMENT_& add_record(const ELEMENT_& e, const TreeLinks& links) {
        tree_.push_back(links);
        return elements_.push_back(e);
    }
    void swap_leaves(std::vector<int>& leaves) { leaves_.swap(leaves); }

    GridPart part;  // active once the grid is distributed
    bool distributed() const { return part.active; }
    // The global number of local vertex v (its own number while the grid is whole).
    int64_t vertex_global(int v) const {
        return part.active ? part.vertices.global(part.vertex_position[size_t(v)]) : v;
    }

    // Makes this (empty) grid this process's part of `whole`, which every process holds with
    // the same owners (collective), and returns the number in `whole` of each of the part's
    // leaves. The part's leaves are roots: the refinement tree stays with the whole grid.
    std::vector<int> cut_part_of(const GridImpl& whole);
    // Takes the contents of `fresh` (made by cut_part_of or assemble_part): elements handed out
    // before are no longer current, maps and solvers are stale.
    void take_contents(GridImpl& fresh);

    std::vector<std::array<int, 2>> edge_verts;  // leaf-mesh edge -> sorted vertex pair
    std::vector<std::array<int, 3>> face_verts;  // leaf-mesh face -> sorted vertex triple
    std::vector<int> face_label;  // leaf-mesh face -> label-set code (see above)
    // Sorted, distinct label sets, indexed by code; made on import, kept through refinement.
    std::vector<std::vector<int>> label_sets{{}, {kUnlabelledBoundary}};
    // Volume label of each imported element (records 0..n-1); children inherit their root's.
    std::vector<int> root_label;
    uint64_t numbering_generation = 0;  // counts number_leaf_mesh calls; keys derived caches
    uint64_t partition_generation = 0;  // counts changes of owners other than by refinement
    // Whether the owners came from a balance (and refinement since, whose children keep their
    // parent's owner), not from an import's blocks.
    bool owners_from_balance = false;

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

    // Dirichlet flags of the leaf mesh per label set in use (dof/dirichlet_data.cpp).
    struct DirichletFlags {
        uint64_t generation = 0;  // numbering_generation they were made for; 0 = none
        bool all = true;  // every boundary face, whatever its labels
        std::vector<int> labels;  // else the labels they were made for
        std::vector<uint8_t> vert, edge, face;
    };
    std::vector<DirichletFlags> dirichlet;

    // The labels of a face's label-set code.
    const std::vector<int>& labels_of(int code) const {
        return label_sets[size_t(code < 0 ? -code : code)];
    }
    // The code of the sorted, distinct `labels` on a boundary or interior face (added if new).
    int label_code(const std::vector<int>& labels, bool boundary);
    // The sorted labels that boundary faces of the leaf mesh carry.
    std::vector<int> boundary_labels() const;
    // The volume label of a leaf element (its imported ancestor's).
    int element_label(const ELEMENT_& e) const;

    // Replaces the contents by `mesh` after validating it; throws FormatError naming `source`
    // and leaves the grid unchanged when the mesh is invalid.
    void assign(MeshData&& mesh, const std::string& source);

    // Rebuilds the leaf-mesh numbering from `leaves` (after import and after refinement): edge and
    // face numbers in every leaf record, edge_verts, face_verts, face_label (boundary faces keep
    // the label their leaf records carry, or kUnlabelledBoundary), and then
    // the public record's counters.
    void number_leaf_mesh();
    // The same numbering of edges and faces (edge_verts and face_verts; face_label all 0) of the
    // leaves whose vertices `leaf_verts` gives, before their records exist, handed out: per leaf
    // its six edges in the element's edge order in `edges` and its four faces (face k opposite
    // vertex k) in `faces`. The records and the public record are left to the caller.
    void number_leaf_entities(std::span<const std::array<int, 4>> leaf_verts,
                              std::vector<int>& edges, std::vector<int>& faces);

    // Copies the counts into the public record (when there is one).
    void update_record();
    // The counts of the public record as they are now (a record for field sizes).
    GRID_ counts() const;

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
    std::vector<Point> coords_;  // by global vertex number; vertices are only appended
    ChunkedStore<ELEMENT_> elements_;  // all records, at stable addresses
    ChunkedStore<TreeLinks> tree_;  // by record, as elements_
    std::vector<int> leaves_;  // record numbers of the leaf elements, in leaf order
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

// Reading a large mesh on one process (grid/grid_import.cpp): process 0 holds `mesh` (the others
// an empty one), checks it and deals it out, and every process makes the empty grid `fresh` its
// part: the file's tetrahedra in blocks (leaf i to process i * nprocs / n) with one layer of
// ghosts. Collective; an invalid mesh throws FormatError naming `source` on every process.
void assign_dealt_out(GridImpl& fresh, MeshData&& mesh, const std::string& source);

// Reading a binary MSH 4.1 file in slices (grid/sliced_import.cpp): every process reads its block
// of the file's tetrahedra (the blocks above) and their vertices, and makes the empty grid
// `fresh` its part, with the same grid, labels and checks as assign_dealt_out. Collective.
void assign_read_in_slices(GridImpl& fresh, const std::string& path);

// Refinement (grid/refine.cpp): `levels` levels of bisection of every leaf with closure.
// `finish` completes the call after the last level (the fields' values on the refined grid, the
// agreement of the processes); should it throw, the refinement is undone as on a failing level.
void refine_all(GridImpl& grid, int levels, const std::function<void()>& finish = {});

// The owners of the leaf mesh's entities (grid/ownership.cpp), made when the numbering or the
// owners changed since they were last made.
const GridImpl::EntityOwners& entity_owners(GridImpl& grid);

// The bound of `balance` on the elements of any process, for n elements over nparts processes:
// max(ceil(n / nparts), min(imbalance, kImbalanceLimit) * n / nparts). A looser `imbalance` is
// not used, since the slowest process sets the pace of every step after balance.
inline constexpr double kImbalanceLimit = 1.002;
int64_t partition_cap(int64_t n, int nparts, double imbalance);
// Partition (grid/parallel_partition.cpp): the owner of each leaf this process holds (in leaf
// order) after a partition over the grid's processes, computed by all of them together from the
// leaves each owns now, minimising cut faces with no process above partition_cap; owners that a
// balance made and refinement kept stay while no process holds more than `imbalance` times the
// mean (the mean rounded up at least). The same for
// the same grid, owners and number of processes. Collective. Works on a whole grid and on a
// part (the ghosts' owners then come from their owners).
// Grids of more than `direct_limit` leaves are partitioned by subtrees of the refinement tree.
std::vector<int> partition_leaves_parallel(const GridImpl& grid, double imbalance,
                                           int direct_limit = 200000);
// Whether partition_leaves_parallel would keep the owners of a distributed grid's part as they
// are, found without it (collective).
bool balance_keeps_owners(const GridImpl& grid, double imbalance);
// Faces between leaves of different owners.
int64_t cut_faces(const GridImpl& grid);
// Partitions the leaves of a grid that every process holds whole over its processes and makes
// the partition the owners (collective).
void balance_grid(GridImpl& grid, double imbalance);
// After a partition of a distributed grid into `owner` (per held leaf): with -verbosity 1, the
// elements per process and the cut faces (collective).
void report_partition(const GridImpl& grid, std::span<const int> owner);

}  // namespace mosk
