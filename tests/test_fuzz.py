"""Every entry point fed malformed input: random and broken graphs, odd shapes and strides,
non-finite coordinates, extreme bounds and counts, bad permutations, wrong types.

Each call must either answer, with arrays of the right shape and dtype whose answers are
real target points at the reported distances (or the miss marker), or refuse with
TypeError, OverflowError, MemoryError or PanicException. A crash ends the run, and a call
that hangs is stopped by a watchdog that fails the run (fuzz_inputs.watchdog).

CI runs the "ci" Hypothesis profile (fixed examples); ci/fuzz-long.sh runs the "long" one.
"""

import copy
import inspect
import pickle
from collections.abc import Sequence

import _ornel
import numpy as np
import pytest
from conftest import FUZZ_PRECISIONS, is_panic
from fuzz_inputs import (
    LAYOUTS,
    as_precision,
    attempt,
    check_answers,
    check_pair,
    distance_bounds,
    flags,
    graph_content,
    laid_out,
    permutation,
    point_content,
    spoiled,
    unsigned_counts,
)
from hypothesis import event, given
from hypothesis import strategies as st
from scipy.spatial import Delaunay

import ornel


@st.composite
def cloud(draw, dtype, rows=None):
    """(points, offsets, neighbours) of one cloud in dtype, each in a drawn memory layout."""
    values = draw(point_content(rows))
    offsets, neighbours = draw(graph_content(len(values), values))
    # Half of the clouds keep their CSR arrays contiguous, which the single-nearest joins
    # require, so that the searches behind that check are reached often.
    csr_layouts = LAYOUTS if draw(st.booleans()) else ["contiguous", "unaligned", "read-only", "subclass"]
    return (
        draw(laid_out(as_precision(values, dtype))),
        draw(laid_out(offsets, csr_layouts)),
        draw(laid_out(neighbours, csr_layouts)),
    )


def bound_value(bound):
    return None if bound is None else float(bound)


def query_count(offsets):
    return len(offsets) - 1


def prepared_or_none(Prepared, points, offsets, neighbours):
    prepared, _ = attempt(Prepared, points, offsets, neighbours)
    return prepared


# --- single nearest ------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype,join,Prepared,Grouped", FUZZ_PRECISIONS)
@given(data=st.data())
def test_two_cloud_join(dtype, join, Prepared, Grouped, data):
    x = data.draw(cloud(dtype), label="x")
    y = data.draw(cloud(dtype), label="y")
    arguments = data.draw(spoiled([*x, *y]), label="arguments")
    result, _ = attempt(join, *arguments)
    if result is None:
        return
    x_points, x_offsets, _, y_points = arguments[:4]
    dists, idx = check_pair(result, dtype, query_count(x_offsets))
    check_answers(dists, idx, dtype, x_points[: len(dists)], y_points)
    assert (idx < len(y_points)).all(), "a miss without a bound"


@pytest.mark.parametrize("dtype,join,Prepared,Grouped", FUZZ_PRECISIONS)
@given(data=st.data())
def test_prepared_construction_and_attributes(dtype, join, Prepared, Grouped, data):
    arguments = data.draw(spoiled(data.draw(cloud(dtype), label="cloud")), label="arguments")
    prepared, _ = attempt(Prepared, *arguments)
    if prepared is None:
        return
    points = arguments[0]
    assert prepared.n == len(points)
    assert repr(prepared) == f"{Prepared.__name__}(n={len(points)})"
    stored = prepared.data
    assert stored.dtype == dtype and stored.shape == (len(points), 3) and stored.flags.c_contiguous
    if len(points):
        np.testing.assert_array_equal(stored, points[:, :3])


@pytest.mark.parametrize("dtype,join,Prepared,Grouped", FUZZ_PRECISIONS)
@given(data=st.data())
def test_query(dtype, join, Prepared, Grouped, data):
    target = prepared_or_none(Prepared, *data.draw(cloud(dtype), label="target"))
    if target is None:
        return
    x = data.draw(cloud(dtype), label="x")
    bound = data.draw(distance_bounds, label="bound")
    arguments = data.draw(spoiled(x), label="arguments")
    result, _ = attempt(target.query, *arguments, distance_upper_bound=bound)
    if result is None:
        return
    x_points, x_offsets = arguments[:2]
    dists, idx = check_pair(result, dtype, query_count(x_offsets))
    check_answers(dists, idx, dtype, x_points[: len(dists)], target.data, bound_value(bound))


def other_precision(Prepared):
    Other, dtype = (
        (_ornel.PreparedF64, np.float64) if Prepared is _ornel.PreparedF32 else (_ornel.PreparedF32, np.float32)
    )
    return Other(np.zeros((1, 3), dtype), np.zeros(2, np.uint32), np.zeros(0, np.uint32))


@st.composite
def other_operand(draw, target, query, Prepared, Grouped):
    """Mostly a prepared cloud of the same class; sometimes the target itself, or a wrong object."""
    kind = draw(st.sampled_from(["query"] * 6 + ["target", "other precision", "grouped", "none", "array"]))
    event(f"other: {kind}")
    if kind == "other precision":
        return other_precision(Prepared)
    if kind == "grouped":
        return Grouped.prepare([], [])
    return {"query": query, "target": target, "none": None, "array": np.zeros((2, 3))}[kind]


@pytest.mark.parametrize("dtype,join,Prepared,Grouped", FUZZ_PRECISIONS)
@given(data=st.data())
def test_query_prepared_and_blocked(dtype, join, Prepared, Grouped, data):
    target = prepared_or_none(Prepared, *data.draw(cloud(dtype), label="target"))
    query_cloud = data.draw(cloud(dtype), label="query")
    query = prepared_or_none(Prepared, *query_cloud)
    if target is None or query is None:
        return
    other = data.draw(other_operand(target, query, Prepared, Grouped), label="other")
    bound = data.draw(distance_bounds, label="bound")
    block = data.draw(unsigned_counts, label="block")

    results = [
        attempt(target.query_prepared, other, bound)[0],
        attempt(target.query_prepared_blocked, other, block, bound)[0],
        attempt(target.query_prepared_blocked, other, distance_upper_bound=bound)[0],
    ]
    if not isinstance(other, Prepared):
        assert results == [None, None, None]
        return
    for result in results:
        if result is None:
            continue
        rows = len(result[0]) if other is target else query_count(query_cloud[1])
        dists, idx = check_pair(result, dtype, rows)
        check_answers(dists, idx, dtype, other.data[:rows], target.data, bound_value(bound))


# --- k nearest ------------------------------------------------------------------------------------

# Counts from 41 up to 2^44 are left out: they are valid, and an (nq, k) result or a
# reservation of 4 * ef heap entries could then take gigabytes. From 2^44 on, every
# non-empty result, and every reservation, is more than any machine has.
odd_knn_counts = st.one_of(
    st.sampled_from([2**44, 2**50, 2**59, 2**60, 2**61, 2**63 - 1, 2**63, 2**64 - 1]),
    unsigned_counts.filter(lambda v: not isinstance(v, int) or v <= 40 or v >= 2**44),
)


@st.composite
def knn_counts(draw):
    """k and ef: mostly small, sometimes huge or of the wrong kind."""
    return tuple(draw(st.integers(0, 12)) if draw(st.integers(0, 5)) else draw(odd_knn_counts) for _ in "k ef".split())


def check_knn(result, dtype, rows, k, queries, targets, bound):
    dists, idx = check_pair(result, dtype, rows, k)
    check_answers(dists, idx, dtype, queries[:rows], targets, bound_value(bound), squared_bound_test=True)
    nt = len(targets)
    for row_dists, row_idx in zip(dists, idx):
        found = row_idx[row_idx < nt]
        assert len(np.unique(found)) == len(found), "a target point twice in one row"
        assert (row_idx[len(found) :] == nt).all(), "an answer after a miss"
        if not np.isnan(row_dists).any():
            assert (row_dists[1:] >= row_dists[:-1]).all(), "a row out of order"


@pytest.mark.parametrize("dtype,join,Prepared,Grouped", FUZZ_PRECISIONS)
@given(data=st.data())
def test_two_cloud_k_nearest_join(dtype, join, Prepared, Grouped, data):
    join_k = _ornel.all_nearest_neighbours_k_f32 if dtype is np.float32 else _ornel.all_nearest_neighbours_k
    x = data.draw(cloud(dtype), label="x")
    y = data.draw(cloud(dtype), label="y")
    k, ef = data.draw(knn_counts(), label="k, ef")
    arguments = data.draw(spoiled([*x, *y]), label="arguments")
    result, _ = attempt(join_k, *arguments, k, ef)
    if result is None:
        return
    x_points, x_offsets, _, y_points = arguments[:4]
    check_knn(result, dtype, query_count(x_offsets), int(k), x_points, y_points, None)


@pytest.mark.parametrize("dtype,join,Prepared,Grouped", FUZZ_PRECISIONS)
@given(data=st.data())
def test_query_k_and_query_prepared_k(dtype, join, Prepared, Grouped, data):
    target = prepared_or_none(Prepared, *data.draw(cloud(dtype), label="target"))
    x = data.draw(cloud(dtype), label="x")
    if target is None:
        return
    k, ef = data.draw(knn_counts(), label="k, ef")
    bound = data.draw(distance_bounds, label="bound")
    arguments = data.draw(spoiled(x), label="arguments")
    result, _ = attempt(target.query_k, *arguments, k, ef, bound)
    if result is not None:
        check_knn(result, dtype, query_count(arguments[1]), int(k), arguments[0], target.data, bound)

    query = prepared_or_none(Prepared, *x)
    if query is None:
        return
    other = data.draw(other_operand(target, query, Prepared, Grouped), label="other")
    result, _ = attempt(target.query_prepared_k, other, k, ef, distance_upper_bound=bound)
    if result is None:
        return
    assert isinstance(other, Prepared)
    rows = len(result[0]) if other is target else query_count(x[1])
    check_knn(result, dtype, rows, int(k), other.data, target.data, bound)


# --- grouped query sets --------------------------------------------------------------------------


class CustomSequence(Sequence):
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def container(items, kind):
    return {
        "list": list,
        "tuple": tuple,
        "custom sequence": CustomSequence,
        "generator": lambda i: iter(i),
        "set": lambda i: set(map(id, i)),
        "str": lambda i: "abc",
        "dict": lambda i: dict(enumerate(i)),
        "none": lambda i: None,
    }[kind](items)


CONTAINERS = ["list"] * 8 + ["tuple", "custom sequence", "generator", "set", "str", "dict", "none"]


def proper(perm, n):
    return perm is None or (
        isinstance(perm, np.ndarray)
        and perm.dtype == np.int64
        and perm.ndim == 1
        and len(perm) >= n
        and np.array_equal(np.sort(perm[:n]), np.arange(n))
    )


@pytest.mark.parametrize("dtype,join,Prepared,Grouped", FUZZ_PRECISIONS)
@given(data=st.data())
def test_grouped_prepare_and_query(dtype, join, Prepared, Grouped, data):
    clouds = data.draw(st.lists(cloud(dtype), max_size=3), label="query clouds")
    queries = [q for q in (prepared_or_none(Prepared, *c) for c in clouds) if q is not None]
    if data.draw(st.integers(0, 9), label="foreign item") == 0:
        queries.append(data.draw(st.sampled_from([None, 3, np.zeros((2, 3), dtype), Grouped.prepare([], [])])))
    sizes = [q.n if isinstance(q, Prepared) else 0 for q in queries]
    # One permutation per cloud mostly: a list of another length is refused outright.
    perm_count = data.draw(
        st.sampled_from([len(queries)] * 4 + [max(len(queries) - 1, 0), len(queries) + 1]), label="perm count"
    )
    perms = [data.draw(permutation(sizes[c] if c < len(sizes) else 3), label=f"perm {c}") for c in range(perm_count)]
    grouped, _ = attempt(
        Grouped.prepare,
        container(queries, data.draw(st.sampled_from(CONTAINERS))),
        container(perms, data.draw(st.sampled_from(CONTAINERS))),
    )
    if grouped is None:
        return
    n = sum(sizes)
    assert (grouped.n_points, grouped.n_clouds) == (n, len(queries))
    assert repr(grouped) == f"{Grouped.__name__}(n_clouds={len(queries)}, n_points={n})"
    offsets, order = grouped.offsets, grouped.perm
    assert offsets.dtype == order.dtype == np.uint64
    np.testing.assert_array_equal(offsets, np.concatenate([[0], np.cumsum(sizes)]).astype(np.uint64))
    np.testing.assert_array_equal(np.sort(order), np.arange(n, dtype=np.uint64))

    target = prepared_or_none(Prepared, *data.draw(cloud(dtype), label="target"))
    if target is None:
        return
    nt = target.n
    target_perm = data.draw(permutation(nt), label="target perm")
    block = data.draw(unsigned_counts, label="block")
    bound = data.draw(distance_bounds, label="bound")
    finalize = data.draw(flags, label="finalize")
    grouped_arg = data.draw(
        st.sampled_from([grouped] * 8 + [None, target, Grouped.prepare([], [])]), label="grouped argument"
    )
    result, _ = attempt(target.query_grouped, grouped_arg, target_perm, block, bound, finalize)
    if result is None:
        return
    rows = grouped_arg.n_points
    dists, idx = check_pair(result, dtype, rows)
    if grouped_arg is not grouped or rows == 0:
        return
    concatenated = np.concatenate([q.data for q in queries]) if queries else np.zeros((0, 3), dtype)
    if not finalize:  # raw answers in the set's sorted order, this target's own indices
        check_answers(dists, idx, dtype, concatenated[order.astype(np.intp)], target.data, bound_value(bound))
        return
    # Finalised: each cloud in its original order (through its permutation), original target indices.
    if not all(proper(perms[c] if c < len(perms) else None, sizes[c]) for c in range(len(queries))):
        return
    if not (target_perm is None or len(target_perm) == nt and proper(target_perm, nt)):
        return
    placed = concatenated.copy()
    for c, (lo, size) in enumerate(zip(offsets[:-1].astype(np.intp), sizes)):
        if c < len(perms) and perms[c] is not None:
            placed[lo + perms[c][:size]] = concatenated[lo : lo + size]
    if target_perm is not None:
        back = np.argsort(target_perm)
        idx = np.where(idx < nt, back[np.minimum(idx, max(nt - 1, 0)).astype(np.intp)] if nt else idx, idx)
    check_answers(dists, idx.astype(np.uint64), dtype, placed, target.data, bound_value(bound))


# --- argument matching ---------------------------------------------------------------------------


def valid_calls(dtype, join, Prepared, Grouped):
    """(callable, arguments by parameter name) of one valid call of every entry point."""
    points = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1], [1, 1, 1]], dtype)
    offsets = np.array([0, 4, 8, 12, 16, 20], np.uint32)
    neighbours = np.array([j for i in range(5) for j in range(5) if j != i], np.uint32)
    target = Prepared(points, offsets, neighbours)
    grouped = Grouped.prepare([target], [None])
    cloud_arguments = {"points": points, "indptr": offsets, "indices": neighbours}
    # A join's two clouds, here the same one.
    pair = {
        f"{side}_{name}": array
        for side in "xy"
        for name, array in zip(("points", "indices", "neighbors"), (points, offsets, neighbours))
    }
    return [
        (join, pair),
        (Prepared, cloud_arguments),
        (target.query, {"x_points": points, "x_indptr": offsets, "x_indices": neighbours, "distance_upper_bound": 0.5}),
        (target.query_prepared, {"other": target, "distance_upper_bound": None}),
        (target.query_prepared_blocked, {"other": target, "block": 2, "distance_upper_bound": 1.0}),
        (
            target.query_grouped,
            {"grouped": grouped, "target_perm": None, "block": 3, "distance_upper_bound": 2.0, "finalize": False},
        ),
        (Grouped.prepare, {"queries": [target], "query_perms": [None]}),
        (
            _ornel.all_nearest_neighbours_k_f32 if dtype is np.float32 else _ornel.all_nearest_neighbours_k,
            {**pair, "k": 2, "ef": 4},
        ),
        (
            target.query_k,
            {
                "x_points": points,
                "x_indptr": offsets,
                "x_indices": neighbours,
                "k": 3,
                "ef": 3,
                "distance_upper_bound": 0.5,
            },
        ),
        (target.query_prepared_k, {"other": target, "k": 1, "ef": 2, "distance_upper_bound": None}),
        (_ornel.graph_from_simplices, {"simplices": np.array([[0, 1, 2, 3]], np.uint64), "n_points": 4}),
    ]


@pytest.mark.parametrize("dtype,join,Prepared,Grouped", FUZZ_PRECISIONS)
@given(data=st.data())
def test_argument_matching(dtype, join, Prepared, Grouped, data):
    """Any way of passing arguments either binds as Python would bind it, and the call answers,
    or is refused with TypeError."""
    function, given_arguments = data.draw(st.sampled_from(valid_calls(dtype, join, Prepared, Grouped)))
    names = list(given_arguments)
    chosen = data.draw(st.lists(st.sampled_from(names), unique=True), label="passed")
    n_positional = data.draw(st.integers(0, len(names)), label="positional")
    positional = [given_arguments[name] for name in names[:n_positional]]
    if n_positional == len(names):
        positional += data.draw(st.lists(st.just(None), max_size=2), label="extra positional")
    keywords = {
        name: given_arguments[name]
        for name in chosen
        if names.index(name) >= n_positional or data.draw(st.integers(0, 9), label="duplicate") == 0
    }
    if data.draw(st.integers(0, 9), label="unknown keyword") == 0:
        keywords[
            data.draw(
                st.sampled_from(["x", "self", "X_points", "k", "distance_upper_boundary", "é", "\udc80", "k\x00"])
            )
        ] = 1
    keyword_items = list(keywords.items())
    data.draw(st.randoms()).shuffle(keyword_items)
    keywords = dict(keyword_items)

    try:
        inspect.signature(function).bind(*positional, **keywords)
        binds = True
    except TypeError:
        binds = False
    result, error = attempt(function, *positional, **keywords)
    if binds:
        assert error is None, f"a call that binds was refused: {error!r}"
    else:
        assert isinstance(error, TypeError), "a call that does not bind was not refused"


# --- objects that should never exist --------------------------------------------------------------

ALL_CLASSES = [_ornel.PreparedF32, _ornel.PreparedF64, _ornel.GroupedQueriesF32, _ornel.GroupedQueriesF64]


def instances():
    f32 = _ornel.PreparedF32(np.zeros((2, 3), np.float32), np.array([0, 1, 2], np.uint32), np.array([1, 0], np.uint32))
    f64 = _ornel.PreparedF64(np.zeros((2, 3)), np.array([0, 1, 2], np.uint32), np.array([1, 0], np.uint32))
    return [f32, f64, _ornel.GroupedQueriesF32.prepare([f32], [None]), _ornel.GroupedQueriesF64.prepare([f64], [None])]


def refused_with_type_error(function, *args):
    with pytest.raises(TypeError):
        function(*args)


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_no_instance_without_its_constructor(cls):
    """Every way around the constructor is refused, so no method ever sees an empty instance."""
    refused_with_type_error(object.__new__, cls)
    refused_with_type_error(cls.__new__, cls)
    for other in ALL_CLASSES:
        if other is not cls:
            refused_with_type_error(cls.__new__, other)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    if cls.__name__.startswith("Grouped"):
        refused_with_type_error(cls)


@pytest.mark.parametrize("instance", instances(), ids=lambda i: type(i).__name__)
def test_instances_cannot_be_copied_pickled_or_changed(instance):
    for action in (copy.copy, copy.deepcopy, pickle.dumps):
        refused_with_type_error(action, instance)
    for name in ("n", "data", "n_points", "n_clouds", "offsets", "perm", "other"):
        with pytest.raises(AttributeError):
            setattr(instance, name, 1)


def test_methods_and_attributes_refuse_a_foreign_self():
    f32, f64, g32, g64 = instances()
    for owner, stranger in ((_ornel.PreparedF32, f64), (_ornel.PreparedF64, g64), (_ornel.PreparedF32, None)):
        for name in (
            "query",
            "query_prepared",
            "query_prepared_blocked",
            "query_grouped",
            "query_k",
            "query_prepared_k",
        ):
            refused_with_type_error(getattr(owner, name), stranger, stranger)
        for name in ("n", "data"):
            refused_with_type_error(owner.__dict__[name].__get__, stranger)
        refused_with_type_error(owner.__repr__, stranger)
    for owner, stranger in ((_ornel.GroupedQueriesF32, g64), (_ornel.GroupedQueriesF64, f64)):
        for name in ("n_points", "n_clouds", "offsets", "perm"):
            refused_with_type_error(owner.__dict__[name].__get__, stranger)


# --- graph from tetrahedra -----------------------------------------------------------------------

ID_LIMITS = [2**32 - 1, 2**32, 2**63, 2**64 - 1]


@st.composite
def tetrahedra(draw):
    """(simplices, n): rows of vertex ids from Delaunay tetrahedra, random ids or a few rows
    repeated many times; some ids at or beyond n; fewer or more than four columns."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = draw(st.integers(0, 12) | st.integers(13, 300))
    kind = draw(st.sampled_from(["delaunay", "delaunay", "random", "repeated", "large"]))
    event(f"tetrahedra: {kind}")
    simplices = None
    if kind == "large":
        # Enough raw entries that the build works in several ranges, whose shapes depend on
        # the order of the points: as drawn, or spatially sorted as users sort them.
        n = draw(st.integers(1500, 6000))
        points = rng.random((n, 3))
        order = draw(st.sampled_from(["as drawn", "by x", "morton"]))
        event(f"large tetrahedra: {order}")
        if order == "by x":
            points = points[np.argsort(points[:, 0])]
        elif order == "morton":
            points = points[ornel.morton_order(points)]
        simplices = Delaunay(points).simplices.astype(np.uint64)
    elif kind == "delaunay" and n >= 5:
        try:
            simplices = Delaunay(rng.random((n, 3))).simplices.astype(np.uint64)
        except Exception:  # a degenerate draw; random rows instead
            simplices = None
    if simplices is None:
        rows = draw(st.integers(0, 3 * n + 2))
        simplices = rng.integers(0, max(n, 1), size=(rows, 4)).astype(np.uint64)
        if kind == "repeated" and rows:
            simplices = simplices[rng.integers(0, min(rows, 3), size=rows * 20)]
    columns = draw(st.sampled_from([4] * 8 + [5, 6, 3, 1, 0]))
    if columns > 4:
        simplices = np.hstack([simplices, rng.integers(0, 2**63, size=(len(simplices), columns - 4), dtype=np.uint64)])
    else:
        simplices = simplices[:, :columns].copy()
    flat = simplices.reshape(-1)
    faults = st.lists(st.tuples(st.integers(0, 2**20), st.sampled_from([n, n + 1] + ID_LIMITS)), min_size=1, max_size=2)
    for position, value in draw(faults) if draw(st.integers(0, 3)) == 0 else []:
        if flat.size:
            flat[position % flat.size] = value
            event("id out of range")
    return draw(laid_out(simplices)), n


def edge_keys(simplices, n):
    """Every (a, b) that share a row, as a * n + b, sorted and unique: the graph's entries."""
    ids = np.asarray(simplices)[:, :4].astype(np.int64)
    pairs = [(i, j) for i in range(4) for j in range(4) if i != j]
    a = np.concatenate([ids[:, i] for i, j in pairs])
    b = np.concatenate([ids[:, j] for i, j in pairs])
    same_row_repeat = np.concatenate([ids[:, i] == ids[:, j] for i, j in pairs])
    keys = np.unique(np.concatenate([a * n + b, (a * n + a)[same_row_repeat]]))
    return keys


@given(data=st.data())
def test_graph_from_simplices(data):
    simplices, n = data.draw(tetrahedra(), label="tetrahedra")
    # Counts from 2^20 up to the limit are left out: they are valid, and the result's offsets
    # alone would take up to 16 GiB.
    n_points = (
        n
        if data.draw(st.integers(0, 3), label="other count")
        else data.draw(
            unsigned_counts.filter(lambda v: not isinstance(v, int) or v < 2**20 or v > 2**32 - 1), label="n_points"
        )
    )
    arguments = data.draw(spoiled([simplices, n_points]), label="arguments")
    result, _ = attempt(_ornel.graph_from_simplices, *arguments)
    if result is None:
        return
    simplices, n = arguments[0], int(arguments[1])
    indptr, indices = result
    for array, length in ((indptr, n + 1), (indices, int(indptr[-1]))):
        assert type(array) is np.ndarray and array.dtype == np.uint32 and array.shape == (length,)
        assert array.flags.c_contiguous and array.flags.writeable
        assert type(array.base).__name__ == "PySliceContainer"
    rows = np.repeat(np.arange(n, dtype=np.int64), np.diff(indptr.astype(np.int64)))
    np.testing.assert_array_equal(rows * n + indices, edge_keys(simplices, n) if len(simplices) else [])


# --- faults the fuzzing found ------------------------------------------------------------------


def knn_on_empty_query(k):
    y = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], np.float64)
    indptr = np.array([0, 3, 6, 9, 12], np.uint32)
    indices = np.array([j for i in range(4) for j in range(4) if j != i], np.uint32)
    return _ornel.all_nearest_neighbours_k(
        np.zeros((0, 3)), np.zeros(1, np.uint32), np.zeros(0, np.uint32), y, indptr, indices, k, 4
    )


def test_empty_k_nearest_result_too_big_for_numpy_is_a_capacity_overflow():
    """NumPy refuses an (0, k) array whose byte size, the empty dimension counted as 1, exceeds
    the signed 64-bit range; such a k was let through and came back as a ValueError."""
    dists, idx = knn_on_empty_query(2**59)
    assert dists.shape == idx.shape == (0, 2**59)
    for k in (2**60, 2**61, 2**63 - 1):
        with pytest.raises(BaseException) as info:
            knn_on_empty_query(k)
        assert is_panic(info.value) and str(info.value) == "capacity overflow"


def test_memory_that_cannot_be_had_is_a_memory_error():
    """Also in the sanitizer build, whose runtime ended the process instead."""
    for k in (2**50, 2**44):
        with pytest.raises(MemoryError):
            _ornel.all_nearest_neighbours_k(
                np.zeros((1, 3)),
                np.array([0, 0], np.uint32),
                np.zeros(0, np.uint32),
                np.zeros((1, 3)),
                np.array([0, 0], np.uint32),
                np.zeros(0, np.uint32),
                k,
                1,
            )
    target = _ornel.PreparedF32(np.zeros((1, 3), np.float32), np.array([0, 0], np.uint32), np.zeros(0, np.uint32))
    # ef asks for nothing beyond the target's size, so a huge one is no memory problem.
    assert target.query_prepared_k(target, 1, 2**50)[1].tolist() == [[0]]
    assert target.query_prepared_k(target, 1, 1)[1].tolist() == [[0]]


@pytest.mark.parametrize("dtype,join,Prepared,Grouped", FUZZ_PRECISIONS)
def test_keyword_that_utf8_cannot_hold_is_an_unexpected_keyword(dtype, join, Prepared, Grouped):
    """A lone surrogate in a keyword name raised UnicodeEncodeError instead of TypeError."""
    for function, _ in valid_calls(dtype, join, Prepared, Grouped):
        with pytest.raises(TypeError) as info:
            function(**{"\udc80": 1})
        assert str(info.value).endswith("() got an unexpected keyword argument '\udc80'")
