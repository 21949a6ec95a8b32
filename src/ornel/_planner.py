"""Which index a target is searched through: its Delaunay graph, or a grid of cells built
for the search and dropped after it.

The graph costs far more to build than the grid (a tetrahedralisation against about a
sort) and then answers each query faster; it pays where a target is searched many times:
many query clouds, a registration's iterations, a store that keeps it. A target searched
once, by one query cloud, gets the grid. The costs below were measured on the development
machine (2 cores, 2 threads, the package's default single precision, its load 6.8 to 7.6
from other work, all in one run of benchmarks/bench_planner.py), in nanoseconds a point;
only their ratios matter here. They are the costs of a collection's targets (25,000-point
noisy scans, all-by-all), where the choice is close: a one-off pair takes the grid by any
measure (its 1,000,000-point grid: 108 ns a target point to build, 396 a query; the graph
6,473 to build). The grid's two and the graph's build are the benchmark's fit from
all-by-all of 4 and 16 scans (a target of m scans costs build + m * query a target point);
the graph's walk is its fit at 32 scans (252 to 364 ns by its different fits). The grid
took 1/3.47 of the graph's time at 4 scans, 1/1.53 at 16 and 1/1.26 at 32 (it took 1.40
times the graph's at 32 before its search settled each query once); these costs cross
near 42 scans.
A graph already built (or adopted from a store) costs nothing more to use, so it is used."""

from __future__ import annotations

from typing import Literal

IndexKind = Literal["auto", "graph", "grid"]
INDEX_KINDS = ("auto", "graph", "grid")

# Building a target's Delaunay graph, a target point.
GRAPH_BUILD_NS = 6023.0
# Searching through the graph, a query point: the grouped walk of a collection, whose
# query clouds have graphs of their own (a registration's tracked walk costs less still).
GRAPH_QUERY_NS = 332.0
# Building a grid (the radix sort included), a target point, and searching it, a query point.
GRID_BUILD_NS = 290.0
GRID_QUERY_NS = 466.0


def check_index(index: str) -> IndexKind:
    if index not in INDEX_KINDS:
        raise ValueError(f"index must be one of 'auto', 'graph' or 'grid', not {index!r}")
    return index  # type: ignore[return-value]


def choose(
    index: IndexKind, target_points: int, query_points: int, searches: int = 1, graph_built: bool = False
) -> Literal["graph", "grid"]:
    """The index for a target of `target_points` searched `searches` times by
    `query_points` query points each time (a registration's iterations, the clouds of a
    collection); `graph_built` when its graph exists already."""
    if index != "auto":
        return index
    if graph_built:
        return "graph"
    graph = GRAPH_BUILD_NS * target_points + searches * GRAPH_QUERY_NS * query_points
    # A grid is built for each search: it is never kept.
    grid = searches * (GRID_BUILD_NS * target_points + GRID_QUERY_NS * query_points)
    return "grid" if grid <= graph else "graph"
