"""Writes small gmsh meshes in every encoding the mesh readers take, as fuzzing seeds:
MSH 2.2 and 4.1 (ASCII and binary, first and second order, with parametric nodes) and Medit.
Usage: fuzz_seed_meshes.py OUTPUT_DIR"""
import os
import sys

import gmsh


def build(shape, h, order):
    gmsh.model.add(f"{shape}{order}")
    if shape == "box":
        volume = gmsh.model.occ.addBox(0, 0, 0, 1, 1, 1)
    else:
        volume = gmsh.model.occ.addSphere(0, 0, 0, 1)
    gmsh.model.occ.synchronize()
    for _, tag in gmsh.model.getEntities(2):
        gmsh.model.addPhysicalGroup(2, [tag], tag)
    gmsh.model.addPhysicalGroup(3, [volume], 1)
    gmsh.option.setNumber("Mesh.MeshSizeMin", h)
    gmsh.option.setNumber("Mesh.MeshSizeMax", h)
    gmsh.model.mesh.generate(3)
    if order > 1:
        gmsh.model.mesh.setOrder(order)


def main(out):
    os.makedirs(out, exist_ok=True)
    gmsh.initialize(["-nopopup"])
    gmsh.option.setNumber("General.Terminal", 0)
    for shape, h, order in (("box", 1.0, 1), ("box", 1.0, 2), ("ball", 1.5, 1)):
        build(shape, h, order)
        stem = os.path.join(out, f"{shape}_o{order}")
        for version in (2.2, 4.1):
            for binary in (0, 1):
                gmsh.option.setNumber("Mesh.MshFileVersion", version)
                gmsh.option.setNumber("Mesh.Binary", binary)
                gmsh.option.setNumber("Mesh.SaveParametric", 0)
                gmsh.write(f"{stem}_v{version}_{'bin' if binary else 'ascii'}.msh")
        gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
        gmsh.option.setNumber("Mesh.Binary", 0)
        gmsh.option.setNumber("Mesh.SaveParametric", 1)
        gmsh.write(f"{stem}_v4.1_parametric.msh")
        gmsh.option.setNumber("Mesh.SaveParametric", 0)
        gmsh.write(f"{stem}.mesh")
        gmsh.model.remove()
    gmsh.finalize()


if __name__ == "__main__":
    main(sys.argv[1])
