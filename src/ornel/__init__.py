"""ornel: nearest-neighbour comparison of 3-D point clouds by walking Delaunay graphs.

The searches themselves live in the native module `_ornel`; this package builds
what they walk (Delaunay tetrahedralisations and their vertex graphs) and puts
the whole comparison behind a few calls.
"""

from ornel._native import delaunay, delaunay_graph
from ornel._order import morton_order

__all__ = ["delaunay", "delaunay_graph", "morton_order"]
