"""Single-nearest join: _ornel against scipy's cKDTree on the same data.

For two pairs of 200,000-point clouds (uniform in a cube; jittered on a
surface), in both precisions, and with the clouds both as generated and sorted
along a Z-order curve, times (median of several runs):
  query_prepared   both clouds prepared beforehand (the all-by-all fast path)
  query            target prepared, query cloud packed per call
  all_nearest      both clouds packed per call
  cKDTree          cKDTree(y).query(x, k=1, workers=1), tree built beforehand
and prints ns per query point and cKDTree's time divided by ours.

    python benchmarks/bench_nearest.py [--n 200000] [--repeats 5]
"""

import argparse

import numpy as np
from common import delaunay_graph, jittered_surface, machine_line, median_seconds, morton_order, uniform_cube
from scipy.spatial import cKDTree

import _ornel


def run_case(name, x, y, dtype, repeats):
    join = _ornel.all_nearest_neighbours if dtype == np.float64 else _ornel.all_nearest_neighbours_f32
    Prepared = _ornel.PreparedF64 if dtype == np.float64 else _ornel.PreparedF32
    xg, yg = delaunay_graph(x), delaunay_graph(y)
    xs, ys = x.astype(dtype), y.astype(dtype)
    target, query = Prepared(ys, *yg), Prepared(xs, *xg)
    tree = cKDTree(ys)
    d, _ = target.query_prepared(query)
    ref, _ = tree.query(xs, k=1, workers=1)
    assert np.allclose(d, ref, rtol=1e-5, atol=1e-6), "answers differ from cKDTree"
    times = {
        "query_prepared": median_seconds(lambda: target.query_prepared(query), repeats),
        "query": median_seconds(lambda: target.query(xs, *xg), repeats),
        "all_nearest": median_seconds(lambda: join(xs, *xg, ys, *yg), repeats),
        "cKDTree": median_seconds(lambda: tree.query(xs, k=1, workers=1), repeats),
    }
    ns = {k: v / len(x) * 1e9 for k, v in times.items()}
    ratio = {k: times["cKDTree"] / v for k, v in times.items() if k != "cKDTree"}
    print(f"{name:<28} {np.dtype(dtype).name:<8} "
          + " ".join(f"{ns[k]:>9.0f}" for k in ("query_prepared", "query", "all_nearest", "cKDTree"))
          + "   " + " ".join(f"{ratio[k]:>6.2f}x" for k in ("query_prepared", "query", "all_nearest")))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(42)
    print(machine_line())
    print(f"ns per query point (median of {args.repeats}); ratio = cKDTree time / ours (higher is better)")
    print(f"{'case':<28} {'dtype':<8} {'prepared':>9} {'query':>9} {'all_nn':>9} {'cKDTree':>9}"
          f"   {'prepared':>7} {'query':>7} {'all_nn':>7}")
    for kind, make in [("cube", uniform_cube), ("surface", jittered_surface)]:
        x, y = make(rng, args.n), make(rng, args.n)
        for order in ("generated", "sorted"):
            if order == "sorted":
                x, y = x[morton_order(x)], y[morton_order(y)]
            for dtype in (np.float64, np.float32):
                run_case(f"{kind}, {order}", x, y, dtype, args.repeats)


if __name__ == "__main__":
    main()
