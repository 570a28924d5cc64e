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
        fail<std::out_of_range>(
            kOpName[op], "basis function " + std::to_string(k) + " of " + role + " outside 0.." +
                             std::to_string(d->type->nbas - 1) + " (type " + d->type->name + ")");
}

// The rule degree: `order` itself, or for -1 the degree of the integrand.
int rule_degree(Op op, int order, int exact) {
    if (order == -1) return exact;
    if (order < 0)
        fail_argument(op, "order must be -1 or non-negative, got " + std::to_string(order));
    if (order > kMaxTetRuleDegree)
        fail<std::out_of_range>(kOpName[op], "order " + std::to_string(order) +
                                                 " exceeds the largest supported, " +
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

// The checked fields of a grad-grad or mass matrix: their grid and the rule degree.
struct BilinearSetup {
    GridImpl* grid;
    int q;
};

BilinearSetup bilinear_setup(Op op, DOF_* u, DOF_* a, DOF_* v, int order) {
    GridImpl& g = field_grid(op, u, "u", nullptr);
    field_grid(op, v, "v", &g);
    if (a) {
        field_grid(op, a, "a", &g);
        if (a->dim != 1)
            fail_argument(op, "the coefficient field '" + field_name(a) + "' has " +
                                  std::to_string(a->dim) + " components, 1 expected");
    }
    const int pa = a ? a->type->order : 0;
    const int exact = op == kGradGrad ? grad_degree(u) + grad_degree(v) + pa
                                      : u->type->order + v->type->order + pa;
    return BilinearSetup{&g, rule_degree(op, order, exact)};
}

// The grad-grad or mass matrix of the element into out (the coefficient's values gathered on
// the element in avals); the one computation behind the cache and the block calls.
void compute_bilinear(Op op, const ELEMENT_& el, const ElementGeometry& geo, DOF_* u, DOF_* a,
                      DOF_* v, const std::vector<double>& avals, int q, std::vector<double>& out) {
    thread_local std::vector<double> coef;
    if (a) field_at_points(*a, el, avals, q, coef);
    const double* c = a ? coef.data() : nullptr;
    if (op == kGradGrad)
        compute_grad_grad(el, geo, *u->type, *v->type, c, q, out);
    else
        compute_mass(el, geo.volume, *u->type, *v->type, c, q, out);
}

// The checked slot of a grad-grad or mass matrix for the element (computed on a miss).
const MatrixSlot& bilinear_matrix(Op op, ELEMENT_* e, DOF_* u, DOF_* a, DOF_* v, int order) {
    const BilinearSetup setup = bilinear_setup(op, u, a, v, order);
    GridImpl& g = *setup.grid;
    const ELEMENT_& el = require_leaf(g, e, kOpName[op]);
    const int q = setup.q;

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
    const MatrixSlot& s = cached_matrix(
        op, key, avals, [&](const std::vector<double>& values, std::vector<double>& out) {
            compute_bilinear(op, el, cached_geometry(g, el), u, a, v, values, q, out);
            return int(v->type->nbas);
        });
    if (!a)
        last = LastServed{&s,      &el,     u->grid, key.element.store, key.element.generation,
                          u->type, v->type, order};
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
        fail<std::length_error>(kOpName[op], "room for " + std::to_string(capacity) + " values, " +
                                                 std::to_string(n) + " needed");
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
    return cached_matrix(
        op, key, fvals, [&](const std::vector<double>& values, std::vector<double>& vec) {
            compute_dof_times_bas(el, cached_geometry(g, el).volume, *f, values, *v->type, q, vec);
            return int(f->dim);
        });
}

// Block calls: each element of es[0..n-1] checked as a current leaf of g, then each(k, element).
template <class Each>
void for_each_element(const char* op, const GridImpl& g, int n, ELEMENT_** es, Each&& each) {
    if (n < 0) fail<std::invalid_argument>(op, "negative element count " + std::to_string(n));
    if (n > 0 && !es) fail<std::invalid_argument>(op, "null element array");
    for (int k = 0; k < n; ++k) each(k, require_leaf(g, es[k], op));
}

// Checks the room of a block's output of n * per values (a null output is allowed when
// `optional`) and returns n * per.
int64_t block_room(const char* op, int n, int64_t per, const void* out, int64_t capacity,
                   bool optional = false) {
    const int64_t need = int64_t(std::max(n, 0)) * per;
    if (!out) {
        if (optional || need == 0) return need;
        fail<std::invalid_argument>(op, "null output pointer");
    }
    if (capacity < need)
        fail<std::length_error>(op, "room for " + std::to_string(capacity) + " values, " +
                                        std::to_string(need) + " needed");
    return need;
}

int64_t bilinear_block(Op op, int n, ELEMENT_** es, DOF_* u, DOF_* a, DOF_* v, int order,
                       double* out, int64_t capacity) {
    const BilinearSetup setup = bilinear_setup(op, u, a, v, order);
    const int64_t per = int64_t(u->type->nbas) * v->type->nbas;
    const int64_t written = block_room(kOpName[op], n, per, out, capacity);
    thread_local std::vector<double> avals, entries;
    avals.clear();
    // Every element is affine: a stiffness matrix of higher order without coefficient comes
    // from the reference stiffness, equal to the quadrature sum up to rounding.
    if (op == kGradGrad && !a && u->type == v->type && u->type->order >= 2) {
        for_each_element(kOpName[op], *setup.grid, n, es, [&](int k, const ELEMENT_& el) {
            affine_grad_grad(el, element_geometry(*setup.grid, el), *u->type, setup.q,
                             out + k * per);
        });
        return written;
    }
    for_each_element(kOpName[op], *setup.grid, n, es, [&](int k, const ELEMENT_& el) {
        if (a) gather_values(op, *a, el, avals);
        compute_bilinear(op, el, element_geometry(*setup.grid, el), u, a, v, avals, setup.q,
                         entries);
        std::copy(entries.begin(), entries.end(), out + k * per);
    });
    return written;
}

int64_t dof_times_bas_block(int n, ELEMENT_** es, DOF_* f, DOF_* v, int order, double* out,
                            int64_t capacity) {
    const Op op = kDofTimesBas;
    GridImpl& g = field_grid(op, f, "f", nullptr);
    field_grid(op, v, "v", &g);
    const int q = rule_degree(op, order, f->type->order + v->type->order);
    const int64_t per = int64_t(v->type->nbas) * f->dim;
    const int64_t written = block_room(kOpName[op], n, per, out, capacity);
    thread_local std::vector<double> fvals, entries;
    // As for the stiffness matrices of higher order: from the reference table.
    const bool reference = v->type->order >= 2;
    for_each_element(kOpName[op], g, n, es, [&](int k, const ELEMENT_& el) {
        gather_values(op, *f, el, fvals);
        if (reference) {
            affine_dof_times_bas(el, tet_volume(element_points(g, el)), *f, fvals.data(), *v->type,
                                 q, out + k * per);
            return;
        }
        compute_dof_times_bas(el, tet_volume(element_points(g, el)), *f, fvals, *v->type, q,
                              entries);
        std::copy(entries.begin(), entries.end(), out + k * per);
    });
    return written;
}

// The rule degree of the quadrature data calls: 0 or more.
int data_degree(const char* op, int order) {
    if (order < 0 || order > kMaxTetRuleDegree)
        fail<std::out_of_range>(op, "order " + std::to_string(order) + " outside 0.." +
                                        std::to_string(kMaxTetRuleDegree));
    return order;
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

int moskQuadGradBasAGradBasElement(ELEMENT_* e, DOF_* u, DOF_* a, DOF_* v, int order, double* out,
                                   int capacity) {
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

int64_t moskQuadGradBasAGradBasBlock(int n, ELEMENT_** es, DOF_* u, DOF_* a, DOF_* v, int order,
                                     double* out, int64_t capacity) {
    return bilinear_block(kGradGrad, n, es, u, a, v, order, out, capacity);
}

int64_t moskQuadBasABasBlock(int n, ELEMENT_** es, DOF_* u, DOF_* a, DOF_* v, int order,
                             double* out, int64_t capacity) {
    return bilinear_block(kMass, n, es, u, a, v, order, out, capacity);
}

int64_t moskQuadDofTimesBasBlock(int n, ELEMENT_** es, DOF_* f, DOF_* v, int order, double* out,
                                 int64_t capacity) {
    return dof_times_bas_block(n, es, f, v, order, out, capacity);
}

int moskQuadRuleSize(int order) { return tet_rule(data_degree("quadrature rule", order)).size; }

int64_t moskQuadPointsBlock(GRID_* grid, int n, ELEMENT_** es, int order, double* points,
                            double* weights, int64_t capacity) {
    const char* op = "quadrature points";
    if (!grid || !grid->impl) fail<std::invalid_argument>(op, "null grid");
    const GridImpl& g = *static_cast<const GridImpl*>(grid->impl);
    const QuadRule& rule = tet_rule(data_degree(op, order));
    const int nq = rule.size;
    block_room(op, n, nq, points, capacity, true);
    const int64_t written = block_room(op, n, nq, weights, capacity, true);
    for_each_element(op, g, n, es, [&](int k, const ELEMENT_& el) {
        const TetPoints p = element_points(g, el);
        const double volume = tet_geometry(p).volume;
        for (int q = 0; q < nq; ++q) {
            const size_t at = size_t(k) * nq + q;
            if (weights) weights[at] = volume * rule.weights[q];
            if (points) {
                const Point x = point_of(p, rule.bary.data() + 4 * q);
                for (int c = 0; c < 3; ++c) points[3 * at + c] = x[c];
            }
        }
    });
    return written;
}

int64_t moskQuadBasisBlock(int n, ELEMENT_** es, DOF_* u, int order, double* values,
                           double* gradients, int64_t capacity) {
    const char* op = "basis functions at quadrature points";
    GridImpl& g = field_grid(kGradGrad, u, "u", nullptr);
    const int q = data_degree(op, order);
    const int64_t per = int64_t(tet_rule(q).size) * u->type->nbas;
    block_room(op, n, per, values, capacity, true);
    const int64_t written = block_room(op, n, per, gradients, capacity, true);
    for_each_element(op, g, n, es, [&](int k, const ELEMENT_& el) {
        basis_at_points(*u->type, el, element_geometry(g, el), q,
                        values ? values + k * per : nullptr,
                        gradients ? gradients + 3 * k * per : nullptr);
    });
    return written;
}

}  // extern "C"
