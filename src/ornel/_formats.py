"""Reading and writing point clouds in the file formats scans come in.

Every reader returns an (n, >= 3) array whose first three columns are x, y, z, and
reports an unusable file as a CloudError naming the file and what is wrong with it.
Writers take the points and per-point fields (such as `distance`) and write them in the
format of the path's suffix, the coordinates unchanged."""

from __future__ import annotations

import contextlib
import csv
import io
import math
import os
import re
import stat
import sys
import tempfile
import threading
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from os import PathLike
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ornel import _read_ahead as read_ahead
from ornel._defaults import READ_SUFFIXES, TEXT_SUFFIXES, WRITE_SUFFIXES
from ornel._errors import CloudError

Array = npt.NDArray[Any]


def suffix_of(path: str | PathLike[str]) -> str:
    return Path(path).suffix.lower()


def read_points(path: str | PathLike[str]) -> Array:
    """The points of a file, format by suffix; raises CloudError for an unusable file."""
    points: Array = read_checked(path, READERS)
    return points


def read_checked(path: str | PathLike[str], readers: Mapping[str, Callable[[Path, str], Any]]) -> Any:
    """What the reader for `path`'s suffix gives, with the file's common faults (missing,
    a directory, unreadable, too large) reported as a CloudError."""
    source = str(path)
    suffix = suffix_of(path)
    if suffix not in READ_SUFFIXES:
        raise CloudError(source, f"unknown format {suffix or '(no suffix)'!r}; known: {' '.join(READ_SUFFIXES)}")
    if not os.path.exists(path):
        raise CloudError(source, "no such file")
    if os.path.isdir(path):
        raise CloudError(source, "is a directory")
    if not os.access(path, os.R_OK):
        raise CloudError(source, "cannot be read (permission denied)")
    try:
        return readers[suffix](Path(path), source)
    except CloudError:
        raise
    except MemoryError:
        raise CloudError(source, "too large to load into memory") from None
    except OSError as error:
        raise CloudError(source, f"cannot be read ({error.strerror or error})") from None


def require_xyz(found: tuple[str, ...], names: tuple[str, str, str], source: str, what: str) -> None:
    missing = [n for n in names if n not in found]
    if missing:
        raise CloudError(
            source,
            f"{what} has no {', '.join(missing)} (found: {', '.join(found) or 'nothing'}); fewer than three columns",
        )


def stack_xyz(columns: Mapping[str, Array], names: tuple[str, str, str], source: str, what: str) -> Array:
    require_xyz(tuple(columns), names, source, what)
    return np.column_stack([np.asarray(columns[n]) for n in names])


def _read_npy(path: Path, source: str) -> Array:
    array = npy_array(path, source)
    if array.dtype.names is not None:
        return stack_xyz({name: array[name] for name in array.dtype.names}, ("x", "y", "z"), source, "the array")
    return array


# NumPy parses an array header with ast.literal_eval, which CPython 3.11 has been seen to
# fail in two threads at once (SystemError: AST constructor recursion depth mismatch).
NPY_HEADER_LOCK = threading.Lock()


def npy_array(path: Path, source: str) -> Array:
    """The array of a .npy file (memory-mapped), once its header is found sound."""
    with open(path, "rb") as file:
        try:
            with NPY_HEADER_LOCK:
                version = np.lib.format.read_magic(file)
                shape, fortran, dtype = (
                    np.lib.format.read_array_header_1_0(file)
                    if version == (1, 0)
                    else np.lib.format.read_array_header_2_0(file)
                )
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
    elif shape[0] == 3 and shape[1] > 3:
        raise CloudError(
            source,
            f"array of shape {shape} looks transposed (one column per point); expected (N, 3), "
            "one row per point: save it as np.save(path, array.T)",
        )
    # Check the header against the file before anything is allocated for it.
    needed = math.prod(shape) * dtype.itemsize
    if needed > data_bytes:
        raise CloudError(
            source,
            f"truncated or corrupt: its header announces shape {shape} of {dtype} "
            f"({needed:,} bytes), but the file holds {data_bytes:,} bytes of data",
        )
    if dtype.names is not None:
        require_xyz(dtype.names, ("x", "y", "z"), source, "the array")
    if not needed:
        return np.zeros(shape, dtype)
    with NPY_HEADER_LOCK:  # np.load parses the header again
        array: Array = np.load(path, mmap_mode="r", allow_pickle=False)
    return array


def _read_ply(path: Path, source: str) -> Array:
    return ply_points(ply_data(path, source)["vertex"].data, source)


def ply_points(vertex: Array, source: str) -> Array:
    """x, y, z of a PLY vertex element's records: the records themselves, seen as (n, 3),
    where they hold nothing else (three numbers of one type, in that order and native byte
    order), else a copy of those columns."""
    names = vertex.dtype.names or ()
    if names == ("x", "y", "z") and not isinstance(vertex, np.memmap):
        column = vertex.dtype["x"]
        if column.isnative and vertex.dtype == np.dtype([("x", column), ("y", column), ("z", column)]):
            return np.ascontiguousarray(vertex).view(column).reshape(len(vertex), 3)
    return stack_xyz({name: vertex[name] for name in names}, ("x", "y", "z"), source, "the vertex element")


def ply_data(path: Path, source: str) -> Any:
    """The whole PLY file (plyfile's PlyData), once it is found to have a vertex element
    with x, y, z."""
    from plyfile import PlyData

    try:
        ply = PlyData.read(str(path))
    except Exception as error:  # plyfile reports malformed files with several exception types
        element, row = getattr(error, "element", None), getattr(error, "row", None)
        if "end-of-file" in str(error) and element is not None and row is not None:
            what = "vertices" if element.name == "vertex" else f"'{element.name}' elements"
            detail = f"truncated: its header announces {element.count:,} {what}, but the file holds {row:,}"
        else:
            detail = _one_line(error)
        raise CloudError(source, f"not a readable PLY file ({detail})") from None
    if "vertex" not in ply:
        raise CloudError(source, "has no vertex element")
    require_xyz(ply["vertex"].data.dtype.names or (), ("x", "y", "z"), source, "the vertex element")
    for element in ply.elements:
        _read_into_memory(element, path, source)
    return ply


def _read_into_memory(element: Any, path: Path, source: str) -> None:
    """The records of a binary element that plyfile maps from the file, read into memory
    instead: another process may change a mapped file, so its points would be copied
    anyway, and the mapped pages would count beside that copy."""
    data = element.data
    if not isinstance(data, np.memmap) or not isinstance(data.offset, int) or data.dtype.hasobject:
        return
    ahead = read_ahead.take(path, data.offset, len(data) * data.dtype.itemsize)
    records: Array = (
        np.fromfile(path, dtype=data.dtype, count=len(data), offset=data.offset)
        if ahead is None
        else np.frombuffer(ahead, dtype=data.dtype, count=len(data))
    )
    if len(records) != len(data):  # the file shrank since its header was read
        what = "vertices" if element.name == "vertex" else f"'{element.name}' elements"
        detail = f"truncated: its header announces {len(data):,} {what}, but the file holds {len(records):,}"
        raise CloudError(source, f"not a readable PLY file ({detail})")
    element.data = records


def _is_number(token: str) -> bool:
    try:
        float(token)
    except ValueError:
        return False
    return True


# Lines starting with these are comments (before the points; further down "#" and "//").
COMMENT_STARTS = ("#", "//", "%")
# A Fortran double-precision exponent, as in 1.5D+03.
D_EXPONENT = re.compile(r"(?<=[0-9.])[dD](?=[+-]?[0-9])")


def _tokens(line: str) -> list[str]:
    return [t.strip('"') for t in line.replace(",", " ").replace(";", " ").split()]


def _read_text(path: Path, source: str) -> Array:
    return text_points(path.read_bytes(), source)


def text_points(raw: bytes, source: str) -> Array:
    """The x, y, z of a text file's bytes (see _read_text)."""
    if raw.startswith((b"\xff\xfe", b"\xfe\xff")):
        raise CloudError(
            source, "line 1: UTF-16 text (it starts with a UTF-16 byte-order mark); save it as UTF-8 or ASCII text"
        )
    nul = raw.find(b"\0")
    if nul >= 0:
        line_number = raw.count(b"\n", 0, nul) + 1
        raise CloudError(source, f"line {line_number}: a NUL byte: UTF-16 text or binary data, not UTF-8 or ASCII text")
    text = raw.decode("utf-8", errors="replace")
    lines = text.removeprefix("\ufeff").splitlines()  # a UTF-8 byte-order mark is not data
    first, names, count = text_preamble(lines)
    if first == len(lines):
        raise CloudError(source, "no points")
    line = lines[first]
    delimiter = "," if "," in line else (";" if ";" in line else None)
    tokens = line.split(delimiter)
    if len([t for t in tokens if t.strip()]) < 3:
        raise CloudError(
            source,
            f"line {first + 1}: {len(tokens)} column{'s' if len(tokens) != 1 else ''}; "
            "fewer than three columns (x, y, z)",
        )
    body = "\n".join(lines[first:])
    points = _load_columns(body, delimiter)
    if points is None and '"' in body:  # quoted numbers, "1.5"
        points = _load_columns(body, delimiter, quoted=True)
    if points is None and D_EXPONENT.search(body):  # Fortran's 1.5D+03
        points = _load_columns(D_EXPONENT.sub("e", body), delimiter)
    if points is None:
        raise CloudError(source, _first_unreadable(lines, first, delimiter))
    if count is not None and count[1] != len(points):
        raise CloudError(
            source,
            f"truncated or corrupt: line {count[0] + 1} announces {count[1]:,} points, "
            f"but the file holds {len(points):,}",
        )
    return points


def text_preamble(lines: list[str]) -> tuple[int, int | None, tuple[int, int] | None]:
    """(first line of numbers, line of column names or None, (line, value) of the point
    count or None). What precedes the numbers is skipped: blank and comment lines, at most
    one line of column names (no field is a number) and at most one point count (a .pts
    file starts with it)."""
    first, names, count = 0, None, None
    while first < len(lines):
        stripped = lines[first].strip()
        tokens = _tokens(stripped)
        if tokens and not stripped.startswith(COMMENT_STARTS):
            if count is None and len(tokens) == 1 and tokens[0].isdigit():
                count = (first, int(tokens[0]))
            elif names is None and not any(_is_number(D_EXPONENT.sub("e", t)) for t in tokens):
                names = first
            else:
                break
        first += 1
    return first, names, count


def _load_columns(body: str, delimiter: str | None, quoted: bool = False) -> Array | None:
    """x, y, z of every line, or None if some line has no three numbers there. Quoted
    fields are read as such (a delimiter inside quotes splits nothing); NumPy then
    takes one comment mark only, so "//" lines are dropped here."""
    comments: Any = ("#", "//")
    if quoted:
        body = "\n".join("" if line.lstrip().startswith("//") else line for line in body.split("\n"))
        comments = "#"
    try:
        with np.errstate(all="ignore"):
            points: Array = np.loadtxt(
                io.StringIO(body),
                delimiter=delimiter,
                usecols=(0, 1, 2),
                ndmin=2,
                comments=comments,
                quotechar='"' if quoted else None,
                dtype=np.float64,
            )
    except ValueError:
        return None
    return points


def _first_unreadable(lines: list[str], first: int, delimiter: str | None) -> str:
    """What is wrong, and on which line, with the first line that holds no x, y, z."""
    for number in range(first, len(lines)):
        line = re.split("#|//", lines[number], maxsplit=1)[0]
        if not line.strip():
            continue
        split = next(csv.reader([line], delimiter=delimiter)) if delimiter else re.findall(r'"[^"]*"|\S+', line)
        fields = [f.strip().strip('"') for f in split]
        shown = lines[number].strip()
        shown = repr(shown if len(shown) <= 60 else shown[:57] + "...")
        if len(fields) < 3:
            return (
                f"line {number + 1}: {len(fields)} column{'s' if len(fields) != 1 else ''}; fewer than three "
                f"columns (x, y, z): {shown}"
            )
        # NumPy reads no "1_000", which Python's float() would.
        bad = [f for f in fields[:3] if "_" in f or not _is_number(D_EXPONENT.sub("e", f))]
        if bad:
            if "\ufffd" in line:
                problem = "not UTF-8 text"
            elif not _is_number(fields[0]) and len(fields) > 3 and all(_is_number(f) for f in fields[1:4]):
                problem = f"not numbers ({bad[0]!r} first: an id column before x, y, z?)"
            else:
                problem = f"not numbers ({bad[0]!r})"
            return f"line {number + 1}: {problem}: {shown}; expected x, y, z in the first three columns"
    return "not numbers; expected x, y, z in the first three columns"


def read_obj(path: Path, source: str) -> Array:
    rows = []
    with open(path, encoding="utf-8", errors="replace") as file:
        for number, line in enumerate(file, 1):
            if not line.startswith("v ") and not line.startswith("v\t"):
                continue  # faces, normals, texture coordinates, groups: not points
            tokens = line.split()[1:4]
            if len(tokens) < 3:
                raise CloudError(
                    source, f"line {number}: vertex with {len(tokens)} coordinates; fewer than three columns"
                )
            try:
                rows.append([float(t) for t in tokens])
            except ValueError:
                raise CloudError(source, f"line {number}: vertex coordinates are not numbers") from None
    if not rows:
        raise CloudError(source, "no vertices ('v x y z' lines)")
    return np.array(rows, np.float64)


# Whether laspy is imported with its HTTP client (requests, for remote COPC files, which
# ornel never reads): about 0.1 s of CPU, three to four times laspy's own import.
_laspy_with_http = True


def laspy_without_http() -> None:
    """For the command's process: laspy, when it is needed, is imported without its HTTP
    client. A program that imports ornel keeps laspy whole."""
    global _laspy_with_http
    _laspy_with_http = False


def _import(module: str) -> Any:
    if module != "laspy" or _laspy_with_http or "laspy" in sys.modules or "requests" in sys.modules:
        return __import__(module)
    sys.modules["requests"] = None  # type: ignore[assignment]  # laspy goes without what it cannot import
    try:
        return __import__(module)
    finally:
        if "requests" in sys.modules and sys.modules["requests"] is None:
            del sys.modules["requests"]


def _needs(module: str, extra: str, source: str, suffix: str) -> Any:
    try:
        return _import(module)
    except ImportError:
        raise CloudError(
            source, f'{suffix} files need the {module} package: pip install {module} (ornel\'s "{extra}" extra)'
        ) from None


def _truncated(expected: int, found: int) -> str:
    return f"truncated or corrupt: its header announces {expected:,} points, but the file holds {found:,}"


def _read_las(path: Path, source: str) -> Array:
    points = las_points_in_blocks(path, source)
    return las_points(las_data(path, source)) if points is None else points


def las_points_in_blocks(path: Path, source: str) -> Array | None:
    """x, y, z of an uncompressed LAS file as `las_points` computes them, its records read
    a block at a time (only the points are wanted: the records are never all in memory at
    once); None for a file laspy must read itself (compressed, or a header it refuses)."""
    laspy = _needs("laspy", "las", source, path.suffix)
    try:
        with laspy.open(str(path)) as reader:
            header = reader.header
            if header.are_points_compressed:
                return None
            count, size, start = int(header.point_count), header.point_format.size, header.offset_to_point_data
            scales, offsets = header.scales, header.offsets
    except Exception:  # laspy's own reading says what is wrong with the file
        return None
    found = max(0, os.path.getsize(path) - start) // size
    if found < count:
        raise CloudError(source, _truncated(count, found))
    # Every point format starts with X, Y, Z as little-endian int32.
    record = np.dtype({"names": ["X", "Y", "Z"], "formats": ["<i4"] * 3, "offsets": [0, 4, 8], "itemsize": size})
    points = np.empty((count, 3))
    step = max(1, BLOCK_BYTES // size)
    block = np.empty(min(step, count), record)
    with open(path, "rb") as file:
        file.seek(start)
        for first in range(0, count, step):
            part = block[: min(step, count - first)]
            read = file.readinto(part.view(np.uint8).data)
            if read != part.nbytes:  # the file shrank since its size was read
                raise CloudError(source, _truncated(count, first + read // size))
            for axis, name in enumerate("XYZ"):
                column = points[first : first + len(part), axis]
                np.multiply(part[name], np.float64(scales[axis]), out=column)
                np.add(column, np.float64(offsets[axis]), out=column)
    return points


def las_points(las: Any) -> Array:
    """x, y, z of a LAS file's records in double precision, (X * scale) + offset as laspy
    scales them, computed into the one (n, 3) array rather than three and a copy of them."""
    records = las.points
    points = np.empty((len(records), 3))
    for axis, name in enumerate("XYZ"):
        column = points[:, axis]
        np.multiply(records.array[name], np.float64(records.scales[axis]), out=column)
        np.add(column, np.float64(records.offsets[axis]), out=column)
    return points


def las_data(path: Path, source: str) -> Any:
    """The whole LAS/LAZ file (laspy's LasData), once it is found to hold every point its
    header announces."""
    laspy = _needs("laspy", "las", source, path.suffix)
    expected = None
    try:
        with laspy.open(str(path)) as reader:
            header = reader.header
            expected = int(header.point_count)
            if not header.are_points_compressed:
                record = header.point_format.size
                found = max(0, os.path.getsize(path) - header.offset_to_point_data) // record
                if found < expected:
                    raise CloudError(source, _truncated(expected, found))
            las = reader.read()
    except CloudError:
        raise
    except Exception as error:  # laspy raises its own errors, and others from its LAZ backends
        detail = _one_line(error)
        if expected is not None:  # the header was read: the points were not (a cut LAZ file)
            detail = (
                f"truncated or corrupt: its header announces {expected:,} points, but reading them failed: {detail}"
            )
        raise CloudError(source, f"not a readable LAS/LAZ file ({detail})") from None
    if len(las.points) != expected:
        raise CloudError(source, _truncated(expected, len(las.points)))
    return las


def _read_pcd(path: Path, source: str) -> Array:
    points: Array = np.asarray(pcd_cloud(path, source).numpy(("x", "y", "z")))
    return points


def pcd_cloud(path: Path, source: str) -> Any:
    """The whole PCD file (pypcd4's PointCloud), once it is found to have x, y, z and
    every point its header announces."""
    pypcd4 = _needs("pypcd4", "pcd", source, ".pcd")
    try:
        cloud = pypcd4.PointCloud.from_path(str(path))
        fields = tuple(cloud.fields)
        if not all(axis in fields for axis in ("x", "y", "z")):
            raise CloudError(source, f"has no x, y, z fields (found: {', '.join(fields)}); fewer than three columns")
        expected, found = int(cloud.metadata.points), len(cloud.pc_data)
        if found != expected:
            raise CloudError(source, _truncated(expected, found))
    except CloudError:
        raise
    except Exception as error:  # pypcd4 raises several types (and its header validation's) for bad files
        counts = _pcd_binary_counts(path, pypcd4)
        if counts is not None and counts[1] < counts[0]:
            raise CloudError(source, _truncated(*counts)) from None
        raise CloudError(source, f"not a readable PCD file ({_one_line(error)})") from None
    return cloud


def _pcd_binary_counts(path: Path, pypcd4: Any) -> tuple[int, int] | None:
    """(points announced, whole points present) of an uncompressed binary PCD file, else None."""
    try:
        with open(path, "rb") as file:
            lines: list[str] = []
            while not lines or not lines[-1].startswith("DATA"):
                line = file.readline()
                if not line:
                    return None
                if (text := line.decode("utf-8").strip()) and not text.startswith("#"):
                    lines.append(text)
            metadata = pypcd4.MetaData.parse_header(lines)
            if metadata.data != pypcd4.Encoding.BINARY:
                return None
            record = metadata.build_dtype().itemsize
            return int(metadata.points), (os.fstat(file.fileno()).st_size - file.tell()) // record
    except Exception:  # a header pypcd4 cannot read: its own error says why
        return None


READERS: dict[str, Callable[[Path, str], Array]] = {
    ".npy": _read_npy,
    ".ply": _read_ply,
    ".las": _read_las,
    ".laz": _read_las,
    ".pcd": _read_pcd,
    ".obj": read_obj,
    **{suffix: _read_text for suffix in TEXT_SUFFIXES},
}


def _one_line(error: BaseException) -> str:
    lines = str(error).strip().splitlines()
    return lines[0] if lines else type(error).__name__


# --- writing -------------------------------------------------------------------------

_umask_lock = threading.Lock()


def _new_file_mode() -> int:
    """The permissions open() gives a new file: 0o666 less the process's umask."""
    with _umask_lock:  # the umask can only be read by setting it
        umask = os.umask(0o022)
        os.umask(umask)
    return 0o666 & ~umask


@contextlib.contextmanager
def replacing(path: str | PathLike[str]) -> Iterator[str]:
    """Yields the name of a new temporary file beside `path` (same suffix) for the caller
    to write; when the block ends normally the file is flushed to disk and renamed to
    `path` in one step. On any failure (disk full, file-size limit, Ctrl-C) it is
    removed, so `path` is either whole or as it was. A symbolic link at `path` is
    followed: the file it names is replaced."""
    target = os.path.realpath(path)
    directory, name = os.path.split(target)
    # Named after the target (shortened: the name must stay within the file system's limit).
    descriptor, temporary = tempfile.mkstemp(
        prefix=f".{name[:64]}.", suffix=".tmp" + Path(name).suffix[:16], dir=directory
    )
    os.close(descriptor)
    try:
        yield temporary
        try:
            mode = stat.S_IMODE(os.stat(target).st_mode)
        except FileNotFoundError:
            mode = _new_file_mode()
        os.chmod(temporary, mode)
        descriptor = os.open(temporary, os.O_RDONLY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    with contextlib.suppress(OSError):  # the rename itself reaches the disk (best effort)
        descriptor = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)


def printable(name: str) -> str:
    """`name` with what is not valid UTF-8 (bytes of a file name, kept by Python as
    surrogates) written as backslash escapes, \\xff: safe to print, write and draw."""
    try:
        return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:  # surrogates that stand for no byte
        return name.encode("utf-8", "backslashreplace").decode("utf-8")


def check_writable(path: str | PathLike[str]) -> None:
    """Raises CloudError unless points can be written to `path` (suffix, extra installed)."""
    suffix = suffix_of(path)
    if suffix == ".obj":
        raise CloudError(str(path), f"OBJ files cannot hold a per-point field; write one of {' '.join(WRITE_SUFFIXES)}")
    if suffix not in WRITE_SUFFIXES:
        raise CloudError(str(path), f"unknown format {suffix or '(no suffix)'!r}; known: {' '.join(WRITE_SUFFIXES)}")
    if suffix in (".las", ".laz"):
        _needs("laspy", "las", str(path), suffix)
    if suffix == ".laz":
        _needs("lazrs", "las", str(path), suffix)
    if suffix == ".pcd":
        _needs("pypcd4", "pcd", str(path), suffix)
    check_output_place(path)


def check_output_place(path: str | PathLike[str]) -> None:
    """Raises CloudError unless `path` names a file in a directory that exists."""
    if os.path.isdir(path):
        raise CloudError(str(path), "is a directory")
    if not os.path.isdir(os.path.dirname(os.path.abspath(path))):
        raise CloudError(str(path), "its directory does not exist")


def write_points(
    path: str | PathLike[str],
    points: Array,
    fields: Mapping[str, Array],
    las_scales: Array | None = None,
    las_offsets: Array | None = None,
) -> None:
    """Writes the points (n, 3), unchanged, and per-point fields in the format of the
    suffix. LAS stores coordinates as scaled integers: give the source file's scales and
    offsets to write its points back exactly; otherwise a grid finer than 1e-9 of the
    extent is chosen."""
    check_writable(path)
    suffix = suffix_of(path)
    _check_field_names(path, fields, suffix)
    coordinates = {"x": points[:, 0], "y": points[:, 1], "z": points[:, 2]}
    try:
        with replacing(path) as temporary:
            write_columns(
                temporary,
                suffix,
                coordinates,
                {},
                fields,
                structured=False,
                las_scales=las_scales,
                las_offsets=las_offsets,
            )
    except OSError as error:
        raise CloudError(str(path), f"cannot be written ({error.strerror or error})") from None


def _check_field_names(path: str | PathLike[str], fields: Mapping[str, Array], suffix: str) -> None:
    """Refuses a field that would replace a coordinate (or, in LAS, a standard dimension)."""
    taken = {"x", "y", "z"}
    if suffix in (".las", ".laz"):
        import laspy

        taken |= {name.lower() for name in laspy.PointFormat(0).dimension_names}
    for name in fields:
        if name.lower() in taken:
            what = "a coordinate" if name.lower() in ("x", "y", "z") else f"the standard LAS dimension {name!r}"
            raise CloudError(str(path), f"a field named {name!r} would replace {what}; give it another name")


# --- one writer per format ---------------------------------------------------------------
# Every new file of a format is written here, whether from bare points (write_points) or
# from another format's records (write_records), so that both agree on types and text.


def write_columns(
    path: str | PathLike[str],
    suffix: str,
    coordinates: Mapping[str, Array],
    carried: Mapping[str, Array],
    new: Mapping[str, Array],
    *,
    structured: bool,
    las_scales: Array | None = None,
    las_offsets: Array | None = None,
) -> None:
    """Writes x, y, z (`coordinates`, in that order), then the `carried` fields (a source's
    own, which LAS puts into its standard dimensions where their names and values fit),
    then the `new` ones, to `path` in the format of `suffix`. A .npy file is a structured
    array of those names if `structured`, else one plain array of every column."""
    columns = {**coordinates, **carried, **new}
    if suffix == ".npy":
        if structured:
            array = np.empty(len(coordinates["x"]), [(name, values.dtype) for name, values in columns.items()])
            for name, values in columns.items():
                array[name] = values
        else:
            array = np.column_stack(list(columns.values()))
        with open(path, "wb") as file:  # a file object: np.save adds no ".npy" to the name
            np.save(file, array, allow_pickle=False)
    elif suffix == ".ply":
        _write_ply(path, columns)
    elif suffix in TEXT_SUFFIXES:
        _write_text(path, columns, suffix)
    elif suffix == ".pcd":
        _write_pcd(path, columns)
    else:
        points = np.column_stack([np.asarray(values, np.float64) for values in coordinates.values()])
        _write_las(path, points, carried, new, suffix == ".laz", las_scales, las_offsets)


def ply_type(values: Array) -> str:
    """PLY has no 64-bit integers: those that fit go in 32 bits, others in doubles (exact to 2^53)."""
    if values.dtype.kind in "iu" and values.dtype.itemsize == 8:
        if len(values) == 0 or (values.min() >= -(2**31) and values.max() < 2**31):
            return "i4"
        return "f8"
    return f"{values.dtype.kind}{values.dtype.itemsize}" if values.dtype.kind != "b" else "u1"


def _write_ply(path: str | PathLike[str], columns: Mapping[str, Array]) -> None:
    from plyfile import PlyData, PlyElement, PlyProperty

    count = len(columns["x"])
    vertex = PlyElement("vertex", [PlyProperty(name, ply_type(values)) for name, values in columns.items()], count)
    with open(path, "wb") as file:
        file.write(PlyData([vertex], text=False).header.encode("ascii") + b"\n")
        write_records_in_blocks(file, list(columns.items()), count, vertex.dtype())


# Records are written (and LAS points read) a block at a time: no copy of a whole cloud's
# records on the way. A block of a megabyte stays in cache between its filling and its
# copy to the kernel, and adds little to the peak while the summary is worked out.
BLOCK_BYTES = 1 << 20


def write_records_in_blocks(file: Any, columns: Sequence[tuple[str, Array]], count: int, dtype: np.dtype[Any]) -> None:
    """Writes `count` binary records of the structured `dtype`, each field from the column
    of its name, block after block."""
    step = max(1, BLOCK_BYTES // max(1, dtype.itemsize))
    block = np.empty(min(step, count), dtype)
    for start in range(0, count, step):
        part = block[: min(step, count - start)]
        for name, values in columns:
            part[name] = values[start : start + len(part)]
        file.write(part.data)


def text_tokens(values: Array) -> list[bytes]:
    """Each value as the shortest text that reads back exactly as the float64 our
    readers make of it (which holds any float32 too); 'nan' where there is none."""
    if values.dtype.kind in "iub":
        return [b"%d" % v for v in values.tolist()]
    return [repr(v).encode() for v in np.asarray(values, np.float64).tolist()]


def text_names(names: Iterable[str]) -> list[bytes]:
    """Column names as one text line can hold them: no blanks inside."""
    return [re.sub(r"\s+", "_", name).encode("utf-8", "surrogateescape") for name in names]


def _write_text(path: str | PathLike[str], columns: Mapping[str, Array], suffix: str) -> None:
    """A CSV file names its columns in its first line; the others in a comment line, //X Y Z
    ..., as CloudCompare writes and reads it (a .pts file's point count comes first)."""
    delimiter = b"," if suffix == ".csv" else b" "
    with open(path, "wb") as file:
        if suffix == ".pts":
            file.write(b"%d\n" % len(columns["x"]))
        if suffix == ".csv":
            file.write(b",".join(text_names(list(columns))) + b"\n")
        else:
            shown = [name.upper() if name in ("x", "y", "z") else name for name in columns]
            file.write(b"//" + b" ".join(text_names(shown)) + b"\n")
        tokens = [text_tokens(values) for values in columns.values()]
        file.writelines(delimiter.join(row) + b"\n" for row in zip(*tokens))


def pcd_type(values: Array) -> tuple[str, int]:
    return ({"f": "F", "i": "I", "u": "U", "b": "U"}[values.dtype.kind], values.dtype.itemsize)


def _write_pcd(path: str | PathLike[str], columns: Mapping[str, Array]) -> None:
    pypcd4 = _needs("pypcd4", "pcd", str(path), ".pcd")
    count = len(columns["x"])
    types = [pcd_type(values) for values in columns.values()]
    metadata = pypcd4.MetaData(
        fields=tuple(columns),
        type=tuple(t for t, _ in types),
        size=tuple(s for _, s in types),
        count=(1,) * len(columns),
        points=count,
        width=count,
        height=1,
        data=pypcd4.Encoding.BINARY,
    )
    array = np.empty(count, metadata.build_dtype())
    for name, values in columns.items():
        array[name] = values
    pypcd4.PointCloud(metadata, array).save(str(path), encoding=pypcd4.Encoding.BINARY)


# LAS coordinates are int32 steps of the scale from the offset.
LAS_STEPS = 2**31 - 1


def las_grid(points: Array) -> tuple[Array, Array]:
    """Scales and offsets for new LAS coordinates: offsets at the middle of the extent (in
    whole units), one scale for the three axes, the finest power of ten that keeps the
    farthest point within 2e9 steps (int32 holds 2.1e9): a grid finer than 1e-9 of the
    extent, whatever it is."""
    lo, hi = (
        (points.min(axis=0).astype(np.float64), points.max(axis=0).astype(np.float64))
        if len(points)
        else (np.zeros(3), np.zeros(3))
    )
    offsets = np.floor((lo + hi) / 2)
    reach = float(np.maximum(np.abs(hi - offsets), np.abs(lo - offsets)).max())
    return np.full(3, 10.0 ** math.ceil(math.log10(max(reach, 1e-300) / 2e9))), offsets


def _write_las(
    path: str | PathLike[str],
    points: Array,
    carried: Mapping[str, Array],
    new: Mapping[str, Array],
    compress: bool,
    scales: Array | None,
    offsets: Array | None,
) -> None:
    """A new LAS 1.4 file: point format 0, or 1, 2, 3 when the carried fields hold a GPS
    time or red, green and blue; a carried field named like a standard dimension goes there
    when every value fits it, every other field (and every new one) into extra bytes."""
    import laspy

    lower = {name.lower(): name for name in carried}
    rgb = all(c in lower and fits_dimension(carried[lower[c]], np.dtype("u2")) for c in ("red", "green", "blue"))
    time = "gps_time" in lower and carried[lower["gps_time"]].dtype.kind in "iuf"
    point_format = laspy.PointFormat(
        {(False, False): 0, (True, False): 1, (False, True): 2, (True, True): 3}[time, rgb]
    )
    standard = {d.name: d for d in point_format.dimensions if d.name not in ("X", "Y", "Z")}
    into_standard, extra = {}, {}
    for name, values in carried.items():
        dim = name.lower()
        if dim in standard and fits_dimension(values, standard[dim]):
            into_standard[dim] = values
        else:
            extra[f"{name}_value" if dim in standard else name] = values
    extra.update(new)
    if scales is None or offsets is None:
        scales, offsets = las_grid(points)
    header = laspy.LasHeader(point_format=point_format.id, version="1.4")
    header.offsets, header.scales = offsets, scales
    for name, values in extra.items():
        kind = values.dtype.kind
        header.add_extra_dim(laspy.ExtraBytesParams(name=name[:32], type=values.dtype if kind in "iuf" else "f8"))
    las = laspy.LasData(header)
    las.x, las.y, las.z = points[:, 0], points[:, 1], points[:, 2]
    for name, values in into_standard.items():
        las[name] = values
    for name, values in extra.items():
        las[name[:32]] = values
    with compressor_errors():
        las.write(str(path), do_compress=compress)


@contextlib.contextmanager
def compressor_errors() -> Iterator[None]:
    """The LAZ compressor (lazrs) reports a write that failed (a full disk, a file-size
    limit) as an error of its own: raised here as the OSError it is."""
    try:
        yield
    except RuntimeError as error:
        if type(error).__module__.split(".")[0] != "lazrs":
            raise
        raise OSError(str(error)) from None


def fits_dimension(values: Array, dimension: Any) -> bool:
    """Whether every value is held exactly by a LAS dimension (or a dtype)."""
    if isinstance(dimension, np.dtype):
        dtype, low, high = dimension, np.iinfo(dimension).min, np.iinfo(dimension).max
    elif dimension.dtype is None or dimension.num_bits < 8 * dimension.dtype.itemsize:  # a bit field
        dtype, low, high = np.dtype(np.uint8), 0, 2**dimension.num_bits - 1
    else:
        dtype = dimension.dtype
        if dtype.kind == "f":
            return values.dtype.kind in "iuf" and values.dtype.itemsize <= dtype.itemsize
        low, high = np.iinfo(dtype).min, np.iinfo(dtype).max
    if values.dtype.kind not in "iuf" or len(values) == 0:
        return values.dtype.kind in "iu"
    with np.errstate(invalid="ignore"):
        return bool(
            np.all(np.isfinite(values))
            and np.all(values == np.round(values))
            and values.min() >= low
            and values.max() <= high
        )
