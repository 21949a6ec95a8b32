"""k-nearest joins: all_nearest_neighbours_k(_f32), PreparedF32/F64.query_k and .query_prepared_k."""

import threading

import _ornel
import numpy as np
import pytest
from conftest import (
    DATA,
    KNN_PRECISIONS,
    MalformedGraphs,
    brute_k,
    clouds,
    coarse_clouds,
    expect_error,
    raises_panic,
    random_graph,
    run_threads,
    squared_distances,
)
from knn_model import knn_join

from ornel import delaunay_graph


def check_exact_k(dists, idx, x, y, k):
    """Every row holds exactly the k nearest: the right distances, each index a distinct point at that distance."""
    np.testing.assert_array_equal(dists, brute_k(x, y, k)[0])
    assert idx.dtype == np.uint64 and idx.shape == (len(x), k)
    rows = np.arange(len(x))[:, None]
    at = np.sqrt(squared_distances(x, y)[rows, idx.astype(np.intp)])
    np.testing.assert_array_equal(at, dists)
    assert all(len(set(row)) == k for row in idx.tolist())


def assert_same(got, expected):
    np.testing.assert_array_equal(got[0], expected[0])
    np.testing.assert_array_equal(got[1], expected[1])
    assert got[0].dtype == expected[0].dtype and got[1].dtype == np.uint64


class TestMatchesBruteForce:
    @pytest.mark.parametrize("dtype,join,Prepared", KNN_PRECISIONS)
    @pytest.mark.parametrize("kind", ["cube", "surface"])
    @pytest.mark.parametrize("k", [1, 4, 10])
    def test_every_entry_point_with_ef_four_times_k(self, dtype, join, Prepared, kind, k):
        rng = np.random.default_rng(21 + k)
        x, y = clouds(rng, dtype, 1200, 2000, kind)
        (xi, xn), (yi, yn) = delaunay_graph(x), delaunay_graph(y)
        d, i = join(x, xi, xn, y, yi, yn, k, 4 * k)
        assert d.dtype == dtype and d.shape == (1200, k)
        check_exact_k(d, i, x, y, k)
        target = Prepared(y, yi, yn)
        assert_same(target.query_k(x, xi, xn, k, 4 * k), (d, i))
        assert_same(target.query_prepared_k(Prepared(x, xi, xn), k, 4 * k), (d, i))

    def test_cross_checked_with_ckdtree(self):
        from scipy.spatial import cKDTree

        rng = np.random.default_rng(22)
        x, y = clouds(rng, np.float64, 2000, 3000)
        d, i = _ornel.all_nearest_neighbours_k(x, *delaunay_graph(x), y, *delaunay_graph(y), 8, 32)
        ref_d, ref_i = cKDTree(y).query(x, k=8)
        np.testing.assert_allclose(d, ref_d, rtol=1e-12)
        np.testing.assert_array_equal(i, ref_i)

    @pytest.mark.parametrize("name", ["stanford-bunny.npy", "fandisk.npy", "rocker-arm.npy"])
    def test_real_scans(self, name):
        rng = np.random.default_rng(23)
        model = np.load(DATA / name)

        def scan():
            pick = rng.choice(len(model), size=min(2500, len(model)), replace=False)
            return model[pick] + rng.normal(scale=1e-3 * np.ptp(model, axis=0).max(), size=(len(pick), 3))

        x, y = scan(), scan()
        d, i = _ornel.all_nearest_neighbours_k(x, *delaunay_graph(x), y, *delaunay_graph(y), 6, 24)
        check_exact_k(d, i, x, y, 6)

    @pytest.mark.parametrize("dtype,join,Prepared", KNN_PRECISIONS)
    def test_self_join_lists_each_point_first(self, dtype, join, Prepared):
        p = np.random.default_rng(24).random((700, 3)).astype(dtype)
        prepared = Prepared(p, *delaunay_graph(p))
        d, i = prepared.query_prepared_k(prepared, 5, 20)
        np.testing.assert_array_equal(i[:, 0], np.arange(700))
        assert not d[:, 0].any()
        check_exact_k(d, i, p, p, 5)

    @pytest.mark.parametrize("dtype,join,Prepared", KNN_PRECISIONS)
    def test_rows_sorted_and_distinct_at_any_ef(self, dtype, join, Prepared):
        rng = np.random.default_rng(25)
        x, y = clouds(rng, dtype, 800, 1000)
        graphs = delaunay_graph(x) + delaunay_graph(y)
        for ef in (2, 5, 8, 13):
            d, i = join(x, *graphs[:2], y, *graphs[2:], 8, ef)
            assert np.all(d[:, 1:] >= d[:, :-1])
            filled = np.minimum(ef, 8)
            assert np.all(np.isfinite(d[:, :filled])) and np.all(np.isinf(d[:, filled:]))
            for row in i[:, :filled].tolist():
                assert len(set(row)) == filled


class TestFollowsTheModelOnAnyGraph:
    """On graphs that are not Delaunay, and among equal distances, the rows are fixed by the search's mechanics."""

    @pytest.mark.parametrize("dtype,join,Prepared", KNN_PRECISIONS)
    @pytest.mark.parametrize("seed", range(16))
    def test_matches_the_model_bit_for_bit(self, dtype, join, Prepared, seed):
        rng = np.random.default_rng(200 + seed)
        nq, nt = int(rng.integers(1, 40)), int(rng.integers(1, 50))
        # Coarse integer coordinates make equal distances common, so the tie mechanics are exercised.
        scale = int(rng.choice([2, 4, 1000]))
        x, y = coarse_clouds(rng, dtype, nq, nt, scale)
        if seed % 4 == 1:
            x[rng.integers(0, nq)] = np.nan
        if seed % 4 == 2:
            y[rng.integers(0, nt, size=3), rng.integers(0, 3, size=3)] = np.nan
        if seed % 4 == 3:  # +inf against +inf gives NaN distances whose sign bit is set on common hardware
            x[rng.integers(0, nq), 0] = np.inf
            y[rng.integers(0, nt, size=3), 0] = np.inf
        xi, xn = random_graph(rng, nq, 4, decreasing=seed % 3 == 0)
        yi, yn = random_graph(rng, nt, 6, decreasing=seed % 5 == 0)
        target, query = Prepared(y, yi, yn), Prepared(x, xi, xn)
        with np.errstate(invalid="ignore"):
            for k, ef in [(3, 12), (5, 5), (4, 2), (2, 1), (3, 0), (0, 3), (1, 40), (7, 3)]:
                expected = knn_join(dtype, x, xi, xn, y, yi, yn, k, ef)
                assert_same(join(x, xi, xn, y, yi, yn, k, ef), expected)
                assert_same(target.query_k(x, xi, xn, k, ef), expected)
                for r in [0.1, 0.3, 0.7, float(rng.random())]:
                    expected = knn_join(dtype, x, xi, xn, y, yi, yn, k, ef, r=r)
                    assert_same(target.query_k(x, xi, xn, k, ef, r), expected)
                    assert_same(target.query_prepared_k(query, k, ef, r), expected)

    @pytest.mark.parametrize("dtype,join,Prepared", KNN_PRECISIONS)
    def test_lists_holding_nan_distances(self, dtype, join, Prepared):
        # Many target points at NaN distance leave the result list unsorted, so the exact probes of the
        # halving search decide where later entries go, and which entry a full list drops.
        rng = np.random.default_rng(300)
        with np.errstate(invalid="ignore"):
            for _ in range(40):
                nq, nt = int(rng.integers(1, 8)), int(rng.integers(2, 30))
                x, y = coarse_clouds(rng, dtype, nq, nt, 4)
                y[rng.random(nt) < 0.4, int(rng.integers(0, 3))] = np.nan
                xi, xn = random_graph(rng, nq, 3)
                yi, yn = random_graph(rng, nt, 8)
                for k, ef in [(3, 2), (4, 4), (6, 5), (2, 9)]:
                    assert_same(join(x, xi, xn, y, yi, yn, k, ef), knn_join(dtype, x, xi, xn, y, yi, yn, k, ef))

    def test_equal_distances_are_listed_in_order_of_discovery(self):
        # The seed (vertex 0) is far; its row lists 3, 1, 2, all at distance 1 from the origin.
        y = np.array([[9, 9, 9], [0, 0, 1], [0, 1, 0], [1, 0, 0]], dtype=np.float64)
        graph = np.array([0, 3, 3, 3, 3], np.uint32), np.array([3, 1, 2], np.uint32)
        single = np.array([0, 0], np.uint32), np.zeros(0, np.uint32)
        d, i = _ornel.all_nearest_neighbours_k(np.zeros((1, 3)), *single, y, *graph, 4, 8)
        np.testing.assert_array_equal(i, [[3, 1, 2, 0]])
        np.testing.assert_array_equal(d, [[1, 1, 1, np.sqrt(243)]])

    def test_equal_distances_found_later_go_after_earlier_ones(self):
        # 1 is found from the seed, 2 (just as near) only from 3; 3 is nearer than both.
        y = np.array([[5, 0, 0], [0, 2, 0], [0, -2, 0], [1, 0, 0]], dtype=np.float64)
        graph = np.array([0, 2, 2, 2, 3], np.uint32), np.array([1, 3, 2], np.uint32)
        single = np.array([0, 0], np.uint32), np.zeros(0, np.uint32)
        d, i = _ornel.all_nearest_neighbours_k(np.zeros((1, 3)), *single, y, *graph, 4, 4)
        np.testing.assert_array_equal(i, [[3, 1, 2, 0]])

    @pytest.mark.parametrize("dtype,signed", [(np.float64, np.int64), (np.float32, np.int32)])
    def test_heap_orders_distances_by_total_order(self, dtype, signed):
        # Vertices 1 and 2 sit at NaN distances with the sign bit set; totalOrder puts the one with the larger
        # payload first, so 2 is expanded before 1 and 5 (found from 2) is listed before 4 (found from 1).
        quiet = np.array([-np.nan], dtype).view(signed)[0]
        small, large = (np.array([quiet | 1, quiet | 0x100], signed)).view(dtype)
        y = np.array([[5, 0, 0], [small, 0, 0], [large, 0, 0], [3, 0, 0], [0, 1, 0], [0, -1, 0]], dtype=dtype)
        graph = np.array([0, 3, 4, 5, 5, 5, 5], np.uint32), np.array([1, 2, 3, 4, 5], np.uint32)
        single = np.array([0, 0], np.uint32), np.zeros(0, np.uint32)
        join = _ornel.all_nearest_neighbours_k if dtype == np.float64 else _ornel.all_nearest_neighbours_k_f32
        d, i = join(np.zeros((1, 3), dtype), *single, y, *graph, 6, 8)
        np.testing.assert_array_equal(i, [[5, 4, 3, 2, 1, 0]])
        assert_same((d, i), knn_join(dtype, np.zeros((1, 3), dtype), *single, y, *graph, 6, 8))

    def test_ef_zero_keeps_what_is_reachable_through_points_nearer_than_the_seed(self):
        # Points on the x axis, query at the origin, seed 0 at distance 5.
        y = np.array([[5, 0, 0], [3, 0, 0], [4, 0, 0], [1, 0, 0], [6, 0, 0], [0.5, 0, 0]], dtype=np.float64)
        # 0 -> 4 (farther than the seed), 2, 1; 1 -> 3; 4 -> 5 (never taken: 4 was not accepted).
        graph = np.array([0, 3, 4, 4, 4, 5, 5], np.uint32), np.array([4, 2, 1, 3, 5], np.uint32)
        single = np.array([0, 0], np.uint32), np.zeros(0, np.uint32)
        d, i = _ornel.all_nearest_neighbours_k(np.zeros((1, 3)), *single, y, *graph, 6, 0)
        np.testing.assert_array_equal(i, [[3, 1, 2, 0, 6, 6]])
        np.testing.assert_array_equal(d, [[1, 3, 4, 5, np.inf, np.inf]])
        # ef = 1: one entry, replaced only by a strictly nearer one; the search stops at 2 (farther than 3).
        d, i = _ornel.all_nearest_neighbours_k(np.zeros((1, 3)), *single, y, *graph, 3, 1)
        np.testing.assert_array_equal(i, [[3, 6, 6]])
        np.testing.assert_array_equal(d, [[1, np.inf, np.inf]])

    @pytest.mark.parametrize("dtype,join,Prepared", KNN_PRECISIONS)
    def test_component_smaller_than_k(self, dtype, join, Prepared):
        # Two triangles; the walk seeds every query point with vertex 0's component.
        y = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [10, 0, 0], [11, 0, 0], [10, 1, 0]], dtype=dtype)
        graph = np.array([0, 2, 4, 6, 8, 10, 12], np.uint32), np.array([1, 2, 0, 2, 0, 1, 4, 5, 3, 5, 3, 4], np.uint32)
        x = np.array([[0.1, 0.2, 0], [10, 0, 0]], dtype=dtype)
        path = np.array([0, 1, 2], np.uint32), np.array([1, 0], np.uint32)
        d, i = join(x, *path, y, *graph, 5, 20)
        np.testing.assert_array_equal(i[:, 3:], 6)
        assert np.all(np.isinf(d[:, 3:]))
        np.testing.assert_array_equal(i[0, :3], [0, 2, 1])
        assert sorted(i[1, :3].tolist()) == [0, 1, 2] and np.all(np.diff(d[1, :3]) >= 0)

    def test_walk_seeds_discovered_points_with_the_running_seed(self):
        # Target chain 0 -> 1 -> 2 and a vertex 3 that nothing reaches. Query 0 ends at 1, so query 1,
        # taken up next, starts at 1 and never sees vertex 0.
        y = np.array([[0, 0, 0], [10, 0, 0], [20, 0, 0], [0, 0, 1]], dtype=np.float64)
        chain = np.array([0, 1, 2, 2, 2], np.uint32), np.array([1, 2], np.uint32)
        x = np.array([[10, 0, 0], [0, 0, 0]], dtype=np.float64)
        path = np.array([0, 1, 2], np.uint32), np.array([1, 0], np.uint32)
        d, i = _ornel.all_nearest_neighbours_k(x, *path, y, *chain, 3, 8)
        np.testing.assert_array_equal(i, [[1, 0, 2], [1, 2, 4]])
        np.testing.assert_array_equal(d, [[0, 10, 10], [10, 20, np.inf]])

    def test_k_zero_searches_every_point_but_never_moves_the_seed(self):
        # Vertex 2's row is broken. Query 0 ends at 1 without expanding 2 (ef = 1). Started at 1, query 1
        # reaches 2 and fails; started at 0 it never leaves 0.
        y = np.array([[0, 0, 0], [10, 0, 0], [10, 20, 0]], dtype=np.float64)
        graph = np.array([0, 1, 3, 9], np.uint32), np.array([1, 0, 2], np.uint32)
        x = np.array([[10, -1, 0], [0, 20, 0]], dtype=np.float64)
        path = np.array([0, 1, 1], np.uint32), np.array([1], np.uint32)
        with raises_panic("range end index 9 out of range for slice of length 3"):
            _ornel.all_nearest_neighbours_k(x, *path, y, *graph, 1, 1)
        d, i = _ornel.all_nearest_neighbours_k(x, *path, y, *graph, 0, 1)
        assert d.shape == (2, 0) and i.shape == (2, 0)
        # Yet every query point is searched: a fault reached from vertex 0 stops a k = 0 call too.
        with raises_panic("index out of bounds: the len is 3 but the index is 7"):
            _ornel.all_nearest_neighbours_k(x, *path, y, graph[0], np.array([7, 0, 2], np.uint32), 0, 1)


class TestBound:
    # Vertex 3 only widens the target box; query 1 lies inside the box but every vertex it can reach
    # is beyond the bound.
    y = np.array([[0, 0, 0], [10, 0, 0], [20, 0, 0], [0, 10, 10]], dtype=np.float64)
    chain = np.array([0, 1, 2, 2, 2], np.uint32), np.array([1, 2], np.uint32)
    x = np.array([[10, 0, 0], [20, 6, 0], [10, 0, 0]], dtype=np.float64)
    walk = np.array([0, 0, 1, 1], np.uint32), np.array([2], np.uint32)

    def test_entries_beyond_stay_misses_and_a_missed_row_keeps_the_seed(self):
        target = _ornel.PreparedF64(self.y, *self.chain)
        d, i = target.query_k(self.x, *self.walk, 2, 8, 5.0)
        # Query 0 from 0: 1 at 0 is written, 0 at 10 is not. Query 1 from 1 finds 2 at 6 > 5: a miss, so
        # query 2 starts at 1 (not 2) and finds 1 at 0.
        np.testing.assert_array_equal(i, [[1, 4], [4, 4], [1, 4]])
        np.testing.assert_array_equal(d, [[0, np.inf], [np.inf, np.inf], [0, np.inf]])
        # Without the bound query 1 moves the seed to 2, whose row has only itself within reach.
        d, i = target.query_k(self.x, *self.walk, 2, 8)
        np.testing.assert_array_equal(i, [[1, 0], [2, 1], [2, 4]])

    def test_same_with_the_per_point_box_test_on(self):
        # A far query point switches the per-point test on; it is skipped, the others are searched as before.
        x = np.vstack([self.x, [[100, 0, 0]]])
        walk = np.array([0, 0, 1, 1, 1], np.uint32), np.array([2], np.uint32)
        target = _ornel.PreparedF64(self.y, *self.chain)
        d, i = target.query_k(x, *walk, 2, 8, 5.0)
        np.testing.assert_array_equal(i, [[1, 4], [4, 4], [1, 4], [4, 4]])
        expected = knn_join(np.float64, x, *walk, self.y, *self.chain, 2, 8, r=5.0)
        assert_same((d, i), expected)

    def test_a_skipped_point_hands_on_the_running_seed(self):
        # Query 0 pushes 1 and 2 with seed 0; 2 is searched first and moves the seed to 2. Query 1 is
        # skipped by the box test and hands query 3 the running seed, 2, from which only 2 (beyond the
        # bound) is reachable; from 0, query 3 would find 1.
        x = np.array([[0, 0, 0], [100, 0, 0], [20, 0, 0], [10, 0, 0]], dtype=np.float64)
        walk = np.array([0, 2, 3, 3, 3], np.uint32), np.array([1, 2, 3], np.uint32)
        target = _ornel.PreparedF64(self.y, *self.chain)
        d, i = target.query_k(x, *walk, 2, 8, 5.0)
        np.testing.assert_array_equal(i, [[0, 4], [4, 4], [2, 4], [4, 4]])
        assert_same((d, i), knn_join(np.float64, x, *walk, self.y, *self.chain, 2, 8, r=5.0))

    def test_entry_exactly_at_the_bound_is_written(self):
        target = _ornel.PreparedF64(self.y, *self.chain)
        d, i = target.query_k(self.x[:1], np.array([0, 0], np.uint32), np.zeros(0, np.uint32), 3, 8, 10)
        np.testing.assert_array_equal(i, [[1, 0, 2]])
        d, i = target.query_k(
            self.x[:1], np.array([0, 0], np.uint32), np.zeros(0, np.uint32), 3, 8, np.nextafter(10, 0)
        )
        np.testing.assert_array_equal(i, [[1, 4, 4]])
        # The same for a row whose nearest entry lies exactly at the bound.
        d, i = target.query_k(np.array([[30.0, 0, 0]]), np.array([0, 0], np.uint32), np.zeros(0, np.uint32), 3, 8, 10)
        np.testing.assert_array_equal(i, [[2, 4, 4]])
        np.testing.assert_array_equal(d, [[10, np.inf, np.inf]])

    @pytest.mark.parametrize("Prepared,dtype", [(_ornel.PreparedF64, np.float64), (_ornel.PreparedF32, np.float32)])
    def test_misses_are_exactly_the_entries_beyond_the_bound(self, Prepared, dtype):
        rng = np.random.default_rng(26)
        y = rng.random((2000, 3)).astype(dtype)
        target = Prepared(y, *delaunay_graph(y))
        for x in (rng.random((1500, 3)) * 1.6 - 0.3, rng.random((1500, 3)) * 0.8 + 0.1):
            x = x.astype(dtype)
            graph = delaunay_graph(x)
            free_d, free_i = target.query_k(x, *graph, 6, 24)
            for r in [0.02, 0.05, 0.1, 1.0]:
                beyond = free_d * free_d > dtype(r) * dtype(r)
                assert beyond.any() or r == 1.0
                for d, i in (
                    target.query_k(x, *graph, 6, 24, r),
                    target.query_prepared_k(Prepared(x, *graph), 6, 24, r),
                ):
                    # Seeds differ once rows are missed, but on a Delaunay graph every row is still exact.
                    np.testing.assert_array_equal(d[~beyond], free_d[~beyond])
                    assert np.all(np.isinf(d[beyond])) and np.all(i[beyond] == len(y))

    def test_box_gap_answers_all_misses_without_reading_the_graphs(self):
        y = np.random.default_rng(27).random((50, 3))
        target = _ornel.PreparedF64(y, np.array([0, 5, 5], np.uint32), np.zeros(0, np.uint32))  # broken
        x = y + 100.0
        path = np.zeros(51, np.uint32), np.zeros(0, np.uint32)
        d, i = target.query_k(x, *path, 4, 8, 1.0)
        assert d.shape == (50, 4) and np.all(np.isinf(d)) and np.all(i == 50)
        d, i = target.query_prepared_k(_ornel.PreparedF64(x, *path), 4, 8, 1.0)
        assert np.all(i == 50)
        with raises_panic("range end index 5 out of range for slice of length 0"):
            target.query_k(x, *path, 4, 8, 1000.0)

    def test_nan_bound_marks_nothing_and_negative_acts_as_its_magnitude(self):
        rng = np.random.default_rng(28)
        y, x = rng.random((300, 3)), rng.random((200, 3)) * 2
        target = _ornel.PreparedF64(y, *delaunay_graph(y))
        g = delaunay_graph(x)
        assert_same(target.query_k(x, *g, 4, 16, float("nan")), target.query_k(x, *g, 4, 16))
        assert_same(target.query_k(x, *g, 4, 16, -0.1), target.query_k(x, *g, 4, 16, 0.1))
        assert_same(target.query_k(x, *g, 4, 16, 1), target.query_k(x, *g, 4, 16, 1.0))

    def test_empty_query_and_empty_target(self):
        y = np.random.default_rng(29).random((10, 3))
        target = _ornel.PreparedF64(y, *delaunay_graph(y))
        none = np.zeros((0, 3)), np.zeros(1, np.uint32), np.zeros(0, np.uint32)
        for r in (None, 1.0):
            d, i = target.query_k(*none, 3, 6, r)
            assert d.shape == (0, 3) and i.shape == (0, 3)
        empty = _ornel.PreparedF64(*none)
        x = np.zeros((2, 3))
        two = np.array([0, 0, 0], np.uint32), np.zeros(0, np.uint32)
        d, i = empty.query_k(x, *two, 2, 4, 5.0)
        assert np.all(np.isinf(d)) and np.all(i == 0)
        with raises_panic("index out of bounds: the len is 0 but the index is 0"):
            empty.query_k(x, *two, 2, 4)


class TestShapesAndViews:
    @pytest.mark.parametrize("dtype,join,Prepared", KNN_PRECISIONS)
    def test_k_zero_and_ef_below_k(self, dtype, join, Prepared):
        rng = np.random.default_rng(30)
        x, y = clouds(rng, dtype, 300, 400)
        graphs = delaunay_graph(x) + delaunay_graph(y)
        d, i = join(x, *graphs[:2], y, *graphs[2:], 0, 8)
        assert d.shape == (300, 0) and i.shape == (300, 0) and d.dtype == dtype
        d, i = join(x, *graphs[:2], y, *graphs[2:], 6, 3)
        assert np.all(np.isfinite(d[:, :3])) and np.all(np.isinf(d[:, 3:])) and np.all(i[:, 3:] == 400)
        np.testing.assert_array_equal(d[:, :3], join(x, *graphs[:2], y, *graphs[2:], 3, 3)[0])

    @pytest.mark.parametrize("dtype,join,Prepared", KNN_PRECISIONS)
    def test_strided_csr_views_read_as_their_copies(self, dtype, join, Prepared):
        rng = np.random.default_rng(31)
        x, y = clouds(rng, dtype, 300, 400)
        (xi, xn), (yi, yn) = delaunay_graph(x), delaunay_graph(y)
        expected = join(x, xi, xn, y, yi, yn, 5, 12)

        def every_second(a):
            return np.repeat(a, 2)[::2]

        def reversed_view(a):
            return np.ascontiguousarray(a[::-1])[::-1]

        for view in (every_second, reversed_view):
            assert view(xi).strides[0] != 4
            assert_same(join(x, view(xi), view(xn), y, view(yi), view(yn), 5, 12), expected)
            target = Prepared(y, view(yi), view(yn))
            assert_same(target.query_k(x, view(xi), view(xn), 5, 12), expected)
            assert_same(target.query_prepared_k(Prepared(x, view(xi), view(xn)), 5, 12), expected)

    def test_empty_query_cloud(self):
        y = np.random.default_rng(32).random((10, 3)).astype(np.float32)
        g = delaunay_graph(y)
        d, i = _ornel.all_nearest_neighbours_k_f32(
            np.zeros((0, 3), np.float32), np.zeros(1, np.uint32), np.zeros(0, np.uint32), y, *g, 4, 8
        )
        assert d.shape == (0, 4) and i.shape == (0, 4) and d.dtype == np.float32

    def test_results_own_their_memory(self):
        y = np.random.default_rng(33).random((100, 3))
        g = delaunay_graph(y)
        result = _ornel.all_nearest_neighbours_k(y, *g, y, *g, 3, 8)
        idx = result[1]
        del result
        assert type(idx.base).__name__ == "PySliceContainer"
        assert idx.flags.c_contiguous and idx.flags.writeable and idx.strides == (24, 8)
        idx[:] = 7
        assert np.all(idx == 7)


class TestFaults(MalformedGraphs):
    def join(self, x_graph, y_graph, x=None, k=2, ef=4):
        return _ornel.all_nearest_neighbours_k(self.x if x is None else x, *x_graph, self.y, *y_graph, k, ef)

    def test_decreasing_rows_read_as_empty(self):
        # Target row 0 runs backwards: the seed has no neighbours. An empty row past the list reads nothing.
        d, i = self.join(self.single, (np.array([3, 1, 2, 3, 4], np.uint32), np.array([1, 2, 3, 0], np.uint32)))
        np.testing.assert_array_equal(i, [[0, 4]])
        d, i = self.join(self.single, (np.array([9, 9, 2, 3, 4], np.uint32), np.array([1, 2, 3, 0], np.uint32)))
        np.testing.assert_array_equal(i, [[0, 4]])
        # Query row 0 runs backwards (query 1 is then a root of its own); so does an empty one past the list.
        x = np.array([[0, 0, 0], [3, 3, 3]], dtype=np.float64)
        for x_graph in (
            (np.array([2, 1, 2], np.uint32), np.array([1, 0], np.uint32)),
            (np.array([7, 7, 7], np.uint32), np.array([1, 0], np.uint32)),
        ):
            d, i = self.join(x_graph, self.good, x=x)
            np.testing.assert_array_equal(i[:, 0], [1, 3])

    def join_specific_query_faults(self):
        with raises_panic("range end index 3 out of range for slice of length 1"):
            self.join((np.array([0, 3], np.uint32), np.zeros(1, np.uint32)), self.good)

    def test_sizes_beyond_the_limits(self):
        two = np.array([0, 0, 0], np.uint32), np.zeros(0, np.uint32)
        x = np.zeros((2, 3))
        with raises_panic("capacity overflow"):
            self.join(two, self.good, x=x, k=2**62)  # 2**63 elements
        with raises_panic("capacity overflow"):
            self.join((np.zeros(1, np.uint32), np.zeros(0, np.uint32)), self.good, k=2**63)  # (0, 2**63)
        with raises_panic("capacity overflow"):
            self.join(two, self.good, x=x, k=2**61)  # 2**62 elements, too many bytes
        with raises_panic("capacity overflow"):
            self.join(self.single, self.good, ef=2**57)  # 4 * ef heap entries of 16 bytes
        with pytest.raises(MemoryError):
            self.join(self.single, self.good, k=2**50)
        # A huge ef reserves no more than the target can fill: it answers as ef = |target| does.
        np.testing.assert_array_equal(
            self.join(self.single, self.good, ef=2**57 - 1)[1], self.join(self.single, self.good, ef=4)[1]
        )
        # Nothing is left behind: the next call works.
        assert self.join(self.single, self.good)[1].tolist() == [[1, 0]]

    def test_point_arrays_with_too_few_columns(self):
        with raises_panic("index out of bounds"):
            self.join(self.single, self.good, x=np.zeros((1, 2)))


class TestArguments:
    y = np.random.default_rng(34).random((5, 3))
    graph = delaunay_graph(np.random.default_rng(34).random((5, 3)))

    def test_matching_messages(self):
        t = _ornel.PreparedF32(self.y.astype(np.float32), *self.graph)
        f = _ornel.all_nearest_neighbours_k_f32
        expect_error(
            TypeError,
            "all_nearest_neighbours_k_f32() missing 2 required positional arguments: 'k' and 'ef'",
            lambda: f(*range(6)),
        )
        expect_error(
            TypeError,
            "all_nearest_neighbours_k() takes 8 positional arguments but 9 were given",
            lambda: _ornel.all_nearest_neighbours_k(*range(9)),
        )
        expect_error(
            TypeError,
            "PreparedF32.query_k() takes from 5 to 6 positional arguments but 7 were given",
            lambda: t.query_k(*range(7)),
        )
        expect_error(
            TypeError,
            "PreparedF32.query_prepared_k() missing 2 required positional arguments: 'k' and 'ef'",
            lambda: t.query_prepared_k(t),
        )
        expect_error(
            TypeError, "PreparedF32.query_k() got an unexpected keyword argument 'eff'", lambda: t.query_k(eff=1)
        )

    def test_conversion_messages_carry_the_parameter(self):
        y32 = self.y.astype(np.float32)
        t64 = _ornel.PreparedF64(self.y, *self.graph)
        t32 = _ornel.PreparedF32(y32, *self.graph)
        g = self.graph
        with pytest.raises(OverflowError) as info:
            t64.query_k(self.y, *g, -1, 4)
        assert info.value.__notes__ == ["while processing 'k'"]
        with pytest.raises(OverflowError) as info:
            _ornel.all_nearest_neighbours_k(self.y, *g, self.y, *g, 3, 2**64)
        assert info.value.__notes__ == ["while processing 'ef'"]
        with pytest.raises(TypeError) as info:
            t32.query_prepared_k(t32, 3.0, 4)
        assert info.value.__notes__ == ["while processing 'k'"]
        expect_error(
            TypeError,
            "'PreparedF32' object is not an instance of 'PreparedF64'",
            lambda: t64.query_prepared_k(t32, 2, 4),
            "while processing 'other'",
        )
        expect_error(
            TypeError,
            "'PreparedF64' object is not an instance of 'PreparedF32'",
            lambda: t32.query_prepared_k(t64, 2, 4),
            "while processing 'other'",
        )
        expect_error(
            TypeError,
            "'ndarray' object is not an instance of 'ndarray'",
            lambda: _ornel.all_nearest_neighbours_k_f32(y32, *g, self.y, *g, 2, 4),
            "while processing 'y_points'",
        )
        expect_error(
            TypeError,
            "'ndarray' object is not an instance of 'ndarray'",
            lambda: t64.query_k(self.y, g[0].astype(np.int64), g[1], 2, 4),
            "while processing 'x_indptr'",
        )
        with pytest.raises(TypeError) as info:
            t64.query_prepared_k(t64, 2, 4, distance_upper_bound="far")
        assert info.value.__notes__ == ["while processing 'distance_upper_bound'"]

    def test_accepted_forms(self):
        t = _ornel.PreparedF64(self.y, *self.graph)
        d, i = t.query_k(
            x_points=self.y,
            x_indptr=self.graph[0],
            x_indices=self.graph[1],
            k=np.uint8(2),
            ef=np.int64(4),
            distance_upper_bound=np.float32(10),
        )
        assert d.shape == (5, 2)
        assert_same(
            t.query_prepared_k(other=t, ef=4, k=2),
            _ornel.all_nearest_neighbours_k(self.y, *self.graph, self.y, *self.graph, ef=4, k=2),
        )

    def test_signatures_and_docstrings(self):
        assert (
            _ornel.all_nearest_neighbours_k.__text_signature__
            == "(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors, k, ef)"
        )
        assert (
            _ornel.all_nearest_neighbours_k_f32.__text_signature__
            == "(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors, k, ef)"
        )
        for cls in (_ornel.PreparedF32, _ornel.PreparedF64):
            assert (
                cls.query_k.__text_signature__
                == "($self, x_points, x_indptr, x_indices, k, ef, distance_upper_bound=None)"
            )
            assert cls.query_prepared_k.__text_signature__ == "($self, other, k, ef, distance_upper_bound=None)"
            assert "ef >= k" in cls.query_k.__doc__
        assert "ef >= k" in _ornel.all_nearest_neighbours_k.__doc__
        names = [n for n in vars(_ornel) if n.startswith("all_nearest")]
        assert names[:4] == [
            "all_nearest_neighbours",
            "all_nearest_neighbours_f32",
            "all_nearest_neighbours_k",
            "all_nearest_neighbours_k_f32",
        ]


class TestThreads:
    def test_shared_prepared_objects_from_several_threads(self):
        rng = np.random.default_rng(35)
        y, x = rng.random((8000, 3)).astype(np.float32), rng.random((8000, 3)).astype(np.float32)
        xg = delaunay_graph(x)
        target, query = _ornel.PreparedF32(y, *delaunay_graph(y)), _ornel.PreparedF32(x, *xg)
        calls = [
            lambda: target.query_prepared_k(query, 8, 16),
            lambda: target.query_prepared_k(query, 4, 8, 0.02),
            lambda: target.query_k(x, *xg, 3, 12, 0.05),
        ]
        expected = [call() for call in calls]
        results, errors = [], []
        barrier = threading.Barrier(4)

        def work(_):
            try:
                barrier.wait()
                for _ in range(3):
                    results.append([call() for call in calls])
            except BaseException as error:  # noqa: BLE001 - reported below
                errors.append(error)

        run_threads(work, 4)
        assert not errors and len(results) == 12
        for got in results:
            for result, reference in zip(got, expected):
                assert_same(result, reference)
