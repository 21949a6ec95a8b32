"""Reading and writing point clouds in the file formats scans come in.

Every reader returns an (n, >= 3) array whose first three columns are x, y, z, and
reports an unusable file as a CloudError naming the file and what is wrong with it.
Writers take the points and per-point fields (such as `distance`) and write them in the
format of the path's suffix, the coordinates unchanged."""

from __future__ import annotations

import io
import math
import os
from collections.abc import Callable, Mapping
from os import PathLike
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ornel._cloud import CloudError

TEXT_SUFFIXES = (".xyz", ".txt", ".csv", ".pts")
READ_SUFFIXES = (".npy", ".ply", *TEXT_SUFFIXES, ".las", ".laz", ".pcd", ".obj")
# OBJ has no per-vertex scalar field to carry a distance.
WRITE_SUFFIXES = tuple(s for s in READ_SUFFIXES if s != ".obj")

Array = npt.NDArray[Any]


def suffix_of(path: str | PathLike[str]) -> str:
    return Path(path).suffix.lower()


def read_points(path: str | PathLike[str]) -> Array:
    """The points of a file, format by suffix; raises CloudError for an unusable file."""
    source = str(path)
    suffix = suffix_of(path)
    if suffix not in READ_SUFFIXES:
        raise CloudError(source, f"unknown format {suffix or '(no suffix)'!r}; "
                         f"known: {' '.join(READ_SUFFIXES)}")
    if not os.path.exists(path):
        raise CloudError(source, "no such file")
    if os.path.isdir(path):
        raise CloudError(source, "is a directory")
    if not os.access(path, os.R_OK):
        raise CloudError(source, "cannot be read (permission denied)")
    try:
        return READERS[suffix](Path(path), source)
    except CloudError:
        raise
    except MemoryError:
        raise CloudError(source, "too large to load into memory") from None
    except OSError as error:
        raise CloudError(source, f"cannot be read ({error.strerror or error})") from None


def _stack_xyz(columns: Mapping[str, Array], names: tuple[str, str, str], source: str, what: str) -> Array:
    missing = [n for n in names if n not in columns]
    if missing:
        raise CloudError(source, f"{what} has no {', '.join(missing)} (found: {', '.join(columns) or 'nothing'}); "
                         "fewer than three columns")
    return np.column_stack([np.asarray(columns[n]) for n in names])


def _read_npy(path: Path, source: str) -> Array:
    with open(path, "rb") as file:
        try:
            version = np.lib.format.read_magic(file)
            shape, fortran, dtype = (np.lib.format.read_array_header_1_0(file) if version == (1, 0)
                                     else np.lib.format.read_array_header_2_0(file))
        except (ValueError, EOFError, SyntaxError) as error:
            raise CloudError(source, f"not a valid .npy file ({error})") from None
        data_bytes = os.fstat(file.fileno()).st_size - file.tell()
    if dtype.hasobject:
        raise CloudError(source, "holds Python objects, not numbers")
    if dtype.names is not None:  # a structured array with fields x, y, z
        if len(shape) != 1:
            raise CloudError(source, f"structured array of shape {shape}; expected one dimension")
    elif len(shape) != 2:
        raise CloudError(source, f"array of shape {shape}; expected (N, 3): one row per point")
    elif shape[1] < 3:
        raise CloudError(source, f"{shape[1]} columns; expected at least three (x, y, z)")
    # Check the header against the file before anything is allocated for it.
    needed = math.prod(shape) * dtype.itemsize
    if needed > data_bytes:
        raise CloudError(source, f"truncated or corrupt: its header announces shape {shape} of {dtype} "
                         f"({needed:,} bytes), but the file holds {data_bytes:,} bytes of data")
    array: Array = np.load(path, mmap_mode="r", allow_pickle=False) if needed else np.zeros(shape, dtype)
    if dtype.names is not None:
        return _stack_xyz({name: array[name] for name in dtype.names}, ("x", "y", "z"), source, "the array")
    return array


def _read_ply(path: Path, source: str) -> Array:
    from plyfile import PlyData

    try:
        ply = PlyData.read(str(path))
    except Exception as error:  # plyfile reports malformed files with several exception types
        raise CloudError(source, f"not a readable PLY file ({_one_line(error)})") from None
    if "vertex" not in ply:
        raise CloudError(source, "has no vertex element")
    vertex = ply["vertex"].data
    return _stack_xyz({name: vertex[name] for name in vertex.dtype.names or ()}, ("x", "y", "z"),
                      source, "the vertex element")


def _is_number(token: str) -> bool:
    try:
        float(token)
    except ValueError:
        return False
    return True


def _read_text(path: Path, source: str) -> Array:
    with open(path, encoding="utf-8", errors="replace") as file:
        text = file.read()
    lines = text.splitlines()
    first, seen_content = 0, False
    # Skip what precedes the numbers: blank and comment lines, a line of column names,
    # and the point count that starts a .pts file.
    while first < len(lines):
        stripped = lines[first].strip()
        tokens = stripped.replace(",", " ").replace(";", " ").split()
        is_comment = not tokens or stripped.startswith(("#", "//", "%"))
        is_names = bool(tokens) and not _is_number(tokens[0])
        is_count = not seen_content and len(tokens) == 1 and tokens[0].isdigit()
        if not (is_comment or is_names or is_count):
            break
        seen_content = seen_content or not is_comment
        first += 1
    if first == len(lines):
        raise CloudError(source, "no points")
    line = lines[first]
    delimiter = "," if "," in line else (";" if ";" in line else None)
    tokens = line.split(delimiter)
    if len([t for t in tokens if t.strip()]) < 3:
        raise CloudError(source, f"line {first + 1}: {len(tokens)} column{'s' if len(tokens) != 1 else ''}; "
                         "fewer than three columns (x, y, z)")
    try:
        with np.errstate(all="ignore"):
            points = np.loadtxt(io.StringIO("\n".join(lines[first:])), delimiter=delimiter, usecols=(0, 1, 2),
                                comments=("#", "//"), ndmin=2, dtype=np.float64)
    except ValueError as error:
        detail = _one_line(error)
        # numpy counts rows from the first one it read
        problem = "fewer than three columns on some line" if "invalid column index" in detail else "not numbers"
        raise CloudError(source, f"{problem} ({detail}, counting from line {first + 1}); "
                         "expected x, y, z in the first three columns") from None
    return points


def _read_obj(path: Path, source: str) -> Array:
    rows = []
    with open(path, encoding="utf-8", errors="replace") as file:
        for number, line in enumerate(file, 1):
            if not line.startswith("v ") and not line.startswith("v\t"):
                continue  # faces, normals, texture coordinates, groups: not points
            tokens = line.split()[1:4]
            if len(tokens) < 3:
                raise CloudError(source, f"line {number}: vertex with {len(tokens)} coordinates; "
                                 "fewer than three columns")
            try:
                rows.append([float(t) for t in tokens])
            except ValueError:
                raise CloudError(source, f"line {number}: vertex coordinates are not numbers") from None
    if not rows:
        raise CloudError(source, "no vertices ('v x y z' lines)")
    return np.array(rows, np.float64)


def _needs(module: str, extra: str, source: str, suffix: str) -> Any:
    try:
        return __import__(module)
    except ImportError:
        raise CloudError(source, f"{suffix} files need the {module} package: pip install \"ornel[{extra}]\"") from None


def _read_las(path: Path, source: str) -> Array:
    laspy = _needs("laspy", "las", source, path.suffix)
    try:
        las = laspy.read(str(path))
    except Exception as error:  # laspy raises its own errors, and others from its LAZ backends
        raise CloudError(source, f"not a readable LAS/LAZ file ({_one_line(error)})") from None
    return np.column_stack([np.asarray(las.x), np.asarray(las.y), np.asarray(las.z)])


def _read_pcd(path: Path, source: str) -> Array:
    pypcd4 = _needs("pypcd4", "pcd", source, ".pcd")
    try:
        cloud = pypcd4.PointCloud.from_path(str(path))
        fields = tuple(cloud.fields)
        if not all(axis in fields for axis in ("x", "y", "z")):
            raise CloudError(source, f"has no x, y, z fields (found: {', '.join(fields)}); fewer than three columns")
        points: Array = np.asarray(cloud.numpy(("x", "y", "z")))
    except CloudError:
        raise
    except Exception as error:  # pypcd4 raises several types (and its header validation's) for bad files
        raise CloudError(source, f"not a readable PCD file ({_one_line(error)})") from None
    return points


READERS: dict[str, Callable[[Path, str], Array]] = {
    ".npy": _read_npy, ".ply": _read_ply, ".las": _read_las, ".laz": _read_las, ".pcd": _read_pcd,
    ".obj": _read_obj, **{suffix: _read_text for suffix in TEXT_SUFFIXES},
}


def _one_line(error: BaseException) -> str:
    lines = str(error).strip().splitlines()
    return lines[0] if lines else type(error).__name__


# --- writing -------------------------------------------------------------------------


def check_writable(path: str | PathLike[str]) -> None:
    """Raises CloudError unless points can be written to `path` (suffix, extra installed)."""
    suffix = suffix_of(path)
    if suffix == ".obj":
        raise CloudError(str(path), "OBJ files cannot hold a per-point field; "
                         f"write one of {' '.join(WRITE_SUFFIXES)}")
    if suffix not in WRITE_SUFFIXES:
        raise CloudError(str(path), f"unknown format {suffix or '(no suffix)'!r}; known: {' '.join(WRITE_SUFFIXES)}")
    if suffix in (".las", ".laz"):
        _needs("laspy", "las", str(path), suffix)
    if suffix == ".laz":
        _needs("lazrs", "las", str(path), suffix)
    if suffix == ".pcd":
        _needs("pypcd4", "pcd", str(path), suffix)
    if os.path.isdir(path):
        raise CloudError(str(path), "is a directory")
    if not os.path.isdir(os.path.dirname(os.path.abspath(path))):
        raise CloudError(str(path), "its directory does not exist")


def write_points(path: str | PathLike[str], points: Array, fields: Mapping[str, Array],
                 las_scales: Array | None = None, las_offsets: Array | None = None) -> None:
    """Writes the points (n, 3), unchanged, and per-point fields in the format of the
    suffix. LAS stores coordinates as scaled integers: give the source file's scales and
    offsets to write its points back exactly; otherwise a grid finer than 1e-9 of the
    extent is chosen."""
    check_writable(path)
    suffix = suffix_of(path)
    columns = {"x": points[:, 0], "y": points[:, 1], "z": points[:, 2], **fields}
    try:
        if suffix == ".npy":
            np.save(path, np.column_stack(list(columns.values())), allow_pickle=False)
        elif suffix == ".ply":
            _write_ply(path, columns)
        elif suffix in TEXT_SUFFIXES:
            _write_text(path, columns, suffix)
        elif suffix in (".las", ".laz"):
            _write_las(path, points, fields, las_scales, las_offsets)
        else:
            _write_pcd(path, columns)
    except OSError as error:
        raise CloudError(str(path), f"cannot be written ({error.strerror or error})") from None


def _write_ply(path: str | PathLike[str], columns: Mapping[str, Array]) -> None:
    from plyfile import PlyData, PlyElement

    vertex = np.empty(len(columns["x"]), [(name, column.dtype.str) for name, column in columns.items()])
    for name, column in columns.items():
        vertex[name] = column
    PlyData([PlyElement.describe(vertex, "vertex")], text=False).write(str(path))


def _write_text(path: str | PathLike[str], columns: Mapping[str, Array], suffix: str) -> None:
    # Enough digits that every value reads back exactly (as float64, which holds any float32).
    formats = ["%.17g"] * len(columns)
    delimiter = "," if suffix == ".csv" else " "
    header = ",".join(columns) if suffix == ".csv" else (str(len(columns["x"])) if suffix == ".pts" else "")
    np.savetxt(path, np.column_stack([c.astype(np.float64) for c in columns.values()]), fmt=formats,
               delimiter=delimiter, header=header, comments="")


def _write_las(path: str | PathLike[str], points: Array, fields: Mapping[str, Array],
               scales: Array | None, offsets: Array | None) -> None:
    import laspy

    if scales is None or offsets is None:
        lo, hi = points.min(axis=0).astype(np.float64), points.max(axis=0).astype(np.float64)
        offsets = np.floor((lo + hi) / 2)
        reach = np.maximum(np.abs(hi - offsets), np.abs(lo - offsets)).max()
        scales = np.full(3, 10.0 ** math.ceil(math.log10(max(reach, 1e-300) / 2e9)))
    header = laspy.LasHeader(point_format=0, version="1.4")
    header.offsets, header.scales = offsets, scales
    for name, column in fields.items():
        header.add_extra_dim(laspy.ExtraBytesParams(name=name, type=column.dtype))
    las = laspy.LasData(header)
    las.x, las.y, las.z = points[:, 0], points[:, 1], points[:, 2]
    for name, column in fields.items():
        las[name] = column
    las.write(str(path))


def _write_pcd(path: str | PathLike[str], columns: Mapping[str, Array]) -> None:
    pypcd4 = _needs("pypcd4", "pcd", str(path), ".pcd")
    cloud = pypcd4.PointCloud.from_points(list(columns.values()), tuple(columns),
                                          tuple(column.dtype for column in columns.values()))
    cloud.save(str(path), encoding=pypcd4.Encoding.BINARY)


# Normal components a moved cloud's fields may hold: they turn with the points.
NORMAL_FIELDS = (("nx", "ny", "nz"), ("normal_x", "normal_y", "normal_z"))


def read_fields(path: str | PathLike[str]) -> dict[str, Array]:
    """The numeric per-point fields of a file other than x, y, z: a PLY file's vertex
    properties, a PCD file's fields, a structured .npy's fields, a plain .npy's columns past
    the third (as column3, column4, ...). Other formats (text, LAS, OBJ) give none. Call it
    after `read_points` accepted the file."""
    source, suffix = str(path), suffix_of(path)
    skip = {"x", "y", "z"}
    try:
        if suffix == ".ply":
            from plyfile import PlyData

            vertex = PlyData.read(source)["vertex"].data
            columns = {name: np.asarray(vertex[name]) for name in vertex.dtype.names or ()}
        elif suffix == ".pcd":
            pypcd4 = _needs("pypcd4", "pcd", source, ".pcd")
            cloud = pypcd4.PointCloud.from_path(source)
            columns = {name: np.asarray(cloud.numpy((name,)))[:, 0] for name in cloud.fields}
        elif suffix == ".npy":
            array = np.load(source, mmap_mode="r", allow_pickle=False)
            if array.dtype.names is not None:
                columns = {name: np.asarray(array[name]) for name in array.dtype.names}
            else:
                columns = {f"column{i}": np.asarray(array[:, i]) for i in range(3, array.shape[1])}
        else:
            return {}
    except CloudError:
        raise
    except Exception as error:  # the readers' own errors; read_points has named the file's problem already
        raise CloudError(source, f"its fields cannot be read ({_one_line(error)})") from None
    return {name: column for name, column in columns.items()
            if name not in skip and column.ndim == 1 and column.dtype.kind in "biuf"}
