"""Single-nearest join: _ornel against scipy's cKDTree and pykdtree on the same data.

For two pairs of 200,000-point clouds (uniform in a cube; jittered on a
surface), in both precisions, and with the clouds both as generated and sorted
along a Z-order curve, times (median of several runs, one thread each):
  query_prepared   both clouds prepared beforehand (the all-by-all fast path)
  query            target prepared, query cloud packed per call
  all_nearest      both clouds packed per call
  cKDTree          cKDTree(y).query(x, k=1, workers=1), tree built beforehand
  pykdtree         pykdtree KDTree(y).query(x, k=1) on one OpenMP thread, tree
                   built beforehand (where its wheel is installed)
and prints ns per query point and each kd-tree's time divided by ours.
Graphs, prepared clouds and trees are built outside the timed calls.

    python benchmarks/bench_nearest.py [--n 200000] [--repeats 5]
"""

import argparse

import numpy as np
from common import (delaunay_graph, jittered_surface, machine_line, median_seconds, morton_order, openmp_threads,
                    pykdtree_class, uniform_cube)
from scipy.spatial import cKDTree

import _ornel

METHODS = ("query_prepared", "query", "all_nearest", "cKDTree", "pykdtree")


def measure(x, y, x_graph, y_graph, dtype, repeats):
    """Seconds per call (median) of our three single-nearest paths and of the kd-tree peers.

    Checks first that every path answers what cKDTree answers. Returns a dict
    keyed by METHODS ("pykdtree" absent when it is not installed)."""
    join = _ornel.all_nearest_neighbours if dtype == np.float64 else _ornel.all_nearest_neighbours_f32
    Prepared = _ornel.PreparedF64 if dtype == np.float64 else _ornel.PreparedF32
    xs, ys = np.ascontiguousarray(x, dtype=dtype), np.ascontiguousarray(y, dtype=dtype)
    target, query = Prepared(ys, *y_graph), Prepared(xs, *x_graph)
    tree = cKDTree(ys)
    ref, _ = tree.query(xs, k=1, workers=1)
    for d, _ in (target.query_prepared(query), target.query(xs, *x_graph), join(xs, *x_graph, ys, *y_graph)):
        assert np.allclose(d, ref, rtol=1e-5, atol=1e-6), "answers differ from cKDTree"
    times = {
        "query_prepared": median_seconds(lambda: target.query_prepared(query), repeats),
        "query": median_seconds(lambda: target.query(xs, *x_graph), repeats),
        "all_nearest": median_seconds(lambda: join(xs, *x_graph, ys, *y_graph), repeats),
        "cKDTree": median_seconds(lambda: tree.query(xs, k=1, workers=1), repeats),
    }
    KDTree = pykdtree_class()
    if KDTree is not None:
        peer = KDTree(ys)
        with openmp_threads(1):
            d, _ = peer.query(xs, k=1)
            assert np.allclose(d, ref, rtol=1e-5, atol=1e-6), "pykdtree's answers differ from cKDTree"
            times["pykdtree"] = median_seconds(lambda: peer.query(xs, k=1), repeats)
    return times


def print_row(name, dtype, times, n):
    ns = {k: v / n * 1e9 for k, v in times.items()}
    cells = " ".join(f"{ns[k]:>9.0f}" if k in ns else f"{'-':>9}" for k in METHODS)
    ratios = []
    for peer in ("cKDTree", "pykdtree"):
        if peer in times:
            ratios += [f"{times[peer] / times[k]:>6.2f}x" for k in ("query_prepared", "query", "all_nearest")]
    print(f"{name:<28} {np.dtype(dtype).name:<8} {cells}   " + " ".join(ratios))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(42)
    print(machine_line())
    print(f"ns per query point (median of {args.repeats}, one thread); ratios = kd-tree time / ours "
          "(higher is better) for prepared, query, all_nn: first against cKDTree, then against pykdtree")
    print(f"{'case':<28} {'dtype':<8} {'prepared':>9} {'query':>9} {'all_nn':>9} {'cKDTree':>9} {'pykdtree':>9}")
    for kind, make in [("cube", uniform_cube), ("surface", jittered_surface)]:
        x, y = make(rng, args.n), make(rng, args.n)
        for order in ("generated", "sorted"):
            if order == "sorted":
                x, y = x[morton_order(x)], y[morton_order(y)]
            x_graph, y_graph = delaunay_graph(x), delaunay_graph(y)
            for dtype in (np.float64, np.float32):
                print_row(f"{kind}, {order}", dtype, measure(x, y, x_graph, y_graph, dtype, args.repeats), len(x))


if __name__ == "__main__":
    main()
