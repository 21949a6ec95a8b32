"""Signed distances on the surfaces real scans are made of (open sheets, rings, thin
plates, bowls, terrain, a file's own normals), each with known signs; the orientation
over the graph against a reference; F-scores at radii beyond the maximum distance; and
the signed picture's colours."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import DATA
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import connected_components
from scipy.spatial import cKDTree

import ornel
from ornel._native import estimate_normals, orient_normals
from ornel._normals import NO_COMPONENT, file_normals, neighbourhoods, side_of

SCRIPT = Path(sys.executable).parent / "ornel"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]


def signs(b, a, normals=None, neighbours=20):
    chosen = {} if normals is None else {"normals": normals}  # None: the default side, outside
    result = ornel.compare(a, b, precision="f64").with_measure(signed=True, neighbours=neighbours, **chosen)
    return np.sign(result.distance)


def unit(v):
    return v / np.linalg.norm(v, axis=-1, keepdims=True)


# Surfaces with their outward normals, and points off them on known sides.


def tilted_plane(rng, n=6000, noise=0.002):
    normal = unit(np.array([0.3, -0.2, 1.0]))
    e1 = unit(np.cross(normal, [1.0, 0, 0]))
    e2 = np.cross(normal, e1)
    uv = rng.random((n, 2)) * 4 - 2
    b = uv[:, :1] * e1 + uv[:, 1:] * e2 + rng.normal(0, noise, (n, 1)) * normal
    qv = rng.random((2000, 2)) * 3.6 - 1.8
    side = rng.choice([-1, 1], len(qv))
    a = qv[:, :1] * e1 + qv[:, 1:] * e2 + (0.02 * side)[:, None] * normal
    return b, a, side


def torus_points(t1, t2, r, big=1.0):
    return np.c_[(big + r * np.cos(t2)) * np.cos(t1), (big + r * np.cos(t2)) * np.sin(t1), r * np.sin(t2)]


def hemisphere(rng, n):
    d = unit(rng.normal(size=(3 * n, 3)))
    return d[d[:, 2] > 0][:n]


def terrain_height(x, y):
    return 3 * np.sin(x / 9) * np.cos(y / 13) + 0.02 * x + 1.5 * np.sin(x / 3.1 + y / 4.3)


def terrain_normal(x, y, step=1e-4):
    dx = (terrain_height(x + step, y) - terrain_height(x - step, y)) / (2 * step)
    dy = (terrain_height(x, y + step) - terrain_height(x, y - step)) / (2 * step)
    return unit(np.c_[-dx, -dy, np.ones_like(dx)])


def plate(step=0.02, size=1.0):
    """A closed plate two sampling steps thick: top, bottom and one row around the rim."""
    g = np.arange(0, size + 1e-9, step)
    x, y = (c.ravel() for c in np.meshgrid(g, g))
    rim = [(c, 0, step) for c in g] + [(c, size, step) for c in g]
    rim += [(0, c, step) for c in g[1:-1]] + [(size, c, step) for c in g[1:-1]]
    return np.r_[np.c_[x, y, np.full(x.size, 2 * step)], np.c_[x, y, np.zeros(x.size)], np.array(rim)]


class TestKnownSigns:
    @pytest.mark.parametrize("offset", [0.0, 3e5])
    def test_tilted_noisy_plane_follows_the_chosen_axis(self, offset):
        b, a, side = tilted_plane(np.random.default_rng(1))
        b, a = b + offset, a + offset
        # An open, nearly flat sheet: its outside is up.
        np.testing.assert_array_equal(signs(b, a), side)
        np.testing.assert_array_equal(signs(b, a, "+z"), side)
        np.testing.assert_array_equal(signs(b, a, "-z"), -side)
        # Toward a sensor above the plane, and one below it.
        np.testing.assert_array_equal(signs(b, a, (offset, offset, offset + 50.0)), side)
        np.testing.assert_array_equal(signs(b, a, np.array([offset, offset, offset - 50.0])), -side)

    def test_torus_inner_half_takes_the_outer_half_side(self):
        rng = np.random.default_rng(2)
        b = torus_points(rng.random(8000) * 2 * np.pi, rng.random(8000) * 2 * np.pi, 0.3)
        t1, t2 = rng.random(4000) * 2 * np.pi, rng.random(4000) * 2 * np.pi
        side = rng.choice([-1, 1], 4000)
        a = torus_points(t1, t2, 0.3 + 0.03 * side)
        got = signs(b, a)
        inner = np.cos(t2) < 0
        assert inner.sum() > 1500
        np.testing.assert_array_equal(got[inner], side[inner])
        np.testing.assert_array_equal(got, side)

    def test_thin_plate_sides_are_not_merged(self):
        b = plate()
        rng = np.random.default_rng(3)
        xy = rng.random((2000, 2)) * 0.9 + 0.05
        up = rng.random(2000) < 0.5
        gap = 0.02 * (0.3 + 0.5 * rng.random(2000))
        a = np.c_[xy, np.where(up, 0.04 + gap, -gap)]
        # Every point is outside: the top's normals point up, the bottom's down.
        np.testing.assert_array_equal(signs(b, a), np.ones(2000))
        # Toward a point inside it: every normal points in.
        np.testing.assert_array_equal(signs(b, a, (0.5, 0.5, 0.02)), -np.ones(2000))

    def test_open_hemisphere_outside_is_its_convex_side(self):
        rng = np.random.default_rng(4)
        b = hemisphere(rng, 5000)
        q = hemisphere(rng, 3000)
        q = q[q[:, 2] > 0.1]
        side = rng.choice([-1, 1], len(q))
        a = q * (1 + 0.03 * side)[:, None]
        np.testing.assert_array_equal(signs(b, a), side)
        np.testing.assert_array_equal(signs(b, a, (0, 0, 0)), -side)  # toward the centre: inwards

    def test_terrain_tile_far_from_the_origin_is_signed_up(self):
        rng = np.random.default_rng(5)
        xy = rng.random((20000, 2)) * 100
        origin = np.array([5e5, 4e6, 100.0])
        b = np.c_[xy, terrain_height(*xy.T) + rng.normal(0, 0.01, len(xy))] + origin
        q = rng.random((3000, 2)) * 90 + 5
        side = rng.choice([-1, 1], len(q))
        # Every oriented normal on the true normal's side.
        cloud = ornel.Cloud(b)
        true = terrain_normal(*(cloud.sorted_coordinates("f64")[:, :2] - origin[:2]).T)
        assert np.einsum("ij,ij->i", cloud.oriented_normals(side_of("outside")), true).min() > 0.5
        # Points off it by less than a spacing (about 0.7): signed by the side they lie on.
        a = np.c_[q, terrain_height(*q.T)] + (0.2 * side)[:, None] * terrain_normal(*q.T) + origin
        np.testing.assert_array_equal(signs(b, a), side)
        np.testing.assert_array_equal(signs(b, a, "+z"), side)
        np.testing.assert_array_equal(signs(b, a, "-z"), -side)

    def test_randomly_sampled_thin_plate(self):
        # Two mean spacings thick, sampled at random: a few points have the other side among
        # their nearest, and a few normals there stay tilted; at most 0.5% of signs miss.
        rng = np.random.default_rng(14)
        h, m = 0.02, 2500
        t = rng.random(200) * 4
        edge = np.array([(u, 0) if u < 1 else (1, u - 1) if u < 2 else (3 - u, 1) if u < 3 else (0, 4 - u) for u in t])
        b = np.r_[
            np.c_[rng.random((m, 2)), np.full(m, 2 * h)],
            np.c_[rng.random((m, 2)), np.zeros(m)],
            np.c_[edge, np.full(len(t), h)],
        ]
        xy = rng.random((2000, 2)) * 0.9 + 0.05
        up = rng.random(2000) < 0.5
        a = np.c_[xy, np.where(up, 2 * h, 0) + np.where(up, 1, -1) * h * (0.3 + 0.5 * rng.random(2000))]
        assert np.count_nonzero(signs(b, a) != 1) <= 10

    def test_separate_parts_each_take_the_rule(self):
        # Two spheres apart, and a floor beneath them: three components, each outside.
        rng = np.random.default_rng(6)
        spheres = [unit(rng.normal(size=(3000, 3))) * 0.5 + c for c in ([0, 0, 1], [3, 0, 1])]
        floor = np.c_[rng.random((6000, 2)) * 6 - 1.5, np.zeros(6000)]
        b = np.concatenate([*spheres, floor])
        q = unit(rng.normal(size=(1000, 3)))
        side = rng.choice([-1, 1], 1000)
        a = np.concatenate([q * (0.5 + 0.03 * side)[:, None] + [0, 0, 1], q * (0.5 + 0.03 * side)[:, None] + [3, 0, 1]])
        floor_a = np.c_[rng.random((1000, 2)) * 5 - 1, 0.03 * side]
        a = np.concatenate([a, floor_a])
        np.testing.assert_array_equal(signs(b, a), np.r_[side, side, side])


def mesh_triangles(name):
    mesh = ornel.Mesh.load(DATA / "meshes" / f"{name}.obj")
    corners = np.asarray(mesh.vertices, dtype=np.float64)[np.asarray(mesh.triangles)]
    return corners[:, 0], corners[:, 1], corners[:, 2]


@pytest.mark.parametrize("name", ["fandisk", "rocker-arm", "spot", "stanford-bunny"])
def test_real_meshes_outside_is_their_winding_side(name):
    """Points drawn on a real model's triangles (CAD creases, a scan's open base), and
    points half a spacing off them along the triangles' outward normals."""
    rng = np.random.default_rng(15)
    a, b, c = mesh_triangles(name)
    cross = np.cross(b - a, c - a)
    area = np.linalg.norm(cross, axis=1)
    keep = area > 0
    a, b, c, area, normal = a[keep], b[keep], c[keep], area[keep], cross[keep] / area[keep, None]

    def draw(n):
        pick = rng.choice(len(a), n, p=area / area.sum())
        r1, r2 = np.sqrt(rng.random(n)), rng.random(n)
        return (1 - r1)[:, None] * a[pick] + (r1 * (1 - r2))[:, None] * b[pick] + (r1 * r2)[:, None] * c[pick], normal[
            pick
        ]

    surface, _ = draw(30000)
    near, outward = draw(3000)
    side = rng.choice([-1, 1], len(near))
    off = near + (0.5 * np.sqrt(area.sum() / len(surface)) * side)[:, None] * outward
    assert np.mean(signs(surface, off) != side) <= 0.01


def run(*args, timeout=300):
    return subprocess.run([*COMMAND, *map(str, args)], capture_output=True, text=True, timeout=timeout)


def tank(rng, n=6000, radius=2.0, height=3.0):
    """A closed cylinder's wall and caps, with their outward normals."""
    t = rng.random(n) * 2 * np.pi
    wall = np.c_[radius * np.cos(t), radius * np.sin(t), rng.random(n) * height]
    wall_n = np.c_[np.cos(t), np.sin(t), np.zeros(n)]
    r = radius * np.sqrt(rng.random(n // 2))
    u = rng.random(n // 2) * 2 * np.pi
    disc = np.c_[r * np.cos(u), r * np.sin(u)]
    caps = np.r_[np.c_[disc, np.zeros(n // 2)], np.c_[disc, np.full(n // 2, height)]]
    caps_n = np.r_[np.tile([0, 0, -1.0], (n // 2, 1)), np.tile([0, 0, 1.0], (n // 2, 1))]
    return np.r_[wall, caps], np.r_[wall_n, caps_n]


class TestFileNormals:
    def test_tank_scanned_from_inside_keeps_its_inward_normals(self, tmp_path):
        plyfile = pytest.importorskip("plyfile")
        rng = np.random.default_rng(7)
        points, outward = tank(rng)
        inward = -outward
        vertex = np.empty(len(points), [(name, "f8") for name in ("x", "y", "z", "nx", "ny", "nz")])
        for k, name in enumerate(("x", "y", "z")):
            vertex[name], vertex["n" + name] = points[:, k], inward[:, k]
        plyfile.PlyData([plyfile.PlyElement.describe(vertex, "vertex")]).write(str(tmp_path / "tank.ply"))
        # Points 5 cm inside the wall and outside it, away from the caps' edges.
        t = rng.random(1500) * 2 * np.pi
        side = rng.choice([-1, 1], 1500)  # +1 inside
        radius = 2.0 - 0.05 * side
        a = np.c_[radius * np.cos(t), radius * np.sin(t), 0.5 + 2 * rng.random(1500)]
        np.save(tmp_path / "a.npy", a)
        base = ["compare", tmp_path / "a.npy", tmp_path / "tank.ply", "--f64", "--signed"]

        def signed(*options):
            done = run(*base, *options, "--out", tmp_path / "d.npy")
            assert done.returncode == 0, done.stderr
            return done.stdout.splitlines()[0], np.sign(np.load(tmp_path / "d.npy")[:, 3])

        header, got = signed()
        assert "normals from B's file" in header
        np.testing.assert_array_equal(got, side)
        header, got = signed("--normals", "estimate")
        assert "normals estimated, toward outside" in header
        np.testing.assert_array_equal(got, -side)
        header, got = signed("--normals-toward", "0,0,1.5")  # the sensor inside
        assert "toward 0,0,1.5" in header
        np.testing.assert_array_equal(got, side)
        _, got = signed("--normals-toward", "-1,-1,1")
        np.testing.assert_array_equal(got, side)
        # In Python, the file's normals in B's own order.
        result = ornel.compare(a, points, precision="f64").with_measure(signed=True, normals=inward)
        np.testing.assert_array_equal(np.sign(result.distance), side)

    def test_names_of_normal_fields(self):
        n = np.array([[0.0, 0.0, 2.0], [np.nan, 0, 1], [0, 0, 0]])
        for names in (
            ("nx", "ny", "nz"),
            ("normal_x", "normal_y", "normal_z"),
            ("Nx", "Ny", "Nz"),
            ("NormalX", "NormalY", "NormalZ"),
            ("normal_0", "normal_1", "normal_2"),
        ):
            fields = {"intensity": np.ones(3), **{name: n[:, k] for k, name in enumerate(names)}}
            np.testing.assert_array_equal(file_normals(fields), [[0, 0, 1], [0, 0, 0], [0, 0, 0]])
        assert file_normals({"nx": np.ones(3), "ny": np.ones(3)}) is None
        assert file_normals({"x": np.ones(3), "nxy": np.ones(3), "n0": np.ones(3)}) is None

    def test_las_extra_bytes_normals_are_read(self, tmp_path):
        laspy = pytest.importorskip("laspy")
        rng = np.random.default_rng(8)
        b, a, side = tilted_plane(rng, n=3000)
        header = laspy.LasHeader(point_format=3, version="1.2")
        header.scales, header.offsets = [1e-4] * 3, [0, 0, 0]
        for name in ("NormalX", "NormalY", "NormalZ"):
            header.add_extra_dim(laspy.ExtraBytesParams(name=name, type=np.float32))
        las = laspy.LasData(header)
        las.x, las.y, las.z = b.T
        down = -unit(np.array([0.3, -0.2, 1.0]))
        las.NormalX, las.NormalY, las.NormalZ = (np.full(len(b), c, np.float32) for c in down)
        las.write(tmp_path / "b.las")
        np.save(tmp_path / "a.npy", a)
        done = run("compare", tmp_path / "a.npy", tmp_path / "b.las", "--signed", "--f64", "--out", tmp_path / "d.npy")
        assert done.returncode == 0, done.stderr
        np.testing.assert_array_equal(np.sign(np.load(tmp_path / "d.npy")[:, 3]), -side)

    def test_the_command_refuses_unclear_normals_in_one_line(self, tmp_path):
        np.save(tmp_path / "a.npy", np.random.default_rng(9).random((50, 3)))
        np.save(tmp_path / "b.npy", np.random.default_rng(10).random((60, 3)))
        pair = ["compare", tmp_path / "a.npy", tmp_path / "b.npy"]
        for options, message in [
            (["--normals", "file"], "add --signed"),
            (["--signed", "--normals", "file"], "has no normals for --normals file"),
            (["--signed", "--normals", "file", "--normals-toward", "+z"], "--normals estimate"),
            (["--signed", "--normals-toward", "sideways"], "expected outside, an axis"),
            (["--signed", "--normals-toward", "1,2"], "expected outside, an axis"),
        ]:
            done = run(*pair, *options)
            # The last line says it (argparse's own refusals come after its usage lines).
            assert done.returncode == 2 and message in done.stderr.strip().splitlines()[-1], (options, done.stderr)
            assert "Traceback" not in done.stderr
        assert run(*pair, "--signed", "--normals-toward", "-z").returncode == 0
        assert run(*pair, "--signed", "--normals-toward", "-1.5,2,-3e2").returncode == 0

    def test_python_refusals(self):
        result = ornel.compare(np.random.default_rng(0).random((20, 3)), np.random.default_rng(1).random((30, 3)))
        for bad in ("inside", "+w", (1, 2), (1, 2, np.inf)):
            with pytest.raises(ValueError, match="normals must point toward"):
                result.with_measure(signed=True, normals=bad)
        with pytest.raises(ValueError, match=r"expected \(30, 3\)"):
            result.with_measure(signed=True, normals=np.ones((20, 3)))
        assert side_of(" +Z ") == ("axis", (0.0, 0.0, 1.0)) and side_of("-x") == ("axis", (-1.0, 0.0, 0.0))


def graph_components(rows, has):
    """Connected components (scipy) of the points with normals over the rows, both ways."""
    n, k = rows.shape
    i = np.repeat(np.arange(n), k)
    j = rows.ravel()
    keep = has[i] & has[j]
    matrix = coo_matrix((np.ones(keep.sum()), (i[keep], j[keep])), shape=(n, n))
    return connected_components(matrix, directed=False)[1]


class TestOrientationOverTheGraph:
    @pytest.mark.parametrize("seed", range(4))
    def test_any_input_signs_give_one_answer_per_component(self, seed):
        """Whatever signs the normals come with, each component comes out the same up to
        one sign; components are the graph's; zero normals stay zero, outside all."""
        rng = np.random.default_rng(seed)
        b = np.concatenate(
            [
                torus_points(rng.random(3000) * 2 * np.pi, rng.random(3000) * 2 * np.pi, 0.3),
                hemisphere(rng, 2000) + [5, 0, 0],
                np.round(rng.random((1500, 3)) * [3, 3, 0], 2) + [0, 5, 0],
            ]
        )
        cloud = ornel.Cloud(b)
        points = cloud.sorted_coordinates("f64" if seed % 2 else "f32")
        rows = neighbourhoods(cloud, 8 + 4 * seed)
        normals = estimate_normals(points, rows, 0)
        normals[rng.random(len(normals)) < 0.01] = 0
        has = np.abs(normals).sum(axis=1) > 0
        first, component = orient_normals(points, normals, rows)
        flips = rng.choice([-1.0, 1.0], len(normals))[:, None]
        second, again = orient_normals(points, normals * flips, rows)
        np.testing.assert_array_equal(again, component)
        assert (component[~has] == NO_COMPONENT).all() and (first[~has] == 0).all()
        np.testing.assert_array_equal(np.abs(first), np.abs(normals))
        reference = graph_components(rows, has)
        # The same partition, numbered by lowest point.
        _, expected = np.unique(reference[has], return_inverse=True)
        order = np.unique(reference[has], return_index=True)[1]
        renumber = np.empty(len(order), np.int64)
        renumber[np.argsort(order)] = np.arange(len(order))
        np.testing.assert_array_equal(component[has], renumber[expected])
        for label in np.unique(component[has]):
            members = component == label
            sign = np.sign(first[members][0] @ second[members][0])
            np.testing.assert_array_equal(first[members], sign * second[members])

    def test_threads_give_the_serial_answer(self):
        from concurrent.futures import ThreadPoolExecutor

        rng = np.random.default_rng(16)
        b = torus_points(rng.random(6000) * 2 * np.pi, rng.random(6000) * 2 * np.pi, 0.3) + 2e5
        serial = ornel.Cloud(b).oriented_normals(side_of("+z"), threads=1)
        with ThreadPoolExecutor(4) as pool:
            clouds = [ornel.Cloud(b) for _ in range(4)]
            answers = list(pool.map(lambda cloud: cloud.oriented_normals(side_of("+z"), threads=2), clouds))
        for answer in answers:
            np.testing.assert_array_equal(answer, serial)
        assert not serial.flags.writeable

    def test_refusals(self):
        points = np.random.default_rng(0).random((10, 3))
        rows = np.tile(np.arange(10, dtype=np.uint32)[:, None], (1, 3))
        normals = np.tile([0, 0, 1.0], (10, 1))
        with pytest.raises(ValueError, match="not a point"):
            orient_normals(points, normals, np.full((10, 3), 10, np.uint32))
        with pytest.raises(ValueError, match="one row per point"):
            orient_normals(points, normals[:9], rows)
        with pytest.raises(ValueError, match="C-contiguous"):
            orient_normals(points, np.asfortranarray(normals), rows)


class TestFScoresBeyondTheMaximum:
    @pytest.mark.parametrize("precision", ["f64", "f32"])
    def test_precision_at_radii_beyond_the_maximum_distance(self, precision):
        rng = np.random.default_rng(11)
        b = rng.random((3000, 3)) + 4e5
        a = b[:2000] + rng.normal(0, 0.02, (2000, 3))
        a[::7] = np.nan
        d = cKDTree(b).query(a[np.isfinite(a).all(axis=1)])[0]
        back = cKDTree(a[np.isfinite(a).all(axis=1)]).query(b)[0]
        bound = float(np.percentile(d, 20))
        radii = [bound / 2, bound, 2 * bound, 5 * bound]
        result = ornel.compare(a, b, precision=precision, max_distance=bound, skip_invalid=True)
        for row, r in zip(result.statistics(radii)["f_scores"], radii):
            clear = np.abs(d - r) > 1e-6 * max(r, 1) if precision == "f32" else np.ones(len(d), bool)
            p = np.count_nonzero(d <= r) / len(d)
            slack = np.count_nonzero(~clear) / len(d)
            assert abs(row["precision"] - p) <= slack and abs(row["recall"] - np.mean(back <= r)) <= slack + 1e-3
        exact = ornel.compare(a, b, precision="f64", max_distance=bound, skip_invalid=True).f_scores([5 * bound])[0]
        assert exact["precision"] == np.mean(d <= 5 * bound) > 0.9
        # Measured otherwise, the beyond points keep their measure too.
        plane = result.with_measure(local_model="plane", signed=True)
        assert plane.unbounded is not None and np.isnan(plane.distance[~plane.found]).all()
        assert plane.f_scores([1e9])[0]["precision"] == 1.0

    def test_the_command_prints_them(self, tmp_path):
        rng = np.random.default_rng(12)
        b = rng.random((2000, 3))
        a = b[:1500] + rng.normal(0, 0.02, (1500, 3))
        np.save(tmp_path / "a.npy", a)
        np.save(tmp_path / "b.npy", b)
        d = cKDTree(b).query(a)[0]
        done = run(
            "compare", tmp_path / "a.npy", tmp_path / "b.npy", "--f64", "--max-distance", "0.01", "--radius", "0.03"
        )
        assert done.returncode == 0, done.stderr
        printed = dict(line.split() for line in done.stdout.splitlines()[1:])
        assert float(printed["precision@0.03"]) == pytest.approx(np.mean(d <= 0.03), abs=1e-7)
        assert int(printed["within"]) == np.count_nonzero(d <= 0.01)


class TestSignedPicture:
    def test_diverging_colours_centred_at_zero(self, tmp_path, monkeypatch):
        pytest.importorskip("matplotlib")
        import ornel._compare as compare_module

        drawn = []
        monkeypatch.setattr(compare_module, "_save", lambda figure, path: drawn.append(figure))
        b, a, side = tilted_plane(np.random.default_rng(13), n=3000)
        a[:, 2] += np.where(np.arange(len(a)) % 10 == 0, -0.05, 0)  # dents
        result = ornel.compare(a, b, precision="f64").with_measure(signed=True)
        result.plot(tmp_path / "p.png", clip_percentile=95)
        image = drawn[0].axes[0].collections[0]
        top = np.percentile(np.abs(result.distance), 95)
        assert image.norm.vmin == -top and image.norm.vmax == top
        zero, below, above = image.to_rgba(np.array([0.0, -top / 2, top / 2]))
        np.testing.assert_array_equal(zero, image.cmap(0.5))
        assert not np.allclose(below, above) and not np.allclose(below, zero) and not np.allclose(above, zero)
        # The most negative values get the colour of the scale's bottom, not of a fit.
        np.testing.assert_array_equal(image.to_rgba(np.array([result.distance.min()]))[0], image.cmap(0.0))
        # Unsigned pictures keep their scale from 0 up.
        result = ornel.compare(a, b, precision="f64")
        result.plot(tmp_path / "p.png", clip_percentile=95)
        assert drawn[1].axes[0].collections[0].norm.vmin == 0
