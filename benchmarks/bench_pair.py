"""One pair of clouds compared once: ours against the kd-trees, and the command against
CloudCompare's C2C, on the same data in one run.

Every method builds its index of the target and answers every query point of the other
cloud once (the one-off job: the index is part of the cost):

  grid f64         ornel._native.grid_nearest(b, a, threads): the cell grid alone
  grid f32         the same in single precision, both clouds rounded from b's frame (as
                   the package's default precision has them) by the grid as it reads them
  nearest f64/f32  ornel.nearest(a, b, precision=...), the package call (planner: grid)
  pykdtree         KDTree(b).query(a), OpenMP on the same threads; "sorted": the queries
                   given in Morton order (the sort not timed), an expert's best
  pynanoflann      KDTree(n_neighbors=1).fit(b).kneighbors(a, n_jobs=threads)
  cKDTree          cKDTree(b).query(a, workers=threads)

Data: noisy samples of the real surfaces' triangles (data/meshes/*.obj, area-weighted,
in the faces' order: see common.surface_samples), in scan order (that order), Morton-sorted
and, with --orders shuffled, in random order (merged tiles, tools that do not keep order).
--sampling vertices gives the older noisy resamplings of the models' vertices instead, whose
clusters of near-duplicates make the kd-trees' searches unusually easy. Prints per method the median seconds,
min and max of the runs, ns a query point, the peak resident bytes a target point
(inputs included) and the ratio of its time to ours (grid f64). With --cloudcompare,
also times `ornel compare A.ply B.ply --out O.ply` (and with --f32) against
`CloudCompare -SILENT -O A.ply -O B.ply -C2C_DIST` (which saves A with its distances) as
whole processes.

    python benchmarks/bench_pair.py                     # 30k and 1M, 2 threads
    python benchmarks/bench_pair.py --sizes 1000000 10000000 --cloudcompare
    python benchmarks/bench_pair.py --sizes 20000000 --orders scan --repeats 1 --methods "nearest f64"
    python benchmarks/bench_pair.py --whole-process-only --sizes 30000 1000000 --formats ply las
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from common import (
    machine_line,
    openmp_threads,
    pykdtree_class,
    pynanoflann_class,
    reset_peak,
    status_bytes,
    surface_samples,
    whole_process,
)
from scipy.spatial import cKDTree

import ornel
from ornel._native import grid_nearest

DATA = Path(__file__).resolve().parents[1] / "data"


def surface_pair(name, n, rng, sampling="triangles"):
    """Two independent noisy scans of a surface, each in scan order."""
    if sampling == "triangles":
        return surface_samples(rng, name, n), surface_samples(rng, name, n)
    model = np.load(DATA / f"{name}.npy").astype(np.float64)[:, :3]
    noise = 1e-3 * float(np.ptp(model, axis=0).max())

    def one():
        picks = np.sort(rng.integers(0, len(model), n))  # the scanner's order, repeated
        return model[picks] + rng.normal(scale=noise, size=(n, 3))

    return one(), one()


def peak_bytes(call, inputs):
    """Peak resident bytes above the baseline during one call, plus the inputs' bytes."""
    base = reset_peak()
    call()
    return status_bytes("VmHWM") - base + inputs


def methods(a, b, threads):
    KDTree, Nanoflann = pykdtree_class(), pynanoflann_class()
    sorted_a = np.ascontiguousarray(a[ornel.morton_order(a)])
    origin = np.asarray(ornel.Cloud(b).frame or (0.0, 0.0, 0.0))
    found = {
        "grid f64": lambda: grid_nearest(b, a, threads=threads),
        "grid f32": lambda: grid_nearest(b, a, threads=threads, origin=origin),
        "nearest f64": lambda: ornel.nearest(a, b, precision="f64"),
        "nearest f32": lambda: ornel.nearest(a, b),
        "cKDTree": lambda: cKDTree(b).query(a, workers=threads),
    }
    if KDTree is not None:
        found["pykdtree"] = lambda: KDTree(b).query(a, k=1)
        found["pykdtree sorted"] = lambda: KDTree(b).query(sorted_a, k=1)
    if Nanoflann is not None:

        def nanoflann():
            tree = Nanoflann(n_neighbors=1)
            tree.fit(b)
            return tree.kneighbors(a, 1, n_jobs=threads)

        found["pynanoflann"] = nanoflann
    return found


def check(a, b, threads):
    """Our answers against cKDTree's before anything is timed."""
    dist2, rows = grid_nearest(b, a, threads=threads)
    tree, _ = cKDTree(b).query(a, workers=threads)
    assert np.array_equal(np.sqrt(dist2), tree), "the grid's distances differ from cKDTree's"


def run_pair(name, n, order, threads, repeats, rng, sampling, chosen=None):
    a, b = surface_pair(name, n, rng, sampling)
    if order == "sorted":
        a, b = (np.ascontiguousarray(c[ornel.morton_order(c)]) for c in (a, b))
    elif order == "shuffled":
        a, b = (c[rng.permutation(n)] for c in (a, b))
    check(a, b, threads)
    with openmp_threads(threads):
        calls = {
            label: call
            for label, call in methods(a, b, threads).items()
            if chosen is None or label in chosen or label == "grid f64"
        }
        for call in calls.values():
            call()  # warms caches and lazy initialisation
        # In rounds, every method once a round: a change of the shared machine's load
        # then reaches all of them alike, and the ratios of one run stay fair.
        times = {label: [] for label in calls}
        for _ in range(repeats):
            for label, call in calls.items():
                start = time.perf_counter()
                call()
                times[label].append(time.perf_counter() - start)
        rows = {label: (times[label], peak_bytes(call, a.nbytes + b.nbytes) / n) for label, call in calls.items()}
    ours = statistics.median(rows["grid f64"][0])
    print(f"\n{name} {n:,} x {n:,}, {sampling}, {order}, {threads} threads, {repeats} runs")
    print(f"  {'method':<16}{'median s':>10}{'min':>9}{'max':>9}{'ns/query':>10}{'B/pt':>8}{'/ ours':>8}")
    for label, (times, per_point) in rows.items():
        median = statistics.median(times)
        print(
            f"  {label:<16}{median:>10.4f}{min(times):>9.4f}{max(times):>9.4f}{median / n * 1e9:>10.0f}"
            f"{per_point:>8.0f}{median / ours:>8.2f}"
        )


def write_ply(path, points):
    from plyfile import PlyData, PlyElement

    vertex = np.empty(len(points), dtype=[("x", "f8"), ("y", "f8"), ("z", "f8")])
    vertex["x"], vertex["y"], vertex["z"] = points.T
    PlyData([PlyElement.describe(vertex, "vertex")]).write(str(path))


def write_las(path, points):
    import laspy

    header = laspy.LasHeader(point_format=0, version="1.4")
    header.offsets = np.floor(points.min(axis=0))
    header.scales = np.full(3, 1e-6)  # a survey's micrometre grid: the points as given, rounded
    las = laspy.LasData(header)
    las.x, las.y, las.z = points[:, 0], points[:, 1], points[:, 2]
    las.intensity = np.arange(len(points)) % 65536  # a field that must come back
    las.write(str(path))


def run_cloudcompare(name, n, threads, repeats, rng, sampling, suffix=".ply", baselines=()):
    """`ornel compare A B --out O` (double precision, its default, and single) against
    CloudCompare's C2C on the same files, each a whole process: start, read, index,
    search, write, exit. Each of `baselines` (a directory holding another build's `ornel`
    package) is timed too, its package put first on the path."""
    binary = shutil.which("CloudCompare")
    if binary is None:
        print("\nCloudCompare is not installed (apt-get install cloudcompare): skipped")
        return
    a, b = surface_pair(name, n, rng, sampling)
    write = write_ply if suffix == ".ply" else write_las
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        paths = [folder / f"a{suffix}", folder / f"b{suffix}", folder / f"o{suffix}"]
        write(paths[0], a)
        write(paths[1], b)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        ours = [sys.executable, "-m", "ornel", "compare", *map(str, paths[:2]), "--out", str(paths[2])]
        ours += ["--threads", str(threads)]
        # It saves the compared cloud with its distances beside the input, as binary PLY
        # (LAS input: as LAS).
        export = (
            ["-C_EXPORT_FMT", "PLY", "-PLY_EXPORT_FMT", "BINARY_LE"] if suffix == ".ply" else ["-C_EXPORT_FMT", "LAS"]
        )
        theirs = [binary, "-SILENT", *export, "-O", str(paths[0]), "-O", str(paths[1]), "-C2C_DIST"]
        theirs += ["-MAX_TCOUNT", str(threads)]
        commands = {"ornel compare": ours, "ornel compare --f32": [*ours, "--f32"], "CloudCompare C2C": theirs}
        envs = {label: env for label in commands}
        for folder_of_build in baselines:
            label = f"ornel @{Path(folder_of_build).name}"
            commands[label] = ours
            path = os.pathsep.join(p for p in (str(Path(folder_of_build).resolve()), env.get("PYTHONPATH")) if p)
            envs[label] = dict(env, PYTHONPATH=path)
        results = {}
        for _ in range(repeats):  # interleaved, so that a change of the machine's load reaches all alike
            for label, command in list(commands.items()):
                try:
                    results.setdefault(label, []).append(whole_process(command, envs[label]))
                except RuntimeError as error:
                    if label == "CloudCompare C2C" and suffix == ".las":
                        error = f"{error} (its builds without the LAS plugin cannot open .las files)"
                    print(f"\n{label} on {suffix} files failed: {error}")
                    del commands[label]
                    results.pop(label, None)
    if "ornel compare" not in results:
        return
    ours_median = statistics.median(s for s, _, _ in results["ornel compare"])
    ours_cpu = statistics.median(c for _, c, _ in results["ornel compare"])
    what = "binary PLY" if suffix == ".ply" else "LAS 1.4"
    print(f"\n{name} {n:,} x {n:,} as {what}, whole process, {threads} threads, {repeats} runs")
    print(
        f"  {'command':<21}{'median s':>10}{'min':>8}{'max':>8}{'cpu s':>8}{'peak MB':>9}{'B/pt':>6}"
        f"{'/ ours':>8}{'cpu/ours':>9}"
    )
    for label, runs in results.items():
        times = [s for s, _, _ in runs]
        median, cpu, peak = (
            statistics.median(times),
            statistics.median(c for _, c, _ in runs),
            max(p for _, _, p in runs),
        )
        print(
            f"  {label:<21}{median:>10.3f}{min(times):>8.3f}{max(times):>8.3f}{cpu:>8.3f}{peak / 1e6:>9.0f}"
            f"{peak / n:>6.0f}{median / ours_median:>8.2f}{cpu / ours_cpu:>9.2f}"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[30_000, 1_000_000])
    parser.add_argument("--surfaces", nargs="+", default=["stanford-bunny", "rocker-arm"])
    parser.add_argument("--sampling", choices=["triangles", "vertices"], default="triangles")
    parser.add_argument("--orders", nargs="+", choices=["scan", "sorted", "shuffled"], default=["scan", "sorted"])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument(
        "--methods",
        nargs="+",
        help="only these of the in-memory methods (by label, e.g. 'nearest f32' pykdtree); the grid always",
    )
    parser.add_argument("--cloudcompare", action="store_true")
    parser.add_argument(
        "--whole-process-only",
        action="store_true",
        help="only the whole-process comparison with CloudCompare (implies --cloudcompare)",
    )
    parser.add_argument(
        "--formats",
        nargs="+",
        choices=["ply", "las"],
        default=["ply"],
        help="the files of the whole-process comparison (default: ply)",
    )
    parser.add_argument(
        "--baseline",
        nargs="+",
        default=[],
        metavar="DIR",
        help="also time the command of the ornel package in each DIR (another build, e.g. main's), in the same runs",
    )
    args = parser.parse_args()
    print(machine_line())
    rng = np.random.default_rng(2024)
    for n in args.sizes:
        for name in args.surfaces:
            for order in args.orders:
                if not args.whole_process_only:
                    run_pair(name, n, order, args.threads, args.repeats, rng, args.sampling, args.methods)
        if args.cloudcompare or args.whole_process_only:
            for suffix in args.formats:
                repeats = max(3, args.repeats // 2)
                run_cloudcompare(
                    args.surfaces[0], n, args.threads, repeats, rng, args.sampling, "." + suffix, args.baseline
                )


if __name__ == "__main__":
    main()
