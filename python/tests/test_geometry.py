"""Element geometry of Grid against meshio's reading of the same gmsh file, computed with numpy.

Every element is matched to a meshio cell through the vertices that the inverse of its Jacobian
gives back, so a wrong Jacobian, a wrong face numbering or a wrong orientation shows up as a
mismatch with an independent reading of the file."""
import math

import meshio
import numpy as np
import pytest

import _pymosk

BOX_VOLUME = 1.0 * 2.0 * 3.0


@pytest.fixture(scope="module")
def box(box_mesh):
    """(grid, list of elements, meshio points, dict: frozenset of point ids -> cell row)."""
    path, ntet = box_mesh
    grid = _pymosk.Grid(str(path))
    elements = list(grid.getElementIterator())
    assert len(elements) == ntet
    m = meshio.read(str(path))
    cells = np.vstack([b.data for b in m.cells if b.type == "tetra"])
    assert len(cells) == ntet
    by_verts = {frozenset(int(v) for v in c): c for c in cells}
    return grid, elements, np.asarray(m.points, dtype=float), by_verts


def vertices_of(grid, e):
    """The element's vertices in its own order: columns of the inverse Jacobian are (x, y, z, 1)."""
    j = np.array(grid.geomGetJacobian(e)).reshape(4, 4)
    inv = np.linalg.inv(j)
    assert np.allclose(inv[3], 1.0, atol=1e-12)
    return inv[:3].T


def matched_cell(points, by_verts, verts):
    """The meshio point ids of the element's vertices, in the element's order."""
    ids = []
    for x in verts:
        d = np.linalg.norm(points - x, axis=1)
        k = int(np.argmin(d))
        assert d[k] < 1e-9, f"vertex {x} is no point of the file"
        ids.append(k)
    assert frozenset(ids) in by_verts, f"vertices {ids} are no tetrahedron of the file"
    return ids


class TestVolumeAndDiameter:
    def test_volumes_fill_the_box(self, box):
        grid, elements, _, _ = box
        vols = [grid.geomGetVolume(e) for e in elements]
        assert all(isinstance(v, float) and v > 0 for v in vols)
        assert math.fsum(vols) == pytest.approx(BOX_VOLUME, rel=1e-12)

    def test_volume_and_diameter_of_each_cell_match_numpy(self, box):
        grid, elements, points, by_verts = box
        for e in elements:
            p = points[matched_cell(points, by_verts, vertices_of(grid, e))]
            vol = abs(np.linalg.det(p[1:] - p[0])) / 6
            assert grid.geomGetVolume(e) == pytest.approx(vol, rel=1e-10)
            h = max(np.linalg.norm(p[i] - p[k]) for i in range(4) for k in range(i))
            assert grid.geomGetDiameter(e) == pytest.approx(h, rel=1e-12)


class TestJacobian:
    def test_maps_the_file_vertices_to_barycentric_unit_vectors(self, box):
        grid, elements, points, by_verts = box
        for e in elements:
            j = np.array(grid.geomGetJacobian(e)).reshape(4, 4)
            ids = matched_cell(points, by_verts, vertices_of(grid, e))
            homogeneous = np.hstack([points[ids], np.ones((4, 1))]).T  # column v: vertex v
            assert np.allclose(j @ homogeneous, np.eye(4), atol=1e-10)
            assert np.allclose(j.sum(axis=0), [0, 0, 0, 1], atol=1e-10)

    def test_returns_a_new_list_of_sixteen_floats(self, box):
        grid, elements, _, _ = box
        e = elements[0]
        a = grid.geomGetJacobian(e)
        assert isinstance(a, list) and len(a) == 16
        saved = list(a)
        a[0] = 1e300
        assert grid.geomGetJacobian(e) == saved


class TestFaces:
    def test_area_diameter_and_outward_normal_of_the_face_opposite_each_vertex(self, box):
        grid, elements, points, by_verts = box
        for e in elements:
            p = points[matched_cell(points, by_verts, vertices_of(grid, e))]
            flux = np.zeros(3)
            for f in range(4):
                q = p[[v for v in range(4) if v != f]]
                cross = np.cross(q[1] - q[0], q[2] - q[0])
                area = grid.geomGetFaceArea(e, f)
                assert area == pytest.approx(np.linalg.norm(cross) / 2, rel=1e-10)
                fd = max(np.linalg.norm(q[a] - q[b]) for a in range(3) for b in range(a))
                assert grid.geomGetFaceDiameter(e, f) == pytest.approx(fd, rel=1e-12)
                n = np.array(grid.geomGetFaceNormal(e, f))
                assert n.shape == (3,)
                assert np.linalg.norm(n) == pytest.approx(1.0, abs=1e-13)
                assert np.allclose(np.cross(n, cross), 0, atol=1e-10 * np.linalg.norm(cross))
                assert np.dot(n, q.mean(axis=0) - p[f]) > 0  # away from the opposite vertex
                flux += n * area
            assert np.allclose(flux, 0, atol=1e-12)

    def test_normal_is_a_new_list(self, box):
        grid, elements, _, _ = box
        e = elements[0]
        n = grid.geomGetFaceNormal(e, 2)
        saved = list(n)
        n[1] = -7.0
        assert grid.geomGetFaceNormal(e, 2) == saved

    @pytest.mark.parametrize("face", [4, -1, 2**31 - 1, -(2**31)])
    def test_face_number_outside_0_to_3_raises_index_error(self, box, face):
        grid, elements, _, _ = box
        e = elements[0]
        for query in (grid.geomGetFaceArea, grid.geomGetFaceDiameter, grid.geomGetFaceNormal):
            with pytest.raises(IndexError, match=str(face)):
                query(e, face)


class TestElementOfAnotherGrid:
    def test_is_rejected(self, box, box_mesh):
        grid, elements, _, _ = box
        other = _pymosk.Grid(str(box_mesh[0]))
        foreign = next(iter(other.getElementIterator()))
        assert other.geomGetVolume(foreign) > 0
        with pytest.raises(ValueError):
            grid.geomGetVolume(foreign)
        with pytest.raises(ValueError):
            grid.geomGetFaceNormal(foreign, 0)
