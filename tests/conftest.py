import numpy as np
import pytest
from scipy.spatial import Delaunay

try:
    from hypothesis import settings

    # CI runs a fixed, bounded number of examples; `--hypothesis-profile=long` runs more.
    settings.register_profile("ci", max_examples=60, deadline=None, derandomize=True)
    settings.register_profile("long", max_examples=5000, deadline=None)
    settings.load_profile("ci")
except ImportError:  # pragma: no cover
    pass


def scipy_delaunay_graph(points):
    """CSR (indptr, indices) as uint32 from scipy's Delaunay vertex adjacency."""
    indptr, indices = Delaunay(points).vertex_neighbor_vertices
    return indptr.astype(np.uint32), indices.astype(np.uint32)


def is_panic(error):
    return type(error).__name__ == "PanicException" and type(error).__bases__ == (BaseException,)


class raises_panic:
    """Context manager: the block must raise PanicException whose message starts with `prefix`."""

    def __init__(self, prefix):
        self.prefix = prefix

    def __enter__(self):
        return self

    def __exit__(self, kind, error, traceback):
        if error is None:
            raise AssertionError(f"no PanicException raised (expected {self.prefix!r})")
        if not is_panic(error):
            return False
        message = str(error)
        assert message.startswith(self.prefix), f"{message!r} does not start with {self.prefix!r}"
        self.message = message
        return True


@pytest.fixture(scope="session")
def rng_seed():
    return 20261208
