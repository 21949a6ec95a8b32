"""ornel: nearest-neighbour comparison of 3-D point clouds by walking Delaunay graphs.

The searches themselves live in the native module `_ornel`; this package builds
what they walk (Delaunay tetrahedralisations and their vertex graphs) and puts
the whole comparison behind a few calls.
"""

import sys

from ornel import _interrupt

_interrupt.install_if_command()  # first: the imports of a command take a while
if _interrupt.run_as_command():
    from ornel import _read_ahead

    _read_ahead.start_for_command(sys.argv[1:])  # its files read while the rest loads

from typing import TYPE_CHECKING, Any

# Each public name and the module that defines it, imported on first use: `import ornel`
# and `ornel --help` need not load NumPy, the native modules and every part of the
# package, and a command loads only the parts it uses.
_HOMES = {
    "Cloud": "ornel._cloud",
    "CloudError": "ornel._errors",
    "Comparison": "ornel._compare",
    "delaunay": "ornel._native",
    "delaunay_graph": "ornel._native",
    "read_points": "ornel._formats",
    "write_points": "ornel._formats",
    "all_by_all": "ornel._dispatch",
    "nearest": "ornel._dispatch",
    "join_tile": "ornel._join",
    "Matrix": "ornel._matrix",
    "M3C2Result": "ornel._m3c2",
    "m3c2": "ornel._m3c2",
    "Mesh": "ornel._mesh",
    "MeshDistances": "ornel._mesh",
    "MeshComparison": "ornel._mesh_compare",
    "compare": "ornel._mesh_compare",
    "register_to_mesh": "ornel._mesh_compare",
    "Records": "ornel._records",
    "read_records": "ornel._records",
    "write_records": "ornel._records",
    "morton_order": "ornel._order",
    "Iteration": "ornel._register",
    "Registration": "ornel._register",
    "register": "ornel._register",
    "register_many": "ornel._register",
    "Store": "ornel._store",
    "StoreError": "ornel._store",
    "StoreWarning": "ornel._store",
}

if TYPE_CHECKING:
    from ornel._cloud import Cloud
    from ornel._compare import Comparison
    from ornel._dispatch import all_by_all, nearest
    from ornel._errors import CloudError
    from ornel._formats import read_points, write_points
    from ornel._join import join_tile
    from ornel._m3c2 import M3C2Result, m3c2
    from ornel._matrix import Matrix
    from ornel._mesh import Mesh, MeshDistances
    from ornel._mesh_compare import MeshComparison, compare, register_to_mesh
    from ornel._native import delaunay, delaunay_graph
    from ornel._order import morton_order
    from ornel._records import Records, read_records, write_records
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


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is not None:
        import importlib

        value = getattr(importlib.import_module(home), name)
    elif name == "__version__":
        # Reading the installed metadata costs more than the rest of the import.
        from importlib import metadata

        try:
            value = metadata.version("ornel")
        except metadata.PackageNotFoundError:  # run from a source tree that was never installed
            value = "0+unknown"
    else:
        raise AttributeError(f"module 'ornel' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
