// Grid records: creation, freeing, balancing and stepping through leaf elements; ownership of
// the leaves.
#include <algorithm>
#include <cmath>
#include <sstream>

#include "core/library_state.h"
#include "core/check.h"
#include "core/parallel.h"
#include "grid/grid_impl.h"
#include "grid/store_registry.h"
#include "mosk_errors.h"

namespace mosk {
GridImpl::GridImpl(GRID_* rec, int communicator)
    : record(rec),
      comm(communicator),
      rank(process_rank(communicator)),
      nprocs(process_count(communicator)) {
    renew_store_id();
}

void GridImpl::assign_block_owners() {
    const int64_t n = int64_t(leaves_.size());
    for (int64_t i = 0; i < n; ++i) leaf(int(i)).owner = int(i * nprocs / n);
}

int GridImpl::owned_leaf_count() const {
    if (nprocs == 1) return int(leaves_.size());
    if (part.active) return part.owned_leaves;
    int count = 0;
    for (int r : leaves_) count += elements_[size_t(r)].owner == rank;
    return count;
}

GridImpl::~GridImpl() {
    for (DOF_* d : fields) d->grid = nullptr;  // the fields outlive us: detach them
    unregister_store(store_id_);
}

void GridImpl::renew_store_id() {
    unregister_store(store_id_);
    store_id_ = register_store(this);
    if (record) record->store_id = store_id_;
}

void GridImpl::swap_contents(GridImpl& other) {
    coords_.swap(other.coords_);
    std::swap(elements_, other.elements_);
    std::swap(tree_, other.tree_);
    leaves_.swap(other.leaves_);
    edge_verts.swap(other.edge_verts);
    face_verts.swap(other.face_verts);
    face_label.swap(other.face_label);
    label_sets.swap(other.label_sets);
    root_label.swap(other.root_label);
    std::swap(part, other.part);
}

void require_no_callback_running(const GridImpl& grid, const char* op) {
    if (grid.callbacks_running > 0)
        fail<std::logic_error>(op,
                               "the grid is in use by a running user function (an initial-value "
                               "or boundary function); it cannot change until that call returns");
}

GridImpl& impl_of(GRID_* grid) {
    if (!grid || !grid->impl) fail("grid", "null grid");
    return *static_cast<GridImpl*>(grid->impl);
}

const GridImpl& impl_of(const GRID_* grid) {
    if (!grid || !grid->impl) fail("grid", "null grid");
    return *static_cast<const GridImpl*>(grid->impl);
}

}  // namespace mosk

using namespace mosk;

extern "C" {

GRID_* moskNewGrid(int comm) {
    auto* rec = new GRID_{};
    try {
        rec->impl = new GridImpl(rec, communicator_handle(comm));
    } catch (...) {
        delete rec;
        throw;
    }
    return rec;
}

void moskFreeGrid(GRID_** grid) {
    if (!grid || !*grid) return;
    delete static_cast<GridImpl*>((*grid)->impl);
    delete *grid;
    *grid = nullptr;
}

ELEMENT_* _mosk_step_element(GRID_* grid, int* cursor, int flag) {
    if (!cursor) return nullptr;
    GridImpl& g = impl_of(grid);
    const int n = g.num_leaves();
    int i = std::max(*cursor, 0);
    switch (flag) {
        case 1:
            if (g.nprocs > 1)
                while (i < n && g.leaf(i).owner != g.rank) ++i;
            break;
        case 2: break;
        case 3:
            while (i < n) {
                const ELEMENT_& e = g.leaf(i);
                if (e.owner == g.rank &&
                    (is_boundary_code(e.label[0]) || is_boundary_code(e.label[1]) ||
                     is_boundary_code(e.label[2]) || is_boundary_code(e.label[3])))
                    break;
                ++i;
            }
            break;
        default: return nullptr;
    }
    if (i >= n) return nullptr;
    *cursor = i;
    return &g.leaf(i);
}

}  // extern "C"
