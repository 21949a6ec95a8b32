"""ornel: nearest-neighbour comparison of 3-D point clouds by walking Delaunay graphs.

The searches themselves live in the native module `_ornel`; this package builds
what they walk (Delaunay tetrahedralisations and their vertex graphs) and puts
the whole comparison behind a few calls.
"""

from ornel import _interrupt

_interrupt.install_if_command()  # first: the imports below take a while

from ornel._cloud import Cloud  # noqa: E402
from ornel._errors import CloudError
from ornel._compare import Comparison
from ornel._native import delaunay, delaunay_graph
from ornel._formats import read_points, write_points
from ornel._dispatch import all_by_all, nearest
from ornel._join import join_tile
from ornel._matrix import Matrix
from ornel._m3c2 import M3C2Result, m3c2
from ornel._mesh import Mesh, MeshDistances
from ornel._mesh_compare import MeshComparison, compare, register_to_mesh
from ornel._records import Records, read_records, write_records
from ornel._order import morton_order
from ornel._register import Iteration, Registration, register, register_many
from ornel._store import Store, StoreError, StoreWarning

__all__ = ["delaunay", "delaunay_graph", "morton_order"]
__all__ += [
    "Cloud",
    "CloudError",
    "Comparison",
    "Matrix",
    "compare",
    "all_by_all",
    "join_tile",
    "nearest",
    "read_points",
    "write_points",
]
__all__ += ["Records", "read_records", "write_records", "Store", "StoreError", "StoreWarning"]
__all__ += ["Mesh", "MeshComparison", "MeshDistances", "register_to_mesh"]
__all__ += ["Iteration", "Registration", "register", "register_many"]
__all__ += ["M3C2Result", "m3c2"]


def __getattr__(name: str) -> str:
    # Looked up on first use: reading the installed metadata costs more than the rest of the import.
    if name != "__version__":
        raise AttributeError(f"module 'ornel' has no attribute {name!r}")
    from importlib import metadata

    try:
        version = metadata.version("ornel")
    except metadata.PackageNotFoundError:  # run from a source tree that was never installed
        version = "0+unknown"
    globals()["__version__"] = version
    return version
