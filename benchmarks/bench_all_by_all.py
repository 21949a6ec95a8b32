"""All-by-all nearest-neighbour join of many clouds, five ways, in one run.

Every cloud is joined as query against every cloud as target (all ordered
pairs, self-pairs included), in float32:

  (a) PreparedF32.query_prepared for every ordered pair,
  (b) PreparedF32.query_prepared_blocked for every ordered pair,
  (c) PreparedF32.query_grouped of every target with one GroupedQueriesF32
      built from all clouds (its `prepare` is timed with it),
  (d) scipy cKDTree: one tree per target, queried with all points at once,
  (e) pykdtree: the same with its KDTree (where its wheel is installed),

(a) to (c) driven from a Python thread pool of 1 and of 2 threads, (d) with
`workers` 1 and 2, (e) with 1 and 2 OpenMP threads. Graph construction
(Delaunay) and packing are setup and not timed; building the kd-trees is
timed, as it is the peers' preparation.

Data sets: uniform random clouds, and noisy "scans" subsampled from a real
surface model (data/stanford-bunny.npy, or --data). Each comes as generated and
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

import _ornel
import numpy as np
from common import DATA, openmp_threads, pykdtree_class
from scipy.spatial import cKDTree

from ornel import delaunay_graph, morton_order

LABELS = {
    "a": "(a) query_prepared",
    "b": "(b) query_prepared_blocked",
    "c": "(c) query_grouped + prepare",
    "d": "(d) cKDTree build + query",
    "e": "(e) pykdtree build + query",
}


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
        prepared.append(_ornel.PreparedF32(points, *delaunay_graph(points)))
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


def run_pykdtree(originals, threads):
    KDTree = pykdtree_class()
    everything = np.vstack(originals)
    with openmp_threads(threads):
        for target in originals:
            KDTree(target).query(everything)


def check_agreement(prepared, perms, originals):
    """The fast path answers what the kd-tree answers (distances)."""
    grouped = _ornel.GroupedQueriesF32.prepare(prepared, perms)
    everything = np.vstack(originals)
    for target, perm, points in list(zip(prepared, perms, originals))[:2]:
        dists, idx = target.query_grouped(grouped, perm)
        ref_dists, _ = cKDTree(points).query(everything)
        assert np.allclose(dists, ref_dists, rtol=1e-5, atol=1e-6), "query_grouped disagrees with cKDTree"
        assert np.allclose(np.linalg.norm(points[idx] - everything, axis=1), ref_dists, rtol=1e-5, atol=1e-6)


def measure(clouds, sort_spatially, repeats, threads=(1, 2), methods="abcde"):
    """Median seconds of each way (`methods`, letters as in LABELS) for each thread count.

    Returns ({(letter, threads): seconds}, number of query points answered per run);
    "e" is left out where pykdtree is not installed."""
    if pykdtree_class() is None:
        methods = methods.replace("e", "")
    prepared, perms, originals = prepare_clouds(clouds, sort_spatially)
    check_agreement(prepared, perms, originals)
    n_queries = sum(len(c) for c in clouds) * len(clouds)
    runs = {
        "a": lambda n: run_pairs(prepared, n, lambda t, q: t.query_prepared(q)),
        "b": lambda n: run_pairs(prepared, n, lambda t, q: t.query_prepared_blocked(q)),
        "c": lambda n: run_grouped(prepared, perms, n),
        "d": lambda n: run_kdtree(originals, n),
        "e": lambda n: run_pykdtree(originals, n),
    }
    results = {}
    for n in threads:
        for key in methods:
            results[(key, n)] = timed(lambda: runs[key](n), repeats)
    return results, n_queries


def bench(name, clouds, repeats):
    for sort_spatially in (False, True):
        results, n_queries = measure(clouds, sort_spatially, repeats)
        order = "sorted spatially" if sort_spatially else "as generated"
        print(f"\n{name}, {order}: {len(clouds)} clouds x {len(clouds[0])} points, {n_queries:,} query points")
        methods = sorted({key for key, _ in results})
        for key in methods:
            for threads in (1, 2):
                seconds = results[(key, threads)]
                print(
                    f"  {LABELS[key]:30s} threads={threads}: {seconds:8.3f} s  {seconds / n_queries * 1e9:7.1f} ns/point"
                )
        for threads in (1, 2):
            c = results[("c", threads)]
            print(
                f"  ratios, {threads} thread(s): "
                + "  ".join(f"{key}/c {results[(key, threads)] / c:5.2f}" for key in methods if key != "c")
            )
        for key in methods:
            print(f"  2-thread speed-up {LABELS[key]:30s} {results[(key, 1)] / results[(key, 2)]:5.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--clouds", type=int, default=16)
    parser.add_argument("--points", type=int, default=25000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--data", default=os.environ.get("ORNEL_DATA", str(DATA)))
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
