"""The `ornel` command: compare point-cloud files.

    ornel matrix FILE... [--csv PATH] [--png PATH] [--threads N] [--f64] [--scheduler ADDRESS]
    ornel compare A B [--out PATH] [--f64] [--align]
    ornel align SOURCE TARGET [--out ALIGNED] [--transform T.txt] [--init T.txt] [--point-to-point]
                [--max-distance D] [--iterations N] [--threads N]

Exit status: 0 done, 2 unusable input or arguments (one line on stderr says which
file and what is wrong), 130 interrupted."""

from __future__ import annotations

import argparse
import math
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ornel._cloud import MIN_TARGET_POINTS, Cloud, CloudError, Precision
from ornel._formats import (NORMAL_FIELDS, READ_SUFFIXES, WRITE_SUFFIXES, check_writable, read_fields, suffix_of,
                            write_points)
from ornel._join import Matrix, all_by_all, default_threads, nearest
from ornel._register import Registration, format_transform, read_transform, register, write_transform

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
    compare = commands.add_parser("compare", help="cloud-to-cloud distances from the points of A to B",
                                  description="For every point of A the distance to the nearest point of B: "
                                  "a summary on stdout, and with --out A's points with a field 'distance'.")
    compare.add_argument("a", metavar="A", help="the compared cloud")
    compare.add_argument("b", metavar="B", help="the reference cloud")
    compare.add_argument("--out", metavar="PATH", help="write A's points, in A's order, with a per-point field "
                         f"'distance', in the format of PATH's suffix ({' '.join(WRITE_SUFFIXES)})")
    compare.add_argument("--f64", action="store_true", help="compute in double precision (default: single)")
    compare.add_argument("--align", action="store_true", help="first align A to B (point-to-plane ICP, as "
                         "'ornel align'), then measure the aligned A; --out then writes the aligned points")
    add_align_parser(commands)
    return main


def positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive finite number, not {text}")
    return value


def add_align_parser(commands: Any) -> None:
    align = commands.add_parser("align", help="rigid transform moving SOURCE onto TARGET (ICP)",
                                description="Aligns SOURCE to TARGET by ICP (point-to-plane unless "
                                "--point-to-point) and prints the 4x4 transform, the RMSE and the fitness "
                                "(share of SOURCE's points with a correspondence).")
    align.add_argument("source", metavar="SOURCE", help="the cloud to move")
    align.add_argument("target", metavar="TARGET", help="the reference cloud")
    align.add_argument("--out", metavar="ALIGNED", help="write SOURCE's points moved by the transform, with the "
                       "per-point fields of a PLY, PCD or .npy SOURCE (normals turned), in the format of the suffix "
                       f"({' '.join(WRITE_SUFFIXES)})")
    align.add_argument("--transform", metavar="T.txt", help="write the 4x4 matrix as text")
    align.add_argument("--init", metavar="T.txt", help="start from this rigid 4x4 matrix (text) instead of the "
                       "identity; needed when the clouds are far apart or turned by more than some 10-20 degrees")
    align.add_argument("--point-to-point", action="store_true", help="minimise point-to-point distances "
                       "(default: point-to-plane, along the target's normals)")
    align.add_argument("--max-distance", type=positive_float, metavar="D", help="ignore correspondences farther "
                       "apart than D (default: none); give one when the clouds only partly overlap")
    align.add_argument("--iterations", type=positive_int, default=50, metavar="N",
                       help="at most N iterations (default: 50)")
    align.add_argument("--threads", type=positive_int, default=None,
                       help=f"threads to use (default: {default_threads()})")


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
    if args.scheduler is not None:
        matrix = matrix_on_cluster(args.scheduler, clouds, "f64" if args.f64 else "f32")
    else:
        matrix = all_by_all(clouds, threads=args.threads, precision="f64" if args.f64 else "f32",
                            progress=sys.stderr.isatty())
    print_table(matrix)
    if args.csv is not None:
        write_or_fail(args.csv, matrix.to_csv)
    if args.png is not None:
        write_or_fail(args.png, matrix.plot)
    return 0


def matrix_on_cluster(address: str, clouds: list[Cloud], precision: Precision) -> Matrix:
    try:
        from ornel.distributed import connect

        client = connect(address)
    except (ImportError, OSError) as error:
        raise CloudError(None, str(error)) from None
    with client:
        return all_by_all(clouds, precision=precision, progress=sys.stderr.isatty(), client=client)


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
        check_not_input(args.out, [args.a, args.b])
    a = Cloud.load(args.a)
    b = Cloud.load(args.b)
    check_searchable(b)
    if args.align:
        registration = register(a, b)
        print_registration(a, b, registration)
        a = Cloud(registration.apply(a.points), a.name, source=a.source)
    precision: Precision = "f64" if args.f64 else "f32"
    dists, _ = nearest(a, b, precision=precision)
    print(f"{a.source} -> {b.source}: distance from each of the {len(a):,} points of {a.name} "
          f"to the nearest of the {len(b):,} points of {b.name} ({precision})")
    for label, value in summary(dists.astype(np.float64)):
        print(f"{label:<6}{value:.7g}")
    if args.out is not None:
        scales = offsets = None
        if suffix_of(args.out) in (".las", ".laz") and suffix_of(args.a) in (".las", ".laz") and not args.align:
            scales, offsets = las_grid(args.a)  # A's own grid writes its points back exactly
        write_points(args.out, a.points, {"distance": dists}, scales, offsets)
    return 0


def check_not_input(output: str, inputs: Sequence[str | None]) -> None:
    """Refuses an output path naming one of the inputs: a user's files are never overwritten."""
    for path in inputs:
        if path is not None and os.path.exists(output) and os.path.exists(path) and os.path.samefile(output, path):
            raise CloudError(output, f"is the input {path}; write the output to another file")


def print_registration(source: Cloud, target: Cloud, registration: Registration) -> None:
    method = "point-to-plane" if registration.method == "point_to_plane" else "point-to-point"
    state = "converged" if registration.converged else "NOT converged"
    print(f"{source.source} -> {target.source}: {method} ICP, {registration.iterations} iteration{'s' if registration.iterations != 1 else ''}, {state}")
    print("transform (target coordinates = transform x source coordinates):")
    print("".join("  " + line + "\n" for line in format_transform(registration.transform).splitlines()), end="")
    print(f"rmse    {registration.rmse:.7g}")
    print(f"fitness {registration.fitness:.7g}")
    if not registration.converged:
        print(f"ornel: warning: {source.source}: not converged after {registration.iterations} iterations "
              f"(the last update turned by {math.degrees(registration.history[-1].rotation):.3g} degrees); "
              "the transform is the last one reached", file=sys.stderr)


def run_align(args: argparse.Namespace) -> int:
    inputs = [args.source, args.target, args.init]
    if args.out is not None:
        check_writable(args.out)
        check_not_input(args.out, inputs)
    if args.transform is not None:
        if os.path.isdir(args.transform):
            raise CloudError(args.transform, "is a directory")
        if not os.path.isdir(os.path.dirname(os.path.abspath(args.transform))):
            raise CloudError(args.transform, "its directory does not exist")
        check_not_input(args.transform, inputs + [args.out])
    init = read_transform(args.init) if args.init is not None else None
    source = Cloud.load(args.source)
    target = Cloud.load(args.target)
    registration = register(source, target, init=init, max_distance=args.max_distance,
                            method="point_to_point" if args.point_to_point else "point_to_plane",
                            max_iterations=args.iterations, threads=args.threads)
    print_registration(source, target, registration)
    if args.transform is not None:
        write_transform(args.transform, registration.transform)
    if args.out is not None:
        fields = read_fields(args.source)
        rotation = registration.transform[:3, :3]
        for names in NORMAL_FIELDS:
            if all(name in fields for name in names):
                turned = np.column_stack([fields[name] for name in names]).astype(np.float64) @ rotation.T
                for axis, name in enumerate(names):
                    fields[name] = turned[:, axis].astype(fields[name].dtype)
        write_points(args.out, registration.apply(source.points), fields)
    return 0


def las_grid(path: str) -> tuple[Any, Any]:
    import laspy

    with laspy.open(path) as reader:
        return reader.header.scales, reader.header.offsets


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        return {"matrix": run_matrix, "compare": run_compare, "align": run_align}[args.command](args)
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
