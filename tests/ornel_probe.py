"""Everything `_ornel` answers, and the tetrahedraliser's and the walks' answers, as bytes.

`probe()` calls every function and class of `_ornel` (and the `_native` walks,
self-joins, normals and tetrahedraliser) on a few fixed clouds, near the origin
and far from it, in both precisions, with strided inputs and with refusals,
and records results, exception types and messages, docstrings, signatures and
reprs. Run as a script it writes the pickled record to a file, so that two
builds can be compared byte for byte:

    python tests/ornel_probe.py before.pkl   # on one build
    python tests/ornel_probe.py after.pkl    # on the other
    cmp before.pkl after.pkl
"""

from __future__ import annotations

import pickle
import re
import sys

import _ornel
import numpy as np

from ornel import _native


def _clouds():
    rng = np.random.default_rng(43)
    cube = rng.random((300, 3))
    far = cube * 10.0 + 1e6
    quantised = np.round(rng.random((250, 3)) * 8) / 8  # duplicates and exact ties
    flat = np.c_[rng.random((200, 2)), np.zeros(200)] + [1e5, -2e5, 3e5]
    return {"cube": cube, "far": far, "quantised": quantised, "flat": flat}


def _outcome(call):
    try:
        value = call()
    except BaseException as error:  # PanicException derives from BaseException
        notes = getattr(error, "__notes__", [])
        return ("raised", type(error).__name__, str(error), list(notes))
    return ("returned", _plain(value))


def _plain(value):
    if isinstance(value, np.ndarray):
        return ("ndarray", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, tuple):
        return tuple(_plain(v) for v in value)
    if isinstance(value, (int, float, str, bool, type(None))):
        return value
    return ("object", type(value).__name__, _repr(value))


def _repr(obj):
    return re.sub(r"0x[0-9a-f]+", "0x...", repr(obj))  # addresses change from run to run


def _described(obj, name):
    out = [(name, getattr(obj, "__doc__", None), getattr(obj, "__text_signature__", None), _repr(obj))]
    if isinstance(obj, type):
        for attr in sorted(vars(obj)):
            if not attr.startswith("__") or attr in ("__new__", "__init__"):
                member = getattr(obj, attr)
                out.append((f"{name}.{attr}", getattr(member, "__doc__", None), repr(type(member))))
    return out


def probe():
    record = []
    add = record.append
    add(("module", _ornel.__doc__))
    for name in sorted(n for n in dir(_ornel) if not n.startswith("__")):
        add(("member", _described(getattr(_ornel, name), name)))
    for name in ("delaunay", "delaunay_graph", "nearest_from_starts", "track_nearest", "knn_self", "estimate_normals"):
        add(("native member", _described(getattr(_native, name), name)))

    clouds = _clouds()
    for label, points in clouds.items():
        add((label, "delaunay", _outcome(lambda: _native.delaunay(points, threads=1))))
        add((label, "delaunay threads", _outcome(lambda: _native.delaunay(points, threads=2))))
        indptr, indices = _native.delaunay_graph(points, threads=1)
        add((label, "graph", _plain((indptr, indices))))
        add(
            (
                label,
                "simplices graph",
                _outcome(lambda: _ornel.graph_from_simplices(_native.delaunay(points), len(points))),
            )
        )
        other = points[::-1][: len(points) // 2] + 1e-3
        o_indptr, o_indices = _native.delaunay_graph(other)
        for dtype, suffix, prepared, grouped in (
            (np.float64, "", _ornel.PreparedF64, _ornel.GroupedQueriesF64),
            (np.float32, "_f32", _ornel.PreparedF32, _ornel.GroupedQueriesF32),
        ):
            y = points.astype(dtype)
            x = other.astype(dtype)
            nearest = getattr(_ornel, "all_nearest_neighbours" + suffix)
            knn = getattr(_ornel, "all_nearest_neighbours_k" + suffix)
            add((label, suffix, "all", _outcome(lambda: nearest(x, o_indptr, o_indices, y, indptr, indices))))
            add((label, suffix, "all k", _outcome(lambda: knn(x, o_indptr, o_indices, y, indptr, indices, 4, 8))))
            wide = np.c_[x, np.ones(len(x), dtype)][:, :3]  # strided rows
            add(
                (label, suffix, "all strided", _outcome(lambda: nearest(wide, o_indptr, o_indices, y, indptr, indices)))
            )
            target = prepared(y, indptr, indices)
            query = prepared(x, o_indptr, o_indices)
            add((label, suffix, "repr", _repr(target), target.n, _plain(target.data)))
            add((label, suffix, "query", _outcome(lambda: target.query(x, o_indptr, o_indices))))
            add((label, suffix, "query bound", _outcome(lambda: target.query(x, o_indptr, o_indices, 0.05))))
            add((label, suffix, "query_prepared", _outcome(lambda: target.query_prepared(query))))
            add((label, suffix, "query_k", _outcome(lambda: target.query_k(x, o_indptr, o_indices, 3, 6, 0.1))))
            add((label, suffix, "query_prepared_k", _outcome(lambda: target.query_prepared_k(query, 5, 9))))
            add((label, suffix, "blocked", _outcome(lambda: target.query_prepared_blocked(query, 4))))
            add((label, suffix, "blocked bound", _outcome(lambda: target.query_prepared_blocked(query, 8, 0.02))))
            group = grouped.prepare([query, target], [None, np.arange(len(y), dtype=np.int64)[::-1].copy()])
            add(
                (
                    label,
                    suffix,
                    "grouped",
                    _repr(group),
                    group.n_points,
                    group.n_clouds,
                    _plain(group.offsets),
                    _plain(group.perm),
                )
            )
            for finalize in (True, False):
                add(
                    (
                        label,
                        suffix,
                        "query_grouped",
                        finalize,
                        _outcome(lambda: target.query_grouped(group, None, 16, None, finalize)),
                    )
                )

            # The _native walks and self-join read the same clouds.
            queries = other.astype(np.float64)
            add(
                (
                    label,
                    suffix,
                    "from starts chained",
                    _outcome(lambda: _native.nearest_from_starts(y, indptr, indices, queries, None, threads=2)),
                )
            )
            starts = (np.arange(len(queries), dtype=np.uint32) * 7) % np.uint32(len(y))
            add(
                (
                    label,
                    suffix,
                    "from starts",
                    _outcome(lambda: _native.nearest_from_starts(y, indptr, indices, queries, starts, 0.05)),
                )
            )
            first = _native.track_nearest(y, indptr, indices, queries)
            add((label, suffix, "track first", _plain(first)))
            moved = queries + 1e-3
            add(
                (
                    label,
                    suffix,
                    "track",
                    _outcome(
                        lambda: _native.track_nearest(y, indptr, indices, moved, queries, first[1], first[2], threads=2)
                    ),
                )
            )
            rows = _native.knn_self(y, indptr, indices, 6, 12, threads=2)
            add((label, suffix, "knn_self", _plain(rows)))
            add(
                (
                    label,
                    suffix,
                    "knn_self strided",
                    _outcome(lambda: _native.knn_self(np.c_[y, y][:, :3], indptr, indices, 6, 12)),
                )
            )
            add((label, suffix, "normals", _outcome(lambda: _native.estimate_normals(y, rows[1], 2))))

    cube = clouds["cube"]
    indptr, indices = _native.delaunay_graph(cube)
    bad_indices = indices.copy()
    bad_indices[5] = 10_000
    short_indptr = indptr[:-3].copy()
    refusals = {
        "graph not of points": lambda: _ornel.all_nearest_neighbours(cube, indptr, indices, cube, indptr, bad_indices),
        "short indptr": lambda: _ornel.all_nearest_neighbours(cube, short_indptr, indices, cube, indptr, indices),
        "float32 given": lambda: _ornel.all_nearest_neighbours(
            cube.astype(np.float32), indptr, indices, cube, indptr, indices
        ),
        "one column": lambda: _ornel.all_nearest_neighbours(cube[:, :1], indptr, indices, cube, indptr, indices),
        "strided indices": lambda: _ornel.all_nearest_neighbours(
            cube, indptr, np.repeat(indices, 2)[::2], cube, indptr, np.repeat(indices, 2)[::2]
        ),
        "k above ef": lambda: _ornel.all_nearest_neighbours_k(cube, indptr, indices, cube, indptr, indices, 9, 3),
        "k not int": lambda: _ornel.all_nearest_neighbours_k(cube, indptr, indices, cube, indptr, indices, 1.5, 3),
        "prepared bad": lambda: _ornel.PreparedF64(cube, indptr, bad_indices).query(cube, indptr, indices),
        "prepared f32 with f64": lambda: _ornel.PreparedF32(cube, indptr, indices),
        "prepared k bad": lambda: _ornel.PreparedF64(cube, indptr, bad_indices).query_k(cube, indptr, indices, 2, 4),
        "bound nan": lambda: _ornel.PreparedF64(cube, indptr, indices).query(cube, indptr, indices, float("nan")),
        "bound text": lambda: _ornel.PreparedF64(cube, indptr, indices).query(cube, indptr, indices, "far"),
        "grouped wrong type": lambda: _ornel.GroupedQueriesF64.prepare([1], [None]),
        "grouped str": lambda: _ornel.GroupedQueriesF64.prepare("ab", [None]),
        "grouped perm float": lambda: _ornel.GroupedQueriesF64.prepare(
            [_ornel.PreparedF64(cube, indptr, indices)], [np.zeros(300)]
        ),
        "finalize int": lambda: _ornel.PreparedF64(cube, indptr, indices).query_grouped(
            _ornel.GroupedQueriesF64.prepare([_ornel.PreparedF64(cube, indptr, indices)], [None]), None, 8, None, 1
        ),
        "simplices bad": lambda: _ornel.graph_from_simplices(np.array([[0, 1, 2, 99]], np.uint64), 4),
        "simplices dtype": lambda: _ornel.graph_from_simplices(np.array([[0, 1, 2, 3]], np.int64), 4),
        "missing argument": lambda: _ornel.all_nearest_neighbours(cube),
        "walk bad start": lambda: _native.nearest_from_starts(
            cube, indptr, indices, cube, np.full(300, 999, np.uint32)
        ),
        "walk bad graph": lambda: _native.nearest_from_starts(cube, indptr, bad_indices, cube, None),
        "walk short indptr": lambda: _native.nearest_from_starts(cube, short_indptr, indices, cube, None),
        "walk strided": lambda: _native.nearest_from_starts(cube[::2], indptr, indices, cube, None),
        "walk empty target": lambda: _native.nearest_from_starts(
            np.zeros((0, 3)), np.zeros(1, np.uint32), indices[:0], cube, None
        ),
        "track partial": lambda: _native.track_nearest(cube, indptr, indices, cube, cube),
        "knn_self bad graph": lambda: _native.knn_self(cube, indptr, bad_indices, 3, 6),
        "knn_self threads": lambda: _native.knn_self(cube, indptr, indices, 3, 6, threads=0),
        "normals bad rows": lambda: _native.estimate_normals(cube, np.full((300, 3), 400, np.uint32)),
        "delaunay nan": lambda: _native.delaunay(np.full((5, 3), np.nan)),
        "delaunay narrow": lambda: _native.delaunay(cube[:, :2]),
    }
    for label, call in refusals.items():
        add(("refusal", label, _outcome(call)))
    return record


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as out:
        pickle.dump(probe(), out, protocol=4)
