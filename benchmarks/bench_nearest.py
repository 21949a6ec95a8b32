"""Single-nearest join: _ornel against scipy's cKDTree and pykdtree on the same data.

For two pairs of 200,000-point clouds (uniform in a cube; jittered on a
surface), in both precisions, and with the clouds both as generated and sorted
along a Z-order curve, times (median of several runs, one thread each):
  query_prepared   both clouds prepared beforehand (the all-by-all fast path)
  query            target prepared, query cloud packed per call
  all_nearest      both clouds packed per call
  cKDTree          cKDTree(y).query(x, k=1, workers=1), tree built beforehand
  pykdtree         pykdtree KDTree(y).query(x, k=1) on one OpenMP thread, tree
                   built beforehand (where its wheel is installed); the main peer
  pynanoflann      pynanoflann KDTree(n_neighbors=1).fit(y).kneighbors(x), one
                   thread, tree built beforehand (where its wheel is installed)
and prints ns per query point, the spread of the runs ((slowest - fastest) /
median) and each kd-tree's time divided by ours.
Graphs, prepared clouds and trees are built outside the timed calls.

    python benchmarks/bench_nearest.py [--n 200000] [--repeats 5]
"""

import argparse

import _ornel
import numpy as np
from common import (
    jittered_surface,
    machine_line,
    median_seconds,
    openmp_threads,
    pykdtree_class,
    pynanoflann_class,
    uniform_cube,
)
from scipy.spatial import cKDTree

from ornel import delaunay_graph, morton_order

METHODS = ("query_prepared", "query", "all_nearest", "cKDTree", "pykdtree", "pynanoflann")
PEERS = ("pykdtree", "pynanoflann", "cKDTree")


def measure(x, y, x_graph, y_graph, dtype, repeats, spreads=None):
    """Seconds per call (median) of our three single-nearest paths and of the kd-tree peers.

    Checks first that every path answers what cKDTree answers. Returns a dict
    keyed by METHODS (a peer absent when it is not installed); with `spreads`,
    fills it with the spread of each method's runs."""
    join = _ornel.all_nearest_neighbours if dtype == np.float64 else _ornel.all_nearest_neighbours_f32
    Prepared = _ornel.PreparedF64 if dtype == np.float64 else _ornel.PreparedF32
    xs, ys = np.ascontiguousarray(x, dtype=dtype), np.ascontiguousarray(y, dtype=dtype)
    target, query = Prepared(ys, *y_graph), Prepared(xs, *x_graph)
    tree = cKDTree(ys)
    ref, _ = tree.query(xs, k=1, workers=1)
    for d, _ in (target.query_prepared(query), target.query(xs, *x_graph), join(xs, *x_graph, ys, *y_graph)):
        assert np.allclose(d, ref, rtol=1e-5, atol=1e-6), "answers differ from cKDTree"
    times = {
        "query_prepared": median_seconds(lambda: target.query_prepared(query), repeats, spreads, "query_prepared"),
        "query": median_seconds(lambda: target.query(xs, *x_graph), repeats, spreads, "query"),
        "all_nearest": median_seconds(lambda: join(xs, *x_graph, ys, *y_graph), repeats, spreads, "all_nearest"),
        "cKDTree": median_seconds(lambda: tree.query(xs, k=1, workers=1), repeats, spreads, "cKDTree"),
    }
    KDTree = pykdtree_class()
    if KDTree is not None:
        peer = KDTree(ys)
        with openmp_threads(1):
            d, _ = peer.query(xs, k=1)
            assert np.allclose(d, ref, rtol=1e-5, atol=1e-6), "pykdtree's answers differ from cKDTree"
            times["pykdtree"] = median_seconds(lambda: peer.query(xs, k=1), repeats, spreads, "pykdtree")
    NanoflannTree = pynanoflann_class()
    if NanoflannTree is not None:
        nanoflann = NanoflannTree(n_neighbors=1)
        nanoflann.fit(ys)
        d, _ = nanoflann.kneighbors(xs, 1)
        assert np.allclose(d[:, 0], ref, rtol=1e-5, atol=1e-6), "pynanoflann's answers differ from cKDTree"
        times["pynanoflann"] = median_seconds(lambda: nanoflann.kneighbors(xs, 1), repeats, spreads, "pynanoflann")
    return times


def print_row(name, dtype, times, spreads, n):
    ns = {k: v / n * 1e9 for k, v in times.items()}
    cells = " ".join(f"{ns[k]:>7.0f} {spreads[k]:>4.0%}" if k in ns else f"{'-':>12}" for k in METHODS)
    ratios = []
    for peer in PEERS:
        if peer in times:
            ratios += [f"{times[peer] / times[k]:>6.2f}x" for k in ("query_prepared", "query", "all_nearest")]
        else:
            ratios += [f"{'-':>7}"] * 3
    print(f"{name:<20} {np.dtype(dtype).name:<8} {cells}  " + " ".join(ratios))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(42)
    print(machine_line())
    print(
        f"ns per query point (median of {args.repeats}, one thread) and spread of the runs; ratios = kd-tree "
        "time / ours (higher is better) for prepared, query, all_nn: against pykdtree, pynanoflann, cKDTree"
    )
    print(f"{'case':<20} {'dtype':<8} " + " ".join(f"{m[:12]:>12}" for m in METHODS))
    for kind, make in [("cube", uniform_cube), ("surface", jittered_surface)]:
        x, y = make(rng, args.n), make(rng, args.n)
        for order in ("generated", "sorted"):
            if order == "sorted":
                x, y = x[morton_order(x)], y[morton_order(y)]
            x_graph, y_graph = delaunay_graph(x), delaunay_graph(y)
            for dtype in (np.float64, np.float32):
                spreads = {}
                times = measure(x, y, x_graph, y_graph, dtype, args.repeats, spreads)
                print_row(f"{kind}, {order}", dtype, times, spreads, len(x))


if __name__ == "__main__":
    main()
