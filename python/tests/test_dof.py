"""DOF fields: names and types, sizes, interpolation, refinement transfer, export, ownership."""
import gc

import meshio
import numpy as np
import pytest

import _pymosk


@pytest.fixture
def grid(box_mesh):
    return _pymosk.Grid(str(box_mesh[0]))


def _counts(path):
    """Vertices, edges and faces of the tetrahedral mesh, computed by meshio and numpy."""
    cells = meshio.read(path).cells_dict["tetra"]
    nv = len(np.unique(cells))
    pairs = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    edges = np.unique(np.sort(np.concatenate([cells[:, p] for p in pairs]), axis=1), axis=0)
    tris = [(1, 2, 3), (0, 2, 3), (0, 1, 3), (0, 1, 2)]
    faces = np.unique(np.sort(np.concatenate([cells[:, list(t)] for t in tris]), axis=1), axis=0)
    return nv, len(edges), len(faces), len(cells)


def test_sizes_and_basis_counts_against_meshio(grid, box_mesh):
    nv, ne, nf, nt = _counts(str(box_mesh[0]))
    e = next(grid.getElementIterator())
    expected = {0: (nt, 1), 1: (nv, 4), 2: (nv + ne, 10), 3: (nv + 2 * ne + nf, 20),
                4: (nv + 3 * ne + 3 * nf + nt, 35)}
    for order, (size, nbas) in expected.items():
        for dim in (1, 3):
            d = _pymosk.Dof(grid, "P", order, dim=dim)
            assert d.getSize() == size * dim
            assert d.getNBas(e) == nbas
            assert d.getDim() == dim


def test_names_and_type_lookup(grid):
    import warnings
    e = next(grid.getElementIterator())
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # names that exist warn nothing
        assert _pymosk.Dof(grid, "P").getSize() == _pymosk.Dof(grid, "Lagrange", 1).getSize()
        assert _pymosk.Dof(grid, "Lagrange", 2).getNBas(e) == 10
        for init in ("DofNoData", "DofNoAction", "DofInterpolation", "DofLambdaFunction",
                     "DofUserFuncVoid"):
            assert _pymosk.Dof(grid, "P", 1, init_type=init).getNBas(e) == 4
    # Unknown names keep the default type P1 and initialisation DofNoData, with a warning.
    for args, key in [(("lagrange", 2), "'lagrange2'"), (("P2",), "'P21'"), (("P", 9), "'P9'"),
                      (("Q", 2), "'Q2'")]:
        with pytest.warns(UserWarning, match=f"{key}.*'P1'"):
            assert _pymosk.Dof(grid, *args).getNBas(e) == 4
    for init in ("", "bogus"):
        with pytest.warns(UserWarning, match=f"'{init}'.*'DofNoData'"):
            _pymosk.Dof(grid, "P", 1, init_type=init)


def _export_values(grid, dof, tmp_path, name):
    out = tmp_path / "f.vtu"
    grid.exportVTK(str(out), dof)
    m = meshio.read(out)
    return m.points, m.point_data[name]


@pytest.mark.parametrize("order", [1, 2, 3, 4])
def test_interpolation_is_exact_for_polynomials_of_the_degree(grid, tmp_path, order):
    def f(p):
        x, y, z = p
        return [1 + x ** order - 2 * y ** (order - 1) * z + (x * y * z ** (order - 3) if order >= 3 else 0)]
    d = _pymosk.Dof(grid, "P", order, udf=f, name="f")
    grid.refineAllElements(1)  # values carried by interpolation must stay exact
    pts, vals = _export_values(grid, d, tmp_path, "f")
    expected = np.array([f(p)[0] for p in pts])
    assert np.abs(vals.ravel() - expected).max() < 1e-11


def test_multicomponent_function_fills_components(grid, tmp_path):
    d = _pymosk.Dof(grid, "P", 1, dim=3, udf=lambda p: np.array([p[0], 2 * p[1], 3.0]),
                    name="v")
    pts, vals = _export_values(grid, d, tmp_path, "v")
    assert vals.shape == (len(pts), 3)
    assert np.allclose(vals, np.c_[pts[:, 0], 2 * pts[:, 1], np.full(len(pts), 3.0)])


def test_too_many_values_raise_and_exceptions_pass_through(grid):
    with pytest.raises(ValueError, match="returned 2 values"):
        _pymosk.Dof(grid, "P", 1, udf=lambda p: [1.0, 2.0])

    class Boom(Exception):
        pass

    calls = []

    def bad(p):
        calls.append(p)
        if len(calls) == 5:
            raise Boom("at the fifth node")
        return [0.0]
    with pytest.raises(Boom, match="fifth"):
        _pymosk.Dof(grid, "P", 1, udf=bad)


def test_nested_field_creation_in_a_function(grid, tmp_path):
    def outer(p):
        inner = _pymosk.Dof(grid, "P", 0, udf=lambda q: [1.0])
        return [p[0] + inner.getDim()]
    d = _pymosk.Dof(grid, "P", 1, udf=outer, name="o")
    pts, vals = _export_values(grid, d, tmp_path, "o")
    assert np.allclose(vals.ravel(), pts[:, 0] + 1)


def test_set_data_by_value_and_modes_through_refinement(grid, tmp_path):
    d = _pymosk.Dof(grid, "P", 1, name="c")
    d.setDataByValue(2.5)
    _, vals = _export_values(grid, d, tmp_path, "c")
    assert np.all(vals == 2.5)
    z = _pymosk.Dof(grid, "P", 1, name="z", init_type="DofNoData")
    z.setDataByValue(1.0)
    grid.refineAllElements(1)
    assert _export_values(grid, d, tmp_path, "c")[1].min() == pytest.approx(2.5)
    assert np.all(_export_values(grid, z, tmp_path, "z")[1] == 0.0)


def test_field_keeps_its_grid_and_get_grid_shares_it(box_mesh):
    g = _pymosk.Grid(str(box_mesh[0]))
    n = g.getNumElements()
    d = _pymosk.Dof(g, "P", 2)
    del g
    gc.collect()
    h = d.getGrid()
    assert h.getNumElements() == n
    del d
    gc.collect()
    assert h.getNumElements() == n  # the returned Grid shares ownership: never dangles
