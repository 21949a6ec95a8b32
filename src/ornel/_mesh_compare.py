"""A scan compared with a mesh: every point's distance to the nearest point of the
triangles (not of the vertices), with everything a cloud-to-cloud comparison gives, and
ICP of a scan to a mesh along the faces' normals."""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from ornel._cloud import Cloud, Precision, as_cloud, check_precision
from ornel._compare import Comparison
from ornel._compare import compare as compare_clouds
from ornel._defaults import NORMAL_NEIGHBOURS
from ornel._errors import CloudError
from ornel._mesh import Mesh, has_faces
from ornel._native import point_to_plane_system
from ornel._planner import IndexKind

if TYPE_CHECKING:
    from ornel._register import Registration


@dataclass(eq=False)
class MeshComparison(Comparison):
    """A `Comparison` whose reference is a mesh: `index[i]` is the triangle holding point
    i's closest point (-1 where none) and `barycentric[i]` that point's weights of the
    triangle's corners (None where they were not kept: `compare_to_mesh(...,
    barycentric=False)`). `b` is the cloud of the mesh's vertices (what recall measures)."""

    mesh: Mesh = field(repr=False, default=None)  # type: ignore[assignment]
    barycentric: npt.NDArray[np.float64] | None = field(repr=False, default_factory=lambda: np.zeros((0, 3)))
    threads: int | None = field(repr=False, default=None)

    def closest_points(self) -> npt.NDArray[np.float64]:
        """(n, 3) closest points on the mesh (NaN where none)."""
        if self.barycentric is None:
            raise ValueError("the closest points were not kept: compare with barycentric=True")
        return self.mesh.points_at(self.index, self.barycentric)

    def split(self) -> npt.NDArray[np.float64]:
        """(n, 3) vectors from each point of `a` to its closest point on the mesh."""
        vectors: npt.NDArray[np.float64] = self.closest_points() - self.a_points.astype(np.float64)
        return vectors

    def with_measure(
        self,
        *,
        local_model: str | None = None,
        signed: bool = False,
        neighbours: int = NORMAL_NEIGHBOURS,
        normals: Any = None,
    ) -> Comparison:
        """Signed by the mesh's orientation (negative inside a closed mesh); a mesh is
        measured to its triangles, so `local_model` and `normals` do not apply."""
        if local_model is not None:
            raise ValueError("a mesh is measured to its triangles: local_model applies to clouds only")
        if normals is not None:
            raise ValueError("a mesh signs by its faces' winding: normals apply to clouds only")
        if not signed or self.measure.startswith("signed"):
            return self
        signs = self.mesh.closest(
            self.a_points, precision=self.precision, signed=True, max_distance=self.max_distance, threads=self.threads
        ).distance
        distance = self.distance.copy()
        found = self.found
        distance[found] = np.copysign(distance[found], signs[found])
        return replace(self, distance=distance, measure="signed triangle")

    def with_invalid(self, valid: npt.NDArray[np.bool_] | None, points: npt.NDArray[Any]) -> Comparison:
        if valid is None or valid.all():
            return self
        distance = np.full(len(valid), np.nan)
        index = np.full(len(valid), -1, np.int64)
        distance[valid], index[valid] = self.distance, self.index
        weights = None
        if self.barycentric is not None:
            weights = np.full((len(valid), 3), np.nan)
            weights[valid] = self.barycentric
        unbounded = None if self.unbounded is None else self.unbounded.with_invalid(valid, points)
        return replace(
            self,
            distance=distance,
            index=index,
            barycentric=weights,
            a_points=points[:, :3],
            skipped=int(len(valid) - np.count_nonzero(valid)),
            unbounded=unbounded,
        )


def compare(
    a: Cloud | npt.ArrayLike,
    b: Cloud | Mesh | npt.ArrayLike,
    *,
    precision: Precision = "f32",
    max_distance: float | None = None,
    threads: int | None = None,
    skip_invalid: bool = False,
    store: Any = None,
    index: IndexKind = "auto",
) -> Comparison:
    """Every point of `a` against its nearest point of `b`: a cloud's nearest point, or
    with a `Mesh` the nearest point of its triangles (a `MeshComparison`). See
    `ornel.Comparison` for the rest; a mesh's index is kept in the Mesh, and in `store`
    when given (read from it when it holds the index of this very mesh), and `index`
    (which of a cloud's indexes to search) applies to clouds."""
    if not isinstance(b, Mesh):
        return compare_clouds(
            a,
            b,
            precision=precision,
            max_distance=max_distance,
            threads=threads,
            skip_invalid=skip_invalid,
            store=store,
            index=index,
        )
    if store is not None:
        from ornel._store import stored_mesh_index  # the store (sqlite3) only when asked for

        stored_mesh_index(b, store, check_precision(precision))
    if index != "auto":
        raise ValueError("a mesh is searched through its own hierarchy of triangles; index applies to clouds")
    return compare_to_mesh(
        a, b, precision=precision, max_distance=max_distance, threads=threads, skip_invalid=skip_invalid
    )


def compare_to_mesh(
    a: Cloud | npt.ArrayLike,
    mesh: Mesh,
    *,
    precision: Precision = "f32",
    max_distance: float | None = None,
    threads: int | None = None,
    skip_invalid: bool = False,
    signed: bool = False,
    barycentric: bool = True,
) -> MeshComparison:
    """`compare` with a mesh, signed at once (without a second search) when `signed`.
    `barycentric=False` keeps no weights of the closest points (24 bytes a point, and a
    tenth of the search's time), where neither they nor `split` are wanted."""
    precision = check_precision(precision)
    if max_distance is not None and not (max_distance >= 0 and np.isfinite(max_distance)):
        raise ValueError(f"max_distance must be a finite distance of at least 0, not {max_distance!r}")
    if threads is not None and threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    a = as_cloud(a, "a", skip_invalid)
    # Searched without the bound, so that measures at radii beyond it stay exact.
    found = mesh.closest(
        a.points, precision=precision, signed=signed, max_distance=None, threads=threads, barycentric=barycentric
    )
    vertices = Cloud(mesh.vertices, mesh.name, source=mesh.source)
    result: Comparison = MeshComparison(
        a,
        vertices,
        precision,
        found.distance,
        found.triangle,
        None,
        a.points,
        measure="signed triangle" if signed else "triangle",
        mesh=mesh,
        barycentric=found.barycentric,
        threads=threads,
    )
    if max_distance is not None:
        result = result.bounded(max_distance)
    return result.with_invalid(a.valid, a.spread(a.points))  # type: ignore[return-value]


def load_model(path: str, name: str, *, vertices: bool = False, skip_invalid: bool = False) -> Cloud | Mesh:
    """The reference of a comparison: the file's mesh when it has faces (unless
    `vertices`), else its points (with `skip_invalid`, those with finite coordinates)."""
    if has_faces(path) and not vertices:
        return Mesh.load(path, name)
    if Path(path).suffix.lower() in (".stl", ".off"):
        return Cloud(Mesh.load(path, name).vertices, name, source=path, skip_invalid=skip_invalid)
    return Cloud.load(path, name, skip_invalid=skip_invalid)


def register_to_mesh(
    source: Cloud,
    mesh: Mesh,
    *,
    init: npt.ArrayLike | None = None,
    max_distance: float | None = None,
    max_iterations: int = 50,
    tolerance: float = 1e-5,
    threads: int | None = None,
) -> Registration:
    """The rigid transform moving `source` onto `mesh`, by point-to-plane ICP: each point
    matched to its closest point on the triangles, the plane there the face's. Stops as
    `ornel.register` does; raises CloudError when no point has a match or the matches do
    not fix the motion."""
    from ornel._register import (
        Registration,
        icp_iterations,
        plane_step,
        rigid_transform,
        unfixed_motion,
        world_transform,
    )

    if len(source) < 6:
        raise CloudError(source.source, f"{len(source)} points; registration to a mesh needs at least 6")
    start = rigid_transform(init)
    centre = mesh.centre
    extent = float(np.linalg.norm(np.ptp(mesh.vertices, axis=0))) or 1.0
    local = np.asarray(source.points[source.order], np.float64)[:, :3] - centre
    rotation = start[:3, :3].copy()
    shift = start[:3, :3] @ centre + start[:3, 3] - centre
    limit2 = math.inf if max_distance is None else float(max_distance) ** 2
    face_normals = mesh.face_normals()
    matches = np.arange(len(local), dtype=np.uint32)

    def match(
        at_rotation: npt.NDArray[np.float64] | None = None, at_shift: npt.NDArray[np.float64] | None = None
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """The closest points at the current transform, or at (at_rotation, at_shift)."""
        turn, offset = (rotation, shift) if at_rotation is None or at_shift is None else (at_rotation, at_shift)
        moved = local @ turn.T + offset
        found = mesh.closest(moved + centre, max_distance=max_distance, threads=threads)
        assert found.barycentric is not None  # asked for by default
        hit = found.triangle >= 0
        squared = np.where(hit, found.distance, np.inf) ** 2
        targets = np.where(hit[:, None], mesh.points_at(found.triangle, found.barycentric) - centre, 0.0)
        normals = np.where(hit[:, None], face_normals[np.where(hit, found.triangle, 0)], 0.0)
        return np.ascontiguousarray(moved), np.ascontiguousarray(targets), np.ascontiguousarray(normals), squared

    def fit(squared: npt.NDArray[np.float64]) -> tuple[float, float, int]:
        kept = squared[squared <= limit2]
        if len(kept) == 0:
            raise CloudError(
                source.source,
                f"no point has a closest point on {mesh.source or mesh.name} within "
                f"max_distance {max_distance:g}; give a larger max_distance or a closer init",
            )
        return math.sqrt(float(kept.mean())), len(kept) / len(squared), len(kept)

    moved, targets, normals, squared = match()
    rmse, fitness, count = fit(squared)

    def solve() -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        system, rhs = point_to_plane_system(moved, targets, normals, matches, squared, limit2, 1 / extent)
        # A mesh is matched point to plane only: no other method to suggest.
        return plane_step(system, rhs, count, extent, source.source, "give --init or a model with more relief")

    def rematch(new_rotation: npt.NDArray[np.float64], new_shift: npt.NDArray[np.float64]) -> tuple[float, float, int]:
        nonlocal rotation, shift, moved, targets, normals, squared, rmse, fitness, count
        rotation, shift = new_rotation, new_shift
        moved, targets, normals, squared = match()
        rmse, fitness, count = fit(squared)
        return rmse, fitness, count

    def planes_at(
        at: tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]] | None,
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        return (moved, targets, normals, squared) if at is None else match(*at)

    # What rounding leaves of a coordinate here, and so of a distance or an RMSE.
    rounding = 4 * float(np.finfo(np.float64).eps) * (float(np.abs(centre).max()) + extent)
    history, converged = icp_iterations(
        rotation, shift, rmse, solve, rematch, centre, extent, rounding, max_iterations, tolerance
    )
    unfixed = unfixed_motion(planes_at, rotation, shift, extent, limit2)
    transform = world_transform(rotation, shift, centre)
    return Registration(
        transform, rmse, fitness, len(history), converged and unfixed is None, "point_to_plane", tuple(history), unfixed
    )
