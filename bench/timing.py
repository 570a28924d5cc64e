"""Timing shared by the benchmarks."""
import time


def best_of(n, f):
    """The shortest of n runs of f(), in seconds."""
    times = []
    for _ in range(n):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)
