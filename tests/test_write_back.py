"""Outputs and headers: a LAS file written back keeps its header block byte for byte, moved
records keep everything of their own format (faces, comments, VLRs, point format,
viewpoint, text lines), text outputs name their columns, and write_points and
write_records write the same file for the same columns."""

import struct
import subprocess
import sys
from pathlib import Path

import laspy
import numpy as np
import pypcd4
import pytest
from plyfile import PlyData, PlyElement
from scipy.spatial.transform import Rotation

import ornel

DATA = Path(__file__).resolve().parent.parent / "data"
WHOLE_LAS = [p for p in sorted((DATA / "las").glob("*.las")) if p.name != "1.2-with-color-clipped.las"]
SCRIPT = Path(sys.executable).parent / "ornel"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]

# Header bytes that say where the parts of a file are and how long a record is: a file with
# new extra bytes has other values there. Every other byte is the source's.
POSITIONS = {*range(96, 104), 105, 106, *range(235, 243)}


def ornel_command(*args, cwd):
    return subprocess.run([*COMMAND, *map(str, args)], capture_output=True, text=True, timeout=300, cwd=cwd)


def las_parts(path):
    """The header block, VLRs, raw point bytes (one row per record) and EVLRs of a LAS
    file, read from its bytes as the format lays them out."""
    raw = Path(path).read_bytes()
    header_size, point_offset, vlr_count = struct.unpack_from("<HII", raw, 94)
    (record_length,) = struct.unpack_from("<H", raw, 105)
    count = struct.unpack_from("<Q", raw, 247)[0] if raw[25] >= 4 else struct.unpack_from("<I", raw, 107)[0]
    vlrs, position = [], header_size
    for _ in range(vlr_count):
        (length,) = struct.unpack_from("<H", raw, position + 20)
        vlrs.append(raw[position : position + 54 + length])
        position += 54 + length
    assert position == point_offset  # nothing between the VLRs and the points
    points = np.frombuffer(raw, np.uint8, count * record_length, point_offset).reshape(count, record_length)
    evlrs = []
    if raw[25] >= 4:
        position, n = struct.unpack_from("<QI", raw, 235)
        for _ in range(n):
            (length,) = struct.unpack_from("<Q", raw, position + 20)
            evlrs.append(raw[position : position + 60 + length])
            position += 60 + length
    return raw[:header_size], vlrs, points, evlrs


def is_extra_bytes(vlr):
    return vlr[2:18].rstrip(b"\0") == b"LASF_Spec" and struct.unpack_from("<H", vlr, 18)[0] == 4


def assert_same_header(before, after, compressed=False):
    assert len(before) == len(after)
    differ = [k for k in range(len(before)) if before[k] != after[k] and k not in POSITIONS]
    if compressed:  # the point format byte carries the compression bits
        differ = [k for k in differ if not (k == 104 and before[k] == after[k] & 0x3F)]
    assert differ == [], f"header bytes changed at {differ}"


def assert_vlrs_kept(before, after, compressed=False):
    """Every VLR as it was, in order; the extra-bytes one grown by the new dimensions only
    (new when there was none), and LAZ's own."""
    after = [v for v in after if not (compressed and v[2:18].rstrip(b"\0") == b"laszip encoded")]
    if not any(is_extra_bytes(v) for v in before):
        assert is_extra_bytes(after[-1])
        after = after[:-1]
    assert len(after) == len(before)
    for old, new in zip(before, after):
        if is_extra_bytes(old):
            assert new[:20] == old[:20] and new[22:54] == old[22:54] and new[54 : 54 + len(old) - 54] == old[54:]
        else:
            assert new == old


@pytest.mark.parametrize("las", WHOLE_LAS, ids=lambda p: p.name)
def test_las_written_back_keeps_every_byte_but_the_new_extra_bytes(tmp_path, las):
    header, vlrs, points, evlrs = las_parts(las)
    records = ornel.read_records(las)
    distance = np.random.default_rng(len(las.name)).random(len(records))
    ornel.write_records(tmp_path / "out.las", records, {"distance": distance})
    out_header, out_vlrs, out_points, out_evlrs = las_parts(tmp_path / "out.las")
    assert_same_header(header, out_header)
    assert_vlrs_kept(vlrs, out_vlrs)
    np.testing.assert_array_equal(out_points[:, : points.shape[1]], points)  # each record bit for bit
    np.testing.assert_array_equal(out_points[:, points.shape[1] :].copy().view("<f8").ravel(), distance)
    assert out_evlrs == evlrs
    # Compressed: the same header block and VLRs, the same raw records once decompressed.
    ornel.write_records(tmp_path / "out.laz", records, {"distance": distance})
    raw = (tmp_path / "out.laz").read_bytes()
    (header_size,) = struct.unpack_from("<H", raw, 94)
    assert_same_header(header, raw[:header_size], compressed=True)
    back = laspy.read(str(tmp_path / "out.laz"))
    original = laspy.read(str(las))
    for name in original.points.array.dtype.names:
        np.testing.assert_array_equal(back.points.array[name], original.points.array[name], err_msg=name)


def test_compare_out_keeps_a_zero_creation_date_legacy_counts_and_counts_by_return(tmp_path):
    """What laspy recomputes on writing: a LAS 1.4 file's legacy counts (0 for point formats
    0-5 would look empty to older readers), counts by return (zeros in the source: the
    file's own statement), a creation date of 0."""
    raw = bytearray((DATA / "las" / "sample_c.las").read_bytes())
    raw[90:94] = bytes(4)  # day and year 0
    (tmp_path / "a.las").write_bytes(bytes(raw))
    np.save(tmp_path / "b.npy", ornel.read_points(DATA / "las" / "sample_c.las")[::3] + 0.01)
    for source in (tmp_path / "a.las", DATA / "las" / "extrabytes.las"):
        done = ornel_command("compare", source, "b.npy", "--out", "out.las", cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        before, after = source.read_bytes(), (tmp_path / "out.las").read_bytes()
        for start, stop in ((90, 94), (107, 131), (247, 375)):  # date; legacy counts; 1.4 counts
            if stop <= struct.unpack_from("<H", before, 94)[0]:
                assert after[start:stop] == before[start:stop], (source.name, start)
        assert_same_header(las_parts(source)[0], las_parts(tmp_path / "out.las")[0])


def motion(degrees, axis, shift):
    transform = np.eye(4)
    transform[:3, :3] = Rotation.from_rotvec(np.radians(degrees) * np.asarray(axis) / np.linalg.norm(axis)).as_matrix()
    transform[:3, 3] = shift
    return transform


@pytest.mark.parametrize("shift", [[0.25, -0.5, 0.125], [5e7, -5e5, 120.25]], ids=["near", "far"])
@pytest.mark.parametrize("las", WHOLE_LAS, ids=lambda p: p.name)
def test_moved_las_keeps_its_format_vlrs_and_scales_with_offsets_that_hold_the_points(tmp_path, las, shift):
    records = ornel.read_records(las)
    centre = records.points.mean(axis=0)  # turned about the cloud's centre, then shifted
    transform = motion(7, [1, 2, 3], shift)
    transform[:3, 3] = centre + np.asarray(shift) - transform[:3, :3] @ centre
    moved = records.moved(transform)
    expected = np.asarray(records.points, np.float64) @ transform[:3, :3].T + transform[:3, 3]
    np.testing.assert_array_equal(moved.points, expected)
    ornel.write_records(tmp_path / "out.las", moved, {})
    original, back = laspy.read(str(las)), laspy.read(str(tmp_path / "out.las"))
    assert (back.header.version, back.header.point_format.id) == (
        original.header.version,
        original.header.point_format.id,
    )
    np.testing.assert_array_equal(back.header.scales, original.header.scales)
    # Rounded to the kept grid: within half a step (and float64's rounding at these magnitudes).
    assert np.all(np.abs(back.xyz - expected) <= original.header.scales / 2 + 1e-15 * np.abs(expected).max())
    np.testing.assert_array_equal(back.header.mins, back.xyz.min(axis=0))
    np.testing.assert_array_equal(back.header.maxs, back.xyz.max(axis=0))
    for name in original.point_format.dimension_names:
        if name not in ("X", "Y", "Z"):
            np.testing.assert_array_equal(np.asarray(back[name]), np.asarray(original[name]), err_msg=name)
    header, vlrs, _, evlrs = las_parts(las)
    out_header, out_vlrs, _, out_evlrs = las_parts(tmp_path / "out.las")
    assert out_vlrs == vlrs and out_evlrs == evlrs  # the coordinate system among them
    # Every header byte but the offsets and bounds; near, the offsets still hold the points.
    differ = [k for k in range(len(header)) if header[k] != out_header[k] and not 155 <= k < 227]
    assert differ == []
    if shift[0] < 1:
        np.testing.assert_array_equal(back.header.offsets, original.header.offsets)


def test_align_out_writes_a_las_file_in_its_own_format_and_says_how(tmp_path):
    source = DATA / "las" / "test1_4.las"  # point format 6, a WKT coordinate system
    points = ornel.read_points(source)
    truth = motion(2, [0, 0, 1], [1.5, -0.75, 0.25])
    np.save(tmp_path / "b.npy", (points - points.mean(axis=0)) @ truth[:3, :3].T + points.mean(axis=0) + truth[:3, 3])
    done = ornel_command("align", source, "b.npy", "--out", "out.las", "--point-to-point", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    original, back = laspy.read(str(source)), laspy.read(str(tmp_path / "out.las"))
    scales = " ".join(f"{v:.15g}" for v in original.header.scales)
    assert done.stderr.startswith(f"ornel: note: out.las: LAS scales {scales} ") and "kept" in done.stderr
    assert len(done.stderr.splitlines()) == 1
    np.testing.assert_array_equal(back.header.scales, original.header.scales)
    assert back.header.point_format.id == 6
    assert las_parts(tmp_path / "out.las")[1] == las_parts(source)[1]  # its WKT coordinate system among them


def test_moved_ply_keeps_faces_comments_and_properties_with_double_coordinates(tmp_path):
    rng = np.random.default_rng(3)
    vertex = np.empty(
        30,
        [
            ("x", "f4"),
            ("y", "f4"),
            ("z", "f4"),
            ("nx", "f4"),
            ("ny", "f4"),
            ("nz", "f4"),
            ("red", "u1"),
            ("quality", "f8"),
        ],
    )
    for name in vertex.dtype.names:
        vertex[name] = rng.random(30) * (255 if name == "red" else 10)
    faces = np.empty(2, [("vertex_indices", "O")])
    faces["vertex_indices"] = [np.array([0, 1, 2], "i4"), np.array([3, 4, 5, 6], "i4")]
    PlyData(
        [PlyElement.describe(vertex, "vertex", comments=["per vertex"]), PlyElement.describe(faces, "face")],
        text=True,
        comments=["scanned"],
        obj_info=["rig 2"],
    ).write(str(tmp_path / "in.ply"))
    transform = motion(30, [1, -1, 0.5], [1e6, 2e5, -30])
    ornel.write_records(
        tmp_path / "out.ply", ornel.read_records(tmp_path / "in.ply").moved(transform), {"distance": np.arange(30.0)}
    )
    back = PlyData.read(str(tmp_path / "out.ply"))
    assert (back.text, back.comments, back.obj_info) == (True, ["scanned"], ["rig 2"])
    assert back["vertex"].comments == ["per vertex"]
    assert [list(f) for f in back["face"].data["vertex_indices"]] == [[0, 1, 2], [3, 4, 5, 6]]
    data = back["vertex"].data
    xyz = np.c_[vertex["x"], vertex["y"], vertex["z"]].astype(np.float64)
    np.testing.assert_array_equal(np.c_[data["x"], data["y"], data["z"]], xyz @ transform[:3, :3].T + transform[:3, 3])
    assert data.dtype["x"] == np.float64 and data.dtype["nx"] == np.float32
    normals = np.c_[vertex["nx"], vertex["ny"], vertex["nz"]].astype(np.float64) @ transform[:3, :3].T
    np.testing.assert_array_equal(np.c_[data["nx"], data["ny"], data["nz"]], normals.astype(np.float32))
    for name in ("red", "quality"):
        np.testing.assert_array_equal(data[name], vertex[name])
    np.testing.assert_array_equal(data["distance"], np.arange(30.0))


def quaternion_matrix(w, x, y, z):
    return Rotation.from_quat([x, y, z, w]).as_matrix()


def test_moved_pcd_keeps_its_organisation_and_moves_its_viewpoint(tmp_path):
    rng = np.random.default_rng(4)
    sensor = Rotation.from_rotvec([0.2, -0.4, 0.9])
    x, y, z, w = sensor.as_quat()
    metadata = pypcd4.MetaData(
        fields=("x", "y", "z", "normal_x", "normal_y", "normal_z", "rgb"),
        size=(4, 4, 4, 4, 4, 4, 4),
        type=("F", "F", "F", "F", "F", "F", "U"),
        count=(1,) * 7,
        points=12,
        width=4,
        height=3,
        viewpoint=(1.0, 2.0, 3.0, w, x, y, z),
        data="binary",
    )
    data = np.zeros(12, metadata.build_dtype())
    for name in data.dtype.names:
        data[name] = rng.random(12) * (2**20 if name == "rgb" else 1)
    data["x"][5] = data["y"][5] = data["z"][5] = np.nan  # an empty pixel
    pypcd4.PointCloud(metadata, data).save(str(tmp_path / "in.pcd"), encoding=pypcd4.Encoding.BINARY)
    transform = motion(40, [0.3, 1, -0.2], [10.0, -20.0, 5.0])
    ornel.write_records(tmp_path / "out.pcd", ornel.read_records(tmp_path / "in.pcd").moved(transform), {})
    back = pypcd4.PointCloud.from_path(str(tmp_path / "out.pcd"))
    assert (back.metadata.width, back.metadata.height, back.metadata.data) == (4, 3, "binary")
    view = back.metadata.viewpoint
    np.testing.assert_allclose(view[:3], transform[:3, :3] @ [1, 2, 3] + transform[:3, 3], atol=1e-12)
    np.testing.assert_allclose(quaternion_matrix(*view[3:]), transform[:3, :3] @ sensor.as_matrix(), atol=1e-12)
    xyz = np.c_[data["x"], data["y"], data["z"]].astype(np.float64) @ transform[:3, :3].T + transform[:3, 3]
    np.testing.assert_array_equal(back.numpy(("x", "y", "z")), xyz)
    assert np.isnan(back.numpy(("x",))[5]).all()
    normals = np.c_[data["normal_x"], data["normal_y"], data["normal_z"]].astype(np.float64) @ transform[:3, :3].T
    np.testing.assert_array_equal(back.numpy(("normal_x", "normal_y", "normal_z")), normals.astype(np.float32))
    np.testing.assert_array_equal(back.pc_data["rgb"], data["rgb"])


def test_moved_text_keeps_every_line_and_writes_only_coordinates_and_normals_anew(tmp_path):
    lines = [
        b"# scanned 2024\r\n",
        b"x;y;z;nx;ny;nz;label;note\r\n",
        b"1.5;2;3;1;0;0;7;tree # first\r\n",
        b"\r\n",
        b'"4";"5";"6";0;1;0;08;road\r\n',
        b"7;8;9.250;0;0;1;9;car",
    ]
    (tmp_path / "in.txt").write_bytes(b"".join(lines))
    transform = motion(90, [0, 0, 1], [1e5, 0, 0])
    ornel.write_records(tmp_path / "out.txt", ornel.read_records(tmp_path / "in.txt").moved(transform), {})
    out = (tmp_path / "out.txt").read_bytes().split(b"\n")
    points = np.array([[1.5, 2, 3], [4, 5, 6], [7, 8, 9.25]]) @ transform[:3, :3].T + transform[:3, 3]
    normals = np.eye(3) @ transform[:3, :3].T
    assert out[:2] == [b"# scanned 2024\r", b"x;y;z;nx;ny;nz;label;note\r"] and out[3] == b"\r"
    for line, point, normal, rest in zip(
        (out[2], out[4], out[5]), points, normals, (b"7;tree # first\r", b"08;road\r", b"9;car")
    ):
        fields = line.split(b";")
        assert b";".join(fields[6:]) == rest  # the words and their spelling as they were
        numbers = [float(f.strip(b'"')) for f in fields[:6]]
        np.testing.assert_array_equal(numbers[:3], point)
        np.testing.assert_array_equal(numbers[3:], normal)
    assert out[4].startswith(b'"')  # quoted numbers stay quoted
    np.testing.assert_array_equal(ornel.read_points(tmp_path / "out.txt"), points)


def test_text_outputs_name_their_columns_and_read_back_with_those_names(tmp_path):
    rng = np.random.default_rng(5)
    vertex = np.empty(40, [("x", "f8"), ("y", "f8"), ("z", "f8"), ("intensity", "u2"), ("scalar Quality", "f4")])
    for name in vertex.dtype.names:
        vertex[name] = rng.random(40) * 1000 + 5e5
    np.save(tmp_path / "in.npy", vertex)
    records = ornel.read_records(tmp_path / "in.npy")
    distance = rng.random(40)
    for suffix in (".xyz", ".txt", ".pts"):
        path = tmp_path / f"out{suffix}"
        ornel.write_records(path, records, {"distance": distance})
        lines = path.read_bytes().split(b"\n")
        names = lines[1] if suffix == ".pts" else lines[0]
        assert names == b"//X Y Z intensity scalar_Quality distance"
        back = ornel.read_records(path)
        assert back.names() == ["intensity", "scalar_Quality", "distance"]
        np.testing.assert_array_equal(back.points, np.c_[vertex["x"], vertex["y"], vertex["z"]])
        fields = back.fields()
        np.testing.assert_array_equal(fields["intensity"], vertex["intensity"])
        np.testing.assert_array_equal(fields["scalar_Quality"], vertex["scalar Quality"])  # as float64, exactly
        np.testing.assert_array_equal(fields["distance"], distance)
    # A file written back in its own format keeps its own text: no names line is added.
    (tmp_path / "plain.xyz").write_bytes(b"1 2 3\n4 5 6\n")
    ornel.write_records(tmp_path / "again.xyz", ornel.read_records(tmp_path / "plain.xyz"), {"d": np.ones(2)})
    assert (tmp_path / "again.xyz").read_bytes() == b"1 2 3 1.0\n4 5 6 1.0\n"


@pytest.mark.parametrize("suffix", [".ply", ".xyz", ".txt", ".pts", ".csv", ".pcd", ".las", ".laz"])
def test_write_points_and_write_records_write_the_same_file(tmp_path, suffix):
    """One writer per format: the same columns give the same bytes through either API, and
    every value (float32 and float64, far from the origin, indices past 32 bits) reads back
    exactly (LAS: on its grid)."""
    rng = np.random.default_rng(6)
    points = rng.normal(size=(300, 3)) * [3, 2, 1] + [6e5, -2e5, 1e3]
    fields = {
        "distance": rng.random(300),
        "index": rng.integers(-1, 2**40, 300),
        "quality": rng.random(300).astype(np.float32),
    }
    np.save(tmp_path / "points.npy", points)
    ornel.write_points(tmp_path / f"a{suffix}", points, fields)
    ornel.write_records(tmp_path / f"b{suffix}", ornel.read_records(tmp_path / "points.npy"), fields)
    a, b = (tmp_path / f"a{suffix}").read_bytes(), (tmp_path / f"b{suffix}").read_bytes()
    if suffix in (".las", ".laz"):  # a new file's creation date is the day it is written
        a, b = a[:90] + a[94:], b[:90] + b[94:]
    assert a == b
    back = ornel.read_records(tmp_path / f"a{suffix}")
    if suffix in (".las", ".laz"):
        las = laspy.read(str(tmp_path / f"a{suffix}"))
        assert np.abs(back.points - points).max() <= las.header.scales[0] / 2 + 4 * np.spacing(6e5)
    else:
        np.testing.assert_array_equal(back.points, points)
    for name, values in fields.items():
        np.testing.assert_array_equal(back.fields()[name], values, err_msg=name)


def test_pictures_without_matplotlib_name_the_extra_to_install(tmp_path, monkeypatch):
    matrix = ornel.Matrix(["a", "b"], np.zeros((2, 2)), np.ones((2, 2)))
    rng = np.random.default_rng(7)
    comparison = ornel.compare(rng.random((50, 3)), rng.random((60, 3)))
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # as if it were not installed
    for draw in (
        lambda: matrix.plot(tmp_path / "m.png"),
        lambda: comparison.plot(tmp_path / "c.png"),
        lambda: comparison.histogram(tmp_path / "h.png"),
    ):
        with pytest.raises(
            ImportError, match=r'^drawing a PNG needs matplotlib: pip install matplotlib \(ornel\'s "plot" extra\)$'
        ):
            draw()
    assert list(tmp_path.iterdir()) == []


def test_a_moved_extent_too_wide_for_the_scales_gets_a_new_grid_and_says_so(tmp_path):
    header = laspy.LasHeader(point_format=1, version="1.2")
    header.scales, header.offsets = np.full(3, 0.001), np.zeros(3)
    las = laspy.LasData(header)
    corners = np.array([[-2e6, -2e6, 0], [2e6, 2e6, 10], [2e6, -2e6, 5], [-2e6, 2e6, 1]])  # 2e9 steps each way
    las.x, las.y, las.z = corners.T
    las.gps_time = np.arange(4.0)
    las.write(str(tmp_path / "wide.las"))
    records = ornel.read_records(tmp_path / "wide.las")
    transform = motion(45, [0, 0, 1], [0, 0, 0])  # the corners reach 2.8e6 along an axis
    moved = records.moved(transform)
    ornel.write_records(tmp_path / "out.las", moved, {})
    back = laspy.read(str(tmp_path / "out.las"))
    assert np.all(back.header.scales > 0.001)
    assert np.abs(back.xyz - moved.points).max() <= back.header.scales[0] / 2 + 4 * np.spacing(3e6)
    np.testing.assert_array_equal(back.gps_time, np.arange(4.0))
    note = ornel._records.las_grid_note(records, moved, tmp_path / "out.las")
    assert note.startswith("the LAS scales 0.001 0.001 0.001 cannot hold the moved coordinates' extent")
    assert ornel._records.las_grid_note(records, moved, tmp_path / "out.ply") is None
