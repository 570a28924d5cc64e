"""Writes small gmsh meshes in every encoding the mesh readers take, as fuzzing seeds:
MSH 2.2 and 4.1 (ASCII and binary, first and second order, with parametric nodes) and Medit.
Usage: fuzz_seed_meshes.py OUTPUT_DIR"""
import os
import sys

from gmsh_meshes import write_meshes


def main(out):
    os.makedirs(out, exist_ok=True)
    models = []
    for shape, h, order in (("box", 1.0, 1), ("box", 1.0, 2), ("ball", 1.5, 1)):
        stem = os.path.join(out, f"{shape}_o{order}")
        files = [dict(path=f"{stem}_v{version}_{'bin' if binary else 'ascii'}.msh",
                      version=version, binary=binary)
                 for version in (2.2, 4.1) for binary in (0, 1)]
        files += [dict(path=f"{stem}_v4.1_parametric.msh", parametric=True),
                  dict(path=f"{stem}.mesh")]
        models.append(dict(shape=shape, size=(1.0, 1.0, 1.0), h=h, h_min=h, order=order,
                           files=files))
    write_meshes(models)


if __name__ == "__main__":
    main(sys.argv[1])
