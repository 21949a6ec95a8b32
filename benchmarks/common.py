"""Shared pieces of the benchmarks: clouds, graphs, spatial sorting, timing, peers, machine."""

import contextlib
import ctypes
import gc
import os
import platform
import shutil
import statistics
import subprocess
import tempfile
import time
from importlib import metadata
from pathlib import Path

import numpy as np

DATA = Path(__file__).resolve().parents[1] / "data"


def status_bytes(key):
    """A byte count from /proc/self/status (VmRSS, VmHWM)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"{key} missing from /proc/self/status")


def reset_peak():
    """Returns the resident size after resetting the kernel's peak (VmHWM) to it."""
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    return status_bytes("VmRSS")


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


def surface_samples(rng, mesh, n, noise=1e-3):
    """`n` noisy points on the triangles of `mesh` (a path, or a name in data/meshes/), in
    the faces' order.

    Area-weighted, uniform within each triangle, then Gaussian noise of `noise` times the
    model's extent: a scan of the surface rather than copies of its vertices (resampling
    the vertices makes tight clusters of near-duplicates, which flatter kd-trees). The
    faces' order stands in for a scanner's: coherent, with jumps between strips.
    """
    import ornel

    mesh = ornel.Mesh.load(mesh if isinstance(mesh, Path) else DATA / "meshes" / f"{mesh}.obj")
    corners = np.asarray(mesh.vertices, dtype=np.float64)[np.asarray(mesh.triangles)]
    first, second, third = corners[:, 0], corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]
    area = np.linalg.norm(np.cross(second, third), axis=1)
    faces = np.sort(rng.choice(len(area), size=n, p=area / area.sum()))
    u, v = rng.random(n), rng.random(n)
    outside = u + v > 1
    u[outside], v[outside] = 1 - u[outside], 1 - v[outside]
    points = first[faces] + u[:, None] * second[faces] + v[:, None] * third[faces]
    extent = float(np.ptp(corners.reshape(-1, 3), axis=0).max())
    return points + rng.normal(scale=noise * extent, size=(n, 3))


def pykdtree_class():
    """pykdtree's KDTree, or None where its wheel is not installed."""
    try:
        from pykdtree.kdtree import KDTree
    except ImportError:
        return None
    return KDTree


@contextlib.contextmanager
def openmp_threads(n):
    """Limits OpenMP (pykdtree's threads) to `n` for the block, where threadpoolctl is installed."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        yield False
        return
    with threadpool_limits(limits=n, user_api="openmp"):
        yield True


def pynanoflann_class():
    """pynanoflann's KDTree, or None where its wheel is not installed."""
    try:
        from pynanoflann import KDTree
    except ImportError:
        return None
    return KDTree


def timed_runs(call, repeats=5):
    """Seconds of `repeats` calls, after one untimed call that warms caches and lazy initialisation."""
    call()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return times


def median_seconds(call, repeats=5, spreads=None, name=None):
    """Median seconds of `repeats` calls; with `spreads`, also stores spreads[name] = spread of the runs."""
    times = timed_runs(call, repeats)
    if spreads is not None:
        spreads[name] = spread(times)
    return statistics.median(times)


def spread(times):
    """(slowest - fastest) / median of a set of runs: how far one figure of this machine can be trusted."""
    return (max(times) - min(times)) / statistics.median(times)


def _version(distribution):
    try:
        return metadata.version(distribution)
    except metadata.PackageNotFoundError:
        return None


def _cpu_model():
    model, flags = platform.processor() or "unknown CPU", set()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                elif line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    break
    except OSError:
        pass
    vector = [name for name in ("sse4_2", "avx2", "fma", "avx512f") if name in flags]
    return f"{model} ({', '.join(vector)})" if vector else model


def machine_info():
    """What the numbers depend on: machine, CPU, load, library versions, revision."""
    try:
        with open("/proc/meminfo") as meminfo:
            memory = f"{int(meminfo.readline().split()[1]) / 2**20:.1f} GiB"
    except (OSError, ValueError, IndexError):
        memory = "unknown"
    try:
        revision = subprocess.run(
            ["git", "-C", str(DATA.parent), "describe", "--always", "--dirty"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        revision = "unknown"
    return {
        "date": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
        "host": platform.node(),
        "os": f"{platform.system()} {platform.release()}",
        "cpu": _cpu_model(),
        "cores": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count(),
        "memory": memory,
        "load average": " ".join(f"{v:.2f}" for v in os.getloadavg()),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "ornel": f"{_version('ornel')} ({revision})",
        "numpy": np.__version__,
        "scipy": _version("scipy"),
        "pykdtree": _version("pykdtree") or "not installed",
        "pynanoflann": _version("pynanoflann") or "not installed",
        "threadpoolctl": _version("threadpoolctl") or "not installed",
        "matplotlib": _version("matplotlib") or "not installed",
    }


def machine_line():
    info = machine_info()
    return " | ".join(
        [
            info["host"],
            info["cpu"],
            f"{info['cores']} cores",
            f"load {info['load average']}",
            info["python"],
            f"NumPy {info['numpy']}",
            f"SciPy {info['scipy']}",
            f"pykdtree {info['pykdtree']}",
            f"pynanoflann {info['pynanoflann']}",
        ]
    )


def whole_process(command, env=None):
    """Wall seconds, CPU seconds (user + system, every thread) and peak resident bytes of
    one child process: CPU time says what the wall time would be on an idle machine better
    than the wall time of a shared one. The child is started by GNU time where there is
    one: a child forked from this process counts this process's resident size in its own
    peak (Linux keeps the high-water mark across exec), GNU time's child counts only its own."""
    timer = shutil.which("time") or ("/usr/bin/time" if os.path.exists("/usr/bin/time") else None)
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        wrapped = [timer, "-q", "-o", report.name, "-f", "%U %S %M", *command] if timer else command
        start = time.perf_counter()
        child = subprocess.Popen(wrapped, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        errors = child.stderr.read().decode(errors="replace").strip()[-500:]
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - start
        child.stderr.close()
        if os.waitstatus_to_exitcode(status) != 0:
            raise RuntimeError(f"{command[0]} failed with status {os.waitstatus_to_exitcode(status)}: {errors}")
        if timer is None:  # the peak may be this process's
            return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024
        user, system, peak_kb = report.read().split()[-3:]
    return seconds, float(user) + float(system), int(peak_kb) * 1024
