from collections.abc import Sequence
from typing import Any, type_check_only

import numpy as np
import numpy.typing as npt

def delaunay(points: npt.NDArray[Any], *, threads: int | None = None) -> npt.NDArray[np.uint64]: ...
def delaunay_graph(
    points: npt.NDArray[Any], *, threads: int | None = None
) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]: ...
def nearest_from_starts(
    points: npt.NDArray[Any],
    indptr: npt.NDArray[np.uint32],
    indices: npt.NDArray[np.uint32],
    queries: npt.NDArray[np.float64],
    starts: npt.NDArray[np.uint32] | None,
    distance_upper_bound: float | None = None,
    threads: int | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]: ...
def morton_order(points: npt.NDArray[Any]) -> npt.NDArray[np.int64]: ...
def grid_nearest(
    points: npt.NDArray[Any],
    queries: npt.NDArray[Any],
    threads: int | None = None,
    origin: npt.NDArray[np.float64] | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]: ...

# Made only by grid_build; the module does not export the type itself.
@type_check_only
class BuiltGrid:
    @property
    def rows(self) -> int: ...
    @property
    def address(self) -> int: ...

# Made only by grid_search_ahead; the module does not export the type itself.
@type_check_only
class GridSearch:
    @property
    def rows(self) -> int: ...
    @property
    def address(self) -> int: ...
    @property
    def grid(self) -> BuiltGrid: ...

def grid_build(points: bytes | bytearray | memoryview, threads: int | None = None) -> BuiltGrid: ...
def grid_nearest_built(
    grid: BuiltGrid, queries: npt.NDArray[Any], threads: int | None = None
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]: ...
def grid_search_ahead(grid: BuiltGrid, queries: bytes | bytearray | memoryview, least: int = 16384) -> GridSearch: ...
def grid_search_work(search: GridSearch) -> None: ...
def grid_search_stop(search: GridSearch) -> None: ...
def grid_search_finish(
    search: GridSearch, threads: int | None = None
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]: ...
def grid_ball_counts(
    points: npt.NDArray[Any], queries: npt.NDArray[Any], radius: float, threads: int | None = None
) -> npt.NDArray[np.uint64]: ...
def grid_nearest_k(
    points: npt.NDArray[Any], queries: npt.NDArray[Any], k: int, threads: int | None = None
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]: ...
def track_nearest(
    points: npt.NDArray[Any],
    indptr: npt.NDArray[np.uint32],
    indices: npt.NDArray[np.uint32],
    queries: npt.NDArray[np.float64],
    previous: npt.NDArray[np.float64] | None = None,
    starts: npt.NDArray[np.uint32] | None = None,
    margins: npt.NDArray[np.float64] | None = None,
    threads: int | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32], npt.NDArray[np.float64]]: ...
def knn_self(
    points: npt.NDArray[Any],
    indptr: npt.NDArray[np.uint32],
    indices: npt.NDArray[np.uint32],
    k: int,
    ef: int,
    threads: int | None = None,
) -> tuple[npt.NDArray[Any], npt.NDArray[np.uint32]]: ...
def point_to_plane_system(
    moved: npt.NDArray[np.float64],
    targets: npt.NDArray[np.float64],
    normals: npt.NDArray[np.float64],
    matches: npt.NDArray[np.uint32],
    squared: npt.NDArray[np.float64],
    limit2: float,
    scale: float,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def estimate_normals(
    points: npt.NDArray[Any], neighbours: npt.NDArray[np.uint32], passes: int = 2
) -> npt.NDArray[np.float64]: ...
def orient_normals(
    points: npt.NDArray[Any], normals: npt.NDArray[np.float64], neighbours: npt.NDArray[np.uint32]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]: ...
def sheet_normals(
    points: npt.NDArray[Any], neighbours: npt.NDArray[np.uint32], core: int
) -> npt.NDArray[np.float64]: ...
def ball_search(
    points: npt.NDArray[Any], centres: npt.NDArray[np.float64], radius: float, threads: int | None = None
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.uint32]]: ...
def cylinder_search(
    points: npt.NDArray[Any],
    centres: npt.NDArray[np.float64],
    axes: npt.NDArray[np.float64],
    radius: float,
    half_length: float,
    threads: int | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.uint32]]: ...
def m3c2(
    epoch1: npt.NDArray[Any],
    epoch2: npt.NDArray[Any],
    cores: npt.NDArray[np.float64],
    normal_radii: npt.NDArray[np.float64],
    normals: npt.NDArray[np.float64] | None,
    side: int,
    toward: npt.NDArray[np.float64],
    cylinder_radius: float,
    max_depth: float,
    robust: bool,
    threads: int | None = None,
    order: npt.NDArray[np.int64] | None = None,
) -> tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
]: ...
def mesh_bvh(
    vertices: npt.NDArray[Any], triangles: npt.NDArray[np.uint32]
) -> tuple[npt.NDArray[Any], npt.NDArray[np.uint32], npt.NDArray[Any], npt.NDArray[np.uint32]]: ...
def mesh_closest(
    bounds: npt.NDArray[Any],
    links: npt.NDArray[np.uint32],
    corners: npt.NDArray[Any],
    order: npt.NDArray[np.uint32],
    queries: npt.NDArray[Any],
    normals: npt.NDArray[np.float64] | None = None,
    distance_upper_bound: float | None = None,
    threads: int | None = None,
    origin: Sequence[float] | npt.NDArray[np.float64] | None = None,
    barycentric: bool = True,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64], npt.NDArray[np.float64] | None]: ...
def mesh_pseudo_normals(vertices: npt.NDArray[Any], triangles: npt.NDArray[np.uint32]) -> npt.NDArray[np.float64]: ...
def mesh_obj(text: bytes) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]] | None: ...
