#!/usr/bin/env python3
"""Regenerates the bundled sample meshes in meshes/ with the gmsh package.

  meshes/cube.msh   unit cube [0,1]^3, MSH 4.1 ASCII; physical surfaces 1..6 on the faces
                    x=0, x=1, y=0, y=1, z=0, z=1 and the physical volume 1
  meshes/ball.mesh  ball of radius 1 about the origin, Medit; surface reference 1

Run: .venv/bin/python tools/make_meshes.py [output directory]
"""
import pathlib
import sys

from gmsh_meshes import write_meshes

ROOT = pathlib.Path(__file__).resolve().parents[1]


def main():
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "meshes"
    out.mkdir(parents=True, exist_ok=True)
    cube, ball = out / "cube.msh", out / "ball.mesh"
    counts = write_meshes([
        dict(shape="box", h=0.2, labels="sides", volume_name="cube",
             files=[dict(path=str(cube), version=4.1)]),
        dict(shape="ball", size=(1.0,), h=0.35, labels="one", files=[dict(path=str(ball))])])
    print(f"{cube}: {counts[0]} tetrahedra")
    print(f"{ball}: {counts[1]} tetrahedra")


if __name__ == "__main__":
    main()
