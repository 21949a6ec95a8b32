"""Meshes' indexes in a store: a stored index answers as a fresh one, bit for bit; damage
to its files or row, and a mesh other than the one stored, are seen, reported once and
rebuilt; a format 2 store still opens, and is given the meshes' table when written."""

import os
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from test_store import run_read_only

import ornel
import ornel._mesh
from ornel._store import ARRAYS, DATABASE, FORMAT, Store, row_checksum

MESHES = Path(__file__).resolve().parents[1] / "data" / "meshes"
SCRIPT = Path(sys.executable).parent / "ornel"


@pytest.fixture
def builds(monkeypatch):
    """How many indexes were built (not read from a store)."""
    count = {"n": 0}
    build = ornel._mesh._native.mesh_bvh

    def counting(*args):
        count["n"] += 1
        return build(*args)

    monkeypatch.setattr(ornel._mesh._native, "mesh_bvh", counting)
    return count


def model_and_scan(name="fandisk", offset=0.0):
    mesh = ornel.Mesh.load(MESHES / f"{name}.obj")
    mesh = ornel.Mesh(mesh.vertices + offset, mesh.triangles, name)
    rng = np.random.default_rng(4)
    corners = mesh.vertices[mesh.triangles]
    picked = rng.integers(0, len(corners), 4000)
    scan = np.einsum("ij,ijk->ik", rng.dirichlet([1, 1, 1], len(picked)), corners[picked])
    return mesh, scan + rng.normal(0, 0.005 * np.ptp(mesh.vertices), scan.shape)


def same_answers(got, want):
    assert got.distance.tobytes() == want.distance.tobytes()
    assert got.triangle.tobytes() == want.triangle.tobytes()
    assert got.barycentric.tobytes() == want.barycentric.tobytes()


def stored_files(directory, precision):
    with sqlite3.connect(directory / DATABASE) as db:
        row = db.execute(
            "SELECT bounds_file, links_file, corners_file, order_file FROM mesh_indexes WHERE precision = ?",
            (precision,),
        ).fetchone()
    return [directory / ARRAYS / f"{name}.npy" for name in row]


@pytest.mark.parametrize("precision", ["f32", "f64"])
@pytest.mark.parametrize("offset", [0.0, 5e5])
def test_a_stored_index_answers_as_a_fresh_one(tmp_path, builds, precision, offset):
    mesh, scan = model_and_scan(offset=offset)
    want = ornel.Mesh(mesh.vertices, mesh.triangles).closest(scan, precision=precision, signed=True)
    first = ornel.compare(scan, mesh, precision=precision, store=tmp_path)
    assert builds["n"] == 2  # the fresh mesh's and the stored one's
    # Another Mesh of the same vertices and triangles, under another name: read, not built.
    again = ornel.Mesh(mesh.vertices.copy(), mesh.triangles.copy(), "renamed")
    second = ornel.compare(scan, again, precision=precision, store=Store(tmp_path, report=pytest.fail))
    assert builds["n"] == 2 and again.has_index(precision)
    same_answers(again.closest(scan, precision=precision, signed=True), want)
    assert second.distance.tobytes() == first.distance.tobytes()
    assert Store(tmp_path).summary()["mesh_indexes"] == 1


def damage(path, how):
    data = path.read_bytes()
    if how == "flipped byte":
        path.write_bytes(data[:-5] + bytes([data[-5] ^ 0x10]) + data[-4:])
    elif how == "truncated":
        path.write_bytes(data[: len(data) // 2])
    else:
        path.unlink()


@pytest.mark.parametrize("how", ["flipped byte", "truncated", "deleted"])
@pytest.mark.parametrize("which", [0, 1, 2, 3])  # bounds, links, corners, order
def test_damaged_files_are_reported_once_and_rebuilt(tmp_path, builds, how, which):
    mesh, scan = model_and_scan()
    want = mesh.closest(scan, precision="f32")
    ornel.compare(scan, ornel.Mesh(mesh.vertices, mesh.triangles), store=tmp_path)
    victim = stored_files(tmp_path, "f32")[which]
    damage(victim, how)
    reports = []
    store = Store(tmp_path, report=reports.append)
    built = builds["n"]
    for _ in range(2):  # reported once, however often asked
        fresh = ornel.Mesh(mesh.vertices, mesh.triangles)
        ornel.compare(scan, fresh, store=store)
        same_answers(fresh.closest(scan, precision="f32"), want)
    assert builds["n"] == built + 1  # rebuilt once, and kept whole again
    assert len(reports) == 1 and victim.name in reports[0] and "rebuilt" in reports[0], reports
    fresh = ornel.Mesh(mesh.vertices, mesh.triangles)
    assert Store(tmp_path, report=pytest.fail).load_mesh_index(fresh, "f32")


def test_another_mesh_under_the_same_name_and_forged_rows_are_not_used(tmp_path, builds):
    mesh, scan = model_and_scan()
    moved = mesh.vertices.copy()
    moved[123] += 1e-3 * np.ptp(moved)  # another mesh under the same name
    other = ornel.Mesh(moved, mesh.triangles, mesh.name)
    ornel.compare(scan, ornel.Mesh(mesh.vertices, mesh.triangles, mesh.name), store=tmp_path)
    built = builds["n"]
    ornel.compare(scan, other, store=Store(tmp_path, report=pytest.fail))
    assert builds["n"] == built + 1
    same_answers(other.closest(scan, precision="f32"), ornel.Mesh(moved, mesh.triangles).closest(scan, precision="f32"))
    assert Store(tmp_path).summary()["mesh_indexes"] == 2
    # A row naming another mesh's files, checksum and all (a store put together by hand).
    with sqlite3.connect(tmp_path / DATABASE) as db:
        rows = db.execute("SELECT rowid, * FROM mesh_indexes ORDER BY rowid").fetchall()
        (first, *a), (_, *b) = rows
        forged = (*a[:4], *b[4:8])
        db.execute("DELETE FROM mesh_indexes WHERE rowid = ?", (first,))
        db.execute("INSERT INTO mesh_indexes VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)", (*forged, row_checksum(forged)))
    reports = []
    victim = ornel.Mesh(mesh.vertices, mesh.triangles, mesh.name)
    assert not Store(tmp_path, report=reports.append).load_mesh_index(victim, "f32")
    assert not victim.has_index("f32") and len(reports) == 1 and "not this mesh's" in reports[0]
    # A changed value without its checksum: the row is damaged, dropped and rebuilt.
    with sqlite3.connect(tmp_path / DATABASE) as db:
        db.execute("UPDATE mesh_indexes SET name = 'other' WHERE mesh = ?", (other.digest,))
    reports.clear()
    again = ornel.Mesh(moved, mesh.triangles, mesh.name)
    ornel.compare(scan, again, store=Store(tmp_path, report=reports.append))
    assert len(reports) == 1 and "not as written" in reports[0]
    same_answers(again.closest(scan, precision="f32"), other.closest(scan, precision="f32"))


def test_adopted_indexes_are_checked():
    mesh, _ = model_and_scan()
    bounds, links, corners, order = mesh.index("f64")
    lane = 2**31
    child = int(links[0, 0])

    def changed(array, at, value):
        array = array.copy()
        array[at] = value
        return array

    swapped = order.copy()
    swapped[[0, 1]] = swapped[[1, 0]]
    bad = {
        "wrong type": (bounds.astype(np.float32), links, corners, order),
        "short corners": (bounds, links, corners[:-1], order[:-1]),
        "repeated triangle": (bounds, links, corners, changed(order, 0, order[1])),
        "corners out of order": (bounds, links, corners, swapped),
        "a cycle": (bounds, changed(links, (child, 0), child), corners, order),
        "a child past the nodes": (bounds, changed(links, (0, 0), len(links)), corners, order),
        "a node twice": (bounds, changed(links, (0, 1), child), corners, order),
        "a triangle past the end": (bounds, changed(links, (len(links) - 1, 0), lane + len(order)), corners, order),
    }
    for what, arrays in bad.items():
        fresh = ornel.Mesh(mesh.vertices, mesh.triangles)
        with pytest.raises(ValueError):
            fresh.adopt_index("f64", arrays)
            pytest.fail(what)
        assert not fresh.has_index("f64"), what
    # A path deeper than the search's stack: a chain of nodes, each the next one's parent.
    deep = np.zeros((70, 4), np.uint32)
    deep[:-1, 0] = np.arange(1, 70)
    deep[:, 1] = lane + np.arange(70)
    chain = ornel.Mesh(np.random.default_rng(1).random((3, 3)), np.tile([0, 1, 2], (70, 1)))
    chain_corners = np.tile(chain.vertices.ravel(), (70, 1))
    with pytest.raises(ValueError, match="deeper"):
        chain.adopt_index("f64", (np.zeros((70, 24)), deep, chain_corners, np.arange(70, dtype=np.uint32)))
    fresh = ornel.Mesh(mesh.vertices, mesh.triangles)
    fresh.adopt_index("f64", (bounds.ravel(), links.ravel(), corners.ravel(), order))
    queries = np.random.default_rng(2).random((500, 3)) * np.ptp(mesh.vertices, axis=0) + mesh.vertices.min(axis=0)
    same_answers(fresh.closest(queries), mesh.closest(queries))


def test_a_format_2_store_opens_and_is_given_the_meshes_table(tmp_path, builds):
    mesh, scan = model_and_scan()
    clouds = [ornel.Cloud(scan[:2000], "a"), ornel.Cloud(scan[2000:], "b")]
    want = ornel.all_by_all(clouds, threads=1)
    ornel.all_by_all(clouds, threads=1, store=tmp_path)
    with sqlite3.connect(tmp_path / DATABASE) as db:
        db.execute("DROP TABLE mesh_indexes")
        db.execute("UPDATE meta SET value = '2' WHERE key = 'format'")
    # Read only, it is read as it is, and refuses in one line to keep a mesh's index.
    np.save(tmp_path / "scan.npy", scan)
    status, out, err = run_read_only(tmp_path, "store", tmp_path)
    assert status == 0 and err == "" and "2 indexes" in out, err
    status, out, err = run_read_only(
        tmp_path, "compare", tmp_path / "scan.npy", MESHES / "fandisk.obj", "--store", tmp_path
    )
    assert status == 2 and err.count("\n") == 1 and "read-only" in err, err
    store = Store(tmp_path, report=pytest.fail)
    ornel.compare(scan, ornel.Mesh(mesh.vertices, mesh.triangles), store=store)
    with sqlite3.connect(tmp_path / DATABASE) as db:
        assert db.execute("SELECT value FROM meta WHERE key = 'format'").fetchone() == (str(FORMAT),)
    assert store.summary()["mesh_indexes"] == 1 and store.summary()["indexes"] == 2
    table = ornel.all_by_all([ornel.Cloud(c.points, c.name) for c in clouds], threads=1, store=store)
    assert table.mean.tobytes() == want.mean.tobytes()
    # Pruned long after they were written, the mesh's files stay: its index uses them.
    for path in (tmp_path / ARRAYS).iterdir():
        os.utime(path, (time.time() - 3600, time.time() - 3600))
    assert store.prune()["files"] == 0
    assert store.load_mesh_index(ornel.Mesh(mesh.vertices, mesh.triangles), "f32")


def test_the_command_keeps_and_reuses_the_mesh_index(tmp_path):
    mesh, scan = model_and_scan()
    np.save(tmp_path / "scan.npy", scan)
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]
    runs = []
    for _ in range(2):
        done = subprocess.run(
            [
                *command,
                "compare",
                tmp_path / "scan.npy",
                MESHES / "fandisk.obj",
                "--signed",
                "--store",
                tmp_path / "s",
                "--json",
                tmp_path / "out.json",
            ],
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert done.returncode == 0 and done.stderr == "", done.stderr
        runs.append((tmp_path / "out.json").read_text())
    assert runs[0] == runs[1]
    assert Store(tmp_path / "s").summary()["mesh_indexes"] == 1
