"""All-by-all comparison of point clouds with the ornel API.

Every cloud is joined with every other in both directions; for each pair the script
prints the mean and maximum distance from the points of one cloud to the nearest
point of the other, each way, and the Chamfer and Hausdorff distances they give.

    python examples/join.py [FILE ...] [--threads N] [--f64] [--scale F]

Without files it generates five clouds (noisy surfaces and solid volumes, up to
40,000 points each); files may be of any format `ornel` reads. Exit status 2, with a
one-line message, for unusable input.
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np
import numpy.typing as npt

import ornel


def generated_clouds(scale: float) -> list[ornel.Cloud]:
    rng = np.random.default_rng(1)

    def count(n: int) -> int:
        return max(int(n * scale), 8)

    def sphere(n: int) -> npt.NDArray[np.float64]:
        v: npt.NDArray[np.float64] = rng.normal(size=(count(n), 3))
        v /= np.linalg.norm(v, axis=1)[:, None]
        return v

    noise = 0.004
    return [
        ornel.Cloud(sphere(40_000) + rng.normal(scale=noise, size=(count(40_000), 3)), "sphere"),
        ornel.Cloud(sphere(30_000) * 1.02 + rng.normal(scale=noise, size=(count(30_000), 3)), "sphere-b"),
        ornel.Cloud(sphere(20_000) * rng.random((count(20_000), 1)) ** (1 / 3), "ball"),
        ornel.Cloud(rng.uniform(-0.8, 0.8, (count(25_000), 3)) * [1.0, 0.6, 0.4], "box"),
        # Quantised to a 2 cm grid, as scanners store them: many exact duplicates.
        ornel.Cloud(np.round(sphere(30_000) * 50) / 50, "sphere-grid"),
    ]


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("files", nargs="*", help="point-cloud files (default: generated clouds)")
    parser.add_argument("--threads", type=int, default=None, help="thread pool size (default: all cores)")
    parser.add_argument("--f64", action="store_true", help="double precision (default: single)")
    parser.add_argument("--scale", type=float, default=1.0, help="size factor of the generated clouds")
    args = parser.parse_args()
    try:
        clouds = [ornel.Cloud.load(path) for path in args.files] if args.files else generated_clouds(args.scale)
        start = time.perf_counter()
        matrix = ornel.all_by_all(
            clouds, threads=args.threads, precision="f64" if args.f64 else "f32", progress=sys.stderr.isatty()
        )
        seconds = time.perf_counter() - start
    except ornel.CloudError as error:
        print(f"join.py: error: {error}", file=sys.stderr)
        return 2

    print(" ".join(f"{column:>12}" for column in ornel.Matrix.COLUMNS))
    for a, b, *numbers in matrix.rows():
        print(f"{a:>12} {b:>12} " + " ".join(f"{value:12.6g}" for value in numbers))
    points = sum(len(cloud) for cloud in clouds)
    print(f"{len(clouds)} clouds, {points:,} points, graphs included: {seconds:.2f} s")

    # One pair on its own: every point of the first cloud and its nearest point in the second.
    dists, idx = ornel.nearest(clouds[0], clouds[1])
    nearest_points = clouds[1].points[idx]
    print(
        f"{clouds[0].name} -> {clouds[1].name}: median {np.median(dists):.6g}, "
        f"largest {dists.max():.6g} at point {int(dists.argmax())} "
        f"(nearest: {np.array2string(nearest_points[dists.argmax()], precision=4)})"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
