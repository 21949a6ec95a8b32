"""`ornel._native`'s thread counts, read one way by every function that takes one, and
the failures of work split over threads, reported as one thread would report them."""

import re

import numpy as np
import pytest

import ornel
from ornel._native import delaunay, delaunay_graph, knn_self, nearest_from_starts, track_nearest


def scan(rng, n, offset=0.0):
    """A quantised, two-sided sheet with duplicates: the ties real scans are full of."""
    xy = np.round(rng.random((n, 2)) * 300) / 300
    z = np.round(rng.random(n) * 2) / 300
    points = np.column_stack([xy, z])
    points[: n // 10] = points[n // 10 : 2 * (n // 10)]
    return points + offset


@pytest.fixture(scope="module")
def target():
    rng = np.random.default_rng(8)
    points = scan(rng, 3000, 5e5)
    indptr, indices = ornel.delaunay_graph(points)
    queries = scan(rng, 20_000, 5e5) + rng.normal(scale=1e-3, size=(20_000, 3))
    return points, indptr, indices, queries


def with_threads(target):
    """Each function that takes a thread count, as call(threads) -> its answer; threads=... omits it."""
    points, indptr, indices, queries = target
    starts = np.arange(len(queries), dtype=np.uint32) % len(points)

    def keyword(function, *args):
        return lambda threads: function(*args) if threads is ... else function(*args, threads=threads)

    def tracked(threads):
        first = (
            track_nearest(points, indptr, indices, queries)
            if threads is ...
            else track_nearest(points, indptr, indices, queries, threads=threads)
        )
        moved = queries + 2e-3
        later = (points, indptr, indices, moved, queries, first[1], first[2])
        return first + (track_nearest(*later) if threads is ... else track_nearest(*later, threads=threads))

    return {
        "delaunay": keyword(delaunay, points[:4000]),
        "delaunay_graph": keyword(delaunay_graph, points),
        "knn_self": keyword(knn_self, points, indptr, indices, 6, 12),
        "nearest_from_starts": keyword(nearest_from_starts, points, indptr, indices, queries, starts),
        "nearest_chained": keyword(nearest_from_starts, points, indptr, indices, queries, None, 0.01),
        "track_nearest": tracked,
    }


NAMES = ["delaunay", "delaunay_graph", "knn_self", "nearest_from_starts", "nearest_chained", "track_nearest"]


def as_bytes(answer):
    if isinstance(answer, tuple):
        return [a.tobytes() for a in answer]
    # The tetrahedra's order may follow the threads; their set may not.
    return np.sort(np.sort(answer, axis=1), axis=0).tobytes()


@pytest.mark.parametrize("name", NAMES)
def test_every_count_gives_the_answer_of_one_thread(target, name):
    call = with_threads(target)[name]
    expected = as_bytes(call(1))
    for threads in (..., None, 2, 3, np.int64(4), 65, 10**30):
        assert as_bytes(call(threads)) == expected, threads


@pytest.mark.parametrize("name", NAMES)
def test_counts_below_one_and_non_integers_are_refused_alike(target, name):
    call = with_threads(target)[name]
    for bad in (0, -1, np.int32(-7), -(10**30)):
        with pytest.raises(ValueError) as info:
            call(bad)
        assert str(info.value) == f"threads must be at least 1, not {int(bad)}"
        assert info.value.__notes__ == ["while processing 'threads'"]
    for wrong in ("2", 2.0):
        with pytest.raises(TypeError):
            call(wrong)


def test_faults_in_several_parts_report_the_lowest_part_first(target):
    """A start outside the target in one part and graph entries outside it in two later
    parts: whichever thread meets its fault first, the lowest query's is reported, as on
    one thread."""
    points, indptr, indices, queries = target
    n = len(points)
    # Every other query starts at its answer, so that it reads no row but its answer's,
    # and the rows spoiled are nobody's answer: only the queries started there meet them.
    _, starts = nearest_from_starts(points, indptr, indices, queries, None)
    first_row, second_row = np.setdiff1d(np.arange(n), starts)[[3, 7]]
    spoiled = indices.copy()
    spoiled[indptr[first_row]] = n + 5
    spoiled[indptr[second_row]] = n + 9
    cases = [
        ((12_000, second_row), (16_000, first_row), f"indices[{indptr[second_row]}] = {n + 9} "),
        ((5_000, n + 1), (12_000, second_row), f"starts[5000] = {n + 1} "),
        ((19_999, n + 2), (8_000, first_row), f"indices[{indptr[first_row]}] = {n + 5} "),
    ]
    for (at_a, start_a), (at_b, start_b), message in cases:
        given = starts.copy()
        given[at_a], given[at_b] = start_a, start_b
        for threads in (1, 2, 3, 5):
            with pytest.raises(ValueError, match="^" + re.escape(message)):
                nearest_from_starts(points, indptr, spoiled, queries, given, None, threads)
