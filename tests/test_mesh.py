"""Point-to-mesh distances: exact against a brute-force closest point over every triangle,
signed right around closed meshes (corners and edges included), meshes read from every
format, and refused with one clear line when they mean nothing."""

from __future__ import annotations

import struct
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from mesh_model import brute_force, pseudo_normals, winding_numbers

import ornel

MESHES = Path(__file__).resolve().parents[1] / "data" / "meshes"
EPS32 = 2.0**-23


def outward(vertices, triangles):
    """The triangles of a convex solid wound counter-clockwise seen from outside."""
    centre = vertices.mean(axis=0)
    a, b, c = (vertices[triangles[:, k]] for k in range(3))
    inward = np.einsum("ij,ij->i", np.cross(b - a, c - a), a - centre) < 0
    fixed = triangles.copy()
    fixed[inward] = fixed[inward][:, [0, 2, 1]]
    return fixed


def cube(offset=0.0):
    corners = np.array([[x, y, z] for x in (-1, 1) for y in (-1, 1) for z in (-1, 1)], float)
    quads = [(0, 1, 3, 2), (4, 5, 7, 6), (0, 1, 5, 4), (2, 3, 7, 6), (0, 2, 6, 4), (1, 3, 7, 5)]
    triangles = np.array([t for q in quads for t in ((q[0], q[1], q[2]), (q[0], q[2], q[3]))])
    return corners + offset, outward(corners, triangles)


def features_and_far(vertices, triangles, rng, n=300):
    """Queries on, near and exactly at vertices and edge midpoints, on faces, and far."""
    corners = vertices[triangles]
    extent = np.ptp(vertices, axis=0).max()
    centre = vertices.mean(axis=0)
    edges = (corners + corners[:, [1, 2, 0]]) / 2
    weights = rng.dirichlet([1, 1, 1], n)
    on_faces = np.einsum("ij,ijk->ik", weights, corners[rng.integers(0, len(triangles), n)])
    pick = lambda points: points.reshape(-1, 3)[rng.integers(0, points.reshape(-1, 3).shape[0], n)]
    near = np.concatenate([pick(vertices), pick(edges), on_faces])
    return np.concatenate(
        [
            near,
            near + rng.normal(0, 1e-3 * extent, near.shape),
            near + rng.normal(0, 0.1 * extent, near.shape),
            centre + rng.normal(0, 5 * extent, (n, 3)),
        ]
    )


def check_exact(mesh, queries, threads=2):
    """f64 distances equal the brute force's bit for bit, triangles too (ties to the lowest),
    and the barycentric weights give a point at that distance."""
    found = mesh.closest(queries, threads=threads)
    distance, triangle = brute_force(queries, mesh.vertices, mesh.triangles)
    np.testing.assert_array_equal(found.distance, distance)
    np.testing.assert_array_equal(found.triangle, triangle)
    weights = found.barycentric
    assert (weights >= 0).all() and (weights <= 1).all()
    np.testing.assert_allclose(weights.sum(axis=1), 1, atol=1e-12)
    at = mesh.points_at(found.triangle, weights)
    scale = np.abs(mesh.vertices).max() + np.ptp(mesh.vertices, axis=0).max()
    np.testing.assert_allclose(np.linalg.norm(at - queries, axis=1), distance, atol=1e-12 * scale, rtol=1e-12)
    return found


def check_exact_single(mesh, queries, threads=2, max_distance=None):
    """f32 distances and triangles equal, bit for bit, the brute force's in single precision
    on the mesh and the points as the search takes them: from the mesh's centre, rounded."""
    found = mesh.closest(queries, precision="f32", threads=threads, max_distance=max_distance)
    local = (queries - mesh.centre).astype(np.float32)
    distance, triangle = brute_force(local, (mesh.vertices - mesh.centre).astype(np.float32), mesh.triangles)
    beyond = distance > max_distance if max_distance is not None else np.zeros(len(queries), bool)
    np.testing.assert_array_equal(found.distance[~beyond], distance[~beyond].astype(np.float64))
    np.testing.assert_array_equal(found.triangle, np.where(beyond, -1, triangle))
    assert np.isnan(found.distance[beyond]).all()
    return found


class TestExactness:
    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    def test_small_meshes_against_brute_force(self, offset):
        rng = np.random.default_rng(1)
        vertices, triangles = cube(offset)
        check_exact(ornel.Mesh(vertices, triangles), features_and_far(vertices, triangles, rng))
        # Degenerate triangles among proper ones: zero area, repeated corners, slivers, duplicates.
        points = rng.normal(size=(30, 3)) + offset
        points[5] = points[4]
        points[6] = (points[4] + 2 * points[7]) / 3  # on the line of 4 and 7
        points[8] = points[9] + [1e-9, 0, 0]
        tris = rng.integers(0, 30, (40, 3))
        tris = np.concatenate(
            [tris, [[4, 5, 6], [4, 4, 4], [4, 7, 6], [8, 9, 10], [1, 2, 3], [1, 2, 3], [3, 2, 1], [5, 4, 6]]]
        )
        mesh = ornel.Mesh(points, tris)
        check_exact(mesh, features_and_far(points, tris, rng, 200))

    @pytest.mark.parametrize("corners", [(0, 0, 1), (0, 1, 0), (1, 0, 0), (0, 1, 1), (1, 1, 1)])
    def test_a_triangle_with_a_repeated_corner_is_its_segment(self, corners):
        # Vertices 0 and 1 are the ends of a segment along z; a repeated corner makes
        # the triangle that segment (or a point), whatever the corners' order.
        vertices = np.array([[0.0, 0.0, 0.0], [0.0, 0.0, 2.0]])
        mesh = ornel.Mesh(vertices, np.array([corners]))
        queries = np.array([[5.0, 4.8, 1.9], [-3.0, 0.5, -1.0], [0.5, 0.0, 3.0], [1.0, 1.0, 1.0]])
        if len(set(corners)) == 1:  # a point
            want = np.linalg.norm(queries - vertices[corners[0]], axis=1)
        else:
            along = np.clip(queries[:, 2], 0.0, 2.0)
            want = np.linalg.norm(queries - np.c_[0 * along, 0 * along, along], axis=1)
        found = mesh.closest(queries, precision="f64")
        np.testing.assert_allclose(found.distance, want, rtol=1e-15)

    @given(
        hnp.arrays(
            np.float64,
            st.tuples(st.integers(3, 12), st.just(3)),
            elements=st.floats(-4, 4, allow_nan=False).map(lambda x: float(np.round(x, 1))),
        ),
        st.integers(0, 2**32 - 1),
    )
    @settings(max_examples=60, deadline=None)
    def test_random_meshes_of_quantised_coordinates(self, vertices, seed):
        # Quantised coordinates make exact ties, shared planes and degenerate triangles common.
        rng = np.random.default_rng(seed)
        triangles = rng.integers(0, len(vertices), (rng.integers(1, 20), 3))
        queries = np.round(rng.uniform(-5, 5, (60, 3)), 1)
        check_exact(ornel.Mesh(vertices, triangles), np.concatenate([queries, vertices]), threads=1)

    @pytest.mark.parametrize("name", ["fandisk", "stanford-bunny"])
    def test_big_meshes_on_sampled_queries(self, name):
        mesh = ornel.Mesh.load(MESHES / f"{name}.obj")
        rng = np.random.default_rng(7)
        queries = features_and_far(mesh.vertices, mesh.triangles, rng, 250)
        check_exact(mesh, queries)

    @pytest.mark.parametrize("offset", [0.0, 5e5])
    @pytest.mark.parametrize("name", ["fandisk", "stanford-bunny"])
    def test_dense_patches_as_a_scan_samples_them(self, name, offset):
        # Dense points around one spot, as a scan samples a surface: neighbours in Morton
        # order share their candidate triangles, and a few far points break the runs.
        mesh = ornel.Mesh.load(MESHES / f"{name}.obj")
        mesh = ornel.Mesh(mesh.vertices + offset, mesh.triangles)
        rng = np.random.default_rng(11)
        extent = np.ptp(mesh.vertices, axis=0).max()
        corners = mesh.vertices[mesh.triangles]
        spot = corners[rng.integers(len(corners)), 0]
        nearby = np.flatnonzero(np.linalg.norm(corners.mean(axis=1) - spot, axis=1) < 0.08 * extent)
        n = 1500
        on_faces = np.einsum("ij,ijk->ik", rng.dirichlet([1, 1, 1], n), corners[rng.choice(nearby, n)])
        noise = rng.choice([0.0, 1e-3, 1e-2], (n, 1)) * extent
        queries = np.concatenate([on_faces + rng.normal(size=(n, 3)) * noise, spot + rng.normal(0, extent, (20, 3))])
        found = check_exact(mesh, queries)
        limit = float(np.quantile(found.distance, 0.6))
        bounded = mesh.closest(queries, max_distance=limit)
        within = found.distance <= limit
        np.testing.assert_array_equal(bounded.distance[within], found.distance[within])
        np.testing.assert_array_equal(bounded.triangle[within], found.triangle[within])
        assert np.isnan(bounded.distance[~within]).all() and (bounded.triangle[~within] == -1).all()

    @pytest.mark.parametrize("offset", [0.0, 5e5])
    def test_chunks_shared_by_threads_against_brute_force(self, offset):
        # Several chunks of the sorted order (queries on shared edges and corners among
        # them, and duplicates), taken by the threads as they come free: every answer
        # is still the brute force's, and the same on any number of threads.
        rng = np.random.default_rng(11)
        vertices, triangles = cube(offset)
        mesh = ornel.Mesh(vertices, triangles)
        queries = features_and_far(vertices, triangles, rng, 5000)
        queries = np.concatenate([queries, queries[rng.integers(0, len(queries), 5000)]])
        assert len(queries) > 3 * 16384
        found = check_exact(mesh, queries, threads=3)
        inside = (np.abs(queries - offset) < 1).all(axis=1)
        for precision in ("f64", "f32"):
            signed = mesh.closest(queries, precision=precision, signed=True, threads=1)
            # Single precision signs the rounded point: those within its rounding may differ.
            off = np.abs(signed.distance) > (0 if precision == "f64" else 1e-5)
            np.testing.assert_array_equal(np.sign(signed.distance[off]), np.where(inside[off], -1.0, 1.0))
            for threads in (2, 3, 7):
                again = mesh.closest(queries, precision=precision, signed=True, threads=threads)
                np.testing.assert_array_equal(again.distance, signed.distance)
                np.testing.assert_array_equal(again.triangle, signed.triangle)
        np.testing.assert_array_equal(np.abs(signed.distance), mesh.closest(queries, precision="f32").distance)
        assert (found.triangle >= 0).all()
        # A bound leaves chunks whose runs have no answer to start from.
        limit = float(np.quantile(found.distance, 0.3))
        bounded = mesh.closest(queries, max_distance=limit, threads=3)
        within = found.distance <= limit
        np.testing.assert_array_equal(bounded.distance[within], found.distance[within])
        np.testing.assert_array_equal(bounded.triangle[within], found.triangle[within])
        assert np.isnan(bounded.distance[~within]).all() and (bounded.triangle[~within] == -1).all()

    def test_threads_bound_and_order_change_nothing(self):
        mesh = ornel.Mesh.load(MESHES / "fandisk.obj")
        rng = np.random.default_rng(3)
        queries = features_and_far(mesh.vertices, mesh.triangles, rng, 5000)
        one = mesh.closest(queries, threads=1)
        for threads in (2, 5):
            many = mesh.closest(queries, threads=threads)
            np.testing.assert_array_equal(many.distance, one.distance)
            np.testing.assert_array_equal(many.triangle, one.triangle)
        shuffled = rng.permutation(len(queries))
        again = mesh.closest(queries[shuffled], threads=2)
        np.testing.assert_array_equal(again.triangle, one.triangle[shuffled])
        limit = float(np.median(one.distance))
        bounded = mesh.closest(queries, max_distance=limit)
        within = one.distance <= limit
        np.testing.assert_array_equal(bounded.distance[within], one.distance[within])
        assert np.isnan(bounded.distance[~within]).all() and (bounded.triangle[~within] == -1).all()
        # A bound beyond single precision's range is no bound.
        unbounded = mesh.closest(queries, precision="f32")
        np.testing.assert_array_equal(
            mesh.closest(queries, precision="f32", max_distance=1e300).distance, unbounded.distance
        )

    @pytest.mark.parametrize("offset", [0.0, 5e5])
    def test_points_are_read_as_given(self, offset):
        # float32 or float64, contiguous or a strided view of wider rows: the search reads
        # them in place, with the answers of their float64 values (single precision:
        # rounded from the centre as NumPy would), whatever the precision.
        mesh = ornel.Mesh.load(MESHES / "fandisk.obj")
        mesh = ornel.Mesh(mesh.vertices + offset, mesh.triangles)
        queries = features_and_far(mesh.vertices, mesh.triangles, np.random.default_rng(6), 200)
        wide = np.concatenate([queries, np.ones((len(queries), 2))], axis=1)[::-1]  # rows of 5, backwards
        single = queries.astype(np.float32)
        for precision in ("f64", "f32"):
            exact = mesh.closest(queries, precision=precision)
            strided = mesh.closest(wide, precision=precision)
            np.testing.assert_array_equal(strided.distance, exact.distance[::-1])
            np.testing.assert_array_equal(strided.barycentric, exact.barycentric[::-1])
            from_single = mesh.closest(single, precision=precision)
            widened = mesh.closest(single.astype(np.float64), precision=precision)
            np.testing.assert_array_equal(from_single.distance, widened.distance)
            np.testing.assert_array_equal(from_single.triangle, widened.triangle)
            assert exact.distance.dtype == np.float64 and exact.triangle.dtype == np.int64
        bounds, links, corners, order = mesh.index("f32")
        local = (queries - mesh.centre).astype(np.float32)
        own = ornel._native.mesh_closest(bounds, links, corners, order, local)
        np.testing.assert_array_equal(own[0], mesh.closest(queries, precision="f32").distance)
        for origin in ([0.0, 1.0], [0.0, np.nan, 1.0]):
            with pytest.raises(ValueError, match="origin must be three finite numbers"):
                ornel._native.mesh_closest(bounds, links, corners, order, queries, origin=np.array(origin))

    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    @pytest.mark.parametrize("name", ["fandisk", "stanford-bunny"])
    def test_single_precision_within_its_bound(self, name, offset):
        mesh = ornel.Mesh.load(MESHES / f"{name}.obj")
        mesh = ornel.Mesh(mesh.vertices + offset, mesh.triangles)
        queries = features_and_far(mesh.vertices, mesh.triangles, np.random.default_rng(5), 250)
        exact = mesh.closest(queries).distance
        single = mesh.closest(queries, precision="f32").distance
        reach = max(np.linalg.norm(mesh.vertices - mesh.centre, axis=1).max(), 0)
        reach = np.maximum(reach, np.linalg.norm(queries - mesh.centre, axis=1))
        assert (np.abs(single - exact) <= 8 * EPS32 * (reach + exact)).all()


class TestSharedCandidates:
    """Runs of neighbouring points share one list of candidate triangles, each point keeping
    those within its own first bound: dense clusters of points make every run share one,
    and their answers must still be the brute force's, ties and all."""

    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    def test_ties_on_shared_edges_and_vertices_of_a_grid(self, offset):
        # A flat grid of exact coordinates: a point above a shared vertex is equally near
        # its six triangles, one above an edge's midpoint its two; the lowest must win
        # whichever of them its run's list holds first.
        vertices, triangles = height_field(np.zeros((9, 9)), 0.5)
        vertices[:, :2] += offset
        rng = np.random.default_rng(21)
        on_grid = vertices[rng.integers(0, len(vertices), 400)]
        edges = (vertices[triangles] + vertices[triangles][:, [1, 2, 0]]) / 2
        on_edges = edges.reshape(-1, 3)[rng.integers(0, 3 * len(triangles), 400)]
        heights = rng.choice([0.0, 0.25, -0.5, 1e-9], (800, 1))
        queries = np.concatenate([on_grid, on_edges]) + np.c_[np.zeros((800, 2)), heights]
        found = check_exact(ornel.Mesh(vertices, triangles), queries)
        assert (found.distance[heights[:, 0] == 0] == 0).all()
        for precision in ("f32", "f64"):
            single = ornel.Mesh(vertices, triangles).closest(queries, precision=precision)
            np.testing.assert_allclose(single.distance, np.abs(heights[:, 0]), atol=8 * EPS32 * (8 + 1))

    @pytest.mark.parametrize("offset", [0.0, 5e5])
    def test_degenerate_and_duplicate_triangles_beside_each_other(self, offset):
        # A patch whose triangles lie in the same leaves as copies of themselves (either
        # winding), points, segments and slivers, all searched by dense points around it.
        vertices, triangles = height_field(np.random.default_rng(2).normal(0, 0.05, (6, 6)), 0.2)
        vertices += offset
        n = len(vertices)
        extra = np.array([[7, 8, 14], [7, 14, 8], [7, 8, 14], [9, 9, 9], [9, 10, 10], [9, 10, 11], [15, 16, 17]])
        sliver = vertices[[20, 21]].mean(axis=0) + [0, 0, 1e-12]
        vertices = np.concatenate([vertices, [sliver]])
        extra = np.concatenate([extra, [[20, 21, n], [21, 20, n]]])
        mesh = ornel.Mesh(vertices, np.concatenate([triangles, extra, triangles[:5]]))
        rng = np.random.default_rng(8)
        centre = vertices[[7, 9, 14, 20]].mean(axis=0)
        queries = centre + rng.normal(0, [0.3, 0.3, 0.05], (3000, 3))
        queries[::7] = vertices[rng.integers(0, len(vertices), len(queries[::7]))]
        check_exact(mesh, queries)

    @pytest.mark.parametrize("name", ["fandisk", "stanford-bunny"])
    def test_runs_near_and_far_alternate(self, name):
        # A cluster on the surface and one deep inside: the inner points' spheres hold more
        # triangles than a run's list takes, so their runs walk the tree point by point, and
        # the next run near the surface starts again from a far answer.
        mesh = ornel.Mesh.load(MESHES / f"{name}.obj")
        rng = np.random.default_rng(4)
        extent = np.ptp(mesh.vertices, axis=0).max()
        corners = mesh.vertices[mesh.triangles]
        spot = corners[rng.integers(len(corners))].mean(axis=0)
        near = spot + rng.normal(0, 0.01 * extent, (600, 3))
        inside = mesh.centre + rng.normal(0, 0.02 * extent, (600, 3))
        queries = np.concatenate([near, inside])[rng.permutation(1200)]
        check_exact(mesh, queries)

    def test_weights_not_kept_when_not_wanted(self):
        mesh = ornel.Mesh.load(MESHES / "fandisk.obj")
        queries = features_and_far(mesh.vertices, mesh.triangles, np.random.default_rng(9), 200)
        for precision, signed in (("f64", False), ("f32", True)):
            full = mesh.closest(queries, precision=precision, signed=signed)
            bare = mesh.closest(queries, precision=precision, signed=signed, barycentric=False)
            assert bare.barycentric is None
            np.testing.assert_array_equal(bare.distance, full.distance)
            np.testing.assert_array_equal(bare.triangle, full.triangle)
        bounds, links, corners, order = mesh.index("f64")
        with pytest.raises(TypeError, match="not an instance of .bool."):
            ornel._native.mesh_closest(bounds, links, corners, order, queries, barycentric=1)


class TestRuns:
    """Eight neighbouring points are measured at once, one a lane, against each triangle of
    their run's list: runs of every length (the last one short), lanes with and without an
    answer within a bound, and lanes that leave the vector path for the one-triangle test
    beside lanes that stay on it must all get the brute force's answer, in both precisions."""

    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    def test_runs_of_every_length_with_lanes_beyond_a_bound(self, offset):
        rng = np.random.default_rng(int(offset) % 101)
        vertices, triangles = height_field(rng.normal(0, 0.1, (8, 8)), 0.25)
        mesh = ornel.Mesh(vertices + offset, triangles)
        queries = vertices[rng.integers(0, len(vertices), 40)] + rng.normal(0, [0.3, 0.3, 0.2], (40, 3)) + offset
        for n in range(1, 18):
            check_exact(mesh, queries[:n], threads=1)
            check_exact_single(mesh, queries[:n], threads=1)
        # Every other point of a run beyond the bound: lanes without an answer beside lanes with one.
        queries[1::2, 2] += np.where(np.arange(20) % 3 == 0, 2.0, -2.0)
        limit = 1.0
        for n in (8, 13, 40):
            exact = mesh.closest(queries[:n], max_distance=limit)
            distance, triangle = brute_force(queries[:n], mesh.vertices, mesh.triangles)
            beyond = distance > limit
            assert beyond.any() and not beyond.all()
            np.testing.assert_array_equal(exact.distance[~beyond], distance[~beyond])
            np.testing.assert_array_equal(exact.triangle, np.where(beyond, -1, triangle))
            check_exact_single(mesh, queries[:n], max_distance=limit)

    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    def test_slivers_and_segments_measured_beside_proper_triangles(self, offset):
        # Needles whose face region rounds away, segments and points among a patch's proper
        # triangles: in one run some lanes take the vector path and others the one-triangle
        # test, and every triangle with a repeated corner is measured lane by lane.
        vertices, triangles = height_field(np.zeros((5, 5)), 0.5)
        extra = np.array([[0, 0, 0], [2, 0, 0], [1, 1e-9, 0], [1, 3e-17, 1e-17], [1, 1, 0.5], [1, 1, 0.5]])
        base = len(vertices)
        vertices = np.concatenate([vertices, extra])
        needles = np.array([[base, base + 1, base + 2], [base + 1, base, base + 3], [base + 4, base + 5, base + 4]])
        segments = np.array([[base, base, base + 1], [6, 6, 6], [base + 4, 12, base + 5]])
        mesh = ornel.Mesh(vertices + offset, np.concatenate([triangles, needles, segments, needles[::-1]]))
        rng = np.random.default_rng(5)
        queries = rng.normal(0, [0.8, 0.4, 0.3], (2000, 3)) + [1, 0, 0]
        queries[::5] = vertices[rng.integers(0, len(vertices), len(queries[::5]))]
        queries[1::9, 1] = 0  # on the needles' line
        check_exact(mesh, queries + offset)
        check_exact_single(mesh, queries + offset)

    @pytest.mark.parametrize("offset", [0.0, 5e5])
    def test_any_order_of_the_points_gives_the_same_answers(self, offset):
        # The runs hold other neighbours in another order, so each point shares its lanes
        # with others, and its first bound comes from another answer.
        mesh = ornel.Mesh.load(MESHES / "stanford-bunny.obj")
        mesh = ornel.Mesh(mesh.vertices + offset, mesh.triangles)
        rng = np.random.default_rng(12)
        corners = mesh.vertices[mesh.triangles[rng.integers(0, len(mesh.triangles), 40)]]
        queries = np.repeat(corners.mean(axis=1), 50, axis=0)
        queries += rng.normal(0, 0.002, queries.shape)
        shuffled = rng.permutation(len(queries))
        for precision in ("f64", "f32"):
            found = mesh.closest(queries, precision=precision, signed=True)
            again = mesh.closest(queries[shuffled], precision=precision, signed=True, threads=3)
            np.testing.assert_array_equal(again.distance, found.distance[shuffled])
            np.testing.assert_array_equal(again.triangle, found.triangle[shuffled])
            np.testing.assert_array_equal(again.barycentric, found.barycentric[shuffled])
        check_exact(mesh, queries[::4])
        check_exact_single(mesh, queries[::4])


class TestSigns:
    @pytest.mark.parametrize("precision", ["f64", "f32"])
    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    def test_cube_corners_edges_and_faces(self, offset, precision):
        vertices, triangles = cube(offset)
        mesh = ornel.Mesh(vertices, triangles)
        # A grid through the cube and around it: the closest feature of many points is a
        # corner or an edge, inside and out.
        axis = np.linspace(-1.6, 1.6, 17)
        grid = np.stack(np.meshgrid(axis, axis, axis), axis=-1).reshape(-1, 3)
        grid = grid[np.abs(np.abs(grid).max(axis=1) - 1) > 1e-9]  # off the surface
        found = mesh.closest(grid + offset, precision=precision, signed=True)
        inside = (np.abs(grid) < 1).all(axis=1)
        np.testing.assert_array_equal(found.distance < 0, inside)
        unsigned = mesh.closest(grid + offset, precision=precision)
        np.testing.assert_array_equal(np.abs(found.distance), unsigned.distance)

    @given(st.integers(0, 2**32 - 1))
    @settings(max_examples=25, deadline=None)
    def test_convex_solids_against_their_planes(self, seed):
        from scipy.spatial import ConvexHull

        rng = np.random.default_rng(seed)
        offset = rng.choice([0.0, 5e5])
        vertices = rng.normal(size=(rng.integers(5, 40), 3))
        hull = ConvexHull(vertices)
        triangles = outward(vertices, hull.simplices)
        queries = np.concatenate([rng.normal(size=(300, 3)) * 1.5, vertices * 1.001, vertices * 0.999])
        plane = hull.equations[:, :3] @ queries.T + hull.equations[:, 3:]
        off_surface = np.abs(plane.max(axis=0)) > 1e-9
        found = ornel.Mesh(vertices + offset, triangles).closest(queries + offset, signed=True)
        inside = plane.max(axis=0) < 0
        np.testing.assert_array_equal((found.distance < 0)[off_surface], inside[off_surface])

    def test_soup_and_flipped_winding(self):
        # Unwelded triangles sign as the welded surface; flipping the winding flips signs.
        vertices, triangles = cube()
        soup = vertices[triangles].reshape(-1, 3)
        soup_triangles = np.arange(len(soup)).reshape(-1, 3)
        axis = np.linspace(-1.5, 1.5, 13)
        grid = np.stack(np.meshgrid(axis, axis, axis), axis=-1).reshape(-1, 3)
        grid = grid[np.abs(np.abs(grid).max(axis=1) - 1) > 1e-9]
        inside = (np.abs(grid) < 1).all(axis=1)
        signed = ornel.Mesh(soup, soup_triangles).closest(grid, signed=True).distance
        np.testing.assert_array_equal(signed < 0, inside)
        flipped = ornel.Mesh(vertices, triangles[:, [0, 2, 1]]).closest(grid, signed=True).distance
        np.testing.assert_array_equal(flipped > 0, inside)

    @pytest.mark.parametrize("offset", [0.0, 5e5])
    def test_pseudo_normals_are_their_definition(self, offset):
        # Welded seams (a soup), a sliver, a repeated corner, a duplicate face, an open
        # mesh and real closed ones: the native normals are the NumPy definition's.
        vertices, triangles = cube(offset)
        soup = vertices[triangles].reshape(-1, 3)
        odd_vertices = np.concatenate([vertices, [[3 + offset, 0, 0], [4 + offset, 0, 1e-9]]])
        odd = np.concatenate([triangles, [[8, 9, 9], [0, 8, 9], triangles[0]]])
        meshes = [(soup, np.arange(len(soup)).reshape(-1, 3)), (odd_vertices, odd)]
        for name in ("fandisk", "teapot", "spot"):
            mesh = ornel.Mesh.load(MESHES / f"{name}.obj")
            meshes.append((mesh.vertices + offset, mesh.triangles))
        for vertices, triangles in meshes:
            native = ornel.Mesh(vertices, triangles).pseudo_normals()
            np.testing.assert_allclose(native, pseudo_normals(vertices, triangles), rtol=0, atol=1e-9)

    @pytest.mark.parametrize("precision", ["f64", "f32"])
    @pytest.mark.parametrize("offset", [0.0, 5e5])
    @pytest.mark.parametrize("name", ["spot", "fandisk"])
    def test_closed_meshes_sign_as_their_winding_numbers(self, name, offset, precision):
        # Queries at and near vertices, edges and faces, and far: negative exactly where
        # the winding number says inside, whatever feature is closest.
        mesh = ornel.Mesh.load(MESHES / f"{name}.obj")
        vertices = mesh.vertices + offset
        queries = features_and_far(vertices, mesh.triangles, np.random.default_rng(11), 120)
        found = ornel.Mesh(vertices, mesh.triangles).closest(queries, precision=precision, signed=True)
        extent = np.ptp(vertices, axis=0).max()
        off_surface = np.abs(found.distance) > (1e-5 if precision == "f32" else 1e-9) * extent
        assert off_surface.sum() >= 0.6 * len(queries)
        inside = winding_numbers(queries - offset, mesh.vertices, mesh.triangles) > 0.5
        np.testing.assert_array_equal((found.distance < 0)[off_surface], inside[off_surface])

    def test_open_sheet_takes_the_side_as_wound(self):
        square = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], float)
        mesh = ornel.Mesh(square, [[0, 1, 2], [0, 2, 3]])  # normal +z
        queries = np.array([[0.5, 0.5, 1], [0.5, 0.5, -1], [2, 2, 0.1], [2, 2, -0.1], [-1, 0.5, -0.5]])
        np.testing.assert_array_equal(np.sign(mesh.closest(queries, signed=True).distance), [1, -1, 1, -1, -1])


def height_field(heights, spacing):
    """A tile of terrain as a mesh: vertex (i, j) at (i, j) * spacing with its height, two
    triangles a cell, wound to face +z."""
    rows, cols = heights.shape
    i, j = np.meshgrid(np.arange(rows), np.arange(cols), indexing="ij")
    vertices = np.column_stack([i.ravel() * spacing, j.ravel() * spacing, heights.ravel()])
    v = (i[:-1, :-1] * cols + j[:-1, :-1]).ravel()
    triangles = np.concatenate(
        [np.column_stack([v, v + cols, v + cols + 1]), np.column_stack([v, v + cols + 1, v + 1])]
    )
    return vertices, triangles


def torus(major, minor, around=48, across=24):
    """A ring, closed, wound outward by construction (the u then w tangents' cross product
    points away from the tube's core; a test of normals against the centroid would flip the
    inner faces)."""
    u, w = np.meshgrid(np.arange(around) * 2 * np.pi / around, np.arange(across) * 2 * np.pi / across, indexing="ij")
    radius = major + minor * np.cos(w)
    vertices = np.column_stack(
        [(radius * np.cos(u)).ravel(), (radius * np.sin(u)).ravel(), (minor * np.sin(w)).ravel()]
    )
    a = np.arange(around)[:, None] * across
    b = np.arange(across)[None, :]
    p00, p10 = (a + b).ravel(), (((a + across) % (around * across)) + b).ravel()
    p01, p11 = (a + (b + 1) % across).ravel(), (((a + across) % (around * across)) + (b + 1) % across).ravel()
    return vertices, np.concatenate([np.column_stack([p00, p10, p11]), np.column_stack([p00, p11, p01])])


class TestSignsOnScannedShapes:
    """Signs where scans make them hard: an open tilted noisy terrain tile and a nearly flat
    site (the side as wound), a thin closed plate and a ring (inside by winding number),
    near the origin and where survey coordinates lie, in both precisions."""

    @pytest.mark.parametrize("precision", ["f64", "f32"])
    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    @pytest.mark.parametrize("relief", [0.3, 1e-4])  # a noisy tilted tile; a nearly flat site
    def test_open_terrain_takes_the_side_as_wound(self, relief, offset, precision):
        rng = np.random.default_rng(int(relief * 1e4) + int(offset) % 89)
        n, spacing = 30, 1.0
        i, j = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
        heights = 0.2 * i * spacing + relief * rng.standard_normal((n, n))
        vertices, triangles = height_field(heights, spacing)
        mesh = ornel.Mesh(vertices + offset, triangles)
        # Inside the footprint by more than any query's height off the surface, so that the
        # closest point lies inside too and the side is the vertical one.
        xy = rng.uniform(2 * spacing, (n - 3) * spacing, (2000, 2))
        cell = np.floor(xy / spacing).astype(int)
        fx, fy = (xy / spacing - cell).T
        h00, h10 = heights[cell[:, 0], cell[:, 1]], heights[cell[:, 0] + 1, cell[:, 1]]
        h01, h11 = heights[cell[:, 0], cell[:, 1] + 1], heights[cell[:, 0] + 1, cell[:, 1] + 1]
        # The cell's diagonal runs from (0, 0) to (1, 1): below it the first triangle.
        surface = np.where(
            fx >= fy, h00 + fx * (h10 - h00) + fy * (h11 - h10), h00 + fy * (h01 - h00) + fx * (h11 - h01)
        )
        above = rng.uniform(0.02, 0.8, len(xy)) * rng.choice([-1, 1], len(xy))
        queries = np.column_stack([xy, surface + above]) + offset
        signed = mesh.closest(queries, precision=precision, signed=True).distance
        np.testing.assert_array_equal(np.sign(signed), np.sign(above))

    @pytest.mark.parametrize("precision", ["f64", "f32"])
    @pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
    def test_a_thin_plate_and_a_ring_are_inside_by_winding_number(self, offset, precision):
        rng = np.random.default_rng(int(offset) % 97)
        corners, faces = cube()
        thickness = 2e-3
        plate = corners * [1, 1, thickness / 2]
        between = np.column_stack([rng.uniform(-0.9, 0.9, (600, 2)), rng.uniform(-0.45, 0.45, 600) * thickness])
        beside = between * [1, 1, 3]  # as far again outside each face as inside
        ring, ring_faces = torus(1.0, 0.25)
        around = rng.uniform(-1.4, 1.4, (3000, 3)) * [1, 1, 0.3]
        for vertices, triangles, queries in (
            (plate, faces, np.concatenate([between, beside])),
            (ring, ring_faces, around),
        ):
            found = ornel.Mesh(vertices + offset, triangles).closest(queries + offset, precision=precision, signed=True)
            inside = winding_numbers(queries, vertices, triangles) > 0.5
            off_surface = np.abs(found.distance) > 1e-2 * thickness
            assert off_surface.mean() > 0.95 and inside.any() and not inside.all()
            np.testing.assert_array_equal((found.distance < 0)[off_surface], inside[off_surface])


def write_binary_stl(path, corners):
    with open(path, "wb") as file:
        file.write(b"solid but binary".ljust(80, b" ") + struct.pack("<I", len(corners)))
        for tri in corners:
            file.write(struct.pack("<12fH", 0, 0, 0, *tri.reshape(-1), 0))


class TestFiles:
    def test_every_format_reads_the_same_mesh(self, tmp_path):
        from plyfile import PlyData, PlyElement

        vertices = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0.5, 0.5, 1]], float)
        triangles = np.array([[0, 1, 2], [0, 2, 3], [0, 1, 4], [1, 2, 4], [2, 3, 4], [3, 0, 4]])
        rng = np.random.default_rng(2)
        queries = rng.uniform(-1, 2, (200, 3))
        expected = ornel.Mesh(vertices, triangles).closest(queries).distance
        (tmp_path / "m.obj").write_text(
            "# a quad and four triangles\n"
            + "".join(f"v {x} {y} {z}\n" for x, y, z in vertices)
            + "vt 0 0\nf 1/1 2/1 3/1 4/1\nf -5 -4 -1\nf 2//1 3//1 5//1\nf 3 4 5\nf 4 1 5\n"
        )
        vertex = np.array([tuple(v) for v in vertices], [("x", "f8"), ("y", "f8"), ("z", "f8")])
        quads = [[0, 1, 2, 3], [0, 1, 4], [1, 2, 4], [2, 3, 4], [3, 0, 4]]
        face = np.array([(q,) for q in quads], [("vertex_indices", "O")])
        for text in (True, False):
            PlyData([PlyElement.describe(vertex, "vertex"), PlyElement.describe(face, "face")], text=text).write(
                str(tmp_path / f"m{int(text)}.ply")
            )
        (tmp_path / "m.off").write_text(
            "OFF\n# comment\n5 5 0\n"
            + "".join(f"{x} {y} {z}\n" for x, y, z in vertices)
            + "".join(f"{len(q)} {' '.join(map(str, q))}\n" for q in quads)
        )
        corners = vertices[triangles]
        write_binary_stl(tmp_path / "b.stl", corners)
        (tmp_path / "a.stl").write_text(
            "solid m\n"
            + "".join(
                "facet normal 0 0 0\nouter loop\n"
                + "".join(f"vertex {x} {y} {z}\n" for x, y, z in tri)
                + "endloop\nendfacet\n"
                for tri in corners
            )
            + "endsolid m\n"
        )
        for name in ("m.obj", "m0.ply", "m1.ply", "m.off", "b.stl", "a.stl"):
            mesh = ornel.Mesh.load(tmp_path / name)
            assert len(mesh) == 6, name
            np.testing.assert_array_equal(mesh.closest(queries).distance, expected, err_msg=name)
        assert len(ornel.Mesh.load(tmp_path / "b.stl").vertices) == 5  # STL corners welded

    @pytest.mark.parametrize(
        "text, plain",
        [
            ("v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\nf 1 2 3\n", True),
            ("# c\r\nv 1e5 -0.0 .5\r\nv 1.25 2 3 0.5 0.5 0.5\r\nvn 0 0 1\r\nv 3 1E-3 7.\r\nf 1/1/1 2//1 3/2\r\n", True),
            ("v 0.1 0.2 0.3\rv 1 0 0\rv 0 1 0\rg part\rusemtl x\rf\t1\t2  3 \r", True),
            ("v 0 0 0\nv 1 0 0\nv 0 1 0\nf -3 -2 -1\n", False),
            ("v +1 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", False),
            ("v 1_0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", False),
            ("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 +3\n", False),
        ],
    )
    def test_the_plain_obj_reader_reads_what_the_general_one_does(self, tmp_path, text, plain, monkeypatch):
        # Read at once where the file is plain, else left to the general reader: either
        # way the same vertices (numbers rounded as float() does) and triangles.
        from ornel import _native

        path = tmp_path / "m.obj"
        path.write_bytes(text.encode())
        assert (_native.mesh_obj(path.read_bytes()) is not None) == plain
        fast = ornel.Mesh.load(path)
        monkeypatch.setattr(ornel._mesh._native, "mesh_obj", lambda text: None)
        general = ornel.Mesh.load(path)
        np.testing.assert_array_equal(fast.vertices, general.vertices)
        assert np.signbit(fast.vertices).tolist() == np.signbit(general.vertices).tolist()
        np.testing.assert_array_equal(fast.triangles, general.triangles)

    @pytest.mark.parametrize(
        "content, message",
        [
            ("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n", "names vertex 3, but the mesh has 3 vertices"),
            ("v 0 0 0\nv 1 0 0\nv 0 1 0\n", "no faces"),
            ("v 0 0 0\nv 1 0 nan\nv 0 1 0\nf 1 2 3\n", "vertex 1 has a non-finite coordinate"),
            ("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 0 1 2\n", "OBJ counts vertices from 1"),
            ("v 0 0 0\nv 1 0 0\nf 1 2\n", "a face of 2 vertices"),
            ("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 x 3\n", "not whole numbers"),
        ],
    )
    def test_meaningless_meshes_are_refused_in_one_line(self, tmp_path, content, message):
        path = tmp_path / "bad.obj"
        path.write_text(content)
        with pytest.raises(ornel.CloudError, match=message) as caught:
            ornel.Mesh.load(path)
        assert "\n" not in str(caught.value) and str(path) in str(caught.value)

    def test_other_refusals(self, tmp_path):
        (tmp_path / "short.off").write_text("OFF\n4 2 0\n0 0 0\n1 0 0\n")
        (tmp_path / "junk.stl").write_bytes(b"\x00" * 90)
        for name, message in (
            ("short.off", "truncated"),
            ("junk.stl", "not an STL file"),
            ("none.ply", "no such file"),
        ):
            with pytest.raises(ornel.CloudError, match=message):
                ornel.Mesh.load(tmp_path / name)
        with pytest.raises(ornel.CloudError, match="no triangles"):
            ornel.Mesh(np.eye(3), np.zeros((0, 3), int))
        triangle = ornel.Mesh(np.eye(3), [[0, 1, 2]])
        for point, precision in (([np.inf, 0, 0], "f64"), ([0, np.nan, 0], "f32"), ([0, 0, 1e300], "f32")):
            # 1e300 is finite, but not in single precision: refused, not rounded to inf.
            with pytest.raises(ornel.CloudError, match="point 1 has a non-finite coordinate"):
                triangle.closest([[0, 0, 0], point], precision=precision)


def run_ornel(*args):
    import subprocess
    import sys

    script = Path(sys.executable).parent / "ornel"
    command = [str(script)] if script.exists() else [sys.executable, "-m", "ornel"]
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True, timeout=300)


class TestCompareWithMesh:
    @pytest.fixture
    def scan_and_model(self, tmp_path):
        from plyfile import PlyData, PlyElement

        vertices, triangles = cube()
        model = tmp_path / "cube.off"
        model.write_text(
            f"OFF\n{len(vertices)} {len(triangles)} 0\n"
            + "".join(f"{x} {y} {z}\n" for x, y, z in vertices)
            + "".join(f"3 {a} {b} {c}\n" for a, b, c in triangles)
        )
        rng = np.random.default_rng(4)
        points = rng.uniform(-1.5, 1.5, (3000, 3))
        scan = tmp_path / "scan.ply"
        records = np.array(
            [(*p, i % 7) for i, p in enumerate(points)], [("x", "f8"), ("y", "f8"), ("z", "f8"), ("intensity", "u1")]
        )
        PlyData([PlyElement.describe(records, "vertex")], text=False).write(str(scan))
        return scan, model, points, ornel.Mesh(vertices, triangles)

    def test_api_and_command_measure_to_triangles(self, tmp_path, scan_and_model):
        scan, model, points, mesh = scan_and_model
        exact, nearest = brute_force(points, mesh.vertices, mesh.triangles)
        result = ornel.compare(points, mesh, precision="f64")
        assert isinstance(result, ornel.MeshComparison)
        np.testing.assert_array_equal(result.distance, exact)
        np.testing.assert_allclose(np.linalg.norm(result.split(), axis=1), exact, atol=1e-12)
        out = tmp_path / "out.ply"
        done = run_ornel(
            "compare",
            scan,
            model,
            "--f64",
            "--signed",
            "--split",
            "--index",
            "--out",
            out,
            "--json",
            tmp_path / "s.json",
            "--max-distance",
            "0.4",
            "--radius",
            "0.1",
        )
        assert done.returncode == 0, done.stderr
        assert "12 triangles" in done.stdout
        from plyfile import PlyData

        written = PlyData.read(str(out))["vertex"].data
        assert written.dtype.names == ("x", "y", "z", "intensity", "distance", "dx", "dy", "dz", "index")
        np.testing.assert_array_equal(written["intensity"], np.arange(len(points)) % 7)
        within = exact <= 0.4
        inside = (np.abs(points) < 1).all(axis=1)
        np.testing.assert_array_equal(np.abs(written["distance"][within]), exact[within])
        np.testing.assert_array_equal(written["distance"][within] < 0, inside[within])
        assert np.isnan(written["distance"][~within]).all() and (written["index"][~within] == -1).all()
        vectors = np.c_[written["dx"], written["dy"], written["dz"]][within]
        np.testing.assert_allclose(np.linalg.norm(vectors, axis=1), exact[within], atol=1e-12)
        import json

        summary = json.loads((tmp_path / "s.json").read_text())
        assert summary["measure"] == "signed triangle" and summary["beyond_max_distance"] == int((~within).sum())

    def test_vertices_and_refusals(self, tmp_path, scan_and_model):
        scan, model, points, mesh = scan_and_model
        done = run_ornel("compare", scan, model, "--vertices", "--f64")
        assert done.returncode == 0, done.stderr
        nearest_vertex = np.sqrt(((points[:, None] - mesh.vertices[None]) ** 2).sum(axis=2)).min(axis=1)
        printed = dict(line.split()[:2] for line in done.stdout.splitlines()[1:])
        assert float(printed["max"]) == pytest.approx(nearest_vertex.max(), rel=1e-6)
        for extra, message in (
            (["--local-model", "plane"], "--local-model is for clouds"),
            (["--signed", "--normals-toward", "outside"], "--normals and --normals-toward are for"),
        ):
            done = run_ornel("compare", scan, model, *extra)
            assert done.returncode == 2 and message in done.stderr and done.stderr.count("\n") == 1
        bad = tmp_path / "bad.obj"
        bad.write_text("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 9\n")
        done = run_ornel("compare", scan, bad)
        assert done.returncode == 2 and "names vertex 8" in done.stderr and "Traceback" not in done.stderr

    def test_align_recovers_a_shift(self, scan_and_model):
        _, _, _, mesh = scan_and_model
        rng = np.random.default_rng(9)
        on_faces = mesh.points_at(rng.integers(0, 12, 4000), rng.dirichlet([1, 1, 1], 4000))
        moved = on_faces + [0.03, -0.02, 0.01]
        registration = ornel.register_to_mesh(ornel.Cloud(moved), mesh)
        assert registration.converged
        np.testing.assert_allclose(registration.transform[:3, 3], [-0.03, 0.02, -0.01], atol=1e-6)
        assert registration.rmse < 1e-6

    @pytest.mark.parametrize("offset", [0.0, 5e5])
    def test_align_to_a_flat_mesh_says_the_slide_is_unfixed(self, tmp_path, offset):
        # A scanned floor: its faces' normals are noisy, so the system is not singular, yet
        # nothing fixes a slide along it; the shift found along the plane is arbitrary.
        n, rng = 41, np.random.default_rng(0)
        x, y = np.meshgrid(np.linspace(0, 10, n), np.linspace(0, 10, n))
        vertices = np.c_[x.ravel(), y.ravel(), rng.normal(0, 0.003, n * n)] + offset
        corner = (np.arange(n - 1)[:, None] * n + np.arange(n - 1)[None, :]).ravel()
        triangles = np.r_[np.c_[corner, corner + 1, corner + n + 1], np.c_[corner, corner + n + 1, corner + n]]
        mesh = ornel.Mesh(vertices, triangles)
        scan = np.c_[rng.uniform(2, 8, (3000, 2)), rng.normal(0, 0.003, 3000)] + offset
        init = np.eye(4)
        init[:3, 3] = [0.3, 0.2, 0.05]
        registration = ornel.register_to_mesh(ornel.Cloud(scan), mesh, init=init)
        assert not registration.converged and "plane" in registration.unfixed
        # An exactly flat one is refused outright, naming no method a mesh does not have.
        flat = ornel.Mesh(vertices * [1, 1, 0] + [0, 0, offset], triangles)
        with pytest.raises(ornel.CloudError, match="more relief") as refused:
            ornel.register_to_mesh(ornel.Cloud(scan * [1, 1, 0] + [0, 0, offset]), flat, init=init)
        assert "point-to-point" not in str(refused.value)
        # The command refuses it in one line rather than writing a transform it cannot trust.
        np.save(tmp_path / "scan.npy", scan + init[:3, 3])
        (tmp_path / "floor.obj").write_text(
            "".join("v " + " ".join(repr(float(c)) for c in v) + "\n" for v in vertices)
            + "".join(f"f {t[0] + 1} {t[1] + 1} {t[2] + 1}\n" for t in triangles)
        )
        done = run_ornel("compare", tmp_path / "scan.npy", tmp_path / "floor.obj", "--align")
        assert done.returncode == 2 and "does not fix a slide" in done.stderr and done.stderr.count("\n") == 1

    def test_align_of_an_exact_copy_far_from_the_origin_converges(self, scan_and_model):
        _, _, _, mesh = scan_and_model
        far = ornel.Mesh(mesh.vertices + [5e5, -3e5, 2e5], mesh.triangles)
        rng = np.random.default_rng(3)
        on_faces = far.points_at(rng.integers(0, len(far), 3000), rng.dirichlet([1, 1, 1], 3000))
        registration = ornel.register_to_mesh(ornel.Cloud(on_faces), far)
        assert registration.converged and registration.unfixed is None
        # Measured where the points are: the transform's own column turns about the world's origin.
        np.testing.assert_allclose(registration.apply(on_faces), on_faces, rtol=0, atol=1e-6)


class TestIndexArrays:
    def test_malformed_index_arrays_are_refused_not_read_out_of_bounds(self):
        from ornel import _native

        mesh = ornel.Mesh.load(MESHES / "teapot.obj")
        bounds, links, corners, order = mesh.index("f64")
        queries = np.zeros((4, 3))
        triangle_lane = 2**31
        last = len(links) - 1
        # The root's lanes are nodes, the last node's first two triangles.
        assert (links[0] > 0).all() and (links[0] < triangle_lane).all() and (links[last, :2] >= triangle_lane).all()
        child = int(links[0, 0])
        broken = []
        for node, lane, value in (
            (child, 0, child),  # a node its own child: a cycle
            (0, 0, len(links)),  # a child past the last node
            (0, 1, child),  # one child twice: a node reached twice, another never
            (last, 0, triangle_lane + len(order)),  # a triangle past the triangles
            (last, 1, int(links[last, 0])),  # a triangle in two lanes, another in none
        ):
            changed = links.copy()
            changed[node, lane] = value
            broken.append((bounds, changed, corners, order))
        wrong_order = order.copy()
        wrong_order[0] = len(order)
        broken.append((bounds, links, corners, wrong_order))
        for arrays in broken:
            with pytest.raises(BaseException, match="index|out of|range|bounds"):
                _native.mesh_closest(*arrays, queries)
        with pytest.raises(ValueError, match="arrays of one mesh_bvh"):
            _native.mesh_closest(bounds[:-1], links, corners, order, queries)
        with pytest.raises(ValueError, match="C-contiguous"):
            _native.mesh_closest(bounds, links, corners[:, ::-1], order, queries)

    def test_the_index_is_built_once_and_shared_by_threads(self):
        from concurrent.futures import ThreadPoolExecutor

        mesh = ornel.Mesh.load(MESHES / "teapot.obj")
        queries = features_and_far(mesh.vertices, mesh.triangles, np.random.default_rng(8), 500)
        expected = mesh.closest(queries, threads=1).distance
        fresh = ornel.Mesh(mesh.vertices, mesh.triangles)
        with ThreadPoolExecutor(4) as pool:
            results = list(pool.map(lambda _: fresh.closest(queries, threads=1, signed=True).distance, range(8)))
        assert all(np.array_equal(np.abs(r), expected) for r in results)
        assert fresh.index("f64") is fresh.index("f64")


@pytest.mark.parametrize("offset", [0.0, 5e5, 5e6])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_a_comparison_without_the_weights_has_the_same_distances_and_triangles(offset, dtype):
    from ornel._mesh_compare import compare_to_mesh

    vertices, triangles = cube()
    mesh = ornel.Mesh(vertices + offset, triangles)
    rng = np.random.default_rng(int(offset) % 97)
    points = (np.round(rng.uniform(-1.5, 1.5, (2000, 3)), 2) + offset).astype(dtype)  # quantised: ties
    points[::50] = np.nan  # rows skipped, spread back as NaN
    for precision in ("f32", "f64"):
        for signed in (False, True):
            kept = compare_to_mesh(points, mesh, precision=precision, signed=signed, skip_invalid=True)
            bare = compare_to_mesh(
                points, mesh, precision=precision, signed=signed, skip_invalid=True, barycentric=False
            )
            np.testing.assert_array_equal(bare.distance, kept.distance)
            np.testing.assert_array_equal(bare.index, kept.index)
            assert bare.skipped == kept.skipped == 40 and bare.barycentric is None
            assert bare.statistics([0.1]) == kept.statistics([0.1])
            with pytest.raises(ValueError, match="closest points were not kept"):
                bare.split()
