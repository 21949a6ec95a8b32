"""Local planes of a cloud: each point's nearest neighbours over its own graph, and the
normals fitted to them, which point-to-plane registration and signed and plane-model
distances share."""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ornel._defaults import NORMAL_NEIGHBOURS
from ornel._native import estimate_normals as native_normals
from ornel._native import knn_self, orient_normals, sheet_normals

# Rounds in which each normal takes the side most of its neighbours' normals take.
ORIENTATION_PASSES = 2
# Candidates the k-nearest search keeps for them.
NORMAL_CANDIDATES = 32
# Nearest points (the point included) whose plane picks the rest of a row on its own sheet.
SHEET_CORE = 6
# The component label of a point without a normal.
NO_COMPONENT = 2**32 - 1
# Below this balance of "away from its centre" (see `choose_sides`) a component is taken
# for an open, nearly flat or saddle-like sheet, whose outside is up.
OUTSIDE_MARGIN = 0.2
# Below this balance of "up" as well (a wall), the weak outside balance decides after all.
UP_MARGIN = 0.1

# Where a cloud's normals point: "outside", an axis ("+z", "-x", ...), a point (x, y, z).
Toward = str | Sequence[float]
# The same, checked: ("outside", None), ("axis", unit vector) or ("point", coordinates).
Side = tuple[str, tuple[float, float, float] | None]
AXES = {"x": 0, "y": 1, "z": 2}


def neighbourhoods(
    cloud: Any, neighbours: int = NORMAL_NEIGHBOURS, *, threads: int | None = None
) -> npt.NDArray[np.uint32]:
    """(n, k) rows of the `neighbours` nearest sorted points of each sorted point (itself
    first), by the exact k-nearest search over the cloud's own graph in double precision
    on `threads` threads (the rows do not depend on their number); fewer than k points
    fill a row with the point itself."""
    n = len(cloud.points)
    k = max(1, min(neighbours, n))
    indptr, indices = cloud.graph("f64", threads=threads)
    _, near = knn_self(cloud.sorted_coordinates("f64"), indptr, indices, k, max(k, NORMAL_CANDIDATES), threads=threads)
    rows: npt.NDArray[np.uint32] = np.where(near < n, near, np.arange(n, dtype=np.uint32)[:, None])
    return rows


def estimate_normals(
    cloud: Any, neighbours: int = NORMAL_NEIGHBOURS, *, threads: int | None = None
) -> npt.NDArray[np.float64]:
    """Unit normals of the cloud's sorted points (rows of `sorted_coordinates("f64")`).

    Each is the direction of least spread (principal component analysis) of the point's
    `neighbours` nearest points, found on the cloud's own graph. Orientation: first away
    from the cloud's centre, then each normal takes the side the normals of its neighbours
    mostly take (twice), which straightens the few that point inwards in hollows. Zero
    where the neighbours do not span a plane (all equal, or on one line): such a point
    then adds nothing to a point-to-plane fit. The neighbours (and the graph, if still to
    build) are searched on `threads` threads; the normals do not depend on their number."""
    normals: npt.NDArray[np.float64] = native_normals(
        cloud.sorted_coordinates("f64"), neighbourhoods(cloud, neighbours, threads=threads), ORIENTATION_PASSES
    )
    normals.flags.writeable = False
    return normals


def is_side(value: Any) -> bool:
    """Whether `value` is a side as `side_of` gives it."""
    return isinstance(value, tuple) and len(value) == 2 and isinstance(value[0], str)


def side_of(toward: Toward) -> Side:
    """`toward` checked: "outside", an axis "+x" ... "-z", or a point (three finite numbers),
    or a side so checked already; ValueError says what was expected."""
    if is_side(toward):
        return toward  # type: ignore[return-value]
    if isinstance(toward, str):
        text = toward.strip().lower()
        if text == "outside":
            return ("outside", None)
        axis = re.fullmatch(r"([+-]?)([xyz])", text)
        if axis:
            vector = [0.0, 0.0, 0.0]
            vector[AXES[axis.group(2)]] = -1.0 if axis.group(1) == "-" else 1.0
            return ("axis", (vector[0], vector[1], vector[2]))
        parts = text.split(",")
        if len(parts) == 3:
            try:
                return side_of([float(part) for part in parts])
            except ValueError:
                pass
        raise ValueError(
            f"normals must point toward 'outside', an axis (+x, -x, ..., +z, -z) or a point x,y,z; not {toward!r}"
        )
    try:
        point = np.asarray(toward, dtype=np.float64)
    except (TypeError, ValueError):
        point = np.empty(0)
    if point.shape != (3,) or not np.isfinite(point).all():
        raise ValueError(
            f"normals must point toward 'outside', an axis (+x, -x, ..., +z, -z) or a point of three "
            f"finite coordinates; not {toward!r}"
        )
    return ("point", (float(point[0]), float(point[1]), float(point[2])))


def oriented_normals(
    cloud: Any, side: Side, neighbours: int = NORMAL_NEIGHBOURS, *, threads: int | None = None
) -> npt.NDArray[np.float64]:
    """Unit normals of the cloud's sorted points, of the sheet each lies on, oriented
    consistently over each connected part of the surface and then to the `side` (see
    `choose_sides`); zero where the neighbours span no plane.

    Each normal is fitted to those of the point's `neighbours` nearest points that lie
    on the plane of its `SHEET_CORE` nearest, so that the far side of a plate thinner
    than a neighbourhood does not tilt it. The side is carried by the propagation of
    Hoppe et al. (1992) along a minimum spanning tree of 1 - |ni . nj| over the graph of
    those neighbours; across two sheets facing each other (an edge along both its ends'
    normals) both normals point away from the gap, or both into it."""
    points = cloud.sorted_coordinates("f64")
    rows = neighbourhoods(cloud, neighbours, threads=threads)
    normals, component = orient_normals(points, sheet_normals(points, rows, SHEET_CORE), rows)
    choose_sides(points, normals, component, side)
    normals.flags.writeable = False
    return normals


def choose_sides(
    points: npt.NDArray[np.float64], normals: npt.NDArray[np.float64], component: npt.NDArray[np.uint32], side: Side
) -> None:
    """Flips, in place, the normals of every component (consistently oriented, labelled
    from 0; `NO_COMPONENT` for none) whose normals do not point to `side` on balance:

    - an axis: the sum of the normals' components along it is positive;
    - a point (a sensor): the sum of the cosines between each normal and the direction
      from its point to that point is positive;
    - "outside": the normals point away from the component's centroid c, on balance
      B = sum n.(p - c) / sum |p - c| > 0, which holds on closed and on curved open
      surfaces (a sphere gives 1, a hemisphere 0.88). Where |B| < `OUTSIDE_MARGIN` the
      component is a nearly flat or saddle-like open sheet (a floor, a terrain tile)
      without an inside: its normals point up (+z) on balance instead, unless it stands
      upright (|mean n_z| < `UP_MARGIN`, a wall), where the weak B still decides."""
    has = component != NO_COMPONENT
    if not has.any():
        return
    labels = component[has].astype(np.intp)
    count = int(labels.max()) + 1
    mine, where = normals[has], points[has]

    def balance(
        weights: npt.NDArray[np.float64], scale: npt.NDArray[np.float64] | None = None
    ) -> npt.NDArray[np.float64]:
        total = np.bincount(labels, weights, count)
        size = np.bincount(labels, scale, count) if scale is not None else np.bincount(labels, minlength=count)
        return np.divide(total, size, out=np.zeros(count), where=size > 0)

    kind, vector = side
    if kind == "axis":
        vote = balance(mine @ np.asarray(vector))
    elif kind == "point":
        direction = np.asarray(vector) - where
        length = np.linalg.norm(direction, axis=1)
        along = np.einsum("ij,ij->i", mine, direction)
        vote = balance(np.divide(along, length, out=np.zeros(len(along)), where=length > 0))
    else:
        centre = np.column_stack([balance(where[:, axis]) for axis in range(3)])
        offset = where - centre[labels]
        vote = balance(np.einsum("ij,ij->i", mine, offset), np.linalg.norm(offset, axis=1))
        up = balance(mine[:, 2])
        flat = (np.abs(vote) < OUTSIDE_MARGIN) & (np.abs(up) >= UP_MARGIN)
        vote = np.where(flat, up, vote)
    flip = np.zeros(len(normals), bool)
    flip[has] = (vote < 0)[labels]
    normals[flip] *= -1


# Names of normal components in files: PLY nx ny nz, PCD normal_x ..., CloudCompare's Nx,
# LAS extra bytes in any of these spellings, or one three-valued field "normal" (normal_0 ...).
NORMAL_NAMES = re.compile(r"(n|normals?[ _.-]?)([xyz])|(normals?_)([012])", re.IGNORECASE)


def file_normals(fields: Mapping[str, npt.NDArray[Any]]) -> npt.NDArray[np.float64] | None:
    """The (n, 3) unit normals a file's per-point `fields` hold, in its own order (zero
    where a normal is zero or not finite), or None when it has no normal fields."""
    spellings: dict[str, dict[int, str]] = {}
    for name in fields:
        match = NORMAL_NAMES.fullmatch(name)
        if match:
            stem, axis = (
                (match.group(1), "xyz".index(match.group(2).lower()))
                if match.group(2)
                else (match.group(3), int(match.group(4)))
            )
            spellings.setdefault(stem.lower(), {})[axis] = name
    for names in spellings.values():
        if len(names) == 3:
            normals = np.column_stack([np.asarray(fields[names[axis]], dtype=np.float64) for axis in range(3)])
            with np.errstate(over="ignore", invalid="ignore"):
                length = np.linalg.norm(normals, axis=1)
            usable = np.isfinite(length) & (length > 0)
            unit = np.zeros_like(normals)
            unit[usable] = normals[usable] / length[usable, None]
            return unit
    return None
