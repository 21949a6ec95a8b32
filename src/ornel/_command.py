"""The `ornel` command: compare point-cloud files.

    ornel matrix FILE... [--csv PATH] [--png PATH] [--threads N] [--f64] [--scheduler ADDRESS]
    ornel compare A B [--out PATH] [--f64] [--store DIR]
    ornel index FILE... --store DIR [--f64] [--threads N]
    ornel store DIR [FILE...] [--prune]

Exit status: 0 done, 2 unusable input or arguments (one line on stderr says which
file and what is wrong), 130 interrupted."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ornel._cloud import MIN_TARGET_POINTS, Cloud, CloudError, Precision
from ornel._formats import READ_SUFFIXES, WRITE_SUFFIXES, check_writable, suffix_of, write_points
from ornel._join import Matrix, all_by_all, default_threads, nearest

PERCENTILES = (50, 90, 95, 99)


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def parser() -> argparse.ArgumentParser:
    formats = " ".join(READ_SUFFIXES)
    main = argparse.ArgumentParser(prog="ornel", description="Nearest-neighbour distances between point clouds "
                                   f"(files: {formats}).")
    commands = main.add_subparsers(dest="command", required=True, metavar="COMMAND")
    matrix = commands.add_parser("matrix", help="mean, max, Chamfer and Hausdorff distances of every pair of files",
                                 description="Joins every file with every other both ways and prints one row "
                                 "per unordered pair, in the order given.")
    matrix.add_argument("files", nargs="+", metavar="FILE", help=f"point clouds ({formats})")
    matrix.add_argument("--csv", metavar="PATH", help="also write the table as CSV: "
                        "a,b,mean_ab,mean_ba,chamfer,max_ab,max_ba,hausdorff")
    matrix.add_argument("--png", metavar="PATH", help="also draw a heatmap of the Chamfer distances (matplotlib)")
    matrix.add_argument("--threads", type=positive_int, default=None,
                        help=f"threads to use (default: {default_threads()})")
    matrix.add_argument("--f64", action="store_true", help="compute in double precision (default: single)")
    matrix.add_argument("--scheduler", metavar="ADDRESS", help="run on the Dask cluster of this scheduler "
                        "(e.g. tcp://host:8786; --threads is then the workers' business); needs ornel[dask]")
    matrix.add_argument("--store", metavar="DIR", help="keep indexes and pair results in this store (made if "
                        "missing) and compute only the pairs it lacks")
    compare = commands.add_parser("compare", help="cloud-to-cloud distances from the points of A to B",
                                  description="For every point of A the distance to the nearest point of B: "
                                  "a summary on stdout, and with --out A's points with a field 'distance'.")
    compare.add_argument("a", metavar="A", help="the compared cloud")
    compare.add_argument("b", metavar="B", help="the reference cloud")
    compare.add_argument("--out", metavar="PATH", help="write A's points, in A's order, with a per-point field "
                         f"'distance', in the format of PATH's suffix ({' '.join(WRITE_SUFFIXES)})")
    compare.add_argument("--f64", action="store_true", help="compute in double precision (default: single)")
    compare.add_argument("--store", metavar="DIR", help="take B's index from this store, or build and keep it there")
    add_store_commands(commands, formats)
    return main


def add_store_commands(commands: Any, formats: str) -> None:
    index = commands.add_parser("index", help="build the files' indexes and keep them in a store",
                                description="Builds the spatial order and graph of every file and keeps them "
                                "in the store, so that later commands with --store DIR need not build them.")
    index.add_argument("files", nargs="+", metavar="FILE", help=f"point clouds ({formats})")
    index.add_argument("--store", metavar="DIR", required=True, help="the store (made if missing)")
    index.add_argument("--f64", action="store_true", help="the index for double precision (default: single)")
    index.add_argument("--threads", type=positive_int, default=None,
                       help=f"threads to use (default: {default_threads()})")
    store = commands.add_parser("store", help="what a store holds; --prune removes what is not needed",
                                description="Lists the clouds of a store, its pairs and its size on disk. "
                                "With --prune, removes files no index uses and, if FILEs are given, every "
                                "cloud that is none of them, with its index and pairs.")
    store.add_argument("directory", metavar="DIR", help="the store")
    store.add_argument("files", nargs="*", metavar="FILE", help="with --prune: the clouds to keep")
    store.add_argument("--prune", action="store_true", help="remove what no listed file uses")


def check_searchable(cloud: Cloud) -> None:
    """Fails before any work on a cloud too small to be searched (its graph would fail later)."""
    if len(cloud) < MIN_TARGET_POINTS:
        raise CloudError(cloud.source, f"{len(cloud)} point{'s' if len(cloud) != 1 else ''}; "
                         f"a compared cloud needs at least {MIN_TARGET_POINTS}")


def unique_names(paths: Sequence[str]) -> list[str]:
    """File stems, or the paths as given where two files share a stem."""
    stems = [Path(p).stem for p in paths]
    return [stem if stems.count(stem) == 1 else path for stem, path in zip(stems, paths)]


def print_table(matrix: Matrix) -> None:
    width = max(1, *(len(name) for name in matrix.names))
    print(f"{'a':<{width}}  {'b':<{width}}" + "".join(f" {c:>13}" for c in Matrix.COLUMNS[2:]))
    for a, b, *numbers in matrix.rows():
        print(f"{a:<{width}}  {b:<{width}}" + "".join(f" {value:13.7g}" for value in numbers))


def run_matrix(args: argparse.Namespace) -> int:
    if args.csv is not None:
        check_output(args.csv, ".csv")
    if args.png is not None:
        check_output(args.png, ".png")
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise CloudError(args.png, "drawing a PNG needs matplotlib: pip install \"ornel[plot]\"") from None
    names = unique_names(args.files)
    clouds = []
    for path, name in zip(args.files, names):
        cloud = Cloud.load(path, name)
        check_searchable(cloud)
        clouds.append(cloud)
    if len(clouds) < 2:
        raise CloudError(args.files[0], "only one file; give at least two to compare")
    store = open_store(args.store) if args.store is not None else None
    if args.scheduler is not None:
        matrix = matrix_on_cluster(args.scheduler, clouds, "f64" if args.f64 else "f32", store)
    else:
        matrix = all_by_all(clouds, threads=args.threads, precision="f64" if args.f64 else "f32",
                            progress=sys.stderr.isatty(), store=store)
    print_table(matrix)
    if args.csv is not None:
        write_or_fail(args.csv, matrix.to_csv)
    if args.png is not None:
        write_or_fail(args.png, matrix.plot)
    return 0


def matrix_on_cluster(address: str, clouds: list[Cloud], precision: Precision, store: Any = None) -> Matrix:
    try:
        from ornel.distributed import connect

        client = connect(address)
    except (ImportError, OSError) as error:
        raise CloudError(None, str(error)) from None
    with client:
        return all_by_all(clouds, precision=precision, progress=sys.stderr.isatty(), client=client, store=store)


def check_output(path: str, suffix: str) -> None:
    if suffix_of(path) != suffix:
        raise CloudError(path, f"expected a {suffix} file name")
    if os.path.isdir(path):
        raise CloudError(path, "is a directory")
    if not os.path.isdir(os.path.dirname(os.path.abspath(path))):
        raise CloudError(path, "its directory does not exist")


def write_or_fail(path: str, write: Any) -> None:
    try:
        write(path)
    except OSError as error:
        raise CloudError(path, f"cannot be written ({error.strerror or error})") from None


def summary(dists: npt.NDArray[np.float64]) -> list[tuple[str, float]]:
    rows = [("mean", float(dists.mean())), ("rms", float(np.sqrt((dists**2).mean()))),
            ("min", float(dists.min())), ("max", float(dists.max()))]
    rows += [(f"p{p}", float(v)) for p, v in zip(PERCENTILES, np.percentile(dists, PERCENTILES))]
    return rows


def run_compare(args: argparse.Namespace) -> int:
    if args.out is not None:
        check_writable(args.out)
    a = Cloud.load(args.a)
    b = Cloud.load(args.b)
    check_searchable(b)
    precision: Precision = "f64" if args.f64 else "f32"
    store = open_store(args.store) if args.store is not None else None
    dists, _ = nearest(a, b, precision=precision, store=store)
    print(f"{a.source} -> {b.source}: distance from each of the {len(a):,} points of {a.name} "
          f"to the nearest of the {len(b):,} points of {b.name} ({precision})")
    for label, value in summary(dists.astype(np.float64)):
        print(f"{label:<6}{value:.7g}")
    if args.out is not None:
        scales = offsets = None
        if suffix_of(args.out) in (".las", ".laz") and suffix_of(args.a) in (".las", ".laz"):
            scales, offsets = las_grid(args.a)  # A's own grid writes its points back exactly
        write_points(args.out, a.points, {"distance": dists}, scales, offsets)
    return 0


def las_grid(path: str) -> tuple[Any, Any]:
    import laspy

    with laspy.open(path) as reader:
        return reader.header.scales, reader.header.offsets


def open_store(directory: str, create: bool = True) -> Any:
    from ornel._store import Store

    # A damaged stored file is a warning: it is rebuilt, and the results stay exact.
    return Store(directory, create=create, report=lambda message: print(f"ornel: warning: {message}",
                                                                        file=sys.stderr))


def run_index(args: argparse.Namespace) -> int:
    from ornel._store import points_digest

    clouds = []
    for path, name in zip(args.files, unique_names(args.files)):
        cloud = Cloud.load(path, name)
        check_searchable(cloud)
        clouds.append(cloud)
    store = open_store(args.store)
    precision: Precision = "f64" if args.f64 else "f32"
    digests = store.add(clouds, [points_digest(cloud.points) for cloud in clouds])
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(args.threads or default_threads()) as pool:
        built = list(pool.map(lambda k: store.ensure_index(clouds[k], digests[k], precision), range(len(clouds))))
    for cloud, new in zip(clouds, built):
        print(f"{cloud.source}: {len(cloud):,} points, {precision} index {'built' if new else 'already stored'}")
    return 0


def run_store(args: argparse.Namespace) -> int:
    from ornel._store import points_digest

    if args.files and not args.prune:
        raise CloudError(args.files[0], "files are given only with --prune (the clouds to keep)")
    store = open_store(args.directory, create=False)
    if args.prune:
        keep = [points_digest(Cloud.load(path).points) for path in args.files] if args.files else None
        removed = store.prune(keep)
        print(f"removed {removed['clouds']} clouds, {removed['pairs']} pairs, {removed['files']} files")
    info = store.summary()
    on_disk = info["array_bytes"] + info["database_bytes"]
    pairs = ", ".join(f"{count:,} {precision}" for precision, count in sorted(info["pairs"].items())) or "none"
    print(f"{args.directory}: {info['clouds']} clouds ({info['points']:,} points), {info['indexes']} indexes, "
          f"pairs: {pairs}")
    per_point = f" ({on_disk / info['points']:.1f} bytes per point)" if info["points"] else ""
    print(f"on disk: {on_disk:,} bytes{per_point}: arrays {info['array_bytes']:,}, "
          f"database {info['database_bytes']:,}")
    clouds = store.clouds()
    if clouds:
        width = max(len(cloud.name) for cloud in clouds)
        for cloud in clouds:
            print(f"{cloud.name:<{width}}  {cloud.points:>12,}  {' '.join(cloud.precisions) or '-':<7}  "
                  f"{cloud.digest[:12]}  {cloud.source or ''}")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    commands = {"matrix": run_matrix, "compare": run_compare, "index": run_index, "store": run_store}
    try:
        return commands[args.command](args)
    except CloudError as error:
        if sys.stderr.isatty():
            sys.stderr.write("\r\033[K")  # clear a progress bar drawn so far
        print(f"ornel: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("\nornel: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
