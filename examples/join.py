"""Join two point clouds by nearest neighbour and check the answers.

Generates two noisy scans of a sphere, builds each cloud's Delaunay graph,
prepares the target once and answers every point of the query cloud with its
nearest target point, in both directions. A random sample of answers is checked
against scipy's cKDTree, and the Chamfer and Hausdorff distances are printed.
"""

import sys
import time

import numpy as np
from scipy.spatial import Delaunay, cKDTree

import _ornel


def delaunay_graph(points):
    indptr, indices = Delaunay(points).vertex_neighbor_vertices
    return indptr.astype(np.uint32), indices.astype(np.uint32)


def noisy_sphere(rng, n):
    v = rng.normal(size=(n, 3))
    return v / np.linalg.norm(v, axis=1)[:, None] + rng.normal(scale=0.005, size=(n, 3))


def main():
    rng = np.random.default_rng(0)
    a, b = noisy_sphere(rng, 60_000), noisy_sphere(rng, 50_000)
    graphs = [delaunay_graph(a), delaunay_graph(b)]
    prepared = [_ornel.PreparedF64(a, *graphs[0]), _ornel.PreparedF64(b, *graphs[1])]

    failures = 0
    for name, (query, target, qi, ti) in {"a -> b": (a, b, 0, 1), "b -> a": (b, a, 1, 0)}.items():
        start = time.perf_counter()
        dists, idx = prepared[ti].query_prepared(prepared[qi])
        seconds = time.perf_counter() - start
        sample = rng.choice(len(query), size=2000, replace=False)
        ref_d, _ = cKDTree(target).query(query[sample])
        failures += int(np.count_nonzero(np.abs(dists[sample] - ref_d) > 1e-12))
        print(f"{name}: {len(query):,} points in {seconds * 1e3:.1f} ms "
              f"({seconds / len(query) * 1e9:.0f} ns/point); mean {dists.mean():.5f}, max {dists.max():.5f}")
    if failures:
        print(f"{failures} sampled answers differ from cKDTree", file=sys.stderr)
        return 1
    print("sampled answers agree with cKDTree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
