// DOF fields: values of a Lagrange (or piecewise constant) function on the leaf mesh, their
// initialisation, evaluation inside an element, and how they follow the grid through refinement
// and re-import.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "dof/dof_layout.h"
#include "dof/lagrange.h"
#include "grid/geometry.h"
#include "grid/grid_impl.h"
#include "mosk.h"

namespace mosk {

enum class InitMode { NoData, NoAction, Interpolation, Lambda, Function };

// The mode a moskDofNew_ init argument stands for (a real function for anything that is not a
// marker; null is "no data").
InitMode init_mode_of(MOSK_POINT_FUNC init);

// Something built on fields that must learn when one of them is freed.
struct FieldUser {
    virtual void field_freed(const DOF_* dof) = 0;

protected:
    virtual ~FieldUser() = default;
};

struct DofImpl {
    std::string name;
    InitMode mode = InitMode::NoData;
    std::vector<double> values;  // DOF_::data points here
    // Changes whenever the library writes the values; drawn from one process-wide counter, so
    // a field made at the address of a freed one never repeats its version. Keys derived caches.
    uint64_t version = 0;
    // What is built on this field (maps): freeing the field tells them, so none reads it
    // afterwards.
    std::vector<FieldUser*> users;
    // Labels of the boundary faces that carry this field's Dirichlet data, when the field has its
    // own choice (moskDofSetDirichletLabels); otherwise the library-wide one applies.
    bool own_dirichlet_labels = false;
    std::vector<int> dirichlet_labels;
};

DofImpl& dof_impl(DOF_& d);
// Gives the field a new values version (after any write to its values).
void bump_version(DofImpl& impl);
// The grid of a field; throws std::invalid_argument when the field or its grid is gone.
GridImpl& grid_of(const DOF_* d, const char* op);

// The element's nodes of a field's type: basis, element node order and degree.
struct ElementNodes {
    const LagrangeBasis* basis;
    NodeOrder order;
    int degree;
};
ElementNodes element_nodes(const DOF_TYPE_& type, const ELEMENT_& e);

// Barycentric coordinates of the element's node k (element order).
void node_lambda(const ElementNodes& n, int k, double lambda[4]);

// Physical point of barycentric lambda in the tetrahedron p.
Point point_of(const TetPoints& p, const double lambda[4]);

// Physical point of the node of local basis function k of `type` on leaf element e.
Point node_point(const GridImpl& g, const DOF_TYPE_& type, const ELEMENT_& e, int k);

// Visits every node of the leaf mesh once: f(element, local basis k, value index).
template <class F>
void for_each_node_once(const DOF_& d, const GridImpl& g, const ValueBlocks& b, F&& f) {
    std::vector<uint8_t> done(size_t(b.total), 0);
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        for (int k = 0; k < d.type->nbas; ++k) {
            const int64_t idx = value_index(d, b, e, k);
            if (done[size_t(idx)]) continue;
            done[size_t(idx)] = 1;
            f(e, k, idx);
        }
    }
}

// Values (dim of them) of the field at barycentric lambda of leaf element e, reading the field's
// values through the numbering stored in e and the blocks b.
void evaluate_field(const DOF_& d, const ValueBlocks& b, const ELEMENT_& e, const double lambda[4],
                    double* out);

// Calls `init` once per node of the leaf mesh in this process's share of the field's values
// (share_of; on a distributed grid the nodes it owns) and stores its values (the field
// interpolates it). On several processes the caller completes the values with
// complete_shares once every process has succeeded.
void interpolate_function(DOF_& d, MOSK_POINT_FUNC init);
// After every process wrote its share of the values (interpolate_function): the values of the
// other processes' shares (a whole grid) or the owners' values in the ghost copies (a
// distributed grid). Collective.
void complete_shares(DOF_& d);

// Whether value `idx` of the field belongs to a node this process owns (every value while the
// grid is not distributed).
bool owns_value(const DOF_& d, const GridImpl& g, const ValueBlocks& b, int64_t idx);
// Gives the ghost copies of a field on a distributed grid their owners' values (collective over
// the grid's processes; nothing on a grid every process holds whole).
void update_ghost_values(DOF_& d);
// The same for any array laid out as the field's values on the distributed grid `g` (the field's
// grid, or a new part of it not yet taken).
void forward_to_ghosts(const DOF_& d, const GridImpl& g, double* values);

// A grid's changes that the fields follow (dof/grid_changes.cpp): the whole grid cut to this
// process's part, carrying every field's values. Collective.
void distribute_grid(GridImpl& g);
// A distributed grid's owned leaves move to `new_owner` (one per held leaf) with every field's
// values (grid/migration.h). Collective.
void migrate_grid(GridImpl& g, std::span<const int> new_owner);

// After refine_all: `before` is the public record as it was and records from first_new_record on
// are new. Each field's values on the new leaf mesh (the fields still hold the old ones): the
// interpolant of its old values for a field in an interpolating mode, zero for the others.
std::vector<std::vector<double>> values_after_refinement(const GridImpl& g, const GRID_& before,
                                                         size_t first_new_record);
// After refine_part(g, levels, part) returned `source` (the leaf of g that each leaf of part
// lies in): each field's values on `part` (interpolated from g's as
// values_after_refinement does, or zero), in part's layout.
std::vector<std::vector<double>> values_on_refined_part(const GridImpl& g, const GridImpl& part,
                                                        const std::vector<int>& source);

// Each field of g zeroed in the layout of `part` (an import's new grid).
std::vector<std::vector<double>> zeroed_values(const GridImpl& g, const GridImpl& part);

}  // namespace mosk
