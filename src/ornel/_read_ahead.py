"""Input files read on a thread of their own while the command's modules load.

Importing NumPy and the package takes a command about a tenth of a second of one core,
and reading a large binary file is mostly the kernel filling fresh pages: the two overlap
on a second core. Only the records of binary PLY files without lists are read ahead (what
`_formats` then takes as they are), into anonymous memory that becomes the records
array itself, so nothing is read twice and nothing more is held than a plain read holds.

The bytes are used only if the file is still the one read (same device, inode, size and
modification time before the read, after it and when they are taken); otherwise the
reader reads the file as it would have. This module loads no NumPy: it runs before it.

The target of a comparison can also have its grid built from its bytes as soon as they
are read (`start(..., grid_of=path)`), on the same second core, while NumPy still loads:
where its records are rows of x, y, z in double precision, the grid a search would build
over the points read is the same. The search takes it (`built_grid`) only if its points
are those very bytes. Where both clouds are small (their grid built on one thread before
the imports are done), the grid's thread then goes on to search the other file's records
through it, a stretch of rows at a time, and the command's threads finish that search
(`search_ahead`) rather than begin their own, if its queries are those very bytes too."""

from __future__ import annotations

import mmap
import os
import stat
import sys
import threading

from ornel._defaults import default_threads

# Not `typing`'s: the command starts reading ahead before the imports `typing` costs.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable
    from typing import Any

    from ornel._planner import IndexKind

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


class Body:
    """The bytes of a file from `start` (just after its header) to its end; `xyz_rows`,
    how many rows of x, y, z float64 they begin with, when that is all its vertices hold."""

    __slots__ = ("identity", "start", "view", "xyz_rows")

    def __init__(self, identity: Identity, start: int, view: memoryview, xyz_rows: int = 0) -> None:
        self.identity = identity
        self.start = start
        self.view = view
        self.xyz_rows = xyz_rows


class Grid:
    """The grid of the first `rows` records of a body (rows of x, y, z float64), built on
    a thread of its own; `built` is None until it is done, and stays None if it failed.

    The same thread then searches it for the queries the reading thread hands it
    (`search_for`, once the other file is read): a `GridSearch` that the command's own
    threads finish (`search_of`), taking over from wherever this one has got to."""

    def __init__(self, view: memoryview, rows: int, threads: int) -> None:
        self.view: memoryview | None = view  # keeps the bytes, and so their address, while the grid may be taken
        self.rows = rows
        self.built: Any = None
        self.search: Any = None
        self._queries: memoryview | None = None
        self._queries_known = threading.Event()
        self._ready = threading.Event()  # built (or failed), and the search made if it is to be
        self._lock = threading.Lock()
        self._dropped = False
        self.thread = threading.Thread(target=self._build, args=(view, threads), name="ornel grid-ahead", daemon=True)
        try:
            self.thread.start()
        except RuntimeError:  # no thread to be had: the search builds its own grid
            self._ready.set()

    def search_for(self, queries: memoryview | None) -> None:
        """Hands over the bytes of the queries to search (rows of x, y, z float64), or
        None: there are none to search ahead."""
        self._queries = queries
        self._queries_known.set()

    def _build(self, view: memoryview, threads: int) -> None:
        try:
            from ornel._native import grid_build, grid_search_ahead, grid_search_work

            self.built = grid_build(view, threads)
            del view  # held by self.view while the grid may be taken, and no longer here
            self._queries_known.wait()
            with self._lock:
                if self._queries is not None and not self._dropped:
                    self.search = grid_search_ahead(self.built, self._queries)
                search = self.search
        except (ImportError, ValueError, MemoryError):
            search = None  # the search builds its own grid, and meets the same fault
        finally:
            self._queries = None
            self._ready.set()
        if search is not None:
            try:
                grid_search_work(search)
            except (ValueError, MemoryError):
                pass  # whoever finishes the search meets the fault and reports it

    def over(self, points: Any) -> bool:
        """Whether `points` (an array) are the bytes the grid was built from, as rows of three."""
        self._ready.wait()
        return self.built is not None and _rows_at(points, self.built.address, self.rows)

    def search_of(self, queries: Any) -> Any:
        """The search begun over `queries` (an array), if it was over those very bytes; taken
        once. A search over other bytes is stopped: its answers would be for nobody."""
        self._ready.wait()
        with self._lock:
            search, self.search = self.search, None
        if search is None:
            return None
        if _rows_at(queries, search.address, search.rows):
            return search
        self.stop(search)
        return None

    @staticmethod
    def stop(search: Any) -> None:
        from ornel._native import grid_search_stop

        grid_search_stop(search)

    def drop(self) -> None:
        """Stops the search begun over the grid, if one was, and any not yet begun: nobody
        will take it."""
        with self._lock:
            self._dropped = True
            search, self.search = self.search, None
        if search is not None:
            self.stop(search)


def _rows_at(points: Any, address: int, rows: int) -> bool:
    """Whether `points` is a C-contiguous (rows, 3) float64 array of the bytes at `address`."""
    interface = getattr(points, "__array_interface__", None)
    return (
        interface is not None
        and interface["data"][0] == address
        and interface["shape"] == (rows, 3)
        and interface["typestr"] == NATIVE_DOUBLE
        and interface.get("strides") is None  # C-contiguous
    )


NATIVE_DOUBLE = "<f8" if sys.byteorder == "little" else ">f8"
# A grid of up to this many points is built on one thread: it is done (about 50 ms a
# million points here) before NumPy has loaded, on the core the imports leave free, and
# more threads would only take turns with the imports. A larger one gets the threads the
# search has: it outlasts the imports, after which the cores are its own.
ALONE_ROWS = 2_000_000

_lock = threading.Lock()
# Each file asked for (by absolute path): the thread reading it and where it puts the bodies.
_pending: dict[str, tuple[threading.Thread, dict[str, Body]]] = {}
# The grid being built for a file's records (by absolute path), until a search takes it.
_grids: dict[str, Grid] = {}
# A grid taken by a search (by the id of its BuiltGrid), until it asks for the search begun
# over its queries.
_searches: dict[int, Grid] = {}


def _identity(status: os.stat_result) -> Identity:
    return (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)


# Options of `ornel compare` that change whether B's grid is built ahead, or on how many
# threads: where one of them (or what may abbreviate it) is given, reading ahead waits for
# the arguments to be parsed.
DECIDING_OPTIONS = ("--f32", "--store", "--align", "--index-kind", "--threads")


def start_for_command(words: list[str]) -> None:
    """`start` as `ornel compare A B ...` will ask for it, from the words of its command
    line before they are parsed (the parser and the imports before it are a third of the
    time to the first read): A and B the two words after `compare`, B's grid built and
    searched for A, with --threads N if given. Nothing is started where an option that
    may change that is given (or what may abbreviate one), nor for other commands; the
    command's own `start` then finds this one begun, or, asked for anything else, forgets
    it and begins what it asks. A file read needlessly (misread words) is never taken:
    bytes are taken only for the file they were read from."""
    if len(words) < 3 or words[0] != "compare" or any(word.startswith("-") for word in words[1:3]):
        return
    threads = default_threads()
    rest = iter(words[3:])
    for word in rest:
        name, equals, value = word.partition("=")
        if name == "--threads":
            value = value if equals else next(rest, "")
            if not value.isdigit() or int(value) < 1:
                return
            threads = int(value)
        elif name.startswith("--") and name != "--index" and any(o.startswith(name) for o in DECIDING_OPTIONS):
            return
    start([words[2], words[1]], grid_of=words[2], threads=threads, search_of=words[1])


# What the last `start` asked for, while none of its files has been taken.
_started: tuple[Any, ...] | None = None


def start(
    paths: Iterable[str | None],
    grid_of: str | None = None,
    threads: int = 1,
    search_of: str | None = None,
    index: IndexKind = "auto",
) -> None:
    """Starts reading the binary PLY files among `paths` (by suffix, in that order) on one
    thread; the grid of `grid_of`'s records, if they are x, y, z in double precision, is
    built on `threads` threads as soon as they are read. The records of `search_of`, if
    they are x, y, z in double precision too, are then searched through that grid on the
    grid's thread, where both clouds are small enough for the grid to be built on one
    thread (`ALONE_ROWS`) and a search of them with `index` would build one."""
    if not hasattr(mmap, "MAP_PRIVATE"):
        return  # no private anonymous mappings here (Windows): the files are read as they are
    global _started
    chosen = list(dict.fromkeys(os.path.abspath(p) for p in paths if p is not None and p.lower().endswith(".ply")))
    if not chosen:
        return
    bodies: dict[str, Body] = {}
    grid_key = os.path.abspath(grid_of) if grid_of is not None else None
    search_key = os.path.abspath(search_of) if search_of is not None and grid_key is not None else None
    if search_key == grid_key:
        search_key = None  # its bytes are taken by the queries' read: the target is read again
    request = (chosen, grid_key, search_key, threads, index)
    with _lock:
        begun = request == _started and all(path in _pending for path in chosen)
        stale = not begun and _started is not None and all(path in _pending for path in _started[0])
    if begun:
        return  # begun already, from the command line's words
    if stale:
        forget()  # begun for what the command turns out not to ask, and nothing of it taken
    _started = request
    thread = threading.Thread(
        target=_read_all,
        args=(chosen, bodies, grid_key, threads, search_key, index),
        name="ornel read-ahead",
        daemon=True,
    )
    with _lock:
        for path in chosen:
            _pending[path] = (thread, bodies)
    thread.start()


def forget() -> None:
    """Drops whatever was read ahead and not taken (once the command is done), and stops
    a search begun ahead that nobody took."""
    global _started
    with _lock:
        _started = None
        _pending.clear()
        grids = [*_grids.values(), *_searches.values()]
        _grids.clear()
        _searches.clear()
    for grid in grids:
        grid.drop()


def built_grid(points: Any) -> Any:
    """The grid built ahead over `points` (a `BuiltGrid` for `grid_nearest_built`), if
    one was, from the very bytes those points are; else None. Taken once."""
    with _lock:
        grids = list(_grids.items())
    for key, grid in grids:
        if grid.over(points):
            with _lock:
                _grids.pop(key, None)
                _searches[id(grid.built)] = grid
            return grid.built
    for _, grid in grids:
        grid.drop()  # the command's search is not over its bytes: neither is any begun ahead
    return None


def search_ahead(built: Any, queries: Any) -> Any:
    """The search of the grid `built` (from `built_grid`) begun ahead over `queries` (an
    array), if one was, from the very bytes those queries are: a `GridSearch` for
    `grid_search_finish`, taken once; else None."""
    with _lock:
        grid = _searches.pop(id(built), None)
    if grid is None or grid.built is not built:
        return None
    search = grid.search_of(queries)
    # The grid and its bytes are the caller's from now on, and freed with its last use:
    # this object is held by its thread, and that thread by it, until the collector runs.
    grid.built = grid.view = None
    return search


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
        with _lock:
            grid = _grids.pop(key, None)  # built from bytes no array will be over: its memory freed
        if grid is not None:
            grid.drop()
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


def _read_all(
    paths: list[str],
    bodies: dict[str, Body],
    grid_of: str | None,
    threads: int,
    search_of: str | None,
    index: IndexKind,
) -> None:
    grid: Grid | None = None
    queries: memoryview | None = None
    try:
        for path in paths:
            try:
                body = _read_body(path)
            except (OSError, MemoryError, ValueError, OverflowError):
                body = None  # the reader meets the same fault, and reports it
            if body is None:
                continue
            bodies[path] = body
            if path == grid_of and body.xyz_rows:
                with _lock:
                    if path in _pending:  # not yet forgotten
                        rows = body.xyz_rows
                        grid = _grids[path] = Grid(body.view[: 24 * rows], rows, 1 if rows <= ALONE_ROWS else threads)
            if path == search_of and body.xyz_rows:
                queries = body.view[: 24 * body.xyz_rows]
    finally:
        if grid is not None:
            wanted = None
            try:
                if queries is not None and _search_ahead(grid.rows, len(queries) // 24, index):
                    wanted = queries
            finally:
                grid.search_for(wanted)  # always: the grid's thread waits to hear


def _search_ahead(target_rows: int, query_rows: int, index: IndexKind) -> bool:
    """Whether queries are searched ahead through a target's grid: where the search would
    build a grid, and both are read and the grid built before the modules have loaded.
    Beyond that the command's threads are free before the reading is done, and search
    with the queries' one sort, as they would have."""
    from ornel._planner import choose  # loads no NumPy

    return max(target_rows, query_rows) <= ALONE_ROWS and choose(index, target_rows, query_rows) == "grid"


def _xyz_rows(header: bytes) -> int:
    """How many vertices a binary PLY header announces when the vertex element comes first
    and its records are x, y, z float64 in this machine's byte order, and nothing else;
    else 0."""
    native = b"binary_little_endian" if sys.byteorder == "little" else b"binary_big_endian"
    lines = [line.split() for line in header.split(b"\n")]
    lines = [words for words in lines if words and words[0] not in (b"comment", b"obj_info")]
    elements = [k for k, words in enumerate(lines) if words[0] == b"element"]
    if not any(words[:2] == [b"format", native] for words in lines) or not elements:
        return 0
    first = elements[0]
    vertex = lines[first]
    if len(vertex) != 3 or vertex[1] != b"vertex" or not vertex[2].isdigit():
        return 0
    end = elements[1] if len(elements) > 1 else next(k for k in range(first, len(lines)) if lines[k] == [b"end_header"])
    properties = [words for words in lines[first + 1 : end] if words[0] == b"property"]
    if end - first - 1 != 3 or [words[2:] for words in properties] != [[b"x"], [b"y"], [b"z"]]:
        return 0
    if any(words[1] not in (b"double", b"float64") for words in properties):
        return 0
    return int(vertex[2])


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
        # Its pages made at once (every one is filled next), not one fault at a time:
        # measured, a 24 MB file read in 15 ms of CPU rather than 18.
        buffer = mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | getattr(mmap, "MAP_POPULATE", 0))
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
    rows = _xyz_rows(header)
    return Body(_identity(before), start, view, rows if 24 * rows <= size else 0)
