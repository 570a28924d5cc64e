// A distributed grid's storage: cutting this process's part out of a whole grid (at the first
// balance) and taking over a part made elsewhere.
#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "core/check.h"
#include "core/parallel.h"
#include "grid/grid_impl.h"
#include "grid/part_assembly.h"
#include "grid/store_registry.h"

namespace mosk {
std::vector<int> GridImpl::cut_part_of(const GridImpl& whole) {
    // The owned leaves, then every other leaf that shares a vertex with one of them.
    std::vector<int> chosen;
    std::vector<int> held_at(size_t(whole.num_vertices()), -1);
    HeldLeaves h;
    for (int i = 0; i < whole.num_leaves(); ++i)
        if (whole.leaf(i).owner == rank) chosen.push_back(i);
    h.owned = int(chosen.size());
    for (int i : chosen)
        for (int v : whole.leaf(i).verts) held_at[size_t(v)] = 0;
    for (int i = 0; i < whole.num_leaves(); ++i) {
        const ELEMENT_& e = whole.leaf(i);
        if (e.owner == rank) continue;
        if (held_at[size_t(e.verts[0])] == 0 || held_at[size_t(e.verts[1])] == 0 ||
            held_at[size_t(e.verts[2])] == 0 || held_at[size_t(e.verts[3])] == 0)
            chosen.push_back(i);
    }
    std::fill(held_at.begin(), held_at.end(), -1);
    for (int i : chosen) {
        const ELEMENT_& e = whole.leaf(i);
        h.key.push_back(i);
        h.owner.push_back(e.owner);
        append_held_leaf(h, whole, e, held_at);
    }
    label_sets = whole.label_sets;
    assemble_part(*this, std::move(h));
    return chosen;
}

void GridImpl::take_contents(GridImpl& fresh) {
    swap_contents(fresh);
    // The records' store id comes with them (elements handed out before are no longer current):
    // taking allocates nothing, so it cannot fail once the processes agreed on it.
    std::swap(store_id_, fresh.store_id_);
    rebind_store(store_id_, this);
    rebind_store(fresh.store_id_, &fresh);
    if (record) record->store_id = store_id_;
    ++numbering_generation;
    ++partition_generation;
    update_record();
}

}  // namespace mosk
