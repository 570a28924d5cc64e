"""Reads the bundled cube, refines it, walks its elements and writes the grid as VTK.

    python examples/refine_and_export.py [mesh] [levels]
    mpirun -np N python examples/refine_and_export.py ...   (each process refines its part)
"""
import os
import pathlib
import sys
import time

from mpi4py import MPI

import _pymosk

root = pathlib.Path(__file__).resolve().parents[1]
mesh = sys.argv[1] if len(sys.argv) > 1 else str(root / "meshes" / "cube.msh")
levels = int(sys.argv[2]) if len(sys.argv) > 2 else 2
out = root / "out"
first = _pymosk.getProcessNumber() == 0  # the one process that prints
if first:
    out.mkdir(exist_ok=True)

grid = _pymosk.Grid(mesh)
if first:
    print(f"read {mesh}: {grid.getGlobalNumElements()} elements")
t = time.perf_counter()
grid.balance(1.05)  # each process keeps its part of the coarse grid
grid.refineAllElements(levels)  # and refines that part alone
grid.balance(1.05)  # even again, should refinement have left the parts uneven
seconds = time.perf_counter() - t
# Each process walks its own elements: the volume is the sum over the processes.
volume = MPI.COMM_WORLD.allreduce(sum(grid.geomGetVolume(e) for e in grid.getElementIterator()))
target = out / "cube.vtu"
grid.exportVTK(str(target))  # written whole by process 0
if first:
    print(f"refined {levels} levels: {grid.getGlobalNumElements()} elements ({seconds:.3f} s)")
    print(f"volume: {volume:.12g}")
    print(f"wrote {target} ({os.path.getsize(target)} bytes)")
