// Process-major numbering of field values: every value belongs to the owner of its node's
// vertex, edge, face or element (entity_owners); the values of process 0 come first, then those
// of process 1, and so on. While every process holds the whole grid, each process's values come
// field by field, each field in its own value order; on a distributed grid a process numbers its
// values in the order in which they first appear on its own leaves (the fields of a leaf
// together, so that an element's rows lie close in memory), and its ghost values receive their
// owners' numbers. On one process this is the fields' own order, one field after another.
#pragma once

#include <cstdint>
#include <vector>

#include "grid/grid_impl.h"
#include "mosk.h"

namespace mosk {

struct ValueNumbering {
    // The global index of each value, fields one after another; empty on one process, where it
    // is the value's position.
    std::vector<int> global;
    int rstart = 0, nlocal = 0;  // this process's range of global indices
    int global_size = 0;         // values over all processes
};

// The numbering of the values of `fields` (all on grid g). Throws std::length_error beyond
// 2^31 - 1 values.
ValueNumbering number_values(const std::vector<DOF_*>& fields, GridImpl& g);

// For each value index of the field (its position in DOF_::data), the global index of that value
// in a map over this one field, so that arrays exchanged with callers line up with the element
// indices of such a map. On one process the numbering is the field's own and this is the
// identity.
std::vector<int64_t> field_value_to_global(const DOF_& d);

}  // namespace mosk
