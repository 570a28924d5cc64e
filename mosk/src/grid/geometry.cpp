// Element geometry: the internal helpers of geometry.h and the public moskGeom* functions.
#include "grid/geometry.h"

#include "core/check.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace mosk {
namespace {

using Vec = std::array<double, 3>;

Vec sub(const Point& a, const Point& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec cross(const Vec& a, const Vec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm(const Vec& a) { return std::hypot(a[0], a[1], a[2]); }
double distance(const Point& a, const Point& b) { return norm(sub(a, b)); }

// Twice the area vector of face `face`, by the right-hand rule on its vertices in kFaceVerts order.
Vec face_cross(const TetPoints& p, int face) {
    const int* f = kFaceVerts[face];
    return cross(sub(p[f[1]], p[f[0]]), sub(p[f[2]], p[f[0]]));
}

// The determinant of the edge matrix [u v w] (six times the signed volume), from u and the cross
// product of v and w; throws for a degenerate tetrahedron.
double checked_determinant(const Vec& u, const Vec& v_cross_w) {
    const double det = dot(u, v_cross_w);
    if (!std::isfinite(det) || det == 0) fail("element geometry", "degenerate tetrahedron");
    return det;
}

}  // namespace

const ELEMENT_& require_leaf(const GridImpl& grid, const ELEMENT_* e, const char* op) {
    if (!e) fail(op, "null element");
    // A negative record turns into a huge index, which holds() rejects.
    if (!grid.holds_record(size_t(e->record), e))
        fail(op, "the element is not an element of this grid");
    if (!grid.is_leaf_record(e->record))
        fail(op, "the element was refined and is no longer a leaf");
    return *e;
}

TetPoints element_points(const GridImpl& grid, const ELEMENT_& e) {
    TetPoints p;
    for (int i = 0; i < 4; ++i) {
        const int v = e.verts[i];
        if (v < 0 || v >= grid.num_vertices())
            fail("element geometry",
                 "vertex number " + std::to_string(v) + " is outside the grid's vertices");
        p[i] = grid.vertex(v);
    }
    return p;
}

ElementGeometry tet_geometry(const TetPoints& p) {
    const Vec u = sub(p[1], p[0]), v = sub(p[2], p[0]), w = sub(p[3], p[0]);
    // Rows of the inverse of the edge matrix [u v w] are cofactors over the determinant: they are
    // the gradients of l1, l2, l3. The gradient of l0 comes from face 0's own edges rather than as
    // -(sum of the others), which avoids cancellation on flat elements.
    const Vec c1 = cross(v, w), c2 = cross(w, u), c3 = cross(u, v);
    const Vec c0 = cross(sub(p[3], p[1]), sub(p[2], p[1]));
    const double det = checked_determinant(u, c1);
    ElementGeometry g;
    g.volume = std::fabs(det) / 6.0;
    const Vec* cof[4] = {&c0, &c1, &c2, &c3};
    for (int i = 0; i < 4; ++i) {
        Vec grad;
        for (int k = 0; k < 3; ++k) grad[k] = (*cof[i])[k] / det;
        // l_i vanishes on face i, which holds vertex 1 (for i = 0) or vertex 0 (otherwise).
        const Point& on_face = p[i == 0 ? 1 : 0];
        for (int k = 0; k < 3; ++k) g.bary[i][k] = grad[k];
        g.bary[i][3] = -dot(grad, Vec{on_face[0], on_face[1], on_face[2]});
    }
    for (const auto& row : g.bary)
        for (double x : row)
            if (!std::isfinite(x)) fail("element geometry", "degenerate tetrahedron");
    return g;
}

double tet_volume(const TetPoints& p) {
    const Vec u = sub(p[1], p[0]), v = sub(p[2], p[0]), w = sub(p[3], p[0]);
    return std::fabs(checked_determinant(u, cross(v, w))) / 6.0;
}

ElementGeometry element_geometry(const GridImpl& grid, const ELEMENT_& e) {
    return tet_geometry(element_points(grid, e));
}

double tet_diameter(const TetPoints& p) {
    double h = 0;
    for (const auto& e : kEdgeVerts) h = std::max(h, distance(p[e[0]], p[e[1]]));
    return h;
}

double tet_face_area(const TetPoints& p, int face) { return 0.5 * norm(face_cross(p, face)); }

double tet_face_diameter(const TetPoints& p, int face) {
    const int* f = kFaceVerts[face];
    return std::max(
        {distance(p[f[0]], p[f[1]]), distance(p[f[0]], p[f[2]]), distance(p[f[1]], p[f[2]])});
}

std::array<double, 3> tet_face_normal(const TetPoints& p, int face) {
    Vec n = face_cross(p, face);
    const double len = norm(n);
    if (!(len > 0) || !std::isfinite(len)) fail("element geometry", "degenerate face");
    // Orient by the opposite vertex, so that the result does not depend on the element's
    // orientation.
    const double s = dot(n, sub(p[face], p[kFaceVerts[face][0]])) > 0 ? -1.0 : 1.0;
    for (double& x : n) x = s * x / len;
    return n;
}

void check_face(int face, const char* op) {
    if (face < 0 || face > 3)
        fail<std::out_of_range>(op, "face number " + std::to_string(face) + " is outside 0..3");
}

}  // namespace mosk

using namespace mosk;

namespace {

thread_local double jacobian_buffer[MOSK_JACOBIAN_SIZE];
thread_local double normal_buffer[3];

const GridImpl& grid_of(const GRID_* grid, const char* op) {
    if (!grid || !grid->impl) fail(op, "null grid");
    return *static_cast<const GridImpl*>(grid->impl);
}

TetPoints checked_points(const GRID_* grid, const ELEMENT_* e, const char* op) {
    const GridImpl& g = grid_of(grid, op);
    return element_points(g, require_leaf(g, e, op));
}

}  // namespace

extern "C" {

double moskGeomGetVolume(GRID_* grid, ELEMENT_* e) {
    return tet_geometry(checked_points(grid, e, "element volume")).volume;
}

double moskGeomGetDiameter(GRID_* grid, ELEMENT_* e) {
    return tet_diameter(checked_points(grid, e, "element diameter"));
}

const double* moskGeomGetJacobian_(GRID_* grid, ELEMENT_* e, double* out, void* reserved) {
    static const char* op = "element Jacobian";
    const TetPoints p = checked_points(grid, e, op);
    if (reserved) fail(op, "the reserved argument must be null");
    const ElementGeometry g = tet_geometry(p);
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k) jacobian_buffer[4 * i + k] = g.bary[i][k];
    if (out)
        for (int i = 0; i < MOSK_JACOBIAN_SIZE; ++i) out[i] = jacobian_buffer[i];
    return jacobian_buffer;
}

double moskGeomGetFaceArea_(GRID_* grid, ELEMENT_* e, int face, void* reserved1, void* reserved2) {
    static const char* op = "face area";
    const TetPoints p = checked_points(grid, e, op);
    check_face(face, op);
    if (reserved1 || reserved2) fail(op, "the reserved arguments must be null");
    return tet_face_area(p, face);
}

double moskGeomGetFaceDiameter(GRID_* grid, ELEMENT_* e, int face) {
    static const char* op = "face diameter";
    const TetPoints p = checked_points(grid, e, op);
    check_face(face, op);
    return tet_face_diameter(p, face);
}

const double* moskGeomGetFaceNormal(GRID_* grid, ELEMENT_* e, int face) {
    static const char* op = "face normal";
    const TetPoints p = checked_points(grid, e, op);
    check_face(face, op);
    const auto n = tet_face_normal(p, face);
    for (int k = 0; k < 3; ++k) normal_buffer[k] = n[k];
    return normal_buffer;
}

int64_t moskGeomBlock(GRID_* grid, int n, ELEMENT_** es, double* volumes, double* vertices,
                      int64_t capacity) {
    static const char* op = "element block geometry";
    const GridImpl& g = grid_of(grid, op);
    if (n < 0) fail(op, "negative element count " + std::to_string(n));
    if (n > 0 && !es) fail(op, "null element array");
    if (capacity < n)
        fail<std::length_error>(op, "room for " + std::to_string(capacity) + " elements, " +
                                        std::to_string(n) + " needed");
    for (int k = 0; k < n; ++k) {
        const TetPoints p = element_points(g, require_leaf(g, es[k], op));
        if (volumes) volumes[k] = tet_geometry(p).volume;
        if (vertices)
            for (int v = 0; v < 4; ++v)
                for (int c = 0; c < 3; ++c) vertices[(size_t(k) * 4 + v) * 3 + c] = p[v][c];
    }
    return n;
}

}  // extern "C"
