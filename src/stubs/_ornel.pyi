"""Nearest-neighbour joins of 3-D point clouds by walking their neighbourhood graphs."""

from collections.abc import Sequence
from typing import final

import numpy as np
import numpy.typing as npt

_F32 = npt.NDArray[np.float32]
_F64 = npt.NDArray[np.float64]
_U32 = npt.NDArray[np.uint32]
_U64 = npt.NDArray[np.uint64]
_I64 = npt.NDArray[np.int64]
_Flag = bool | np.bool_

def all_nearest_neighbours(
    x_points: _F64, x_indices: _U32, x_neighbors: _U32, y_points: _F64, y_indices: _U32, y_neighbors: _U32
) -> tuple[_F64, _U64]: ...
def all_nearest_neighbours_f32(
    x_points: _F32, x_indices: _U32, x_neighbors: _U32, y_points: _F32, y_indices: _U32, y_neighbors: _U32
) -> tuple[_F32, _U64]: ...
def all_nearest_neighbours_k(
    x_points: _F64,
    x_indices: _U32,
    x_neighbors: _U32,
    y_points: _F64,
    y_indices: _U32,
    y_neighbors: _U32,
    k: int,
    ef: int,
) -> tuple[_F64, _U64]: ...
def all_nearest_neighbours_k_f32(
    x_points: _F32,
    x_indices: _U32,
    x_neighbors: _U32,
    y_points: _F32,
    y_indices: _U32,
    y_neighbors: _U32,
    k: int,
    ef: int,
) -> tuple[_F32, _U64]: ...
def graph_from_simplices(simplices: npt.NDArray[np.uint64], n_points: int) -> tuple[_U32, _U32]: ...
@final
class PreparedF64:
    def __new__(cls, points: _F64, indptr: _U32, indices: _U32) -> PreparedF64: ...
    @property
    def n(self) -> int: ...
    @property
    def data(self) -> _F64: ...
    def query(
        self, x_points: _F64, x_indptr: _U32, x_indices: _U32, distance_upper_bound: float | None = None
    ) -> tuple[_F64, _U64]: ...
    def query_prepared(self, other: PreparedF64, distance_upper_bound: float | None = None) -> tuple[_F64, _U64]: ...
    def query_k(
        self,
        x_points: _F64,
        x_indptr: _U32,
        x_indices: _U32,
        k: int,
        ef: int,
        distance_upper_bound: float | None = None,
    ) -> tuple[_F64, _U64]: ...
    def query_prepared_k(
        self, other: PreparedF64, k: int, ef: int, distance_upper_bound: float | None = None
    ) -> tuple[_F64, _U64]: ...
    def query_prepared_blocked(
        self, other: PreparedF64, block: int = 8, distance_upper_bound: float | None = None
    ) -> tuple[_F64, _U64]: ...
    def query_grouped(
        self,
        grouped: GroupedQueriesF64,
        target_perm: _I64 | None,
        block: int = 32,
        distance_upper_bound: float | None = None,
        finalize: _Flag = True,
    ) -> tuple[_F64, _U64]: ...

@final
class PreparedF32:
    def __new__(cls, points: _F32, indptr: _U32, indices: _U32) -> PreparedF32: ...
    @property
    def n(self) -> int: ...
    @property
    def data(self) -> _F32: ...
    def query(
        self, x_points: _F32, x_indptr: _U32, x_indices: _U32, distance_upper_bound: float | None = None
    ) -> tuple[_F32, _U64]: ...
    def query_prepared(self, other: PreparedF32, distance_upper_bound: float | None = None) -> tuple[_F32, _U64]: ...
    def query_k(
        self,
        x_points: _F32,
        x_indptr: _U32,
        x_indices: _U32,
        k: int,
        ef: int,
        distance_upper_bound: float | None = None,
    ) -> tuple[_F32, _U64]: ...
    def query_prepared_k(
        self, other: PreparedF32, k: int, ef: int, distance_upper_bound: float | None = None
    ) -> tuple[_F32, _U64]: ...
    def query_prepared_blocked(
        self, other: PreparedF32, block: int = 8, distance_upper_bound: float | None = None
    ) -> tuple[_F32, _U64]: ...
    def query_grouped(
        self,
        grouped: GroupedQueriesF32,
        target_perm: _I64 | None,
        block: int = 32,
        distance_upper_bound: float | None = None,
        finalize: _Flag = True,
    ) -> tuple[_F32, _U64]: ...

@final
class GroupedQueriesF64:
    @staticmethod
    def prepare(queries: Sequence[PreparedF64], query_perms: Sequence[_I64 | None]) -> GroupedQueriesF64: ...
    @property
    def n_points(self) -> int: ...
    @property
    def n_clouds(self) -> int: ...
    @property
    def offsets(self) -> _U64: ...
    @property
    def perm(self) -> _U64: ...

@final
class GroupedQueriesF32:
    @staticmethod
    def prepare(queries: Sequence[PreparedF32], query_perms: Sequence[_I64 | None]) -> GroupedQueriesF32: ...
    @property
    def n_points(self) -> int: ...
    @property
    def n_clouds(self) -> int: ...
    @property
    def offsets(self) -> _U64: ...
    @property
    def perm(self) -> _U64: ...

