"""The `ornel` command end to end, in a subprocess, on small files of every format.

Files are written here with the format libraries themselves (or by hand, following the
format), not with ornel's writers, so that reading is checked independently."""

import csv
import importlib.metadata
import os
import subprocess
import sys
from pathlib import Path

import laspy
import numpy as np
import pypcd4
import pytest
from conftest import brute_nearest
from plyfile import PlyData, PlyElement

import ornel as ornel_package

SCRIPT = Path(sys.executable).parent / "ornel"


def ornel(*args, cwd=None):
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True, timeout=300, cwd=cwd)


def write_ply(path, points, text):
    vertex = np.array([tuple(p) for p in points], [("x", "f8"), ("y", "f8"), ("z", "f8")])
    PlyData([PlyElement.describe(vertex, "vertex")], text=text).write(str(path))


def write_las(path, points):
    header = laspy.LasHeader(point_format=3, version="1.2")
    header.offsets, header.scales = [100.0, 200.0, 0.0], [0.001, 0.001, 0.001]
    las = laspy.LasData(header)
    las.x, las.y, las.z = points[:, 0], points[:, 1], points[:, 2]
    las.write(str(path))


def write_pcd(path, points, binary):
    header = (
        "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z intensity\nSIZE 4 4 4 4\n"
        f"TYPE F F F F\nCOUNT 1 1 1 1\nWIDTH {len(points)}\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\n"
        f"POINTS {len(points)}\nDATA {'binary' if binary else 'ascii'}\n"
    )
    rows = np.c_[points, np.arange(len(points))].astype("<f4")
    with open(path, "wb") as file:
        file.write(header.encode())
        if binary:
            file.write(rows.tobytes())
        else:
            file.write("".join(" ".join(repr(float(v)) for v in row) + "\n" for row in rows).encode())


def make_files(directory, rng):
    """One file per format and variant, each a different small cloud; returns {name: (path, points)}."""

    def cloud(k):
        points = rng.random((150, 3)) + [0.2 * k, 0, 0]
        points[:20] = points[20:40]  # duplicates, as in real scans
        return points

    files = {}

    def add(name, points, write):
        path = directory / name
        write(path, points)
        files[path.stem] = (path, points)

    add("npy.npy", cloud(0), np.save)
    add("ply-text.ply", cloud(1), lambda p, x: write_ply(p, x, text=True))
    add("ply-binary.ply", cloud(2), lambda p, x: write_ply(p, x, text=False))
    add("spaces.xyz", cloud(3), lambda p, x: np.savetxt(p, np.c_[x, np.ones(len(x))], fmt="%.17g"))
    add("tabs.txt", cloud(4), lambda p, x: np.savetxt(p, x, fmt="%.17g", delimiter="\t", header="x y z"))
    add("comma.csv", cloud(5), lambda p, x: np.savetxt(p, x, fmt="%.17g", delimiter=",", header="X,Y,Z", comments=""))
    add(
        "count.pts",
        cloud(6),
        lambda p, x: np.savetxt(p, np.c_[x, np.full((len(x), 4), 7)], fmt="%.17g", header=str(len(x)), comments=""),
    )
    # LAS stores millimetre integers: the points as the file holds them are the reference.
    add("scan.las", np.round(cloud(7) * 1000) / 1000, write_las)
    add("scan-z.laz", np.round(cloud(8) * 1000) / 1000, write_las)
    # PCD's float32 fields: the reference is what the file holds.
    add("ascii.pcd", cloud(9).astype(np.float32).astype(np.float64), lambda p, x: write_pcd(p, x, binary=False))
    add("binary.pcd", cloud(10).astype(np.float32).astype(np.float64), lambda p, x: write_pcd(p, x, binary=True))
    add(
        "mesh.obj",
        cloud(11),
        lambda p, x: Path(p).write_text(
            "# vertices and a face\n"
            + "".join(f"v {a!r} {b!r} {c!r}\nvn 0 0 1\n" for a, b, c in x.tolist())
            + "f 1 2 3\n"
        ),
    )
    # A wall and three points: clouds without a tetrahedralisation are compared too.
    add("wall.npy", np.c_[cloud(12)[:, :2], np.full(150, 0.25)], np.save)
    add("three.npy", np.eye(3), np.save)
    for name in ("scan", "scan-z"):  # LAS keeps the millimetre grid of our rounding
        path, points = files[name]
        files[name] = (path, np.c_[laspy.read(str(path)).x, laspy.read(str(path)).y, laspy.read(str(path)).z])
    return files


def test_matrix_of_every_format_matches_brute_force(tmp_path):
    files = make_files(tmp_path, np.random.default_rng(11))
    names = list(files)
    # Relative paths, resolved against the caller's directory.
    result = ornel(
        "matrix", *(files[n][0].name for n in names), "--csv", "out.csv", "--f64", "--threads", "2", cwd=tmp_path
    )
    assert result.returncode == 0, result.stderr
    with open(tmp_path / "out.csv", newline="") as file:
        rows = list(csv.reader(file))
    assert rows[0] == ["a", "b", "mean_ab", "mean_ba", "chamfer", "max_ab", "max_ba", "hausdorff"]
    pairs = [(a, b) for i, a in enumerate(names) for b in names[i + 1 :]]
    assert [tuple(row[:2]) for row in rows[1:]] == pairs
    table = [line.split() for line in result.stdout.splitlines()[1:]]
    assert [tuple(line[:2]) for line in table] == pairs
    for (a, b, *numbers), printed in zip(rows[1:], table):
        d_ab, d_ba = brute_nearest(files[a][1], files[b][1])[0], brute_nearest(files[b][1], files[a][1])[0]
        expected = [
            d_ab.mean(),
            d_ba.mean(),
            d_ab.mean() + d_ba.mean(),
            d_ab.max(),
            d_ba.max(),
            max(d_ab.max(), d_ba.max()),
        ]
        np.testing.assert_allclose([float(x) for x in numbers], expected, rtol=1e-9, err_msg=f"{a} {b}")
        np.testing.assert_allclose([float(x) for x in printed[2:]], expected, rtol=1e-6)


def read_back(path):
    """(points, distance) of a file written by `ornel compare --out`, read with the format's own library."""
    suffix = path.suffix
    if suffix == ".npy":
        array = np.load(path)
        return array[:, :3], array[:, 3]
    if suffix == ".ply":
        vertex = PlyData.read(str(path))["vertex"].data
        return np.c_[vertex["x"], vertex["y"], vertex["z"]], vertex["distance"]
    if suffix in (".las", ".laz"):
        las = laspy.read(str(path))
        return np.c_[las.x, las.y, las.z], np.asarray(las["distance"])
    if suffix == ".pcd":
        cloud = pypcd4.PointCloud.from_path(str(path))
        return cloud.numpy(("x", "y", "z")), cloud.numpy(("distance",))[:, 0]
    # The other text formats name their columns in a comment line, //X Y Z distance.
    array = np.loadtxt(
        path,
        delimiter="," if suffix == ".csv" else None,
        skiprows=int(suffix in (".csv", ".pts")),
        comments=("#", "//"),
    )
    return array[:, :3], array[:, 3]


@pytest.mark.parametrize("out", ["d.npy", "d.ply", "d.xyz", "d.csv", "d.pts", "d.txt", "d.las", "d.laz", "d.pcd"])
def test_compare_writes_the_points_back_unchanged_with_their_distances(tmp_path, out):
    rng = np.random.default_rng(12)
    files = make_files(tmp_path, rng)
    a_path, a = files["scan"] if out.endswith((".las", ".laz")) else files["ply-binary"]
    b_path, b = files["comma"]
    result = ornel("compare", a_path, b_path, "--out", tmp_path / out, "--f64")
    assert result.returncode == 0, result.stderr
    expected = brute_nearest(a, b)[0]
    summary = dict(line.split() for line in result.stdout.splitlines()[1:])
    assert float(summary["mean"]) == pytest.approx(expected.mean(), rel=1e-6)
    assert float(summary["max"]) == pytest.approx(expected.max(), rel=1e-6)
    assert float(summary["p50"]) == pytest.approx(np.percentile(expected, 50), rel=1e-6)
    points, distance = read_back(tmp_path / out)
    np.testing.assert_array_equal(points, a)  # unchanged, in A's order
    np.testing.assert_allclose(distance, expected, rtol=1e-12)


def test_compare_in_single_precision_far_from_the_origin(tmp_path):
    rng = np.random.default_rng(13)
    base = [651_234.0, 5_123_456.0, 310.0]  # georeferenced coordinates
    a, b = base + rng.random((300, 3)) * 4, base + rng.random((300, 3)) * 4
    np.save(tmp_path / "a.npy", a)
    np.save(tmp_path / "b.npy", b)
    result = ornel("compare", tmp_path / "a.npy", tmp_path / "b.npy", "--out", tmp_path / "d.npy", "--f32")
    assert result.returncode == 0, result.stderr
    np.testing.assert_allclose(np.load(tmp_path / "d.npy")[:, 3], brute_nearest(a, b)[0], atol=1e-5)


def unusable(tmp_path):
    """(arguments, path named in the error, words of the message) for each unusable input."""
    rng = np.random.default_rng(14)
    good = tmp_path / "good.npy"
    np.save(good, rng.random((50, 3)))
    (tmp_path / "two.csv").write_text("1,2\n3,4\n5,6\n")
    write_ply(tmp_path / "noz.ply", np.zeros((5, 3)), text=True)
    (tmp_path / "noz.ply").write_text(
        (tmp_path / "noz.ply").read_text().replace("property double z\n", "").replace("0 0 0", "0 0")
    )
    (tmp_path / "nan.xyz").write_text("0 0 0\n1 0 0\n0 1 0\nnan 0 1\n1 1 1\n")
    with open(tmp_path / "huge.npy", "wb") as file:  # a header that promises a terabyte
        np.lib.format.write_array_header_1_0(file, {"descr": "<f8", "fortran_order": False, "shape": (10**12, 3)})
        file.write(b"\0" * 96)
    (tmp_path / "trunc.ply").write_bytes(
        b"ply\nformat binary_little_endian 1.0\nelement vertex 100\n"
        b"property float x\nproperty float y\nproperty float z\nend_header\n" + b"\0" * 40
    )
    (tmp_path / "empty.txt").write_text("")
    (tmp_path / "words.obj").write_text("v a b c\n")
    (tmp_path / "dir.ply").mkdir()
    (tmp_path / "scan.e57").write_bytes(b"\0")
    write_las(tmp_path / "cut.las", rng.random((100, 3)))
    (tmp_path / "cut.las").write_bytes((tmp_path / "cut.las").read_bytes()[: -34 * 40])  # 40 records of 34 bytes
    return [
        (["matrix", good, tmp_path / "missing.ply"], tmp_path / "missing.ply", "no such file"),
        (["matrix", good, tmp_path / "dir.ply"], tmp_path / "dir.ply", "is a directory"),
        (["matrix", good, tmp_path / "scan.e57"], tmp_path / "scan.e57", "unknown format"),
        (["matrix", good, tmp_path / "two.csv"], tmp_path / "two.csv", "fewer than three columns"),
        (["matrix", good, tmp_path / "noz.ply"], tmp_path / "noz.ply", "fewer than three columns"),
        (["matrix", good, tmp_path / "nan.xyz"], tmp_path / "nan.xyz", "non-finite"),
        (["matrix", good, tmp_path / "huge.npy"], tmp_path / "huge.npy", "truncated or corrupt"),
        (["matrix", good, tmp_path / "trunc.ply"], tmp_path / "trunc.ply", "not a readable PLY file"),
        (["matrix", good, tmp_path / "empty.txt"], tmp_path / "empty.txt", "no points"),
        (["matrix", good, tmp_path / "words.obj"], tmp_path / "words.obj", "not numbers"),
        (["matrix", good, tmp_path / "cut.las"], tmp_path / "cut.las", "announces 100 points, but the file holds 60"),
        (["matrix", good], good, "at least two"),
        (["matrix", good, good, "--csv", tmp_path / "nodir" / "m.csv"], tmp_path / "nodir" / "m.csv", "does not exist"),
        (["compare", good, good, "--out", tmp_path / "d.obj"], tmp_path / "d.obj", "cannot hold a per-point field"),
        (["compare", tmp_path / "missing.las", good], tmp_path / "missing.las", "no such file"),
    ]


def test_every_unusable_input_gets_one_line_and_status_2(tmp_path):
    failures = []
    for args, path, words in unusable(tmp_path):
        result = ornel(*args)
        lines = result.stderr.strip().splitlines()
        ok = (
            result.returncode == 2
            and result.stdout == ""
            and len(lines) == 1
            and lines[0].startswith(f"ornel: error: {path}: ")
            and words in lines[0]
        )
        if not ok:
            failures.append(f"{args[0]} {Path(str(path)).name}: status {result.returncode}, stderr {result.stderr!r}")
    assert not failures, "\n".join(failures)


def test_a_closed_standard_output_ends_the_printing_quietly(tmp_path):
    rng = np.random.default_rng(15)
    files = [tmp_path / f"c{k}.npy" for k in range(12)]
    for path in files:
        np.save(path, rng.random((40, 3)))
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]
    for args in (["matrix", *files, "--csv", tmp_path / "m.csv"], ["compare", files[0], files[1]]):
        process = subprocess.Popen([*command, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        process.stdout.close()  # `| head -0`: the reader is gone before anything is printed
        assert (process.wait(300), process.stderr.read()) == (0, b"")
    assert len((tmp_path / "m.csv").read_text().splitlines()) == 1 + 12 * 11 // 2  # the rest is still done


@pytest.mark.skipif(not Path("/dev/full").exists(), reason="no /dev/full here")
def test_a_summary_that_cannot_be_written_is_an_error_not_a_success(tmp_path):
    rng = np.random.default_rng(16)
    for name in ("a", "b"):
        np.save(tmp_path / f"{name}.npy", rng.random((50, 3)))
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]
    for args in (["compare", "a.npy", "b.npy"], ["matrix", "a.npy", "b.npy"]):
        with open("/dev/full", "w") as full:  # `> summary.txt` on a full disk
            done = subprocess.run(
                [*command, *args], stdout=full, stderr=subprocess.PIPE, text=True, timeout=300, cwd=tmp_path
            )
        assert done.returncode == 2, done.stderr
        assert done.stderr.count("\n") == 1 and done.stderr.startswith(
            "ornel: error: standard output: cannot be written (No space left"
        )


def test_file_names_that_are_not_utf8_are_written_escaped(tmp_path):
    directory = os.fsencode(tmp_path)
    rng = np.random.default_rng(16)
    for name in (b"scan-\xff\xfe.npy", b"plain.npy"):
        np.save(os.fsdecode(directory + b"/" + name), rng.random((50, 3)))
    result = ornel(
        "matrix", os.fsdecode(b"scan-\xff\xfe.npy"), "plain.npy", "--csv", "m.csv", "--png", "m.png", cwd=tmp_path
    )
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert result.stdout.splitlines()[1].split()[:2] == ["scan-\\xff\\xfe", "plain"]
    assert (tmp_path / "m.csv").read_text(encoding="utf-8").splitlines()[1].startswith("scan-\\xff\\xfe,plain,")
    assert (tmp_path / "m.png").read_bytes().startswith(b"\x89PNG")
    result = ornel("compare", os.fsdecode(b"scan-\xff\xfe.npy"), "missing.npy", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (2, "ornel: error: missing.npy: no such file\n")


def test_version_comes_from_the_package_metadata():
    result = ornel("--version")
    assert result.returncode == 0 and result.stdout == f"ornel {importlib.metadata.version('ornel')}\n"
    assert ornel_package.__version__ == importlib.metadata.version("ornel")


# -- the command's edges: a file compared again, invalid points --------------------------


def write_frame(path, points, width):
    """An organised PCD frame (binary float32, WIDTH x HEIGHT), NaN where a pixel saw nothing."""
    header = (
        "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\n"
        f"COUNT 1 1 1\nWIDTH {width}\nHEIGHT {len(points) // width}\nVIEWPOINT 0 0 0 1 0 0 0\n"
        f"POINTS {len(points)}\nDATA binary\n"
    )
    with open(path, "wb") as file:
        file.write(header.encode() + np.asarray(points, "<f4").tobytes())


def write_source(path, points):
    suffix = path.suffix
    if suffix == ".csv":
        np.savetxt(path, points, fmt="%.17g", delimiter=",", header="X,Y,Z", comments="")
    elif suffix == ".ply":
        write_ply(path, points, text=False)
    elif suffix == ".pcd":
        write_pcd(path, points, binary=True)
    else:
        write_las(path, points)


@pytest.mark.parametrize("suffix", [".csv", ".ply", ".pcd", ".las"])
def test_a_file_compared_before_takes_a_second_set_of_fields_or_replaces_its_own(tmp_path, suffix):
    from scipy.spatial import cKDTree

    rng = np.random.default_rng(31)
    write_source(tmp_path / f"a{suffix}", rng.random((300, 3)) + [100, 200, 0])
    b1, b2 = rng.random((400, 3)) + [100, 200, 0], rng.random((350, 3)) + [100, 200, 0.01]
    np.save(tmp_path / "b1.npy", b1)
    np.save(tmp_path / "b2.npy", b2)
    first, second, third = (tmp_path / f"{name}{suffix}" for name in ("first", "second", "third"))
    assert (
        ornel("compare", tmp_path / f"a{suffix}", tmp_path / "b1.npy", "--out", first, "--split", "--f64").returncode
        == 0
    )
    before = ornel_package.read_records(first)
    points = np.asarray(before.points, np.float64)
    want = cKDTree(b2).query(points)
    # Refused before any work: nothing printed, nothing written.
    for extra in ([], ["--field", "DISTANCE"], ["--field", "two words"]):
        done = ornel("compare", first, tmp_path / "b2.npy", "--out", second, "--split", *extra)
        assert done.returncode == 2 and done.stderr.count("\n") == 1 and done.stdout == "", done.stderr
        assert not second.exists()
    assert "clashes with the field 'distance'" in done.stderr or "without spaces" in done.stderr
    assert "--field NAME" in ornel("compare", first, tmp_path / "b2.npy", "--out", second).stderr
    # A second set beside the first.
    done = ornel(
        "compare", first, tmp_path / "b2.npy", "--out", second, "--split", "--index", "--field", "distance2", "--f64"
    )
    assert done.returncode == 0, done.stderr
    after = ornel_package.read_records(second)
    old, new = before.fields(), after.fields()
    assert list(new) == list(old) + ["distance2", "dx2", "dy2", "dz2", "index2"]
    for name, values in old.items():
        np.testing.assert_array_equal(new[name], values, err_msg=name)
    np.testing.assert_array_equal(new["distance2"], want[0])
    np.testing.assert_array_equal(new["index2"], want[1])
    np.testing.assert_array_equal(np.c_[new["dx2"], new["dy2"], new["dz2"]], b2[want[1]] - points)
    np.testing.assert_array_equal(after.points, before.points)
    # The first set replaced in its place, every other field as it was.
    done = ornel("compare", first, tmp_path / "b2.npy", "--out", third, "--split", "--overwrite-fields", "--f64")
    assert done.returncode == 0, done.stderr
    replaced = ornel_package.read_records(third)
    assert replaced.names() == before.names()
    fields = replaced.fields()
    np.testing.assert_array_equal(fields["distance"], want[0])
    np.testing.assert_array_equal(np.c_[fields["dx"], fields["dy"], fields["dz"]], b2[want[1]] - points)
    for name in set(old) - {"distance", "dx", "dy", "dz"}:
        np.testing.assert_array_equal(fields[name], old[name], err_msg=name)
    np.testing.assert_array_equal(replaced.points, before.points)
    if suffix == ".csv":  # every byte of the coordinates as it was
        assert [line.split(",")[:3] for line in third.read_text().splitlines()] == [
            line.split(",")[:3] for line in first.read_text().splitlines()
        ]
    # The same from Python: the fields named alike, a clash refused unless replacing.
    result = ornel_package.compare(points, b2, precision="f64")
    assert list(result.fields("d1", split=True, index=True)) == ["d1", "dx_d1", "dy_d1", "dz_d1", "index_d1"]
    with pytest.raises(ornel_package.CloudError, match="clashes with the field 'distance'"):
        ornel_package.write_records(tmp_path / f"api{suffix}", before, result.fields())
    ornel_package.write_records(tmp_path / f"api{suffix}", before, result.fields(), overwrite_fields=True)
    np.testing.assert_array_equal(ornel_package.read_records(tmp_path / f"api{suffix}").fields()["distance"], want[0])
    with pytest.raises(ornel_package.CloudError, match="clashes with the field 'x'"):
        ornel_package.write_records(tmp_path / f"api{suffix}", before, {"X": want[0]}, overwrite_fields=True)


def test_skip_invalid_drops_the_nan_points_of_every_cloud_of_every_command(tmp_path):
    from scipy.spatial import cKDTree

    rng = np.random.default_rng(32)
    surface = lambda xy: np.c_[xy, 0.2 * np.sin(3 * xy[:, 0]) * np.cos(2 * xy[:, 1])]  # noqa: E731
    grid = np.stack(np.meshgrid(np.linspace(0, 1, 30), np.linspace(0, 1, 40)), -1).reshape(-1, 2)
    frames = {}
    for name, shift, holes in (("a", [0.01, -0.02, 0.005], 234), ("b", [0, 0, 0], 97)):
        points = surface(grid + rng.normal(0, 0.002, grid.shape)) + shift
        points[rng.choice(len(points), holes, replace=False)] = np.nan  # pixels that saw nothing
        write_frame(tmp_path / f"{name}.pcd", points, 30)
        frames[name] = points.astype(np.float32)
    clean = {name: points[np.isfinite(points).all(axis=1)] for name, points in frames.items()}
    np.save(tmp_path / "c.npy", surface(rng.random((900, 2))))
    a, b = (str(tmp_path / f"{name}.pcd") for name in "ab")
    for args in (["compare", a, b], ["align", a, b], ["matrix", a, b], ["index", a, "--store", tmp_path / "s"]):
        done = ornel(*args)
        assert done.returncode == 2 and done.stderr.count("\n") == 1 and "non-finite" in done.stderr, args
    # compare: A's and B's empty pixels dropped, each said once; the first line counts what was measured.
    done = ornel("compare", a, b, "--skip-invalid", "--f64", "--out", tmp_path / "d.npy")
    assert done.returncode == 0, done.stderr
    assert f"{a}: skipped 234 of its 1,200 points" in done.stderr and f"{b}: skipped 97 of its 1,200" in done.stderr
    assert (
        "distance from 966 of the 1,200 points of a to the nearest of the 1,103 points of b"
        in done.stdout.splitlines()[0]
    )
    written = np.load(tmp_path / "d.npy")
    valid = np.isfinite(frames["a"]).all(axis=1)
    np.testing.assert_array_equal(written[valid, 3], cKDTree(clean["b"]).query(clean["a"])[0])
    assert np.isnan(written[~valid, 3]).all()
    result = ornel_package.compare(frames["a"], frames["b"], precision="f64", skip_invalid=True)
    np.testing.assert_array_equal(result.distance, written[:, 3])
    # align: the transform of the valid points alone, bit for bit.
    done = ornel("align", a, b, "--skip-invalid", "--transform", tmp_path / "t.txt", "--threads", "1")
    assert done.returncode == 0 and done.stderr.count("skipped") == 2, done.stderr
    want = ornel_package.register(clean["a"], clean["b"], threads=1).transform
    np.testing.assert_array_equal(
        ornel_package.register(frames["a"], frames["b"], threads=1, skip_invalid=True).transform, want
    )
    np.testing.assert_allclose(np.loadtxt(tmp_path / "t.txt"), want, rtol=0, atol=1e-12)
    # matrix and index (with a store): the tables of the valid points alone.
    np.save(tmp_path / "a_valid.npy", clean["a"])
    np.save(tmp_path / "b_valid.npy", clean["b"])
    done = ornel("matrix", a, b, tmp_path / "c.npy", "--skip-invalid", "--csv", tmp_path / "m.csv")
    assert done.returncode == 0 and done.stderr.count("skipped") == 2, done.stderr
    assert (
        ornel(
            "matrix",
            tmp_path / "a_valid.npy",
            tmp_path / "b_valid.npy",
            tmp_path / "c.npy",
            "--csv",
            tmp_path / "m_valid.csv",
        ).returncode
        == 0
    )
    numbers = lambda name: [line.split(",")[2:] for line in (tmp_path / name).read_text().splitlines()]  # noqa: E731
    assert numbers("m.csv") == numbers("m_valid.csv")
    table = ornel_package.all_by_all([frames["a"], frames["b"]], skip_invalid=True, threads=1)
    want_table = ornel_package.all_by_all([clean["a"], clean["b"]], threads=1)
    assert table.mean.tobytes() == want_table.mean.tobytes() and table.max.tobytes() == want_table.max.tobytes()
    done = ornel("index", a, b, "--store", tmp_path / "s", "--skip-invalid")
    assert done.returncode == 0 and done.stdout.count("index built") == 2, done.stderr
    stored = ornel("compare", tmp_path / "c.npy", b, "--store", tmp_path / "s", "--skip-invalid")
    assert stored.returncode == 0 and stored.stdout == ornel("compare", tmp_path / "c.npy", b, "--skip-invalid").stdout
    assert "each of the 900 points" in stored.stdout.splitlines()[0]
    assert "removed 0 clouds" in ornel("store", tmp_path / "s", a, b, "--prune", "--skip-invalid").stdout


def test_two_outputs_naming_one_file_are_refused_before_any_work(tmp_path):
    rng = np.random.default_rng(17)
    for name in ("a.npy", "b.npy"):
        np.save(tmp_path / name, rng.random((300, 3)))
    (tmp_path / "sub").mkdir()
    (tmp_path / "x.txt").write_text("kept\n")
    os.link(tmp_path / "x.txt", tmp_path / "hard.txt")
    os.symlink("sub", tmp_path / "link")
    cases = [
        (["compare", "a.npy", "b.npy", "--histogram", "p.png", "--png", "p.png"], "--histogram and --png"),
        (["compare", "a.npy", "b.npy", "--histogram", "sub/p.png", "--png", "link/p.png"], "--histogram and --png"),
        (
            ["compare", "a.npy", "b.npy", "--json", "s.json", "--png", "p.png", "--histogram", "./sub/../p.png"],
            "--histogram and --png",
        ),
        (["align", "a.npy", "b.npy", "--out", "y.txt", "--transform", "y.txt"], "--out and --transform"),
        (["align", "a.npy", "b.npy", "--out", "x.txt", "--transform", "hard.txt"], "--out and --transform"),
        (
            ["align", "a.npy", "b.npy", "--out", str(tmp_path / "y.txt"), "--transform", "sub/../y.txt"],
            "--out and --transform",
        ),
    ]
    for args, options in cases:
        result = ornel(*args, cwd=tmp_path)
        lines = result.stderr.splitlines()
        assert result.returncode == 2 and result.stdout == "" and len(lines) == 1, (args, result.stderr)
        assert f"is named by both {options}; give each output its own file" in lines[0], (args, lines)
    # Nothing was written, and what was there is as it was.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.npy", "b.npy", "hard.txt", "link", "sub", "x.txt"]
    assert list((tmp_path / "sub").iterdir()) == [] and (tmp_path / "x.txt").read_text() == "kept\n"
    # Outputs of one name in different places are different files.
    done = ornel("compare", "a.npy", "b.npy", "--histogram", "p.png", "--png", "sub/p.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr


def interrupted_before_any_ornel_code(returncode, stderr):
    """Whether a Ctrl-C landed while CPython itself was still starting (on a loaded machine
    it can, however long the test waits): its own "Could not import runpy module" (with the
    traceback of whatever of the standard library it was loading), or a KeyboardInterrupt
    traceback in which no ornel code ran but the package's first line, the import of the
    handler that would have caught it."""
    if returncode == 1 and stderr.startswith("Could not import runpy module\n"):
        return os.path.dirname(os.path.abspath(ornel_package.__file__)) not in stderr
    lines = stderr.splitlines()
    frames = [k for k, line in enumerate(lines) if line.lstrip().startswith('File "')]
    if not (returncode in (1, -2) and stderr.rstrip().endswith("KeyboardInterrupt") and frames):
        return False
    package = os.path.dirname(os.path.abspath(ornel_package.__file__))
    for k in frames:
        path = lines[k].split('"')[1]
        if not os.path.abspath(path).startswith(package + os.sep):
            continue  # the interpreter's own: frozen modules, the standard library, a .pth line
        source = lines[k + 1].strip() if k + 1 < len(lines) else ""
        if not (path.endswith("__init__.py") and source == "from ornel import _interrupt"):
            return False
    return True


def test_ctrl_c_from_the_first_instruction_on_exits_130_quietly(tmp_path):
    import signal
    import time

    rng = np.random.default_rng(18)
    for name in ("a.npy", "b.npy"):
        np.save(tmp_path / name, rng.random((300_000, 3)))
    # Before the interpreter has run any of ornel, a Ctrl-C is the interpreter's own affair:
    # start the delays after the time a bare interpreter takes to get going.
    # The slowest of a few, since on a loaded machine one start can be quick and the next not.
    starts = []
    for _ in range(3):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", "pass"], check=True)
        starts.append(time.perf_counter() - start)
    ready = 1.5 * max(starts)
    commands = [[str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"], [sys.executable, "-m", "ornel"]]
    outcomes = []
    for command in commands:
        for delay in (0.0, 0.02, 0.05, 0.1, 0.2, 0.3, 0.6):
            # Through graphs: the run must outlast the longest delay, and two grids do not.
            process = subprocess.Popen(
                [*command, "matrix", "a.npy", "b.npy", "--csv", "m.csv", "--index-kind", "graph"],
                cwd=tmp_path,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                # A suite run in the background by a shell has SIGINT ignored, and so would the command.
                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
            )
            time.sleep(ready + delay)
            process.send_signal(signal.SIGINT)
            _, stderr = process.communicate(timeout=300)
            outcomes.append((command[-1], delay, process.returncode, stderr.decode()))
    for outcome in outcomes:
        # On a loaded machine the signal may still land while CPython sets itself up, before
        # any of its handlers: then it dies of SIGINT at once, as quietly (130 to the shell).
        # An uncaught KeyboardInterrupt also ends by SIGINT, but after its traceback.
        quiet_by_signal = outcome[2] == -signal.SIGINT and outcome[3] == ""
        assert (
            quiet_by_signal
            or interrupted_before_any_ornel_code(outcome[2], outcome[3])
            or (outcome[2] == 130 and outcome[3] == "\nornel: interrupted\n")
        ), outcome
    assert not (tmp_path / "m.csv").exists()


@pytest.mark.parametrize("offset", [0.0, 4e5, 3e6])
def test_compare_is_exact_by_default_and_single_precision_on_request(tmp_path, offset):
    from scipy.spatial import cKDTree

    rng = np.random.default_rng(int(offset) % 97)
    a = offset + rng.random((700, 3))
    b = offset + np.round(rng.random((500, 3)), 2)  # quantised: ties and duplicates
    write_ply(tmp_path / "a.ply", a, text=False)
    write_ply(tmp_path / "b.ply", b, text=False)
    exact = ornel("compare", tmp_path / "a.ply", tmp_path / "b.ply", "--out", tmp_path / "d.ply", "--index")
    assert exact.returncode == 0 and "(f64)" in exact.stdout.splitlines()[0], exact.stderr
    vertex = PlyData.read(str(tmp_path / "d.ply"))["vertex"].data
    want, rows = cKDTree(b).query(a)
    np.testing.assert_array_equal(vertex["distance"], want)  # bit for bit, wherever the clouds lie
    np.testing.assert_array_equal(vertex["index"], rows)
    single = ornel("compare", tmp_path / "a.ply", tmp_path / "b.ply", "--out", tmp_path / "s.ply", "--f32")
    assert single.returncode == 0 and "(f32)" in single.stdout.splitlines()[0], single.stderr
    api = ornel_package.compare(a, b, precision="f32")
    np.testing.assert_array_equal(PlyData.read(str(tmp_path / "s.ply"))["vertex"].data["distance"], api.distance)
    for command in (["compare", "a.ply", "b.ply"], ["matrix", "a.ply", "b.ply"]):
        both = ornel(*command, "--f32", "--f64", cwd=tmp_path)
        assert both.returncode == 2 and "not allowed with argument" in both.stderr


@pytest.mark.parametrize(
    ("args", "prog", "words"),
    [
        (["compare", "a.ply", "b.ply", "--threads", "0"], "ornel compare", "--threads: must be at least 1, not 0"),
        (["compare", "a.ply"], "ornel compare", "required: B"),
        (["matrix", "a.ply", "b.ply", "--metric", "median"], "ornel matrix", "invalid choice: 'median'"),
        (["change", "a.ply", "b.ply", "--normal-radius", "nan"], "ornel change", "--normal-radius"),
        (["frobnicate"], "ornel", "invalid choice: 'frobnicate'"),
        ([], "ornel", "required: COMMAND"),
    ],
)
def test_a_mistake_in_the_arguments_gets_one_line_and_status_2(args, prog, words):
    result = ornel(*args)
    lines = result.stderr.strip().splitlines()
    assert result.returncode == 2 and result.stdout == "" and len(lines) == 1, result.stderr
    assert lines[0].startswith(f"{prog}: error: ") and words in lines[0], lines[0]
    assert lines[0].endswith(f"(see '{prog} --help')"), lines[0]


def test_help_version_and_usage_errors_load_no_numpy():
    """The command's start before any work: its arguments read without NumPy or the
    package's native parts."""
    probe = (
        "import sys\n"
        "from ornel._command import main\n"
        "for argv in (['--help'], ['compare', '--help'], ['matrix', '--help'], ['--version'], ['compare']):\n"
        "    try:\n"
        "        main(argv)\n"
        "    except SystemExit as end:\n"
        "        print(argv[0], end.code, file=sys.stderr)\n"
        "print(sorted(m for m in ('numpy', '_ornel', 'ornel._native') if m in sys.modules))\n"
    )
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "[]"
    assert "--f32" in done.stdout and "--index-kind" in done.stdout  # the help was printed in full
    assert [line.split()[-1] for line in done.stderr.splitlines() if line.split()[0] in ("--help", "compare")] == [
        "0",
        "0",
        "2",
    ]


def test_the_command_loads_laspy_without_its_http_client_and_a_program_keeps_it(tmp_path):
    """laspy's HTTP client (for remote COPC files, which ornel never reads) costs the
    command as much as laspy itself: the command's process goes without it, and writes the
    same file; a program importing ornel gets laspy whole."""
    rng = np.random.default_rng(5)
    a, b = tmp_path / "a.las", tmp_path / "b.las"
    for path, n in ((a, 300), (b, 200)):
        header = laspy.LasHeader(point_format=1, version="1.4")  # GPS time and an extra dimension
        header.add_extra_dim(laspy.ExtraBytesParams(name="amplitude", type="f4"))
        header.offsets, header.scales = [7e5, 5e6, 0.0], [0.001, 0.001, 0.001]  # far from the origin
        las = laspy.LasData(header)
        las.x, las.y, las.z = (np.round(rng.random((n, 3)) * 1000) / 1000 + header.offsets).T
        las.gps_time, las.amplitude = rng.random(n), rng.random(n).astype(np.float32)
        las.write(str(path))
    fake = tmp_path / "fake" / "requests"  # an HTTP client that says when it is imported
    fake.mkdir(parents=True)
    marker = tmp_path / "imported"
    (fake / "__init__.py").write_text(
        f"open({str(marker)!r}, 'a').write('x')\nraise ModuleNotFoundError('not this one', name='requests')\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(fake.parent), os.environ.get("PYTHONPATH", "")]))
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]
    done = subprocess.run([*command, "compare", a, b, "--out", tmp_path / "o.las"], capture_output=True, env=env)
    assert done.returncode == 0, done.stderr
    assert not marker.exists()
    # The same bytes as a program's own compare writes, with laspy whole.
    program = (
        "import sys, laspy, ornel\n"
        "from ornel._records import read_records, write_records\n"
        "records = read_records(sys.argv[1])\n"
        "result = ornel.compare(records.points, ornel.read_points(sys.argv[2]), precision='f64')\n"
        "write_records(sys.argv[3], records, result.fields())\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", program, a, b, tmp_path / "p.las"], capture_output=True, text=True, env=env
    )
    assert done.returncode == 0, done.stderr
    assert marker.exists()
    assert (tmp_path / "o.las").read_bytes() == (tmp_path / "p.las").read_bytes()
