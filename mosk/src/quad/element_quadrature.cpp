// Element quadrature entry points: argument checks, then the per-thread cache
// (element_quadrature_cache.h) in front of the kernels (quadrature_kernels.h). Whole element
// matrices and vectors are one call; the per-entry calls read the same cached matrix.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "dof/dof_field.h"
#include "core/check.h"
#include "quad/element_quadrature_cache.h"
#include "quad/quadrature_kernels.h"
#include "quad/reference_tables.h"

namespace mosk {
namespace {

using Op = QuadOp;

const char* const kOpName[kQuadOpCount] = {"gradient quadrature", "mass quadrature",
                                       "field times basis quadrature"};

[[noreturn]] void fail_argument(Op op, const std::string& why) {
    fail<std::invalid_argument>(kOpName[op], why);
}

std::string field_name(const DOF_* d) { return d->name ? std::string(d->name) : std::string(); }

GridImpl& field_grid(Op op, const DOF_* d, const char* role, GridImpl* grid) {
    return quadrature_field_grid(kOpName[op], d, role, grid);
}

void check_basis(Op op, const DOF_* d, const char* role, int k) {
    if (k < 0 || k >= d->type->nbas)
        fail<std::out_of_range>(kOpName[op], "basis function " +
                                std::to_string(k) + " of " + role + " outside 0.." +
                                std::to_string(d->type->nbas - 1) + " (type " + d->type->name +
                                ")");
}

// The rule degree: `order` itself, or for -1 the degree of the integrand.
int rule_degree(Op op, int order, int exact) {
    if (order == -1) return exact;
    if (order < 0)
        fail_argument(op, "order must be -1 or non-negative, got " + std::to_string(order));
    if (order > kMaxTetRuleDegree)
        fail<std::out_of_range>(kOpName[op], "order " +
                                std::to_string(order) + " exceeds the largest supported, " +
                                std::to_string(kMaxTetRuleDegree));
    return order;
}

int grad_degree(const DOF_* d) { return std::max(d->type->order - 1, 0); }

// The field's values on the element in element basis order, dim per basis function.
void gather_values(Op op, const DOF_& d, const ELEMENT_& e, std::vector<double>& out) {
    const ValueBlocks b = value_blocks(d, *d.grid);
    const DofImpl& impl = *static_cast<const DofImpl*>(d.impl);
    if (int64_t(impl.values.size()) != b.total || d.data != impl.values.data())
        fail_argument(op, "the values of field '" + field_name(&d) +
                              "' do not match its grid (the field is out of date)");
    const int nb = d.type->nbas, dim = d.dim;
    out.resize(size_t(nb) * dim);
    for (int k = 0; k < nb; ++k) {
        const int64_t idx = value_index(d, b, e, k);
        if (idx < 0 || idx + dim > b.total)
            fail_argument(op, "an element value index of field '" + field_name(&d) +
                                  "' is outside its values");
        std::copy(d.data + idx, d.data + idx + dim, out.begin() + size_t(k) * dim);
    }
}

// The slot holding the matrix of `key`, computing it on a miss. `field` (coefficient or source,
// may be null) is compared by its values on the element as well as by its version.
// The repeat of the last served matrix (no coefficient), or null when the call needs the full
// route. Reads only what a live caller's fields guarantee: their records and their grid's.
const MatrixSlot* repeat_of_last(Op op, const ELEMENT_* e, const DOF_* u, int i, const DOF_* v,
                                 int j, int order) {
    const LastServed& last = op_cache(op).last;
    if (!last.slot || e != last.element || !u || !v || u->type != last.row_type ||
        v->type != last.col_type || order != last.order || !u->impl || !v->impl ||
        u->grid != last.grid || v->grid != last.grid || u->variable_order || v->variable_order)
        return nullptr;
    const GridImpl* g = static_cast<const GridImpl*>(last.grid->impl);
    if (!g || g->store_id() != last.store || g->numbering_generation != last.generation)
        return nullptr;
    if (i < 0 || i >= u->type->nbas || j < 0 || j >= v->type->nbas) return nullptr;
    return last.slot;
}

// The checked slot of a grad-grad or mass matrix for the element (computed on a miss).
const MatrixSlot& bilinear_matrix(Op op, ELEMENT_* e, DOF_* u, DOF_* a, DOF_* v, int order) {
    GridImpl& g = field_grid(op, u, "u", nullptr);
    field_grid(op, v, "v", &g);
    if (a) {
        field_grid(op, a, "a", &g);
        if (a->dim != 1)
            fail_argument(op, "the coefficient field '" + field_name(a) + "' has " +
                                  std::to_string(a->dim) + " components, 1 expected");
    }
    const ELEMENT_& el = require_leaf(g, e, kOpName[op]);
    const int pa = a ? a->type->order : 0;
    const int exact = op == kGradGrad ? grad_degree(u) + grad_degree(v) + pa
                                      : u->type->order + v->type->order + pa;
    const int q = rule_degree(op, order, exact);

    MatrixKey key;
    key.element = element_key(g, el);
    key.row_type = u->type;
    key.col_type = v->type;
    key.field = a;
    key.field_version = a ? dof_impl(*a).version : 0;
    key.field_dim = a ? 1 : 0;
    key.degree = q;
    LastServed& last = op_cache(op).last;
    last.slot = nullptr;  // cached_matrix may replace the slot it pointed at
    thread_local std::vector<double> avals;
    avals.clear();
    if (a) gather_values(op, *a, el, avals);
    const MatrixSlot& s = cached_matrix(op, key, avals, [&](const std::vector<double>& values,
                                                            std::vector<double>& out) {
        const ElementGeometry& geo = cached_geometry(g, el);
        thread_local std::vector<double> coef;
        if (a) field_at_points(*a, el, values, q, coef);
        const double* c = a ? coef.data() : nullptr;
        if (op == kGradGrad)
            compute_grad_grad(el, geo, *u->type, *v->type, c, q, out);
        else
            compute_mass(el, geo.volume, *u->type, *v->type, c, q, out);
        return int(v->type->nbas);
    });
    if (!a)
        last = LastServed{&s, &el, u->grid, key.element.store, key.element.generation, u->type,
                          v->type, order};
    return s;
}

// Entry (i, j) of a grad-grad or mass matrix.
double bilinear_entry(Op op, ELEMENT_* e, DOF_* u, int i, DOF_* a, DOF_* v, int j, int order) {
    if (!a)
        if (const MatrixSlot* s = repeat_of_last(op, e, u, i, v, j, order))
            return s->entries[size_t(i) * s->cols + j];
    const MatrixSlot& s = bilinear_matrix(op, e, u, a, v, order);
    check_basis(op, u, "u", i);
    check_basis(op, v, "v", j);
    return s.entries[size_t(i) * s.cols + j];
}

// Copies a whole cached matrix into the caller's buffer of `capacity` values.
int copy_out(Op op, const MatrixSlot& s, double* out, int capacity) {
    const size_t n = s.entries.size();
    if (!out) fail_argument(op, "null output pointer");
    if (capacity < 0 || size_t(capacity) < n)
        fail<std::length_error>(kOpName[op], "room for " +
                                std::to_string(capacity) + " values, " + std::to_string(n) +
                                " needed");
    std::copy(s.entries.begin(), s.entries.end(), out);
    return int(n);
}

// The checked slot of the field-times-basis vector of the element.
const MatrixSlot& dof_times_bas_vector(ELEMENT_* e, DOF_* f, DOF_* v, int order) {
    const Op op = kDofTimesBas;
    GridImpl& g = field_grid(op, f, "f", nullptr);
    field_grid(op, v, "v", &g);
    const ELEMENT_& el = require_leaf(g, e, kOpName[op]);
    const int q = rule_degree(op, order, f->type->order + v->type->order);

    MatrixKey key;
    key.element = element_key(g, el);
    key.row_type = v->type;
    key.field = f;
    key.field_version = dof_impl(*f).version;
    key.field_dim = f->dim;
    key.degree = q;
    thread_local std::vector<double> fvals;
    fvals.clear();
    gather_values(op, *f, el, fvals);
    return cached_matrix(op, key, fvals, [&](const std::vector<double>& values,
                                             std::vector<double>& vec) {
        compute_dof_times_bas(el, cached_geometry(g, el).volume, *f, values, *v->type, q, vec);
        return int(f->dim);
    });
}

}  // namespace

GridImpl& quadrature_field_grid(const char* op, const DOF_* d, const char* role, GridImpl* grid) {
    auto fail_argument = [op](const std::string& why) { fail<std::invalid_argument>(op, why); };
    if (!d) fail_argument(std::string("null field ") + role);
    GridImpl& g = grid_of(d, op);
    if (grid && &g != grid)
        fail_argument(std::string("field ") + role + " ('" + field_name(d) +
                      "') lives on another grid");
    if (d->variable_order)
        fail_argument(std::string("field ") + role + " ('" + field_name(d) +
                      "') has variable order, which quadrature does not support");
    if (!d->type || d->type->order < 0 || d->type->order > kMaxLagrangeDegree)
        fail_argument(std::string("field ") + role + " has an unsupported type");
    return g;
}

}  // namespace mosk

using namespace mosk;

extern "C" {

double moskQuadGradBasAGradBas(ELEMENT_* e, DOF_* u, int i, DOF_* a, DOF_* v, int j, int order) {
    return bilinear_entry(kGradGrad, e, u, i, a, v, j, order);
}

double moskQuadBasABas(ELEMENT_* e, DOF_* u, int i, DOF_* a, DOF_* v, int j, int order) {
    return bilinear_entry(kMass, e, u, i, a, v, j, order);
}

int moskQuadGradBasAGradBasElement(ELEMENT_* e, DOF_* u, DOF_* a, DOF_* v, int order,
                                   double* out, int capacity) {
    return copy_out(kGradGrad, bilinear_matrix(kGradGrad, e, u, a, v, order), out, capacity);
}

int moskQuadBasABasElement(ELEMENT_* e, DOF_* u, DOF_* a, DOF_* v, int order, double* out,
                           int capacity) {
    return copy_out(kMass, bilinear_matrix(kMass, e, u, a, v, order), out, capacity);
}

double moskQuadDofTimesBas(ELEMENT_* e, DOF_* f, DOF_* v, int i, int order, double* out) {
    if (!out) fail_argument(kDofTimesBas, "null output pointer");
    const MatrixSlot& s = dof_times_bas_vector(e, f, v, order);
    check_basis(kDofTimesBas, v, "v", i);
    const double* r = s.entries.data() + size_t(i) * s.cols;
    std::copy(r, r + s.cols, out);
    return r[0];
}

int moskQuadDofTimesBasElement(ELEMENT_* e, DOF_* f, DOF_* v, int order, double* out,
                               int capacity) {
    return copy_out(kDofTimesBas, dof_times_bas_vector(e, f, v, order), out, capacity);
}

}  // extern "C"
