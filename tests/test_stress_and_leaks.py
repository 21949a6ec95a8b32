"""Every entry point under thread stress, and thousands of calls without leaks.

The same mix of calls serves both: successful and failing calls of every entry point, on
shared prepared targets and grouped query sets. Under 16 threads each call must give what it
gives single-threaded; over thousands of calls no live object, Python allocation or resident
memory may accumulate.
"""

import ctypes
import gc
import os
import sys
import threading
import tracemalloc

import _ornel
import numpy as np
from conftest import is_panic, run_threads
from fuzz_inputs import watchdog
from scipy.spatial import Delaunay

from ornel import delaunay_graph

THREADS = 16
CALLS_PER_THREAD = 300


def fingerprint(value):
    """What a call gave, comparable bit for bit: arrays by dtype, shape and bytes; objects by
    their attributes; failures by type, message and notes."""
    if isinstance(value, BaseException):
        return ("raised", type(value).__name__, str(value), tuple(getattr(value, "__notes__", ())))
    if isinstance(value, tuple):
        return tuple(fingerprint(v) for v in value)
    if isinstance(value, np.ndarray):
        assert value.flags.c_contiguous
        return (value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, (_ornel.PreparedF32, _ornel.PreparedF64)):
        return (repr(value), fingerprint(value.data))
    if isinstance(value, (_ornel.GroupedQueriesF32, _ornel.GroupedQueriesF64)):
        return (repr(value), fingerprint(value.offsets), fingerprint(value.perm))
    raise AssertionError(f"unexpected result {value!r}")


def outcome(call):
    try:
        return call()
    except BaseException as error:
        if not (is_panic(error) or isinstance(error, (TypeError, OverflowError, MemoryError))):
            raise
        return error


def graph_of(points):
    return delaunay_graph(points.astype(np.float64))


def precision_calls(rng, dtype, Prepared, Grouped, join, join_k):
    """Calls of every entry point of one precision, successful and failing, over shared operands."""
    target_points = rng.random((1500, 3)).astype(dtype)
    target_graph = graph_of(target_points)
    target = Prepared(target_points, *target_graph)
    query_points = [(rng.random((n, 3)) * 1.2 - 0.1).astype(dtype) for n in (700, 300, 50)]
    query_graphs = [graph_of(p) for p in query_points]
    queries = [Prepared(p, *g) for p, g in zip(query_points, query_graphs)]
    perms = [rng.permutation(len(p)).astype(np.int64) for p in query_points]
    target_perm = rng.permutation(len(target_points)).astype(np.int64)
    grouped = Grouped.prepare(queries, [perms[0], None, perms[2]])

    broken_neighbours = target_graph[1].copy()
    broken_neighbours[len(broken_neighbours) // 2] = 10**6
    broken = Prepared(target_points, target_graph[0], broken_neighbours)
    strided_offsets = np.repeat(query_graphs[0][0], 2)[::2]
    x, (x_offsets, x_neighbours) = query_points[0], query_graphs[0]

    return [
        lambda: join(x, x_offsets, x_neighbours, target_points, *target_graph),
        lambda: join(x, x_offsets, x_neighbours, target_points, target_graph[0], broken_neighbours),
        lambda: join(x, strided_offsets, x_neighbours, target_points, *target_graph),
        lambda: join(x.astype(np.float16), x_offsets, x_neighbours, target_points, *target_graph),
        lambda: Prepared(query_points[1], *query_graphs[1]),
        lambda: Prepared(query_points[1][:, :2], *query_graphs[1]),
        lambda: target.query(x, x_offsets, x_neighbours),
        lambda: target.query(x, x_offsets, x_neighbours, 0.02),
        lambda: target.query(x, x_offsets[:-5], x_neighbours, 0.5),
        lambda: target.query(x[::-1], x_offsets, x_neighbours[: len(x_neighbours) // 2]),
        lambda: target.query_prepared(queries[0]),
        lambda: target.query_prepared(queries[1], distance_upper_bound=0.03),
        lambda: target.query_prepared(target),
        lambda: broken.query_prepared(queries[0]),
        lambda: target.query_prepared(grouped),
        lambda: target.query_prepared_blocked(queries[0]),
        lambda: target.query_prepared_blocked(queries[0], 32, 0.03),
        lambda: broken.query_prepared_blocked(queries[1], 4),
        lambda: target.query_prepared_blocked(queries[2], -1),
        lambda: target.query_grouped(grouped, target_perm),
        lambda: target.query_grouped(grouped, None, 8, 0.05, False),
        lambda: target.query_grouped(grouped, target_perm[:100]),
        lambda: target.query_grouped(grouped, np.repeat(target_perm, 2)[::2]),
        lambda: broken.query_grouped(grouped, None),
        lambda: Grouped.prepare(queries, [perms[0], None, perms[2]]),
        lambda: Grouped.prepare(queries[::-1], [None, None]),
        lambda: Grouped.prepare(queries, [np.repeat(perms[0], 2)[::2]]),
        lambda: Grouped.prepare("abc", []),
        lambda: (target.data, grouped.offsets, grouped.perm, np.array([target.n, grouped.n_points, grouped.n_clouds])),
        lambda: join_k(x, x_offsets, x_neighbours, target_points, *target_graph, 4, 16),
        lambda: join_k(x, strided_offsets, x_neighbours, target_points, *target_graph, 1, 2),
        lambda: join_k(x, x_offsets, x_neighbours, target_points, target_graph[0], broken_neighbours, 3, 8),
        lambda: join_k(x, x_offsets, x_neighbours, target_points, *target_graph, 2**62, 8),
        lambda: target.query_k(x, x_offsets, x_neighbours, 3, 12, 0.04),
        lambda: target.query_k(x[:100], x_offsets, x_neighbours, 2, 2),
        lambda: target.query_k(x, x_offsets, x_neighbours, -3, 2),
        lambda: target.query_prepared_k(queries[1], 5, 20),
        lambda: target.query_prepared_k(queries[0], 2, 4, distance_upper_bound=0.02),
        lambda: broken.query_prepared_k(queries[2], 3, 9),
        lambda: target.query_prepared_k(queries[2], 1, 2**60),
    ]


def graph_calls(rng):
    simplices = Delaunay(rng.random((800, 3))).simplices.astype(np.uint64)
    bad = simplices.copy()
    bad[len(bad) // 2, 2] = 800
    return [
        lambda: _ornel.graph_from_simplices(simplices, 800),
        lambda: _ornel.graph_from_simplices(simplices[::-2], 900),
        lambda: _ornel.graph_from_simplices(bad, 800),
        lambda: _ornel.graph_from_simplices(simplices[:, :3], 800),
        lambda: _ornel.graph_from_simplices(simplices, 2**32),
        lambda: _ornel.graph_from_simplices(simplices.astype(np.int64), 800),
        lambda: _ornel.graph_from_simplices(simplices, -1),
    ]


def all_calls(seed=20261208):
    rng = np.random.default_rng(seed)
    return (
        precision_calls(
            rng,
            np.float32,
            _ornel.PreparedF32,
            _ornel.GroupedQueriesF32,
            _ornel.all_nearest_neighbours_f32,
            _ornel.all_nearest_neighbours_k_f32,
        )
        + precision_calls(
            rng,
            np.float64,
            _ornel.PreparedF64,
            _ornel.GroupedQueriesF64,
            _ornel.all_nearest_neighbours,
            _ornel.all_nearest_neighbours_k,
        )
        + graph_calls(rng)
    )


def test_every_call_mix_gives_single_threaded_results_under_16_threads():
    calls = all_calls()
    outcomes = [outcome(call) for call in calls]
    failing = sum(isinstance(o, BaseException) for o in outcomes)
    assert 0 < failing < len(calls), "the mix holds successful and failing calls"
    expected = [fingerprint(o) for o in outcomes]
    del outcomes

    start = threading.Barrier(THREADS)
    mismatches, done = [], []

    def work(seed):
        order = np.random.default_rng(seed).integers(0, len(calls), size=CALLS_PER_THREAD)
        start.wait()
        for i in order:
            got = fingerprint(outcome(calls[i]))
            if got != expected[i]:
                mismatches.append((seed, int(i)))
        done.append(len(order))

    with watchdog():
        run_threads(work, THREADS)
    assert mismatches == []
    assert sum(done) == THREADS * CALLS_PER_THREAD


def test_tetrahedra_changed_while_being_read_never_spoil_the_build():
    """Callers must not change an input while a call reads it; if one does anyway, the graph
    builder, which reads the tetrahedra several times, either answers with a well-formed graph
    (rows ascending, ids in range, every edge in both rows) or stops with a PanicException."""
    rng = np.random.default_rng(5)
    n = 3000
    pristine = Delaunay(rng.random((n, 3))).simplices.astype(np.uint64)
    simplices = pristine.copy()
    stop = threading.Event()

    def meddle():
        meddler = np.random.default_rng(6)
        while not stop.is_set():
            rows = meddler.integers(0, len(simplices), size=64)
            simplices[rows] = meddler.integers(0, n, size=(64, 4), dtype=np.uint64)
            simplices[rows] = pristine[rows]

    meddler = threading.Thread(target=meddle)
    meddler.start()
    outcomes = []
    try:
        with watchdog():
            for _ in range(150):
                result = outcome(lambda: _ornel.graph_from_simplices(simplices, n))
                if isinstance(result, BaseException):
                    assert is_panic(result), result
                    outcomes.append(str(result))
                    continue
                indptr, indices = result
                assert indptr.shape == (n + 1,) and indices.shape == (int(indptr[-1]),)
                rows = np.repeat(np.arange(n, dtype=np.int64), np.diff(indptr.astype(np.int64)))
                keys = rows * n + indices
                assert (np.diff(keys) > 0).all() and (indices < n).all()
                assert np.array_equal(np.sort(indices.astype(np.int64) * n + rows), keys), "an edge in one row only"
                outcomes.append("graph")
    finally:
        stop.set()
        meddler.join()
    assert len(outcomes) == 150


# --- leaks -----------------------------------------------------------------------------------

ROUNDS = 60


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def heap_in_use():
    """Bytes the C allocator has handed out and not had back (every arena, mapped blocks
    included): the module's buffers and NumPy's array memory, exactly. None where the C
    library cannot tell."""
    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2 is None:
        return None
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def live_exceptions():
    return sum(isinstance(o, BaseException) for o in gc.get_objects())


def run_rounds(calls, rounds):
    for _ in range(rounds):
        for call in calls:
            outcome(call)


def test_thousands_of_calls_leave_nothing_behind():
    calls = all_calls()
    # Every object a call takes or makes whose count of references tells whether something
    # still holds it: the classes (each instance refers to its class), the result holder
    # class, the shared operands and input arrays reachable from the calls.
    sample = calls[0]()
    watched = [
        type(sample[0].base),
        _ornel.PreparedF32,
        _ornel.PreparedF64,
        _ornel.GroupedQueriesF32,
        _ornel.GroupedQueriesF64,
    ]
    watched += [
        cell.cell_contents
        for call in calls
        for cell in call.__closure__ or ()
        if isinstance(
            cell.cell_contents,
            (np.ndarray, _ornel.PreparedF32, _ornel.PreparedF64, _ornel.GroupedQueriesF32, _ornel.GroupedQueriesF64),
        )
    ]
    del sample

    run_rounds(calls, 3)  # caches, lazily created types, first-call allocations
    gc.collect()
    references = [sys.getrefcount(o) for o in watched]
    blocks, exceptions = sys.getallocatedblocks(), live_exceptions()
    heap, resident = heap_in_use(), resident_bytes()

    run_rounds(calls, ROUNDS)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == references
    assert live_exceptions() == exceptions
    # A leaked object per call would be thousands of blocks; allow a little noise.
    assert sys.getallocatedblocks() - blocks < 200
    # The sanitizer's allocator keeps freed memory in quarantine and answers for itself;
    # LeakSanitizer checks the module's memory there.
    if not under_address_sanitizer():
        # Each round makes about 0.4 MB of results and working buffers; a leak of even 16
        # bytes per call would show.
        if heap is not None:
            assert heap_in_use() - heap < 64 * 1024, "the C heap grew"
        assert resident_bytes() - resident < 64 * 2**20, "resident memory grew"

    tracemalloc.start()
    try:
        run_rounds(calls, 2)
        gc.collect()
        before = tracemalloc.take_snapshot()
        run_rounds(calls, 10)
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    growth = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
    assert growth < 64 * 1024, f"traced Python memory grew by {growth} bytes"
