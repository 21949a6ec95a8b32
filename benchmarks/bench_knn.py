"""k-nearest join: PreparedF64/F32.query_prepared_k against pykdtree, pynanoflann and cKDTree on the same data.

For each pair of clouds (two uniform 200,000-point clouds, as generated and sorted by Morton code, and a
real scan pair), the target's trees and both prepared graphs are built outside the timed calls. Each call
is timed several times on one thread; the median is reported in nanoseconds per query point, with the
spread of the runs ((slowest - fastest) / median), the ratios peer / ours (above 1: ours is faster;
pykdtree is the main peer, pynanoflann and cKDTree follow where installed) and the recall of our rows
against the exact k nearest (the fraction of the exact neighbours that a row lists).

    python benchmarks/bench_knn.py [--n 200000] [--repeat 5]
"""

import argparse

import _ornel
import numpy as np
from common import (
    DATA,
    machine_line,
    median_seconds,
    openmp_threads,
    pykdtree_class,
    pynanoflann_class,
)
from scipy.spatial import cKDTree

from ornel import delaunay_graph, morton_order

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


def measure_peers(x, y, k, repeats, spreads=None):
    """Seconds per k-nearest call of the kd-tree peers (one thread, on the
    points as given: pykdtree and pynanoflann search float32 points in float32)
    and the exact answers.

    Returns ({"pykdtree": s, "pynanoflann": s, "cKDTree": s}, exact indices); a
    peer is absent where it is not installed. With `spreads`, fills it with the
    spread of each peer's runs."""
    tree = cKDTree(y)
    exact = tree.query(x, k=k, workers=1)[1].astype(np.uint64)
    times = {}
    KDTree = pykdtree_class()
    if KDTree is not None:
        peer = KDTree(y)
        with openmp_threads(1):
            times["pykdtree"] = median_seconds(lambda: peer.query(x, k=k), repeats, spreads, "pykdtree")
    NanoflannTree = pynanoflann_class()
    if NanoflannTree is not None:
        nanoflann = NanoflannTree(n_neighbors=k)
        nanoflann.fit(y)
        times["pynanoflann"] = median_seconds(lambda: nanoflann.kneighbors(x, k), repeats, spreads, "pynanoflann")
    times["cKDTree"] = median_seconds(lambda: tree.query(x, k=k, workers=1), repeats, spreads, "cKDTree")
    return times, exact


def measure(x, y, x_graph, y_graph, dtype, k, efs, exact, repeats):
    """Rows {"ef", "seconds", "recall"} of query_prepared_k in the precision `dtype`, one per ef."""
    Prepared = _ornel.PreparedF64 if dtype == np.float64 else _ornel.PreparedF32
    target = Prepared(np.ascontiguousarray(y, dtype=dtype), *y_graph)
    query = Prepared(np.ascontiguousarray(x, dtype=dtype), *x_graph)
    rows = []
    for ef in efs:
        idx = target.query_prepared_k(query, k, ef)[1]
        spreads = {}
        seconds = median_seconds(lambda: target.query_prepared_k(query, k, ef), repeats, spreads, "ours")
        rows.append({"ef": ef, "seconds": seconds, "spread": spreads["ours"], "recall": recall(idx, exact)})
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=200_000, help="points per uniform cloud")
    parser.add_argument("--repeat", type=int, default=5, help="timed calls per measurement (median)")
    args = parser.parse_args()
    rng = np.random.default_rng(2026)

    print(machine_line())
    print(
        f"k = {K}; median of {args.repeat} calls on one thread, with the spread of the runs; "
        "ratio = kd-tree time / ours; recall against the exact k nearest"
    )
    for name, x, y in cloud_pairs(args.n, rng):
        x_graph, y_graph = delaunay_graph(x), delaunay_graph(y)
        print(f"\n{name}")
        for dtype in (np.float64, np.float32):
            spreads = {}
            peers, exact = measure_peers(x.astype(dtype), y.astype(dtype), K, args.repeat, spreads)
            print(
                "  "
                + ", ".join(
                    f"{peer} {seconds / len(x) * 1e9:.0f} ns/point (spread {spreads[peer]:.0%})"
                    for peer, seconds in peers.items()
                )
                + f" on {np.dtype(dtype).name} points"
            )
            header = " ".join(f"{'/ ' + peer:>14}" for peer in peers)
            print(f"  {'precision':9} {'ef':>4} {'ns/point':>10} {'spread':>7} {header} {'recall':>9}")
            for row in measure(x, y, x_graph, y_graph, dtype, K, EFS, exact, args.repeat):
                ratios = " ".join(f"{seconds / row['seconds']:>14.2f}" for seconds in peers.values())
                print(
                    f"  {np.dtype(dtype).name:9} {row['ef']:>4} {row['seconds'] / len(x) * 1e9:>10.0f} "
                    f"{row['spread']:>7.0%} {ratios} {row['recall']:>9.5f}"
                )


if __name__ == "__main__":
    main()
