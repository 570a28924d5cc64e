"""The same scripts under mpirun with 2 and 3 processes, checked against one process: exports,
counts, partition, every solver kind, collective failures, and a raising process ending the job.
Every run has a timeout: a hang fails the test."""
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import meshio
import numpy as np
import pytest

from conftest import MESHES

SCRIPTS = pathlib.Path(__file__).resolve().parent / "mpi"
MESH = str(MESHES / "cube.msh")
KINDS = ["cg", "gmres", "bicgstab", "lu", "petsc"]
MPIRUN = shutil.which("mpirun")


def run(script, *args, processes=1, timeout=240, env=None):
    command = [sys.executable, str(SCRIPTS / script), *map(str, args)]
    if processes > 1:
        command = [MPIRUN, "--allow-run-as-root", "--oversubscribe", "-np", str(processes),
                   *command]
    env = dict(os.environ, OMPI_MCA_rmaps_base_oversubscribe="1", **(env or {}))
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env)


def road(tmp_path_factory, order, processes):
    out = tmp_path_factory.mktemp(f"road-p{order}-n{processes}")
    done = run("road.py", MESH, order, out, processes=processes)
    assert done.returncode == 0, done.stderr[-3000:]
    return out, json.loads((out / "summary.json").read_text())


@pytest.fixture(scope="module")
def serial(tmp_path_factory):
    return {order: road(tmp_path_factory, order, 1) for order in (1, 2)}


def by_coordinates(mesh):
    """The order of a file's points by their coordinates, its cells as sorted point ranks in that
    order (sorted), and the order of the cells: two files of one grid agree in these orders."""
    order = np.lexsort(mesh.points.T[::-1])
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    corners = np.sort(rank[mesh.cells[0].data], axis=1)
    cell_order = np.lexsort(corners.T[::-1])
    return order, corners[cell_order], cell_order


def residual(text):
    return float(re.search(r"residual (\S+)", text).group(1))


def matlab_entries(path):
    """The stored values of a MATLAB dump (matrix triplets or vector entries)."""
    rows = [line.split() for line in path.read_text().splitlines()
            if line and line[0] in "-0123456789"]
    return np.array([float(r[-1]) for r in rows]), rows


@pytest.mark.skipif(MPIRUN is None, reason="mpirun is not installed")
@pytest.mark.parametrize("order,processes", [(1, 2), (2, 3), (2, 2), (1, 3)])
def test_road_on_several_processes_gives_the_serial_answer(serial, tmp_path_factory, order,
                                                            processes):
    ref_dir, ref = serial[order]
    out, got = road(tmp_path_factory, order, processes)
    n = got["global_elements"]
    # Counts add up; the partition is balanced and every element is walked exactly once.
    assert got["global_elements"] == ref["global_elements"]
    assert sum(got["elements"]) == n and sum(got["elements_before_balance"]) == n
    assert max(got["elements"]) <= max(1.05 * n / processes, -(-n // processes))
    assert got["walked_once"]
    assert got["boundary_walk"] == ref["boundary_walk"] and len(ref["boundary_walk"]) > 0
    assert sum(got["map_sizes"]) == got["map_global_size"] == ref["map_global_size"]
    assert got["dof_size"] == ref["dof_size"]
    assert all(got["arrays_ok"]) and got["own_rtol"] == ["1e-09"] * processes
    assert got["reassembled"] < 1e-6  # a solve at rtol 1e-9 against one at 1e-10

    reference = meshio.read(ref_dir / "cg.vtu")
    ref_points, ref_cells, _ = by_coordinates(reference)
    scale = np.abs(reference.point_data["u"]).max()
    for kind in KINDS:
        reprs = got["solvers"][kind]["repr"]
        assert len(set(reprs)) == 1, reprs  # iterations and residual agree on every process
        assert residual(reprs[0]) < 1e-8
        # The whole grid in one file, put together from the processes' pieces: the serial file
        # up to the order of points and cells.
        mesh = meshio.read(out / f"{kind}.vtu")
        points, cells, _ = by_coordinates(mesh)
        assert np.array_equal(mesh.points[points], reference.points[ref_points])
        assert np.array_equal(cells, ref_cells)
        assert np.array_equal(mesh.point_data["f"][points], reference.point_data["f"][ref_points])
        u_error = mesh.point_data["u"][points] - reference.point_data["u"][ref_points]
        assert np.abs(u_error).max() < 1e-7 * scale

    # Written after the second "cg" solve (rtol 1e-9), on both sides, with cell data.
    legacy, legacy_reference = meshio.read(out / "cg.vtk"), meshio.read(ref_dir / "cg.vtk")
    points, cells, cell_order = by_coordinates(legacy)
    ref_legacy = by_coordinates(legacy_reference)
    assert np.array_equal(cells, ref_legacy[1])
    u_error = legacy.point_data["u"][points] - legacy_reference.point_data["u"][ref_legacy[0]]
    assert np.abs(u_error).max() < 1e-6 * scale
    assert np.array_equal(legacy.cell_data["cells"][0][cell_order],
                          legacy_reference.cell_data["cells"][0][ref_legacy[2]])
    reference_u = legacy_reference.point_data["u"].ravel()

    # The dump holds the whole system, in the global numbering (a permutation of the serial one).
    for name in ["A.m", "b.m"]:
        values, rows = matlab_entries(out / name)
        ref_values, ref_rows = matlab_entries(ref_dir / name)
        assert len(rows) == len(ref_rows) > 0
        assert np.allclose(np.sort(values), np.sort(ref_values), rtol=1e-12, atol=1e-12)

    # .pvtu: one piece per process with its elements and a cell array of the owner.
    index = ET.parse(out / "cg.pvtu").getroot()
    pieces = [p.get("Source") for p in index.iter("Piece")]
    assert pieces == [f"cg_{p}.vtu" for p in range(processes)]
    whole = {tuple(x): v for x, v in zip(reference.points, reference_u)}
    counts = []
    for p, name in enumerate(pieces):
        piece = meshio.read(out / name)
        assert set(np.ravel(piece.cell_data["process"][0])) == {p}
        counts.append(len(piece.cells[0].data))
        for x, v in zip(piece.points, piece.point_data["u"]):
            assert np.all(np.abs(whole[tuple(x)] - v) < 1e-6 * scale)
    assert counts == got["elements"]


@pytest.mark.skipif(MPIRUN is None, reason="mpirun is not installed")
@pytest.mark.parametrize("processes", [2, 3])
def test_a_failure_on_one_process_is_raised_on_every_process(tmp_path, processes):
    done = run("failures.py", MESH, tmp_path, processes=processes)
    assert done.returncode == 0, done.stderr[-3000:]
    everyone = json.loads((tmp_path / "failures.json").read_text())
    first = everyone[0]
    assert all(r == first for r in everyone), everyone
    assert first["field"].startswith("ValueError: ") and "last process" in first["field"]
    assert first["import"].startswith("FileNotFoundError")
    assert first["export"].startswith("FileNotFoundError")
    assert first["elements_after"] > 0  # the grid stayed as it was on every process
    assert first["where"] == [True, True]  # the module's process number and count are MPI's


@pytest.mark.skipif(MPIRUN is None, reason="mpirun is not installed")
def test_an_uncaught_exception_on_one_process_ends_the_job(tmp_path):
    done = run("failures.py", MESH, tmp_path, "abort", processes=3, timeout=120)
    assert done.returncode != 0
    assert "a failure on one process" in done.stderr


@pytest.mark.skipif(MPIRUN is None, reason="mpirun is not installed")
@pytest.mark.parametrize("processes", [2, 3])
def test_a_failing_exit_on_one_process_ends_the_job_with_its_status(tmp_path, processes):
    done = run("failures.py", MESH, tmp_path, "exit", processes=processes, timeout=120)
    assert done.returncode == 7, done.stderr[-3000:]


def time_steps(out, processes):
    """reuse.py's last solutions of "lu" and "cg" (rows x, y, z, u sorted by node), after
    checking every process's log: the two solves after zeroRHS kept the first one's set-up."""
    done = run("reuse.py", MESH, out, processes=processes, env={"MOSK_OPTIONS": "-verbosity 1"})
    assert done.returncode == 0, done.stderr[-3000:]
    for rank in range(processes):
        log = (out / f"log{rank}.txt").read_text()
        solves = re.findall(r"solve \((\w+), [^,]+, (set up|set-up kept)\)", log)
        assert solves == [(kind, step) for kind in ("lu", "cg")
                          for step in ("set up", "set-up kept", "set-up kept")], log
    results = [np.load(out / f"{kind}.npy") for kind in ("lu", "cg")]
    return [r[np.lexsort(r[:, :3].T)] for r in results]


@pytest.mark.skipif(MPIRUN is None, reason="mpirun is not installed")
@pytest.mark.parametrize("processes", [2, 3])
def test_an_unchanged_matrix_keeps_its_set_up_on_every_process(tmp_path, processes):
    (tmp_path / "serial").mkdir()
    (tmp_path / "parallel").mkdir()
    serial = time_steps(tmp_path / "serial", 1)
    for got, ref in zip(time_steps(tmp_path / "parallel", processes), serial):
        assert np.array_equal(got[:, :3], ref[:, :3])
        assert np.abs(got[:, 3] - ref[:, 3]).max() < 1e-8 * np.abs(ref[:, 3]).max()


def test_element_blocks_assemble_the_element_path_system_on_several_processes(tmp_path):
    runs = {}
    for processes in (1, 2, 3):
        out = tmp_path / str(processes)
        out.mkdir()
        done = run("element_blocks.py", MESH, out, processes=processes)
        assert done.returncode == 0, done.stderr[-3000:]
        gaps = json.loads((out / "summary.json").read_text())
        assert len(gaps) == 4 and all(g is not None and g <= 1e-14 for g in gaps.values()), gaps
        runs[processes] = meshio.read(out / "u.vtu").point_data["u"].ravel()
    scale = np.abs(runs[1]).max()
    for processes in (2, 3):
        assert np.abs(runs[processes] - runs[1]).max() < 1e-9 * scale

