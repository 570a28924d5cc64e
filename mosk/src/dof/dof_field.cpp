#include "dof/dof_field.h"
#include "core/check.h"

#include "core/parallel.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "core/library_state.h"

namespace mosk {

InitMode init_mode_of(MOSK_POINT_FUNC init) {
    if (init == nullptr || init == moskDofUserFuncGetPointer_(0)) return InitMode::NoData;
    if (init == moskDofUserFuncGetPointer_(1)) return InitMode::NoAction;
    if (init == moskDofUserFuncGetPointer_(2)) return InitMode::Interpolation;
    if (init == moskDofUserFuncGetPointer_(3)) return InitMode::Lambda;
    return InitMode::Function;
}

DofImpl& dof_impl(DOF_& d) { return *static_cast<DofImpl*>(d.impl); }

void bump_version(DofImpl& impl) {
    static std::atomic<uint64_t> counter{0};
    impl.version = ++counter;
}

GridImpl& grid_of(const DOF_* d, const char* op) {
    if (!d || !d->impl) fail<std::invalid_argument>(op, "null field");
    if (!d->grid)
        fail<std::invalid_argument>(op,
                                    std::string("the grid of field '") + d->name + "' was freed");
    return impl_of(d->grid);
}

ElementNodes element_nodes(const DOF_TYPE_& type, const ELEMENT_& e) {
    const LagrangeBasis& b = lagrange_basis(type.order);
    return ElementNodes{&b, lagrange_node_order(b, e.verts), type.order};
}

void node_lambda(const ElementNodes& n, int k, double lambda[4]) {
    const Alpha& a = n.basis->nodes[n.order.at(k)];
    if (n.degree == 0) {
        for (int m = 0; m < 4; ++m) lambda[m] = 0.25;
        return;
    }
    for (int m = 0; m < 4; ++m) lambda[m] = double(a[m]) / n.degree;
}

Point point_of(const TetPoints& p, const double lambda[4]) {
    Point x{0, 0, 0};
    for (int m = 0; m < 4; ++m)
        for (int c = 0; c < 3; ++c) x[c] += lambda[m] * p[m][c];
    return x;
}

Point node_point(const GridImpl& g, const DOF_TYPE_& type, const ELEMENT_& e, int k) {
    double lambda[4];
    node_lambda(element_nodes(type, e), k, lambda);
    return point_of(element_points(g, e), lambda);
}

void evaluate_field(const DOF_& d, const ValueBlocks& b, const ELEMENT_& e, const double lambda[4],
                    double* out) {
    const ElementNodes n = element_nodes(*d.type, e);
    double phi[kMaxLagrangeSize];
    lagrange_values(*n.basis, lambda, phi);
    const int dim = d.dim;
    std::fill(out, out + dim, 0.0);
    for (int k = 0; k < d.type->nbas; ++k) {
        const double w = phi[n.order.at(k)];
        const double* v = d.data + value_index(d, b, e, k);
        for (int c = 0; c < dim; ++c) out[c] += w * v[c];
    }
}

namespace {

void resize_zeroed(DOF_& d, const GRID_& g) {
    DofImpl& impl = dof_impl(d);
    impl.values.assign(size_t(value_blocks(d, g).total), 0.0);
    d.data = impl.values.data();
    bump_version(impl);
}

}  // namespace

void interpolate_function(DOF_& d, MOSK_POINT_FUNC init) {
    GridImpl& g = grid_of(&d, "field initialisation");
    CallbackScope running(g);  // the walk below must see the grid unchanged
    const ValueBlocks b = value_blocks(d, *d.grid);
    // Each process calls the function on its share of the nodes only (complete_shares then
    // completes the values everywhere).
    const Share mine = g.distributed() ? Share{0, b.total} : share_of(g.comm, b.total, d.dim);
    std::vector<double> buffer(size_t(d.dim));
    for_each_node_once(d, g, b, [&](const ELEMENT_& e, int k, int64_t idx) {
        if (idx < mine.first || idx >= mine.last || !owns_value(d, g, b, idx)) return;
        const Point x = node_point(g, *d.type, e, k);
        std::fill(buffer.begin(), buffer.end(), 0.0);
        init(x[0], x[1], x[2], buffer.data());
        std::copy(buffer.begin(), buffer.end(), d.data + idx);
    });
    bump_version(dof_impl(d));
}

void complete_shares(DOF_& d) {
    GridImpl& g = grid_of(&d, "field initialisation");
    if (g.distributed())
        update_ghost_values(d);
    else
        gather_shares(g.comm, dof_impl(d).values, d.dim);
}

bool owns_value(const DOF_& d, const GridImpl& g, const ValueBlocks& b, int64_t idx) {
    if (!g.distributed()) return true;
    const GridPart& p = g.part;
    if (idx < b.edge)
        return p.vertex_position[size_t((idx - b.vert) / d.nvert_values)] < p.vertices.num_owned();
    if (idx < b.face) return (idx - b.edge) / d.nedge_values < p.edges.num_owned();
    if (idx < b.elem) return (idx - b.face) / d.nface_values < p.faces.num_owned();
    return (idx - b.elem) / d.nelem_values < p.owned_leaves;
}

void update_ghost_values(DOF_& d) {
    GridImpl& g = grid_of(&d, "field values");
    if (!g.distributed()) return;
    forward_to_ghosts(d, g, d.data);
}

void forward_to_ghosts(const DOF_& d, const GridImpl& g, double* values) {
    const ValueBlocks b = value_blocks(d, g.counts());
    // One exchange per kind of node, each entity's values as one block.
    auto exchange = [&](const IndexMap& map, int64_t first, int64_t per,
                        const std::vector<int>* position) {
        if (per == 0) return;
        const std::span<double> stored(values + first, size_t(map.size()) * size_t(per));
        if (!position) return map.forward(stored, int(per));
        std::vector<double> ordered(stored.size());
        for (size_t s = 0; s < position->size(); ++s)
            std::copy_n(stored.begin() + std::ptrdiff_t(s * size_t(per)), per,
                        ordered.begin() + std::ptrdiff_t(size_t((*position)[s]) * size_t(per)));
        map.forward(ordered, int(per));
        for (size_t s = 0; s < position->size(); ++s)
            std::copy_n(ordered.begin() + std::ptrdiff_t(size_t((*position)[s]) * size_t(per)), per,
                        stored.begin() + std::ptrdiff_t(s * size_t(per)));
    };
    exchange(g.part.vertices, b.vert, d.nvert_values, &g.part.vertex_position);
    exchange(g.part.edges, b.edge, d.nedge_values, nullptr);
    exchange(g.part.faces, b.face, d.nface_values, nullptr);
    exchange(g.part.elements, b.elem, d.nelem_values, nullptr);
}

namespace {

bool carried_through_refinement(const DofImpl& impl) {
    return impl.mode == InitMode::Interpolation || impl.mode == InitMode::Lambda ||
           impl.mode == InitMode::Function;
}

// The interpolant of the field's old values (`old_view`, laid out by old_blocks on the old leaf
// mesh of g) at the nodes of the leaves of `fine` (laid out by new_blocks), into `out`.
// old_leaf(e) is the leaf of the old mesh (a record of g, numbered as before) that holds leaf e
// of `fine`.
template <class OldLeaf>
void interpolate_old_values(const DOF_& old_view, const ValueBlocks& old_blocks, const GridImpl& g,
                            const GridImpl& fine, const ValueBlocks& new_blocks, double* out,
                            OldLeaf&& old_leaf) {
    for_each_node_once(old_view, fine, new_blocks, [&](const ELEMENT_& e, int k, int64_t idx) {
        const ELEMENT_& old = old_leaf(e);
        const Point x = node_point(fine, *old_view.type, e, k);
        const ElementGeometry geo = tet_geometry(element_points(g, old));
        double mu[4];
        for (int m = 0; m < 4; ++m)
            mu[m] = geo.bary[m][0] * x[0] + geo.bary[m][1] * x[1] + geo.bary[m][2] * x[2] +
                    geo.bary[m][3];
        evaluate_field(old_view, old_blocks, old, mu, out + idx);
    });
}

// The leaf of the old mesh that holds record r: its first ancestor from before the refinement.
const ELEMENT_& old_leaf_of(const GridImpl& g, int r, size_t first_new_record) {
    while (size_t(r) >= first_new_record) r = g.tree(r).parent;
    return g.element_record(r);
}

}  // namespace

std::vector<std::vector<double>> values_after_refinement(const GridImpl& g, const GRID_& before,
                                                         size_t first_new_record) {
    std::vector<std::vector<double>> values;
    const GRID_ counts = g.counts();
    for (DOF_* d : g.fields) {
        const ValueBlocks new_blocks = value_blocks(*d, counts);
        std::vector<double> v(size_t(new_blocks.total), 0.0);
        if (carried_through_refinement(dof_impl(*d)))
            interpolate_old_values(*d, value_blocks(*d, before), g, g, new_blocks, v.data(),
                                   [&](const ELEMENT_& e) -> const ELEMENT_& {
                                       return old_leaf_of(g, e.record, first_new_record);
                                   });
        values.push_back(std::move(v));
    }
    return values;
}

std::vector<std::vector<double>> values_on_refined_part(const GridImpl& g, const GridImpl& part,
                                                        const std::vector<int>& source) {
    std::vector<std::vector<double>> values;
    const GRID_ counts = part.counts();
    for (DOF_* d : g.fields) {
        const ValueBlocks new_blocks = value_blocks(*d, counts);
        std::vector<double> v(size_t(new_blocks.total), 0.0);
        if (carried_through_refinement(dof_impl(*d)))
            interpolate_old_values(*d, value_blocks(*d, *g.record), g, part, new_blocks, v.data(),
                                   [&](const ELEMENT_& e) -> const ELEMENT_& {
                                       return g.element_record(source[size_t(e.index)]);
                                   });
        values.push_back(std::move(v));
    }
    return values;
}

std::vector<std::vector<double>> zeroed_values(const GridImpl& g, const GridImpl& part) {
    std::vector<std::vector<double>> values;
    const GRID_ counts = part.counts();
    for (DOF_* d : g.fields) values.emplace_back(size_t(value_blocks(*d, counts).total), 0.0);
    return values;
}

}  // namespace mosk

using namespace mosk;

extern "C" {

DOF_* moskDofNew_(GRID_* grid, DOF_TYPE_* type, void* reserved, int dim, const char* name,
                  MOSK_POINT_FUNC init, const char* file, int line) {
    // The caller, as it names itself: a source position, or a name when `line` is not positive.
    const auto operation = [&] {
        std::string op = "new field";
        if (file) {
            op += " (called from ";
            op += file;
            if (line > 0) op.append(":").append(std::to_string(line));
            op += ")";
        }
        return op;
    };
    if (!grid) fail(operation(), "null grid");  // alike on every process: no grid to agree over
    GridImpl& g = impl_of(grid);
    DOF_* made = nullptr;
    // All of it inside the agreement: an allocation, or the user's function, may fail on one
    // process only.
    collective(g.comm, [&] {
        const std::string op = operation();
        if (!type) fail(op, "null type");
        if (reserved) fail(op, "the reserved argument must be null");
        if (dim < 1 || dim > INT16_MAX)
            fail(op, "dim must lie in 1.." + std::to_string(INT16_MAX) + ", got " +
                         std::to_string(dim));
        if (type->order < 0 || type->order > kMaxLagrangeDegree)
            fail(op, "type " + std::string(type->name) + " is not supported");

        auto impl = std::make_unique<DofImpl>();
        impl->name = name ? name : "";
        impl->mode = init_mode_of(init);
        auto d = std::make_unique<DOF_>();
        *d = DOF_{};
        d->grid = grid;
        d->type = type;
        d->nvert_values = int64_t(type->nvert) * dim;
        d->nedge_values = int64_t(type->nedge) * dim;
        d->nface_values = int64_t(type->nface) * dim;
        d->nelem_values = int64_t(type->nelem) * dim;
        d->dim = int16_t(dim);
        d->impl = impl.get();
        d->name = impl->name.c_str();
        // An exception (the user's function's, on any process) leaves here; the unique pointers
        // free everything.
        resize_zeroed(*d, *grid);
        if (impl->mode == InitMode::Function) {
            interpolate_function(*d, init);
            // Its exchanges first agree: a process whose function failed is met there.
            complete_shares(*d);
        }
        g.fields.reserve(g.fields.size() + 1);
        agree_so_far(g.comm);  // every process keeps the field, or none
        g.fields.push_back(d.get());
        impl.release();
        made = d.release();
    });
    return made;
}

void moskDofSetDataByValue(DOF_* dof, double value) {
    grid_of(dof, "set field values");
    std::fill(dof_impl(*dof).values.begin(), dof_impl(*dof).values.end(), value);
    bump_version(dof_impl(*dof));
}

void moskDofFree(DOF_** dof) {
    if (!dof || !*dof) return;
    DOF_* d = *dof;
    if (d->grid) {
        auto& fields = impl_of(d->grid).fields;
        fields.erase(std::remove(fields.begin(), fields.end(), d), fields.end());
    }
    for (FieldUser* user : dof_impl(*d).users) user->field_freed(d);
    delete static_cast<DofImpl*>(d->impl);
    delete d;
    *dof = nullptr;
}

}  // extern "C"
