"""Import, start-up and shut-down of the module."""
import glob
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import _pymosk
from conftest import run_python


def test_module_attributes():
    assert _pymosk.__doc__ == "mosk python interface"
    assert type(_pymosk._cleanup).__name__ == "PyCapsule"
    assert _pymosk.utils.__name__ == "_pymosk.utils"
    assert _pymosk.utils.__doc__ is None
    for name in ("Grid", "Element"):
        assert isinstance(getattr(_pymosk, name), type)
    assert isinstance(_pymosk.utils.ElementIterator, type)
    assert (_pymosk.getProcessNumber(), _pymosk.getNumProcesses()) == (0, 1)  # no mpirun


def _other_python(version):
    candidates = sorted(glob.glob(os.path.expanduser(f"~/.pyenv/versions/{version}*/bin/python{version}")))
    candidates += [shutil.which(f"python{version}")]
    for c in candidates:
        if c and "shims" not in c and os.access(c, os.X_OK):
            return c
    return None


@pytest.mark.parametrize("version", ["3.11", "3.13"])
def test_other_interpreter_refuses_the_module(tmp_path, version):
    python = _other_python(version)
    if python is None:
        pytest.skip(f"no Python {version} on this machine")
    # A copy under a name every interpreter looks for; libmosk is found through the build RPATH.
    shutil.copy(_pymosk.__file__, tmp_path / "_pymosk.so")
    proc = subprocess.run(
        [python, "-c", "import _pymosk"], cwd=tmp_path, capture_output=True, text=True,
        env={**os.environ, "PYTHONPATH": str(tmp_path), "MOSK_OPTIONS": "-verbosity 1"})
    assert proc.returncode != 0
    assert "ImportError" in proc.stderr
    assert "mosk: started" not in proc.stderr  # the library was not started


def test_library_shuts_down_once_with_objects_alive_at_exit(box_mesh):
    path, _ = box_mesh
    code = f"""
import _pymosk
g = _pymosk.Grid({str(path)!r})
it = g.getElementIterator()
e = next(iter(it))
cycle = [g, it, e]
cycle.append(cycle)
keep = lambda: (g, it)
"""
    proc = run_python(code, env={"MOSK_OPTIONS": "-verbosity 1"})
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.count("mosk: started") == 1
    assert proc.stderr.count("mosk: shut down") == 1


def test_malformed_library_option_fails_the_import():
    proc = run_python("import _pymosk", env={"MOSK_OPTIONS": "-solver_rtol abc"})
    assert proc.returncode != 0
    assert "ImportError" in proc.stderr and "-solver_rtol" in proc.stderr


def test_unknown_options_go_to_petsc_without_complaint():
    proc = run_python("import _pymosk; g = _pymosk.Grid()",
                      env={"MOSK_OPTIONS": "-ksp_type cg -verbosity 0"})
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""


SOLVE_IDENTITY = """
import _pymosk, sys
g = _pymosk.Grid(sys.argv[1] if len(sys.argv) > 1 else {cube!r})
u = _pymosk.Dof(g, "P", 1)
s = _pymosk.Solver({kind!r}, u)
for i in range(u.getSize()):
    s.addMatrixEntries([i], [i], [2.0])
    s.addRHSEntries([i], [1.0])
s.solve(u)
print("SOLVED", repr(s))
"""


@pytest.mark.parametrize("options, ok, expected", [
    ("-solver pcg -verbosity 1", True, "solve (cg, cg/"),        # an alias names the kind
    ("-solver direct -verbosity 1", True, "solve (lu, preonly/lu"),
    ("-solver pcgx", False, "'pcgx'"),                          # unknown kind: the import fails
    ("-solver default", False, "'default'"),
    ("-solver_rtl 1e-4", False, "-solver_rtl"),                 # misspelt library options
    ("-dirichlet_label 1", False, "-dirichlet_label"),
    ("-verbosity 1 -ksp_monitor", True, "PETSc option -ksp_monitor was never used"),
])
def test_library_options(options, ok, expected):
    from conftest import MESHES
    proc = run_python(SOLVE_IDENTITY.format(cube=str(MESHES / "cube.msh"), kind="nonsense"),
                      env={"MOSK_OPTIONS": options})
    assert (proc.returncode == 0) == ok, proc.stderr
    assert expected in proc.stderr, proc.stderr
    if not ok:
        assert "ImportError" in proc.stderr


def test_readme_monitor_example_prints_the_iterations():
    from conftest import MESHES
    proc = run_python(SOLVE_IDENTITY.format(cube=str(MESHES / "cube.msh"), kind="cg"),
                      env={"MOSK_OPTIONS": "-verbosity 1 -mosk_ksp_monitor"})
    assert proc.returncode == 0, proc.stderr
    assert "KSP Residual norm" in proc.stdout and "never used" not in proc.stderr
