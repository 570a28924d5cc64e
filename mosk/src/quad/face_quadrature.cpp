// Face integrals of an element (Neumann and Robin data): basis times basis, a field times a
// basis and a function of the point times a basis over one face, with a triangle rule exact for
// the integrand's degree. Computed on every call: only boundary elements ask, once per face.
#include <algorithm>
#include <string>
#include <vector>

#include "core/check.h"
#include "dof/dof_field.h"
#include "quad/quadrature_kernels.h"
#include "quad/tet_rules.h"

namespace mosk {

void face_lambda(int face, int q, std::vector<double>& lambda) {
    const QuadRule& rule = triangle_rule(q);
    lambda.assign(size_t(4) * rule.size, 0.0);
    for (int p = 0; p < rule.size; ++p)
        for (int m = 0; m < 3; ++m)
            lambda[4 * size_t(p) + kFaceVerts[face][m]] = rule.bary[3 * p + m];
}

namespace {

// Values of the element's basis functions of `type` at the face's rule points: out[k * n + p].
void face_basis_values(const ELEMENT_& e, const DOF_TYPE_& type, const std::vector<double>& lambda,
                       std::vector<double>& out) {
    const ElementNodes nodes = element_nodes(type, e);
    const size_t n = lambda.size() / 4;
    out.assign(size_t(type.nbas) * n, 0.0);
    double v[kMaxLagrangeSize];
    for (size_t p = 0; p < n; ++p) {
        lagrange_values(*nodes.basis, &lambda[4 * p], v);
        for (int k = 0; k < type.nbas; ++k) out[size_t(k) * n + p] = v[nodes.order.at(k)];
    }
}

struct FaceScratch {
    std::vector<double> lambda, bu, bv, fq;
};

FaceScratch& face_scratch() {
    thread_local FaceScratch s;
    return s;
}

}  // namespace

void compute_face_mass(const ELEMENT_& e, int face, double area, const DOF_TYPE_& tu,
                       const DOF_TYPE_& tv, int q, std::vector<double>& out) {
    const QuadRule& rule = triangle_rule(q);
    FaceScratch& s = face_scratch();
    face_lambda(face, q, s.lambda);
    face_basis_values(e, tu, s.lambda, s.bu);
    face_basis_values(e, tv, s.lambda, s.bv);
    const size_t n = size_t(rule.size);
    out.assign(size_t(tu.nbas) * tv.nbas, 0.0);
    for (int i = 0; i < tu.nbas; ++i)
        for (int j = 0; j < tv.nbas; ++j) {
            double sum = 0;
            for (size_t p = 0; p < n; ++p)
                sum += rule.weights[p] * s.bu[i * n + p] * s.bv[j * n + p];
            out[size_t(i) * tv.nbas + j] = area * sum;
        }
}

void compute_face_times_bas(const ELEMENT_& e, int face, double area, int dim, const double* fq,
                            const DOF_TYPE_& tv, int q, std::vector<double>& out) {
    const QuadRule& rule = triangle_rule(q);
    FaceScratch& s = face_scratch();
    face_lambda(face, q, s.lambda);
    face_basis_values(e, tv, s.lambda, s.bv);
    const size_t n = size_t(rule.size);
    out.assign(size_t(tv.nbas) * dim, 0.0);
    for (int i = 0; i < tv.nbas; ++i)
        for (int c = 0; c < dim; ++c) {
            double sum = 0;
            for (size_t p = 0; p < n; ++p)
                sum += rule.weights[p] * fq[p * dim + c] * s.bv[i * n + p];
            out[size_t(i) * dim + c] = area * sum;
        }
}

}  // namespace mosk

using namespace mosk;

namespace {

const char* const kFaceOp = "face quadrature";

// The rule degree: `order`, or for -1 the integrand's degree `exact`.
int face_rule_degree(int order, int exact) {
    if (order == -1) return exact;
    if (order < 0 || order > kMaxTetRuleDegree)
        fail<std::out_of_range>(kFaceOp, "order " + std::to_string(order) + " is not -1 or in 0.." +
                                             std::to_string(kMaxTetRuleDegree));
    return order;
}

// Checks the output room and copies the result.
int copy_result(const std::vector<double>& r, double* out, int capacity) {
    if (!out) fail<std::invalid_argument>(kFaceOp, "null output pointer");
    if (capacity < 0 || size_t(capacity) < r.size())
        fail<std::length_error>(kFaceOp, "room for " + std::to_string(capacity) + " values, " +
                                             std::to_string(r.size()) + " needed");
    std::copy(r.begin(), r.end(), out);
    return int(r.size());
}

// The checked leaf element of the fields' grid and its face's area.
double face_area(GridImpl& g, ELEMENT_* e, int face, const ELEMENT_*& el) {
    el = &require_leaf(g, e, kFaceOp);
    check_face(face, kFaceOp);
    return tet_face_area(element_points(g, *el), face);
}

}  // namespace

extern "C" {

int moskQuadFaceBasBasElement(ELEMENT_* e, int face, DOF_* u, DOF_* v, int order, double* out,
                              int capacity) {
    GridImpl& g = quadrature_field_grid(kFaceOp, u, "u", nullptr);
    quadrature_field_grid(kFaceOp, v, "v", &g);
    const ELEMENT_* el;
    const double area = face_area(g, e, face, el);
    const int q = face_rule_degree(order, u->type->order + v->type->order);
    thread_local std::vector<double> r;
    compute_face_mass(*el, face, area, *u->type, *v->type, q, r);
    return copy_result(r, out, capacity);
}

int moskQuadFaceDofTimesBasElement(ELEMENT_* e, int face, DOF_* f, DOF_* v, int order, double* out,
                                   int capacity) {
    GridImpl& g = quadrature_field_grid(kFaceOp, f, "f", nullptr);
    quadrature_field_grid(kFaceOp, v, "v", &g);
    const ELEMENT_* el;
    const double area = face_area(g, e, face, el);
    const int q = face_rule_degree(order, f->type->order + v->type->order);
    const int dim = f->dim;
    thread_local std::vector<double> lambda, fq, r;
    face_lambda(face, q, lambda);
    const size_t n = lambda.size() / 4;
    fq.assign(n * size_t(dim), 0.0);
    const ValueBlocks b = value_blocks(*f, *f->grid);
    if (int64_t(dof_impl(*f).values.size()) != b.total)
        fail<std::invalid_argument>(kFaceOp, "the values of field f do not match its grid");
    for (size_t p = 0; p < n; ++p) evaluate_field(*f, b, *el, &lambda[4 * p], &fq[p * dim]);
    compute_face_times_bas(*el, face, area, dim, fq.data(), *v->type, q, r);
    return copy_result(r, out, capacity);
}

int moskQuadFaceFuncTimesBasElement(ELEMENT_* e, int face, MOSK_POINT_FUNC func, int dim, DOF_* v,
                                    int order, double* out, int capacity) {
    GridImpl& g = quadrature_field_grid(kFaceOp, v, "v", nullptr);
    if (!func) fail<std::invalid_argument>(kFaceOp, "null function");
    if (dim < 1) fail<std::invalid_argument>(kFaceOp, "the function needs at least 1 value");
    const ELEMENT_* el;
    const double area = face_area(g, e, face, el);
    const int q = face_rule_degree(order, 2 * v->type->order);
    const TetPoints pts = element_points(g, *el);
    // Buffers of this call alone: the function may itself ask for face integrals.
    std::vector<double> lambda, fq, r;
    face_lambda(face, q, lambda);
    const size_t n = lambda.size() / 4;
    fq.assign(n * size_t(dim), 0.0);
    {
        CallbackScope running(g);
        for (size_t p = 0; p < n; ++p) {
            const Point x = point_of(pts, &lambda[4 * p]);
            func(x[0], x[1], x[2], &fq[p * dim]);
        }
    }
    compute_face_times_bas(*el, face, area, dim, fq.data(), *v->type, q, r);
    return copy_result(r, out, capacity);
}

}  // extern "C"
