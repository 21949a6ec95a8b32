"""The table of an all-by-all join: mean and maximum nearest distances of every ordered
pair of clouds, and the Chamfer and Hausdorff distances made of them."""

from __future__ import annotations

import csv
from dataclasses import dataclass
from os import PathLike
from pathlib import Path

import numpy as np
import numpy.typing as npt

from ornel._formats import printable, replacing
from ornel._plot import pyplot


@dataclass(frozen=True, eq=False)
class Matrix:
    """Pairwise distances of a collection of clouds, each a (C, C) float64 array.

    `mean[i, j]`: mean over the points of cloud i of the distance to the nearest point
    of cloud j (0 on the diagonal); `max[i, j]`: the largest such distance."""

    names: list[str]
    mean: npt.NDArray[np.float64]
    max: npt.NDArray[np.float64]

    @property
    def chamfer(self) -> npt.NDArray[np.float64]:
        """Symmetric Chamfer distance: mean + mean.T."""
        chamfer: npt.NDArray[np.float64] = self.mean + self.mean.T
        return chamfer

    @property
    def hausdorff(self) -> npt.NDArray[np.float64]:
        """Symmetric Hausdorff distance: the larger of max and max.T."""
        return np.maximum(self.max, self.max.T)

    COLUMNS = ("a", "b", "mean_ab", "mean_ba", "chamfer", "max_ab", "max_ba", "hausdorff")

    def rows(self) -> list[tuple[str, str, float, float, float, float, float, float]]:
        """One row per unordered pair (i < j, in the order of `names`), as in `COLUMNS`."""
        rows = []
        for i in range(len(self.names)):
            for j in range(i + 1, len(self.names)):
                mean_ab, mean_ba = float(self.mean[i, j]), float(self.mean[j, i])
                max_ab, max_ba = float(self.max[i, j]), float(self.max[j, i])
                rows.append(
                    (
                        self.names[i],
                        self.names[j],
                        mean_ab,
                        mean_ba,
                        mean_ab + mean_ba,
                        max_ab,
                        max_ba,
                        max(max_ab, max_ba),
                    )
                )
        return rows

    def to_csv(self, path: str | PathLike[str]) -> None:
        """Writes `rows()` under a header of `COLUMNS`: the file is replaced whole, or left
        as it was if writing fails. Names are written as UTF-8, bytes that are not (from
        file names) as backslash escapes."""
        with replacing(path) as temporary, open(temporary, "w", newline="", encoding="utf-8") as file:
            writer = csv.writer(file)
            writer.writerow(self.COLUMNS)
            for row in self.rows():
                writer.writerow([printable(row[0]), printable(row[1]), *(repr(value) for value in row[2:])])

    def plot(self, path: str | PathLike[str], metric: str = "chamfer", *, log: bool = False) -> None:
        """Heatmap PNG of one symmetric or directed measure ("chamfer", "hausdorff",
        "mean", "max") with the names on both axes; `log` scales the colours
        logarithmically, so that one outlying pair does not flatten the others (zero
        entries, the diagonal, are drawn blank then). Needs matplotlib."""
        values = {"chamfer": self.chamfer, "hausdorff": self.hausdorff, "mean": self.mean, "max": self.max}
        if metric not in values:
            raise ValueError(f"metric must be one of {', '.join(values)}, not {metric!r}")
        plt = pyplot()

        n = len(self.names)
        names = [printable(name) for name in self.names]
        side = min(4 + 0.35 * n, 30)
        figure, axes = plt.subplots(figsize=(side + 1.5, side))
        shown = values[metric]
        norm = None
        if log:
            from matplotlib.colors import LogNorm

            positive = shown[shown > 0]
            shown = np.where(shown > 0, shown, np.nan)
            if len(positive):
                norm = LogNorm(vmin=float(positive.min()), vmax=float(positive.max()))
        image = axes.imshow(shown, cmap="viridis", norm=norm)
        axes.set_xticks(range(n), names, rotation=90, fontsize=8)
        axes.set_yticks(range(n), names, fontsize=8)
        direction = " (row cloud to column cloud)" if metric in ("mean", "max") else ""
        axes.set_title(f"{metric}{direction}")
        figure.colorbar(image, ax=axes, label=metric + (" (log scale)" if log else ""))
        figure.tight_layout()
        try:
            with replacing(path) as temporary:  # the same suffix: matplotlib takes the format from it
                suffix = Path(path).suffix[1:].lower()
                figure.savefig(temporary, dpi=100, format=suffix or plt.rcParams["savefig.format"])
        finally:
            plt.close(figure)
