// Geometry of one tetrahedron: the affine map to barycentric coordinates, volume, edge lengths,
// face areas and normals. Shared by the public geometry functions, quadrature and Dirichlet data.
#pragma once

#include <array>

#include "grid/grid_impl.h"

namespace mosk {

using TetPoints = std::array<Point, 4>;

struct ElementGeometry {
    double volume;       // positive for a well-oriented element, |det| / 6 in any case
    // Row i: gradient of barycentric coordinate l_i, then its constant, so that
    // l_i(x) = bary[i][0] x + bary[i][1] y + bary[i][2] z + bary[i][3].
    double bary[4][4];
};

// Throws std::invalid_argument naming `op` unless `e` is a current leaf held by this grid's store
// at position e->record. Reads e->record: the caller must know `e` points at a live element
// record (of any grid), e.g. through moskElementIsCurrent.
const ELEMENT_& require_leaf(const GridImpl& grid, const ELEMENT_* e, const char* op);

// The element's vertex coordinates in its local vertex order; throws std::invalid_argument when a
// vertex number is outside the grid's coordinates.
TetPoints element_points(const GridImpl& grid, const ELEMENT_& e);

// Throws std::invalid_argument for a degenerate tetrahedron (zero or non-finite determinant).
ElementGeometry tet_geometry(const TetPoints& p);
// The volume alone, the same number as tet_geometry's, without the gradients' divisions.
double tet_volume(const TetPoints& p);
ElementGeometry element_geometry(const GridImpl& grid, const ELEMENT_& e);

double tet_diameter(const TetPoints& p);  // longest edge
// Throws std::out_of_range naming `op` for a face number outside 0..3.
void check_face(int face, const char* op);

// Face i is opposite vertex i (kFaceVerts); callers check 0 <= face < 4.
double tet_face_area(const TetPoints& p, int face);
double tet_face_diameter(const TetPoints& p, int face);
std::array<double, 3> tet_face_normal(const TetPoints& p, int face);  // unit, outward

}  // namespace mosk
