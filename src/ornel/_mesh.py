"""Triangle meshes: read from PLY, OBJ, STL and OFF files, and the exact closest point on
their triangles of every query point, optionally signed by the mesh's orientation.

A mesh is taken as it comes: degenerate triangles (zero area, repeated corners, slivers),
duplicate faces, open and non-manifold meshes are all measured exactly; only what has
no meaning (a face naming a missing vertex, no triangle at all, a non-finite
coordinate) is refused, with a CloudError saying what was expected and what was found.

Signs follow the pseudo-normal of the closest feature (Bærentzen and Aanæs 2005): the
face's normal inside a triangle, the sum of the adjacent faces' normals on an edge, their
angle-weighted sum at a vertex. On a closed, consistently wound mesh a distance is
negative inside and positive outside; elsewhere it tells the side as wound (the side the
counter-clockwise faces' normals point to is positive)."""

from __future__ import annotations

import contextlib
import os
import re
import struct
import threading
from dataclasses import dataclass
from os import PathLike
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ornel import _native
from ornel._errors import CloudError
from ornel._formats import ply_data, read_obj

MESH_SUFFIXES = (".ply", ".obj", ".stl", ".off")
Array = npt.NDArray[Any]


def mesh_coordinate(precision: str) -> type[np.floating[Any]]:
    """The type of an index's bounds and corners in `precision`."""
    return np.float32 if precision == "f32" else np.float64


@dataclass(eq=False)
class MeshDistances:
    """Each query point's closest point on the mesh: `distance` (float64; negative inside
    when signed; NaN where none within the bound), `triangle` (int64, -1 where none) and
    `barycentric` (n, 3) weights of that triangle's corners (NaN where none; None when
    not asked for)."""

    distance: npt.NDArray[np.float64]
    triangle: npt.NDArray[np.int64]
    barycentric: npt.NDArray[np.float64] | None


class Mesh:
    """A triangle mesh: `vertices` (n, 3) float64 and `triangles` (m, 3) int64 indices.

    Its search structures (a hierarchy over the triangles per precision, the
    pseudo-normals) are built on first use and kept; a Mesh may be searched from many
    threads at once."""

    def __init__(
        self, vertices: npt.ArrayLike, triangles: npt.ArrayLike, name: str = "mesh", source: str | None = None
    ) -> None:
        where = source or name
        vertices = np.asarray(vertices)
        if vertices.ndim != 2 or vertices.shape[1] < 3 or vertices.dtype.kind not in "fiu":
            raise CloudError(
                where, f"vertices of shape {vertices.shape} and type {vertices.dtype}; expected numbers of shape (n, 3)"
            )
        vertices = np.ascontiguousarray(vertices[:, :3], np.float64)
        bad = ~np.isfinite(vertices).all(axis=1)
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            raise CloudError(
                where, f"vertex {row} has a non-finite coordinate ({vertices[row].tolist()}); expected finite numbers"
            )
        triangles = np.asarray(triangles)
        if triangles.size == 0:
            raise CloudError(where, "no triangles; a mesh needs at least one face")
        if triangles.ndim != 2 or triangles.shape[1] != 3 or triangles.dtype.kind not in "iu":
            raise CloudError(
                where,
                f"triangles of shape {triangles.shape} and type {triangles.dtype}; "
                "expected integer vertex indices of shape (m, 3)",
            )
        triangles = triangles.astype(np.int64)
        outside = (triangles < 0) | (triangles >= len(vertices))
        if outside.any():
            row = int(np.flatnonzero(outside.any(axis=1))[0])
            raise CloudError(
                where,
                f"triangle {row} names vertex {int(triangles[row][outside[row]][0])}, "
                f"but the mesh has {len(vertices):,} vertices (0 to {len(vertices) - 1})",
            )
        if len(triangles) >= 2**31:
            raise CloudError(where, f"{len(triangles):,} triangles; at most {2**31 - 1:,} are supported")
        self.vertices: npt.NDArray[np.float64] = vertices
        self.triangles: npt.NDArray[np.int64] = triangles
        self.name, self.source = name, source
        self._lock = threading.Lock()
        self._normals_lock = threading.Lock()  # apart, so that both may be built at once
        self._indexes: dict[str, tuple[Array, Array, Array, Array]] = {}
        self._normals: Array | None = None
        self._digest: str | None = None

    @classmethod
    def load(cls, path: str | PathLike[str], name: str | None = None) -> Mesh:
        """The mesh of a PLY, OBJ (polygons fanned into triangles), STL (ASCII or binary) or
        OFF file; raises CloudError for a file that holds no usable mesh."""
        source = str(path)
        vertices, triangles = read_mesh(path)
        return cls(vertices, triangles, name or Path(path).stem, source)

    def __len__(self) -> int:
        return len(self.triangles)

    def __repr__(self) -> str:
        return f"Mesh({self.name!r}, {len(self.vertices):,} vertices, {len(self.triangles):,} triangles)"

    @property
    def centre(self) -> npt.NDArray[np.float64]:
        """The middle of the bounding box: the origin single precision measures from."""
        centre: npt.NDArray[np.float64] = (self.vertices.min(axis=0) + self.vertices.max(axis=0)) / 2
        return centre

    def index(self, precision: str = "f64") -> tuple[Array, Array, Array, Array]:
        """The hierarchy over the triangles in `precision` ("f32": coordinates taken from
        the centre), built once: (bounds, links, corners, order)."""
        if precision not in ("f32", "f64"):
            raise ValueError(f"precision must be 'f32' or 'f64', not {precision!r}")
        with self._lock:
            if precision not in self._indexes:
                self._indexes[precision] = _native.mesh_bvh(
                    self._vertices_in(precision), self.triangles.astype(np.uint32)
                )
            return self._indexes[precision]

    @property
    def digest(self) -> str:
        """SHA-256 of the vertices and triangles as searched: the same mesh gives the same
        digest wherever its file lies and whatever it is called (how a store knows it)."""
        with self._lock:
            if self._digest is None:
                import hashlib  # only for a store: OpenSSL's bindings cost a comparison milliseconds

                digest = hashlib.sha256(f"mesh {self.vertices.shape} {self.triangles.shape}".encode())
                digest.update(self.vertices.data.cast("B"))
                digest.update(self.triangles.data.cast("B"))
                self._digest = digest.hexdigest()
            return self._digest

    def has_index(self, precision: str) -> bool:
        """Whether the index in `precision` is built (or adopted) already."""
        with self._lock:
            return precision in self._indexes

    def adopt_index(self, precision: str, arrays: Any) -> None:
        """Takes (bounds, links, corners, order), flat or shaped, as the index in
        `precision` (as `index` returns it), after checking that it is a hierarchy over
        exactly these triangles: a tree, every triangle in one lane, the corners this
        mesh's. Raises ValueError otherwise, keeping nothing."""
        if precision not in ("f32", "f64"):
            raise ValueError(f"precision must be 'f32' or 'f64', not {precision!r}")
        coordinate = mesh_coordinate(precision)
        bounds, links, corners, order = (np.asarray(array) for array in arrays)
        m = len(self.triangles)
        types = (bounds.dtype, links.dtype, corners.dtype, order.dtype)
        if types != (np.dtype(coordinate), np.dtype(np.uint32), np.dtype(coordinate), np.dtype(np.uint32)):
            raise ValueError(
                f"arrays of types {', '.join(map(str, types))}; expected {np.dtype(coordinate)} ones and uint32"
            )
        nodes = bounds.size // 24
        if (
            nodes == 0
            or bounds.size != 24 * nodes
            or links.size != 4 * nodes
            or corners.size != 9 * m
            or order.size != m
        ):
            raise ValueError(
                f"arrays of sizes {bounds.size}, {links.size}, {corners.size}, {order.size}; expected 24 and 4 "
                f"per node, 9 and 1 per triangle of {m:,}"
            )
        bounds, links = np.ascontiguousarray(bounds.reshape(nodes, 24)), np.ascontiguousarray(links.reshape(nodes, 4))
        corners, order = np.ascontiguousarray(corners.reshape(m, 9)), np.ascontiguousarray(order)
        if (order >= m).any() or (np.bincount(order, minlength=m) != 1).any():
            raise ValueError("its order is not a permutation of the triangles")
        if not np.array_equal(corners, self._vertices_in(precision)[self.triangles[order]].reshape(m, 9)):
            raise ValueError("its corners are not this mesh's")
        _check_tree(links, m)
        with self._lock:
            self._indexes[precision] = (bounds, links, corners, order)

    def _vertices_in(self, precision: str) -> Array:
        if precision == "f64":
            return self.vertices
        return (self.vertices - self.centre).astype(np.float32)

    def _pseudo_normals_quietly(self) -> None:
        # On a side thread: what fails there is raised by the caller's own call after it,
        # rather than printed by the thread.
        with contextlib.suppress(Exception):
            self.pseudo_normals()

    def pseudo_normals(self) -> npt.NDArray[np.float64]:
        """(m, 7, 3) unit (or zero) pseudo-normals per triangle: its face, its corners a b
        c, its edges ab bc ca. Vertices at equal coordinates are one (a triangle soup signs
        as its welded surface); a zero normal (a degenerate face, faces that cancel) leaves
        a distance positive."""
        with self._normals_lock:
            if self._normals is None:
                self._normals = _native.mesh_pseudo_normals(self.vertices, self.triangles.astype(np.uint32))
            return self._normals

    def closest(
        self,
        points: npt.ArrayLike,
        *,
        precision: str = "f64",
        signed: bool = False,
        max_distance: float | None = None,
        threads: int | None = None,
        barycentric: bool = True,
    ) -> MeshDistances:
        """Every point's closest point on the triangles, exact in double precision.

        In single precision points and vertices are taken from the mesh's centre and
        rounded to float32; a distance is then within 8 * 2**-23 * (R + d) of the exact
        distance of the original points, R being the largest distance of a vertex or the
        point from the centre and d the distance. `signed`: negative inside (see the module).
        Points farther than `max_distance` get none. `barycentric=False`: the weights are
        not kept (None), which spares 24 bytes a point where only distances are wanted."""
        points = np.asarray(points)
        if points.ndim != 2 or points.shape[1] < 3:
            raise CloudError(None, f"points of shape {points.shape}; expected (n, 3)")
        if signed and self._normals is None and not self.has_index(precision):
            # Both native and without the interpreter's lock: built side by side. A failure
            # of the side thread is met again (and raised) below.
            side = threading.Thread(target=self._pseudo_normals_quietly)
            side.start()
            try:
                self.index(precision)
            finally:
                side.join()
        index = self.index(precision)
        # Read as they are (float32 or float64, any strides): the search takes them from
        # the centre and rounds them itself, with no converted copy.
        queries = points[:, :3] if points.dtype in (np.float32, np.float64) else points[:, :3].astype(np.float64)
        origin = self.centre if precision == "f32" else None
        normals = self.pseudo_normals() if signed else None
        bounds, links, corners, order = index
        try:
            distance, triangle, weights = _native.mesh_closest(
                bounds, links, corners, order, queries, normals, max_distance, threads, origin, bool(barycentric)
            )
        except ValueError:
            with np.errstate(over="ignore", invalid="ignore"):
                local = queries.astype(np.float64) if origin is None else (queries - origin).astype(np.float32)
            finite = np.isfinite(local).all(axis=1)
            if finite.all():
                raise
            row = int(np.flatnonzero(~finite)[0])
            raise CloudError(None, f"point {row} has a non-finite coordinate; expected finite numbers") from None
        return MeshDistances(distance, triangle, weights)

    def points_at(
        self, triangle: npt.NDArray[np.int64], barycentric: npt.NDArray[np.float64]
    ) -> npt.NDArray[np.float64]:
        """The points of the given triangles at the given weights (NaN where triangle < 0)."""
        found = triangle >= 0
        corners = self.vertices[self.triangles[np.where(found, triangle, 0)]]
        points: npt.NDArray[np.float64] = np.einsum("ij,ijk->ik", barycentric, corners)
        points[~found] = np.nan
        return points

    def face_normals(self) -> npt.NDArray[np.float64]:
        """(m, 3) unit normals by the winding (zero for a degenerate triangle)."""
        return self.pseudo_normals()[:, 0]


TRIANGLE_LANE = 2**31  # a lane's link with this bit holds a triangle's position
MAX_DEPTH = 64  # as the native search's stack allows


def _check_tree(links: Array, m: int) -> None:
    """What the native search checks before it walks a tree, said as a ValueError: every
    node but the root the child of exactly one node, after it; no path deeper than the
    search's stack allows; every triangle position in exactly one lane."""
    nodes = len(links)
    node_of = np.repeat(np.arange(nodes), 4)
    flat = links.reshape(-1).astype(np.int64)
    triangles = flat >= TRIANGLE_LANE
    positions = flat[triangles] - TRIANGLE_LANE
    if (positions >= m).any() or (np.bincount(positions, minlength=m) != 1).any():
        raise ValueError("its tree does not hold every triangle exactly once")
    children = (flat > 0) & ~triangles
    child, parent = flat[children], node_of[children]
    if (child >= nodes).any() or (child <= parent).any() or (np.bincount(child, minlength=nodes)[1:] != 1).any():
        raise ValueError("its links are not a tree (every node after its parent, the child of exactly one)")
    parents = np.zeros(nodes, np.int64)
    parents[child] = parent
    depth = np.zeros(nodes, np.int64)
    for _ in range(MAX_DEPTH):
        deeper = np.where(np.arange(nodes) > 0, depth[parents] + 1, 0)
        if np.array_equal(deeper, depth):
            return
        depth = deeper
    raise ValueError(f"its tree is deeper than {MAX_DEPTH - 1} levels")


def weld(points: Array) -> tuple[Array, int]:
    """(ids, count): one id per row, equal rows (-0 equal to 0) sharing theirs; ids in
    the rows' lexicographic order. Sorting by columns is far faster than np.unique on rows."""
    order = np.lexsort(points.T[::-1])
    ordered = points[order]
    starts = np.r_[True, (ordered[1:] != ordered[:-1]).any(axis=1)] if len(points) else np.zeros(0, bool)
    ids = np.empty(len(points), np.int64)
    ids[order] = np.cumsum(starts) - 1
    return ids, int(starts.sum())


# Reading.


def read_mesh(path: str | PathLike[str]) -> tuple[Array, Array]:
    """(vertices, triangles) of a mesh file, polygons fanned into triangles."""
    source = str(path)
    suffix = Path(path).suffix.lower()
    if suffix not in MESH_SUFFIXES:
        raise CloudError(source, f"unknown mesh format {suffix or '(no suffix)'!r}; known: {' '.join(MESH_SUFFIXES)}")
    if not os.path.exists(path):
        raise CloudError(source, "no such file")
    if os.path.isdir(path):
        raise CloudError(source, "is a directory")
    try:
        reader = {".ply": _read_ply_mesh, ".obj": _read_obj_mesh, ".stl": _read_stl, ".off": _read_off}[suffix]
        vertices, faces = reader(Path(path), source)
    except MemoryError:
        raise CloudError(source, "too large to load into memory") from None
    except OSError as error:
        raise CloudError(source, f"cannot be read ({error.strerror or error})") from None
    if len(vertices) == 0:
        raise CloudError(source, "no vertices; a mesh needs vertices and faces")
    if len(faces) == 0:
        raise CloudError(source, "no faces; a mesh needs at least one (compare to its vertices with --vertices)")
    return vertices, faces


def has_faces(path: str | PathLike[str]) -> bool:
    """Whether a model file holds faces (so is compared as a mesh), cheaply: PLY's header
    announces a face element with rows, an OBJ has an 'f' line; STL and OFF always do."""
    suffix = Path(path).suffix.lower()
    if suffix in (".stl", ".off"):
        return True
    try:
        if suffix == ".ply":
            with open(path, "rb") as file:
                for line in file:
                    words = line.split()
                    if words[:2] == [b"element", b"face"]:
                        return len(words) > 2 and words[2] != b"0"
                    if words[:1] == [b"end_header"]:
                        return False
        elif suffix == ".obj":
            with open(path, "rb") as file:
                return re.search(rb"(?m)^f[ \t]", file.read()) is not None
    except OSError:
        return False  # the cloud reader says what is wrong with the file
    return False


def _fan(polygons: list[Array] | Array, source: str, first_line: list[int] | None = None) -> Array:
    """Triangles of polygons given as index arrays: (v0, vk, vk+1) for each k."""
    if isinstance(polygons, np.ndarray):
        return polygons
    triangles = []
    for number, polygon in enumerate(polygons):
        if len(polygon) < 3:
            where = f"line {first_line[number]}" if first_line else f"face {number}"
            raise CloudError(source, f"{where}: a face of {len(polygon)} vertices; expected at least three")
        for k in range(1, len(polygon) - 1):
            triangles.append((polygon[0], polygon[k], polygon[k + 1]))
    return np.array(triangles, np.int64).reshape(-1, 3)


def _read_ply_mesh(path: Path, source: str) -> tuple[Array, Array]:
    ply = ply_data(path, source)
    vertex = ply["vertex"].data
    vertices = np.column_stack([vertex["x"], vertex["y"], vertex["z"]]).astype(np.float64)
    if "face" not in ply or len(ply["face"].data) == 0:
        return vertices, np.zeros((0, 3), np.int64)
    face = ply["face"].data
    names = face.dtype.names or ()
    field = next((n for n in ("vertex_indices", "vertex_index") if n in names), None)
    if field is None:
        raise CloudError(source, f"the face element has no vertex_indices (found: {', '.join(names) or 'nothing'})")
    lists = face[field]
    if lists.dtype != object:  # a fixed-size list read as a 2-D array
        return vertices, np.asarray(lists, np.int64).reshape(len(lists), -1)
    lengths = np.fromiter((len(p) for p in lists), np.int64, len(lists))
    if (lengths == 3).all():
        return vertices, np.vstack(lists).astype(np.int64)
    return vertices, _fan([np.asarray(p, np.int64) for p in lists], source)


def _read_obj_mesh(path: Path, source: str) -> tuple[Array, Array]:
    plain = _native.mesh_obj(path.read_bytes())  # most files, at once; None for the others
    if plain is not None:
        return plain[0], plain[1]
    vertices = read_obj(path, source)
    polygons: list[Array] = []
    lines: list[int] = []
    seen = 0  # vertices defined so far: negative indices count back from there
    with open(path, encoding="utf-8", errors="replace") as file:
        for number, line in enumerate(file, 1):
            if line.startswith(("v ", "v\t")):
                seen += 1
                continue
            if not line.startswith(("f ", "f\t")):
                continue
            try:
                indices = [int(token.split("/", 1)[0]) for token in line.split()[1:]]
            except ValueError:
                raise CloudError(
                    source, f"line {number}: face vertex indices are not whole numbers: {line.strip()[:60]!r}"
                ) from None
            if any(i == 0 for i in indices):
                raise CloudError(source, f"line {number}: face vertex index 0; OBJ counts vertices from 1")
            polygons.append(np.array([i - 1 if i > 0 else seen + i for i in indices], np.int64))
            lines.append(number)
    return vertices, _fan(polygons, source, lines)


def _read_stl(path: Path, source: str) -> tuple[Array, Array]:
    raw = path.read_bytes()
    corners: Array
    if len(raw) >= 84 and len(raw) == 84 + 50 * struct.unpack_from("<I", raw, 80)[0]:
        count = struct.unpack_from("<I", raw, 80)[0]
        records = np.frombuffer(
            raw, np.dtype([("normal", "<f4", 3), ("corners", "<f4", (3, 3)), ("attribute", "<u2")]), count, 84
        )
        corners = records["corners"].reshape(-1, 3).astype(np.float64)
    elif raw.lstrip()[:5].lower() == b"solid":
        rows = []
        for number, line in enumerate(raw.decode("utf-8", "replace").splitlines(), 1):
            words = line.split()
            if words[:1] == ["vertex"]:
                try:
                    rows.append([float(w) for w in words[1:4]])
                except ValueError:
                    raise CloudError(source, f"line {number}: vertex coordinates are not numbers") from None
                if len(words) < 4:
                    raise CloudError(source, f"line {number}: vertex with {len(words) - 1} coordinates; expected 3")
        if len(rows) % 3:
            raise CloudError(source, f"{len(rows)} vertices; expected three per facet")
        corners = np.array(rows, np.float64).reshape(-1, 3)
    else:
        size = struct.unpack_from("<I", raw, 80)[0] if len(raw) >= 84 else None
        expected = f"; its header announces {size:,} triangles ({84 + 50 * size:,} bytes)" if size is not None else ""
        raise CloudError(source, f"not an STL file: {len(raw):,} bytes, not ASCII ('solid ...'){expected}")
    # STL repeats every corner: equal ones are welded into one vertex.
    if len(corners) == 0:
        return corners, np.zeros((0, 3), np.int64)
    welded, count = weld(corners)
    vertices = np.empty((count, 3))
    vertices[welded] = corners
    return vertices, welded.reshape(-1, 3)


def _read_off(path: Path, source: str) -> tuple[Array, Array]:
    text = path.read_text(encoding="utf-8", errors="replace")
    lines = [(number, line.split("#", 1)[0].split()) for number, line in enumerate(text.splitlines(), 1)]
    lines = [(number, words) for number, words in lines if words]
    if not lines or not lines[0][1][0].upper().endswith("OFF"):
        raise CloudError(source, "not an OFF file (its first line is not 'OFF')")
    header = lines[0][1][1:]
    rest = lines[1:]
    if not header:
        if not rest:
            raise CloudError(source, "no vertex and face counts after 'OFF'")
        header, rest = rest[0][1], rest[1:]
    try:
        n_vertices, n_faces = int(header[0]), int(header[1])
    except (ValueError, IndexError):
        raise CloudError(source, f"counts {' '.join(header)!r}; expected 'vertices faces edges'") from None
    if len(rest) < n_vertices + n_faces:
        raise CloudError(
            source,
            f"truncated: its header announces {n_vertices:,} vertices and {n_faces:,} faces, "
            f"but the file holds {len(rest):,} lines of them",
        )
    try:
        vertices = np.array([[float(w) for w in words[:3]] for _, words in rest[:n_vertices]], np.float64)
    except ValueError:
        raise CloudError(source, "vertex coordinates are not numbers") from None
    if n_vertices and vertices.shape[1] != 3:
        raise CloudError(source, "a vertex with fewer than three coordinates")
    polygons, numbers = [], []
    for number, words in rest[n_vertices : n_vertices + n_faces]:
        try:
            count = int(words[0])
            polygon = np.array([int(w) for w in words[1 : 1 + count]], np.int64)
        except ValueError:
            raise CloudError(source, f"line {number}: face vertex indices are not whole numbers") from None
        if len(polygon) != count:
            raise CloudError(source, f"line {number}: a face of {count} vertices lists {len(polygon)}")
        polygons.append(polygon)
        numbers.append(number)
    return vertices.reshape(-1, 3), _fan(polygons, source, numbers)
