"""The all-by-all fast path: blocked descent, grouped query sets, grouped descent."""

import os
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import _ornel
import numpy as np
import pytest
from conftest import GROUPED_PRECISIONS, assert_argument_notes, reference_morton_keys
from scipy.spatial import cKDTree

from ornel import delaunay_graph


def prepared(cls, points):
    return cls(points, *delaunay_graph(points))


def edgeless(cls, points):
    """A prepared cloud whose graph has no edges (its points are still usable as queries)."""
    return cls(points, np.zeros(len(points) + 1, np.uint32), np.zeros(0, np.uint32))


def raises_panic(function, message):
    with pytest.raises(BaseException) as info:
        function()
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == message
    return info.value


def refused(function, exception, message, parameter):
    with pytest.raises(exception) as info:
        function()
    assert str(info.value) == message
    assert_argument_notes(info.value, f"while processing '{parameter}'")


# --- blocked descent ---------------------------------------------------------------------------


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_blocked_equals_query_prepared_for_every_block(dtype, cls, grouped_cls, seed):
    rng = np.random.default_rng(seed)
    target_points = rng.random((300 + 50 * seed, 3)).astype(dtype)
    query_points = (rng.random((257, 3)) * 1.4 - 0.2).astype(dtype)  # partly outside the target
    target, query = prepared(cls, target_points), prepared(cls, query_points)
    ref_dists, _ = cKDTree(target_points).query(query_points)
    for bound in (None, 0.05, 0.15, -0.1, 10.0):
        expected = target.query_prepared(query, bound)
        if bound is None:
            np.testing.assert_allclose(expected[0], ref_dists, rtol=1e-5)
        for block in (0, 1, 2, 3, 7, 8, 31, 32, 256, 257, 1000):
            dists, idx = target.query_prepared_blocked(query, block, bound)
            np.testing.assert_array_equal(dists, expected[0], err_msg=f"block={block} bound={bound}")
            np.testing.assert_array_equal(idx, expected[1], err_msg=f"block={block} bound={bound}")
            assert dists.dtype == dtype and idx.dtype == np.uint64
        default = target.query_prepared_blocked(query, distance_upper_bound=bound)
        np.testing.assert_array_equal(default[1], expected[1])


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_blocked_bound_misses_and_exact_distance(dtype, cls, grouped_cls):
    target = prepared(cls, np.array([[0, 0, 0], [10, 0, 0], [0, 10, 0], [0, 0, 10], [12, 11, 10]], dtype))
    query = edgeless(cls, np.array([[3, 4, 0], [-3, -4, 0], [5, 5, 5]], dtype))
    dists, idx = target.query_prepared_blocked(query, 2, 5.0)
    np.testing.assert_array_equal(dists, [5.0, 5.0, np.inf])
    np.testing.assert_array_equal(idx, [0, 0, 5])
    dists, idx = target.query_prepared_blocked(query, 2, 4.999)
    assert np.all(np.isinf(dists)) and np.all(idx == 5)
    # Boxes farther apart than the bound: all misses, whatever the target graph holds.
    far = edgeless(cls, np.array([[100, 100, 100], [101, 100, 100]], dtype))
    broken = cls(target.data, np.array([0, 9], np.uint32), np.array([99], np.uint32))
    dists, idx = broken.query_prepared_blocked(far, 8, 1.0)
    assert np.all(np.isinf(dists)) and np.all(idx == 5)


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_blocked_ties_go_to_the_smaller_index(dtype, cls, grouped_cls):
    points = np.array([[10, 0, 0], [0, 1, 0], [0, -1, 0]], dtype)
    # Vertex 0 lists vertex 2 before vertex 1, so a stored-order scan without the tie-break would pick 2.
    indptr = np.array([0, 2, 4, 6], np.uint32)
    indices = np.array([2, 1, 0, 2, 1, 0], np.uint32)
    target = cls(points, indptr, indices)
    query = edgeless(cls, np.array([[0, 0, 0], [0, -1, 0], [0, 0, 0]], dtype))
    for block in (1, 2, 8):
        # Point 2 starts on vertex 2 (the previous answer) with block 1 and moves to the equally far vertex 1.
        dists, idx = target.query_prepared_blocked(query, block)
        np.testing.assert_array_equal(idx, [1, 2, 1])
        np.testing.assert_array_equal(dists, [1, 0, 1])


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_blocked_degenerate_operands(dtype, cls, grouped_cls):
    rng = np.random.default_rng(5)
    points = rng.random((40, 3)).astype(dtype)
    target = prepared(cls, points)
    empty_target = cls(np.zeros((0, 3), dtype), np.zeros(1, np.uint32), np.zeros(0, np.uint32))
    query = prepared(cls, rng.random((30, 3)).astype(dtype))

    dists, idx = empty_target.query_prepared_blocked(query)
    assert np.all(np.isinf(dists)) and np.all(idx == 0) and len(idx) == 30
    no_queries = cls(points, np.zeros(1, np.uint32), np.zeros(0, np.uint32))
    for bound in (None, 1.0):
        dists, idx = target.query_prepared_blocked(no_queries, 4, bound)
        assert dists.shape == (0,) and idx.shape == (0,)

    # Without edges nobody moves: every point rests on the first block's start, vertex 0.
    lonely = edgeless(cls, points)
    dists, idx = lonely.query_prepared_blocked(query, 7)
    assert np.all(idx == 0)
    np.testing.assert_allclose(dists, np.linalg.norm(query.data - points[0], axis=1), rtol=1e-6)

    # A NaN query point rests on its start vertex at a NaN distance; the others are unaffected.
    nan_points = query.data.copy()
    nan_points[0, 1] = np.nan
    dists, idx = target.query_prepared_blocked(edgeless(cls, nan_points), 8)
    assert np.isnan(dists[0]) and idx[0] == 0
    expected = target.query_prepared_blocked(query, 8)
    np.testing.assert_array_equal(idx[1:], expected[1][1:])


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_blocked_malformed_target_fails(dtype, cls, grouped_cls):
    points = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], dtype)
    query = edgeless(cls, np.array([[0.9, 0, 0]], dtype))
    bad_neighbour = cls(points, np.array([0, 1, 1, 1], np.uint32), np.array([7], np.uint32))
    raises_panic(
        lambda: bad_neighbour.query_prepared_blocked(query), "index out of bounds: the len is 3 but the index is 7"
    )
    short_offsets = cls(points, np.array([0], np.uint32), np.zeros(0, np.uint32))
    raises_panic(
        lambda: short_offsets.query_prepared_blocked(query), "index out of bounds: the len is 1 but the index is 1"
    )
    decreasing = cls(points, np.array([2, 0, 0, 0], np.uint32), np.array([1, 2], np.uint32))
    raises_panic(lambda: decreasing.query_prepared_blocked(query), "slice index starts at 2 but ends at 0")
    no_offsets = cls(points, np.zeros(0, np.uint32), np.zeros(0, np.uint32))
    raises_panic(lambda: edgeless(cls, points).query_prepared_blocked(no_offsets), "capacity overflow")


# --- grouped query sets ------------------------------------------------------------------------


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_morton_order_of_hand_checked_points(dtype, cls, grouped_cls):
    top = float(2**21)  # with the box [0, 2^21], a coordinate c in [1, 2^21) has quantum c - 1
    points = np.array(
        [
            [top, top, top],  # every quantum 2097151: the largest key, 2^63 - 1
            [3, 0, 0],  # x quantum 2: key 0b1000
            [0, 0, 2],  # z quantum 1: key 0b100
            [2, 2, 2],  # key 0b111
            [0, 2, 0],  # y quantum 1: key 0b010
            [2, 0, 0],  # x quantum 1: key 0b001
            [0, 0, 0],  # key 0
        ],
        dtype,
    )
    grouped = grouped_cls.prepare([edgeless(cls, points)], [None])
    np.testing.assert_array_equal(grouped.perm, [6, 5, 4, 2, 3, 1, 0])
    keys = reference_morton_keys(points)
    np.testing.assert_array_equal(keys, [2**63 - 1, 8, 4, 7, 2, 1, 0])

    # A NaN coordinate gets quantum 0 and leaves the box alone; a flat axis has extent 1.
    flat = np.array([[0, 0, 5], [top, top, 5], [np.nan, 2, 5], [2, 0, 5], [0, 3, 5]], dtype)
    grouped = grouped_cls.prepare([edgeless(cls, flat)], [None])
    np.testing.assert_array_equal(grouped.perm, [0, 3, 2, 4, 1])  # keys 0, 1, 2, 16 and the x, y bits all set


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_grouped_set_is_the_morton_sorted_concatenation(dtype, cls, grouped_cls):
    rng = np.random.default_rng(11)
    clouds = [rng.normal(size=(n, 3)).astype(dtype) for n in (50, 0, 123, 1, 77)]
    clouds[2][:, 2] = 0.25  # a flat cloud inside a non-flat set
    grouped = grouped_cls.prepare([edgeless(cls, c) for c in clouds], [None] * 5)
    concatenated = np.vstack(clouds)
    sizes = [len(c) for c in clouds]
    assert grouped.n_clouds == 5 and grouped.n_points == sum(sizes)
    np.testing.assert_array_equal(grouped.offsets, np.concatenate([[0], np.cumsum(sizes)]))
    assert grouped.offsets.dtype == np.uint64 and grouped.perm.dtype == np.uint64
    perm = grouped.perm
    np.testing.assert_array_equal(np.sort(perm), np.arange(len(concatenated)))
    keys = reference_morton_keys(concatenated)
    assert np.all(keys[perm][1:] >= keys[perm][:-1])
    assert repr(grouped) == f"{grouped_cls.__name__}(n_clouds=5, n_points={sum(sizes)})"
    # The attributes are fresh copies.
    perm[:] = 0
    assert not np.array_equal(grouped.perm, perm)

    equal = grouped_cls.prepare([edgeless(cls, np.ones((9, 3), dtype))], [None])
    np.testing.assert_array_equal(np.sort(equal.perm), np.arange(9))


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_empty_grouped_set(dtype, cls, grouped_cls):
    grouped = grouped_cls.prepare([], [])
    assert grouped.n_clouds == 0 and grouped.n_points == 0
    np.testing.assert_array_equal(grouped.offsets, [0])
    assert grouped.perm.shape == (0,)
    assert repr(grouped) == f"{grouped_cls.__name__}(n_clouds=0, n_points=0)"
    target = prepared(cls, np.random.default_rng(0).random((20, 3)).astype(dtype))
    for finalize in (True, False):
        dists, idx = target.query_grouped(grouped, None, finalize=finalize)
        assert dists.shape == (0,) and idx.shape == (0,) and dists.dtype == dtype


def test_repr_of_two_clouds_with_seven_points():
    clouds = [edgeless(_ornel.PreparedF32, np.zeros((n, 3), np.float32)) for n in (3, 4)]
    assert repr(_ornel.GroupedQueriesF32.prepare(clouds, [None, None])) == "GroupedQueriesF32(n_clouds=2, n_points=7)"


# --- grouped descent and finalisation ----------------------------------------------------------


def reordered_clouds(rng, dtype, cls, sizes):
    """Clouds in the callers' original order, and prepared copies stored in a shuffled order."""
    originals, prepared_clouds, perms = [], [], []
    for n in sizes:
        points = rng.random((n, 3)).astype(dtype)
        perm = rng.permutation(n).astype(np.int64)  # new -> original
        originals.append(points)
        prepared_clouds.append(prepared(cls, points[perm]))
        perms.append(perm)
    return originals, prepared_clouds, perms


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
@pytest.mark.parametrize("bound", [None, 0.04])
def test_grouped_results_map_back_to_original_order(dtype, cls, grouped_cls, bound):
    rng = np.random.default_rng(3)
    originals, clouds, perms = reordered_clouds(rng, dtype, cls, [120, 75, 200, 64])
    perms[1] = None  # one cloud as it was
    originals[1] = clouds[1].data
    grouped = grouped_cls.prepare(clouds, perms)
    offsets = grouped.offsets
    for t, (target, target_perm) in enumerate(zip(clouds, perms)):
        nt = target.n
        for block in (1, 5, 32, 10_000):
            dists, idx = target.query_grouped(grouped, target_perm, block, bound)
            assert dists.shape == idx.shape == (grouped.n_points,)
            for c, query in enumerate(clouds):
                ref_dists, ref_idx = target.query_prepared(query, bound)
                if target_perm is not None:
                    ref_idx = np.where(ref_idx < nt, target_perm[np.minimum(ref_idx, nt - 1)], nt)
                expected_dists = np.empty_like(ref_dists)
                expected_idx = np.empty_like(ref_idx)
                where = perms[c] if perms[c] is not None else np.arange(len(ref_idx))
                expected_dists[where] = ref_dists
                expected_idx[where] = ref_idx
                block_slice = slice(offsets[c], offsets[c + 1])
                np.testing.assert_array_equal(dists[block_slice], expected_dists)
                np.testing.assert_array_equal(idx[block_slice], expected_idx)
        if bound is None:
            # Against brute force, in the callers' numbering throughout.
            target_original = originals[t]
            ref_dists, _ = cKDTree(target_original).query(np.vstack(originals))
            np.testing.assert_allclose(dists, ref_dists, rtol=1e-5)
            found = np.linalg.norm(target_original[idx] - np.vstack(originals), axis=1)
            np.testing.assert_allclose(found, ref_dists, rtol=1e-5)
        else:
            misses = np.isinf(dists)
            assert misses.any() and (~misses).any()
            assert np.all(idx[misses] == nt)  # a miss is never translated through target_perm


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_raw_results_scattered_by_perm_equal_finalised(dtype, cls, grouped_cls):
    rng = np.random.default_rng(4)
    clouds = [prepared(cls, rng.random((n, 3)).astype(dtype)) for n in (90, 150, 33)]
    grouped = grouped_cls.prepare(clouds, [None, None, None])
    target = clouds[1]
    target_perm = rng.permutation(target.n).astype(np.int64)
    for bound in (None, 0.05):
        final = target.query_grouped(grouped, None, 16, bound)
        raw = target.query_grouped(grouped, None, 16, bound, False)
        for got, want in zip(raw, final):
            out = np.empty_like(got)
            out[grouped.perm] = got
            np.testing.assert_array_equal(out, want)
        # Raw indices stay internal even when target_perm is given.
        raw_with_perm = target.query_grouped(grouped, target_perm, 16, bound, finalize=np.bool_(False))
        np.testing.assert_array_equal(raw_with_perm[1], raw[1])


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_permutation_lists_must_match_the_clouds(dtype, cls, grouped_cls):
    """A list shorter or longer than the clouds was read as 'not reordered' for the missing
    clouds: a list that does not match is a mistake, refused when the set is built."""
    rng = np.random.default_rng(8)
    clouds = [prepared(cls, rng.random((n, 3)).astype(dtype)) for n in (40, 60)]
    perm0 = rng.permutation(40).astype(np.int64)
    target = clouds[0]
    raises_panic(lambda: grouped_cls.prepare(clouds, [perm0]), "query_perms has 1 entry for 2 query clouds")
    raises_panic(
        lambda: grouped_cls.prepare(clouds, (perm0, None, np.arange(5, dtype=np.int64))),
        "query_perms has 3 entries for 2 query clouds",
    )
    raises_panic(lambda: grouped_cls.prepare(clouds, []), "query_perms has 0 entries for 2 query clouds")
    raises_panic(lambda: grouped_cls.prepare(clouds[:1], [None, None]), "query_perms has 2 entries for 1 query cloud")
    full_set = grouped_cls.prepare(clouds, [perm0, None])
    full = target.query_grouped(full_set, None)
    identity = target.query_grouped(grouped_cls.prepare(clouds, [None, None]), None)
    assert not np.array_equal(identity[1], full[1])
    # The set keeps its own copy: changing the caller's array afterwards changes nothing.
    perm0[:] = np.arange(40)
    np.testing.assert_array_equal(target.query_grouped(full_set, None)[1], full[1])


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_empty_target_gives_misses_after_finalisation(dtype, cls, grouped_cls):
    clouds = [prepared(cls, np.random.default_rng(2).random((30, 3)).astype(dtype))]
    empty = cls(np.zeros((0, 3), dtype), np.zeros(1, np.uint32), np.zeros(0, np.uint32))
    grouped = grouped_cls.prepare(clouds, [np.arange(30, dtype=np.int64)[::-1].copy()])
    for finalize in (True, False):
        dists, idx = empty.query_grouped(grouped, np.zeros(0, np.int64), finalize=finalize)
        assert np.all(np.isinf(dists)) and np.all(idx == 0)


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_bad_permutations_fail_before_the_search(dtype, cls, grouped_cls):
    rng = np.random.default_rng(6)
    clouds = [prepared(cls, rng.random((n, 3)).astype(dtype)) for n in (10, 12)]
    target = clouds[0]
    # A broken target graph shows that nothing was searched: the permutation fault comes first.
    broken = cls(target.data, np.array([0, 1], np.uint32), np.array([99], np.uint32))

    def call(perms, target_perm=None, on=broken, **kwargs):
        return lambda: on.query_grouped(grouped_cls.prepare(clouds, perms), target_perm, **kwargs)

    ten = np.arange(10, dtype=np.int64)
    raises_panic(call([None, np.arange(11, dtype=np.int64)]), "index out of bounds: the len is 11 but the index is 11")
    raises_panic(call([ten[:9].copy(), None]), "index out of bounds: the len is 9 but the index is 9")
    # An entry inside the whole set but outside its own cloud would overwrite another cloud's answers.
    outside = ten.copy()
    outside[3] = 15
    raises_panic(call([outside, None]), "index out of bounds: the len is 10 but the index is 15")
    negative = ten.copy()
    negative[0] = -1
    raises_panic(call([negative, None]), f"index out of bounds: the len is 10 but the index is {2**64 - 1}")
    raises_panic(
        call([None, None], np.arange(9, dtype=np.int64)), "index out of bounds: the len is 9 but the index is 9"
    )
    # target_perm entries that are no index of the target came back as answers (2**64 - 1, 10**12),
    # and a repeated one labelled two target points alike.
    for entry, position in ((-1, 0), (10, 9), (10**12, 4)):
        wrong = ten.copy()
        wrong[position] = entry
        raises_panic(call([None, None], wrong), f"target_perm[{position}] is {entry}, outside the target's 10 points")
    repeated = ten.copy()
    repeated[7] = 2
    raises_panic(call([None, None], repeated), "target_perm[7] repeats entry 2")
    # A correct call on the broken graph does reach the search; entries past the target are not read.
    raises_panic(
        call([ten, None], np.arange(10, dtype=np.int64)), "index out of bounds: the len is 10 but the index is 99"
    )
    raises_panic(
        call([ten, None], np.arange(12, dtype=np.int64)), "index out of bounds: the len is 10 but the index is 99"
    )
    # Raw results use no target permutation, so it is not checked.
    dists, idx = call([ten, None], np.arange(3, dtype=np.int64), on=target, finalize=False)()
    assert len(dists) == 22


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_repeated_cloud_permutation_entries_are_refused(dtype, cls, grouped_cls):
    """A repeated entry wrote one destination twice and left another unanswered."""
    rng = np.random.default_rng(7)
    clouds = [prepared(cls, rng.random((n, 3)).astype(dtype)) for n in (20, 6)]
    perm = np.arange(20, dtype=np.int64)
    perm[5] = 4
    raises_panic(lambda: grouped_cls.prepare(clouds, [perm, None]), "query_perms[0] repeats entry 4")
    later = rng.permutation(6).astype(np.int64)
    later[5] = later[0]
    raises_panic(lambda: grouped_cls.prepare(clouds, [None, later]), f"query_perms[1] repeats entry {later[0]}")
    # Entries beyond the cloud are not read, so a long permutation is a permutation of its cloud.
    long = np.concatenate([rng.permutation(20), [3, 3]]).astype(np.int64)
    grouped = grouped_cls.prepare(clouds, [long, None])
    assert grouped.n_points == 26


# --- the Python face ---------------------------------------------------------------------------


def test_text_signatures_and_docstrings():
    for cls in (_ornel.PreparedF32, _ornel.PreparedF64):
        assert cls.query_prepared_blocked.__text_signature__ == "($self, other, block=8, distance_upper_bound=None)"
        assert (
            cls.query_grouped.__text_signature__
            == "($self, grouped, target_perm, block=32, distance_upper_bound=None, finalize=True)"
        )
    for cls in (_ornel.GroupedQueriesF32, _ornel.GroupedQueriesF64):
        assert cls.prepare.__text_signature__ == "(queries, query_perms)"
        assert cls.n_points.__doc__ == "Number of concatenated query points."
        assert cls.n_clouds.__doc__ == "Number of query clouds."
        assert "offsets[c+1]" in cls.offsets.__doc__ and "out[perm] = raw" in cls.perm.__doc__
        assert cls.__module__ == "builtins"
        with pytest.raises(TypeError):
            cls()


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_argument_refusals(dtype, cls, grouped_cls):
    other_dtype, other_cls, other_grouped_cls = (
        GROUPED_PRECISIONS[1] if dtype == np.float32 else GROUPED_PRECISIONS[0]
    ).values
    points = np.random.default_rng(0).random((12, 3))
    cloud = prepared(cls, points.astype(dtype))
    foreign = prepared(other_cls, points.astype(other_dtype))
    name, grouped_name = cls.__name__, grouped_cls.__name__

    refused(lambda: grouped_cls.prepare("abc", []), TypeError, "Can't extract `str` to `Vec`", "queries")
    refused(lambda: grouped_cls.prepare(5, []), TypeError, "'int' object is not an instance of 'Sequence'", "queries")
    refused(
        lambda: grouped_cls.prepare({cloud}, []), TypeError, "'set' object is not an instance of 'Sequence'", "queries"
    )
    refused(
        lambda: grouped_cls.prepare([cloud, foreign], []),
        TypeError,
        f"'{other_cls.__name__}' object is not an instance of '{name}'",
        "queries",
    )
    refused(lambda: grouped_cls.prepare([cloud], "a"), TypeError, "Can't extract `str` to `Vec`", "query_perms")
    refused(
        lambda: grouped_cls.prepare([cloud], [np.arange(12.0)]),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
        "query_perms",
    )
    refused(
        lambda: grouped_cls.prepare([cloud], [3]),
        TypeError,
        "'int' object is not an instance of 'ndarray'",
        "query_perms",
    )
    with pytest.raises(TypeError) as info:
        grouped_cls.prepare([cloud], [np.arange(12, dtype=np.int32)])
    assert info.value.__notes__[1] == "expected an int64 array of shape (n,) or None; got int32 with shape (12,)"
    raises_panic(lambda: grouped_cls.prepare([cloud], [np.arange(24, dtype=np.int64)[::2]]), "contiguous perm")
    with pytest.raises(
        TypeError,
        match=re.escape(
            f"{grouped_name}.prepare() missing 2 required positional arguments: 'queries' and 'query_perms'"
        ),
    ):
        grouped_cls.prepare()

    grouped = grouped_cls.prepare(range(0), ())
    wrong_grouped = other_grouped_cls.prepare([], [])
    refused(
        lambda: cloud.query_grouped(wrong_grouped, None),
        TypeError,
        f"'{other_grouped_cls.__name__}' object is not an instance of '{grouped_name}'",
        "grouped",
    )
    refused(
        lambda: cloud.query_grouped(grouped, [0, 1]),
        TypeError,
        "'list' object is not an instance of 'ndarray'",
        "target_perm",
    )
    refused(
        lambda: cloud.query_grouped(grouped, None, -1), OverflowError, "can't convert negative int to unsigned", "block"
    )
    refused(
        lambda: cloud.query_grouped(grouped, None, 32, "x"),
        TypeError,
        "must be real number, not str",
        "distance_upper_bound",
    )
    refused(
        lambda: cloud.query_grouped(grouped, None, finalize=1),
        TypeError,
        "'int' object is not an instance of 'bool'",
        "finalize",
    )
    raises_panic(lambda: cloud.query_grouped(grouped, np.arange(24, dtype=np.int64)[::2]), "contiguous target perm")
    with pytest.raises(
        TypeError,
        match=re.escape(f"{name}.query_grouped() missing 2 required positional arguments: 'grouped' and 'target_perm'"),
    ):
        cloud.query_grouped()
    with pytest.raises(
        TypeError, match=re.escape(f"{name}.query_grouped() takes from 2 to 5 positional arguments but 6 were given")
    ):
        cloud.query_grouped(grouped, None, 1, None, True, 0)

    refused(
        lambda: cloud.query_prepared_blocked(foreign),
        TypeError,
        f"'{other_cls.__name__}' object is not an instance of '{name}'",
        "other",
    )
    refused(
        lambda: cloud.query_prepared_blocked(cloud, 2.0),
        TypeError,
        "'float' object cannot be interpreted as an integer",
        "block",
    )
    with pytest.raises(
        TypeError, match=re.escape(f"{name}.query_prepared_blocked() got an unexpected keyword argument 'blocks'")
    ):
        cloud.query_prepared_blocked(cloud, blocks=3)
    # A NumPy integer is a fine block size, and a one-element strided permutation counts as contiguous.
    cloud.query_prepared_blocked(cloud, np.uint8(3))
    cloud.query_grouped(grouped, np.arange(2, dtype=np.int64)[::2])


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_sequences_held_while_building(dtype, cls, grouped_cls):
    rng = np.random.default_rng(9)
    clouds = [prepared(cls, rng.random((25, 3)).astype(dtype)) for _ in range(3)]

    class Shrinking(list):
        """A sequence that drops its items once it has been iterated."""

        def __iter__(self):
            items = list(super().__iter__())
            self.clear()
            return iter(items)

    queries = Shrinking(clouds)
    grouped = grouped_cls.prepare(queries, Shrinking([None, None, None]))
    assert grouped.n_points == 75 and grouped.n_clouds == 3 and len(queries) == 0
    del clouds, queries
    target = prepared(cls, rng.random((30, 3)).astype(dtype))
    dists, idx = target.query_grouped(grouped, None)
    assert np.all(np.isfinite(dists)) and np.all(idx < 30)


@pytest.mark.parametrize(("dtype", "cls", "grouped_cls"), GROUPED_PRECISIONS)
def test_threads_share_one_grouped_set_and_target(dtype, cls, grouped_cls):
    rng = np.random.default_rng(10)
    clouds = [prepared(cls, rng.random((n, 3)).astype(dtype)) for n in (400, 300, 500)]
    perms = [rng.permutation(c.n).astype(np.int64) for c in clouds]
    grouped = grouped_cls.prepare(clouds, perms)
    target, target_perm = clouds[2], perms[2]
    expected = target.query_grouped(grouped, target_perm, 8, 0.2)
    blocked = target.query_prepared_blocked(clouds[0], 4)

    def work(i):
        if i % 3 == 0:
            return "blocked", target.query_prepared_blocked(clouds[0], 4)
        return "grouped", target.query_grouped(grouped, target_perm, 8, 0.2)

    with ThreadPoolExecutor(8) as pool:
        results = list(pool.map(work, range(48)))
    for kind, (dists, idx) in results:
        want = blocked if kind == "blocked" else expected
        np.testing.assert_array_equal(dists, want[0])
        np.testing.assert_array_equal(idx, want[1])

    with ThreadPoolExecutor(4) as pool:
        sets = list(pool.map(lambda _: grouped_cls.prepare(clouds, perms), range(8)))
    for other in sets:
        np.testing.assert_array_equal(other.perm, grouped.perm)


# --- the baseline vector path ------------------------------------------------------------------

# Blocked and grouped joins of quantised, thin clouds (ties, duplicates), in a fresh interpreter
# whose environment chooses the vector path; saved to the file named by the first argument.
VECTOR_PATH_JOINS = """
import sys
import numpy as np
from scipy.spatial import Delaunay
import _ornel
rng = np.random.default_rng(5)
out = {}
for name, dtype, Prepared, Grouped in (("f32", np.float32, _ornel.PreparedF32, _ornel.GroupedQueriesF32),
                                       ("f64", np.float64, _ornel.PreparedF64, _ornel.GroupedQueriesF64)):
    clouds = []
    for n in (700, 500):
        p = np.round(rng.random((n, 3)) * 10) / 10
        p[:, 2] *= 0.05
        p = p.astype(dtype)
        clouds.append(Prepared(p, *_ornel.graph_from_simplices(Delaunay(p).simplices.astype(np.uint64), n)))
    target, query = clouds
    for block in (1, 8, 33):
        for bound in (None, 0.03):
            out[f"{name} blocked {block} {bound}"] = target.query_prepared_blocked(query, block, bound)
    grouped = Grouped.prepare(clouds, [None, rng.permutation(500).astype(np.int64)])
    out[f"{name} grouped"] = target.query_grouped(grouped, rng.permutation(700).astype(np.int64))
np.savez(sys.argv[1], **{f"{key} {part}": pair[part] for key, pair in out.items() for part in (0, 1)})
print("joined")
"""


def joins_with(tmp_path, disable):
    saved = tmp_path / f"joins-{disable}.npz"
    env = dict(os.environ, ORNEL_DISABLE_AVX2=disable)
    subprocess.run([sys.executable, "-c", VECTOR_PATH_JOINS, str(saved)], env=env, check=True, capture_output=True)
    return np.load(saved)


def test_both_vector_paths_give_the_same_bits(tmp_path):
    baseline, chosen = joins_with(tmp_path, "1"), joins_with(tmp_path, "0")
    assert sorted(baseline.files) == sorted(chosen.files) and len(baseline.files) == 28
    for key in baseline.files:
        np.testing.assert_array_equal(baseline[key], chosen[key], err_msg=key)
        if key.endswith(" 0") and "None" in key:
            assert np.all(np.isfinite(baseline[key]))


def test_the_switch_keeps_the_avx2_path_from_running():
    """Under a debugger, with a breakpoint on the AVX2 entry of every dispatched kernel: the
    blocked sweep's is reached when the switch is off and none ever when it is on. Needs gdb,
    an AVX2 processor and the unstripped build tree."""
    gdb = shutil.which("gdb")
    with open("/proc/cpuinfo") as cpuinfo:
        has_avx2 = " avx2" in cpuinfo.read()
    # The ordinary build's tree (build/<wheel tag>), which keeps the symbols the installed copy lost.
    built = sorted((Path(__file__).resolve().parents[1] / "build").glob(f"cp*/{Path(_ornel.__file__).name}"))
    with open("/proc/self/maps") as maps:
        sanitized = "libasan" in maps.read()
    if not (gdb and has_avx2 and built) or sanitized:
        pytest.skip("needs gdb, an AVX2 processor and the build tree, without sanitizers")
    script = f"import sys; sys.path.insert(0, {str(built[-1].parent)!r})\n" + VECTOR_PATH_JOINS.replace(
        "np.savez(sys.argv[1], ", "dict("
    )

    def run(disable):
        command = [
            gdb,
            "-q",
            "-batch",
            "-ex",
            "set breakpoint pending on",
            "-ex",
            "break Dispatch::avx2",
            "-ex",
            "run",
            "--args",
            sys.executable,
            "-c",
            script,
        ]
        env = dict(os.environ, ORNEL_DISABLE_AVX2=disable)
        return subprocess.run(command, env=env, capture_output=True, text=True, timeout=600).stdout

    enabled, disabled = run("0"), run("1")
    assert re.search(r"hit Breakpoint 1[.\d]*, .*Dispatch<ornel::BlockSweeps<.*>::avx2", enabled)
    assert "joined" not in enabled
    assert "hit Breakpoint" not in disabled and "joined" in disabled and "exited normally" in disabled
