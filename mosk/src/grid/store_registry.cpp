// Live element stores by id. Ids are never reused within a process, so a stale id never finds
// another grid's store. Every change of the registry bumps an epoch; a thread that validated a
// store keeps it with the epoch it saw, and while the epoch is unchanged the store is still live
// and needs neither the lock nor the lookup. That is the case of every element call of a loop.
// As for any use of a grid's elements, no other thread may free or re-import the grid meanwhile.
#include "grid/store_registry.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "grid/grid_impl.h"
#include "mosk.h"

namespace mosk {
namespace {

std::mutex registry_mutex;
std::unordered_map<uint64_t, const GridImpl*>& registry() {
    static auto* map = new std::unordered_map<uint64_t, const GridImpl*>();
    return *map;
}
uint64_t next_store_id = 1;               // under the mutex
std::atomic<uint64_t> registry_epoch{1};  // changes under the mutex, read without it

// The store this thread validated last, and the epoch it saw then.
struct LastValidated {
    uint64_t epoch = 0;
    uint64_t store_id = 0;
    const GridImpl* grid = nullptr;
};
thread_local LastValidated last_validated;

// The live store `id`, or null.
const GridImpl* live_store(uint64_t id) {
    LastValidated& last = last_validated;
    if (last.grid && last.store_id == id &&
        last.epoch == registry_epoch.load(std::memory_order_acquire))
        return last.grid;
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto it = registry().find(id);
    if (it == registry().end()) return nullptr;
    last = LastValidated{registry_epoch.load(std::memory_order_relaxed), id, it->second};
    return it->second;
}

}  // namespace

uint64_t register_store(const GridImpl* grid) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    const uint64_t id = next_store_id++;
    registry()[id] = grid;
    registry_epoch.fetch_add(1, std::memory_order_release);
    return id;
}

void rebind_store(uint64_t id, const GridImpl* grid) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    const auto it = registry().find(id);
    if (it != registry().end()) it->second = grid;
    registry_epoch.fetch_add(1, std::memory_order_release);
}

void unregister_store(uint64_t id) {
    if (id == 0) return;
    std::lock_guard<std::mutex> lock(registry_mutex);
    registry().erase(id);
    registry_epoch.fetch_add(1, std::memory_order_release);
}

}  // namespace mosk

extern "C" int moskElementIsCurrent(uint64_t store_id, int record, const ELEMENT_* e) {
    if (record < 0) return 0;
    const mosk::GridImpl* g = mosk::live_store(store_id);
    if (!g || !g->holds_record(size_t(record), e)) return 0;
    return g->is_leaf_record(record) ? 1 : 0;
}
