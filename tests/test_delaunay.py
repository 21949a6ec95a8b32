"""ornel.delaunay and ornel.delaunay_graph: our own tetrahedraliser, checked against exact references."""

from concurrent.futures import ThreadPoolExecutor

import _ornel
import numpy as np
import pytest
from conftest import brute_k, grid
from delaunay_model import check_delaunay_exactly
from scipy.spatial import ConvexHull, Delaunay

import ornel


def edge_set(indptr, indices):
    rows = np.repeat(np.arange(len(indptr) - 1), np.diff(indptr.astype(np.int64)))
    return set(zip(rows.tolist(), indices.tolist()))


def scipy_edges(points):
    simplices = Delaunay(points).simplices.astype(np.uint64)
    return edge_set(*_ornel.graph_from_simplices(simplices, len(points)))


def sphere_and_centre():
    """Every integer point on the sphere of radius 5 around the origin (all cospherical), plus the centre."""
    r = range(-5, 6)
    shell = [(x, y, z) for x in r for y in r for z in r if x * x + y * y + z * z == 25]
    return np.array(shell + [(0, 0, 0)], np.float64)


class TestExactlyDelaunay:
    @pytest.mark.parametrize(
        "cloud",
        [
            "random",
            "grid",
            "sphere",
            "near_sphere",
            "duplicates",
            "near_flat",
            "wide",
            "georeferenced",
            "georeferenced_near_sphere",
        ],
    )
    def test_empty_spheres_and_tiling(self, cloud):
        rng = np.random.default_rng(3)
        if cloud == "random":
            points = rng.integers(-20, 20, size=(60, 3)).astype(np.float64)
        elif cloud == "grid":
            points = grid(4)
        elif cloud == "sphere":
            points = sphere_and_centre()
        elif cloud == "near_sphere":  # rounded unit vectors, some a few ulps off: inspheres at the filter's edge
            shell = rng.normal(size=(48, 3))
            shell /= np.linalg.norm(shell, axis=1, keepdims=True)
            shell[::3] *= 1 + 2.0**-50
            shell[1::3] *= 1 - 2.0**-51
            points = np.concatenate([shell, shell[:8] * 1e-9 + 1.0])  # and a tiny cluster far from the origin
        elif cloud == "duplicates":
            base = rng.integers(0, 4, size=(30, 3)).astype(np.float64)
            points = base[rng.integers(0, 30, size=70)]
        elif cloud == "near_flat":  # a quantised plane with a few points just off it
            points = np.concatenate(
                [
                    np.c_[rng.integers(0, 8, size=(50, 2)), np.zeros(50)],
                    [[1, 1, 2.0**-30], [3, 5, -(2.0**-30)], [6, 2, 1]],
                ]
            )
        elif cloud == "georeferenced":  # a quantised lump with ties, its extent tiny beside its coordinates
            points = rng.integers(0, 5, size=(70, 3)) * 0.25 + [5_402_100.5, 512_300.25, 310.0]
        elif cloud == "georeferenced_near_sphere":  # rounding puts inspheres at the filters' edge, far out
            shell = rng.normal(size=(60, 3))
            points = shell / np.linalg.norm(shell, axis=1, keepdims=True) * 2.0**17 + [512_300.0, 5_402_100.0, 300.0]
        else:  # both ends of the double range in one cloud: no single scaling keeps it exact
            points = np.concatenate(
                [
                    rng.integers(-9, 9, size=(12, 3)) * 1e-300,
                    rng.integers(-9, 9, size=(12, 3)) * 1e300,
                    rng.integers(-9, 9, size=(12, 3)) * 1.0,
                ]
            )
        tets = ornel.delaunay(points)
        assert tets.dtype == np.uint64 and tets.shape[1] == 4
        first = {}
        for i, row in enumerate(map(tuple, points.tolist())):
            first.setdefault(row, i)
        # Each distinct point is a vertex, under its first index.
        assert set(np.unique(tets).tolist()) == set(first.values())
        check_delaunay_exactly(points, tets)

    @pytest.mark.parametrize("radius_squared", [425, 2125])
    def test_a_cavity_of_hundreds_of_faces(self, radius_squared):
        """Every integer point of one sphere, and its centre: the centre conflicts with every
        tetrahedron of the sphere points inserted before it, so its cavity is bounded by their
        whole hull, more vertices than the small table that links most cones. Checked exactly in
        integers: positive orientations, empty spheres, the hull's volume, the graph of the tetrahedra."""
        r = int(radius_squared**0.5) + 1
        axis = np.arange(-r, r + 1)
        lattice = np.stack(np.meshgrid(axis, axis, axis, indexing="ij"), -1).reshape(-1, 3)
        points = np.concatenate([lattice[(lattice**2).sum(1) == radius_squared], [[0, 0, 0]]]).astype(np.float64)
        tets = ornel.delaunay(points).astype(np.int64)
        p = points.astype(np.int64)
        centre = len(p) - 1
        assert np.all((tets == centre).any(1)), "a tetrahedron without the centre is not Delaunay here"
        q = p[tets]
        edges = q[:, 1:] - q[:, :1]
        orientation = np.einsum("ij,ij->i", edges[:, 0], np.cross(edges[:, 1], edges[:, 2]))
        assert np.all(orientation > 0)
        assert orientation.sum() == pytest.approx(6 * ConvexHull(points).volume, rel=1e-12)
        d = q[:, None, :, :] - p[None, :, None, :]  # (tetrahedra, points, 4, 3)
        m = np.concatenate([d, (d * d).sum(-1, keepdims=True)], -1)

        def det3(a):
            return (
                a[..., 0, 0] * (a[..., 1, 1] * a[..., 2, 2] - a[..., 1, 2] * a[..., 2, 1])
                - a[..., 0, 1] * (a[..., 1, 0] * a[..., 2, 2] - a[..., 1, 2] * a[..., 2, 0])
                + a[..., 0, 2] * (a[..., 1, 0] * a[..., 2, 1] - a[..., 1, 1] * a[..., 2, 0])
            )

        # Laplace expansion along the last column; every entry and product stays far below 2^63.
        det4 = sum((-1) ** (row + 3) * m[..., row, 3] * det3(np.delete(m[..., :3], row, axis=-2)) for row in range(4))
        assert np.all(det4 >= 0), "a point inside a circumsphere"
        expected = _ornel.graph_from_simplices(tets.astype(np.uint64), len(points))
        graph = ornel.delaunay_graph(points)
        np.testing.assert_array_equal(graph[0], expected[0])
        np.testing.assert_array_equal(graph[1], expected[1])

    @pytest.mark.parametrize("cloud", ["grid", "sphere"])
    @pytest.mark.parametrize("seed", [1, 2])
    def test_ties_are_broken_by_the_callers_indices(self, cloud, seed):
        """On cospherical points the tetrahedralisation is that of the points lifted to the paraboloid
        and each raised by eps^(n - i), i its index as given, whatever order they are stored or
        inserted in. Reference: the lift made real in integers (eps = 1 / B, scaled by B^n) and
        every tetrahedron's lifted plane checked against every other point, for clouds given in
        an order unrelated to their place in space."""
        base = grid(3) if cloud == "grid" else sphere_and_centre()
        points = base[np.random.default_rng(seed).permutation(len(base))]
        tets = ornel.delaunay(points)
        check_delaunay_exactly(points, tets)  # a tiling of the hull: so the one the lift gives, if its faces are
        p = points.astype(np.int64).tolist()
        n, B = len(p), 10**6
        lift = [B ** (n + 2) * sum(c * c for c in p[i]) + B**i for i in range(n)]

        def det4(m):
            return sum((-1) ** c * m[0][c] * det3([row[:c] + row[c + 1 :] for row in m[1:]]) for c in range(4))

        def det3(m):
            return (
                m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1])
                - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])
                + m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0])
            )

        for t in tets.tolist():
            for e in set(range(n)) - set(t):
                rows = [[p[q][k] - p[e][k] for k in range(3)] + [lift[q] - lift[e]] for q in t]
                assert det4(rows) > 0, f"point {e} lies below the lifted plane of {t}"

    def test_power_of_two_scaling_changes_nothing(self):
        # Multiples of 2^-20, so that even 2^-1050 times them are exact (subnormal) doubles.
        points = np.random.default_rng(4).integers(0, 2**20, size=(400, 3)) * 2.0**-20
        reference = edge_set(*ornel.delaunay_graph(points))
        for exponent in (-1050, -1000, -500, 500, 1000, 1023, 1024):
            assert edge_set(*ornel.delaunay_graph(np.ldexp(points, exponent))) == reference


class TestMatchesScipy:
    @pytest.mark.parametrize("n", [4, 5, 50, 3000])
    def test_edge_sets_on_general_position(self, n):
        points = np.random.default_rng(n).random((n, 3))
        assert edge_set(*ornel.delaunay_graph(points)) == scipy_edges(points)
        assert len(ornel.delaunay(points)) == len(Delaunay(points).simplices)

    def test_float32_strided_and_wide_arrays_read_as_their_copies(self):
        base = np.random.default_rng(5).normal(size=(2000, 5)).astype(np.float32)
        strided = base[::2, ::-1][:, 1:]  # negative column stride, odd row stride, extra columns
        expected = scipy_edges(np.ascontiguousarray(strided[:, :3]).astype(np.float64))
        assert edge_set(*ornel.delaunay_graph(strided)) == expected
        indptr, indices = ornel.delaunay_graph(strided)
        assert indptr.dtype == indices.dtype == np.uint32
        assert all(np.all(np.diff(indices[a:b].astype(np.int64)) > 0) for a, b in zip(indptr[:-1], indptr[1:]))

    def test_builds_from_a_thread_pool_agree(self):
        clouds = [np.random.default_rng(s).random((20000, 3)) for s in range(4)]
        with ThreadPoolExecutor(4) as pool:
            results = list(pool.map(ornel.delaunay_graph, clouds * 2))
        for a, b in zip(results, results[4:]):
            np.testing.assert_array_equal(a[1], b[1])
        assert edge_set(*results[1]) == scipy_edges(clouds[1])


def plane_and_a_few(rng):
    plane = np.c_[rng.integers(0, 30, size=(600, 2)), np.zeros(600)].astype(np.float64)
    return np.concatenate([plane, [[10, 10, 3.0], [20, 5, -2.0], [3, 25, 1.0]]])


def with_duplicates(rng):
    base = rng.random((300, 3))
    return base[rng.integers(0, 300, size=1500)]  # about five copies of each, in any order


class TestSearchesOverTheGraphAreExact:
    @pytest.mark.parametrize(
        "make",
        [lambda r: grid(9), lambda r: sphere_and_centre(), with_duplicates, plane_and_a_few],
        ids=["grid", "sphere", "duplicates", "plane"],
    )
    def test_k1_and_k8_against_brute_force(self, make):
        rng = np.random.default_rng(6)
        y = make(rng)
        lo, hi = y.min(0), y.max(0)
        x = np.concatenate([lo + (hi - lo) * rng.random((400, 3)), y[rng.integers(0, len(y), 100)]])
        gx, gy = ornel.delaunay_graph(x), ornel.delaunay_graph(y)
        dists, idx = _ornel.all_nearest_neighbours(x, *gx, y, *gy)
        ref_d, ref_i = brute_k(x, y, 1)
        np.testing.assert_array_equal(dists, ref_d[:, 0])
        np.testing.assert_array_equal(idx, ref_i[:, 0])  # ties to the smaller index
        dists8, idx8 = _ornel.all_nearest_neighbours_k(x, *gx, y, *gy, 8, 32)
        np.testing.assert_array_equal(dists8, brute_k(x, y, 8)[0])


class TestDuplicates:
    def test_groups_list_each_other_and_their_neighbours(self):
        rng = np.random.default_rng(7)
        base = rng.random((200, 3))
        pick = rng.integers(0, 200, size=800)
        pick[:200] = rng.permutation(200)  # every base point present
        cloud = base[pick]
        groups = {}
        for i, b in enumerate(pick.tolist()):
            groups.setdefault(b, []).append(i)
        base_edges = scipy_edges(base)
        expected = set()
        for i, b in enumerate(pick.tolist()):
            expected |= {(i, j) for j in groups[b] if j != i}
            expected |= {(i, j) for (u, v) in base_edges if u == b for j in groups[v]}
        assert edge_set(*ornel.delaunay_graph(cloud)) == expected
        tets = ornel.delaunay(cloud)
        assert set(np.unique(tets).tolist()) == {min(g) for g in groups.values()}

    @pytest.mark.parametrize("seed", [83, 105, 213])
    def test_thin_quantised_slabs(self, seed):
        """Many coplanar points and duplicates right after the first points inserted: every row in
        range, symmetric, without self-loops, equal points with equal neighbourhoods, searches exact."""
        rng = np.random.default_rng(seed)
        cloud = np.round(rng.random((700, 3)) * 9) / 9 * [1, 1, 0.01]
        cloud = np.ascontiguousarray(cloud[ornel.morton_order(cloud)])
        indptr, indices = ornel.delaunay_graph(cloud)
        assert int(indices.max()) < len(cloud)
        edges = edge_set(indptr, indices)
        assert all((j, i) in edges and i != j for i, j in edges)
        closed = {}
        for i, j in edges:
            closed.setdefault(i, {i}).add(j)
        for i, row in enumerate(map(tuple, cloud.tolist())):
            first = next(k for k in range(len(cloud)) if tuple(cloud[k]) == row)
            assert closed[i] == closed[first]
        x = np.concatenate([cloud[:50], rng.random((200, 3)) * [1, 1, 0.02]])
        dists, idx = _ornel.all_nearest_neighbours(x, *ornel.delaunay_graph(x), cloud, indptr, indices)
        ref_d, ref_i = brute_k(x, cloud, 1)
        np.testing.assert_array_equal(dists, ref_d[:, 0])
        np.testing.assert_array_equal(idx, ref_i[:, 0])


class TestFlatAndInvalidInput:
    @pytest.mark.parametrize(
        "points,message",
        [
            (np.zeros((0, 3)), "fewer than four distinct points: there is no tetrahedralisation"),
            (
                np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]] * 5, np.float64),
                "fewer than four distinct points: there is no tetrahedralisation",
            ),
            (
                np.c_[np.arange(10.0), 2 * np.arange(10.0), np.ones(10)],
                "all points lie on one line: there is no tetrahedralisation",
            ),
            (
                np.c_[np.random.default_rng(0).random((50, 2)), np.zeros(50)],
                "all points lie on one plane: there is no tetrahedralisation",
            ),
        ],
        ids=["empty", "three", "line", "plane"],
    )
    def test_delaunay_refuses_flat_clouds(self, points, message):
        with pytest.raises(ValueError) as info:
            ornel.delaunay(points)
        assert str(info.value) == message

    def test_graph_of_a_line_is_the_path_along_it(self):
        t = np.random.default_rng(8).permutation(40).astype(np.float64)
        points = np.c_[t, 3 * t - 1, -t][np.r_[np.arange(40), [5, 5, 17]]]  # three duplicates appended
        edges = edge_set(*ornel.delaunay_graph(points))
        value = t[np.r_[np.arange(40), [5, 5, 17]]]
        expected = {(i, j) for i in range(43) for j in range(43) if i != j and abs(value[i] - value[j]) <= 1}
        assert edges == expected

    @pytest.mark.parametrize("bits, offset", [(20, (0, 0, 0)), (16, (5_000_000, 4_000_000, 600_000))])
    def test_graph_of_a_tilted_plane_is_its_planar_delaunay_graph(self, bits, offset):
        """Far from the origin the helper point that lifts the plane lies well outside the cloud's
        box, which the predicates' static bounds, taken from that box, must then cover."""
        # (1, 2, 2) and (2, 1, -2) are orthogonal and equally long: the map keeps circles circles.
        xy = np.random.default_rng(9).integers(0, 2**bits, size=(300, 2)).astype(np.float64)
        points = xy[:, :1] * [1.0, 2, 2] + xy[:, 1:] * [2.0, 1, -2] + offset
        expected = set()
        for a, b, c in Delaunay(xy).simplices.tolist():
            expected |= {(a, b), (b, a), (a, c), (c, a), (b, c), (c, b)}
        assert edge_set(*ornel.delaunay_graph(points)) == expected

    def test_single_point_and_empty_graphs(self):
        indptr, indices = ornel.delaunay_graph(np.ones((3, 3)))
        assert edge_set(indptr, indices) == {(i, j) for i in range(3) for j in range(3) if i != j}
        indptr, indices = ornel.delaunay_graph(np.zeros((0, 3), np.float32))
        assert indptr.tolist() == [0] and len(indices) == 0

    @pytest.mark.parametrize("value,word", [(np.nan, "nan"), (np.inf, "inf"), (-np.inf, "inf")])
    @pytest.mark.parametrize("build", [ornel.delaunay, ornel.delaunay_graph])
    def test_non_finite_coordinates_name_the_first_row(self, build, value, word):
        points = np.random.default_rng(10).random((100, 3))
        points[37, 1] = value
        points[80, 0] = np.nan
        with pytest.raises(ValueError) as info:
            build(points)
        assert str(info.value) == f"point 37 has a non-finite coordinate ({word})"

    @pytest.mark.parametrize("build", [ornel.delaunay, ornel.delaunay_graph])
    @pytest.mark.parametrize("dtype", [np.float32, np.float64])
    def test_too_few_columns_name_the_count(self, build, dtype):
        with pytest.raises(ValueError) as info:
            build(np.zeros((5, 2), dtype))
        assert str(info.value) == "points must have at least 3 columns, got 2"

    @pytest.mark.parametrize("bad", [np.zeros((5, 2)), np.zeros(9), np.zeros((5, 3), np.int64), [[0.0, 0, 0]]])
    def test_arrays_that_are_not_point_arrays(self, bad):
        with pytest.raises((TypeError, ValueError)):
            ornel.delaunay_graph(bad)
