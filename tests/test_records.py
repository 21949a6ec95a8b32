"""A file written back with new per-point fields keeps every record and field it had:
real LAS files with colours, GPS time, extra bytes and a coordinate system; PLY with
colours and faces; organised PCD with empty pixels; text with its own lines; .npy; and
across formats, every field the output can hold."""

import os
from pathlib import Path

import laspy
import numpy as np
import pypcd4
import pytest
from conftest import DATA
from laspy.vlrs.vlrlist import VLRList
from plyfile import PlyData, PlyElement

import ornel

WHOLE_LAS = [p for p in sorted((DATA / "las").glob("*.las")) if p.name != "1.2-with-color-clipped.las"]


def new_fields(n, rng):
    distance = rng.random(n)
    distance[::7] = np.nan  # points without a nearest point
    return {"distance": distance, "index": rng.integers(-1, 2**40, n)}


def vlr_records(vlrs):
    return [(v.user_id, v.record_id, v.description, v.record_data_bytes()) for v in vlrs or []]


@pytest.mark.parametrize("las", WHOLE_LAS, ids=lambda p: p.name)
def test_real_las_files_come_back_whole_with_new_extra_bytes(tmp_path, las):
    rng = np.random.default_rng(len(las.name))
    records = ornel.read_records(las)
    original = laspy.read(str(las))
    np.testing.assert_array_equal(records.points, ornel.read_points(las))
    fields = new_fields(len(records), rng)
    for suffix in (".las", ".laz"):
        ornel.write_records(tmp_path / f"out{suffix}", records, fields)
        back = laspy.read(str(tmp_path / f"out{suffix}"))
        assert (back.header.version, back.header.point_format.id) == (
            original.header.version,
            original.header.point_format.id,
        )
        for attribute in ("scales", "offsets", "mins", "maxs"):
            np.testing.assert_array_equal(getattr(back.header, attribute), getattr(original.header, attribute))
        for name in original.point_format.dimension_names:  # raw X, Y, Z among them: bit for bit
            np.testing.assert_array_equal(np.asarray(back[name]), np.asarray(original[name]), err_msg=name)
        for name, values in fields.items():
            np.testing.assert_array_equal(np.asarray(back[name]), values)
        before, after = vlr_records(original.header.vlrs), vlr_records(back.header.vlrs)
        assert len(after) == len(before) + (not any(v[1] == 4 for v in before))
        for old, new in zip(before, after):
            # The extra-bytes descriptions gain the new dimensions' after the old ones.
            assert old[:3] == new[:3] and (new[3] == old[3] or old[1] == 4 and new[3].startswith(old[3]))
        assert vlr_records(original.evlrs) == vlr_records(back.evlrs)
    # Across formats: coordinates in float64, exactly; every dimension under its name.
    ornel.write_records(tmp_path / "out.ply", records, {"distance": fields["distance"]})
    vertex = PlyData.read(str(tmp_path / "out.ply"))["vertex"].data
    np.testing.assert_array_equal(
        np.c_[vertex["x"], vertex["y"], vertex["z"]], np.c_[original.x, original.y, original.z]
    )
    for name in ("intensity", "classification", "return_number", "gps_time", "red"):
        if name in original.point_format.dimension_names:
            np.testing.assert_array_equal(vertex[name], np.asarray(original[name]))
    np.testing.assert_array_equal(vertex["distance"], fields["distance"])


def test_extended_vlrs_are_kept(tmp_path):
    las = laspy.read(str(DATA / "las" / "test1_4.las"))
    las.evlrs = VLRList([laspy.VLR("ornel_test", 7, "a long record", bytes(range(256)) * 300)])
    las.write(str(tmp_path / "in.las"))
    for name in ("out.las", "out.laz"):
        ornel.write_records(tmp_path / name, ornel.read_records(tmp_path / "in.las"), {"distance": np.zeros(len(las))})
        assert vlr_records(laspy.read(str(tmp_path / name)).evlrs) == vlr_records(las.evlrs)


def test_the_truncated_las_file_is_refused_and_new_fields_may_not_replace_old_ones(tmp_path):
    with pytest.raises(ornel.CloudError, match="announces 1,065 points"):
        ornel.read_records(DATA / "las" / "1.2-with-color-clipped.las")
    las = ornel.read_records(DATA / "las" / "extrabytes.las")
    np.savetxt(tmp_path / "a.csv", np.ones((4, 4)), delimiter=",", header="x,y,z,label", comments="")
    text = ornel.read_records(tmp_path / "a.csv")
    for records, name, out in (
        (las, "Colors", "o.las"),
        (las, "CLASSIFICATION", "o.laz"),
        (las, "X", "o.las"),
        (las, "gps_time", "o.ply"),
        (text, "Label", "o.csv"),
        (text, "label", "o.pcd"),
    ):
        with pytest.raises(ornel.CloudError, match=f"a new field {name!r} clashes with the field"):
            ornel.write_records(tmp_path / out, records, {name: np.zeros(len(records))})
    for name in ("a b", "x" * 33):
        with pytest.raises(ornel.CloudError, match="expected a name without spaces"):
            ornel.write_records(tmp_path / "o.las", las, {name: np.zeros(len(las))})
    with pytest.raises(ornel.CloudError, match="is the input file"):
        ornel.write_records(tmp_path / "a.csv", text, {"distance": np.zeros(4)})
    assert sorted(os.listdir(tmp_path)) == ["a.csv"]


@pytest.mark.parametrize("text", [False, True], ids=["binary", "ascii"])
def test_ply_keeps_colours_normals_faces_comments_and_encoding(tmp_path, text):
    rng = np.random.default_rng(5)
    vertex = np.empty(
        40,
        [
            ("x", "f4"),
            ("y", "f4"),
            ("z", "f4"),
            ("red", "u1"),
            ("green", "u1"),
            ("blue", "u1"),
            ("nx", "f4"),
            ("quality", "f8"),
        ],
    )
    for name in vertex.dtype.names:
        vertex[name] = rng.random(40) * (255 if vertex.dtype[name] == np.uint8 else 1e3)
    faces = np.empty(2, [("vertex_indices", "O")])
    faces["vertex_indices"] = [np.array([0, 1, 2], "i4"), np.array([3, 4, 5, 6], "i4")]
    PlyData(
        [PlyElement.describe(vertex, "vertex"), PlyElement.describe(faces, "face")],
        text=text,
        comments=["scanned"],
        obj_info=["rig 2"],
    ).write(str(tmp_path / "in.ply"))
    fields = new_fields(40, rng)
    ornel.write_records(tmp_path / "out.ply", ornel.read_records(tmp_path / "in.ply"), fields)
    back = PlyData.read(str(tmp_path / "out.ply"))
    assert (back.text, back.comments, back.obj_info) == (text, ["scanned"], ["rig 2"])
    assert [e.name for e in back.elements] == ["vertex", "face"]
    for name in vertex.dtype.names:
        assert back["vertex"].data.dtype[name] == vertex.dtype[name]
        np.testing.assert_array_equal(back["vertex"].data[name], vertex[name])
    for name, values in fields.items():  # indices past 32 bits: doubles, exact
        np.testing.assert_array_equal(back["vertex"].data[name], values)
    assert [list(f) for f in back["face"].data["vertex_indices"]] == [[0, 1, 2], [3, 4, 5, 6]]
    # Into LAS: colours in a point format that has them, the rest in extra bytes.
    ornel.write_records(tmp_path / "out.laz", ornel.read_records(tmp_path / "in.ply"), fields)
    las = laspy.read(str(tmp_path / "out.laz"))
    assert las.header.point_format.id == 2 and list(las.point_format.extra_dimension_names) == [
        "nx",
        "quality",
        *fields,
    ]
    for name in ("red", "green", "blue", "nx", "quality"):
        np.testing.assert_array_equal(np.asarray(las[name]), vertex[name])
    np.testing.assert_allclose(
        las.xyz, np.c_[vertex["x"], vertex["y"], vertex["z"]], rtol=0, atol=las.header.scales[0] / 2
    )


@pytest.mark.parametrize("encoding", ["ascii", "binary", "binary_compressed"])
def test_organised_pcd_keeps_its_pixels_fields_and_viewpoint(tmp_path, encoding):
    rng = np.random.default_rng(6)
    metadata = pypcd4.MetaData(
        fields=("x", "y", "z", "rgb", "normal"),
        size=(4, 4, 4, 4, 8),
        type=("F", "F", "F", "U", "F"),
        count=(1, 1, 1, 1, 3),
        points=12,
        width=4,
        height=3,
        viewpoint=(1, 2, 3, 0, 1, 0, 0),
        data=encoding,
    )
    data = np.zeros(12, metadata.build_dtype())
    for name in data.dtype.names:
        data[name] = rng.integers(0, 3, 12) * (2**20 if name == "rgb" else 0.375)  # compressible
    data["x"][[2, 7]] = data["y"][[2, 7]] = data["z"][[2, 7]] = np.nan  # empty pixels
    pypcd4.PointCloud(metadata, data).save(str(tmp_path / "in.pcd"), encoding=pypcd4.Encoding(encoding))
    data = pypcd4.PointCloud.from_path(str(tmp_path / "in.pcd")).pc_data
    records = ornel.read_records(tmp_path / "in.pcd")
    assert len(records) == 12 and np.isnan(records.points[[2, 7]]).all()
    fields = new_fields(12, rng)
    ornel.write_records(tmp_path / "out.pcd", records, fields)
    back = pypcd4.PointCloud.from_path(str(tmp_path / "out.pcd"))
    assert (back.metadata.width, back.metadata.height, back.metadata.viewpoint, back.metadata.data) == (
        4,
        3,
        (1, 2, 3, 0, 1, 0, 0),
        encoding,
    )
    for name in data.dtype.names:
        np.testing.assert_array_equal(back.pc_data[name], data[name])
    for name, values in fields.items():
        np.testing.assert_array_equal(back.pc_data[name], values)


def test_text_lines_are_kept_as_written_with_new_columns_appended(tmp_path):
    lines = [
        b"\xef\xbb\xbfx,y,z,intensity,label\r\n",
        b"1.50,2,3,10,tree # first\r\n",
        b"\r\n",
        b"4,5,6,11,road\r\n",
        b"# a comment\r\n",
        b"7,8,9.250,12,car",
    ]
    (tmp_path / "in.csv").write_bytes(b"".join(lines))
    (tmp_path / "in.xyz").write_bytes(b"//X Y Z R\n1 2 3 255\n4\t5 6 0\n")
    fields = {"distance": np.array([0.1, np.nan, 1 / 3]), "index": np.array([5, -1, 2**40])}
    ornel.write_records(tmp_path / "out.csv", ornel.read_records(tmp_path / "in.csv"), fields)
    assert (tmp_path / "out.csv").read_bytes().split(b"\n") == [
        b"\xef\xbb\xbfx,y,z,intensity,label,distance,index\r",
        b"1.50,2,3,10,tree,0.1,5 # first\r",
        b"\r",
        b"4,5,6,11,road,nan,-1\r",
        b"# a comment\r",
        b"7,8,9.250,12,car,0.3333333333333333,1099511627776",
    ]
    ornel.write_records(tmp_path / "out.xyz", ornel.read_records(tmp_path / "in.xyz"), {"d": np.array([1.5, 2.0])})
    assert (tmp_path / "out.xyz").read_bytes() == b"//X Y Z R d\n1 2 3 255 1.5\n4\t5 6 0 2.0\n"
    # Across formats, the numeric columns go along under their names; words cannot.
    ornel.write_records(tmp_path / "out.npy", ornel.read_records(tmp_path / "in.csv"), fields)
    array = np.load(tmp_path / "out.npy")
    assert array.dtype.names == ("x", "y", "z", "intensity", "distance", "index")
    np.testing.assert_array_equal(array["intensity"], [10, 11, 12])
    np.testing.assert_array_equal(array["z"], [3, 6, 9.25])


def test_npy_keeps_its_columns_and_fields(tmp_path):
    plain = np.random.default_rng(7).random((6, 5)).astype(np.float32)
    structured = np.zeros(6, [("x", "f8"), ("y", "f8"), ("z", "f8"), ("rgb", "u1", (3,)), ("t", "f4")])
    structured["rgb"] = np.arange(18).reshape(6, 3)
    np.save(tmp_path / "plain.npy", plain)
    np.save(tmp_path / "structured.npy", structured)
    distance = np.linspace(0, 1, 6)
    ornel.write_records(tmp_path / "p.npy", ornel.read_records(tmp_path / "plain.npy"), {"distance": distance})
    np.testing.assert_array_equal(np.load(tmp_path / "p.npy"), np.c_[plain, distance])
    ornel.write_records(tmp_path / "s.npy", ornel.read_records(tmp_path / "structured.npy"), {"distance": distance})
    back = np.load(tmp_path / "s.npy")
    assert back.dtype.names == (*structured.dtype.names, "distance")
    for name in structured.dtype.names:
        np.testing.assert_array_equal(back[name], structured[name])
    ornel.write_records(tmp_path / "s.pcd", ornel.read_records(tmp_path / "structured.npy"), {"distance": distance})
    pcd = pypcd4.PointCloud.from_path(str(tmp_path / "s.pcd"))
    assert pcd.fields == ("x", "y", "z", "rgb_0", "rgb_1", "rgb_2", "t", "distance")
    np.testing.assert_array_equal(pcd.pc_data["rgb_2"], structured["rgb"][:, 2])


def test_an_interrupted_write_leaves_the_old_file_and_nothing_else(tmp_path, monkeypatch):
    np.savetxt(tmp_path / "in.xyz", np.random.default_rng(8).random((50, 3)))
    records = ornel.read_records(tmp_path / "in.xyz")
    for name in ("out.ply", "out.las"):
        (tmp_path / name).write_text("old\n")
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}

    def interrupted_before_the_rename(written, target):  # the whole file is written, then Ctrl-C comes
        assert os.path.getsize(written) > 1000
        raise KeyboardInterrupt

    monkeypatch.setattr(os, "replace", interrupted_before_the_rename)
    for name in ("out.ply", "out.las"):
        with pytest.raises(KeyboardInterrupt):
            ornel.write_records(tmp_path / name, records, {"distance": np.zeros(50)})
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


def test_moved_records_keep_every_field_and_turn_their_normals(tmp_path):
    """Aligned output: a real LAS file's dimensions (which the old field reader dropped) and
    a CSV's normals, moved far from the origin, written into another format and their own."""
    rng = np.random.default_rng(12)
    angle = 0.3
    transform = np.eye(4)
    transform[:2, :2] = [[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]]
    transform[:3, 3] = [5e6, -5e5, 120.25]
    las = laspy.read(str(DATA / "las" / "4_6_crop.las"))
    records = ornel.read_records(DATA / "las" / "4_6_crop.las")
    moved = records.moved(transform)
    expected = np.asarray(records.points, np.float64) @ transform[:3, :3].T + transform[:3, 3]
    np.testing.assert_array_equal(moved.points, expected)
    for name in ("out.ply", "out.las"):
        ornel.write_records(tmp_path / name, moved, {"distance": np.arange(len(records), dtype=np.float64)})
    vertex = PlyData.read(str(tmp_path / "out.ply"))["vertex"].data
    np.testing.assert_array_equal(np.c_[vertex["x"], vertex["y"], vertex["z"]], expected)
    back = laspy.read(str(tmp_path / "out.las"))
    np.testing.assert_allclose(back.xyz, expected, rtol=0, atol=back.header.scales[0])
    for name in ("intensity", "classification", "gps_time"):
        np.testing.assert_array_equal(vertex[name], np.asarray(las[name]))
        np.testing.assert_array_equal(np.asarray(back[name]), np.asarray(las[name]))
    normals = rng.normal(size=(30, 3))
    columns = np.c_[rng.integers(0, 1000, (30, 3)) * 0.001, normals, rng.integers(0, 9, 30)]
    np.savetxt(tmp_path / "in.csv", columns, delimiter=",", header="x,y,z,nx,ny,nz,label", comments="")
    moved = ornel.read_records(tmp_path / "in.csv").moved(transform)
    ornel.write_records(tmp_path / "moved.csv", moved, {})
    back = np.genfromtxt(tmp_path / "moved.csv", delimiter=",", names=True)
    np.testing.assert_array_equal(np.c_[back["x"], back["y"], back["z"]], moved.points)
    np.testing.assert_allclose(np.c_[back["nx"], back["ny"], back["nz"]], normals @ transform[:3, :3].T, atol=1e-15)
    np.testing.assert_array_equal(back["label"], columns[:, 6])
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "moved.csv", "out.las", "out.ply"]


def test_las_coordinates_are_laspys_scaled_numbers_bit_for_bit(tmp_path):
    """Read into one array, x, y, z are what laspy's scaling gives, for real files and for
    one far from the origin on a coarse grid with negative integers."""
    header = laspy.LasHeader(point_format=1, version="1.2")
    header.offsets, header.scales = [6.5e5, -4.25e6, 1.1e2], [1e-3, 0.01, 2.5e-4]
    far = laspy.LasData(header)
    rng = np.random.default_rng(12)
    for name in ("X", "Y", "Z"):
        far[name] = rng.integers(-(2**31), 2**31 - 1, 5000, dtype=np.int64).astype(np.int32)
    far.write(str(tmp_path / "far.las"))
    for path in [*WHOLE_LAS, tmp_path / "far.las"]:
        las = laspy.read(str(path))
        expected = np.column_stack([np.asarray(las.x), np.asarray(las.y), np.asarray(las.z)])
        for points in (ornel.read_points(path), ornel.read_records(path).points):
            assert points.dtype == np.float64 and points.shape == expected.shape
            np.testing.assert_array_equal(points.view(np.uint64), expected.view(np.uint64))


@pytest.mark.parametrize("source", [*WHOLE_LAS, "ply"], ids=lambda p: getattr(p, "name", p))
def test_a_file_written_a_block_at_a_time_is_the_file_written_at_once(tmp_path, source, monkeypatch):
    """Blocks of a few records, the last one cut short, give the same bytes as one block."""
    import ornel._formats
    import ornel._records

    if source == "ply":
        rng = np.random.default_rng(13)
        vertex = np.empty(3001, [("x", "f8"), ("y", "f8"), ("z", "f8"), ("red", "u1"), ("quality", "f4")])
        for name in vertex.dtype.names:
            vertex[name] = rng.random(len(vertex)) * 200
        source = tmp_path / "in.ply"
        PlyData([PlyElement.describe(vertex, "vertex")], byte_order=">", comments=["c"]).write(str(source))
    records = ornel.read_records(source)
    fields = new_fields(len(records), np.random.default_rng(14))
    suffix = Path(source).suffix
    ornel.write_records(tmp_path / f"whole{suffix}", records, fields)
    for module in (ornel._formats, ornel._records):
        monkeypatch.setattr(module, "BLOCK_BYTES", 1000)
    ornel.write_records(tmp_path / f"blocks{suffix}", records, fields)
    assert (tmp_path / f"blocks{suffix}").read_bytes() == (tmp_path / f"whole{suffix}").read_bytes()
    if suffix == ".las":  # a new dimension's description claims no minimum or maximum it does not have
        (described,) = laspy.read(str(tmp_path / "blocks.las")).header.vlrs.get("ExtraBytesVlr")
        for description in described.extra_bytes_structs:
            if description.format_name() in fields:
                values = fields[description.format_name()]
                assert not description.min_is_relevant() or description._raw_min()[0] == np.nanmin(values)
                assert not description.max_is_relevant() or description._raw_max()[0] == np.nanmax(values)
