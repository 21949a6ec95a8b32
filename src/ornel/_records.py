"""A file's point records, whole: read with every field its format holds, and written
back with new per-point fields (such as `distance`) added, so that a user gets their own
file back (attributes, colours, coordinate system, faces, comments) and not bare
coordinates.

Written in the input's own format, nothing of the input is re-encoded that need not be:
LAS records keep their raw integers, text lines their text. Written in another format,
every per-point field that format can hold is carried, under its name."""

from __future__ import annotations

import copy
import importlib
import os
import re
import struct
from collections.abc import Mapping
from dataclasses import dataclass, replace
from os import PathLike
from pathlib import Path
from typing import Any

import numpy as np

from ornel._defaults import TEXT_SUFFIXES
from ornel._errors import CloudError, FieldClash
from ornel._formats import (
    BLOCK_BYTES,
    LAS_STEPS,
    Array,
    check_writable,
    compressor_errors,
    fits_dimension,
    las_data,
    las_grid,
    las_points,
    npy_array,
    pcd_cloud,
    pcd_type,
    ply_data,
    ply_points,
    ply_type,
    read_checked,
    read_obj,
    replacing,
    stack_xyz,
    suffix_of,
    text_points,
    text_preamble,
    text_tokens,
    write_columns,
    write_records_in_blocks,
)

# The format family of each suffix: a file written in its input's family keeps its records as they are.
KINDS = {
    ".npy": "npy",
    ".ply": "ply",
    ".las": "las",
    ".laz": "las",
    ".pcd": "pcd",
    ".obj": "obj",
    **{suffix: "text" for suffix in TEXT_SUFFIXES},
}
# pypcd4's name for a PCD padding field ("_"), which is no data.
PCD_PADDING = "#$%&~~"
# Normal components a moved cloud's fields may hold: they turn with the points.
NORMAL_FIELDS = (("nx", "ny", "nz"), ("normal_x", "normal_y", "normal_z"))
# The size of a LAS header block by version, without what a writer may add after it.
LAS_HEADER_SIZES = {(1, 0): 227, (1, 1): 227, (1, 2): 227, (1, 3): 235, (1, 4): 375}


@dataclass(eq=False)
class TextLines:
    """A text file as lines of bytes (terminators kept), and where its numbers are."""

    lines: list[bytes]
    data: list[int]  # the line of each point, in order
    names: int | None  # the line of column names, if any
    names_comment: bytes  # the comment mark before those names ("//X Y Z" files), else b""
    delimiter: bytes | None  # b"," or b";", None for whitespace
    spacer: bytes  # what separates appended whitespace columns
    quoted: bool  # whether numbers are written in quotes


@dataclass(eq=False)
class Records:
    """Every point record of a file as read: `points` (n, 3) are the coordinates as
    `read_points` gives them (NaN rows of organised clouds included); `data` is the
    format's own whole-file object, which `write_records` writes back; `header` is a LAS
    file's header block as read, every field of which a write in the same format keeps."""

    source: str
    kind: str
    points: Array
    data: Any
    header: bytes = b""

    def __len__(self) -> int:
        return len(self.points)

    def names(self) -> list[str]:
        """Names of the fields a record has besides x, y, z (in the file's own format)."""
        if self.kind == "las":
            return [n for n in self.data.point_format.dimension_names if n not in ("X", "Y", "Z")]
        if self.kind == "ply":
            return [n for n in self.data["vertex"].data.dtype.names if n not in ("x", "y", "z")]
        if self.kind == "pcd":
            return [n for n in self.data.metadata.fields if n not in ("x", "y", "z") and not n.startswith(PCD_PADDING)]
        if self.kind == "text":
            return [n for n in _text_column_names(self) or () if n not in ("x", "y", "z")]
        if self.kind == "npy" and self.data.dtype.names is not None:
            return [n for n in self.data.dtype.names if n not in ("x", "y", "z")]
        return []

    def moved(self, transform: Array) -> Records:
        """These records with their points moved by the rigid 4×4 `transform` and their
        normals turned with them, every other record, field and part of the file as it was.
        `points` are the moved coordinates in float64. In the file's own encoding: LAS keeps
        its scales and takes offsets that hold the moved coordinates (see `las_grid_note`);
        float32 or integer x, y, z columns (PLY, PCD, .npy) become float64, which alone
        holds moved coordinates to their precision; text gets the new numbers in place of
        the old; a PCD viewpoint moves with the points."""
        transform = np.asarray(transform, dtype=np.float64)
        rotation, shift = transform[:3, :3], transform[:3, 3]
        points = np.asarray(self.points, dtype=np.float64) @ rotation.T + shift
        moving = MOVERS.get(self.kind)
        data = moving(self, points, rotation, shift) if moving is not None else self.data
        header = _moved_las_header(self.header, data) if self.kind == "las" else self.header
        return Records(self.source, self.kind, points, data, header)

    def fields(self) -> dict[str, Array]:
        """The per-point fields carried into another format: every numeric one, a field of
        several values per point as name_0, name_1, ...; booleans as uint8."""
        fields: dict[str, Array] = {}
        if self.kind == "las":
            for name in self.names():
                _add_field(fields, name, np.asarray(self.data[name]))
        elif self.kind == "ply":
            vertex = self.data["vertex"].data
            for name in self.names():
                if vertex.dtype[name].kind != "O":  # list properties have no place elsewhere
                    _add_field(fields, name, vertex[name])
        elif self.kind == "pcd":
            pcd = self.data
            for name, count in zip(pcd.metadata.fields, pcd.metadata.count):
                if name in ("x", "y", "z") or name.startswith(PCD_PADDING):
                    continue
                if count == 1:
                    _add_field(fields, name, pcd.pc_data[name])
                else:
                    _add_field(fields, name, np.column_stack([pcd.pc_data[f"{name}__{i:04d}"] for i in range(count)]))
        elif self.kind == "text":
            fields = _text_fields(self)
        elif self.kind == "npy":
            array = self.data
            if array.dtype.names is None:
                for column in range(3, array.shape[1]):
                    fields[f"column{column}"] = array[:, column]
            else:
                for name in self.names():
                    if array.dtype[name].base.kind in "biuf":
                        _add_field(fields, name, array[name])
        return fields


def _add_field(fields: dict[str, Array], name: str, values: Array) -> None:
    values = np.asarray(values)
    if values.dtype == np.bool_:
        values = values.astype(np.uint8)
    if values.dtype.kind not in "iuf":
        return
    if values.ndim == 1:
        fields[name] = values
    else:
        values = values.reshape(len(values), -1)
        for i in range(values.shape[1]):
            fields[f"{name}_{i}"] = values[:, i]


# --- reading ---------------------------------------------------------------------------


def read_records(path: str | PathLike[str]) -> Records:
    """Every point record of a file, with whatever its format holds; raises CloudError for
    an unusable file, as read_points does."""
    return read_checked(path, RECORD_READERS)  # type: ignore[no-any-return]


def _las_records(path: Path, source: str) -> Records:
    las = las_data(path, source)
    with open(path, "rb") as file:  # the header block as it is: laspy keeps not every field of it
        header = file.read(LAS_HEADER_SIZES.get((las.header.version.major, las.header.version.minor), 227))
    return Records(source, "las", las_points(las), las, header)


def _ply_records(path: Path, source: str) -> Records:
    ply = ply_data(path, source)
    return Records(source, "ply", ply_points(ply["vertex"].data, source), ply)


def _pcd_records(path: Path, source: str) -> Records:
    pcd = pcd_cloud(path, source)
    return Records(source, "pcd", np.asarray(pcd.numpy(("x", "y", "z"))), pcd)


def _npy_records(path: Path, source: str) -> Records:
    array = npy_array(path, source)
    if array.dtype.names is not None:
        points = stack_xyz({name: array[name] for name in array.dtype.names}, ("x", "y", "z"), source, "the array")
    else:
        points = array[:, :3]
    return Records(source, "npy", points, array)


def _obj_records(path: Path, source: str) -> Records:
    return Records(source, "obj", read_obj(path, source), None)


# A comment starts at "#" or "//" (as the reader's NumPy takes them), anywhere on a line.
TEXT_COMMENT = re.compile(rb"#|//")


def _text_records(path: Path, source: str) -> Records:
    raw = path.read_bytes()
    points = text_points(raw, source)
    lines = raw.splitlines(keepends=True)
    decoded = [line.decode("utf-8", "replace").rstrip("\r\n") for line in lines]
    if decoded and decoded[0].startswith("\ufeff"):
        decoded[0] = decoded[0][1:]
    first, names, _ = text_preamble(decoded)
    data = [k for k in range(first, len(lines)) if TEXT_COMMENT.split(lines[k], maxsplit=1)[0].strip()]
    if len(data) != len(points):  # line breaks NumPy and Python count differently (form feeds...)
        raise CloudError(
            source,
            f"cannot be written back line for line: {len(data):,} lines of numbers, "
            f"but {len(points):,} points were read",
        )
    head = TEXT_COMMENT.split(lines[data[0]], maxsplit=1)[0].strip()
    delimiter = b"," if b"," in head else (b";" if b";" in head else None)
    spacer = b"\t" if delimiter is None and b"\t" in head and b" " not in head else b" "
    names_comment = b""
    if names is None:
        names, names_comment = _commented_names(decoded, lines, first, len(_split(head, delimiter)))
    return Records(
        source, "text", points, TextLines(lines, data, names, names_comment, delimiter, spacer, head.startswith(b'"'))
    )


def _commented_names(decoded: list[str], lines: list[bytes], first: int, columns: int) -> tuple[int | None, bytes]:
    """The comment line right before the numbers when it names every column ("//X Y Z
    R G B", as some programs write), with its comment mark; else (None, b"")."""
    before = [k for k in range(first) if decoded[k].strip()]
    if not before:
        return None, b""
    k = before[-1]
    match = re.match(rb"\s*(#|//|%)", lines[k])
    if match is None:
        return None, b""
    tokens = [t.strip('"') for t in re.split(r"[,;\s]+", decoded[k].strip()[len(match.group(1)) :].strip()) if t]
    if len(tokens) != columns or any(re.fullmatch(r"[-+.\deE]+", t) for t in tokens):
        return None, b""
    return k, match.group(0)


def _split(content: bytes, delimiter: bytes | None) -> list[bytes]:
    return content.split(delimiter) if delimiter is not None else content.split()


def _text_column_names(records: Records) -> list[str] | None:
    text: TextLines = records.data
    if text.names is None:
        return None
    line = text.lines[text.names]
    content = line[len(text.names_comment) :] if text.names_comment else TEXT_COMMENT.split(line, maxsplit=1)[0]
    content = content.decode("utf-8", "replace").replace("\ufeff", "").strip()
    separator = {b",": ",", b";": ";", None: None}[text.delimiter]
    tokens = [t.strip().strip('"') for t in (content.split(separator) if separator else content.split())]
    return [t.lower() if t.lower() in ("x", "y", "z") else t for t in tokens]


def _text_fields(records: Records) -> dict[str, Array]:
    """The columns after x, y, z of a text file that hold numbers on every line."""
    text: TextLines = records.data
    body = [
        TEXT_COMMENT.split(text.lines[k], maxsplit=1)[0].replace(b'"', b"").decode("utf-8", "replace")
        for k in text.data
    ]
    separator = {b",": ",", b";": ";", None: None}[text.delimiter]
    try:
        table = np.loadtxt(body, delimiter=separator, ndmin=2, dtype=str, comments=None)
    except ValueError:  # lines of different lengths: no column beyond z is whole
        return {}
    names = _text_column_names(records) or []
    if len(names) != table.shape[1]:
        names = [f"column{j}" for j in range(table.shape[1])]
    fields = {}
    for j in range(3, table.shape[1]):
        try:
            fields[names[j]] = np.char.replace(table[:, j], "D", "e").astype(np.float64)
        except ValueError:  # words (class names...): no number to carry
            continue
    return fields


RECORD_READERS = {
    ".las": _las_records,
    ".laz": _las_records,
    ".ply": _ply_records,
    ".pcd": _pcd_records,
    ".npy": _npy_records,
    ".obj": _obj_records,
    **{suffix: _text_records for suffix in TEXT_SUFFIXES},
}


# --- moving ----------------------------------------------------------------------------


def _turned(columns: Mapping[str, Any], rotation: Array) -> dict[str, Array]:
    """The normal components among `columns`, turned by `rotation`, each in its own type."""
    turned = {}
    for names in NORMAL_FIELDS:
        if all(name in columns for name in names):
            old = [np.asarray(columns[name]) for name in names]
            new = np.column_stack([values.astype(np.float64) for values in old]) @ rotation.T
            for axis, name in enumerate(names):
                turned[name] = new[:, axis].astype(old[axis].dtype)
    return turned


def _moved_las(records: Records, points: Array, rotation: Array, shift: Array) -> Any:
    """The LAS data with its integer coordinates anew, on the same scales where they hold
    the moved points (else on a new grid), and its normals turned."""
    import laspy

    las = records.data
    header = copy.deepcopy(las.header)
    offsets = _moved_offsets(points, header.scales, header.offsets)
    if offsets is None:  # the moved extent is too wide for these scales from any offset
        header.scales, offsets = las_grid(points)
    header.offsets = offsets
    out = laspy.LasData(
        header=header,
        points=laspy.ScaleAwarePointRecord(las.points.array.copy(), header.point_format, header.scales, header.offsets),
    )
    for axis, name in enumerate("XYZ"):
        out.points.array[name] = np.round((points[:, axis] - header.offsets[axis]) / header.scales[axis])
    dimensions = set(records.names())
    normals = {name: las[name] for names in NORMAL_FIELDS for name in names if name in dimensions}
    for name, values in _turned(normals, rotation).items():
        out[name] = values
    return out


def _moved_offsets(points: Array, scales: Array, offsets: Array) -> Array | None:
    """Offsets from which the moved points are within int32 steps of `scales`: the file's
    own where they still are, else the middle of the moved extent in whole units (as a new
    file takes); None where no offset is."""
    if not len(points):
        return np.asarray(offsets, np.float64)
    lo, hi = points.min(axis=0), points.max(axis=0)
    for candidate in (np.asarray(offsets, np.float64), np.floor((lo + hi) / 2)):
        reach = np.maximum(np.abs(hi - candidate), np.abs(lo - candidate)) / scales
        if np.all(reach < LAS_STEPS):
            return candidate
    return None


def _moved_las_header(header: bytes, las: Any) -> bytes:
    """The header block with the scales, offsets and bounds of the moved records."""
    if not header:
        return header
    out = bytearray(header)
    scales, offsets = np.asarray(las.header.scales, np.float64), np.asarray(las.header.offsets, np.float64)
    struct.pack_into("<3d", out, 131, *scales)
    struct.pack_into("<3d", out, 155, *offsets)
    if len(las.points):  # max x, min x, max y, min y, max z, min z, of the coordinates as stored
        raw = [las.points.array[name] for name in "XYZ"]
        bounds = [
            value
            for axis in range(3)
            for value in (
                raw[axis].max() * scales[axis] + offsets[axis],
                raw[axis].min() * scales[axis] + offsets[axis],
            )
        ]
        struct.pack_into("<6d", out, 179, *bounds)
    return bytes(out)


def las_grid_note(source: Records, moved: Records, path: str | PathLike[str]) -> str | None:
    """How the moved LAS coordinates written to `path` are stored, said for the user; None
    unless both the records and `path` are LAS."""
    if source.kind != "las" or moved.kind != "las" or KINDS.get(suffix_of(path)) != "las":
        return None
    before, after = source.data.header, moved.data.header

    def shown(values: Array) -> str:
        return " ".join(f"{float(value):.15g}" for value in values)

    if not np.array_equal(before.scales, after.scales):
        return (
            f"the LAS scales {shown(before.scales)} cannot hold the moved coordinates' extent: written with "
            f"scales {shown(after.scales)} and offsets {shown(after.offsets)}"
        )
    if np.array_equal(before.offsets, after.offsets):
        return f"LAS scales {shown(after.scales)} and offsets {shown(after.offsets)} kept: the same precision"
    return (
        f"LAS scales {shown(after.scales)} kept (the same precision), with offsets {shown(after.offsets)} "
        f"(were {shown(before.offsets)}) to hold the moved coordinates"
    )


def _moved_ply(records: Records, points: Array, rotation: Array, shift: Array) -> Any:
    """The PLY data with x, y, z anew in double precision and its normals turned; every
    other property, element and comment as it was."""
    from plyfile import PlyData, PlyElement, PlyProperty

    ply = records.data
    elements = []
    for element in ply.elements:
        if element.name == "vertex":
            data = _moved_array(element.data, points, rotation)
            properties = [PlyProperty(p.name, "f8") if p.name in ("x", "y", "z") else p for p in element.properties]
            vertex = PlyElement("vertex", properties, element.count, comments=list(element.comments))
            vertex.data = data
            element = vertex
        elements.append(element)
    return PlyData(
        elements, text=ply.text, byte_order=ply.byte_order, comments=list(ply.comments), obj_info=list(ply.obj_info)
    )


def _moved_pcd(records: Records, points: Array, rotation: Array, shift: Array) -> Any:
    """The PCD data with x, y, z anew in double precision, its normals turned and its
    viewpoint (the sensor's pose in the points' frame) moved with the points."""
    pypcd4: Any = importlib.import_module("pypcd4")

    pcd = records.data
    meta = pcd.metadata
    types, sizes = list(meta.type), list(meta.size)
    for k, name in enumerate(meta.fields):
        if name in ("x", "y", "z"):
            types[k], sizes[k] = "F", 8
    metadata = meta.derive(
        type=tuple(types), size=tuple(sizes), viewpoint=_moved_viewpoint(meta.viewpoint, rotation, shift)
    )
    return pypcd4.PointCloud(metadata, _moved_array(pcd.pc_data, points, rotation, metadata.build_dtype()))


def _moved_viewpoint(viewpoint: Any, rotation: Array, shift: Array) -> tuple[float, ...]:
    """A PCD viewpoint (tx ty tz qw qx qy qz) after the motion: its position moved, its
    orientation turned first by its own quaternion, then by the rotation."""
    position = rotation @ np.asarray(viewpoint[:3], np.float64) + shift
    w1, x1, y1, z1 = _quaternion(rotation)
    w2, x2, y2, z2 = (float(v) for v in viewpoint[3:7])
    turned = (
        w1 * w2 - x1 * x2 - y1 * y2 - z1 * z2,
        w1 * x2 + x1 * w2 + y1 * z2 - z1 * y2,
        w1 * y2 - x1 * z2 + y1 * w2 + z1 * x2,
        w1 * z2 + x1 * y2 - y1 * x2 + z1 * w2,
    )
    return (*(float(v) for v in position), *turned)


def _quaternion(m: Array) -> tuple[float, float, float, float]:
    """The unit quaternion (w, x, y, z) of a rotation matrix, computed from its largest
    diagonal term for accuracy (Shepperd's method)."""
    trace = m[0, 0] + m[1, 1] + m[2, 2]
    if trace > 0:
        s = 2 * np.sqrt(trace + 1)
        q = (s / 4, (m[2, 1] - m[1, 2]) / s, (m[0, 2] - m[2, 0]) / s, (m[1, 0] - m[0, 1]) / s)
    elif m[0, 0] > m[1, 1] and m[0, 0] > m[2, 2]:
        s = 2 * np.sqrt(1 + m[0, 0] - m[1, 1] - m[2, 2])
        q = ((m[2, 1] - m[1, 2]) / s, s / 4, (m[0, 1] + m[1, 0]) / s, (m[0, 2] + m[2, 0]) / s)
    elif m[1, 1] > m[2, 2]:
        s = 2 * np.sqrt(1 + m[1, 1] - m[0, 0] - m[2, 2])
        q = ((m[0, 2] - m[2, 0]) / s, (m[0, 1] + m[1, 0]) / s, s / 4, (m[1, 2] + m[2, 1]) / s)
    else:
        s = 2 * np.sqrt(1 + m[2, 2] - m[0, 0] - m[1, 1])
        q = ((m[1, 0] - m[0, 1]) / s, (m[0, 2] + m[2, 0]) / s, (m[1, 2] + m[2, 1]) / s, s / 4)
    w, x, y, z = (float(v) for v in q)
    return (w, x, y, z) if w >= 0 else (-w, -x, -y, -z)


def _moved_text(records: Records, points: Array, rotation: Array, shift: Array) -> TextLines:
    """The text lines with the numbers of x, y, z and of named normals written anew in
    their places (in the file's own quotes); every other byte as it was."""
    text: TextLines = records.data
    names = _text_column_names(records) or []
    replaced = {axis: text_tokens(points[:, axis]) for axis in range(3)}
    for name, values in _turned(_text_fields(records), rotation).items():
        replaced[names.index(name)] = text_tokens(values)
    lines = list(text.lines)
    for point, k in enumerate(text.data):
        lines[k] = _with_tokens(
            lines[k], {column: tokens[point] for column, tokens in replaced.items()}, text.delimiter
        )
    return TextLines(lines, text.data, text.names, text.names_comment, text.delimiter, text.spacer, text.quoted)


def _with_tokens(line: bytes, tokens: Mapping[int, bytes], delimiter: bytes | None) -> bytes:
    """`line` with the numbers of the given columns replaced, quotes, spaces, separators
    and any comment kept."""
    end = len(line) - (2 if line.endswith(b"\r\n") else 1 if line.endswith((b"\n", b"\r")) else 0)
    comment = TEXT_COMMENT.search(line, 0, end)
    head = line[: comment.start() if comment else end]
    if delimiter is None:
        spans = [match.span() for match in re.finditer(rb"\S+", head)]
    else:
        spans, start = [], 0
        for piece in head.split(delimiter):
            lead = len(piece) - len(piece.lstrip())
            spans.append((start + lead, start + len(piece.rstrip())))
            start += len(piece) + len(delimiter)
    pieces, last = [], 0
    for column in sorted(tokens):
        begin, stop = spans[column]
        quote = b'"' if head.startswith(b'"', begin) else b""
        pieces += [line[last:begin], quote + tokens[column] + quote]
        last = stop
    return b"".join(pieces) + line[last:]


def _moved_npy(records: Records, points: Array, rotation: Array, shift: Array) -> Array:
    """The array with x, y, z anew in float64 (a plain array wholly so) and named normals turned."""
    array = records.data
    if array.dtype.names is None:
        out = np.array(array, dtype=np.promote_types(array.dtype, np.float64))
        out[:, :3] = points
        return out
    return _moved_array(array, points, rotation)


def _moved_array(array: Array, points: Array, rotation: Array, dtype: Any = None) -> Array:
    """A structured array's records with x, y, z the moved points (in float64, or in the
    types of `dtype`) and named normals turned; every other field as it was."""
    names = array.dtype.names or ()
    if dtype is None:
        dtype = [(name, "f8" if name in ("x", "y", "z") else array.dtype[name]) for name in names]
    out = np.empty(len(array), dtype)
    for name in names:
        out[name] = array[name]
    for axis, name in enumerate("xyz"):
        out[name] = points[:, axis]
    for name, values in _turned({name: array[name] for name in names}, rotation).items():
        out[name] = values
    return out


MOVERS = {"las": _moved_las, "ply": _moved_ply, "pcd": _moved_pcd, "text": _moved_text, "npy": _moved_npy}


# --- writing ---------------------------------------------------------------------------


def write_records(
    path: str | PathLike[str], records: Records, fields: Mapping[str, Array], *, overwrite_fields: bool = False
) -> None:
    """Writes every record of `records` with every field it had plus the new per-point
    `fields`, in the format of `path`'s suffix, whole or not at all. A new field named
    like an existing one (ignoring case) is refused, or with `overwrite_fields` takes its
    place (its values, and its type where the format lets it change; coordinates are
    never replaced); writing over the input is refused."""
    check_writable(path)
    target = str(path)
    with_same = os.path.exists(path) and os.path.exists(records.source) and os.path.samefile(path, records.source)
    if with_same:
        raise CloudError(target, f"is the input file {records.source}; write the output to another file")
    replaced = check_new_fields(path, records, list(fields), overwrite=overwrite_fields, moved=records.kind == "moved")
    new = {}
    for name, values in fields.items():
        values = np.asarray(values)
        if values.shape != (len(records),):
            raise ValueError(f"field {name!r} has shape {values.shape}; expected ({len(records)},)")
        new[name] = values.astype(np.uint8) if values.dtype == np.bool_ else values
    kind = KINDS[suffix_of(path)]
    same = kind == records.kind
    if replaced:
        records = _with_replaced(target, records, {replaced[name]: new.pop(name) for name in replaced}, same)
    try:
        with replacing(path) as temporary:
            if same:
                SAME_FORMAT_WRITERS[kind](temporary, records, new, suffix_of(path))
            else:
                _write_other(temporary, records, new, suffix_of(path))
    except OSError as error:
        raise CloudError(target, f"cannot be written ({error.strerror or error})") from None


def check_new_fields(
    path: str | PathLike[str], records: Records, names: list[str], *, overwrite: bool = False, moved: bool = False
) -> dict[str, str]:
    """Refuses, before any work, new field names that `path` cannot hold or that clash
    with a field of `records` (ignoring case); with `overwrite`, a clash with a field
    other than a coordinate (or, in LAS, a standard dimension) is allowed. `moved`: the
    records are to be written moved, as into another format. Returns each new name that
    replaces a field, with that field's name."""
    target = str(path)
    kind = KINDS[suffix_of(path)]
    for name in names:
        if not name or re.search(r"[\s,;\"]", name) or (kind == "las" and len(name.encode()) > 32):
            raise CloudError(
                target,
                f"a new field named {name!r}: expected a name without spaces, commas, "
                "semicolons or quotes (in LAS files at most 32 bytes)",
            )
    same = kind == records.kind and not moved
    existing = records.names() if same else list(records.fields())
    taken = {name.lower(): name for name in ["x", "y", "z", *existing]}
    fixed = {"x", "y", "z"}
    if same and kind == "las":
        fixed |= {name.lower() for name in records.data.point_format.standard_dimension_names}
    if same and kind == "pcd":  # a field of several values per point has no one place for one value
        fixed |= {
            n.lower() for n, count in zip(records.data.metadata.fields, records.data.metadata.count) if count != 1
        }
    replaced = {}
    for name in names:
        old = taken.get(name.lower())
        if old is None:
            continue
        if not overwrite or old.lower() in fixed:
            raise FieldClash(
                target, f"a new field {name!r} clashes with the field {old!r} of {records.source}; give it another name"
            )
        replaced[name] = old
    return replaced


def _with_replaced(target: str, records: Records, values: Mapping[str, Array], same: bool) -> Records:
    """`records` with the values of the fields named in `values` replaced, each in its
    place; into another format, as its fields by name."""
    if not same:
        return Records(records.source, "moved", records.points, {**records.fields(), **values})
    if records.kind == "las":
        las = records.data
        out = type(las)(header=copy.deepcopy(las.header), points=las.points.copy())
        for name, column in values.items():
            dimension = las.point_format.dimension_by_name(name)
            if dimension.dtype is not None and dimension.dtype.kind != "f" and not fits_dimension(column, dimension):
                raise CloudError(
                    target,
                    f"the field {name!r} of {records.source} holds whole numbers, which cannot "
                    "hold the new values; give the new field another name",
                )
            out[name] = column
        return Records(records.source, "las", records.points, out)
    if records.kind == "ply":
        from plyfile import PlyData, PlyElement, PlyProperty

        ply = records.data
        elements = []
        for element in ply.elements:
            if element.name == "vertex":
                types = {name: ply_type(column) for name, column in values.items()}
                properties = [PlyProperty(p.name, types[p.name]) if p.name in values else p for p in element.properties]
                vertex = PlyElement("vertex", properties, element.count, comments=list(element.comments))
                vertex.data = _replaced_fields(element.data, values, types)
                element = vertex
            elements.append(element)
        return Records(
            records.source,
            "ply",
            records.points,
            PlyData(
                elements,
                text=ply.text,
                byte_order=ply.byte_order,
                comments=list(ply.comments),
                obj_info=list(ply.obj_info),
            ),
        )
    if records.kind == "pcd":
        pypcd4: Any = importlib.import_module("pypcd4")

        pcd = records.data
        meta = pcd.metadata
        kinds = dict(zip(meta.fields, zip(meta.type, meta.size)))
        kinds.update({name: pcd_type(column) for name, column in values.items()})
        metadata = meta.derive(
            type=tuple(kinds[f][0] for f in meta.fields), size=tuple(kinds[f][1] for f in meta.fields)
        )
        array = np.empty(len(pcd.pc_data), metadata.build_dtype())
        for name in array.dtype.names:
            array[name] = values[name] if name in values else pcd.pc_data[name]
        return Records(records.source, "pcd", records.points, pypcd4.PointCloud(metadata, array))
    if records.kind == "npy":
        return Records(records.source, "npy", records.points, _replaced_fields(records.data, values))
    text: TextLines = records.data  # text: the columns' tokens replaced, every other byte kept
    names = _text_column_names(records) or []
    columns = {names.index(name): text_tokens(column) for name, column in values.items()}
    lines = list(text.lines)
    for point, k in enumerate(text.data):
        lines[k] = _replace_tokens(lines[k], {j: tokens[point] for j, tokens in columns.items()}, text.delimiter)
    return Records(records.source, "text", records.points, replace(text, lines=lines))


def _replaced_fields(array: Array, values: Mapping[str, Array], types: Mapping[str, Any] | None = None) -> Array:
    """A structured array of `array`'s fields in their order, those in `values` replaced
    (of the values' type, or the one in `types`)."""
    types = types or {}
    names = array.dtype.names or ()
    descr = [(name, types.get(name, values[name].dtype) if name in values else array.dtype[name]) for name in names]
    out = np.empty(len(array), descr)
    for name in names:
        out[name] = values[name] if name in values else array[name]
    return out


def _replace_tokens(line: bytes, tokens: Mapping[int, bytes], delimiter: bytes | None) -> bytes:
    """`line` with its columns numbered in `tokens` replaced (quotes around one kept)."""
    end = len(line)
    found = TEXT_COMMENT.search(line)
    if found is not None:
        end = found.start()
    pattern = rb"\S+" if delimiter is None else rb"[^" + re.escape(delimiter) + rb"\r\n]+"
    spans = [m.span() for m in re.finditer(pattern, line[:end])]
    out, last = [], 0
    for j, (start, stop) in enumerate(spans):
        if j not in tokens:
            continue
        token = line[start:stop]
        inner_start = start + len(token) - len(token.lstrip())
        inner_stop = stop - (len(token) - len(token.rstrip()))
        inner = line[inner_start:inner_stop]
        quote = b'"' if inner.startswith(b'"') and inner.endswith(b'"') and len(inner) > 1 else b""
        out += [line[last:inner_start], quote + tokens[j] + quote]
        last = inner_stop
    return b"".join(out) + line[last:]


def _with_fields(array: Array, new: Mapping[str, Array], types: Mapping[str, Any] | None = None) -> Array:
    """A structured array of `array`'s fields followed by the new ones."""
    types = types or {}
    names = array.dtype.names or ()
    descr = [(name, array.dtype[name]) for name in names]
    descr += [(name, types.get(name, values.dtype)) for name, values in new.items()]
    out = np.empty(len(array), descr)
    for name in names:
        out[name] = array[name]
    for name, values in new.items():
        out[name] = values
    return out


def _write_las_same(temporary: str, records: Records, new: Mapping[str, Array], suffix: str) -> None:
    import laspy

    las = records.data
    header = copy.deepcopy(las.header)  # the records stay as read, for another write
    old_vlrs = list(las.header.vlrs)
    described = [k for k, vlr in enumerate(old_vlrs) if isinstance(vlr, laspy.vlrs.known.ExtraBytesVlr)]
    header.add_extra_dims([laspy.ExtraBytesParams(name=name, type=_las_type(values)) for name, values in new.items()])
    if described:  # laspy appends the rebuilt record last: back to its place, under its own description
        rebuilt = header.vlrs.pop(len(header.vlrs) - 1)
        rebuilt._description = old_vlrs[described[0]].description  # laspy has no setter
        header.vlrs.insert(described[0], rebuilt)
    # laspy would take the first value of each block written for a new dimension's minimum
    # and maximum: they are left out (as the format allows) rather than given wrong.
    for vlr in header.vlrs.get("ExtraBytesVlr"):
        for description in vlr.extra_bytes_structs:
            if description.format_name() in new:
                description.options &= ~0b110
    old = las.points.array
    step = max(1, BLOCK_BYTES // header.point_format.size)
    block = laspy.ScaleAwarePointRecord.zeros(min(step, len(old)), header=header)
    # A block at a time, as laspy writes a whole file: no second array of every record.
    with (
        compressor_errors(),
        open(temporary, "w+b") as file,
        laspy.LasWriter(file, header, do_compress=suffix == ".laz") as writer,
    ):
        for start in range(0, len(old), step):
            part = block[: min(step, len(old) - start)]
            for name in old.dtype.names:  # raw record fields: integers X, Y, Z, bit fields, extra bytes
                part.array[name] = old[name][start : start + len(part)]
            for name, values in new.items():
                part[name] = values[start : start + len(part)]
            writer.write_points(part)
        if header.version.minor >= 4 and header.evlrs is not None:
            writer.write_evlrs(header.evlrs)
    _restore_las_header(
        temporary, records.header, las.header, old_vlrs[described[0]].record_data_bytes() if described else b""
    )


# LAS header fields that say where the parts of a file are and how long a record is: the
# writer's, for the file it wrote. Every other field (identifiers, software, dates, point
# counts, counts by return, scales, offsets, bounds) is the source's, bit for bit: laspy
# recomputes some of them even when the records are the same.
WRITTEN_HEADER_FIELDS = ((94, 96), (96, 100), (100, 104), (104, 105), (105, 107), (227, 235), (235, 243), (243, 247))


def _restore_las_header(path: str, header: bytes, las_header: Any, described: bytes) -> None:
    """Puts back every header field of the source (`header`, as read) but those of where
    things are in the new file, and the descriptions of the existing extra-bytes
    dimensions (laspy adds statistics to them). Without the source's header block, the
    bounds only (another program may have taken them from the unrounded coordinates)."""
    with open(path, "r+b") as file:
        written = file.read(375)
        header_size, _, vlr_count = struct.unpack_from("<HII", written, 94)
        if header:
            block = bytearray(header[: min(len(header), header_size)])
            for start, stop in WRITTEN_HEADER_FIELDS:
                block[start:stop] = written[start:stop][: max(0, len(block) - start)]
            file.seek(0)
            file.write(block)
        else:
            bounds = [value for axis in range(3) for value in (las_header.maxs[axis], las_header.mins[axis])]
            file.seek(179)  # max x, min x, max y, min y, max z, min z: the same place in every version
            file.write(struct.pack("<6d", *bounds))
        position = header_size
        for _ in range(vlr_count if described else 0):
            file.seek(position)
            vlr = file.read(54)
            record_id, length = struct.unpack_from("<HH", vlr, 18)
            if vlr[2:18].rstrip(b"\0") == b"LASF_Spec" and record_id == 4 and length >= len(described):
                file.write(described)  # the new dimensions' descriptions follow, as laspy wrote them
                break
            position += 54 + length


def _las_type(values: Array) -> str:
    return "i8" if values.dtype.kind in "iu" else "f8"


def _write_ply_same(temporary: str, records: Records, new: Mapping[str, Array], suffix: str) -> None:
    from plyfile import PlyData, PlyElement, PlyListProperty, PlyProperty

    ply = records.data
    types = {name: ply_type(values) for name, values in new.items()}
    elements = []
    for element in ply.elements:
        if element.name == "vertex":
            properties = [*element.properties, *(PlyProperty(name, types[name]) for name in new)]
            element = PlyElement("vertex", properties, element.count, comments=list(element.comments))
        elements.append(element)
    out = PlyData(
        elements, text=ply.text, byte_order=ply.byte_order, comments=list(ply.comments), obj_info=list(ply.obj_info)
    )
    vertices = ply["vertex"].data
    if ply.text or any(isinstance(p, PlyListProperty) for element in ply.elements for p in element.properties):
        # Text, or lists (faces): plyfile writes them, from records with the new fields joined.
        out["vertex"].data = _with_fields(vertices, new, types)
        out.write(temporary)
        return
    with open(temporary, "wb") as file:  # binary records of fixed size: as plyfile writes them
        file.write(out.header.encode("ascii") + b"\n")
        for element, old in zip(out.elements, ply.elements):
            if element.name == "vertex":
                columns = [(name, vertices[name]) for name in vertices.dtype.names or ()] + list(new.items())
                write_records_in_blocks(file, columns, len(vertices), element.dtype(ply.byte_order))
            else:
                file.write(np.ascontiguousarray(old.data, element.dtype(ply.byte_order)).data)


def _write_pcd_same(temporary: str, records: Records, new: Mapping[str, Array], suffix: str) -> None:
    pypcd4: Any = importlib.import_module("pypcd4")

    pcd = records.data
    meta = pcd.metadata
    types = [pcd_type(values) for values in new.values()]
    metadata = meta.derive(
        fields=(*meta.fields, *new),
        type=(*meta.type, *(t for t, _ in types)),
        size=(*meta.size, *(s for _, s in types)),
        count=(*meta.count, *(1 for _ in new)),
    )
    out = pypcd4.PointCloud(metadata, _with_fields(pcd.pc_data, new))
    _save_pcd(out, temporary, meta.data)


def _save_pcd(pcd: Any, temporary: str, encoding: Any) -> None:
    pypcd4: Any = importlib.import_module("pypcd4")

    if encoding == pypcd4.Encoding.BINARY:
        pcd.save(temporary, encoding=encoding)
        return
    if encoding != pypcd4.Encoding.ASCII:
        # pypcd4 falls back to plain binary when the data does not shrink; the file keeps
        # its encoding here, the data stored column after column as the format says.
        lzf: Any = importlib.import_module("lzf")  # comes with pypcd4

        raw = b"".join(np.ascontiguousarray(pcd.pc_data[name]).tobytes() for name in pcd.pc_data.dtype.names)
        packed = lzf.compress(raw, len(raw) + len(raw) // 16 + 64) if raw else b""
        with open(temporary, "wb") as file:
            file.write(pcd.metadata.compose_header(data=encoding).encode())
            file.write(struct.pack("<II", len(packed), len(raw)) + packed)
        return
    # pypcd4 writes ASCII floats with ten decimals, losing digits: ours read back exactly.
    formats = []
    for kind, size, count in zip(pcd.metadata.type, pcd.metadata.size, pcd.metadata.count):
        formats += [("%.9g" if size == 4 else "%.17g") if kind == "F" else "%d"] * count
    with open(temporary, "wb") as file:
        file.write(pcd.metadata.compose_header(data=encoding).encode())
        if len(pcd.pc_data):
            np.savetxt(file, pcd.pc_data, formats)


def _write_text_same(temporary: str, records: Records, new: Mapping[str, Array], suffix: str) -> None:
    text: TextLines = records.data
    separator = text.delimiter if text.delimiter is not None else text.spacer
    quote = b'"' if text.quoted else b""
    lines = list(text.lines)  # references to the same bytes: only changed lines are new

    def appended(line: bytes, tokens: list[bytes], in_comment: bool = False) -> bytes:
        end = len(line) - (2 if line.endswith(b"\r\n") else 1 if line.endswith((b"\n", b"\r")) else 0)
        cut = end
        if not in_comment and (b"#" in line or b"//" in line):  # new values go before a comment
            cut = min(cut, TEXT_COMMENT.search(line).start())  # type: ignore[union-attr]
        head = line[:cut].rstrip(b" \t")
        return head + b"".join(separator + quote + t + quote for t in tokens) + line[len(head) :]

    if text.names is not None:
        lines[text.names] = appended(lines[text.names], [name.encode() for name in new], bool(text.names_comment))
    columns = [text_tokens(values) for values in new.values()]
    for point, k in enumerate(text.data):
        lines[k] = appended(lines[k], [column[point] for column in columns])
    with open(temporary, "wb") as file:
        file.writelines(lines)


def _write_npy_same(temporary: str, records: Records, new: Mapping[str, Array], suffix: str) -> None:
    array = records.data
    if array.dtype.names is not None:
        out = _with_fields(array, new)
    else:
        out = np.column_stack([array, *new.values()]) if new else array
    with open(temporary, "wb") as file:  # a file object: np.save adds no ".npy" to the name
        np.save(file, out, allow_pickle=False)


SAME_FORMAT_WRITERS = {
    "las": _write_las_same,
    "ply": _write_ply_same,
    "pcd": _write_pcd_same,
    "text": _write_text_same,
    "npy": _write_npy_same,
}


# --- across formats --------------------------------------------------------------------


def _write_other(temporary: str, records: Records, new: Mapping[str, Array], suffix: str) -> None:
    """x, y, z in float64, every field of the records the output format can hold (under
    its name, spaces made underscores), then the new fields."""
    carried: dict[str, Array] = {}
    for name, values in records.fields().items():
        name = re.sub(r"\s+", "_", name.strip()) or "field"
        while name in carried or name in ("x", "y", "z") or name in new:  # "a b" next to "a_b"
            name += "_"
        carried[name] = values
    coordinates = {axis: records.points[:, k].astype(np.float64) for k, axis in enumerate("xyz")}
    write_columns(temporary, suffix, coordinates, carried, new, structured=bool(carried))
