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

from ornel._errors import CloudError, FieldClash
from ornel._formats import (TEXT_SUFFIXES, Array, _read_obj, _stack_xyz, check_writable, las_data, npy_array,
                            pcd_cloud, ply_data, read_checked, replacing, suffix_of, text_points, text_preamble)

# The format family of each suffix: a file written in its input's family keeps its records as they are.
KINDS = {".npy": "npy", ".ply": "ply", ".las": "las", ".laz": "las", ".pcd": "pcd", ".obj": "obj",
         **{suffix: "text" for suffix in TEXT_SUFFIXES}}
# pypcd4's name for a PCD padding field ("_"), which is no data.
PCD_PADDING = "#$%&~~"
# Normal components a moved cloud's fields may hold: they turn with the points.
NORMAL_FIELDS = (("nx", "ny", "nz"), ("normal_x", "normal_y", "normal_z"))


@dataclass(eq=False)
class TextLines:
    """A text file as lines of bytes (terminators kept), and where its numbers are."""

    lines: list[bytes]
    data: list[int]           # the line of each point, in order
    names: int | None         # the line of column names, if any
    names_comment: bytes      # the comment mark before those names ("//X Y Z" files), else b""
    delimiter: bytes | None   # b"," or b";", None for whitespace
    spacer: bytes             # what separates appended whitespace columns
    quoted: bool              # whether numbers are written in quotes


@dataclass(eq=False)
class Records:
    """Every point record of a file as read: `points` (n, 3) are the coordinates as
    `read_points` gives them (NaN rows of organised clouds included); `data` is the
    format's own whole-file object, which `write_records` writes back (for records
    `moved`, their fields by name)."""

    source: str
    kind: str
    points: Array
    data: Any

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
        if self.kind == "moved":
            return list(self.data)
        return []

    def moved(self, transform: Array) -> Records:
        """These records with their points moved by the rigid 4×4 `transform` and their
        normals turned with them. A file's own encoding of coordinates need not hold moved
        ones (LAS scales and offsets, float32 or integer columns), so moved records are
        written as into another format: x, y, z anew in float64, every field by name."""
        rotation = np.asarray(transform, dtype=np.float64)[:3, :3]
        fields = self.fields()
        for names in NORMAL_FIELDS:
            if all(name in fields for name in names):
                turned = np.column_stack([fields[name] for name in names]).astype(np.float64) @ rotation.T
                for axis, name in enumerate(names):
                    fields[name] = turned[:, axis].astype(fields[name].dtype)
        points = np.asarray(self.points, dtype=np.float64) @ rotation.T + np.asarray(transform, np.float64)[:3, 3]
        return Records(self.source, "moved", points, fields)

    def fields(self) -> dict[str, Array]:
        """The per-point fields carried into another format: every numeric one, a field of
        several values per point as name_0, name_1, ...; booleans as uint8."""
        fields: dict[str, Array] = {}
        if self.kind == "moved":
            fields = dict(self.data)
        elif self.kind == "las":
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
    return Records(source, "las", np.column_stack([np.asarray(las.x), np.asarray(las.y), np.asarray(las.z)]), las)


def _ply_records(path: Path, source: str) -> Records:
    ply = ply_data(path, source)
    vertex = ply["vertex"].data
    return Records(source, "ply", np.column_stack([vertex["x"], vertex["y"], vertex["z"]]), ply)


def _pcd_records(path: Path, source: str) -> Records:
    pcd = pcd_cloud(path, source)
    return Records(source, "pcd", np.asarray(pcd.numpy(("x", "y", "z"))), pcd)


def _npy_records(path: Path, source: str) -> Records:
    array = npy_array(path, source)
    if array.dtype.names is not None:
        points = _stack_xyz({name: array[name] for name in array.dtype.names}, ("x", "y", "z"), source, "the array")
    else:
        points = array[:, :3]
    return Records(source, "npy", points, array)


def _obj_records(path: Path, source: str) -> Records:
    return Records(source, "obj", _read_obj(path, source), None)


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
        raise CloudError(source, f"cannot be written back line for line: {len(data):,} lines of numbers, "
                         f"but {len(points):,} points were read")
    head = TEXT_COMMENT.split(lines[data[0]], maxsplit=1)[0].strip()
    delimiter = b"," if b"," in head else (b";" if b";" in head else None)
    spacer = b"\t" if delimiter is None and b"\t" in head and b" " not in head else b" "
    names_comment = b""
    if names is None:
        names, names_comment = _commented_names(decoded, lines, first, len(_split(head, delimiter)))
    return Records(source, "text", points,
                   TextLines(lines, data, names, names_comment, delimiter, spacer, head.startswith(b'"')))


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
    tokens = [t.strip('"') for t in re.split(r"[,;\s]+", decoded[k].strip()[len(match.group(1)):].strip()) if t]
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
    content = line[len(text.names_comment):] if text.names_comment else TEXT_COMMENT.split(line, maxsplit=1)[0]
    content = content.decode("utf-8", "replace").replace("\ufeff", "").strip()
    separator = {b",": ",", b";": ";", None: None}[text.delimiter]
    tokens = [t.strip().strip('"') for t in (content.split(separator) if separator else content.split())]
    return [t.lower() if t.lower() in ("x", "y", "z") else t for t in tokens]


def _text_fields(records: Records) -> dict[str, Array]:
    """The columns after x, y, z of a text file that hold numbers on every line."""
    text: TextLines = records.data
    body = [TEXT_COMMENT.split(text.lines[k], maxsplit=1)[0].replace(b'"', b"").decode("utf-8", "replace")
            for k in text.data]
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


RECORD_READERS = {".las": _las_records, ".laz": _las_records, ".ply": _ply_records, ".pcd": _pcd_records,
                  ".npy": _npy_records, ".obj": _obj_records, **{suffix: _text_records for suffix in TEXT_SUFFIXES}}


# --- writing ---------------------------------------------------------------------------


def write_records(path: str | PathLike[str], records: Records, fields: Mapping[str, Array], *,
                  overwrite_fields: bool = False) -> None:
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
    replaced = check_new_fields(path, records, list(fields), overwrite=overwrite_fields,
                                moved=records.kind == "moved")
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


def check_new_fields(path: str | PathLike[str], records: Records, names: list[str], *, overwrite: bool = False,
                     moved: bool = False) -> dict[str, str]:
    """Refuses, before any work, new field names that `path` cannot hold or that clash
    with a field of `records` (ignoring case); with `overwrite`, a clash with a field
    other than a coordinate (or, in LAS, a standard dimension) is allowed. `moved`: the
    records are to be written moved, as into another format. Returns each new name that
    replaces a field, with that field's name."""
    target = str(path)
    kind = KINDS[suffix_of(path)]
    for name in names:
        if not name or re.search(r"[\s,;\"]", name) or (kind == "las" and len(name.encode()) > 32):
            raise CloudError(target, f"a new field named {name!r}: expected a name without spaces, commas, "
                             "semicolons or quotes (in LAS files at most 32 bytes)")
    same = kind == records.kind and not moved
    existing = records.names() if same else list(records.fields())
    taken = {name.lower(): name for name in ["x", "y", "z", *existing]}
    fixed = {"x", "y", "z"}
    if same and kind == "las":
        fixed |= {name.lower() for name in records.data.point_format.standard_dimension_names}
    if same and kind == "pcd":  # a field of several values per point has no one place for one value
        fixed |= {n.lower() for n, count in zip(records.data.metadata.fields, records.data.metadata.count) if count != 1}
    replaced = {}
    for name in names:
        old = taken.get(name.lower())
        if old is None:
            continue
        if not overwrite or old.lower() in fixed:
            raise FieldClash(target, f"a new field {name!r} clashes with the field {old!r} "
                             f"of {records.source}; give it another name")
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
            if dimension.dtype is not None and dimension.dtype.kind != "f" and not _fits(column, dimension):
                raise CloudError(target, f"the field {name!r} of {records.source} holds whole numbers, which cannot "
                                 "hold the new values; give the new field another name")
            out[name] = column
        return Records(records.source, "las", records.points, out)
    if records.kind == "ply":
        from plyfile import PlyData, PlyElement, PlyProperty

        ply = records.data
        elements = []
        for element in ply.elements:
            if element.name == "vertex":
                types = {name: _ply_type(column) for name, column in values.items()}
                properties = [PlyProperty(p.name, types[p.name]) if p.name in values else p for p in element.properties]
                vertex = PlyElement("vertex", properties, element.count, comments=list(element.comments))
                vertex.data = _replaced_fields(element.data, values, types)
                element = vertex
            elements.append(element)
        return Records(records.source, "ply", records.points, PlyData(
            elements, text=ply.text, byte_order=ply.byte_order, comments=list(ply.comments),
            obj_info=list(ply.obj_info)))
    if records.kind == "pcd":
        pypcd4: Any = importlib.import_module("pypcd4")

        pcd = records.data
        meta = pcd.metadata
        kinds = dict(zip(meta.fields, zip(meta.type, meta.size)))
        kinds.update({name: _pcd_type(column) for name, column in values.items()})
        metadata = meta.derive(type=tuple(kinds[f][0] for f in meta.fields),
                               size=tuple(kinds[f][1] for f in meta.fields))
        array = np.empty(len(pcd.pc_data), metadata.build_dtype())
        for name in array.dtype.names:
            array[name] = values[name] if name in values else pcd.pc_data[name]
        return Records(records.source, "pcd", records.points, pypcd4.PointCloud(metadata, array))
    if records.kind == "npy":
        return Records(records.source, "npy", records.points, _replaced_fields(records.data, values))
    text: TextLines = records.data  # text: the columns' tokens replaced, every other byte kept
    names = _text_column_names(records) or []
    columns = {names.index(name): _text_token(column) for name, column in values.items()}
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
    points = laspy.ScaleAwarePointRecord.zeros(len(las.points), header=header)
    for name in las.points.array.dtype.names:  # raw record fields: integers X, Y, Z, bit fields, extra bytes
        points.array[name] = las.points.array[name]
    out = laspy.LasData(header=header, points=points)
    for name, values in new.items():
        out[name] = values
    out.write(temporary, do_compress=suffix == ".laz")
    _restore_las_header(temporary, las.header, old_vlrs[described[0]].record_data_bytes() if described else b"")


def _restore_las_header(path: str, header: Any, described: bytes) -> None:
    """Puts back what laspy recomputes on writing though the records are the same: the
    bounds in the header (another program may have taken them from the unrounded
    coordinates) and the descriptions of the existing extra-bytes dimensions (laspy adds
    statistics to them)."""
    with open(path, "r+b") as file:
        head = file.read(107)
        header_size, _, vlr_count = struct.unpack_from("<HII", head, 94)
        bounds = [value for axis in range(3) for value in (header.maxs[axis], header.mins[axis])]
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


def _ply_type(values: Array) -> str:
    """PLY has no 64-bit integers: those that fit go in 32 bits, others in doubles (exact to 2^53)."""
    if values.dtype.kind in "iu" and values.dtype.itemsize == 8:
        if len(values) == 0 or (values.min() >= -2**31 and values.max() < 2**31):
            return "i4"
        return "f8"
    return f"{values.dtype.kind}{values.dtype.itemsize}" if values.dtype.kind != "b" else "u1"


def _write_ply_same(temporary: str, records: Records, new: Mapping[str, Array], suffix: str) -> None:
    from plyfile import PlyData, PlyElement, PlyProperty

    ply = records.data
    elements = []
    for element in ply.elements:
        if element.name == "vertex":
            types = {name: _ply_type(values) for name, values in new.items()}
            properties = [*element.properties, *(PlyProperty(name, types[name]) for name in new)]
            vertex = PlyElement("vertex", properties, element.count, comments=list(element.comments))
            vertex.data = _with_fields(element.data, new, types)
            element = vertex
        elements.append(element)
    PlyData(elements, text=ply.text, byte_order=ply.byte_order, comments=list(ply.comments),
            obj_info=list(ply.obj_info)).write(temporary)


def _pcd_type(values: Array) -> tuple[str, int]:
    return ({"f": "F", "i": "I", "u": "U"}[values.dtype.kind], values.dtype.itemsize)


def _write_pcd_same(temporary: str, records: Records, new: Mapping[str, Array], suffix: str) -> None:
    pypcd4: Any = importlib.import_module("pypcd4")

    pcd = records.data
    meta = pcd.metadata
    types = [_pcd_type(values) for values in new.values()]
    metadata = meta.derive(fields=(*meta.fields, *new), type=(*meta.type, *(t for t, _ in types)),
                           size=(*meta.size, *(s for _, s in types)), count=(*meta.count, *(1 for _ in new)))
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


def _text_token(values: Array) -> list[bytes]:
    """Each value as the shortest text that reads back exactly ('nan' where none)."""
    if values.dtype.kind in "iu":
        return [b"%d" % v for v in values.tolist()]
    if values.dtype == np.float32:  # NumPy's shortest text for a float32
        return [str(v).encode() for v in values]
    return [repr(v).encode() for v in values.astype(np.float64).tolist()]


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
        return head + b"".join(separator + quote + t + quote for t in tokens) + line[len(head):]

    if text.names is not None:
        lines[text.names] = appended(lines[text.names], [name.encode() for name in new], bool(text.names_comment))
    columns = [_text_token(values) for values in new.values()]
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


SAME_FORMAT_WRITERS = {"las": _write_las_same, "ply": _write_ply_same, "pcd": _write_pcd_same,
                       "text": _write_text_same, "npy": _write_npy_same}


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
    columns = {"x": records.points[:, 0].astype(np.float64), "y": records.points[:, 1].astype(np.float64),
               "z": records.points[:, 2].astype(np.float64), **carried, **new}
    kind = KINDS[suffix]
    if kind == "npy":
        with open(temporary, "wb") as file:
            if carried:  # named columns keep their names
                array = np.empty(len(records), [(name, values.dtype) for name, values in columns.items()])
                for name, values in columns.items():
                    array[name] = values
            else:
                array = np.column_stack(list(columns.values()))
            np.save(file, array, allow_pickle=False)
    elif kind == "ply":
        from plyfile import PlyData, PlyElement

        types = {name: _ply_type(values) for name, values in columns.items()}
        vertex = np.empty(len(records), [(name, types[name]) for name in columns])
        for name, values in columns.items():
            vertex[name] = values
        PlyData([PlyElement.describe(vertex, "vertex")], text=False).write(temporary)
    elif kind == "pcd":
        pypcd4: Any = importlib.import_module("pypcd4")

        pcd_types = [_pcd_type(values) for values in columns.values()]
        metadata = pypcd4.MetaData(fields=tuple(columns), type=tuple(t for t, _ in pcd_types),
                                   size=tuple(s for _, s in pcd_types), count=(1,) * len(columns),
                                   points=len(records), width=len(records), height=1,
                                   data=pypcd4.Encoding.BINARY)
        array = np.empty(len(records), metadata.build_dtype())
        for name, values in columns.items():
            array[name] = values
        pypcd4.PointCloud(metadata, array).save(temporary, encoding=pypcd4.Encoding.BINARY)
    elif kind == "text":
        delimiter = b"," if suffix == ".csv" else b" "
        with open(temporary, "wb") as file:
            if suffix == ".csv":
                file.write(b",".join(name.encode() for name in columns) + b"\n")
            elif suffix == ".pts":
                file.write(b"%d\n" % len(records))
            tokens = [_text_token(values) for values in columns.values()]
            file.writelines(delimiter.join(row) + b"\n" for row in zip(*tokens))
    else:
        _write_las_other(temporary, records, carried, new, suffix == ".laz")


def _write_las_other(temporary: str, records: Records, carried: Mapping[str, Array], new: Mapping[str, Array],
                     compress: bool) -> None:
    """A new LAS file: point format 0, or 1, 2, 3 when the fields hold a GPS time or
    red, green and blue; a carried field named like a standard dimension goes there when
    every value fits it, every other field into extra bytes."""
    import laspy

    points = records.points.astype(np.float64)
    lower = {name.lower(): name for name in carried}
    rgb = all(c in lower and _fits(carried[lower[c]], np.dtype("u2")) for c in ("red", "green", "blue"))
    time = "gps_time" in lower and carried[lower["gps_time"]].dtype.kind in "iuf"
    point_format = laspy.PointFormat({(False, False): 0, (True, False): 1, (False, True): 2, (True, True): 3}[time, rgb])
    standard = {d.name: d for d in point_format.dimensions if d.name not in ("X", "Y", "Z")}
    into_standard, extra = {}, {}
    for name, values in carried.items():
        dim = name.lower()
        if dim in standard and _fits(values, standard[dim]):
            into_standard[dim] = values
        else:
            extra[f"{name}_value" if dim in standard else name] = values
    extra.update(new)
    lo, hi = (points.min(axis=0), points.max(axis=0)) if len(points) else (np.zeros(3), np.zeros(3))
    offsets = np.floor((lo + hi) / 2)
    reach = np.maximum(np.abs(hi - offsets), np.abs(lo - offsets)).max() if len(points) else 0.0
    scales = np.full(3, 10.0 ** np.ceil(np.log10(max(float(reach), 1e-300) / 2e9)))
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
    las.write(temporary, do_compress=compress)


def _fits(values: Array, dimension: Any) -> bool:
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
        return bool(np.all(np.isfinite(values)) and np.all(values == np.round(values))
                    and values.min() >= low and values.max() <= high)
