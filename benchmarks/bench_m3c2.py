"""M3C2 change detection: `ornel.m3c2` against py4dgeo's `M3C2` on the same epochs, core
points, parameters and threads, in one run.

Data: two epochs of a rolling terrain at a point spacing of about 0.6 (the second
rescanned: independent points and noise of 5 mm), a 5 mm rise on a tenth of the surface
in the second; `--points` each (default 1,000,000). Core points: every tenth point of
epoch 1. Normal radius 5, cylinder radius 2, maximum depth 15, normals toward +z (py4dgeo's
default), normals computed inside the timed call by both. The epochs in scan order
(rows along x) and spatially sorted (Morton order); each call's time is the median of
`--repeats` runs with their min and max, the median CPU-seconds (all threads), and the
extra resident memory it peaked at.

Agreement: distances, counts and LoD of ours against py4dgeo's, where both have a
distance; and against a NumPy brute force of the definitions on a sample of core points.
A second comparison at a maximum depth equal to the cylinder radius, where py4dgeo's
cylinders are exact too.

`--phases` adds where ornel's time goes, in CPU-seconds (the least of the repeats, which
a shared machine's load disturbs least) on 1 thread and on `--threads`: the grids and
Python alone (NaN normals given: no search runs), the cylinders (normals given, less
that), the normals (the whole run less the run with its own normals given) and the
Python side (the whole call less the native call).

    python benchmarks/bench_m3c2.py [--points 1000000] [--threads 2] [--repeats 5] [--phases]
"""

import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from common import machine_line, reset_peak, status_bytes  # noqa: E402
from m3c2_model import m3c2_reference  # noqa: E402

import ornel  # noqa: E402

NORMAL_RADIUS, CYLINDER_RADIUS, MAX_DEPTH, SPACING = 5.0, 2.0, 15.0, 0.6


def epochs(n, rng):
    """Two scans of one terrain, about SPACING apart, rows along x (scan order)."""
    side = np.sqrt(n) * SPACING

    def scan():
        xy = rng.uniform(0, side, (n, 2))
        xy = xy[np.lexsort((xy[:, 0], np.floor(xy[:, 1] / SPACING)))]
        z = 3 * np.sin(xy[:, 0] / 40) * np.cos(xy[:, 1] / 55) + 0.5 * np.sin(xy[:, 0] / 7)
        return np.c_[xy, z + 0.005 * rng.standard_normal(n)]

    first, second = scan(), scan()
    patch = (second[:, 0] < side * np.sqrt(0.1)) & (second[:, 1] < side * np.sqrt(0.1))
    second[patch, 2] += 0.005
    return first, second, side * np.sqrt(0.1)


def timed(call, repeats):
    """(result, wall times, extra peak memory); the CPU-seconds of each run (every thread's)
    are kept beside the wall times in `cpu_times`, since a shared machine's load moves the
    latter far more than the former."""
    times = []
    baseline = reset_peak()
    result = call()
    peak = status_bytes("VmHWM") - baseline
    cpu_times.clear()
    for _ in range(repeats):
        start, cpu = time.perf_counter(), time.process_time()
        call()
        times.append(time.perf_counter() - start)
        cpu_times.append(time.process_time() - cpu)
    return result, times, peak


cpu_times = []


def ours(first, second, cores, threads, depth):
    return lambda: ornel.m3c2(
        first,
        second,
        core_points=cores,
        normal_radius=NORMAL_RADIUS,
        cylinder_radius=CYLINDER_RADIUS,
        max_depth=depth,
        normals="+z",
        threads=threads,
    )


def theirs(py4dgeo, first, second, cores, depth):
    def run():
        epoch1, epoch2 = py4dgeo.Epoch(first), py4dgeo.Epoch(second)
        algorithm = py4dgeo.M3C2(
            epochs=(epoch1, epoch2),
            corepoints=cores,
            normal_radii=(NORMAL_RADIUS,),
            cyl_radius=CYLINDER_RADIUS,
            max_distance=depth,
        )
        distances, uncertainties = algorithm.run()
        return distances, uncertainties, algorithm.directions()

    return run


def phases(first, second, cores, threads, repeats):
    """CPU-seconds of each phase of ornel.m3c2 (see the module's text), by subtraction."""
    from ornel._native import m3c2 as native_m3c2

    radii, up = np.array([NORMAL_RADIUS]), np.array([0.0, 0.0, 1.0])

    def native(normals, side):
        return native_m3c2(
            first,
            second,
            cores,
            radii,
            normals,
            side,
            up,
            CYLINDER_RADIUS,
            MAX_DEPTH,
            False,
            threads=threads,
        )

    def least_cpu(call):
        times = []
        for _ in range(repeats + 1):
            start = time.process_time()
            call()
            times.append(time.process_time() - start)
        return min(times[1:])

    whole = least_cpu(ours(first, second, cores, threads, MAX_DEPTH))
    full = least_cpu(lambda: native(None, 1))
    normals = np.ascontiguousarray(native(None, 1)[0])
    given = least_cpu(lambda: native(normals, 0))
    grids = least_cpu(lambda: native(np.full_like(normals, np.nan), 0))
    print(
        f"  phases on {threads} thread(s), CPU-seconds: grids {grids:.3f}, normals {full - given:.3f}, "
        f"cylinders and statistics {given - grids:.3f}, Python {whole - full:.3f}; whole call {whole:.3f}"
    )


def describe(name, times, peak, n):
    median = statistics.median(times)
    print(
        f"  {name:<22} {median:8.3f} s  (min {min(times):.3f}, max {max(times):.3f})  "
        f"CPU {statistics.median(cpu_times):6.3f} s  +{peak / 2**20:6.1f} MB  {peak / (2 * n):6.1f} B/point"
    )
    return median, statistics.median(cpu_times)


def agreement(result, distances, uncertainties):
    both = np.isfinite(result.distance) & np.isfinite(distances)
    same_counts = (result.count1 == uncertainties["num_samples1"]) & (result.count2 == uncertainties["num_samples2"])
    lod = np.isfinite(result.lod) & np.isfinite(uncertainties["lodetection"]) & same_counts
    print(
        f"    distances where both have one: {both.sum():,} of {len(both):,}; "
        f"NaN patterns equal: {np.array_equal(np.isnan(result.distance), np.isnan(distances))}"
    )
    print(
        f"    counts equal at {same_counts.mean():.2%} of core points; ours larger at "
        f"{((result.count1 > uncertainties['num_samples1']) | (result.count2 > uncertainties['num_samples2'])).mean():.2%}"
    )
    where = both & same_counts
    if where.any():
        print(
            f"    where counts agree: max |distance difference| {np.abs(result.distance - distances)[where].max():.2e}, "
            f"max |LoD difference| {np.abs(result.lod - uncertainties['lodetection'])[lod].max():.2e}"
        )
    if both.any():
        print(
            f"    everywhere: max |distance difference| {np.abs(result.distance - distances)[both].max():.2e}, "
            f"median {np.median(np.abs(result.distance - distances)[both]):.2e}"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--sample", type=int, default=300, help="core points checked against the brute force")
    parser.add_argument("--phases", action="store_true", help="also where ornel's time goes, per phase")
    args = parser.parse_args()
    import py4dgeo

    py4dgeo.set_py4dgeo_logfile(os.path.join(tempfile.gettempdir(), "bench_m3c2_py4dgeo.log"))
    py4dgeo.set_num_threads(args.threads)
    print(machine_line())
    print(
        f"py4dgeo {py4dgeo.__version__ if hasattr(py4dgeo, '__version__') else ''}; {args.points:,} points per "
        f"epoch, {args.threads} threads, normal radius {NORMAL_RADIUS}, cylinder radius {CYLINDER_RADIUS}, "
        f"max depth {MAX_DEPTH}"
    )
    rng = np.random.default_rng(2013)
    first, second, patch_side = epochs(args.points, rng)
    for order_name in ("scan order", "Morton order"):
        if order_name == "Morton order":
            first, second = first[ornel.morton_order(first)], second[ornel.morton_order(second)]
        cores = np.ascontiguousarray(first[::10])
        print(f"\n{order_name}: {len(cores):,} core points")
        if args.phases:
            for threads in sorted({1, args.threads}):
                phases(first, second, cores, threads, args.repeats)
        result, times, peak = timed(ours(first, second, cores, args.threads, MAX_DEPTH), args.repeats)
        mine, mine_cpu = describe("ornel.m3c2", times, peak, args.points)
        (distances, uncertainties, normals), times, peak = timed(
            theirs(py4dgeo, first, second, cores, MAX_DEPTH), args.repeats
        )
        peer, peer_cpu = describe("py4dgeo M3C2", times, peak, args.points)
        print(
            f"  py4dgeo / ornel: {peer / mine:.1f}x in time, {peer_cpu / mine_cpu:.1f}x in CPU-seconds "
            f"(load now {' '.join(f'{x:.2f}' for x in os.getloadavg())})"
        )
        patch = (cores[:, 0] < patch_side) & (cores[:, 1] < patch_side)
        for name, d, lod in (
            ("ornel", result.distance, result.lod),
            ("py4dgeo", distances, uncertainties["lodetection"]),
        ):
            significant = np.abs(d) > lod
            print(
                f"    {name:<8} patch: median change {np.nanmedian(d[patch]) * 1000:.2f} mm, "
                f"{significant[patch].mean():.1%} significant; elsewhere {significant[~patch].mean():.1%} flagged"
            )
        print(f"    normals: max difference {np.abs(result.normal - normals).max():.2e}")
        agreement(result, distances, uncertainties)
        if order_name == "scan order":
            pick = np.random.default_rng(1).choice(len(cores), args.sample, replace=False)
            reference = m3c2_reference(first, second, cores[pick], [NORMAL_RADIUS], CYLINDER_RADIUS, MAX_DEPTH)
            exact = (result.count1[pick] == reference["count1"]) & (result.count2[pick] == reference["count2"])
            print(
                f"    brute force on {args.sample} core points: ornel's counts equal at {exact.mean():.1%}, "
                f"max |distance difference| {np.nanmax(np.abs(result.distance[pick] - reference['distance'])):.2e}; "
                f"py4dgeo's counts equal at "
                f"{((uncertainties['num_samples1'][pick] == reference['count1']) & (uncertainties['num_samples2'][pick] == reference['count2'])).mean():.1%}"
            )
            short, _, _ = timed(ours(first, second, cores, args.threads, CYLINDER_RADIUS), 0)
            (d2, u2, _), _, _ = timed(theirs(py4dgeo, first, second, cores, CYLINDER_RADIUS), 0)
            print(f"  max depth {CYLINDER_RADIUS} (= cylinder radius):")
            agreement(short, d2, u2)


if __name__ == "__main__":
    main()
