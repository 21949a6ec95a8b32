"""ornel.all_by_all on a two-worker Dask LocalCluster against the threaded local call.

16 noisy scans of 25,000 points (subsampled from data/stanford-bunny.npy), float32,
every step included: graphs, grouped query sets, searches, and for the cluster the
scattering of the clouds and the gathering of the tiles. Clouds are made afresh for
every run, so no graph survives from one run to the next. The cluster is started
once (not timed); each worker is one process with one thread, and the local call
uses as many threads as the cluster has workers.

Prints the medians, the cluster's overhead per ordered pair (cluster minus local,
over C * (C - 1) pairs), the same in CPU time, and each worker's memory: its resident size when idle and
the peak reached during the runs.

    python benchmarks/bench_distributed.py [--clouds 16] [--points 25000] [--repeats 3] [--tile N]
"""

import argparse
import resource
import statistics
import time

import numpy as np
from common import real_scan

import ornel
import ornel.distributed


def resident_and_peak() -> tuple[int, int]:
    """This process's resident size now and its peak so far, in bytes (Linux)."""
    with open("/proc/self/statm") as statm:
        resident = int(statm.read().split()[1]) * resource.getpagesize()
    return resident, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def make_clouds(count: int, points: int) -> list[ornel.Cloud]:
    rng = np.random.default_rng(15)
    return [ornel.Cloud(real_scan(rng, "stanford-bunny.npy", points), f"scan{k:02d}") for k in range(count)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clouds", type=int, default=16)
    parser.add_argument("--points", type=int, default=25_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--tile", type=int, default=None, help="clouds per tile side (default: ornel's)")
    args = parser.parse_args()
    from distributed import Client, LocalCluster

    workers = 2
    with (
        LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=40
        ) as cluster,
        Client(cluster) as client,
    ):
        idle = client.run(resident_and_peak)
        local_times, cluster_times, local_cpu, cluster_cpu = [], [], [], []
        for _ in range(args.repeats):
            clouds = make_clouds(args.clouds, args.points)
            start, cpu = time.perf_counter(), cpu_seconds()
            local = ornel.all_by_all(clouds, threads=workers)
            local_times.append(time.perf_counter() - start)
            local_cpu.append(cpu_seconds() - cpu)
            clouds = make_clouds(args.clouds, args.points)
            start, cpu = time.perf_counter(), cpu_seconds() + sum(client.run(cpu_seconds).values())
            remote = ornel.distributed.all_by_all(clouds, client, tile=args.tile)
            cluster_times.append(time.perf_counter() - start)
            cluster_cpu.append(cpu_seconds() + sum(client.run(cpu_seconds).values()) - cpu)
            # A benchmark of a wrong answer is worth nothing.
            np.testing.assert_allclose(remote.mean, local.mean, rtol=1e-6)
            np.testing.assert_allclose(remote.max, local.max, rtol=1e-6)
        after = client.run(resident_and_peak)
    pairs = args.clouds * (args.clouds - 1)
    local_s, cluster_s = statistics.median(local_times), statistics.median(cluster_times)
    local_c, cluster_c = statistics.median(local_cpu), statistics.median(cluster_cpu)
    print(
        f"{args.clouds} clouds x {args.points:,} points, {pairs} ordered pairs, f32, "
        f"{workers} workers x 1 thread vs {workers} local threads, median of {args.repeats}"
    )
    print(f"local (threads={workers})        {local_s:8.2f} s   {local_s / pairs * 1e3:7.1f} ms/pair")
    print(f"LocalCluster ({workers} workers)     {cluster_s:8.2f} s   {cluster_s / pairs * 1e3:7.1f} ms/pair")
    print(
        f"cluster overhead              {cluster_s - local_s:8.2f} s   "
        f"{(cluster_s - local_s) / pairs * 1e3:7.1f} ms/pair   ratio {cluster_s / local_s:.2f}"
    )
    # On a shared machine the wall times swing with the load; CPU time (this process and
    # the workers together) shows what the cluster itself costs.
    print(
        f"CPU time: local {local_c:.2f} s, cluster {cluster_c:.2f} s (client and workers), overhead "
        f"{(cluster_c - local_c) / pairs * 1e3:.1f} ms/pair, ratio {cluster_c / local_c:.2f}"
    )
    for address in sorted(after):
        rss_idle = idle[address][0] / 2**20
        peak = after[address][1] / 2**20
        print(f"worker {address}: idle {rss_idle:6.0f} MiB, peak {peak:6.0f} MiB, needed {peak - rss_idle:6.0f} MiB")
    print(f"clouds' points alone: {args.clouds * args.points * 24 / 2**20:.0f} MiB in all")


if __name__ == "__main__":
    main()
