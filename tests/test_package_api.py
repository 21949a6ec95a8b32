"""The ornel package API against brute force: nearest, all_by_all, Cloud, Matrix."""

import csv
import pickle
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from conftest import brute_nearest

import ornel
import ornel._cloud
from ornel._join import run


def exact_nearest(a, b):
    """Exact nearest distances from every point of a to b, in float64."""
    return brute_nearest(np.asarray(a, np.float64), np.asarray(b, np.float64))[0]


def clouds_like_scans(rng):
    """Uniform, quantised with many duplicates, thin and nearly flat, cospherical, far from the origin."""
    uniform = rng.random((400, 3))
    quantised = np.round(rng.random((500, 3)) * 8) / 8  # 729 grid nodes: ties and duplicates
    thin = np.c_[rng.random((300, 2)), rng.random(300) * 1e-3]
    sphere = rng.normal(size=(300, 3))
    sphere /= np.linalg.norm(sphere, axis=1)[:, None]
    far = rng.random((350, 3)) * [2, 2, 0.5] + [431_000.25, 5_412_000.5, 212.0]  # georeferenced
    return {"uniform": uniform, "quantised": quantised, "thin": thin, "sphere": sphere * 0.6 + 0.5, "far": far}


@pytest.mark.parametrize("precision", ["f32", "f64"])
def test_nearest_matches_brute_force_on_scan_like_clouds(precision):
    rng = np.random.default_rng(3)
    clouds = clouds_like_scans(rng)
    tol = 2e-5 if precision == "f32" else 1e-12
    pairs = [
        ("uniform", "quantised"),
        ("quantised", "quantised"),
        ("thin", "uniform"),
        ("sphere", "thin"),
        ("uniform", "sphere"),
    ]
    for a_name, b_name in pairs:
        a, b = clouds[a_name], clouds[b_name]
        dists, idx = ornel.nearest(a, b, precision=precision)
        assert dists.dtype == (np.float32 if precision == "f32" else np.float64)
        ref = exact_nearest(a, b)
        np.testing.assert_allclose(dists, ref, atol=tol, err_msg=f"{a_name} -> {b_name}")
        # idx points into b's own order at the reported distance (ties may pick any twin).
        np.testing.assert_allclose(np.linalg.norm(b[idx] - a, axis=1), ref, atol=tol)


def test_single_precision_stays_accurate_far_from_the_origin():
    # Plain float32 rounding at 5,412,000 m is 0.5 m: the join must not lose that much.
    rng = np.random.default_rng(4)
    base = np.array([431_000.0, 5_412_000.0, 212.0])
    a = base + rng.random((300, 3)) * [3, 3, 1]
    b = base + rng.random((400, 3)) * [3, 3, 1]
    dists, idx = ornel.nearest(a, b)
    np.testing.assert_allclose(dists, exact_nearest(a, b), atol=1e-5)
    np.testing.assert_allclose(np.linalg.norm(b[idx] - a, axis=1), exact_nearest(a, b), atol=1e-5)


@pytest.mark.parametrize("precision", ["f32", "f64"])
def test_all_by_all_matches_brute_force_and_derived_measures(precision):
    rng = np.random.default_rng(5)
    named = clouds_like_scans(rng)
    named.pop("far")  # joins across 5e6 m would only measure that distance
    clouds = [ornel.Cloud(points, name) for name, points in named.items()]
    clouds.append(ornel.Cloud(named["quantised"].astype(np.float32), "quantised32"))
    matrix = ornel.all_by_all(clouds, threads=2, precision=precision)
    assert matrix.names == [c.name for c in clouds]
    tol = 2e-5 if precision == "f32" else 1e-12
    for i, a in enumerate(clouds):
        for j, b in enumerate(clouds):
            ref = exact_nearest(a.points, b.points)
            expected = (0.0, 0.0) if i == j else (ref.mean(), ref.max())
            assert (matrix.mean[i, j], matrix.max[i, j]) == pytest.approx(expected, abs=tol), (a.name, b.name)
    np.testing.assert_array_equal(matrix.chamfer, matrix.mean + matrix.mean.T)
    np.testing.assert_array_equal(matrix.hausdorff, np.maximum(matrix.max, matrix.max.T))
    # The same Cloud objects joined again reuse what they built and give the same matrix.
    again = ornel.all_by_all(clouds, threads=1, precision=precision)
    np.testing.assert_array_equal(again.mean, matrix.mean)
    np.testing.assert_array_equal(again.max, matrix.max)


def test_matrix_csv_has_one_row_per_unordered_pair_in_the_given_order(tmp_path):
    rng = np.random.default_rng(6)
    clouds = [ornel.Cloud(rng.random((100, 3)) + k, f"c{k}") for k in range(4)]
    matrix = ornel.all_by_all(clouds, threads=1)
    matrix.to_csv(tmp_path / "m.csv")
    with open(tmp_path / "m.csv", newline="") as file:
        rows = list(csv.reader(file))
    assert rows[0] == ["a", "b", "mean_ab", "mean_ba", "chamfer", "max_ab", "max_ba", "hausdorff"]
    assert [tuple(r[:2]) for r in rows[1:]] == [(f"c{i}", f"c{j}") for i in range(4) for j in range(i + 1, 4)]
    for a, b, *numbers in rows[1:]:
        i, j = int(a[1]), int(b[1])
        expected = [
            matrix.mean[i, j],
            matrix.mean[j, i],
            matrix.chamfer[i, j],
            matrix.max[i, j],
            matrix.max[j, i],
            matrix.hausdorff[i, j],
        ]
        assert [float(x) for x in numbers] == expected  # written exactly


def test_cloud_builds_its_graph_once_across_threads_and_pickles(monkeypatch):
    calls = []
    real = ornel._cloud.delaunay_graph

    def counting(points, *, threads=None):
        calls.append(len(points))
        return real(points, threads=threads)

    monkeypatch.setattr(ornel._cloud, "delaunay_graph", counting)
    points = np.random.default_rng(7).random((2000, 3))
    cloud = ornel.Cloud(points, "scan")
    barrier = threading.Barrier(8)

    def ask():
        barrier.wait()
        return cloud.prepared("f32")

    with ThreadPoolExecutor(8) as pool:
        prepared = list(pool.map(lambda _: ask(), range(8)))
    assert len(calls) == 1 and all(p is prepared[0] for p in prepared)

    copy = pickle.loads(pickle.dumps(cloud))
    assert copy.name == "scan" and np.array_equal(copy.points, points)
    dists, idx = ornel.nearest(points[::-1], copy)
    assert len(calls) == 1  # the graph travelled with the cloud
    np.testing.assert_array_equal(idx, np.arange(len(points))[::-1])
    assert not dists.any()


@pytest.mark.parametrize("clouds, threads, each", [(2, 4, 2), (3, 4, 1), (8, 2, 1), (1, 3, 3)])
def test_graph_builds_side_by_side_share_the_threads(monkeypatch, clouds, threads, each):
    given = []
    real = ornel._cloud.delaunay_graph

    def recording(points, *, threads=None):
        given.append(threads)
        return real(points, threads=threads)

    monkeypatch.setattr(ornel._cloud, "delaunay_graph", recording)
    rng = np.random.default_rng(clouds)
    members = [rng.random((3000, 3)) for _ in range(clouds)]
    matrix = ornel.all_by_all(members, threads=threads, index="graph")
    assert given == [each] * clouds
    alone = ornel.all_by_all(members, threads=1, index="graph")  # one build at a time, on one thread each
    np.testing.assert_array_equal(matrix.mean, alone.mean)
    given.clear()
    ornel.compare(members[0], rng.random((3000, 3)), threads=threads, index="graph")
    assert given == [threads]  # b's graph alone: every thread


def test_points_are_kept_in_the_callers_order_and_isolated_from_later_changes():
    points = np.random.default_rng(8).random((50, 4))  # a fourth column (intensity) is dropped
    cloud = ornel.Cloud(points, "x")
    expected = points[:, :3].copy()
    points[:] = 0
    np.testing.assert_array_equal(cloud.points, expected)
    assert not cloud.points.flags.writeable
    np.testing.assert_array_equal(cloud.points[cloud.order[np.argsort(cloud.order)]], expected)


@pytest.mark.parametrize(
    "points, problem",
    [
        (np.zeros((0, 3)), "no points"),
        (np.zeros((10, 2)), "2 columns"),
        (np.zeros(9), "shape (9,)"),
        (
            np.array([[0, 0, 0], [1, np.nan, 0]] * 3, float),
            "non-finite coordinates (NaN or infinity), first in point 1",
        ),
        (np.array([["a", "b", "c"]]), "expected real numbers"),
    ],
)
def test_unusable_points_are_refused_with_what_is_wrong(points, problem):
    with pytest.raises(ornel.CloudError) as info:
        ornel.Cloud(points, "bad")
    assert str(info.value).startswith("bad: ") and problem in str(info.value)


@pytest.mark.parametrize(
    "points",
    [
        np.eye(3),
        np.zeros((1, 3)),
        np.c_[np.random.default_rng(1).random((40, 2)), np.zeros(40)],
        np.c_[np.arange(30.0), 2 * np.arange(30.0), np.full(30, 5.0)],
        np.ones((30, 3)),
    ],
    ids=["three", "one", "plane", "line", "all-equal"],
)
@pytest.mark.parametrize("precision", ["f32", "f64"])
def test_flat_collinear_and_tiny_clouds_are_searched_exactly(points, precision):
    query = np.random.default_rng(0).random((50, 3)) * 3
    dists, idx = ornel.nearest(query, ornel.Cloud(points, "t"), precision=precision)
    expected = np.sqrt(((query[:, None, :] - points[None]) ** 2).sum(-1)).min(1)
    np.testing.assert_allclose(dists, expected, rtol=1e-5 if precision == "f32" else 1e-12)
    table = ornel.all_by_all([query, points], threads=1, precision=precision)
    assert table.mean[0, 1] == pytest.approx(expected.mean(), rel=1e-5)


def test_clouds_that_cannot_be_searched_fail_when_used_as_targets():
    target = ornel.Cloud(np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1e300]]), "t")
    with pytest.raises(ornel.CloudError, match="too large for single precision"):
        ornel.all_by_all([np.random.default_rng(0).random((10, 3)), target], threads=1)


def test_client_without_dask_installed_fails_with_one_line_naming_the_extra(monkeypatch):
    monkeypatch.setitem(__import__("sys").modules, "distributed", None)  # as if not installed
    with pytest.raises(ImportError) as info:
        ornel.all_by_all([np.random.default_rng(0).random((10, 3))] * 2, client=object())
    assert "pip install distributed" in str(info.value) and "\n" not in str(info.value)


def test_an_interrupt_cancels_the_calls_not_yet_started():
    started = []
    gates = [threading.Event() for _ in range(20)]

    def call(k):
        started.append(k)
        gates[k].wait(10)
        return k

    def interrupt():
        raise KeyboardInterrupt

    with ThreadPoolExecutor(1) as pool:
        threading.Timer(0.2, gates[0].set).start()
        try:
            with pytest.raises(KeyboardInterrupt):
                run(pool, [lambda k=k: call(k) for k in range(20)], interrupt)
        finally:
            for gate in gates:
                gate.set()
    # The call running when the interrupt came (the one after call 0) may finish; no other starts.
    assert started in ([0], [0, 1])


INTERRUPTED_WAITS = """
import os, signal, sys, threading
from concurrent.futures import ThreadPoolExecutor
import ornel._join
from ornel._join import run

ornel._join.POLL_SECONDS = 0.0  # the wait spins, so that interrupts land in its every step
gate = threading.Event()
armed = False

def interrupt(signum, frame):
    global armed
    if armed and frame is not None and frame.f_code.co_filename != __file__:
        armed = False  # one Ctrl-C per run, as from a user
        raise KeyboardInterrupt

class Pool(ThreadPoolExecutor):
    # Interrupts inside the pool's own submit are the standard library's affair.
    def submit(self, *args, **kwargs):
        global armed
        was, armed = armed, False
        try:
            return super().submit(*args, **kwargs)
        finally:
            armed = was

signal.signal(signal.SIGALRM, interrupt)
pool = Pool(2)
interrupted = 0
signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
for _ in range(4000):
    armed = True
    try:
        run(pool, [lambda: gate.wait(60), lambda: gate.wait(60)], lambda: None)
    except KeyboardInterrupt:
        interrupted += 1
armed = False
signal.setitimer(signal.ITIMER_REAL, 0)
gate.set()
closing = threading.Thread(target=pool.shutdown, daemon=True)
closing.start()
closing.join(30)
print(interrupted, "wedged" if closing.is_alive() else "closed", flush=True)
os._exit(0)
"""


def test_interrupts_while_waiting_never_wedge_the_pool(tmp_path):
    # Ctrl-C may land anywhere in the waiting thread's own steps: thousands of runs, each
    # interrupted once, then the calls are let go, and every worker must finish and the
    # pool shut down (a worker blocked on a future's lock the interrupted thread still
    # held kept the command from ever ending).
    import signal
    import subprocess
    import sys

    if not hasattr(signal, "setitimer"):
        pytest.skip("no interval timer here")
    script = tmp_path / "interrupted_waits.py"
    script.write_text(INTERRUPTED_WAITS)
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    interrupted, state = done.stdout.split()
    assert int(interrupted) > 1000 and state == "closed", done.stdout


def test_morton_order_of_no_points_is_an_empty_permutation():
    for points in (np.zeros((0, 3)), np.zeros((0, 3), np.float32)):
        order = ornel.morton_order(points)
        assert order.dtype == np.int64 and order.shape == (0,)


def test_morton_order_is_the_grouped_sets_key_stably_sorted():
    from conftest import reference_morton_keys

    rng = np.random.default_rng(21)
    clouds = [
        rng.random((20_000, 3)),
        np.round(rng.random((3000, 3)) * 5) / 5,  # many equal keys
        (rng.random((2000, 3)) * [400, 300, 20] + [5e5, 5e6, 100]).astype(np.float32),
        np.repeat(rng.random((1, 3)), 7, axis=0),
        rng.random((500, 6))[::2, 1:5],
        np.arange(30).reshape(10, 3),
    ]
    for points in clouds:
        expected = np.argsort(reference_morton_keys(np.asarray(points)[:, :3]), kind="stable")
        np.testing.assert_array_equal(ornel.morton_order(points), expected)
    with pytest.raises(ValueError, match="shape"):
        ornel.morton_order(np.zeros((4, 2)))


def test_a_progress_bar_is_drawn_only_when_asked_and_tqdm_is_loaded_only_then():
    import subprocess
    import sys

    code = (
        "import sys, numpy as np, ornel\n"
        "a = np.random.default_rng(0).random((300, 3))\n"
        "m = ornel.all_by_all([a, a + 0.01], progress=sys.argv[1] == 'shown')\n"
        "print('tqdm' in sys.modules, float(m.mean[0, 1]) > 0)\n"
    )
    for shown in ("quiet", "shown"):
        done = subprocess.run([sys.executable, "-c", code, shown], capture_output=True, text=True, check=True)
        assert done.stdout.split() == [str(shown == "shown"), "True"]
        assert ("ornel" in done.stderr) == (shown == "shown")
