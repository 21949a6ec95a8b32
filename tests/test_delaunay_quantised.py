"""Delaunay graphs of quantised, nearly flat clouds full of duplicates, as scanners produce them."""

import _ornel
import numpy as np
import pytest

import ornel


def quantised_slab(rng, n, levels, thickness):
    """Points on a levels**3 lattice squeezed to a thin slab: many exact duplicates and ties."""
    return np.round(rng.random((n, 3)) * levels) / levels * [1, 1, thickness]


def check_graph_structure(indptr, indices, n):
    assert len(indptr) == n + 1 and indptr[-1] == len(indices)
    assert len(indices) == 0 or int(indices.max()) < n
    rows = [indices[indptr[i] : indptr[i + 1]].tolist() for i in range(n)]
    assert all(rows), "a point without neighbours"
    assert all(len(set(r)) == len(r) and i not in r for i, r in enumerate(rows)), "repeated neighbour or self loop"
    assert all(i in rows[j] for i in range(n) for j in rows[i]), "an edge listed one way only"


@pytest.mark.parametrize("seed", [0, 1, 83, 105, 120, 178, 213])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_thin_quantised_slabs_give_symmetric_graphs_and_exact_answers(seed, dtype):
    rng = np.random.default_rng(seed)
    cloud = quantised_slab(rng, 700, 9, 0.01)
    cloud = np.ascontiguousarray(cloud[ornel.morton_order(cloud)].astype(dtype))
    graph = ornel.delaunay_graph(cloud)
    check_graph_structure(*graph, len(cloud))
    again = ornel.delaunay_graph(cloud)
    np.testing.assert_array_equal(graph[1], again[1])  # the same graph every time
    queries = np.concatenate(
        [cloud[rng.integers(0, len(cloud), 100)], rng.random((200, 3)).astype(dtype) * [1, 1, 0.02]]
    )
    queries = np.ascontiguousarray(queries.astype(dtype))
    find = _ornel.all_nearest_neighbours if dtype == np.float64 else _ornel.all_nearest_neighbours_f32
    dists, idx = find(queries, *ornel.delaunay_graph(queries), cloud, *graph)
    diff = cloud[None].astype(np.float64) - queries[:, None].astype(np.float64)
    d2 = (diff[..., 0] * diff[..., 0] + diff[..., 1] * diff[..., 1]) + diff[..., 2] * diff[..., 2]
    np.testing.assert_allclose(dists, np.sqrt(d2.min(1)), rtol=1e-6 if dtype == np.float32 else 1e-15)
