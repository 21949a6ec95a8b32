"""Distances of every package path against cKDTree, wherever the clouds lie.

Double precision must give cKDTree's distances bit for bit. Single precision must stay
within the bound the README states: 2^-22 M + 2^-23 d, M the largest coordinate of the
pair measured from the target's frame and d the distance; and a pair's answers must not
depend on the other clouds of the run."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from scipy.spatial import cKDTree

import ornel
from ornel._cloud import single_precision_frame

OFFSETS = (0.0, 5e2, 5e5, 5e6)
SCRIPT = Path(sys.executable).parent / "ornel"


def scan_pair(rng, offset, n=1500):
    """Two overlapping scans, quantised to 1 mm with duplicate returns, `offset` away."""
    a = np.round(rng.random((n, 3)) * [40, 30, 2] * 1000) / 1000
    a[: n // 10] = a[n // 10 : n // 5]
    b = np.round((rng.random((n, 3)) * [40, 30, 2] + [3, 1, 0.1]) * 1000) / 1000
    return a + offset, b + offset


def reference(a, b):
    return cKDTree(b).query(a)[0]


def assert_within_single_bound(got, a, b):
    ref = reference(a, b)
    frame = single_precision_frame(b)
    origin = np.zeros(3) if frame is None else np.asarray(frame)
    m = max(np.abs(a - origin).max(), np.abs(b - origin).max())
    bound = 2.0**-22 * m + 2.0**-23 * ref
    error = np.abs(got.astype(np.float64) - ref)
    assert got.dtype == np.float32 and np.isfinite(got).all()
    assert (error <= bound).all(), f"worst {error.max():.3g} beyond {bound[np.argmax(error - bound)]:.3g}"


@pytest.mark.parametrize("offset", OFFSETS)
def test_nearest_and_join_tile_in_both_precisions(offset):
    rng = np.random.default_rng(int(offset) % 97)
    a, b = scan_pair(rng, offset)
    d64, i64 = ornel.nearest(a, b, precision="f64")
    np.testing.assert_array_equal(d64, reference(a, b))
    np.testing.assert_array_equal(np.linalg.norm(a - b[i64], axis=1), d64)
    d32, i32 = ornel.nearest(a, b)
    assert_within_single_bound(d32, a, b)
    # Queries not prepared, targets prepared by join_tile itself, and a cloud against itself.
    for precision in ("f64", "f32"):
        clouds = [ornel.Cloud(a, "a"), ornel.Cloud(b, "b")]
        mean, maximum = ornel.join_tile(clouds[1:], clouds, precision=precision)
        d = ornel.nearest(a, b, precision=precision)[0]
        assert mean[0, 0] == pytest.approx(np.mean(d, dtype=np.float64), rel=1e-13) and maximum[0, 0] == d.max()
        assert mean[1, 0] == 0 and maximum[1, 0] == 0


def test_all_by_all_rows_do_not_depend_on_the_company():
    rng = np.random.default_rng(5)
    a, b = scan_pair(rng, 5e5)
    near_origin = rng.random((500, 3))
    far_away = rng.random((500, 3)) + [1.17e6, 6e6, 10]
    for precision in ("f64", "f32"):
        pair = ornel.all_by_all([a, b], precision=precision)
        for company in ([near_origin], [far_away], [near_origin, far_away]):
            crowd = ornel.all_by_all([a, *company, b], precision=precision, threads=2)
            i, j = 0, len(company) + 1
            assert crowd.mean[i, j] == pair.mean[0, 1] and crowd.mean[j, i] == pair.mean[1, 0]
            assert crowd.max[i, j] == pair.max[0, 1] and crowd.max[j, i] == pair.max[1, 0]
        ref = reference(a, b)
        if precision == "f64":
            assert pair.max[0, 1] == ref.max() and pair.mean[0, 1] == pytest.approx(np.mean(ref), rel=1e-13)
        else:
            assert abs(pair.max[0, 1] - ref.max()) <= 2.0**-22 * 6e5


def test_tiles_far_apart_stay_within_their_own_rounding():
    # Two georeferenced tiles 1,170 km apart and one near the origin: every distance
    # within the pair's rounding, not the collection's.
    rng = np.random.default_rng(9)
    a = rng.random((3000, 3)) * [500, 500, 40] + [500_000, 5_000_000, 100]
    b = rng.random((3000, 3)) * [500, 500, 40] + [1_670_000, 5_000_100, 100]
    ornel.all_by_all([a, b, rng.random((100, 3))])  # builds and caches nothing shared
    assert_within_single_bound(ornel.nearest(a, b)[0], a, b)
    assert_within_single_bound(ornel.nearest(b, a)[0], b, a)


def test_single_precision_walks_past_rounding_plateaus():
    # An exactly flat target far below the queries: float32 steps change d² by less than
    # one ulp, so a float32 walk alone stops short of the nearest point.
    rng = np.random.default_rng(3)
    target = np.c_[rng.random((100_000, 2)), np.zeros(100_000)]
    queries = np.c_[rng.random((100_000, 2)), np.full(100_000, 3.0)]
    got, idx = ornel.nearest(queries, target)
    assert_within_single_bound(got, queries, target)
    rounded = target.astype(np.float32).astype(np.float64)
    np.testing.assert_array_equal(
        np.linalg.norm(queries.astype(np.float32) - rounded[idx], axis=1),
        cKDTree(rounded).query(queries.astype(np.float32))[0],
    )


@pytest.mark.parametrize("scale", [1e20, 1e37])
def test_huge_single_precision_coordinates_give_finite_exact_answers(scale):
    rng = np.random.default_rng(1)
    a, b = rng.random((400, 3)) * scale, rng.random((400, 3)) * scale
    assert_within_single_bound(ornel.nearest(a, b)[0], a, b)
    far_a, far_b = a + scale * 10, b + scale * 10
    assert_within_single_bound(ornel.nearest(far_a, far_b)[0], far_a, far_b)


def test_distances_beyond_either_precision_are_refused_not_reported_infinite():
    rng = np.random.default_rng(2)
    wide32 = rng.random((50, 3)) * 1e37 + 2.9e38
    wide32[0] = 0
    # The query beyond float32 measured from the target's frame, then the distance itself.
    for a, b in ((wide32[1:], -wide32[1:]), (wide32, -wide32)):
        with pytest.raises(ornel.CloudError, match="too large for single precision"):
            ornel.nearest(a, b)
    wide64 = rng.random((50, 3)) * 1e154
    with pytest.raises(ornel.CloudError, match="overflow double precision"):
        ornel.nearest(wide64, wide64[::-1], precision="f64")
    with pytest.raises(ornel.CloudError, match="overflow double precision"):
        ornel.all_by_all([wide64, wide64 + 1e154], precision="f64")
    # Far from the origin but close together is fine in double precision.
    d, _ = ornel.nearest(wide64 * 1e-10 + 1e200, wide64 * 1e-10 + 1e200, precision="f64")
    assert np.isfinite(d).all()
    # Each axis's span is what counts, not that of all the coordinates together: x near
    # +7e153, y near -7e153 (14e153 apart, beyond the limit) with every axis narrow is fine,
    # and a pair whose y alone spans that far is not.
    narrow = rng.random((60, 3)) * [1e150, 1e150, 1.0] + [7e153, -7e153, 0.0]
    d, _ = ornel.nearest(narrow[:30], narrow[30:], precision="f64")
    assert np.isfinite(d).all() and (d > 0).all()
    stretched = narrow.copy()
    stretched[:30, 1] *= -1
    with pytest.raises(ornel.CloudError, match="overflow double precision"):
        ornel.nearest(stretched[:30], stretched[30:], precision="f64")


@pytest.mark.parametrize("offset", (0.0, 5e5))
def test_compare_command_in_both_precisions(tmp_path, offset):
    a, b = scan_pair(np.random.default_rng(4), offset, n=800)
    np.save(tmp_path / "a.npy", a)
    np.save(tmp_path / "b.npy", b)
    ref = reference(a, b)
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]
    for flags, tolerance in (([], 2.0**-22 * (offset + 50)), (["--f64"], 0.0)):
        run = subprocess.run(
            [*command, "compare", tmp_path / "a.npy", tmp_path / "b.npy", *flags],
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert run.returncode == 0, run.stderr
        printed = dict(line.split() for line in run.stdout.splitlines()[1:])
        assert abs(float(printed["max"]) - ref.max()) <= tolerance + 1e-6 * ref.max()
        assert abs(float(printed["mean"]) - ref.mean()) <= tolerance + 1e-6 * ref.mean()
    run = subprocess.run(
        [*command, "compare", tmp_path / "a.npy", tmp_path / "a.npy", "--f64"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert dict(line.split() for line in run.stdout.splitlines()[1:])["max"] == "0", run.stdout


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_walk_from_given_starts_is_exact_from_any_start(dtype):
    from ornel._native import nearest_from_starts

    rng = np.random.default_rng(8)
    # Quantised with duplicate returns, 5e5 from the origin as given.
    target = (np.round(rng.random((3000, 3)) * 200) / 200 + 5e5).astype(dtype)
    target[:300] = target[300:600]
    queries = np.round(rng.random((2000, 3)) * 400) / 400 + 5e5
    indptr, indices = ornel.delaunay_graph(target)
    ref, _ = cKDTree(target.astype(np.float64)).query(queries)
    nearest_start = cKDTree(target.astype(np.float64)).query(queries)[1].astype(np.uint32)
    for starts in (nearest_start, np.zeros(2000, np.uint32), rng.integers(0, 3000, 2000).astype(np.uint32)):
        squared, idx = nearest_from_starts(target, indptr, indices, queries, starts)
        np.testing.assert_array_equal(np.sqrt(squared), ref)
        np.testing.assert_array_equal(((queries - target[idx].astype(np.float64)) ** 2).sum(axis=1), squared)
        bound = float(np.median(ref))
        squared_b, idx_b = nearest_from_starts(target, indptr, indices, queries, starts, bound)
        miss = ref > bound
        assert (idx_b[miss] == len(target)).all() and np.isinf(squared_b[miss]).all()
        np.testing.assert_array_equal(squared_b[~miss], squared[~miss])


def test_walk_from_given_starts_refuses_what_it_cannot_read():
    from ornel._native import nearest_from_starts

    points = np.random.default_rng(0).random((4, 3))
    indptr, indices = np.array([0, 1, 2, 3, 4], np.uint32), np.array([1, 0, 3, 2], np.uint32)
    queries, starts = np.zeros((2, 3)), np.zeros(2, np.uint32)
    cases = [
        ((points, indptr, indices, queries, np.array([0, 4], np.uint32)), "starts\\[1\\] = 4"),
        (
            (points, indptr, np.array([1, 0, 9, 2], np.uint32), queries, np.array([2, 2], np.uint32)),
            "indices\\[2\\] = 9",
        ),
        ((points, np.array([0, 1, 2, 3, 9], np.uint32), indices, queries, np.array([3, 3], np.uint32)), "row 3"),
        ((points, indptr[:-1], indices, queries, starts), "indptr must have"),
        ((points, indptr, indices, queries, starts[:1]), "one entry per query"),
        ((points[:, :2].copy(), indptr, indices, queries, starts), "C-contiguous"),
        ((points[::-1], indptr, indices, queries, starts), "C-contiguous"),
    ]
    for arguments, message in cases:
        with pytest.raises(ValueError, match=message):
            nearest_from_starts(*arguments)
    with pytest.raises(TypeError):
        nearest_from_starts(points, indptr.astype(np.int64), indices, queries, starts)
