"""Field values and node coordinates as NumPy arrays."""
import meshio
import numpy as np
import pytest

import _pymosk


def cubic(x):
    """Three components of degree 3, evaluated on rows of points."""
    return np.stack([x[:, 0] ** 3 - x[:, 1] * x[:, 2], 2 * x[:, 1] ** 2 + 1, x.sum(axis=1)], axis=1)


@pytest.fixture(scope="module")
def grid(box_mesh):
    g = _pymosk.Grid(str(box_mesh[0]))
    g.refineAllElements(1)
    return g


@pytest.mark.parametrize("order", [0, 1, 2, 3])
def test_values_at_nodes_are_the_interpolated_function(grid, order):
    u = _pymosk.Dof(grid, "P", order, dim=3, udf=lambda p: cubic(np.array([p]))[0].tolist())
    values, xyz = u.getValues(), u.getNodeCoordinates()
    assert values.shape == (u.getSize(),) and xyz.shape == (u.getSize(), 3)
    assert values.dtype == xyz.dtype == np.float64
    # Rows repeat for the components of a node, component k of node n sits at 3 n + k.
    assert np.array_equal(xyz[0::3], xyz[1::3]) and np.array_equal(xyz[0::3], xyz[2::3])
    assert np.allclose(values.reshape(-1, 3), cubic(xyz[0::3]), rtol=0, atol=1e-12)
    # The element's values through a map over the field.
    m = _pymosk.Map(u)
    for e in list(grid.getElementIterator())[:50]:
        first = np.array(e.getGlobalIndex(m))
        nodes = xyz[first]
        assert np.allclose(values[first + 2], nodes.sum(axis=1), atol=1e-12)
        if order:  # the element's vertices are its first four nodes
            j = np.array(grid.geomGetJacobian(e)).reshape(4, 4)
            bary = nodes[:4] @ j[:, :3].T + j[:, 3]
            assert np.allclose(bary, np.eye(4), atol=1e-9)


def test_p1_nodes_and_values_agree_with_the_exported_file(grid, tmp_path):
    u = _pymosk.Dof(grid, "P", 1, name="u", udf=lambda p: [p[0] - 2 * p[2]])
    grid.exportVTK(str(tmp_path / "u.vtu"), u)
    m = meshio.read(tmp_path / "u.vtu")
    assert np.array_equal(m.points, u.getNodeCoordinates())
    assert np.array_equal(m.point_data["u"].ravel(), u.getValues())


def test_set_values_round_trips_and_refuses_bad_input(grid):
    u = _pymosk.Dof(grid, "P", 2, dim=2)
    rng = np.random.default_rng(3)
    values = rng.standard_normal(u.getSize())
    u.setValues(values)
    got = u.getValues()
    assert np.array_equal(got, values)
    got[0] = 99.0  # a copy, not a view of the field
    assert u.getValues()[0] == values[0]
    u.setValues(values.tolist())
    u.setValues(np.arange(u.getSize(), dtype=np.int32))
    assert np.array_equal(u.getValues(), np.arange(u.getSize()))
    before = u.getValues()
    for bad in (values[:-1], np.append(values, 1.0), values.reshape(2, -1), 1.0):
        with pytest.raises(ValueError, match="Dof.setValues"):
            u.setValues(bad)
    for special in (np.nan, np.inf, -np.inf):
        bad = values.copy()
        bad[-1] = special
        with pytest.raises(ValueError, match="not finite"):
            u.setValues(bad)
    with pytest.raises(TypeError):
        u.setValues(values + 1j)
    with pytest.raises(ValueError, match="not finite"):
        u.setValues(np.full(u.getSize(), np.nan), whole=True)
    assert np.array_equal(u.getValues(), before)


def test_one_process_holds_every_value_in_the_global_numbering(grid):
    u = _pymosk.Dof(grid, "P", 2, dim=2, udf=lambda p: [p[0], p[1] * p[2]])
    n = u.getSize()
    assert u.getLocalSize() == n
    assert np.array_equal(u.getGlobalIndices(), np.arange(n))
    assert u.getOwnedMask().all() and u.getOwnedMask().dtype == np.bool_
    assert np.array_equal(u.getValues(whole=True), u.getValues())
    assert np.array_equal(u.getNodeCoordinates(whole=True), u.getNodeCoordinates())
    u.setValues(np.arange(n) * 0.5, whole=True)
    assert np.array_equal(u.getValues(), np.arange(n) * 0.5)


def test_set_values_carry_through_refinement(box_mesh):
    g = _pymosk.Grid(str(box_mesh[0]))
    u = _pymosk.Dof(g, "P", 2)
    x = u.getNodeCoordinates()
    u.setValues(x[:, 0] * x[:, 1] + x[:, 2])  # in P2: kept exactly by refinement
    g.refineAllElements(1)
    x = u.getNodeCoordinates()
    assert np.allclose(u.getValues(), x[:, 0] * x[:, 1] + x[:, 2], atol=1e-12)
