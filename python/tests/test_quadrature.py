"""Element quadrature methods of Element: array shapes and layout, keywords, the default order,
integrals of fields, the stale-element guard, and global P1 and P2 stiffness and mass matrices
summed from the element matrices against scikit-fem's assembly on the same gmsh mesh."""
import re

import meshio
import numpy as np
import pytest
import scipy.sparse as sp
from scipy.spatial import cKDTree
import skfem
from skfem.models.poisson import laplace, mass

import _pymosk

from conftest import make_mesh


@pytest.fixture
def grid(box_mesh):
    return _pymosk.Grid(str(box_mesh[0]))


def first(grid):
    return next(iter(grid.getElementIterator()))


def vertices_of(grid, e):
    """Rows: the element's vertices, from the inverse of the barycentric map."""
    return np.linalg.inv(np.array(grid.geomGetJacobian(e)).reshape(4, 4))[:3].T


class TestLayout:
    def test_shapes_and_rows_follow_u(self, grid):
        e = first(grid)
        p1, p2, p0 = (_pymosk.Dof(grid, "P", k) for k in (1, 2, 0))
        for method in (e.quadGradBasDotGradBas, e.quadBasDotBas):
            a = method(u=p1, v=p2, order=-1)
            b = method(p2, p1)
            assert isinstance(a, np.ndarray) and a.dtype == np.float64
            assert a.flags["C_CONTIGUOUS"] and a.shape == (4, 10) and b.shape == (10, 4)
            np.testing.assert_allclose(a, b.T, rtol=1e-13, atol=1e-15)
            assert np.abs(a).max() > 0
            assert method(p2, p2) is not method(p2, p2)
        assert e.quadBasDotBas(p0, p0).shape == (1, 1)
        assert e.quadBasDotBas(p0, p0)[0, 0] == pytest.approx(grid.geomGetVolume(e), rel=1e-13)
        f = e.quadDofTimesBas(f=p1, v=p2, order=-1)
        assert f.shape == (1, 10) and f.flags["C_CONTIGUOUS"]

    def test_order_omitted_is_minus_one_and_order_is_used(self, grid):
        e = first(grid)
        p4 = _pymosk.Dof(grid, "P", 4)
        c = _pymosk.Dof(grid, "P", 2)
        c.setDataByValue(1.5)
        np.testing.assert_array_equal(e.quadBasDotBas(p4, p4), e.quadBasDotBas(p4, p4, order=-1))
        np.testing.assert_array_equal(e.quadGradBasDotGradBas(p4, p4),
                                      e.quadGradBasDotGradBas(p4, p4, -1))
        np.testing.assert_array_equal(e.quadDofTimesBas(c, p4), e.quadDofTimesBas(c, p4, -1))
        exact = e.quadBasDotBas(p4, p4)
        np.testing.assert_allclose(e.quadBasDotBas(p4, p4, order=20), exact, atol=1e-14)
        assert np.abs(e.quadBasDotBas(p4, p4, order=1) - exact).max() > 1e-6

    def test_errors(self, grid, tmp_path):
        e = first(grid)
        u = _pymosk.Dof(grid, "P", 2)
        with pytest.raises(ValueError):
            e.quadBasDotBas(u, u, order=-2)
        with pytest.raises(IndexError):
            e.quadGradBasDotGradBas(u, u, order=99)
        make_mesh(tmp_path / "other.msh", h=0.8)
        other = _pymosk.Grid(str(tmp_path / "other.msh"))
        foreign = _pymosk.Dof(other, "P", 1)
        with pytest.raises(ValueError):
            e.quadBasDotBas(u, foreign)
        with pytest.raises(ValueError):
            e.quadDofTimesBas(foreign, u)
        with pytest.raises(TypeError):
            e.quadBasDotBas(u=u, w=u)

    def test_stale_element_raises(self, box_mesh):
        g = _pymosk.Grid(str(box_mesh[0]))
        e = first(g)
        u = _pymosk.Dof(g, "P", 1)
        e.quadBasDotBas(u, u)
        g.refineAllElements(1)
        for call in (lambda: e.quadBasDotBas(u, u), lambda: e.quadGradBasDotGradBas(u, u),
                     lambda: e.quadDofTimesBas(u, u)):
            with pytest.raises(RuntimeError):
                call()


class TestFieldIntegrals:
    @pytest.mark.parametrize("order", [1, 2, 3, 4])
    def test_constant_field_integrates_to_c_times_volume(self, grid, order):
        f = _pymosk.Dof(grid, "P", 1)
        f.setDataByValue(2.5)
        v = _pymosk.Dof(grid, "P", order)
        for k, e in enumerate(grid.getElementIterator()):
            if k == 5:
                break
            r = e.quadDofTimesBas(f, v)
            assert r.shape == (1, v.getNBas(e))
            assert r.sum() == pytest.approx(2.5 * grid.geomGetVolume(e), rel=1e-12)
        f.setDataByValue(-1.0)  # the values in force at the call count
        assert e.quadDofTimesBas(f, v).sum() == pytest.approx(-grid.geomGetVolume(e), rel=1e-12)

    def test_two_component_field(self, grid):
        f = _pymosk.Dof(grid, "P", 1, dim=2, udf=lambda p: [1.0, p[0]])
        v = _pymosk.Dof(grid, "P", 3)
        p1 = _pymosk.Dof(grid, "P", 1)
        e = first(grid)
        r = e.quadDofTimesBas(f, v)
        assert r.shape == (2, 20) and r.flags["C_CONTIGUOUS"]
        m = e.quadBasDotBas(v, p1)  # [i][j] = integral of phi_i lambda_j
        np.testing.assert_allclose(r[0], m.sum(axis=1), rtol=1e-12, atol=1e-16)
        np.testing.assert_allclose(r[1], m @ vertices_of(grid, e)[:, 0], rtol=1e-11, atol=1e-16)


def global_index_p1(e):
    return [int(s) for s in re.findall(r"-?\d+", repr(e))]


def assemble(grid, dof, method, index):
    rows, cols, vals = [], [], []
    for e in grid.getElementIterator():
        idx = np.asarray(index(e))
        k = method(e)(dof, dof)
        rows.append(np.repeat(idx, len(idx)))
        cols.append(np.tile(idx, len(idx)))
        vals.append(k.ravel())
    n = dof.getSize()
    return sp.coo_matrix((np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))),
                         shape=(n, n)).tocsr()


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """A gmsh box, our grid of it, and scikit-fem's mesh of the same file with the unused nodes
    dropped (the order of the rest kept, as our vertex numbering does)."""
    path = tmp_path_factory.mktemp("quad") / "box.msh"
    make_mesh(path, size=(1.0, 0.7, 1.3), h=0.35)
    m = meshio.read(str(path))
    tets = np.vstack([b.data for b in m.cells if b.type == "tetra"])
    used = np.unique(tets)
    renumber = np.full(len(m.points), -1)
    renumber[used] = np.arange(len(used))
    mesh = skfem.MeshTet(np.asarray(m.points[used], dtype=float).T, renumber[tets].T)
    return _pymosk.Grid(str(path)), mesh


def compare(ours, theirs):
    diff = abs(ours - theirs).max()
    assert diff <= 1e-12 * abs(theirs).max(), diff


class TestGlobalAssembly:
    def test_p1_matches_scikit_fem(self, reference):
        grid, mesh = reference
        u = _pymosk.Dof(grid, "P", 1)
        assert u.getSize() == mesh.p.shape[1]
        basis = skfem.Basis(mesh, skfem.ElementTetP1())
        for method, form in ((lambda e: e.quadGradBasDotGradBas, laplace),
                             (lambda e: e.quadBasDotBas, mass)):
            compare(assemble(grid, u, method, global_index_p1), skfem.asm(form, basis))

    def test_p2_matches_scikit_fem(self, reference):
        grid, mesh = reference
        u = _pymosk.Dof(grid, "P", 2)
        numbering = _pymosk.Map(u)
        basis = skfem.Basis(mesh, skfem.ElementTetP2())
        assert u.getSize() == basis.N
        # Our index of each P2 node (vertex or edge midpoint) -> scikit-fem's, by position.
        tree = cKDTree(basis.doflocs.T)
        perm = np.full(u.getSize(), -1)
        for e in grid.getElementIterator():
            x = mesh.p[:, global_index_p1(e)].T
            nodes = np.vstack([x] + [(x[a] + x[b]) / 2 for a, b in
                                     ((0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3))])
            dist, k = tree.query(nodes)
            assert dist.max() < 1e-9
            perm[numbering.getGlobalIndex(e)] = k
        assert sorted(perm) == list(range(basis.N))
        for method, form in ((lambda e: e.quadGradBasDotGradBas, laplace),
                             (lambda e: e.quadBasDotBas, mass)):
            ours = assemble(grid, u, method, numbering.getGlobalIndex)
            compare(ours, skfem.asm(form, basis)[perm][:, perm])
