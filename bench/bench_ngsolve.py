"""The reference of the time-to-solution target: NGSolve on the same tetrahedra as the module's
road (bench_parallel.py): -laplace u = 0, u = g on the boundary, P1 or P2, CG with h1amg at rtol
1e-8 on N threads, timed from the mesh in memory to the solution.

NGSolve is not a project dependency; it lives in a venv of its own:

    python3.12 -m venv /tmp/ngvenv && /tmp/ngvenv/bin/pip install ngsolve meshio numpy
    PYTHONPATH=build/dev .venv/bin/python bench/bench_ngsolve.py [--sizes 1e5,1e6] [--order 1]
        [--threads 2]

Run with the project's interpreter, the script writes the refined cube with the module and then
runs itself under $NGSOLVE_PYTHON (default /tmp/ngvenv/bin/python); without it, it says so and
stops. Figures only.
"""
import argparse
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def solve_with_ngsolve(path, threads, order):
    import time

    import meshio
    import netgen.meshing as nm
    import numpy as np
    from ngsolve import (BND, BilinearForm, CGSolver, GridFunction, H1, LinearForm, Mesh,
                         Preconditioner, SetNumThreads, TaskManager, dx, grad, x, y, z)

    SetNumThreads(threads)
    m = meshio.read(path)
    pts = np.ascontiguousarray(m.points, dtype=np.float64)
    tets = np.ascontiguousarray(m.cells_dict["tetra"], dtype=np.int32)
    n = len(pts)
    # Boundary triangles: the faces of one tetrahedron only.
    faces = np.concatenate([tets[:, [1, 2, 3]], tets[:, [0, 2, 3]], tets[:, [0, 1, 3]],
                            tets[:, [0, 1, 2]]])
    key = np.sort(faces, axis=1).astype(np.int64)
    key = (key[:, 0] * n + key[:, 1]) * n + key[:, 2]
    _, first, counts = np.unique(key, return_index=True, return_counts=True)
    tris = np.ascontiguousarray(faces[first[counts == 1]], dtype=np.int32)

    t0 = time.perf_counter()
    mesh = nm.Mesh(3)
    mesh.AddPoints(pts)
    mesh.SetMaterial(1, "vol")
    mesh.AddElements(dim=3, index=1, data=tets, base=0)
    fd = mesh.Add(nm.FaceDescriptor(bc=1, domin=1, domout=0, surfnr=1))
    mesh.SetBCName(0, "wall")
    mesh.AddElements(dim=2, index=fd, data=tris, base=0)
    g = 1 + x * x + 2 * y * y - 3 * z * z + x * y
    with TaskManager():
        ngmesh = Mesh(mesh)
        tm = time.perf_counter()
        fes = H1(ngmesh, order=order, dirichlet="wall")
        u, v = fes.TnT()
        a = BilinearForm(grad(u) * grad(v) * dx)
        pre = Preconditioner(a, "h1amg")
        a.Assemble()
        f = LinearForm(fes)
        f.Assemble()
        t1 = time.perf_counter()
        gfu = GridFunction(fes)
        gfu.Set(g, BND)
        r = f.vec.CreateVector()
        r.data = f.vec - a.mat * gfu.vec
        inv = CGSolver(a.mat, pre.mat, tol=1e-8, maxiter=2000)
        gfu.vec.data += inv * r
        t2 = time.perf_counter()
    print(f"NGSolve, {threads} threads, P{order}: {fes.ndof:,} unknowns; mesh {tm - t0:.2f} s, "
          f"space and assembly (with h1amg set-up) {t1 - tm:.2f} s, solve {t2 - t1:.2f} s "
          f"({inv.iterations} iterations); total {t2 - t0:.2f} s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1e5,1e6")
    parser.add_argument("--order", type=int, choices=[1, 2], default=1)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--ngsolve-child", nargs=3)
    args = parser.parse_args()
    if args.ngsolve_child:
        path, threads, order = args.ngsolve_child
        return solve_with_ngsolve(path, int(threads), int(order))
    python = os.environ.get("NGSOLVE_PYTHON", "/tmp/ngvenv/bin/python")
    if not os.path.exists(python):
        print(f"NGSolve's interpreter {python} is missing; see this file's docstring to make it")
        return
    import _pymosk
    sys.path.insert(0, os.path.join(ROOT, "bench"))
    import bench_road

    with tempfile.TemporaryDirectory() as tmp:
        for size in args.sizes.split(","):
            mesh, levels = bench_road.case_mesh(args.order, size, tmp)
            path = os.path.join(tmp, f"road_{size}.vtu")
            grid = _pymosk.Grid(mesh)
            grid.refineAllElements(levels)
            grid.exportVTK(path)
            del grid
            subprocess.run([python, os.path.abspath(__file__), "--ngsolve-child", path,
                            str(args.threads), str(args.order)], check=True)


if __name__ == "__main__":
    main()
