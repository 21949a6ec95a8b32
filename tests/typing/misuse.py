"""Calls that the stubs must reject: type-checked, never run.

`mypy --strict` reports every `type: ignore` that silences nothing, so each
line below fails the check (ci/stubtest.sh) if the stubs stop flagging it.
"""

import _ornel
import numpy as np
import numpy.typing as npt


def misuse(
    p64: npt.NDArray[np.float64],
    p32: npt.NDArray[np.float32],
    csr: npt.NDArray[np.uint32],
    csr64: npt.NDArray[np.uint64],
    perm: npt.NDArray[np.int64],
) -> None:
    t64 = _ornel.PreparedF64(p64, csr, csr)
    t32 = _ornel.PreparedF32(p32, csr, csr)
    _ornel.PreparedF64(p32, csr, csr)  # type: ignore[arg-type]
    _ornel.PreparedF32(p32, csr64, csr)  # type: ignore[arg-type]
    _ornel.all_nearest_neighbours_f32(p64, csr, csr, p64, csr, csr)  # type: ignore[arg-type]
    t64.query_prepared(t32)  # type: ignore[arg-type]
    t64.query_prepared_k(t64, 8)  # type: ignore[call-arg]
    t64.query_prepared_k(t64, 8.0, 16)  # type: ignore[arg-type]
    t64.query(p64, csr, csr, distance_upper_bound="0.1")  # type: ignore[arg-type]
    _ornel.graph_from_simplices(csr, 4)  # type: ignore[arg-type]
    grouped = _ornel.GroupedQueriesF32.prepare([t32], [perm])
    t64.query_grouped(grouped, perm)  # type: ignore[arg-type]
    t32.query_grouped(grouped)  # type: ignore[call-arg]
    t32.query_grouped(grouped, perm, finalize=1)  # type: ignore[arg-type]
    _ornel.GroupedQueriesF32.prepare([t64], [None])  # type: ignore[list-item]
    t32.n = 3  # type: ignore[misc]
    dists: npt.NDArray[np.float64] = t32.query_prepared(t32)[0]  # type: ignore[assignment]  # noqa: F841 (the annotation is what is checked)
