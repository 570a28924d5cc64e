"""Shared fixtures: meshes made by the gmsh package (in a subprocess, so that its libraries never
share a process with the module's)."""
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import _pymosk

ROOT = pathlib.Path(__file__).resolve().parents[2]
MESHES = ROOT / "meshes"
sys.path.insert(0, str(ROOT / "tools"))
from gmsh_meshes import write_mesh, write_meshes  # noqa: E402

# Child interpreters the tests start import the module this run imports (found through pytest's
# `pythonpath` setting, or PYTHONPATH).
os.environ["PYTHONPATH"] = os.pathsep.join(
    p for p in (os.path.dirname(_pymosk.__file__), os.environ.get("PYTHONPATH")) if p)


def matlab_entries(path):
    """The stored values of a MATLAB dump (matrix triplets or vector entries) and the lines'
    words (their positions first)."""
    rows = [line.split() for line in path.read_text().splitlines()
            if line and line[0] in "-0123456789"]
    return np.array([float(r[-1]) for r in rows]), rows


def make_mesh(path, shape="box", size=(1.0, 1.0, 1.0), h=0.4, version=4.1, binary=False):
    """Writes a mesh of a box (size = edge lengths) or a ball (size[0] = radius) with gmsh and
    returns the number of tetrahedra gmsh made. Surfaces carry physical labels = their tags."""
    return write_mesh(path, shape=shape, size=size, h=h, h_min=h / 2, version=version,
                      binary=binary)


@pytest.fixture(scope="session")
def box_mesh(tmp_path_factory):
    """A gmsh box 1 x 2 x 3 in MSH 4.1 ASCII: (path, number of tets)."""
    path = tmp_path_factory.mktemp("meshes") / "box.msh"
    return path, make_mesh(path, size=(1.0, 2.0, 3.0), h=0.6)


def run_python(code, env=None, timeout=120):
    """Runs code in a fresh interpreter that can import the module; returns the finished process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=full_env, timeout=timeout)
