"""k-nearest join: PreparedF64/F32.query_prepared_k against scipy's cKDTree on the same data.

For each pair of clouds (two uniform 200,000-point clouds, as generated and sorted by Morton code, and a
real scan pair), the target's tree and both prepared graphs are built outside the timed calls. Each call
is timed several times; the median is reported in nanoseconds per query point, with the ratio
cKDTree / ours (above 1: ours is faster) and the recall of our rows against the exact k nearest
(the fraction of the exact neighbours that a row lists).

    python benchmarks/bench_knn.py [--n 200000] [--repeat 5]
"""

import argparse

import numpy as np
from common import DATA, delaunay_graph, machine_line, median_seconds, morton_order
from scipy.spatial import cKDTree

import _ornel

K = 8
EFS = (8, 16, 32)


def morton_sorted(points):
    return points[morton_order(points)]


def recall(idx, exact):
    hits = (idx[:, :, None] == exact[:, None, :]).any(axis=2)
    return hits.sum() / exact.size


def cloud_pairs(n, rng):
    x, y = rng.random((n, 3)), rng.random((n, 3))
    yield f"uniform {n:,}, as generated", x, y
    yield f"uniform {n:,}, Morton order", morton_sorted(x), morton_sorted(y)
    bunny = np.load(DATA / "stanford-bunny.npy")
    noise = 1e-3 * float(np.ptp(bunny, axis=0).max())
    scan = bunny + rng.normal(scale=noise, size=bunny.shape)
    yield f"bunny scan {len(bunny):,} -> bunny, file order", scan, bunny
    yield f"bunny scan {len(bunny):,} -> bunny, Morton order", morton_sorted(scan), morton_sorted(bunny)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=200_000, help="points per uniform cloud")
    parser.add_argument("--repeat", type=int, default=5, help="timed calls per measurement (median)")
    args = parser.parse_args()
    rng = np.random.default_rng(2026)

    print(machine_line())
    print(f"k = {K}; median of {args.repeat} calls; ratio = cKDTree time / ours; recall against the exact k nearest")
    for name, x, y in cloud_pairs(args.n, rng):
        x_graph, y_graph = delaunay_graph(x), delaunay_graph(y)
        tree = cKDTree(y)
        exact = tree.query(x, k=K, workers=1)[1].astype(np.uint64)
        tree_seconds = median_seconds(lambda: tree.query(x, k=K, workers=1), args.repeat)
        tree_ns = tree_seconds / len(x) * 1e9
        print(f"\n{name}: cKDTree(y).query(x, k={K}, workers=1) {tree_ns:8.0f} ns/point")
        print(f"  {'precision':9} {'ef':>4} {'ns/point':>10} {'ratio':>7} {'recall':>9}")
        for Prepared, dtype in ((_ornel.PreparedF64, np.float64), (_ornel.PreparedF32, np.float32)):
            target = Prepared(y.astype(dtype), *y_graph)
            query = Prepared(x.astype(dtype), *x_graph)
            for ef in EFS:
                idx = target.query_prepared_k(query, K, ef)[1]
                seconds = median_seconds(lambda: target.query_prepared_k(query, K, ef), args.repeat)
                print(f"  {np.dtype(dtype).name:9} {ef:>4} {seconds / len(x) * 1e9:>10.0f} "
                      f"{tree_seconds / seconds:>7.2f} {recall(idx, exact):>9.5f}")


if __name__ == "__main__":
    main()
