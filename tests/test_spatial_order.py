"""The Morton order's radix sort: equal to NumPy's stable argsort of the same keys on every kind of
cloud (spread, all equal, flat, straight, duplicated, far from the origin, tiny, given sorted), at sizes around
where the sort splits its work and its digits, and on 1, 2 and 7 threads."""

import subprocess

import numpy as np
import pytest

import ornel
from tests.conftest import native_checker, reference_morton_keys


def clouds(n, rng):
    """Clouds of n points whose keys make the sort take each of its ways."""
    spread = rng.random((n, 3))
    flat = np.column_stack([rng.random(n), rng.random(n), np.full(n, 0.25)])
    t = rng.random(n)
    line = np.column_stack([t, 2 * t + 1, -t])
    duplicated = np.repeat(rng.random((max(n // 7, 1), 3)), 7, axis=0)[:n]
    duplicated = duplicated[rng.permutation(len(duplicated))]
    quantised = np.round(rng.random((n, 3)) * 9) / 9  # few distinct keys, long runs of ties
    far = rng.random((n, 3)) * [1e-3, 10.0, 1.0] + 5e5
    equal = np.full((n, 3), 3.5)
    # Given in key order already (the sort keeps them as they stand), and the same with its
    # halves swapped: in order within each part of two threads, not across them.
    given_sorted = spread[expected_order(spread)]
    halves_swapped = np.concatenate([given_sorted[n // 2 :], given_sorted[: n // 2]])
    return {
        "spread": spread,
        "flat": flat,
        "line": line,
        "duplicated": duplicated,
        "quantised": quantised,
        "far": far,
        "equal": equal,
        "given sorted": given_sorted,
        "halves swapped": halves_swapped,
    }


def expected_order(points):
    if len(points) == 0:
        return np.zeros(0, np.int64)
    return np.argsort(reference_morton_keys(points), kind="stable")


# Around the sizes where the top digit widens (multiples of 4096), where a second
# thread (32,768 points a part) and a seventh take a part, and tiny buckets.
SIZES = [0, 1, 2, 3, 47, 49, 500, 4095, 8192, 8193, 32768, 32769, 65537, 7 * 32768 + 3]


@pytest.mark.parametrize("n", SIZES)
def test_order_is_the_stable_key_order(n):
    rng = np.random.default_rng(n)
    for name, points in clouds(n, rng).items():
        np.testing.assert_array_equal(ornel.morton_order(points), expected_order(points), err_msg=name)
        single = points.astype(np.float32)
        np.testing.assert_array_equal(ornel.morton_order(single), expected_order(single), err_msg=name)


@pytest.fixture(scope="module")
def threaded_order(tmp_path_factory):
    program, env = native_checker(tmp_path_factory, "morton_order_check", "-pthread")
    directory = program.parent

    def run(points, threads, grid=False):
        path = directory / "points.f64"
        np.ascontiguousarray(points, dtype=np.float64).tofile(path)
        flags = ["--grid"] if grid else []
        out = subprocess.run(
            [str(program), *flags, str(path), *map(str, threads)], capture_output=True, check=True, env=env
        ).stdout
        orders = np.frombuffer(out, dtype=np.int64)
        # Per thread count: the order, or with `grid` the queries' and the target's.
        return orders.reshape(len(threads), 2, len(points)) if grid else orders.reshape(len(threads), len(points))

    return run


@pytest.mark.parametrize("n", [0, 1, 47, 200, 5000, 32769, 65536, 7 * 32768 - 1, 7 * 32768 + 1, 300_000])
def test_order_on_threads_is_the_stable_key_order(threaded_order, n):
    rng = np.random.default_rng(100 + n)
    for name, points in clouds(n, rng).items():
        orders = threaded_order(points, [1, 2, 7])
        expected = expected_order(points)
        for threads, order in zip([1, 2, 7], orders):
            np.testing.assert_array_equal(order, expected, err_msg=f"{name}, {threads} threads")


@pytest.mark.parametrize("n", [1, 47, 5000, 32769, 7 * 32768 + 1, 300_000])
def test_grid_orders_are_the_stable_order_of_their_keys(threaded_order, n):
    """The grid sorts by the keys' top 10 levels, key and row packed in one word: its queries in
    exactly that order, its target in it too, or by whole keys where a cell of the 10th level
    holds many cells' worth of points."""
    rng = np.random.default_rng(200 + n)
    for name, points in clouds(n, rng).items():
        keys = reference_morton_keys(points)
        coarse = np.argsort(keys >> np.uint64(33), kind="stable")
        whole = np.argsort(keys, kind="stable")
        for threads, (queries, target) in zip([1, 2, 7], threaded_order(points, [1, 2, 7], grid=True)):
            np.testing.assert_array_equal(queries, coarse, err_msg=f"{name}, {threads} threads")
            assert np.array_equal(target, coarse) or np.array_equal(target, whole), f"{name}, {threads} threads"
