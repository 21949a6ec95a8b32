#!/usr/bin/env python3
"""Benchmark ornel.delaunay_graph against scipy's Delaunay + graph_from_simplices (and TetGen).

Every contender builds the same thing from the same points: the CSR vertex
adjacency of the Delaunay tetrahedralisation. Clouds: uniform random points in
a cube, the bunny scan (data/stanford-bunny.npy, its points as given) and a
thin noisy shell (a wavy sphere with noise of 0.2% of its radius).

- ornel: `ornel.delaunay_graph(points, threads=1)`;
- scipy: `Delaunay(points)` (Qhull), then `_ornel.graph_from_simplices` on its
  simplices;
- tetgen: TetGen through `tetgenpy` (its points in, tetrahedra out), then
  `graph_from_simplices`, where its wheel installs.

Each measurement runs in a fresh child process, which loads the points, resets
the kernel's resident high-water mark (as bench_graph_from_simplices.py does),
times one build and reports seconds and the peak extra resident memory, result
included. Times are medians of the repeats.

One cloud on two threads: our build of the cloud with `threads=2` against
`threads=1`, alternated, median wall clock of the repeats, in this process.
Two clouds on two threads: our one-thread builds of two different clouds of the
same kind from a thread pool of two, against the same two one after the other.

With --lattices, the clouds are shuffled lattices of 30^3 points instead,
where most insphere tests are exactly zero: integer steps, steps of 0.1, and
steps of 0.37 at survey coordinates (eastings and northings of 500 km, heights
of 100 m).

    python benchmarks/bench_delaunay.py [--sizes 100000 1000000] [--repeats 3] [--lattices]
"""

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from common import DATA, jittered_surface, reset_peak, status_bytes  # noqa: E402

SEED = 20261208


def tetgen_available():
    try:
        import tetgenpy  # noqa: F401
    except ImportError:
        return False
    return True


def build(which, points):
    """The CSR graph of `points` by one contender."""
    import _ornel

    if which == "ornel":
        import ornel

        return ornel.delaunay_graph(points, threads=1)
    if which == "scipy":
        from scipy.spatial import Delaunay

        return _ornel.graph_from_simplices(Delaunay(points).simplices.astype(np.uint64), len(points))
    import tetgenpy

    tetgen_in = tetgenpy.TetgenIO()
    tetgen_in.setup_points(points)
    tetrahedra = tetgenpy.tetrahedralize("Q", tetgen_in).tetrahedra()
    return _ornel.graph_from_simplices(tetrahedra.astype(np.uint64), len(points))


def child(which, path):
    points = np.load(path)
    build(which, points[:1000])  # imports and first-call costs stay out of the timing
    base = reset_peak()
    start = time.perf_counter()
    indptr, indices = build(which, points)
    seconds = time.perf_counter() - start
    peak = status_bytes("VmHWM") - base
    print(json.dumps({"seconds": seconds, "peak": peak, "entries": int(len(indices))}))


def measure(which, path):
    result = subprocess.run(
        [sys.executable, __file__, "--child", which, str(path)], check=True, capture_output=True, text=True
    )
    return json.loads(result.stdout)


def clouds(rng, sizes):
    """(name, points, second cloud of the same kind) for every case."""
    for n in sizes:
        yield f"uniform {n:,}", rng.random((n, 3)), rng.random((n, 3))
    bunny = np.load(DATA / "stanford-bunny.npy").astype(np.float64)
    noise = 1e-3 * np.ptp(bunny, axis=0).max()
    yield f"bunny scan {len(bunny):,}", bunny, bunny + rng.normal(scale=noise, size=bunny.shape)
    n = min(sizes)
    yield f"thin shell {n:,}", jittered_surface(rng, n), jittered_surface(rng, n)


def lattices(rng, side=30):
    """(name, points, the same points shuffled again) for each kind of lattice."""
    axis = np.arange(side, dtype=np.float64)
    lattice = np.stack(np.meshgrid(axis, axis, axis, indexing="ij"), -1).reshape(-1, 3)
    for name, points in (
        ("integer lattice", lattice),
        ("0.1 lattice", lattice * 0.1),
        ("survey lattice", lattice * 0.37 + [500_000.0, 500_000.0, 100.0]),
    ):
        yield f"{name} {len(points):,}", points[rng.permutation(len(points))], points[rng.permutation(len(points))]


def one_cloud_two_threads(points, repeats):
    """(one-thread seconds, two-thread seconds) for our build of one cloud, alternated."""
    import ornel

    one, two = [], []
    for _ in range(repeats):
        for threads, times in ((1, one), (2, two)):
            start = time.perf_counter()
            ornel.delaunay_graph(points, threads=threads)
            times.append(time.perf_counter() - start)
    return statistics.median(one), statistics.median(two)


def two_threads(first, second, repeats):
    """(sequential seconds, two-thread seconds) for our one-thread builds of two clouds."""
    import ornel

    def one_thread(points):
        return ornel.delaunay_graph(points, threads=1)

    sequential, parallel = [], []
    with ThreadPoolExecutor(2) as pool:
        for _ in range(repeats):
            start = time.perf_counter()
            one_thread(first)
            one_thread(second)
            sequential.append(time.perf_counter() - start)
            start = time.perf_counter()
            list(pool.map(one_thread, (first, second)))
            parallel.append(time.perf_counter() - start)
    return statistics.median(sequential), statistics.median(parallel)


def run(sizes, repeats, log=print, lattice_clouds=False):
    """One row per cloud: ns per point and peak bytes per point of every contender, and the
    two-thread speed-up of ours."""
    contenders = ["ornel", "scipy"] + (["tetgen"] if tetgen_available() else [])
    rng = np.random.default_rng(SEED)
    rows = []
    with tempfile.TemporaryDirectory() as directory:
        for name, points, second in lattices(rng) if lattice_clouds else clouds(rng, sizes):
            log(f"delaunay: {name}")
            path = pathlib.Path(directory) / "points.npy"
            np.save(path, points)
            row = {"case": name, "n": len(points)}
            for which in contenders:
                runs = [measure(which, path) for _ in range(repeats)]
                row[which] = {
                    "seconds": statistics.median(r["seconds"] for r in runs),
                    "peak": statistics.median(r["peak"] for r in runs),
                    "entries": runs[0]["entries"],
                }
            one, two = one_cloud_two_threads(points, repeats)
            row["one cloud"] = {"one thread": one, "two threads": two}
            sequential, parallel = two_threads(points, second, repeats)
            row["two threads"] = {"sequential": sequential, "parallel": parallel}
            rows.append(row)
    return rows


def format_rows(rows):
    contenders = [c for c in ("ornel", "scipy", "tetgen") if c in rows[0]]
    lines = [
        f"  {'case':<24} "
        + " ".join(f"{c + ' ns/pt':>13} {'B/pt':>6}" for c in contenders)
        + f" {'scipy/ornel':>12} {'1 cloud, 2 threads':>19} {'2 clouds, 2 threads':>20}"
    ]
    for row in rows:
        n = row["n"]
        cells = " ".join(f"{row[c]['seconds'] / n * 1e9:>13,.0f} {row[c]['peak'] / n:>6,.0f}" for c in contenders)
        speedup = row["two threads"]["sequential"] / row["two threads"]["parallel"]
        within = row["one cloud"]["one thread"] / row["one cloud"]["two threads"]
        lines.append(
            f"  {row['case']:<24} {cells} {row['scipy']['seconds'] / row['ornel']['seconds']:>11.1f}x"
            f" {within:>18.2f}x {speedup:>19.2f}x"
        )
    if "tetgen" not in rows[0]:
        lines.append("  tetgenpy is not installed: no TetGen column")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--lattices", action="store_true", help="shuffled lattices instead of the usual clouds")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    rows = run(args.sizes, args.repeats, lattice_clouds=args.lattices)
    print("ns per point and peak extra resident bytes per point (result included), one thread;")
    print("scipy/ornel: time ratio; 1 cloud: one-thread time over two-thread time, ours;")
    print("2 clouds: one after the other over side by side on two threads, ours")
    print(format_rows(rows))
    results = pathlib.Path(__file__).parent / "results"
    results.mkdir(exist_ok=True)
    (results / ("delaunay_lattices.json" if args.lattices else "delaunay.json")).write_text(json.dumps(rows, indent=1))


if __name__ == "__main__":
    main()
