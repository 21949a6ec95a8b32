"""graph_from_simplices: the CSR vertex adjacency of tetrahedra.

Results are checked against two references kept here: a literal one (per-vertex
lists, both ends of every vertex pair appended, then sorted and deduplicated,
failing where that procedure fails) and scipy's Delaunay vertex adjacency.
"""

import threading
from contextlib import contextmanager

import _ornel
import numpy as np
import pytest
from conftest import DATA, assert_argument_notes, run_threads
from delaunay_model import assert_matches_scipy
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from scipy.spatial import Delaunay

from ornel import delaunay_graph

graph_from_simplices = _ornel.graph_from_simplices

PAIRS = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
U32_MAX = 2**32 - 1


class Failure(Exception):
    """The failure the literal reference meets, with its message."""


def reference_graph(simplices, n):
    """The graph built the slow, literal way; raises Failure where it fails."""
    if n > U32_MAX:
        raise Failure(f"graph_from_simplices: {n} points exceeds the u32 CSR limit of 4294967295")
    m, columns = simplices.shape
    lists = [[] for _ in range(n)]
    for r in range(m):
        if columns < 4:
            raise Failure(f"index out of bounds: the len is {columns} but the index is {columns}")
        ids = [int(simplices[r, c]) for c in range(4)]
        for i, j in PAIRS:
            a, b = ids[i], ids[j]
            if a >= n:
                raise Failure(f"index out of bounds: the len is {n} but the index is {a}")
            lists[a].append(b)
            if b >= n:
                raise Failure(f"index out of bounds: the len is {n} but the index is {b}")
            lists[b].append(a)
    indptr, indices = [0], []
    for neighbours in lists:
        indices.extend(sorted(set(neighbours)))
        indptr.append(len(indices))
    return np.array(indptr, dtype=np.uint32), np.array(indices, dtype=np.uint32)


def pairs_graph(simplices, n):
    """The same graph for large inputs with valid ids, by NumPy: every ordered
    pair of a row's first four ids, made unique."""
    ids = simplices[:, :4].astype(np.int64)
    a = np.concatenate([ids[:, i] for i, j in PAIRS] + [ids[:, j] for i, j in PAIRS])
    b = np.concatenate([ids[:, j] for i, j in PAIRS] + [ids[:, i] for i, j in PAIRS])
    keys = np.unique(a * n + b)
    counts = np.bincount(keys // n, minlength=n)
    indptr = np.concatenate([[0], np.cumsum(counts)])
    return indptr.astype(np.uint32), (keys % n).astype(np.uint32)


def assert_same_graph(got, expected):
    indptr, indices = got
    assert indptr.dtype == np.uint32 and indices.dtype == np.uint32
    np.testing.assert_array_equal(indptr, expected[0])
    np.testing.assert_array_equal(indices, expected[1])


def rows_of(indptr, indices):
    return [indices[indptr[v] : indptr[v + 1]].tolist() for v in range(len(indptr) - 1)]


@contextmanager
def raises_panic(message):
    with pytest.raises(BaseException) as info:
        yield
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert str(info.value) == message


def tets(rows, columns=4):
    return np.array(rows, dtype=np.uint64).reshape(-1, columns)


# --- small cases, checked against the literal reference --------------------------------------


SMALL_CASES = {
    "two sharing a face, ids unordered": (tets([[0, 1, 2, 3], [3, 2, 1, 4]]), 5),
    "the same tetrahedron twice, reordered": (tets([[0, 1, 2, 3], [3, 1, 0, 2]]), 4),
    "one tetrahedron a thousand times": (tets([[0, 1, 2, 3], [2, 3, 1, 0]] * 500), 4),
    "one vertex four times": (tets([[1, 1, 1, 1]]), 3),
    "two repeats in one row": (tets([[2, 0, 2, 0]]), 3),
    "vertices no tetrahedron mentions": (tets([[5, 2, 7, 3]]), 10),
    "no rows, three columns": (np.zeros((0, 3), dtype=np.uint64), 2),
    "extra columns ignored": (tets([[0, 1, 2, 3, 99, 2**63]], columns=6), 4),
}


@pytest.mark.parametrize("case", SMALL_CASES)
def test_small_cases_match_the_literal_build(case):
    simplices, n = SMALL_CASES[case]
    assert_same_graph(graph_from_simplices(simplices, n), reference_graph(simplices, n))


def test_one_tetrahedron_links_each_vertex_to_the_other_three():
    indptr, indices = graph_from_simplices(tets([[0, 1, 2, 3]]), 4)
    assert indptr.tolist() == [0, 3, 6, 9, 12]
    assert rows_of(indptr, indices) == [[1, 2, 3], [0, 2, 3], [0, 1, 3], [0, 1, 2]]


def test_shared_face_edges_appear_once_per_row():
    indptr, indices = graph_from_simplices(tets([[0, 1, 2, 3], [1, 2, 3, 4]]), 5)
    assert rows_of(indptr, indices) == [[1, 2, 3], [0, 2, 3, 4], [0, 1, 3, 4], [0, 1, 2, 4], [1, 2, 3]]


def test_repeated_vertex_lists_itself_once():
    indptr, indices = graph_from_simplices(tets([[0, 0, 1, 2]]), 3)
    assert rows_of(indptr, indices) == [[0, 1, 2], [0, 2], [0, 1]]


def test_no_rows_gives_empty_rows():
    indptr, indices = graph_from_simplices(tets([]), 3)
    assert indptr.tolist() == [0, 0, 0, 0] and indices.size == 0
    indptr, indices = graph_from_simplices(tets([]), 0)
    assert indptr.tolist() == [0] and indices.size == 0


# Ids mostly in range, sometimes just past it, sometimes far past 2^32 (whose
# low 32 bits would be in range).
ids = st.one_of(
    st.integers(0, 11),
    st.integers(0, 11),
    st.integers(0, 11),
    st.integers(12, 14),
    st.integers(0, 11).map(lambda low: (1 << 32) + low),
    st.just(2**64 - 1),
)


@settings(derandomize=True, max_examples=300, deadline=None)
@given(
    rows=st.lists(st.lists(ids, min_size=4, max_size=4), max_size=12),
    n=st.integers(0, 12),
)
def test_results_and_failures_match_the_literal_build(rows, n):
    simplices = tets(rows)
    try:
        expected = reference_graph(simplices, n)
    except Failure as failure:
        with raises_panic(str(failure)):
            graph_from_simplices(simplices, n)
    else:
        assert_same_graph(graph_from_simplices(simplices, n), expected)


def test_large_lists_and_uneven_ranges_match():
    # Vertex 0 is in every tetrahedron: its list is far longer than the rest
    # and than the share of the scratch any range may take.
    rng = np.random.default_rng(7)
    m = 120_000
    fan = np.stack([np.zeros(m, np.int64), np.arange(1, m + 1), np.arange(2, m + 2), np.arange(3, m + 3)], axis=1)
    shuffled = rng.permuted(fan, axis=1)[rng.permutation(m)]
    simplices = shuffled.astype(np.uint64)
    n = m + 5
    assert_same_graph(graph_from_simplices(simplices, n), pairs_graph(simplices, n))


def test_rows_repeated_many_times_match():
    # Raw lists fifty times longer than the result's rows.
    rng = np.random.default_rng(2)
    n = 40_000
    distinct = rng.permutation(n).reshape(-1, 4)
    simplices = np.repeat(distinct, 50, axis=0)[rng.permutation(50 * len(distinct))].astype(np.uint64)
    assert_same_graph(graph_from_simplices(simplices, n), pairs_graph(simplices, n))


def test_random_ids_with_many_repeats_match():
    rng = np.random.default_rng(11)
    n = 3000
    simplices = rng.integers(0, n, size=(200_000, 4)).astype(np.uint64)
    simplices[::7, 1] = simplices[::7, 0]  # self-loops
    assert_same_graph(graph_from_simplices(simplices, n), pairs_graph(simplices, n))


# --- Delaunay tetrahedralisations, checked against scipy -------------------------------------


@settings(derandomize=True, max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(5, 3000), layout=st.sampled_from(["uniform", "clusters", "grid"]))
def test_delaunay_rows_equal_scipy_neighbour_sets(seed, n, layout):
    rng = np.random.default_rng(seed)
    if layout == "uniform":
        points = rng.random((n, 3))
    elif layout == "clusters":
        centres = rng.random((4, 3)) * 10
        points = centres[rng.integers(0, 4, n)] + rng.normal(scale=0.05, size=(n, 3))
    else:  # cospherical and coplanar points everywhere
        points = np.unique(rng.integers(0, 6, size=(n, 3)), axis=0).astype(np.float64)
        assume(len(points) >= 5 and np.linalg.matrix_rank(points[1:] - points[0]) == 3)
    assert_matches_scipy(points)


@pytest.mark.parametrize("name", ["fandisk", "rocker-arm", "stanford-bunny"])
def test_real_clouds_match_scipy(name):
    assert_matches_scipy(np.load(DATA / f"{name}.npy"))


def test_delaunay_graph_helper_matches_scipy():
    points = np.random.default_rng(3).random((500, 3))
    indptr, indices = delaunay_graph(points)
    scipy_indptr, scipy_indices = Delaunay(points).vertex_neighbor_vertices
    np.testing.assert_array_equal(indptr, scipy_indptr)
    assert rows_of(indptr, indices) == [sorted(row) for row in rows_of(scipy_indptr, scipy_indices)]


# --- failures ---------------------------------------------------------------------------------


def test_id_equal_to_n_points_is_named():
    with raises_panic("index out of bounds: the len is 4 but the index is 4"):
        graph_from_simplices(tets([[0, 1, 2, 3], [0, 1, 4, 2]]), 4)


def test_ids_of_2_to_the_32_or_more_are_refused_in_full():
    # The low 32 bits of 2^32 + 1 name vertex 1, which exists.
    with raises_panic("index out of bounds: the len is 4 but the index is 4294967297"):
        graph_from_simplices(tets([[0, 2**32 + 1, 2, 3]]), 4)
    with raises_panic("index out of bounds: the len is 4 but the index is 18446744073709551615"):
        graph_from_simplices(tets([[0, 1, 2, 2**64 - 1]]), 4)


def test_first_bad_id_in_row_then_column_order_is_named():
    simplices = tets([[0, 1, 2, 3], [1, 9, 2, 8], [7, 0, 0, 0]])
    with raises_panic("index out of bounds: the len is 4 but the index is 9"):
        graph_from_simplices(simplices, 4)


@pytest.mark.parametrize("columns", [0, 1, 3])
def test_fewer_than_four_columns_fail_once_there_is_a_row(columns):
    assert_same_graph(graph_from_simplices(np.zeros((0, columns), np.uint64), 3), ([0, 0, 0, 0], []))
    with raises_panic(f"index out of bounds: the len is {columns} but the index is {columns}"):
        graph_from_simplices(np.zeros((1, columns), np.uint64), 3)


@pytest.mark.parametrize("n", [2**32, 2**64 - 1])
def test_point_counts_beyond_u32_are_refused_first(n):
    message = f"graph_from_simplices: {n} points exceeds the u32 CSR limit of 4294967295"
    with raises_panic(message):
        graph_from_simplices(tets([]), n)
    with raises_panic(message):
        graph_from_simplices(np.zeros((1, 3), np.uint64), n)


# --- arguments --------------------------------------------------------------------------------


def assert_refused(call, expected_type, message, note):
    with pytest.raises(expected_type) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert_argument_notes(info.value, note)


@pytest.mark.parametrize(
    "simplices, message",
    [
        (np.zeros((2, 4), np.int64), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros((2, 4), np.int32), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros((2, 4), np.uint32), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros((2, 4), np.float64), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros((2, 4), np.dtype(np.uint64).newbyteorder()), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(8, np.uint64), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros((2, 4, 1), np.uint64), "'ndarray' object is not an instance of 'ndarray'"),
        ([[0, 1, 2, 3]], "'list' object is not an instance of 'ndarray'"),
        (None, "'None' is not an instance of 'ndarray'"),
    ],
    ids=["int64", "int32", "uint32", "float64", "byteswapped", "1-D", "3-D", "list", "None"],
)
def test_simplices_of_the_wrong_kind_are_refused(simplices, message):
    assert_refused(lambda: graph_from_simplices(simplices, 4), TypeError, message, "while processing 'simplices'")


def test_n_points_follows_the_unsigned_integer_rule():
    s = tets([[0, 1, 2, 3]])
    note = "while processing 'n_points'"
    assert_refused(lambda: graph_from_simplices(s, -1), OverflowError, None, note)
    assert_refused(lambda: graph_from_simplices(s, 2**64), OverflowError, None, note)
    assert_refused(lambda: graph_from_simplices(s, 4.0), TypeError, None, note)
    assert_refused(lambda: graph_from_simplices(s, "4"), TypeError, None, note)
    expected = reference_graph(s, 4)
    assert_same_graph(graph_from_simplices(s, np.uint64(4)), expected)
    assert_same_graph(graph_from_simplices(s, np.int8(4)), expected)


def test_refusals_say_what_was_expected_and_what_was_given():
    with pytest.raises(TypeError) as info:
        graph_from_simplices(Delaunay(np.random.default_rng(3).random((12, 3))).simplices, 12)  # int32 from Qhull
    assert info.value.__notes__[1].startswith("expected a uint64 array of shape (m, 4); got int32 with shape (")
    # Triangles pass conversion; the build refuses them with its index message, now explained.
    with pytest.raises(BaseException) as info:
        graph_from_simplices(np.zeros((2, 3), np.uint64), 4)
    assert str(info.value) == "index out of bounds: the len is 3 but the index is 3"
    assert info.value.__notes__ == [
        "while processing 'simplices'",
        "expected a uint64 array of shape (m, 4); got uint64 with shape (2, 3)",
    ]


def test_simplices_are_converted_before_n_points():
    assert_refused(
        lambda: graph_from_simplices(np.zeros((1, 4), np.int64), -1),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
        "while processing 'simplices'",
    )


def test_argument_matching():
    s = tets([[0, 1, 2, 3]])
    expected = reference_graph(s, 4)
    assert_same_graph(graph_from_simplices(simplices=s, n_points=4), expected)
    assert_same_graph(graph_from_simplices(s, n_points=4), expected)
    cases = [
        (lambda: graph_from_simplices(s), "graph_from_simplices() missing 1 required positional argument: 'n_points'"),
        (
            lambda: graph_from_simplices(),
            "graph_from_simplices() missing 2 required positional arguments: 'simplices' and 'n_points'",
        ),
        (lambda: graph_from_simplices(s, 4, 5), "graph_from_simplices() takes 2 positional arguments but 3 were given"),
        (
            lambda: graph_from_simplices(s, points=4),
            "graph_from_simplices() got an unexpected keyword argument 'points'",
        ),
        (
            lambda: graph_from_simplices(s, 4, simplices=s),
            "graph_from_simplices() got multiple values for argument 'simplices'",
        ),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert graph_from_simplices.__text_signature__ == "(simplices, n_points)"


# --- views: any strides, read in place ---------------------------------------------------------


@pytest.fixture(scope="module")
def cloud_simplices():
    points = np.random.default_rng(5).random((400, 3))
    return Delaunay(points).simplices.astype(np.uint64), len(points)


def views_of(simplices):
    m = len(simplices)
    # Entries that are not ids are 2^64 - 1, which would fail if read as one.
    spread = np.full((m, 8), 2**64 - 1, dtype=np.uint64)
    spread[:, ::2] = simplices
    extra = np.full((m, 6), 2**64 - 1, dtype=np.uint64)
    extra[:, :4] = simplices
    reversed_rows = np.ascontiguousarray(simplices[::-1])
    spaced = np.zeros((2 * m, 4), np.uint64)
    spaced[::2] = simplices
    raw = np.zeros(simplices.nbytes + 1, np.uint8)
    unaligned = np.frombuffer(raw.data, dtype=np.uint64, count=simplices.size, offset=1).reshape(m, 4)
    unaligned[...] = simplices
    read_only = simplices.copy()
    read_only.flags.writeable = False
    assert not unaligned.flags.aligned
    return {
        "fortran order": (np.asfortranarray(simplices), simplices),
        "every other row": (spaced[::2], simplices),
        "negative row stride": (reversed_rows[::-1], simplices),
        "negative column stride": (simplices[:, ::-1], simplices),
        "column stride of two": (spread[:, ::2], simplices),
        "extra columns": (extra, simplices),
        "unaligned": (unaligned, simplices),
        "read-only": (read_only, simplices),
        "ulonglong": (simplices.astype(np.ulonglong), simplices),
    }


@pytest.mark.parametrize(
    "kind",
    [
        "fortran order",
        "every other row",
        "negative row stride",
        "negative column stride",
        "column stride of two",
        "extra columns",
        "unaligned",
        "read-only",
        "ulonglong",
    ],
)
def test_views_give_the_result_of_their_contiguous_copy(cloud_simplices, kind):
    simplices, n = cloud_simplices
    view, same_rows = views_of(simplices)[kind]
    assert_same_graph(graph_from_simplices(view, n), pairs_graph(same_rows, n))


# --- results ------------------------------------------------------------------------------------


def test_results_own_their_memory_and_outlive_the_input():
    simplices = tets([[0, 1, 2, 3], [1, 2, 3, 4]])
    result = graph_from_simplices(simplices, 5)
    indptr, indices = result
    expected = reference_graph(simplices, 5)
    simplices[:] = 0
    del simplices, result
    for array in (indptr, indices):
        assert array.flags.c_contiguous and array.flags.writeable and array.flags.aligned
        assert type(array.base).__name__ == "PySliceContainer"
    assert_same_graph((indptr, indices), expected)
    indices[:] = 0  # writeable, and nobody else's memory


def test_threads_get_the_serial_answer():
    rng = np.random.default_rng(9)
    inputs = [Delaunay(rng.random((3000, 3))).simplices.astype(np.uint64) for _ in range(4)]
    expected = [graph_from_simplices(s, 3000) for s in inputs]
    results = [None] * 8
    barrier = threading.Barrier(8)

    def work(i):
        barrier.wait()
        results[i] = graph_from_simplices(inputs[i % 4], 3000)

    run_threads(work, 8)
    for i, result in enumerate(results):
        assert_same_graph(result, expected[i % 4])
