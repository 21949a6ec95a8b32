"""Single-nearest joins: module functions, PreparedF32/F64.query and .query_prepared."""

import gc
import multiprocessing
import pickle
import subprocess
import sys
import threading
from concurrent.futures import ProcessPoolExecutor

import _ornel
import numpy as np
import pytest
from conftest import (
    DATA,
    NEAREST_PRECISIONS,
    MalformedGraphs,
    brute_nearest,
    clouds,
    coarse_clouds,
    expect_error,
    is_panic,
    raises_panic,
    random_graph,
    run_threads,
)
from descent_model import nearest_join
from scipy.spatial import Delaunay

from ornel import delaunay_graph


def scan_pair(rng, name, n):
    model = np.load(DATA / name)

    def scan():
        pick = rng.choice(len(model), size=min(n, len(model)), replace=False)
        return model[pick] + rng.normal(scale=1e-3 * np.ptp(model, axis=0).max(), size=(len(pick), 3))

    return scan(), scan()


def check_exact(dists, idx, x, y):
    """On a Delaunay graph every answer is a true nearest point (ties may pick either point)."""
    ref_d, ref_i = brute_nearest(x, y)
    np.testing.assert_array_equal(dists, ref_d)
    differ = np.flatnonzero(idx != ref_i)
    for q in differ:  # only exact ties may differ: the chosen point is just as near
        assert brute_nearest(x[q : q + 1], y[[int(idx[q]), int(ref_i[q])]])[0][0] == ref_d[q]
    assert len(differ) <= len(x) // 100


class TestMatchesBruteForce:
    @pytest.mark.parametrize("dtype,join,Prepared", NEAREST_PRECISIONS)
    @pytest.mark.parametrize("kind", ["cube", "surface"])
    def test_every_entry_point_on_delaunay_graphs(self, dtype, join, Prepared, kind):
        rng = np.random.default_rng(1)
        x, y = clouds(rng, dtype, 1500, 2500, kind)
        (xi, xn), (yi, yn) = delaunay_graph(x), delaunay_graph(y)
        d, i = join(x, xi, xn, y, yi, yn)
        assert d.dtype == dtype and i.dtype == np.uint64 and d.shape == (1500,)
        check_exact(d, i, x, y)
        target = Prepared(y, yi, yn)
        for result in (target.query(x, xi, xn), target.query_prepared(Prepared(x, xi, xn))):
            np.testing.assert_array_equal(result[0], d)
            np.testing.assert_array_equal(result[1], i)

    @pytest.mark.parametrize("dtype,join,Prepared", NEAREST_PRECISIONS)
    @pytest.mark.parametrize("kind", ["cube", "quantised", "flat"])
    def test_an_isolated_vertex_0_does_not_trap_the_searches(self, dtype, join, Prepared, kind):
        """Qhull leaves one copy of a duplicated point out of the tetrahedralisation. When that
        copy is point 0, every search used to start there, on a vertex without neighbours, and
        answer 0; now they start on the first vertex that has neighbours."""
        rng = np.random.default_rng(16)
        y, x = rng.random((800, 3)), rng.random((300, 3)) * 1.2 - 0.1
        if kind == "quantised":
            y = np.round(y * 12) / 12
        if kind == "flat":
            y[:, 2] *= 1e-3
            x[:, 2] *= 1e-3
        y, x = y.astype(dtype), x.astype(dtype)
        indptr, indices = _ornel.graph_from_simplices(Delaunay(y).simplices.astype(np.uint64) + 1, len(y) + 1)
        y = np.vstack([y[rng.integers(len(y))][None], y])  # point 0 repeats a point of the graph
        assert indptr[0] == indptr[1] < indptr[2]
        xg = delaunay_graph(x)
        target, query = Prepared(y, indptr, indices), Prepared(x, *xg)
        Grouped = getattr(_ornel, "GroupedQueries" + Prepared.__name__[-3:])
        k_join = _ornel.all_nearest_neighbours_k if dtype == np.float64 else _ornel.all_nearest_neighbours_k_f32
        first_column = lambda pair: (pair[0][:, 0], pair[1][:, 0])  # noqa: E731
        unbounded = [
            join(x, *xg, y, indptr, indices),
            target.query(x, *xg),
            target.query_prepared(query),
            target.query_prepared_blocked(query),
            target.query_prepared_blocked(query, 1),
            target.query_grouped(Grouped.prepare([query], [None]), None),
            first_column(k_join(x, *xg, y, indptr, indices, 2, 4)),
            first_column(target.query_prepared_k(query, 2, 4)),
        ]
        r = 0.05  # the query box reaches beyond the target's by more: each point is tested on its own
        bounded = [
            target.query(x, *xg, r),
            target.query_prepared(query, r),
            target.query_prepared_blocked(query, 8, r),
            first_column(target.query_prepared_k(query, 1, 4, r)),
        ]
        ref_d, _ = brute_nearest(x, y)
        miss = ref_d * ref_d > dtype(r) * dtype(r)
        assert 0 < miss.sum() < len(x)
        expected = [ref_d] * len(unbounded) + [np.where(miss, dtype(np.inf), ref_d)] * len(bounded)
        for (dists, idx), want in zip(unbounded + bounded, expected):
            np.testing.assert_array_equal(dists, want)
            answered = np.isfinite(dists)
            assert np.all(idx[~answered] == len(y))
            step = y[idx[answered].astype(np.intp)] - x[answered]  # the answer is at the reported distance
            step = np.sqrt((step[:, 0] * step[:, 0] + step[:, 1] * step[:, 1]) + step[:, 2] * step[:, 2])
            np.testing.assert_array_equal(step, dists[answered])

    @pytest.mark.parametrize("name", ["stanford-bunny.npy", "fandisk.npy", "rocker-arm.npy"])
    def test_real_scans(self, name):
        rng = np.random.default_rng(2)
        x, y = scan_pair(rng, name, 3000)
        d, i = _ornel.all_nearest_neighbours(x, *delaunay_graph(x), y, *delaunay_graph(y))
        check_exact(d, i, x, y)

    def test_self_join_answers_each_point_itself(self):
        rng = np.random.default_rng(3)
        p = rng.random((800, 3)).astype(np.float32)
        prepared = _ornel.PreparedF32(p, *delaunay_graph(p))
        d, i = prepared.query_prepared(prepared)
        np.testing.assert_array_equal(i, np.arange(800, dtype=np.uint64))
        assert not d.any()

    @pytest.mark.parametrize("dtype,join,Prepared", NEAREST_PRECISIONS)
    def test_extra_columns_and_strided_points_read_as_their_copies(self, dtype, join, Prepared):
        rng = np.random.default_rng(4)
        x, y = clouds(rng, dtype, 300, 400)
        (xi, xn), (yi, yn) = delaunay_graph(x), delaunay_graph(y)
        expected = join(x, xi, xn, y, yi, yn)
        wide = np.concatenate([x, rng.random((300, 2)).astype(dtype)], axis=1)
        fortran = np.asfortranarray(y)
        reversed_rows = y[::-1][::-1]
        with_gaps = np.repeat(x, 2, axis=1)[:, ::2]
        for xs, ys in [(wide, y), (x, fortran), (with_gaps, reversed_rows)]:
            got = join(xs, xi, xn, ys, yi, yn)
            np.testing.assert_array_equal(got[0], expected[0])
            np.testing.assert_array_equal(got[1], expected[1])


class TestFollowsTheWalkOnAnyGraph:
    """On graphs that are not Delaunay the answers are local minima; which ones is fixed by the walk."""

    @pytest.mark.parametrize("dtype,join,Prepared", NEAREST_PRECISIONS)
    @pytest.mark.parametrize("seed", range(12))
    def test_matches_the_model_bit_for_bit(self, dtype, join, Prepared, seed):
        rng = np.random.default_rng(100 + seed)
        nq, nt = int(rng.integers(1, 60)), int(rng.integers(1, 60))
        # Coarse integer coordinates make equal distances common, so the tie rule is exercised.
        scale = rng.choice([3, 1000])
        x, y = coarse_clouds(rng, dtype, nq, nt, scale)
        if seed % 4 == 0:
            x[rng.integers(0, nq)] = np.nan
        xi, xn = random_graph(rng, nq, 4)
        yi, yn = random_graph(rng, nt, 5)
        with np.errstate(invalid="ignore"):
            expected = nearest_join(dtype, x, xi, xn, y, yi, yn)
            got = join(x, xi, xn, y, yi, yn)
            np.testing.assert_array_equal(got[0], expected[0])
            np.testing.assert_array_equal(got[1], expected[1])
            target, query = Prepared(y, yi, yn), Prepared(x, xi, xn)
            for r in [0.05, 0.2, 0.6, 2.0, float(rng.random())]:
                expected = nearest_join(dtype, x, xi, xn, y, yi, yn, r=r)
                for got in (target.query(x, xi, xn, r), target.query_prepared(query, r)):
                    np.testing.assert_array_equal(got[0], expected[0])
                    np.testing.assert_array_equal(got[1], expected[1])

    def test_graph_without_edges_answers_vertex_zero(self):
        y = np.array([[5, 5, 5], [0, 0, 0], [1, 1, 1]], dtype=np.float64)
        x = np.array([[0, 0, 0], [1, 1, 1]], dtype=np.float64)
        empty = np.zeros(4, np.uint32), np.zeros(0, np.uint32)
        d, i = _ornel.all_nearest_neighbours(x, np.zeros(3, np.uint32), empty[1], y, *empty)
        np.testing.assert_array_equal(i, [0, 0])
        np.testing.assert_allclose(d, np.sqrt([75, 48]))


class TestTiesAndNaN:
    def test_equal_distances_go_to_the_smaller_index(self):
        # Query at the origin; vertex 0 far away, vertices 1..4 all at distance 1.
        y = np.array([[9, 9, 9], [0, 0, 1], [0, 1, 0], [1, 0, 0], [0, 0, -1]], dtype=np.float64)
        star = np.array([0, 4, 5, 6, 7, 8], np.uint32), np.array([4, 3, 2, 1, 0, 0, 0, 0], np.uint32)
        x = np.zeros((1, 3))
        d, i = _ornel.all_nearest_neighbours(x, np.array([0, 0], np.uint32), np.zeros(0, np.uint32), y, *star)
        assert (d[0], i[0]) == (1.0, 1)

    def test_tie_with_the_current_vertex_moves_to_the_smaller_index(self):
        # Start at vertex 0... the seed is always 0, so put the tie below a current vertex 2.
        y = np.array([[9, 9, 9], [1, 0, 0], [-1, 0, 0]], dtype=np.float32)
        graph = np.array([0, 1, 2, 3], np.uint32), np.array([2, 2, 1], np.uint32)
        x = np.zeros((1, 3), np.float32)
        d, i = _ornel.all_nearest_neighbours_f32(x, np.array([0, 0], np.uint32), np.zeros(0, np.uint32), y, *graph)
        assert (d[0], i[0]) == (1.0, 1)

    def test_nan_query_point_keeps_its_seed_and_is_never_a_miss(self):
        rng = np.random.default_rng(5)
        y = rng.random((200, 3))
        x = np.array([[0.5, 0.5, 0.5], [np.nan, 0.5, 0.5]])
        path = np.array([0, 1, 2], np.uint32), np.array([1, 0], np.uint32)
        target = _ornel.PreparedF64(y, *delaunay_graph(y))
        for r in (None, 10.0):
            d, i = target.query(x, *path, distance_upper_bound=r)
            assert np.isnan(d[1]) and i[1] == i[0]

    def test_nan_target_point_is_never_taken(self):
        y = np.array([[np.nan, 0, 0], [3, 0, 0], [1, 0, 0]], dtype=np.float64)
        graph = np.array([0, 2, 4, 6], np.uint32), np.array([1, 2, 0, 2, 0, 1], np.uint32)
        d, i = _ornel.all_nearest_neighbours(
            np.zeros((1, 3)), np.array([0, 0], np.uint32), np.zeros(0, np.uint32), y, *graph
        )
        # A NaN start distance is never improved on: vertex 0 is the answer.
        assert i[0] == 0 and np.isnan(d[0])


class TestBound:
    @pytest.fixture(scope="class")
    @staticmethod
    def setup():
        rng = np.random.default_rng(6)
        y = rng.random((3000, 3))
        x = rng.random((2000, 3)) * 1.6 - 0.3  # reaches outside the target box: per-point tests
        inner = rng.random((2000, 3)) * 0.8 + 0.1  # inside it: the post-filter
        return y, x, inner

    @pytest.mark.parametrize("Prepared,dtype", [(_ornel.PreparedF64, np.float64), (_ornel.PreparedF32, np.float32)])
    @pytest.mark.parametrize("which", ["outside", "inside"])
    def test_misses_are_exactly_the_points_beyond_the_bound(self, setup, Prepared, dtype, which):
        y, x_out, x_in = setup
        x = (x_out if which == "outside" else x_in).astype(dtype)
        y = y.astype(dtype)
        target = Prepared(y, *delaunay_graph(y))
        graph = delaunay_graph(x)
        ref_d, ref_i = brute_nearest(x, y)
        for r in [0.01, 0.03, 0.1, 1.0]:
            for d, i in (target.query(x, *graph, r), target.query_prepared(Prepared(x, *graph), r)):
                miss = ref_d * ref_d > dtype(r) * dtype(r)
                assert miss.any() or r >= 0.1
                np.testing.assert_array_equal(i[miss], len(y))
                assert np.all(np.isinf(d[miss]))
                np.testing.assert_array_equal(d[~miss], ref_d[~miss])

    def test_point_exactly_at_the_bound_is_answered(self):
        y = np.array([[0, 0, 0], [10, 0, 0]], dtype=np.float64)
        graph = np.array([0, 1, 2], np.uint32), np.array([1, 0], np.uint32)
        target = _ornel.PreparedF64(y, *graph)
        x = np.array([[0, 3, 0], [0, 0, 4.0]])
        d, i = target.query(x, *graph, distance_upper_bound=4)
        np.testing.assert_array_equal(d, [3, 4])
        d, i = target.query(x, *graph, distance_upper_bound=3.5)
        assert d[0] == 3 and i[1] == 2 and np.isinf(d[1])

    def test_box_gap_answers_all_misses_without_reading_the_graphs(self):
        y = np.random.default_rng(7).random((50, 3))
        target = _ornel.PreparedF64(y, *delaunay_graph(y))
        x = y + 100.0
        strided = np.zeros(2 * 51, np.uint32)[::2], np.zeros(20, np.uint32)[::2]
        d, i = target.query(x, *strided, distance_upper_bound=1.0)
        assert np.all(np.isinf(d)) and np.all(i == 50)
        # Without the shortcut the same call reads the strided arrays and refuses them.
        with raises_panic("contiguous CSR indptr"):
            target.query(x, *strided, distance_upper_bound=1000.0)

    def test_bound_none_omitted_and_integer_agree(self):
        y = np.random.default_rng(8).random((100, 3))
        target = _ornel.PreparedF64(y, *delaunay_graph(y))
        g = delaunay_graph(y)
        a, b = target.query(y, *g), target.query(y, *g, distance_upper_bound=None)
        np.testing.assert_array_equal(a[1], b[1])
        c, d = target.query(y, *g, 1), target.query(y, *g, 1.0)
        np.testing.assert_array_equal(c[0], d[0])

    def test_nan_bound_marks_nothing_and_negative_acts_as_its_magnitude(self):
        rng = np.random.default_rng(9)
        y, x = rng.random((300, 3)), rng.random((200, 3)) * 2
        target = _ornel.PreparedF64(y, *delaunay_graph(y))
        g = delaunay_graph(x)
        free = target.query(x, *g)
        np.testing.assert_array_equal(target.query(x, *g, float("nan"))[1], free[1])
        np.testing.assert_array_equal(target.query(x, *g, -0.1)[1], target.query(x, *g, 0.1)[1])

    def test_empty_query_and_empty_target(self):
        y = np.random.default_rng(10).random((10, 3))
        target = _ornel.PreparedF64(y, *delaunay_graph(y))
        none = np.zeros((0, 3)), np.zeros(1, np.uint32), np.zeros(0, np.uint32)
        for r in (None, 1.0):
            d, i = target.query(*none, r)
            assert d.shape == (0,) and i.shape == (0,)
        empty = _ornel.PreparedF64(*none)
        x = np.zeros((2, 3))
        d, i = empty.query(x, np.array([0, 0, 0], np.uint32), np.zeros(0, np.uint32), 5.0)
        assert np.all(np.isinf(d)) and np.all(i == 0)
        with raises_panic("index out of bounds: the len is 0 but the index is 0"):
            empty.query(x, np.array([0, 0, 0], np.uint32), np.zeros(0, np.uint32))


class TestMalformedGraphs(MalformedGraphs):
    def join(self, x_graph, y_graph, x=None):
        return _ornel.all_nearest_neighbours(self.x if x is None else x, *x_graph, self.y, *y_graph)

    @pytest.mark.parametrize(
        "y_graph,message",
        [
            (
                (np.array([3, 1, 2, 3, 4], np.uint32), np.array([1, 2, 3, 0], np.uint32)),
                "slice index starts at 3 but ends at 1",
            ),
            ((np.arange(10, dtype=np.uint32)[::2], np.array([1, 2, 3, 0], np.uint32)), "contiguous CSR indptr"),
            ((np.array([0, 1, 2, 3, 4], np.uint32), np.arange(8, dtype=np.uint32)[::2]), "contiguous CSR neighbours"),
        ],
    )
    def test_nearest_target_faults(self, y_graph, message):
        with raises_panic(message):
            self.join(self.single, y_graph)

    def join_specific_query_faults(self):
        with raises_panic("contiguous CSR neighbours"):
            self.join((np.array([0], np.uint32), np.zeros(4, np.uint32)[::2]), self.good)

    def test_point_arrays_with_too_few_columns(self):
        with raises_panic("index out of bounds"):
            _ornel.PreparedF64(np.zeros((5, 2)), *self.good)
        empty = _ornel.PreparedF64(np.zeros((0, 2)), np.zeros(1, np.uint32), np.zeros(0, np.uint32))
        assert empty.n == 0 and empty.data.shape == (0, 3)
        with raises_panic("index out of bounds"):
            self.join(self.single, self.good, x=np.zeros((1, 2)))

    def test_faults_inside_a_walk_free_the_lock_and_leave_no_state(self):
        for _ in range(3):
            with raises_panic("index out of bounds"):
                self.join((np.array([0, 1], np.uint32), np.array([5], np.uint32)), self.good)
        d, i = self.join(self.single, self.good)
        assert i.shape == (1,)

    def test_panic_is_not_an_exception(self):
        with pytest.raises(BaseException) as info:
            try:
                self.join((np.zeros(0, np.uint32), np.zeros(0, np.uint32)), self.good)
            except Exception:  # must not catch it
                pytest.fail("PanicException was caught as an Exception")
        assert type(info.value).__bases__ == (BaseException,)
        assert type(info.value).__name__ == "PanicException"
        assert info.value.args == ("capacity overflow",)


class TestFailuresAcrossProcesses:
    """A failure in a process pool or a cluster worker reaches the caller as itself."""

    bad_simplices = np.array([[0, 1, 2, 9]], np.uint64)

    def failure(self):
        with pytest.raises(BaseException) as info:
            _ornel.graph_from_simplices(self.bad_simplices, 4)
        assert is_panic(info.value)
        return info.value

    def test_panic_pickles_to_the_same_class(self):
        error = self.failure()
        error.add_note("from a worker")
        copy = pickle.loads(pickle.dumps(error))
        assert type(copy) is type(error) and copy.args == error.args and copy.__notes__ == ["from a worker"]
        # A fresh interpreter that never failed unpickles it too, to a PanicException of its own.
        code = (
            "import pickle, sys; e = pickle.load(sys.stdin.buffer); "
            "print(type(e).__name__, type(e).__bases__ == (BaseException,), str(e))"
        )
        out = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(error), capture_output=True, check=True)
        assert out.stdout.decode().strip() == f"PanicException True {error}"
        # Its home is a module of its own; _ornel itself holds its five functions and four classes only.
        assert type(error).__module__ == "_ornel.errors"
        assert sorted(name for name in vars(_ornel) if not name.startswith("__")) == [
            "GroupedQueriesF32",
            "GroupedQueriesF64",
            "PreparedF32",
            "PreparedF64",
            "all_nearest_neighbours",
            "all_nearest_neighbours_f32",
            "all_nearest_neighbours_k",
            "all_nearest_neighbours_k_f32",
            "graph_from_simplices",
        ]

    def test_panic_raised_in_a_process_pool_worker(self):
        with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
            future = pool.submit(_ornel.graph_from_simplices, self.bad_simplices, 4)
            with pytest.raises(BaseException) as info:
                future.result()
        assert type(info.value) is type(self.failure()) and str(info.value) == str(self.failure())

    def test_numpy_that_cannot_be_imported_is_an_import_error(self):
        code = (
            "import sys; sys.modules['numpy'] = None; import _ornel\n"
            "try:\n    _ornel.graph_from_simplices(None, 0)\n"
            "except ImportError as e:\n    print(str(e).startswith('Failed to access NumPy array API capsule'))"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, check=True)
        assert out.stdout.decode().strip() == "True"


class TestArguments:
    y = np.random.default_rng(12).random((5, 3))
    graph = delaunay_graph(np.random.default_rng(12).random((5, 3)))

    def test_matching_messages(self):
        t = _ornel.PreparedF32(self.y.astype(np.float32), *self.graph)
        f = _ornel.all_nearest_neighbours
        expect_error(
            TypeError,
            "all_nearest_neighbours() missing 6 required positional arguments: 'x_points', "
            "'x_indices', 'x_neighbors', 'y_points', 'y_indices', and 'y_neighbors'",
            f,
        )
        expect_error(
            TypeError, "all_nearest_neighbours() takes 6 positional arguments but 7 were given", lambda: f(*range(7))
        )
        expect_error(
            TypeError,
            "PreparedF32.query() takes from 3 to 4 positional arguments but 5 were given",
            lambda: t.query(1, 2, 3, 4, 5),
        )
        expect_error(
            TypeError, "PreparedF32.query_prepared() missing 1 required positional argument: 'other'", t.query_prepared
        )
        expect_error(
            TypeError,
            "PreparedF32.query() missing 2 required positional arguments: 'x_indptr' and 'x_indices'",
            lambda: t.query(1),
        )
        expect_error(
            TypeError,
            "PreparedF32.query_prepared() got an unexpected keyword argument 'bound'",
            lambda: t.query_prepared(bound=1),
        )  # keywords are examined before missing ones
        expect_error(
            TypeError,
            "PreparedF32.query_prepared() got multiple values for argument 'other'",
            lambda: t.query_prepared(t, other=t),
        )
        expect_error(
            TypeError,
            "PreparedF64.__new__() missing 1 required positional argument: 'indices'",
            lambda: _ornel.PreparedF64(self.y, indptr=self.graph[0]),
        )
        expect_error(
            TypeError,
            "PreparedF64.__new__() takes 3 positional arguments but 1 was given".replace("1 was", "4 were"),
            lambda: _ornel.PreparedF64(self.y, *self.graph, 0),
        )

    def test_conversion_messages_carry_the_parameter(self):
        t64 = _ornel.PreparedF64(self.y, *self.graph)
        t32 = _ornel.PreparedF32(self.y.astype(np.float32), *self.graph)
        g = self.graph
        expect_error(
            TypeError,
            "'ndarray' object is not an instance of 'ndarray'",
            lambda: t32.query(self.y, *g),
            "while processing 'x_points'",
        )
        expect_error(
            TypeError,
            "'ndarray' object is not an instance of 'ndarray'",
            lambda: t64.query(self.y[0], *g),
            "while processing 'x_points'",
        )
        expect_error(
            TypeError,
            "'list' object is not an instance of 'ndarray'",
            lambda: t64.query([[0, 0, 0]], *g),
            "while processing 'x_points'",
        )
        expect_error(
            TypeError,
            "'None' is not an instance of 'ndarray'",
            lambda: t64.query(self.y, None, g[1]),
            "while processing 'x_indptr'",
        )
        for wrong in (g[0].astype(np.int64), g[0].astype(np.uint64), g[0].astype(">u4")):
            expect_error(
                TypeError,
                "'ndarray' object is not an instance of 'ndarray'",
                lambda: t64.query(self.y, wrong, g[1]),
                "while processing 'x_indptr'",
            )
        expect_error(
            TypeError,
            "'PreparedF32' object is not an instance of 'PreparedF64'",
            lambda: t64.query_prepared(t32),
            "while processing 'other'",
        )
        with pytest.raises(TypeError) as info:
            t64.query(self.y, *g, distance_upper_bound="far")
        assert info.value.__notes__ == ["while processing 'distance_upper_bound'"]

    def test_refusals_say_what_was_expected_and_what_was_given(self):
        t64 = _ornel.PreparedF64(self.y, *self.graph)
        g = self.graph

        def notes(call):
            with pytest.raises(BaseException) as info:
                call()
            return info.value.__notes__

        assert notes(lambda: t64.query(self.y.astype(np.float32), *g)) == [
            "while processing 'x_points'",
            "expected a float64 array of shape (n, 3); got float32 with shape (5, 3)",
        ]
        assert (
            notes(lambda: _ornel.all_nearest_neighbours_f32(self.y, *g, self.y, *g))[1]
            == "expected a float32 array of shape (n, 3); got float64 with shape (5, 3)"
        )
        assert (
            notes(lambda: t64.query(self.y[0], *g))[1]
            == "expected a float64 array of shape (n, 3); got float64 with shape (3,)"
        )
        assert notes(lambda: t64.query([[0, 0, 0]], *g))[1] == "expected a float64 array of shape (n, 3); got list"
        assert notes(lambda: t64.query(self.y, None, g[1]))[1] == "expected a uint32 array of shape (n,); got None"
        assert (
            notes(lambda: t64.query(self.y, g[0].astype(">u4"), g[1]))[1]
            == f"expected a uint32 array of shape (n,); got >u4 with shape ({len(g[0])},)"
        )
        # Too few columns pass conversion and fail when packed, with the same message as before.
        narrow = self.y[:, :2].copy()
        for call, name in (
            (lambda: _ornel.PreparedF64(narrow, *g), "points"),
            (lambda: t64.query(narrow, *g), "x_points"),
            (lambda: _ornel.all_nearest_neighbours(self.y, *g, narrow, *g), "y_points"),
        ):
            with raises_panic("index out of bounds: the len is 2 but the index is 2"):
                call()
            assert notes(call) == [
                f"while processing '{name}'",
                "expected a float64 array of shape (n, 3); got float64 with shape (5, 2)",
            ]
        # Any other fault keeps its message and gets no note.
        with pytest.raises(BaseException) as info:
            t64.query(self.y, np.repeat(g[0], 2)[::2], g[1])
        assert str(info.value) == "contiguous CSR indptr" and not hasattr(info.value, "__notes__")

    def test_accepted_forms(self):
        t = _ornel.PreparedF64(self.y, *self.graph)
        g = self.graph

        # A subclass of ndarray, a strided uint32 view at conversion, the same array twice, keywords.
        class Sub(np.ndarray):
            pass

        d, i = t.query(x_points=self.y.view(Sub), x_indptr=g[0], x_indices=g[1])
        assert i.shape == (5,)
        _ornel.PreparedF64(self.y, np.repeat(g[0], 2)[::2], g[1])
        _ornel.all_nearest_neighbours(self.y, *g, self.y, *g)
        assert t.query_prepared(t, distance_upper_bound=np.float32(0.5))[0].dtype == np.float64


class TestResultsAndClasses:
    def test_results_own_their_memory(self):
        rng = np.random.default_rng(13)
        y = rng.random((100, 3))
        g = delaunay_graph(y)
        result = _ornel.all_nearest_neighbours(y, *g, y, *g)
        dists = result[1]
        del result
        gc.collect()
        assert type(dists.base).__name__ == "PySliceContainer"
        assert dists.flags.c_contiguous and dists.flags.writeable and dists.flags.owndata is False
        dists[:] = 7
        assert np.all(dists == 7)
        assert not hasattr(_ornel, "PySliceContainer")

    def test_prepared_attributes(self):
        rng = np.random.default_rng(14)
        pts = rng.random((5, 4)).astype(np.float32)
        g = delaunay_graph(pts[:, :3])
        prepared = _ornel.PreparedF32(np.asfortranarray(pts), *g)
        assert repr(prepared) == "PreparedF32(n=5)" and prepared.n == 5
        assert repr(_ornel.PreparedF64(pts.astype(np.float64)[::-1], *g)) == "PreparedF64(n=5)"
        data = prepared.data
        np.testing.assert_array_equal(data, pts[:, :3])
        assert data.flags.c_contiguous and data.dtype == np.float32
        data[:] = 0
        np.testing.assert_array_equal(prepared.data, pts[:, :3])
        assert prepared.data is not prepared.data
        np.testing.assert_array_equal(
            _ornel.PreparedF64(pts.astype(np.float64)[::-1], *g).data, pts[::-1, :3].astype(np.float64)
        )

    def test_module_and_class_metadata(self):
        assert _ornel.PreparedF32.__module__ == "builtins"
        assert _ornel.all_nearest_neighbours.__self__ is _ornel
        assert (
            _ornel.all_nearest_neighbours.__text_signature__
            == "(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors)"
        )
        assert _ornel.PreparedF64.__text_signature__ == "(points, indptr, indices)"
        assert (
            _ornel.PreparedF64.query.__text_signature__
            == "($self, x_points, x_indptr, x_indices, distance_upper_bound=None)"
        )
        assert _ornel.PreparedF32.query_prepared.__text_signature__ == "($self, other, distance_upper_bound=None)"
        assert _ornel.all_nearest_neighbours_f32.__doc__.splitlines()[0].startswith("Find, for each point in `x`")


class TestThreads:
    def test_shared_prepared_objects_from_eight_threads(self):
        rng = np.random.default_rng(15)
        y, x = rng.random((20000, 3)).astype(np.float32), rng.random((20000, 3)).astype(np.float32)
        target, query = _ornel.PreparedF32(y, *delaunay_graph(y)), _ornel.PreparedF32(x, *delaunay_graph(x))
        xg = delaunay_graph(x)
        expected = [target.query_prepared(query), target.query_prepared(query, 0.01), target.query(x, *xg, 0.02)]
        results, errors = {}, []
        barrier = threading.Barrier(8)

        def work(k):
            try:
                barrier.wait()
                for round_ in range(5):
                    results[k, round_] = [
                        target.query_prepared(query),
                        target.query_prepared(query, 0.01),
                        target.query(x, *xg, 0.02),
                    ]
            except BaseException as error:  # noqa: BLE001 - reported below
                errors.append(error)

        run_threads(work, 8)
        assert not errors
        assert len(results) == 40
        for got in results.values():
            for (d, i), (ed, ei) in zip(got, expected):
                np.testing.assert_array_equal(d, ed)
                np.testing.assert_array_equal(i, ei)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="per-interpreter module checks start with 3.12")
def test_a_second_interpreter_gets_a_clean_import_error():
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    interpreter = interpreters.create()
    try:
        try:
            failure = interpreters.run_string(interpreter, "import _ornel")
        except Exception as error:  # 3.12 raises the failure, 3.13 returns it
            failure = error
        assert failure is not None and "does not support loading in subinterpreters" in str(failure)
    finally:
        interpreters.destroy(interpreter)
    assert _ornel.PreparedF64(np.zeros((1, 3)), np.zeros(2, np.uint32), np.zeros(0, np.uint32)).n == 1


class TestPreparedQueryReuse:
    """A prepared query cloud keeps how its walk seeds its searches; reused, it must answer as a fresh one."""

    @staticmethod
    def quantised_slabs(rng):
        x = np.round(rng.random((700, 3)) * [9, 9, 2]) / 9  # quantised slab: duplicates and ties
        y = np.round(rng.random((500, 3)) * [9, 9, 2]) / 9
        return x, random_graph(rng, len(x), 6), y

    @pytest.mark.parametrize("Prepared,dtype", [(_ornel.PreparedF64, np.float64), (_ornel.PreparedF32, np.float32)])
    def test_reused_against_several_targets(self, Prepared, dtype):
        rng = np.random.default_rng(31)
        x, x_graph, y = self.quantised_slabs(rng)
        x, y = x.astype(dtype), y.astype(dtype)
        reused = Prepared(x, *x_graph)
        # On random target graphs the answers depend on the seeds, so a stale order would show.
        for y_graph in (random_graph(rng, len(y), 8), delaunay_graph(y), random_graph(rng, len(y), 3)):
            target = Prepared(y, *y_graph)
            expected = target.query(x, *x_graph)
            for got in (
                target.query_prepared(reused),
                target.query_prepared(Prepared(x, *x_graph)),
                target.query_prepared(reused),
            ):
                np.testing.assert_array_equal(got[0], expected[0])
                np.testing.assert_array_equal(got[1], expected[1])

    def test_threads_first_using_one_query_cloud_together(self):
        rng = np.random.default_rng(32)
        x, x_graph, y = self.quantised_slabs(rng)
        target = _ornel.PreparedF64(y, *random_graph(rng, len(y), 8))
        expected = target.query(x, *x_graph)
        for _ in range(5):
            shared = _ornel.PreparedF64(x, *x_graph)
            start = threading.Barrier(8)
            results = [None] * 8

            def join(slot):
                start.wait()
                results[slot] = target.query_prepared(shared)

            run_threads(join, 8)
            for got in results:
                np.testing.assert_array_equal(got[1], expected[1])

    def test_a_faulty_query_graph_fails_every_time(self):
        y = np.random.default_rng(33).random((50, 3))
        target = _ornel.PreparedF64(y, *delaunay_graph(y))
        query = _ornel.PreparedF64(np.zeros((3, 3)), np.array([0, 1, 2, 3], np.uint32), np.array([1, 7, 0], np.uint32))
        for _ in range(3):
            with raises_panic("index out of bounds: the len is 3 but the index is 7"):
                target.query_prepared(query)
