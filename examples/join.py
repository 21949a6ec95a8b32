"""All-by-all nearest-neighbour join of point clouds, the way it is done in practice.

Every cloud is joined with every other cloud in both directions: for each point
of cloud A the nearest point of cloud B, and the other way round. The script

  1. sorts each cloud spatially (Morton order) and keeps the permutation,
  2. tetrahedralises it with scipy.spatial.Delaunay and builds its
     neighbourhood graph with _ornel.graph_from_simplices,
  3. prepares every cloud once (PreparedF32, or PreparedF64 with --f64),
  4. builds one grouped query set of all clouds (GroupedQueries*.prepare),
  5. runs target.query_grouped for every target from a thread pool,
  6. checks a random sample of the answers against scipy's cKDTree,

and prints, for every pair of clouds, the mean and maximum nearest distance in
each direction (their Chamfer and Hausdorff distances), then the throughput.

Without arguments it generates a handful of clouds (noisy surfaces and volumes,
tens of thousands of points each). Given .npy files of shape (N, 3) it joins
those instead:

    python examples/join.py [cloud.npy ...] [--threads N] [--f64]

Exit status: 0 when every sampled answer agrees with cKDTree, 1 when one does
not, 2 for unusable input (a one-line message says why).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy.spatial import Delaunay, QhullError, cKDTree

import _ornel

DATA = Path(__file__).resolve().parents[1] / "data"


class InputError(Exception):
    """Input that cannot be joined; reported in one line."""


class Progress:
    """A plain progress bar on stderr, redrawn in place on a terminal.

    When stderr is not a terminal (a log file, CI), only the finished bar is
    written, so logs get one line per phase.
    """

    def __init__(self, label: str, total: int) -> None:
        self.label, self.total, self.done = label, total, 0
        self.started = time.perf_counter()
        self.live = sys.stderr.isatty()
        self._draw()

    def step(self, note: str = "") -> None:
        self.done += 1
        self._draw(note)
        if self.done == self.total and not self.live:
            sys.stderr.write(self._line(note) + "\n")

    def _line(self, note: str) -> str:
        width = 30
        filled = width * self.done // max(self.total, 1)
        seconds = time.perf_counter() - self.started
        return (f"{self.label:<10} [{'#' * filled}{'.' * (width - filled)}] "
                f"{self.done}/{self.total} {seconds:6.1f}s {note}")

    def _draw(self, note: str = "") -> None:
        if self.live:
            end = "\n" if self.done == self.total else ""
            sys.stderr.write("\r\033[K" + self._line(note)[:150] + end)
            sys.stderr.flush()


# --- the clouds ---------------------------------------------------------------


def noisy_sphere(rng: np.random.Generator, n: int) -> npt.NDArray[np.float64]:
    v = rng.normal(size=(n, 3))
    v /= np.linalg.norm(v, axis=1)[:, None]
    return v + rng.normal(scale=0.004, size=(n, 3))


def noisy_torus(rng: np.random.Generator, n: int) -> npt.NDArray[np.float64]:
    u, w = rng.uniform(0, 2 * np.pi, (2, n))
    ring = 0.75 + 0.3 * np.cos(w)
    torus = np.stack([ring * np.cos(u), ring * np.sin(u), 0.3 * np.sin(w)], axis=1)
    return torus + rng.normal(scale=0.004, size=(n, 3))


def solid_ball(rng: np.random.Generator, n: int) -> npt.NDArray[np.float64]:
    v = rng.normal(size=(n, 3))
    v /= np.linalg.norm(v, axis=1)[:, None]
    return v * rng.random(n)[:, None] ** (1 / 3)


def solid_box(rng: np.random.Generator, n: int) -> npt.NDArray[np.float64]:
    box: npt.NDArray[np.float64] = rng.uniform(-0.8, 0.8, (n, 3)) * np.array([1.0, 0.6, 0.4])
    return box


def bunny_scan(rng: np.random.Generator, n: int) -> npt.NDArray[np.float64]:
    """A noisy subsample of the Stanford Bunny, scaled to about the unit ball."""
    model: npt.NDArray[np.float64] = np.load(DATA / "stanford-bunny.npy")
    centre = (model.min(axis=0) + model.max(axis=0)) / 2
    model = (model - centre) / (np.ptp(model, axis=0).max() / 2)
    pick = rng.choice(len(model), size=min(n, len(model)), replace=False)
    return model[pick] + rng.normal(scale=0.004, size=(len(pick), 3))


def generated_clouds(rng: np.random.Generator, scale: float) -> list[tuple[str, str, npt.NDArray[np.float64]]]:
    shapes = [
        ("sphere", noisy_sphere, 40_000),
        ("torus", noisy_torus, 30_000),
        ("ball", solid_ball, 20_000),
        ("box", solid_box, 25_000),
    ]
    clouds = [(name, f"generated {name}", make(rng, max(int(n * scale), 8))) for name, make, n in shapes]
    if (DATA / "stanford-bunny.npy").exists():
        # Two scans of one object: the pair a user compares most often.
        clouds.append(("bunny-a", "generated bunny-a", bunny_scan(rng, max(int(30_000 * scale), 8))))
        clouds.append(("bunny-b", "generated bunny-b", bunny_scan(rng, max(int(25_000 * scale), 8))))
    return clouds


def load_cloud(path: str) -> tuple[str, str, npt.NDArray[np.float64]]:
    try:
        with open(path, "rb") as file:
            magic = file.read(6)
        if magic != b"\x93NUMPY":
            raise InputError(f"{path}: not a .npy file (save one (N, 3) array with numpy.save)")
        array = np.load(path, allow_pickle=False)
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{path}: is a directory, not a .npy file") from None
    except (OSError, ValueError, EOFError) as error:
        raise InputError(f"{path}: unreadable .npy file ({error})") from None
    if array.ndim != 2 or array.shape[1] != 3:
        raise InputError(f"{path}: shape {array.shape}, expected (N, 3)")
    if not (np.issubdtype(array.dtype, np.floating) or np.issubdtype(array.dtype, np.integer)):
        raise InputError(f"{path}: element type {array.dtype}, expected numbers")
    points = array.astype(np.float64)
    if not np.isfinite(points).all():
        raise InputError(f"{path}: contains NaN or infinite coordinates")
    return Path(path).stem, path, points


# --- preparing a cloud --------------------------------------------------------


def morton_order(points: npt.NDArray[np.floating[Any]]) -> npt.NDArray[np.int64]:
    """Permutation (new -> original) sorting points along a Z-order curve, 21 bits per axis."""
    lo, hi = points.min(axis=0), points.max(axis=0)
    q = ((points - lo) / np.where(hi > lo, hi - lo, 1) * 2097151).astype(np.uint64)
    key = np.zeros(len(points), np.uint64)
    for bit in range(21):
        for axis in range(3):
            key |= ((q[:, axis] >> np.uint64(bit)) & np.uint64(1)) << np.uint64(3 * bit + axis)
    return np.argsort(key, kind="stable").astype(np.int64)


def adopt_twins(indptr: npt.NDArray[np.uint32], indices: npt.NDArray[np.uint32],
                left_out: npt.NDArray[np.int32]) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]:
    """Gives every point that Qhull left out of the tetrahedralisation (a duplicate,
    or a point closer to another than Qhull can resolve) the row of its twin plus
    the twin itself.

    Such a point would otherwise have no neighbours: a search starting there (the
    walk starts at point 0) could not move on, and every answer would be wrong."""
    lengths = np.diff(indptr).astype(np.int64)
    rows = [indices[indptr[i]:indptr[i + 1]] for i in range(len(lengths))]
    for point, twin in left_out:
        rows[point] = np.concatenate([[twin], rows[twin]]).astype(np.uint32)
        lengths[point] = len(rows[point])
    new_indptr = np.concatenate([[0], np.cumsum(lengths)]).astype(np.uint32)
    return new_indptr, np.concatenate(rows).astype(np.uint32)


@dataclass
class Cloud:
    name: str
    points: npt.NDArray[np.floating[Any]]  # in the caller's original order, in the join's precision
    perm: npt.NDArray[np.int64]  # sorted position -> original index
    prepared: _ornel.PreparedF32 | _ornel.PreparedF64
    left_out: int  # points that no tetrahedron uses (duplicates)


def prepare_cloud(name: str, label: str, points: npt.NDArray[np.float64], dtype: type[np.floating[Any]],
                  timings: dict[str, float]) -> Cloud:
    """Sorts, tetrahedralises and prepares one cloud; `label` names it in errors."""
    if len(points) < 4:
        raise InputError(f"{label}: {len(points)} points; a tetrahedralisation needs at least 4")
    if len(points) >= 2**32:
        raise InputError(f"{label}: {len(points)} points; at most 4294967295 are supported")
    points = points.astype(dtype)

    start = time.perf_counter()
    perm = morton_order(points)
    ordered = np.ascontiguousarray(points[perm])
    try:
        # Tetrahedralise the coordinates exactly as they will be searched.
        triangulation = Delaunay(ordered.astype(np.float64))
    except (QhullError, ValueError):
        raise InputError(f"{label}: cannot be tetrahedralised (all points on one plane or line, "
                         f"or too few distinct points)") from None
    timings["Delaunay"] += time.perf_counter() - start

    start = time.perf_counter()
    indptr, indices = _ornel.graph_from_simplices(triangulation.simplices.astype(np.uint64), len(ordered))
    left_out = triangulation.coplanar[:, ::2]  # (point, nearest vertex) for points in no tetrahedron
    if len(left_out):
        indptr, indices = adopt_twins(indptr, indices, left_out)
    timings["graph"] += time.perf_counter() - start

    start = time.perf_counter()
    prepared: _ornel.PreparedF32 | _ornel.PreparedF64
    if dtype == np.float32:
        prepared = _ornel.PreparedF32(ordered.astype(np.float32), indptr, indices)
    else:
        prepared = _ornel.PreparedF64(ordered.astype(np.float64), indptr, indices)
    timings["prepare"] += time.perf_counter() - start
    return Cloud(name, points, perm, prepared, len(left_out))


# --- the join -----------------------------------------------------------------


@dataclass
class TargetResult:
    seconds: float  # time in query_grouped
    mean: npt.NDArray[np.float64]  # per query cloud
    max: npt.NDArray[np.float64]
    sample_dists: npt.NDArray[np.floating[Any]]
    sample_idx: npt.NDArray[np.uint64]


def join_target(target: Cloud, grouped: _ornel.GroupedQueriesF32 | _ornel.GroupedQueriesF64,
                offsets: npt.NDArray[np.uint64], sample: npt.NDArray[np.intp]) -> TargetResult:
    """One target against every query cloud; keeps only what the report needs."""
    dists: npt.NDArray[np.floating[Any]]
    start = time.perf_counter()
    if isinstance(target.prepared, _ornel.PreparedF32):
        assert isinstance(grouped, _ornel.GroupedQueriesF32)
        dists, idx = target.prepared.query_grouped(grouped, target.perm)
    else:
        assert isinstance(grouped, _ornel.GroupedQueriesF64)
        dists, idx = target.prepared.query_grouped(grouped, target.perm)
    seconds = time.perf_counter() - start
    bounds = offsets.astype(np.intp)
    means = np.array([dists[a:b].mean(dtype=np.float64) for a, b in zip(bounds[:-1], bounds[1:])])
    maxima = np.array([dists[a:b].max() for a, b in zip(bounds[:-1], bounds[1:])], dtype=np.float64)
    return TargetResult(seconds, means, maxima, dists[sample], idx[sample])


def check_sample(clouds: list[Cloud], results: list[TargetResult], sample: npt.NDArray[np.intp],
                 precision: type[np.floating[Any]]) -> int:
    """Compares sampled answers with cKDTree; returns the number that disagree.

    An answer agrees when its distance matches the kd-tree's and the returned
    index is a point at that distance (ties may pick another point)."""
    everything = np.vstack([c.points for c in clouds]).astype(np.float64)[sample]
    rtol, atol = (1e-5, 1e-6) if precision == np.float32 else (1e-12, 1e-12)
    bad = 0
    for cloud, result in zip(clouds, results):
        target = cloud.points.astype(np.float64)
        ref, _ = cKDTree(target).query(everything)
        own = np.linalg.norm(target[result.sample_idx.astype(np.intp)] - everything, axis=1)
        ok = np.isclose(result.sample_dists, ref, rtol=rtol, atol=atol) & np.isclose(own, ref, rtol=rtol, atol=atol)
        bad += int(np.count_nonzero(~ok))
    return bad


def print_table(clouds: list[Cloud], results: list[TargetResult]) -> None:
    # results[t].mean[q]: mean distance from the points of cloud q to their nearest point of cloud t.
    width = max(8, max(len(c.name) for c in clouds))
    print(f"{'A':<{width}} {'B':<{width}} {'mean A->B':>10} {'mean B->A':>10} {'Chamfer':>10} "
          f"{'max A->B':>10} {'max B->A':>10} {'Hausdorff':>10}")
    for a in range(len(clouds)):
        for b in range(a + 1, len(clouds)):
            mean_ab, mean_ba = results[b].mean[a], results[a].mean[b]
            max_ab, max_ba = results[b].max[a], results[a].max[b]
            print(f"{clouds[a].name:<{width}} {clouds[b].name:<{width}} {mean_ab:10.5f} {mean_ba:10.5f} "
                  f"{mean_ab + mean_ba:10.5f} {max_ab:10.5f} {max_ba:10.5f} {max(max_ab, max_ba):10.5f}")


def run(args: argparse.Namespace) -> int:
    rng = np.random.default_rng(args.seed)
    if args.clouds:
        named = [load_cloud(path) for path in args.clouds]
        if len(named) < 2:
            raise InputError("give at least two .npy files (or none, to join generated clouds)")
    else:
        named = generated_clouds(rng, args.scale)
    names = [name for name, _, _ in named]
    if len(set(names)) != len(names):  # several files of one name: tell them apart by position
        named = [(f"{i}:{name}", label, points) for i, (name, label, points) in enumerate(named)]

    precision: type[np.floating[Any]] = np.float64 if args.f64 else np.float32
    timings = {"Delaunay": 0.0, "graph": 0.0, "prepare": 0.0, "grouped": 0.0}
    clouds = []
    progress = Progress("prepare", len(named))
    for name, label, points in named:
        clouds.append(prepare_cloud(name, label, points, precision, timings))
        progress.step(f"{name}: {len(points):,} points")

    start = time.perf_counter()
    perms = [c.perm for c in clouds]
    # One grouped set of every cloud as a query, built once for all targets.
    grouped: _ornel.GroupedQueriesF32 | _ornel.GroupedQueriesF64
    single = [c.prepared for c in clouds if isinstance(c.prepared, _ornel.PreparedF32)]
    double = [c.prepared for c in clouds if isinstance(c.prepared, _ornel.PreparedF64)]
    if single:
        grouped = _ornel.GroupedQueriesF32.prepare(single, perms)
    else:
        grouped = _ornel.GroupedQueriesF64.prepare(double, perms)
    timings["grouped"] = time.perf_counter() - start
    offsets = grouped.offsets
    sample = rng.choice(grouped.n_points, size=min(args.sample, grouped.n_points), replace=False)

    results: list[TargetResult | None] = [None] * len(clouds)
    progress = Progress("join", len(clouds))
    start = time.perf_counter()
    with ThreadPoolExecutor(args.threads) as pool:
        futures = {pool.submit(join_target, cloud, grouped, offsets, sample): t for t, cloud in enumerate(clouds)}
        for future in as_completed(futures):
            t = futures[future]
            results[t] = future.result()
            progress.step(f"target {clouds[t].name}")
    wall = time.perf_counter() - start
    done = [r for r in results if r is not None]

    bad = check_sample(clouds, done, sample, precision)

    n_points = grouped.n_points
    answered = n_points * len(clouds)
    print(f"\nAll-by-all join of {len(clouds)} clouds ({n_points:,} points, {np.dtype(precision).name}); "
          f"distances in the clouds' units; Chamfer = mean A->B + mean B->A, Hausdorff = max of both maxima\n")
    print_table(clouds, done)
    print(f"\nclouds: " + ", ".join(f"{c.name} {len(c.points):,}" for c in clouds))
    left_out = [f"{c.name} {c.left_out:,}" for c in clouds if c.left_out]
    if left_out:
        print("points left out of the tetrahedralisation (duplicates; each answered by its twin): "
              + ", ".join(left_out))
    print("setup: " + ", ".join(f"{k} {v:.3f} s" for k, v in timings.items()))
    print(f"join: {answered:,} query points ({len(clouds)} targets x {n_points:,}) in {wall:.3f} s "
          f"with {args.threads} thread{'s' if args.threads > 1 else ''} "
          f"(inside query_grouped: {sum(r.seconds for r in done):.3f} s summed over calls)")
    print(f"throughput: {answered / wall / 1e6:.1f} M points/s, {wall / answered * 1e9:.0f} ns per query point")
    if bad:
        print(f"check: {bad} of {len(sample) * len(clouds):,} sampled answers disagree with cKDTree", file=sys.stderr)
        return 1
    print(f"check: {len(sample) * len(clouds):,} sampled answers ({len(sample):,} per target) agree with cKDTree")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("clouds", nargs="*", help=".npy files of (N, 3) point clouds (default: generated clouds)")
    parser.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)), help="thread pool size")
    parser.add_argument("--f64", action="store_true", help="join in double precision (default: single)")
    parser.add_argument("--sample", type=int, default=2000, help="answers per target checked against cKDTree")
    parser.add_argument("--scale", type=float, default=1.0, help="size factor for the generated clouds")
    parser.add_argument("--seed", type=int, default=1, help="seed of the generated clouds and of the sample")
    args = parser.parse_args()
    if args.threads < 1 or args.sample < 0 or args.scale <= 0:
        parser.error("--threads must be at least 1, --sample at least 0 and --scale positive")
    try:
        return run(args)
    except InputError as error:
        if sys.stderr.isatty():
            sys.stderr.write("\r\033[K")  # clear a progress bar drawn so far
        print(f"join.py: error: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
