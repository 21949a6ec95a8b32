"""Helpers shared by the test modules."""

import os
import re
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import _ornel
import numpy as np
import pytest

try:
    from hypothesis import settings

    # CI runs a fixed, bounded number of examples; `--hypothesis-profile=long` runs more
    # (ORNEL_FUZZ_EXAMPLES per test, 5000 by default).
    settings.register_profile("ci", max_examples=60, deadline=None, derandomize=True)
    settings.register_profile("long", max_examples=int(os.environ.get("ORNEL_FUZZ_EXAMPLES", "5000")), deadline=None)
    settings.load_profile("ci")
except ImportError:  # pragma: no cover
    pass


# The shipped scans (fandisk, rocker arm, Stanford Bunny) as .npy files.
DATA = Path(__file__).resolve().parents[1] / "data"


class Precision:
    """Everything of one precision a test may be parametrised by."""

    def __init__(self, id, dtype, join, join_k, Prepared, Grouped):
        self.id, self.dtype, self.join, self.join_k, self.Prepared, self.Grouped = (
            id,
            dtype,
            join,
            join_k,
            Prepared,
            Grouped,
        )


PRECISIONS = [
    Precision(
        "f64",
        np.float64,
        _ornel.all_nearest_neighbours,
        _ornel.all_nearest_neighbours_k,
        _ornel.PreparedF64,
        _ornel.GroupedQueriesF64,
    ),
    Precision(
        "f32",
        np.float32,
        _ornel.all_nearest_neighbours_f32,
        _ornel.all_nearest_neighbours_k_f32,
        _ornel.PreparedF32,
        _ornel.GroupedQueriesF32,
    ),
]


def precision_params(*fields, order=("f64", "f32")):
    """`pytest.param`s of the named fields of each precision, in `order`, with the precision's id."""
    by_id = {precision.id: precision for precision in PRECISIONS}
    return [pytest.param(*(getattr(by_id[id], field) for field in fields), id=id) for id in order]


# The parametrisations the test modules share, one per family of entry points.
NEAREST_PRECISIONS = precision_params("dtype", "join", "Prepared")
KNN_PRECISIONS = precision_params("dtype", "join_k", "Prepared")
GROUPED_PRECISIONS = precision_params("dtype", "Prepared", "Grouped", order=("f32", "f64"))
FUZZ_PRECISIONS = precision_params("dtype", "join", "Prepared", "Grouped", order=("f32", "f64"))


def squared_distances(x, y):
    """Squared distances (len(x), len(y)) in the arrays' dtype, as the module sums them: (dx² + dy²) + dz²."""
    diff = y[None, :, :3] - x[:, None, :3]
    return (diff[..., 0] * diff[..., 0] + diff[..., 1] * diff[..., 1]) + diff[..., 2] * diff[..., 2]


def brute_nearest(x, y):
    """Nearest y for every x in y's dtype, with the module's (dx² + dy²) + dz² and ties to the smaller index."""
    d2 = squared_distances(x, y)
    idx = np.argmin(d2, axis=1)
    return np.sqrt(d2[np.arange(len(x)), idx]), idx.astype(np.uint64)


def brute_k(x, y, k):
    """The k nearest y of every x, ascending, ties to the smaller index: (distances, indices)."""
    d2 = squared_distances(x, y)
    order = np.lexsort((np.broadcast_to(np.arange(len(y)), d2.shape), d2), axis=1)[:, :k]
    return np.sqrt(np.take_along_axis(d2, order, 1)), order


def clouds(rng, dtype, nx, ny, kind="cube"):
    """Two clouds of nx and ny points: uniform in the unit cube, or jittered sphere surfaces."""
    if kind == "cube":
        x, y = rng.random((nx, 3)), rng.random((ny, 3))
    else:  # jittered sphere surfaces: thin, curved, locally regular

        def shell(n):
            v = rng.normal(size=(n, 3))
            return v / np.linalg.norm(v, axis=1)[:, None] + rng.normal(scale=0.01, size=(n, 3))

        x, y = shell(nx), shell(ny)
    return x.astype(dtype), y.astype(dtype)


def reference_morton_keys(points):
    """Morton keys of (n, 3) points, computed the slow way: 21 bits per axis, x lowest."""
    coords = points.astype(np.float64)
    lo = np.nanmin(coords, axis=0)
    hi = np.nanmax(coords, axis=0)
    extent = hi - lo
    extent[extent == 0] = 1.0
    with np.errstate(invalid="ignore"):
        q = (coords - lo) / extent * 2097151.0
    q = np.where(np.isnan(q) | (q < 0), 0, q).astype(np.uint64) & np.uint64(0x1FFFFF)
    keys = np.zeros(len(points), np.uint64)
    for bit in range(21):
        for axis in range(3):
            keys |= ((q[:, axis] >> np.uint64(bit)) & np.uint64(1)) << np.uint64(3 * bit + axis)
    return keys


def random_graph(rng, n, max_degree, decreasing=False):
    """CSR with random rows (repeats and self-loops included); with `decreasing`, some rows run backwards."""
    degrees = rng.integers(0, max_degree + 1, size=n)
    indptr = np.concatenate([[0], np.cumsum(degrees)]).astype(np.uint32)
    indices = rng.integers(0, max(n, 1), size=int(indptr[-1])).astype(np.uint32)
    if decreasing and n > 1:
        indptr = rng.integers(0, len(indices) + 1, size=n + 1).astype(np.uint32)
    return indptr, indices


def coarse_clouds(rng, dtype, nq, nt, scale):
    """Queries then targets on a grid of step 1/scale: equal distances are common, so tie rules are exercised."""
    x = (rng.integers(0, scale, size=(nq, 3)) / scale).astype(dtype)
    y = (rng.integers(0, scale, size=(nt, 3)) / scale).astype(dtype)
    return x, y


def grid(side, spacing=1.0):
    """The side**3 nodes of a cubic lattice of step `spacing`: cospherical and coplanar points everywhere."""
    axis = np.arange(side) * spacing
    return np.stack(np.meshgrid(axis, axis, axis, indexing="ij"), -1).reshape(-1, 3)


def quantised_scan(rng, n, offset=0.0, step=1e-4):
    """A noisy resample of the Bunny's surface on a 0.1 mm grid, with repeated points."""
    model = np.load(DATA / "stanford-bunny.npy")
    i = rng.integers(0, len(model), n)
    j = rng.integers(0, len(model), n)
    near = np.linalg.norm(model[j] - model[i], axis=1) < 0.004
    between = np.where(near[:, None], model[i] + rng.random((n, 1)) * (model[j] - model[i]), model[i])
    points = np.round((between + rng.normal(scale=3e-4, size=(n, 3))) / step) * step + offset
    points[: n // 20] = points[n // 20 : n // 10]  # duplicate returns
    return points


class MalformedGraphs:
    """A four-point target (descent 0 -> 1 from the origin) and the graphs both joins are given broken;
    a subclass names its join as `join(x_graph, y_graph, x=None)`."""

    y = np.array([[1, 1, 1], [0, 0, 0], [2, 2, 2], [3, 3, 3]], dtype=np.float64)
    good = np.array([0, 1, 2, 3, 4], np.uint32), np.array([1, 2, 3, 0], np.uint32)
    x = np.zeros((1, 3))
    single = np.array([0, 0], np.uint32), np.zeros(0, np.uint32)

    @pytest.mark.parametrize(
        "y_graph,message",
        [
            (
                (np.array([0, 1, 2, 3, 4], np.uint32), np.array([4, 2, 3, 0], np.uint32)),
                "index out of bounds: the len is 4 but the index is 4",
            ),
            (
                (np.array([0, 1], np.uint32), np.array([1], np.uint32)),
                "index out of bounds: the len is 2 but the index is 2",
            ),
            (
                (np.array([0, 9, 9, 9, 9], np.uint32), np.array([1, 2, 3, 0], np.uint32)),
                "range end index 9 out of range for slice of length 4",
            ),
        ],
    )
    def test_target_faults(self, y_graph, message):
        """A neighbour past the points, a list shorter than a row, a row past the list."""
        with raises_panic(message):
            self.join(self.single, y_graph)

    def test_query_faults(self):
        with raises_panic("capacity overflow"):
            self.join((np.zeros(0, np.uint32), np.zeros(0, np.uint32)), self.good)
        with raises_panic("index out of bounds: the len is 1 but the index is 5"):
            self.join((np.array([0, 1], np.uint32), np.array([5], np.uint32)), self.good)
        with raises_panic("index out of bounds: the len is 1 but the index is 1"):
            self.join((np.array([0, 0, 0], np.uint32), np.zeros(0, np.uint32)), self.good)  # 2 queries, 1 point
        self.join_specific_query_faults()


def run_threads(work, count):
    """Runs work(0) .. work(count - 1), each on a thread of its own, and waits for all of them."""
    threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def is_panic(error):
    return type(error).__name__ == "PanicException" and type(error).__bases__ == (BaseException,)


class raises_panic:
    """Context manager: the block must raise PanicException whose message starts with `prefix`."""

    def __init__(self, prefix):
        self.prefix = prefix

    def __enter__(self):
        return self

    def __exit__(self, kind, error, traceback):
        if error is None:
            raise AssertionError(f"no PanicException raised (expected {self.prefix!r})")
        if not is_panic(error):
            return False
        message = str(error)
        assert message.startswith(self.prefix), f"{message!r} does not start with {self.prefix!r}"
        self.message = message
        return True


# The terminal's stderr as it was before pytest began capturing output: a report written
# there by a process that is about to end (a hang caught by a watchdog) is not lost with
# the capture.
terminal_stderr = None


def pytest_configure(config):
    global terminal_stderr
    terminal_stderr = os.dup(2)


def assert_argument_notes(error, note):
    """`error` carries the note `note` naming the parameter (or no note at all); an array
    refusal adds exactly one more, saying what was expected and what was given."""
    notes = getattr(error, "__notes__", None)
    if note is None:
        assert notes is None
        return
    assert notes[0] == note
    assert len(notes) <= 2 and all(re.fullmatch(r"expected .+; got .+", extra) for extra in notes[1:]), notes


def expect_error(error, message, call, note=None):
    """`call()` raises exactly `error(message)`, with the note `note` (or none)."""
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message
    assert_argument_notes(info.value, note)


def native_checker(tmp_path_factory, name, *flags):
    """tests/native/NAME.cpp compiled against the core's headers (skipped without a C++
    compiler): the program's path and the environment to run it in."""
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the checker")
    root = Path(__file__).resolve().parent.parent
    program = tmp_path_factory.mktemp("native") / name
    # Neither the compiler nor the checker is built with the sanitizers some runs preload.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    source = root / "tests" / "native" / f"{name}.cpp"
    subprocess.run(
        [compiler, "-std=c++20", "-O1", *flags, f"-I{root / 'src'}", str(source), "-o", str(program)],
        check=True,
        env=env,
    )
    return program, env


def assert_same_bits_on_both_vector_paths(module, digest):
    """`module.digest()` (a test module's digest of its searches' answers) is the same on the
    baseline path (ORNEL_DISABLE_AVX2=1), on the AVX2 path, and in this process."""

    def digest_with(disable):
        env = dict(os.environ, ORNEL_DISABLE_AVX2=disable)
        script = f"import {module.__name__} as t; print(t.{digest.__name__}())"
        here = Path(__file__).resolve().parent
        done = subprocess.run(
            [sys.executable, "-c", script], cwd=here, env=env, capture_output=True, text=True, timeout=300
        )
        assert done.returncode == 0, done.stderr
        return done.stdout.strip()

    baseline = digest_with("1")
    assert len(baseline) == 64
    assert digest_with("0") == baseline
    assert digest() == baseline
