"""The whole all-by-all job from raw points, as users time it: ornel.all_by_all
(graphs included) against kd-trees, 2 threads each, same clouds, same run.

Peers build one tree per target and query every cloud against it (all query points
in one call), then reduce per cloud pair as we do:
  cKDTree      scipy, workers=2
  pykdtree     OpenMP limited to 2 threads (threadpoolctl), where installed
  pynanoflann  n_jobs=2, where installed

Clouds: noisy scans of 25,000 points subsampled from data/stanford-bunny.npy, in
float32 (our default precision; every peer gets the same float32 arrays).

Per-point costs split each job into its two parts, which gives the break-even number
of clouds C* above which we are faster: for C clouds of n points we pay C n g (graphs)
+ C^2 n q (joins), a kd-tree C n b (trees) + C^2 n k (queries), so
C* = (g - b) / (k - q) when k > q.

    python benchmarks/bench_package.py [--clouds 16 64] [--points 25000] [--repeats 3]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import DATA, machine_line, openmp_threads, pykdtree_class  # noqa: E402

import ornel  # noqa: E402

THREADS = 2


def scan_clouds(rng, n_clouds, n_points):
    model = np.load(DATA / "stanford-bunny.npy").astype(np.float64)
    sigma = 0.002 * np.ptp(model, axis=0).max()
    return [
        (model[rng.choice(len(model), n_points, replace=False)] + rng.normal(0.0, sigma, (n_points, 3))).astype(
            np.float32
        )
        for _ in range(n_clouds)
    ]


def reduce_per_cloud(dists, starts, counts):
    return np.add.reduceat(dists, starts, dtype=np.float64) / counts, np.maximum.reduceat(dists, starts)


def ornel_job(arrays):
    """Whole job, and its two parts on fresh clouds: (total, graphs, joins) seconds."""
    clouds = [ornel.Cloud(a, f"c{i}") for i, a in enumerate(arrays)]
    start = time.perf_counter()
    matrix = ornel.all_by_all(clouds, threads=THREADS)
    total = time.perf_counter() - start

    fresh = [ornel.Cloud(a, f"c{i}") for i, a in enumerate(arrays)]
    # As all_by_all builds them: side by side, the threads shared out between the builds.
    share = max(1, THREADS // len(fresh))
    start = time.perf_counter()
    with ThreadPoolExecutor(THREADS) as pool:
        list(pool.map(lambda c: c.prepared("f32", threads=share), fresh))
    graphs = time.perf_counter() - start
    start = time.perf_counter()
    ornel.all_by_all(fresh, threads=THREADS)  # graphs kept in the clouds: the joins alone
    joins = time.perf_counter() - start
    return total, graphs, joins, matrix


def kd_job(arrays, build, query):
    """(total, builds, queries) seconds of one tree per target queried with every cloud."""
    everything = np.concatenate(arrays)
    counts = np.array([len(a) for a in arrays], np.float64)
    starts = np.concatenate([[0], np.cumsum(counts[:-1])]).astype(np.intp)
    building = querying = 0.0
    mean = np.zeros((len(arrays), len(arrays)))
    for j, target in enumerate(arrays):
        start = time.perf_counter()
        tree = build(target)
        middle = time.perf_counter()
        dists = query(tree, everything)
        mean[:, j] = reduce_per_cloud(dists, starts, counts)[0]
        building += middle - start
        querying += time.perf_counter() - middle
    return building + querying, building, querying, mean


def peers():
    from scipy.spatial import cKDTree

    found = {"cKDTree": (lambda t: cKDTree(t), lambda tree, x: tree.query(x, workers=THREADS)[0])}
    kdtree = pykdtree_class()
    if kdtree is not None:
        found["pykdtree"] = (lambda t: kdtree(t), lambda tree, x: tree.query(x, k=1)[0])
    try:
        import pynanoflann

        def nanoflann(target):
            tree = pynanoflann.KDTree(n_neighbors=1, leaf_size=16)
            tree.fit(target)
            return tree

        found["pynanoflann"] = (nanoflann, lambda tree, x: tree.kneighbors(x, n_jobs=THREADS)[0][:, 0])
    except ImportError:
        pass
    return found


def measure(n_clouds, n_points, repeats, rng, log=print):
    """{method: {"total", "setup", "join"} median seconds} and a text report."""
    arrays = scan_clouds(rng, n_clouds, n_points)
    runs = {}
    reference = None
    for _ in range(repeats):
        total, graphs, joins, matrix = ornel_job(arrays)
        runs.setdefault("ornel", []).append((total, graphs, joins))
        reference = matrix.mean
        for name, (build, query) in peers().items():
            with openmp_threads(THREADS):
                total, builds, queries, mean = kd_job(arrays, build, query)
            runs.setdefault(name, []).append((total, builds, queries))
            np.fill_diagonal(mean, 0)
            if not np.allclose(mean, reference, rtol=1e-4, atol=1e-7):
                raise SystemExit(f"{name} and ornel disagree on {n_clouds} clouds")
    medians = {
        name: dict(zip(("total", "setup", "join"), (statistics.median(v) for v in zip(*values))))
        for name, values in runs.items()
    }
    cloud_points, query_points = n_clouds * n_points, n_clouds * n_clouds * n_points
    ours = medians["ornel"]
    g, q = ours["setup"] / cloud_points, ours["join"] / query_points
    lines = [
        f"{n_clouds} clouds x {n_points:,} points, {THREADS} threads, float32, medians of {repeats}:",
        f"  {'':<12} {'whole job':>10} {'graphs/trees':>13} {'joins/queries':>14} {'build ns/pt':>12}"
        f" {'join ns/pt':>11} {'peer/ornel':>11} {'break-even C':>13}",
    ]
    for name, m in medians.items():
        b, k = m["setup"] / cloud_points, m["join"] / query_points
        ratio = m["total"] / ours["total"]
        if name == "ornel":
            even = "-"
        elif k > q:
            even = f"{max((g - b) / (k - q), 1):.0f}"
        else:
            even = "never"
        lines.append(
            f"  {name:<12} {m['total']:>9.2f}s {m['setup']:>12.2f}s {m['join']:>13.2f}s {b * 1e9:>12.0f}"
            f" {k * 1e9:>11.1f} {ratio:>10.2f}x {even:>13}"
        )
    return medians, "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clouds", type=int, nargs="+", default=[16, 64])
    parser.add_argument("--points", type=int, default=25_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    print(machine_line())
    rng = np.random.default_rng(20261208)
    for n_clouds in args.clouds:
        print(measure(n_clouds, args.points, args.repeats, rng)[1], flush=True)


if __name__ == "__main__":
    main()
