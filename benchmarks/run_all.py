"""The benchmark suite in one command: every case against scipy's cKDTree and pykdtree, in one run.

Cases, each on the same data for every contender:

  single nearest  query_prepared and all_nearest_neighbours (bench_nearest.py)
  k nearest       query_prepared_k, k = 8, several ef, with recall (bench_knn.py)
  Delaunay build  ornel.delaunay_graph against scipy's Delaunay followed by
                  graph_from_simplices (and TetGen where tetgenpy installs): ns
                  and peak bytes per point, two clouds on two threads
                  (bench_delaunay.py)
  graph build     Delaunay + graph_from_simplices + PreparedF32 against building
                  the kd-trees; graph_from_simplices against scipy's
                  vertex_neighbor_vertices (bench_graph_from_simplices.py)
  all-by-all      query_grouped (+ GroupedQueriesF32.prepare) and query_prepared
                  from a thread pool against building and querying one kd-tree
                  per target, at 1 and 2 threads (bench_all_by_all.py)
  cloud size      single nearest at several sizes, with and without the cost of
                  preparing both clouds
  whole job       ornel.all_by_all from raw points, graphs included, against one
                  kd-tree per target (cKDTree, pykdtree, pynanoflann), 2 threads
                  each, with the break-even number of clouds (bench_package.py)

Times are medians of several runs; the table gives nanoseconds per query point
(per cloud point for the graph build) and the kd-trees' times divided by ours
(above 1: ours is faster). pykdtree runs where its wheel is installed, limited
to the same number of OpenMP threads (threadpoolctl); pynanoflann, where its
wheel is installed, in the single- and k-nearest cases, on one thread. Written to --out
(default benchmarks/results/): table.txt (machine, versions and the table),
results.json, and throughput.png (throughput against threads and against
cloud size).

    python benchmarks/run_all.py [--quick] [--out DIR]

--quick uses small clouds and few repeats (about a minute); the default takes
several minutes on two cores.
"""

import argparse
import json
import sys
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _ornel  # noqa: E402
import bench_all_by_all  # noqa: E402
import bench_delaunay  # noqa: E402
import bench_graph_from_simplices  # noqa: E402
import bench_knn  # noqa: E402
import bench_nearest  # noqa: E402
import bench_package  # noqa: E402
from common import (  # noqa: E402
    DATA,
    jittered_surface,
    machine_info,
    pykdtree_class,
    pynanoflann_class,
    real_scan,
    uniform_cube,
)

from ornel import delaunay_graph, morton_order

FULL = {
    "delaunay_sizes": (100_000, 1_000_000),
    "n": 200_000,
    "repeats": 5,
    "efs": (8, 16, 32),
    "clouds": 16,
    "cloud_points": 25_000,
    "abba_repeats": 3,
    "graph_repeats": 3,
    "sizes": (10_000, 30_000, 100_000, 300_000),
}
QUICK = {
    "delaunay_sizes": (30_000,),
    "n": 30_000,
    "repeats": 3,
    "efs": (8, 32),
    "clouds": 6,
    "cloud_points": 8_000,
    "abba_repeats": 2,
    "graph_repeats": 2,
    "sizes": (5_000, 20_000, 60_000),
}
PEERS = ("cKDTree", "pykdtree", "pynanoflann")


@dataclass
class Row:
    section: str
    case: str
    method: str
    ours: float  # seconds
    peers: dict  # peer name -> seconds
    count: int  # query points (or cloud points) the seconds are spread over
    note: str = ""


@dataclass
class Suite:
    rows: list = field(default_factory=list)
    notes: dict = field(default_factory=dict)  # section -> lines printed under it
    plot: dict = field(default_factory=dict)

    def add(self, *args, **kwargs):
        self.rows.append(Row(*args, **kwargs))


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def datasets(n, rng):
    """(name, x, y) pairs for the single- and k-nearest cases."""
    x, y = uniform_cube(rng, n), uniform_cube(rng, n)
    yield f"uniform {n:,}, as generated", x, y
    yield f"uniform {n:,}, Morton order", x[morton_order(x)], y[morton_order(y)]
    x, y = jittered_surface(rng, n), jittered_surface(rng, n)
    yield f"surface {n:,}, Morton order", x[morton_order(x)], y[morton_order(y)]
    model = np.load(DATA / "stanford-bunny.npy")
    scan = real_scan(rng, "stanford-bunny.npy", len(model))
    yield f"bunny scan -> bunny {len(model):,}", scan[morton_order(scan)], model[morton_order(model)]


def single_and_knn(suite, config, rng):
    for name, x, y in datasets(config["n"], rng):
        log(f"single and k nearest: {name}")
        x_graph, y_graph = delaunay_graph(x), delaunay_graph(y)
        for dtype in (np.float64, np.float32):
            dtype_name = np.dtype(dtype).name
            times = bench_nearest.measure(x, y, x_graph, y_graph, dtype, config["repeats"])
            peers = {p: times[p] for p in PEERS if p in times}
            case = f"{name}, {dtype_name}"
            suite.add("single nearest", case, "query_prepared", times["query_prepared"], peers, len(x))
            suite.add(
                "single nearest",
                case,
                "all_nearest_neighbours",
                times["all_nearest"],
                peers,
                len(x),
                "packs both clouds per call",
            )
            xs, ys = x.astype(dtype), y.astype(dtype)
            knn_peers, exact = bench_knn.measure_peers(xs, ys, bench_knn.K, config["repeats"])
            for row in bench_knn.measure(
                x, y, x_graph, y_graph, dtype, bench_knn.K, config["efs"], exact, config["repeats"]
            ):
                suite.add(
                    "k nearest",
                    case,
                    f"query_prepared_k ef={row['ef']}",
                    row["seconds"],
                    knn_peers,
                    len(x),
                    f"recall {row['recall']:.4f}",
                )


def graph_build(suite, config, rng):
    clouds = [
        (f"uniform {config['n']:,}", uniform_cube(rng, config["n"])),
        ("bunny 35,947", np.load(DATA / "stanford-bunny.npy")),
    ]
    for name, points in clouds:
        log(f"graph build: {name}")
        costs = bench_graph_from_simplices.build_costs(points, config["graph_repeats"])
        peers = {p: costs[p] for p in PEERS if p in costs}
        whole = costs["Delaunay"] + costs["graph_from_simplices"] + costs["PreparedF32"]
        suite.add(
            "graph build",
            name,
            "Delaunay + graph + prepare",
            whole,
            peers,
            len(points),
            f"of which Delaunay (Qhull) {costs['Delaunay'] / len(points) * 1e9:,.0f} ns",
        )
        suite.add(
            "graph build",
            name,
            "graph + prepare",
            costs["graph_from_simplices"] + costs["PreparedF32"],
            peers,
            len(points),
            "tetrahedra given",
        )
        suite.notes.setdefault("graph build", []).append(
            f"{name}: graph_from_simplices {costs['graph_from_simplices'] / len(points) * 1e9:.0f} ns/point, "
            f"scipy vertex_neighbor_vertices {costs['vertex_neighbor_vertices'] / len(points) * 1e9:.0f} ns/point "
            f"({costs['vertex_neighbor_vertices'] / costs['graph_from_simplices']:.2f}x)"
        )


def delaunay_build(suite, config):
    rows = bench_delaunay.run(config["delaunay_sizes"], config["graph_repeats"], log=log)
    for row in rows:
        n = row["n"]
        peers = {name: row[name]["seconds"] / n * 1e9 for name in ("scipy", "tetgen") if name in row}
        threads = row["two threads"]
        suite.add(
            "Delaunay build",
            row["case"],
            "delaunay_graph",
            row["ornel"]["seconds"],
            {},
            n,
            f"{row['ornel']['peak'] / n:,.0f} B/pt; scipy + graph {peers['scipy']:,.0f} ns "
            f"({row['scipy']['seconds'] / row['ornel']['seconds']:.1f}x), "
            + (f"TetGen + graph {peers['tetgen']:,.0f} ns, " if "tetgen" in peers else "")
            + f"2 clouds on 2 threads {threads['sequential'] / threads['parallel']:.2f}x",
        )
    if rows and "tetgen" not in rows[0]:
        suite.notes.setdefault("Delaunay build", []).append("tetgenpy is not installed: no TetGen figures")


def all_by_all(suite, config, rng):
    n_clouds, n_points = config["clouds"], config["cloud_points"]
    cloud_sets = [
        ("uniform", bench_all_by_all.random_clouds(rng, n_clouds, n_points)),
        ("bunny scans", bench_all_by_all.scan_clouds(rng, n_clouds, n_points, DATA / "stanford-bunny.npy")),
    ]
    for name, clouds in cloud_sets:
        log(f"all-by-all: {name}")
        results, n_queries = bench_all_by_all.measure(clouds, True, config["abba_repeats"], methods="acde")
        case = f"{name}, {n_clouds} x {n_points:,}, float32, Morton order"
        for threads in (1, 2):
            peers = {"cKDTree": results[("d", threads)]}
            if ("e", threads) in results:
                peers["pykdtree"] = results[("e", threads)]
            suite.add(
                "all-by-all",
                case,
                f"query_grouped, {threads} thread{'s' if threads > 1 else ''}",
                results[("c", threads)],
                peers,
                n_queries,
                "GroupedQueriesF32.prepare included",
            )
            suite.add(
                "all-by-all",
                case,
                f"query_prepared, {threads} thread{'s' if threads > 1 else ''}",
                results[("a", threads)],
                peers,
                n_queries,
            )
        suite.plot.setdefault("threads", {})[name] = {
            "query_grouped": [n_queries / results[("c", t)] for t in (1, 2)],
            "query_prepared": [n_queries / results[("a", t)] for t in (1, 2)],
            "cKDTree": [n_queries / results[("d", t)] for t in (1, 2)],
            **({"pykdtree": [n_queries / results[("e", t)] for t in (1, 2)]} if ("e", 1) in results else {}),
        }


def whole_job(suite, config, rng):
    n_clouds, n_points = config["clouds"], config["cloud_points"]
    log(f"whole job: {n_clouds} scans")
    medians, report = bench_package.measure(n_clouds, n_points, config["abba_repeats"], rng)
    peers = {p: medians[p]["total"] for p in PEERS if p in medians}
    suite.add(
        "whole job",
        f"bunny scans, {n_clouds} x {n_points:,}, float32",
        "all_by_all, 2 threads",
        medians["ornel"]["total"],
        peers,
        n_clouds * n_clouds * n_points,
        "graphs and trees included",
    )
    suite.notes["whole job"] = report.splitlines()


def cloud_size(suite, config, rng):
    curves = {
        "query_prepared": [],
        "all_nearest_neighbours": [],
        "cKDTree": [],
        "pykdtree": [],
        "ornel incl. graphs": [],
        "cKDTree incl. build": [],
    }
    for n in config["sizes"]:
        log(f"cloud size: {n:,}")
        x, y = uniform_cube(rng, n), uniform_cube(rng, n)
        x, y = x[morton_order(x)], y[morton_order(y)]
        start = time.perf_counter()
        x_graph, y_graph = delaunay_graph(x), delaunay_graph(y)
        x32, y32 = x.astype(np.float32), y.astype(np.float32)
        _ornel.PreparedF32(x32, *x_graph), _ornel.PreparedF32(y32, *y_graph)
        preparation = time.perf_counter() - start
        start = time.perf_counter()
        from scipy.spatial import cKDTree

        cKDTree(y32)
        tree_build = time.perf_counter() - start
        times = bench_nearest.measure(x, y, x_graph, y_graph, np.float32, config["repeats"])
        peers = {p: times[p] for p in PEERS if p in times}
        suite.add(
            "cloud size",
            f"uniform {n:,}, Morton order, float32",
            "query_prepared",
            times["query_prepared"],
            peers,
            n,
            f"preparing both clouds: {preparation / n * 1e9:,.0f} ns/point",
        )
        curves["query_prepared"].append(n / times["query_prepared"])
        curves["all_nearest_neighbours"].append(n / times["all_nearest"])
        curves["cKDTree"].append(n / times["cKDTree"])
        if "pykdtree" in times:
            curves["pykdtree"].append(n / times["pykdtree"])
        curves["ornel incl. graphs"].append(n / (times["query_prepared"] + preparation))
        curves["cKDTree incl. build"].append(n / (times["cKDTree"] + tree_build))
    suite.plot["sizes"] = {"n": list(config["sizes"]), **{k: v for k, v in curves.items() if v}}


def format_table(suite):
    lines = []
    width = max(len(r.case) for r in suite.rows)
    method_width = max(len(r.method) for r in suite.rows)
    units = {
        "Delaunay build": "ns per cloud point, one thread; scipy and TetGen in the notes",
        "graph build": "ns per cloud point: our graph and packing against building the kd-trees",
        "all-by-all": "ns per query point, wall clock; the kd-trees' times include building one per target",
        "whole job": "ns per query point, wall clock, from raw points: our graphs, their trees",
    }
    for section in dict.fromkeys(r.section for r in suite.rows):
        lines.append(f"\n{section} ({units.get(section, 'ns per query point, one thread')})")
        lines.append(
            f"  {'case':<{width}}  {'ornel':<{method_width}} {'ornel':>8} "
            + " ".join(f"{p[:8]:>8}" for p in PEERS)
            + " "
            + " ".join(f"{p[:10] + '/':>11}" for p in PEERS)
        )
        lines.append(
            f"  {'':<{width}}  {'':<{method_width}} {'':>8} "
            + " ".join(f"{'':>8}" for p in PEERS)
            + " "
            + " ".join(f"{'ornel':>11}" for p in PEERS)
        )
        for r in (r for r in suite.rows if r.section == section):
            ns = [r.ours / r.count * 1e9] + [r.peers[p] / r.count * 1e9 if p in r.peers else None for p in PEERS]
            ratios = [f"{r.peers[p] / r.ours:>10.2f}x" if p in r.peers else f"{'-':>11}" for p in PEERS]
            cells = " ".join(f"{v:>8,.0f}" if v is not None else f"{'-':>8}" for v in ns)
            lines.append(
                f"  {r.case:<{width}}  {r.method:<{method_width}} {cells} {' '.join(ratios)}"
                + (f"  {r.note}" if r.note else "")
            )
        for note in suite.notes.get(section, []):
            lines.append(f"  {note}")
    return "\n".join(lines)


def write_plot(suite, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "matplotlib is not installed: no plot"
    figure, (left, right) = plt.subplots(1, 2, figsize=(12, 4.8))
    styles = {
        "query_grouped": "C0",
        "query_prepared": "C1",
        "all_nearest_neighbours": "C4",
        "cKDTree": "C2",
        "pykdtree": "C3",
        "ornel incl. graphs": "C0",
        "cKDTree incl. build": "C2",
    }
    for (name, curves), dash in zip(suite.plot.get("threads", {}).items(), ("-", "--")):
        for label, values in curves.items():
            left.plot(
                [1, 2],
                np.array(values) / 1e6,
                linestyle=dash,
                marker="o",
                color=styles[label],
                label=f"{label}, {name}",
            )
    left.set_xticks([1, 2])
    left.set_xlabel("threads")
    left.set_ylabel("million query points per second")
    left.set_title("all-by-all join (kd-tree build included)")
    left.legend(fontsize=7, handlelength=3)
    sizes = suite.plot.get("sizes", {})
    for label, values in sizes.items():
        if label != "n":
            dash = ":" if "incl." in label else "-"
            right.plot(sizes["n"], np.array(values) / 1e6, linestyle=dash, marker="o", color=styles[label], label=label)
    right.set_xscale("log")
    right.set_yscale("log")
    right.set_xlabel("points per cloud")
    right.set_ylabel("million query points per second")
    right.set_title("single nearest, one thread, float32 (dotted: with preparation)")
    right.legend(fontsize=7, handlelength=3)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    return f"plot: {path}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small clouds, few repeats")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    args = parser.parse_args()
    config = QUICK if args.quick else FULL
    args.out.mkdir(parents=True, exist_ok=True)

    started = time.perf_counter()
    info_before = machine_info()
    if pykdtree_class() is None:
        log("pykdtree is not installed: its columns stay empty")
    if pynanoflann_class() is None:
        log("pynanoflann is not installed: its columns stay empty")
    rng = np.random.default_rng(20261208)
    suite = Suite()
    single_and_knn(suite, config, rng)
    delaunay_build(suite, config)
    graph_build(suite, config, rng)
    all_by_all(suite, config, rng)
    whole_job(suite, config, rng)
    cloud_size(suite, config, rng)
    load_after = machine_info()["load average"]

    header = [
        f"ornel benchmark suite ({'quick' if args.quick else 'full'}), "
        f"{time.perf_counter() - started:.0f} s, medians of {config['repeats']} runs "
        f"({config['abba_repeats']} for all-by-all, {config['graph_repeats']} for the graph build)"
    ]
    header += [f"  {key}: {value}" for key, value in info_before.items()]
    header.append(f"  load average after: {load_after}")
    text = "\n".join(header) + "\n" + format_table(suite) + "\n"
    print(text)
    (args.out / "table.txt").write_text(text)
    (args.out / "results.json").write_text(
        json.dumps(
            {
                "machine": info_before,
                "load average after": load_after,
                "config": config,
                "rows": [asdict(r) for r in suite.rows],
                "notes": suite.notes,
                "plot": suite.plot,
            },
            indent=1,
        )
    )
    print(write_plot(suite, args.out / "throughput.png"))
    print(f"table: {args.out / 'table.txt'}")


if __name__ == "__main__":
    main()
