"""The threaded k-nearest self-join behind the normals: the rows of `query_prepared_k` for a
cloud joined with itself, bit for bit and ties in order, on any number of threads; exact
against cKDTree on quantised scans with repeated points, near the origin and far from it."""

import _ornel
import numpy as np
import pytest
from conftest import quantised_scan
from scipy.spatial import cKDTree

import ornel
from ornel._native import estimate_normals, knn_self

PREPARED = {np.float32: _ornel.PreparedF32, np.float64: _ornel.PreparedF64}


def todays_rows(points, indptr, indices, k, ef):
    prepared = PREPARED[points.dtype.type](points, indptr, indices)
    return prepared.query_prepared_k(prepared, k, ef)


def sorted_scan(rng, n, offset, dtype):
    points = quantised_scan(rng, n, offset)
    points[-60:] = points[-61]  # more copies of one point than the search keeps candidates
    return points[ornel.morton_order(points)].astype(dtype)


def assert_rows_equal(got, expected, n):
    np.testing.assert_array_equal(got[0], expected[0])
    np.testing.assert_array_equal(got[1], np.where(expected[1] < n, expected[1], n).astype(np.uint32))
    assert got[0].dtype == expected[0].dtype and got[1].dtype == np.uint32


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
def test_rows_equal_todays_and_brute_force_on_any_thread_count(dtype, offset):
    rng = np.random.default_rng(int(offset) % 97 + 5)
    points = sorted_scan(rng, 7000, offset, dtype)
    indptr, indices = ornel.delaunay_graph(points)
    k, ef = 20, 32
    expected = todays_rows(points, indptr, indices, k, ef)
    for threads in (1, 2, 3):
        assert_rows_equal(knn_self(points, indptr, indices, k, ef, threads=threads), expected, len(points))
    dists, idx = knn_self(points, indptr, indices, k, ef, threads=2)
    # Each entry is a distinct point at the distance given, the nearest first.
    at = np.sqrt(((points[idx].astype(np.float64) - points[:, None].astype(np.float64)) ** 2).sum(axis=2))
    if dtype == np.float64:
        np.testing.assert_array_equal(dists, cKDTree(points).query(points, k)[0])
        np.testing.assert_allclose(at, dists, rtol=1e-12, atol=0)
    else:
        reference = cKDTree(points.astype(np.float64)).query(points.astype(np.float64), k)[0]
        np.testing.assert_allclose(dists, reference, rtol=1e-5, atol=1e-6 * max(offset, 1.0))
    assert all(len(set(row)) == k for row in idx.tolist())
    assert (dists[:, 0] == 0).all()


def test_rows_stay_exact_where_the_seeds_cannot_be_foretold():
    # Rows in a scrambled order: the copies of a repeated point are no longer met
    # lowest first, so some searches must be redone from their true seeds.
    rng = np.random.default_rng(11)
    points = sorted_scan(rng, 6000, 0.0, np.float64)
    indptr, indices = ornel.delaunay_graph(points)
    scrambled = indices.copy()
    for v in range(len(points)):
        rng.shuffle(scrambled[indptr[v] : indptr[v + 1]])
    for k, ef in ((20, 32), (5, 5), (8, 0)):
        expected = todays_rows(points, indptr, scrambled, k, ef)
        for threads in (1, 3):
            assert_rows_equal(knn_self(points, indptr, scrambled, k, ef, threads=threads), expected, len(points))


def test_small_clouds_and_refusals():
    rng = np.random.default_rng(2)
    points = np.round(rng.random((6, 3)), 1)
    points[3] = points[1]
    indptr, indices = ornel.delaunay_graph(points)
    for k in (0, 4, 9):  # k beyond the points leaves misses, (inf, n)
        assert_rows_equal(
            knn_self(points, indptr, indices, k, 16, threads=2),
            todays_rows(points, indptr, indices, k, 16),
            len(points),
        )
    bad = indices.copy()
    bad[0] = 6
    with pytest.raises(ValueError, match="graph of the points"):
        knn_self(points, indptr, bad, 3, 8)
    with pytest.raises(ValueError, match="graph of the points"):
        knn_self(points, indptr[:-1], indices, 3, 8)
    with pytest.raises(ValueError, match="threads must be at least 1"):
        knn_self(points, indptr, indices, 3, 8, threads=0)


@pytest.mark.parametrize("offset", [0.0, 5e6])
def test_normals_do_not_depend_on_the_threads(offset):
    rng = np.random.default_rng(8)
    raw = quantised_scan(rng, 6000, offset)
    reference = ornel.Cloud(raw)
    coords = reference.sorted_coordinates("f64")
    indptr, indices = reference.graph("f64")
    _, near = todays_rows(coords, indptr, indices, 20, 32)
    expected = estimate_normals(coords, near.astype(np.uint32), 2)
    for threads in (1, 2, 3):
        np.testing.assert_array_equal(ornel.Cloud(raw).normals(threads=threads), expected)
