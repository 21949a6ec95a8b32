"""Shared pieces of the benchmarks: clouds, graphs, spatial sorting, timing."""

import platform
import statistics
import time
from pathlib import Path

import numpy as np
from scipy.spatial import Delaunay

DATA = Path(__file__).resolve().parents[1] / "data"


def uniform_cube(rng, n):
    return rng.random((n, 3))


def jittered_surface(rng, n):
    """Points on a wavy sphere with a little noise: thin, curved, like a scan."""
    v = rng.normal(size=(n, 3))
    v /= np.linalg.norm(v, axis=1)[:, None]
    radius = 1 + 0.1 * np.sin(5 * v[:, 0]) * np.cos(4 * v[:, 1])
    return v * radius[:, None] + rng.normal(scale=0.002, size=(n, 3))


def real_scan(rng, name, n, noise=1e-3):
    """A noisy subsample of one of the real models in data/."""
    model = np.load(DATA / name)
    pick = rng.choice(len(model), size=min(n, len(model)), replace=False)
    return model[pick] + rng.normal(scale=noise * np.ptp(model, axis=0).max(), size=(len(pick), 3))


def morton_order(points):
    """Permutation that sorts points along a 21-bit-per-axis Z-order curve."""
    lo, hi = points.min(axis=0), points.max(axis=0)
    q = ((points - lo) / np.where(hi > lo, hi - lo, 1) * 2097151).astype(np.uint64)
    key = np.zeros(len(points), np.uint64)
    for bit in range(21):
        for axis in range(3):
            key |= ((q[:, axis] >> np.uint64(bit)) & np.uint64(1)) << np.uint64(3 * bit + axis)
    return np.argsort(key, kind="stable")


def delaunay_graph(points):
    indptr, indices = Delaunay(points).vertex_neighbor_vertices
    return indptr.astype(np.uint32), indices.astype(np.uint32)


def median_seconds(call, repeats=5):
    call()  # warm caches and lazy initialisation
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def machine_line():
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    import numpy
    import scipy
    return (f"{platform.node()} | {cpu} | Python {platform.python_version()} | "
            f"NumPy {numpy.__version__} | SciPy {scipy.__version__}")
