"""Binary PLY inputs read ahead on a thread while the command's modules load: the
records, the printed summary and the bytes written are those of a plain read, and a file
that changed, is damaged or holds more than its records is read (or refused) as it would
have been."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import assert_same_bits_on_both_vector_paths
from plyfile import PlyData, PlyElement

from ornel import _command, _read_ahead
from ornel._errors import CloudError
from ornel._native import grid_nearest
from ornel._records import read_records

SCRIPT = Path(sys.executable).parent / "ornel"
# One field of every PLY type beside the coordinates.
FIELDS = [("a", "i1"), ("b", "u1"), ("c", "i2"), ("d", "u2"), ("e", "i4"), ("f", "u4"), ("g", "f4"), ("h", "f8")]


def vertices(rng, n, coordinate="f8", fields=True, offset=3e5):
    vertex = np.empty(n, [("x", coordinate), ("y", coordinate), ("z", coordinate), *(FIELDS if fields else [])])
    for axis in "xyz":
        vertex[axis] = offset + np.round(rng.random(n), 3)  # quantised: ties
    for name, kind in FIELDS if fields else []:
        info = np.iinfo(kind) if kind[0] in "iu" else None
        vertex[name] = rng.integers(info.min, info.max, n, endpoint=True) if info else rng.normal(size=n)
    return vertex


def write(path, elements, byte_order="<", text=False, tail=b""):
    PlyData(elements, text=text, byte_order=byte_order, comments=["rig 4"], obj_info=["site 2"]).write(str(path))
    if tail:
        with open(path, "ab") as file:
            file.write(tail)


@pytest.fixture
def grids_taken(monkeypatch):
    """Whether each search through a grid took one built ahead."""
    taken = []
    built_grid = _read_ahead.built_grid

    def spy(points):
        grid = built_grid(points)
        taken.append(grid is not None)
        return grid

    monkeypatch.setattr(_read_ahead, "built_grid", spy)
    return taken


@pytest.fixture
def searches_taken(monkeypatch):
    """Whether each search through a grid built ahead finished the search begun ahead."""
    taken = []
    search_ahead = _read_ahead.search_ahead

    def spy(built, queries):
        search = search_ahead(built, queries)
        taken.append(search is not None)
        return search

    monkeypatch.setattr(_read_ahead, "search_ahead", spy)
    return taken


@pytest.fixture
def ahead_of_any_size(monkeypatch):
    """Files of any size read ahead (the command skips small ones), and what was taken."""
    monkeypatch.setattr(_read_ahead, "SMALLEST", 0)
    taken = []
    take = _read_ahead.take

    def spy(path, offset, size):
        view = take(path, offset, size)
        taken.append((Path(path).name, view is not None))
        return view

    monkeypatch.setattr(_read_ahead, "take", spy)
    return taken


def run(capsys, *args):
    status = _command.main([*map(str, args)])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def without_read_ahead(monkeypatch, capsys, *args):
    with monkeypatch.context() as patch:
        patch.setattr(_read_ahead, "start", lambda paths, **options: None)
        return run(capsys, *args)


CASES = {
    "little-endian fields": dict(byte_order="<"),
    "big-endian fields": dict(byte_order=">"),
    "ascii": dict(text=True),
    "xyz f8 alone": dict(fields=False),
    "xyz f4 alone": dict(fields=False, coordinate="f4"),
    "element after": dict(after=True),
    "element before": dict(before=True),
    "bytes after the records": dict(tail=b"\0" * 13),
}


@pytest.mark.parametrize("case", list(CASES))
def test_compare_reads_and_writes_what_a_plain_read_does(
    tmp_path, monkeypatch, capsys, ahead_of_any_size, grids_taken, searches_taken, case
):
    options = CASES[case]
    rng = np.random.default_rng(len(case))
    a = vertices(rng, 3000, options.get("coordinate", "f8"), options.get("fields", True))
    b = vertices(rng, 2000, options.get("coordinate", "f8"), fields=False)
    camera = PlyElement.describe(np.array([(1.5, -2.0, 7)], [("vx", "f8"), ("vy", "f4"), ("lens", "u2")]), "camera")
    elements = [PlyElement.describe(a, "vertex")]
    elements = [camera, *elements] if options.get("before") else elements
    elements = [*elements, camera] if options.get("after") else elements
    encoding = {key: options[key] for key in ("byte_order", "text", "tail") if key in options}
    write(tmp_path / "a.ply", elements, **encoding)
    write(tmp_path / "b.ply", [PlyElement.describe(b, "vertex")], **encoding)
    args = ("compare", tmp_path / "a.ply", tmp_path / "b.ply", "--index", "--threads", "2")
    expected = without_read_ahead(monkeypatch, capsys, *args, "--out", tmp_path / "plain.ply")
    ahead_of_any_size.clear()
    grids_taken.clear()
    searches_taken.clear()
    got = run(capsys, *args, "--out", tmp_path / "ahead.ply")
    assert got == expected and got[0] == 0
    assert (tmp_path / "ahead.ply").read_bytes() == (tmp_path / "plain.ply").read_bytes()
    used = {name for name, found in ahead_of_any_size if found}
    # The records of a binary file are the read-ahead's, but the few of a camera before them.
    assert used == (set() if options.get("text") else {"b.ply"} if options.get("before") else {"a.ply", "b.ply"})
    # B's grid built from its bytes where they are x, y, z float64 in this machine's order.
    native = (
        not options.get("text") and options.get("byte_order", "<") == "<" and options.get("coordinate", "f8") == "f8"
    )
    assert grids_taken == [native]
    # And searched for A's records where they are x, y, z float64 alone too.
    assert searches_taken == ([native and not options.get("fields", True)] if native else [])


def test_records_read_ahead_equal_a_plain_read_and_are_the_points(tmp_path, ahead_of_any_size):
    rng = np.random.default_rng(2)
    for coordinate, fields in (("f8", False), ("f4", True)):
        vertex = vertices(rng, 4000, coordinate, fields)
        write(tmp_path / "c.ply", [PlyElement.describe(vertex, "vertex")])
        plain = read_records(tmp_path / "c.ply")
        _read_ahead.start([str(tmp_path / "c.ply")])
        ahead = read_records(tmp_path / "c.ply")
        assert ahead_of_any_size[-1] == ("c.ply", True)
        data = ahead.data["vertex"].data
        assert data.dtype == plain.data["vertex"].data.dtype and data.tobytes() == vertex.tobytes()
        np.testing.assert_array_equal(ahead.points, plain.points)
        assert ahead.points.dtype == np.dtype(coordinate) and ahead.points.flags.c_contiguous
        assert ahead.points.ctypes.data % 16 == 0
        assert np.shares_memory(ahead.points, data) == (not fields)  # x, y, z alone: no copy
        assert not isinstance(data, np.memmap)


@pytest.mark.parametrize("change", ["rewritten in place", "replaced", "removed"])
def test_a_file_changed_after_it_was_read_ahead_is_read_again(tmp_path, ahead_of_any_size, change):
    rng = np.random.default_rng(5)
    path = tmp_path / "c.ply"
    old, new = vertices(rng, 3000, fields=False), vertices(rng, 3000, fields=False)
    write(path, [PlyElement.describe(old, "vertex")])
    _read_ahead.start([str(path)])
    _read_ahead._pending[str(path)][0].join()  # read: now the file changes under it
    if change == "rewritten in place":
        raw = bytearray(path.read_bytes())
        raw[-new.nbytes :] = new.tobytes()
        status = path.stat()
        with open(path, "r+b") as file:
            file.write(raw)
        os.utime(path, ns=(status.st_atime_ns, status.st_mtime_ns + 10**9))
    elif change == "replaced":
        write(tmp_path / "other.ply", [PlyElement.describe(new, "vertex")])
        os.replace(tmp_path / "other.ply", path)
    else:
        path.unlink()
        with pytest.raises(CloudError, match="no such file"):
            read_records(path)
        assert str(path) in _read_ahead._pending  # never asked for: dropped at the end
        _read_ahead.forget()
        assert not _read_ahead._pending
        return
    records = read_records(path)
    assert ahead_of_any_size == [("c.ply", False)]
    assert records.data["vertex"].data.tobytes() == new.tobytes()
    assert str(path) not in _read_ahead._pending


@pytest.mark.parametrize(
    "damage", ["cut in the records", "cut in the header", "more vertices announced", "not a PLY file"]
)
def test_a_damaged_file_read_ahead_is_refused_as_a_plain_read_refuses_it(
    tmp_path, monkeypatch, capsys, ahead_of_any_size, damage
):
    rng = np.random.default_rng(7)
    write(tmp_path / "a.ply", [PlyElement.describe(vertices(rng, 2000), "vertex")])
    write(tmp_path / "b.ply", [PlyElement.describe(vertices(rng, 1000, fields=False), "vertex")])
    raw = (tmp_path / "a.ply").read_bytes()
    end = raw.index(b"end_header\n") + len(b"end_header\n")
    broken = {
        "cut in the records": raw[: end + 700 * 39 + 5],
        "cut in the header": raw[: end - 15],
        "more vertices announced": raw.replace(b"element vertex 2000", b"element vertex 2001", 1),
        "not a PLY file": b"plx\nformat binary_little_endian 1.0\nend_header\n" + raw[end:],
    }[damage]
    (tmp_path / "a.ply").write_bytes(broken)
    args = ("compare", tmp_path / "a.ply", tmp_path / "b.ply", "--out", tmp_path / "o.ply")
    expected = without_read_ahead(monkeypatch, capsys, *args)
    got = run(capsys, *args)
    assert got == expected
    assert got[0] == 2 and got[2].count("\n") == 1 and "not a readable PLY file" in got[2]
    assert not (tmp_path / "o.ply").exists()


def test_only_binary_records_without_lists_are_read_ahead(tmp_path):
    rng = np.random.default_rng(8)
    vertex = PlyElement.describe(vertices(rng, 50_000, fields=False), "vertex")
    faces = np.empty(1, [("vertex_indices", "O")])
    faces["vertex_indices"] = [np.array([0, 1, 2], "i4")]
    write(tmp_path / "binary.ply", [vertex])
    write(tmp_path / "text.ply", [vertex], text=True)
    write(tmp_path / "mesh.ply", [vertex, PlyElement.describe(faces, "face")])
    write(tmp_path / "small.ply", [PlyElement.describe(vertices(rng, 100), "vertex")])
    body = _read_ahead._read_body(str(tmp_path / "binary.ply"))
    raw = (tmp_path / "binary.ply").read_bytes()
    assert body is not None and bytes(body.view) == raw[body.start :] and raw[: body.start].endswith(b"end_header\n")
    for name in ("text.ply", "mesh.ply", "small.ply"):
        assert _read_ahead._read_body(str(tmp_path / name)) is None, name
    (tmp_path / "folder.ply").mkdir()
    _read_ahead.start([str(tmp_path / "nowhere.ply"), str(tmp_path / "folder.ply"), str(tmp_path / "a.las"), None])
    assert set(_read_ahead._pending) == {str(tmp_path / "nowhere.ply"), str(tmp_path / "folder.ply")}
    for key in list(_read_ahead._pending):  # read nothing, and said nothing
        assert _read_ahead.take(key, 0, 1) is None
    assert not _read_ahead._pending


def test_the_summary_is_printed_before_a_failure_to_write(tmp_path, monkeypatch, capsys):
    rng = np.random.default_rng(9)
    write(tmp_path / "a.ply", [PlyElement.describe(vertices(rng, 500, fields=False), "vertex")])
    write(tmp_path / "b.ply", [PlyElement.describe(vertices(rng, 400, fields=False), "vertex")])
    args = ("compare", tmp_path / "a.ply", tmp_path / "b.ply")
    status, summary, _ = run(capsys, *args)
    assert status == 0

    def full_disk(path, *rest, **options):
        raise CloudError(path, "cannot be written (No space left on device)")

    monkeypatch.setattr(_command, "write_moved_or_same", full_disk)
    status, printed, errors = run(capsys, *args, "--out", tmp_path / "o.ply")
    assert (status, printed) == (2, summary)
    assert errors == f"ornel: error: {tmp_path / 'o.ply'}: cannot be written (No space left on device)\n"


def test_the_command_reads_large_files_ahead_and_writes_the_same_bytes(tmp_path, monkeypatch, capsys):
    """A whole process, its files large enough to be read ahead."""
    rng = np.random.default_rng(10)
    a, b = vertices(rng, 60_000), vertices(rng, 50_000, fields=False)
    assert min(a.nbytes, b.nbytes) > _read_ahead.SMALLEST
    write(tmp_path / "a.ply", [PlyElement.describe(a, "vertex")], byte_order=">")
    write(tmp_path / "b.ply", [PlyElement.describe(b, "vertex")])
    args = ("compare", tmp_path / "a.ply", tmp_path / "b.ply", "--split")
    expected = without_read_ahead(monkeypatch, capsys, *args, "--out", tmp_path / "plain.ply")
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]
    done = subprocess.run(
        [*command, *map(str, args), "--out", str(tmp_path / "ahead.ply")], capture_output=True, text=True, timeout=300
    )
    assert (done.returncode, done.stdout, done.stderr) == expected
    assert (tmp_path / "ahead.ply").read_bytes() == (tmp_path / "plain.ply").read_bytes()


@pytest.mark.parametrize(
    "words, begun",
    [
        (["compare", "a.ply", "b.ply"], 2),
        (["compare", "a.ply", "b.ply", "--out", "o.ply", "--index", "--split"], 2),
        (["compare", "a.ply", "b.ply", "--threads", "3"], 3),
        (["compare", "a.ply", "b.ply", "--threads=1", "--json", "s.json"], 1),
        (["compare", "a.ply", "b.ply", "--threads", "many"], None),  # argparse says what is wrong
        (["compare", "a.ply", "b.ply", "--th", "3"], None),  # what may abbreviate --threads
        (["compare", "a.ply", "b.ply", "--f32"], None),
        (["compare", "a.ply", "b.ply", "--f3"], None),
        (["compare", "a.ply", "b.ply", "--store", "d"], None),
        (["compare", "a.ply", "b.ply", "--sto=d"], None),
        (["compare", "a.ply", "b.ply", "--align"], None),
        (["compare", "a.ply", "b.ply", "--index-kind", "grid"], None),
        (["compare", "--out", "o.ply", "a.ply", "b.ply"], None),  # which words are A and B: parsed
        (["compare", "a.ply"], None),
        (["matrix", "a.ply", "b.ply"], None),
        ([], None),
    ],
)
def test_the_command_line_read_ahead_begins_only_what_the_command_will_ask(monkeypatch, words, begun):
    """From the command line's words, before they are parsed: B's grid built and searched
    for A on the threads --threads gives, where nothing that may change that is given."""
    asked = []
    monkeypatch.setattr(_read_ahead, "start", lambda paths, **options: asked.append((paths, options)))
    monkeypatch.setattr(_read_ahead, "default_threads", lambda: 2)
    _read_ahead.start_for_command(words)
    expected = dict(grid_of="b.ply", threads=begun, search_of="a.ply")
    assert asked == ([] if begun is None else [(["b.ply", "a.ply"], expected)])
    # And what the command asks for after parsing them is what was begun.
    if begun is not None:
        args = _command.parser().parse_args(words)
        assert _command.grid_ahead(args) == "b.ply" and (args.threads or 2) == begun and args.index_kind == "auto"


def test_a_read_ahead_begun_from_the_command_line_is_kept_or_forgotten(tmp_path):
    rng = np.random.default_rng(14)
    for name in ("a.ply", "b.ply"):
        write(tmp_path / name, [PlyElement.describe(vertices(rng, 3000, fields=False), "vertex")])
    a, b = str(tmp_path / "a.ply"), str(tmp_path / "b.ply")
    _read_ahead.start_for_command(["compare", a, b, "--threads", "2"])
    thread = _read_ahead._pending[a][0]
    _read_ahead.start([b, a], grid_of=b, threads=2, search_of=a, index="auto")  # as the command asks
    assert _read_ahead._pending[a][0] is thread and _read_ahead._pending[b][0] is thread
    _read_ahead.start([b, a], grid_of=None, threads=2)  # asked for something else: begun anew
    assert _read_ahead._pending[a][0] is not thread
    thread.join()
    assert not _read_ahead._grids  # the grid of what was begun first is dropped
    _read_ahead.forget()


def test_the_command_run_from_its_command_line_writes_what_a_plain_read_does(tmp_path, monkeypatch, capsys):
    """A whole process of `ornel compare A B --out O`, x, y, z float64 alone far from the
    origin, large enough to be read ahead: begun from the command line's words."""
    rng = np.random.default_rng(15)
    a, b = vertices(rng, 70_000, fields=False, offset=5e6), vertices(rng, 50_000, fields=False, offset=5e6)
    assert min(a.nbytes, b.nbytes) > _read_ahead.SMALLEST
    write(tmp_path / "a.ply", [PlyElement.describe(a, "vertex")])
    write(tmp_path / "b.ply", [PlyElement.describe(b, "vertex")])
    args = ("compare", tmp_path / "a.ply", tmp_path / "b.ply")
    expected = without_read_ahead(monkeypatch, capsys, *args, "--out", tmp_path / "plain.ply")
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]
    for launcher in (command, [sys.executable, "-m", "ornel"]):
        done = subprocess.run(
            [*launcher, *map(str, args), "--out", str(tmp_path / "ahead.ply")],
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert (done.returncode, done.stdout, done.stderr) == expected
        assert (tmp_path / "ahead.ply").read_bytes() == (tmp_path / "plain.ply").read_bytes()


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no named pipes here")
def test_a_named_pipe_is_never_opened_by_the_read_ahead(tmp_path):
    os.mkfifo(tmp_path / "pipe.ply")
    _read_ahead.start([str(tmp_path / "pipe.ply")])
    # Opening a pipe with no writer would block: the thread ends at once instead.
    thread = _read_ahead._pending[str(tmp_path / "pipe.ply")][0]
    thread.join(timeout=30)
    assert not thread.is_alive()
    assert _read_ahead.take(tmp_path / "pipe.ply", 0, 1) is None


def ply_header(*lines, byte_order="little"):
    return b"\n".join([b"ply", f"format binary_{byte_order}_endian 1.0".encode(), *lines, b"end_header", b""])


XYZ = [b"property double x", b"property double y", b"property double z"]


@pytest.mark.parametrize(
    "lines, rows",
    [
        ([b"element vertex 12", *XYZ], 12),
        ([b"comment rig 4", b"element vertex 7", b"obj_info site", *XYZ[:2], b"comment z next", XYZ[2]], 7),
        ([b"element vertex 5", *(line.replace(b"double", b"float64") for line in XYZ)], 5),
        ([b"element vertex 5", *XYZ, b"element camera 1", b"property float lens"], 5),  # records after
        ([b"element camera 1", b"property float lens", b"element vertex 5", *XYZ], 0),  # records before
        ([b"element vertex 5", *XYZ, b"property uchar red"], 0),
        ([b"element vertex 5", XYZ[1], XYZ[0], XYZ[2]], 0),
        ([b"element vertex 5", *(line.replace(b"double", b"float") for line in XYZ)], 0),
        ([b"element vertex 5", *XYZ[:2]], 0),
        ([b"element vertex five", *XYZ], 0),
        ([b"element face 5", *XYZ], 0),
    ],
)
def test_the_rows_a_grid_can_be_built_from_are_those_of_x_y_z_in_double(lines, rows):
    assert _read_ahead._xyz_rows(ply_header(*lines)) == rows
    other = "big" if sys.byteorder == "little" else "little"
    assert _read_ahead._xyz_rows(ply_header(*lines, byte_order=other)) == 0


def xyz(records):
    return np.column_stack([records["x"], records["y"], records["z"]])


def assert_exact_against_tree(out, a, b):
    """The written distances are cKDTree's, bit for bit, and each is that of its index."""
    from scipy.spatial import cKDTree

    tree_distances, _ = cKDTree(xyz(b)).query(xyz(a))
    np.testing.assert_array_equal(out["distance"], tree_distances)
    squared = ((xyz(b)[out["index"]] - xyz(a)) ** 2).sum(axis=1)
    np.testing.assert_array_equal(np.sqrt(squared), tree_distances)


@pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
def test_the_grid_built_ahead_gives_the_exact_distances_far_from_the_origin(
    tmp_path, monkeypatch, capsys, ahead_of_any_size, grids_taken, offset
):
    rng = np.random.default_rng(int(offset) % 1000 + 3)
    a, b = vertices(rng, 4000, offset=offset), vertices(rng, 3000, fields=False, offset=offset)
    b[: len(b) // 3] = b[len(b) // 3 : 2 * (len(b) // 3)]  # duplicates: exact ties
    write(tmp_path / "a.ply", [PlyElement.describe(a, "vertex")])
    write(tmp_path / "b.ply", [PlyElement.describe(b, "vertex")])
    args = ("compare", tmp_path / "a.ply", tmp_path / "b.ply", "--index", "--threads", "2")
    expected = without_read_ahead(monkeypatch, capsys, *args, "--out", tmp_path / "plain.ply")
    grids_taken.clear()
    assert run(capsys, *args, "--out", tmp_path / "ahead.ply") == expected
    assert grids_taken == [True]
    assert (tmp_path / "ahead.ply").read_bytes() == (tmp_path / "plain.ply").read_bytes()
    out = PlyData.read(str(tmp_path / "ahead.ply"))["vertex"].data
    assert_exact_against_tree(out, a, b)


@pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
def test_the_search_begun_ahead_gives_the_exact_distances_far_from_the_origin(
    tmp_path, monkeypatch, capsys, ahead_of_any_size, grids_taken, searches_taken, offset
):
    """A's records x, y, z float64 alone, more than one stretch of them: B's grid searched
    for them while the modules load, the command finishing that search."""

    rng = np.random.default_rng(int(offset) % 1000 + 13)
    a, b = vertices(rng, 40_000, fields=False, offset=offset), vertices(rng, 3000, fields=False, offset=offset)
    b[: len(b) // 3] = b[len(b) // 3 : 2 * (len(b) // 3)]  # duplicates: exact ties
    a[:100] = b[len(b) // 3 : len(b) // 3 + 100]  # on duplicated points of B: distance 0
    write(tmp_path / "a.ply", [PlyElement.describe(a, "vertex")])
    write(tmp_path / "b.ply", [PlyElement.describe(b, "vertex")])
    args = ("compare", tmp_path / "a.ply", tmp_path / "b.ply", "--index", "--threads", "2")
    expected = without_read_ahead(monkeypatch, capsys, *args, "--out", tmp_path / "plain.ply")
    for threads in ("1", "2"):
        grids_taken.clear()
        searches_taken.clear()
        got = run(capsys, *args, "--threads", threads, "--out", tmp_path / "ahead.ply")
        assert got == expected
        assert grids_taken == [True] and searches_taken == [True]
        assert (tmp_path / "ahead.ply").read_bytes() == (tmp_path / "plain.ply").read_bytes()
    out = PlyData.read(str(tmp_path / "ahead.ply"))["vertex"].data
    assert_exact_against_tree(out, a, b)
    # Ties (A's first rows are B's points, B's first third duplicates) to the lowest row.
    check = xyz(a)[:300]
    squared = ((check[:, None, :] - xyz(b)[None, :, :]) ** 2).sum(axis=2)
    np.testing.assert_array_equal(out["index"][:300], np.argmin(squared, axis=1))


@pytest.mark.parametrize(
    "case",
    ["skip invalid", "too large to be searched ahead", "far more queries than targets", "same file", "graph"],
)
def test_the_search_is_begun_ahead_only_where_it_is_taken(
    tmp_path, monkeypatch, capsys, ahead_of_any_size, grids_taken, searches_taken, case
):
    """Where the command searches other queries (a copy without A's NaN rows), or builds no
    grid ahead, or the files are too large for the grid to be built on one thread, no
    search is taken, nothing of one is left running, and the output is a plain read's."""
    rng = np.random.default_rng(len(case) + 40)
    a, b = vertices(rng, 5000, fields=False), vertices(rng, 4000, fields=False)
    options: tuple[str, ...] = ()
    if case == "skip invalid":
        a["y"][[7, 4000]] = np.nan
        options = ("--skip-invalid",)
    elif case == "too large to be searched ahead":
        monkeypatch.setattr(_read_ahead, "ALONE_ROWS", 4500)
    elif case == "far more queries than targets":
        b = b[:100]  # the planner's grid for 50 times as many queries: a graph
    elif case == "graph":
        options = ("--index-kind", "graph")
    write(tmp_path / "a.ply", [PlyElement.describe(a, "vertex")])
    write(tmp_path / "b.ply", [PlyElement.describe(b, "vertex")])
    second = "a.ply" if case == "same file" else "b.ply"
    args = ("compare", tmp_path / "a.ply", tmp_path / second, "--threads", "2", *options)
    expected = without_read_ahead(monkeypatch, capsys, *args, "--out", tmp_path / "plain.ply")
    started = []
    monkeypatch.setattr(
        _read_ahead, "_search_ahead", lambda *given: started.append(_search_ahead(*given)) or started[-1]
    )
    grids_taken.clear()
    assert run(capsys, *args, "--out", tmp_path / "ahead.ply") == expected
    assert (tmp_path / "ahead.ply").read_bytes() == (tmp_path / "plain.ply").read_bytes()
    assert not _read_ahead._grids and not _read_ahead._searches
    # Whether a search was begun, whether the grid was taken, whether the search was.
    expected_spies = {
        "skip invalid": ([True], [True], [False]),
        "too large to be searched ahead": ([False], [True], [False]),
        "far more queries than targets": ([False], [], []),
        "same file": ([], [False], []),  # its bytes taken as A's, B read again
        "graph": ([], [], []),
    }[case]
    assert (started, grids_taken, searches_taken) == expected_spies


_search_ahead = _read_ahead._search_ahead


def test_a_search_begun_ahead_is_taken_only_for_its_own_bytes_and_stopped_otherwise(tmp_path, ahead_of_any_size):
    from ornel._cloud import Cloud
    from ornel._native import grid_search_finish

    rng = np.random.default_rng(12)
    for name, n in (("a.ply", 20_000), ("b.ply", 3000)):
        write(tmp_path / name, [PlyElement.describe(vertices(rng, n, fields=False), "vertex")])
    paths = [str(tmp_path / "b.ply"), str(tmp_path / "a.ply")]
    _read_ahead.start(paths, grid_of=paths[0], threads=2, search_of=paths[1])
    a, b = Cloud.load(paths[1]), Cloud.load(paths[0])
    built = _read_ahead.built_grid(b.points)
    assert built is not None
    assert _read_ahead.search_ahead(built, a.points[:-1]) is None  # other bytes: stopped
    assert _read_ahead.search_ahead(built, a.points) is None  # and never taken after
    # Its own bytes: the answers of a search of its own.
    _read_ahead.start(paths, grid_of=paths[0], threads=2, search_of=paths[1])
    a, b = Cloud.load(paths[1]), Cloud.load(paths[0])
    built = _read_ahead.built_grid(b.points)
    assert _read_ahead.search_ahead(built, a.points.copy()) is None  # the same values elsewhere
    _read_ahead.start(paths, grid_of=paths[0], threads=2, search_of=paths[1])
    a, b = Cloud.load(paths[1]), Cloud.load(paths[0])
    built = _read_ahead.built_grid(b.points)
    search = _read_ahead.search_ahead(built, a.points)
    assert search is not None and _read_ahead.search_ahead(built, a.points) is None  # taken once
    dist2, idx = grid_search_finish(search, threads=2)
    expected = grid_nearest(b.points, a.points)
    np.testing.assert_array_equal(dist2, expected[0])
    np.testing.assert_array_equal(idx, expected[1])
    # Forgotten before it was taken: stopped, and it can no longer be finished.
    _read_ahead.start(paths, grid_of=paths[0], threads=2, search_of=paths[1])
    _read_ahead._pending[paths[1]][0].join()
    grid = _read_ahead._grids[paths[0]]
    grid.over(b.points)  # waits for the search to be begun
    begun = grid.search
    _read_ahead.forget()
    assert begun is not None and not _read_ahead._grids and not _read_ahead._searches
    with pytest.raises(ValueError, match="stopped or finished already"):
        grid_search_finish(begun)


def test_a_grid_built_ahead_is_taken_only_for_its_own_bytes(tmp_path, ahead_of_any_size):
    from ornel._cloud import Cloud

    rng = np.random.default_rng(11)
    path = tmp_path / "b.ply"
    write(path, [PlyElement.describe(vertices(rng, 3000, fields=False), "vertex")])
    _read_ahead.start([str(path)], grid_of=str(path), threads=2)
    cloud = Cloud.load(path)
    assert _read_ahead.built_grid(cloud.points.copy()) is None  # the same values elsewhere
    assert _read_ahead.built_grid(cloud.points[:-1]) is None
    grid = _read_ahead.built_grid(cloud.points)
    assert grid is not None and grid.rows == len(cloud)
    assert _read_ahead.built_grid(cloud.points) is None  # taken once
    # A file changed after it was read: read again, and its grid is never taken.
    _read_ahead.start([str(path)], grid_of=str(path), threads=2)
    _read_ahead._pending[str(path)][0].join()
    write(tmp_path / "other.ply", [PlyElement.describe(vertices(rng, 3000, fields=False), "vertex")])
    os.replace(tmp_path / "other.ply", path)
    cloud = Cloud.load(path)
    assert ahead_of_any_size[-1] == ("b.ply", False)
    assert not _read_ahead._grids  # dropped with the bytes it was built from
    assert _read_ahead.built_grid(cloud.points) is None
    _read_ahead.start([str(path)], grid_of=str(path), threads=2)
    _read_ahead.forget()
    assert not _read_ahead._grids


@pytest.mark.parametrize(
    "options, built",
    [
        ((), True),
        (("--index-kind", "grid"), True),
        (("--f32",), False),  # rounded from B's frame: not the bytes as they are
        (("--index-kind", "graph"), False),
        (("--store", "somewhere"), False),
        (("--align",), False),
    ],
)
def test_the_grid_is_built_ahead_only_where_the_search_builds_it_over_the_points_read(options, built):
    args = _command.parser().parse_args(["compare", "a.ply", "b.ply", *options])
    assert _command.grid_ahead(args) == ("b.ply" if built else None)


def digest_of_searches_ahead():
    """A hash of the answers of searches begun ahead (by stretches, on two threads) of
    clouds with exact ties and duplicates, far from the origin and near it."""
    import hashlib
    import threading

    from ornel._native import grid_build, grid_search_ahead, grid_search_finish, grid_search_work

    digest = hashlib.sha256()
    for offset in (0.0, 5e5, 5e6):
        rng = np.random.default_rng(int(offset) % 97)
        points = offset + np.round(rng.random((4000, 3)), 2)  # centimetre quanta: ties
        points[:1000] = points[1000:2000]  # duplicates
        queries = np.ascontiguousarray(offset + np.round(rng.random((6000, 3)) * 1.2 - 0.1, 3))
        search = grid_search_ahead(grid_build(points.tobytes()), queries.tobytes(), least=64)
        helper = threading.Thread(target=grid_search_work, args=(search,))
        helper.start()
        for array in grid_search_finish(search, threads=2):
            digest.update(array.tobytes())
        helper.join()
    return digest.hexdigest()


def test_a_search_begun_ahead_gives_the_same_bits_on_both_vector_paths():
    assert_same_bits_on_both_vector_paths(sys.modules[__name__], digest_of_searches_ahead)
