"""Which index a target is searched through: its Delaunay graph, or a grid of cells built
for the search and dropped after it.

The graph costs far more to build than the grid (a tetrahedralisation against about a
sort) and then answers each query faster; it pays where a target is searched many times:
many query clouds, a registration's iterations, a store that keeps it. A target searched
once, by one query cloud, gets the grid. The costs below were measured on the development
machine (2 cores; benchmarks/bench_pair.py, and all-by-all runs of 2 to 16 noisy scans of
25,000 points, where the grid led by 3.6 times at 2 clouds, 2.2 at 4, and the two met
near 16), in nanoseconds a point; only their ratios matter here.
A graph already built (or adopted from a store) costs nothing more to use, so it is used."""

from __future__ import annotations

from typing import Literal

IndexKind = Literal["auto", "graph", "grid"]
INDEX_KINDS = ("auto", "graph", "grid")

# Building a target's Delaunay graph, a target point.
GRAPH_BUILD_NS = 1750.0
# Searching through the graph, a query point: the grouped walk of a collection, whose
# query clouds have graphs of their own (a registration's tracked walk costs less still).
GRAPH_QUERY_NS = 65.0
# Building a grid (the radix sort included), a target point, and searching it, a query point.
GRID_BUILD_NS = 45.0
GRID_QUERY_NS = 170.0


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
