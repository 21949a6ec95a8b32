from typing import Any

import numpy as np
import numpy.typing as npt

def delaunay(points: npt.NDArray[Any]) -> npt.NDArray[np.uint64]: ...
def delaunay_graph(points: npt.NDArray[Any]) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]: ...
