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

// The leaves this process holds once the owned leaves of the distributed grid `g` go to the
// owners `new_owner` (one per held leaf of g, in leaf order; a ghost's is the one its owner
// chose), as assemble_part takes them; `routes` receives where the owned leaves went.
// Collective. The new owned leaves are ordered by their old global numbers, so leaves that stay
// keep their order. Only per-process buffers: nothing of the whole grid's size.
HeldLeaves migrated_leaves(const GridImpl& g, std::span<const int> new_owner, LeafRoutes& routes);
// The same, assembled into the empty grid `fresh`.
LeafRoutes migrate_part(GridImpl& fresh, const GridImpl& g, std::span<const int> new_owner);

// The distributed grid `g`'s part as the held leaves it is made of (keys: the global leaf
// numbers): assemble_part makes the same part of them again, at a fifth of its memory.
HeldLeaves held_leaves_of_part(const GridImpl& g);

}  // namespace mosk
