"""Reading files: every point the file holds or a one-line refusal saying what is wrong
where: truncated files of every format, text encodings and odd text layouts, transposed
arrays; and errors that survive being sent between processes."""

import importlib.util
import multiprocessing
import pickle
import re
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import laspy
import numpy as np
import pytest
from conftest import DATA

import ornel

LAS_FILES = sorted((DATA / "las").glob("*.las"))


def refused(path, *words):
    with pytest.raises(ornel.CloudError) as info:
        ornel.read_points(path)
    error = info.value
    assert error.source == str(path) and str(error) == f"{path}: {error.problem}"
    assert "\n" not in str(error) and all(word in error.problem for word in words), error.problem
    return error.problem


def pcd_header(n, encoding):
    return (
        f"VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH {n}\nHEIGHT 1\n"
        f"VIEWPOINT 0 0 0 1 0 0 0\nPOINTS {n}\nDATA {encoding}\n"
    ).encode()


@pytest.mark.parametrize("las", LAS_FILES, ids=lambda p: p.name)
def test_real_las_files_are_read_whole_and_refused_when_cut(tmp_path, las):
    data = las.read_bytes()
    header = laspy.open(str(las)).header
    held = (len(data) - header.offset_to_point_data) // header.point_format.size
    if held < header.point_count:  # 1.2-with-color-clipped.las: such a file as it came
        refused(las, f"announces {header.point_count:,} points", f"holds {held:,}")
    else:
        expected = laspy.read(str(las))
        np.testing.assert_array_equal(ornel.read_points(las), np.c_[expected.x, expected.y, expected.z])
    keep = header.point_count // 3
    for name, cut in (("boundary", keep), ("mid-record", keep + 0.5)):
        path = tmp_path / f"{name}.las"
        path.write_bytes(data[: header.offset_to_point_data + int(cut * header.point_format.size)])
        refused(path, f"announces {header.point_count:,} points", f"holds {keep:,}")
    if held == header.point_count:  # compressed, then cut: the decompression fails
        laspy.read(str(las)).write(str(tmp_path / "whole.laz"))
        (tmp_path / "cut.laz").write_bytes((tmp_path / "whole.laz").read_bytes()[:-1000])
        refused(tmp_path / "cut.laz", f"announces {header.point_count:,} points, but reading them failed")


def test_truncated_pcd_ply_and_pts_files_say_what_was_expected_and_found(tmp_path):
    rows = np.random.default_rng(1).random((10, 3)).astype("<f4")
    files = {
        "ascii.pcd": pcd_header(10, "ascii") + "".join(f"{a} {b} {c}\n" for a, b, c in rows[:7].tolist()).encode(),
        "binary.pcd": pcd_header(10, "binary") + rows[:7].tobytes(),
        "mid-record.pcd": pcd_header(10, "binary") + rows.tobytes()[: 7 * 12 + 5],
        "count.pts": b"10\n" + b"".join(b"%r %r %r\n" % tuple(r) for r in rows[:7].tolist()),
    }
    for name, content in files.items():
        (tmp_path / name).write_bytes(content)
        refused(tmp_path / name, "announces 10 points", "holds 7")
    ply = b"ply\nformat %s 1.0\nelement vertex 10\nproperty float x\nproperty float y\nproperty float z\nend_header\n"
    (tmp_path / "binary.ply").write_bytes(ply % b"binary_little_endian" + rows.tobytes()[: 7 * 12 + 5])
    (tmp_path / "ascii.ply").write_bytes(ply % b"ascii" + b"".join(b"%r %r %r\n" % tuple(r) for r in rows[:7].tolist()))
    for name in ("binary.ply", "ascii.ply"):
        refused(tmp_path / name, "not a readable PLY file", "announces 10 vertices", "holds 7")
    # Whole files of the same kinds read as written.
    (tmp_path / "whole.pcd").write_bytes(pcd_header(10, "binary") + rows.tobytes())
    (tmp_path / "whole.pts").write_bytes(b"10\n" + b"".join(b"%r %r %r\n" % tuple(r) for r in rows.tolist()))
    for name in ("whole.pcd", "whole.pts"):
        np.testing.assert_array_equal(ornel.read_points(tmp_path / name), rows)


POINTS = "1.5,2,3\n4,5,6\n7,8,9.25\n"
READ = [
    ("bom-no-header.csv", "\ufeff" + POINTS),
    ("bom-header.csv", "\ufeffx,y,z\n" + POINTS),
    ("quoted.csv", '"x","y","z"\n' + re.sub(r"([0-9.]+)", r'"\1"', POINTS)),
    ("fortran.xyz", "1.5D+00 0.2d1 3.0D0\n4 5 6\n70.0D-1 8 9.25\n"),
    ("count-and-names.pts", "3\nX Y Z intensity\n" + POINTS.replace(",", " ")),
    ("comments.txt", "# exported\n\n// by hand\n" + POINTS.replace(",", ";")),
]


@pytest.mark.parametrize("name, text", READ, ids=[case[0] for case in READ])
def test_text_files_keep_every_point(tmp_path, name, text):
    (tmp_path / name).write_bytes(text.encode("utf-8"))
    np.testing.assert_array_equal(ornel.read_points(tmp_path / name), [[1.5, 2, 3], [4, 5, 6], [7, 8, 9.25]])


REFUSED = [
    ("na.xyz", b"NA 0.5 0.5\n1 2 3\n4 5 6\n", "line 1: not numbers ('NA')"),
    ("version.xyz", b"1.0.0 2 3\n1 2 3\n", "line 1: not numbers ('1.0.0')"),
    ("two-headers.csv", b"x,y,z\nm,m,m\n1,2,3\n", "line 2: not numbers ('m')"),
    ("later.txt", b"# c\n1 2 3\n\n4 5 6\n4 five 6\n", "line 5: not numbers ('five')"),
    ("short.csv", b"1,2,3\n4,5\n", "line 2: 2 columns; fewer than three columns"),
    ("ids.xyz", b"p1 1 2 3\np2 4 5 6\n", "line 1: not numbers ('p1' first: an id column"),
    ("utf16.csv", "x,y,z\n1,2,3\n".encode("utf-16"), "line 1: UTF-16 text"),
    ("utf16le.csv", "1,2,3\n4,5,6\n".encode("utf-16-le"), "line 1: a NUL byte: UTF-16 text"),
    ("latin1.xyz", b"1 2 3\n4 5 \xb5\n", "line 2: not UTF-8 text"),
    ("decimal-comma.csv", b'"1,5","2,5","3,5"\n', "line 1: not numbers"),
]


@pytest.mark.parametrize("name, content, problem", REFUSED, ids=[case[0] for case in REFUSED])
def test_unreadable_text_lines_are_refused_with_their_line_and_content(tmp_path, name, content, problem):
    (tmp_path / name).write_bytes(content)
    assert refused(tmp_path / name).startswith(problem)


def test_transposed_npy_is_refused_with_the_fix(tmp_path):
    np.save(tmp_path / "t.npy", np.random.default_rng(2).random((3, 500)))
    refused(tmp_path / "t.npy", "(3, 500) looks transposed", "np.save(path, array.T)")
    np.save(tmp_path / "three.npy", np.eye(3))  # three points stay three points
    assert ornel.read_points(tmp_path / "three.npy").shape == (3, 3)


def test_clouds_and_cloud_errors_survive_pickling_between_processes(tmp_path):
    error = ornel.CloudError("scan.las", "no such file")
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), copy.source, copy.problem, str(copy)) == (
        ornel.CloudError,
        "scan.las",
        "no such file",
        "scan.las: no such file",
    )
    np.save(tmp_path / "a.npy", np.random.default_rng(3).random((40, 3)))
    # Spawned, not forked: forking a process that runs threads can deadlock the child.
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        with pytest.raises(ornel.CloudError) as info:
            pool.submit(ornel.Cloud.load, tmp_path / "missing.npy").result()
        assert (info.value.source, info.value.problem) == (str(tmp_path / "missing.npy"), "no such file")
        assert len(pool.submit(ornel.Cloud.load, tmp_path / "a.npy").result()) == 40  # the pool still works
    cloud = ornel.Cloud(np.random.default_rng(4).random((40, 3)))
    cloud.graph("f32")
    copy = pickle.loads(pickle.dumps(cloud, protocol=5))
    for array in (copy.points, copy.order):
        assert not array.flags.writeable
        with pytest.raises(ValueError):
            array[0] = 0


@pytest.mark.parametrize("point_format", [0, 1, 3, 6, 8])
@pytest.mark.parametrize("block_bytes", [100, 1 << 22])
def test_las_points_read_a_block_at_a_time_are_laspys_bit_for_bit(tmp_path, monkeypatch, point_format, block_bytes):
    """Records of every size (extra bytes too), blocks of a few records with a last one cut
    short or one block for all, coordinates far from the origin on a fine grid."""
    from ornel import _formats

    monkeypatch.setattr(_formats, "BLOCK_BYTES", block_bytes)
    rng = np.random.default_rng(point_format)
    header = laspy.LasHeader(point_format=point_format, version="1.4")
    header.add_extra_dim(laspy.ExtraBytesParams(name="amplitude", type="f8"))
    header.offsets, header.scales = [5e5, 4e6, -20.0], [1e-4, 1e-3, 3e-5]
    las = laspy.LasData(header)
    n = 1037
    las.x = 5e5 + rng.random(n) * 100
    las.y = 4e6 - rng.random(n) * 100
    las.z = rng.normal(size=n)
    las.amplitude = rng.random(n)
    path = tmp_path / "c.las"
    las.write(str(path))
    blocks = _formats.las_points_in_blocks(Path(path), str(path))
    whole = _formats.las_points(_formats.las_data(Path(path), str(path)))
    assert blocks is not None and blocks.dtype == whole.dtype == np.float64
    assert blocks.tobytes() == whole.tobytes()
    np.testing.assert_array_equal(ornel.read_points(path), whole)
    raw = path.read_bytes()
    path.write_bytes(raw[: len(raw) - header.point_format.size // 2])  # the last record cut
    refused(path, f"announces {n:,} points", f"holds {n - 1:,}")
    if importlib.util.find_spec("lazrs") is not None:
        las.write(str(tmp_path / "c.laz"))  # compressed: laspy reads it
        assert _formats.las_points_in_blocks(tmp_path / "c.laz", "c.laz") is None
        np.testing.assert_array_equal(ornel.read_points(tmp_path / "c.laz"), whole)
