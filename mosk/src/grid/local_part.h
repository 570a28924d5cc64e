// What a process keeps of a balanced grid once the grid is distributed: the leaves it owns, one
// layer of ghost leaves (the other processes' leaves that share a vertex with one of its own),
// and local numbers of their vertices, edges and faces with owners and global numbers.
//
// The part is chosen here from the whole grid that every process still holds; everything after
// the choice (local numbers, owners, index maps) uses the part alone, as the distributed grid
// will with what migration delivers.
#pragma once

#include <vector>

#include "core/index_map.h"
#include "grid/grid_impl.h"

namespace mosk {

// One kind of entity of the part (vertices, edges or faces). Owner: the owner of the
// lowest-numbered leaf that holds the entity. Key in the map: the number of that leaf times the
// entities per leaf (4, 6, 4) plus the entity's local index in it, so that an edge or a face is
// named by one 64-bit number.
struct LocalEntities {
    std::vector<int> of_leaf;  // local numbers of each leaf's entities (4, 6 or 4 per leaf)
    std::vector<int> owner;    // local entity -> owning process
    IndexMap map;              // the owned entities first, then the ghosts
};

struct LocalPart {
    std::vector<int> leaves;  // leaf numbers: the owned ones, then the ghosts (leaf order)
    int owned = 0;            // leading entries of `leaves` that this process owns
    IndexMap elements;        // over `leaves`, keyed by leaf number
    LocalEntities vertices, edges, faces;
    std::vector<int> vertex;  // local vertex -> its number in the grid (for its coordinates)
};

// Collective over the grid's processes.
LocalPart local_part(const GridImpl& grid);

}  // namespace mosk
