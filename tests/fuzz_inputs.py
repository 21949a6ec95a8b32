"""Hypothesis strategies for malformed input, and the check that a call answered or refused cleanly.

Shared by test_fuzz.py and test_stress_and_leaks.py. The strategies draw the structure of an
input (sizes, which graph, which faults, which memory layout) and a seed for the bulk of its
values, so examples stay cheap while the shapes, faults and layouts still shrink.
"""

import contextlib
import faulthandler
import os
import re
import sys

import conftest
import numpy as np
from hypothesis import event
from hypothesis import strategies as st
from scipy.spatial import Delaunay

# A call that runs longer than this is taken for a hang: every thread's stack is dumped and
# the process exits, which fails the run. Far above any legitimate call, also under the
# sanitizers.
CALL_TIMEOUT = float(os.environ.get("ORNEL_FUZZ_CALL_TIMEOUT", "120"))

REFUSALS = (TypeError, OverflowError, MemoryError)

# Coordinates that are awkward for a search: non-finite, extreme, subnormal, signed zero.
SPECIAL_COORDINATES = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1e308, -1e308, 3.4e38, -3.4e38, 5e-324, 1e-40]

# Indices and offsets just inside, at and beyond the limits a graph can break.
LIMIT_INDICES = [2**31 - 1, 2**31, 2**32 - 2, 2**32 - 1]


@contextlib.contextmanager
def watchdog(seconds=CALL_TIMEOUT):
    """Ends the process, with every thread's stack on stderr, if the block runs too long."""
    report = conftest.terminal_stderr if conftest.terminal_stderr is not None else sys.__stderr__
    faulthandler.dump_traceback_later(seconds, exit=True, file=report)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


def attempt(function, *args, **kwargs):
    """Calls function; returns (result, None) or (None, error) for an allowed refusal.

    Anything else (another exception type, a PanicException without a message) propagates
    and fails the test; a crash or a hang ends the process.
    """
    with watchdog():
        try:
            result = function(*args, **kwargs)
        except REFUSALS as error:
            event(f"refused: {type(error).__name__}")
            return None, error
        except BaseException as error:
            if not conftest.is_panic(error):
                raise
            assert str(error), "a PanicException without a message"
            event("panic: " + re.sub(r"\d+", "N", str(error)))
            return None, error
    event("answered")
    return result, None


# --- values ---------------------------------------------------------------------------------


def rng_from(draw):
    return np.random.default_rng(draw(st.integers(0, 2**32 - 1)))


@st.composite
def point_content(draw, rows=None):
    """An (n, c) float64 array: grid values (many ties) or uniform ones, plus a few special
    coordinates. c is 3 most of the time, sometimes more (ignored columns) or fewer (refused)."""
    if rows is None:
        rows = draw(st.integers(0, 12) | st.integers(13, 80))
    columns = draw(st.sampled_from([3] * 12 + [4, 5, 2, 1, 0]))
    rng = rng_from(draw)
    if draw(st.booleans()):
        values = rng.integers(-2, 3, size=(rows, columns)).astype(np.float64)
    else:
        values = rng.uniform(-1.0, 1.0, size=(rows, columns)) * draw(st.sampled_from([1.0, 1e-30, 1e30]))
    flat = values.reshape(-1)
    for position, value in draw(
        st.lists(st.tuples(st.integers(0, 2**20), st.sampled_from(SPECIAL_COORDINATES)), max_size=3)
    ):
        if flat.size:
            flat[position % flat.size] = value
    return values


def as_precision(values, dtype):
    with np.errstate(over="ignore"):
        return values.astype(dtype)


def csr_from_lists(rows):
    offsets = np.zeros(len(rows) + 1, np.uint32)
    offsets[1:] = np.cumsum([len(r) for r in rows], dtype=np.uint64).astype(np.uint32)
    neighbours = np.array([v for r in rows for v in r], dtype=np.uint32)
    return offsets, neighbours


def delaunay_csr(points):
    """The Delaunay vertex adjacency of finite points in general position, else None."""
    if len(points) < 5 or points.shape[1] < 3 or not np.isfinite(points[:, :3]).all():
        return None
    try:
        indptr, indices = Delaunay(points[:, :3]).vertex_neighbor_vertices
    except Exception:  # degenerate (flat, repeated) points have no tetrahedralisation
        return None
    return indptr.astype(np.uint32), indices.astype(np.uint32)


def index_values(n):
    return st.integers(0, n + 2) | st.sampled_from(LIMIT_INDICES) | st.integers(0, 2**32 - 1)


@st.composite
def graph_content(draw, n, points=None):
    """Contiguous CSR content (offsets, neighbours) for n points: a sound graph (Delaunay,
    random symmetric, edgeless) or arbitrary words, then a few faults: entries overwritten
    with indices out of range or decreasing offsets, arrays cut short or emptied."""
    rng = rng_from(draw)
    kind = draw(st.sampled_from(["delaunay", "symmetric", "symmetric", "edgeless", "arbitrary"]))
    graph = delaunay_csr(points) if kind == "delaunay" and points is not None else None
    if graph is None and kind != "arbitrary":
        rows = [set() for _ in range(n)]
        if kind != "edgeless" and n > 1:
            for _ in range(int(rng.integers(0, 4 * n))):
                a, b = (int(v) for v in rng.integers(0, n, size=2))
                rows[a].add(b)
                rows[b].add(a)
        graph = csr_from_lists([sorted(r) for r in rows])
    if graph is None:
        length = draw(st.integers(0, n + 3))
        graph = (
            np.sort(rng.integers(0, 3 * n + 2, size=length)).astype(np.uint32),
            rng.integers(0, n + 2, size=int(rng.integers(0, 3 * n + 2))).astype(np.uint32),
        )
    offsets, neighbours = (a.copy() for a in graph)

    faults = st.one_of(
        st.tuples(st.just("offset"), st.integers(0, 2**20), index_values(n)),
        st.tuples(st.just("neighbour"), st.integers(0, 2**20), index_values(n)),
        st.tuples(st.just("cut offsets"), st.integers(0, 2**20)),
        st.tuples(st.just("cut neighbours"), st.integers(0, 2**20)),
        st.tuples(st.just("reverse offsets")),
    )
    for fault in draw(st.lists(faults, min_size=1, max_size=3)) if draw(st.booleans()) else []:
        if fault[0] == "offset" and len(offsets):
            offsets[fault[1] % len(offsets)] = fault[2]
        elif fault[0] == "neighbour" and len(neighbours):
            neighbours[fault[1] % len(neighbours)] = fault[2]
        elif fault[0] == "cut offsets":
            offsets = offsets[: fault[1] % (len(offsets) + 1)]
        elif fault[0] == "cut neighbours":
            neighbours = neighbours[: fault[1] % (len(neighbours) + 1)]
        elif fault[0] == "reverse offsets":
            offsets = offsets[::-1].copy()
        event(f"graph fault: {fault[0]}")
    event(f"graph: {kind}")
    return offsets, neighbours


# --- memory layouts ----------------------------------------------------------------------------


class SubArray(np.ndarray):
    pass


LAYOUTS = [
    "contiguous",
    "contiguous",
    "contiguous",
    "fortran",
    "reversed",
    "every-second",
    "unaligned",
    "read-only",
    "broadcast",
    "subclass",
]


def lay_out(array, layout):
    """The same content in another memory layout (broadcast repeats the first element or row)."""
    if layout == "fortran":
        return np.asfortranarray(array)
    if layout == "reversed":  # negative strides on every axis
        flipped = array[(slice(None, None, -1),) * array.ndim].copy()
        return flipped[(slice(None, None, -1),) * array.ndim]
    if layout == "every-second":
        wide = np.zeros((2 * array.shape[0],) + array.shape[1:], array.dtype)
        wide[::2] = array
        return wide[::2]
    if layout == "unaligned":
        raw = np.zeros(array.nbytes + 1, np.uint8)
        view = raw[1:].view(array.dtype).reshape(array.shape)
        view[...] = array
        return view
    if layout == "read-only":
        copy = array.copy()
        copy.flags.writeable = False
        return copy
    if layout == "broadcast" and array.shape[0] > 0:
        return np.broadcast_to(array[:1], array.shape)
    if layout == "subclass":
        return array.view(SubArray)
    return np.ascontiguousarray(array)


@st.composite
def laid_out(draw, array, layouts=LAYOUTS):
    layout = draw(st.sampled_from(layouts))
    event(f"layout: {layout}")
    return lay_out(array, layout)


def spoil(value, how):
    """A wrong argument in place of an array: another type, element type, rank or byte order."""
    array = np.asarray(value)
    if how == "none":
        return None
    if how == "list":
        return array.tolist()
    if how == "scalar":
        return 3
    if how == "zero-dim":
        return np.array(array.reshape(-1)[:1].reshape(()) if array.size else 0, array.dtype)
    if how == "rank+1":
        return array[None]
    if how == "rank-1":
        return array.reshape(-1) if array.ndim > 1 else array.reshape(-1, 1)
    if how == "byte-swapped":
        return array.astype(array.dtype.newbyteorder())
    conversions = {
        "int64": np.int64,
        "uint64": np.uint64,
        "int32": np.int32,
        "float16": np.float16,
        "float32": np.float32,
        "float64": np.float64,
        "bool": np.bool_,
        "object": object,
    }
    with np.errstate(all="ignore"):
        return array.astype(conversions[how])


SPOILS = [
    "none",
    "list",
    "scalar",
    "zero-dim",
    "rank+1",
    "rank-1",
    "byte-swapped",
    "int64",
    "uint64",
    "int32",
    "float16",
    "float32",
    "float64",
    "bool",
    "object",
]


@st.composite
def spoiled(draw, arguments):
    """Mostly the arguments as they are; sometimes one of them replaced by a wrong one."""
    arguments = list(arguments)
    if arguments and draw(st.integers(0, 9)) == 0:
        which = draw(st.integers(0, len(arguments) - 1))
        how = draw(st.sampled_from(SPOILS))
        arguments[which] = spoil(arguments[which], how)
        event(f"spoiled: {how}")
    return arguments


# --- scalars -------------------------------------------------------------------------------


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


distance_bounds = st.one_of(
    st.none(),
    st.floats(),
    st.sampled_from(
        [0.0, -0.0, 0.5, -0.5, 1.0, 1e-300, 5e-324, 1e300, 3.5e38, -3.5e38, float("inf"), float("-inf"), float("nan")]
    ),
    st.integers(-5, 5),
    st.sampled_from([10**400, -(10**400)]),  # OverflowError in the float conversion
    st.sampled_from([np.float32(0.25), np.float64("nan"), np.int64(2), FloatLike(0.75), FloatLike(float("nan")), True]),
    st.sampled_from(["0.5", b"1", [1.0], 1j, object()]),  # TypeError
)

small_counts = st.integers(0, 40)

unsigned_counts = st.one_of(
    small_counts,
    st.sampled_from([2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1]),
    st.sampled_from([2**64, 2**70, -1, -(2**63)]),  # OverflowError
    st.sampled_from([np.uint64(3), np.int8(2), np.int64(-1), IndexLike(5), IndexLike(-1), True, np.array(4)]),
    st.sampled_from([3.0, "3", None, [3], np.float64(3.0)]),  # TypeError
)

flags = st.sampled_from([True, False, np.bool_(True), np.bool_(False), 1, 0, None, "yes", 1.0])


@st.composite
def permutation(draw, n):
    """None, a proper permutation of range(n), or a malformed one: short, out of range,
    negative, repeated, strided, of the wrong type."""
    kind = draw(
        st.sampled_from(
            [
                "none",
                "proper",
                "proper",
                "short",
                "long",
                "out of range",
                "negative",
                "repeated",
                "strided",
                "wrong type",
            ]
        )
    )
    event(f"perm: {kind}")
    if kind == "none":
        return None
    perm = rng_from(draw).permutation(n).astype(np.int64)
    if kind == "short":
        return perm[: draw(st.integers(0, max(n - 1, 0)))].copy()
    if kind == "long":
        return np.concatenate([perm, np.arange(n, n + draw(st.integers(1, 3)), dtype=np.int64)])
    if kind == "out of range" and n:
        perm[draw(st.integers(0, n - 1))] = draw(st.sampled_from([n, n + 1, 2**62, 2**63 - 1]))
    if kind == "negative" and n:
        perm[draw(st.integers(0, n - 1))] = draw(st.sampled_from([-1, -(2**63)]))
    if kind == "repeated" and n > 1:
        perm[draw(st.integers(1, n - 1))] = perm[0]
    if kind == "strided":
        return lay_out(perm, "every-second")
    if kind == "wrong type":
        return spoil(perm, draw(st.sampled_from(["int32", "uint64", "float64", "list", "rank+1"])))
    return draw(laid_out(perm)) if kind == "proper" else perm


# --- checking results --------------------------------------------------------------------------


def squared_distances(dtype, queries, targets):
    """(dx² + dy²) + dz² in dtype, the grouping every search uses."""
    with np.errstate(all="ignore"):
        d = np.asarray(targets, dtype)[:, :3] - np.asarray(queries, dtype)[:, :3]
        return (d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2]


def check_pair(result, dtype, rows, columns=None):
    """A (dists, idx) tuple of new C-contiguous, writeable arrays of the given shape."""
    assert type(result) is tuple and len(result) == 2
    shape = (rows,) if columns is None else (rows, columns)
    for array, expected in zip(result, (np.dtype(dtype), np.dtype(np.uint64))):
        assert type(array) is np.ndarray
        assert array.dtype == expected and array.shape == shape
        assert array.flags.c_contiguous and array.flags.writeable and array.flags.owndata is False
        assert type(array.base).__name__ == "PySliceContainer"
    return result


def check_answers(dists, idx, dtype, queries, targets, bound=None, squared_bound_test=False):
    """Every answer is a real target point at the reported distance, or the miss marker (inf,
    number of targets); with a bound r, no answer lies beyond it (s * s > r * r for a reported
    distance s, or d² > r * r with squared_bound_test). Catches answers read from memory that
    the call does not own, which need not crash."""
    nt = len(targets)
    if dists.ndim == 1:
        dists, idx = dists[:, None], idx[:, None]
    assert (idx <= nt).all(), f"an index beyond the miss marker {nt}"
    hit = idx < nt
    assert np.isposinf(dists[~hit]).all(), "a miss without an infinite distance"
    rows, columns = np.nonzero(hit)
    if len(rows) == 0:
        return
    chosen = np.asarray(targets)[idx[rows, columns].astype(np.intp)]
    d2 = squared_distances(dtype, np.asarray(queries)[rows], chosen)
    found = dists[rows, columns]
    with np.errstate(all="ignore"):
        np.testing.assert_array_equal(found, np.sqrt(d2))
        if bound is not None:
            r = np.asarray(bound, dtype)
            beyond = d2 > r * r if squared_bound_test else found * found > r * r
            assert not beyond.any(), "an answer beyond the bound"
