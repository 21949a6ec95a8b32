"""Both indexes give the same answers on every path (`nearest`, `compare`, `all_by_all`,
`register`, the command), on degenerate clouds and far from the origin; and the planner
picks the grid for a one-off target and the graph where it is reused."""

import numpy as np
import pytest

import ornel
from ornel._command import main
from ornel._planner import check_index, choose
from tests.conftest import DATA


def clouds_of(kind, rng, offset=0.0):
    """A query cloud and a target cloud of one kind."""
    if kind == "bunny":
        points = np.load(DATA / "stanford-bunny.npy").astype(np.float64)
        a = points[rng.choice(len(points), 3000, replace=False)] + rng.normal(size=(3000, 3)) * 1e-3
        b = points[rng.choice(len(points), 4000, replace=False)]
    elif kind == "lidar":  # centimetre quanta: exact ties everywhere
        a, b = np.round(rng.random((3000, 3)) * [30, 30, 2], 2), np.round(rng.random((4000, 3)) * [30, 30, 2], 2)
    elif kind == "flat":
        a = np.column_stack([rng.random((2000, 2)), rng.normal(size=2000) * 1e-2])
        b = np.column_stack([rng.random((3000, 2)), np.zeros(3000)])
    elif kind == "line":
        a = np.outer(rng.random(1500), [1.0, -2.0, 0.5]) + rng.normal(size=(1500, 3)) * 1e-2
        b = np.outer(rng.random(2000), [1.0, -2.0, 0.5])
    else:  # duplicates
        a = rng.random((2000, 3))
        b = np.repeat(rng.random((500, 3)), 4, axis=0)
    return a + offset, b + offset


KINDS = ["bunny", "lidar", "flat", "line", "duplicates"]


def assert_same_nearest(a, b, graph, grid):
    """Equal distances; each index a point at that distance (ties may go either way)."""
    (gd, gi), (rd, ri) = graph, grid
    np.testing.assert_array_equal(gd, rd)
    for idx, dists in ((gi, gd), (ri, rd)):
        moved = a.astype(np.float64) - b[idx].astype(np.float64)
        measured = np.sqrt((moved[:, 0] ** 2 + moved[:, 1] ** 2) + moved[:, 2] ** 2)
        if dists.dtype == np.float64:
            np.testing.assert_array_equal(measured, dists)
    unique = gi == ri
    assert unique.mean() > 0.5  # most answers have one nearest point, found by both


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("offset", [0.0, 1e6])
@pytest.mark.parametrize("precision", ["f32", "f64"])
class TestSameAnswers:
    def test_nearest(self, kind, offset, precision):
        rng = np.random.default_rng(KINDS.index(kind))
        a, b = clouds_of(kind, rng, offset)
        graph = ornel.nearest(a, b, precision=precision, index="graph")
        grid = ornel.nearest(a, b, precision=precision, index="grid")
        assert graph[0].dtype == grid[0].dtype == (np.float32 if precision == "f32" else np.float64)
        assert_same_nearest(a, b, graph, grid)
        # "auto" takes the grid for a one-off target, and the graph once it exists.
        auto = ornel.nearest(a, b, precision=precision)
        np.testing.assert_array_equal(auto[0], grid[0])

    def test_compare(self, kind, offset, precision):
        rng = np.random.default_rng(10 + KINDS.index(kind))
        a, b = clouds_of(kind, rng, offset)
        graph = ornel.compare(a, b, precision=precision, index="graph", max_distance=0.05)
        grid = ornel.compare(a, b, precision=precision, index="grid", max_distance=0.05)
        np.testing.assert_array_equal(graph.distance, grid.distance)
        np.testing.assert_array_equal(graph.index == -1, grid.index == -1)
        assert graph.statistics([0.01]) == grid.statistics([0.01])

    def test_all_by_all(self, kind, offset, precision):
        rng = np.random.default_rng(20 + KINDS.index(kind))
        a, b = clouds_of(kind, rng, offset)
        members = [a, b, a[::2] + 0.01]
        graph = ornel.all_by_all(members, precision=precision, index="graph", threads=2)
        grid = ornel.all_by_all(members, precision=precision, index="grid", threads=2)
        np.testing.assert_array_equal(graph.mean, grid.mean)
        np.testing.assert_array_equal(graph.max, grid.max)


@pytest.mark.parametrize("method", ["point_to_plane", "point_to_point"])
@pytest.mark.parametrize("offset", [0.0, 1e5])
def test_register(method, offset):
    rng = np.random.default_rng(7)
    points = np.load(DATA / "fandisk.npy").astype(np.float64)
    target = points + offset
    angle = 0.02
    turn = np.array([[np.cos(angle), -np.sin(angle), 0], [np.sin(angle), np.cos(angle), 0], [0, 0, 1]])
    source = (points[rng.choice(len(points), 4000, replace=False)] - points.mean(0)) @ turn.T + points.mean(0) + offset
    graph = ornel.register(source, target, method=method, index="graph")
    grid = ornel.register(source, target, method=method, index="grid")
    np.testing.assert_array_equal(graph.transform, grid.transform)
    assert graph.iterations == grid.iterations and graph.rmse == grid.rmse


def test_the_command_writes_the_same_file_either_way(tmp_path, capsys):
    rng = np.random.default_rng(8)
    a, b = clouds_of("bunny", rng, 1e5)
    np.save(tmp_path / "a.npy", a)
    np.save(tmp_path / "b.npy", b)
    outputs = {}
    for kind in ("graph", "grid", "auto"):
        out = tmp_path / f"{kind}.ply"
        assert (
            main(["compare", str(tmp_path / "a.npy"), str(tmp_path / "b.npy"), "--out", str(out), "--index-kind", kind])
            == 0
        )
        outputs[kind] = out.read_bytes()
    capsys.readouterr()
    assert outputs["graph"] == outputs["grid"] == outputs["auto"]
    assert (
        main(
            [
                "compare",
                str(tmp_path / "a.npy"),
                str(tmp_path / "b.npy"),
                "--index-kind",
                "grid",
                "--store",
                str(tmp_path / "store"),
            ]
        )
        == 2
    )
    assert "--index-kind grid cannot be used with --store" in capsys.readouterr().err


class TestPlanner:
    def test_choices(self):
        assert choose("auto", 1_000_000, 1_000_000) == "grid"  # a one-off pair
        assert choose("auto", 30_000, 30_000) == "grid"
        assert choose("auto", 25_000, 64 * 25_000) == "graph"  # a large collection reuses it
        # As measured (benchmarks/bench_planner.py): grids ahead at 16 and 32 scans, graphs
        # at 64.
        assert choose("auto", 25_000, 16 * 25_000) == "grid"
        assert choose("auto", 25_000, 32 * 25_000) == "grid"
        assert choose("auto", 25_000, 64 * 25_000) == "graph"
        assert choose("auto", 1_000_000, 1_000_000, searches=51) == "graph"  # a registration
        assert choose("auto", 10, 10, graph_built=True) == "graph"
        assert choose("grid", 25_000, 64 * 25_000, graph_built=True) == "grid"
        assert choose("graph", 10, 10) == "graph"

    def test_auto_keeps_a_built_graph_and_grid_builds_none(self):
        rng = np.random.default_rng(9)
        b = ornel.Cloud(rng.random((2000, 3)))
        ornel.nearest(rng.random((100, 3)), b, index="grid")
        assert b.cached_graph("f32") is None
        ornel.nearest(rng.random((100, 3)), b, index="graph")
        assert b.cached_graph("f32") is not None

    def test_refusals(self):
        with pytest.raises(ValueError, match="^index must be one of 'auto', 'graph' or 'grid', not 'kd'"):
            check_index("kd")
        with pytest.raises(ValueError, match="^index must be one of"):
            ornel.nearest(np.zeros((4, 3)), np.eye(4, 3), index="tree")
        with pytest.raises(ValueError, match="index='grid' cannot be used with a store"):
            ornel.compare(np.zeros((4, 3)), np.eye(4, 3), index="grid", store="/nonexistent/store")
