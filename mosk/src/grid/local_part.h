// What a process keeps of a balanced grid once the grid is distributed: the leaves it owns, one
// layer of ghost leaves (the other processes' leaves that share a vertex with one of its own),
// and local vertex numbers with their owners and global numbers.
//
// The part is chosen here from the whole grid that every process still holds; everything after
// the choice (local numbers, owners, index maps) uses the part alone, as the distributed grid
// will with what migration delivers.
#pragma once

#include <vector>

#include "core/index_map.h"
#include "grid/grid_impl.h"

namespace mosk {

struct LocalPart {
    std::vector<int> leaves;        // leaf numbers: the owned ones, then the ghosts (leaf order)
    int owned = 0;                  // leading entries of `leaves` that this process owns
    std::vector<int> verts;         // 4 local vertex numbers per entry of `leaves`
    std::vector<int> vertex;        // local vertex -> its number in the grid (its key)
    std::vector<int> vertex_owner;  // local vertex -> owning process
    IndexMap elements;              // over `leaves`, keyed by leaf number
    IndexMap vertices;              // over `vertex`: the owned ones first, then the ghosts
};

// Collective over the grid's processes.
LocalPart local_part(const GridImpl& grid);

}  // namespace mosk
