"""Grid.exportVTK: the files are read back with meshio and compared with meshio's own reading of
the mesh file the grid was imported from."""
import errno

import meshio
import numpy as np
import pytest

import _pymosk
from conftest import make_mesh


def tets_of(mesh):
    """The tetrahedra of an export, which holds nothing else."""
    assert [c.type for c in mesh.cells] == ["tetra"]
    return mesh.cells[0].data


def assert_same_mesh(out, ref):
    """out (an export) holds exactly ref's tetrahedra and the vertices they use, bit for bit."""
    ref_tets = np.concatenate([c.data for c in ref.cells if c.type == "tetra"])
    used = np.unique(ref_tets)
    assert out.points.shape == (len(used), 3)
    where = {tuple(p): i for i, p in zip(used, ref.points[used])}
    mapping = np.array([where[tuple(p)] for p in out.points])  # KeyError: a foreign point
    assert len(set(mapping.tolist())) == len(used)
    out_tets = tets_of(out)
    got = sorted(tuple(sorted(t)) for t in mapping[out_tets].tolist())
    want = sorted(tuple(sorted(t)) for t in ref_tets.tolist())
    assert got == want


def volumes(mesh):
    p = mesh.points[tets_of(mesh)]
    return np.linalg.det(p[:, 1:] - p[:, :1]) / 6


@pytest.fixture(scope="module")
def two_boxes(tmp_path_factory):
    d = tmp_path_factory.mktemp("export-meshes")
    coarse, fine = d / "coarse.msh", d / "fine.msh"
    make_mesh(coarse, size=(1.0, 0.6, 0.4), h=0.3)
    make_mesh(fine, size=(1.0, 0.6, 0.4), h=0.15)
    return coarse, fine


class TestExportedGrid:
    @pytest.mark.parametrize("name", ["grid.vtu", "grid.vtk", "GRID.VTU"])
    def test_same_points_and_cells_as_the_mesh_file(self, two_boxes, tmp_path, name):
        msh = two_boxes[0]
        g = _pymosk.Grid(str(msh))
        target = tmp_path / name
        g.exportVTK(str(target))
        out = meshio.read(target, file_format="vtu" if name.lower().endswith(".vtu") else "vtk")
        assert len(tets_of(out)) == g.getNumElements()
        assert_same_mesh(out, meshio.read(msh))
        # Element vertex order is kept: every cell positively oriented, filling the box.
        vol = volumes(out)
        assert np.all(vol > 0)
        assert vol.sum() == pytest.approx(1.0 * 0.6 * 0.4, rel=1e-12)

    def test_export_replaces_an_earlier_one(self, two_boxes, tmp_path):
        coarse, fine = two_boxes
        target = tmp_path / "run.vtu"
        _pymosk.Grid(str(fine)).exportVTK(str(target))
        _pymosk.Grid(str(coarse)).exportVTK(str(target))
        assert_same_mesh(meshio.read(target), meshio.read(coarse))
        assert [p.name for p in tmp_path.iterdir()] == ["run.vtu"]


class TestExportErrors:
    """An empty grid is enough here: the errors concern the path."""

    def test_missing_directory(self, tmp_path):
        target = tmp_path / "missing" / "out.vtu"
        with pytest.raises(FileNotFoundError) as err:
            _pymosk.Grid().exportVTK(str(target))
        assert err.value.errno == errno.ENOENT
        assert str(target) in str(err.value)

    def test_directory_as_target(self, tmp_path):
        (tmp_path / "out.vtk").mkdir()
        with pytest.raises(IsADirectoryError) as err:
            _pymosk.Grid().exportVTK(str(tmp_path / "out.vtk"))
        assert err.value.errno == errno.EISDIR
        assert list((tmp_path / "out.vtk").iterdir()) == []

    @pytest.mark.parametrize("name", ["out.txt", "out", "out.vtu.gz"])
    def test_unknown_extension(self, tmp_path, name):
        with pytest.raises(ValueError) as err:
            _pymosk.Grid().exportVTK(str(tmp_path / name))
        text = str(err.value)
        assert name in text and ".vtk" in text and ".vtu" in text
        assert list(tmp_path.iterdir()) == []

    def test_failed_export_keeps_the_old_file(self, tmp_path):
        target = tmp_path / "keep.vtu"
        target.write_text("old")
        with pytest.raises(ValueError):
            _pymosk.Grid().exportVTK(str(target) + ".bak")
        assert target.read_text() == "old"
        assert [p.name for p in tmp_path.iterdir()] == ["keep.vtu"]

    def test_two_fields_of_one_name_are_refused(self, tmp_path):
        from conftest import MESHES
        g = _pymosk.Grid(str(MESHES / "cube.msh"))
        u, v = _pymosk.Dof(g, "P", 1, name="u"), _pymosk.Dof(g, "P", 0, name="u")
        for name in ("x.vtu", "x.vtk"):
            with pytest.raises(ValueError, match="'u'"):
                g.exportVTK(str(tmp_path / name), [u, v])
        assert list(tmp_path.iterdir()) == []
