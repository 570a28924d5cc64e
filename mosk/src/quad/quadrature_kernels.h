// Element matrices and vectors computed from the reference tables: grad-grad (stiffness) and
// mass matrices of two bases with an optional coefficient at the rule's points, and a field
// times a basis. Results go into the caller's vector, resized as needed (its capacity is reused).
#pragma once

#include <vector>

#include "grid/geometry.h"
#include "mosk.h"

namespace mosk {

// The grid of field `d` (called `role` in messages) that quadrature operation `op` uses; when
// `grid` is given the field must live on it. Throws std::invalid_argument for a null field, one
// on another grid, of variable order or of an unsupported type.
GridImpl& quadrature_field_grid(const char* op, const DOF_* d, const char* role, GridImpl* grid);

// The field (its values `vals` gathered on the element, dim per basis function) at the points
// of the rule of degree q: out[c * n + p].
void field_at_points(const DOF_& d, const ELEMENT_& e, const std::vector<double>& vals, int q,
                     std::vector<double>& out);

// out[i * nbas(tv) + j]; coef (at the rule's points) may be null for 1.
void compute_grad_grad(const ELEMENT_& e, const ElementGeometry& geo, const DOF_TYPE_& tu,
                       const DOF_TYPE_& tv, const double* coef, int q, std::vector<double>& out);
// The same matrix of a basis against itself without coefficient, from the reference stiffness
// (reference_tables.h): a sixth of the products for P2 (no gradients at the points), equal to
// compute_grad_grad up to rounding. out: nbas x nbas, row-major.
void affine_grad_grad(const ELEMENT_& e, const ElementGeometry& geo, const DOF_TYPE_& type, int q,
                      double* out);
void compute_mass(const ELEMENT_& e, double volume, const DOF_TYPE_& tu, const DOF_TYPE_& tv,
                  const double* coef, int q, std::vector<double>& out);

// The basis functions of `type` on the element at the points of the rule of degree q, in element
// basis order: values[p * nb + i] and physical gradients gradients[(p * nb + i) * 3 + c]; either
// may be null.
void basis_at_points(const DOF_TYPE_& type, const ELEMENT_& e, const ElementGeometry& geo, int q,
                     double* values, double* gradients);

// Face integrals, over face `face` (opposite vertex `face`) of area `area` with the triangle
// rule of degree q. face_lambda: the element's barycentric coordinates of the rule's points, 4
// per point. compute_face_mass: out[i * nbas(tv) + j], phi_i of tu times phi_j of tv.
// compute_face_times_bas: out[i * dim + c], component c of a function times phi_i of tv, given
// the function's dim values at each rule point in fq[p * dim + c].
void face_lambda(int face, int q, std::vector<double>& lambda);
void compute_face_mass(const ELEMENT_& e, int face, double area, const DOF_TYPE_& tu,
                       const DOF_TYPE_& tv, int q, std::vector<double>& out);
void compute_face_times_bas(const ELEMENT_& e, int face, double area, int dim, const double* fq,
                            const DOF_TYPE_& tv, int q, std::vector<double>& out);

// out[i * dim + c]: integral of component c of f (values fvals on the element) times basis
// function i of tv.
void compute_dof_times_bas(const ELEMENT_& e, double volume, const DOF_& f,
                           const std::vector<double>& fvals, const DOF_TYPE_& tv, int q,
                           std::vector<double>& out);

// The same from the reference mass matrix (reference_tables.h), equal up to rounding; fvals in
// element basis order, dim per basis function. out: nbas(tv) * dim values.
void affine_dof_times_bas(const ELEMENT_& e, double volume, const DOF_& f, const double* fvals,
                          const DOF_TYPE_& tv, int q, double* out);

}  // namespace mosk
