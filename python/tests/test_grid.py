"""Grid construction, import, refinement, balancing and counts."""
import re

import pytest

import _pymosk
from conftest import MESHES


def test_empty_grid():
    for g in (_pymosk.Grid(), _pymosk.Grid(""), _pymosk.Grid(name="")):
        assert g.getNumElements() == 0
        assert g.getGlobalNumElements() == 0
        assert list(g.getElementIterator()) == []


def test_import_counts_match_the_mesh_generator(box_mesh):
    path, ntet = box_mesh
    g = _pymosk.Grid(str(path))
    assert g.getNumElements() == ntet
    assert g.getGlobalNumElements() == ntet
    h = _pymosk.Grid()
    h.importFrom(str(path))
    assert h.getNumElements() == ntet


def test_missing_file_raises_file_not_found(tmp_path):
    missing = str(tmp_path / "nowhere.msh")
    with pytest.raises(FileNotFoundError) as err:
        _pymosk.Grid(missing)
    assert "nowhere.msh" in str(err.value)
    g = _pymosk.Grid()
    with pytest.raises(FileNotFoundError):
        g.importFrom("")  # an empty name still reaches the library


def test_failed_import_leaves_the_grid_as_it_was(box_mesh, tmp_path):
    path, ntet = box_mesh
    g = _pymosk.Grid(str(path))
    it = g.getElementIterator()
    bad = tmp_path / "bad.msh"
    bad.write_text("$MeshFormat\n4.1 0 8\n$EndMeshFormat\n$Nodes\n1 3 1 3\n")
    with pytest.raises(ValueError) as err:
        g.importFrom(str(bad))
    assert "bad.msh" in str(err.value)
    assert g.getNumElements() == ntet
    e = it.getElement()
    repr(e)  # elements taken before the failed import are still current


def test_refinement_updates_the_counts(box_mesh):
    path, ntet = box_mesh
    g = _pymosk.Grid(str(path))
    g.refineAllElements(0)
    assert g.getNumElements() == ntet
    g.refineAllElements(1)
    n1 = g.getNumElements()
    assert n1 >= 2 * ntet and g.getGlobalNumElements() == n1
    g.refineAllElements(2)
    assert g.getNumElements() >= 4 * n1
    assert len(list(g.getElementIterator())) == g.getNumElements()


def test_balance_on_one_process_changes_nothing(box_mesh):
    path, ntet = box_mesh
    g = _pymosk.Grid(str(path))
    before = [repr(e) for e in g.getElementIterator()]
    e = next(g.getElementIterator())
    g.balance(1.05)
    assert [repr(x) for x in g.getElementIterator()] == before
    repr(e)


def test_wrong_argument_types():
    g = _pymosk.Grid()
    with pytest.raises(TypeError):
        _pymosk.Grid(3)
    with pytest.raises(TypeError):
        g.refineAllElements("1")
    with pytest.raises(TypeError):
        g.balance("x")
    with pytest.raises(TypeError):
        g.exportVTK("out.vtk", [1, 2])


def test_bundled_meshes_import():
    paths = sorted(MESHES.glob("*.msh")) + sorted(MESHES.glob("*.mesh"))
    assert paths
    for path in paths:
        assert _pymosk.Grid(str(path)).getNumElements() > 0, path


def test_library_errors_read_alike(tmp_path):
    """Errors from reading, geometry, export and balancing: 'mosk: <operation>: <what>', once."""
    grid = _pymosk.Grid(str(MESHES / "cube.msh"))
    element = next(iter(grid.getElementIterator()))
    u, v = _pymosk.Dof(grid, "P", 1, name="u"), _pymosk.Dof(grid, "P", 1, name="u")
    bad = tmp_path / "bad.mesh"
    bad.write_text("MeshVersionFormatted 1\nDimension 3\nVertices\n1\n0 0 nan 1\nEnd\n")
    for action in (lambda: _pymosk.Grid(str(tmp_path / "absent.msh")),
                   lambda: _pymosk.Grid(str(bad)),
                   lambda: grid.geomGetFaceArea(element, 4),
                   lambda: grid.exportVTK(str(tmp_path / "x.vtu"), [u, v]),
                   lambda: grid.balance(0.5)):
        with pytest.raises(Exception) as err:
            action()
        text = getattr(err.value, "strerror", None) or str(err.value)
        assert re.match(r"mosk: [^:]+: \S", text) and text.count("mosk:") == 1, text
