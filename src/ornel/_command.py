"""The `ornel` command: compare point-cloud files.

    ornel matrix FILE... [--csv PATH] [--png PATH] [--threads N] [--f32] [--scheduler ADDRESS]
    ornel compare A B [--out PATH] [--f32] [--store DIR]
    ornel index FILE... --store DIR [--f32] [--threads N]
    ornel store DIR [FILE...] [--prune] [--repair]
    ornel align SOURCE TARGET [--out ALIGNED] [--transform T.txt] [--init T.txt] [--point-to-point]
                [--max-distance D] [--iterations N] [--threads N]
    ornel change EPOCH1 EPOCH2 --normal-radius R --cylinder-radius r --max-depth D [--core SPACING|FILE]
                 [--robust] [--registration-error E] [--params m3c2_params.txt] [--out CORE.las]
                 [--json PATH] [--histogram PATH] [--png PATH] [--threads N]

Exit status: 0 done, 2 unusable input or arguments (one line on stderr says which
file and what is wrong), 130 interrupted. A reader of the output that goes away
(`| head`) ends the printing quietly."""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import re
import signal
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import ornel
from ornel import _read_ahead as read_ahead
from ornel._defaults import DISTANCE_FIELD, NORMAL_NEIGHBOURS, READ_SUFFIXES, WRITE_SUFFIXES, default_threads
from ornel._errors import CloudError, FieldClash
from ornel._interrupt import quit_quietly

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from ornel._cloud import Cloud, Precision
    from ornel._compare import PERCENTILES, Comparison, compare, field_names
    from ornel._formats import check_output_place, check_writable, printable, suffix_of
    from ornel._matrix import Matrix
    from ornel._mesh import Mesh
    from ornel._mesh_compare import MeshComparison, compare_to_mesh, load_model, register_to_mesh
    from ornel._normals import Side, file_normals, side_of
    from ornel._planner import choose
    from ornel._plot import require_matplotlib
    from ornel._progress import progress_bar
    from ornel._records import Records, check_new_fields, las_grid_note, read_records, write_records
    from ornel._register import Registration, format_transform, read_transform, register, write_transform
    from ornel._store import Store


def load_command_modules() -> None:
    """Binds the names the commands work with (NumPy and the package's parts), once the
    arguments are read: `ornel --help`, `--version` and a mistyped option need none of
    them. What only some commands use (the store, all-by-all, M3C2) is imported by those."""
    import numpy

    from ornel import (
        _cloud,
        _compare,
        _formats,
        _matrix,
        _mesh,
        _mesh_compare,
        _normals,
        _planner,
        _plot,
        _progress,
        _records,
    )

    _formats.laspy_without_http()
    globals().update(
        np=numpy,
        Cloud=_cloud.Cloud,
        PERCENTILES=_compare.PERCENTILES,
        Comparison=_compare.Comparison,
        compare=_compare.compare,
        field_names=_compare.field_names,
        check_output_place=_formats.check_output_place,
        check_writable=_formats.check_writable,
        printable=_formats.printable,
        suffix_of=_formats.suffix_of,
        Matrix=_matrix.Matrix,
        Mesh=_mesh.Mesh,
        MeshComparison=_mesh_compare.MeshComparison,
        compare_to_mesh=_mesh_compare.compare_to_mesh,
        load_model=_mesh_compare.load_model,
        register_to_mesh=_mesh_compare.register_to_mesh,
        file_normals=_normals.file_normals,
        side_of=_normals.side_of,
        choose=_planner.choose,
        require_matplotlib=_plot.require_matplotlib,
        progress_bar=_progress.progress_bar,
        Records=_records.Records,
        check_new_fields=_records.check_new_fields,
        las_grid_note=_records.las_grid_note,
        read_records=_records.read_records,
        write_records=_records.write_records,
    )


def load_registration_modules() -> None:
    """Binds what registration needs (`ornel align`, `compare --align`): the other
    commands do without it."""
    from ornel import _register

    globals().update(
        format_transform=_register.format_transform,
        read_transform=_register.read_transform,
        register=_register.register,
        write_transform=_register.write_transform,
    )


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def add_threads(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--threads", type=positive_int, default=None, help=f"threads to use (default: {default_threads()})"
    )


def add_index_kind(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--index-kind",
        choices=("auto", "graph", "grid"),
        default="auto",
        help="how the reference clouds are searched: 'graph' (a Delaunay graph, dear to "
        "build, then reused), 'grid' (a grid of cells, about a sort to build) or "
        "'auto', chosen by their reuse (default); the answers are the same",
    )


def check_index_kind(args: argparse.Namespace) -> None:
    """A store keeps graphs and a cluster's tiles choose their own index."""
    for option in ("store", "scheduler"):
        if args.index_kind == "grid" and getattr(args, option, None) is not None:
            raise CloudError(None, f"--index-kind grid cannot be used with --{option}, which searches through graphs")


def add_skip_invalid(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--skip-invalid",
        action="store_true",
        help="drop points with NaN or infinite coordinates "
        "(an organised scan's empty pixels) instead of refusing the file; how many, per file, is "
        "said on stderr",
    )


def note_skipped(cloud: Cloud) -> None:
    if cloud.skipped:
        print(
            f"ornel: note: {printable(str(cloud.source))}: skipped {cloud.skipped:,} of its "
            f"{cloud.skipped + len(cloud):,} points (NaN or infinite coordinates)",
            file=sys.stderr,
        )


def load_cloud(path: str, args: argparse.Namespace, name: str | None = None) -> Cloud:
    """A command's cloud from its file, its invalid points dropped with --skip-invalid (and said so)."""
    cloud = Cloud.load(path, name, skip_invalid=args.skip_invalid)
    note_skipped(cloud)
    return cloud


def add_precision(command: argparse.ArgumentParser, what: str = "measure") -> None:
    """--f64 (the default: exact, as fast as single precision or faster from files) or --f32."""
    precision = command.add_mutually_exclusive_group()
    precision.add_argument(
        "--f64",
        dest="precision",
        action="store_const",
        const="f64",
        default="f64",
        help=f"{what} in double precision: exact distances (the default)",
    )
    precision.add_argument(
        "--f32",
        dest="precision",
        action="store_const",
        const="f32",
        help=f"{what} in single precision: the coordinates rounded to float32 "
        "(measured from a point near each cloud), the distances as exact as that rounding",
    )


class VersionAction(argparse.Action):
    """`--version`, with the installed version looked up only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help="show the version and exit")

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Any,
        option_string: str | None = None,
    ) -> None:
        print(f"ornel {ornel.__version__}")
        parser.exit()


class CommandParser(argparse.ArgumentParser):
    """Reports a mistake in the arguments as the command reports any other: one line and
    status 2, saying where the full usage is, rather than the usage of every option first."""

    def error(self, message: str) -> Any:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def parser() -> argparse.ArgumentParser:
    formats = " ".join(READ_SUFFIXES)
    main = CommandParser(
        prog="ornel", description=f"Nearest-neighbour distances between point clouds (files: {formats})."
    )
    main.add_argument("--version", action=VersionAction)
    commands = main.add_subparsers(dest="command", required=True, metavar="COMMAND")
    matrix = commands.add_parser(
        "matrix",
        help="mean, max, Chamfer and Hausdorff distances of every pair of files",
        description="Joins every file with every other both ways and prints one row "
        "per unordered pair, in the order given.",
    )
    matrix.add_argument("files", nargs="+", metavar="FILE", help=f"point clouds ({formats})")
    matrix.add_argument(
        "--csv", metavar="PATH", help="also write the table as CSV: a,b,mean_ab,mean_ba,chamfer,max_ab,max_ba,hausdorff"
    )
    matrix.add_argument("--png", metavar="PATH", help="also draw a heatmap of one measure (matplotlib)")
    matrix.add_argument(
        "--metric",
        choices=("chamfer", "hausdorff", "mean", "max"),
        default="chamfer",
        help="the measure --png draws (default: chamfer; mean and max are directed, row to column)",
    )
    matrix.add_argument(
        "--log-scale",
        action="store_true",
        help="--png's colours on a log scale, so that one outlying pair does not flatten the rest",
    )
    add_threads(matrix)
    add_index_kind(matrix)
    add_precision(matrix)
    add_skip_invalid(matrix)
    matrix.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on the Dask cluster of this scheduler "
        "(e.g. tcp://host:8786; --threads is then the workers' business); needs ornel's dask extra",
    )
    matrix.add_argument(
        "--store",
        metavar="DIR",
        help="keep indexes and pair results in this store (made if missing) and compute only the pairs it lacks",
    )
    compare = commands.add_parser(
        "compare",
        help="cloud-to-cloud distances from the points of A to B",
        description="For every point of A the distance to the nearest point of B: "
        "a summary on stdout, and with --out A's points with a field 'distance'.",
    )
    compare.add_argument("a", metavar="A", help="the compared cloud")
    compare.add_argument(
        "b",
        metavar="B",
        help="the reference: a cloud, or a mesh (.ply or .obj with faces, .stl, .off), whose triangles are measured to",
    )
    compare.add_argument("--vertices", action="store_true", help="compare to B's vertices even when it has faces")
    compare.add_argument(
        "--out",
        metavar="PATH",
        help="write A's points, in A's order, with a per-point field "
        f"'distance' (NaN where none), in the format of PATH's suffix ({' '.join(WRITE_SUFFIXES)})",
    )
    compare.add_argument(
        "--split",
        action="store_true",
        help="--out also gets dx dy dz: the vector from each point to its nearest point of B",
    )
    compare.add_argument(
        "--index", action="store_true", help="--out also gets 'index': that point's index in B (-1 where none)"
    )
    compare.add_argument(
        "--field",
        metavar="NAME",
        default=DISTANCE_FIELD,
        help="--out's distance field is named "
        "NAME (default: distance), the others suffixed alike: distance2 gives dx2 dy2 dz2 index2, "
        "d1 gives dx_d1 ...; for a file compared before",
    )
    compare.add_argument(
        "--overwrite-fields",
        action="store_true",
        help="--out replaces the fields of A that have those names (coordinates never) instead of refusing them",
    )
    compare.add_argument(
        "--signed",
        action="store_true",
        help="distances signed along B's normal at the nearest "
        "point: positive on the side it points to (see --normals, --normals-toward); with a "
        "mesh, by its faces' winding: negative inside a closed mesh",
    )
    compare.add_argument(
        "--normals",
        choices=("file", "estimate"),
        help="with --signed, B's normals: those of "
        "B's file (PLY nx ny nz, PCD normal_x ..., LAS extra bytes, text columns of those names; "
        "the default when it has them) or estimated from B's --neighbours nearest points and "
        "oriented consistently over each connected part of B (the default otherwise)",
    )
    compare.add_argument(
        "--normals-toward",
        type=normals_side,
        metavar="SIDE",
        help="with --signed, where "
        "estimated normals point: 'outside' (the default: away from the centre of each part of "
        "B; up where a part is an open, nearly flat sheet such as a floor or terrain), an axis "
        "(+z, -z, +x, ...) or a point x,y,z such as the sensor; implies --normals estimate",
    )
    compare.add_argument(
        "--local-model",
        choices=("plane",),
        help="measure to the plane fitted to B's "
        "--neighbours nearest points around the nearest point, not to the point itself",
    )
    compare.add_argument(
        "--neighbours",
        type=positive_int,
        default=NORMAL_NEIGHBOURS,
        metavar="K",
        help=f"points of B in a local plane or normal (default {NORMAL_NEIGHBOURS})",
    )
    compare.add_argument(
        "--max-distance",
        type=nonnegative_float,
        metavar="D",
        help="points farther than D from B get no nearest point (distance NaN, counted apart)",
    )
    compare.add_argument(
        "--radius",
        type=nonnegative_float,
        action="append",
        metavar="R",
        default=[],
        help="also report precision, recall and F-score at radius R (repeatable; from the "
        "exact distances, also where R exceeds --max-distance)",
    )
    compare.add_argument("--json", metavar="PATH", help="also write the summary as JSON")
    compare.add_argument("--histogram", metavar="PATH", help="also draw a histogram of the distances (PNG; matplotlib)")
    compare.add_argument("--log-counts", action="store_true", help="the histogram's counts on a log scale")
    compare.add_argument(
        "--png",
        metavar="PATH",
        help="also draw A's points coloured by distance, seen along "
        "x, y, z and obliquely (PNG; matplotlib); signed distances on a diverging scale centred "
        "at 0",
    )
    compare.add_argument(
        "--clip-percentile",
        type=percentile,
        default=99.0,
        metavar="P",
        help="the colours of --png saturate at this percentile of the distances (of their "
        "sizes when signed, at - and + that value; default 99)",
    )
    add_skip_invalid(compare)
    add_threads(compare)
    add_index_kind(compare)
    add_precision(compare)
    compare.add_argument("--store", metavar="DIR", help="take B's index from this store, or build and keep it there")
    # argparse reads "-z" (or "-1,2,3") after --normals-toward as an option unless told
    # that such words are values here; compare has no options of that shape.
    compare._negative_number_matcher = NEGATIVE_VALUES
    compare.add_argument(
        "--align",
        action="store_true",
        help="first align A to B (point-to-plane ICP, as "
        "'ornel align'), then measure the aligned A; --out then writes the aligned points",
    )
    add_store_commands(commands, formats)
    add_align_parser(commands)
    add_change_parser(commands)
    return main


def number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def nonnegative_float(text: str) -> float:
    value = number(text)
    if not (value >= 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a finite number of at least 0, not {text}")
    return value


def percentile(text: str) -> float:
    value = nonnegative_float(text)
    if value > 100:
        raise argparse.ArgumentTypeError(f"must be between 0 and 100, not {text}")
    return value


def normals_side(text: str) -> Side:
    from ornel._normals import side_of  # read with the arguments, before the command's modules

    try:
        return side_of(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected outside, an axis (+z, -z, +x, ...) or a point x,y,z; not {text!r}"
        ) from None


# Values of --normals-toward that argparse would take for options: -z, -x, -1,2,3.
NEGATIVE_VALUES = re.compile(r"^-(?:\d+|\d*\.\d+|[xyzXYZ]|[\d.]+(?:[eE][+-]?\d+)?,.*)$")


def needs_matplotlib(path: str) -> None:
    try:
        require_matplotlib()
    except ImportError as error:
        raise CloudError(path, str(error)) from None


def add_store_commands(commands: Any, formats: str) -> None:
    index = commands.add_parser(
        "index",
        help="build the files' indexes and keep them in a store",
        description="Builds the spatial order and graph of every file and keeps them "
        "in the store, so that later commands with --store DIR need not build them.",
    )
    index.add_argument("files", nargs="+", metavar="FILE", help=f"point clouds ({formats})")
    index.add_argument("--store", metavar="DIR", required=True, help="the store (made if missing)")
    add_precision(index, "the index for searches")
    add_threads(index)
    add_skip_invalid(index)
    store = commands.add_parser(
        "store",
        help="what a store holds; --prune removes what is not needed",
        description="Lists the clouds of a store, its pairs and its size on disk. "
        "With --prune, removes files no index uses and, if FILEs are given, every "
        "cloud that is none of them, with its index and pairs.",
    )
    store.add_argument("directory", metavar="DIR", help="the store")
    store.add_argument("files", nargs="*", metavar="FILE", help="with --prune: the clouds to keep")
    store.add_argument("--prune", action="store_true", help="remove what no listed file uses")
    add_skip_invalid(store)
    store.add_argument(
        "--repair",
        action="store_true",
        help="rebuild a damaged database from what can still be "
        "trusted: its readable rows that match their checksums, and every index whose array files "
        "are whole (the old database is kept beside, renamed); run it while no other command uses "
        "the store",
    )


def positive_float(text: str) -> float:
    value = number(text)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive finite number, not {text}")
    return value


def add_align_parser(commands: Any) -> None:
    align = commands.add_parser(
        "align",
        help="rigid transform moving SOURCE onto TARGET (ICP)",
        description="Aligns SOURCE to TARGET by ICP (point-to-plane unless "
        "--point-to-point) and prints the 4x4 transform, the RMSE and the fitness "
        "(share of SOURCE's points with a correspondence).",
    )
    align.add_argument("source", metavar="SOURCE", help="the cloud to move")
    align.add_argument("target", metavar="TARGET", help="the reference cloud")
    align.add_argument(
        "--out",
        metavar="ALIGNED",
        help="write SOURCE's points moved by the transform, with every "
        "per-point field of SOURCE (normals turned), in the format of the suffix "
        f"({' '.join(WRITE_SUFFIXES)})",
    )
    align.add_argument("--transform", metavar="T.txt", help="write the 4x4 matrix as text")
    align.add_argument(
        "--init",
        metavar="T.txt",
        help="start from this rigid 4x4 matrix (text) instead of the "
        "identity; needed when the clouds are far apart or turned by more than some 10-20 degrees",
    )
    align.add_argument(
        "--point-to-point",
        action="store_true",
        help="minimise point-to-point distances (default: point-to-plane, along the target's normals)",
    )
    align.add_argument(
        "--max-distance",
        type=positive_float,
        metavar="D",
        help="ignore correspondences farther "
        "apart than D (default: none); give one when the clouds only partly overlap",
    )
    align.add_argument(
        "--iterations", type=positive_int, default=50, metavar="N", help="at most N iterations (default: 50)"
    )
    add_threads(align)
    add_index_kind(align)
    add_skip_invalid(align)


def unique_names(paths: Sequence[str]) -> list[str]:
    """File stems, or the paths as given where two files share a stem; bytes of a name
    that are not UTF-8 written as backslash escapes."""
    stems = [Path(p).stem for p in paths]
    return [printable(stem if stems.count(stem) == 1 else path) for stem, path in zip(stems, paths)]


def check_not_an_input(output: str, inputs: Sequence[str | None]) -> None:
    """Refuses, before any work, an output that is one of the input files (under any
    spelling or through a link): writing it would destroy the input."""
    for path in (p for p in inputs if p is not None):
        try:
            same = os.path.samefile(output, path)
        except OSError:  # one of them does not exist (yet): not the same file
            continue
        if same:
            raise CloudError(output, f"is the input file {path}; write the output to another file")


def check_distinct_outputs(outputs: Sequence[tuple[str, str | None]]) -> None:
    """Refuses, before any work, two outputs (option, path) that name one file under any
    spelling or through a link: the one written last would replace the other."""
    seen: list[tuple[str, str, str]] = []
    for option, path in outputs:
        if path is None:
            continue
        where = os.path.normcase(os.path.realpath(path))
        for earlier_option, earlier, earlier_where in seen:
            same = where == earlier_where
            if not same:
                with contextlib.suppress(OSError):  # one of them does not exist (yet): two files
                    same = os.path.samefile(path, earlier)
            if same:
                raise CloudError(path, f"is named by both {earlier_option} and {option}; give each output its own file")
        seen.append((option, path, where))


@contextlib.contextmanager
def printing() -> Iterator[None]:
    """Standard output whose reader may go away (`ornel matrix ... | head -1`): then the
    printing stops quietly, and whatever is left to do (other outputs) is still done."""
    try:
        yield
        sys.stdout.flush()
    except BrokenPipeError:
        stdout_to_nowhere()
    except OSError as error:  # `> summary.txt` on a full disk: an error, not a success
        stdout_to_nowhere()
        raise CloudError("standard output", f"cannot be written ({error.strerror or error})") from None


def stdout_to_nowhere() -> None:
    """What is still buffered, and anything printed later, goes nowhere rather than
    failing again when Python flushes stdout at exit."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def print_table(matrix: Matrix) -> None:
    width = max(1, *(len(name) for name in matrix.names))
    print(f"{'a':<{width}}  {'b':<{width}}" + "".join(f" {c:>13}" for c in Matrix.COLUMNS[2:]))
    for a, b, *numbers in matrix.rows():
        print(f"{a:<{width}}  {b:<{width}}" + "".join(f" {value:13.7g}" for value in numbers))


def run_matrix(args: argparse.Namespace) -> int:
    check_index_kind(args)
    check_distinct_outputs([("--csv", args.csv), ("--png", args.png)])
    if args.csv is not None:
        check_output(args.csv, ".csv")
        check_not_an_input(args.csv, args.files)
    if args.png is not None:
        check_output(args.png, ".png")
        check_not_an_input(args.png, args.files)
        needs_matplotlib(args.png)
    names = unique_names(args.files)
    clouds = []
    for path, name in zip(args.files, names):
        clouds.append(load_cloud(path, args, name))
    if len(clouds) < 2:
        raise CloudError(args.files[0], "only one file; give at least two to compare")
    store = open_store(args.store) if args.store is not None else None
    if args.scheduler is not None:
        matrix = matrix_on_cluster(args.scheduler, clouds, args.precision, store)
    else:
        from ornel._dispatch import all_by_all

        matrix = all_by_all(
            clouds,
            threads=args.threads,
            precision=args.precision,
            progress=sys.stderr.isatty(),
            store=store,
            index=args.index_kind,
        )
    with printing():
        print_table(matrix)
    if args.csv is not None:
        write_or_fail(args.csv, matrix.to_csv)
    if args.png is not None:
        write_or_fail(args.png, lambda path: matrix.plot(path, args.metric, log=args.log_scale))
    return 0


def matrix_on_cluster(address: str, clouds: list[Cloud], precision: Precision, store: Any = None) -> Matrix:
    from ornel._dispatch import all_by_all

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
    check_output_place(path)


def write_or_fail(path: str, write: Any) -> None:
    try:
        write(path)
    except OSError as error:
        raise CloudError(path, f"cannot be written ({error.strerror or error})") from None


def print_comparison(
    args: argparse.Namespace, result: Comparison, stats: dict[str, Any], normals: str | None = None
) -> None:
    """A header line (saying, when signed, whose `normals` give the signs), then one
    `label value` line per measure (two words each, so that scripts can read them)."""
    a, b = result.a, result.b
    bound = "" if result.max_distance is None else f", at most {result.max_distance:g} away"
    if result.measure != "point":
        bound += f", {result.measure} distances"
    if normals is not None:
        bound += f", normals {normals}"
    measured = stats["points"] - result.skipped
    which = f"{measured:,} of the" if result.skipped else "each of the"
    target = f"{len(result.mesh):,} triangles" if isinstance(result, MeshComparison) else f"{len(b):,} points"
    print(
        f"{printable(args.a)} -> {printable(args.b)}: distance from {which} {stats['points']:,} points of "
        f"{a.name} to the nearest of the {target} of {b.name} ({result.precision}{bound})"
    )
    rows: list[tuple[str, str]] = []
    if result.skipped:
        rows.append(("skipped", str(result.skipped)))
    if result.max_distance is not None:
        rows += [("within", str(stats["within_max_distance"])), ("beyond", str(stats["beyond_max_distance"]))]
    if stats["mean"] is not None:
        rows += [
            (label, f"{stats[label]:.7g}")
            for label in ("mean", "rms", "std", "min", "max", *(f"p{p}" for p in PERCENTILES))
        ]
        worst = stats["hausdorff"]
        rows += [
            ("hausdorff", f"{worst['distance']:.7g}"),
            ("worst", str(worst["index"])),
            ("worst_xyz", ",".join(f"{c:.10g}" for c in worst["point"])),
        ]
    for row in stats["f_scores"]:
        rows += [(f"{key}@{row['radius']:g}", f"{row[key]:.7g}") for key in ("precision", "recall", "f_score")]
    width = max(len(label) for label, _ in rows) + 2 if rows else 0
    for label, value in rows:
        print(f"{label:<{width}}{value}")


def run_compare(args: argparse.Namespace) -> int:
    check_index_kind(args)
    check_distinct_outputs(
        [("--out", args.out), ("--json", args.json), ("--histogram", args.histogram), ("--png", args.png)]
    )
    if not args.signed and (args.normals is not None or args.normals_toward is not None):
        raise CloudError(None, "--normals and --normals-toward choose the normals of --signed; add --signed")
    if args.normals == "file" and args.normals_toward is not None:
        raise CloudError(
            None,
            "--normals-toward orients estimated normals, not B's file's own: "
            "give --normals estimate, or leave --normals-toward out",
        )
    outputs = [(args.out, None), (args.json, ".json"), (args.histogram, ".png"), (args.png, ".png")]
    for path, suffix in outputs:
        if path is None:
            continue
        if suffix is None:
            check_writable(path)
        else:
            check_output(path, suffix)
        check_not_an_input(path, [args.a, args.b])
    if args.histogram is not None or args.png is not None:
        needs_matplotlib(args.png or args.histogram)
    with progress_bar(4, "step", sys.stderr.isatty()) as bar:
        a_records = read_records(args.a)  # read once: its points here, every field for --out
        a_points = a_records.points
        if args.out is not None:  # a clash of field names found before any work
            names = field_names(args.field, split=args.split, index=args.index)
            try:
                check_new_fields(args.out, a_records, names, overwrite=args.overwrite_fields, moved=args.align)
            except FieldClash as error:
                try:  # whether replacing would do (never for a coordinate)
                    check_new_fields(args.out, a_records, names, overwrite=True, moved=args.align)
                    hint = " (--field NAME), or replace it (--overwrite-fields)"
                except FieldClash:
                    hint = " (--field NAME)"
                raise CloudError(error.source, error.problem + hint) from None
        bar.update()
        precision: Precision = args.precision
        # The points read are the command's alone: the cloud keeps them rather than a copy.
        a_cloud = Cloud.adopt(a_points, printable(Path(args.a).stem), source=args.a, skip_invalid=args.skip_invalid)
        b = load_model(args.b, printable(Path(args.b).stem), vertices=args.vertices, skip_invalid=args.skip_invalid)
        if isinstance(b, Mesh):
            refuse_for_mesh(args)
        for cloud in (a_cloud, b):
            if isinstance(cloud, Cloud):
                note_skipped(cloud)
        bar.update()
        store = open_store(args.store) if args.store is not None else None
        if isinstance(b, Mesh):
            if store is not None:
                from ornel._store import stored_mesh_index

                stored_mesh_index(b, store, precision)
            b.index(precision)
        else:
            if store is not None:
                from ornel._store import stored_nearest

                stored_nearest(b, store, precision)
            if (
                choose(args.index_kind, len(b), len(a_cloud), graph_built=b.cached_graph(precision) is not None)
                == "graph"
            ):
                b.prepared(precision)  # the graph: most of the time, unless stored
        bar.update()
        if args.align:
            load_registration_modules()
            registration = (
                register_to_mesh(a_cloud, b, threads=args.threads)
                if isinstance(b, Mesh)
                else register(a_cloud, b, threads=args.threads, index=args.index_kind)
            )
            refuse_unfixed(a_cloud, registration)
            with printing():
                print_registration(a_cloud, b, registration)
            # Every row moved: the invalid ones stay invalid, and are dropped again.
            a_cloud = Cloud.adopt(
                registration.apply(a_points), a_cloud.name, source=a_cloud.source, skip_invalid=args.skip_invalid
            )
        result: Comparison
        said = None
        if isinstance(b, Mesh):
            result = compare_to_mesh(
                a_cloud,
                b,
                precision=precision,
                max_distance=args.max_distance,
                threads=args.threads,
                signed=args.signed,
                barycentric=args.split,  # the closest points only for the vectors to them
            )
        else:
            result = compare(
                a_cloud,
                b,
                precision=precision,
                max_distance=args.max_distance,
                threads=args.threads,
                index=args.index_kind,
            )
            normals, said = signing_normals(args, b) if args.signed else ("outside", None)
            result = result.with_measure(
                local_model=args.local_model, signed=args.signed, neighbours=args.neighbours, normals=normals
            )
        bar.update()
    # The summary is worked out while --out is written (NumPy's loops, the kernel's copies
    # and the flush to disk each leave the other thread free), and printed as before, ahead
    # of a failure to write.
    stats = in_background(lambda: result.statistics(args.radius))
    if args.out is not None:
        fields = result.fields(args.field, split=args.split, index=args.index)
        try:
            # Aligned, the points moved, every other record and field as it was.
            write_moved_or_same(
                args.out,
                a_records,
                registration.transform if args.align else None,
                fields,
                overwrite_fields=args.overwrite_fields,
            )
        except CloudError:
            with printing():
                print_comparison(args, result, stats(), said)
            raise
    with printing():
        print_comparison(args, result, stats(), said)
    if args.json is not None:
        write_or_fail(args.json, lambda path: result.to_json(path, args.radius))
    if args.histogram is not None:
        write_or_fail(args.histogram, lambda path: result.histogram(path, log=args.log_counts))
    if args.png is not None:
        write_or_fail(args.png, lambda path: result.plot(path, clip_percentile=args.clip_percentile))
    return 0


def in_background(call: Callable[[], Any]) -> Callable[[], Any]:
    """Starts `call` on a thread of its own; the function returned waits for it and gives
    what it returned (or raises what it raised)."""
    outcome: list[Any] = []

    def run() -> None:
        try:
            outcome.append((True, call()))
        except BaseException as error:  # handed to the waiting thread, which raises it
            outcome.append((False, error))

    thread = threading.Thread(target=run, name="ornel summary", daemon=True)
    thread.start()

    def result() -> Any:
        thread.join()
        done, value = outcome[0]
        if not done:
            raise value
        return value

    return result


def signing_normals(args: argparse.Namespace, b: Cloud) -> tuple[Any, str]:
    """What the signs of --signed follow, and how to say it: B's file's normals (by
    default when it has them) or a side toward which estimated normals point."""
    if args.normals != "estimate" and args.normals_toward is None:
        normals = file_normals(read_records(args.b).fields())
        if normals is not None:
            if b.valid is not None and len(normals) == len(b.valid):
                normals = normals[b.valid]  # the rows --skip-invalid kept
            if len(normals) != len(b):
                raise CloudError(args.b, f"{len(normals):,} normals for {len(b):,} points")
            return normals, "from B's file"
        if args.normals == "file":
            raise CloudError(
                args.b,
                "has no normals for --normals file (fields nx ny nz, normal_x normal_y "
                "normal_z or alike); leave --normals out to estimate them",
            )
    side = args.normals_toward or side_of("outside")
    kind, vector = side
    toward = "outside" if kind == "outside" else ",".join(f"{c:g}" for c in vector or ())
    if kind == "axis" and vector is not None:
        toward = ("-" if min(vector) < 0 else "+") + "xyz"[int(np.argmax(np.abs(vector)))]
    return side, f"estimated, toward {toward}"


def refuse_for_mesh(args: argparse.Namespace) -> None:
    """What a mesh reference cannot do, said before any work."""
    if args.local_model is not None:
        raise CloudError(
            args.b,
            "a mesh is measured to its triangles: --local-model is for clouds "
            "(give --vertices to compare to its vertices)",
        )
    if args.normals is not None or args.normals_toward is not None:
        raise CloudError(
            args.b,
            "a mesh signs by its faces' winding: --normals and --normals-toward are for "
            "clouds (give --vertices to compare to its vertices)",
        )


def print_registration(source: Cloud, target: Cloud | Mesh, registration: Registration) -> None:
    method = "point-to-plane" if registration.method == "point_to_plane" else "point-to-point"
    state = "converged" if registration.converged else "NOT converged"
    print(
        f"{source.source} -> {target.source}: {method} ICP, {registration.iterations} iteration{'s' if registration.iterations != 1 else ''}, {state}"
    )
    print("transform (target coordinates = transform x source coordinates):")
    print("".join("  " + line + "\n" for line in format_transform(registration.transform).splitlines()), end="")
    print(f"rmse    {registration.rmse:.7g}")
    print(f"fitness {registration.fitness:.7g}")
    if not registration.converged:
        print(
            f"ornel: warning: {source.source}: not converged after {registration.iterations} iterations "
            f"(the last update turned by {math.degrees(registration.history[-1].rotation):.3g} degrees); "
            "the transform is the last one reached",
            file=sys.stderr,
        )


def note(message: str) -> None:
    print(f"ornel: note: {printable(message)}", file=sys.stderr)


def refuse_unfixed(source: Cloud, registration: Registration) -> None:
    """A transform that the overlap does not fix is no answer: refused, not printed."""
    if registration.unfixed is not None:
        raise CloudError(source.source, registration.unfixed)


def run_align(args: argparse.Namespace) -> int:
    load_registration_modules()
    check_distinct_outputs([("--out", args.out), ("--transform", args.transform)])
    inputs = [args.source, args.target, args.init]
    if args.out is not None:
        check_writable(args.out)
        check_not_an_input(args.out, inputs)
    if args.transform is not None:
        check_output_place(args.transform)
        check_not_an_input(args.transform, inputs + [args.out])
    init = read_transform(args.init, note) if args.init is not None else None
    # With --out, read once: the points here, every field and record for the output.
    records = read_records(args.source) if args.out is not None else None
    if records is None:
        source = load_cloud(args.source, args)
    else:
        source = Cloud(records.points, Path(args.source).stem, source=args.source, skip_invalid=args.skip_invalid)
        note_skipped(source)
    target = load_cloud(args.target, args)
    registration = register(
        source,
        target,
        init=init,
        max_distance=args.max_distance,
        method="point_to_point" if args.point_to_point else "point_to_plane",
        max_iterations=args.iterations,
        threads=args.threads,
        index=args.index_kind,
    )
    refuse_unfixed(source, registration)
    with printing():
        print_registration(source, target, registration)
    if args.transform is not None:
        write_transform(args.transform, registration.transform)
    if records is not None:
        write_moved_or_same(args.out, records, registration.transform, {})
    return 0


def write_moved_or_same(
    path: str,
    records: Records,
    transform: npt.NDArray[Any] | None,
    fields: dict[str, Any],
    overwrite_fields: bool = False,
) -> None:
    """Writes the records (moved by `transform` unless None) with the new fields, and says
    how moved LAS coordinates are stored."""
    if transform is None:
        write_records(path, records, fields, overwrite_fields=overwrite_fields)
        return
    moved = records.moved(transform)
    write_records(path, moved, fields, overwrite_fields=overwrite_fields)
    note = las_grid_note(records, moved, path)
    if note is not None:
        print(f"ornel: note: {printable(path)}: {note}", file=sys.stderr)


def open_store(directory: str, create: bool = True) -> Store:
    from ornel._store import Store

    # A damaged stored file is a warning: it is rebuilt, and the results stay exact.
    return Store(directory, create=create, report=lambda message: print(f"ornel: warning: {message}", file=sys.stderr))


def run_index(args: argparse.Namespace) -> int:
    clouds = []
    for path, name in zip(args.files, unique_names(args.files)):
        clouds.append(load_cloud(path, args, name))
    store = open_store(args.store)
    precision: Precision = args.precision
    from ornel._store import points_digest

    digests = store.add(clouds, [points_digest(cloud.points) for cloud in clouds])
    from concurrent.futures import ThreadPoolExecutor
    from functools import partial

    from ornel._join import run

    with ThreadPoolExecutor(args.threads or default_threads()) as pool:
        calls = [partial(store.ensure_index, cloud, digest, precision) for cloud, digest in zip(clouds, digests)]
        built = run(pool, calls, lambda: None)
    for cloud, new in zip(clouds, built):
        print(f"{cloud.source}: {len(cloud):,} points, {precision} index {'built' if new else 'already stored'}")
    return 0


def run_store(args: argparse.Namespace) -> int:
    if args.files and not args.prune:
        raise CloudError(args.files[0], "files are given only with --prune (the clouds to keep)")
    from ornel._store import Store, points_digest

    if args.repair:
        done = Store.repair(args.directory)
        lost = " (some of its rows could not be read)" if done["unreadable"] else ""
        dropped = f", {done['dropped']:,} damaged rows dropped" if done["dropped"] else ""
        kept = f"; the old database kept as {done['kept_as']}" if done["kept_as"] else ""
        print(
            f"repaired{lost}: {done['clouds']:,} clouds, {done['indexes']:,} indexes and {done['pairs']:,} pairs "
            f"kept{dropped}{kept}"
        )
    store = open_store(args.directory, create=False)
    if args.prune:
        keep = [points_digest(load_cloud(path, args).points) for path in args.files] if args.files else None
        removed = store.prune(keep)
        print(f"removed {removed['clouds']} clouds, {removed['pairs']} pairs, {removed['files']} files")
    info = store.summary()
    on_disk = info["array_bytes"] + info["database_bytes"]
    pairs = ", ".join(f"{count:,} {precision}" for precision, count in sorted(info["pairs"].items())) or "none"
    print(
        f"{args.directory}: {info['clouds']} clouds ({info['points']:,} points), {info['indexes']} indexes, "
        f"pairs: {pairs}"
    )
    per_point = f" ({on_disk / info['points']:.1f} bytes per point)" if info["points"] else ""
    print(f"on disk: {on_disk:,} bytes{per_point}: arrays {info['array_bytes']:,}, database {info['database_bytes']:,}")
    clouds = store.clouds()
    if clouds:
        width = max(len(cloud.name) for cloud in clouds)
        for cloud in clouds:
            print(
                f"{cloud.name:<{width}}  {cloud.points:>12,}  {' '.join(cloud.precisions) or '-':<7}  "
                f"{cloud.digest[:12]}  {cloud.source or ''}"
            )
    return 0


# ---- ornel change: M3C2 between two epochs ----


def add_change_parser(commands: Any) -> None:
    change = commands.add_parser(
        "change",
        help="M3C2 change from EPOCH1 to EPOCH2 along local normals",
        description="Per core point: a normal fitted to EPOCH1, each epoch's mean position "
        "along it in a cylinder, their difference as the change and its level of "
        "detection (LoD95). Scales are radii; --params takes CloudCompare's diameters "
        "and halves them. Options given override the parameter file's.",
    )
    change.add_argument("epoch1", metavar="EPOCH1", help="the earlier epoch (normals are fitted to it)")
    change.add_argument("epoch2", metavar="EPOCH2", help="the later epoch")
    change.add_argument(
        "--normal-radius",
        type=positive_float,
        action="append",
        metavar="R",
        help="radius of the normals' neighbourhoods; repeat for several scales, the most planar chosen per core point",
    )
    change.add_argument("--cylinder-radius", type=positive_float, metavar="r", help="radius of the cylinders")
    change.add_argument(
        "--max-depth",
        type=positive_float,
        metavar="D",
        help="the cylinders reach D along the normal on each side of the core point",
    )
    change.add_argument(
        "--core",
        metavar="SPACING|FILE",
        help="core points: EPOCH1 subsampled at this spacing, or the points of FILE (default: every point of EPOCH1)",
    )
    change.add_argument(
        "--normals",
        metavar="SIDE",
        help="the side normals are turned to: auto (default: EPOCH1's "
        "overall normal, up for terrain), +x -x +y -y +z -z, or a sensor position X,Y,Z",
    )
    change.add_argument(
        "--robust",
        action="store_true",
        help="medians and interquartile ranges instead of means and standard deviations",
    )
    change.add_argument(
        "--registration-error", type=nonnegative_float, metavar="E", help="added to the LoD (default 0)"
    )
    change.add_argument(
        "--min-points",
        type=positive_int,
        metavar="N",
        help="fewest points of each epoch in a cylinder for a distance (default 1)",
    )
    change.add_argument("--params", metavar="FILE", help="a parameter file saved by CloudCompare's M3C2 dialog")
    change.add_argument(
        "--out",
        metavar="PATH",
        help="write the core points with every field of their file plus "
        f"the m3c2_* results, in the format of PATH's suffix ({' '.join(WRITE_SUFFIXES)})",
    )
    change.add_argument("--json", metavar="PATH", help="also write the parameters and summary as JSON")
    change.add_argument("--histogram", metavar="PATH", help="also draw a histogram of the changes (PNG; matplotlib)")
    change.add_argument(
        "--png",
        metavar="PATH",
        help="also draw the core points coloured by change, those within their LoD in grey (PNG; matplotlib)",
    )
    add_threads(change)


def change_arguments(args: argparse.Namespace) -> dict[str, Any]:
    """m3c2's keyword arguments: the parameter file's, then the options given over them."""
    from ornel._m3c2 import read_cloudcompare_parameters

    arguments: dict[str, Any] = read_cloudcompare_parameters(args.params) if args.params else {}
    given = {
        "normal_radius": args.normal_radius,
        "cylinder_radius": args.cylinder_radius,
        "max_depth": args.max_depth,
        "registration_error": args.registration_error,
        "min_points": args.min_points,
    }
    arguments.update({key: value for key, value in given.items() if value is not None})
    if args.robust:
        arguments["robust"] = True
    missing = [
        f"--{key.replace('_', '-')}"
        for key in ("normal_radius", "cylinder_radius", "max_depth")
        if key not in arguments
    ]
    if missing:
        raise CloudError(None, f"{', '.join(missing)} needed (or --params with a CloudCompare parameter file)")
    if args.normals is not None:
        side = args.normals.strip()
        if side == "auto" or side in ("+x", "-x", "+y", "-y", "+z", "-z"):
            arguments["normals"] = side
        else:
            try:
                sensor = [float(part) for part in side.split(",")]
            except ValueError:
                sensor = []
            if len(sensor) != 3 or not all(math.isfinite(c) for c in sensor):
                raise CloudError(
                    None, f"--normals {side!r}: expected auto, +x -x +y -y +z -z or a sensor position X,Y,Z"
                )
            arguments["normals"] = {"sensor": sensor}
    return arguments


def change_core(args: argparse.Namespace, arguments: dict[str, Any], epoch1: Any) -> Any:
    """The core points' records (every field, for --out): a file's, or EPOCH1's (all, or
    a subsample at the spacing given by --core or the parameter file)."""
    from ornel._m3c2 import subsample_rows

    spacing = arguments.pop("core_points", None)
    if args.core is not None:
        try:
            spacing = float(args.core)
        except ValueError:
            return read_records(args.core)
        if not (spacing > 0 and math.isfinite(spacing)):
            raise CloudError(None, f"--core {args.core}: a spacing must be a finite number > 0")
    if spacing is None:
        return epoch1
    rows = subsample_rows(np.asarray(epoch1.points), float(spacing))
    return Records(
        epoch1.source,
        "moved",
        np.asarray(epoch1.points)[rows],
        {name: values[rows] for name, values in epoch1.fields().items()},
    )


def check_overlap(epoch1: Cloud, epoch2: Cloud, reach: float) -> None:
    lo1, hi1 = epoch1.points.min(axis=0), epoch1.points.max(axis=0)
    lo2, hi2 = epoch2.points.min(axis=0), epoch2.points.max(axis=0)
    if (lo1 > hi2 + reach).any() or (lo2 > hi1 + reach).any():

        def box(lo: Any, hi: Any) -> str:
            return " to ".join("(" + ", ".join(f"{c:.6g}" for c in corner) + ")" for corner in (lo, hi))

        raise CloudError(
            None,
            f"{printable(epoch1.source or '')} and {printable(epoch2.source or '')} do not "
            f"overlap: their boxes {box(lo1, hi1)} and {box(lo2, hi2)} are farther apart "
            f"than the cylinders reach ({reach:g})",
        )


def print_change(result: Any, epoch1: Cloud, epoch2: Cloud) -> None:
    stats = result.statistics()
    p = result.parameters
    print(
        f"{printable(epoch1.source or '')} -> {printable(epoch2.source or '')}: M3C2 at {stats['core_points']:,} "
        f"core points ({len(epoch1):,} and {len(epoch2):,} points; normal radius "
        f"{','.join(f'{r:g}' for r in p['normal_radius'])}, cylinder radius {p['cylinder_radius']:g}, "
        f"max depth {p['max_depth']:g}{', medians' if p['robust'] else ''})"
    )
    rows = [
        ("core_points", str(stats["core_points"])),
        ("with_distance", str(stats["with_distance"])),
        ("no_distance", str(stats["core_points"] - stats["with_distance"])),
        ("significant", str(stats["significant"])),
    ]
    for label in (
        "significant_share",
        "mean_change",
        "median_change",
        "mean_significant_change",
        "median_significant_change",
        "median_lod",
    ):
        if stats[label] is not None:
            rows.append((label, f"{stats[label]:.7g}"))
    width = max(len(label) for label, _ in rows) + 2
    for label, value in rows:
        print(f"{label:<{width}}{value}")


def run_change(args: argparse.Namespace) -> int:
    from ornel._m3c2 import m3c2

    inputs = [args.epoch1, args.epoch2, args.params]
    core_file = None
    if args.core is not None:
        try:
            float(args.core)
        except ValueError:
            core_file = args.core
            inputs.append(core_file)
    for path, suffix in [(args.out, None), (args.json, ".json"), (args.histogram, ".png"), (args.png, ".png")]:
        if path is None:
            continue
        if suffix is None:
            check_writable(path)
        else:
            check_output(path, suffix)
        check_not_an_input(path, inputs)
    if args.histogram is not None or args.png is not None:
        needs_matplotlib(args.png or args.histogram)
    arguments = change_arguments(args)
    with progress_bar(3, "step", sys.stderr.isatty()) as bar:
        epoch1_records = read_records(args.epoch1)
        epoch1 = Cloud(epoch1_records.points, printable(Path(args.epoch1).stem), source=args.epoch1)
        epoch2 = Cloud.load(args.epoch2, printable(Path(args.epoch2).stem))
        bar.update()
        core = change_core(args, arguments, epoch1_records)
        core_points = Cloud(core.points, "core points", source=core_file or args.epoch1).points
        check_overlap(epoch1, epoch2, float(arguments["max_depth"]) + float(arguments["cylinder_radius"]))
        bar.update()
        try:
            result = m3c2(epoch1, epoch2, core_points=core_points, threads=args.threads, **arguments)
        except ValueError as error:
            raise CloudError(args.params, str(error)) from None
        bar.update()
    with printing():
        print_change(result, epoch1, epoch2)
    if args.out is not None:
        write_records(args.out, core, result.fields())
    if args.json is not None:
        write_or_fail(args.json, lambda path: result.to_json(path))
    if args.histogram is not None:
        write_or_fail(args.histogram, lambda path: result.histogram(path))
    if args.png is not None:
        write_or_fail(args.png, lambda path: result.plot(path))
    return 0


# ---- end of ornel change ----


def main(argv: Sequence[str] | None = None) -> int:
    # Started as the command, Ctrl-C so far ended the process quietly, and still does while
    # the arguments are read and the modules load (NumPy turns an interrupt during its import
    # into an ImportError); from then on it raises KeyboardInterrupt, caught below once
    # whatever was being written is cleaned up, and after that it ends the process quietly.
    quiet = signal.getsignal(signal.SIGINT) is quit_quietly
    try:
        try:
            args = parser().parse_args(argv)
            if quiet and "numpy" not in sys.modules:
                single_threaded_blas()
                numpy_on_small_pages()
            if args.command == "compare":
                # While the modules load: B first, and its grid once it is read.
                grid_of = grid_ahead(args)
                read_ahead.start(
                    [args.b, args.a],
                    grid_of=grid_of,
                    threads=args.threads or default_threads(),
                    search_of=args.a if grid_of is not None else None,
                    index=args.index_kind,
                )
            load_command_modules()
            if quiet:
                signal.signal(signal.SIGINT, signal.default_int_handler)
            commands = {
                "matrix": run_matrix,
                "compare": run_compare,
                "index": run_index,
                "store": run_store,
                "align": run_align,
                "change": run_change,
            }
            status = commands[args.command](args)
        except CloudError as error:
            if sys.stderr.isatty():
                sys.stderr.write("\r\033[K")  # clear a progress bar drawn so far
            print(f"ornel: error: {printable(str(error))}", file=sys.stderr)
            status = 2
    except KeyboardInterrupt:  # also while an error is being reported
        print("\nornel: interrupted", file=sys.stderr)
        status = 130
    finally:
        # Quiet again before anything else runs, so that a late Ctrl-C prints no traceback.
        if quiet:
            signal.signal(signal.SIGINT, quit_quietly)
        read_ahead.forget()
    if quiet:
        exit_now(status)
    return status


def grid_ahead(args: argparse.Namespace) -> str | None:
    """B, when the search of `compare` will build a grid over B's points as read, in double
    precision: then it can be built from B's bytes while the modules load. (With a store,
    --align or --index-kind graph it searches through a graph, with --f32 over rounded points.)"""
    if args.precision != "f64" or args.index_kind == "graph" or args.store is not None or args.align:
        return None
    return str(args.b)


def numpy_on_small_pages() -> None:
    """NumPy's large arrays on ordinary pages in the command's process, unless the caller
    chose otherwise. NumPy asks for 2 MB pages for them, and where the system compacts
    memory to grant such a request when it is made (Linux's common "madvise" defrag
    setting) the faults cost more than the pages save: a 10,000,000-point compare spent
    0.4 to 0.9 s more in the kernel with them, and no less in its own work."""
    os.environ.setdefault("NUMPY_MADVISE_HUGEPAGE", "0")


def single_threaded_blas() -> None:
    """One BLAS thread for the command's process, unless the caller chose otherwise: its
    work runs on its own threads, and the matrix products it asks of NumPy are small or
    bound by memory, while OpenBLAS's pool, started as NumPy loads, spins a core for tens
    of milliseconds."""
    for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS"):
        if variable in os.environ:
            return
    os.environ["OPENBLAS_NUM_THREADS"] = "1"


def exit_now(status: int) -> None:
    """Ends the command's process once its work is done and its outputs are whole: Python's
    own shutdown (every object freed one by one, every module torn down) costs a comparison
    of large clouds more than writing its output. What was registered to run at exit still
    runs, and what is printed reaches its reader."""
    import atexit

    atexit._run_exitfuncs()
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        pass  # its reader has gone (`| head`): what it wanted was read
    except OSError as error:  # a full disk under `> summary.txt`: not a success
        with contextlib.suppress(OSError, ValueError):
            print(f"ornel: error: standard output: cannot be written ({error.strerror or error})", file=sys.stderr)
        status = status or 2
    except ValueError:
        pass  # closed by the caller
    with contextlib.suppress(OSError, ValueError):
        sys.stderr.flush()
    os._exit(status)


if __name__ == "__main__":
    sys.exit(main())
