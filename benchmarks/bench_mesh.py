"""Cloud-to-mesh distances: `ornel.Mesh` against Open3D's RaycastingScene and CloudCompare's
command-line C2M, on the same points and meshes, in one run.

Meshes: a scanned one (the Stanford bunny, 69,451 triangles) and a CAD one (fandisk,
12,946 large triangles) from data/meshes. Points: `--points` (default 1,000,000) drawn
on the triangles (area-weighted) and moved off them by Gaussian noise of 1% of the
mesh's extent, like a scan of the part, in the order drawn (no spatial order) and
again Morton-sorted.

  ours f32 / f64   Mesh(vertices, triangles) made and its index built inside the timed
                   call, then the exact closest point of every point: its distance and
                   triangle (the barycentric weights left out, as Open3D's distances
                   leave them: they would add 24 bytes a point); f32 is Open3D's
                   precision
  ours signed      the same, f32, signed by the faces' pseudo-normals
  o3d              RaycastingScene built (add_triangles) inside the timed call, then
                   compute_distance (float32); o3d signed: compute_signed_distance
  cc               CloudCompare -SILENT -C2M_DIST as a whole process: reading a binary
                   PLY of the points and the OBJ mesh, computing the signed distances,
                   saving the points with them as a binary PLY (-AUTO_SAVE ON)
  ornel cmd        `ornel compare POINTS.ply MESH.obj --signed --out OUT.ply` as a
                   whole process, the same files as CloudCompare's, writing every field
                   of POINTS plus the distance; again with `--store DIR`, the mesh's
                   index read from the store (kept there by the warm-up run); the
                   three whole processes timed in rounds (each once a round), with
                   their CPU seconds and peak memory (GNU time), and the ratios of
                   CloudCompare's wall and CPU time to ours

Every call gets `--threads` threads (default: 2). Printed: the median of `--repeats`
runs, min and max, bytes of peak memory per point above the input (in-process peers),
the peer's time over ours (above 1: we are faster), and each peer's largest distance
error against our double-precision answers (which are exact) and its share of points
on the same side as ours.

    python benchmarks/bench_mesh.py [--points 1000000] [--repeats 5] [--threads 2]
    python benchmarks/bench_mesh.py --whole-process-only --repeats 5
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from common import machine_line, reset_peak, status_bytes, whole_process

import ornel

MESHES = Path(__file__).resolve().parents[1] / "data" / "meshes"


def sample_near(mesh, n, rng, noise=0.01):
    corners = mesh.vertices[mesh.triangles]
    area = np.linalg.norm(np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]), axis=1)
    picked = rng.choice(len(area), n, p=area / area.sum())
    weights = rng.dirichlet([1, 1, 1], n)
    points = np.einsum("ij,ijk->ik", weights, corners[picked])
    return points + rng.normal(scale=noise * np.ptp(mesh.vertices, axis=0).max(), size=points.shape)


def runs(call, repeats):
    """(median, min, max) seconds, after an untimed warm-up, and the last result."""
    result = call()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return (statistics.median(times), min(times), max(times)), result


def peak_bytes(call):
    base = reset_peak()
    call()
    return status_bytes("VmHWM") - base


def ours(mesh, points, precision, signed, threads):
    def call():
        fresh = ornel.Mesh(mesh.vertices, mesh.triangles)
        found = fresh.closest(points, precision=precision, signed=signed, threads=threads, barycentric=False)
        return found.distance

    return call


def open3d_call(mesh, points32, signed, threads):
    import open3d as o3d

    vertices = o3d.core.Tensor(mesh.vertices.astype(np.float32))
    triangles = o3d.core.Tensor(mesh.triangles.astype(np.uint32))
    queries = o3d.core.Tensor(points32)

    def call():
        scene = o3d.t.geometry.RaycastingScene(nthreads=threads)
        scene.add_triangles(vertices, triangles)
        if signed:
            return scene.compute_signed_distance(queries, nthreads=threads).numpy()
        return scene.compute_distance(queries, nthreads=threads).numpy()

    return call


def write_ply(path, points):
    from plyfile import PlyData, PlyElement

    vertex = np.empty(len(points), [("x", "f4"), ("y", "f4"), ("z", "f4")])
    vertex["x"], vertex["y"], vertex["z"] = points.T
    PlyData([PlyElement.describe(vertex, "vertex")], text=False).write(str(path))


def row(label, figures, bytes_per_point=None, ratio=None, error=None, sides=None):
    median, low, high = figures
    text = f"  {label:<22} {median:8.3f} s  [{low:.3f} .. {high:.3f}]"
    text += f"  {bytes_per_point:7.1f} B/pt" if bytes_per_point is not None else " " * 15
    if ratio is not None:
        text += f"  peer/ours {ratio:5.2f}x"
    if error is not None:
        text += f"  max error {error:.2e}"
    if sides is not None:
        text += f"  same side {100 * sides:.2f}%"
    print(text, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--meshes", nargs="+", default=["stanford-bunny", "fandisk"])
    parser.add_argument(
        "--whole-process-only", action="store_true", help="only the whole processes (the command, CloudCompare)"
    )
    args = parser.parse_args()
    print(machine_line())
    print(f"{args.points:,} points, {args.threads} threads, median of {args.repeats} [min .. max]")
    cloudcompare = shutil.which("CloudCompare")
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as scratch:
        for name in args.meshes:
            path = MESHES / f"{name}.obj"
            mesh = ornel.Mesh.load(path)
            points = sample_near(mesh, args.points, rng)
            points32 = points.astype(np.float32)
            print(f"\n{name}: {len(mesh.triangles):,} triangles, {len(mesh.vertices):,} vertices")
            if args.whole_process_only:
                cloud_file = Path(scratch) / f"{name}-points.ply"
                write_ply(cloud_file, points32)
                whole_processes(name, path, cloud_file, Path(scratch), cloudcompare, args)
                continue
            exact = mesh.closest(points, threads=args.threads)
            signs = np.sign(mesh.closest(points, signed=True, threads=args.threads).distance)
            for order_name, order in (("drawn order", None), ("Morton-sorted", ornel.morton_order(points))):
                queries = points if order is None else points[order]
                queries32 = points32 if order is None else points32[order]
                truth = exact.distance if order is None else exact.distance[order]
                side = signs if order is None else signs[order]
                print(f" {order_name} (load now {' '.join(f'{x:.2f}' for x in os.getloadavg())})")
                figures = {}
                for label, call in (
                    ("ours f32", ours(mesh, queries, "f32", False, args.threads)),
                    ("ours f64", ours(mesh, queries, "f64", False, args.threads)),
                    ("ours f32 signed", ours(mesh, queries, "f32", True, args.threads)),
                ):
                    figures[label], result = runs(call, args.repeats)
                    result = np.asarray(result)
                    error = float(np.abs(np.abs(result) - truth).max())
                    same = float(np.mean(np.sign(result) == side)) if "signed" in label else None
                    row(label, figures[label], peak_bytes(call) / len(queries), error=error, sides=same)
                for label, signed, against in (("o3d", False, "ours f32"), ("o3d signed", True, "ours f32 signed")):
                    try:
                        call = open3d_call(mesh, queries32, signed, args.threads)
                    except ImportError:
                        print(f"  {label}: open3d not installed")
                        continue
                    times, result = runs(call, args.repeats)
                    error = float(np.abs(np.abs(result) - truth).max())
                    same = float(np.mean(np.sign(result) == side)) if signed else None
                    row(label, times, peak_bytes(call) / len(queries), times[0] / figures[against][0], error, same)
            # The whole processes read the same files: the points in drawn order.
            cloud_file = Path(scratch) / f"{name}-points.ply"
            write_ply(cloud_file, points32)
            whole_processes(name, path, cloud_file, Path(scratch), cloudcompare, args)


def whole_processes(name, mesh_file, cloud_file, scratch, cloudcompare, args):
    """`ornel compare POINTS MESH --signed --out OUT.ply` (and with the mesh's index
    stored) against CloudCompare's C2M on the same files, each a whole process, in
    rounds (every command once a round, so that a change of the shared machine's load
    reaches all alike): median wall seconds, min and max, median CPU seconds (every
    thread), peak resident memory, and each one's wall and CPU time over ours."""
    ours = [sys.executable, "-m", "ornel", "compare", str(cloud_file), str(mesh_file), "--signed"]
    ours += ["--threads", str(args.threads), "--out", str(scratch / f"{name}-ours.ply")]
    commands = {
        "ornel cmd --signed": ours,
        # The mesh's index kept by the warm-up run, read (and checked) by the timed ones.
        "ornel cmd, index stored": [*ours, "--store", str(scratch / f"{name}-store")],
    }
    if cloudcompare is None:
        print("  cc: CloudCompare not installed")
    else:
        commands["cc C2M_DIST"] = [
            cloudcompare,
            "-SILENT",
            "-NO_TIMESTAMP",
            "-C_EXPORT_FMT",
            "PLY",
            "-PLY_EXPORT_FMT",
            "BINARY_LE",
            "-AUTO_SAVE",
            "ON",
            "-O",
            str(cloud_file),
            "-O",
            str(mesh_file),
            "-C2M_DIST",
        ]
    environment = dict(os.environ, QT_QPA_PLATFORM="offscreen", OMP_NUM_THREADS=str(args.threads))
    for command in commands.values():
        whole_process(command, environment)  # warm-up: the files cached, the store filled
    results = {label: [] for label in commands}
    for _ in range(args.repeats):
        for label, command in commands.items():
            results[label].append(whole_process(command, environment))
    print(f" whole process, from files, {args.repeats} rounds, load {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    print(f"  {'command':<24}{'median s':>9}{'min':>8}{'max':>8}{'cpu s':>8}{'peak MB':>9}{'/ ours':>8}{'cpu/ours':>9}")
    wall = {label: statistics.median(s for s, _, _ in runs) for label, runs in results.items()}
    cpu = {label: statistics.median(c for _, c, _ in runs) for label, runs in results.items()}
    for label, runs in results.items():
        times = [s for s, _, _ in runs]
        print(
            f"  {label:<24}{wall[label]:>9.3f}{min(times):>8.3f}{max(times):>8.3f}{cpu[label]:>8.3f}"
            f"{max(p for _, _, p in runs) / 1e6:>9.0f}{wall[label] / wall['ornel cmd --signed']:>8.2f}"
            f"{cpu[label] / cpu['ornel cmd --signed']:>9.2f}",
            flush=True,
        )


if __name__ == "__main__":
    main()
