"""Every entry point of _ornel once, on small random clouds: the README's examples as one script.

It checks its answers against scipy's cKDTree as it goes, and is type-checked
with `mypy --strict` against the module's stubs (ci/stubtest.sh).

    python examples/quick_start.py
"""

from concurrent.futures import ThreadPoolExecutor

import _ornel
import numpy as np
from scipy.spatial import Delaunay, cKDTree

import ornel


def main() -> None:
    rng = np.random.default_rng(0)
    x, y = rng.random((10_000, 3)), rng.random((20_000, 3))
    x_indptr, x_indices = ornel.delaunay_graph(x)
    y_indptr, y_indices = ornel.delaunay_graph(y)
    exact, exact_idx = cKDTree(y).query(x)
    # graph_from_simplices builds the same graph from anyone's tetrahedra, e.g. Qhull's.
    qhull_graph = _ornel.graph_from_simplices(Delaunay(x).simplices.astype(np.uint64), len(x))
    assert np.array_equal(qhull_graph[0], x_indptr) and np.array_equal(qhull_graph[1], x_indices)

    # One-off join of two clouds given as points plus CSR graphs.
    dists, idx = _ornel.all_nearest_neighbours(x, x_indptr, x_indices, y, y_indptr, y_indices)
    assert np.array_equal(dists, exact) and dists.dtype == np.float64 and idx.dtype == np.uint64

    # Prepare clouds once, then join them as often as needed.
    target = _ornel.PreparedF64(y, y_indptr, y_indices)
    query = _ornel.PreparedF64(x, x_indptr, x_indices)
    assert np.array_equal(target.query(x, x_indptr, x_indices)[0], exact)
    dists, idx = target.query_prepared(query)
    assert np.array_equal(dists, exact)

    # A bound: points without a target point within 0.01 get the miss marker (inf, n).
    dists, idx = target.query_prepared(query, distance_upper_bound=0.01)
    missed = idx == target.n
    assert np.array_equal(missed, exact > 0.01) and np.isinf(dists[missed]).all()

    # The 8 nearest target points of every query point, by a search that keeps 32 candidates.
    k_dists, k_idx = target.query_prepared_k(query, 8, 32)
    k_exact, _ = cKDTree(y).query(x, k=8)
    assert k_dists.shape == (10_000, 8) and np.allclose(k_dists, k_exact)
    k_dists, k_idx = target.query_k(x, x_indptr, x_indices, 8, 32)
    k_dists, k_idx = _ornel.all_nearest_neighbours_k(x, x_indptr, x_indices, y, y_indptr, y_indices, 8, 32)

    # Single precision: float32 points, float32 distances.
    x32, y32 = x.astype(np.float32), y.astype(np.float32)
    d32, i32 = _ornel.all_nearest_neighbours_f32(x32, x_indptr, x_indices, y32, y_indptr, y_indices)
    assert d32.dtype == np.float32 and np.allclose(d32, exact, rtol=1e-5, atol=1e-6)
    k32, _ = _ornel.all_nearest_neighbours_k_f32(x32, x_indptr, x_indices, y32, y_indptr, y_indices, 4, 16)
    target32 = _ornel.PreparedF32(y32, y_indptr, y_indices)
    query32 = _ornel.PreparedF32(x32, x_indptr, x_indices)
    d32, i32 = target32.query_prepared_blocked(query32)
    assert np.allclose(d32, exact, rtol=1e-5, atol=1e-6)

    # All-by-all: every cloud sorted spatially, prepared once, one grouped query set,
    # one query_grouped call per target from a thread pool.
    clouds = [rng.random((n, 3)).astype(np.float32) for n in (5_000, 8_000, 6_000)]
    perms = [ornel.morton_order(c.astype(np.float64)).astype(np.int64) for c in clouds]
    prepared = []
    for cloud, perm in zip(clouds, perms):
        ordered = np.ascontiguousarray(cloud[perm])
        prepared.append(_ornel.PreparedF32(ordered, *ornel.delaunay_graph(ordered.astype(np.float64))))
    grouped = _ornel.GroupedQueriesF32.prepare(prepared, perms)
    offsets = grouped.offsets
    with ThreadPoolExecutor() as pool:
        results = list(pool.map(lambda tp: tp[0].query_grouped(grouped, tp[1]), zip(prepared, perms)))
    for t, (dists32, idx32) in enumerate(results):
        for q, cloud in enumerate(clouds):
            own = dists32[offsets[q] : offsets[q + 1]]  # cloud q's points in their original order
            near = idx32[offsets[q] : offsets[q + 1]]  # indices into clouds[t] in its original order
            reference, _ = cKDTree(clouds[t]).query(cloud)
            assert np.allclose(own, reference, rtol=1e-5, atol=1e-6)
            assert np.allclose(np.linalg.norm(clouds[t][near] - cloud, axis=1), reference, rtol=1e-5, atol=1e-6)
    print(f"{grouped!r}: all answers agree with cKDTree")


if __name__ == "__main__":
    main()
