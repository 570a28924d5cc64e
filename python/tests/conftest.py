"""Shared fixtures: meshes made by the gmsh package (in a subprocess, so that its libraries never
share a process with the module's)."""
import json
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
MESHES = ROOT / "meshes"

_GMSH_SCRIPT = r"""
import json, sys
import gmsh
params = json.loads(sys.argv[1])
gmsh.initialize(interruptible=False)
gmsh.option.setNumber("General.Terminal", 0)
gmsh.model.add("m")
if params["shape"] == "box":
    gmsh.model.occ.addBox(0, 0, 0, *params["size"])
else:
    gmsh.model.occ.addSphere(0, 0, 0, params["size"][0])
gmsh.model.occ.synchronize()
for dim, tag in gmsh.model.getEntities(2):
    gmsh.model.addPhysicalGroup(2, [tag], tag)
gmsh.model.addPhysicalGroup(3, [t for _, t in gmsh.model.getEntities(3)], 1)
gmsh.option.setNumber("Mesh.MeshSizeMax", params["h"])
gmsh.option.setNumber("Mesh.MeshSizeMin", params["h"] / 2)
gmsh.model.mesh.generate(3)
if params["path"].endswith(".msh"):
    gmsh.option.setNumber("Mesh.MshFileVersion", params["version"])
    gmsh.option.setNumber("Mesh.Binary", 1 if params["binary"] else 0)
gmsh.write(params["path"])
types, tags, _ = gmsh.model.mesh.getElements(3)
ntet = sum(len(t) for ty, t in zip(types, tags) if ty == 4)
gmsh.finalize()
print(json.dumps({"tets": ntet}))
"""


def make_mesh(path, shape="box", size=(1.0, 1.0, 1.0), h=0.4, version=4.1, binary=False):
    """Writes a mesh of a box (size = edge lengths) or a ball (size[0] = radius) with gmsh and
    returns the number of tetrahedra gmsh made. Surfaces carry physical labels = their tags."""
    import os
    params = dict(path=str(path), shape=shape, size=list(size), h=h, version=version, binary=binary)
    # gmsh is not ours: keep a preloaded sanitizer runtime out of its process.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    out = subprocess.run([sys.executable, "-c", _GMSH_SCRIPT, json.dumps(params)],
                         capture_output=True, text=True, check=True, env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])["tets"]


@pytest.fixture(scope="session")
def box_mesh(tmp_path_factory):
    """A gmsh box 1 x 2 x 3 in MSH 4.1 ASCII: (path, number of tets)."""
    path = tmp_path_factory.mktemp("meshes") / "box.msh"
    return path, make_mesh(path, size=(1.0, 2.0, 3.0), h=0.6)


def run_python(code, env=None, timeout=120):
    """Runs code in a fresh interpreter that can import the module; returns the finished process."""
    import os
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=full_env, timeout=timeout)
