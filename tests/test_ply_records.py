"""PLY files on the command's way from the file to the answer: read into memory without
a copy the search does not need, written back whole in one pass with every element,
comment and field of the input, in its encoding and byte order, and a damaged file
refused in one line."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import brute_nearest
from plyfile import PlyData, PlyElement

import ornel
import ornel._formats

SCRIPT = Path(sys.executable).parent / "ornel"


def ornel_command(*args):
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True, timeout=300)


def scan(rng, n, fields=True, dtype="f8"):
    """A vertex array with x, y, z far from the origin, and colours, normals, an id."""
    descr = [("x", dtype), ("y", dtype), ("z", dtype)]
    if fields:
        descr += [("red", "u1"), ("nx", "f4"), ("ny", "f4"), ("nz", "f4"), ("id", "i4")]
    vertex = np.empty(n, descr)
    for k, axis in enumerate("xyz"):
        vertex[axis] = 1e5 * (k + 1) + rng.random(n)
    if fields:
        vertex["red"] = rng.integers(0, 256, n)
        for name in ("nx", "ny", "nz"):
            vertex[name] = rng.normal(size=n)
        vertex["id"] = rng.permutation(n)
    return vertex


def write(path, elements, text=False, byte_order="<"):
    PlyData(elements, text=text, byte_order=byte_order, comments=["scanned by rig 2"], obj_info=["epoch 3"]).write(
        str(path)
    )


ENCODINGS = [(False, "<"), (False, ">"), (True, "=")]
ENCODING_IDS = ["binary-le", "binary-be", "ascii"]


@pytest.mark.parametrize(("text", "byte_order"), ENCODINGS, ids=ENCODING_IDS)
@pytest.mark.parametrize("extra", ["vertex only", "camera element", "faces"])
def test_compare_out_keeps_every_element_comment_field_and_encoding(tmp_path, text, byte_order, extra):
    rng = np.random.default_rng(11)
    a, b = scan(rng, 1200), scan(rng, 800, fields=False)
    elements = [PlyElement.describe(a, "vertex")]
    if extra == "camera element":  # an element of fixed-size records, after the points
        camera = np.array([(1.0, 2.0, 3.0, 7)], [("view_x", "f4"), ("view_y", "f4"), ("view_z", "f4"), ("lens", "u2")])
        elements.append(PlyElement.describe(camera, "camera"))
    if extra == "faces":
        faces = np.empty(2, [("vertex_indices", "O")])
        faces["vertex_indices"] = [np.array([0, 1, 2], "i4"), np.array([3, 4, 5, 6], "i4")]
        elements.append(PlyElement.describe(faces, "face"))
    write(tmp_path / "a.ply", elements, text, byte_order)
    write(tmp_path / "b.ply", [PlyElement.describe(b, "vertex")])
    done = ornel_command(
        "compare", tmp_path / "a.ply", tmp_path / "b.ply", "--vertices", "--out", tmp_path / "o.ply", "--f64", "--index"
    )
    assert done.returncode == 0, done.stderr
    back = PlyData.read(str(tmp_path / "o.ply"))
    source = PlyData.read(str(tmp_path / "a.ply"))
    assert (back.text, back.byte_order, back.comments, back.obj_info) == (
        source.text,
        source.byte_order,
        ["scanned by rig 2"],
        ["epoch 3"],
    )
    assert [e.name for e in back.elements] == [e.name for e in source.elements]
    vertex = back["vertex"].data
    assert list(vertex.dtype.names) == [*a.dtype.names, "distance", "index"]
    for name in a.dtype.names:
        assert vertex.dtype[name].newbyteorder("=") == a.dtype[name].newbyteorder("=")
        np.testing.assert_array_equal(vertex[name], a[name])
    xyz = lambda v: np.column_stack([v["x"], v["y"], v["z"]]).astype(np.float64)  # noqa: E731
    distance, index = brute_nearest(xyz(a), xyz(b))
    np.testing.assert_array_equal(vertex["distance"], distance)
    np.testing.assert_array_equal(vertex["index"], index)
    for old, new in zip(source.elements[1:], back.elements[1:]):
        for name in old.data.dtype.names:
            assert [np.asarray(v).tolist() for v in new.data[name]] == [np.asarray(v).tolist() for v in old.data[name]]


@pytest.mark.parametrize("rows", [0, 1, 5, 200_003])
def test_records_written_a_block_at_a_time_are_the_records_of_one_array(tmp_path, rows, monkeypatch):
    """Blocks smaller than the cloud, a last block cut short, no rows at all."""
    monkeypatch.setattr(ornel._formats, "BLOCK_BYTES", 1000)
    rng = np.random.default_rng(rows)
    points = rng.random((rows, 3))
    fields = {"distance": rng.random(rows).astype(np.float32), "index": rng.integers(-1, 2**31 - 1, rows)}
    ornel.write_points(tmp_path / "p.ply", points, fields)
    whole = PlyData.read(str(tmp_path / "p.ply"))["vertex"].data
    np.testing.assert_array_equal(np.column_stack([whole["x"], whole["y"], whole["z"]]), points.reshape(rows, 3))
    for name, values in fields.items():
        np.testing.assert_array_equal(whole[name], values)
    records = ornel.read_records(tmp_path / "p.ply")
    ornel.write_records(tmp_path / "q.ply", records, {"again": fields["distance"]})
    again = PlyData.read(str(tmp_path / "q.ply"))["vertex"].data
    assert again.dtype.names == (*whole.dtype.names, "again")
    for name in whole.dtype.names:
        np.testing.assert_array_equal(again[name], whole[name])


@pytest.mark.parametrize("dtype", ["f4", "f8"])
def test_points_of_a_binary_ply_are_read_once_into_memory(tmp_path, dtype):
    """x, y, z alone: the records are the points (no second array); with other fields,
    one array of x, y, z; never a map of the file, which another process may change."""
    rng = np.random.default_rng(3)
    for fields in (False, True):
        vertex = scan(rng, 500, fields=fields, dtype=dtype)
        write(tmp_path / "c.ply", [PlyElement.describe(vertex, "vertex")])
        records = ornel.read_records(tmp_path / "c.ply")
        expected = np.column_stack([vertex["x"], vertex["y"], vertex["z"]])
        np.testing.assert_array_equal(records.points, expected)
        assert records.points.dtype == np.dtype(dtype) and records.points.flags.c_contiguous
        assert not isinstance(records.data["vertex"].data, np.memmap)
        assert np.shares_memory(records.points, records.data["vertex"].data) == (not fields)
        cloud = ornel.Cloud.load(tmp_path / "c.ply")
        np.testing.assert_array_equal(cloud.points, expected)
        # The cloud keeps the array read, and a comparison keeps the cloud's.
        result = ornel.compare(cloud, cloud, precision="f64")
        assert result.a.points is cloud.points
        np.testing.assert_array_equal(result.distance, np.zeros(len(vertex)))
    # Big-endian numbers are turned into the machine's on reading, with the same values.
    write(tmp_path / "be.ply", [PlyElement.describe(vertex, "vertex")], byte_order=">")
    np.testing.assert_array_equal(ornel.read_points(tmp_path / "be.ply"), expected)


def test_a_cloud_over_a_callers_array_copies_it_before_keeping_it_and_an_adopted_one_does_not():
    rng = np.random.default_rng(4)
    a, b = rng.random((300, 3)), rng.random((200, 3))
    given = ornel.compare(a, b, precision="f64")
    assert not np.shares_memory(given.a.points, a)  # the caller may change a later
    adopted = ornel.Cloud.adopt(a, "a")
    kept = ornel.compare(adopted, b, precision="f64")
    assert np.shares_memory(kept.a.points, a)
    np.testing.assert_array_equal(kept.distance, given.distance)
    np.testing.assert_array_equal(kept.distance, brute_nearest(a, b)[0])


@pytest.mark.parametrize("cut", ["in the points", "in the element after them", "in the header"])
def test_a_truncated_ply_is_refused_in_one_line_with_exit_status_2(tmp_path, cut):
    rng = np.random.default_rng(9)
    camera = np.array([(1.0, 2.0, 3.0)] * 4, [("view_x", "f8"), ("view_y", "f8"), ("view_z", "f8")])
    write(tmp_path / "a.ply", [PlyElement.describe(scan(rng, 100), "vertex"), PlyElement.describe(camera, "camera")])
    write(tmp_path / "b.ply", [PlyElement.describe(scan(rng, 100, fields=False), "vertex")])
    raw = (tmp_path / "a.ply").read_bytes()
    end = raw.index(b"end_header\n") + len(b"end_header\n")
    keep = {"in the points": end + 50 * 33, "in the element after them": len(raw) - 10, "in the header": end - 20}[cut]
    (tmp_path / "cut.ply").write_bytes(raw[:keep])
    for args in (["cut.ply", "b.ply"], ["b.ply", "cut.ply"]):
        done = ornel_command("compare", *(tmp_path / name for name in args), "--out", tmp_path / "o.ply")
        assert done.returncode == 2
        assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr, done.stderr
        assert done.stderr.startswith(f"ornel: error: {tmp_path / 'cut.ply'}: not a readable PLY file")
        assert "truncated" in done.stderr or "end-of-file" in done.stderr
        assert not (tmp_path / "o.ply").exists()
