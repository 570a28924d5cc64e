// A process's share of a distributed leaf mesh as a cut, a migration, a refinement or a reading
// delivers it, and the part of a grid made from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/point.h"
#include "mosk.h"

namespace mosk {

class GridImpl;

// The owned leaves first, then the ghost leaves: every leaf of another process that shares a
// vertex with an owned leaf, each once.
struct HeldLeaves {
    int owned = 0;  // leading leaves that this process owns
    // Per leaf: its identity, the same on every process that holds it and distinct among its
    // owner's leaves (a number from before the change, say); and its owner (this process for the
    // owned leaves).
    std::vector<int64_t> key;
    std::vector<int> owner;
    // Per leaf: its vertices (positions in `coords`) in the element's own vertex order, which
    // every process holding the leaf uses alike; the label-set code of the face opposite each
    // vertex (codes of the grid's label_sets, the same on every process); its volume label.
    std::vector<std::array<int, 4>> verts;
    std::vector<std::array<int, 4>> face_codes;
    std::vector<int> label;
    std::vector<Point> coords;  // the held vertices, each once, in any order
};

// Room in `held` for `leaves` leaves and `vertices` vertices.
void reserve_held_leaves(HeldLeaves& held, std::size_t leaves, std::size_t vertices);
// Appends the leaf with vertices `verts` (of `grid`), face codes `codes` and volume label `label`
// to `held` (vertices, coordinates, face codes, label; the caller adds key and owner). `held_at`
// maps grid's vertices to positions in held.coords (-1: not yet there), sized for grid's vertices.
void append_held_leaf(HeldLeaves& held, const GridImpl& grid, const int (&verts)[4],
                      const int (&codes)[4], int label, std::vector<int>& held_at);
// The same for leaf `e` of `grid` with its own volume label (found through its ancestors).
void append_held_leaf(HeldLeaves& held, const GridImpl& grid, const ELEMENT_& e,
                      std::vector<int>& held_at);

// Makes the empty grid `fresh` this process's part of the distributed leaf mesh that the
// processes' `held` leaves make up (collective). Leaf i of the part is held leaf i. Global leaf
// numbers follow the owned leaves' order, process after process; vertices, edges and faces are
// owned by the owner of the lowest-numbered leaf around them and numbered from owned ranges;
// vertices are stored in the order of their global numbers. `fresh.label_sets` must be set
// before the call (the same on every process).
void assemble_part(GridImpl& fresh, HeldLeaves&& held);

}  // namespace mosk
