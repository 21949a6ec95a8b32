"""A point cloud with the search structures it needs, built on first use and kept."""

from __future__ import annotations

import math
import mmap
import threading
from os import PathLike
from pathlib import Path
from typing import Any, Literal

import _ornel
import numpy as np
import numpy.typing as npt

from ornel._defaults import NORMAL_NEIGHBOURS
from ornel._errors import CloudError
from ornel._formats import read_points
from ornel._native import delaunay_graph
from ornel._normals import Side, estimate_normals, oriented_normals
from ornel._order import morton_order

Precision = Literal["f32", "f64"]
Prepared = _ornel.PreparedF32 | _ornel.PreparedF64
Graph = tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]
# Origin of the frame a cloud's single-precision coordinates are measured from.
Frame = tuple[float, float, float]

MAX_POINTS = 2**32 - 1  # the graphs index points with uint32


def check_precision(precision: str) -> Precision:
    if precision not in ("f32", "f64"):
        raise ValueError(f"precision must be 'f32' or 'f64', not {precision!r}")
    return precision  # type: ignore[return-value]


def validated_points(points: npt.ArrayLike, source: str | None) -> npt.NDArray[Any]:
    """An (n, 3) read-only float array of the first three columns; float32 input stays float32."""
    coords, _, _ = checked_points(points, source, copy=True)
    return coords


def checked_points(
    points: npt.ArrayLike, source: str | None, *, copy: bool
) -> tuple[npt.NDArray[Any], bool, tuple[float, float]]:
    """`validated_points`, whether the array is (a view of) the caller's (without `copy`,
    the given array itself wherever its type and layout can be read as they are), and the
    smallest and largest of its coordinates."""
    try:
        array = np.asarray(points)
    except (ValueError, TypeError) as error:
        raise CloudError(source, f"not an array of numbers ({error})") from None
    if array.ndim != 2:
        raise CloudError(source, f"array of shape {array.shape}; expected (N, 3): one row per point")
    if array.shape[1] < 3:
        raise CloudError(source, f"{array.shape[1]} columns; expected at least three (x, y, z)")
    if array.dtype.kind not in "fiu" or array.dtype.itemsize > 8:
        raise CloudError(source, f"element type {array.dtype}; expected real numbers")
    if len(array) == 0:
        raise CloudError(source, "no points")
    if len(array) > MAX_POINTS:
        raise CloudError(source, f"{len(array):,} points; at most {MAX_POINTS:,} are supported")
    dtype = np.float32 if array.dtype == np.float32 else np.float64
    coords = np.ascontiguousarray(array[:, :3], dtype=dtype)
    shared = coords is array or np.shares_memory(coords, array)
    if shared and copy:
        coords, shared = coords.copy(), False  # the caller may change their array later; ours must not move
    # NaN reaches the minimum and the maximum, an infinity one of them: two quick passes
    # without a mask of every coordinate.
    low, high = float(coords.min()), float(coords.max())
    if not (math.isfinite(low) and math.isfinite(high)):
        row = int(np.argmin(np.isfinite(coords).all(axis=1)))
        raise CloudError(source, f"non-finite coordinates (NaN or infinity), first in point {row}")
    if shared:
        coords = coords.view()  # read-only below without touching the caller's flags
    coords.flags.writeable = False
    return coords, shared, (low, high)


def finite_rows(points: npt.ArrayLike, source: str | None) -> tuple[Any, npt.NDArray[np.bool_] | None]:
    """The rows of `points` whose x, y and z are finite, and which rows those are (None:
    all of them): an organised scan's empty pixels dropped. What is no array of rows of
    numbers is passed on unchanged, for `validated_points` to refuse with its reason."""
    try:
        array = np.asarray(points)
    except (ValueError, TypeError):
        return points, None
    if array.ndim != 2 or array.shape[1] < 3 or array.dtype.kind != "f":
        return array, None
    valid = np.isfinite(array[:, :3]).all(axis=1)
    if valid.all():
        return array, None
    if not valid.any():
        raise CloudError(source, "no valid points (every one has a NaN or infinite coordinate)")
    return array[valid], valid


class Cloud:
    """A point cloud: its points (in the caller's order) and name, and, built on first
    need and kept, its spatial order, Delaunay graph and prepared search objects.

    With `skip_invalid`, rows with a NaN or infinite coordinate are dropped instead of
    refused; `valid` then says which of the given rows are the points (None: all).

    Everything derived is built at most once even when several threads ask at the same
    time, so one `Cloud` can take part in many joins from a thread pool."""

    def __init__(
        self, points: npt.ArrayLike, name: str | None = None, *, source: str | None = None, skip_invalid: bool = False
    ) -> None:
        self._setup(points, name, source, skip_invalid, copy=True)

    def _setup(
        self, points: npt.ArrayLike, name: str | None, source: str | None, skip_invalid: bool, *, copy: bool
    ) -> None:
        self.name = name if name is not None else "cloud"
        # What errors name: the file it came from, else its name.
        self.source = source if source is not None else name
        self.valid: npt.NDArray[np.bool_] | None = None
        if skip_invalid:
            points, self.valid = finite_rows(points, self.source)
        self.points, self._borrowed, checked_range = checked_points(points, self.source, copy=copy)
        self._range: tuple[float, float] | None = checked_range
        self._init_cache()

    @classmethod
    def over(
        cls, points: npt.ArrayLike, name: str | None = None, *, source: str | None = None, skip_invalid: bool = False
    ) -> Cloud:
        """A cloud over `points` itself, without the copy that shields it from the caller's
        later changes: for an array nobody changes while the cloud is used (one read for
        it, or one given to a call that drops the cloud on return). `own` takes the copy
        where the cloud outlives that. A memory-mapped file is read at once, since
        another process may change it."""
        cloud = cls.__new__(cls)
        cloud._setup(points, name, source, skip_invalid, copy=False)
        if cloud._borrowed and _mapped(points):
            cloud.own()
        return cloud

    @classmethod
    def adopt(
        cls, points: npt.ArrayLike, name: str | None = None, *, source: str | None = None, skip_invalid: bool = False
    ) -> Cloud:
        """A cloud that takes `points` for its own: for an array made for it, that nobody
        else changes (one just read from a file). No copy is made, then or later (`own`
        has nothing to do), but of a memory-mapped file, which another process may change."""
        cloud = cls.over(points, name, source=source, skip_invalid=skip_invalid)
        cloud._borrowed = False
        return cloud

    def own(self) -> None:
        """Copies the points of a cloud made `over` an array it does not own, so that
        changes to that array no longer reach it; else nothing."""
        with self._lock:
            if self._borrowed:
                points = self.points.copy()
                points.flags.writeable = False
                self.points, self._borrowed = points, False

    @property
    def skipped(self) -> int:
        """How many of the given rows were dropped for a NaN or infinite coordinate."""
        return 0 if self.valid is None else int(len(self.valid) - np.count_nonzero(self.valid))

    @property
    def coordinate_range(self) -> tuple[float, float]:
        """The smallest and largest of all the points' coordinates (found as they were
        checked: the points never change)."""
        if self._range is None:  # unpickled
            self._range = (float(self.points.min()), float(self.points.max()))
        return self._range

    def spread(self, values: npt.NDArray[Any], fill: Any = np.nan) -> npt.NDArray[Any]:
        """Per-point `values` (one row per point) over all the given rows, `fill` where a
        row was dropped."""
        if self.valid is None:
            return values
        out = np.full((len(self.valid), *values.shape[1:]), fill, dtype=values.dtype)
        out[self.valid] = values
        return out

    def _init_cache(self) -> None:
        self._lock = threading.RLock()
        self._order: npt.NDArray[np.int64] | None = None
        self._frame: Frame | None | bool = False  # False: not computed yet
        self._graphs: dict[Precision, Graph] = {}
        self._prepared: dict[Precision, Prepared] = {}
        self._sorted: dict[Precision, npt.NDArray[Any]] = {}
        self._normals: dict[int, npt.NDArray[np.float64]] = {}
        self._oriented: dict[tuple[int, Side], npt.NDArray[np.float64]] = {}

    @classmethod
    def load(cls, path: str | PathLike[str], name: str | None = None, *, skip_invalid: bool = False) -> Cloud:
        """Reads a cloud from a file (format by suffix: .npy .ply .xyz .txt .csv .pts .las
        .laz .pcd .obj); its name is the file's stem unless given."""
        points = read_points(path)
        # The array read is ours alone: the cloud keeps it rather than a copy of it.
        return cls.adopt(
            points, name if name is not None else Path(path).stem, source=str(path), skip_invalid=skip_invalid
        )

    def __len__(self) -> int:
        return len(self.points)

    def __repr__(self) -> str:
        return f"Cloud(name={self.name!r}, n={len(self.points)})"

    # Pickling carries the points, the name and what is cheap to carry but costly to
    # rebuild (order, graphs); the prepared objects are rebuilt from those on demand.
    def __getstate__(self) -> dict[str, Any]:
        with self._lock:
            return {
                "name": self.name,
                "source": self.source,
                "points": self.points,
                "order": self._order,
                "graphs": dict(self._graphs),
                "valid": self.valid,
            }

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.name, self.source, self.points = state["name"], state["source"], state["points"]
        self._borrowed = False
        self._range = None
        self.valid = state.get("valid")
        self._init_cache()
        self._order = state["order"]
        self._graphs = state["graphs"]
        for array in (self.points, self._order):  # read-only, as before pickling
            if array is not None:
                array.flags.writeable = False

    @property
    def order(self) -> npt.NDArray[np.int64]:
        """Spatial (Morton) order: sorted position -> index in `points`."""
        with self._lock:
            if self._order is None:
                self._order = morton_order(self.points).astype(np.int64)
                self._order.flags.writeable = False
            return self._order

    @property
    def frame(self) -> Frame | None:
        """Origin subtracted from the points before they are rounded to single precision:
        None when the cloud lies around the origin, else a coarse rounding of its centre.

        It depends on this cloud alone, so a pair's single-precision answers never depend
        on the other clouds of a run; the rounding lets nearby clouds of similar size share
        one frame, and so one query set."""
        with self._lock:
            if self._frame is False:
                self._frame = single_precision_frame(self.points)
            return self._frame  # type: ignore[return-value]

    def sorted_coordinates(self, precision: Precision) -> npt.NDArray[Any]:
        """The points in spatial order as they are searched in `precision` (single
        precision: measured from `frame`); built once and kept, read-only."""
        precision = check_precision(precision)
        with self._lock:
            coords = self._sorted.get(precision)
            if coords is None:
                coords = self.coordinates(precision, self.order)
                coords.flags.writeable = False
                self._sorted[precision] = coords
            return coords

    def coordinates(
        self, precision: Precision, order: npt.NDArray[np.int64] | None = None, frame: Frame | None | bool = True
    ) -> npt.NDArray[Any]:
        """The points (reordered by `order` if given) in `precision`. Single precision
        measures them from `frame` (True: this cloud's own frame), rounding the f64
        differences once; double precision never moves them."""
        coords = self.points if order is None else self.points[order]
        if precision == "f64":
            return np.ascontiguousarray(coords, dtype=np.float64)
        origin = self.frame if frame is True else frame
        with np.errstate(over="ignore"):  # overflow is reported below, as a CloudError
            if origin is None:
                single = np.ascontiguousarray(coords, dtype=np.float32)
            else:
                # The differences taken in double and rounded once, with no double array of them.
                single = np.empty(coords.shape, np.float32)
                np.subtract(coords, np.asarray(origin), out=single, dtype=np.float64, casting="same_kind")
        if not np.isfinite(single).all():
            raise CloudError(self.source, "coordinates too large for single precision; use double (f64)")
        return single

    def graph(self, precision: Precision = "f32", *, threads: int | None = None) -> Graph:
        """CSR Delaunay graph (indptr, indices) of the sorted points, as searched in `precision`.

        Rounding to single precision moves points (and can merge them), so the graph is
        that of the rounded points unless rounding changed nothing. A build runs on
        `threads` threads (default: the cores this process may use); the graph is the
        same for any number."""
        precision = check_precision(precision)
        with self._lock:
            graph = self._graphs.get(precision)
            if graph is None:
                if self.frame is None and self.points.dtype == np.float32:
                    # Both precisions search exactly the same coordinates.
                    graph = self._graphs.get("f64" if precision == "f32" else "f32")
                if graph is None:
                    graph = self._tetrahedralise(self.sorted_coordinates(precision), threads)
                self._graphs[precision] = graph
            return graph

    def _tetrahedralise(self, coords: npt.NDArray[Any], threads: int | None) -> Graph:
        try:
            # Flat, collinear and tiny clouds get the graph of their own dimension.
            indptr, indices = delaunay_graph(coords, threads=threads)
        except ValueError as error:
            raise CloudError(self.source, f"cannot build its graph ({error})") from None
        return indptr, indices

    def adopt_index(self, order: npt.ArrayLike, graphs: dict[Precision, Graph]) -> None:
        """Takes a spatial order and graphs (per precision, of the points in that order)
        built elsewhere, such as a stored index, instead of building them.

        The searches trust a graph without checks, so lengths and index ranges are
        checked here; ValueError says what does not fit. Graphs already built are kept,
        and an order other than the one already built is refused, since its graphs would
        not fit the ones this cloud holds."""
        n = len(self.points)
        order = np.asarray(order)
        if order.shape != (n,) or order.dtype.kind not in "iu":
            raise ValueError(f"order of shape {order.shape} and type {order.dtype}; expected ({n},) integers")
        seen = np.bincount(order.astype(np.int64, copy=False), minlength=n) if n and order.min() >= 0 else None
        if seen is None or len(seen) != n or not (seen == 1).all():
            raise ValueError(f"order is not a permutation of the {n} points")
        checked: dict[Precision, Graph] = {}
        for precision, (indptr, indices) in graphs.items():
            precision = check_precision(precision)
            indptr, indices = np.asarray(indptr), np.asarray(indices)
            if indptr.dtype != np.uint32 or indices.dtype != np.uint32 or indptr.ndim != 1 or indices.ndim != 1:
                raise ValueError(f"{precision} graph of types {indptr.dtype}, {indices.dtype}; expected 1-D uint32")
            if (
                len(indptr) != n + 1
                or indptr[0] != 0
                or indptr[-1] != len(indices)
                or (np.diff(indptr.astype(np.int64)) < 0).any()
            ):
                raise ValueError(f"{precision} graph offsets do not fit {n} points and {len(indices)} neighbours")
            if len(indices) and int(indices.max()) >= n:
                raise ValueError(f"{precision} graph names point {int(indices.max())} of {n}")
            checked[precision] = (indptr, indices)
        order = order.astype(np.int64)  # a fresh array: the caller's may change later
        order.flags.writeable = False
        with self._lock:
            if self._order is None:
                self._order = order
            elif not np.array_equal(self._order, order):
                raise ValueError("an order other than the one already built")
            for precision, graph in checked.items():
                self._graphs.setdefault(precision, graph)

    def cached_graph(self, precision: Precision) -> Graph | None:
        """The graph if it has been built or adopted, without building anything."""
        with self._lock:
            return self._graphs.get(precision)

    def cached_prepared(self, precision: Precision) -> Prepared | None:
        """The prepared object if it has been built, without building anything."""
        with self._lock:
            return self._prepared.get(precision)

    def prepared(self, precision: Precision = "f32", *, threads: int | None = None) -> Prepared:
        """The sorted points and their graph packed for searching (as target or as query);
        a graph still to build gets `threads` threads (see `graph`)."""
        precision = check_precision(precision)
        with self._lock:
            prepared = self._prepared.get(precision)
            if prepared is None:
                indptr, indices = self.graph(precision, threads=threads)
                coords = self.sorted_coordinates(precision)
                if precision == "f32":
                    prepared = _ornel.PreparedF32(coords, indptr, indices)
                else:
                    prepared = _ornel.PreparedF64(coords, indptr, indices)
                self._prepared[precision] = prepared
            return prepared

    def normals(self, neighbours: int = NORMAL_NEIGHBOURS, *, threads: int | None = None) -> npt.NDArray[np.float64]:
        """Unit normals of the sorted points (the rows of `sorted_coordinates("f64")`),
        from the spread of each point's `neighbours` nearest points; built once and kept,
        on `threads` threads (default: the cores this process may use), the same for any number."""
        with self._lock:
            normals = self._normals.get(neighbours)
            if normals is None:
                normals = self._normals[neighbours] = estimate_normals(self, neighbours, threads=threads)
            return normals

    def oriented_normals(
        self, side: Side, neighbours: int = NORMAL_NEIGHBOURS, *, threads: int | None = None
    ) -> npt.NDArray[np.float64]:
        """The normals of `normals`, oriented consistently over each connected part of
        the cloud and then toward `side` (see `ornel._normals.oriented_normals`); built
        once per side and kept."""
        with self._lock:
            normals = self._oriented.get((neighbours, side))
            if normals is None:
                normals = oriented_normals(self, side, neighbours, threads=threads)
                self._oriented[(neighbours, side)] = normals
            return normals


def _mapped(points: Any) -> bool:
    """Whether an array is (a view of) a memory-mapped file."""
    while isinstance(points, np.ndarray):
        if isinstance(points, np.memmap):
            return True
        points = points.base
    return isinstance(points, mmap.mmap)


def as_cloud(
    cloud: Cloud | npt.ArrayLike, default_name: str, skip_invalid: bool = False, borrow: bool = False
) -> Cloud:
    """`cloud`, or a cloud of the array given; with `borrow`, made `Cloud.over` it, for a
    call that drops it on return (or `own`s it)."""
    if isinstance(cloud, Cloud):
        return cloud
    if borrow:
        return Cloud.over(cloud, default_name, skip_invalid=skip_invalid)
    return Cloud(cloud, default_name, skip_invalid=skip_invalid)


# Rows of a cloud's bounding box measured at a time: a block stays in cache while its
# six columns are reduced, so that the points are read from memory once rather than six
# times (at 10,000,000 points 0.6 of the time).
BOX_BLOCK_ROWS = 1 << 16


def bounding_box(points: npt.NDArray[Any]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Smallest and largest coordinates of (n, 3) points, in double precision (NaN where a
    column holds one). Column by column: NumPy reduces an (n, 3) array over its rows many
    times slower."""
    found = []
    for start in range(0, max(1, len(points)), BOX_BLOCK_ROWS):
        block = points[start : start + BOX_BLOCK_ROWS]
        columns = block[:, :3].T
        found.append([column.min() for column in columns] + [column.max() for column in columns])
    ends = np.array(found, dtype=np.float64)
    return ends[:, :3].min(axis=0), ends[:, 3:].max(axis=0)


def single_precision_frame(points: npt.NDArray[Any]) -> Frame | None:
    """The frame origin of a cloud's single-precision coordinates: None when it lies
    around the origin (no coordinate beyond four times its extent), else its centre
    rounded to a multiple of 2^k, 2^k the power of two from 8 to 16 times its extent.

    Rounded so, the points lie within about five extents of the origin: a coordinate (or
    a query's, measured from here) loses at most 2^-24 of the pair's extent times a few
    to rounding, wherever the cloud lies, and nearby clouds of similar size usually share
    the frame."""
    lo, hi = bounding_box(points)
    extent = float(np.max(hi - lo))
    if float(np.max(np.maximum(np.abs(lo), np.abs(hi)))) <= 4 * extent:
        return None
    centre = (lo + hi) / 2
    if 0 < extent < math.inf:
        grid = 2.0 ** (math.ceil(math.log2(extent)) + 3)
        centre = np.round(centre / grid) * grid
    return (float(centre[0]), float(centre[1]), float(centre[2]))
