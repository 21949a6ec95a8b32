"""Cloud-to-cloud distances from every point of one cloud to another, with what people
who measure them quote: per-point fields, a summary, F-scores, the one-sided Hausdorff
distance and where it is attained, a histogram and a picture."""

from __future__ import annotations

from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field, replace
from functools import partial
from os import PathLike
from typing import Any

import numpy as np
import numpy.typing as npt

from ornel._cloud import Cloud, Precision, as_cloud, check_precision
from ornel._defaults import DISTANCE_FIELD, NORMAL_NEIGHBOURS, default_threads
from ornel._formats import replacing
from ornel._join import QuerySet, check_double_span, grid_search_cloud, run
from ornel._normals import Toward, is_side, neighbourhoods, side_of
from ornel._planner import IndexKind, check_index, choose
from ornel._plot import pyplot

PERCENTILES = (50, 90, 95, 99)
# Below this many points per thread a search is not worth splitting.
POINTS_PER_THREAD = 50_000
# Points drawn at most in a picture: beyond, a random sample of this many (said so).
MAX_DRAWN = 200_000


def field_names(field: str = DISTANCE_FIELD, *, split: bool = False, index: bool = False) -> list[str]:
    """The names of the per-point fields a comparison writes: `field` for the distance,
    then dx, dy, dz (`split`) and index (`index`) with the same suffix: what follows
    "distance" in `field` ("distance2": dx2, index2), else "_" and `field` ("d1": dx_d1),
    so that a file compared again can take a second set beside the first."""
    suffix = field[len(DISTANCE_FIELD) :] if field.startswith(DISTANCE_FIELD) else f"_{field}"
    return [
        field,
        *((f"dx{suffix}", f"dy{suffix}", f"dz{suffix}") if split else ()),
        *((f"index{suffix}",) if index else ()),
    ]


@dataclass(eq=False)
class Comparison:
    """Every point of `a` against its nearest point of `b`.

    `distance[i]` is point i's distance (NaN where it has no nearest point: beyond
    `max_distance`, or an invalid point skipped), `index[i]` the index of that point of
    `b` (-1 where none). Arrays are in `a`'s own order, over all of `a`'s points,
    invalid ones included when they were skipped."""

    a: Cloud
    b: Cloud
    precision: Precision
    distance: npt.NDArray[np.float64]
    index: npt.NDArray[np.int64]
    max_distance: float | None = None
    a_points: npt.NDArray[Any] = field(repr=False, default_factory=lambda: np.zeros((0, 3)))
    skipped: int = 0
    # What `distance` measures: "point" (to the nearest point), "plane" (to the plane
    # through the nearest point's neighbourhood), either "signed" along b's normal.
    measure: str = "point"
    # With `max_distance`: the same comparison without it, whose exact distances beyond
    # the maximum give the F-scores at larger radii.
    unbounded: Comparison | None = field(repr=False, default=None)

    def with_measure(
        self,
        *,
        local_model: str | None = None,
        signed: bool = False,
        neighbours: int = NORMAL_NEIGHBOURS,
        normals: Toward | npt.ArrayLike = "outside",
    ) -> Comparison:
        """This comparison measured differently, the nearest points unchanged.

        `local_model="plane"`: the distance to the plane fitted (least squares, through
        their centroid) to the `neighbours` nearest points of b around each nearest point,
        which removes most of the sampling bias of point-to-point distances (the model
        idea of CloudCompare's C2C). `signed`: positive on the side b's normal points to.
        `normals` says which normals: b's own, an (n, 3) array in b's order (such as a
        file's; zero rows have none), or estimated from the same neighbourhoods, oriented
        consistently over each connected part of b and then toward a side: "outside" (the
        default), an axis ("+z", "-z", "+x", ...) or a point (x, y, z), such as the
        sensor; `ornel._normals.choose_sides` states the rule. Where the neighbours span
        no plane (all on a line), or b's given normal is zero, the distance stays unsigned."""
        if local_model not in (None, "plane"):
            raise ValueError(f"local_model must be None or 'plane', not {local_model!r}")
        if local_model is None and not signed:
            return self
        if self.unbounded is not None:
            # Measured once over every point; those beyond the maximum are then left out again.
            whole = self.unbounded.with_measure(
                local_model=local_model, signed=signed, neighbours=neighbours, normals=normals
            )
            return replace(
                whole,
                distance=np.where(self.found, whole.distance, np.nan),
                index=self.index,
                max_distance=self.max_distance,
                unbounded=whole,
            )
        side_normals = self._side_normals(normals, neighbours) if signed else None
        found = self.found
        nearest = self._sorted_nearest(found)
        point = self.distance[found]
        if local_model == "plane":
            plane_normals = self.b.normals(neighbours)[nearest]
            offsets = self.a_points[found].astype(np.float64) - _centroids(self.b, neighbours)[nearest]
            along = np.einsum("ij,ij->i", offsets, plane_normals)
            if side_normals is None:
                along = np.abs(along)
            else:
                side = np.einsum("ij,ij->i", plane_normals, side_normals[found])
                along = np.where(side < 0, -along, np.where(side > 0, along, np.abs(along)))
            measured = np.where(np.einsum("ij,ij->i", plane_normals, plane_normals) > 0, along, point)
        else:
            assert side_normals is not None
            offsets = self.a_points[found].astype(np.float64) - self.b.sorted_coordinates("f64")[nearest]
            measured = np.where(np.einsum("ij,ij->i", offsets, side_normals[found]) < 0, -point, point)
        distance = self.distance.copy()
        distance[found] = measured
        name = ("signed " if signed else "") + (local_model or "point")
        return replace(self, distance=distance, measure=name)

    def _sorted_nearest(self, found: npt.NDArray[np.bool_]) -> npt.NDArray[np.intp]:
        """The sorted position in b of the nearest point of each point that has one."""
        sorted_index = np.empty(len(self.b), np.intp)
        sorted_index[self.b.order] = np.arange(len(self.b))
        nearest: npt.NDArray[np.intp] = sorted_index[self.index[found]]
        return nearest

    def _side_normals(self, normals: Toward | npt.ArrayLike, neighbours: int) -> npt.NDArray[np.float64]:
        """Per point of a, the normal of b at its nearest point that the sign follows
        (zero rows where none: no nearest point, or no normal there)."""
        given = None if isinstance(normals, str) or is_side(normals) else np.asarray(normals)
        found = self.found
        chosen = np.zeros((len(self.index), 3))
        if given is not None and given.ndim == 2:
            if given.shape != (len(self.b), 3) or given.dtype.kind not in "fiu":
                raise ValueError(
                    f"normals of shape {given.shape} and type {given.dtype}; expected ({len(self.b)}, 3) "
                    "numbers, one row per point of b"
                )
            picked = given[self.index[found]].astype(np.float64)
            with np.errstate(over="ignore", invalid="ignore"):
                length = np.linalg.norm(picked, axis=1)
            usable = np.isfinite(length) & (length > 0)
            picked[~usable] = 0
            chosen[found] = picked
        else:
            side = side_of(normals if given is None or given.ndim != 0 else str(given))  # type: ignore[arg-type]
            chosen[found] = self.b.oriented_normals(side, neighbours)[self._sorted_nearest(found)]
        return chosen

    @property
    def found(self) -> npt.NDArray[np.bool_]:
        """Whether each point has a nearest point (within the maximum, valid)."""
        return self.index >= 0

    def fields(
        self, field: str = DISTANCE_FIELD, *, split: bool = False, index: bool = False
    ) -> dict[str, npt.NDArray[Any]]:
        """The per-point fields to write with `a`'s records (`write_records`), named as
        `field_names` says: the distances, with `split` the vectors to the nearest points,
        with `index` those points' indices in `b`."""
        values: list[npt.NDArray[Any]] = [self.distance]
        if split:
            values += list(self.split().T)
        if index:
            values.append(self.index)
        return dict(zip(field_names(field, split=split, index=index), values))

    def split(self) -> npt.NDArray[np.float64]:
        """(n, 3) vectors from each point of `a` to its nearest point of `b` (NaN where none)."""
        vectors = np.full((len(self.index), 3), np.nan)
        found = self.found
        vectors[found] = self.b.points[self.index[found]].astype(np.float64) - self.a_points[found].astype(np.float64)
        return vectors

    def with_invalid(self, valid: npt.NDArray[np.bool_] | None, points: npt.NDArray[Any]) -> Comparison:
        """This comparison of the valid points of `points` (where `valid`) spread over all
        of them: the invalid ones get NaN distances and index -1, counted as skipped."""
        if valid is None or valid.all():
            return self
        distance = np.full(len(valid), np.nan)
        index = np.full(len(valid), -1, np.int64)
        distance[valid], index[valid] = self.distance, self.index
        unbounded = None if self.unbounded is None else self.unbounded.with_invalid(valid, points)
        return Comparison(
            self.a,
            self.b,
            self.precision,
            distance,
            index,
            self.max_distance,
            points[:, :3],
            int(len(valid) - np.count_nonzero(valid)),
            self.measure,
            unbounded,
        )

    def bounded(self, max_distance: float) -> Comparison:
        """This comparison with points farther than `max_distance` left without a nearest
        point; it keeps this one as `unbounded`."""
        beyond = ~(np.abs(self.distance) <= max_distance) & self.found
        distance, index = self.distance.copy(), self.index.copy()
        distance[beyond] = np.nan
        index[beyond] = -1
        return replace(self, distance=distance, index=index, max_distance=max_distance, unbounded=self)

    def hausdorff(self) -> tuple[float, int, npt.NDArray[np.float64]]:
        """One-sided Hausdorff distance from `a` to `b` (over the points with a nearest
        point), the index of the point of `a` where it is attained (the first such), and
        that point's coordinates. (nan, -1, nan) when no point has a nearest point."""
        found = self.found
        count = int(np.count_nonzero(found))
        if not count:
            return float("nan"), -1, np.full(3, np.nan)
        sizes = np.abs(self.distance) if self.measure.startswith("signed") else self.distance
        # With every point found there is no NaN to step over, and the first maximum is the same.
        worst = int(np.argmax(sizes) if count == len(found) else np.nanargmax(sizes))
        return float(abs(self.distance[worst])), worst, self.a_points[worst].astype(np.float64)

    def f_scores(self, radii: Sequence[float]) -> list[dict[str, float]]:
        """Precision (share of `a` within r of `b`), recall (share of `b` within r of `a`)
        and their F-score, per radius: the reconstruction measures of Knapitsch et al.
        (Tanks and Temples). Needs the distances from `b` to `a`, computed once."""
        if not radii:
            return []
        back = self._backward()
        rows = []
        for r in radii:
            # Beyond the maximum distance only the unbounded comparison knows the distances.
            measured = self.unbounded if self.unbounded is not None and r > (self.max_distance or 0) else self
            precision = float(np.count_nonzero(np.abs(measured.distance) <= r)) / max(
                len(self.distance) - self.skipped, 1
            )
            recall = float(np.count_nonzero(back <= r)) / max(len(back), 1)
            f = 2 * precision * recall / (precision + recall) if precision + recall > 0 else 0.0
            rows.append({"radius": float(r), "precision": precision, "recall": recall, "f_score": f})
        return rows

    def _backward(self) -> npt.NDArray[np.float64]:
        cached = getattr(self, "_backward_cache", None)
        if cached is None:
            cached = _search(self.a, self.b, self.precision, None, default_threads(), backward=True)[0]
            self._backward_cache = cached
        return cached

    def statistics(self, radii: Sequence[float] = ()) -> dict[str, Any]:
        """The summary: counts, mean, RMS, standard deviation, min, max, percentiles (over
        the points with a nearest point), the one-sided Hausdorff distance with its point,
        and precision/recall/F-score per radius. Nothing is NaN or infinite: a measure of
        no distances is None."""
        found_rows = self.found
        everywhere = bool(found_rows.all())
        # Every point found (no bound, none skipped): the distances themselves, not a copy.
        found = self.distance if everywhere else self.distance[found_rows]
        stats: dict[str, Any] = {
            "a": self.a.source,
            "b": self.b.source,
            "precision": self.precision,
            "measure": self.measure,
            "points": len(self.distance),
            "skipped_invalid": self.skipped,
            "max_distance": self.max_distance,
            "within_max_distance": int(len(found)),
            "beyond_max_distance": int(len(self.distance) - self.skipped - len(found)),
        }
        if len(found):
            stats.update(summary(found))
        else:
            stats.update({key: None for key in ("mean", "rms", "std", "min", "max", *(f"p{p}" for p in PERCENTILES))})
        value, where, point = self.hausdorff()
        stats["hausdorff"] = None if where < 0 else {"distance": value, "index": where, "point": point.tolist()}
        stats["f_scores"] = self.f_scores(radii)
        return stats

    def to_json(self, path: str | PathLike[str], radii: Sequence[float] = ()) -> None:
        import json  # only here: a command that writes no JSON need not load it

        text = json.dumps(self.statistics(radii), indent=2) + "\n"
        with replacing(path) as temporary, open(temporary, "w", encoding="utf-8") as file:
            file.write(text)

    def histogram(self, path: str | PathLike[str], *, log: bool = False, bins: int = 100) -> None:
        """PNG histogram of the distances, the percentiles marked; `log` scales the counts."""
        plt = pyplot()
        found = self.distance[self.found]
        figure, axes = plt.subplots(figsize=(8, 4.5))
        axes.hist(found, bins=bins, color="C0", log=log)
        if len(found):
            for p, value in zip(PERCENTILES, np.percentile(found, PERCENTILES)):
                axes.axvline(value, color="C3", linewidth=1, linestyle="--")
                axes.annotate(
                    f"p{p}",
                    (value, 0.97),
                    xycoords=("data", "axes fraction"),
                    rotation=90,
                    va="top",
                    ha="right",
                    fontsize=8,
                    color="C3",
                )
        axes.set_xlabel(f"distance from {self.a.name} to {self.b.name}")
        axes.set_ylabel("points (log scale)" if log else "points")
        beyond = len(self.distance) - self.skipped - len(found)
        axes.set_title(
            f"{len(found):,} distances" + (f"; {beyond:,} beyond {self.max_distance:g} not shown" if beyond else "")
        )
        _save(figure, path)

    def plot(self, path: str | PathLike[str], *, clip_percentile: float = 99.0) -> None:
        """PNG of `a`'s points coloured by distance, seen along x, y and z and obliquely,
        with a colour bar; colours saturate at the `clip_percentile`th percentile of the
        distances. Signed distances get a diverging scale centred at 0, its limits the
        percentile of |distance| on both sides, so a dent and a bump show apart from a fit."""
        plt = pyplot()
        found = np.flatnonzero(self.found)
        drawn = found
        if len(found) > MAX_DRAWN:
            drawn = np.sort(np.random.default_rng(0).choice(found, MAX_DRAWN, replace=False))
        points = self.a_points[drawn].astype(np.float64)
        values = self.distance[drawn]
        signed = self.measure.startswith("signed")
        scale = np.abs(self.distance[found]) if signed else self.distance[found]
        top = float(np.percentile(scale, clip_percentile)) if len(found) else 1.0
        if signed and not top > 0:
            top = 1.0  # every distance 0: any symmetric scale puts them at its centre
        colours = (
            {"cmap": "RdBu_r", "vmin": -top, "vmax": top} if signed else {"cmap": "viridis", "vmin": 0, "vmax": top}
        )
        figure = plt.figure(figsize=(12, 10))
        views = [("along x (y, z)", (1, 2)), ("along y (x, z)", (0, 2)), ("along z (x, y)", (0, 1))]
        image = None
        for k, (title, (u, v)) in enumerate(views):
            axes = figure.add_subplot(2, 2, k + 1)
            # Far points last, so they are not hidden under near ones.
            order = np.argsort(np.abs(values), kind="stable")
            image = axes.scatter(points[order, u], points[order, v], c=values[order], s=1, linewidths=0, **colours)
            axes.set_title(title)
            axes.set_aspect("equal", adjustable="datalim")
        axes3 = figure.add_subplot(2, 2, 4, projection="3d")
        axes3.scatter(points[:, 0], points[:, 1], points[:, 2], c=values, s=1, linewidths=0, **colours)
        axes3.set_title("oblique")
        note = f", {len(drawn):,} of {len(found):,} points drawn" if len(drawn) < len(found) else ""
        if signed:
            title = (
                f"{self.a.name} coloured by {self.measure} distance to {self.b.name} "
                f"(colours clipped at p{clip_percentile:g} of |distance| = \u00b1{top:.4g}{note})"
            )
        else:
            title = (
                f"{self.a.name} coloured by distance to {self.b.name} "
                f"(colours clipped at p{clip_percentile:g} = {top:.4g}{note})"
            )
        figure.suptitle(title)
        if image is not None:
            figure.colorbar(
                image,
                ax=figure.axes,
                shrink=0.6,
                label="signed distance" if signed else "distance",
                extend="both" if signed else "max",
            )
        _save(figure, path)


def summary(values: npt.NDArray[np.float64]) -> dict[str, float]:
    """Mean, RMS, standard deviation, min, max and the PERCENTILES of `values` (1-D, not
    empty, no NaN), each equal to NumPy's (`mean`, `std`, `percentile`'s linear
    interpolation) bit for bit, in fewer passes and one scratch array: the squares, then
    the deviations, then a copy partitioned for the order statistics (min and max among
    them)."""
    n = len(values)
    mean = values.mean()
    scratch = np.multiply(values, values)
    rms = np.sqrt(scratch.mean())
    # NumPy's std: the root of the mean squared deviation from the mean, summed the same way.
    np.subtract(values, mean, out=scratch)
    np.multiply(scratch, scratch, out=scratch)
    std = np.sqrt(np.add.reduce(scratch) / n)
    # NumPy's linear percentiles: between the order statistics at floor and ceiling of
    # (n - 1) q, interpolated from the nearer one.
    q = np.true_divide(np.asarray(PERCENTILES), 100)
    virtual = (n - 1) * q
    below = np.floor(virtual).astype(np.intp)
    above = np.minimum(below + 1, n - 1)
    np.copyto(scratch, values)
    scratch.partition(sorted({0, n - 1, *below.tolist(), *above.tolist()}))
    low, high, t = scratch[below], scratch[above], virtual - below
    step = high - low
    percentiles = np.where(t >= 0.5, high - step * (1 - t), low + step * t)
    return {
        "mean": float(mean),
        "rms": float(rms),
        "std": float(std),
        "min": float(scratch[0]),
        "max": float(scratch[n - 1]),
        **{f"p{p}": float(v) for p, v in zip(PERCENTILES, percentiles)},
    }


def _centroids(cloud: Cloud, neighbours: int) -> npt.NDArray[np.float64]:
    """The centroid of each sorted point's `neighbours` nearest points (itself included),
    the neighbourhoods its normals are fitted to."""
    points = cloud.sorted_coordinates("f64")
    near = neighbourhoods(cloud, neighbours)
    centroids: npt.NDArray[np.float64] = points[near].mean(axis=1)
    return centroids


def _save(figure: Any, path: str | PathLike[str]) -> None:
    plt = pyplot()
    try:
        with replacing(path) as temporary:
            figure.savefig(temporary, dpi=100, format="png")
    finally:
        plt.close(figure)


def _search(
    a: Cloud,
    b: Cloud,
    precision: Precision,
    max_distance: float | None,
    threads: int,
    backward: bool = False,
    index: IndexKind = "auto",
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """Distances (float64, NaN beyond `max_distance`) and indices (-1 beyond) from every
    point of the query cloud to the target: a to b, or b to a when `backward`. Large query
    clouds are cut into pieces along their spatial order, searched on `threads` threads;
    or, where `index` and the planner choose a grid, searched through one built for them."""
    query, target = (b, a) if backward else (a, b)
    if precision == "f64":
        check_double_span(query, target)
    frame = target.frame if precision == "f32" else None
    if choose(index, len(target), len(query), graph_built=target.cached_graph(precision) is not None) == "grid":
        found, index_of = grid_search_cloud(target, query, precision, threads)
        return _beyond(found.astype(np.float64, copy=False), index_of, max_distance)
    target.prepared(precision, threads=threads)
    pieces = max(1, min(threads, len(query) // POINTS_PER_THREAD))
    cuts = np.array_split(query.order, pieces) if pieces > 1 else [None]

    def one(cut: npt.NDArray[np.int64] | None) -> tuple[npt.NDArray[Any], npt.NDArray[np.uint64]]:
        part = query if cut is None else Cloud(query.points[cut], query.name, source=query.source)
        return QuerySet([part], precision, frame).search(target, precision)

    if pieces == 1:
        results = [one(None)]
    else:
        with ThreadPoolExecutor(pieces, thread_name_prefix="ornel") as pool:
            results = run(pool, [partial(one, cut) for cut in cuts], lambda: None)
    distance = np.empty(len(query))
    internal = np.empty(len(query), np.int64)
    for cut, (d, i) in zip(cuts, results):
        where = slice(None) if cut is None else cut
        distance[where] = d
        internal[where] = i.astype(np.int64)
    return _beyond(distance, target.order[internal], max_distance)


def _beyond(
    distance: npt.NDArray[np.float64], index: npt.NDArray[np.int64], max_distance: float | None
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """Points farther than `max_distance` left without a nearest point (NaN, -1)."""
    if max_distance is not None:
        beyond = ~(distance <= max_distance)
        distance[beyond] = np.nan
        index[beyond] = -1
    return distance, index


def compare(
    a: Cloud | npt.ArrayLike,
    b: Cloud | npt.ArrayLike,
    *,
    precision: Precision = "f32",
    max_distance: float | None = None,
    threads: int | None = None,
    skip_invalid: bool = False,
    store: Any = None,
    index: IndexKind = "auto",
) -> Comparison:
    """Every point of `a` against its nearest point of `b`: a `Comparison`.

    `max_distance` leaves points farther than it without a nearest point (NaN distance,
    index -1, counted apart). `skip_invalid` drops points of `a` and `b` (given as arrays)
    with a NaN or infinite coordinate (the empty pixels of an organised scan) instead of
    refusing them; those of `a` stay in the result with NaN distances. The search runs on `threads` threads (default: the
    cores this process may use). With `store` (an `ornel.Store` or its directory), b's
    index is taken from there, or built and kept. `index` chooses b's index as for
    `ornel.nearest`; the result does not depend on it."""
    precision = check_precision(precision)
    index = check_index(index)
    if store is not None and index == "grid":
        raise ValueError("index='grid' cannot be used with a store, which searches through graphs")
    if max_distance is not None and not (max_distance >= 0 and np.isfinite(max_distance)):
        raise ValueError(f"max_distance must be a finite distance of at least 0, not {max_distance!r}")
    threads = default_threads() if threads is None else threads
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    # Arrays given are searched where they are, and copied for the result (which keeps
    # both clouds) only once the search has let go of its memory.
    b = as_cloud(b, "b", skip_invalid, borrow=True)
    if store is not None:
        from ornel._store import stored_nearest  # the store's modules (sqlite3...) only for a store

        stored_nearest(b, store, precision)
    a = as_cloud(a, "a", skip_invalid, borrow=True)
    # Searched without the bound, so that measures at radii beyond it stay exact.
    distance, nearest = _search(a, b, precision, None, threads, index=index)
    a.own()
    b.own()
    result = Comparison(a, b, precision, distance, nearest, None, a.points)
    if max_distance is not None:
        result = result.bounded(max_distance)
    return result.with_invalid(a.valid, a.spread(a.points))
