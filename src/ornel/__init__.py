"""ornel: nearest-neighbour comparison of 3-D point clouds by walking Delaunay graphs.

The searches themselves live in the native module `_ornel`; this package builds
what they walk (Delaunay tetrahedralisations and their vertex graphs) and puts
the whole comparison behind a few calls.
"""

from ornel._cloud import Cloud, CloudError
from ornel._native import delaunay, delaunay_graph
from ornel._formats import read_points, write_points
from ornel._join import Matrix, all_by_all, join_tile, nearest
from ornel._order import morton_order
from ornel._register import Iteration, Registration, register, register_many

__all__ = ["delaunay", "delaunay_graph", "morton_order"]
__all__ += ["Cloud", "CloudError", "Matrix", "all_by_all", "join_tile", "nearest", "read_points", "write_points"]
__all__ += ["Iteration", "Registration", "register", "register_many"]
