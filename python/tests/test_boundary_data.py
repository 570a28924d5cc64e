"""Boundary labels, per-field Dirichlet labels, face integrals (Neumann and Robin data) and .pvd
time series, serially and under mpirun with 2 and 3 processes (python/tests/mpi/boundary_data.py),
on the unit cube whose sides are labelled 1..6 and whose sides x=0 and x=1 are in group 7 too."""
import json
import re
import xml.etree.ElementTree as ET

import meshio
import numpy as np
import pytest

import _pymosk
from conftest import run_python, write_meshes
from test_parallel import MPIRUN, run

LAYOUTS = {"2.2": dict(version=2.2), "2.2-binary": dict(version=2.2, binary=1),
           "4.1": dict(version=4.1), "4.1-binary": dict(version=4.1, binary=1), "medit": {}}


@pytest.fixture(scope="module")
def meshes(tmp_path_factory):
    d = tmp_path_factory.mktemp("labelled")
    cube = [dict(path=str(d / f"cube-{k}.{'mesh' if k == 'medit' else 'msh'}"), **v)
            for k, v in LAYOUTS.items()]
    curved = [dict(path=str(d / f"order{p}.mesh")) for p in (2, 3)]
    write_meshes([dict(shape="box", h=0.5, labels="sides+ends", files=cube)] +
                 [dict(shape="box", h=0.7, labels="sides", order=p, files=[f])
                  for p, f in zip((2, 3), curved)])
    # A Medit file names a triangle of two groups once per group.
    medit = d / "cube-medit.mesh"
    text = medit.read_text()
    head, rest = text.split(" Triangles\n", 1)
    count, rest = rest.split("\n", 1)
    rows, tail = rest.split("\n", int(count))[:-1], rest.split("\n", int(count))[-1]
    ends = [r.rsplit(" ", 1)[0] + " 7" for r in rows if r.split()[-1] in ("1", "2")]
    medit.write_text(head + f" Triangles\n {int(count) + len(ends)}\n" +
                     "\n".join(rows + ends) + "\n" + tail)
    return d


def dirichlet_nodes(grid, u):
    """The coordinates of the nodes getDirichletBC marks, over this process's elements."""
    x, index = u.getNodeCoordinates(), _pymosk.Map(u)
    marked = set()
    for e in grid.getElementIterator():
        mask, _ = e.getDirichletBC(u, lambda p: [0.0])
        marked.update(tuple(x[i]) for i, m in zip(index.getGlobalIndex(e), mask) if m)
    return np.array(sorted(marked))


@pytest.mark.parametrize("layout", LAYOUTS)
def test_a_face_in_two_groups_is_found_by_either_label(meshes, layout):
    grid = _pymosk.Grid(str(meshes / f"cube-{layout}.{'mesh' if layout == 'medit' else 'msh'}"))
    grid.refineAllElements(1)
    assert grid.getBoundaryLabels() == [1, 2, 3, 4, 5, 6, 7]
    seen = {tuple(grid.getFaceLabels(e, i)) for e in grid.getElementIterator() for i in range(4)}
    assert seen == {(), (1, 7), (2, 7), (3,), (4,), (5,), (6,)}
    u = _pymosk.Dof(grid, "P", 2)
    everywhere = dirichlet_nodes(grid, u)
    for labels, planes in (([7], (0, 1)), ([1], (0,)), ([2, 1], (0, 1))):
        u.setDirichletLabels(labels)
        x = dirichlet_nodes(grid, u)[:, 0]
        assert set(np.round(x, 12)) == set(planes), labels
    u.setDirichletLabels(None)  # the whole boundary again
    assert np.array_equal(dirichlet_nodes(grid, u), everywhere)


def test_an_unknown_dirichlet_label_names_the_labels_there_are(meshes):
    grid = _pymosk.Grid(str(meshes / "cube-4.1.msh"))
    u = _pymosk.Dof(grid, "P", 1)
    u.setDirichletLabels([3])
    before = dirichlet_nodes(grid, u)
    with pytest.raises(ValueError, match=r"label 9\b.*1, 2, 3, 4, 5, 6, 7"):
        u.setDirichletLabels([3, 9])
    assert np.array_equal(dirichlet_nodes(grid, u), before)  # the choice stayed
    e = next(iter(grid.getElementIterator()))
    with pytest.raises(IndexError):
        grid.getFaceLabels(e, 4)
    assert grid.getElementLabel(e) == 1


@pytest.mark.parametrize("order", [1, 2, 3])
def test_face_integrals_are_exact_to_twice_the_order(meshes, order):
    grid = _pymosk.Grid(str(meshes / "cube-4.1.msh"))
    u = _pymosk.Dof(grid, "P", order)
    fy = _pymosk.Dof(grid, "P", order, udf=lambda p: [p[1] ** order])
    fz = _pymosk.Dof(grid, "P", order, udf=lambda p: [p[2] ** order])
    vec = _pymosk.Dof(grid, "P", order, dim=3, udf=lambda p: [1.0, p[1] ** order, -2.0])
    index = _pymosk.Map(u)
    y, z = fy.getValues(), fz.getValues()
    mass = func = dof = 0.0
    vector = np.zeros(3)
    for e in grid.getElementIterator():
        idx = index.getGlobalIndex(e)
        for face in range(4):
            if 2 not in grid.getFaceLabels(e, face):  # the side x = 1
                continue
            mass += y[idx] @ e.quadFaceBasDotBas(u, u, face) @ z[idx]
            func += e.quadFaceFuncTimesBas(lambda p: [p[1] ** order * p[2] ** order], u,
                                           face).sum()
            dof += e.quadFaceDofTimesBas(fy, u, face).sum()
            vector += e.quadFaceDofTimesBas(vec, u, face).sum(axis=1)
            assert e.quadFaceDofTimesBas(vec, u, face).shape == (3, u.getNBas(e))
    exact = 1 / (order + 1) ** 2  # the integral of y^p z^p over the side
    assert mass == pytest.approx(exact, rel=1e-12)
    assert func == pytest.approx(exact, rel=1e-12)
    assert dof == pytest.approx(1 / (order + 1), rel=1e-12)
    assert vector == pytest.approx([1.0, 1 / (order + 1), -2.0], rel=1e-12)


@pytest.fixture(scope="module")
def serial(meshes, tmp_path_factory):
    out = tmp_path_factory.mktemp("boundary-n1")
    done = run("boundary_data.py", meshes / "cube-4.1.msh", out)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads((out / "summary.json").read_text())


def read_step(path):
    """Points and u of one step: a .vtu, or the pieces of a .pvtu."""
    if path.suffix == ".vtu":
        mesh = meshio.read(path)
        return mesh.points, mesh.point_data["u"]
    pieces = [meshio.read(path.parent / p.get("Source"))
              for p in ET.parse(path).getroot().iter("Piece")]
    return (np.concatenate([p.points for p in pieces]),
            np.concatenate([p.point_data["u"] for p in pieces]))


@pytest.mark.parametrize("processes", [1, 2, 3])
def test_neumann_robin_labels_and_series_on_any_number_of_processes(serial, meshes, tmp_path,
                                                                     processes):
    if processes > 1 and MPIRUN is None:
        pytest.skip("mpirun is not installed")
    done = run("boundary_data.py", meshes / "cube-4.1.msh", tmp_path, processes=processes)
    assert done.returncode == 0, done.stderr[-3000:]
    got = json.loads((tmp_path / "summary.json").read_text())
    assert got["labels_right"] == [True] * processes  # after refinement and balance
    assert got["faces_per_label"] == serial["faces_per_label"]
    assert got["boundary_labels"] == [[1, 2, 3, 4, 5, 6, 7]] * processes
    # u = x is in every space: exact to the solver's tolerance.
    assert set(got["errors"]) == {"P1-neumann", "P1-robin", "P2-neumann", "P2-robin"}
    assert max(got["errors"].values()) < 1e-8
    steps = [(float(d.get("timestep")), d.get("file"))
             for d in ET.parse(tmp_path / "series.pvd").getroot().iter("DataSet")]
    suffix = ".vtu" if processes == 1 else ".pvtu"
    assert steps == [(t, f"series_{k:06d}{suffix}") for k, t in enumerate((0.0, 0.5, 1.5))]
    for t, name in steps:
        points, u = read_step(tmp_path / name)
        assert np.abs(u.ravel() - t * points[:, 0]).max() < 1e-8


def test_a_new_run_starts_a_new_series_and_bad_times_are_refused(tmp_path):
    code = f"""
import _pymosk
g = _pymosk.Grid({str(tmp_path / "cube.msh")!r})
u = _pymosk.Dof(g, "P", 1, name="u")
for t in (1.0, 2.0):
    g.exportVTK({str(tmp_path / "s.pvd")!r}, [u], time=t)
for name, t in (("s.pvd", float("nan")), ("s.vtu", 1.0)):
    try:
        g.exportVTK({str(tmp_path)!r} + "/" + name, [u], time=t)
    except ValueError as e:
        print("refused", e)
"""
    from conftest import make_mesh
    make_mesh(tmp_path / "cube.msh", h=0.8)
    for _ in range(2):
        done = run_python(code)
        assert done.returncode == 0, done.stderr
    steps = list(ET.parse(tmp_path / "s.pvd").getroot().iter("DataSet"))
    assert [d.get("timestep") for d in steps] == ["1", "2"]
    assert len(re.findall("refused", done.stdout)) == 2 and not (tmp_path / "s.vtu").exists()


def test_readers_take_curved_medit_cells_by_their_corners_and_name_msh1(meshes, tmp_path):
    for p in (2, 3):
        path = meshes / f"order{p}.mesh"
        grid = _pymosk.Grid(str(path))
        assert grid.getBoundaryLabels() == [1, 2, 3, 4, 5, 6]
        assert sum(grid.geomGetVolume(e) for e in grid.getElementIterator()) == \
            pytest.approx(1.0, rel=1e-12)
        # The same cells under the keyword of their order.
        named = tmp_path / f"named{p}.mesh"
        text = re.sub(r"^ ?(Tetrahedra|Triangles)$", rf"\1P{p}", path.read_text(), flags=re.M)
        assert f"TetrahedraP{p}" in text and f"TrianglesP{p}" in text
        named.write_text(text)
        again = _pymosk.Grid(str(named))
        assert again.getGlobalNumElements() == grid.getGlobalNumElements()
        assert again.getBoundaryLabels() == [1, 2, 3, 4, 5, 6]
    old = tmp_path / "old.msh"
    old.write_text("$NOD\n4\n1 0 0 0\n2 1 0 0\n3 0 1 0\n4 0 0 1\n$ENDNOD\n"
                   "$ELM\n1\n1 4 1 1 4 1 2 3 4\n$ENDELM\n")
    with pytest.raises(ValueError, match="MSH 1 .*not supported"):
        _pymosk.Grid(str(old))


def test_the_option_chooses_for_every_field_and_warns_of_a_missing_label(meshes):
    code = f"""
import _pymosk
g = _pymosk.Grid({str(meshes / "cube-2.2.msh")!r})
u = _pymosk.Dof(g, "P", 1)
x = u.getNodeCoordinates()
def marked():
    index = _pymosk.Map(u)
    return sorted({{round(float(x[i][0]), 12) for e in g.getElementIterator()
                   for i, m in zip(index.getGlobalIndex(e), e.getDirichletBC(u, lambda p: [0])[0])
                   if m}})
print(marked())
u.setDirichletLabels([1])
print(marked())
u.setDirichletLabels(None)
print(marked())
"""
    done = run_python(code, env={"MOSK_OPTIONS": "-dirichlet_labels 2,9"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:3] == ["[1.0]", "[0.0]", "[1.0]"]
    assert "-dirichlet_labels names 9, which no boundary face carries" in done.stderr
