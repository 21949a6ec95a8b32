"""Walks that scan stored rows of neighbour coordinates (`rows=`) against the same walks
gathering coordinates through the graph, and against brute force on Delaunay graphs: the
same answers, distances, margins and faults bit for bit, on arbitrary graphs (repeats,
self-loops, empty and short rows, NaN), near the origin and far from it, in both
precisions and on both vector paths."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import random_graph
from hypothesis import given
from hypothesis import strategies as st
from scipy.spatial import cKDTree

import ornel
from ornel._native import nearest_from_starts, neighbour_rows, track_nearest

HERE = Path(__file__).resolve().parent


def reference_rows(points, indptr, indices):
    """Row v's neighbours' x's, then y's, then z's, from 3 * indptr[v]."""
    out = np.zeros(3 * len(indices), points.dtype)
    for v in range(len(indptr) - 1):
        begin, end = int(indptr[v]), int(indptr[v + 1])
        out[3 * begin: 3 * end] = points[indices[begin:end]].T.reshape(-1)
    return out


def target_and_graph(rng, kind, n, dtype, offset):
    """Coarse grid points (ties and repeats everywhere) with a random graph or their Delaunay graph."""
    points = rng.integers(0, 6, size=(n, 3)) / 8 + offset
    points[: n // 5] = points[n // 5: 2 * (n // 5)]
    points = points.astype(dtype)
    if kind == "delaunay":
        return points, ornel.delaunay_graph(points)
    if kind == "nan":
        points[::11, 1] = np.nan
    return points, random_graph(rng, n, 13)


def walks(points, indptr, indices, queries, starts, rows, threads=1):
    """Every walk the rows serve: from starts (bounded and not), chained, and tracked."""
    out = [*nearest_from_starts(points, indptr, indices, queries, starts, None, threads, rows),
           *nearest_from_starts(points, indptr, indices, queries, starts, 0.3, threads, rows),
           *nearest_from_starts(points, indptr, indices, queries, None, None, threads, rows)]
    state = track_nearest(points, indptr, indices, queries, threads=threads, rows=rows)
    moved = queries + np.sin(np.arange(queries.size)).reshape(queries.shape) * 0.05
    tracked = track_nearest(points, indptr, indices, moved, queries, *state[1:], threads, rows)
    return out + [*state, *tracked]


def assert_walks_equal(a, b):
    for got, expected in zip(a, b, strict=True):
        np.testing.assert_array_equal(got, expected)
        assert got.dtype == expected.dtype


@given(seed=st.integers(0, 2**32 - 1), kind=st.sampled_from(["delaunay", "random", "nan"]),
       dtype=st.sampled_from([np.float32, np.float64]), offset=st.sampled_from([0.0, 5e5, 5e6]),
       n=st.integers(1, 90))
def test_row_scan_answers_as_the_gathering_walk(seed, kind, dtype, offset, n):
    rng = np.random.default_rng(seed)
    if kind == "delaunay" and n < 8:
        n = 8
    points, (indptr, indices) = target_and_graph(rng, kind, n, dtype, offset)
    rows = neighbour_rows(points, indptr, indices, threads=1 + seed % 3)
    assert rows.dtype == points.dtype
    np.testing.assert_array_equal(rows, reference_rows(points, indptr, indices))
    queries = rng.integers(-1, 8, size=(60, 3)) / 8 + offset
    queries[::7] += rng.normal(scale=0.01, size=queries[::7].shape)
    queries = queries[ornel.morton_order(queries)]
    starts = rng.integers(0, n, size=len(queries)).astype(np.uint32)
    gathered = walks(points, indptr, indices, queries, starts, None)
    scanned = walks(points, indptr, indices, queries, starts, rows)
    assert_walks_equal(scanned, gathered)
    if kind == "delaunay":  # exact from any start
        np.testing.assert_array_equal(np.sqrt(scanned[0]), cKDTree(points.astype(np.float64)).query(queries)[0])


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("offset", [0.0, 5e6])
def test_row_scan_is_exact_on_a_scan_and_independent_of_threads(dtype, offset):
    rng = np.random.default_rng(21)
    model = np.load(HERE.parent / "data" / "stanford-bunny.npy")
    points = (np.round(model[rng.integers(0, len(model), 20_000)] / 1e-4) * 1e-4 + offset).astype(dtype)
    target = ornel.Cloud(points)
    sorted_points = target.sorted_coordinates("f32" if dtype == np.float32 else "f64")
    precision = "f32" if dtype == np.float32 else "f64"
    indptr, indices = target.graph(precision)
    rows = target.neighbour_rows(precision)
    assert target.neighbour_rows(precision) is rows and not rows.flags.writeable  # kept, and read-only
    queries = model[rng.integers(0, len(model), 30_000)] + rng.normal(scale=1e-3, size=(30_000, 3)) + offset
    queries = queries[ornel.morton_order(queries)]
    ref = cKDTree(sorted_points.astype(np.float64)).query(queries)[0]
    starts = rng.integers(0, len(sorted_points), len(queries)).astype(np.uint32)
    single = walks(sorted_points, indptr, indices, queries, starts, rows)
    np.testing.assert_array_equal(np.sqrt(single[0]), ref)
    assert_walks_equal(walks(sorted_points, indptr, indices, queries, starts, rows, threads=3), single)
    assert_walks_equal(walks(sorted_points, indptr, indices, queries, starts, None), single)


def test_row_scan_reports_the_faults_of_the_gathering_walk():
    rng = np.random.default_rng(22)
    points = rng.random((400, 3))
    indptr, indices = ornel.delaunay_graph(points)
    rows = neighbour_rows(points, indptr, indices)
    queries = rng.random((3000, 3))
    starts = rng.integers(0, 400, len(queries)).astype(np.uint32)

    def message(call):
        with pytest.raises(ValueError) as caught:
            call()
        return str(caught.value)

    # A neighbour outside the target, late in a long row: the first bad entry of the row is named.
    bad = indices.copy()
    row = int(np.argmax(np.diff(indptr.astype(np.int64))))
    bad[indptr[row + 1] - 1] = 400
    bad[indptr[row + 1] - 3] = 401
    starts[1234] = row
    for call in (lambda r: nearest_from_starts(points, indptr, bad, queries, starts, rows=r),
                 lambda r: track_nearest(points, indptr, bad, queries, rows=r)):
        expected = message(lambda: call(None))
        assert expected == message(lambda: call(rows))
    assert f"indices[{indptr[row + 1] - 3}] = 401" in message(lambda: nearest_from_starts(
        points, indptr, bad, queries, starts, rows=rows))
    # A row that ends outside indices.
    broken = indptr.copy()
    broken[row + 1:] = len(indices) + 5
    assert message(lambda: nearest_from_starts(points, broken, indices, queries, starts)) == message(
        lambda: nearest_from_starts(points, broken, indices, queries, starts, rows=rows))
    # Rows that do not fit the graph, or not the points' type, are refused before any walk.
    for wrong in (rows[:-1], np.concatenate([rows, rows[:3]]), rows[:0]):
        with pytest.raises(ValueError, match=rf"rows must hold 3 coordinates per entry of indices "
                                             rf"\({3 * len(indices)}\), not {len(wrong)}"):
            nearest_from_starts(points, indptr, indices, queries, starts, rows=wrong)
        with pytest.raises(ValueError, match="rows must hold"):
            track_nearest(points, indptr, indices, queries, rows=wrong)
    with pytest.raises((TypeError, ValueError), match="rows"):
        nearest_from_starts(points, indptr, indices, queries, starts, rows=rows.astype(np.float32))
    with pytest.raises((TypeError, ValueError), match="rows"):
        nearest_from_starts(points, indptr, indices, queries, starts, rows=rows.reshape(-1, 3))
    with pytest.raises(ValueError, match=rf"indices\[{indptr[row + 1] - 3}\] = 401 is not a point"):
        neighbour_rows(points, indptr, bad)
    with pytest.raises(ValueError, match="threads must be at least 1"):
        neighbour_rows(points, indptr, indices, threads=0)


VECTOR_PATH_WALKS = """
import sys
import numpy as np
import ornel
from ornel._native import neighbour_rows
from test_neighbour_rows import target_and_graph, walks
rng = np.random.default_rng(23)
out = {}
for case, (kind, dtype, offset) in enumerate([("delaunay", np.float64, 5e5), ("random", np.float32, 0.0),
                                              ("nan", np.float64, 5e6), ("delaunay", np.float32, 0.0)]):
    points, (indptr, indices) = target_and_graph(rng, kind, 300, dtype, offset)
    queries = rng.integers(-1, 8, size=(500, 3)) / 8 + offset + rng.normal(scale=0.01, size=(500, 3))
    starts = rng.integers(0, 300, size=500).astype(np.uint32)
    rows = neighbour_rows(points, indptr, indices)
    scanned = walks(points, indptr, indices, queries, starts, rows)
    gathered = walks(points, indptr, indices, queries, starts, None)
    assert all(np.array_equal(a, b, equal_nan=a.dtype.kind == "f") for a, b in zip(scanned, gathered)), case
    for i, array in enumerate(scanned):
        out[f"{case}_{i}"] = array
np.savez(sys.argv[1], **out)
"""


def test_both_vector_paths_give_the_gathering_walks_answers(tmp_path):
    saved = {}
    for disable in ("0", "1"):
        env = dict(os.environ, ORNEL_DISABLE_AVX2=disable)
        target = tmp_path / f"avx2_off_{disable}.npz"
        subprocess.run([sys.executable, "-c", VECTOR_PATH_WALKS, str(target)], env=env, check=True,
                       capture_output=True, cwd=HERE)
        saved[disable] = np.load(target)
    assert sorted(saved["0"].files) == sorted(saved["1"].files) and len(saved["0"].files) == 4 * 12
    for name in saved["0"].files:
        np.testing.assert_array_equal(saved["0"][name], saved["1"][name], err_msg=name)
