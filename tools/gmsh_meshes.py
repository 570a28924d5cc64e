"""Meshes written by the gmsh package, for the benchmarks, the tests and the tools.

gmsh runs in a child process (this file run as a script), so that its libraries never share a
process with the module's. Import this file by path (tools/ on sys.path) and call

    write_mesh(path, shape="box", size=(1, 2, 3), h=0.6)            -> number of tetrahedra
    write_meshes([model, ...])                                       -> one count per model

A model is a dict of write_mesh's keywords with `files` in place of one path: a list of dicts
with `path` and, for .msh, `version`, `binary` and `parametric`. The format follows the path's
suffix (.msh, or .mesh for Medit). Shapes:

    box         [0, size[0]] x [0, size[1]] x [0, size[2]]
    ball        radius size[0] about the origin
    structured  the unit cube cut into n^3 cells of 6 tetrahedra each (n = `cells`), without
                meshing: as fast as gmsh can write, for large files
    file        the mesh in the file `source`, as it is (to write it in another format)

Labels of the box and ball surfaces: "tags" (each surface its own tag), "sides" (the box's faces
at the low and high x, y and z are 1..6, named x0 .. z1), "sides+ends" (the same, and the two
x faces in a second group as well, 7, named ends), "one" (every surface 1), "none". The
volume is
always labelled 1 (named `volume_name` if given).
"""
import json
import os
import subprocess
import sys


def write_meshes(models):
    """Writes every file of every model in one gmsh process; returns gmsh's tetrahedron count
    per model (of any order)."""
    # gmsh is not ours: keep a preloaded sanitizer runtime out of its process.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    out = subprocess.run([sys.executable, os.path.abspath(__file__), json.dumps(models)],
                         capture_output=True, text=True, env=env)
    if out.returncode != 0:
        raise RuntimeError(f"gmsh_meshes.py failed ({out.returncode}):\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def write_mesh(path, version=4.1, binary=False, parametric=False, **model):
    """Writes one mesh file (see the keywords of _build) and returns its tetrahedron count."""
    files = [dict(path=str(path), version=version, binary=binary, parametric=parametric)]
    return write_meshes([dict(model, files=files)])[0]


# ---------------------------------------------------------------------------------------------
# The child process: everything below runs with gmsh imported.

def _label_surfaces(gmsh, labels):
    surfaces = [tag for _, tag in gmsh.model.getEntities(2)]
    if labels == "none":
        return
    if labels == "one":
        gmsh.model.addPhysicalGroup(2, surfaces, 1)
        return
    ends = []
    box = gmsh.model.getBoundingBox(-1, -1)
    for tag in surfaces:
        if labels == "tags":
            gmsh.model.addPhysicalGroup(2, [tag], tag)
            continue
        # "sides": by where the face lies in the box, not by the kernel's tag order.
        c = gmsh.model.occ.getCenterOfMass(2, tag)
        lo, hi = box[:3], box[3:]
        axis = max(range(3), key=lambda k: abs(c[k] - (lo[k] + hi[k]) / 2) / (hi[k] - lo[k]))
        upper = c[axis] > (lo[axis] + hi[axis]) / 2
        label = 1 + 2 * axis + (1 if upper else 0)
        gmsh.model.addPhysicalGroup(2, [tag], label)
        gmsh.model.setPhysicalName(2, label, "xyz"[axis] + ("1" if upper else "0"))
        if axis == 0:
            ends.append(tag)
    if labels == "sides+ends":
        gmsh.model.addPhysicalGroup(2, ends, 7)
        gmsh.model.setPhysicalName(2, 7, "ends")


def _structured_cube(gmsh, n):
    import numpy as np
    m = n + 1
    g = np.arange(m, dtype=float) / n
    x, y, z = np.meshgrid(g, g, g, indexing="ij")
    coords = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1).ravel()
    i, j, k = np.meshgrid(np.arange(n), np.arange(n), np.arange(n), indexing="ij")
    base = ((i * m + j) * m + k).ravel()
    step = np.array([m * m, m, 1])
    tets = []
    # The six tetrahedra of a cell, one per path from its first to its last corner, positively
    # oriented.
    for perm, odd in (((0, 1, 2), 0), ((0, 2, 1), 1), ((1, 0, 2), 1),
                      ((1, 2, 0), 0), ((2, 0, 1), 0), ((2, 1, 0), 1)):
        a = base
        b = a + step[perm[0]]
        c = b + step[perm[1]]
        e = c + step[perm[2]]
        tets.append(np.stack([a, b, e, c] if odd else [a, b, c, e], axis=1))
    # Cell by cell, as mesh generators list neighbours close together: a block of consecutive
    # tetrahedra is then a slab of the cube (listed tetrahedron by tetrahedron, every block would
    # touch every other one).
    tets = np.stack(tets, axis=1).reshape(-1, 4) + 1
    gmsh.model.addDiscreteEntity(3, 1)
    gmsh.model.mesh.addNodes(3, 1, np.arange(1, m ** 3 + 1), coords)
    gmsh.model.mesh.addElementsByType(1, 4, [], tets.ravel())
    gmsh.model.addPhysicalGroup(3, [1], 1)


def _build(gmsh, shape="box", size=(1.0, 1.0, 1.0), h=0.4, h_min=None, order=1, labels="tags",
           volume_name=None, cells=8, source=None):
    if shape == "file":
        gmsh.merge(source)
        return
    if shape == "structured":
        _structured_cube(gmsh, cells)
        return
    if shape == "box":
        gmsh.model.occ.addBox(0, 0, 0, *size)
    elif shape == "ball":
        gmsh.model.occ.addSphere(0, 0, 0, size[0])
    else:
        raise ValueError(f"unknown shape {shape!r}")
    gmsh.model.occ.synchronize()
    _label_surfaces(gmsh, labels)
    gmsh.model.addPhysicalGroup(3, [t for _, t in gmsh.model.getEntities(3)], 1)
    if volume_name:
        gmsh.model.setPhysicalName(3, 1, volume_name)
    gmsh.option.setNumber("Mesh.MeshSizeMax", h)
    if h_min is not None:
        gmsh.option.setNumber("Mesh.MeshSizeMin", h_min)
    gmsh.model.mesh.generate(3)
    if order > 1:
        gmsh.model.mesh.setOrder(order)


def _write(gmsh, files):
    for f in files:
        if f["path"].endswith(".msh"):
            gmsh.option.setNumber("Mesh.MshFileVersion", f.get("version", 4.1))
            gmsh.option.setNumber("Mesh.Binary", 1 if f.get("binary") else 0)
            gmsh.option.setNumber("Mesh.SaveParametric", 1 if f.get("parametric") else 0)
        gmsh.write(f["path"])


def _main(models):
    import gmsh
    gmsh.initialize(interruptible=False)
    gmsh.option.setNumber("General.Terminal", 0)
    gmsh.option.setNumber("General.NumThreads", 1)  # the same mesh on every run
    counts = []
    for i, model in enumerate(models):
        gmsh.model.add(f"m{i}")
        files = model.pop("files")
        _build(gmsh, **model)
        _, tags, _ = gmsh.model.mesh.getElements(3)
        counts.append(sum(len(t) for t in tags))
        _write(gmsh, files)
        gmsh.model.remove()
    gmsh.finalize()
    print(json.dumps(counts))


if __name__ == "__main__":
    _main(json.loads(sys.argv[1]))
