"""The cell grid's searches (`ornel._native.grid_nearest`, `grid_nearest_k`): exact against brute
force and cKDTree on every kind of cloud a user brings, ties to the lowest row, threads giving the
serial answer, and clear refusals."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from scipy.spatial import cKDTree

import ornel
from ornel._native import (
    grid_ball_counts,
    grid_build,
    grid_nearest,
    grid_nearest_built,
    grid_nearest_k,
    grid_search_ahead,
    grid_search_finish,
    grid_search_stop,
    grid_search_work,
)
from tests.conftest import DATA


def brute(queries, points):
    """Squared distances in double as (dx² + dy²) + dz², and the lowest row among the nearest."""
    q, p = queries[:, :3].astype(np.float64), points[:, :3].astype(np.float64)
    diff = q[:, None, :] - p[None, :, :]
    d2 = (diff[..., 0] * diff[..., 0] + diff[..., 1] * diff[..., 1]) + diff[..., 2] * diff[..., 2]
    return d2


def check_nearest(queries, points, threads=2):
    dist2, idx = grid_nearest(points, queries, threads=threads)
    d2 = brute(queries, points)
    expected = np.argmin(d2, axis=1)  # the first of equal minima: the lowest row
    np.testing.assert_array_equal(dist2, d2[np.arange(len(queries)), expected])
    np.testing.assert_array_equal(idx, expected)
    return dist2, idx


def check_k(queries, points, k, threads=2):
    dist2, idx = grid_nearest_k(points, queries, k, threads=threads)
    d2 = brute(queries, points)
    rows = np.broadcast_to(np.arange(len(points)), d2.shape)
    order = np.lexsort((rows, d2), axis=1)[:, :k]
    found = min(k, len(points))
    np.testing.assert_array_equal(dist2[:, :found], np.take_along_axis(d2, order, 1)[:, :found])
    np.testing.assert_array_equal(idx[:, :found], order[:, :found])
    assert (dist2[:, found:] == np.inf).all() and (idx[:, found:] == len(points)).all()


def scan(name, n, rng):
    points = np.load(DATA / name).astype(np.float64)
    return points[rng.choice(len(points), size=min(n, len(points)), replace=False)]


def kinds(rng):
    """Clouds as users have them, each with queries near and far from it."""
    cube = rng.random((3000, 3))
    bunny = scan("stanford-bunny.npy", 3000, rng)
    lidar = np.round(rng.random((3000, 3)) * [40, 40, 2], 2)  # centimetre quanta: exact ties
    flat = np.column_stack([rng.random((2500, 2)), np.zeros(2500)])
    line = np.outer(rng.random(2000), [1.0, 2.0, -0.5])
    duplicates = np.repeat(rng.random((300, 3)), 7, axis=0)[rng.permutation(2100)]
    # A dense patch beside sparse outliers a million times farther apart.
    uneven = np.concatenate([rng.random((2500, 3)) * 1e-3, rng.normal(size=(20, 3)) * 1e3])
    return {
        "cube": cube,
        "bunny": bunny,
        "lidar": lidar,
        "flat": flat,
        "line": line,
        "duplicates": duplicates,
        "uneven": uneven,
    }


KINDS = ["cube", "bunny", "lidar", "flat", "line", "duplicates", "uneven"]


def queries_for(points, rng, n=1500):
    lo, hi = points.min(axis=0), points.max(axis=0)
    span = np.maximum(hi - lo, 1e-9)
    near = points[rng.integers(0, len(points), n // 2)] + rng.normal(size=(n // 2, 3)) * span * 0.01
    wide = lo + (rng.random((n - n // 2, 3)) * 3 - 1) * span  # outside the box too
    return np.concatenate([near, wide, points[:50]])


class TestMatchesBruteForce:
    @pytest.mark.parametrize("kind", KINDS)
    @pytest.mark.parametrize("offset", [0.0, 1e5, 1e6])
    def test_every_kind_of_cloud_in_double(self, kind, offset):
        rng = np.random.default_rng(KINDS.index(kind))
        points = kinds(rng)[kind] + offset
        queries = queries_for(points - offset, rng) + offset
        if kind == "lidar":
            queries = np.round(queries, 2)  # quantised queries against quantised points
        dist2, _ = check_nearest(queries, points)
        # The distances cKDTree gives, bit for bit.
        tree_dists, _ = cKDTree(points).query(queries)
        np.testing.assert_array_equal(np.sqrt(dist2), tree_dists)

    @pytest.mark.parametrize("kind", KINDS)
    def test_single_precision_is_exact_for_the_rounded_coordinates(self, kind):
        rng = np.random.default_rng(10 + KINDS.index(kind))
        points = kinds(rng)[kind]
        queries = queries_for(points, rng)
        single_points, single_queries = points.astype(np.float32), queries.astype(np.float32)
        dist2, _ = check_nearest(single_queries, single_points)
        # Against the double coordinates, off by no more than the two roundings: a coordinate
        # moves by at most 2^-24 of its magnitude, a point by sqrt(3) times that.
        exact = np.sqrt(brute(queries, points).min(axis=1))
        scale = np.abs(np.concatenate([points, queries])).max()
        assert np.all(np.abs(np.sqrt(dist2) - exact) <= 2 * np.sqrt(3) * 2.0**-24 * scale * (1 + 1e-9))

    @pytest.mark.parametrize("kind", KINDS)
    @pytest.mark.parametrize("k", [1, 4, 17])
    def test_k_nearest(self, kind, k):
        rng = np.random.default_rng(20 + KINDS.index(kind))
        points = kinds(rng)[kind] + 1e5
        check_k(queries_for(points - 1e5, rng, 600) + 1e5, points, k)

    @pytest.mark.parametrize("kind", KINDS)
    def test_ball_counts(self, kind):
        # Every point within the radius counted, those exactly at it included: balls spanning
        # a few cells, and balls wide enough to go through the octree.
        rng = np.random.default_rng(40 + KINDS.index(kind))
        points = kinds(rng)[kind] + 1e5
        queries = queries_for(points - 1e5, rng, 400) + 1e5
        d2 = brute(queries, points)
        span = float(np.ptp(points, axis=0).max())
        for radius in (0.0, span * 0.01, span * 0.2, np.sqrt(np.sort(d2[0])[5])):
            expected = (d2 <= radius * radius).sum(axis=1)
            np.testing.assert_array_equal(grid_ball_counts(points, queries, radius, threads=2), expected)

    def test_k_beyond_the_target_fills_with_misses(self):
        rng = np.random.default_rng(5)
        check_k(rng.random((40, 3)), rng.random((6, 3)), 9)

    @given(
        st.integers(1, 400),
        st.integers(1, 300),
        st.integers(1, 6),
        st.sampled_from([0.0, 1e6]),
        st.integers(0, 2**32 - 1),
    )
    def test_coarse_random_clouds(self, n, nq, scale, offset, seed):
        # Coordinates on a coarse lattice: equal distances and equal points everywhere.
        rng = np.random.default_rng(seed)
        points = rng.integers(0, scale + 1, size=(n, 3)) / scale + offset
        queries = rng.integers(-1, scale + 2, size=(nq, 3)) / scale + offset
        check_nearest(queries, points)
        check_k(queries, points, 3)


def check_against_tree(queries, points, threads=2, k=None):
    """Distances bit for bit cKDTree's, and rows where the nearest distance is not tied
    (clouds too large for brute force)."""
    q64, p64 = queries[:, :3].astype(np.float64), points[:, :3].astype(np.float64)
    dist2, idx = grid_nearest(points, queries, threads=threads)
    tree = cKDTree(p64)
    two, rows = tree.query(q64, k=2)
    np.testing.assert_array_equal(np.sqrt(dist2), two[:, 0])
    unique = two[:, 0] < two[:, 1]
    np.testing.assert_array_equal(idx[unique], rows[unique, 0])
    if k is not None:
        dist2_k, _ = grid_nearest_k(points, queries, k, threads=threads)
        np.testing.assert_array_equal(np.sqrt(dist2_k), tree.query(q64, k=k)[0])
    return dist2, idx


class TestLargeAndUnevenClouds:
    """Clouds large enough for several threads at every step, and shapes whose cells the
    grid must sort finely: a long line, and a dense patch beside far outliers whose
    points share the cells of a coarse sort."""

    def test_a_long_line(self):
        rng = np.random.default_rng(40)
        points = np.outer(rng.random(120_000), [3.0, -1.0, 0.5]) + 1e5
        along = np.outer(rng.random(20_000) * 1.2 - 0.1, [3.0, -1.0, 0.5])
        queries = along + 1e5 + rng.normal(size=(20_000, 3)) * 1e-3
        check_against_tree(queries, points, k=4)

    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    def test_a_dense_patch_beside_far_outliers(self, dtype):
        rng = np.random.default_rng(41)
        patch = rng.random((100_000, 3)) * 0.1
        outliers = rng.normal(size=(200, 3)) * 1e3
        points = np.concatenate([patch, outliers])[rng.permutation(100_200)].astype(dtype)
        queries = np.concatenate([patch[:30_000] + rng.normal(size=(30_000, 3)) * 1e-3, outliers * 1.01])
        check_against_tree(queries.astype(dtype), points, k=3)

    @pytest.mark.parametrize("n, nq", [(1_000, 200_000), (200_000, 1_000), (150_000, 150_000)])
    def test_query_clouds_larger_and_smaller_than_the_target(self, n, nq):
        # The queries' order is sorted in the target's sort's arrays: too small for them, or
        # larger than needed.
        rng = np.random.default_rng(42)
        points = scan("stanford-bunny.npy", 30_000, rng)
        points = points[rng.integers(0, len(points), n)] + rng.normal(size=(n, 3)) * 1e-4
        queries = points[rng.integers(0, n, nq)] + rng.normal(size=(nq, 3)) * 1e-3
        for threads in (1, 2):
            check_against_tree(queries, points, threads=threads)


def shell(rng, n):
    """A thin two-sided sphere shell: a scan's open, doubled surface."""
    u = rng.normal(size=(n, 3))
    u /= np.linalg.norm(u, axis=1)[:, None]
    return u * (1.0 + rng.choice([0.0, 0.01], n)[:, None])


class TestSearchPaths:
    """Every way the nearest search takes through the grid: the own cell alone, the cells
    beside it (faces, edges and corners, in the own block of cells and across into the next),
    balls past the 3 x 3 x 3 block around it (sparse and far queries), ties across cells, and
    queries given in the order the search takes them; near the origin and far from it, in
    both precisions."""

    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    def test_balls_of_every_reach(self, offset, dtype):
        rng = np.random.default_rng(50)
        surface = shell(rng, 60_000)
        points = (surface + offset).astype(dtype)
        # From a thousandth of a cell (about 0.03 across) to many cells, and far outside.
        reaches = [1e-5, 1e-3, 1e-2, 0.03, 0.1, 0.5, 3.0]
        near = [surface[rng.integers(0, len(surface), 3000)] + rng.normal(size=(3000, 3)) * s for s in reaches]
        queries = (np.concatenate(near) + offset).astype(dtype)
        check_against_tree(queries, points)
        # Given sorted, as the search takes them, and in random order: the same answers.
        import ornel

        order = ornel.morton_order(queries)
        dist2, idx = grid_nearest(points, queries, threads=2)
        sorted_dist2, sorted_idx = grid_nearest(points, np.ascontiguousarray(queries[order]), threads=2)
        np.testing.assert_array_equal(sorted_dist2, dist2[order])
        np.testing.assert_array_equal(sorted_idx, idx[order])
        if dtype == np.float64:
            # Sorted, then rounded from an origin as they are read: nearly in order, searched
            # as given; the answers are the rounded arrays' whatever the order.
            origin = np.round(points.mean(axis=0), -3)
            given = np.ascontiguousarray(queries[order])
            dist2, idx = grid_nearest(points, given, threads=2, origin=origin)
            expected_dist2, expected_idx = check_against_tree(rounded(queries, origin), rounded(points, origin))
            np.testing.assert_array_equal(dist2, expected_dist2[order])
            np.testing.assert_array_equal(idx, expected_idx[order])

    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    def test_ties_across_cells_go_to_the_lowest_row(self, offset):
        # A lattice in shuffled rows, queried at the centres of its cubes, faces and edges:
        # 8, 4 or 2 points exactly as near, most often in different cells of the grid.
        rng = np.random.default_rng(51)
        axis = np.arange(16.0)
        lattice = np.stack(np.meshgrid(axis, axis, axis, indexing="ij"), axis=-1).reshape(-1, 3)
        points = lattice[rng.permutation(len(lattice))] + offset
        centres = rng.integers(0, 15, size=(900, 3)) + rng.choice([0.0, 0.5], size=(900, 3))
        for dtype in (np.float64, np.float32):
            check_nearest((centres + offset).astype(dtype), points.astype(dtype))


class TestTiesAndDeterminism:
    def test_equal_distances_go_to_the_lowest_row(self):
        corners = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], dtype=np.float64)
        rng = np.random.default_rng(1)
        for _ in range(20):
            points = corners[rng.permutation(8)]
            dist2, idx = grid_nearest(points, np.array([[0.5, 0.5, 0.5]]))
            assert dist2[0] == 0.75 and idx[0] == 0
            _, rows = grid_nearest_k(points, np.array([[0.5, 0.5, 0.5]]), 8)
            np.testing.assert_array_equal(rows[0], np.arange(8))

    def test_duplicates_answer_their_first_copy(self):
        rng = np.random.default_rng(2)
        base = rng.random((500, 3))
        points = np.concatenate([base, base, base])
        _, idx = grid_nearest(points, points)
        np.testing.assert_array_equal(idx, np.tile(np.arange(500), 3))

    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    @pytest.mark.parametrize("dtype", [np.float32, np.float64])
    def test_exact_ties_in_runs_of_every_length(self, dtype, offset):
        # Lattice points, some repeated, in rows shuffled: queries at lattice and
        # half-lattice places are exactly as near to several points, which fall in
        # one lane of a cell's scan (positions eight apart) or in different lanes,
        # in runs of every length around the eight points a step (tails of 1..7).
        rng = np.random.default_rng(11)
        lattice = np.array([[x, y, z] for x in range(4) for y in range(4) for z in range(3)], dtype=np.float64)
        for n in [*range(1, 41), 57, 64, 65, 200, 1000]:
            points = lattice[rng.integers(0, len(lattice), n)]
            points = np.concatenate([points, points[rng.integers(0, n, n // 3)]])[rng.permutation(n + n // 3)]
            queries = np.concatenate(
                [lattice, lattice + 0.5, lattice + [0.5, 0, 0], lattice[::-1] - [0, 0.5, 0.5], points[:20] * 1.5]
            )
            # Far from the origin too: the lattice and its halves stay exact in either type.
            check_nearest((queries + offset).astype(dtype), (points + offset).astype(dtype))

    def test_squares_beyond_double_range(self):
        # Differences near 1e155 square beyond the largest double: every distance
        # is infinite, and the lowest row answers.
        points = np.array([[1e155, 0, 0], [-1e155, 0, 0], [1e155, 1e155, 0], [0, 0, -1e155]] * 3)
        queries = np.array([[-1.2e155, 1.1e155, 1e155], [1.5e155, -1e155, 1e155]])
        with np.errstate(over="ignore"):
            dist2, idx = check_nearest(queries, points)
        assert (dist2 == np.inf).all() and (idx == 0).all()

    @pytest.mark.parametrize("dtype", [np.float32, np.float64])
    def test_threads_give_the_serial_answer(self, dtype):
        rng = np.random.default_rng(3)
        points = scan("rocker-arm.npy", 60_000, rng).astype(dtype)
        queries = (points[rng.integers(0, len(points), 50_000)] + rng.normal(size=(50_000, 3)) * 0.5).astype(dtype)
        serial = grid_nearest(points, queries, threads=1)
        for threads in (2, 3, 8):
            parallel = grid_nearest(points, queries, threads=threads)
            np.testing.assert_array_equal(parallel[0], serial[0])
            np.testing.assert_array_equal(parallel[1], serial[1])
        serial_k = grid_nearest_k(points, queries[:5000], 5, threads=1)
        parallel_k = grid_nearest_k(points, queries[:5000], 5, threads=3)
        np.testing.assert_array_equal(serial_k[1], parallel_k[1])
        tree_dists, _ = cKDTree(points.astype(np.float64)).query(queries.astype(np.float64))
        np.testing.assert_array_equal(np.sqrt(serial[0]), tree_dists)

    def test_strided_and_wide_arrays_read_as_their_copies(self):
        rng = np.random.default_rng(4)
        wide = rng.random((2000, 5))
        points = wide[::-2]
        queries = np.asfortranarray(rng.random((300, 4)))
        expected = grid_nearest(np.ascontiguousarray(points[:, :3]), np.ascontiguousarray(queries[:, :3]))
        got = grid_nearest(points, queries)
        np.testing.assert_array_equal(got[0], expected[0])
        np.testing.assert_array_equal(got[1], expected[1])

    def test_empty_clouds(self):
        dist2, idx = grid_nearest(np.zeros((0, 3)), np.ones((3, 3)))
        assert (dist2 == np.inf).all() and (idx == 0).all()
        dist2, idx = grid_nearest(np.ones((3, 3)), np.zeros((0, 3)))
        assert dist2.shape == (0,) and idx.shape == (0,)


def rounded(points, origin):
    """float32 coordinates measured from `origin`: the difference in double, rounded once."""
    return (points[:, :3].astype(np.float64) - np.asarray(origin)).astype(np.float32)


class TestRoundedFromAnOrigin:
    """With `origin`, both clouds are searched as float32 arrays of their coordinates measured
    from it: the same bits as those arrays give, which match brute force over them."""

    @pytest.mark.parametrize("kind", KINDS)
    @pytest.mark.parametrize("shift", [0.0, 1e5, 7.3e5])
    def test_same_answers_as_the_rounded_arrays(self, kind, shift):
        rng = np.random.default_rng(KINDS.index(kind) + int(shift))
        points = kinds(rng)[kind] + shift
        queries = queries_for(points, rng)
        # The frames the package takes: a cloud's rounded centre far away, none near.
        for origin in {(0.0, 0.0, 0.0), tuple(np.round(points.mean(axis=0), -3))}:
            expected = check_nearest(rounded(queries, origin), rounded(points, origin))
            for given_points, given_queries in ((points, queries), (points.astype(np.float32), queries)):
                for threads in (1, 3):
                    dist2, idx = grid_nearest(given_points, given_queries, threads=threads, origin=np.array(origin))
                    if given_points.dtype == np.float32:  # rounded once from the float32 values
                        expected = check_nearest(rounded(queries, origin), rounded(given_points, origin))
                    np.testing.assert_array_equal(dist2, expected[0], err_msg=f"{kind} from {origin}")
                    np.testing.assert_array_equal(idx, expected[1], err_msg=f"{kind} from {origin}")

    def test_ties_made_by_rounding_go_to_the_lowest_row(self):
        # Points a hundredth of float32's step apart at 1e6: they round to one value, and
        # every query is as near to each copy.
        base = np.random.default_rng(6).random((400, 3)) * 100 + 1e6
        points = np.concatenate([base + 1e-9, base, base - 1e-9])
        _, idx = grid_nearest(points, base, origin=np.zeros(3))
        np.testing.assert_array_equal(idx, np.arange(400))

    def test_strided_input_reads_as_its_copy(self):
        rng = np.random.default_rng(7)
        wide = rng.random((3000, 5)) * 10 + 2e5
        origin = np.array([2e5, 2e5, 2e5])
        got = grid_nearest(wide[::-2], np.asfortranarray(wide[:700, 1:]), origin=origin)
        expected = grid_nearest(rounded(wide[::-2], origin), rounded(wide[:700, 1:], origin))
        np.testing.assert_array_equal(got[0], expected[0])
        np.testing.assert_array_equal(got[1], expected[1])

    def test_refusals(self):
        good = np.random.default_rng(8).random((10, 3))
        for origin in (np.zeros(2), np.array([0.0, np.nan, 0.0])):
            with pytest.raises(ValueError, match="^origin must be three finite numbers"):
                grid_nearest(good, good, origin=origin)
        beyond = good.copy()
        beyond[3] = 1e39  # finite in double, not once rounded to float32
        with pytest.raises(ValueError, match="^queries: point 3 has a non-finite coordinate"):
            grid_nearest(good, beyond, origin=np.zeros(3))


class TestRefusals:
    @pytest.mark.parametrize("which", ["points", "queries"])
    @pytest.mark.parametrize("bad", [np.nan, np.inf])
    def test_non_finite_coordinates(self, which, bad):
        good = np.random.default_rng(0).random((10, 3))
        broken = good.copy()
        broken[4, 1] = bad
        arrays = {"points": good, "queries": good, which: broken}
        with pytest.raises(ValueError, match=f"^{which}: point 4 has a non-finite coordinate"):
            grid_nearest(arrays["points"], arrays["queries"])

    def test_the_first_row_holding_a_non_finite_coordinate_is_named(self):
        # Read in parts on several threads: the row named is the first, whichever part
        # and axis it is in.
        points = np.random.default_rng(5).random((300_000, 3))
        points[160_000, 0] = np.nan
        points[140_000, 2] = np.inf
        points[290_000, 1] = np.nan
        for threads in (1, 2, 4):
            with pytest.raises(ValueError, match="^points: point 140000 has a non-finite coordinate"):
                grid_nearest(points, points[:10], threads=threads)
            with pytest.raises(ValueError, match="^queries: point 140000 has a non-finite coordinate"):
                grid_nearest(points[:10], points, threads=threads)

    def test_shapes_types_and_numbers(self):
        good = np.zeros((4, 3))
        with pytest.raises(ValueError, match=r"^points: expected an array of shape \(n, 3\) or wider; got 4 rows of 2"):
            grid_nearest(np.zeros((4, 2)), good)
        with pytest.raises(ValueError, match="^queries: expected"):
            grid_nearest(good, np.zeros((4, 1)))
        with pytest.raises(TypeError) as refused:
            grid_nearest(good.astype(np.int64), good)
        assert "expected a float64 array of shape (n, 3); got int64" in "\n".join(refused.value.__notes__)
        with pytest.raises(ValueError, match="^k must be from 1 to 4096, not 0"):
            grid_nearest_k(good, good, 0)
        with pytest.raises(ValueError, match="^threads must be at least 1, not 0"):
            grid_nearest(good, good, threads=0)
        with pytest.raises(TypeError):
            grid_nearest(good)


class TestSpatialOrder:
    def test_radix_sorted_order_is_the_stable_key_order_on_large_clouds(self):
        # Large enough to be sorted in parts on several threads; many equal keys, whose
        # rows must stay in order, and a box of 21-bit keys whose top digits vary little.
        import ornel
        from tests.conftest import reference_morton_keys

        rng = np.random.default_rng(30)
        clouds = [
            rng.random((300_000, 3)),
            np.round(rng.random((200_000, 3)) * 40) / 40,
            np.repeat(rng.random((1000, 3)), 150, axis=0)[rng.permutation(150_000)].astype(np.float32),
            rng.random((150_000, 3)) * [1e-3, 1e3, 1.0] + 1e6,
        ]
        for points in clouds:
            expected = np.argsort(reference_morton_keys(points), kind="stable")
            np.testing.assert_array_equal(ornel.morton_order(points), expected)


class TestBuiltAhead:
    """A grid built from a buffer of bytes (`grid_build`, as the command builds it before
    NumPy loads) answers as the grid `grid_nearest` builds over the same points."""

    @pytest.mark.parametrize("kind", KINDS)
    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    def test_same_answers_as_the_grid_built_for_the_call(self, kind, offset):
        rng = np.random.default_rng(60 + KINDS.index(kind))
        points = np.ascontiguousarray(kinds(rng)[kind] + offset)
        queries = queries_for(points - offset, rng) + offset
        if kind == "lidar":
            queries = np.round(queries, 2)
        built = grid_build(memoryview(points.tobytes()), threads=2)
        assert built.rows == len(points)
        for asked in (queries, queries.astype(np.float32)):
            expected = grid_nearest(points, asked, threads=2)
            for threads in (1, 2):
                got = grid_nearest_built(built, asked, threads=threads)
                np.testing.assert_array_equal(got[0], expected[0])
                np.testing.assert_array_equal(got[1], expected[1])
                assert got[1].dtype == np.uint32
        # And brute force's answers, searched again through the same grid.
        check = queries[:300]
        d2 = brute(check, points)
        dist2, idx = grid_nearest_built(built, check)
        np.testing.assert_array_equal(idx, np.argmin(d2, axis=1))
        np.testing.assert_array_equal(dist2, d2.min(axis=1))

    def test_searched_from_threads_at_once(self):
        from concurrent.futures import ThreadPoolExecutor

        rng = np.random.default_rng(7)
        points = np.round(rng.random((20_000, 3)) * 50, 1) + 5e6
        queries = [np.round(rng.random((5000, 3)) * 50, 1) + 5e6 for _ in range(6)]
        built = grid_build(points.tobytes(), threads=2)
        with ThreadPoolExecutor(3) as pool:
            answers = list(pool.map(lambda q: grid_nearest_built(built, q, threads=2), queries))
        for q, (dist2, idx) in zip(queries, answers):
            expected = grid_nearest(points, q)
            np.testing.assert_array_equal(dist2, expected[0])
            np.testing.assert_array_equal(idx, expected[1])

    @pytest.mark.parametrize("kind", KINDS)
    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    def test_a_search_begun_ahead_and_finished_gives_the_same_answers(self, kind, offset):
        """Begun on one thread (as the command's grid thread begins it), finished on others,
        by stretches of any size: grid_nearest's answers for every row, bit for bit, and
        brute force's."""
        import threading

        rng = np.random.default_rng(80 + KINDS.index(kind))
        points = np.ascontiguousarray(kinds(rng)[kind] + offset)
        queries = np.ascontiguousarray(queries_for(points - offset, rng) + offset)
        if kind == "lidar":
            queries = np.round(queries, 2)
        built = grid_build(points.tobytes(), threads=2)
        expected = grid_nearest(points, queries, threads=2)
        for least, threads, ahead in ((1, 2, True), (97, 1, True), (500, 2, False), (16384, 2, True)):
            search = grid_search_ahead(built, memoryview(queries).cast("B"), least=least)
            assert search.rows == len(queries) and search.grid is built
            assert search.address == queries.__array_interface__["data"][0]
            helper = threading.Thread(target=grid_search_work, args=(search,)) if ahead else None
            if helper is not None:
                helper.start()
            dist2, idx = grid_search_finish(search, threads=threads)
            if helper is not None:
                helper.join()
            np.testing.assert_array_equal(dist2, expected[0])
            np.testing.assert_array_equal(idx, expected[1])
            assert dist2.dtype == np.float64 and idx.dtype == np.uint32
        check = queries[:300]
        d2 = brute(check, points)
        search = grid_search_ahead(built, check.tobytes(), least=7)
        grid_search_work(search)  # all of it on this thread: nothing left to the finish
        dist2, idx = grid_search_finish(search)
        np.testing.assert_array_equal(idx, np.argmin(d2, axis=1))
        np.testing.assert_array_equal(dist2, d2.min(axis=1))

    def test_a_search_begun_ahead_is_finished_once_and_refuses_what_it_cannot_search(self):
        built = grid_build(np.ones((4, 3)).tobytes())
        search = grid_search_ahead(built, np.zeros((10, 3)).tobytes())
        grid_search_finish(search)
        with pytest.raises(ValueError, match="^the search was stopped or finished already$"):
            grid_search_finish(search)
        stopped = grid_search_ahead(built, np.zeros((10, 3)).tobytes(), least=3)
        grid_search_stop(stopped)
        grid_search_work(stopped)  # returns at once: nothing more is searched
        with pytest.raises(ValueError, match="^the search was stopped or finished already$"):
            grid_search_finish(stopped)
        dist2, idx = grid_search_finish(grid_search_ahead(built, b""))
        assert dist2.shape == idx.shape == (0,)
        dist2, idx = grid_search_finish(grid_search_ahead(grid_build(b""), np.ones((3, 3)).tobytes()))
        assert (dist2 == np.inf).all() and (idx == 0).all()  # as grid_nearest_built answers
        # The non-finite row named as grid_nearest_built names it, in whichever stretch it is.
        queries = np.zeros((50, 3))
        queries[[37, 45], 1] = [np.nan, np.inf]
        for least in (1, 10, 16384):
            with pytest.raises(ValueError, match=r"^queries: point 37 has a non-finite coordinate \(nan\)$"):
                grid_search_finish(grid_search_ahead(built, queries.tobytes(), least=least), threads=2)
        with pytest.raises(ValueError, match="^queries must be a C-contiguous buffer of rows of three float64$"):
            grid_search_ahead(built, bytes(25))
        with pytest.raises(ValueError, match="^queries must be a C-contiguous buffer of rows of three float64$"):
            grid_search_ahead(built, memoryview(bytes(49))[1:])  # rows that do not start aligned
        with pytest.raises(ValueError, match="^least must be at least 1 row$"):
            grid_search_ahead(built, bytes(24), least=0)
        with pytest.raises(TypeError):
            grid_search_ahead(np.ones((4, 3)), bytes(24))
        with pytest.raises(TypeError):
            grid_search_finish(built)

    def test_empty_and_refused_buffers(self):
        built = grid_build(b"")
        dist2, idx = grid_nearest_built(built, np.ones((3, 3)))
        assert (dist2 == np.inf).all() and (idx == 0).all()
        with pytest.raises(ValueError, match="^points must be a C-contiguous array of shape"):
            grid_build(bytes(25))
        with pytest.raises(ValueError, match="^points must be a C-contiguous array of shape"):
            grid_build(memoryview(bytes(49))[1:])  # rows that do not start aligned
        points = np.zeros((10, 3))
        points[4, 1] = np.nan
        with pytest.raises(ValueError, match="^points: point 4 has a non-finite coordinate"):
            grid_build(points.tobytes())
        queries = np.zeros((5, 3))
        queries[3, 2] = np.inf
        with pytest.raises(ValueError, match="^queries: point 3 has a non-finite coordinate"):
            grid_nearest_built(grid_build(np.ones((4, 3)).tobytes()), queries)
        with pytest.raises(TypeError):
            grid_nearest_built(np.ones((4, 3)), queries)


def boundary_coordinates(lo, extent, dtype):
    """Values of `dtype` at and a few units in the last place around the boundaries of the
    grid's keys (every 2048 quanta of 2^21 over [lo, lo + extent]), and of those the ones
    whose quantum taken by a product (2097151 / extent, as the grid takes its keys) and by a
    quotient (as morton_order does) fall on either side of a boundary."""
    scale = 2097151.0 / extent
    base = np.asarray(lo + np.arange(1, 1024) * 2048.0 / 2097151.0 * extent, dtype=dtype)
    values = [base]
    for direction in (np.inf, -np.inf):
        c = base
        for _ in range(4):
            c = np.nextafter(c, dtype(direction))
            values.append(c)
    values = np.unique(np.concatenate(values)).astype(np.float64)
    quotient = np.floor((values - lo) / extent * 2097151.0).astype(np.int64) >> 11
    product = np.floor((values - lo) * scale).astype(np.int64) >> 11
    return values, values[quotient != product]


class TestKeysOnTheirBoundaries:
    """The grid keys its points by products with the frame's scale: where a coordinate sits on
    the boundary of two cells the product may put it in either, and the search must still
    find it (exact against brute force, ties to the lowest row), at any offset, in either
    precision."""

    @staticmethod
    def cloud(rng, lo, extent, dtype, n=4000):
        axes, apart = [], 0
        for axis in range(3):
            values, split = boundary_coordinates(lo[axis], extent[axis], dtype)
            axes.append(np.concatenate([split, values[rng.integers(0, len(values), n)]]))
            apart += len(split)
        points = np.column_stack([a[rng.integers(0, len(a), n)] for a in axes])
        # The box's corners, so that the frame is the one the values were made for.
        corners = np.array([lo, np.asarray(lo) + np.asarray(extent)])
        return np.concatenate([corners, points]).astype(dtype), apart

    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    def test_points_on_cell_boundaries(self, offset, dtype):
        rng = np.random.default_rng(int(offset) % 1000 + (dtype == np.float32))
        boxes = [
            ([-3.7, 0.1, 2.0], [15.0, 0.2, 2097151.0 / 1024]),
            ([0.0, 0.0, 0.0], [2097151.0 / 16, 1.0, 2097151.0 / 2**14]),
        ]
        apart_anywhere = 0
        for lo, extent in boxes:
            lo = np.asarray(lo) + offset
            lo = np.asarray(lo, dtype=dtype).astype(np.float64)
            points, apart = self.cloud(rng, lo, np.asarray(extent), dtype)
            apart_anywhere += apart
            # Queries on the points, beside them by a few units in the last place, and between.
            moved = np.nextafter(points, np.where(rng.random(points.shape) < 0.5, np.inf, -np.inf).astype(dtype))
            queries = np.concatenate([points[:1500], moved[:1500], (points[:1500] + points[1500:3000]) / 2])
            queries = queries.astype(dtype)
            for threads in (1, 2):
                check_nearest(queries, points, threads=threads)
            if dtype == np.float64:
                origin = np.round(points.mean(axis=0), -3)
                expected = check_nearest(rounded(queries, origin), rounded(points, origin))
                dist2, idx = grid_nearest(points, queries, threads=2, origin=origin)
                np.testing.assert_array_equal(dist2, expected[0])
                np.testing.assert_array_equal(idx, expected[1])
        if dtype == np.float64 and offset == 0.0:
            assert apart_anywhere > 0  # the case this test is for does arise


class TestSortSpaceKeptBetweenCalls:
    """The one-off searches keep their sort's arrays for the next call while small, lent to
    one call at a time: calls from several threads at once, larger and smaller than the arrays
    kept, give the answers each gives alone."""

    def test_calls_at_once_of_every_size(self):
        from concurrent.futures import ThreadPoolExecutor

        rng = np.random.default_rng(11)
        pairs = []
        for n, nq in [(600_000, 20_000), (3000, 40_000), (40_000, 3000), (1, 5), (0, 5), (70_000, 70_000)]:
            points = np.round(rng.random((n, 3)) * 100, 2) + 5e5  # exact ties among centimetre quanta
            queries = np.round(rng.random((nq, 3)) * 100, 2) + 5e5
            pairs.append((points, queries))
        alone = [grid_nearest(p, q, threads=2) for p, q in pairs]
        alone_k = [grid_nearest_k(p, q[:2000], 3, threads=2) for p, q in pairs]
        for p, q in pairs[2:4]:
            check_nearest(q, p)
        with ThreadPoolExecutor(3) as pool:
            for _ in range(2):
                order = rng.permutation(len(pairs))
                answers = list(pool.map(lambda j: grid_nearest(*pairs[j], threads=2), order))
                answers_k = list(pool.map(lambda j: grid_nearest_k(pairs[j][0], pairs[j][1][:2000], 3), order))
                for j, got, got_k in zip(order, answers, answers_k):
                    for a, b in zip(got + got_k, alone[j] + alone_k[j]):
                        np.testing.assert_array_equal(a, b)
        big_points, big_queries = pairs[0]
        tree_dists, _ = cKDTree(big_points).query(big_queries)
        np.testing.assert_array_equal(np.sqrt(alone[0][0]), tree_dists)


class TestQueryOrders:
    """The queries are sorted only as finely as the grid's cells need (by keys of their own
    box), whatever order they come in: as a scan gives them, sorted, shuffled; their box the
    target's, a patch of it, or widened a thousandfold by one far query; the target's grid
    finer than the queries' keys (a dense patch beside far outliers, sorted by whole keys).
    Every order gives the same answers, brute force's, near the origin and far from it, in
    both precisions."""

    @staticmethod
    def query_sets(points, rng):
        lo, hi = points.min(axis=0), points.max(axis=0)
        given = points[rng.integers(0, len(points), 3000)] + rng.normal(size=(3000, 3)) * (hi - lo) * 1e-3
        given = given[np.argsort(rng.integers(0, 40, 3000), kind="stable")]  # runs, as a scanner's strips
        patch = lo + (hi - lo) * (0.4 + 0.05 * rng.random((2000, 3)))
        widened = np.concatenate([given[:1500], [hi + 1000 * (hi - lo)], given[1500:]])
        return {"given": given, "patch": patch, "widened": widened}

    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    @pytest.mark.parametrize("target", ["bunny", "line", "uneven", "lidar"])
    def test_every_order_gives_brute_forces_answers(self, offset, target):
        rng = np.random.default_rng(int(offset) % 997 + len(target))
        points = kinds(rng)[target] + offset
        for name, queries in self.query_sets(points, rng).items():
            if target == "lidar":
                queries = np.round(queries, 2)  # exact ties among centimetre quanta
            expected = check_nearest(queries, points)
            morton = np.asarray(ornel.morton_order(queries))
            shuffle = rng.permutation(len(queries))
            for order in (morton, shuffle):
                dist2, idx = grid_nearest(points, np.ascontiguousarray(queries[order]), threads=2)
                np.testing.assert_array_equal(dist2, expected[0][order], err_msg=name)
                np.testing.assert_array_equal(idx, expected[1][order], err_msg=name)
            # Single precision: float32 arrays, and both clouds rounded from an origin.
            check_nearest(queries.astype(np.float32), points.astype(np.float32))
            origin = np.round(points.mean(axis=0), -3)
            rounded_answers = check_nearest(rounded(queries, origin), rounded(points, origin))
            for order in (np.arange(len(queries)), shuffle):
                dist2, idx = grid_nearest(points, queries[order], threads=2, origin=origin)
                np.testing.assert_array_equal(dist2, rounded_answers[0][order], err_msg=name)
                np.testing.assert_array_equal(idx, rounded_answers[1][order], err_msg=name)
