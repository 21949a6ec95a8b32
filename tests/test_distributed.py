"""all_by_all on a two-worker LocalCluster against the local call: same table bit for bit,
work on both workers, a worker killed mid-run, the command's --scheduler option."""

import os
import socket
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest
from conftest import DATA

distributed = pytest.importorskip("distributed")

import ornel
from ornel.distributed import TILE_KEY_PREFIX

# No test may hang: every cluster call is given this long before the test fails.
TIMEOUT = 180


def within(seconds, function, *args, **kwargs):
    """function(*args, **kwargs), failing the test instead of hanging past `seconds`."""
    pool = ThreadPoolExecutor(1)
    try:
        return pool.submit(function, *args, **kwargs).result(timeout=seconds)
    finally:
        pool.shutdown(wait=False)


def start_cluster():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=40
    )
    return cluster, distributed.Client(cluster, timeout=60)


@pytest.fixture(scope="module")
def client():
    cluster, client = within(TIMEOUT, start_cluster)
    yield client
    within(TIMEOUT, client.close)
    within(TIMEOUT, cluster.close)


def collection(seed):
    """Eight clouds like real scans: pieces of the scans in data/, quantised ones with many
    duplicates, a thin one, a cospherical one; one far from the origin to force a shift."""
    rng = np.random.default_rng(seed)
    clouds = []
    for name in ("fandisk", "rocker-arm", "stanford-bunny"):
        points = np.load(DATA / f"{name}.npy")
        clouds.append(ornel.Cloud(points[rng.choice(len(points), 1500, replace=False)], name))
    clouds.append(ornel.Cloud(np.round(rng.random((900, 3)) * 6) / 6, "grid"))
    clouds.append(ornel.Cloud(np.round(rng.random((700, 3)) * 9) / 9 * [1, 1, 0.01], "flat-grid"))
    sphere = rng.normal(size=(600, 3))
    clouds.append(ornel.Cloud(sphere / np.linalg.norm(sphere, axis=1)[:, None] * 0.4 + 0.5, "sphere"))
    clouds.append(ornel.Cloud(np.c_[rng.random((800, 2)), rng.random(800) * 1e-3], "thin"))
    clouds.append(ornel.Cloud(rng.random((1000, 3)).astype(np.float32), "single"))
    return clouds


def assert_same_table(got, want, precision="f64"):
    """Bit for bit in both precisions: every entry depends on its pair alone, not on the
    clouds its tile groups it with."""
    assert got.names == want.names
    assert got.mean.tobytes() == want.mean.tobytes(), np.argwhere(got.mean != want.mean)
    assert got.max.tobytes() == want.max.tobytes(), np.argwhere(got.max != want.max)


def test_cluster_table_equals_brute_force_wherever_the_clouds_lie(client):
    from scipy.spatial import cKDTree

    rng = np.random.default_rng(11)
    base = np.round(rng.random((700, 3)) * [30, 20, 2], 3)
    clouds = [
        ornel.Cloud(base[rng.permutation(700)[:500]] + offset + rng.normal(0, 0.05, 3), f"at{offset:g}")
        for offset in (0.0, 5e2, 5e5, 5e6)
        for _ in range(2)
    ]
    for precision in ("f64", "f32"):
        table = within(TIMEOUT, ornel.distributed.all_by_all, clouds, client, precision=precision, tile=2)
        for i, a in enumerate(clouds):
            for j, b in enumerate(clouds):
                if i == j:
                    continue
                ref = cKDTree(b.points).query(a.points)[0]
                if precision == "f64":
                    assert table.max[i, j] == ref.max() and table.mean[i, j] == pytest.approx(np.mean(ref), rel=1e-13)
                else:
                    reach = np.abs(np.r_[a.points, b.points] - (b.frame or 0)).max()
                    assert abs(table.max[i, j] - ref.max()) <= 2.0**-22 * reach + 2.0**-23 * ref.max()


@pytest.mark.parametrize("precision", ["f64", "f32"])
def test_cluster_table_equals_the_local_one_whatever_the_tiles(client, precision):
    clouds = collection(1)
    far = ornel.Cloud(
        np.random.default_rng(2).random((600, 3)) * [3, 3, 1] + [431_000.5, 5_412_000.25, 212.0], "georeferenced"
    )
    for members in (clouds, [*clouds[:4], far, clouds[5]]):
        local = ornel.all_by_all(members, threads=2, precision=precision)
        # Fresh copies, so that nothing built by the local call is reused.
        for tile in (None, 1, 3, len(members)):
            copies = [ornel.Cloud(c.points, c.name) for c in members]
            remote = within(TIMEOUT, ornel.distributed.all_by_all, copies, client, precision=precision, tile=tile)
            assert_same_table(remote, local, precision)
    # The entry point of the package takes the client too.
    assert_same_table(
        within(TIMEOUT, ornel.all_by_all, clouds, precision=precision, client=client),
        ornel.all_by_all(clouds, threads=1, precision=precision),
        precision,
    )


def test_work_lands_on_both_workers_and_tiles_cover_the_matrix_once(client):
    clouds = collection(3)
    with distributed.get_task_stream(client) as stream:
        within(TIMEOUT, ornel.distributed.all_by_all, clouds, client, tile=2)
    tiles = [task for task in stream.data if str(task["key"]).startswith(TILE_KEY_PREFIX)]
    assert len(tiles) == 16  # 8 clouds, 2 per block side: 4 blocks, 16 tiles, each run once
    assert {task["worker"] for task in tiles} == set(client.scheduler_info()["workers"])


def test_small_collections_and_clouds_that_cannot_be_searched(client):
    empty = within(TIMEOUT, ornel.distributed.all_by_all, [], client)
    assert empty.names == [] and empty.mean.shape == (0, 0)
    one = within(TIMEOUT, ornel.distributed.all_by_all, [np.random.default_rng(0).random((20, 3))], client)
    assert one.mean.tolist() == [[0.0]] and one.names == ["cloud0"]
    # A flat cloud has its planar graph: joined like any other.
    flat = ornel.Cloud(np.c_[np.random.default_rng(1).random((40, 2)), np.zeros(40)], "flat")
    members = [*collection(4)[:3], flat]
    assert_same_table(
        within(TIMEOUT, ornel.distributed.all_by_all, members, client), ornel.all_by_all(members, threads=1), "f32"
    )
    with pytest.raises(ValueError, match="tile must be at least 1"):
        ornel.distributed.all_by_all(collection(4)[:2], client, tile=0)


class KillOnce(distributed.WorkerPlugin):
    """Kills the worker it runs on when that worker starts its second tile, on one
    worker only: the first to create the flag file."""

    def __init__(self, flag):
        self.flag, self.started = flag, 0

    def transition(self, key, start, finish, **kwargs):
        if finish != "executing" or not str(key).startswith(TILE_KEY_PREFIX):
            return
        self.started += 1
        if self.started == 2:
            try:
                os.close(os.open(self.flag, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
            except FileExistsError:
                return
            os._exit(1)


def test_a_worker_killed_mid_run_leaves_the_table_unchanged(tmp_path):
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[__name__])  # the workers cannot import this file
    clouds = collection(5)
    local = ornel.all_by_all(clouds, threads=2, precision="f64")
    cluster, client = within(TIMEOUT, start_cluster)
    try:
        flag = tmp_path / "killed"
        client.register_plugin(KillOnce(str(flag)), name="kill-once")
        remote = within(TIMEOUT, ornel.distributed.all_by_all, clouds, client, precision="f64", tile=2)
        assert flag.exists(), "no worker was killed: the test proved nothing"
        assert_same_table(remote, local)
    finally:
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])
        within(TIMEOUT, client.close)
        within(TIMEOUT, cluster.close)


def run_command(*args):
    script = Path(sys.executable).parent / "ornel"
    command = [str(script)] if script.exists() else [sys.executable, "-m", "ornel"]
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True, timeout=TIMEOUT)


@pytest.mark.parametrize("precision", [[], ["--f64"]])
def test_scheduler_option_writes_the_csv_of_a_local_run(client, tmp_path, precision):
    rng = np.random.default_rng(6)
    files = []
    for name in ("fandisk", "rocker-arm", "stanford-bunny"):
        points = np.load(DATA / f"{name}.npy")
        files.append(tmp_path / f"{name}.npy")
        np.save(files[-1], points[rng.choice(len(points), 2000, replace=False)])
    for k in range(3):
        files.append(tmp_path / f"scan{k}.npy")
        np.save(files[-1], np.round(rng.random((1500, 3)) * [40, 40, 4]) / 40)  # quantised, duplicates
    local = run_command("matrix", *files, "--csv", tmp_path / "local.csv", *precision)
    assert local.returncode == 0, local.stderr
    remote = run_command(
        "matrix", *files, "--csv", tmp_path / "remote.csv", *precision, "--scheduler", client.scheduler.address
    )
    assert remote.returncode == 0, remote.stderr
    assert remote.stdout == local.stdout
    assert (tmp_path / "remote.csv").read_bytes() == (tmp_path / "local.csv").read_bytes()
    assert len((tmp_path / "remote.csv").read_text().splitlines()) == 1 + 6 * 5 // 2


def test_scheduler_option_without_a_scheduler_fails_in_one_line(tmp_path):
    files = []
    for k in range(2):
        files.append(tmp_path / f"c{k}.npy")
        np.save(files[-1], np.random.default_rng(k).random((50, 3)))
    with socket.socket() as unused:  # a port nobody listens on
        unused.bind(("127.0.0.1", 0))
        port = unused.getsockname()[1]
    result = run_command("matrix", *files, "--scheduler", f"tcp://127.0.0.1:{port}")
    assert result.returncode == 2
    assert result.stderr.startswith(f"ornel: error: no Dask scheduler answered at tcp://127.0.0.1:{port}")
    assert result.stderr.count("\n") == 1


def test_a_cluster_without_usable_workers_fails_in_one_line_naming_the_scheduler(tmp_path):
    files = []
    for k in range(2):
        files.append(tmp_path / f"c{k}.npy")
        np.save(files[-1], np.random.default_rng(k).random((50, 3)))
    cluster = within(TIMEOUT, distributed.LocalCluster, n_workers=0, dashboard_address=":0", silence_logs=40)
    try:
        address = cluster.scheduler_address
        result = run_command("matrix", *files, "--scheduler", address)
        assert result.returncode == 2 and result.stderr.count("\n") == 1, result.stderr
        assert result.stderr.startswith(
            f"ornel: error: the Dask scheduler at {address} has no workers: none joined within 10 s"
        )
        # A worker whose Python finds no ornel (here: one that fails to import, first on its path).
        (tmp_path / "elsewhere" / "ornel").mkdir(parents=True)
        (tmp_path / "elsewhere" / "ornel" / "__init__.py").write_text(
            "raise ModuleNotFoundError(\"No module named 'ornel'\")\n"
        )
        worker = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "distributed.cli.dask_worker",
                address,
                "--no-nanny",
                "--nthreads",
                "1",
                "--no-dashboard",
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            env={**os.environ, "PYTHONPATH": str(tmp_path / "elsewhere")},
        )
        try:
            with distributed.Client(address, timeout=60) as client:
                within(TIMEOUT, client.wait_for_workers, 1)
            result = run_command("matrix", *files, "--scheduler", address)
            assert result.returncode == 2 and result.stderr == (
                f"ornel: error: the workers of the Dask scheduler at {address} cannot import ornel "
                "(No module named 'ornel'): install ornel with its dask extra there\n"
            )
        finally:
            worker.terminate()
            worker.wait(TIMEOUT)
    finally:
        within(TIMEOUT, cluster.close)


def test_all_by_all_wants_a_running_client(client):
    clouds = collection(6)[:2]
    closed = within(TIMEOUT, distributed.Client, client.scheduler.address, timeout=60)
    within(TIMEOUT, closed.close)
    for wrong, shown in (
        (client.scheduler.address, "str 'tcp://"),
        (client.cluster, "not LocalCluster"),
        (closed, "not a closed Client"),
    ):
        with pytest.raises(TypeError, match=r"client must be a running distributed\.Client") as info:
            ornel.all_by_all(clouds, client=wrong)
        assert shown in str(info.value)


@pytest.mark.parametrize("shared, precision", [(True, "f32"), (False, "f64")])
def test_cluster_runs_into_a_store_compute_only_missing_pairs(client, tmp_path, monkeypatch, shared, precision):
    from ornel._join import QuerySets
    from ornel.distributed import STORED_GRAPH_KEY_PREFIX

    if not shared:  # as if the workers ran on machines without the store's directory
        monkeypatch.setattr(ornel.distributed, "store_is_shared", lambda client, store: False)
    clouds = collection(7)
    fresh = lambda members: [ornel.Cloud(c.points, c.name) for c in members]  # noqa: E731
    local = ornel.all_by_all(fresh(clouds), threads=2, precision=precision)
    ornel.all_by_all(fresh(clouds[:5]), threads=2, precision=precision, store=tmp_path)
    with distributed.get_task_stream(client) as stream:
        remote = within(TIMEOUT, ornel.all_by_all, fresh(clouds), precision=precision, client=client, store=tmp_path)
    assert_same_table(remote, local)
    keys = [str(task["key"]) for task in stream.data]
    # The five stored targets are searched only by the three new clouds: read, not built.
    assert sum(k.startswith(STORED_GRAPH_KEY_PREFIX) for k in keys) == (5 if shared else 0)
    assert sum(k.startswith(TILE_KEY_PREFIX) for k in keys) >= 2
    # Everything the cluster computed was written by the client: a local run searches nothing.
    searched = []
    monkeypatch.setattr(QuerySets, "search", lambda self, target, frame: searched.append(target))
    assert_same_table(ornel.all_by_all(fresh(clouds), threads=1, precision=precision, store=tmp_path), local)
    assert searched == []
    store = ornel.Store(tmp_path)
    assert all(cloud.precisions == (precision,) for cloud in store.clouds())
