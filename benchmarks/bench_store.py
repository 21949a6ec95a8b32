"""What a store saves, timed against computing from scratch and against a kd-tree, in
one run (medians of --repeats, interleaved so that the machine's load falls on all):

  add one    a store holding the table of 64 clouds; all_by_all of those 64 plus one
             new cloud with the store (one index built, 129 pairs computed) against
             all_by_all of the 65 clouds without it. Fresh Cloud objects every time.
  first run  all_by_all of the 65 clouds into an empty store against without a store:
             the store's overhead (files written, digests, rows).
  compare    nearest(A, B, store=) with B's index stored (B's points hashed, its index
             read and checked, A searched) against pykdtree building a tree on B and
             querying A (OpenMP limited to 2 threads), both from float32 arrays in memory,
             at 1,000,000 points each; cKDTree(workers=2) too.

Clouds: noisy scans of 25,000 points from data/stanford-bunny.npy (float32, as in
bench_package.py); for compare, noisy points on a wavy sphere. Store size on disk is
printed per point.

    python benchmarks/bench_store.py [--clouds 64] [--points 25000] [--big 1000000] [--repeats 3]
"""

from __future__ import annotations

import argparse
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_package import scan_clouds  # noqa: E402
from common import jittered_surface, machine_line, openmp_threads, pykdtree_class  # noqa: E402

import ornel  # noqa: E402

THREADS = 2


def fresh(arrays):
    return [ornel.Cloud(a, f"c{i}") for i, a in enumerate(arrays)]


CPU = {}  # seconds of processor time (all threads, and child processes) of the last timed call


def timed(call, label=None):
    """Wall seconds of a call and its result; its processor time goes to CPU[label]. On a
    loaded machine wall times swing with the other jobs; processor time much less."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    start, cpu = time.perf_counter(), time.process_time()
    result = call()
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    spent = time.process_time() - cpu + (after.ru_utime + after.ru_stime) - (children.ru_utime + children.ru_stime)
    if label is not None:
        CPU.setdefault(label, []).append(spent)
    return wall, result


def cpu_median(label):
    return statistics.median(CPU[label])


def store_bytes(directory):
    return sum(f.stat().st_size for f in Path(directory).rglob("*") if f.is_file())


def collection(args, rng, work):
    arrays = scan_clouds(rng, args.clouds + 1, args.points)
    old = Path(work) / "old"
    print(f"making the store of {args.clouds} clouds ...", flush=True)
    ornel.all_by_all(fresh(arrays[:-1]), threads=THREADS, store=old)
    runs = {"scratch": [], "first": [], "add": []}
    for round_ in range(args.repeats):
        seconds, reference = timed(lambda: ornel.all_by_all(fresh(arrays), threads=THREADS), "scratch")
        runs["scratch"].append(seconds)
        first = Path(work) / f"first{round_}"
        seconds, table = timed(lambda: ornel.all_by_all(fresh(arrays), threads=THREADS, store=first), "first")
        runs["first"].append(seconds)
        assert table.mean.tobytes() == reference.mean.tobytes() and table.max.tobytes() == reference.max.tobytes()
        added = Path(work) / f"add{round_}"
        shutil.copytree(old, added)
        seconds, table = timed(lambda: ornel.all_by_all(fresh(arrays), threads=THREADS, store=added), "add")
        runs["add"].append(seconds)
        assert table.mean.tobytes() == reference.mean.tobytes() and table.max.tobytes() == reference.max.tobytes()
        print(
            f"  round {round_ + 1}: scratch {runs['scratch'][-1]:.2f} s, first run with store "
            f"{runs['first'][-1]:.2f} s, add one {runs['add'][-1]:.3f} s",
            flush=True,
        )
    size = store_bytes(Path(work) / "first0")
    points = (args.clouds + 1) * args.points
    m = {name: statistics.median(times) for name, times in runs.items()}
    n = args.clouds + 1
    print(f"{n} clouds x {args.points:,} points, float32, {THREADS} threads, medians of {args.repeats}:")
    c = {name: cpu_median(name) for name in runs}
    print(f"  {'':<30} {'wall':>9} {'CPU':>9}")
    print(f"  {'from scratch, no store':<30} {m['scratch']:8.2f}s {c['scratch']:8.2f}s")
    print(
        f"  {'from scratch into a store':<30} {m['first']:8.2f}s {c['first']:8.2f}s   overhead: wall "
        f"{m['first'] / m['scratch'] - 1:+.1%}, CPU {c['first'] / c['scratch'] - 1:+.1%}"
    )
    print(
        f"  {f'one cloud added to {args.clouds} stored':<30} {m['add']:8.3f}s {c['add']:8.3f}s   scratch / add: wall "
        f"{m['scratch'] / m['add']:.1f}x, CPU {c['scratch'] / c['add']:.1f}x (aim: 20x)"
    )
    ratios = [s / a for s, a in zip(runs["scratch"], runs["add"])]
    print(f"  scratch / add, wall, per round: {', '.join(f'{r:.1f}x' for r in ratios)}")
    print(
        f"  store on disk: {size:,} bytes for {points:,} points and {n * (n - 1)} pairs: "
        f"{size / points:.1f} bytes per point"
    )


def compare(args, rng, work):
    from scipy.spatial import cKDTree

    a = jittered_surface(rng, args.big).astype(np.float32)
    b = jittered_surface(rng, args.big).astype(np.float32)
    directory = Path(work) / "compare"
    print(f"storing B's index ({args.big:,} points) ...", flush=True)
    seconds, _ = timed(lambda: ornel.nearest(a[:1000], ornel.Cloud(b, "b"), store=directory))
    print(
        f"  B's index built and stored in {seconds:.1f} s; store {store_bytes(directory) / args.big:.1f} "
        "bytes per point",
        flush=True,
    )
    kdtree = pykdtree_class()
    runs = {"ornel": [], "pykdtree": [], "cKDTree": []}
    reference = None
    for _ in range(args.repeats):
        seconds, (dists, _) = timed(
            lambda: ornel.nearest(ornel.Cloud(a, "a"), ornel.Cloud(b, "b"), store=directory), "ornel"
        )
        runs["ornel"].append(seconds)
        if kdtree is not None:
            with openmp_threads(THREADS):
                seconds, (reference, _) = timed(lambda: kdtree(b).query(a, k=1), "pykdtree")
            runs["pykdtree"].append(seconds)
        seconds, (exact, _) = timed(lambda: cKDTree(b).query(a, workers=THREADS), "cKDTree")
        runs["cKDTree"].append(seconds)
        assert np.allclose(dists, exact, rtol=1e-5, atol=1e-6)
    # The same from files, as commands: each a fresh process reading A and B (.npy).
    np.save(Path(work) / "a.npy", a)
    np.save(Path(work) / "b.npy", b)
    ours = [
        sys.executable,
        "-m",
        "ornel",
        "compare",
        str(Path(work) / "a.npy"),
        str(Path(work) / "b.npy"),
        "--store",
        str(directory),
    ]
    peer = [sys.executable, "-c", PEER_COMMAND, str(Path(work) / "a.npy"), str(Path(work) / "b.npy")]
    commands = {"ornel compare": [], "pykdtree script": []}
    for _ in range(args.repeats):
        for name, command in (("ornel compare", ours), ("pykdtree script", peer)):
            seconds, done = timed(lambda: subprocess.run(command, capture_output=True, text=True), name)
            if done.returncode != 0:
                raise SystemExit(f"{name} failed: {done.stderr}")
            commands[name].append(seconds)
    m = {name: statistics.median(times) for name, times in runs.items() if times}
    print(f"compare A B, {args.big:,} points each, float32, B's index stored, medians of {args.repeats}:")
    print(f"  {'':<16} {'wall':>8} {'CPU':>8}   peer/ornel: wall, CPU")
    for name, seconds in m.items():
        ratio = (
            ""
            if name == "ornel"
            else (f"   {seconds / m['ornel']:.2f}x, {cpu_median(name) / cpu_median('ornel'):.2f}x")
        )
        print(f"  {name:<16} {seconds:7.3f}s {cpu_median(name):7.3f}s{ratio}   (in memory)")
    m = {name: statistics.median(times) for name, times in commands.items()}
    for name, seconds in m.items():
        ratio = (
            ""
            if name == "ornel compare"
            else (f"   {seconds / m['ornel compare']:.2f}x, {cpu_median(name) / cpu_median('ornel compare'):.2f}x")
        )
        print(f"  {name:<16} {seconds:7.3f}s {cpu_median(name):7.3f}s{ratio}   (a process each, from .npy files)")
    del reference


# The peer as a command: read both files, build a tree on B, query A, print a summary.
PEER_COMMAND = """
import sys
import numpy as np
from pykdtree.kdtree import KDTree
from threadpoolctl import threadpool_limits
a, b = np.load(sys.argv[1]), np.load(sys.argv[2])
with threadpool_limits(limits=2, user_api="openmp"):
    d = KDTree(b).query(a, k=1)[0]
print(d.mean(), d.max(), np.percentile(d, [50, 90, 95, 99]))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clouds", type=int, default=64)
    parser.add_argument("--points", type=int, default=25_000)
    parser.add_argument("--big", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--only", choices=("add", "compare"))
    args = parser.parse_args()
    print(machine_line(), flush=True)
    rng = np.random.default_rng(20261208)
    with tempfile.TemporaryDirectory(prefix="ornel-bench-store-") as work:
        if args.only != "compare":
            collection(args, rng, work)
        if args.only != "add":
            compare(args, rng, work)
    print(machine_line())


if __name__ == "__main__":
    main()
