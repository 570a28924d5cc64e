"""Clocks and memory figures shared by the benchmarks."""
import os
import time


def timed(f):
    """Seconds of one run of f()."""
    t = time.perf_counter()
    f()
    return time.perf_counter() - t


def best_of(n, f):
    """The shortest of n runs of f(), in seconds."""
    return min(timed(f) for _ in range(n))


def per_call_us(fn, items, min_seconds=0.5):
    """Microseconds per call of fn over items: best of three runs, each repeated over the items
    for at least min_seconds."""
    best = float("inf")
    for _ in range(3):
        calls, start = 0, time.perf_counter()
        while True:
            for x in items:
                fn(x)
            calls += len(items)
            elapsed = time.perf_counter() - start
            if elapsed >= min_seconds:
                break
        best = min(best, elapsed / calls * 1e6)
    return best


def peak_rss_bytes():
    """This process's peak resident set. VmHWM, not getrusage's ru_maxrss: Linux carries ru_maxrss
    over an exec, so a child would report at least its parent's size at the fork."""
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM line in /proc/self/status")


def machine_load(when):
    """A line with the 1-minute load average, to read the figures beside."""
    return (f"machine load (1-minute average) at {when}: {os.getloadavg()[0]:.2f} on "
            f"{os.cpu_count()} cores")
