"""Collective calls that fail on one process only: python failures.py MESH OUT_DIR [abort|exit].

Each case makes process 1 (or the last) fail alone; every process must raise the same error and
go on (the next collective call would hang otherwise). With "abort", the last process raises an
uncaught exception, with "exit" it calls sys.exit(7), and the whole job must end."""
import json
import os
import pathlib
import resource
import sys

import numpy as np

import _pymosk  # before mpi4py here: either order must work
from mpi4py import MPI

mesh, out = sys.argv[1], pathlib.Path(sys.argv[2])
comm = MPI.COMM_WORLD
rank, last = comm.Get_rank(), comm.Get_size() - 1
if len(sys.argv) > 3:
    if rank == last and sys.argv[3] == "exit":
        sys.exit(7)
    if rank == last:
        raise RuntimeError("a failure on one process")
    comm.Barrier()  # never passed: the job ends first
    sys.exit(0)

grid = _pymosk.Grid(mesh)
results = {"where": [_pymosk.getProcessNumber() == rank,
                     _pymosk.getNumProcesses() == comm.Get_size()]}


def attempt(name, action):
    try:
        action()
        results[name] = "ok"
    except Exception as error:  # noqa: BLE001 - the type and text are what is compared
        results[name] = f"{type(error).__name__}: {error}"


def udf(p):
    if rank == last and p[0] > 0.5:
        raise ValueError("the boundary function fails on the last process")
    return [p[0]]


attempt("field", lambda: _pymosk.Dof(grid, "P", 2, udf=udf, name="g"))
attempt("import", lambda: grid.importFrom(mesh if rank != last else str(out / "missing.msh")))
grid.balance(1.05)  # each process holds its part from here on
attempt("export", lambda: grid.exportVTK(str(out / ("ok.vtu" if rank != 0 else "no/such/dir.vtu"))))
u = _pymosk.Dof(grid, "P", 1, name="u")
values = u.getValues()
values[-1] = float("nan") if rank == last else 1.0
attempt("values", lambda: u.setValues(values))
ones = np.ones(u.getLocalSize())
attempt("length", lambda: u.setValues(ones[:-1] if rank == last else ones))
held = grid.getNumElements()
attempt("refine", lambda: grid.refineAllElements(25))  # too many elements, on every process
results["refine_kept"] = grid.getNumElements() == held

# Memory runs out on the last process in the middle of a refinement: every process raises, the
# grid and its field stay as they were, and the next refinement gives one process's grid. Under
# the address sanitizer a limit on the address space starves the sanitizer's own mappings and its
# allocator aborts instead of failing the allocation, so that run leaves this case out.
if not os.environ.get("MOSK_SANITIZED"):
    carried = _pymosk.Dof(grid, "P", 2, udf=lambda p: [p[0] * p[1]])
    values = carried.getValues()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if rank == last:
        size = int(pathlib.Path("/proc/self/statm").read_text().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + 30 * 2 ** 20, hard))
    attempt("refine_memory", lambda: grid.refineAllElements(5))
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    results["memory_kept"] = (grid.getNumElements() == held
                              and bool(np.array_equal(carried.getValues(), values)))
whole = _pymosk.Grid(mesh)  # on every process, never distributed
whole.refineAllElements(1)
grid.refineAllElements(1)
results["refined_after"] = grid.getGlobalNumElements() == whole.getGlobalNumElements()
results["elements_after"] = grid.getGlobalNumElements()
everyone = comm.allgather(results)
if rank == 0:
    (out / "failures.json").write_text(json.dumps(everyone))
