// Refinement of a distributed grid (grid/parallel_refine.cpp).
#pragma once

#include <vector>

#include "grid/grid_impl.h"
#include "grid/part_assembly.h"

namespace mosk {

// This process's leaves of `grid`'s part refined `levels` times, the same leaves as refine_all
// on the whole grid gives: the descendants of the owned leaves in their ancestors' places, then
// those of the ghosts that share a vertex with one of them. `source` receives, for each leaf, the
// leaf of `grid` it lies in (a record number). The grid is left as it was, also when the call
// fails. Collective.
HeldLeaves refine_held(GridImpl& grid, int levels, std::vector<int>& source);

// Makes the empty grid `fresh` the refined part (refine_held, then assemble_part) and returns
// `source`. Collective.
std::vector<int> refine_part(GridImpl& grid, int levels, GridImpl& fresh);

}  // namespace mosk
