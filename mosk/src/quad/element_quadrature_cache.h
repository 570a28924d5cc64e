// Per-thread cache of element matrices. Callers ask for a matrix per element, or one entry per
// call, so each thread keeps the last element's geometry and, per operation, a few whole element
// matrices. A cached matrix is keyed on everything it depends on: the grid (address, store id,
// numbering generation), the element, the basis types, the rule degree and, for a coefficient or
// source field, its address, its values version and a copy of its values on the element (so
// that a write through DOF_::data that did not bump the version still invalidates the entry).
// The run of per-entry calls on one matrix without a coefficient is served from the last slot
// after a few pointer checks.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "grid/geometry.h"
#include "grid/grid_impl.h"
#include "mosk.h"

namespace mosk {

enum QuadOp { kGradGrad = 0, kMass = 1, kDofTimesBas = 2, kQuadOpCount = 3 };

struct ElementKey {
    const GridImpl* grid = nullptr;
    uint64_t store = 0, generation = 0;
    const ELEMENT_* element = nullptr;
    int record = -1;
    bool operator==(const ElementKey&) const = default;
};

inline ElementKey element_key(const GridImpl& g, const ELEMENT_& e) {
    return ElementKey{&g, g.store_id(), g.numbering_generation, &e, e.record};
}

// The element's geometry, computed once for a run of calls on one element.
const ElementGeometry& cached_geometry(const GridImpl& g, const ELEMENT_& e);

struct MatrixKey {
    ElementKey element;
    const DOF_TYPE_* row_type = nullptr;  // u, or v for a field times a basis
    const DOF_TYPE_* col_type = nullptr;  // v, or null
    const DOF_* field = nullptr;          // the coefficient or the source field, or null
    uint64_t field_version = 0;
    int field_dim = 0;
    int degree = -1;
    bool operator==(const MatrixKey&) const = default;
};

struct MatrixSlot {
    bool used = false;
    MatrixKey key;
    std::vector<double> field_values;  // the field's values on the element when computed
    int cols = 0;
    std::vector<double> entries;       // row-major, rows x cols
};

inline constexpr int kSlotsPerOp = 4;

// The entry served last, for the run of calls on one matrix without a coefficient: the same
// element, types and order on an unchanged grid (same store, same numbering generation, so the
// element is still a leaf) need no new validation of the element nor a search of the slots.
struct LastServed {
    const MatrixSlot* slot = nullptr;  // null: nothing to reuse
    const ELEMENT_* element = nullptr;
    const GRID_* grid = nullptr;
    uint64_t store = 0, generation = 0;
    const DOF_TYPE_* row_type = nullptr;
    const DOF_TYPE_* col_type = nullptr;
    int order = 0;
};

struct OpCache {
    MatrixSlot slots[kSlotsPerOp];
    int next = 0;  // round-robin replacement
    LastServed last;
};

// This thread's cache of the operation.
OpCache& op_cache(QuadOp op);

// The slot holding the matrix of `key` for the field values `current` (the coefficient's or
// source's values on the element, empty without one), computing it on a miss with
// compute(current, entries), which returns the column count.
template <class Compute>
const MatrixSlot& cached_matrix(QuadOp op, const MatrixKey& key, const std::vector<double>& current,
                                Compute&& compute) {
    OpCache& cache = op_cache(op);
    for (MatrixSlot& s : cache.slots)
        if (s.used && s.key == key && s.field_values.size() == current.size() &&
            (current.empty() || std::memcmp(s.field_values.data(), current.data(),
                                            current.size() * sizeof(double)) == 0))
            return s;
    MatrixSlot& s = cache.slots[cache.next];
    cache.next = (cache.next + 1) % kSlotsPerOp;
    s.used = false;  // stays unused if the computation throws
    s.cols = compute(current, s.entries);
    s.key = key;
    s.field_values = current;
    s.used = true;
    return s;
}


}  // namespace mosk
