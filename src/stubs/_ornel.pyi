"""Nearest-neighbour joins of 3-D point clouds by walking their neighbourhood graphs.

Internal failures (malformed graphs, out-of-range indices, strided arrays where
contiguous ones are needed) raise ``PanicException``, a subclass of
``BaseException`` that the module does not export: catch it with
``except BaseException as e`` and test ``type(e).__name__ == "PanicException"``.
"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

_F32 = npt.NDArray[np.float32]
_F64 = npt.NDArray[np.float64]
_U32 = npt.NDArray[np.uint32]
_U64 = npt.NDArray[np.uint64]
_I64 = npt.NDArray[np.int64]
# Unsigned integers (`k`, `ef`, `block`, `n_points`): an int or anything with __index__.
_Count = SupportsIndex
# `distance_upper_bound`: None (no bound) or anything float() accepts.
_Bound = SupportsFloat | SupportsIndex | None
# `finalize`: exactly a Python bool or a NumPy bool (an int is refused).
_Flag = bool | np.bool_

def graph_from_simplices(simplices: npt.NDArray[np.uint64], n_points: _Count) -> tuple[_U32, _U32]:
    """Vertex adjacency of tetrahedra (uint64, shape (m, >=4)) over `n_points` vertices.

    Returns the CSR pair `(indptr, indices)`, both uint32; row v lists the
    distinct neighbours of vertex v in ascending order. Runs with the GIL released.
    """

def all_nearest_neighbours(
    x_points: _F64, x_indices: _U32, x_neighbors: _U32, y_points: _F64, y_indices: _U32, y_neighbors: _U32
) -> tuple[_F64, _U64]:
    """Nearest point of `y` for each point of `x`; both clouds are points plus a CSR graph.

    `x_indices`/`y_indices` are the CSR offsets, `x_neighbors`/`y_neighbors` the
    neighbour lists (contiguous uint32). Returns `(dists, idx)` of length
    `len(x_indices) - 1`. Runs with the GIL released.
    """

def all_nearest_neighbours_f32(
    x_points: _F32, x_indices: _U32, x_neighbors: _U32, y_points: _F32, y_indices: _U32, y_neighbors: _U32
) -> tuple[_F32, _U64]:
    """Single-precision `all_nearest_neighbours`."""

def all_nearest_neighbours_k(
    x_points: _F64,
    x_indices: _U32,
    x_neighbors: _U32,
    y_points: _F64,
    y_indices: _U32,
    y_neighbors: _U32,
    k: _Count,
    ef: _Count,
) -> tuple[_F64, _U64]:
    """The `k` nearest points of `y` for each point of `x`, by a best-first search of breadth `ef >= k`.

    Returns `(dists, idx)` of shape (N, k), rows ascending; unfilled cells are (inf, len(y)).
    """

def all_nearest_neighbours_k_f32(
    x_points: _F32,
    x_indices: _U32,
    x_neighbors: _U32,
    y_points: _F32,
    y_indices: _U32,
    y_neighbors: _U32,
    k: _Count,
    ef: _Count,
) -> tuple[_F32, _U64]:
    """Single-precision `all_nearest_neighbours_k`."""

@final
class PreparedF64:
    """A cloud (points plus CSR graph) packed once and reused as target or query of many searches."""

    def __new__(cls, points: _F64, indptr: _U32, indices: _U32) -> PreparedF64: ...
    @property
    def n(self) -> int:
        """Number of points in the prepared target."""

    @property
    def data(self) -> _F64:
        """The target points as an `(n, 3)` array (a new copy on every access)."""

    def query(
        self, x_points: _F64, x_indptr: _U32, x_indices: _U32, distance_upper_bound: _Bound = None
    ) -> tuple[_F64, _U64]:
        """Nearest target point for each point of the query cloud `x` (points plus contiguous CSR graph)."""

    def query_prepared(self, other: PreparedF64, distance_upper_bound: _Bound = None) -> tuple[_F64, _U64]:
        """Like `query`, with a prepared query cloud: nothing is packed per call."""

    def query_k(
        self,
        x_points: _F64,
        x_indptr: _U32,
        x_indices: _U32,
        k: _Count,
        ef: _Count,
        distance_upper_bound: _Bound = None,
    ) -> tuple[_F64, _U64]:
        """The `k` nearest target points of each point of `x`; `(N, k)` results, rows ascending."""

    def query_prepared_k(
        self, other: PreparedF64, k: _Count, ef: _Count, distance_upper_bound: _Bound = None
    ) -> tuple[_F64, _U64]:
        """The `k` nearest target points of each point of `other`; `(N, k)` results, rows ascending."""

    def query_prepared_blocked(
        self, other: PreparedF64, block: _Count = 8, distance_upper_bound: _Bound = None
    ) -> tuple[_F64, _U64]:
        """`query_prepared` with query points moved in blocks of `block`; the same results."""

    def query_grouped(
        self,
        grouped: GroupedQueriesF64,
        target_perm: _I64 | None,
        block: _Count = 32,
        distance_upper_bound: _Bound = None,
        finalize: _Flag = True,
    ) -> tuple[_F64, _U64]:
        """Nearest target point for every point of a grouped query set.

        `target_perm` is this target's new -> original int64 permutation or None.
        With `finalize=True` results are in concatenated original order (cloud c's
        slice is `grouped.offsets[c]:grouped.offsets[c + 1]`) with original target
        indices; with `finalize=False` they are raw, in the set's Morton order.
        """

@final
class PreparedF32:
    """Single-precision `PreparedF64`."""

    def __new__(cls, points: _F32, indptr: _U32, indices: _U32) -> PreparedF32: ...
    @property
    def n(self) -> int:
        """Number of points in the prepared target."""

    @property
    def data(self) -> _F32:
        """The target points as an `(n, 3)` array (a new copy on every access)."""

    def query(
        self, x_points: _F32, x_indptr: _U32, x_indices: _U32, distance_upper_bound: _Bound = None
    ) -> tuple[_F32, _U64]:
        """Nearest target point for each point of the query cloud `x` (points plus contiguous CSR graph)."""

    def query_prepared(self, other: PreparedF32, distance_upper_bound: _Bound = None) -> tuple[_F32, _U64]:
        """Like `query`, with a prepared query cloud: nothing is packed per call."""

    def query_k(
        self,
        x_points: _F32,
        x_indptr: _U32,
        x_indices: _U32,
        k: _Count,
        ef: _Count,
        distance_upper_bound: _Bound = None,
    ) -> tuple[_F32, _U64]:
        """The `k` nearest target points of each point of `x`; `(N, k)` results, rows ascending."""

    def query_prepared_k(
        self, other: PreparedF32, k: _Count, ef: _Count, distance_upper_bound: _Bound = None
    ) -> tuple[_F32, _U64]:
        """The `k` nearest target points of each point of `other`; `(N, k)` results, rows ascending."""

    def query_prepared_blocked(
        self, other: PreparedF32, block: _Count = 8, distance_upper_bound: _Bound = None
    ) -> tuple[_F32, _U64]:
        """`query_prepared` with query points moved in blocks of `block`; the same results."""

    def query_grouped(
        self,
        grouped: GroupedQueriesF32,
        target_perm: _I64 | None,
        block: _Count = 32,
        distance_upper_bound: _Bound = None,
        finalize: _Flag = True,
    ) -> tuple[_F32, _U64]:
        """Nearest target point for every point of a grouped query set (see `PreparedF64.query_grouped`)."""

@final
class GroupedQueriesF64:
    """The query clouds of an all-by-all join, concatenated and Morton-sorted once by `prepare`."""

    @staticmethod
    def prepare(queries: Sequence[PreparedF64], query_perms: Sequence[_I64 | None]) -> GroupedQueriesF64:
        """Build the set; `query_perms[c]` is cloud c's new -> original int64 permutation or None."""

    @property
    def n_points(self) -> int:
        """Number of concatenated query points."""

    @property
    def n_clouds(self) -> int:
        """Number of query clouds."""

    @property
    def offsets(self) -> _U64:
        """Cloud boundaries (n_clouds + 1 entries): cloud c is `[offsets[c], offsets[c+1])`."""

    @property
    def perm(self) -> _U64:
        """Sorted position -> concatenated index, for `query_grouped(finalize=False)` results."""

@final
class GroupedQueriesF32:
    """Single-precision `GroupedQueriesF64`."""

    @staticmethod
    def prepare(queries: Sequence[PreparedF32], query_perms: Sequence[_I64 | None]) -> GroupedQueriesF32:
        """Build the set; `query_perms[c]` is cloud c's new -> original int64 permutation or None."""

    @property
    def n_points(self) -> int:
        """Number of concatenated query points."""

    @property
    def n_clouds(self) -> int:
        """Number of query clouds."""

    @property
    def offsets(self) -> _U64:
        """Cloud boundaries (n_clouds + 1 entries): cloud c is `[offsets[c], offsets[c+1])`."""

    @property
    def perm(self) -> _U64:
        """Sorted position -> concatenated index, for `query_grouped(finalize=False)` results."""
