"""The reference of the time-to-solution target: NGSolve on the same tetrahedra as the module's
road (bench_parallel.py): -laplace u = 0, u = g on the boundary, P1 or P2, CG at rtol 1e-8 on N
threads, timed from the mesh in memory to the solution. The preconditioner is NGSolve's fastest
here (--precond chooses): h1amg for P1; for P2 BDDC with an h1amg coarse space and the vertices
alone as its wire basket ("bddc"). NGSolve's default wire basket in 3D also holds the lowest-order
edge values, which for P2 are all of them ("bddc-edges"): BDDC is then h1amg on the whole P2
matrix, three times the time at 1e5 unknowns. On a machine whose cores are busy with other
work NGSolve's times grow far more than the module's (its threads wait for each other
actively); --threads 1 then can be its faster choice.

NGSolve is not a project dependency; it lives in a venv of its own, outside the repository:

    python3.12 -m venv ~/ngsolve-venv && ~/ngsolve-venv/bin/pip install ngsolve meshio numpy
    NGSOLVE_PYTHON=~/ngsolve-venv/bin/python PYTHONPATH=build/dev .venv/bin/python \
        bench/bench_ngsolve.py [--sizes 1e5,1e6] [--order 1] [--threads 2]
        [--precond h1amg|bddc|bddc-edges] [--module-processes 2] [--elements]

Run with the project's interpreter, the script writes the refined cube with the module and then
runs itself under $NGSOLVE_PYTHON; without it, it says so and stops. With --module-processes N
it first runs the module's whole road (bench_parallel.py's, from the same mesh file, at the same
tolerance, the element loop block by block, or element by element with --elements) on N
processes, so that one run gives both sides; each side's true relative residual is printed
beside its time, and the machine's load average at the start and the end. Figures only.
"""
import argparse
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def solve_with_ngsolve(path, threads, order, precond):
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
        # BDDC's wire basket holds the vertices and, by default in 3D, the lowest-order edge
        # values, which for P2 are all the edge values: BDDC is then h1amg on the whole P2
        # matrix. With the vertices alone it eliminates the edges element by element.
        fes = H1(ngmesh, order=order, dirichlet="wall", wb_withedges=precond == "bddc-edges")
        u, v = fes.TnT()
        a = BilinearForm(grad(u) * grad(v) * dx)
        if precond.startswith("bddc"):
            pre = Preconditioner(a, "bddc", coarsetype="h1amg")
        else:
            pre = Preconditioner(a, precond)
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
        # ||f - A u|| / ||f - A u_0|| on the free unknowns (u_0: the boundary values alone).
        free = np.array(list(fes.FreeDofs()), dtype=bool)
        res = f.vec.CreateVector()
        res.data = f.vec - a.mat * gfu.vec
        relative = (np.linalg.norm(res.FV().NumPy()[free]) /
                    np.linalg.norm(r.FV().NumPy()[free]))
    print(f"NGSolve, {threads} threads, P{order}, CG with {precond}: {fes.ndof:,} unknowns; mesh "
          f"{tm - t0:.2f} s, space and assembly (with the preconditioner's set-up) "
          f"{t1 - tm:.2f} s, solve {t2 - t1:.2f} s ({inv.iterations} iterations, true relative "
          f"residual {relative:.1e}); total {t2 - t0:.2f} s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1e5,1e6")
    parser.add_argument("--order", type=int, choices=[1, 2], default=1)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--precond", choices=["h1amg", "bddc", "bddc-edges"])
    parser.add_argument("--module-processes", type=int, default=0)
    parser.add_argument("--elements", action="store_true",
                        help="the module's element loop element by element")
    parser.add_argument("--ngsolve-child", nargs=4)
    args = parser.parse_args()
    if args.ngsolve_child:
        path, threads, order, precond = args.ngsolve_child
        return solve_with_ngsolve(path, int(threads), int(order), precond)
    precond = args.precond or ("h1amg" if args.order == 1 else "bddc")
    python = os.environ.get("NGSOLVE_PYTHON", "")
    if not os.path.exists(python):
        print(f"NGSolve's interpreter NGSOLVE_PYTHON={python!r} is missing; see this file's "
              "docstring to make it")
        return
    import _pymosk
    sys.path.insert(0, os.path.join(ROOT, "bench"))
    import bench_parallel
    import bench_road
    from timing import machine_load

    print(machine_load("start"), flush=True)
    with tempfile.TemporaryDirectory() as tmp:
        for size in args.sizes.split(","):
            mesh, levels = bench_road.case_mesh(args.order, size, tmp)
            path = os.path.join(tmp, f"road_{size}.vtu")
            grid = _pymosk.Grid(mesh)
            grid.refineAllElements(levels)
            grid.exportVTK(path)
            del grid
            total = None
            if args.module_processes:
                n = args.module_processes
                r = bench_parallel.run(mesh, levels, args.order, 1e-8, n, not args.elements)
                t = r["times"]
                total = sum(t[k] for k in ["grid", "fields", "solver", "loop", "solve"])
                loop = "element by element" if args.elements else "block by block"
                print(f"module ({loop}), {n} processes, P{args.order}: {r['unknowns']:,} "
                      f"unknowns; grid {t['grid']:.2f} s, fields and solver "
                      f"{t['fields'] + t['solver']:.2f} s, "
                      f"element loop {t['loop']:.2f} s, solve {t['solve']:.2f} s "
                      f"({r['iterations']} iterations, true relative residual "
                      f"{r['residual']:.1e}); total {total:.2f} s (export excluded)")
            out = subprocess.run([python, os.path.abspath(__file__), "--ngsolve-child", path,
                                  str(args.threads), str(args.order), precond], check=True,
                                 capture_output=True, text=True).stdout
            print(out, end="", flush=True)
            if total is not None:
                ngsolve = float(out.rsplit("total ", 1)[1].split()[0])
                print(f"module / NGSolve: {total / ngsolve:.2f}", flush=True)
    print(machine_load("end"), flush=True)


if __name__ == "__main__":
    main()
