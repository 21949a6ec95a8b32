"""The all-by-all join on a Dask cluster.

The pair matrix is cut into tiles: a block of target clouds against a block of query
clouds, each tile one task. The clouds go to the cluster once (scattered, so that no
worker has to hold every cloud); one task per cloud then builds its graph where the
cloud lies, and every tile task takes the clouds with their graphs. A cloud pickles as
its points, name, order and graphs (never its prepared search objects), so a cloud
copied to another worker arrives with its graph, and the tiles run there reuse the copy
and whatever was prepared from it.

Each tile is computed by `join_tile`, the function the local call runs, so every entry
of the matrix comes from the same search and the same reduction in both.

Dask retries a tile whose worker died. What it cannot do is bring back a scattered cloud
whose only copy was on that worker; such clouds are scattered again from this process
and the tiles that needed them resubmitted.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import math
import uuid
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ornel._cloud import Cloud, Precision, as_cloud, check_precision
from ornel._join import join_tile
from ornel._matrix import Matrix
from ornel._progress import progress_bar
from ornel._store import plan, read_index, store_identity

__all__ = ["all_by_all", "connect", "tile_blocks"]

# A tile whose clouds went missing with their worker is sent again at most this often;
# a failure that keeps coming back is a fault to report, not bad luck.
MAX_RESUBMISSIONS = 5
# How many tiles there are per worker thread when the size is left to us: enough for
# the faster workers to take over from slow ones, few enough that each tile's grouped
# query set is large.
TILES_PER_THREAD = 2
# A tile task's key starts with this, followed by the run and the two block numbers.
TILE_KEY_PREFIX = "ornel-tile-"
GRAPH_KEY_PREFIX = "ornel-graph-"
# A task that reads a cloud's graph from a shared store instead of building it.
STORED_GRAPH_KEY_PREFIX = "ornel-stored-graph-"


def _require_distributed() -> Any:
    try:
        import distributed
    except ImportError:
        raise ImportError(
            "all_by_all(client=...) needs Dask's distributed scheduler: pip install distributed (ornel's \"dask\" extra)"
        ) from None
    return distributed


# How long the command waits for a scheduler to answer before giving up.
CONNECT_SECONDS = 10


def _first_line(error: BaseException) -> str:
    return str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__


def connect(address: str, timeout: float = CONNECT_SECONDS) -> Any:
    """A `distributed.Client` of the scheduler at `address`, with at least one worker
    that can import ornel; OSError in one line if no scheduler answers, or no worker
    joins it, within `timeout` seconds, or if its workers cannot import ornel."""
    distributed = _require_distributed()
    try:
        client = distributed.Client(address, timeout=timeout)
    except (OSError, ValueError, TypeError) as error:  # ValueError, TypeError: a malformed address
        raise OSError(f"no Dask scheduler answered at {address} within {timeout:g} s ({_first_line(error)})") from None
    try:
        try:
            client.wait_for_workers(1, timeout=timeout)
        except (OSError, TimeoutError) as error:
            raise OSError(
                f"the Dask scheduler at {address} has no workers: none joined within {timeout:g} s "
                f"({_first_line(error)})"
            ) from None
        try:
            # A builtin, so that even a worker without ornel can receive the call.
            client.run(exec, "import _ornel, ornel.distributed")
        except ImportError as error:
            raise OSError(
                f"the workers of the Dask scheduler at {address} cannot import ornel "
                f"({_first_line(error)}): install ornel with its dask extra there"
            ) from None
    except BaseException:
        client.close()
        raise
    return client


def tile_blocks(n_clouds: int, tile: int) -> list[range]:
    """The clouds cut into consecutive blocks of at most `tile` clouds, all of nearly the
    same size; the tiles of an all-by-all are every pair of blocks."""
    if n_clouds == 0:
        return []
    count = math.ceil(n_clouds / tile)
    bounds = np.linspace(0, n_clouds, count + 1).round().astype(int)
    return [range(int(start), int(stop)) for start, stop in zip(bounds[:-1], bounds[1:])]


def default_tile(n_clouds: int, threads: int) -> int:
    """Clouds per block side: about TILES_PER_THREAD tiles per worker thread, and at least
    three blocks whenever there are three clouds, so that no tile holds every cloud."""
    blocks = max(3, math.ceil(math.sqrt(TILES_PER_THREAD * max(threads, 1))))
    return max(1, math.ceil(n_clouds / min(blocks, max(n_clouds, 1))))


def _with_graph(cloud: Cloud, precision: Precision) -> Cloud:
    """Runs on a worker: the cloud, its order and graph built. The graph then travels with
    the cloud to every worker that needs it, so it is built once for the whole run."""
    cloud.graph(precision)
    return cloud


def _tile(
    targets: Sequence[Cloud], queries: Sequence[Cloud], precision: Precision
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Runs on a worker: one tile of the matrix, rows the queries, columns the targets."""
    return join_tile(targets, queries, precision=precision)


def _cluster_threads(client: Any) -> int:
    try:
        return sum(client.nthreads().values())
    except Exception:  # a client that cannot tell yet: plan for a small cluster
        return 2


def _is_loss(future: Any) -> bool:
    """Whether a tile ended because the cluster lost what it needed (a worker died with
    the only copy of a scattered cloud) rather than because of what it computed: then
    sending the clouds again helps; any other failure is the caller's to see."""
    if future.status in ("cancelled", "lost"):
        return True
    return future.status == "error" and isinstance(
        future.exception(), (asyncio.CancelledError, concurrent.futures.CancelledError)
    )


def all_by_all(
    clouds: Sequence[Cloud | npt.ArrayLike],
    client: Any,
    *,
    precision: Precision = "f32",
    tile: int | None = None,
    progress: bool = False,
) -> Matrix:
    """`ornel.all_by_all` on the Dask cluster behind `client` (a `distributed.Client`).

    The result is the `Matrix` the local call returns, bit for bit in both precisions:
    every entry depends on its pair alone. `tile` is the number
    of clouds per block side of a tile: a tile task holds at most 2 * tile clouds with
    their graphs and prepared objects (default: about two tiles per worker thread, at
    least three blocks). `progress` shows a bar of the tiles done on stderr."""
    distributed = _require_distributed()
    if not isinstance(client, distributed.Client) or client.status != "running":
        shown = repr(client) if len(repr(client)) <= 80 else repr(client)[:77] + "..."
        what = (
            f"a {client.status} Client"
            if isinstance(client, distributed.Client)
            else f"{type(client).__name__} {shown}"
        )
        raise TypeError(
            f"client must be a running distributed.Client (such as Client(cluster) or "
            f"Client('tcp://host:8786')), not {what}"
        )
    precision = check_precision(precision)
    if tile is not None and tile < 1:
        raise ValueError(f"tile must be at least 1, not {tile}")
    members = [as_cloud(cloud, f"cloud{i}") for i, cloud in enumerate(clouds)]
    names = [cloud.name for cloud in members]
    size = len(members)
    mean, maximum = np.zeros((size, size)), np.zeros((size, size))
    if not members:
        return Matrix(names, mean, maximum)
    blocks = tile_blocks(size, tile if tile is not None else default_tile(size, _cluster_threads(client)))
    jobs = [(list(targets), list(queries)) for targets in blocks for queries in blocks]

    def on_tile(targets: list[int], queries: list[int], block_mean: Any, block_max: Any) -> None:
        mean[np.ix_(queries, targets)] = block_mean
        maximum[np.ix_(queries, targets)] = block_max

    join_jobs(members, client, jobs, precision, progress, on_tile)
    np.fill_diagonal(mean, 0.0)
    np.fill_diagonal(maximum, 0.0)
    return Matrix(names, mean, maximum)


def join_jobs(
    members: Sequence[Cloud],
    client: Any,
    jobs: Sequence[tuple[list[int], list[int]]],
    precision: Precision,
    progress: bool,
    on_tile: Callable[[list[int], list[int], Any, Any], object],
    graph_task: Callable[[int, Any, str], Any] | None = None,
    send_cloud: Callable[[int], Cloud] | None = None,
    on_graph: Callable[[int, Cloud], object] | None = None,
    want_back: Sequence[int] = (),
) -> None:
    """Runs each (target indices, query indices) job of `members` as one tile task and
    hands each tile's blocks (rows the queries, columns the targets) to `on_tile`.

    `send_cloud(i)` is what is scattered for cloud i (default: the cloud itself) and
    `graph_task(i, scattered, key)` the task that gives it its graph on a worker
    (default: build it there). Clouds in `want_back` come back with their graphs to
    `on_graph` as soon as they are built."""
    distributed = _require_distributed()
    run = uuid.uuid4().hex[:12]
    needed = sorted({i for targets, queries in jobs for i in (*targets, *queries)})
    scattered: dict[int, Any] = {}
    graphs: dict[int, Any] = {}
    resent = dict.fromkeys(needed, 0)
    waiting_back = set(want_back)
    returning: dict[Any, int] = {}

    def send(indices: Sequence[int]) -> None:
        if not indices:
            return
        payload = [send_cloud(i) if send_cloud is not None else members[i] for i in indices]
        for i, cloud in zip(indices, client.scatter(payload, hash=False)):
            scattered[i] = cloud
            key = f"{GRAPH_KEY_PREFIX}{run}-{i}-{resent[i]}"
            graphs[i] = (
                graph_task(i, cloud, key)
                if graph_task is not None
                else client.submit(_with_graph, cloud, precision, pure=False, key=key)
            )
            if i in waiting_back:
                returning[graphs[i]] = i
                pending.add(graphs[i])

    def submit(k: int, attempt: int) -> Any:
        targets, queries = jobs[k]
        return client.submit(
            _tile,
            [graphs[i] for i in targets],
            [graphs[i] for i in queries],
            precision,
            pure=False,
            key=f"{TILE_KEY_PREFIX}{run}-{k}-{attempt}",
        )

    pending = distributed.as_completed([])
    send(needed)
    attempts = dict.fromkeys(range(len(jobs)), 0)
    tiles = {submit(k, 0): k for k in attempts}
    pending.update(list(tiles))
    try:
        with progress_bar(len(tiles), "tile", progress) as bar:
            for future in pending:
                if future in returning:
                    i = returning.pop(future)
                    if future.status == "finished" and i in waiting_back and on_graph is not None:
                        try:
                            cloud = future.result()
                        except concurrent.futures.CancelledError:
                            continue  # lost with its worker: the cloud is sent again, and so comes back
                        waiting_back.discard(i)
                        on_graph(i, cloud)
                    continue
                k = tiles.pop(future)
                targets, queries = jobs[k]
                if future.status == "finished":
                    try:
                        block_mean, block_max = future.result()
                    except concurrent.futures.CancelledError:
                        # Its worker died between finishing and handing the result over.
                        pass
                    else:
                        on_tile(targets, queries, block_mean, block_max)
                        bar.update()
                        continue
                elif not _is_loss(future):
                    raise future.exception() or RuntimeError(f"tile {k} ended as {future.status}")
                if attempts[k] >= MAX_RESUBMISSIONS:
                    raise RuntimeError(
                        f"the cluster lost the clouds of tile {k} {attempts[k] + 1} times (workers dying?); giving up"
                    )
                attempts[k] += 1
                # A graph task still pending can only finish if its scattered cloud survived.
                lost = [
                    i
                    for i in dict.fromkeys((*targets, *queries))
                    if graphs[i].status in ("lost", "error", "cancelled")
                    or (graphs[i].status == "pending" and scattered[i].status != "finished")
                ]
                for i in lost:
                    resent[i] += 1
                send(lost)
                retry = submit(k, attempts[k])
                tiles[retry] = k
                pending.add(retry)
    finally:
        # Nothing of this run stays on the cluster, whether it ended or failed.
        client.cancel([*tiles, *returning, *graphs.values(), *scattered.values()])


def _with_stored_index(cloud: Cloud, precision: Precision, directory: str, files: Sequence[tuple[str, int]]) -> Cloud:
    """Runs on a worker that sees the store: the cloud given its order and graph from
    the store's files (checked against their digests), or built if they cannot be
    trusted. Only the client writes to the store."""
    try:
        order, indptr, indices = read_index(directory, files)
        cloud.adopt_index(order, {precision: (indptr, indices)})
    except Exception:  # damaged since the client checked it: build it, as without a store
        pass
    cloud.graph(precision)
    return cloud


def store_is_shared(client: Any, store: Any) -> bool:
    """Whether every worker sees the store's directory (a shared file system) as this
    process does, so that workers can read indexes from it instead of receiving them."""
    try:
        seen = client.run(store_identity, str(store.path.resolve()))
    except Exception:
        return False
    return bool(seen) and all(identity == store.id for identity in seen.values())


def stored_all_by_all(
    clouds: Sequence[Cloud | npt.ArrayLike],
    store: Any,
    client: Any,
    *,
    precision: Precision = "f32",
    progress: bool = False,
) -> Matrix:
    """`all_by_all(..., client=, store=)`: the pairs the store lacks computed on the
    cluster, the rest taken from the store. Workers take stored indexes from the store's
    directory if they see it, else receive them with the clouds; indexes built on
    workers come back, and the client alone writes to the store."""
    precision = check_precision(precision)
    work = plan(store, clouds, precision)
    names = [cloud.name for cloud in work.members]
    if not work.jobs:
        return Matrix(names, work.mean, work.maximum)
    distinct = [work.members[u] for u in work.unique]
    digests = [work.digests[u] for u in work.unique]
    shared = store_is_shared(client, store)
    directory = str(store.path.resolve())
    stored: dict[int, Any] = {}
    targets = sorted({t for job_targets, _ in work.jobs for t in job_targets})
    for i in targets:
        if distinct[i].cached_graph(precision) is None and store.load_index(distinct[i], digests[i], precision):
            stored[i] = store.index_files(distinct[i], digests[i], precision)
    built_here = [i for i in targets if i not in stored and distinct[i].cached_graph(precision) is not None]
    for i in built_here:  # built before this call: only kept
        store.ensure_index(distinct[i], digests[i], precision)
    want_back = [i for i in targets if i not in stored and i not in built_here]

    def send_cloud(i: int) -> Cloud:
        if shared and i in stored:
            # The workers read the graph themselves: send the points alone.
            bare = Cloud.__new__(Cloud)
            bare.__setstate__(
                {
                    "name": distinct[i].name,
                    "source": distinct[i].source,
                    "points": distinct[i].points,
                    "order": None,
                    "graphs": {},
                }
            )
            return bare
        return distinct[i]

    def graph_task(i: int, cloud: Any, key: str) -> Any:
        if shared and i in stored:
            return client.submit(
                _with_stored_index,
                cloud,
                precision,
                directory,
                stored[i],
                pure=False,
                key=key.replace(GRAPH_KEY_PREFIX, STORED_GRAPH_KEY_PREFIX, 1),
            )
        return client.submit(_with_graph, cloud, precision, pure=False, key=key)

    def on_graph(i: int, cloud: Cloud) -> None:
        distinct[i].adopt_index(cloud.order, {precision: cloud.graph(precision)})
        store.save_index(distinct[i], digests[i], precision)

    # Each rectangle of missing pairs cut into tiles of the default size.
    tile = default_tile(len(distinct), _cluster_threads(client))
    jobs = [
        (list(target_block), list(query_block))
        for job_targets, job_queries in work.jobs
        for target_block in _cut(job_targets, tile)
        for query_block in _cut(job_queries, tile)
    ]

    def on_tile(job_targets: list[int], job_queries: list[int], block_mean: Any, block_max: Any) -> None:
        work.put(store, precision, job_targets, job_queries, block_mean, block_max)

    join_jobs(distinct, client, jobs, precision, progress, on_tile, graph_task, send_cloud, on_graph, want_back)
    return Matrix(names, work.mean, work.maximum)


def _cut(indices: Sequence[int], tile: int) -> list[list[int]]:
    return [[indices[k] for k in block] for block in tile_blocks(len(indices), tile)]
