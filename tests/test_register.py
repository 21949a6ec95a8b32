"""Registration: the walk from given (or chained) starts against brute force, ICP against
known motions of noisy, quantised scans near the origin and far from it, and `ornel align`."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import DATA, quantised_scan
from scipy.spatial import cKDTree
from scipy.spatial.transform import Rotation

import ornel
from ornel._native import nearest_from_starts, track_nearest

SCRIPT = Path(sys.executable).parent / "ornel"


def motion(rng, degrees, shift):
    axis = rng.normal(size=3)
    transform = np.eye(4)
    transform[:3, :3] = Rotation.from_rotvec(np.radians(degrees) * axis / np.linalg.norm(axis)).as_matrix()
    transform[:3, 3] = shift
    return transform


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("offset", [0.0, 5e6])
def test_walk_from_starts_is_exact_and_independent_of_threads(dtype, offset):
    rng = np.random.default_rng(3)
    target = quantised_scan(rng, 12_000, offset).astype(dtype)
    queries = quantised_scan(rng, 10_000, offset, step=5e-5)
    queries = queries[ornel.morton_order(queries)]
    indptr, indices = ornel.delaunay_graph(target)
    tree = cKDTree(target.astype(np.float64))
    ref, nearest_idx = tree.query(queries)
    far = tree.query(queries, 40)[1][:, -1]
    cases = {"nearest": nearest_idx, "far": far, "random": rng.integers(0, len(target), len(queries)), "chained": None}
    for name, starts in cases.items():
        starts = None if starts is None else starts.astype(np.uint32)
        squared, idx = nearest_from_starts(target, indptr, indices, queries, starts)
        np.testing.assert_array_equal(np.sqrt(squared), ref, err_msg=name)
        np.testing.assert_array_equal(((queries - target[idx].astype(np.float64)) ** 2).sum(axis=1), squared)
        bound = float(np.quantile(ref, 0.7))
        for threads in (2, 3, 7):
            squared_t, idx_t = nearest_from_starts(target, indptr, indices, queries, starts, None, threads)
            np.testing.assert_array_equal(idx_t, idx, err_msg=f"{name}, {threads} threads")  # ties included
            squared_b, idx_b = nearest_from_starts(target, indptr, indices, queries, starts, bound, threads=threads)
            miss = np.sqrt(squared) > bound
            assert (idx_b[miss] == len(target)).all() and np.isinf(squared_b[miss]).all()
            np.testing.assert_array_equal(idx_b[~miss], idx[~miss])


def test_walk_from_starts_reports_the_first_fault_whatever_the_threads():
    rng = np.random.default_rng(4)
    target = rng.random((2000, 3))
    indptr, indices = ornel.delaunay_graph(target)
    queries = rng.random((20_000, 3))
    starts = np.zeros(len(queries), np.uint32)
    starts[[15_000, 9_000]] = 2000, 2001
    for threads in (1, 2, 4):
        with pytest.raises(ValueError, match=r"starts\[9000\] = 2001"):
            nearest_from_starts(target, indptr, indices, queries, starts, None, threads)
    with pytest.raises(ValueError, match="threads must be at least 1"):
        nearest_from_starts(target, indptr, indices, queries, starts, None, 0)
    with pytest.raises(ValueError, match="no points"):
        nearest_from_starts(np.zeros((0, 3)), np.zeros(1, np.uint32), indices[:0], queries, None)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("offset", [0.0, 5e6])
def test_tracking_moving_queries_answers_what_the_walk_answers(dtype, offset):
    rng = np.random.default_rng(10)
    target = quantised_scan(rng, 10_000, offset).astype(dtype)
    indptr, indices = ornel.delaunay_graph(target)
    scan = quantised_scan(rng, 9_000, offset)
    scan = scan[ornel.morton_order(scan)]
    centre = scan.mean(axis=0)
    tree = cKDTree(target.astype(np.float64))
    state, skipped = (), 0
    # Moves shrinking from large to none, as in a registration; and one back to the start.
    for step, size in enumerate([3e-2, 1e-2, 1e-3, 1e-4, 1e-6, 0.0, 3e-2]):
        moved = (scan - centre) @ motion(rng, 100 * size, 0)[:3, :3].T + centre + size * rng.normal(size=3)
        squared, idx, margins = track_nearest(target, indptr, indices, moved, *state, threads=1 + step % 3)
        np.testing.assert_array_equal(np.sqrt(squared), tree.query(moved)[0])
        if state:
            for threads in (2, 5):
                again = track_nearest(target, indptr, indices, moved, *state, threads)
                np.testing.assert_array_equal(again[1], idx)
            skipped += np.count_nonzero(np.linalg.norm(moved - state[0], axis=1) < state[2])
        assert (margins >= 0).all()
        state = (moved, idx, margins)
    assert skipped > len(scan)  # the margins spared walks
    with pytest.raises(ValueError, match="go together"):
        track_nearest(target, indptr, indices, moved, moved, idx)


def answer_neighbourhoods(points, indptr, indices, queries, answers):
    """For each query: half the gap between its distance to its answer and to the answer's
    nearest graph neighbour (a margin no move below can change the answer), its least
    distance to the bisector planes between the answer and its neighbours (the move that
    may), and the neighbour across that plane; from coordinate differences, as exactly as
    double precision allows. Repeated points give no plane."""
    points = points.astype(np.float64)
    degree = np.diff(indptr.astype(np.int64))[answers]
    rows = np.repeat(np.arange(len(queries)), degree)
    at = np.repeat(indptr[answers].astype(np.int64) - np.cumsum(degree) + degree, degree) + np.arange(len(rows))
    neighbours = indices[at]
    w = points[neighbours] - points[answers[rows]]
    a = queries[rows] - points[answers[rows]]
    length = np.linalg.norm(w, axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        plane = np.where(length > 0, length / 2 - np.einsum("ij,ij->i", a, w) / length, np.inf)
    gap = np.full(len(queries), np.inf)
    np.minimum.at(gap, rows, np.where(length > 0, np.linalg.norm(queries[rows] - points[neighbours], axis=1), np.inf))
    gap = (gap - np.linalg.norm(queries - points[answers], axis=1)) / 2
    order = np.lexsort((plane, rows))
    first = order[np.r_[0, np.flatnonzero(np.diff(rows[order])) + 1]]
    least, across = np.full(len(queries), np.inf), np.zeros(len(queries), np.int64)
    least[rows[first]], across[rows[first]] = plane[first], neighbours[first]
    return gap, least, across


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
def test_margins_keep_answers_and_a_bisector_crossing_is_walked(dtype, offset):
    rng = np.random.default_rng(12)
    # Single precision 5e6 from the origin keeps half units: a scan a thousand times larger.
    size = 1000.0 if dtype == np.float32 else 1.0
    target = (quantised_scan(rng, 6_000) * size + offset).astype(dtype)
    indptr, indices = ornel.delaunay_graph(target)
    queries = quantised_scan(rng, 5_000, step=3e-5) * size + offset
    queries = queries[ornel.morton_order(queries)]
    tree = cKDTree(target.astype(np.float64))
    squared, idx, margins = track_nearest(target, indptr, indices, queries)
    gap, plane, across = answer_neighbourhoods(target, indptr, indices, queries, idx.astype(np.int64))
    tiny = max(1e-12, 16 * np.spacing(offset))
    assert (margins <= np.maximum(gap, 0)).all()
    # Less than the gap by the allowance for rounding alone, 1e-12 of the distances.
    finite = np.isfinite(gap)
    assert (margins[finite] >= gap[finite] - 1e-11 * (np.sqrt(squared) + gap)[finite] - tiny).all()
    assert np.isinf(margins[~finite]).all()  # only repeats of the answer around it
    # Each query moved straight towards the bisector plane nearest to it: by a little less
    # than its margin (the answer is kept unwalked), and just across the plane (it may not be).
    points = target.astype(np.float64)
    crossing = np.isfinite(plane) & (plane > 4 * tiny)
    direction = points[across] - points[idx]
    with np.errstate(invalid="ignore"):
        direction /= np.linalg.norm(direction, axis=1, keepdims=True)
    for shift, across_plane in ((margins * (1 - 1e-6) - 2 * tiny, False), (plane + 2 * tiny, True)):
        moved = np.where(crossing[:, None], queries + np.maximum(shift, 0)[:, None] * direction, queries)
        squared, found, _ = track_nearest(target, indptr, indices, moved, queries, idx, margins)
        np.testing.assert_array_equal(np.sqrt(squared), tree.query(moved)[0])
        kept = np.linalg.norm(moved - queries, axis=1) < margins
        if across_plane:
            assert not kept[crossing].any()
            assert (found[crossing] != idx[crossing]).mean() > 0.9  # the neighbour is nearer, bar ties
        else:
            assert kept[crossing & (margins > 4 * tiny)].mean() > 0.99


@pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
@pytest.mark.parametrize("method", ["point_to_plane", "point_to_point"])
def test_register_recovers_known_motions(method, offset):
    rng = np.random.default_rng(5)
    scan = quantised_scan(rng, 30_000, offset)
    target = ornel.Cloud(quantised_scan(rng, 25_000, offset))
    centre = scan.mean(axis=0)
    for degrees, share in ((3, 0.01), (8, 0.04)):
        away = motion(rng, degrees, share * 0.15 * rng.standard_normal(3))
        source = (scan - centre) @ away[:3, :3].T + away[:3, 3] + centre
        result = ornel.register(source, target, method=method, threads=2)
        assert result.converged and result.fitness == 1.0
        assert np.abs(result.apply(source) - scan).max() < 2e-4  # back where it was; the noise is 3e-4
        # The reported fit is that of the final transform, by an exact search.
        dists, _ = cKDTree(target.points).query(result.apply(source))
        np.testing.assert_allclose(result.rmse, np.sqrt(np.mean(dists**2)), rtol=1e-6)  # moved as a 4x4 does
        assert len(result.history) == result.iterations and result.history[-1].rmse == result.rmse
        bounded = ornel.register(source, target, method=method, max_distance=1e-3, init=result.transform)
        dists, _ = cKDTree(target.points).query(bounded.apply(source))
        assert bounded.fitness == np.mean(dists <= 1e-3)


def test_register_many_matches_register_and_builds_the_target_once():
    rng = np.random.default_rng(6)
    target = ornel.Cloud(quantised_scan(rng, 15_000))
    sources = [quantised_scan(rng, 8_000) @ motion(rng, 4, 0)[:3, :3].T for _ in range(3)]
    many = ornel.register_many(sources, target, threads=2)
    graph, normals = target.graph("f64"), target.normals()
    for source, result in zip(sources, many):
        alone = ornel.register(source, target, threads=3)
        np.testing.assert_array_equal(alone.transform, result.transform)  # independent of the threads
    assert target.graph("f64") is graph and target.normals() is normals
    # Against NumPy's eigenvectors of the same neighbourhoods: the same planes.
    points = target.sorted_coordinates("f64")
    _, near = cKDTree(points).query(points, 20)
    patch = points[near] - points[near].mean(axis=1, keepdims=True)
    reference = np.linalg.eigh(np.einsum("nki,nkj->nij", patch, patch))[1][:, :, 0]
    agreement = np.abs(np.einsum("ij,ij->i", normals, reference))
    assert np.median(agreement) > 1 - 1e-9 and np.mean(agreement > 0.99) > 0.99  # ties in k-nearest aside
    lengths = np.linalg.norm(normals, axis=1)
    assert np.all((np.abs(lengths - 1) < 1e-12) | (lengths == 0))


def test_normals_of_a_noisy_sphere_point_outwards():
    rng = np.random.default_rng(7)
    v = rng.normal(size=(8000, 3))
    v /= np.linalg.norm(v, axis=1)[:, None]
    cloud = ornel.Cloud(v * (1 + rng.normal(scale=1e-3, size=(8000, 1))) + 5e5)
    radial = cloud.sorted_coordinates("f64") - 5e5
    radial /= np.linalg.norm(radial, axis=1)[:, None]
    assert np.einsum("ij,ij->i", cloud.normals(), radial).min() > 0.95
    # Points on a line and repeated points span no plane: no normal, rather than a random one.
    line = np.column_stack([np.arange(30.0), np.zeros(30), np.zeros(30)])
    flat = ornel._native.estimate_normals(
        np.vstack([line, np.ones((5, 3))]),
        np.array([[max(i - 1, 0), i, min(i + 1, 29)] for i in range(30)] + [[30, 31, 32]] * 5, np.uint32),
    )
    assert not flat.any()


def test_register_refuses_what_it_cannot_solve():
    rng = np.random.default_rng(8)
    plane = np.column_stack([rng.random((2000, 2)), np.zeros(2000)])
    with pytest.raises(ornel.CloudError, match="do not fix the motion"):
        ornel.register(plane + [0.01, 0, 0.001], plane, method="point_to_plane")
    line = np.column_stack([np.linspace(0, 1, 50), np.zeros(50), np.zeros(50)])
    with pytest.raises(ornel.CloudError, match="one line"):
        ornel.register(line, plane, method="point_to_point")
    with pytest.raises(ornel.CloudError, match="registration needs at least 3"):
        ornel.register(plane[:2], plane)
    with pytest.raises(ornel.CloudError, match="no point has a correspondence"):
        ornel.register(plane + [0, 0, 1], plane, max_distance=0.5)
    for bad in (np.diag([2.0, 1, 1, 1]), np.diag([1.0, 1, -1, 1]), np.eye(3), np.full((4, 4), np.nan)):
        with pytest.raises(ornel.CloudError):
            ornel.register(plane, plane, init=bad)
    result = ornel.register(plane + [0, 0, 0.01], plane, method="point_to_point", max_iterations=1)
    assert result.iterations == 1 and not result.converged


def ornel_command(*args, cwd):
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True, timeout=300, cwd=cwd)


def test_align_command_writes_the_transform_and_the_moved_points(tmp_path):
    rng = np.random.default_rng(9)
    scan = quantised_scan(rng, 12_000, 5e5)
    truth = motion(rng, 5, [0.002, -0.001, 0.003])
    np.save(tmp_path / "a.npy", (scan - scan.mean(axis=0)) @ truth[:3, :3].T + scan.mean(axis=0) + truth[:3, 3])
    np.save(tmp_path / "b.npy", quantised_scan(rng, 15_000, 5e5))
    done = ornel_command("align", "a.npy", "b.npy", "--out", "moved.ply", "--transform", "t.txt", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "converged" in done.stdout and "rmse" in done.stdout and done.stderr == ""
    transform = np.loadtxt(tmp_path / "t.txt")
    moved = ornel.read_points(tmp_path / "moved.ply")
    source = np.load(tmp_path / "a.npy")
    np.testing.assert_allclose(moved, source @ transform[:3, :3].T + transform[:3, 3], rtol=0, atol=1e-9)
    again = ornel_command("align", "a.npy", "b.npy", "--init", "t.txt", cwd=tmp_path)
    assert again.returncode == 0 and " 1 iteration, converged" in again.stdout
    compared = ornel_command("compare", "a.npy", "b.npy", "--align", "--f64", cwd=tmp_path)
    assert compared.returncode == 0 and "mean" in compared.stdout and "transform" in compared.stdout
    shear = np.eye(4)
    shear[0, 1] = 0.1
    np.savetxt(tmp_path / "shear.txt", shear)
    cases = [
        (("--init", "shear.txt"), "shear.txt: not a rigid transform"),
        (("--out", "a.npy"), "a.npy: is the input"),
        (("--max-distance", "1e-9"), "no point has a correspondence"),
        (("--init", "missing.txt"), "missing.txt: cannot be read"),
    ]
    for extra, message in cases:
        failed = ornel_command("align", "a.npy", "b.npy", *extra, cwd=tmp_path)
        assert failed.returncode == 2 and message in failed.stderr and len(failed.stderr.splitlines()) == 1
    assert np.array_equal(np.load(tmp_path / "a.npy"), source)
    slow = ornel_command("align", "a.npy", "b.npy", "--iterations", "1", "--point-to-point", cwd=tmp_path)
    assert slow.returncode == 0 and "not converged" in slow.stderr


def test_align_carries_the_source_fields_and_turns_its_normals(tmp_path):
    from plyfile import PlyData, PlyElement

    rng = np.random.default_rng(11)
    scan = quantised_scan(rng, 6_000)
    turn = motion(rng, 4, [0.001, 0, 0])
    moved = scan @ turn[:3, :3].T + turn[:3, 3]
    normals = rng.normal(size=(len(scan), 3)).astype(np.float32)
    kinds = [
        ("x", "f8"),
        ("y", "f8"),
        ("z", "f8"),
        ("nx", "f4"),
        ("ny", "f4"),
        ("nz", "f4"),
        ("intensity", "f4"),
        ("red", "u1"),
    ]
    vertex = np.empty(len(scan), kinds)
    for axis, name in enumerate("xyz"):
        vertex[name] = moved[:, axis]
    for axis, name in enumerate(("nx", "ny", "nz")):
        vertex[name] = normals[:, axis]
    vertex["intensity"], vertex["red"] = rng.random(len(scan)), rng.integers(0, 256, len(scan))
    PlyData([PlyElement.describe(vertex, "vertex")]).write(str(tmp_path / "a.ply"))
    np.save(tmp_path / "b.npy", quantised_scan(rng, 8_000))
    done = ornel_command("align", "a.ply", "b.npy", "--out", "out.ply", "--transform", "t.txt", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    out = PlyData.read(str(tmp_path / "out.ply"))["vertex"].data
    rotation = np.loadtxt(tmp_path / "t.txt")[:3, :3]
    np.testing.assert_array_equal(out["intensity"], vertex["intensity"])
    np.testing.assert_array_equal(out["red"], vertex["red"])
    turned = np.column_stack([out[name] for name in ("nx", "ny", "nz")])
    np.testing.assert_allclose(turned, normals @ rotation.T, atol=1e-6)
    assert np.abs(rotation - np.eye(3)).max() > 1e-3  # the normals did turn


def test_point_to_point_step_recovers_a_motion_near_and_far_from_the_centre():
    from ornel._register import point_to_point

    rng = np.random.default_rng(13)
    truth = motion(rng, 7, [0.3, -0.2, 0.1])
    for offset in (0.0, 1e4):  # far: its moments are centred before use
        moved = rng.normal(size=(2000, 3)) * [1.0, 0.5, 0.2] + offset
        rotation, shift = point_to_point(moved, moved @ truth[:3, :3].T + truth[:3, 3], None)
        np.testing.assert_allclose(rotation, truth[:3, :3], atol=1e-12)
        np.testing.assert_allclose(shift, truth[:3, 3], atol=1e-12 * max(offset, 1))
        line = np.outer(rng.random(50), [1.0, 2.0, 3.0]) + offset
        with pytest.raises(ornel.CloudError, match="one line"):
            point_to_point(line, line, None)


def test_point_to_plane_system_sums_the_linearised_rows_of_the_kept_pairs():
    from ornel._native import point_to_plane_system

    rng = np.random.default_rng(9)
    targets, moved = rng.normal(size=(500, 3)), rng.normal(size=(300, 3))
    normals = rng.normal(size=(500, 3))
    normals /= np.linalg.norm(normals, axis=1)[:, None]
    matches = rng.integers(0, 500, 300).astype(np.uint32)
    squared = rng.random(300)
    limit2, scale = 0.6, 0.25
    system, rhs = point_to_plane_system(moved, targets, normals, matches, squared, limit2, scale)
    keep = squared <= limit2
    m, t, n = moved[keep], targets[matches[keep]], normals[matches[keep]]
    rows = np.hstack([np.cross(m * scale, n), n])
    np.testing.assert_allclose(system, rows.T @ rows, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(rhs, rows.T @ ((t - m) * n).sum(axis=1), rtol=1e-12, atol=1e-12)
    assert (system == system.T).all()
    matches[7] = 500
    with pytest.raises(ValueError, match="not a target point"):
        point_to_plane_system(moved, targets, normals, matches, squared, limit2, scale)


def reference_descent(points, indptr, indices, query, vertex):
    """The walk's rule by hand: move to the neighbour with the lowest (d², index) while it
    is lower than the vertex's own; d² of coordinate differences taken in double."""

    def key(v):
        diff = query - points[v].astype(np.float64)
        return (diff[0] * diff[0] + diff[1] * diff[1]) + diff[2] * diff[2], v

    while True:
        best = min([key(vertex)] + [key(v) for v in indices[indptr[vertex] : indptr[vertex + 1]]])
        if best[1] == vertex:
            return best
        vertex = best[1]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
def test_walk_from_starts_follows_the_tie_rule_on_any_graph(dtype, offset):
    """On random graphs the answers are local minima, which the rule decides exactly; coarse
    coordinates and repeated points make ties in d² common, rows of every length."""
    rng = np.random.default_rng(int(offset) + 7)
    points = (rng.integers(0, 6, (300, 3)) * 0.25 + offset).astype(dtype)
    points[::7] = points[1::7][: len(points[::7])]
    degree = rng.integers(0, 12, len(points))
    indptr = np.r_[0, np.cumsum(degree)].astype(np.uint32)
    indices = rng.integers(0, len(points), indptr[-1]).astype(np.uint32)
    queries = (rng.integers(0, 12, (400, 3)) * 0.125 + offset).astype(np.float64)
    starts = rng.integers(0, len(points), len(queries)).astype(np.uint32)
    squared, idx = nearest_from_starts(points, indptr, indices, queries, starts)
    expected = [reference_descent(points, indptr, indices, q, s) for q, s in zip(queries, starts)]
    np.testing.assert_array_equal(idx, [v for _, v in expected])
    np.testing.assert_array_equal(squared, [d for d, _ in expected])
    first = int(np.flatnonzero(degree[starts])[0])  # a bad last neighbour of the first start with any
    at = int(indptr[starts[first] + 1]) - 1
    bad = indices.copy()
    bad[at] = len(points)
    with pytest.raises(ValueError, match=rf"indices\[{at}\] = {len(points)} is not a point"):
        nearest_from_starts(points, indptr, bad, queries, starts)


def noisy_floor(rng, n, noise=1e-3):
    """A 10 × 10 m floor sampled at random, with `noise` metres of noise across it."""
    return np.column_stack([rng.random((n, 2)) * 10, rng.normal(scale=noise, size=n)])


def noisy_cylinder(rng, n, noise=1e-3):
    """A cylinder of radius 1 and length 5 along z."""
    turn, height = rng.random(n) * 2 * np.pi, rng.random(n) * 5
    return np.column_stack([np.cos(turn), np.sin(turn), height]) + rng.normal(scale=noise, size=(n, 3))


@pytest.mark.parametrize("method", ["point_to_plane", "point_to_point"])
def test_register_refuses_a_motion_that_only_noise_fixes(method):
    rng = np.random.default_rng(21)
    floor = ornel.register(noisy_floor(rng, 12_000) + [0.3, -0.2, 0.05], noisy_floor(rng, 12_000), method=method)
    assert not floor.converged and "close to a plane" in floor.unfixed and "(0.00, 0.00, 1.00)" in floor.unfixed
    cylinder = ornel.register(
        noisy_cylinder(rng, 12_000) + [0.02, -0.01, 0.3], noisy_cylinder(rng, 12_000), method=method
    )
    assert not cylinder.converged and "close to a cylinder" in cylinder.unfixed
    assert "axis (0.00, 0.00, 1.00)" in cylinder.unfixed
    sphere = rng.normal(size=(12_000, 3))
    sphere /= np.linalg.norm(sphere, axis=1)[:, None]
    turned = sphere @ motion(rng, 5, 0)[:3, :3].T + rng.normal(scale=1e-3, size=sphere.shape)
    ball = ornel.register(turned, sphere + rng.normal(scale=1e-3, size=sphere.shape), method=method)
    assert not ball.converged and "close to a sphere" in ball.unfixed and "(3 of the 6" in ball.unfixed

    # The same floor with gentle relief on it (waves of 20 cm across both axes) is fixed.
    def relief(points):
        x, y = points[:, 0], points[:, 1]
        return np.column_stack([x, y, points[:, 2] + 0.2 * np.sin(x / 1.5) + 0.2 * np.cos(y / 1.3)])

    source, target = relief(noisy_floor(rng, 12_000)), relief(noisy_floor(rng, 12_000))
    moved = ornel.register(source + [0.03, -0.02, 0.01], target, method=method)
    assert moved.unfixed is None
    if method == "point_to_plane":  # point to point creeps along a surface sampled this sparsely
        assert moved.converged and np.abs(moved.apply(source + [0.03, -0.02, 0.01]) - source).max() < 0.005


def halves(points, rng):
    order = rng.permutation(len(points))
    return points[order[: len(points) // 2]], points[order[len(points) // 2 :]]


@pytest.mark.parametrize(
    "name",
    [
        "stanford-bunny.npy",
        "fandisk.npy",
        "rocker-arm.npy",
        "las/4_6_crop.las",
        "las/sample_c.las",
        "las/warsaw_small.las",
        "las/test1_4.las",
    ],
)
def test_real_scans_with_relief_are_not_refused(name):
    rng = np.random.default_rng(22)
    points = ornel.read_points(DATA / name)
    source, target = halves(points, rng)
    extent = np.linalg.norm(points.max(axis=0) - points.min(axis=0))
    centre = source.mean(axis=0)
    away = motion(rng, 2, 0.005 * extent * rng.standard_normal(3))
    moved = (source - centre) @ away[:3, :3].T + away[:3, 3] + centre
    for method in ("point_to_plane", "point_to_point"):
        result = ornel.register(moved, target, method=method)
        assert result.unfixed is None, result.unfixed
        assert np.abs(result.apply(moved) - source).max() < 0.02 * extent  # back near where it was


@pytest.mark.parametrize("offset", [0.0, 1e5, 1e6])
def test_an_exact_rigid_copy_converges(offset):
    rng = np.random.default_rng(23)
    target = np.load(DATA / "stanford-bunny.npy")[rng.choice(35_947, 6_000, replace=False)] + offset
    centre = target.mean(axis=0)
    for _ in range(3):
        away = motion(rng, rng.uniform(1, 6), 0.003 * rng.standard_normal(3))
        source = (target - centre) @ away[:3, :3].T + away[:3, 3] + centre
        for method in ("point_to_plane", "point_to_point"):
            result = ornel.register(source, target, method=method)
            assert result.converged and result.unfixed is None and result.iterations < 20
            # Back to the very points, but for the rounding of coordinates this far out.
            assert np.abs(result.apply(source) - target).max() < 1e-14 * (offset + 1) * 1e3


def test_point_to_point_fits_coordinates_whose_squares_overflow():
    rng = np.random.default_rng(24)
    target = rng.random((3000, 3)) * 1e153
    for method in ("point_to_point", "point_to_plane"):
        result = ornel.register(target + [1e150, -2e150, 0], target, method=method)
        assert result.converged and np.isfinite(result.rmse)
        np.testing.assert_allclose(result.transform[:3, 3], [-1e150, 2e150, 0], rtol=0, atol=1e140)
        np.testing.assert_allclose(result.transform[:3, :3], np.eye(3), atol=1e-12)
    tiny = ornel._register.point_to_point(target / 1e306, target / 1e306, None)  # and far below: no underflow
    np.testing.assert_allclose(tiny[0], np.eye(3), atol=1e-9)


def random_rigid(seed):
    transform = np.eye(4)
    transform[:3, :3] = Rotation.random(random_state=seed).as_matrix()
    transform[:3, 3] = np.random.default_rng(seed).normal(size=3) * 100
    return transform


def test_a_rotation_printed_with_few_digits_is_made_orthonormal_and_deformations_refused(tmp_path):
    from ornel._register import read_transform

    path = tmp_path / "t.txt"
    notes = []
    for seed in range(300):
        truth = random_rigid(seed)
        for fmt in ("%.4f", "%.5f", "%.6f", "%g", "%.6e"):
            np.savetxt(path, truth, fmt=fmt)
            before = len(notes)
            read = read_transform(str(path), notes.append)
            rotation = read[:3, :3]
            # Made orthonormal, and said so, where it was beyond what the fit is indifferent to.
            np.testing.assert_allclose(rotation @ rotation.T, np.eye(3), atol=1e-12 if len(notes) > before else 1e-6)
            assert np.linalg.det(rotation) > 0 and np.abs(rotation - truth[:3, :3]).max() < 2e-4
            np.testing.assert_array_equal(read[:3, 3], np.loadtxt(path)[:3, 3])  # the shift as printed
    assert 0 < len(notes) < 300 * 5 and all("made exactly orthonormal" in note for note in notes)
    for seed, deform in enumerate(
        (np.diag([1.0002, 1.0002, 1.0002]), np.diag([1, 1, -1.0]), np.array([[1, 0.001, 0], [0, 1, 0], [0, 0, 1.0]]))
    ):
        bad = random_rigid(seed)
        bad[:3, :3] = deform @ bad[:3, :3]
        for fmt in ("%.6f", "%g", "%.17g"):
            np.savetxt(path, bad, fmt=fmt)
            with pytest.raises(ornel.CloudError, match="not a rigid transform"):
                read_transform(str(path))


def test_transform_files_are_read_in_the_encodings_point_files_are(tmp_path):
    from ornel._register import read_transform

    truth = random_rigid(7)
    body = "".join(" ".join(repr(float(value)) for value in row) + "\n" for row in truth)
    files = {
        "utf16.txt": ("# é, saved by PowerShell\r\n" + body.replace("\n", "\r\n")).encode("utf-16"),
        "utf16be.txt": b"\xfe\xff" + ("// z up\n" + body).encode("utf-16-be"),
        "bom.txt": b"\xef\xbb\xbf" + body.encode(),
        "latin1.txt": "% relevé du 3 mai\n".encode("latin-1") + body.encode(),
    }
    for name, content in files.items():
        (tmp_path / name).write_bytes(content)
        np.testing.assert_array_equal(read_transform(str(tmp_path / name)), truth)
    (tmp_path / "broken.txt").write_bytes(body.replace("0", "\xe9", 1).encode("latin-1"))
    with pytest.raises(ornel.CloudError, match="not numbers"):
        read_transform(str(tmp_path / "broken.txt"))


def test_align_command_refuses_an_unfixed_motion_and_notes_a_rounded_init(tmp_path):
    rng = np.random.default_rng(25)
    np.save(tmp_path / "a.npy", noisy_floor(rng, 8_000) + [0.3, -0.2, 0.05])
    np.save(tmp_path / "b.npy", noisy_floor(rng, 8_000))
    for command in (("align", "a.npy", "b.npy", "--transform", "t.txt"), ("compare", "a.npy", "b.npy", "--align")):
        failed = ornel_command(*command, cwd=tmp_path)
        assert failed.returncode == 2 and len(failed.stderr.splitlines()) == 1, failed.stderr
        assert "close to a plane" in failed.stderr and "give --init" in failed.stderr and failed.stdout == ""
    assert not (tmp_path / "t.txt").exists()
    scan = quantised_scan(rng, 8_000)
    np.save(tmp_path / "scan.npy", scan)
    truth = random_rigid(3)
    truth[:3, 3] = 0
    np.savetxt(tmp_path / "rounded.txt", truth, fmt="%.6f")
    (tmp_path / "rounded16.txt").write_bytes((tmp_path / "rounded.txt").read_text().encode("utf-16"))
    np.save(tmp_path / "turned.npy", scan @ np.linalg.inv(truth)[:3, :3].T)
    for init in ("rounded.txt", "rounded16.txt"):
        done = ornel_command("align", "turned.npy", "scan.npy", "--init", init, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        departure = np.abs(truth[:3, :3] @ truth[:3, :3].T - np.eye(3)).max()
        if departure > 1e-6:
            assert done.stderr.startswith("ornel: note: ") and "made exactly orthonormal" in done.stderr
        assert len(done.stderr.splitlines()) == (departure > 1e-6)


@pytest.mark.parametrize("offset", [0.0, 5e5])
def test_register_many_passes_every_option_on_open_and_flat_sites(offset):
    """Each result of register_many is register's, whatever the index asked for: on an open,
    nearly flat terrain tile with relief (fixed) and on a noisy floor (a slide left free)."""
    rng = np.random.default_rng(22)

    def terrain(n):
        xy = rng.random((n, 2)) * 10
        relief = 0.3 * np.sin(xy[:, 0]) * np.cos(0.7 * xy[:, 1])
        return np.column_stack([xy, relief + rng.normal(scale=1e-3, size=n)]) + offset

    tile = ornel.Cloud(terrain(10_000))
    tile_sources = [terrain(5_000) + shift for shift in ([0.03, -0.02, 0.01], [-0.02, 0.04, -0.01])]
    floor = ornel.Cloud(noisy_floor(rng, 8_000) + offset)
    floor_sources = [noisy_floor(rng, 4_000) + offset + [0.3, -0.2, 0.05]]
    for index in ("graph", "grid"):
        for target, sources in ((tile, tile_sources), (floor, floor_sources)):
            many = ornel.register_many(sources, target, threads=2, index=index)
            for source, result in zip(sources, many):
                alone = ornel.register(source, target, index=index)
                np.testing.assert_array_equal(alone.transform, result.transform)
                assert (alone.converged, alone.unfixed) == (result.converged, result.unfixed)
            if target is tile:
                assert all(result.converged and result.unfixed is None for result in many)
        assert not many[0].converged and "close to a plane" in many[0].unfixed
