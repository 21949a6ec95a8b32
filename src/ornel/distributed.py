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
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ornel._cloud import Cloud, Precision, as_cloud, check_precision
from ornel._join import Matrix, join_tile

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


def _require_distributed() -> Any:
    try:
        import distributed
    except ImportError:
        raise ImportError("all_by_all(client=...) needs Dask's distributed scheduler: "
                          "pip install 'ornel[dask]'") from None
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
            raise OSError(f"the Dask scheduler at {address} has no workers: none joined within {timeout:g} s "
                          f"({_first_line(error)})") from None
        try:
            # A builtin, so that even a worker without ornel can receive the call.
            client.run(exec, "import _ornel, ornel.distributed")
        except ImportError as error:
            raise OSError(f"the workers of the Dask scheduler at {address} cannot import ornel "
                          f"({_first_line(error)}): install ornel[dask] there") from None
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


def _tile(targets: Sequence[Cloud], queries: Sequence[Cloud], precision: Precision) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
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
        future.exception(), (asyncio.CancelledError, concurrent.futures.CancelledError))


def all_by_all(clouds: Sequence[Cloud | npt.ArrayLike], client: Any, *, precision: Precision = "f32",
               tile: int | None = None, progress: bool = False) -> Matrix:
    """`ornel.all_by_all` on the Dask cluster behind `client` (a `distributed.Client`).

    The result is the `Matrix` the local call returns, bit for bit in both precisions:
    every entry depends on its pair alone. `tile` is the number
    of clouds per block side of a tile: a tile task holds at most 2 * tile clouds with
    their graphs and prepared objects (default: about two tiles per worker thread, at
    least three blocks). `progress` shows a bar of the tiles done on stderr."""
    distributed = _require_distributed()
    if not isinstance(client, distributed.Client) or client.status != "running":
        shown = repr(client) if len(repr(client)) <= 80 else repr(client)[:77] + "..."
        what = f"a {client.status} Client" if isinstance(client, distributed.Client) else \
            f"{type(client).__name__} {shown}"
        raise TypeError(f"client must be a running distributed.Client (such as Client(cluster) or "
                        f"Client('tcp://host:8786')), not {what}")
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
    run = uuid.uuid4().hex[:12]

    scattered: list[Any] = [None] * size
    graphs: list[Any] = [None] * size
    resent = [0] * size

    def send(indices: Sequence[int]) -> None:
        if not indices:
            return
        for i, cloud in zip(indices, client.scatter([members[i] for i in indices], hash=False)):
            scattered[i] = cloud
            graphs[i] = client.submit(_with_graph, cloud, precision, pure=False,
                                      key=f"{GRAPH_KEY_PREFIX}{run}-{i}-{resent[i]}")

    def submit(a: int, b: int, attempt: int) -> Any:
        targets, queries = blocks[a], blocks[b]
        return client.submit(_tile, [graphs[i] for i in targets], [graphs[i] for i in queries],
                             precision, pure=False, key=f"{TILE_KEY_PREFIX}{run}-{a}-{b}-{attempt}")

    from tqdm import tqdm

    send(range(size))
    attempts = {(a, b): 0 for a in range(len(blocks)) for b in range(len(blocks))}
    tiles = {submit(a, b, 0): (a, b) for a, b in attempts}
    pending = distributed.as_completed(list(tiles))
    try:
        with tqdm(total=len(tiles), desc="ornel", unit="tile", disable=not progress, leave=False) as bar:
            for future in pending:
                a, b = tiles.pop(future)
                if future.status == "finished":
                    try:
                        block_mean, block_max = future.result()
                    except concurrent.futures.CancelledError:
                        # Its worker died between finishing and handing the result over.
                        pass
                    else:
                        rows, columns = np.array(blocks[b]), np.array(blocks[a])
                        mean[np.ix_(rows, columns)] = block_mean
                        maximum[np.ix_(rows, columns)] = block_max
                        bar.update()
                        continue
                elif not _is_loss(future):
                    raise future.exception() or RuntimeError(f"tile {a}, {b} ended as {future.status}")
                if attempts[(a, b)] >= MAX_RESUBMISSIONS:
                    raise RuntimeError(f"the cluster lost the clouds of tile {a}, {b} {attempts[(a, b)] + 1} times "
                                       "(workers dying?); giving up")
                attempts[(a, b)] += 1
                # A graph task still pending can only finish if its scattered cloud survived.
                lost = [i for i in dict.fromkeys((*blocks[a], *blocks[b]))
                        if graphs[i].status in ("lost", "error", "cancelled")
                        or (graphs[i].status == "pending" and scattered[i].status != "finished")]
                for i in lost:
                    resent[i] += 1
                send(lost)
                retry = submit(a, b, attempts[(a, b)])
                tiles[retry] = (a, b)
                pending.add(retry)
    finally:
        # Nothing of this run stays on the cluster, whether it ended or failed.
        client.cancel([*tiles, *(f for f in (*graphs, *scattered) if f is not None)])
    np.fill_diagonal(mean, 0.0)
    np.fill_diagonal(maximum, 0.0)
    return Matrix(names, mean, maximum)
