// The registry of live element stores: it lets callers recognise elements they kept from a grid
// that was since re-imported or freed (moskElementIsCurrent).
#pragma once

#include <cstdint>

#include "core/chunked_store.h"
#include "mosk.h"

namespace mosk {

// Every element record of a grid, at stable addresses (index = ELEMENT_::record).
using ElementStore = ChunkedStore<ELEMENT_>;

// Registers `store` under a new id, never used before in this process, and returns it.
uint64_t register_store(const ElementStore* store);
// Forgets the store `id` (0 is ignored).
void unregister_store(uint64_t id);

}  // namespace mosk
