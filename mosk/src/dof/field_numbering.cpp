#include "dof/field_numbering.h"
#include "core/check.h"

#include <climits>
#include <numeric>
#include <stdexcept>

#include "core/parallel.h"
#include "dof/dof_field.h"

namespace mosk {
namespace {

// Appends the owner of every value of the field, in its own order.
void append_value_owners(const DOF_& d, GridImpl& g, std::vector<int>& owners) {
    const GridImpl::EntityOwners& o = entity_owners(g);
    auto block = [&](const std::vector<int>& owner, int64_t per_entity) {
        for (int owner_of_entity : owner)
            for (int64_t k = 0; k < per_entity; ++k) owners.push_back(owner_of_entity);
    };
    block(o.vert, d.nvert_values);
    block(o.edge, d.nedge_values);
    block(o.face, d.nface_values);
    for (int i = 0; i < g.num_leaves(); ++i)
        for (int64_t k = 0; k < d.nelem_values; ++k) owners.push_back(g.leaf(i).owner);
}

// A distributed grid's numbering (see the header).
void number_part_values(const std::vector<DOF_*>& fields, GridImpl& g, ValueNumbering& n) {
    std::vector<ValueBlocks> blocks;
    std::vector<int64_t> first;  // serial position of each field's value 0
    int64_t at = 0;
    for (const DOF_* d : fields) {
        blocks.push_back(value_blocks(*d, *g.record));
        first.push_back(at);
        at += blocks.back().total;
    }
    n.global.assign(size_t(at), -1);
    int next = 0;
    for (int i = 0; i < g.part.owned_leaves; ++i)
        for (size_t f = 0; f < fields.size(); ++f) {
            const DOF_& d = *fields[f];
            for (int k = 0; k < d.type->nbas; ++k) {
                const int64_t idx = value_index(d, blocks[f], g.leaf(i), k);
                int* global = n.global.data() + first[f] + idx;
                if (*global >= 0 || !owns_value(d, g, blocks[f], idx)) continue;
                for (int c = 0; c < d.dim; ++c) global[c] = next++;
            }
        }
    const Share range = offset_and_total(g.comm, next);
    if (range.last > INT_MAX) fail<std::length_error>("numbering", "more than 2^31-1 values");
    n.rstart = int(range.first);
    n.nlocal = next;
    n.global_size = int(range.last);
    // The ghosts' numbers from their owners: numbers below 2^31 travel exactly as doubles.
    for (size_t f = 0; f < fields.size(); ++f) {
        int* global = n.global.data() + first[f];
        std::vector<double> numbers(size_t(blocks[f].total));
        for (size_t k = 0; k < numbers.size(); ++k)
            numbers[k] = global[k] >= 0 ? double(global[k] + n.rstart) : -1.0;
        forward_to_ghosts(*fields[f], g, numbers.data());
        for (size_t k = 0; k < numbers.size(); ++k) global[k] = int(numbers[k]);
    }
}

}  // namespace

ValueNumbering number_values(const std::vector<DOF_*>& fields, GridImpl& g) {
    ValueNumbering n;
    int64_t total = 0;
    for (const DOF_* d : fields) total += value_blocks(*d, *g.record).total;
    if (total > INT_MAX) fail<std::length_error>("numbering", "more than 2^31-1 values");
    n.nlocal = int(total);
    n.global_size = int(total);
    if (g.nprocs == 1) return n;  // the identity: nothing to store
    if (g.distributed()) {
        number_part_values(fields, g, n);
        return n;
    }
    n.global.resize(std::size_t(total));
    std::vector<int> owner;
    owner.reserve(std::size_t(total));
    for (const DOF_* d : fields) append_value_owners(*d, g, owner);
    std::vector<int> next(std::size_t(g.nprocs) + 1, 0);
    for (int p : owner) ++next[p + 1];
    for (int p = 0; p < g.nprocs; ++p) next[p + 1] += next[p];
    n.rstart = next[g.rank];
    n.nlocal = next[g.rank + 1] - next[g.rank];
    for (std::size_t i = 0; i < owner.size(); ++i) n.global[i] = next[owner[i]]++;
    return n;
}

std::vector<int64_t> field_value_to_global(const DOF_& d) {
    GridImpl& g = grid_of(&d, "field numbering");
    const ValueNumbering n = number_values({const_cast<DOF_*>(&d)}, g);
    if (!n.global.empty()) return std::vector<int64_t>(n.global.begin(), n.global.end());
    std::vector<int64_t> identity(std::size_t(n.nlocal));  // one process: nlocal is every value
    std::iota(identity.begin(), identity.end(), int64_t(0));
    return identity;
}

}  // namespace mosk
