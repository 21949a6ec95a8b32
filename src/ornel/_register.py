"""Rigid registration (ICP) of clouds to a reference, searching on the reference's Delaunay graph.

Every iteration moves the source a little, so each source point's nearest reference
point is a step or two from the one of the iteration before: the search starts there
(a warm start) instead of at a tree's root. The first iteration, which has no previous
answers, chains the source points in their spatial order, each starting at the answer
of the point before it. The reference's graph and normals are kept in its `Cloud`, so
every source registered to it reuses them."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from functools import partial
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from ornel._cloud import Cloud, as_cloud
from ornel._defaults import default_threads
from ornel._errors import CloudError
from ornel._formats import COMMENT_STARTS, replacing
from ornel._join import run
from ornel._native import grid_nearest, point_to_plane_system, track_nearest
from ornel._planner import IndexKind, check_index, choose

Method = Literal["point_to_plane", "point_to_point"]
METHODS = ("point_to_plane", "point_to_point")
# Smallest clouds: three source points fix a rotation, four reference points a graph.
MIN_SOURCE_POINTS = 3
MIN_TARGET_POINTS = 4
# A system whose smallest eigenvalue is below this share of its largest does not fix the motion.
SINGULAR = 1e-12
# How far `init` may be from a rotation (orthonormality, determinant).
RIGID_TOLERANCE = 1e-6
# A direction of motion whose eigenvalue is at least this share of the largest is fixed by
# the overlap without testing it.
FIXED_SHARE = 0.25
# A motion the linearised system says would double the mean squared distance to the
# tangent planes (raise it by `SLIDE_RISE` times the noise's): when the re-matched points
# raise it by less than `SLIDE_KEPT` of that, the overlap does not fix the motion (noise in
# the normals made the system look well posed). Measured: slides of noisy planes,
# cylinders and spheres keep below 0.16 of it, real scans with relief (LiDAR tiles with
# trees and roofs among them) above 0.27; motions the geometry fixes cleanly, near 1.
SLIDE_RISE = 1.0
SLIDE_KEPT = 0.2

Array = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Iteration:
    """One ICP step: the fit after the step's update, and the update's size."""

    rmse: float  # root mean square distance of the correspondences
    fitness: float  # share of source points with a correspondence
    correspondences: int
    rotation: float  # angle of the update, radians
    translation: float  # length of the update's shift
    transform: Array = field(repr=False)  # the transform reached


@dataclass(frozen=True)
class Registration:
    """The result of `register`: `transform` maps source coordinates onto the target's.

    `rmse` and `fitness` are those of the correspondences at `transform` (`rmse` the root
    mean square distance of the source points to their nearest target points within
    `max_distance`, `fitness` the share of source points that have one). `converged` is
    False when `max_iterations` ran out first, or when the overlap does not fix the
    motion: then `unfixed` says which motion (a plane slides along itself) and the
    transform is not to be trusted. `history` holds every step."""

    transform: Array
    rmse: float
    fitness: float
    iterations: int
    converged: bool
    method: Method
    history: tuple[Iteration, ...] = field(repr=False)
    unfixed: str | None = None

    def apply(self, points: npt.ArrayLike) -> Array:
        """The first three columns of `points` moved by `transform` (float64)."""
        return transform_points(self.transform, np.asarray(points)[:, :3])


def transform_points(transform: Array, points: npt.ArrayLike) -> Array:
    points = np.asarray(points, dtype=np.float64)
    return points @ transform[:3, :3].T + transform[:3, 3]


def rigid_transform(
    init: npt.ArrayLike | None,
    source: str | None = None,
    rounding: float | None = None,
    report: Callable[[str], None] | None = None,
) -> Array:
    """`init` as a 4×4 float64 rigid transform (identity for None); anything else is refused.

    `rounding`: how far each entry of the rotation may be from the value meant (half a
    unit of the last digit printed). A rotation that is orthonormal only to within what
    that rounding allows is replaced by the nearest rotation, and `report` told so;
    scaling, shear and reflection beyond it are refused."""
    if init is None:
        return np.eye(4)
    try:
        matrix = np.array(init, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise CloudError(source, f"not a 4x4 matrix of numbers ({error})") from None
    if matrix.shape != (4, 4):
        raise CloudError(source, f"a matrix of shape {matrix.shape}; expected 4x4")
    if not np.isfinite(matrix).all():
        raise CloudError(source, "non-finite entries in the transform")
    rotation = matrix[:3, :3]
    refusal = CloudError(
        source,
        "not a rigid transform (expected a rotation and a shift, last row 0 0 0 1; no scaling, shear or reflection)",
    )
    if np.abs(matrix[3] - [0, 0, 0, 1]).max() > RIGID_TOLERANCE or np.linalg.det(rotation) < 0:
        raise refusal
    departure = float(np.abs(rotation @ rotation.T - np.eye(3)).max())
    if departure <= RIGID_TOLERANCE:
        return matrix
    u, _, vt = np.linalg.svd(rotation)
    nearest = u @ vt  # the nearest rotation (polar decomposition)
    # Printed from a rotation R, each of the nine entries is within `rounding` of R's (so the
    # matrix within 3 · rounding of R in the Frobenius norm), and the nearest rotation is
    # no farther than R.
    if rounding is None or not np.linalg.norm(nearest - rotation) <= 3 * rounding:
        raise refusal
    matrix[:3, :3] = nearest
    if report is not None:
        report(
            f"{source}: the rotation is orthonormal only to the digits printed ({departure:.1g} off); "
            "made exactly orthonormal"
        )
    return matrix


def rotation_from_vector(omega: Array) -> Array:
    """The rotation by |omega| radians about omega (Rodrigues), exactly orthonormal."""
    angle = float(np.linalg.norm(omega))
    if angle == 0.0:
        return np.eye(3)
    k = omega / angle
    cross = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    rotation: Array = np.eye(3) + math.sin(angle) * cross + (1 - math.cos(angle)) * (cross @ cross)
    return rotation


def rotation_angle(rotation: Array) -> float:
    return math.acos(max(-1.0, min(1.0, (float(np.trace(rotation)) - 1) / 2)))


class _Reference:
    """What every registration to one target reads of it, built once for all of them: the
    sorted coordinates, graph and normals, and the same coordinates measured from their
    centre (so that rotations far from the origin lose nothing)."""

    def __init__(self, target: Cloud, method: Method, threads: int, index: IndexKind = "graph") -> None:
        self.points = target.sorted_coordinates("f64")
        self.target, self.threads = target, threads
        self.normals = target.normals(threads=threads) if method == "point_to_plane" else None
        # Matched through the graph (walked on from the last iteration's answers), or through
        # a grid built for each iteration.
        self.graph = index == "graph"
        if self.graph:
            self.indptr, self.indices = target.graph("f64", threads=threads)
        self.centre = self.points.mean(axis=0)
        # Target coordinates near the centre differ from it exactly in double precision.
        self.local = self.points - self.centre
        lo, hi = self.points.min(axis=0), self.points.max(axis=0)
        self.extent = float(np.linalg.norm(hi - lo)) or 1.0
        # What rounding leaves of a coordinate here, and so of a distance or an RMSE.
        self.rounding = 4 * float(np.finfo(np.float64).eps) * (float(np.abs(self.centre).max()) + self.extent)

    def plane_normals(self) -> Array:
        """The target's normals, built on first use when the fit itself needs none."""
        return self.normals if self.normals is not None else self.target.normals(threads=self.threads)


class _Problem:
    """A source prepared for registration to a reference: coordinates measured from the
    reference's centre, in the source's spatial order (so that neighbouring searches
    start near each other)."""

    def __init__(self, source: Cloud, reference: _Reference) -> None:
        local = np.asarray(source.points[source.order], dtype=np.float64) - reference.centre
        # By columns: NumPy moves (n, 3) rows by a 3×3 matrix much more slowly than it scales columns.
        self.source_columns = [np.ascontiguousarray(local[:, axis]) for axis in range(3)]
        self.scratch = np.empty(len(local))

    def move(self, rotation: Array, shift: Array) -> Array:
        """R x + shift for every source point x (target-centred); a new array."""
        moved, scratch = np.empty((len(self.scratch), 3)), self.scratch
        for row in range(3):
            out = moved[:, row]
            np.multiply(self.source_columns[0], rotation[row, 0], out=scratch)
            for axis in (1, 2):
                scratch += rotation[row, axis] * self.source_columns[axis]
            np.add(scratch, shift[row], out=out)
        return moved


def register(
    source: Cloud | npt.ArrayLike,
    target: Cloud | npt.ArrayLike,
    *,
    init: npt.ArrayLike | None = None,
    method: Method = "point_to_plane",
    max_distance: float | None = None,
    max_iterations: int = 50,
    tolerance: float = 1e-5,
    threads: int | None = None,
    skip_invalid: bool = False,
    index: IndexKind = "auto",
) -> Registration:
    """Rigid transform that moves `source` onto `target`, by ICP (iterative closest point).

    - `init`: 4×4 starting transform (default identity); ICP finds the nearest local
      optimum, so a large misalignment needs a rough `init`.
    - `method`: "point_to_plane" (distances along the target's normals; fewer iterations,
      and lets flat parts slide) or "point_to_point" (closed form).
    - `max_distance`: correspondences farther apart are dropped (None keeps all); give one
      when the clouds only partly overlap.
    - Stops when an update rotates by at most `tolerance` radians, shifts by at most
      `tolerance` times the target's extent and changes the RMSE by at most `tolerance`
      of it (or by no more than rounding does, as for exact copies), or after
      `max_iterations` updates (then `converged` is False).
    - Then checks that the overlap fixes every motion: near a plane, a cylinder or a
      sphere noise alone can make the system look solvable while the source slides.
      Such a result has `converged` False and says in `unfixed` what is free.
    - `threads`: threads for the searches, and for the target's graph and normals when
      they are still to build (default: the cores this process may use).
    - `index`: how the target is searched, as for `ornel.nearest`; "auto" takes its graph,
      which every iteration reuses. The result does not depend on it.
    - `skip_invalid`: points (of clouds given as arrays) with a NaN or infinite
      coordinate are dropped instead of refused.

    Raises CloudError for too few points, no correspondences within `max_distance`, a
    system that does not fix the motion (the matched points on one line, or for
    point-to-plane all normals in one plane's directions) and a non-rigid `init`."""
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, not {method!r}")
    if max_iterations < 0:
        raise ValueError(f"max_iterations must be at least 0, not {max_iterations}")
    if max_distance is not None and not max_distance > 0:
        raise ValueError(f"max_distance must be positive, not {max_distance}")
    if threads is not None and threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    source, target = as_cloud(source, "source", skip_invalid), as_cloud(target, "target", skip_invalid)
    for cloud, least in ((source, MIN_SOURCE_POINTS), (target, MIN_TARGET_POINTS)):
        if len(cloud) < least:
            raise CloudError(cloud.source, f"{len(cloud)} points; registration needs at least {least}")
    start = rigid_transform(init)
    workers = default_threads() if threads is None else int(threads)
    kind = choose(
        check_index(index),
        len(target),
        len(source),
        searches=max_iterations + 1,
        graph_built=target.cached_graph("f64") is not None,
    )
    reference = _Reference(target, method, workers, kind)
    problem = _Problem(source, reference)
    limit2 = math.inf if max_distance is None else float(max_distance) ** 2
    c = reference.centre
    # The transform in the target-centred frame: y - c = R (x - c) + shift.
    rotation = start[:3, :3].copy()
    shift = start[:3, :3] @ c + start[:3, 3] - c
    # What the next search walks on from: the last queries, their answers and margins.
    last: tuple[Array, npt.NDArray[np.uint32], Array] | None = None

    def match(
        at: tuple[Array, Array] | None = None,
    ) -> tuple[Array, npt.NDArray[np.uint32], npt.NDArray[np.bool_] | None, Array]:
        """The correspondences at the current transform, or at `at` (rotation, shift)
        without moving the warm start on."""
        nonlocal last
        moved = problem.move(rotation, shift) if at is None else problem.move(*at)
        queries = moved + c
        if reference.graph:
            previous, starts, margins = last if last is not None else (None, None, None)
            squared, idx, margins = track_nearest(
                reference.points, reference.indptr, reference.indices, queries, previous, starts, margins, workers
            )
            if at is None:
                last = queries, idx, margins
        else:
            squared, idx = grid_nearest(reference.points, queries, threads=workers)
        keep = squared <= limit2
        return moved, idx, None if keep.all() else keep, squared

    def fit(squared: Array, keep: npt.NDArray[np.bool_] | None) -> tuple[float, float, int]:
        kept = squared if keep is None else squared[keep]
        if len(kept) == 0:
            where = f"within max_distance {max_distance:g}" if max_distance is not None else "at all"
            raise CloudError(
                source.source,
                f"no point has a correspondence in {target.source} {where}; "
                "give a larger max_distance or a closer init",
            )
        return math.sqrt(float(kept.mean())), len(kept) / len(squared), len(kept)

    moved, idx, keep, squared = match()
    rmse, fitness, count = fit(squared, keep)

    def solve() -> tuple[Array, Array]:
        if reference.normals is not None:
            system, rhs = point_to_plane_system(
                moved, reference.local, reference.normals, idx, squared, limit2, 1 / reference.extent
            )
            return plane_step(system, rhs, count, reference.extent, source.source)
        pairs = idx if keep is None else idx[keep]
        kept = moved if keep is None else moved[keep]
        return point_to_point(kept, reference.local.take(pairs, axis=0), source.source)

    def rematch(new_rotation: Array, new_shift: Array) -> tuple[float, float, int]:
        nonlocal rotation, shift, moved, idx, keep, squared, rmse, fitness, count
        rotation, shift = new_rotation, new_shift
        moved, idx, keep, squared = match()
        rmse, fitness, count = fit(squared, keep)
        return rmse, fitness, count

    def planes_at(at: tuple[Array, Array] | None) -> tuple[Array, Array, Array, Array]:
        normals = reference.plane_normals()
        moved_there, idx_there, _, squared_there = (moved, idx, keep, squared) if at is None else match(at)
        return moved_there, reference.local.take(idx_there, axis=0), normals.take(idx_there, axis=0), squared_there

    history, converged = icp_iterations(
        rotation, shift, rmse, solve, rematch, c, reference.extent, reference.rounding, max_iterations, tolerance
    )
    unfixed = unfixed_motion(planes_at, rotation, shift, reference.extent, limit2)
    transform = world_transform(rotation, shift, c)
    return Registration(
        transform, rmse, fitness, len(history), converged and unfixed is None, method, tuple(history), unfixed
    )


def icp_iterations(
    rotation: Array,
    shift: Array,
    rmse: float,
    solve: Callable[[], tuple[Array, Array]],
    rematch: Callable[[Array, Array], tuple[float, float, int]],
    centre: Array,
    extent: float,
    rounding: float,
    max_iterations: int,
    tolerance: float,
) -> tuple[list[Iteration], bool]:
    """The ICP loop every registration runs, in the target-centred frame
    y - centre = R (x - centre) + shift: `solve` gives the update from the current
    correspondences, `rematch` takes the updated (R, shift), matches anew and gives the
    fit (rmse, fitness, count). Returns the steps and whether they converged."""
    history: list[Iteration] = []
    for _ in range(max_iterations):
        update_rotation, update_shift = solve()
        rotation = update_rotation @ rotation
        shift = update_rotation @ shift + update_shift
        previous = rmse
        rmse, fitness, count = rematch(rotation, shift)
        step = Iteration(
            rmse,
            fitness,
            count,
            rotation_angle(update_rotation),
            float(np.linalg.norm(update_shift)),
            world_transform(rotation, shift, centre),
        )
        history.append(step)
        # An exact fit ends at the rounding floor, where the RMSE's relative change is noise.
        if (
            step.rotation <= tolerance
            and step.translation <= tolerance * extent
            and abs(rmse - previous) <= max(tolerance * previous, rounding)
        ):
            return history, True
    return history, False


def _plane_residuals(moved: Array, targets: Array, normals: Array, squared: Array, limit2: float) -> Array:
    """Signed distances of the kept moved points to the tangent planes at their matches."""
    keep = squared <= limit2
    residuals: Array = np.einsum("ij,ij->i", moved[keep] - targets[keep], normals[keep])
    return residuals


def unfixed_motion(
    planes_at: Callable[[tuple[Array, Array] | None], tuple[Array, Array, Array, Array]],
    rotation: Array,
    shift: Array,
    extent: float,
    limit2: float,
) -> str | None:
    """What motion the correspondences at (rotation, shift) do not fix, in words, or None.

    `planes_at(None)` gives the moved points, their matched points, the plane normals there
    and the squared distances at (rotation, shift); `planes_at((R, shift))` the same with
    the points matched anew at another transform.

    The point-to-plane system's eigenvectors are the directions of motion, its
    eigenvalues how fast each would raise the squared distances to the tangent planes if
    the points kept their matches. Noise in the normals gives even a plane's slides a
    small eigenvalue. So each weak direction is tried: a step the system says would
    double the mean squared plane distance (whose present value is the noise) is
    taken both ways with the points matched anew; a direction that the
    geometry fixes raises it about as predicted, a slide along a plane (or the axis of a
    cylinder, or a turn of a sphere) leaves it where it was. Plane distances rather than
    point distances, so that points slid past the overlap's edge count for nothing: two
    scans' edges are where each scan stopped, not a feature they share."""
    moved, targets, normals, squared = planes_at(None)
    each = np.arange(len(moved), dtype=np.uint32)
    system, _ = point_to_plane_system(moved, targets, normals, each, squared, limit2, 1 / extent)
    eigenvalues, vectors = np.linalg.eigh(system)
    keep = squared <= limit2
    count = int(keep.sum())
    if count == 0 or not eigenvalues[-1] > 0:
        return None
    at_rest = float(np.mean(_plane_residuals(moved, targets, normals, squared, limit2) ** 2))
    # Exact copies have no noise: a floor far below any measurable slide.
    noise = max(at_rest, (1e-7 * extent) ** 2)
    free = 0
    for eigenvalue, direction in zip(eigenvalues, vectors.T):
        if eigenvalue >= FIXED_SHARE * eigenvalues[-1]:
            break
        step = math.sqrt(SLIDE_RISE * noise * count / eigenvalue) if eigenvalue > 0 else math.inf
        if step < extent:
            rises = []
            for sign in (1.0, -1.0):
                v = sign * step * direction
                turn = rotation_from_vector(v[:3] / extent)
                residuals = _plane_residuals(*planes_at((turn @ rotation, turn @ shift + v[3:])), limit2)
                rises.append(float(np.mean(residuals**2)) - at_rest if len(residuals) else 0.0)
            if np.mean(rises) >= SLIDE_KEPT * SLIDE_RISE * noise:
                break
        free += 1
    if free == 0:
        return None
    return _describe_free(normals[keep], free)


def _describe_free(normals: Array, free: int) -> str:
    """The shape the matched normals describe and the motion it leaves free, in words."""
    spread, axes = np.linalg.eigh(normals.T @ normals)

    def shown(axis: Array) -> str:
        axis = axis if axis[np.argmax(np.abs(axis))] > 0 else -axis
        return ", ".join(f"{value:.2f}" for value in np.round(axis, 2) + 0.0)

    if spread[1] < 0.1 * spread[2]:  # every normal along one direction
        shape, motion = "plane", f"a slide along it or a turn about its normal ({shown(axes[:, 2])})"
    elif spread[0] < 0.1 * spread[1]:  # every normal across one direction
        shape, motion = "cylinder", f"a slide along its axis ({shown(axes[:, 0])}) or a turn about it"
    else:
        shape, motion = "sphere", "a turn about its centre"
    return (
        f"the scans are close to a {shape}: their overlap does not fix {motion} ({free} of the 6 degrees of "
        "freedom); give --init or use a scene with more relief"
    )


def world_transform(rotation: Array, shift: Array, centre: Array) -> Array:
    """The 4×4 of y - c = R (x - c) + shift."""
    transform = np.eye(4)
    transform[:3, :3] = rotation
    transform[:3, 3] = shift + centre - rotation @ centre
    return transform


def point_to_point(moved: Array, matched: Array, source: str | None) -> tuple[Array, Array]:
    """The rigid motion taking `moved` nearest to `matched` in the least-squares sense
    (Umeyama's closed form by SVD of the cross-covariance)."""
    # Means and moments by matrix products, ten times faster than centring copies first
    # (NumPy also reduces (n, 3) arrays along their rows slowly). Taking the means off the
    # moments afterwards cancels digits in proportion to the squared distance of their
    # mean from the target's centre over their spread: beyond a hundred, centre first (so
    # that a line's second spread stays far below SINGULAR).
    count = len(moved)
    with np.errstate(over="ignore", invalid="ignore"):
        # With room for the centred moments, whose terms may be four times as large.
        second = moved.T @ moved
        overflows = not np.isfinite(16 * (float(second.sum()) + float((matched.T @ matched).sum())))
    if count and overflows:
        # Squares of coordinates beyond some 1e150 overflow: fit in units of a power of two
        # (exact), then scale the shift back.
        unit = 2.0 ** math.frexp(max(float(np.abs(moved).max()), float(np.abs(matched).max())))[1]
        rotation, shift = point_to_point(moved / unit, matched / unit, source)
        return rotation, shift * unit
    ones = np.ones(count)
    mean_moved, mean_matched = ones @ moved / count, ones @ matched / count
    spread_matrix = second - count * np.outer(mean_moved, mean_moved)
    cross = moved.T @ matched - count * np.outer(mean_moved, mean_matched)
    if count * float(mean_moved @ mean_moved) > 1e2 * abs(np.trace(spread_matrix)):
        a, b = moved - mean_moved, matched - mean_matched
        spread_matrix, cross = a.T @ a, a.T @ b
    spread = np.linalg.eigvalsh(spread_matrix)
    if count < 3 or not spread[1] > SINGULAR * spread[2]:
        raise CloudError(source, f"the {count} matched points lie on one line: the rotation about it is not determined")
    u, _, vt = np.linalg.svd(cross)
    reflect = np.eye(3)
    reflect[2, 2] = np.sign(np.linalg.det(vt.T @ u.T)) or 1.0
    rotation = vt.T @ reflect @ u.T
    return rotation, mean_matched - rotation @ mean_moved


def plane_step(
    system: Array, rhs: Array, count: int, extent: float, source: str | None, remedy: str = "try --point-to-point"
) -> tuple[Array, Array]:
    """The small rigid motion minimising the squared distances of the source points to the
    tangent planes at their matches, by the usual linearisation (rotation ≈ identity +
    [omega]×), from the normal equations `point_to_plane_system` summed (lever arms in
    units of the extent, so that the columns are comparable), then made an exact rotation.
    `remedy` ends the refusal of a system that does not fix the motion."""
    eigenvalues = np.linalg.eigvalsh(system)
    if count < 6 or not eigenvalues[0] > SINGULAR * eigenvalues[-1]:
        raise CloudError(
            source,
            f"the {count} correspondences do not fix the motion (the target's normals "
            f"there leave a slide or turn free, as on a plane or a cylinder); {remedy}",
        )
    solution = np.asarray(np.linalg.solve(system, rhs), dtype=np.float64)
    rotation = rotation_from_vector(solution[:3] / extent)
    return rotation, solution[3:]


def register_many(
    sources: Sequence[Cloud | npt.ArrayLike],
    target: Cloud | npt.ArrayLike,
    *,
    threads: int | None = None,
    **options: Any,
) -> list[Registration]:
    """`register(source, target, **options)` for every source, from a pool of `threads`
    threads (default: the cores this process may use), each registration searching on
    one of them. The target's graph and normals are built once, before, and kept in it."""
    target = as_cloud(target, "target", options.get("skip_invalid", False))
    if threads is not None and threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    workers = default_threads() if threads is None else int(threads)
    method = options.get("method", "point_to_plane")
    if len(target) >= MIN_TARGET_POINTS and method in METHODS:
        # Each registration then finds them in the target and reads them from every thread.
        _Reference(target, method, workers)
    calls = [partial(register, source, target, threads=1, **options) for source in sources]
    with ThreadPoolExecutor(max_workers=workers) as pool:
        return run(pool, calls, lambda: None)


def read_transform(path: str, report: Callable[[str], None] | None = None) -> Array:
    """A rigid 4×4 transform from a text file (four rows of four numbers; lines starting
    with #, // or % are comments). Read as the point files are: UTF-8 (a byte-order mark
    skipped), UTF-16 when it starts with its byte-order mark (as PowerShell writes), and
    bytes that are not UTF-8 taken as unreadable characters, which matter only outside
    comments. A rotation printed with few digits is made orthonormal (see
    `rigid_transform`), and `report` told so."""
    try:
        with open(path, "rb") as file:
            raw = file.read()
    except OSError as error:
        raise CloudError(path, f"cannot be read ({error.strerror or error})") from None
    if raw.startswith((b"\xff\xfe", b"\xfe\xff")):
        text = raw.decode("utf-16", errors="replace")
    else:
        text = raw.decode("utf-8", errors="replace")
    rows = [
        line.replace(",", " ").split()
        for line in text.removeprefix("\ufeff").splitlines()
        if line.strip() and not line.lstrip().startswith(COMMENT_STARTS)
    ]
    shape = (len(rows), len(rows[0]) if rows else 0)
    if len(rows) != 4 or any(len(row) != 4 for row in rows):
        raise CloudError(
            path, f"{shape[0]} rows of {shape[1]} numbers; expected a 4x4 matrix, four rows of four numbers"
        )
    try:
        matrix = np.array([[float(value) for value in row] for row in rows])
    except ValueError as error:
        raise CloudError(path, f"not numbers ({error}); expected a 4x4 matrix") from None
    return rigid_transform(matrix, path, _rounding([row[:3] for row in rows[:3]]), report)


def _rounding(texts: list[list[str]]) -> float | None:
    """How far each number of a rotation may be from the value meant: half a unit of the
    finest last digit printed among its entries of size 0.1 or more ("0.707107" and
    "7.07107e-01": 5e-7). Those set the printer's precision: a shortest-form printer
    drops the trailing zeros of small and whole entries. None where all of those are
    whole numbers (a rotation by quarter turns is printed exactly)."""
    finest = None
    for text in (t for row in texts for t in row):
        mantissa, _, exponent = text.lower().partition("e")
        _, dot, fraction = mantissa.partition(".")
        try:
            value, power = float(text), int(exponent) if exponent else 0
        except ValueError:
            continue
        if abs(value) >= 0.1 and (dot or exponent) and value != round(value):
            digits = len(fraction) - power
            finest = digits if finest is None else max(finest, digits)
    return None if finest is None else 0.5 * 10.0**-finest


def format_transform(transform: Array) -> str:
    """Four lines of four numbers, each written with enough digits to read back exactly."""
    return "".join(" ".join(f"{value:.17g}" for value in row) + "\n" for row in transform)


def write_transform(path: str, transform: Array) -> None:
    """Writes the matrix as text, whole or not at all (through `replacing`)."""
    try:
        with replacing(path) as temporary, open(temporary, "w", encoding="utf-8") as file:
            file.write(format_transform(transform))
    except OSError as error:
        raise CloudError(path, f"cannot be written ({error.strerror or error})") from None
