"""The spatial order alone: what the Morton keys and their sort cost a point, against
NumPy's stable argsort of the same keys (the keys not timed for NumPy).

  morton_order   ornel.morton_order(points): the keys and their sort on one thread,
                 the order given back as int64 rows
  grid build     ornel._native.grid_nearest(points, one query, threads): the grid of
                 cells, whose cost is the sort's plus a gather of the coordinates and
                 the cell directory
  numpy argsort  np.argsort(keys, kind="stable") of keys made beforehand

Data: 1,000,000 points (by default) resampled from data/stanford-bunny.npy with noise,
in scan order, and a uniform cube. Prints per method the median seconds of the runs,
their min and max, and ns a point.

    python benchmarks/bench_order.py
    python benchmarks/bench_order.py --n 4000000 --threads 1 2 --repeats 5
"""

import argparse
import statistics
import sys
from pathlib import Path

import numpy as np
from common import machine_line, timed_runs

import ornel
from ornel._native import grid_nearest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from conftest import reference_morton_keys  # noqa: E402

DATA = Path(__file__).resolve().parents[1] / "data"


def bunny(n, rng):
    """A noisy resampling of the bunny, in the file's (scan) order, as bench_pair's."""
    model = np.load(DATA / "stanford-bunny.npy").astype(np.float64)[:, :3]
    noise = 1e-3 * float(np.ptp(model, axis=0).max())
    picks = np.sort(rng.integers(0, len(model), n))
    return model[picks] + rng.normal(scale=noise, size=(n, 3))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    print(machine_line())
    rng = np.random.default_rng(7)
    clouds = {"bunny": bunny(args.n, rng), "uniform": rng.random((args.n, 3))}
    for name, points in clouds.items():
        one_query = points[:1].copy()
        keys = reference_morton_keys(points)
        assert np.array_equal(ornel.morton_order(points), np.argsort(keys, kind="stable"))
        rows = {"morton_order 1t": timed_runs(lambda: ornel.morton_order(points), args.repeats)}
        for threads in args.threads:
            rows[f"grid build {threads}t"] = timed_runs(lambda: grid_nearest(points, one_query, threads), args.repeats)
        rows["numpy argsort"] = timed_runs(lambda: np.argsort(keys, kind="stable"), args.repeats)
        print(f"\n{name} {args.n:,} points, f64, {args.repeats} runs")
        print(f"  {'method':<18}{'median s':>10}{'min':>9}{'max':>9}{'ns/pt':>8}")
        for label, times in rows.items():
            median = statistics.median(times)
            print(f"  {label:<18}{median:>10.4f}{min(times):>9.4f}{max(times):>9.4f}{median / args.n * 1e9:>8.1f}")


if __name__ == "__main__":
    main()
