"""Registration (ICP): `ornel.register` against small_gicp and Open3D on the same pairs, in one run.

Pairs: noisy resamples of the shipped models (two independent scans of one surface,
noise 0.05% of the extent), the source moved by a known rotation and shift. For each
pair and method (point-to-point "ICP", point-to-plane "PLANE_ICP"), the same
correspondence distance, iteration limit and convergence thresholds for everyone
(an update below `--tolerance` radians and `--tolerance` times the target's bounding-box
diagonal; ours also waits for the RMSE to settle), no downsampling:

  whole       target structure built inside the timed call (ours: Delaunay graph, and
              normals for point-to-plane; small_gicp: kd-tree, and normals; Open3D:
              kd-tree, and normals), then the registration
  registered  the registration alone, the target's structures built beforehand
  search      each correspondence search after the first: our walk on from the previous
              iteration's answers (`track_nearest`) against pykdtree's query of the same
              points, one thread each (median, and the least, over the iterations of our run),
              and the share of points that moved less than their margin (kept unwalked)
  many        16 sources registered to one reference, reference structures included:
              `ornel.register_many` against small_gicp aligning them one after another
              with its tree and normals built once; for point-to-plane, our reference's
              graph and normals timed apart
  accuracy    on many random pairs, how often our final transform is at least as close to
              the known one as small_gicp's (where small_gicp converges)

and prints times (medians of `--repeats` runs), peer time over ours (above 1: we are
faster), iterations and the error of each final transform against the known one
(rotation in degrees; shift as the largest displacement error over the source points,
in units of the extent).

    python benchmarks/bench_register.py [--repeats 3] [--quick]
"""

import argparse
import statistics
import time

import numpy as np
from common import DATA, machine_line, median_seconds, openmp_threads, pykdtree_class
from scipy.spatial import cKDTree
from scipy.spatial.transform import Rotation

import ornel
from ornel._native import track_nearest
from ornel._normals import NORMAL_NEIGHBOURS


def resampler(name, seed):
    """Draws noisy resamples of a model's surface: points between a vertex and one of its
    8 nearest vertices, plus Gaussian noise."""
    model = np.load(DATA / name)
    extent = float(np.ptp(model, axis=0).max())
    _, near = cKDTree(model).query(model, 9)
    rng = np.random.default_rng(seed)

    def scan(n, noise=5e-4):
        i = rng.integers(0, len(model), n)
        j = near[i, rng.integers(1, 9, n)]
        return model[i] + rng.random((n, 1)) * (model[j] - model[i]) + rng.normal(scale=noise * extent, size=(n, 3))

    return scan, extent, rng


def known_motion(rng, degrees, shift, centre):
    """A rotation by `degrees` about a random axis through `centre`, then a shift."""
    axis = rng.normal(size=3)
    transform = np.eye(4)
    transform[:3, :3] = Rotation.from_rotvec(np.radians(degrees) * axis / np.linalg.norm(axis)).as_matrix()
    transform[:3, 3] = centre - transform[:3, :3] @ centre + shift
    return transform


def errors(found, truth, source, extent):
    """Rotation error (degrees) and the largest displacement error over the source (share of extent)."""
    rotation = found[:3, :3] @ truth[:3, :3].T
    angle = np.degrees(np.arccos(np.clip((np.trace(rotation) - 1) / 2, -1, 1)))
    moved = source @ found[:3, :3].T + found[:3, 3]
    expected = source @ truth[:3, :3].T + truth[:3, 3]
    return float(angle), float(np.abs(moved - expected).max() / extent)


def small_gicp_run(target, source, kind, threads, options, target_prepared=None):
    import small_gicp

    if target_prepared is None:
        target_prepared = small_gicp_target(target, kind, threads)
    cloud, tree = target_prepared
    moving = small_gicp.PointCloud(source)
    result = small_gicp.align(cloud, moving, tree, registration_type=kind, num_threads=threads, **options)
    return result.T_target_source, result.iterations, result.converged


def small_gicp_target(target, kind, threads):
    import small_gicp

    cloud = small_gicp.PointCloud(target)
    tree = small_gicp.KdTree(cloud, num_threads=threads)
    if kind == "PLANE_ICP":
        small_gicp.estimate_normals(cloud, tree, num_neighbors=NORMAL_NEIGHBOURS, num_threads=threads)
    return cloud, tree


def open3d_module():
    try:
        import open3d
    except Exception:  # noqa: BLE001 - any failure to import means: not measured
        return None
    return open3d


def open3d_run(o3d, target, source, kind, max_distance, iterations, tolerance, target_cloud=None):
    if target_cloud is None:
        target_cloud = open3d_target(o3d, target, kind)
    moving = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(source))
    estimation = (
        o3d.pipelines.registration.TransformationEstimationPointToPlane()
        if kind == "PLANE_ICP"
        else o3d.pipelines.registration.TransformationEstimationPointToPoint()
    )
    criteria = o3d.pipelines.registration.ICPConvergenceCriteria(
        relative_fitness=tolerance, relative_rmse=tolerance, max_iteration=iterations
    )
    result = o3d.pipelines.registration.registration_icp(
        moving, target_cloud, max_distance, np.eye(4), estimation, criteria
    )
    return np.asarray(result.transformation), None, None


def open3d_target(o3d, target, kind):
    cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(target))
    if kind == "PLANE_ICP":
        cloud.estimate_normals(o3d.geometry.KDTreeSearchParamKNN(knn=NORMAL_NEIGHBOURS))
    return cloud


def search_ratio(source_cloud, target, transforms, threads, repeats):
    """Median over consecutive iterations of (pykdtree query time) / (our warm walk time)."""
    KDTree = pykdtree_class()
    if KDTree is None:
        return None
    points = target.sorted_coordinates("f64")
    indptr, indices = target.graph("f64")
    tree = KDTree(points)
    source = np.ascontiguousarray(source_cloud.points[source_cloud.order], dtype=np.float64)
    ours, theirs, kept = [], [], []
    first = np.ascontiguousarray(source @ transforms[0][:3, :3].T + transforms[0][:3, 3])
    state = (first, *track_nearest(points, indptr, indices, first, threads=threads)[1:])
    for transform in transforms[1:]:
        queries = np.ascontiguousarray(source @ transform[:3, :3].T + transform[:3, 3])
        kept.append(np.mean(np.linalg.norm(queries - state[0], axis=1) < state[2]))
        squared, found, margins = track_nearest(points, indptr, indices, queries, *state, threads)
        ours.append(
            median_seconds(lambda: track_nearest(points, indptr, indices, queries, *state, threads), min(repeats, 3))
        )
        with openmp_threads(threads):
            dists, _ = tree.query(queries, k=1)
            assert np.allclose(np.sqrt(squared), dists, rtol=1e-9, atol=0), "pykdtree disagrees"
            theirs.append(median_seconds(lambda: tree.query(queries, k=1), min(repeats, 3)))
        state = (queries, found, margins)
    ratios = [t / o for t, o in zip(theirs, ours)]
    return (
        statistics.median(ours),
        statistics.median(theirs),
        statistics.median(ratios),
        min(ratios),
        statistics.median(kept),
    )


def timed(call, repeats):
    """(median seconds, last result) of `repeats` calls."""
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def draw_pair(scan, extent, rng, n_source, n_target, degrees, shift_share):
    """A target, a source moved by a known motion, and the motion that undoes it."""
    target_points = scan(n_target)
    original = scan(n_source)
    truth_inverse = known_motion(
        rng, degrees, shift_share * extent * rng.normal(size=3) / np.sqrt(3), original.mean(axis=0)
    )
    source = original @ truth_inverse[:3, :3].T + truth_inverse[:3, 3]
    return target_points, source, np.linalg.inv(truth_inverse)


def run_pair(label, scan, extent, rng, n_source, n_target, degrees, shift_share, args, o3d):
    target_points, source, truth = draw_pair(scan, extent, rng, n_source, n_target, degrees, shift_share)
    diagonal = float(np.linalg.norm(np.ptp(target_points, axis=0)))
    max_distance = 0.2 * extent
    gicp_options = dict(
        max_correspondence_distance=max_distance,
        max_iterations=args.iterations,
        rotation_epsilon=args.tolerance,
        translation_epsilon=args.tolerance * diagonal,
    )
    print(
        f"\n## {label}: {n_source:,} source points to {n_target:,} target points, {degrees}° and "
        f"{shift_share:.0%} of the extent; max distance {max_distance:.3g}, at most {args.iterations} iterations"
    )
    print(
        f"{'method':<11} {'who':<22} {'whole s':>9} {'×':>6} {'registered s':>13} {'×':>6} {'iter':>5} "
        f"{'rot err °':>10} {'shift err':>10}"
    )
    for method, kind in (("point_to_point", "ICP"), ("point_to_plane", "PLANE_ICP")):
        options = dict(
            method=method, max_distance=max_distance, max_iterations=args.iterations, tolerance=args.tolerance
        )
        rows = []
        for threads in (1, 2):

            def ours_whole():
                target = ornel.Cloud(target_points)
                return ornel.register(source, target, threads=threads, **options)

            whole, result = timed(ours_whole, args.repeats)
            prepared = ornel.Cloud(target_points)
            ornel.register(source, prepared, threads=threads, **options)
            registered, result = timed(
                lambda: ornel.register(source, prepared, threads=threads, **options), args.repeats
            )
            rows.append(
                (
                    f"ornel {threads}t",
                    threads,
                    whole,
                    registered,
                    result.iterations,
                    *errors(result.transform, truth, source, extent),
                    result.converged,
                )
            )
            if threads == 1:
                transforms = [np.eye(4)] + [step.transform for step in result.history]
                search = search_ratio(ornel.Cloud(source), prepared, transforms, 1, args.repeats)
            whole_g, (found, iterations, converged) = timed(
                lambda: small_gicp_run(target_points, source, kind, threads, gicp_options), args.repeats
            )
            target_g = small_gicp_target(target_points, kind, threads)
            registered_g, _ = timed(
                lambda: small_gicp_run(target_points, source, kind, threads, gicp_options, target_g), args.repeats
            )
            rows.append(
                (
                    f"small_gicp {threads}t",
                    threads,
                    whole_g,
                    registered_g,
                    iterations,
                    *errors(found, truth, source, extent),
                    converged,
                )
            )
        if o3d is not None:
            o3d.utility.set_verbosity_level(o3d.utility.VerbosityLevel.Error)
            whole_o, (found, _, _) = timed(
                lambda: open3d_run(o3d, target_points, source, kind, max_distance, args.iterations, args.tolerance),
                args.repeats,
            )
            target_o = open3d_target(o3d, target_points, kind)
            registered_o, _ = timed(
                lambda: open3d_run(
                    o3d, target_points, source, kind, max_distance, args.iterations, args.tolerance, target_o
                ),
                args.repeats,
            )
            rows.append(
                ("Open3D (its threads)", 2, whole_o, registered_o, None, *errors(found, truth, source, extent), None)
            )
        ours_by_threads = {row[1]: row for row in rows if row[0].startswith("ornel")}
        for name, threads, whole, registered, iterations, rot, shift, converged in rows:
            mine = ours_by_threads[threads]
            ratio = "" if name.startswith("ornel") else f"{whole / mine[2]:.2f}"
            ratio_r = "" if name.startswith("ornel") else f"{registered / mine[3]:.2f}"
            flag = "" if converged in (None, True) else " (not converged)"
            print(
                f"{kind:<11} {name:<22} {whole:9.3f} {ratio:>6} {registered:13.3f} {ratio_r:>6} "
                f"{'' if iterations is None else iterations:>5} {rot:10.2e} {shift:10.2e}{flag}"
            )
        if search is not None:
            ours_search, kd_search, ratio, least, kept = search
            print(
                f"{kind:<11} search after the first, 1 thread: ours {ours_search * 1e3:.2f} ms, pykdtree "
                f"{kd_search * 1e3:.1f} ms for {n_source:,} queries: {ratio:.1f}× (median over "
                f"{len(transforms) - 1} iterations; least {least:.1f}×); median share kept unwalked "
                f"{kept:.0%}"
            )


def run_many(scan, extent, rng, args):
    """16 sources to one reference."""
    import small_gicp

    n_target, n_source, count = (30_000, 10_000, 16) if args.quick else (100_000, 50_000, 16)
    target_points = scan(n_target)
    sources = []
    for _ in range(count):
        original = scan(n_source)
        motion = known_motion(
            rng, rng.uniform(2, 10), rng.uniform(0.01, 0.05) * extent * rng.normal(size=3) / 3, original.mean(axis=0)
        )
        sources.append(original @ motion[:3, :3].T + motion[:3, 3])
    max_distance = 0.2 * extent
    diagonal = float(np.linalg.norm(np.ptp(target_points, axis=0)))
    threads = args.many_threads
    print(
        f"\n## {count} sources of {n_source:,} points to one reference of {n_target:,} points, {threads} thread(s), "
        "reference structures included"
    )
    for method, kind in (("point_to_point", "ICP"), ("point_to_plane", "PLANE_ICP")):
        ours, results = timed(
            lambda: ornel.register_many(
                sources,
                ornel.Cloud(target_points),
                threads=threads,
                method=method,
                max_distance=max_distance,
                max_iterations=args.iterations,
                tolerance=args.tolerance,
            ),
            args.repeats,
        )

        def theirs():
            target = small_gicp_target(target_points, kind, threads)
            return [
                small_gicp.align(
                    target[0],
                    small_gicp.PointCloud(s),
                    target[1],
                    registration_type=kind,
                    num_threads=threads,
                    max_correspondence_distance=max_distance,
                    max_iterations=args.iterations,
                    rotation_epsilon=args.tolerance,
                    translation_epsilon=args.tolerance * diagonal,
                )
                for s in sources
            ]

        peer, _ = timed(theirs, args.repeats)
        print(
            f"{kind:<11} ornel.register_many {ours:.2f} s, small_gicp {peer:.2f} s: {peer / ours:.2f}× "
            f"(ours: {sum(r.iterations for r in results)} iterations in all, "
            f"{sum(r.converged for r in results)}/{count} converged)"
        )
        if method == "point_to_plane":

            def reference_parts():
                cloud = ornel.Cloud(target_points)
                start = time.perf_counter()
                cloud.graph("f64", threads=threads)
                middle = time.perf_counter()
                cloud.normals(threads=threads)
                return middle - start, time.perf_counter() - middle

            parts = [reference_parts() for _ in range(args.repeats)]
            print(
                f"            (ours, reference on {threads} thread(s): graph {statistics.median(p[0] for p in parts):.2f} s, "
                f"normals {statistics.median(p[1] for p in parts):.2f} s)"
            )


def run_accuracy(args):
    """Final transforms against known motions over many random pairs: one pair says
    little, since on noisy scans both ends lie within the noise of the known motion."""

    count = 4 if args.quick else args.accuracy_pairs
    print(
        f"\n## accuracy over {count} random pairs per model (30,000 source to 40,000 target points, "
        "2-10°, 1-5% of the extent), 2 threads"
    )
    for model in ("stanford-bunny.npy", "rocker-arm.npy"):
        for method, kind in (("point_to_point", "ICP"), ("point_to_plane", "PLANE_ICP")):
            closer_rotation = closer_shift = compared = 0
            ratios = []
            for seed in range(count):
                scan, extent, rng = resampler(model, 100 + seed)
                target_points, original = scan(40_000), scan(30_000)
                motion = known_motion(
                    rng,
                    rng.uniform(2, 10),
                    rng.uniform(0.01, 0.05) * extent * rng.normal(size=3) / np.sqrt(3),
                    original.mean(axis=0),
                )
                source = original @ motion[:3, :3].T + motion[:3, 3]
                truth = np.linalg.inv(motion)
                max_distance = 0.2 * extent
                diagonal = float(np.linalg.norm(np.ptp(target_points, axis=0)))
                ours = ornel.register(
                    source,
                    ornel.Cloud(target_points),
                    method=method,
                    max_distance=max_distance,
                    max_iterations=args.iterations,
                    tolerance=args.tolerance,
                    threads=2,
                )
                found, _, converged = small_gicp_run(
                    target_points,
                    source,
                    kind,
                    2,
                    dict(
                        max_correspondence_distance=max_distance,
                        max_iterations=args.iterations,
                        rotation_epsilon=args.tolerance,
                        translation_epsilon=args.tolerance * diagonal,
                    ),
                )
                if not converged:
                    continue
                mine, theirs = errors(ours.transform, truth, source, extent), errors(found, truth, source, extent)
                compared += 1
                closer_rotation += mine[0] <= theirs[0]
                closer_shift += mine[1] <= theirs[1]
                ratios.append(mine[1] / theirs[1])
            print(
                f"{kind:<11} {model.removesuffix('.npy'):<15} ours at least as close as small_gicp on "
                f"{closer_rotation}/{compared} pairs by rotation, {closer_shift}/{compared} by largest "
                f"displacement (median ratio of those {statistics.median(ratios):.2f})"
            )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--iterations", type=int, default=50)
    parser.add_argument("--tolerance", type=float, default=1e-5)
    parser.add_argument("--quick", action="store_true", help="small pairs only")
    parser.add_argument("--accuracy-pairs", type=int, default=12, help="random pairs per model for accuracy")
    parser.add_argument("--only-accuracy", action="store_true", help="the accuracy section alone")
    parser.add_argument("--many-threads", type=int, default=2, help="threads of the 16-scan run, ours and small_gicp's")
    parser.add_argument(
        "--pairs", type=int, nargs="*", help="only these pairs (0 to 3; none: no pair), then the many section"
    )
    args = parser.parse_args()
    print(machine_line())
    o3d = open3d_module()
    print(f"Open3D: {o3d.__version__ if o3d is not None else 'not importable, not measured'}")
    if args.only_accuracy:
        run_accuracy(args)
        return
    scan, extent, rng = resampler("stanford-bunny.npy", 1)
    pairs = [
        ("bunny", 30_000, 40_000, 2, 0.01),
        ("bunny", 100_000, 134_000, 5, 0.02),
        ("bunny", 300_000, 300_000, 10, 0.05),
    ]
    if args.quick:
        pairs = [("bunny", 30_000, 40_000, 5, 0.02)]
    arm_scan, arm_extent, arm_rng = resampler("rocker-arm.npy", 2)
    if not args.quick:
        pairs.append(("rocker arm", 100_000, 100_000, 8, 0.03))
    for number, (label, n_source, n_target, degrees, share) in enumerate(pairs):
        models = (arm_scan, arm_extent, arm_rng) if label == "rocker arm" else (scan, extent, rng)
        if args.pairs is None or number in args.pairs:
            run_pair(label, *models, n_source, n_target, degrees, share, args, o3d)
        else:  # the same draws, so that the pairs run are those of a full run
            draw_pair(*models, n_source, n_target, degrees, share)
    run_many(scan, extent, rng, args)
    if args.pairs is None:
        run_accuracy(args)
    print(f"\n{machine_line()}")


if __name__ == "__main__":
    main()
