"""Prepared targets with well-formed graphs take the unchecked vector searches; they must give the
bits of the checked searches, and the same bits with AVX2 on and off.

The checked twin of a target is the same graph with one extra neighbour-list entry that no row
covers and that names no point: the searches never read it, but it keeps the target off the
unchecked path.
"""

import hashlib
import sys
from pathlib import Path

import _ornel
import numpy as np
import pytest
from conftest import assert_same_bits_on_both_vector_paths, random_graph
from hypothesis import given
from hypothesis import strategies as st
from knn_model import knn_join

from ornel import delaunay_graph

HERE = Path(__file__).resolve().parent
MISSING_POINT = np.uint32(2**32 - 1)


def quantised_scan(rng, n):
    """A thin, quantised slab with repeated points: ties everywhere, some points without a row."""
    points = np.round(rng.random((n, 3)) * [12, 12, 2]) / 12
    points[: n // 10] = points[n // 10 : 2 * (n // 10)]
    return points


def cospherical(rng, n):
    """Points on one sphere (every query near the centre ties with all of them), plus the centre."""
    v = rng.normal(size=(n, 3))
    v /= np.linalg.norm(v, axis=1)[:, None]
    return np.vstack([v, [[0.0, 0.0, 0.0]]])


def cases():
    rng = np.random.default_rng(13)
    x, y = quantised_scan(rng, 300), quantised_scan(rng, 320)
    yield "quantised, Delaunay", x, delaunay_graph(x), y, delaunay_graph(y)
    xs, ys = cospherical(rng, 40) * 0.3, cospherical(rng, 60)
    yield "cospherical, Delaunay", xs, delaunay_graph(xs), ys, delaunay_graph(ys)
    yield "quantised, random graphs", x, random_graph(rng, len(x), 9), y, random_graph(rng, len(y), 9)
    xn, yn = x.copy(), y.copy()
    xn[::17, 1] = np.nan
    yn[5::23, 2] = np.nan
    yield "quantised with NaN, Delaunay", xn, delaunay_graph(x), yn, delaunay_graph(y)
    yield "short neighbour list", x[:3], random_graph(rng, 3, 1), y[:3], random_graph(rng, 3, 1)
    # Rows longer than the k-nearest search takes at once, with repeats within and across its pieces.
    yield "quantised with NaN, long random rows", xn, random_graph(rng, len(x), 80), yn, random_graph(rng, len(y), 80)
    # Many searches in flight at once, each seeded by another's answer; on a random target graph
    # the answers depend on the seeds, so a search started from the wrong one shows.
    xw, yw = quantised_scan(rng, 2000), quantised_scan(rng, 1500)
    target_graph = random_graph(rng, len(yw), 12)
    for shape, walk_graph in seeding_shapes(len(xw)):
        yield f"quantised, random target, {shape} query graph", xw, walk_graph, yw, target_graph
    # Bounded: in each three-point component the point answered last lies far outside the target
    # box, so it hands on its own seed, while the next root must start from the answer before it.
    xm = xw.copy()
    xm[1::3, 0] += 3.0
    yield "quantised, random target, components ending in a miss", xm, triples(len(xm)), yw, target_graph


def triples(n):
    """Components {3i, 3i+1, 3i+2}, each a star around 3i."""
    rows = []
    for i in range(n):
        centre = i - i % 3
        rows.append([v for v in (centre + 1, centre + 2) if v < n] if i == centre else [centre])
    indptr = np.concatenate([[0], np.cumsum([len(r) for r in rows])]).astype(np.uint32)
    return indptr, np.array([v for r in rows for v in r], np.uint32)


def seeding_shapes(n):
    """Query graphs whose walks seed in extreme ways: a chain (each point by the one before it), a
    star (every point by the centre) and pairs (every other point a root, seeded by the last answer)."""

    def csr(rows):
        indptr = np.concatenate([[0], np.cumsum([len(r) for r in rows])]).astype(np.uint32)
        return indptr, np.array([v for r in rows for v in r], np.uint32)

    yield "chain", csr([[v for v in (i - 1, i + 1) if 0 <= v < n] for i in range(n)])
    yield "star", csr([list(range(1, n))] + [[0]] * (n - 1))
    yield "pairs", csr([[i ^ 1] if (i ^ 1) < n else [] for i in range(n)])


def searches(target, other, x_points, x_graph):
    """Every search of a prepared target, with and without bounds, k-nearest at odd breadths."""
    yield "query_prepared", target.query_prepared(other)
    yield "query_prepared bounded", target.query_prepared(other, distance_upper_bound=0.05)
    yield "query bounded wide", target.query(x_points, *x_graph, distance_upper_bound=0.8)
    for k, ef in ((1, 1), (4, 8), (8, 8), (8, 9), (3, 0), (6, 2), (5, 16), (5, 40)):
        yield f"query_prepared_k k={k} ef={ef}", target.query_prepared_k(other, k, ef)
    yield "query_prepared_k bounded", target.query_prepared_k(other, 6, 12, distance_upper_bound=0.1)


def run_pair(x, x_graph, y, y_graph, dtype):
    """(name, fast result, checked result) for every search of one pair of clouds."""
    Prepared = _ornel.PreparedF32 if dtype == np.float32 else _ornel.PreparedF64
    x_points, y_points = x.astype(dtype), y.astype(dtype)
    other = Prepared(x_points, *x_graph)
    fast = Prepared(y_points, *y_graph)
    checked = Prepared(y_points, y_graph[0], np.append(y_graph[1], MISSING_POINT))
    fast_results = searches(fast, other, x_points, x_graph)
    checked_results = searches(checked, other, x_points, x_graph)
    for (name, mine), (_, reference) in zip(fast_results, checked_results):
        yield name, mine, reference


def assert_same_bits(name, mine, reference):
    for got, want in zip(mine, reference):
        assert got.dtype == want.dtype and got.shape == want.shape, name
        assert got.tobytes() == want.tobytes(), f"{name}: {np.flatnonzero(got.ravel() != want.ravel())[:5]}"


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_fast_searches_give_the_bits_of_the_checked_ones(dtype):
    for case, x, x_graph, y, y_graph in cases():
        for name, mine, reference in run_pair(x, x_graph, y, y_graph, dtype):
            assert_same_bits(f"{case}, {np.dtype(dtype).name}, {name}", mine, reference)


@given(
    seed=st.integers(0, 2**32 - 1),
    n=st.integers(1, 60),
    levels=st.integers(1, 5),
    dtype=st.sampled_from([np.float32, np.float64]),
)
def test_fast_searches_on_random_graphs(seed, n, levels, dtype):
    rng = np.random.default_rng(seed)
    x, y = np.round(rng.random((n, 3)) * levels) / levels, np.round(rng.random((n + 3, 3)) * levels) / levels
    for name, mine, reference in run_pair(x, random_graph(rng, n, 9), y, random_graph(rng, n + 3, 9), dtype):
        assert_same_bits(name, mine, reference)


@given(
    seed=st.integers(0, 2**32 - 1),
    longest=st.sampled_from([3, 12, 40, 80]),
    levels=st.integers(1, 6),
    dtype=st.sampled_from([np.float32, np.float64]),
)
def test_k_nearest_on_long_rows_matches_the_model(seed, longest, levels, dtype):
    """Rows up to 80 long (several pieces of a search), repeats, ties and NaN; lists on both sides of
    the lengths where insertion changes method; with and without a bound: the exact reference."""
    rng = np.random.default_rng(seed)
    nq, nt = int(rng.integers(1, 50)), int(rng.integers(1, 90))
    x = (np.round(rng.random((nq, 3)) * levels) / levels).astype(dtype)
    y = (np.round(rng.random((nt, 3)) * levels) / levels).astype(dtype)
    y[rng.integers(0, nt, size=nt // 9), rng.integers(0, 3, size=nt // 9)] = np.nan
    x_graph, y_graph = random_graph(rng, nq, longest), random_graph(rng, nt, longest)
    Prepared = _ornel.PreparedF32 if dtype == np.float32 else _ornel.PreparedF64
    target, query = Prepared(y, *y_graph), Prepared(x, *x_graph)
    for k, ef in ((8, 8), (8, 9), (3, 1), (6, 16), (6, 17), (4, 0), (5, 33)):
        expected = knn_join(dtype, x, *x_graph, y, *y_graph, k, ef)
        assert_same_bits(f"k={k} ef={ef}", target.query_prepared_k(query, k, ef), expected)
    r = dtype(0.4)
    expected = knn_join(dtype, x, *x_graph, y, *y_graph, 8, 8, r=r)
    assert_same_bits("bounded", target.query_prepared_k(query, 8, 8, r), expected)


def digest_of_every_search():
    """A hash of the bits of every fast search of every case, in both precisions."""
    digest = hashlib.sha256()
    for _, x, x_graph, y, y_graph in cases():
        for dtype in (np.float32, np.float64):
            for _, mine, _ in run_pair(x, x_graph, y, y_graph, dtype):
                for array in mine:
                    digest.update(array.tobytes())
    return digest.hexdigest()


def test_avx2_and_baseline_paths_give_the_same_bits():
    assert_same_bits_on_both_vector_paths(sys.modules[__name__], digest_of_every_search)


def unaligned(array):
    """The same uint32 values one byte into a buffer, so no element is 4-byte aligned."""
    raw = np.zeros(array.nbytes + 1, np.uint8)
    view = raw[1:].view(np.uint32)
    view[:] = array
    assert view.ctypes.data % 4 != 0
    return view


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_module_functions_read_aligned_and_unaligned_caller_graphs_alike(dtype):
    """A well-formed caller graph is searched unchecked, an unaligned copy of it with checks: the
    same bits."""
    rng = np.random.default_rng(21)
    x, y = quantised_scan(rng, 400).astype(dtype), quantised_scan(rng, 300).astype(dtype)
    suffix = "_f32" if dtype == np.float32 else ""
    nearest = getattr(_ornel, "all_nearest_neighbours" + suffix)
    knn = getattr(_ornel, "all_nearest_neighbours_k" + suffix)
    for y_graph in (delaunay_graph(y), random_graph(rng, len(y), 9)):
        x_graph = random_graph(rng, len(x), 9)
        layouts = [y_graph, tuple(unaligned(a) for a in y_graph)]
        for name, search in (
            ("nearest", lambda g: nearest(x, *x_graph, y, *g)),
            ("k-nearest", lambda g: knn(x, *x_graph, y, *g, 5, 9)),
        ):
            results = [search(graph) for graph in layouts]
            for got in results[1:]:
                assert_same_bits(name, got, results[0])
