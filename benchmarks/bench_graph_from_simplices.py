#!/usr/bin/env python3
"""Benchmark graph_from_simplices against scipy's Delaunay.vertex_neighbor_vertices.

Both build the vertex adjacency of the same Delaunay tetrahedralisation of
uniform random points (fixed seed). For each size the parent process builds the
tetrahedralisation once, checks that both graphs have the same neighbour sets,
and saves the points and the simplices (as uint64) to a temporary directory.
Every measurement then runs in a fresh child process:

- ornel: load the simplices, call `_ornel.graph_from_simplices(simplices, n)`;
- scipy: load the points, build a fresh `Delaunay` (Qhull is deterministic, and
  the child checks that its simplices equal the saved ones), then time the
  first access of `vertex_neighbor_vertices` alone (scipy caches it).

Time is the wall-clock median of the repeats. Peak extra memory is measured on
the resident set, because this module allocates with C++ `operator new` and
scipy with `malloc`, neither of which tracemalloc sees: just before the timed
call the child collects garbage, returns freed heap to the system
(`malloc_trim`), resets the kernel's resident high-water mark (writing 5 to
/proc/self/clear_refs) and reads its resident size; after the call it reads the
high-water mark (VmHWM in /proc/self/status). The difference is the most memory
the call held at once, its result included. Linux only.

The result of both is the CSR pair (indptr, indices) of 32-bit integers, so
"output" below is the same size for both, and "counts" is one 64-bit count per
point.

    python benchmarks/bench_graph_from_simplices.py [--sizes 100000 1000000]
"""

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from common import reset_peak, status_bytes  # noqa: E402

SEED = 20240601


def child(which, directory, n):
    directory = pathlib.Path(directory)
    if which == "ornel":
        import _ornel

        simplices = np.load(directory / "simplices.npy")
        base = reset_peak()
        start = time.perf_counter()
        indptr, indices = _ornel.graph_from_simplices(simplices, n)
        seconds = time.perf_counter() - start
    else:
        from scipy.spatial import Delaunay

        triangulation = Delaunay(np.load(directory / "points.npy"))
        if not np.array_equal(triangulation.simplices, np.load(directory / "simplices.npy")):
            raise RuntimeError("scipy built a different tetrahedralisation")
        base = reset_peak()
        start = time.perf_counter()
        indptr, indices = triangulation.vertex_neighbor_vertices
        seconds = time.perf_counter() - start
    peak = status_bytes("VmHWM") - base
    print(json.dumps({"seconds": seconds, "peak": peak, "output": indptr.nbytes + indices.nbytes}))


def measure(which, directory, n):
    result = subprocess.run(
        [sys.executable, __file__, "--child", which, str(directory), str(n)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(result.stdout)


def prepare(n, directory):
    """Builds the tetrahedralisation, checks both graphs agree, saves inputs."""
    import _ornel
    from scipy.spatial import Delaunay

    points = np.random.default_rng(SEED).random((n, 3))
    start = time.perf_counter()
    triangulation = Delaunay(points)
    print(f"  Delaunay of {n} points: {len(triangulation.simplices)} simplices in {time.perf_counter() - start:.1f} s")
    simplices = triangulation.simplices.astype(np.uint64)
    indptr, indices = _ornel.graph_from_simplices(simplices, n)
    scipy_indptr, scipy_indices = triangulation.vertex_neighbor_vertices
    rows = np.repeat(np.arange(n), np.diff(scipy_indptr))
    sorted_scipy = scipy_indices[np.lexsort((scipy_indices, rows))]
    if not (np.array_equal(indptr, scipy_indptr) and np.array_equal(indices, sorted_scipy)):
        raise RuntimeError("graph_from_simplices and scipy disagree")
    print(f"  same neighbour sets: {len(indices)} entries, {len(indices) / n:.2f} per point")
    np.save(directory / "points.npy", points)
    np.save(directory / "simplices.npy", simplices)
    return len(simplices)


def build_costs(points, repeats=3):
    """What each way needs before its first query, on one cloud, timed in this process.

    Median seconds of: the Delaunay tetrahedralisation (Qhull, via scipy),
    graph_from_simplices on its simplices (their conversion to uint64
    included), scipy's vertex_neighbor_vertices of the same (fresh)
    tetrahedralisation, packing with PreparedF32, and building the kd-tree
    peers: cKDTree and, where installed, pykdtree's KDTree. Memory is measured
    by this module's own command line, in child processes."""
    import _ornel
    from common import pykdtree_class
    from scipy.spatial import Delaunay, cKDTree

    KDTree = pykdtree_class()
    points32 = np.ascontiguousarray(points, dtype=np.float32)
    runs = {
        key: []
        for key in (
            "Delaunay",
            "graph_from_simplices",
            "vertex_neighbor_vertices",
            "PreparedF32",
            "cKDTree",
            "pykdtree",
        )
    }

    def timed(key, call):
        start = time.perf_counter()
        result = call()
        runs[key].append(time.perf_counter() - start)
        return result

    for _ in range(repeats):
        triangulation = timed("Delaunay", lambda: Delaunay(points))
        graph = timed(
            "graph_from_simplices",
            lambda: _ornel.graph_from_simplices(triangulation.simplices.astype(np.uint64), len(points)),
        )
        timed("vertex_neighbor_vertices", lambda: triangulation.vertex_neighbor_vertices)
        timed("PreparedF32", lambda: _ornel.PreparedF32(points32, *graph))
        timed("cKDTree", lambda: cKDTree(points))
        if KDTree is not None:
            timed("pykdtree", lambda: KDTree(points))
    return {key: statistics.median(values) for key, values in runs.items() if values}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--repeats", type=int, default=5, help="measurements of graph_from_simplices per size")
    parser.add_argument("--scipy-repeats", type=int, default=None, help="default: 5, or 3 from 500,000 points")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]))
        return

    rows = []
    for n in args.sizes:
        print(f"{n} points")
        with tempfile.TemporaryDirectory() as directory:
            directory = pathlib.Path(directory)
            m = prepare(n, directory)
            scipy_repeats = args.scipy_repeats or (3 if n >= 500_000 else 5)
            ours = [measure("ornel", directory, n) for _ in range(args.repeats)]
            theirs = [measure("scipy", directory, n) for _ in range(scipy_repeats)]
        output = ours[0]["output"]
        counts = 8 * (n + 1)
        row = {"n": n, "simplices": m, "output": output, "counts": counts}
        for name, runs in (("ornel", ours), ("scipy", theirs)):
            row[name] = {
                "seconds": statistics.median(r["seconds"] for r in runs),
                "peak": statistics.median(r["peak"] for r in runs),
                "runs": len(runs),
            }
        rows.append(row)

    mib = 2**20
    print()
    print(
        f"{'points':>9} {'simplices':>10} {'call':>6} {'runs':>4} {'median s':>9} {'peak extra MiB':>15} "
        f"{'/ output':>9} {'/ (output + counts)':>20}"
    )
    for row in rows:
        for name in ("ornel", "scipy"):
            r = row[name]
            print(
                f"{row['n']:>9} {row['simplices']:>10} {name:>6} {r['runs']:>4} {r['seconds']:>9.3f} "
                f"{r['peak'] / mib:>15.1f} {r['peak'] / row['output']:>9.2f} "
                f"{r['peak'] / (row['output'] + row['counts']):>20.2f}"
            )
        print(
            f"{'':>9} {'':>10} {'ratio':>6} {'':>4} {row['scipy']['seconds'] / row['ornel']['seconds']:>8.1f}x "
            f"{row['scipy']['peak'] / row['ornel']['peak']:>14.1f}x   (scipy / ornel; output "
            f"{row['output'] / mib:.1f} MiB, counts {row['counts'] / mib:.1f} MiB)"
        )

    results = pathlib.Path(__file__).parent / "results"
    results.mkdir(exist_ok=True)
    (results / "graph_from_simplices.json").write_text(json.dumps(rows, indent=2))
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    figure, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
    sizes = [row["n"] for row in rows]
    for name in ("ornel", "scipy"):
        left.plot(sizes, [row[name]["seconds"] for row in rows], "o-", label=name)
        right.plot(sizes, [row[name]["peak"] / mib for row in rows], "o-", label=name)
    right.plot(sizes, [row["output"] / mib for row in rows], "k--", label="output")
    for axis, label in ((left, "median seconds"), (right, "peak extra MiB")):
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xlabel("points")
        axis.set_ylabel(label)
        axis.legend()
    figure.suptitle("Delaunay vertex adjacency: graph_from_simplices vs scipy")
    figure.tight_layout()
    figure.savefig(results / "graph_from_simplices.png", dpi=120)


if __name__ == "__main__":
    main()
