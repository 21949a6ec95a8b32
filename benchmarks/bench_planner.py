"""The costs the planner (src/ornel/_planner.py) chooses an index by, measured on this
machine: nanoseconds a point, from medians of wall time on the same data in one run.

In `--precision` (default f32, the package's):

  grid build   ornel._native.grid_nearest(b, one query): the target's box, keys, sort,
               gather and cell directory, per target point
  grid query   grid_nearest(b, a) less the build above, per query point (the queries'
               keys and sort included)
  graph build  Cloud(b).prepared(precision): the target's Delaunay graph (its order included),
               per target point
  graph query  all_by_all of `--clouds` scans through graphs built beforehand (the grouped
               walk of a collection), per query point

Then all-by-all of 2, 4, 16 and 32 scans through grids and through graphs (graphs built in
the call), each median over the other's, beside what the planner would choose; and from
them the costs of a collection's targets, whose small grids answer faster than the pair's:
each index's build and query per point fitted from the two smallest collections (a target
of m scans costs build + m * query a target point), and the graph's query per collection
beside the pair's graph build.

Data: noisy samples of the bunny's triangles (common.surface_samples), scan order.

    python benchmarks/bench_planner.py
    python benchmarks/bench_planner.py --n 1000000 --scan-points 25000 --repeats 5
"""

import argparse
import statistics
import time

import numpy as np
from common import machine_line, surface_samples

import ornel
from ornel._native import grid_nearest
from ornel._planner import choose


def median_seconds(call, repeats):
    call()  # warms caches and lazy initialisation
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), min(times), max(times)


def show(label, seconds, per):
    median, low, high = seconds
    print(f"  {label:<13}{median / per * 1e9:>8.1f} ns/pt   ({low / per * 1e9:.1f}-{high / per * 1e9:.1f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=1_000_000, help="points of the pair measuring the grid")
    parser.add_argument("--scan-points", type=int, default=25_000, help="points of each scan of the collections")
    parser.add_argument("--clouds", type=int, default=8, help="scans of the collection measuring the graph's walk")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--precision", choices=["f32", "f64"], default="f32", help="default: the package's")
    parser.add_argument("--collections", type=int, nargs="+", default=[2, 4, 16, 32])
    args = parser.parse_args()
    print(machine_line())
    rng = np.random.default_rng(7)
    n, threads, precision = args.n, args.threads, args.precision
    a, b = surface_samples(rng, "stanford-bunny", n), surface_samples(rng, "stanford-bunny", n)
    print(f"\n{n:,} x {n:,} pair and {args.clouds} scans of {args.scan_points:,}, {threads} threads, {precision}")
    # In single precision the grid rounds both clouds from the target's frame, as the package has it.
    origin = np.asarray(ornel.Cloud(b).frame or (0.0, 0.0, 0.0)) if precision == "f32" else None
    build = median_seconds(lambda: grid_nearest(b, a[:1], threads=threads, origin=origin), args.repeats)
    whole = median_seconds(lambda: grid_nearest(b, a, threads=threads, origin=origin), args.repeats)
    show("grid build", build, n)
    show("grid query", tuple(w - build[0] for w in whole), n)
    median_graph_build = median_seconds(lambda: ornel.Cloud(b).prepared(precision, threads=threads), 3)
    show("graph build", median_graph_build, n)

    scans = [surface_samples(rng, "stanford-bunny", args.scan_points) for _ in range(args.clouds)]
    clouds = [ornel.Cloud(s) for s in scans]
    for cloud in clouds:
        cloud.prepared(precision, threads=threads)
    walked = args.clouds * (args.clouds - 1) * args.scan_points
    walk = median_seconds(
        lambda: ornel.all_by_all(clouds, threads=threads, precision=precision, index="graph"), args.repeats
    )
    show("graph query", walk, walked)

    print(f"\n  all-by-all, fresh clouds ({args.scan_points:,} points each): graph / grid, planner's choice")
    costs = {}  # per target point of each collection: ns through grids, through graphs
    for count in args.collections:
        group = [surface_samples(rng, "stanford-bunny", args.scan_points) for _ in range(count)]
        times = {
            kind: median_seconds(
                lambda kind=kind: ornel.all_by_all(group, threads=threads, precision=precision, index=kind),
                max(3, args.repeats // 2),
            )[0]
            for kind in ("grid", "graph")
        }
        costs[count] = {kind: seconds / (count * args.scan_points) * 1e9 for kind, seconds in times.items()}
        planned = choose("auto", args.scan_points, count * args.scan_points)  # every cloud queries each target
        print(
            f"  {count:>3} scans: grid {times['grid']:.3f} s, graph {times['graph']:.3f} s, "
            f"graph / grid {times['graph'] / times['grid']:.2f}; planner: {planned}"
        )
    # A target of m scans costs build + m * query a target point: the grid's two from the
    # two smallest collections, the graph's query beside the pair's graph build above.
    # The costs of a collection's small targets, where the choice is close.
    first, second = sorted(costs)[:2]
    print(f"\n  fitted from {first} and {second} scans:")
    for kind in ("grid", "graph"):
        query = (costs[second][kind] - costs[first][kind]) / (second - first)
        print(f"  {kind} build {costs[first][kind] - first * query:.0f} ns, {kind} query {query:.0f} ns")
    graph_build = median_graph_build[0] / n * 1e9
    for count, cost in costs.items():
        print(f"  graph query at {count} scans: {(cost['graph'] - graph_build) / count:.0f} ns")


if __name__ == "__main__":
    main()
