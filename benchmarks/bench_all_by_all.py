"""All-by-all nearest-neighbour join of many clouds, four ways, in one run.

Every cloud is joined as query against every cloud as target (all ordered
pairs, self-pairs included), in float32:

  (a) PreparedF32.query_prepared for every ordered pair,
  (b) PreparedF32.query_prepared_blocked for every ordered pair,
  (c) PreparedF32.query_grouped of every target with one GroupedQueriesF32
      built from all clouds (its `prepare` is timed with it),
  (d) scipy cKDTree: one tree per target, queried with all points at once,

(a) to (c) driven from a Python thread pool of 1 and of 2 threads, (d) with
`workers` 1 and 2. Graph construction (Delaunay) and packing are setup and not
timed; building the kd-trees is timed, as it is the peer's preparation.

Data sets: uniform random clouds, and noisy "scans" subsampled from a real
surface model (data/ in this repository, or --data). Each comes as generated and
sorted spatially (Morton order, the caller keeping the permutation, which is
then passed to query_grouped as it would be in practice).

Prints total seconds (median of --repeats runs), ns per query point, and the
ratios the fast path is judged by.

    python benchmarks/bench_all_by_all.py [--clouds 16] [--points 25000] [--repeats 3]
"""

import argparse
import os
import statistics
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
from scipy.spatial import Delaunay, cKDTree

import _ornel


def morton_order(points):
    """Indices sorting points along a Z-order curve (the caller's own sort)."""
    lo = points.min(axis=0)
    extent = np.where(np.ptp(points, axis=0) > 0, np.ptp(points, axis=0), 1.0)
    q = ((points - lo) / extent * 1023).astype(np.uint64)
    key = np.zeros(len(points), dtype=np.uint64)
    for bit in range(10):
        for axis in range(3):
            key |= ((q[:, axis] >> np.uint64(bit)) & np.uint64(1)) << np.uint64(3 * bit + axis)
    return np.argsort(key, kind="stable")


def random_clouds(rng, n_clouds, n_points):
    return [rng.random((n_points, 3)) for _ in range(n_clouds)]


def scan_clouds(rng, n_clouds, n_points, model_path):
    model = np.load(model_path)
    if len(model) < n_points:
        raise SystemExit(f"{model_path} has only {len(model)} points")
    sigma = 0.002 * np.ptp(model, axis=0).max()
    return [
        model[rng.choice(len(model), n_points, replace=False)] + rng.normal(0.0, sigma, (n_points, 3))
        for _ in range(n_clouds)
    ]


def prepare_clouds(clouds, sort_spatially):
    """PreparedF32 per cloud (with its new -> original permutation or None)."""
    prepared, perms, originals = [], [], []
    for points in clouds:
        points = points.astype(np.float32)
        perm = None
        if sort_spatially:
            perm = morton_order(points).astype(np.int64)
            points = np.ascontiguousarray(points[perm])
        indptr, indices = Delaunay(points).vertex_neighbor_vertices
        prepared.append(_ornel.PreparedF32(points, indptr.astype(np.uint32), indices.astype(np.uint32)))
        perms.append(perm)
        originals.append(points if perm is None else points[np.argsort(perm)])
    return prepared, perms, originals


def timed(function, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def run_pairs(prepared, threads, method):
    pairs = [(t, q) for t in prepared for q in prepared]
    with ThreadPoolExecutor(threads) as pool:
        list(pool.map(lambda pair: method(pair[0], pair[1]), pairs))


def run_grouped(prepared, perms, threads):
    grouped = _ornel.GroupedQueriesF32.prepare(prepared, perms)
    with ThreadPoolExecutor(threads) as pool:
        list(pool.map(lambda tp: tp[0].query_grouped(grouped, tp[1]), zip(prepared, perms)))


def run_kdtree(originals, workers):
    everything = np.vstack(originals)
    for target in originals:
        cKDTree(target).query(everything, workers=workers)


def check_agreement(prepared, perms, originals):
    """The fast path answers what the kd-tree answers (distances)."""
    grouped = _ornel.GroupedQueriesF32.prepare(prepared, perms)
    everything = np.vstack(originals)
    for target, perm, points in list(zip(prepared, perms, originals))[:2]:
        dists, idx = target.query_grouped(grouped, perm)
        ref_dists, _ = cKDTree(points).query(everything)
        assert np.allclose(dists, ref_dists, rtol=1e-5, atol=1e-6), "query_grouped disagrees with cKDTree"
        assert np.allclose(np.linalg.norm(points[idx] - everything, axis=1), ref_dists, rtol=1e-5, atol=1e-6)


def bench(name, clouds, repeats):
    n_queries = sum(len(c) for c in clouds) * len(clouds)
    for sort_spatially in (False, True):
        prepared, perms, originals = prepare_clouds(clouds, sort_spatially)
        check_agreement(prepared, perms, originals)
        order = "sorted spatially" if sort_spatially else "as generated"
        print(f"\n{name}, {order}: {len(clouds)} clouds x {len(clouds[0])} points, {n_queries:,} query points")
        results = {}
        for threads in (1, 2):
            results[("a", threads)] = timed(lambda: run_pairs(prepared, threads, lambda t, q: t.query_prepared(q)), repeats)
            results[("b", threads)] = timed(
                lambda: run_pairs(prepared, threads, lambda t, q: t.query_prepared_blocked(q)), repeats
            )
            results[("c", threads)] = timed(lambda: run_grouped(prepared, perms, threads), repeats)
            results[("d", threads)] = timed(lambda: run_kdtree(originals, threads), repeats)
        labels = {
            "a": "(a) query_prepared",
            "b": "(b) query_prepared_blocked",
            "c": "(c) query_grouped + prepare",
            "d": "(d) cKDTree build + query",
        }
        for key, label in labels.items():
            for threads in (1, 2):
                seconds = results[(key, threads)]
                print(f"  {label:30s} threads={threads}: {seconds:8.3f} s  {seconds / n_queries * 1e9:7.1f} ns/point")
        for threads in (1, 2):
            c = results[("c", threads)]
            print(
                f"  ratios, {threads} thread(s): a/c {results[('a', threads)] / c:5.2f}"
                f"  b/c {results[('b', threads)] / c:5.2f}  d/c {results[('d', threads)] / c:5.2f}"
            )
        for key in "abcd":
            print(f"  2-thread speed-up {labels[key]:30s} {results[(key, 1)] / results[(key, 2)]:5.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--clouds", type=int, default=16)
    parser.add_argument("--points", type=int, default=25000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--data", default=os.environ.get("ORNEL_DATA", str(Path(__file__).resolve().parents[1] / "data")))
    args = parser.parse_args()
    rng = np.random.default_rng(20240611)
    bench("uniform random", random_clouds(rng, args.clouds, args.points), args.repeats)
    model = os.path.join(args.data, "stanford-bunny.npy")
    if os.path.exists(model):
        bench("bunny scans", scan_clouds(rng, args.clouds, args.points, model), args.repeats)
    else:
        print(f"\n{model} not found: scans skipped")


if __name__ == "__main__":
    main()
