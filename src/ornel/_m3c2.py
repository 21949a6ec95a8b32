"""Change between two epochs of a surface by M3C2 (Lague, Brodu and Leroux, 2013): per
core point a normal fitted to the first epoch, a cylinder along it, the mean (or median)
position of each epoch's points inside along the normal, their difference as the signed
change and a level of detection from the spreads and counts.

The searches and per-core-point statistics run natively (`ornel._native.m3c2`); this
module checks the arguments, picks the core points and their normals' side, and turns
the statistics into distances and levels of detection."""

from __future__ import annotations

import json
import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from os import PathLike
from typing import Any

import numpy as np
import numpy.typing as npt

from ornel._cloud import Cloud, as_cloud
from ornel._errors import CloudError
from ornel._formats import replacing
from ornel._native import m3c2 as native_m3c2
from ornel._plot import pyplot

# Core points drawn in a picture at most (a random choice of them beyond).
MAX_DRAWN = 200_000

# The two-sided 95% quantile of the normal distribution: LoD95's factor.
LOD95_FACTOR = 1.96

# How a normal's side is chosen, as the native statistics number it.
SIDE_AS_FITTED, SIDE_TOWARD_DIRECTION, SIDE_TOWARD_POSITION = 0, 1, 2

# Below this |z| of the epoch's own least-spread direction, "auto" looks at y, then x, to
# choose between the direction and its opposite (a cliff seen from the side).
AUTO_TIE = 1e-3

Array = npt.NDArray[Any]


@dataclass(frozen=True)
class M3C2Result:
    """Per core point: `distance` (signed along `normal`, epoch 2 minus epoch 1; NaN where
    either cylinder holds fewer than `min_points` points or no normal was fitted), `lod`
    (the level of detection at 95%), `significant` (|distance| > lod), the spreads and
    counts of each epoch's points in the cylinder, and the normal radius each normal was
    fitted at (NaN for given normals)."""

    core_points: Array
    distance: Array
    lod: Array
    significant: Array
    spread1: Array
    spread2: Array
    count1: Array
    count2: Array
    normal: Array
    normal_scale: Array
    parameters: dict[str, Any] = field(default_factory=dict)

    def __len__(self) -> int:
        return len(self.distance)

    def statistics(self) -> dict[str, Any]:
        """The summary a report quotes: core points, how many got a distance, how many of
        those changed significantly, the mean and median change (of all distances and of
        the significant ones) and the median LoD. Figures that have no value (no distance
        at all) are None, never NaN."""
        measured = np.isfinite(self.distance)
        d = self.distance[measured]
        significant = self.significant & measured
        ds = self.distance[significant]

        def figure(values: Array, reduce: Any) -> float | None:
            return float(reduce(values)) if len(values) else None

        return {
            "core_points": int(len(self.distance)),
            "with_distance": int(measured.sum()),
            "significant": int(significant.sum()),
            "significant_share": float(significant.sum() / measured.sum()) if measured.any() else None,
            "mean_change": figure(d, np.mean),
            "median_change": figure(d, np.median),
            "mean_significant_change": figure(ds, np.mean),
            "median_significant_change": figure(ds, np.median),
            "median_lod": figure(self.lod[np.isfinite(self.lod)], np.median),
            "mean_count1": figure(self.count1[measured], np.mean),
            "mean_count2": figure(self.count2[measured], np.mean),
        }

    def to_json(self, path: str | PathLike[str] | None = None, *, per_point: bool = False) -> str:
        """The parameters and `statistics()` as JSON; with `per_point`, also every core
        point's values (NaN written as null). Written whole to `path` when given."""
        document: dict[str, Any] = {"parameters": self.parameters, "statistics": self.statistics()}
        if per_point:

            def listed(values: Array) -> list[Any]:
                return [None if isinstance(v, float) and not math.isfinite(v) else v for v in values.tolist()]

            document["points"] = {
                "core_points": self.core_points.tolist(),
                "distance": listed(self.distance),
                "lod": listed(self.lod),
                "significant": self.significant.tolist(),
                "spread1": listed(self.spread1),
                "spread2": listed(self.spread2),
                "count1": self.count1.tolist(),
                "count2": self.count2.tolist(),
                "normal": [listed(row) for row in self.normal],
            }
        text = json.dumps(document, indent=2, allow_nan=False) + "\n"
        if path is not None:
            with replacing(path) as temporary, open(temporary, "w", encoding="utf-8") as file:
                file.write(text)
        return text

    def histogram(self, path: str | PathLike[str], *, bins: int = 100) -> None:
        """PNG histogram of the distances, the significant ones apart from the rest."""
        plt = pyplot()
        measured = np.isfinite(self.distance)
        figure, axes = plt.subplots(figsize=(8, 4.5))
        values = self.distance[measured]
        edges = np.histogram_bin_edges(values, bins=bins) if len(values) else bins
        axes.hist(
            [self.distance[measured & self.significant], self.distance[measured & ~self.significant]],
            bins=edges,
            stacked=True,
            color=["C3", "0.6"],
            label=["significant", "within LoD"],
        )
        axes.set_xlabel("M3C2 distance (along the normal, epoch 2 - epoch 1)")
        axes.set_ylabel("core points")
        axes.legend()
        stats = self.statistics()
        share = stats["significant_share"]
        axes.set_title(
            f"{stats['with_distance']:,} distances" + (f", {share:.1%} significant" if share is not None else "")
        )
        save(figure, path)

    def plot(self, path: str | PathLike[str], *, clip_percentile: float = 99.0) -> None:
        """PNG of the core points seen from above and along x and y, coloured by change
        (a diverging map, symmetric about 0, saturating at the `clip_percentile`th
        percentile of |distance|), points whose change is within their LoD in grey and
        those without a distance left out."""
        plt = pyplot()
        measured = np.flatnonzero(np.isfinite(self.distance))
        drawn = measured
        if len(drawn) > MAX_DRAWN:
            drawn = np.sort(np.random.default_rng(0).choice(drawn, MAX_DRAWN, replace=False))
        points, values = self.core_points[drawn], self.distance[drawn]
        significant = self.significant[drawn]
        top = float(np.percentile(np.abs(values), clip_percentile)) if len(values) else 1.0
        top = top if top > 0 else 1.0
        figure = plt.figure(figsize=(12, 10))
        image = None
        for k, (title, (u, v)) in enumerate(
            [("from above (x, y)", (0, 1)), ("along y (x, z)", (0, 2)), ("along x (y, z)", (1, 2))]
        ):
            axes = figure.add_subplot(2, 2, k + 1)
            axes.scatter(points[~significant, u], points[~significant, v], c="0.75", s=1, linewidths=0)
            image = axes.scatter(
                points[significant, u],
                points[significant, v],
                c=values[significant],
                s=1,
                cmap="RdBu_r",
                vmin=-top,
                vmax=top,
                linewidths=0,
            )
            axes.set_title(title)
            axes.set_aspect("equal", adjustable="datalim")
        note = f", {len(drawn):,} of {len(measured):,} drawn" if len(drawn) < len(measured) else ""
        figure.suptitle(f"M3C2 change, significant in colour, within LoD in grey{note}")
        if image is not None:
            figure.colorbar(image, ax=figure.axes, shrink=0.6, label="distance", extend="both")
        save(figure, path)

    def fields(self) -> dict[str, Array]:
        """The per-point result fields a written-back core-point file gains."""
        return {
            "m3c2_distance": self.distance,
            "m3c2_lod": self.lod,
            "m3c2_significant": self.significant.astype(np.uint8),
            "m3c2_spread1": self.spread1,
            "m3c2_spread2": self.spread2,
            "m3c2_count1": self.count1,
            "m3c2_count2": self.count2,
            "m3c2_nx": self.normal[:, 0],
            "m3c2_ny": self.normal[:, 1],
            "m3c2_nz": self.normal[:, 2],
        }


def save(figure: Any, path: str | PathLike[str]) -> None:
    import matplotlib.pyplot as plt

    try:
        with replacing(path) as temporary:
            figure.savefig(temporary, dpi=100, format="png")
    finally:
        plt.close(figure)


def positive(name: str, value: Any) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number > 0, not {value!r}") from None
    if not (number > 0 and math.isfinite(number)):
        raise ValueError(f"{name} must be a finite number > 0, not {value!r}")
    return number


# Points a block when numbering their cubes: small temporaries, in cache.
SUBSAMPLE_BLOCK = 65_536


def subsample_rows(points: Array, spacing: float) -> Array:
    """Rows of `points`, one per cube of edge `spacing` (the first in their order), in
    their order: core points about `spacing` apart."""
    lo = points.min(axis=0).astype(np.float64)

    def cubes(block: Array) -> Array:
        cube: Array = np.floor((block.astype(np.float64) - lo) / spacing).astype(np.int64)
        return cube

    # The arithmetic is monotone, so the highest point's cube along each axis is the last.
    extent = cubes(points.max(axis=0)[None, :])[0] + 1
    if (int(extent[0]) * int(extent[1]) * int(extent[2])).bit_length() > 62:
        _, first = np.unique(cubes(points), axis=0, return_index=True)
    else:
        # Each cube as one integer: a sort of numbers rather than of rows, several times faster.
        keys = np.empty(len(points), dtype=np.int64)
        for begin in range(0, len(points), SUBSAMPLE_BLOCK):
            cube = cubes(points[begin : begin + SUBSAMPLE_BLOCK])
            keys[begin : begin + len(cube)] = (cube[:, 0] * extent[1] + cube[:, 1]) * extent[2] + cube[:, 2]
        _, first = np.unique(keys, return_index=True)
    rows: Array = np.sort(first)
    return rows


def epoch_points(epoch: Cloud | npt.ArrayLike, name: str) -> Array:
    """An epoch's (n, 3) coordinates, float32 kept float32, read in place where they are
    already contiguous: the searches copy them into their grid, so a second copy here
    would only double the memory of large epochs. Not checked for NaN or infinities
    here: the grid's build finds them in the pass that reads every coordinate anyway
    (see `refuse_non_finite`)."""
    if isinstance(epoch, Cloud):
        return epoch.points
    try:
        array = np.asarray(epoch)
    except (ValueError, TypeError) as error:
        raise CloudError(name, f"not an array of numbers ({error})") from None
    if array.ndim != 2 or array.shape[1] < 3:
        raise CloudError(name, f"array of shape {array.shape}; expected (N, 3): one row per point")
    if array.dtype.kind not in "fiu" or array.dtype.itemsize > 8:
        raise CloudError(name, f"element type {array.dtype}; expected real numbers")
    if len(array) == 0:
        raise CloudError(name, "no points")
    points: Array = np.ascontiguousarray(array[:, :3], dtype=np.float32 if array.dtype == np.float32 else np.float64)
    return points


def refuse_non_finite(points: Array, name: str) -> None:
    """Raises CloudError naming the first point of `points` with a NaN or infinite
    coordinate, if there is one."""
    # A finite sum has no NaN or infinity among its terms: one pass and no temporary for
    # the usual case; the row-wise search only when the sum says there may be one.
    if not np.isfinite(points.sum()):
        finite = np.isfinite(points).all(axis=1)
        if not finite.all():
            raise CloudError(name, f"non-finite coordinates (NaN or infinity), first in point {int(np.argmin(finite))}")


def core_points_of(core_points: Any, epoch1: Array) -> Array:
    """The core points as float64 (q, 3): every point of epoch 1, a subsample of it at a
    spacing, or the given points (an array or a Cloud)."""
    if core_points is None:
        return np.asarray(epoch1, dtype=np.float64)
    if isinstance(core_points, (int, float)) and not isinstance(core_points, bool):
        refuse_non_finite(epoch1, "epoch1")
        rows = subsample_rows(epoch1, positive("core_points spacing", core_points))
        return np.asarray(epoch1[rows], dtype=np.float64)
    cloud = as_cloud(core_points, "core points")
    return np.asarray(cloud.points, dtype=np.float64)


def auto_direction(points: Array) -> Array:
    """The direction "auto" turns every normal to the side of: the epoch's own direction
    of least spread (the normal of the plane it lies closest to, from the covariance of
    all its points), taken on the side of +z; for a surface standing upright (that
    direction about horizontal), on the side of +y, then of +x."""
    sample = points[:: max(1, len(points) // 200_000)].astype(np.float64)
    centred = sample - sample.mean(axis=0)
    if not np.isfinite(centred).all():  # before the eigensolver, which may refuse them otherwise
        refuse_non_finite(points, "epoch1")
    _, vectors = np.linalg.eigh(centred.T @ centred)
    direction: Array = vectors[:, 0]
    for axis in (2, 1, 0):
        if abs(direction[axis]) > AUTO_TIE:
            return direction if direction[axis] > 0 else -direction
    return direction


def normal_side(normals: Any, epoch1: Array) -> tuple[int, Array, Array | None, str]:
    """(side, toward, given normals or None, description) for the native statistics."""
    if isinstance(normals, str):
        if normals == "auto":
            direction = auto_direction(epoch1)
            return SIDE_TOWARD_DIRECTION, direction, None, "auto"
        if normals in ("+z", "-z", "+y", "-y", "+x", "-x"):
            direction = np.zeros(3)
            direction["xyz".index(normals[1])] = 1.0 if normals[0] == "+" else -1.0
            return SIDE_TOWARD_DIRECTION, direction, None, normals
        raise ValueError(
            f"normals must be 'auto', '+z' (or another axis), a direction, a sensor position "
            f"or an array of normals; not {normals!r}"
        )
    if isinstance(normals, dict):
        if set(normals) == {"direction"}:
            normals = normals["direction"]
        elif set(normals) == {"sensor"}:
            sensor = np.asarray(normals["sensor"], dtype=np.float64)
            if sensor.shape != (3,) or not np.isfinite(sensor).all():
                raise ValueError(f"normals' sensor must be a finite position (x, y, z); got {normals['sensor']!r}")
            return SIDE_TOWARD_POSITION, sensor, None, "sensor"
        else:
            raise ValueError(f"normals as a dict takes one key, 'direction' or 'sensor'; got {sorted(normals)}")
    array = np.asarray(normals, dtype=np.float64)
    if array.shape == (3,):
        length = float(np.linalg.norm(array))
        if not (length > 0 and math.isfinite(length)):
            raise ValueError(f"normals' direction must be a finite, non-zero vector; got {normals!r}")
        return SIDE_TOWARD_DIRECTION, array / length, None, "direction"
    return SIDE_AS_FITTED, np.zeros(3), array, "given"


def given_normals(array: Array, count: int) -> Array:
    if array.shape != (count, 3):
        raise ValueError(
            f"normals must be a direction (3,) or one normal per core point ({count}, 3); got shape {array.shape}"
        )
    length = np.linalg.norm(array, axis=1, keepdims=True)
    with np.errstate(invalid="ignore", divide="ignore"):
        unit: Array = np.where((length > 0) & np.isfinite(length), array / length, np.nan)
    return unit


def m3c2(
    epoch1: Cloud | npt.ArrayLike,
    epoch2: Cloud | npt.ArrayLike,
    *,
    core_points: Any = None,
    normal_radius: float | Sequence[float],
    cylinder_radius: float,
    max_depth: float,
    normals: Any = "auto",
    registration_error: float = 0.0,
    robust: bool = False,
    min_points: int = 1,
    threads: int | None = None,
) -> M3C2Result:
    """M3C2 change from `epoch1` to `epoch2` (Clouds or (n, 3) arrays) at each core point.

    core_points: None (every point of epoch 1), a spacing (a float: one point of epoch 1
    per cube of that edge), or points (an array or a Cloud).
    normal_radius: the radius of the ball of epoch-1 points whose least-spread direction
    (PCA) is the normal; a list of radii picks, per core point, the most planar (least
    λ3 / (λ1 + λ2 + λ3)).
    normals: the side normals are turned to. "auto": the side of epoch 1's own overall
    normal (its direction of least spread, itself taken toward +z, or for an upright
    surface +y, then +x), which orients a terrain's normals up and a cliff's consistently
    outward-or-inward across the face; "+z" (or any "±x/±y/±z"), a direction (3,),
    {"sensor": (x, y, z)} to turn each toward a scanner position, or an (q, 3) array of
    normals used as given (normalised).
    cylinder_radius, max_depth: the cylinder along the normal (points at most
    `cylinder_radius` from its axis and `max_depth` from the core point along it, both
    boundaries included).
    robust: medians and interquartile ranges instead of means and standard deviations.
    min_points: the fewest points either cylinder must hold for a distance (NaN below).
    registration_error: added to the LoD: 1.96 (sqrt(s1²/n1 + s2²/n2) + registration_error).
    The core points are processed in a sweep over epoch 1's cells on `threads` threads (default: all the
    cores this process may use); the result does not depend on their number."""
    first, second = epoch_points(epoch1, "epoch1"), epoch_points(epoch2, "epoch2")
    radii = [normal_radius] if isinstance(normal_radius, (int, float)) else list(normal_radius)
    if not radii:
        raise ValueError("normal_radius must be a number > 0 or a non-empty list of them")
    radii_array = np.array([positive("normal_radius", r) for r in radii], dtype=np.float64)
    cylinder = positive("cylinder_radius", cylinder_radius)
    depth = positive("max_depth", max_depth)
    registration = float(registration_error)
    if not (registration >= 0 and math.isfinite(registration)):
        raise ValueError(f"registration_error must be a finite number >= 0, not {registration_error!r}")
    if isinstance(min_points, bool) or not isinstance(min_points, (int, np.integer)) or min_points < 1:
        raise ValueError(f"min_points must be a whole number >= 1, not {min_points!r}")
    cores = np.ascontiguousarray(core_points_of(core_points, first))
    if not np.isfinite(cores).all():
        raise CloudError("core points", "non-finite coordinates (NaN or infinity)")
    side, toward, normals_given, side_name = normal_side(normals, first)
    if normals_given is not None:
        normals_given = given_normals(normals_given, len(cores))

    dtype = np.float64 if np.float64 in (first.dtype, second.dtype) else np.float32
    points1 = np.ascontiguousarray(first, dtype=dtype)
    points2 = np.ascontiguousarray(second, dtype=dtype)
    # The native side takes the core points in a sweep over epoch 1's grid (neighbours
    # one after the other, their balls and cylinders sharing cells) and answers by row.
    try:
        normal, scale, position1, position2, spread1, spread2, count1, count2 = native_m3c2(
            points1,
            points2,
            cores,
            radii_array,
            normals_given,
            side,
            np.ascontiguousarray(toward),
            cylinder,
            depth,
            bool(robust),
            threads=threads,
        )
    except ValueError:
        # The grids' builds refuse non-finite coordinates: said here of the epoch that has them.
        refuse_non_finite(points1, "epoch1")
        refuse_non_finite(points2, "epoch2")
        raise
    # In place over the native call's own arrays (the positions are not returned): the
    # same operations as LOD95_FACTOR * (sqrt(s1**2 / n1 + s2**2 / n2) + registration),
    # without a fresh temporary, and fresh pages, for each.
    distance = np.subtract(position2, position1, out=position2)
    distance[(count1 < min_points) | (count2 < min_points)] = np.nan
    with np.errstate(invalid="ignore", divide="ignore"):
        lod = np.square(spread1)
        lod /= count1
        other = np.square(spread2, out=position1)
        other /= count2
        lod += other
        np.sqrt(lod, out=lod)
        lod += registration
        lod *= LOD95_FACTOR
    lod[~np.isfinite(distance)] = np.nan
    with np.errstate(invalid="ignore"):
        significant = np.abs(distance, out=other) > lod
    parameters = {
        "normal_radius": radii_array.tolist(),
        "cylinder_radius": cylinder,
        "max_depth": depth,
        "normals": side_name,
        "registration_error": registration,
        "robust": bool(robust),
        "min_points": int(min_points),
    }
    return M3C2Result(cores, distance, lod, significant, spread1, spread2, count1, count2, normal, scale, parameters)


# CloudCompare's M3C2 dialog's "preferred orientation" by its index: the axes first.
CLOUDCOMPARE_ORIENTATIONS = {0: "+x", 1: "-x", 2: "+y", 3: "-y", 4: "+z", 5: "-z"}


def read_cloudcompare_parameters(path: str | PathLike[str]) -> dict[str, Any]:
    """The keyword arguments of `m3c2` a parameter file saved by CloudCompare's M3C2
    dialog gives (an INI file, section [General]). Its scales are diameters: NormalScale,
    NormalMinScale/NormalStep/NormalMaxScale (NormalMode 1, multi-scale) and SearchScale
    become radii by halving; SearchDepth is the maximum depth; SubsampleRadius the core
    points' spacing (when SubsampleEnabled); UseMedian, RegistrationError (when
    RegistrationErrorEnabled), MinPoints4Stat (when UseMinPoints4Stat) and
    NormalPreferedOri (0 to 5: +x, -x, +y, -y, +z, -z) carry over. Raises CloudError
    for a file that is not such a file, or asks for what has no counterpart here. Keys
    are matched in any case."""
    import configparser

    parser = configparser.ConfigParser(interpolation=None)
    # Keys matched in any case (configparser's default): CloudCompare writes NormalScale,
    # py4dgeo's CloudCompare names spell it normalscale.
    source = str(path)
    try:
        with open(path, encoding="utf-8") as file:
            parser.read_file(file)
    except OSError as error:
        raise CloudError(source, f"cannot be read ({error.strerror or error})") from None
    except (configparser.Error, UnicodeDecodeError) as error:
        raise CloudError(source, f"not a CloudCompare M3C2 parameter file ({str(error).splitlines()[0]})") from None
    if not parser.has_section("General") or not parser.has_option("General", "SearchScale"):
        raise CloudError(
            source,
            "not a CloudCompare M3C2 parameter file: expected a [General] section "
            "with SearchScale, NormalScale and SearchDepth",
        )
    general = parser["General"]

    def number(key: str) -> float:
        try:
            return float(general[key])
        except KeyError:
            raise CloudError(source, f"{key} is missing") from None
        except ValueError:
            raise CloudError(source, f"{key} = {general[key]!r}; expected a number") from None

    def flag(key: str) -> bool:
        return general.get(key, "false").strip().lower() in ("true", "1")

    mode = int(number("NormalMode")) if "NormalMode" in general else 0
    arguments: dict[str, Any] = {"cylinder_radius": number("SearchScale") / 2, "max_depth": number("SearchDepth")}
    if mode == 0:
        arguments["normal_radius"] = number("NormalScale") / 2
    elif mode == 1:
        low, step, high = number("NormalMinScale"), number("NormalStep"), number("NormalMaxScale")
        if not (0 < low <= high and step > 0):
            raise CloudError(
                source,
                f"multi-scale normals from {low:g} to {high:g} by {step:g}; expected "
                "0 < NormalMinScale <= NormalMaxScale and NormalStep > 0",
            )
        count = int(math.floor((high - low) / step + 1e-9)) + 1
        arguments["normal_radius"] = [(low + k * step) / 2 for k in range(count)]
    else:
        raise CloudError(
            source,
            f"NormalMode = {mode} (normals from the cloud or vertical/horizontal) is not "
            "supported: expected 0 (one scale) or 1 (multi-scale)",
        )
    if "NormalPreferedOri" in general:
        orientation = int(number("NormalPreferedOri"))
        if orientation not in CLOUDCOMPARE_ORIENTATIONS:
            raise CloudError(
                source, f"NormalPreferedOri = {orientation} is not supported: expected 0 to 5 (+x, -x, +y, -y, +z, -z)"
            )
        arguments["normals"] = CLOUDCOMPARE_ORIENTATIONS[orientation]
    if flag("SubsampleEnabled"):
        arguments["core_points"] = number("SubsampleRadius")
    if flag("UseMedian"):
        arguments["robust"] = True
    if flag("RegistrationErrorEnabled"):
        arguments["registration_error"] = number("RegistrationError")
    if flag("UseMinPoints4Stat"):
        arguments["min_points"] = int(number("MinPoints4Stat"))
    return arguments
