"""Mesh import speed: a structured cube of about a million tetrahedra (6 per cell) written by the
gmsh package as MSH 2.2 and 4.1, ASCII and binary, and as Medit .mesh; each file is imported
(read, validated, numbered) by Grid(name). meshio reading the same file is the reference, timed
in the same run. Usage: bench_mesh_read.py [cells per edge, default 56 -> 1,053,696 tets]"""
import os
import sys
import tempfile

import meshio

import _pymosk
from timing import best_of

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from gmsh_meshes import write_meshes  # noqa: E402


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 56
    with tempfile.TemporaryDirectory() as d:
        files = [dict(path=f"{d}/cube_{v}_{'bin' if b else 'ascii'}.msh", version=v, binary=b)
                 for v in (2.2, 4.1) for b in (0, 1)] + [dict(path=f"{d}/cube.mesh")]
        ntet, = write_meshes([dict(shape="structured", cells=n, files=files)])
        print(f"mesh: {ntet} tetrahedra, {(n + 1) ** 3} vertices")
        print(f"{'file':24} {'MB':>7} {'Grid(name) s':>13} {'us/tet':>7} {'meshio s':>9}")
        for name in sorted(os.listdir(d)):
            path = os.path.join(d, name)
            size = os.path.getsize(path) / 1e6
            g = _pymosk.Grid(path)
            assert g.getNumElements() == ntet, (name, g.getNumElements())
            del g
            ours = best_of(3, lambda: _pymosk.Grid(path))
            # meshio's MSH 2.2 binary reader takes minutes on this file: not timed.
            ref = "-"
            if name != "cube_2.2_bin.msh":
                ref = f"{best_of(1, lambda: meshio.read(path)):.2f}"
            print(f"{name:24} {size:7.1f} {ours:13.2f} {1e6 * ours / ntet:7.2f} {ref:>9}",
                  flush=True)


if __name__ == "__main__":
    main()
