"""Input files read on a thread of their own while the command's modules load.

Importing NumPy and the package takes a command about a tenth of a second of one core,
and reading a large binary file is mostly the kernel filling fresh pages: the two overlap
on a second core. Only the records of binary PLY files without lists are read ahead (what
`_formats` then takes as they are), into anonymous memory that becomes the records
array itself, so nothing is read twice and nothing more is held than a plain read holds.

The bytes are used only if the file is still the one read (same device, inode, size and
modification time before the read, after it and when they are taken); otherwise the
reader reads the file as it would have. This module loads no NumPy: it runs before it."""

from __future__ import annotations

import mmap
import os
import stat
import threading
from collections.abc import Iterable
from typing import NamedTuple

# Below this many bytes of records a read is quicker than starting a thread for it.
SMALLEST = 1 << 20
# A PLY header longer than this is not looked for (headers are a few hundred bytes).
LONGEST_HEADER = 1 << 16
# Records are taken where they start this aligned in the buffer (page-aligned itself), as
# a fresh array of them would be: the native searches read them as numbers.
ALIGNMENT = 16
# The buffers are not advised to be backed by 2 MB pages (as NumPy advises its own large
# arrays): a fresh 2 MB page can cost far more to fill than 512 small ones (on a virtual
# machine whose host takes back the guest's free memory, measured: 10,000,000-point files
# read at a fifth of the speed, the whole compare, its search over the records included,
# 1.4 times the CPU time).

Identity = tuple[int, int, int, int]


class Body(NamedTuple):
    """The bytes of a file from `start` (just after its header) to its end."""

    identity: Identity
    start: int
    view: memoryview


_lock = threading.Lock()
# Each file asked for (by absolute path): the thread reading it and where it puts the bodies.
_pending: dict[str, tuple[threading.Thread, dict[str, Body]]] = {}


def _identity(status: os.stat_result) -> Identity:
    return (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)


def start(paths: Iterable[str | None]) -> None:
    """Starts reading the binary PLY files among `paths` (by suffix) on one thread."""
    if not hasattr(mmap, "MAP_PRIVATE"):
        return  # no private anonymous mappings here (Windows): the files are read as they are
    chosen = list(dict.fromkeys(os.path.abspath(p) for p in paths if p is not None and p.lower().endswith(".ply")))
    if not chosen:
        return
    bodies: dict[str, Body] = {}
    thread = threading.Thread(target=_read_all, args=(chosen, bodies), name="ornel read-ahead", daemon=True)
    with _lock:
        for path in chosen:
            _pending[path] = (thread, bodies)
    thread.start()


def forget() -> None:
    """Drops whatever was read ahead and not taken (once the command is done)."""
    with _lock:
        _pending.clear()


def take(path: str | os.PathLike[str], offset: int, size: int) -> memoryview | None:
    """The `size` bytes at `offset` of the file at `path` as read ahead, if they were, the
    file is still the one read, they start aligned and they are most of what was read (an
    element of a few records would keep the whole buffer alive); else None. Taken once:
    whoever reads the file again reads it."""
    key = os.path.abspath(path)
    with _lock:
        entry = _pending.get(key)
    if entry is None:
        return None
    thread, bodies = entry
    thread.join()
    body = bodies.get(key)
    try:
        unchanged = body is not None and _identity(os.stat(key)) == body.identity
    except OSError:
        unchanged = False
    if body is None or not unchanged:
        _drop(key)
        return None
    begin = offset - body.start
    if begin < 0 or begin % ALIGNMENT or begin + size > len(body.view) or 2 * size < len(body.view):
        return None  # another element's records, perhaps
    _drop(key)
    return body.view[begin : begin + size]


def _drop(key: str) -> None:
    with _lock:
        entry = _pending.pop(key, None)
    if entry is not None:
        entry[1].pop(key, None)


def _read_all(paths: list[str], bodies: dict[str, Body]) -> None:
    for path in paths:
        try:
            body = _read_body(path)
        except (OSError, MemoryError, ValueError, OverflowError):
            body = None  # the reader meets the same fault, and reports it
        if body is not None:
            bodies[path] = body


def _read_body(path: str) -> Body | None:
    if not stat.S_ISREG(os.stat(path).st_mode):
        return None  # a pipe is not opened here: its writer would see a reader come and go
    with open(path, "rb", buffering=0) as file:
        before = os.fstat(file.fileno())
        if not stat.S_ISREG(before.st_mode):
            return None
        head = file.read(min(LONGEST_HEADER, before.st_size))
        end = head.find(b"\nend_header")
        end = head.find(b"\n", end + 1) if end >= 0 else -1
        header = head[: end + 1]
        # Text records are parsed, and lists read, by plyfile itself.
        if end < 0 or not header.startswith(b"ply") or b"format binary_" not in header or b" list " in header:
            return None
        start = end + 1
        size = before.st_size - start
        if size < SMALLEST:
            return None
        buffer = mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE)
        # Held through a memoryview: arrays over it are over anonymous memory, not over a
        # mapped file (which another process could change under them).
        view = memoryview(buffer)
        file.seek(start)
        done = 0
        while done < size:
            count = file.readinto(view[done:])
            if not count:
                return None  # it shrank while it was read
            done += count
        if _identity(os.fstat(file.fileno())) != _identity(before):
            return None
    return Body(_identity(before), start, view)
