#!/usr/bin/env python3
"""Regenerates the bundled sample meshes in meshes/ with the gmsh package.

  meshes/cube.msh   unit cube [0,1]^3, MSH 4.1 ASCII; physical surfaces 1..6 on the faces
                    x=0, x=1, y=0, y=1, z=0, z=1 and the physical volume 1
  meshes/ball.mesh  ball of radius 1 about the origin, Medit; surface reference 1

Run: .venv/bin/python tools/make_meshes.py [output directory]
"""
import pathlib
import sys

import gmsh

ROOT = pathlib.Path(__file__).resolve().parents[1]


def start(name):
    gmsh.initialize(interruptible=False)
    gmsh.option.setNumber("General.Terminal", 0)
    gmsh.option.setNumber("General.NumThreads", 1)  # the same mesh on every run
    gmsh.model.add(name)


def tet_count():
    types, tags, _ = gmsh.model.mesh.getElements(3)
    return sum(len(t) for ty, t in zip(types, tags) if ty == 4)


def make_cube(path, h=0.2):
    start("cube")
    gmsh.model.occ.addBox(0, 0, 0, 1, 1, 1)
    gmsh.model.occ.synchronize()
    # Label faces by where they lie, not by the kernel's tag order.
    for _, tag in gmsh.model.getEntities(2):
        c = gmsh.model.occ.getCenterOfMass(2, tag)
        axis = max(range(3), key=lambda k: abs(c[k] - 0.5))
        label = 1 + 2 * axis + (1 if c[axis] > 0.5 else 0)
        gmsh.model.addPhysicalGroup(2, [tag], label)
        gmsh.model.setPhysicalName(2, label, "xyz"[axis] + ("1" if c[axis] > 0.5 else "0"))
    gmsh.model.addPhysicalGroup(3, [1], 1)
    gmsh.model.setPhysicalName(3, 1, "cube")
    gmsh.option.setNumber("Mesh.MeshSizeMax", h)
    gmsh.model.mesh.generate(3)
    gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
    gmsh.option.setNumber("Mesh.Binary", 0)
    gmsh.write(str(path))
    n = tet_count()
    gmsh.finalize()
    return n


def make_ball(path, h=0.35):
    start("ball")
    gmsh.model.occ.addSphere(0, 0, 0, 1)
    gmsh.model.occ.synchronize()
    gmsh.model.addPhysicalGroup(2, [t for _, t in gmsh.model.getEntities(2)], 1)
    gmsh.model.addPhysicalGroup(3, [t for _, t in gmsh.model.getEntities(3)], 1)
    gmsh.option.setNumber("Mesh.MeshSizeMax", h)
    gmsh.model.mesh.generate(3)
    gmsh.write(str(path))
    n = tet_count()
    gmsh.finalize()
    return n


def main():
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "meshes"
    out.mkdir(parents=True, exist_ok=True)
    print(f"{out / 'cube.msh'}: {make_cube(out / 'cube.msh')} tetrahedra")
    print(f"{out / 'ball.mesh'}: {make_ball(out / 'ball.mesh')} tetrahedra")


if __name__ == "__main__":
    main()
