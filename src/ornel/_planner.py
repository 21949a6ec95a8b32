"""Which index a target is searched through: its Delaunay graph, or a grid of cells built
for the search and dropped after it.

The graph costs far more to build than the grid (a tetrahedralisation against about a
sort) and then answers each query faster; it pays where a target is searched many times:
many query clouds, a registration's iterations, a store that keeps it. A target searched
once, by one query cloud, gets the grid. The costs below were measured on the development
machine (2 cores, 2 threads, the package's default single precision, its load 8.8 to 9.7
from other work, all in one run of benchmarks/bench_planner.py), in nanoseconds a point;
only their ratios matter here. They are the costs of a collection's targets (25,000-point
noisy scans, all-by-all), where the choice is close: a one-off pair takes the grid by any
measure (its 1,000,000-point grid: 201 ns a target point to build, 839 a query; the graph
10,583 to build). The grid's two are fitted from all-by-all of 4 and 16 scans (a target of
m scans costs build + m * query a target point), the graph's build from the same two.
The graph's walk came out at 143 to 273 ns by the benchmark's different fits under that
load; it is set where the costs cross as the runs did: the grid took 1/4.35 of the graph's
time at 4 scans, 1/1.58 at 16, and 1.40 times the graph's at 32 (in double precision, the
same day: 1/13.9 at 2, 1/3.3 at 4, 1/1.63 at 16); these costs cross near 24 scans.
A graph already built (or adopted from a store) costs nothing more to use, so it is used."""

from __future__ import annotations

from typing import Literal

IndexKind = Literal["auto", "graph", "grid"]
INDEX_KINDS = ("auto", "graph", "grid")

# Building a target's Delaunay graph, a target point.
GRAPH_BUILD_NS = 8500.0
# Searching through the graph, a query point: the grouped walk of a collection, whose
# query clouds have graphs of their own (a registration's tracked walk costs less still).
GRAPH_QUERY_NS = 150.0
# Building a grid (the radix sort included), a target point, and searching it, a query point.
GRID_BUILD_NS = 230.0
GRID_QUERY_NS = 495.0


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
