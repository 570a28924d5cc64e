// Element matrices and vectors by quadrature: grad-grad (stiffness) and mass entries of two
// fields' bases with an optional coefficient field, and a field times a basis.
//
// Scripts ask for one entry per call, n x n calls per element, so each thread keeps the last
// element's geometry and, per operation, a few whole element matrices computed at once from the
// reference tables; further entries of the same matrix are then a lookup. A cached matrix is
// keyed on everything it depends on: the grid (address, store id, numbering generation), the
// element, the basis types, the rule degree and, for a coefficient or source field, its address,
// its values version and a copy of its values on the element (so that a write through
// DOF_::data that did not bump the version still invalidates the entry). The run of calls on
// one matrix without a coefficient is served from the last slot after a few pointer checks.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "dof/dof_field.h"
#include "grid/geometry.h"
#include "quad/reference_tables.h"

namespace mosk {
namespace {

enum Op { kGradGrad = 0, kMass = 1, kDofTimesBas = 2, kOpCount = 3 };

const char* const kOpName[kOpCount] = {"gradient quadrature", "mass quadrature",
                                       "field times basis quadrature"};

[[noreturn]] void fail_argument(Op op, const std::string& why) {
    throw std::invalid_argument(std::string("mosk: ") + kOpName[op] + ": " + why);
}

std::string field_name(const DOF_* d) { return d->name ? std::string(d->name) : std::string(); }

// The grid of a field that the operation uses; every field must live on `grid` when it is given.
GridImpl& field_grid(Op op, const DOF_* d, const char* role, GridImpl* grid) {
    if (!d) fail_argument(op, std::string("null field ") + role);
    GridImpl& g = grid_of(d, kOpName[op]);
    if (grid && &g != grid)
        fail_argument(op, std::string("field ") + role + " ('" + field_name(d) +
                              "') lives on another grid");
    if (d->variable_order)
        fail_argument(op, std::string("field ") + role + " ('" + field_name(d) +
                              "') has variable order, which quadrature does not support");
    if (!d->type || d->type->order < 0 || d->type->order > kMaxLagrangeDegree)
        fail_argument(op, std::string("field ") + role + " has an unsupported type");
    return g;
}

void check_basis(Op op, const DOF_* d, const char* role, int k) {
    if (k < 0 || k >= d->type->nbas)
        throw std::out_of_range(std::string("mosk: ") + kOpName[op] + ": basis function " +
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
        throw std::out_of_range(std::string("mosk: ") + kOpName[op] + ": order " +
                                std::to_string(order) + " exceeds the largest supported, " +
                                std::to_string(kMaxTetRuleDegree));
    return order;
}

int grad_degree(const DOF_* d) { return std::max(d->type->order - 1, 0); }

// ---- per-thread caches ------------------------------------------------------------------------

struct ElementKey {
    const GridImpl* grid = nullptr;
    uint64_t store = 0, generation = 0;
    const ELEMENT_* element = nullptr;
    int record = -1;
    bool operator==(const ElementKey&) const = default;
};

ElementKey element_key(const GridImpl& g, const ELEMENT_& e) {
    return ElementKey{&g, g.store_id(), g.numbering_generation, &e, e.record};
}

const ElementGeometry& cached_geometry(const GridImpl& g, const ELEMENT_& e) {
    thread_local ElementKey key;
    thread_local ElementGeometry geo;
    const ElementKey now = element_key(g, e);
    if (!(now == key)) {
        key = ElementKey{};  // stays invalid if the geometry throws
        geo = element_geometry(g, e);
        key = now;
    }
    return geo;
}

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

OpCache& op_cache(Op op) {
    thread_local OpCache caches[kOpCount];
    return caches[op];
}

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

// The field (values gathered on the element) at the points of rule degree q: out[c * n + q].
void field_at_points(const DOF_& d, const ELEMENT_& e, const std::vector<double>& vals, int q,
                     std::vector<double>& out) {
    const ReferenceTable& t = reference_table(d.type->order, q);
    const ElementNodes nodes = element_nodes(*d.type, e);
    const int n = t.n, dim = d.dim;
    out.assign(size_t(dim) * n, 0.0);
    for (int k = 0; k < d.type->nbas; ++k) {
        const double* phi = t.values_of(nodes.order.at(k));
        for (int c = 0; c < dim; ++c) {
            const double f = vals[size_t(k) * dim + c];
            if (f == 0) continue;
            double* o = out.data() + size_t(c) * n;
            for (int p = 0; p < n; ++p) o[p] += f * phi[p];
        }
    }
}

// Physical gradients of the element's basis functions of `type` at the rule's points:
// out[(3 k + c) * n + q].
void gradients_at_points(const DOF_TYPE_& type, const ELEMENT_& e, const ElementGeometry& geo,
                         int q, std::vector<double>& out) {
    const ReferenceTable& t = reference_table(type.order, q);
    const ElementNodes nodes = element_nodes(type, e);
    const int n = t.n;
    out.assign(size_t(3) * type.nbas * n, 0.0);
    for (int k = 0; k < type.nbas; ++k) {
        const int ck = nodes.order.at(k);
        for (int m = 0; m < 4; ++m) {
            const double* d = t.dlambda_of(ck, m);
            for (int c = 0; c < 3; ++c) {
                const double g = geo.bary[m][c];
                double* o = out.data() + size_t(3 * k + c) * n;
                for (int p = 0; p < n; ++p) o[p] += d[p] * g;
            }
        }
    }
}

// Rule weights times the coefficient (when there is one) times the volume.
void point_weights(const QuadRule& rule, double volume, const double* coef,
                   std::vector<double>& w) {
    w.resize(size_t(rule.size));
    for (int p = 0; p < rule.size; ++p) w[p] = volume * rule.weights[p] * (coef ? coef[p] : 1.0);
}

void compute_grad_grad(const ELEMENT_& e, const ElementGeometry& geo, const DOF_TYPE_& tu,
                       const DOF_TYPE_& tv, const double* coef, int q, std::vector<double>& out) {
    const QuadRule& rule = tet_rule(q);
    const int n = rule.size;
    std::vector<double> w, gu, gv_own;
    point_weights(rule, geo.volume, coef, w);
    gradients_at_points(tu, e, geo, q, gu);
    const std::vector<double>* gv = &gu;
    if (&tv != &tu) {
        gradients_at_points(tv, e, geo, q, gv_own);
        gv = &gv_own;
    }
    std::vector<double> wgu(gu.size());  // weighted gradients of u
    for (int k = 0; k < 3 * tu.nbas; ++k)
        for (int p = 0; p < n; ++p) wgu[size_t(k) * n + p] = w[p] * gu[size_t(k) * n + p];
    const bool symmetric = &tv == &tu;  // then only j >= i is computed, and mirrored
    out.assign(size_t(tu.nbas) * tv.nbas, 0.0);
    for (int i = 0; i < tu.nbas; ++i)
        for (int j = symmetric ? i : 0; j < tv.nbas; ++j) {
            double s = 0;
            for (int c = 0; c < 3; ++c) {
                const double* a = wgu.data() + size_t(3 * i + c) * n;
                const double* b = gv->data() + size_t(3 * j + c) * n;
                for (int p = 0; p < n; ++p) s += a[p] * b[p];
            }
            out[size_t(i) * tv.nbas + j] = s;
            if (symmetric) out[size_t(j) * tv.nbas + i] = s;
        }
}

void compute_mass(const ELEMENT_& e, double volume, const DOF_TYPE_& tu, const DOF_TYPE_& tv,
                  const double* coef, int q, std::vector<double>& out) {
    const ReferenceTable& ru = reference_table(tu.order, q);
    const ReferenceTable& rv = reference_table(tv.order, q);
    const ElementNodes nu = element_nodes(tu, e), nv = element_nodes(tv, e);
    const int n = ru.n;
    std::vector<double> w;
    point_weights(*ru.rule, volume, coef, w);
    std::vector<double> wu(static_cast<size_t>(n));
    const bool symmetric = &tv == &tu;
    out.assign(size_t(tu.nbas) * tv.nbas, 0.0);
    for (int i = 0; i < tu.nbas; ++i) {
        const double* a = ru.values_of(nu.order.at(i));
        for (int p = 0; p < n; ++p) wu[p] = w[p] * a[p];
        for (int j = symmetric ? i : 0; j < tv.nbas; ++j) {
            const double* b = rv.values_of(nv.order.at(j));
            double s = 0;
            for (int p = 0; p < n; ++p) s += wu[p] * b[p];
            out[size_t(i) * tv.nbas + j] = s;
            if (symmetric) out[size_t(j) * tv.nbas + i] = s;
        }
    }
}

// out[i * dim + c]: integral of component c of f times basis function i of v.
void compute_dof_times_bas(const ELEMENT_& e, double volume, const DOF_& f,
                           const std::vector<double>& fvals, const DOF_TYPE_& tv, int q,
                           std::vector<double>& out) {
    const ReferenceTable& rv = reference_table(tv.order, q);
    const ElementNodes nv = element_nodes(tv, e);
    const int n = rv.n, dim = f.dim;
    std::vector<double> w, fq;
    point_weights(*rv.rule, volume, nullptr, w);
    field_at_points(f, e, fvals, q, fq);
    for (int c = 0; c < dim; ++c)
        for (int p = 0; p < n; ++p) fq[size_t(c) * n + p] *= w[p];
    out.assign(size_t(tv.nbas) * dim, 0.0);
    for (int i = 0; i < tv.nbas; ++i) {
        const double* b = rv.values_of(nv.order.at(i));
        for (int c = 0; c < dim; ++c) {
            const double* a = fq.data() + size_t(c) * n;
            double s = 0;
            for (int p = 0; p < n; ++p) s += a[p] * b[p];
            out[size_t(i) * dim + c] = s;
        }
    }
}

// The slot holding the matrix of `key`, computing it on a miss. `field` (coefficient or source,
// may be null) is compared by its values on the element as well as by its version.
template <class Compute>
const MatrixSlot& cached_matrix(Op op, const MatrixKey& key, const DOF_* field,
                                const ELEMENT_& e, Compute&& compute) {
    thread_local std::vector<double> current;
    current.clear();
    if (field) gather_values(op, *field, e, current);
    OpCache& cache = op_cache(op);
    for (MatrixSlot& s : cache.slots)
        if (s.used && s.key == key && s.field_values.size() == current.size() &&
            (current.empty() ||
             std::memcmp(s.field_values.data(), current.data(),
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

// The matrix of a grad-grad or mass operation for the element.
double bilinear_entry(Op op, ELEMENT_* e, DOF_* u, int i, DOF_* a, DOF_* v, int j, int order) {
    if (!a)
        if (const MatrixSlot* s = repeat_of_last(op, e, u, i, v, j, order))
            return s->entries[size_t(i) * s->cols + j];
    GridImpl& g = field_grid(op, u, "u", nullptr);
    field_grid(op, v, "v", &g);
    if (a) {
        field_grid(op, a, "a", &g);
        if (a->dim != 1)
            fail_argument(op, "the coefficient field '" + field_name(a) + "' has " +
                                  std::to_string(a->dim) + " components, 1 expected");
    }
    const ELEMENT_& el = require_leaf(g, e, kOpName[op]);
    check_basis(op, u, "u", i);
    check_basis(op, v, "v", j);
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
    const MatrixSlot& s = cached_matrix(op, key, a, el, [&](const std::vector<double>& avals,
                                                             std::vector<double>& out) {
        const ElementGeometry& geo = cached_geometry(g, el);
        std::vector<double> coef;
        if (a) field_at_points(*a, el, avals, q, coef);
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
    return s.entries[size_t(i) * s.cols + j];
}

}  // namespace
}  // namespace mosk

using namespace mosk;

extern "C" {

double moskQuadGradBasAGradBas(ELEMENT_* e, DOF_* u, int i, DOF_* a, DOF_* v, int j, int order) {
    return bilinear_entry(kGradGrad, e, u, i, a, v, j, order);
}

double moskQuadBasABas(ELEMENT_* e, DOF_* u, int i, DOF_* a, DOF_* v, int j, int order) {
    return bilinear_entry(kMass, e, u, i, a, v, j, order);
}

double moskQuadDofTimesBas(ELEMENT_* e, DOF_* f, DOF_* v, int i, int order, double* out) {
    const Op op = kDofTimesBas;
    GridImpl& g = field_grid(op, f, "f", nullptr);
    field_grid(op, v, "v", &g);
    if (!out) fail_argument(op, "null output pointer");
    const ELEMENT_& el = require_leaf(g, e, kOpName[op]);
    check_basis(op, v, "v", i);
    const int q = rule_degree(op, order, f->type->order + v->type->order);

    MatrixKey key;
    key.element = element_key(g, el);
    key.row_type = v->type;
    key.field = f;
    key.field_version = dof_impl(*f).version;
    key.field_dim = f->dim;
    key.degree = q;
    const MatrixSlot& s = cached_matrix(op, key, f, el, [&](const std::vector<double>& fvals,
                                                             std::vector<double>& vec) {
        compute_dof_times_bas(el, cached_geometry(g, el).volume, *f, fvals, *v->type, q, vec);
        return int(f->dim);
    });
    const double* r = s.entries.data() + size_t(i) * s.cols;
    std::copy(r, r + s.cols, out);
    return r[0];
}

}  // extern "C"
