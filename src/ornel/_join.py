"""Nearest-neighbour joins of clouds: one pair, or every cloud against every other."""

from __future__ import annotations

import math
import queue
import threading
from collections import Counter
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import Executor, ThreadPoolExecutor
from functools import partial
from typing import Any, TypeVar, cast

import _ornel
import numpy as np
import numpy.typing as npt

from ornel import _read_ahead as read_ahead
from ornel._cloud import Cloud, Frame, Precision, Prepared, as_cloud, bounding_box, check_precision
from ornel._defaults import default_threads
from ornel._errors import CloudError
from ornel._matrix import Matrix
from ornel._native import grid_nearest, grid_nearest_built, grid_search_finish, nearest_from_starts
from ornel._planner import IndexKind, check_index, choose
from ornel._progress import progress_bar

Grouped = _ornel.GroupedQueriesF32 | _ornel.GroupedQueriesF64
# A pair's nearest points (query, target) -> the target's point for each query point, in
# their spatial orders; None until searched.
Answers = dict[tuple[Cloud, Cloud], npt.NDArray[np.uint32] | None]
T = TypeVar("T")
# How often a waiting main thread wakes up to notice Ctrl-C.
POLL_SECONDS = 0.2
# A squared distance above this has no float32 distance.
FLOAT32_MAX_SQUARED = float(np.finfo(np.float32).max) ** 2
# The largest coordinate span whose squared distances (three axes) fit double precision.
FLOAT64_MAX_SPAN = math.sqrt(float(np.finfo(np.float64).max) / 3)


def check_double_span(a: Cloud, b: Cloud, boxes: dict[int, tuple[Any, Any]] | None = None) -> None:
    """Refuses a pair whose squared distances would overflow double precision (and so
    come out infinite) rather than report them. `boxes` keeps each cloud's bounding box
    for the other pairs of a tile."""
    # No axis spans more than all the coordinates do: the boxes are needed only beyond that.
    ranges = [c.coordinate_range for c in (a, b)]
    if max(high for _, high in ranges) - min(low for low, _ in ranges) <= FLOAT64_MAX_SPAN:
        return
    boxes = {} if boxes is None else boxes
    (a_lo, a_hi), (b_lo, b_hi) = (boxes.get(id(c)) or boxes.setdefault(id(c), bounding_box(c.points)) for c in (a, b))
    lo, hi = np.minimum(a_lo, b_lo), np.maximum(a_hi, b_hi)
    with np.errstate(over="ignore"):
        span = float(np.max(hi - lo))
    if not span <= FLOAT64_MAX_SPAN:
        raise CloudError(
            a.source,
            f"coordinates too far from those of {b.source} (spans beyond "
            f"{FLOAT64_MAX_SPAN:.3g}): squared distances overflow double precision; scale both clouds down",
        )


class QuerySet:
    """Query clouds gathered to be searched against targets of one precision and one
    single-precision frame: the grouped set that the fast descent runs over, and what
    turns its answers (in the set's own spatial order) into each query cloud's.

    Answers are put back in each cloud's own point order before they are reduced, so a
    cloud's mean is summed in the same order whichever clouds share its set."""

    def __init__(self, queries: Sequence[Cloud], precision: Precision, frame: Frame | None) -> None:
        operands: list[Prepared] = []
        stored_orders: list[npt.NDArray[np.int64] | None] = []
        # Each query as the search rounds it (measured from the frame in single precision).
        coords = [q.coordinates(precision, frame=frame) for q in queries]
        for query, points in zip(queries, coords):
            built = query.cached_prepared(precision) if precision == "f64" or query.frame == frame else None
            if built is not None:
                operands.append(built)
                stored_orders.append(query.order)
            else:
                # The grouped set sorts its points itself and never reads a query's graph,
                # so a cloud used only as a query is packed with an empty graph.
                no_edges = np.zeros(len(points) + 1, np.uint32), np.zeros(0, np.uint32)
                operands.append(
                    _ornel.PreparedF32(points, *no_edges)
                    if precision == "f32"
                    else _ornel.PreparedF64(points, *no_edges)
                )
                stored_orders.append(None)
        self.grouped = _grouped(operands, stored_orders, precision)
        self.offsets = np.asarray(self.grouped.offsets, dtype=np.intp)
        stored_to_position = np.concatenate(
            [np.zeros(0, np.intp)]
            + [
                start + (np.arange(len(q), dtype=np.intp) if order is None else order)
                for start, q, order in zip(self.offsets, queries, stored_orders)
            ]
        )
        # Spatial position in the set -> the point's position in its cloud's own order.
        self.position = stored_to_position[self.grouped.perm.astype(np.intp)]
        # For single precision, the rounded queries in double precision and in the set's
        # order: what the exact walk measures from (a cloud against itself gives 0).
        self.exact: npt.NDArray[np.float64] | None = None
        if precision == "f32" and len(self.position):
            self.exact = np.ascontiguousarray(np.concatenate(coords)[self.position], dtype=np.float64)

    def search(
        self, target: Cloud, precision: Precision
    ) -> tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.uint64]]:
        """Every query point's nearest point of `target`: distances and the target's
        internal (sorted) indices, in the queries' own order, cloud after cloud."""
        prepared = target.prepared(precision)
        dists: npt.NDArray[np.floating[Any]]
        idx: npt.NDArray[np.unsignedinteger[Any]]
        if isinstance(prepared, _ornel.PreparedF32) and isinstance(self.grouped, _ornel.GroupedQueriesF32):
            dists, idx = prepared.query_grouped(self.grouped, None, finalize=False)
        elif isinstance(prepared, _ornel.PreparedF64) and isinstance(self.grouped, _ornel.GroupedQueriesF64):
            dists, idx = prepared.query_grouped(self.grouped, None, finalize=False)
        else:
            raise TypeError("target and query set of different precisions")
        if self.exact is not None:
            dists, idx = _finish_single(target, self.exact, idx)
        ordered_dists = np.empty_like(dists)
        ordered_dists[self.position] = dists
        ordered_idx = np.empty(len(idx), np.uint64)
        ordered_idx[self.position] = idx
        return ordered_dists, ordered_idx


class _OneByOne:
    """Query clouds searched one by one, each in its own spatial order: where a grouped set
    would serve few targets or hold one cloud, building it costs more than it saves.

    Single precision walks each cloud's points, rounded as the target's frame has them,
    in double over the target's graph, each from the answer of the point before it: the
    exact walk that finishes a grouped search's answers, here from other starts, so the
    same answers (the walk is exact from any start) without the float32 walk before it
    and without packing anything. Double precision searches each cloud walked over its
    own graph (any precision's: it only seeds each walk from a neighbour's answer), so
    every query needs one. Answers come back as `QuerySet.search` gives them."""

    def __init__(
        self, queries: Sequence[Cloud], precision: Precision, frame: Frame | None, answers: Answers | None = None
    ) -> None:
        self._queries, self._precision, self._frame = queries, precision, frame
        self._answers = answers
        self._lock = threading.Lock()
        self._operands: dict[int, Prepared | npt.NDArray[np.float64]] = {}

    def _operand(self, k: int) -> Prepared | npt.NDArray[np.float64]:
        """Query k as searched: single precision, its sorted points rounded as measured from
        the frame, in double; double precision, prepared with its own graph."""
        with self._lock:
            found = self._operands.get(k)
        if found is not None:
            return found
        query = self._queries[k]
        operand: Prepared | npt.NDArray[np.float64]
        if self._precision == "f32":
            points = (
                query.sorted_coordinates("f32")
                if query.frame == self._frame
                else query.coordinates("f32", query.order, frame=self._frame)
            )
            operand = np.asarray(points, dtype=np.float64)
        else:
            graph = query.cached_graph("f64") or query.cached_graph("f32")
            assert graph is not None  # chosen only for queries that have a graph
            operand = query.cached_prepared("f64") or _ornel.PreparedF64(query.sorted_coordinates("f64"), *graph)
        with self._lock:
            return self._operands.setdefault(k, operand)

    def search(
        self, target: Cloud, precision: Precision
    ) -> tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.uint64]]:
        dists_parts: list[npt.NDArray[np.floating[Any]]] = []
        idx_parts: list[npt.NDArray[np.uint64]] = []
        for k, query in enumerate(self._queries):
            operand = self._operand(k)
            dists: npt.NDArray[np.floating[Any]]
            idx: npt.NDArray[np.unsignedinteger[Any]]
            if isinstance(operand, np.ndarray):
                answers = self._answers
                # The target searched against this query before: each of its points starts
                # the walk of a query point it is nearest to.
                reverse = None if answers is None else answers.pop((target, query), None)
                starts = None if reverse is None else reciprocal_starts(reverse, len(query))
                dists, idx = _finish_single(target, operand, starts)
                if answers is not None and (query, target) in answers:
                    answers[(query, target)] = idx
            else:
                prepared = target.prepared("f64")
                assert isinstance(prepared, _ornel.PreparedF64) and isinstance(operand, _ornel.PreparedF64)
                dists, idx = prepared.query_prepared(operand)
            order = query.order
            ordered_dists = np.empty_like(dists)
            ordered_dists[order] = dists
            ordered_idx = np.empty(len(idx), np.uint64)
            ordered_idx[order] = idx
            dists_parts.append(ordered_dists)
            idx_parts.append(ordered_idx)
        if not dists_parts:
            return np.zeros(0, np.float32 if precision == "f32" else np.float64), np.zeros(0, np.uint64)
        return np.concatenate(dists_parts), np.concatenate(idx_parts)


def reciprocal_starts(reverse: npt.NDArray[np.uint32], size: int) -> npt.NDArray[np.uint32]:
    """Starts for the walks of a cloud's `size` points (in their spatial order) over a
    target, from the target's own answers against the cloud (`reverse[j]`: the point
    nearest to target point j): a target point to which a query point is nearest, else
    the start of the query point before it. Any start gives the same answers."""
    start = np.full(size, -1, np.int64)
    start[reverse] = np.arange(len(reverse))
    filled = np.where(start >= 0, np.arange(size), 0)
    np.maximum.accumulate(filled, out=filled)
    chosen = start[filled]
    chosen[chosen < 0] = 0
    return chosen.astype(np.uint32)


def _finish_single(
    target: Cloud, exact: npt.NDArray[np.float64], idx: npt.NDArray[Any] | None
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.uint32]]:
    """A float32 walk stops where every step changes d² by less than its rounding:
    walking on from its answers with d² in double ends at the nearest point. Without
    answers (`idx` None) the walk starts from the answer of the query before."""
    indptr, indices = target.graph("f32")
    squared, finished = nearest_from_starts(
        target.sorted_coordinates("f32"),
        indptr,
        indices,
        exact,
        None if idx is None else idx.astype(np.uint32),
        threads=1,
    )
    if len(squared) and not float(squared.max()) <= FLOAT32_MAX_SQUARED:
        raise CloudError(target.source, "distances too large for single precision; use double (f64)")
    return np.sqrt(squared).astype(np.float32), finished


# A grouped query set costs about as much to build as two or three searches of its
# points, and then searches several times faster than clouds searched one by one: it
# pays from three targets on, and never for a single query cloud.
GROUPED_FROM_TARGETS = 3


class QuerySets:
    """One query set per frame among the targets, built by the first search that needs
    it and dropped after the last, so that only the sets in use are held: a grouped set
    where it pays, else the queries searched one by one."""

    def __init__(
        self,
        queries: Sequence[Cloud],
        precision: Precision,
        frames: Sequence[Frame | None],
        answers: Answers | None = None,
    ) -> None:
        self._queries, self._precision, self._answers = queries, precision, answers
        self._lock = threading.Lock()
        self._users = Counter(frames)
        self._frame_locks = {frame: threading.Lock() for frame in self._users}
        self._sets: dict[Frame | None, QuerySet | _OneByOne] = {}
        self._targets = dict(self._users)
        # Double precision searches one by one over the queries' own graphs.
        self._graphs = precision == "f32" or all(
            q.cached_graph("f32") is not None or q.cached_graph("f64") is not None for q in queries
        )

    def one_by_one(self, frame: Frame | None) -> bool:
        """Whether the queries are searched one by one against the targets of `frame`."""
        return self._graphs and (len(self._queries) == 1 or self._targets[frame] < GROUPED_FROM_TARGETS)

    def search(
        self, target: Cloud, frame: Frame | None
    ) -> tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.uint64]]:
        with self._frame_locks[frame]:
            query_set = self._sets.get(frame)
            if query_set is None:
                query_set = self._sets[frame] = (
                    _OneByOne(self._queries, self._precision, frame, self._answers)
                    if self.one_by_one(frame)
                    else QuerySet(self._queries, self._precision, frame)
                )
        try:
            return query_set.search(target, self._precision)
        finally:
            with self._lock:
                self._users[frame] -= 1
                if self._users[frame] == 0:
                    self._sets.pop(frame, None)


def _grouped(
    queries: Sequence[Prepared], perms: Sequence[npt.NDArray[np.int64] | None], precision: Precision
) -> Grouped:
    # Every operand was prepared in `precision`.
    if precision == "f32":
        return _ornel.GroupedQueriesF32.prepare(cast(list[_ornel.PreparedF32], list(queries)), perms)
    return _ornel.GroupedQueriesF64.prepare(cast(list[_ornel.PreparedF64], list(queries)), perms)


def run(executor: Executor | None, calls: Iterable[Callable[[], T]], on_done: Callable[[], object]) -> list[T]:
    """Runs the calls (in `executor` if given) and returns their results in order.

    The waiting thread wakes up regularly, so Ctrl-C is answered between calls: calls
    not yet started are cancelled, running ones finish, and the interrupt propagates."""
    calls = list(calls)
    if executor is None:
        results = []
        for call in calls:
            results.append(call())
            on_done()
        return results
    # Each call announces its outcome on a queue, and calls not started when the work is
    # abandoned skip themselves: this thread never takes a future's lock. Waiting through
    # those locks (concurrent.futures.wait, add_done_callback, cancel) is unsafe under
    # Ctrl-C: an interrupt landing just after one is taken leaves it held by this thread,
    # and the worker finishing that future blocks for ever, and the pool's shutdown with it.
    finished: queue.SimpleQueue[tuple[int, BaseException | None, T | None]] = queue.SimpleQueue()
    abandoned = threading.Event()

    def attempt(k: int, call: Callable[[], T]) -> None:
        if abandoned.is_set():
            return
        try:
            finished.put((k, None, call()))
        except BaseException as error:
            finished.put((k, error, None))

    answers: list[T | None] = [None] * len(calls)
    try:
        for k, call in enumerate(calls):
            executor.submit(attempt, k, call)
        for _ in calls:
            while True:
                try:
                    k, error, result = finished.get(timeout=POLL_SECONDS)
                    break
                except queue.Empty:
                    continue
            if error is not None:
                raise error  # a failure now rather than after every other call
            answers[k] = result
            on_done()
    except BaseException:
        abandoned.set()
        raise
    return cast(list[T], answers)


def grid_coordinates(cloud: Cloud, precision: Precision, frame: Frame | None) -> npt.NDArray[Any]:
    """A cloud's points as a grid search reads them: as given in double precision (the
    search measures in double whatever they are stored in), else rounded to single
    precision from `frame`, as the graph's searches have them."""
    return cloud.points if precision == "f64" else cloud.coordinates("f32", frame=frame)


def grid_search(
    target: Cloud, queries: npt.NDArray[Any], precision: Precision, threads: int | None
) -> tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.int64]]:
    """The nearest point of `target` (its row in `target.points`) for every row of
    `queries` (given by `grid_coordinates` for the target's frame), through a grid built
    for the call: distances in `precision`'s type, equal to the graph's searches'."""
    points = grid_coordinates(target, precision, target.frame if precision == "f32" else None)
    # The command may have built this very grid while its modules loaded (ornel._read_ahead).
    built = read_ahead.built_grid(points) if precision == "f64" else None
    # And may have begun searching it for these very queries on the core the imports left.
    ahead = read_ahead.search_ahead(built, queries) if built is not None else None
    if ahead is not None:
        squared, rows = grid_search_finish(ahead, threads=threads)
    elif built is not None:
        squared, rows = grid_nearest_built(built, queries, threads=threads)
    else:
        squared, rows = grid_nearest(points, queries, threads=threads)
    return grid_answers(target, squared, rows, precision)


def grid_search_cloud(
    target: Cloud, query: Cloud, precision: Precision, threads: int | None
) -> tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.int64]]:
    """`grid_search` for the points of one query cloud. In single precision the search
    itself rounds both clouds from the target's frame as it reads them: the same answers
    without a float32 copy of either."""
    if precision == "f64":
        return grid_search(target, query.points, precision, threads)
    origin = np.asarray(target.frame or (0.0, 0.0, 0.0), dtype=np.float64)
    try:
        squared, rows = grid_nearest(target.points, query.points, threads=threads, origin=origin)
    except ValueError:
        # A coordinate beyond single precision's range: the copies say whose.
        return grid_search(target, grid_coordinates(query, precision, target.frame), precision, threads)
    return grid_answers(target, squared, rows, precision)


def grid_answers(
    target: Cloud, squared: npt.NDArray[np.float64], rows: npt.NDArray[np.uint32], precision: Precision
) -> tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.int64]]:
    # The distances taken in place of the squares: no second array of them.
    if precision == "f64":
        return np.sqrt(squared, out=squared), rows.astype(np.int64)
    if len(squared) and not float(squared.max()) <= FLOAT32_MAX_SQUARED:
        raise CloudError(target.source, "distances too large for single precision; use double (f64)")
    return np.sqrt(squared, out=squared).astype(np.float32), rows.astype(np.int64)


def join_tile(
    targets: Sequence[Cloud],
    queries: Sequence[Cloud],
    *,
    precision: Precision = "f32",
    executor: Executor | None = None,
    threads: int | None = None,
    on_progress: Callable[[], object] = lambda: None,
    on_column: Callable[[int, npt.NDArray[np.float64], npt.NDArray[np.float64]], object] | None = None,
    answers: Answers | None = None,
    index: IndexKind = "auto",
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Mean and maximum nearest distances from every query cloud to every target cloud.

    Returns two (len(queries), len(targets)) float64 arrays: entry [i, j] is the mean (the
    maximum) over the points of queries[i] of the distance to the nearest point of
    targets[j]. A self-contained piece of an all-by-all: it builds what it needs of the
    clouds (targets' graphs; queries are only packed unless already prepared) and runs
    each target's search in `executor` when given, else in the calling thread. With
    `threads`, the number of threads `executor` runs, graphs built side by side share them
    (fewer targets than threads: each build gets the spare ones).
    `on_progress` is called once per graph built and once per target searched;
    `on_column(j, means, maxima)`, if given, as soon as target j's column is done (from
    the thread that did it), so that a caller can keep each column before the rest end.

    `answers`, shared by the tiles of one run, keeps the single-precision answers of each
    (query, target) pair whose key it holds, and seeds the search of a pair reversed
    from them, when both are searched one by one.

    `index` chooses each target's index (see `ornel._planner`): its graph, or a grid
    searched by all the queries at once. The entries do not depend on the choice.

    Each entry depends only on its pair: a tile gives the entries the whole matrix gives."""
    precision = check_precision(precision)
    index = check_index(index)
    if precision == "f64":
        boxes: dict[int, tuple[Any, Any]] = {}
        for target in targets:
            for query in queries:
                check_double_span(query, target, boxes)
    # Graphs of the targets first (in parallel): a query that is also a target then
    # joins the query set with its sorted, prepared points at no extra cost. A target
    # searched only by the exact walk needs its graph alone, nothing packed.
    frames = [t.frame if precision == "f32" else None for t in targets]
    query_points = sum(len(q) for q in queries)
    kinds = [choose(index, len(t), query_points, graph_built=t.cached_graph(precision) is not None) for t in targets]
    graph_targets = [t for t, kind in zip(targets, kinds) if kind == "graph"]
    graph_frames = [f for f, kind in zip(frames, kinds) if kind == "graph"]
    query_sets = QuerySets(queries, precision, graph_frames, answers)
    to_build = sum(t.cached_graph(precision) is None for t in graph_targets)
    share = None if executor is None or threads is None else max(1, threads // max(1, to_build))
    walked = [precision == "f32" and query_sets.one_by_one(frame) for frame in graph_frames]
    run(
        executor,
        [partial(t.graph if walk else t.prepared, precision, threads=share) for t, walk in zip(graph_targets, walked)],
        on_progress,
    )
    for _ in range(len(targets) - len(graph_targets)):
        on_progress()  # a grid is built with its search
    offsets = np.asarray([0] + [len(q) for q in queries]).cumsum()
    counts = np.diff(offsets).astype(np.float64)
    # All the queries in one array per frame, for the grids: built once, dropped after the last.
    gathered: dict[Frame | None, npt.NDArray[Any]] = {}
    gathered_lock = threading.Lock()
    grid_threads = None if executor is None or threads is None else max(1, threads // max(1, kinds.count("grid")))

    def all_queries(frame: Frame | None) -> npt.NDArray[Any]:
        with gathered_lock:
            found = gathered.get(frame)
            if found is None:
                parts = [grid_coordinates(q, precision, frame) for q in queries]
                dtype = np.result_type(*parts) if parts else np.float64
                found = gathered[frame] = (
                    np.concatenate(parts).astype(dtype, copy=False) if parts else np.zeros((0, 3), dtype)
                )
            return found

    def reduce(j: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        if kinds[j] == "grid":
            dists, _ = grid_search(targets[j], all_queries(frames[j]), precision, grid_threads)
        else:
            dists, _ = query_sets.search(targets[j], frames[j])
        if len(dists) == 0:
            return np.zeros(0), np.zeros(0)
        means = np.add.reduceat(dists, offsets[:-1], dtype=np.float64) / counts
        maxima = np.maximum.reduceat(dists, offsets[:-1]).astype(np.float64)
        if on_column is not None:
            on_column(j, means, maxima)
        return means, maxima

    # Targets sharing a frame one after another, so that few query sets are held at once.
    by_frame = sorted(range(len(targets)), key=lambda j: frames.index(frames[j]))
    columns = run(executor, [partial(reduce, j) for j in by_frame], on_progress)
    mean = np.zeros((len(queries), len(targets)))
    maximum = np.zeros((len(queries), len(targets)))
    for j, (means, maxima) in zip(by_frame, columns):
        mean[:, j], maximum[:, j] = means, maxima
    return mean, maximum


def nearest_here(
    a: Cloud, b: Cloud, precision: Precision, index: IndexKind = "auto"
) -> tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.int64]]:
    """`nearest` in this process: b's graph built (or taken) and searched, or a grid of b
    built for the search, as `index` and the planner choose."""
    if precision == "f64":
        check_double_span(a, b)
    frame = b.frame if precision == "f32" else None
    if choose(check_index(index), len(b), len(a), graph_built=b.cached_graph(precision) is not None) == "grid":
        return grid_search_cloud(b, a, precision, None)
    dists, idx = QuerySet([a], precision, frame).search(b, precision)
    return dists, b.order[idx.astype(np.intp)]


def all_by_all_here(
    clouds: Sequence[Cloud | npt.ArrayLike],
    *,
    threads: int | None,
    precision: Precision,
    progress: bool,
    index: IndexKind = "auto",
) -> Matrix:
    """`all_by_all` in this process, on a pool of `threads` threads."""
    if threads is None:
        threads = default_threads()
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    # Arrays given are read where they are: the matrix keeps none of the clouds.
    members = [as_cloud(cloud, f"cloud{i}", borrow=True) for i, cloud in enumerate(clouds)]
    names = [cloud.name for cloud in members]
    if not members:
        return Matrix(names, np.zeros((0, 0)), np.zeros((0, 0)))

    with progress_bar(2 * len(members), "step", progress) as bar:
        pool = ThreadPoolExecutor(threads, thread_name_prefix="ornel")
        try:
            mean, maximum = join_tile(
                members,
                members,
                precision=precision,
                executor=pool,
                threads=threads,
                on_progress=bar.update,
                index=index,
            )
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
    np.fill_diagonal(mean, 0.0)
    np.fill_diagonal(maximum, 0.0)
    return Matrix(names, mean, maximum)
