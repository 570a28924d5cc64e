// Balance of a distributed grid: every owned leaf moves to its new owner with the leaves around
// it that the new owner keeps as ghosts, and the processes make their new parts from what they
// receive. Data kept per leaf (field values) follows the leaves' routes.
#pragma once

#include <span>
#include <vector>

#include "grid/grid_impl.h"
#include "grid/leaf_messages.h"

namespace mosk {

// Where the owned leaves of the old part went, for data that travels by leaf.
struct LeafRoutes {
    // Per process: the old part's owned leaves (in leaf order) that it owns now.
    std::vector<std::vector<int>> sent;
    // Per owned leaf of the new part: the process it came from and its position in that
    // process's list for this one.
    std::vector<LeafOrigin> origins;
};

// Makes the empty grid `fresh` this process's part once the owned leaves of the distributed grid
// `g` go to the owners `new_owner` (one per held leaf of g, in leaf order; a ghost's is the one
// its owner chose). Collective. The new owned leaves are ordered by their old global numbers, so
// leaves that stay keep their order. Only per-process buffers: nothing of the whole grid's size.
LeafRoutes migrate_part(GridImpl& fresh, const GridImpl& g, std::span<const int> new_owner);

}  // namespace mosk
