"""What signed distances pay for their normals, per step, on real surfaces.

The steps of `Cloud.oriented_normals` on a cloud whose graph is built (setup, not
timed): the k-nearest rows over the graph, the plain normals (`estimate_normals`, which
unsigned plane distances and registration use) beside the sheet normals signs use, the
orientation over the graph (minimum spanning tree), and the choice of each part's side.
Peer: Open3D's `orient_normals_consistent_tangent_plane` on the same points and the
same k, where Open3D is installed (`pip install open3d`), with its own normals estimated
first (untimed).

Data: points drawn uniformly on the triangles of a real mesh (--mesh), and the
points of a real LiDAR tile (data/las, where laspy is installed), each in the order
drawn (scan order) and sorted spatially (Morton). Prints the median of --repeats runs
with min and max, and the peak bytes per point the orientation adds.

    python benchmarks/bench_normal_orientation.py [--points 1000000] [--repeats 3] [--threads 2]
"""

import argparse
import statistics
import time
from pathlib import Path

import numpy as np
from common import reset_peak, status_bytes, surface_samples

import ornel
from ornel._native import estimate_normals, orient_normals, sheet_normals
from ornel._normals import NORMAL_NEIGHBOURS, ORIENTATION_PASSES, SHEET_CORE, choose_sides, neighbourhoods, side_of

ROOT = Path(__file__).resolve().parents[1]
LAS = ROOT / "data" / "las"
MESH = ROOT / "data" / "meshes" / "stanford-bunny.obj"


def las_points(name):
    try:
        import laspy
    except ImportError:
        return None
    las = laspy.read(LAS / name)
    return np.c_[las.x, las.y, las.z]


def timed(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
    return result, times


def spread(times):
    return f"{statistics.median(times):8.3f} s  [{min(times):.3f} .. {max(times):.3f}]"


def open3d_time(points, k, repeats):
    try:
        import open3d
    except ImportError:
        return None
    cloud = open3d.geometry.PointCloud(open3d.utility.Vector3dVector(points))
    cloud.estimate_normals(open3d.geometry.KDTreeSearchParamKNN(k))
    estimated = np.asarray(cloud.normals).copy()

    def run():
        cloud.normals = open3d.utility.Vector3dVector(estimated)
        cloud.orient_normals_consistent_tangent_plane(k)

    return timed(run, repeats)[1]


def bench(name, points, repeats, threads, k):
    cloud = ornel.Cloud(points, name)
    cloud.graph("f64", threads=threads)
    coords = cloud.sorted_coordinates("f64")
    n = len(coords)
    rows, t_rows = timed(lambda: neighbourhoods(cloud, k, threads=threads), repeats)
    _, t_plain = timed(lambda: estimate_normals(coords, rows, ORIENTATION_PASSES), repeats)
    sheet, t_sheet = timed(lambda: sheet_normals(coords, rows, SHEET_CORE), repeats)
    base = reset_peak()
    (oriented, component), t_orient = timed(lambda: orient_normals(coords, sheet, rows), repeats)
    added = status_bytes("VmHWM") - base
    _, t_side = timed(lambda: choose_sides(coords, oriented.copy(), component, side_of("outside")), repeats)
    print(
        f"\n{name}: {n:,} points, k = {k}, {threads} threads for the k-nearest rows; "
        f"{len(np.unique(component[component != 2**32 - 1])):,} components"
    )
    print(f"  k-nearest rows        {spread(t_rows)}")
    print(f"  plain normals         {spread(t_plain)}")
    print(
        f"  sheet normals         {spread(t_sheet)}   {statistics.median(t_sheet) / statistics.median(t_plain):.2f}x plain"
    )
    print(f"  orientation (MST)     {spread(t_orient)}   peak +{added / n:.0f} bytes per point")
    print(f"  sides                 {spread(t_side)}")
    total = (
        statistics.median(t_rows) + statistics.median(t_sheet) + statistics.median(t_orient) + statistics.median(t_side)
    )
    print(f"  oriented normals, all {total:8.3f} s  ({1e9 * total / n:.0f} ns per point)")
    peer = open3d_time(np.asarray(points, dtype=np.float64), k, repeats)  # in the order given
    if peer is None:
        print("  Open3D                not installed")
    else:
        print(
            f"  Open3D orient (MST)   {spread(peer)}   ours {statistics.median(peer) / statistics.median(t_orient):.2f}x faster"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--neighbours", type=int, default=NORMAL_NEIGHBOURS)
    parser.add_argument("--mesh", type=Path, default=MESH, help="an .obj mesh to draw points on (default: the bunny)")
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    clouds = {f"{args.mesh.stem} mesh samples": surface_samples(rng, args.mesh, args.points, noise=0.0)}
    lidar = las_points("4_6_crop.las")
    if lidar is not None:
        clouds["LiDAR tile 4_6_crop"] = lidar
    for name, points in clouds.items():
        bench(f"{name}, scan order", points, args.repeats, args.threads, args.neighbours)
        bench(f"{name}, Morton order", points[ornel.morton_order(points)], args.repeats, args.threads, args.neighbours)


if __name__ == "__main__":
    main()
