"""What the command line names before it does any work: the file suffixes read and
written, the default field name and neighbourhood size, the default number of threads.
Kept apart from the modules that use them, which load NumPy and the native modules, so
that `ornel --help` and a mistyped option load neither."""

from __future__ import annotations

import os

TEXT_SUFFIXES = (".xyz", ".txt", ".csv", ".pts")
READ_SUFFIXES = (".npy", ".ply", *TEXT_SUFFIXES, ".las", ".laz", ".pcd", ".obj")
# OBJ has no per-vertex scalar field to carry a distance.
WRITE_SUFFIXES = tuple(s for s in READ_SUFFIXES if s != ".obj")

# The per-point field a comparison writes its distances to.
DISTANCE_FIELD = "distance"

# Neighbours (the point included) whose spread gives a point's normal.
NORMAL_NEIGHBOURS = 20


def default_threads() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1
