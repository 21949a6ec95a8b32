"""The store: tables equal to store-less runs bit for bit, only missing pairs searched,
files recognised by content, every kind of damage reported once and repaired, killed
and concurrent writers, a newer format refused, the commands."""

import os
import re
import signal
import sqlite3
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from scipy.spatial import cKDTree

import ornel
import ornel._cloud
import ornel._join
import ornel._store
from ornel._store import ARRAYS, DATABASE, FORMAT, Store, StoreError

SCRIPT = Path(sys.executable).parent / "ornel"


def ornel_command(*args, **kwargs):
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]
    # A run started in the background by a shell inherits SIGINT ignored; the command
    # must see Ctrl-C as a terminal would send it.
    return subprocess.Popen(
        [*command, *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
        **kwargs,
    )


def run(*args):
    process = ornel_command(*args)
    out, err = process.communicate(timeout=300)
    return process.returncode, out, err


def scan_like(rng):
    """Quantised with duplicates, thin, a float32 one, two far from the origin (their own frames)."""
    grid = np.round(rng.random((600, 3)) * 7) / 7
    far = rng.random((500, 3)) * [3, 3, 0.5] + [431_000.25, 5_412_000.5, 212.0]
    return {
        "grid": grid,
        "thin": np.c_[rng.random((500, 2)), rng.random(500) * 1e-3],
        "single": rng.random((700, 3)).astype(np.float32),
        "uniform": rng.random((400, 3)) * 1.2,
        "far1": far,
        "far2": far[::-1] + rng.normal(0, 0.01, (500, 3)),
    }


@pytest.fixture
def searches(monkeypatch):
    """Every (query, target) pair of cloud names searched, and every graph built."""
    log = {"pairs": [], "graphs": 0}
    search, build = ornel._join.QuerySets.search, ornel._cloud.delaunay_graph

    def counting_search(self, target, frame):
        log["pairs"] += [(q.name, target.name) for q in self._queries]
        return search(self, target, frame)

    def counting_build(points, *, threads=None):
        log["graphs"] += 1
        return build(points, threads=threads)

    monkeypatch.setattr(ornel._join.QuerySets, "search", counting_search)
    monkeypatch.setattr(ornel._cloud, "delaunay_graph", counting_build)
    return log


def same_table(got, want):
    assert got.names == want.names
    assert got.mean.tobytes() == want.mean.tobytes(), np.argwhere(got.mean != want.mean)
    assert got.max.tobytes() == want.max.tobytes(), np.argwhere(got.max != want.max)


@pytest.mark.parametrize("precision", ["f32", "f64"])
def test_tables_equal_store_less_runs_and_only_missing_pairs_are_searched(tmp_path, searches, precision):
    named = scan_like(np.random.default_rng(1))
    named["grid again"] = named["grid"]  # the same points under another name: one cloud
    fresh = lambda names: [ornel.Cloud(named[n], n) for n in names]  # noqa: E731
    names = list(named)
    want = ornel.all_by_all(fresh(names), threads=2, precision=precision)
    first = ["grid", "thin", "far1"]
    same_table(
        ornel.all_by_all(fresh(first), threads=2, precision=precision, store=tmp_path),
        ornel.all_by_all(fresh(first), threads=2, precision=precision),
    )
    searches["pairs"].clear()
    searches["graphs"] = 0
    same_table(ornel.all_by_all(fresh(names), threads=2, precision=precision, store=tmp_path), want)
    searched = {(q, t) for q, t in searches["pairs"] if named[q] is not named[t]}
    distinct = [n for n in names if n != "grid again"]
    missing = {(q, t) for q in distinct for t in distinct if q != t and not (q in first and t in first)}
    assert {(q.replace("grid again", "grid"), t.replace("grid again", "grid")) for q, t in searched} == missing
    assert searches["graphs"] <= len(distinct) - len(first) + (precision == "f32")  # old graphs come from the store
    # All stored: nothing searched, nothing built, the same table in another order.
    want = ornel.all_by_all(fresh(names[::-1]), threads=1, precision=precision)
    searches["pairs"].clear()
    searches["graphs"] = 0
    same_table(ornel.all_by_all(fresh(names[::-1]), threads=1, precision=precision, store=Store(tmp_path)), want)
    assert searches == {"pairs": [], "graphs": 0}
    # nearest takes the stored index of b and answers as without a store.
    b = ornel.Cloud(named["far2"], "b")
    got = ornel.nearest(named["far1"], b, precision=precision, store=tmp_path)
    assert searches["graphs"] == 0
    want_dists, _ = ornel.nearest(named["far1"], named["far2"], precision=precision)
    assert got[0].tobytes() == want_dists.tobytes() and got[0].dtype == want_dists.dtype


def far_scans(rng):
    """Scans 5e5 to 5e6 from the origin, quantised to millimetres, with duplicates: of
    different sizes and places, so that most have frames of their own."""
    base = np.round(rng.random((900, 3)) * [4, 3, 0.2], 3)
    clouds = {}
    for k, offset in enumerate([5e5, 9e5, 2e6, 5e6]):
        points = base[rng.choice(len(base), 700 + 40 * k)] * (1 + k) + offset + [0.5 * k, 0, 0]
        clouds[f"far{k}"] = points.astype(np.float32) if k == 2 else points
    clouds["near"] = np.round(rng.random((500, 3)), 2)
    return clouds


@pytest.mark.parametrize("precision", ["f32", "f64"])
def test_one_cloud_added_to_a_stored_table_equals_the_pairs_alone(tmp_path, monkeypatch, precision):
    named = far_scans(np.random.default_rng(11))
    fresh = lambda: [ornel.Cloud(a, n) for n, a in named.items()]  # noqa: E731
    # Every entry as its pair alone gives it (a one-cloud grouped query set), and in
    # double precision as cKDTree gives it.
    want = np.zeros((2, len(named), len(named)))
    for q, a in enumerate(named.values()):
        for t, b in enumerate(named.values()):
            if q != t:
                d = ornel.nearest(a, b, precision=precision)[0]
                if precision == "f64":
                    assert d.tobytes() == cKDTree(b).query(a)[0].tobytes()
                want[:, q, t] = np.add.reduceat(d, [0], dtype=np.float64)[0] / len(d), d.max()
    wanted = (want[0].tobytes(), want[1].tobytes())
    same = lambda table: (table.mean.tobytes(), table.max.tobytes()) == wanted  # noqa: E731
    assert same(ornel.all_by_all(fresh(), threads=2, precision=precision))
    for new in ("far3", "near"):
        directory = tmp_path / new
        ornel.all_by_all([c for c in fresh() if c.name != new], threads=2, precision=precision, store=directory)
        grouped, seeded = [], []
        monkeypatch.setattr(
            ornel._join.QuerySet, "__init__", lambda self, *a, **k: grouped.append(a) or _grouped_init(self, *a, **k)
        )
        monkeypatch.setattr(ornel._join, "reciprocal_starts", lambda *a: seeded.append(a) or _reciprocal(*a))
        assert same(ornel.all_by_all(fresh(), threads=2, precision=precision, store=directory))
        monkeypatch.undo()
        assert grouped == []  # each cloud searched on its own: no grouped set built for the new one
        # In single precision, every stored cloud's walks start from the new cloud's answers.
        assert len(seeded) == (len(named) - 1 if precision == "f32" else 0)
    # A query holding only the other precision's graph: it only seeds the walks.
    other = "f32" if precision == "f64" else "f64"
    a, b = ornel.Cloud(named["far1"], "a"), ornel.Cloud(named["far0"], "b")
    a.graph(other)
    mean, maximum = ornel.join_tile([b], [a], precision=precision)
    assert a.cached_graph(precision) is None
    assert (mean[0, 0], maximum[0, 0]) == tuple(want[:, 1, 0])


_grouped_init = ornel._join.QuerySet.__init__
_reciprocal = ornel._join.reciprocal_starts


def test_renamed_files_are_recognised_and_changed_files_are_not(tmp_path, searches):
    rng = np.random.default_rng(2)
    for name in "abc":
        np.save(tmp_path / f"{name}.npy", rng.random((300, 3)))
    load = lambda *names: [ornel.Cloud.load(tmp_path / f"{n}.npy") for n in names]  # noqa: E731
    store = Store(tmp_path / "store")
    ornel.all_by_all(load("a", "b", "c"), store=store)
    (tmp_path / "moved").mkdir()
    os.rename(tmp_path / "b.npy", tmp_path / "moved" / "b.npy")
    os.rename(tmp_path / "moved" / "b.npy", tmp_path / "renamed.npy")
    searches["pairs"].clear()
    ornel.all_by_all(load("a", "renamed", "c"), store=store)
    assert searches["pairs"] == []
    assert "renamed" in [cloud.name for cloud in store.clouds()]
    points = np.load(tmp_path / "c.npy")
    points[17] += 1e-9  # a changed file is another cloud, however small the change
    np.save(tmp_path / "c.npy", points)
    table = ornel.all_by_all(load("a", "renamed", "c"), store=store)
    assert {t for _, t in searches["pairs"]} == {"a", "renamed", "c"} and len(store.clouds()) == 4
    same_table(table, ornel.all_by_all(load("a", "renamed", "c")))


def damage(path, how):
    data = path.read_bytes()
    if how == "flipped data byte":
        path.write_bytes(data[:-5] + bytes([data[-5] ^ 0x10]) + data[-4:])
    elif how == "flipped header byte":
        path.write_bytes(data[:20] + bytes([data[20] ^ 0x01]) + data[21:])
    elif how == "truncated":
        path.write_bytes(data[: len(data) // 2])
    elif how == "emptied":
        path.write_bytes(b"")
    else:
        path.unlink()


@pytest.mark.parametrize("how", ["flipped data byte", "flipped header byte", "truncated", "emptied", "deleted"])
def test_damaged_files_are_reported_once_and_rebuilt(tmp_path, how):
    rng = np.random.default_rng(3)
    arrays = [rng.random((400, 3)) + k * 0.3 for k in range(3)]
    ornel.all_by_all([ornel.Cloud(a, f"c{k}") for k, a in enumerate(arrays)], threads=1, store=tmp_path)
    files = sorted((tmp_path / ARRAYS).iterdir(), key=lambda f: f.stat().st_size)
    for victim in (files[0], files[-1]):  # an order or offsets file, and a neighbour list
        damage(victim, how)
    reports = []
    store = Store(tmp_path, report=reports.append)
    with sqlite3.connect(tmp_path / DATABASE) as db:
        db.execute("DELETE FROM pairs")  # so that every index is needed again
    extra = rng.random((300, 3))
    clouds = [ornel.Cloud(a, f"c{k}") for k, a in enumerate(arrays)] + [ornel.Cloud(extra, "new")]
    same_table(
        ornel.all_by_all(clouds, threads=2, store=store),
        ornel.all_by_all([ornel.Cloud(c.points, c.name) for c in clouds], threads=2),
    )
    assert len(reports) == 2 and {Path(r.split(":")[0]).name for r in reports} == {files[0].name, files[-1].name}
    assert all("rebuilt" in r for r in reports)
    # Repaired: a new store object reads every index without a word.
    reports.clear()
    again = Store(tmp_path, report=reports.append)
    for cloud in clouds:
        fresh = ornel.Cloud(cloud.points, cloud.name)
        assert again.load_index(fresh, again.add([fresh])[0], "f32")
        np.testing.assert_array_equal(fresh.graph("f32")[1], cloud.graph("f32")[1])
    assert reports == []


def test_adopted_indexes_are_checked():
    points = np.random.default_rng(4).random((50, 3))
    donor = ornel.Cloud(points)
    order, (indptr, indices) = donor.order, donor.graph("f64")
    bad = {
        "short order": (order[:-1], indptr, indices),
        "repeated point": (np.r_[order[:-1], order[0]], indptr, indices),
        "negative": (np.r_[order[:-1], -1], indptr, indices),
        "offsets too short": (order, indptr[:-1], indices),
        "offsets past the end": (order, indptr + np.uint32(1), indices),
        "decreasing offsets": (order, indptr[::-1].copy(), indices),
        "point out of range": (order, indptr, np.where(indices == 0, np.uint32(50), indices)),
        "wrong type": (order, indptr.astype(np.int64), indices),
    }
    for what, (o, p, i) in bad.items():
        cloud = ornel.Cloud(points)
        with pytest.raises(ValueError):
            cloud.adopt_index(o, {"f64": (p, i)})
            pytest.fail(what)
        assert cloud.cached_graph("f64") is None, what
    cloud = ornel.Cloud(points)
    cloud.adopt_index(order, {"f64": (indptr, indices)})
    assert (
        ornel.nearest(points[::-1], cloud, precision="f64")[0].tobytes()
        == ornel.nearest(points[::-1], points, precision="f64")[0].tobytes()
    )


def test_a_newer_format_is_refused(tmp_path):
    Store(tmp_path).close()
    with sqlite3.connect(tmp_path / DATABASE) as db:
        db.execute("UPDATE meta SET value = ? WHERE key = 'format'", (str(FORMAT + 1),))
    with pytest.raises(StoreError, match=f"newer ornel .*format {FORMAT + 1}"):
        Store(tmp_path)
    np.save(tmp_path / "a.npy", np.random.default_rng(5).random((20, 3)))
    status, out, err = run("matrix", tmp_path / "a.npy", tmp_path / "a.npy", "--store", tmp_path)
    assert status == 2 and err.count("\n") == 1 and "newer ornel" in err


def write_scans(directory, count, points=3000):
    rng = np.random.default_rng(6)
    paths = []
    for k in range(count):
        paths.append(directory / f"s{k}.npy")
        np.save(paths[-1], rng.random((points, 3)) + [0.05 * k, 0, 0])
    return paths


def store_is_sound(directory):
    """Every index row names whole files of the recorded digest; every pair is finite.
    Returns the numbers of indexes and pairs."""
    store = Store(directory, report=pytest.fail)
    for cloud in store.clouds():
        for precision in cloud.precisions:
            frame, files = store._index_files(cloud.digest, precision)
            ornel._store.read_index(directory, files)
    with sqlite3.connect(directory / DATABASE) as db:
        assert all(np.isfinite(m) and np.isfinite(x) for m, x in db.execute("SELECT mean, max FROM pairs"))
        return tuple(db.execute(f"SELECT count(*) FROM {table}").fetchone()[0] for table in ("indexes", "pairs"))


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGINT])
def test_a_killed_writer_leaves_a_sound_store_and_its_finished_work(tmp_path, sig):
    paths = write_scans(tmp_path, 10, 20_000)
    process = ornel_command("matrix", *paths, "--store", tmp_path / "store", "--threads", "1")
    deadline = time.monotonic() + 240
    # Stopped once the first index is kept, while the other graphs are being built.
    while time.monotonic() < deadline and process.poll() is None:
        try:
            with sqlite3.connect(tmp_path / "store" / DATABASE, timeout=30) as db:
                if db.execute("SELECT count(*) FROM indexes").fetchone()[0] > 0:
                    break
        except sqlite3.OperationalError:
            pass
        time.sleep(0.02)
    assert process.poll() is None, "the run ended before it could be stopped"
    process.send_signal(sig)
    process.communicate(timeout=120)
    assert process.returncode in ((-signal.SIGKILL,) if sig == signal.SIGKILL else (130,))
    indexes, pairs = store_is_sound(tmp_path / "store")
    assert 0 < indexes < 10 and pairs == 0
    status, out, err = run("matrix", *paths, "--store", tmp_path / "store", "--csv", tmp_path / "with.csv")
    assert status == 0 and err == ""
    assert run("matrix", *paths, "--csv", tmp_path / "without.csv")[0] == 0
    assert (tmp_path / "with.csv").read_text() == (tmp_path / "without.csv").read_text()
    assert store_is_sound(tmp_path / "store") == (10, 90)


def test_two_writers_at_once_and_many_threads_keep_the_store_consistent(tmp_path):
    paths = write_scans(tmp_path, 7, 2000)
    directory = tmp_path / "store"
    first = ornel_command("matrix", *paths[:5], "--store", directory, "--csv", tmp_path / "one.csv", "--f32")
    second = ornel_command("matrix", *paths[2:], "--store", directory, "--csv", tmp_path / "two.csv", "--f64")
    third = ornel_command("matrix", *paths[1:6], "--store", directory, "--f32")
    for process in (first, second, third):
        out, err = process.communicate(timeout=300)
        assert process.returncode == 0, err
    assert store_is_sound(directory)[1] == 28 + 20  # f32: of s0..s4 and of s1..s5; f64: of s2..s6
    # Threads sharing one Store object: every table is the store-less one.
    clouds = [ornel.Cloud.load(p) for p in paths]
    want = ornel.all_by_all([ornel.Cloud(c.points, c.name) for c in clouds], threads=1)
    store = Store(directory)
    tables = [None] * 4
    threads = [
        threading.Thread(
            target=lambda k=k: tables.__setitem__(
                k, ornel.all_by_all([ornel.Cloud(c.points, c.name) for c in clouds], threads=1, store=store)
            )
        )
        for k in range(4)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for table in tables:
        same_table(table, want)
    assert store_is_sound(directory)[1] == 42 + 20


def test_index_compare_store_and_prune_commands(tmp_path):
    paths = write_scans(tmp_path, 3, 1500)
    directory = tmp_path / "store"
    status, out, err = run("index", *paths, "--store", directory)
    assert status == 0 and out.count("index built") == 3
    assert run("index", paths[0], "--store", directory)[1].count("already stored") == 1
    status, out, err = run("compare", paths[1], paths[0], "--store", directory)
    assert status == 0 and out == run("compare", paths[1], paths[0])[1]
    run("matrix", *paths, "--store", directory)
    (directory / ARRAYS / ".tmp-left-by-a-killed-writer").write_bytes(b"x" * 100)
    os.utime(directory / ARRAYS / ".tmp-left-by-a-killed-writer", (0, 0))
    status, out, err = run("store", directory)
    assert status == 0 and "3 clouds (4,500 points), 3 indexes, pairs: 6 f64" in out  # the command's default
    status, out, err = run("store", directory, paths[0], paths[2], "--prune")
    assert status == 0 and "removed 1 clouds, 4 pairs, 4 files" in out
    assert "2 clouds (3,000 points), 2 indexes, pairs: 2 f64" in out
    assert len(list((directory / ornel._store.MANIFESTS).iterdir())) == 2  # the pruned index's manifest went too
    assert sorted(os.listdir(tmp_path)) == sorted([p.name for p in paths] + ["store"])  # inputs untouched
    for bad in (["store", tmp_path / "nowhere"], ["store", tmp_path]):
        status, out, err = run(*bad)
        assert status == 2 and err.count("\n") == 1 and err.startswith("ornel: error: ")


def in_mount_namespace(mount, directory, purpose):
    """The command prefix that runs a command in a mount namespace of its own, after `mount`
    (a shell command, `$0` being `directory`); skips the test where there is none."""
    namespace = ["unshare", "--mount", "--propagation", "private", "sh", "-c", mount + ' && exec "$@"', str(directory)]
    if subprocess.run(namespace + ["true"], capture_output=True, timeout=60).returncode != 0:
        pytest.skip(f"no mount namespace to {purpose}")
    return namespace


def run_read_only(directory, *args):
    """The command with `directory` read-only to it: by permissions, or for root (whom
    they do not stop) by a read-only bind mount in a mount namespace of its own."""
    command = ([str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]) + [str(a) for a in args]
    if os.geteuid() != 0:
        for path, mode in ((directory, 0o555), (directory / DATABASE, 0o444)):
            path.chmod(mode)
        done = subprocess.run(command, capture_output=True, text=True, timeout=300)
        directory.chmod(0o755)
        (directory / DATABASE).chmod(0o644)
        return done.returncode, done.stdout, done.stderr
    namespace = in_mount_namespace('mount --bind -o ro "$0" "$0"', directory, "make a read-only directory in")
    done = subprocess.run(namespace + command, capture_output=True, text=True, timeout=300)
    return done.returncode, done.stdout, done.stderr


def test_a_read_only_store_is_read_and_refuses_writes_in_one_line(tmp_path):
    paths = write_scans(tmp_path, 3, 1500)
    directory = tmp_path / "store"
    assert run("matrix", *paths[:2], "--store", directory)[0] == 0
    before = {p: p.stat().st_mtime_ns for p in directory.rglob("*")}
    status, out, err = run_read_only(directory, "store", directory)
    assert status == 0 and err == "" and "2 clouds (3,000 points), 2 indexes, pairs: 2 f64" in out
    status, out, err = run_read_only(directory, "matrix", *paths[:2], "--store", directory)
    assert status == 0 and err == "" and out == run("matrix", *paths[:2])[1]
    status, out, err = run_read_only(directory, "compare", paths[0], paths[1], "--store", directory)
    assert status == 0 and err == "" and out == run("compare", paths[0], paths[1])[1]
    for args in (
        ["matrix", *paths, "--store", directory],
        ["compare", paths[0], paths[2], "--store", directory],
        ["index", paths[2], "--store", directory],
        ["store", directory, "--prune"],
    ):
        status, out, err = run_read_only(directory, *args)
        assert status == 2 and err.count("\n") == 1 and "read-only" in err, (args, err)
    assert {p: p.stat().st_mtime_ns for p in directory.rglob("*")} == before
    # A writer still at work (rows only in its log so far): a reader sees what it committed.
    with Store(directory) as store:
        ornel.all_by_all([ornel.Cloud.load(p) for p in paths], store=store)
        assert (directory / f"{DATABASE}-wal").stat().st_size > 0
        status, out, err = run_read_only(directory, "store", directory)
        # The command's pairs and indexes (f64) beside the package's (f32, its default).
        assert status == 0 and "3 clouds (4,500 points), 5 indexes, pairs: 6 f32, 2 f64" in out, err


def test_waiting_too_long_for_the_lock_is_one_line(tmp_path, monkeypatch, capsys):
    from ornel._command import main

    Store(tmp_path).close()
    monkeypatch.setattr(ornel._store, "BUSY_SECONDS", 1)
    holder = sqlite3.connect(tmp_path / DATABASE, isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")
    assert main(["store", str(tmp_path), "--prune"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and re.search(r"another process holds the store's lock .* after waiting \d+ s", err)
    holder.execute("ROLLBACK")
    assert main(["store", str(tmp_path), "--prune"]) == 0


# -- damage to the database, and writes that fail -------------------------------------


def checkpointed(directory):
    """The store's database file holding every row (its log folded in), for byte surgery."""
    with sqlite3.connect(directory / DATABASE) as db:
        db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        root = dict(db.execute("SELECT name, rootpage FROM sqlite_master WHERE type = 'table'"))
        page = db.execute("PRAGMA page_size").fetchone()[0]
    return root, page


def flip_in_file(path, value, bit):
    """Flips one bit of the first place where `value` (bytes) is stored."""
    raw = bytearray(path.read_bytes())
    at = raw.find(value)
    assert at >= 0
    raw[at + len(value) // 2] ^= 1 << bit
    path.write_bytes(raw)


@pytest.mark.parametrize("bit", [0, 6])
def test_a_changed_bit_in_a_pair_or_cloud_row_is_reported_once_and_the_pair_recomputed(tmp_path, searches, bit):
    rng = np.random.default_rng(20)
    named = {f"c{k}": rng.random((500, 3)) + 0.2 * k for k in range(3)}
    fresh = lambda: [ornel.Cloud(a, n) for n, a in named.items()]  # noqa: E731
    want = ornel.all_by_all(fresh(), threads=1)
    ornel.all_by_all(fresh(), threads=1, store=tmp_path)
    checkpointed(tmp_path)
    with sqlite3.connect(tmp_path / DATABASE) as db:
        (mean,) = db.execute("SELECT mean FROM pairs ORDER BY query, target LIMIT 1").fetchone()
        (box,) = db.execute("SELECT hi_x FROM clouds ORDER BY digest LIMIT 1").fetchone()
    # SQLite keeps reals big-endian; its own integrity check sees nothing wrong after this.
    flip_in_file(tmp_path / DATABASE, struct.pack(">d", mean), bit)
    flip_in_file(tmp_path / DATABASE, struct.pack(">d", box), bit)
    with sqlite3.connect(tmp_path / DATABASE) as db:
        assert db.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    reports = []
    searches["pairs"].clear()
    same_table(ornel.all_by_all(fresh(), threads=1, store=Store(tmp_path, report=reports.append)), want)
    assert len({(q, t) for q, t in searches["pairs"] if q != t}) == 1  # only the damaged pair searched again
    assert len(reports) == 2 and "1 stored pair not as written (damaged)" in " ".join(reports)
    assert "1 cloud row" in " ".join(reports)
    # Mended: a new store object reads every row without a word, and searches nothing.
    reports.clear()
    searches["pairs"].clear()
    again = Store(tmp_path, report=reports.append)
    same_table(ornel.all_by_all(fresh(), threads=1, store=again), want)
    assert reports == [] and not [(q, t) for q, t in searches["pairs"] if q != t] and len(again.clouds()) == 3
    # NumPy scalars are kept as the plain numbers SQLite gives back, so their rows check.
    digests = [c.digest for c in again.clouds()]
    again.put_pairs([(digests[0], digests[1], "f64", np.float64(0.25), np.float32(0.5), np.int64(500))])
    assert Store(tmp_path, report=reports.append).pairs(digests, "f64") == {(digests[0], digests[1]): (0.25, 0.5)}
    assert reports == []


def run_matrix_csv(paths, directory, name):
    status, out, err = run("matrix", *paths, "--store", directory, "--csv", directory.parent / name)
    assert status == 0, err
    return (directory.parent / name).read_text()


@pytest.mark.parametrize("damage", ["zeroed pairs page", "zeroed first page", "format 2.0", "deleted"])
def test_a_damaged_database_is_one_line_and_repair_rebuilds_it_from_what_can_be_trusted(tmp_path, damage):
    paths = write_scans(tmp_path, 3, 1500)
    directory = tmp_path / "store"
    want = run_matrix_csv(paths, directory, "want.csv")
    root, page = checkpointed(directory)
    database = directory / DATABASE
    raw = bytearray(database.read_bytes())
    if damage == "zeroed pairs page":
        raw[(root["pairs"] - 1) * page : root["pairs"] * page] = bytes(page)
        database.write_bytes(raw)
    elif damage == "zeroed first page":
        raw[:page] = bytes(page)
        database.write_bytes(raw)
    elif damage == "format 2.0":
        with sqlite3.connect(database) as db:
            db.execute("UPDATE meta SET value = '2.0' WHERE key = 'format'")
    else:
        database.unlink()
    if damage != "deleted":
        commands = [["matrix", *paths, "--store", directory], ["store", directory]]
        if damage != "zeroed pairs page":  # what reads no pair still works
            commands += [
                ["compare", paths[0], paths[1], "--store", directory],
                ["index", paths[0], "--store", directory],
            ]
        for args in commands:
            status, out, err = run(*args)
            assert status == 2 and err.count("\n") == 1, (args, err)
            assert "damaged" in err and f"ornel store {directory} --repair" in err and "Traceback" not in err
    status, out, err = run("store", directory, "--repair")
    assert status == 0 and err == "", err
    # Every index comes back from its manifest and array files; pairs only where readable.
    assert "3 clouds, 3 indexes" in out and "3 clouds (4,500 points), 3 indexes" in out
    assert ("and 6 pairs kept" in out) == (damage == "format 2.0")
    assert (damage == "deleted") == ("kept as" not in out)
    graphs = []
    store = Store(directory, report=pytest.fail)
    for path in paths:  # the indexes of the command's precision, double
        cloud = ornel.Cloud.load(path)
        assert store.load_index(cloud, store.add([cloud])[0], "f64")
        graphs.append(cloud.graph("f64"))
    assert run_matrix_csv(paths, directory, "got.csv") == want
    assert store_is_sound(directory) == (3, 6)


def test_a_store_without_checksums_is_migrated_and_read_as_before(tmp_path, searches):
    rng = np.random.default_rng(21)
    named = {f"c{k}": rng.random((400, 3)) + 0.3 * k for k in range(3)}
    fresh = lambda: [ornel.Cloud(a, n) for n, a in named.items()]  # noqa: E731
    want = ornel.all_by_all(fresh(), threads=1)
    ornel.all_by_all(fresh(), threads=1, store=tmp_path)
    # The older format: no checksums, no manifests.
    db = sqlite3.connect(tmp_path / DATABASE, isolation_level=None)
    for table in ("clouds", "pairs"):
        db.execute(f"ALTER TABLE {table} DROP COLUMN checksum")
    db.execute("UPDATE meta SET value = '1' WHERE key = 'format'")
    db.close()
    for manifest in (tmp_path / ornel._store.MANIFESTS).iterdir():
        manifest.unlink()
    # Where it cannot be migrated (read-only), it is read as it is.
    status, out, err = run_read_only(tmp_path, "store", tmp_path)
    assert status == 0 and err == "" and "3 clouds (1,200 points), 3 indexes, pairs: 6 f32" in out, err
    searches["pairs"].clear()
    searches["graphs"] = 0
    same_table(ornel.all_by_all(fresh(), threads=1, store=Store(tmp_path, report=pytest.fail)), want)
    assert searches == {"pairs": [], "graphs": 0}
    with sqlite3.connect(tmp_path / DATABASE) as db:
        assert db.execute("SELECT value FROM meta WHERE key = 'format'").fetchone() == (str(FORMAT),)
        assert db.execute("SELECT count(*) FROM pairs WHERE checksum IS NOT NULL").fetchone() == (6,)
    assert len(list((tmp_path / ornel._store.MANIFESTS).iterdir())) == 3
    # A damaged row of the migrated store is seen like any other.
    with sqlite3.connect(tmp_path / DATABASE) as db:
        db.execute("UPDATE pairs SET mean = mean * 1.046 WHERE rowid = 1")
    reports = []
    same_table(ornel.all_by_all(fresh(), threads=1, store=Store(tmp_path, report=reports.append)), want)
    assert len(reports) == 1


def limited_run(limit, *args):
    """The command with files limited to `limit` bytes (Python ignores SIGXFSZ: writes fail with EFBIG)."""
    import resource

    command = ([str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]) + [str(a) for a in args]
    done = subprocess.run(
        command,
        capture_output=True,
        text=True,
        timeout=300,
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)),
    )
    return done.returncode, done.stdout, done.stderr


@pytest.mark.parametrize("limit", [20_000, 60_000])
def test_a_file_size_limit_while_writing_a_store_is_one_line_and_leaves_nothing_half_written(tmp_path, limit):
    # 20 kB stops the database's log, 60 kB a neighbour list.
    paths = write_scans(tmp_path, 3, 2000)
    want = run_matrix_csv(paths, tmp_path / "reference", "want.csv")
    directory = tmp_path / "store"
    for args in (
        ["matrix", *paths, "--store", directory],
        ["compare", paths[0], paths[1], "--store", directory],
        ["index", *paths, "--store", directory],
    ):
        status, out, err = limited_run(limit, *args)
        assert status == 2 and err.count("\n") == 1 and "cannot be written" in err, (args, err)
        assert "Traceback" not in err
        assert not [p for p in directory.rglob("*") if p.name.startswith(ornel._store.TEMPORARY_PREFIX)]
        store_is_sound(directory)
    assert run_matrix_csv(paths, directory, "got.csv") == want
    assert store_is_sound(directory) == (3, 6)


def test_a_full_disk_while_writing_a_store_is_one_line(tmp_path):
    """A real ENOSPC: the store on a small tmpfs, mounted in a namespace of the command's own."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    paths = write_scans(tmp_path, 3, 2000)
    directory = tmp_path / "store"
    directory.mkdir()
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]
    namespace = in_mount_namespace('mount -t tmpfs -o size=96k tmpfs "$0"', directory, "mount a small file system in")
    for args in (["matrix", *paths], ["index", *paths], ["compare", paths[0], paths[1]]):
        done = subprocess.run(
            namespace + command + [*map(str, args), "--store", str(directory)],
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
        assert "cannot be written" in done.stderr
        assert "No space left" in done.stderr or "disk is full" in done.stderr
