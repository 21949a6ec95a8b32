"""Nearest-neighbour joins of clouds: one pair, or every cloud against every other."""

from __future__ import annotations

import csv
import os
from functools import partial
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import FIRST_COMPLETED, Executor, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from os import PathLike
from pathlib import Path
from typing import Any, TypeVar, Union, cast

import numpy as np
import numpy.typing as npt

import _ornel
from ornel._cloud import Cloud, Precision, Prepared, Shift, as_cloud, check_precision, common_shift

Grouped = Union[_ornel.GroupedQueriesF32, _ornel.GroupedQueriesF64]
T = TypeVar("T")
# How often a waiting main thread wakes up to notice Ctrl-C.
POLL_SECONDS = 0.2


def default_threads() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def _query_operand(cloud: Cloud, precision: Precision, shift: Shift | None) -> tuple[Prepared, npt.NDArray[np.int64] | None]:
    """What a grouped query set needs of a cloud: its packed points and their order.

    The grouped set sorts its points itself and never reads a query's graph, so a cloud
    used only as a query gets its points packed with an empty graph rather than a
    tetrahedralisation it does not need."""
    built = cloud.cached_prepared(precision, shift)
    if built is not None:
        return built, cloud.order
    coords = cloud.coordinates(precision, shift)
    no_edges = np.zeros(len(coords) + 1, np.uint32), np.zeros(0, np.uint32)
    if precision == "f32":
        return _ornel.PreparedF32(coords, *no_edges), None
    return _ornel.PreparedF64(coords, *no_edges), None


def _grouped(queries: Sequence[Prepared], perms: Sequence[npt.NDArray[np.int64] | None], precision: Precision) -> Grouped:
    # Every operand was prepared in `precision`.
    if precision == "f32":
        return _ornel.GroupedQueriesF32.prepare(cast(list[_ornel.PreparedF32], list(queries)), perms)
    return _ornel.GroupedQueriesF64.prepare(cast(list[_ornel.PreparedF64], list(queries)), perms)


def _query_grouped(target: Cloud, grouped: Grouped, precision: Precision,
                   shift: Shift | None) -> tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.uint64]]:
    prepared = target.prepared(precision, shift)
    if isinstance(prepared, _ornel.PreparedF32) and isinstance(grouped, _ornel.GroupedQueriesF32):
        return prepared.query_grouped(grouped, target.order)
    if isinstance(prepared, _ornel.PreparedF64) and isinstance(grouped, _ornel.GroupedQueriesF64):
        return prepared.query_grouped(grouped, target.order)
    raise TypeError("target and query set of different precisions")


def _run(executor: Executor | None, calls: Iterable[Callable[[], T]], on_done: Callable[[], object]) -> list[T]:
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
    futures: list[Future[T]] = [executor.submit(call) for call in calls]
    try:
        pending = set(futures)
        while pending:
            done, pending = wait(pending, timeout=POLL_SECONDS, return_when=FIRST_COMPLETED)
            for future in done:
                future.result()  # raise a failure now rather than after every other call
                on_done()
        return [future.result() for future in futures]
    except BaseException:
        for future in futures:
            future.cancel()
        raise


def join_tile(targets: Sequence[Cloud], queries: Sequence[Cloud], *, precision: Precision = "f32",
              shift: Shift | None = None, executor: Executor | None = None,
              on_progress: Callable[[], object] = lambda: None
              ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Mean and maximum nearest distances from every query cloud to every target cloud.

    Returns two (len(queries), len(targets)) float64 arrays: entry [i, j] is the mean (the
    maximum) over the points of queries[i] of the distance to the nearest point of
    targets[j]. A self-contained piece of an all-by-all: it builds what it needs of the
    clouds (targets' graphs; queries are only packed unless already prepared) and runs
    each target's search in `executor` when given, else in the calling thread.
    `on_progress` is called once per graph built and once per target searched.

    `shift` must be the same for every tile of one all-by-all (see `common_shift`)."""
    precision = check_precision(precision)
    # Graphs of the targets first (in parallel): a query that is also a target then
    # joins the query set with its sorted, prepared points at no extra cost.
    _run(executor, [partial(t.prepared, precision, shift) for t in targets], on_progress)
    operands = [_query_operand(q, precision, shift) for q in queries]
    grouped = _grouped([p for p, _ in operands], [perm for _, perm in operands], precision)
    starts = grouped.offsets[:-1].astype(np.intp)

    def reduce(target: Cloud) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        dists, _ = _query_grouped(target, grouped, precision, shift)
        if len(dists) == 0:
            return np.zeros(0), np.zeros(0)
        means = np.add.reduceat(dists, starts, dtype=np.float64) / np.diff(grouped.offsets).astype(np.float64)
        return means, np.maximum.reduceat(dists, starts).astype(np.float64)

    columns = _run(executor, [partial(reduce, t) for t in targets], on_progress)
    mean = np.zeros((len(queries), len(targets)))
    maximum = np.zeros((len(queries), len(targets)))
    for j, (means, maxima) in enumerate(columns):
        mean[:, j], maximum[:, j] = means, maxima
    return mean, maximum


def nearest(a: Cloud | npt.ArrayLike, b: Cloud | npt.ArrayLike, *,
            precision: Precision = "f32") -> tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.int64]]:
    """For every point of `a`, the nearest point of `b`: (dists, idx), in `a`'s order,
    `idx` indexing `b`'s points. `dists` is float32 for precision "f32", else float64.

    `b` is tetrahedralised (kept in `b` if it is a `Cloud`); `a` is only packed, unless
    it is a `Cloud` whose search structures already exist."""
    precision = check_precision(precision)
    a, b = as_cloud(a, "a"), as_cloud(b, "b")
    shift = common_shift([a, b])
    query, perm = _query_operand(a, precision, shift)
    grouped = _grouped([query], [perm], precision)
    dists, idx = _query_grouped(b, grouped, precision, shift)
    return dists, idx.view(np.int64)


@dataclass(frozen=True, eq=False)
class Matrix:
    """Pairwise distances of a collection of clouds, each a (C, C) float64 array.

    `mean[i, j]`: mean over the points of cloud i of the distance to the nearest point
    of cloud j (0 on the diagonal); `max[i, j]`: the largest such distance."""

    names: list[str]
    mean: npt.NDArray[np.float64]
    max: npt.NDArray[np.float64]

    @property
    def chamfer(self) -> npt.NDArray[np.float64]:
        """Symmetric Chamfer distance: mean + mean.T."""
        chamfer: npt.NDArray[np.float64] = self.mean + self.mean.T
        return chamfer

    @property
    def hausdorff(self) -> npt.NDArray[np.float64]:
        """Symmetric Hausdorff distance: the larger of max and max.T."""
        return np.maximum(self.max, self.max.T)

    COLUMNS = ("a", "b", "mean_ab", "mean_ba", "chamfer", "max_ab", "max_ba", "hausdorff")

    def rows(self) -> list[tuple[str, str, float, float, float, float, float, float]]:
        """One row per unordered pair (i < j, in the order of `names`), as in `COLUMNS`."""
        rows = []
        for i in range(len(self.names)):
            for j in range(i + 1, len(self.names)):
                mean_ab, mean_ba = float(self.mean[i, j]), float(self.mean[j, i])
                max_ab, max_ba = float(self.max[i, j]), float(self.max[j, i])
                rows.append((self.names[i], self.names[j], mean_ab, mean_ba, mean_ab + mean_ba,
                             max_ab, max_ba, max(max_ab, max_ba)))
        return rows

    def to_csv(self, path: str | PathLike[str]) -> None:
        """Writes `rows()` under a header of `COLUMNS`: the file is replaced whole, or left
        as it was if writing fails. Names are written as UTF-8, bytes that are not (from
        file names) as backslash escapes."""
        from ornel._formats import printable, replacing

        with replacing(path) as temporary, open(temporary, "w", newline="", encoding="utf-8") as file:
            writer = csv.writer(file)
            writer.writerow(self.COLUMNS)
            for row in self.rows():
                writer.writerow([printable(row[0]), printable(row[1]), *(repr(value) for value in row[2:])])

    def plot(self, path: str | PathLike[str], metric: str = "chamfer") -> None:
        """Heatmap PNG of one symmetric or directed measure ("chamfer", "hausdorff",
        "mean", "max") with the names on both axes; needs matplotlib."""
        values = {"chamfer": self.chamfer, "hausdorff": self.hausdorff, "mean": self.mean, "max": self.max}
        if metric not in values:
            raise ValueError(f"metric must be one of {', '.join(values)}, not {metric!r}")
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        from ornel._formats import printable, replacing

        n = len(self.names)
        names = [printable(name) for name in self.names]
        side = min(4 + 0.35 * n, 30)
        figure, axes = plt.subplots(figsize=(side + 1.5, side))
        image = axes.imshow(values[metric], cmap="viridis")
        axes.set_xticks(range(n), names, rotation=90, fontsize=8)
        axes.set_yticks(range(n), names, fontsize=8)
        direction = " (row cloud to column cloud)" if metric in ("mean", "max") else ""
        axes.set_title(f"{metric}{direction}")
        figure.colorbar(image, ax=axes, label=metric)
        figure.tight_layout()
        try:
            with replacing(path) as temporary:  # the same suffix: matplotlib takes the format from it
                suffix = Path(path).suffix[1:].lower()
                figure.savefig(temporary, dpi=100, format=suffix or matplotlib.rcParams["savefig.format"])
        finally:
            plt.close(figure)


def all_by_all(clouds: Sequence[Cloud | npt.ArrayLike], *, threads: int | None = None,
               precision: Precision = "f32", progress: bool = False, client: Any = None) -> Matrix:
    """Every cloud joined with every other, both ways: a `Matrix` of mean and maximum
    nearest distances (and from them Chamfer and Hausdorff distances).

    Graphs are built and targets searched in a pool of `threads` threads (default: the
    cores this process may use), all clouds forming one grouped query set. `progress`
    shows a bar on stderr. Ctrl-C stops it between calls. With `client` (a Dask
    `distributed.Client`) the work runs on that cluster instead: see `ornel.distributed`."""
    precision = check_precision(precision)
    if client is not None:
        from ornel import distributed

        return distributed.all_by_all(clouds, client, precision=precision, progress=progress)
    if threads is None:
        threads = default_threads()
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    members = [as_cloud(cloud, f"cloud{i}") for i, cloud in enumerate(clouds)]
    names = [cloud.name for cloud in members]
    if not members:
        return Matrix(names, np.zeros((0, 0)), np.zeros((0, 0)))
    shift = common_shift(members)

    from tqdm import tqdm

    with tqdm(total=2 * len(members), desc="ornel", unit="step", disable=not progress, leave=False) as bar:
        pool = ThreadPoolExecutor(threads, thread_name_prefix="ornel")
        try:
            mean, maximum = join_tile(members, members, precision=precision, shift=shift, executor=pool,
                                      on_progress=bar.update)
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
    np.fill_diagonal(mean, 0.0)
    np.fill_diagonal(maximum, 0.0)
    return Matrix(names, mean, maximum)
