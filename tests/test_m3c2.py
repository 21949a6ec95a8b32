"""M3C2 change detection: the region searches and the per-core-point statistics against a
brute force of their definitions (tests/m3c2_model.py), the normals' sides on open
surfaces, and a surface with a known displaced patch near and far from the origin."""

import gc
import hashlib
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from conftest import assert_same_bits_on_both_vector_paths, native_checker
from hypothesis import given
from hypothesis import strategies as st
from m3c2_model import cylinder_positions, in_ball, m3c2_reference

import ornel
from ornel._errors import CloudError
from ornel._m3c2 import M3C2Result, m3c2, subsample_rows
from ornel._native import ball_search, cylinder_search
from ornel._native import m3c2 as native_m3c2


def terrain(n, rng, *, size=20.0, noise=0.02, offset=(0.0, 0.0, 0.0), dtype=np.float64):
    """A rolling open surface z = f(x, y) with noise, shifted by `offset`."""
    xy = rng.uniform(0, size, (n, 2))
    z = 0.5 * np.sin(xy[:, 0] / 3) * np.cos(xy[:, 1] / 4) + noise * rng.standard_normal(n)
    return (np.c_[xy, z] + np.asarray(offset)).astype(dtype)


def unit_rows(rng, q):
    axes = rng.standard_normal((q, 3))
    return axes / np.linalg.norm(axes, axis=1, keepdims=True)


def csr_rows(indptr, indices):
    return [indices[indptr[i] : indptr[i + 1]] for i in range(len(indptr) - 1)]


class TestRegionSearches:
    """Every point inside is found and none outside, the boundary included."""

    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    @pytest.mark.parametrize("offset", [0.0, 1e5, 1e6])
    def test_balls_and_cylinders_match_brute_force(self, dtype, offset):
        rng = np.random.default_rng(7)
        points = terrain(3000, rng, offset=(offset, -offset, offset / 10), dtype=dtype)
        centres = points[::37].astype(np.float64) + rng.normal(0, 0.3, (len(points[::37]), 3))
        axes = unit_rows(rng, len(centres))
        axes[::3] = (0, 0, 1)
        for radius in (0.4, 1.5):
            found = csr_rows(*ball_search(points, centres, radius))
            for centre, row in zip(centres, found):
                np.testing.assert_array_equal(row, in_ball(points, centre, radius))
            found = csr_rows(*cylinder_search(points, centres, axes, radius, 2.5 * radius))
            for centre, axis, row in zip(centres, axes, found):
                np.testing.assert_array_equal(row, cylinder_positions(points, centre, axis, radius, 2.5 * radius)[0])

    def test_points_on_the_boundary_are_inside(self):
        # A quantised lattice: many points lie exactly on the spheres, discs and caps.
        g = np.arange(-4, 5, dtype=np.float64) * 0.5
        points = np.stack(np.meshgrid(g, g, g, indexing="ij"), axis=-1).reshape(-1, 3) + 1e6
        centre = np.array([[1e6, 1e6, 1e6]])
        axis = np.array([[0.0, 0.0, 1.0]])
        (rows,) = csr_rows(*ball_search(points, centre, 1.0))
        d = points[rows] - centre
        assert len(rows) == 1 + 6 + 12 + 8 + 6 and ((d * d).sum(axis=1) == 1.0).sum() == 6  # six on the sphere itself
        np.testing.assert_array_equal(rows, in_ball(points, centre[0], 1.0))
        (rows,) = csr_rows(*cylinder_search(points, centre, axis, 1.0, 1.5))
        np.testing.assert_array_equal(rows, cylinder_positions(points, centre[0], axis[0], 1.0, 1.5)[0])
        assert len(rows) == 13 * 7  # the disc's 13 lattice points (its rim included) on 7 levels (both caps included)

    @given(st.integers(0, 2**32 - 1), st.sampled_from([0.0, 3e5]), st.integers(0, 4))
    def test_quantised_clouds_with_duplicates(self, seed, offset, decimals):
        rng = np.random.default_rng(seed)
        points = np.round(rng.uniform(-3, 3, (400, 3)), decimals) + offset
        points = np.concatenate([points, points[:50]])  # exact duplicates
        centres = np.round(rng.uniform(-3, 3, (20, 3)), decimals) + offset
        axes = unit_rows(rng, 20)
        radius = float(rng.choice([0.5, 1.0, 2.0]))
        for centre, row in zip(centres, csr_rows(*ball_search(points, centres, radius))):
            np.testing.assert_array_equal(row, in_ball(points, centre, radius))
        found = csr_rows(*cylinder_search(points, centres, axes, radius, 1.5))
        for centre, axis, row in zip(centres, axes, found):
            np.testing.assert_array_equal(row, cylinder_positions(points, centre, axis, radius, 1.5)[0])

    def test_threads_give_the_serial_answer_and_empty_input_is_fine(self):
        rng = np.random.default_rng(3)
        points = terrain(5000, rng)
        centres = points[::3].astype(np.float64)
        serial = ball_search(points, centres, 1.0, threads=1)
        parallel = ball_search(points, centres, 1.0, threads=4)
        for a, b in zip(serial, parallel):
            np.testing.assert_array_equal(a, b)
        indptr, indices = ball_search(np.zeros((0, 3)), centres, 1.0)
        assert not indptr.any() and len(indices) == 0

    @pytest.mark.parametrize("dtype,offset", [(np.float64, 0.0), (np.float64, 5e5), (np.float32, 1e4)])
    def test_a_grid_built_on_several_threads(self, dtype, offset):
        """Enough points that the grid's passes split over threads (by ranges of points,
        then of cells): quantised, with exact duplicates across the parts' boundaries, it
        finds what the brute force finds, in the one-thread grid's order."""
        rng = np.random.default_rng(11)
        points = np.round(terrain(200_000, rng, size=60.0), 2)
        points = (np.concatenate([points, points[::7]]) + (offset, offset, 0.0)).astype(dtype)
        centres = points[::4001].astype(np.float64)
        axes = unit_rows(rng, len(centres))
        for threads in (2, 3):
            for serial, parallel in zip(
                ball_search(points, centres, 1.2, threads=1), ball_search(points, centres, 1.2, threads=threads)
            ):
                np.testing.assert_array_equal(serial, parallel)
        found = csr_rows(*ball_search(points, centres, 1.2, threads=3))
        for centre, row in zip(centres, found):
            np.testing.assert_array_equal(row, in_ball(points, centre, 1.2))
        found = csr_rows(*cylinder_search(points, centres, axes, 0.8, 2.0, threads=3))
        for centre, axis, row in zip(centres, axes, found):
            np.testing.assert_array_equal(row, cylinder_positions(points, centre, axis, 0.8, 2.0)[0])

    def test_a_sparse_grid_sorts_on_fewer_threads(self):
        """A cloud whose cells outnumber its points counts its cells on fewer ranges than
        it has threads (their counters would cost more than the points; here about
        210,000 cells for 155,000 points: 2 ranges for 3 threads): the same answers on 1
        and 3 threads, the brute force's, and M3C2's bits alike."""
        rng = np.random.default_rng(12)
        points = np.round(rng.uniform(0, 120, (140_000, 3)), 1)
        points = np.concatenate([points, points[::9]])
        centres = points[::3001].astype(np.float64)
        for serial, parallel in zip(
            ball_search(points, centres, 0.8, threads=1), ball_search(points, centres, 0.8, threads=3)
        ):
            np.testing.assert_array_equal(serial, parallel)
        for centre, row in zip(centres, csr_rows(*ball_search(points, centres, 0.8, threads=3))):
            np.testing.assert_array_equal(row, in_ball(points, centre, 0.8))
        kwargs = dict(core_points=points[::700], normal_radius=3.0, cylinder_radius=0.4, max_depth=6.0)
        serial, parallel = (
            m3c2(points, points[::-1], threads=1, **kwargs),
            m3c2(points, points[::-1], threads=3, **kwargs),
        )
        assert (serial.count1 > 1).mean() > 0.3
        for name in ("distance", "lod", "count1", "count2", "normal", "spread1", "spread2"):
            np.testing.assert_array_equal(getattr(serial, name), getattr(parallel, name))

    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    def test_non_finite_coordinates_are_refused_by_row(self, dtype):
        """The build's pass over the box finds NaN and infinities on any thread's range,
        and names the first point that has one; M3C2 says which epoch."""
        rng = np.random.default_rng(13)
        points = terrain(150_000, rng, size=60.0, dtype=dtype)
        centres = points[:3].astype(np.float64)
        for row, bad, name in ((149_999, np.nan, "nan"), (70_000, np.inf, "inf"), (0, -np.inf, "inf")):
            broken = points.copy()
            broken[row, 2] = bad
            broken[row + 1 :: 20_000, 0] = np.nan  # later ones are not the first
            for threads in (1, 2, 3):
                with pytest.raises(ValueError, match=rf"^point {row} has a non-finite coordinate \({name}\)"):
                    ball_search(broken, centres, 1.0, threads=threads)
            kwargs = dict(core_points=centres, normal_radius=2.0, cylinder_radius=0.5, max_depth=1.0, normals="+z")
            for epochs, which in (((broken, points), "epoch1"), ((points, broken), "epoch2")):
                with pytest.raises(CloudError, match=rf"^{which}: non-finite .* first in point {row}$"):
                    m3c2(*epochs, **kwargs)
            with pytest.raises(CloudError, match=rf"^epoch1: non-finite .* first in point {row}$"):
                m3c2(broken, points, core_points=5.0, normal_radius=2.0, cylinder_radius=0.5, max_depth=1.0)


def compare_with_reference(result, reference, *, tolerance):
    np.testing.assert_allclose(result.normal, reference["normal"], atol=1e-9)
    np.testing.assert_array_equal(result.count1, reference["count1"])
    np.testing.assert_array_equal(result.count2, reference["count2"])
    for name in ("distance", "lod", "spread1", "spread2"):
        np.testing.assert_allclose(getattr(result, name), reference[name], rtol=0, atol=tolerance, err_msg=name)


class TestStatisticsMatchBruteForce:
    """Distances, spreads, counts and LoD per core point as the definitions give them."""

    @pytest.mark.parametrize("robust", [False, True])
    @pytest.mark.parametrize("offset", [0.0, 5e5])
    def test_single_and_multiple_scales(self, robust, offset):
        rng = np.random.default_rng(11)
        shift = (offset, offset, offset / 5)
        epoch1, epoch2 = terrain(4000, rng, offset=shift), terrain(4000, rng, offset=shift)
        epoch2[:, 2] += 0.1
        cores = epoch1[::25]
        for radii in ([1.5], [0.6, 1.2, 2.4]):
            result = m3c2(
                epoch1,
                epoch2,
                core_points=cores,
                normal_radius=radii,
                cylinder_radius=0.7,
                max_depth=2.0,
                normals="+z",
                robust=robust,
                registration_error=0.01,
            )
            # The cylinders are checked exactly along the normals found; the normals themselves to rounding.
            given = m3c2_reference(
                epoch1, epoch2, cores, radii, 0.7, 2.0, normals=result.normal, robust=robust, registration_error=0.01
            )
            np.testing.assert_array_equal(result.count1, given["count1"])
            fitted = m3c2_reference(epoch1, epoch2, cores, radii, 0.7, 2.0, robust=robust, registration_error=0.01)
            compare_with_reference(result, fitted, tolerance=1e-9)
            assert np.isfinite(result.distance).mean() > 0.95

    @pytest.mark.parametrize("dtype", [np.float32, np.float64])
    def test_far_from_the_origin_in_both_precisions(self, dtype):
        # In float32 the points themselves are rounded to about 0.06 at 1e6: the
        # reference reads the same rounded points, so only the arithmetic's order differs.
        rng = np.random.default_rng(5)
        shift = (1e6, 2e6, 1e5) if dtype == np.float64 else (1e5, 1e5, 1e3)
        epoch1 = terrain(3000, rng, offset=shift, dtype=dtype)
        epoch2 = terrain(3000, rng, offset=shift, dtype=dtype)
        cores = epoch1[::20].astype(np.float64)
        result = m3c2(
            epoch1, epoch2, core_points=cores, normal_radius=2.0, cylinder_radius=1.0, max_depth=3.0, normals="+z"
        )
        reference = m3c2_reference(epoch1, epoch2, cores, [2.0], 1.0, 3.0)
        compare_with_reference(result, reference, tolerance=1e-9)

    def test_sensor_side_given_normals_and_min_points(self):
        rng = np.random.default_rng(2)
        epoch1, epoch2 = terrain(3000, rng), terrain(2000, rng)
        cores = epoch1[::30]
        sensor = (10.0, 10.0, -50.0)  # below the surface: every normal turns down
        result = m3c2(
            epoch1,
            epoch2,
            core_points=cores,
            normal_radius=1.5,
            cylinder_radius=0.5,
            max_depth=2.0,
            normals={"sensor": sensor},
            min_points=4,
        )
        reference = m3c2_reference(epoch1, epoch2, cores, [1.5], 0.5, 2.0, sensor=sensor, min_points=4)
        compare_with_reference(result, reference, tolerance=1e-9)
        assert (result.normal[:, 2] < 0).all()
        assert np.isnan(result.distance[(result.count1 < 4) | (result.count2 < 4)]).all()
        normals = np.tile([0.0, 0.0, 2.0], (len(cores), 1))
        result = m3c2(
            epoch1, epoch2, core_points=cores, normal_radius=1.5, cylinder_radius=0.5, max_depth=2.0, normals=normals
        )
        reference = m3c2_reference(epoch1, epoch2, cores, [1.5], 0.5, 2.0, normals=normals / 2)
        compare_with_reference(result, reference, tolerance=1e-12)
        assert np.isnan(result.normal_scale).all()

    @pytest.mark.parametrize("offset", [0.0, 2e5])
    def test_given_normals_travel_with_their_core_points(self, offset):
        """Core points in no spatial order, each with a normal of its own (tilted at
        random), and core points off the epochs' box: the native side takes them in its
        sweep and answers by row, as the brute force does, on 1 and 3 threads."""
        rng = np.random.default_rng(21)
        shift = (offset, -offset, offset / 3)
        epoch1, epoch2 = terrain(6000, rng, offset=shift), terrain(5000, rng, offset=shift)
        cores = np.r_[epoch1[rng.permutation(len(epoch1))[:300]], [[offset - 5.0, -offset + 30.0, offset / 3 + 9.0]]]
        normals = np.c_[0.4 * rng.standard_normal((len(cores), 2)), np.ones(len(cores))]
        normals /= np.linalg.norm(normals, axis=1, keepdims=True)
        reference = m3c2_reference(epoch1, epoch2, cores, [1.5], 0.6, 1.5, normals=normals)
        for threads in (1, 3):
            result = m3c2(
                epoch1,
                epoch2,
                core_points=cores,
                normal_radius=1.5,
                cylinder_radius=0.6,
                max_depth=1.5,
                normals=normals,
                threads=threads,
            )
            compare_with_reference(result, reference, tolerance=1e-9)
        assert reference["count1"][-1] == 0 and np.isnan(result.distance[-1])

    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    @pytest.mark.parametrize("sizes", [(3_000, 90_000), (90_000, 3_000), (20_000, 20_000)])
    def test_epochs_of_other_sizes_share_the_grid_memory(self, dtype, sizes):
        """Epoch 2's grid takes epoch 1's block of memory when it fits and a larger one
        when not: nothing epoch 1 left there is read as epoch 2's, on 1 and 2 threads."""
        rng = np.random.default_rng(sizes[0])
        epoch1 = terrain(sizes[0], rng, size=40.0, offset=(5e5, 0.0, 0.0), dtype=dtype)
        epoch2 = terrain(sizes[1], rng, size=40.0, offset=(5e5, 0.0, 0.0), dtype=dtype)
        cores = epoch1[:: max(1, sizes[0] // 300)].astype(np.float64)
        kwargs = dict(core_points=cores, normal_radius=2.5, cylinder_radius=1.0, max_depth=2.0)
        results = [m3c2(epoch1, epoch2, threads=threads, **kwargs) for threads in (1, 2)]
        reference = m3c2_reference(epoch1, epoch2, cores, [2.5], 1.0, 2.0, normals=results[0].normal)
        for result in results:
            np.testing.assert_array_equal(result.count1, reference["count1"])
            np.testing.assert_array_equal(result.count2, reference["count2"])
            np.testing.assert_allclose(result.distance, reference["distance"], rtol=0, atol=1e-9)
        for name in ("distance", "count1", "count2", "normal"):
            np.testing.assert_array_equal(getattr(results[0], name), getattr(results[1], name))

    @given(
        st.integers(1, 40),
        st.integers(0, 2**32 - 1),
        st.sampled_from([0.0, 1e6]),
        st.sampled_from([np.float32, np.float64]),
        st.booleans(),
    )
    def test_few_quantised_points_with_duplicates(self, n, seed, offset, dtype, robust):
        """Runs of every length from one point on, each lane group's tail masked off;
        duplicates and points on a coarse lattice put many exactly on a boundary."""
        rng = np.random.default_rng(seed)
        lattice = np.round(rng.uniform(-1, 1, (n, 3)) * 4) / 4
        lattice[: n // 3] = lattice[0]
        epoch1 = (lattice + offset).astype(dtype)
        epoch2 = (np.round(rng.uniform(-1, 1, (n, 3)) * 4) / 4 + offset).astype(dtype)
        cores = epoch1[: max(1, n // 4)].astype(np.float64)
        result = m3c2(
            epoch1, epoch2, core_points=cores, normal_radius=1.0, cylinder_radius=0.5, max_depth=0.75, robust=robust
        )
        # The normals are checked to rounding by the other tests; the cylinders exactly, along ours.
        reference = m3c2_reference(epoch1, epoch2, cores, [1.0], 0.5, 0.75, normals=result.normal, robust=robust)
        np.testing.assert_array_equal(result.count1, reference["count1"])
        np.testing.assert_array_equal(result.count2, reference["count2"])
        for name in ("distance", "spread1", "spread2"):
            np.testing.assert_allclose(getattr(result, name), reference[name], rtol=0, atol=1e-12, err_msg=name)

    def test_threads_give_the_serial_answer(self):
        rng = np.random.default_rng(9)
        epoch1, epoch2 = terrain(20000, rng), terrain(20000, rng)
        kwargs = dict(core_points=0.5, normal_radius=[1.0, 2.0], cylinder_radius=0.5, max_depth=2.0)
        serial, parallel = m3c2(epoch1, epoch2, threads=1, **kwargs), m3c2(epoch1, epoch2, threads=3, **kwargs)
        for name in ("distance", "lod", "count1", "count2", "normal", "spread1", "spread2"):
            np.testing.assert_array_equal(getattr(serial, name), getattr(parallel, name))

    def test_repeated_calls_agree_and_own_separate_arrays(self):
        # The grids lend their buffers from epoch to epoch and the distances and LoD are
        # worked out in place over the native answers: no result may share memory with
        # another, and a second call must not see what the first left behind.
        rng = np.random.default_rng(10)
        epoch1, epoch2 = terrain(6000, rng), terrain(6000, rng)
        kwargs = dict(core_points=epoch1[::7], normal_radius=1.5, cylinder_radius=0.5, max_depth=2.0, min_points=3)
        first, again = m3c2(epoch1, epoch2, **kwargs), m3c2(epoch1, epoch2, **kwargs)
        names = ("distance", "lod", "significant", "spread1", "spread2", "count1", "count2", "normal")
        for name in names:
            np.testing.assert_array_equal(getattr(first, name), getattr(again, name))
        for k, one in enumerate(names):
            for other in names[k + 1 :]:
                assert not np.shares_memory(getattr(first, one), getattr(first, other)), (one, other)
        assert np.isnan(first.distance).any() and np.isfinite(first.distance).mean() > 0.5
        assert np.array_equal(np.isnan(first.lod), np.isnan(first.distance))
        # The answers are views into one block of memory: one kept alone keeps it, through
        # the result's end and further calls that could reuse freed memory.
        distance, normal, expected = first.distance, first.normal, (first.distance.copy(), first.normal.copy())
        del first, again
        gc.collect()
        for _ in range(3):
            m3c2(epoch2, epoch1, **kwargs)
        np.testing.assert_array_equal(distance, expected[0])
        np.testing.assert_array_equal(normal, expected[1])

    def test_core_points_in_an_order_are_answered_by_row(self):
        """The native statistics take core points in a given order (a permutation) and
        answer by row: the same bits as in their own sweep, on 1 and 3 threads, over
        epochs large enough that their grids are built on several threads; an order that
        is not a permutation is refused."""
        rng = np.random.default_rng(5)
        epoch1, epoch2 = terrain(150_000, rng, size=60.0), terrain(150_000, rng, size=60.0)
        cores = np.ascontiguousarray(epoch1[::50])
        arguments = (epoch1, epoch2, cores, np.array([1.0, 2.0]), None, 1, np.array([0.0, 0.0, 1.0]), 0.5, 2.0)
        plain = native_m3c2(*arguments, False, threads=1)
        order = rng.permutation(len(cores)).astype(np.int64)
        for threads in (1, 3):
            for robust in (False, True):
                expected = plain if not robust else native_m3c2(*arguments, True, threads=1)
                for a, b in zip(expected, native_m3c2(*arguments, robust, threads=threads, order=order)):
                    np.testing.assert_array_equal(a, b)
        for bad in (order[:-1], np.r_[order[:-1], order[0]], np.r_[order[:-1], len(cores)]):
            with pytest.raises(ValueError, match="order must hold each row of cores once"):
                native_m3c2(*arguments, False, order=np.ascontiguousarray(bad, dtype=np.int64))

    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    def test_buffers_kept_from_call_to_call(self, offset):
        """Each call lends its grid's and ordered core points' buffers to the next: calls
        on epochs of other sizes and precisions (the kept buffers too small, far too
        large, of the other type), with fitted and given normals and robust or not, and
        calls from several Python threads at once (some find the buffers lent), each give
        the answer of its first round bit for bit, far from the origin too; the first
        round's counts are the brute force's."""
        rng = np.random.default_rng(11)
        shift = (offset, -offset, offset / 7)
        cases = []
        for n, dtype, robust, given_normals in (
            (20_000, np.float64, False, False),
            (2_000, np.float64, True, True),
            (20_000, np.float32, False, True),
            (400, np.float32, True, False),
            (40_000, np.float64, True, False),
        ):
            epoch1, epoch2 = (terrain(n, rng, offset=shift, dtype=dtype) for _ in range(2))
            cores = np.ascontiguousarray(epoch1[:: max(1, n // 300)], dtype=np.float64)
            normals = (
                unit_rows(rng, len(cores)) * np.sign(rng.standard_normal((len(cores), 1))) if given_normals else "+z"
            )
            kwargs = dict(core_points=cores, normal_radius=1.5, cylinder_radius=0.5, max_depth=1.5, robust=robust)
            cases.append((epoch1, epoch2, normals, kwargs))
        names = ("distance", "lod", "spread1", "spread2", "count1", "count2", "normal")

        def answer(case, threads=2):
            epoch1, epoch2, normals, kwargs = case
            result = m3c2(epoch1, epoch2, normals=normals, threads=threads, **kwargs)
            return [getattr(result, name).copy() for name in names]

        first = [answer(case) for case in cases]
        for k, case in enumerate(cases):
            epoch1, epoch2, normals, kwargs = case
            reference = m3c2_reference(
                epoch1, epoch2, kwargs["core_points"], [1.5], 0.5, 1.5, normals=first[k][-1], robust=kwargs["robust"]
            )
            np.testing.assert_array_equal(first[k][4], reference["count1"])
            np.testing.assert_array_equal(first[k][5], reference["count2"])
        # Again in reverse, so that every case follows a larger and a smaller one.
        for k in reversed(range(len(cases))):
            for a, b in zip(first[k], answer(cases[k], threads=1)):
                np.testing.assert_array_equal(a, b)
        with ThreadPoolExecutor(4) as pool:
            at_once = list(pool.map(answer, cases * 2))
        for k, got in enumerate(at_once):
            for a, b in zip(first[k % len(cases)], got):
                np.testing.assert_array_equal(a, b)

    def test_claimed_stretches_cover_every_item_once(self, tmp_path_factory):
        """The core points' work sharing: each thread its own stretch of the sweep in
        claims, then the others' leftovers, on a team and on threads of its own, with a
        part held back; every item once, each stretch tiled from its start."""
        program, env = native_checker(tmp_path_factory, "claimed_stretches_check", "-pthread")
        done = subprocess.run([str(program)], capture_output=True, text=True, env=env, timeout=120)
        assert done.returncode == 0, done.stdout
        assert re.fullmatch(r"checked [1-9]\d*\n", done.stdout), done.stdout


@given(
    st.integers(1, 3000),
    st.integers(0, 2**32 - 1),
    st.sampled_from([1e-9, 0.05, 0.3, 2.0]),
    st.sampled_from([0.0, 1e6]),
    st.sampled_from([np.float32, np.float64]),
)
def test_core_points_at_a_spacing_are_the_first_of_each_cube(n, seed, spacing, offset, dtype):
    """Against the rows' own cube coordinates; quantised points put many on cube faces, and
    the finest spacing numbers more cubes than 62 bits hold."""
    rng = np.random.default_rng(seed)
    points = (np.round(rng.uniform(0, 3, (n, 3)) * 10) / 10 + offset).astype(dtype)
    lo = points.min(axis=0).astype(np.float64)
    cubes = np.floor((points.astype(np.float64) - lo) / spacing).astype(np.int64)
    _, first = np.unique(cubes, axis=0, return_index=True)
    np.testing.assert_array_equal(subsample_rows(points, spacing), np.sort(first))


def digest_of_m3c2_runs():
    """A hash of the bits of M3C2's answers in both precisions, plain and robust, near and
    far from the origin."""
    digest = hashlib.sha256()
    for dtype in (np.float32, np.float64):
        for offset in (0.0, 1e5):
            rng = np.random.default_rng(3)
            epoch1 = terrain(3000, rng, offset=(offset, offset, 0.0), dtype=dtype)
            epoch2 = terrain(3000, rng, offset=(offset, offset, 0.0), dtype=dtype)
            for robust in (False, True):
                result = m3c2(
                    epoch1,
                    epoch2,
                    core_points=0.8,
                    normal_radius=[1.0, 2.0],
                    cylinder_radius=0.5,
                    max_depth=1.0,
                    robust=robust,
                )
                for name in ("distance", "lod", "count1", "count2", "normal", "spread1", "spread2"):
                    digest.update(np.ascontiguousarray(getattr(result, name)).tobytes())
    return digest.hexdigest()


def test_avx2_and_baseline_paths_give_the_same_bits():
    assert_same_bits_on_both_vector_paths(sys.modules[__name__], digest_of_m3c2_runs)


class TestNormalSides:
    """ "auto" on open surfaces: a terrain's normals up, a cliff's all to one side."""

    def test_terrain_normals_point_up(self):
        rng = np.random.default_rng(4)
        epoch = terrain(5000, rng)
        result = m3c2(epoch, epoch, core_points=epoch[::50], normal_radius=1.5, cylinder_radius=0.5, max_depth=1.0)
        assert (result.normal[:, 2] > 0.5).all()
        np.testing.assert_array_equal(result.distance, 0.0)

    @pytest.mark.parametrize("facing", [(1.0, 0.0), (-0.6, 0.8), (0.0, -1.0)])
    def test_cliff_normals_agree_across_the_face(self, facing):
        # An upright, rough wall of 30 x 10 facing `facing` horizontally, undulating along its length.
        rng = np.random.default_rng(6)
        u, h = rng.uniform(0, 30, 6000), rng.uniform(0, 10, 6000)
        depth = 0.4 * np.sin(u / 4) + 0.01 * rng.standard_normal(6000)
        fx, fy = facing
        wall = np.c_[u * -fy + depth * fx, u * fx + depth * fy, h] + (1e5, 1e5, 0)
        result = m3c2(wall, wall, core_points=wall[::60], normal_radius=2.0, cylinder_radius=0.5, max_depth=1.0)
        sides = result.normal[:, :2] @ np.array(facing)
        assert (np.abs(sides) > 0.5).all()
        assert (sides > 0).all() or (sides < 0).all()

    def test_given_direction_and_axis_names(self):
        rng = np.random.default_rng(8)
        epoch = terrain(3000, rng)
        for normals, sign in (("-z", -1), ((0.0, 0.1, -3.0), -1), ("+z", 1)):
            result = m3c2(
                epoch,
                epoch,
                core_points=epoch[::40],
                normal_radius=1.5,
                cylinder_radius=0.5,
                max_depth=1.0,
                normals=normals,
            )
            assert (np.sign(result.normal[:, 2]) == sign).all()


@pytest.mark.parametrize("dtype,offset", [(np.float64, 0.0), (np.float64, 1e6), (np.float32, 0.0), (np.float32, 1e4)])
def test_a_displaced_patch_is_found_and_nothing_else(dtype, offset):
    # Two scans of a 40 x 40 terrain (2 mm noise); in the second a 10 x 10 patch rose by 3 cm.
    rng = np.random.default_rng(12)
    shift = (offset, offset, offset / 10)
    epoch1 = terrain(60000, rng, size=40, noise=0.002, offset=shift, dtype=dtype)
    epoch2 = terrain(60000, rng, size=40, noise=0.002, offset=shift, dtype=dtype)
    local = epoch2.astype(np.float64) - shift
    patch = (np.abs(local[:, 0] - 20) < 5) & (np.abs(local[:, 1] - 20) < 5)
    epoch2[patch, 2] += dtype(0.03)
    result = m3c2(epoch1, epoch2, core_points=0.8, normal_radius=1.5, cylinder_radius=0.5, max_depth=1.0)
    cores = result.core_points - shift
    inside = (np.abs(cores[:, 0] - 20) < 4.5) & (np.abs(cores[:, 1] - 20) < 4.5)
    outside = (np.abs(cores[:, 0] - 20) > 5.5) | (np.abs(cores[:, 1] - 20) > 5.5)
    assert inside.sum() > 100 and outside.sum() > 1000
    # Float32 at 1e4 rounds coordinates to 1 mm: the noise is then about 2.2 mm.
    assert abs(np.median(result.distance[inside]) - 0.03) < 0.002
    assert result.significant[inside].mean() > 0.98
    assert result.significant[outside].mean() < 0.08
    # About 1.96 sqrt(2 σ² / n), σ the noise and n the points in a cylinder of radius 0.5.
    expected = 1.96 * np.sqrt(2 * 0.002**2 / (np.pi * 0.25 * 60000 / 1600))
    assert 0.7 * expected < np.median(result.lod) < 1.5 * expected
    stats = result.statistics()
    assert stats["with_distance"] == len(result) and 0 < stats["significant_share"] < 0.2


class TestResultAndArguments:
    def test_result_summary_and_json(self):
        rng = np.random.default_rng(1)
        epoch1, epoch2 = terrain(2000, rng), terrain(2000, rng)
        result = m3c2(
            ornel.Cloud(epoch1),
            epoch2,
            core_points=np.array([[5.0, 5.0, 0.0], [500.0, 5.0, 0.0]]),
            normal_radius=1.5,
            cylinder_radius=0.5,
            max_depth=1.0,
        )
        assert isinstance(result, M3C2Result) and len(result) == 2
        assert np.isnan(result.distance[1]) and np.isnan(result.normal[1]).all() and not result.significant[1]
        stats = result.statistics()
        assert stats["core_points"] == 2 and stats["with_distance"] == 1
        import json

        document = json.loads(result.to_json(per_point=True))
        assert document["points"]["distance"][1] is None
        assert document["statistics"]["mean_change"] == pytest.approx(result.distance[0])

    @pytest.mark.parametrize(
        "kwargs,message",
        [
            (dict(normal_radius=0), "normal_radius must be a finite number > 0"),
            (dict(normal_radius=[]), "non-empty list"),
            (dict(cylinder_radius=-1), "cylinder_radius must be a finite number > 0"),
            (dict(max_depth=float("nan")), "max_depth must be a finite number > 0"),
            (dict(normals="sideways"), "normals must be 'auto'"),
            (dict(normals=np.zeros((2, 3))), r"one normal per core point \(5, 3\)"),
            (dict(normals=(0, 0, 0)), "non-zero vector"),
            (dict(min_points=0), "min_points must be a whole number >= 1"),
            (dict(registration_error=-0.1), "registration_error must be a finite number >= 0"),
        ],
    )
    def test_bad_arguments_say_what_was_expected(self, kwargs, message):
        rng = np.random.default_rng(1)
        epoch = terrain(200, rng)
        arguments = dict(core_points=epoch[:5], normal_radius=1.0, cylinder_radius=0.5, max_depth=1.0)
        arguments.update(kwargs)
        with pytest.raises(ValueError, match=message):
            m3c2(epoch, epoch, **arguments)


class TestChangeCommand:
    """`ornel change`: the summary, the written-back core points, CloudCompare's
    parameter file, and one-line refusals."""

    @pytest.fixture(scope="class")
    @staticmethod
    def epochs(tmp_path_factory):
        directory = tmp_path_factory.mktemp("change")
        rng = np.random.default_rng(21)
        epoch1 = terrain(40000, rng, size=30, noise=0.002, offset=(5e5, 5e5, 100))
        epoch2 = terrain(40000, rng, size=30, noise=0.002, offset=(5e5, 5e5, 100))
        patch = (epoch2[:, 0] < 5e5 + 10) & (epoch2[:, 1] < 5e5 + 10)
        epoch2[patch, 2] += 0.03
        np.save(directory / "e1.npy", epoch1)
        np.save(directory / "e2.npy", epoch2)
        cores = epoch1[::15]
        from plyfile import PlyData, PlyElement

        vertex = np.zeros(len(cores), [("x", "f8"), ("y", "f8"), ("z", "f8"), ("quality", "u2")])
        vertex["x"], vertex["y"], vertex["z"] = cores.T
        vertex["quality"] = np.arange(len(cores)) % 1000
        PlyData([PlyElement.describe(vertex, "vertex")]).write(str(directory / "core.ply"))
        return directory, cores

    def run(self, capsys, *args):
        from ornel._command import main

        code = main([str(a) for a in args])
        out, err = capsys.readouterr()
        return code, out, err

    def change(self, capsys, directory, *extra):
        """`ornel change` of the two epochs at the small scales these tests use."""
        common = ("--normal-radius", 1.5, "--cylinder-radius", 0.5, "--max-depth", 1)
        return self.run(capsys, "change", directory / "e1.npy", directory / "e2.npy", *common, *extra)

    def test_summary_and_write_back(self, epochs, capsys):
        directory, cores = epochs
        code, out, err = self.change(
            capsys,
            directory,
            "--core",
            directory / "core.ply",
            "--out",
            directory / "out.ply",
            "--json",
            directory / "summary.json",
        )
        assert code == 0, err
        rows = dict(line.split(None, 1) for line in out.splitlines()[1:])
        assert int(rows["core_points"]) == len(cores) and int(rows["with_distance"]) == len(cores)
        assert abs(float(rows["median_significant_change"]) - 0.03) < 0.003
        assert 0.05 < float(rows["significant_share"]) < 0.25  # the patch is 1/9 of the surface
        from plyfile import PlyData

        written = PlyData.read(str(directory / "out.ply"))["vertex"].data
        np.testing.assert_array_equal(written["quality"], np.arange(len(cores)) % 1000)
        np.testing.assert_array_equal(np.c_[written["x"], written["y"], written["z"]], cores)
        expected = m3c2(
            np.load(directory / "e1.npy"),
            np.load(directory / "e2.npy"),
            core_points=cores,
            normal_radius=1.5,
            cylinder_radius=0.5,
            max_depth=1.0,
        )
        np.testing.assert_array_equal(written["m3c2_distance"], expected.distance)
        np.testing.assert_array_equal(written["m3c2_count2"], expected.count2)
        import json

        assert json.loads((directory / "summary.json").read_text())["statistics"]["core_points"] == len(cores)

    def test_cloudcompare_parameters_are_diameters(self, epochs, capsys):
        directory, _ = epochs
        params = directory / "m3c2_params.txt"
        params.write_text(
            "[General]\nM3C2VER=1\nNormalMode=1\nNormalMinScale=2\nNormalStep=1\nNormalMaxScale=4\n"
            "NormalScale=9\nSearchScale=1\nSearchDepth=1.5\nNormalPreferedOri=4\nSubsampleEnabled=true\n"
            "SubsampleRadius=1.0\nUseMedian=true\nRegistrationErrorEnabled=true\n"
            "RegistrationError=0.001\nUseMinPoints4Stat=true\nMinPoints4Stat=5\n"
        )
        from ornel._m3c2 import read_cloudcompare_parameters

        assert read_cloudcompare_parameters(params) == {
            "normal_radius": [1.0, 1.5, 2.0],
            "cylinder_radius": 0.5,
            "max_depth": 1.5,
            "normals": "+z",
            "core_points": 1.0,
            "robust": True,
            "registration_error": 0.001,
            "min_points": 5,
        }
        code, out, err = self.run(
            capsys,
            "change",
            directory / "e1.npy",
            directory / "e2.npy",
            "--params",
            params,
            "--max-depth",
            2,
            "--json",
            directory / "p.json",
        )
        assert code == 0, err
        import json

        parameters = json.loads((directory / "p.json").read_text())["parameters"]
        assert parameters["max_depth"] == 2.0 and parameters["cylinder_radius"] == 0.5 and parameters["robust"]

    def test_cloudcompare_names_in_any_case(self, tmp_path):
        """py4dgeo's CloudCompareM3C2 takes CloudCompare's names in lower case (normalscale,
        searchscale, searchdepth, registrationerror, usemedian) and halves the two scales, as
        the reader does; a file spelt so reads as one spelt as CloudCompare writes it."""
        from ornel._m3c2 import read_cloudcompare_parameters

        text = (
            "[General]\nNormalScale=3\nSearchScale=0.8\nSearchDepth=2.5\nUseMedian=true\n"
            "RegistrationErrorEnabled=true\nRegistrationError=0.002\n"
        )
        camel, lower = tmp_path / "camel.txt", tmp_path / "lower.txt"
        camel.write_text(text)
        lower.write_text(text.lower().replace("[general]", "[General]"))
        expected = {
            "normal_radius": 1.5,
            "cylinder_radius": 0.4,
            "max_depth": 2.5,
            "robust": True,
            "registration_error": 0.002,
        }
        assert read_cloudcompare_parameters(camel) == expected
        assert read_cloudcompare_parameters(lower) == expected

    @pytest.mark.parametrize(
        "extra,message",
        [
            (["--core", "nowhere.las"], "nowhere.las"),
            (["--params", "nowhere.txt"], "cannot be read"),
            (["--normals", "up"], "--normals 'up': expected auto"),
            (["--core", "-1"], "a spacing must be a finite number > 0"),
        ],
    )
    def test_bad_input_is_one_line_and_exit_2(self, epochs, capsys, extra, message):
        directory, _ = epochs
        code, out, err = self.change(
            capsys,
            directory,
            *extra,
        )
        assert code == 2 and message in err and len(err.strip().splitlines()) == 1

    def test_refusals_of_radii_and_epochs_apart(self, epochs, capsys, tmp_path):
        directory, _ = epochs
        with pytest.raises(SystemExit) as exit:
            self.run(
                capsys,
                "change",
                directory / "e1.npy",
                directory / "e2.npy",
                "--normal-radius",
                0,
                "--cylinder-radius",
                0.5,
                "--max-depth",
                1,
            )
        assert exit.value.code == 2 and "must be a positive" in capsys.readouterr().err
        np.save(tmp_path / "far.npy", np.load(directory / "e2.npy") + (0, 100, 0))
        code, _, err = self.run(
            capsys,
            "change",
            directory / "e1.npy",
            tmp_path / "far.npy",
            "--normal-radius",
            1.5,
            "--cylinder-radius",
            0.5,
            "--max-depth",
            1,
        )
        assert code == 2 and "do not overlap" in err
        code, _, err = self.run(capsys, "change", directory / "e1.npy", directory / "e2.npy", "--max-depth", 1)
        assert code == 2 and "--normal-radius, --cylinder-radius needed" in err
