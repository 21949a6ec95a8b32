"""The walks from given starts over stored rows of neighbour coordinates (`rows=`, built
by `neighbour_rows`) against the same walks gathering coordinates through the graph, in
one run, on noisy resamples of the Bunny:

  tracking   `track_nearest` after a small rigid move of 100k queries (a registration's
             search after the first), for targets of several sizes, float64
  finish     `nearest_from_starts` from the float32 nearest points (the all-by-all's
             single-precision finish), float32 targets of 25k-point scans, and what the
             rows' build costs against what they save over the 15 other clouds of a
             16-cloud all-by-all

Both timed in turn (medians of `--repeats`), one thread; the answers are checked equal.

    python benchmarks/bench_neighbour_rows.py [--repeats 15]
"""

import argparse
import statistics
import time

import numpy as np
from common import DATA, machine_line
from scipy.spatial import cKDTree
from scipy.spatial.transform import Rotation

import ornel
from ornel._native import nearest_from_starts, neighbour_rows, track_nearest


def scan(rng, model, n):
    i, j = rng.integers(0, len(model), n), rng.integers(0, len(model), n)
    near = np.linalg.norm(model[j] - model[i], axis=1) < 0.004
    return model[i] + rng.random((n, 1)) * (model[j] - model[i]) * near[:, None] + rng.normal(scale=1e-4, size=(n, 3))


def in_turn(calls, repeats):
    """Median seconds of each call, the calls timed one after the other `repeats` times."""
    times = [[] for _ in calls]
    for _ in range(repeats):
        for call, spent in zip(calls, times):
            start = time.perf_counter()
            call()
            spent.append(time.perf_counter() - start)
    return [statistics.median(spent) for spent in times]


def tracking(rng, model, n_target, repeats):
    target, source = ornel.Cloud(scan(rng, model, n_target)), ornel.Cloud(scan(rng, model, 100_000))
    points, (indptr, indices) = target.sorted_coordinates("f64"), target.graph("f64")
    start = time.perf_counter()
    rows = neighbour_rows(points, indptr, indices, threads=1)
    build = time.perf_counter() - start
    s = np.ascontiguousarray(source.points[source.order])
    centre = s.mean(axis=0)
    state = (s, *track_nearest(points, indptr, indices, s)[1:])
    for degrees in (0.5, 0.1, 0.02):
        rotation = Rotation.from_rotvec([0, np.radians(degrees), 0]).as_matrix()
        moved = np.ascontiguousarray((s - centre) @ rotation.T + centre + degrees * 2e-4)
        kept = np.mean(np.linalg.norm(moved - s, axis=1) < state[2])
        stored = track_nearest(points, indptr, indices, moved, *state, 1, rows)
        gathered = track_nearest(points, indptr, indices, moved, *state, 1)
        assert all(np.array_equal(a, b) for a, b in zip(stored, gathered)), "rows disagree"
        t_rows, t_gather = in_turn([lambda: track_nearest(points, indptr, indices, moved, *state, 1, rows),
                                    lambda: track_nearest(points, indptr, indices, moved, *state, 1)], repeats)
        print(f"tracking  target {n_target:>7,}  move {degrees:>4}°  kept {kept:4.0%}  rows {t_rows * 1e3:6.2f} ms  "
              f"gathering {t_gather * 1e3:6.2f} ms  gathering/rows {t_gather / t_rows:4.2f}")
    print(f"          rows of the {n_target:,}-point target: {rows.nbytes / n_target:.0f} B per point, built in "
          f"{build * 1e3:.1f} ms on one thread")


def finish(rng, model, repeats):
    n = 25_000
    target, queries = ornel.Cloud(scan(rng, model, n)), ornel.Cloud(scan(rng, model, n))
    points, (indptr, indices) = target.sorted_coordinates("f32"), target.graph("f32")
    start = time.perf_counter()
    rows = neighbour_rows(points, indptr, indices, threads=1)
    build = time.perf_counter() - start
    q = np.ascontiguousarray(queries.points[queries.order], dtype=np.float64)
    starts = cKDTree(points).query(q.astype(np.float32))[1].astype(np.uint32)
    stored = nearest_from_starts(points, indptr, indices, q, starts, rows=rows)
    assert all(np.array_equal(a, b) for a, b in zip(stored, nearest_from_starts(points, indptr, indices, q, starts)))
    t_rows, t_gather = in_turn([lambda: nearest_from_starts(points, indptr, indices, q, starts, rows=rows),
                                lambda: nearest_from_starts(points, indptr, indices, q, starts)], repeats)
    saved = (t_gather - t_rows) * 15
    print(f"finish    float32 target {n:,}: rows {t_rows / n * 1e9:.1f} ns/query, gathering "
          f"{t_gather / n * 1e9:.1f} ns/query ({t_gather / t_rows:.2f}×); {rows.nbytes / n:.0f} B per point; "
          f"build {build * 1e3:.2f} ms against {saved * 1e3:.2f} ms saved over 15 query clouds")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=15)
    args = parser.parse_args()
    print(machine_line())
    model = np.load(DATA / "stanford-bunny.npy")
    rng = np.random.default_rng(1)
    for n_target in (3_000, 12_000, 40_000, 134_000, 300_000):
        tracking(rng, model, n_target, args.repeats)
    finish(rng, model, args.repeats)
    print(machine_line())


if __name__ == "__main__":
    main()
