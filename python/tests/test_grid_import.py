"""Grid import through the mesh readers: meshes that the gmsh package writes at test time in
every supported encoding must import with gmsh's own tetrahedron count and the right geometry;
bad files raise the error a user expects, naming the file (and the line)."""
import errno
import math

import meshio
import pytest

import _pymosk
from conftest import MESHES, write_meshes

BOX = (1.0, 2.0, 3.0)
RADIUS = 1.0
FORMATS = [("2.2", 2.2, 0), ("2.2-binary", 2.2, 1), ("4.1", 4.1, 0), ("4.1-binary", 4.1, 1),
           ("medit", None, None)]

SHAPES = {"box": dict(shape="box", size=BOX), "ball": dict(shape="ball", size=(RADIUS,)),
          "box-order2": dict(shape="box", size=BOX, order=2),
          "ball-order3": dict(shape="ball", size=(RADIUS,), order=3)}


@pytest.fixture(scope="module")
def meshes(tmp_path_factory):
    """Directory of the written meshes and gmsh's tetrahedron count per shape (one gmsh run)."""
    d = tmp_path_factory.mktemp("import")
    models = [dict(model, h=0.7, files=[
        dict(path=str(path_of((d, None), shape, label)), version=version, binary=binary)
        for label, version, binary in FORMATS if version is not None or "order" not in shape])
        for shape, model in SHAPES.items()]
    return d, dict(zip(SHAPES, write_meshes(models)))


def total_volume(g):
    return sum(g.geomGetVolume(e) for e in g.getElementIterator())


def path_of(meshes, shape, label):
    d, _ = meshes
    return d / f"{shape}-{label}.{'mesh' if label == 'medit' else 'msh'}"


class TestGmshAndMeditFiles:
    @pytest.mark.parametrize("label", [f[0] for f in FORMATS])
    def test_box_counts_and_volume(self, meshes, label):
        g = _pymosk.Grid(str(path_of(meshes, "box", label)))
        assert g.getNumElements() == meshes[1]["box"]
        assert total_volume(g) == pytest.approx(BOX[0] * BOX[1] * BOX[2], rel=1e-12)

    @pytest.mark.parametrize("label", [f[0] for f in FORMATS])
    def test_ball_counts_and_volume(self, meshes, label):
        g = _pymosk.Grid(str(path_of(meshes, "ball", label)))
        assert g.getNumElements() == meshes[1]["ball"]
        # Inscribed polyhedron: a little less than the ball.
        v = total_volume(g)
        assert 0.85 * 4 / 3 * math.pi < v < 4 / 3 * math.pi

    def test_encodings_give_the_same_grid(self, meshes):
        # Element by element; ASCII files round coordinates to 16 digits, binary ones do not.
        for shape in ("box", "ball"):
            volumes = []
            for label, _, _ in FORMATS:
                g = _pymosk.Grid(str(path_of(meshes, shape, label)))
                volumes.append([g.geomGetVolume(e) for e in g.getElementIterator()])
            for label, v in zip(FORMATS[1:], volumes[1:]):
                assert v == pytest.approx(volumes[0], rel=1e-9), (shape, label[0])

    @pytest.mark.parametrize("shape", ["box-order2", "ball-order3"])
    @pytest.mark.parametrize("label", [f[0] for f in FORMATS[:4]])
    def test_higher_order_tetrahedra_keep_their_corners(self, meshes, shape, label):
        g = _pymosk.Grid(str(path_of(meshes, shape, label)))
        assert g.getNumElements() == meshes[1][shape]
        if shape.startswith("box"):
            assert total_volume(g) == pytest.approx(6.0, rel=1e-12)

    def test_bundled_meshes_match_meshio(self):
        for name in ("cube.msh", "ball.mesh"):
            path = MESHES / name
            ref = sum(len(c.data) for c in meshio.read(path).cells if c.type == "tetra")
            assert _pymosk.Grid(str(path)).getNumElements() == ref, name
        assert total_volume(_pymosk.Grid(str(MESHES / "cube.msh"))) == pytest.approx(1.0)


class TestImportErrors:
    def test_missing_file_and_directory(self, tmp_path):
        with pytest.raises(FileNotFoundError) as err:
            _pymosk.Grid(str(tmp_path / "absent.msh"))
        assert err.value.errno == errno.ENOENT and "absent.msh" in str(err.value)
        with pytest.raises(IsADirectoryError):
            _pymosk.Grid(str(tmp_path))

    @pytest.mark.parametrize("text, line, cause", [
        ("$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n2\n1 0 0 0\n2 0 0 x\n$EndNodes\n", 7,
         "node coordinate"),
        ("$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n1\n1 0 0 0\n$EndNodes\n$Elements\n1\n"
         "1 4 2 0 1 1 1 1 2\n$EndElements\n", 10, "node tag 2"),
        ("$MeshFormat\n4.1 0 8\n$EndMeshFormat\n$Nodes\n1 1000000000000 1 3\n", 5, "exceeds"),
        ("MeshVersionFormatted 1\nDimension 3\nVertices\n1\n0 0 nan 1\nEnd\n", 5, "not finite"),
        ("", 1, "empty"),
        ("MeshVersionFormatted 1\nDimension 3\nVertices\n4\n0 0 0 0\n1 0 0 0\n0 1 0 0\n0 0 1 0\n"
         "Tetrahedra\n2\n1 2 3 4 1\n1 3 2 4 1\nEnd\n", 12, "tetrahedron 2 (1, 3, 2, 4) is inverted"),
        ("$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n4\n1 0 0 0\n2 1 0 0\n3 0 1 0\n4 0 0 1\n"
         "$EndNodes\n$Elements\n1\n1 4 2 1 1 1 2 3 3\n$EndElements\n", 13, "repeats a vertex"),
    ])
    def test_malformed_content_names_file_and_line(self, tmp_path, text, line, cause):
        bad = tmp_path / "bad.msh"
        bad.write_text(text)
        with pytest.raises(ValueError) as err:
            _pymosk.Grid(str(bad))
        message = str(err.value)
        assert f"file '{bad}', line {line}:" in message
        assert cause in message


@pytest.mark.parametrize("name, text", [
    ("hex-tet.msh", "$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n9\n1 0 0 0\n2 1 0 0\n3 1 1 0\n"
     "4 0 1 0\n5 0 0 1\n6 1 0 1\n7 1 1 1\n8 0 1 1\n9 2 0 0\n$EndNodes\n$Elements\n4\n"
     "1 5 2 1 1 1 2 3 4 5 6 7 8\n2 4 2 1 1 2 9 3 6\n3 6 2 1 1 1 2 3 5 6 7\n"
     "4 6 2 1 1 1 3 4 5 7 8\n$EndElements\n"),
    ("hex-tet.mesh", "MeshVersionFormatted 1\nDimension 3\nVertices\n5\n0 0 0 0\n1 0 0 0\n"
     "0 1 0 0\n0 0 1 0\n1 1 1 0\nTetrahedra\n1\n1 2 3 4 1\nHexahedra\n1\n1 2 3 4 5 1 2 3 1\n"
     "Prisms\n2\n1 2 3 4 5 1 1\n1 2 3 4 5 1 1\nEnd\n"),
])
def test_volume_cells_other_than_tetrahedra_are_refused(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    g = _pymosk.Grid()
    with pytest.raises(ValueError) as err:
        g.importFrom(str(path))
    assert str(path) in str(err.value) and "1 hexahedra, 2 prisms" in str(err.value)
    assert g.getNumElements() == 0
