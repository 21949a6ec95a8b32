"""ornel.delaunay and ornel.delaunay_graph on several threads: the perturbed tetrahedralisation is
unique, so every thread count must give the same bytes of CSR graph and the same set of tetrahedra."""

import hashlib
import os
import pathlib
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import ornel

# Even permutations of four positions: they keep a tetrahedron's orientation.
EVEN = [
    (0, 1, 2, 3),
    (1, 2, 0, 3),
    (2, 0, 1, 3),
    (0, 2, 3, 1),
    (0, 3, 1, 2),
    (1, 0, 3, 2),
    (1, 3, 2, 0),
    (2, 1, 3, 0),
    (2, 3, 0, 1),
    (3, 0, 2, 1),
    (3, 1, 0, 2),
    (3, 2, 1, 0),
]


def canonical_tetrahedra(tets):
    """Each row turned (orientation kept) to its lexicographically smallest form, rows sorted."""
    tets = np.asarray(tets, np.int64)
    turned = np.stack([tets[:, list(p)] for p in EVEN])
    key = (turned[..., 0] << 42) + (turned[..., 1] << 21) + turned[..., 2]
    rows = turned[key.argmin(0), np.arange(len(tets))]
    return rows[np.lexsort(rows.T[::-1])]


def shells(low, high):
    """Every integer point on the spheres of radius low..high around the origin: each shell cospherical."""
    r = np.arange(-high, high + 1)
    x, y, z = (a.ravel() for a in np.meshgrid(r, r, r, indexing="ij"))
    squared = x * x + y * y + z * z
    keep = np.isin(squared, np.arange(low, high + 1) ** 2)
    return np.stack([x[keep], y[keep], z[keep]], 1).astype(np.float64)


def awkward_clouds():
    rng = np.random.default_rng(21)
    axis = np.arange(26.0)
    grid = np.stack(np.meshgrid(axis, axis, axis, indexing="ij"), -1).reshape(-1, 3)
    # A scan-like closed surface, quantised to 1e-3: cavities reach across its inside, so a
    # parallel round's insertions take tetrahedra far from their own points, near other threads'.
    sphere = rng.normal(size=(16000, 3))
    sphere = np.round(sphere / np.linalg.norm(sphere, axis=1, keepdims=True) * (1 + 0.003 * rng.random((16000, 1))), 3)
    return {
        "uniform": rng.random((20000, 3)),
        "quantised surface": sphere,
        "grid": grid,
        "cospherical shells": shells(12, 19),
        "quantised slab": np.round(rng.random((20000, 3)) * 24) / 24 * [1, 1, 0.01],
        "georeferenced": rng.random((20000, 3)) * [80, 80, 6] + [512_300.25, 5_402_100.5, 310.0],
        "1e300": rng.random((12000, 3)) * 1e300,
        "1e-300": rng.random((12000, 3)) * 1e-300,
        "clustered duplicates": np.repeat(rng.normal(size=(4000, 3)), 3, axis=0)[rng.permutation(12000)],
        "float32": rng.normal(size=(20000, 3)).astype(np.float32),
        # Single precision 5e6 away: coordinates a quarter or half apart, full of exact ties.
        "float32 georeferenced": (rng.random((20000, 3)) * [400, 400, 30] + [5e5, 5e6, 310.0]).astype(np.float32),
    }


def scans():
    """Real scans: a closed scanned surface, a CAD model's samples, and the scan squashed nearly
    flat, so that its tetrahedra are long slivers joining far parts of it."""
    data = pathlib.Path(__file__).resolve().parent.parent / "data"
    bunny = np.load(data / "stanford-bunny.npy").astype(np.float64)
    return {
        "bunny scan": bunny,
        "fandisk": np.load(data / "fandisk.npy").astype(np.float64),
        "bunny squashed flat": bunny * [1.0, 1.0, 1e-3],
    }


CLOUDS = awkward_clouds() | scans()


@pytest.mark.parametrize("name", CLOUDS)
def test_every_thread_count_gives_the_same_graph_and_tetrahedra(name):
    cloud = CLOUDS[name]
    indptr, indices = ornel.delaunay_graph(cloud, threads=1)
    tets = canonical_tetrahedra(ornel.delaunay(cloud, threads=1))
    for threads in (2, 3, 8):
        other_indptr, other_indices = ornel.delaunay_graph(cloud, threads=threads)
        assert other_indptr.tobytes() == indptr.tobytes(), threads
        assert other_indices.tobytes() == indices.tobytes(), threads
        assert canonical_tetrahedra(ornel.delaunay(cloud, threads=threads)).tobytes() == tets.tobytes(), threads


def graph_of_tetrahedra(tets, n):
    """The vertex adjacency of tetrahedra as CSR rows in ascending order, by NumPy alone."""
    tets = np.asarray(tets, np.int64)
    pairs = np.concatenate([tets[:, [i, j]] for i in range(4) for j in range(4) if i != j])
    pairs = np.unique(pairs[:, 0] * n + pairs[:, 1])
    return np.concatenate([[0], np.cumsum(np.bincount(pairs // n, minlength=n))]), pairs % n


@pytest.mark.parametrize(
    "name",
    ["uniform", "grid", "cospherical shells", "georeferenced", "1e300", "hub", "quantised slab", "quantised surface"],
)
def test_the_graph_is_the_edges_of_the_tetrahedra(name):
    """The graph is read off by turning around the edges of each vertex's star, the tetrahedra by a
    sweep: they must agree, on one thread and on several. "hub": one vertex joined to every point of
    a shell around it, a row hundreds long. The quantised clouds, full of ties, without their
    duplicates (which get their rows from the points they equal, not from the tetrahedra)."""
    cloud = np.concatenate([shells(19, 19), [[0.0, 0.0, 0.0]]]) if name == "hub" else CLOUDS[name]
    if name.startswith("quantised"):
        cloud = np.unique(cloud, axis=0)
    indptr, indices = graph_of_tetrahedra(ornel.delaunay(cloud, threads=1), len(cloud))
    if name == "hub":
        assert indptr[-1] - indptr[-2] == len(cloud) - 1
    for threads in (1, 2):
        got_indptr, got_indices = ornel.delaunay_graph(cloud, threads=threads)
        np.testing.assert_array_equal(got_indptr, indptr)
        np.testing.assert_array_equal(got_indices, indices)


def test_a_plane_gets_the_same_planar_graph_on_any_number_of_threads():
    rng = np.random.default_rng(3)
    uv = np.round(rng.random((15000, 2)) * 60) / 60  # ties and duplicates on the plane
    plane = uv @ np.array([[1.0, 0.5, 0.25], [0.0, 1.0, -0.5]]) + [3.0, -2.0, 7.0]
    expected = ornel.delaunay_graph(plane, threads=1)
    for threads in (2, 3, 8):
        got = ornel.delaunay_graph(plane, threads=threads)
        assert got[0].tobytes() == expected[0].tobytes() and got[1].tobytes() == expected[1].tobytes()


def test_many_threads_on_a_small_dense_cloud_agree_every_time():
    # Thousands of points (a quarter of them repeated) in a tiny box, cut into many small ranges
    # (a few hundred points each) on more threads than cores: neighbouring threads' walks and
    # cavities meet, so insertions find tetrahedra another thread holds and are put off.
    rng = np.random.default_rng(7)
    base = np.round(rng.random((18000, 3)) * 60) / 60 * 1e-3 + 1.0
    cloud = np.concatenate([base, base[rng.integers(0, len(base), 6000)]])[rng.permutation(24000)]
    expected = ornel.delaunay_graph(cloud, threads=1)
    rows = np.repeat(np.arange(len(cloud)), np.diff(expected[0].astype(np.int64)))
    edges = set(zip(rows.tolist(), expected[1].tolist()))
    assert all((j, i) in edges for i, j in edges)
    for repeat in range(12):
        threads = (16, 7, 5, 23)[repeat % 4]
        got = ornel.delaunay_graph(cloud, threads=threads)
        assert got[0].tobytes() == expected[0].tobytes() and got[1].tobytes() == expected[1].tobytes()


@pytest.mark.parametrize("name", list(scans()))
def test_real_scans_agree_on_every_thread_count_every_time(name):
    # A scan's tetrahedra inside its surface join far parts of it, so a thread's cavities take
    # tetrahedra along other threads' ranges all through a round; repeated, so that different
    # interleavings of the threads meet.
    cloud = CLOUDS[name]
    expected = ornel.delaunay_graph(cloud, threads=1)
    tets = canonical_tetrahedra(ornel.delaunay(cloud, threads=1))
    for threads in (2, 3, 8, 2, 3, 64):
        got = ornel.delaunay_graph(cloud, threads=threads)
        assert got[0].tobytes() == expected[0].tobytes() and got[1].tobytes() == expected[1].tobytes(), threads
    assert canonical_tetrahedra(ornel.delaunay(cloud, threads=4)).tobytes() == tets.tobytes()


def test_scans_built_side_by_side_each_on_several_threads():
    # Several builds at once, each with its own threads (and marks on its own tetrahedra):
    # nothing of one build may leak into another.
    names = list(scans())
    expected = {name: ornel.delaunay_graph(CLOUDS[name], threads=1) for name in names}
    jobs = [(name, threads) for name in names for threads in (2, 3, 5)] * 2
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda job: ornel.delaunay_graph(CLOUDS[job[0]], threads=job[1]), jobs))
    for (name, threads), got in zip(jobs, results):
        want = expected[name]
        assert got[0].tobytes() == want[0].tobytes() and got[1].tobytes() == want[1].tobytes(), (name, threads)


def test_a_large_quantised_scan_with_duplicates_agrees_on_every_thread_count():
    # Large enough that the curve keys are sorted by several threads and the
    # rounds' first passes start their walks beside the round before; equal
    # points (a tenth repeated) must still keep the smallest index first.
    rng = np.random.default_rng(29)
    surface = rng.normal(size=(72000, 3))
    surface /= np.linalg.norm(surface, axis=1, keepdims=True)
    surface = np.round(surface * (1 + 0.002 * rng.random((72000, 1))) * 2000) / 2000 + [4.2e5, 6.1e5, 80.0]
    cloud = np.concatenate([surface, surface[rng.integers(0, len(surface), 8000)]])[rng.permutation(80000)]
    expected = ornel.delaunay_graph(cloud, threads=1)
    tets = canonical_tetrahedra(ornel.delaunay(cloud, threads=1))
    assert len(np.unique(tets)) == len(np.unique(cloud, axis=0))  # each distinct point once, as its first index
    assert np.isin(tets, np.unique(cloud, axis=0, return_index=True)[1]).all()
    for threads in (2, 3):
        got = ornel.delaunay_graph(cloud, threads=threads)
        assert got[0].tobytes() == expected[0].tobytes() and got[1].tobytes() == expected[1].tobytes(), threads
        assert canonical_tetrahedra(ornel.delaunay(cloud, threads=threads)).tobytes() == tets.tobytes(), threads


def test_parallel_builds_from_a_thread_pool():
    rng = np.random.default_rng(11)
    clouds = [rng.random((15000, 3)) * (s + 1) for s in range(4)] + [CLOUDS["quantised slab"]]
    expected = [ornel.delaunay_graph(c, threads=1) for c in clouds]
    jobs = [(c, t) for c in clouds for t in (2, 3)] * 2
    with ThreadPoolExecutor(6) as pool:
        results = list(pool.map(lambda job: ornel.delaunay_graph(job[0], threads=job[1]), jobs))
    for (cloud, _), got in zip(jobs, results):
        want = expected[next(i for i, c in enumerate(clouds) if c is cloud)]
        assert got[0].tobytes() == want[0].tobytes() and got[1].tobytes() == want[1].tobytes()


@pytest.mark.parametrize("build", [ornel.delaunay, ornel.delaunay_graph])
def test_the_threads_argument(build):
    cloud = np.random.default_rng(0).random((50, 3))
    for bad in (0, -3):
        with pytest.raises(ValueError, match="threads must be at least 1"):
            build(cloud, threads=bad)
    with pytest.raises(TypeError):
        build(cloud, 2)  # keyword only
    with pytest.raises(TypeError):
        build(cloud, threads="2")
    assert len(build(cloud, threads=None)[0]) == len(build(cloud, threads=np.int64(4))[0])
    assert len(build(cloud, threads=1000)[0]) == len(build(cloud, threads=1)[0])


def digest_of_every_graph():
    """A hash of the graphs of every cloud above, on two threads."""
    digest = hashlib.sha256()
    for cloud in CLOUDS.values():
        for array in ornel.delaunay_graph(cloud, threads=2):
            digest.update(array.tobytes())
    return digest.hexdigest()


def test_the_baseline_build_of_the_insertion_gives_the_same_graphs():
    env = dict(os.environ, ORNEL_DISABLE_AVX2="1")
    script = "import test_delaunay_threads as t; print(t.digest_of_every_graph())"
    done = subprocess.run(
        [sys.executable, "-c", script],
        cwd=pathlib.Path(__file__).parent,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == digest_of_every_graph()


@pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
def test_the_input_order_changes_only_the_names_of_the_vertices(offset):
    # Points in general position have one Delaunay tetrahedralisation whatever their order,
    # so a shuffled cloud must give the same graph and tetrahedra under the shuffle, on one
    # thread and on two: the order decides only where the build reads memory and which
    # thread owns which points.
    rng = np.random.default_rng(int(offset) % 1000 + 7)
    ordered = rng.random((40_000, 3)) * 100.0 + offset
    ordered = ordered[np.lexsort(ordered.T)]  # an order a scan could have: sweeping along z
    shuffle = rng.permutation(len(ordered))
    shuffled = ordered[shuffle]
    name_in_ordered = shuffle  # vertex i of the shuffled cloud is vertex shuffle[i] of the ordered one
    expected_tets = canonical_tetrahedra(ornel.delaunay(ordered, threads=1))
    expected_edges = None
    for threads in (1, 2):
        indptr, indices = ornel.delaunay_graph(shuffled, threads=threads)
        rows = np.repeat(np.arange(len(shuffled)), np.diff(indptr))
        edges = np.stack([name_in_ordered[rows], name_in_ordered[indices]], 1)
        edges = edges[np.lexsort(edges.T[::-1])]
        if expected_edges is None:
            o_indptr, o_indices = ornel.delaunay_graph(ordered, threads=1)
            o_rows = np.repeat(np.arange(len(ordered)), np.diff(o_indptr))
            expected_edges = np.stack([o_rows, o_indices.astype(np.int64)], 1)
            expected_edges = expected_edges[np.lexsort(expected_edges.T[::-1])]
        np.testing.assert_array_equal(edges, expected_edges)
        tets = canonical_tetrahedra(name_in_ordered[np.asarray(ornel.delaunay(shuffled, threads=threads))])
        np.testing.assert_array_equal(tets, expected_tets)
