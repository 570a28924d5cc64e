"""Balance of a refined grid: the sample cube balanced, refined to about each size and balanced
again, on 1, 2 and 3 processes; prints the time of the second balance (slowest process) and the
cut faces and elements per process that the library reports at verbosity 1 (whose count of cut
faces is part of the time; on one process balance changes nothing).
Usage: bench_balance.py [--sizes 1.7e6,5e6] [--processes 1,2,3] [--compare DIR]
With --compare, DIR holds an earlier build of the module (its _pymosk and libmosk): every case
runs with that build and with this one in turn, so that both see the same load."""
import argparse
import os
import re
import subprocess
import sys

from timing import machine_load

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MESH = os.path.join(ROOT, "meshes", "cube.msh")
THIS_BUILD = os.path.join(ROOT, "build", "dev")

CHILD = r"""
import sys, time, _pymosk
g = _pymosk.Grid(sys.argv[1])
g.balance(1.05)
target = float(sys.argv[2])
while g.getGlobalNumElements() * 1.5 < target:
    g.refineAllElements(1)
t = time.perf_counter()
g.balance(1.05)
print("BALANCE", g.getGlobalNumElements(), f"{time.perf_counter() - t:.6f}", flush=True)
"""


def run(build, processes, size):
    env = dict(os.environ, PYTHONPATH=build, MOSK_OPTIONS="-verbosity 1")
    command = [sys.executable, "-c", CHILD, MESH, str(size)]
    if processes > 1:
        command = ["mpirun", "--allow-run-as-root", "--oversubscribe", "-x", "PYTHONPATH",
                   "-x", "MOSK_OPTIONS", "-np", str(processes)] + command
    out = subprocess.run(command, env=env, capture_output=True, text=True, timeout=1800)
    text = out.stdout + out.stderr
    times = [float(m.group(2)) for m in re.finditer(r"BALANCE (\d+) ([0-9.]+)", text)]
    counts = re.findall(r"BALANCE (\d+)", text)
    reports = re.findall(r"balance: \d+ elements over \d+ processes: ([0-9, ]+) elements; "
                         r"(\d+) cut faces", text)
    if out.returncode != 0 or not times:
        raise RuntimeError(f"{build}, {processes} processes failed:\n{text[-2000:]}")
    last = reports[-1] if reports else ("-", "-")
    return int(counts[0]), max(times), last[1], last[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1.7e6,5e6")
    parser.add_argument("--processes", default="1,2,3")
    parser.add_argument("--compare", default=None)
    args = parser.parse_args()
    builds = [("this build", THIS_BUILD)]
    if args.compare:
        builds.insert(0, ("earlier", os.path.abspath(args.compare)))
    print(machine_load("start"))
    print("| build | elements | processes | balance (s) | cut faces | elements per process |")
    print("|---|---|---|---|---|---|")
    for size in (float(s) for s in args.sizes.split(",")):
        for processes in (int(p) for p in args.processes.split(",")):
            for name, build in builds:
                n, seconds, cut, per = run(build, processes, size)
                print(f"| {name} | {n:,} | {processes} | {seconds:.2f} | {cut} | {per} |",
                      flush=True)
    print(machine_load("end"))


if __name__ == "__main__":
    main()
