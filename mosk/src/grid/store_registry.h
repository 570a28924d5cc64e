// The registry of live element stores: it lets callers recognise elements they kept from a grid
// that was since re-imported or freed (moskElementIsCurrent).
#pragma once

#include <cstdint>

namespace mosk {

class GridImpl;

// Registers `grid` under a new id, never used before in this process, and returns it.
uint64_t register_store(const GridImpl* grid);
// The registered store `id` is now `grid` (no allocation: a grid takes another's contents with
// its id).
void rebind_store(uint64_t id, const GridImpl* grid);
// Forgets the store `id` (0 is ignored).
void unregister_store(uint64_t id);

}  // namespace mosk
