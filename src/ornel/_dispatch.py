"""Where a join runs: in this process, with a store that keeps indexes and pairs, or on
a Dask cluster. The public entry points decide here, once, so that none of the modules
doing the work needs to know of the others."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ornel._cloud import Cloud, Precision, as_cloud, check_precision
from ornel._defaults import default_threads
from ornel._join import all_by_all_here, nearest_here
from ornel._matrix import Matrix
from ornel._planner import IndexKind, check_index
from ornel._store import as_store, stored_all_by_all, stored_nearest


def nearest(
    a: Cloud | npt.ArrayLike,
    b: Cloud | npt.ArrayLike,
    *,
    precision: Precision = "f32",
    store: Any = None,
    index: IndexKind = "auto",
) -> tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.int64]]:
    """For every point of `a`, the nearest point of `b`: (dists, idx), in `a`'s order,
    `idx` indexing `b`'s points. `dists` is float32 for precision "f32", else float64.

    `b` is tetrahedralised (kept in `b` if it is a `Cloud`); `a` is only packed, unless
    it is a `Cloud` whose search structures already exist. With `store` (an
    `ornel.Store` or its directory), b's index is taken from there, or built and kept.

    `index` is b's index: "graph" (its Delaunay graph, kept in b), "grid" (a grid of
    cells built for this search, about the cost of a sort) or "auto", the planner's
    choice (the grid unless b's graph exists already; see docs/indexes.md). The answers
    do not depend on it."""
    precision = check_precision(precision)
    index = check_index(index)
    # Arrays given are read where they are: neither cloud outlives the call.
    a, b = as_cloud(a, "a", borrow=True), as_cloud(b, "b", borrow=True)
    if store is not None:
        refuse_grid_with(index, "store")
        stored_nearest(b, store, precision)
    return nearest_here(a, b, precision, index)


def refuse_grid_with(index: IndexKind, what: str) -> None:
    """A store keeps graphs, and a cluster's tiles choose their own index: neither takes
    a grid forced on it."""
    if index == "grid":
        raise ValueError(f"index='grid' cannot be used with a {what}, which searches through graphs")


def all_by_all(
    clouds: Sequence[Cloud | npt.ArrayLike],
    *,
    threads: int | None = None,
    precision: Precision = "f32",
    progress: bool = False,
    client: Any = None,
    store: Any = None,
    skip_invalid: bool = False,
    index: IndexKind = "auto",
) -> Matrix:
    """Every cloud joined with every other, both ways: a `Matrix` of mean and maximum
    nearest distances (and from them Chamfer and Hausdorff distances).

    Graphs are built and targets searched in a pool of `threads` threads (default: the
    cores this process may use), all clouds forming one grouped query set. `progress`
    shows a bar on stderr. Ctrl-C stops it between calls. With `client` (a Dask
    `distributed.Client`) the work runs on that cluster instead: see `ornel.distributed`.
    With `store` (an `ornel.Store` or its directory), pairs it holds are taken from it,
    and only the others computed, then kept there with the indexes built for them.
    `skip_invalid` drops the points of clouds given as arrays that have a NaN or
    infinite coordinate, instead of refusing them. `index` is the targets' index, as for
    `nearest`; "auto" takes grids for few clouds and graphs for many, whose graphs are then
    reused by every query cloud."""
    precision = check_precision(precision)
    index = check_index(index)
    if client is not None or store is not None:
        refuse_grid_with(index, "cluster" if client is not None else "store")
    if skip_invalid:
        clouds = [as_cloud(cloud, f"cloud{i}", skip_invalid=True) for i, cloud in enumerate(clouds)]
    if client is not None:
        # Dask is an extra: the cluster path is imported only when asked for.
        from ornel import distributed

        if store is not None:
            opened, close = as_store(store)
            try:
                return distributed.stored_all_by_all(clouds, opened, client, precision=precision, progress=progress)
            finally:
                if close:
                    opened.close()
        return distributed.all_by_all(clouds, client, precision=precision, progress=progress)
    if store is not None:
        return stored_all_by_all(
            clouds,
            store,
            threads=default_threads() if threads is None else threads,
            precision=precision,
            progress=progress,
        )
    return all_by_all_here(clouds, threads=threads, precision=precision, progress=progress, index=index)
