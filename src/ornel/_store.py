"""A collection that remembers: clouds recognised by the digest of their points, each
cloud's index (spatial order and graphs) in array files, meshes' triangle hierarchies
likewise (recognised by the digest of their vertices and triangles), and every ordered
pair's mean, maximum and count, so that a later run builds and computes only what is new.

A store is a directory: an SQLite database (WAL mode, so readers never wait for a
writer), `arrays/`, whose files are named by the SHA-256 digest of their bytes, and
`indexes/`, one small manifest per stored index naming its cloud and files, from which
`repair` rebuilds a damaged database. Nothing read from it is trusted: an array file is
used only when its size and digest are those recorded, each cloud and pair row carries a
checksum over its values (SQLite's own checks do not see a changed bit inside a value),
and a damaged, truncated or missing file or row is reported once and rebuilt. Files are
written under a temporary name and renamed when complete, and rows are written in short
transactions after the files they name, so a writer killed at any moment (or stopped by
a full disk) leaves at worst an unreferenced file behind (which `prune` removes), and
two processes adding at once only ever see whole rows and whole files."""

from __future__ import annotations

import hashlib
import io
import json
import os
import re
import sqlite3
import threading
import time
import uuid
import warnings
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Executor, ThreadPoolExecutor
from contextlib import contextmanager, suppress
from dataclasses import dataclass
from functools import partial
from os import PathLike
from pathlib import Path
from typing import Any, Union
from urllib.parse import quote

import numpy as np
import numpy.typing as npt

from ornel._cloud import Cloud, Precision, as_cloud, bounding_box, check_precision
from ornel._errors import CloudError
from ornel._formats import NPY_HEADER_LOCK
from ornel._join import Answers, join_tile, run
from ornel._matrix import Matrix
from ornel._mesh import Mesh, mesh_coordinate
from ornel._progress import progress_bar

__all__ = ["Store", "StoreError", "StoreWarning", "points_digest"]

# Bumped whenever what is stored changes meaning; a store of a later format is refused
# rather than misread. Format 2 added the rows' checksums and the index manifests; a
# format 1 store is migrated when opened for writing, read as it is otherwise. Format 3
# added the meshes' indexes (a format 2 ornel would prune their files as unused); a
# format 2 store gets their table when opened for writing, and is read as it is otherwise.
FORMAT = 3
DATABASE = "store.sqlite"
ARRAYS = "arrays"
MANIFESTS = "indexes"
# A plain-text marker naming the store, readable without SQLite (which must not be
# opened over a network file system): workers compare it to tell a shared directory.
MARKER = "ORNEL-STORE"
TEMPORARY_PREFIX = ".tmp-"
# An unrecorded array file older than this is left over from a writer that stopped.
STALE_SECONDS = 60
# How long a writer waits for another process's transaction before giving up.
BUSY_SECONDS = 600

SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS clouds (
    digest TEXT PRIMARY KEY, name TEXT NOT NULL, source TEXT, points INTEGER NOT NULL,
    dtype TEXT NOT NULL, file_bytes INTEGER,
    lo_x REAL, lo_y REAL, lo_z REAL, hi_x REAL, hi_y REAL, hi_z REAL,
    added REAL NOT NULL, seen REAL NOT NULL, checksum TEXT);
CREATE TABLE IF NOT EXISTS files (digest TEXT PRIMARY KEY, bytes INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS indexes (
    cloud TEXT NOT NULL, precision TEXT NOT NULL, frame TEXT NOT NULL,
    order_file TEXT NOT NULL, indptr_file TEXT NOT NULL, indices_file TEXT NOT NULL,
    PRIMARY KEY (cloud, precision));
CREATE TABLE IF NOT EXISTS mesh_indexes (
    mesh TEXT NOT NULL, precision TEXT NOT NULL, name TEXT NOT NULL, triangles INTEGER NOT NULL,
    bounds_file TEXT NOT NULL, links_file TEXT NOT NULL, corners_file TEXT NOT NULL, order_file TEXT NOT NULL,
    checksum TEXT NOT NULL, PRIMARY KEY (mesh, precision));
CREATE TABLE IF NOT EXISTS pairs (
    query TEXT NOT NULL, target TEXT NOT NULL, precision TEXT NOT NULL,
    mean REAL NOT NULL, max REAL NOT NULL, count INTEGER NOT NULL, checksum TEXT,
    PRIMARY KEY (query, target, precision));
"""
CLOUD_COLUMNS = "digest, name, source, points, dtype, file_bytes, lo_x, lo_y, lo_z, hi_x, hi_y, hi_z, added, seen"
PAIR_COLUMNS = "query, target, precision, mean, max, count"
MESH_INDEX_COLUMNS = "mesh, precision, name, triangles, bounds_file, links_file, corners_file, order_file"
MESH_FILES = ("bounds_file", "links_file", "corners_file", "order_file")
DIGEST = re.compile(r"[0-9a-f]{64}")


def left_over(path: Path) -> bool:
    """Whether an unrecorded file is old enough (or already gone) to be nobody's work in
    progress: another process writes its files first and records them after."""
    try:
        return time.time() - path.stat().st_mtime >= STALE_SECONDS
    except FileNotFoundError:
        return False


class StoreError(CloudError):
    """A store that cannot be used: not a directory, not a store, or of a newer format."""


class StoreWarning(UserWarning):
    """A stored file that was damaged, truncated or missing, and is being rebuilt."""


class _Damaged(Exception):
    pass


def row_checksum(values: Sequence[Any]) -> str:
    """A checksum over a row's values with their types, so that a changed bit in any of
    them (or a value read back as another type) is seen. A tuple's repr tells types
    apart (1, 1.0, '1') and writes each float exactly, and costs a fraction of encoding
    the values one by one (a store of a thousand clouds holds a million pairs)."""
    return hashlib.blake2b(repr(tuple(values)).encode("utf-8", "surrogateescape"), digest_size=16).hexdigest()


def _checked(row: Sequence[Any]) -> bool:
    """Whether a row read with its checksum last holds the values it was written with."""
    *values, checksum = row
    return bool(checksum == row_checksum(values))


def damaged_database(path: Path, problem: str) -> StoreError:
    """What a store whose database cannot be read is told: its array files are checked
    apart, so the database can be rebuilt from them."""
    return StoreError(
        str(path / DATABASE),
        f"the store's database is damaged ({problem}); the array files are "
        f"checked apart and kept: 'ornel store {path} --repair' rebuilds the database from what they "
        "hold, or use a new store directory",
    )


def database_failure(path: Path, error: sqlite3.DatabaseError) -> StoreError:
    """A failing SQLite statement as the one-line StoreError its cause calls for: a full
    disk, a failing device, another process's lock or a database this process may not
    use are said as such; anything else our fixed statements meet is damage."""
    code = error.sqlite_errorname or ""
    text = str(error)
    where = str(path / DATABASE)
    if code.startswith("SQLITE_FULL"):
        return StoreError(where, f"cannot be written ({text}); nothing of this change was kept, the store is as it was")
    if code.startswith("SQLITE_IOERR"):
        return StoreError(
            where,
            f"cannot be written or read ({text}: a full disk, a file-size limit or a failing "
            "device); nothing of this change was kept, the store is as it was",
        )
    if code.startswith(("SQLITE_BUSY", "SQLITE_LOCKED")):
        return StoreError(str(path), f"another process holds the store's lock ({text}); try again when it is done")
    if code.startswith(("SQLITE_READONLY", "SQLITE_CANTOPEN", "SQLITE_PERM", "SQLITE_AUTH", "SQLITE_NOMEM")):
        return StoreError(str(path), f"its database {DATABASE} cannot be used ({text})")
    return damaged_database(path, text)


def points_digest(points: npt.NDArray[Any]) -> str:
    """SHA-256 of a cloud's points as searched (type, shape and bytes): the same points
    give the same digest wherever the file lies and whatever it is called."""
    array = np.ascontiguousarray(points)
    digest = hashlib.sha256(f"{array.dtype.str}{array.shape}".encode())
    digest.update(array.data.cast("B"))
    return digest.hexdigest()


def frame_text(cloud: Cloud, precision: Precision) -> str:
    # The single-precision graph is that of the points measured from the frame.
    return repr(cloud.frame) if precision == "f32" else "None"


def _npy_bytes(array: npt.NDArray[Any]) -> tuple[bytes, memoryview]:
    header = io.BytesIO()
    np.lib.format.write_array_header_1_0(header, np.lib.format.header_data_from_array_1_0(array))
    return header.getvalue(), array.data.cast("B")


def write_file_atomically(directory: Path, name: str, parts: Sequence[Any]) -> None:
    """Writes the parts to a temporary name in `directory`, then renames: a reader (or a
    crash) sees the whole file or none. A write that fails (a full disk, a file-size
    limit) leaves nothing behind and is a StoreError."""
    temporary = directory / f"{TEMPORARY_PREFIX}{uuid.uuid4().hex}"
    try:
        with open(temporary, "wb") as file:
            for part in parts:
                file.write(part)
        os.replace(temporary, directory / name)
    except BaseException as error:
        temporary.unlink(missing_ok=True)
        if isinstance(error, OSError):
            raise StoreError(
                str(directory / name),
                f"cannot be written ({error.strerror or error}); nothing of it was kept, the store is as it was",
            ) from None
        raise


def read_array(path: Path, digest: str, size: int, dtype: Any) -> npt.NDArray[Any]:
    """A stored 1-D array, read once into memory and viewed there, after its size and
    digest are checked; _Damaged says what is wrong."""
    try:
        with open(path, "rb") as file:
            actual = os.fstat(file.fileno()).st_size
            if actual != size:
                raise _Damaged(f"{actual} bytes, {size} recorded (truncated or overwritten)")
            buffer = np.empty(size, np.uint8)  # filled by the read: no zeroing first
            if file.readinto(buffer.data) != size:
                raise _Damaged("shorter than its size")
    except FileNotFoundError:
        raise _Damaged("missing") from None
    except OSError as error:
        raise _Damaged(f"unreadable ({error.strerror or error})") from None
    if hashlib.sha256(buffer.data).hexdigest() != digest:
        raise _Damaged("its digest does not match (damaged)")
    header = io.BytesIO(buffer[:4096].tobytes())
    try:
        with NPY_HEADER_LOCK:
            np.lib.format.read_magic(header)
            shape, fortran, stored_dtype = np.lib.format.read_array_header_1_0(header)
    except (ValueError, EOFError, SyntaxError) as error:
        raise _Damaged(f"not an array ({error})") from None
    if len(shape) != 1 or stored_dtype != np.dtype(dtype) or header.tell() + shape[0] * stored_dtype.itemsize != size:
        raise _Damaged(f"holds {stored_dtype} of shape {shape}; expected 1-D {np.dtype(dtype)}")
    array = np.frombuffer(buffer, stored_dtype, shape[0], header.tell())
    array.flags.writeable = False
    return array


def read_index(
    directory: str | PathLike[str], files: Sequence[tuple[str, int]]
) -> tuple[npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any]]:
    """(order, indptr, indices) from the array files of one stored index, each given as
    (digest, size); _Damaged if any is not as recorded."""
    arrays = Path(directory) / ARRAYS
    order, indptr, indices = (read_array(arrays / f"{digest}.npy", digest, size, np.uint32) for digest, size in files)
    return order, indptr, indices


def store_identity(directory: str) -> str | None:
    """The id a store's marker names, or None where there is none (another machine)."""
    try:
        with open(Path(directory) / MARKER) as marker:
            for line in marker:
                if line.startswith("id "):
                    return line.split()[1]
    except OSError:
        pass
    return None


@dataclass(frozen=True)
class StoredCloud:
    digest: str
    name: str
    source: str | None
    points: int
    precisions: tuple[str, ...]


class Store:
    """A directory that keeps clouds' indexes and pair results between runs.

    `Store(path)` opens the store at `path`, making it (and the directory) if needed;
    `create=False` refuses a directory that holds no store. One `Store` may be used from
    many threads, and many processes may use one directory at once. Damaged files are
    reported through `report` (default: a `StoreWarning`), each once. A store this
    process may not write (`readonly`) is read as it is; keeping anything in it raises
    StoreError before the work is done."""

    def __init__(
        self, path: str | PathLike[str], *, create: bool = True, report: Callable[[str], object] | None = None
    ) -> None:
        self.path = Path(path)
        self._report_to = report
        self._reported: set[str] = set()
        self._lock = threading.RLock()
        source = str(path)
        if self.path.exists() and not self.path.is_dir():
            raise StoreError(source, "not a directory; a store is a directory")
        database = self.path / DATABASE
        if not database.exists():
            if not create:
                raise StoreError(source, "holds no ornel store" if self.path.is_dir() else "no such directory")
        # A store this process may not change (a read-only mount, another user's) is
        # still read: listed, and searched where it holds what is asked.
        places = (self.path, database, self.path / ARRAYS)
        self.readonly = database.exists() and not all(os.access(p, os.W_OK) for p in places if p.exists())
        if not self.readonly:
            try:
                self.path.mkdir(parents=True, exist_ok=True)
                (self.path / ARRAYS).mkdir(exist_ok=True)
                (self.path / MANIFESTS).mkdir(exist_ok=True)
            except OSError as error:
                raise StoreError(source, f"cannot be made ({error.strerror or error})") from None
        try:
            if self.readonly:
                self._db = self._connect_readonly()
                version = self._format(self._db)
                if version is None:
                    raise StoreError(source, "holds no ornel store (its database has no store in it)")
            else:
                self._db = sqlite3.connect(
                    database, timeout=BUSY_SECONDS, isolation_level=None, check_same_thread=False
                )
                self._db.execute(f"PRAGMA busy_timeout = {BUSY_SECONDS * 1000}")
                self._db.execute("PRAGMA journal_mode = WAL")
                # A lost last transaction on power failure is harmless here; a torn one is not possible.
                self._db.execute("PRAGMA synchronous = NORMAL")
                with self._write() as db:
                    version = self._format(db)
                    if version is None:
                        for statement in filter(str.strip, SCHEMA.split(";")):
                            db.execute(statement)
                        db.execute("INSERT INTO meta VALUES ('format', ?), ('id', ?)", (str(FORMAT), uuid.uuid4().hex))
                        version = FORMAT
                    elif version < FORMAT:
                        self._migrate(db, version)
                        version = FORMAT
            if version > FORMAT:
                raise StoreError(
                    source,
                    f"written by a newer ornel (store format {version}; this ornel reads "
                    f"format {FORMAT} and older): upgrade ornel, or use another directory",
                )
            # Rows of a store too old to have checksums (read-only here, so not migrated) are read as they are.
            self._checksums = version >= 2
            # A format 2 store read as it is has no mesh indexes.
            self._meshes = version >= 3
            identity = self._db.execute("SELECT value FROM meta WHERE key = 'id'").fetchone()
            if identity is None or not isinstance(identity[0], str):
                raise damaged_database(self.path, "its id is missing")
            self.id = identity[0]
        except (sqlite3.DatabaseError, StoreError) as error:
            if hasattr(self, "_db"):
                self._db.close()
            if isinstance(error, sqlite3.DatabaseError):
                raise database_failure(self.path, error) from None
            raise
        if not self.readonly and store_identity(str(self.path)) != self.id:
            if (self.path / MARKER).exists() and not (self.path / MARKER).read_bytes().startswith(b"ornel store\n"):
                raise StoreError(
                    str(self.path / MARKER),
                    "a file of the same name as the store's marker, not written by ornel; not overwritten",
                )
            write_file_atomically(self.path, MARKER, [f"ornel store\nid {self.id}\nformat {FORMAT}\n".encode()])

    def _migrate(self, db: sqlite3.Connection, version: int) -> None:
        """An older store made this format, in the opening transaction: from format 1 each
        cloud and pair row gets its checksum, each index its manifest; from 1 or 2 the
        table of mesh indexes is made."""
        mesh_table = next(statement for statement in SCHEMA.split(";") if "mesh_indexes" in statement)
        db.execute(mesh_table)
        if version >= 2:
            db.execute("UPDATE meta SET value = ? WHERE key = 'format'", (str(FORMAT),))
            return
        for table, columns in (("clouds", CLOUD_COLUMNS), ("pairs", PAIR_COLUMNS)):
            db.execute(f"ALTER TABLE {table} ADD COLUMN checksum TEXT")
            rows = db.execute(f"SELECT rowid, {columns} FROM {table}").fetchall()
            db.executemany(
                f"UPDATE {table} SET checksum = ? WHERE rowid = ?",
                [(row_checksum(values), rowid) for rowid, *values in rows],
            )
        clouds = {row[0]: row for row in db.execute(f"SELECT {CLOUD_COLUMNS} FROM clouds")}
        for row in db.execute(
            "SELECT i.cloud, i.precision, i.frame, o.digest, o.bytes, p.digest, p.bytes, x.digest, "
            "x.bytes FROM indexes i JOIN files o ON o.digest = i.order_file JOIN files p ON "
            "p.digest = i.indptr_file JOIN files x ON x.digest = i.indices_file"
        ).fetchall():
            cloud, precision, frame, *files = row
            if cloud in clouds:
                self._write_manifest(clouds[cloud], precision, frame, list(zip(files[::2], files[1::2])))
        db.execute("UPDATE meta SET value = ? WHERE key = 'format'", (str(FORMAT),))

    def _write_manifest(
        self, cloud_row: Sequence[Any], precision: str, frame: str, files: Sequence[tuple[str, int]]
    ) -> None:
        """What a stored index is, beside its arrays: the index's row and its cloud's,
        with a checksum, so that a damaged database can be rebuilt from the files."""
        content = {
            "cloud": list(cloud_row),
            "precision": precision,
            "frame": frame,
            "files": [list(file) for file in files],
        }
        content["checksum"] = row_checksum([json.dumps(content, sort_keys=True)])
        write_file_atomically(
            self.path / MANIFESTS, f"{cloud_row[0]}-{precision}.json", [json.dumps(content, sort_keys=True).encode()]
        )

    def _connect_readonly(self) -> sqlite3.Connection:
        """The database opened for reading only. SQLite reads a WAL database through its
        shared-memory file, which a read-only directory cannot hold unless a writer left
        it there: without one (a store at rest, everything in the database file) it is
        opened as immutable, which needs no file beside it."""
        uri = f"file:{quote(str(self.path / DATABASE))}?mode=ro"
        try:
            db = sqlite3.connect(uri, uri=True, timeout=BUSY_SECONDS, isolation_level=None, check_same_thread=False)
            db.execute("SELECT count(*) FROM sqlite_master").fetchone()
            return db
        except sqlite3.OperationalError as error:
            if _size(self.path / f"{DATABASE}-wal"):  # rows only in the log: immutable would not see them
                raise StoreError(
                    str(self.path),
                    f"read-only here, and rows of its last writer are still in "
                    f"{DATABASE}-wal, which SQLite cannot read without writing beside it ({error}): "
                    "open it once where it may be written",
                ) from None
        return sqlite3.connect(uri + "&immutable=1", uri=True, isolation_level=None, check_same_thread=False)

    def _writable(self, action: str) -> None:
        """Refuses to change a read-only store, before any work is done for it."""
        if self.readonly:
            raise StoreError(
                str(self.path),
                f"read-only here (its directory or database cannot be written), "
                f"so it cannot {action}; use a store this process may write",
            )

    def _format(self, db: sqlite3.Connection) -> int | None:
        if db.execute("SELECT 1 FROM sqlite_master WHERE name = 'meta'").fetchone() is None:
            return None
        row = db.execute("SELECT value FROM meta WHERE key = 'format'").fetchone()
        if row is None:
            return None
        if not (isinstance(row[0], str) and row[0].isdigit()):
            raise damaged_database(self.path, f"its format is {row[0]!r}, not a whole number")
        return int(row[0])

    def close(self) -> None:
        with self._lock:
            self._db.close()

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"Store({str(self.path)!r})"

    @contextmanager
    def _write(self) -> Iterator[sqlite3.Connection]:
        """One write transaction: all of it or nothing, whatever interrupts it."""
        with self._lock:
            self._writable("be changed")
            started = time.monotonic()
            try:
                self._db.execute("BEGIN IMMEDIATE")
            except sqlite3.OperationalError as error:
                if "locked" not in str(error) and "busy" not in str(error):
                    raise database_failure(self.path, error) from None
                raise StoreError(
                    str(self.path),
                    f"another process holds the store's lock (it is writing to it); "
                    f"gave up after waiting {time.monotonic() - started:.0f} s",
                ) from None
            except sqlite3.DatabaseError as error:
                raise database_failure(self.path, error) from None
            try:
                yield self._db
                self._db.execute("COMMIT")
            except BaseException as error:
                # A failed COMMIT (a full disk) may leave the transaction open: end it.
                with suppress(sqlite3.Error):
                    self._db.execute("ROLLBACK")
                if isinstance(error, sqlite3.DatabaseError):
                    raise database_failure(self.path, error) from None
                raise

    def _read(self, sql: str, parameters: Sequence[Any] = ()) -> list[Any]:
        with self._lock:
            try:
                return self._db.execute(sql, parameters).fetchall()
            except sqlite3.DatabaseError as error:
                raise database_failure(self.path, error) from None

    def _report(self, key: str, message: str) -> None:
        with self._lock:
            if key in self._reported:
                return
            self._reported.add(key)
        if self._report_to is not None:
            self._report_to(message)
        else:
            warnings.warn(message, StoreWarning, stacklevel=4)

    # -- clouds ---------------------------------------------------------------------

    def add(
        self,
        clouds: Sequence[Cloud],
        digests: Sequence[str] | None = None,
        file_bytes: Sequence[int | None] | None = None,
    ) -> list[str]:
        """Records the clouds (name, source, size, bounding box) under the digests of
        their points; a cloud already known gets its latest name and source. Returns
        the digests."""
        if digests is None:
            digests = [points_digest(cloud.points) for cloud in clouds]
        if self.readonly:
            return list(digests)  # known clouds keep their rows; new ones are refused when kept
        now = time.time()
        known = self._cloud_rows()
        rows = {}
        for k, (cloud, digest) in enumerate(zip(clouds, digests)):
            size = file_bytes[k] if file_bytes is not None else None
            old = known.get(digest)
            # The box and first sighting of a known cloud stay: its points are the same.
            rows[digest] = cloud_row(cloud, digest, size, now, None if old is None else old[6:13])
        with self._write() as db:
            db.executemany(
                f"INSERT OR REPLACE INTO clouds ({CLOUD_COLUMNS}, checksum) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                [(*row, row_checksum(row)) for row in rows.values()],
            )
        return list(digests)

    def _cloud_rows(self) -> dict[str, tuple[Any, ...]]:
        """Every cloud row that holds what was written, by digest; the others are
        reported (once) and dropped, to be written anew when their clouds come again."""
        rows = self._read(f"SELECT rowid, {CLOUD_COLUMNS}, {self._checksum_column} FROM clouds")
        good, damaged = {}, []
        for rowid, *row in rows:
            if self._checksums and not _checked(row):
                damaged.append(rowid)
            else:
                good[row[0]] = tuple(row[:-1])
        if damaged:
            self._drop_damaged(
                "clouds",
                damaged,
                f"{len(damaged)} cloud row{'s' if len(damaged) > 1 else ''} "
                "(name, size, box) not as written (damaged); not used, written anew when "
                "those clouds are added again",
            )
        return good

    @property
    def _checksum_column(self) -> str:
        return "checksum" if self._checksums else "NULL"

    def _drop_damaged(self, table: str, rowids: Sequence[int], problem: str) -> None:
        self._report(f"{table} rows", f"{self.path / DATABASE}: {problem}")
        if not self.readonly:
            with self._write() as db:
                db.executemany(f"DELETE FROM {table} WHERE rowid = ?", [(rowid,) for rowid in rowids])

    def clouds(self) -> list[StoredCloud]:
        rows = sorted(self._cloud_rows().values(), key=lambda row: (row[12], row[1]))
        indexed: dict[str, list[str]] = {}
        for cloud, precision in self._read("SELECT cloud, precision FROM indexes ORDER BY precision"):
            indexed.setdefault(cloud, []).append(precision)
        return [StoredCloud(row[0], row[1], row[2], row[3], tuple(indexed.get(row[0], ()))) for row in rows]

    # -- indexes --------------------------------------------------------------------

    def _index_files(self, digest: str, precision: str) -> tuple[str, list[tuple[str, int]]] | None:
        rows = self._read(
            "SELECT i.frame, o.digest, o.bytes, p.digest, p.bytes, x.digest, x.bytes FROM indexes i "
            "JOIN files o ON o.digest = i.order_file JOIN files p ON p.digest = i.indptr_file "
            "JOIN files x ON x.digest = i.indices_file WHERE i.cloud = ? AND i.precision = ?",
            (digest, precision),
        )
        if not rows:
            return None
        frame, *files = rows[0]
        return frame, [(files[0], files[1]), (files[2], files[3]), (files[4], files[5])]

    def index_files(self, cloud: Cloud, digest: str, precision: Precision) -> list[tuple[str, int]] | None:
        """The (digest, size) of the files of a cloud's stored index in `precision`, or
        None if there is none fit for these points."""
        found = self._index_files(digest, precision)
        if found is None or found[0] != frame_text(cloud, precision):
            return None
        return found[1]

    def load_index(self, cloud: Cloud, digest: str, precision: Precision) -> bool:
        """Gives `cloud` its stored order and graph in `precision`; False (the damage
        reported) where there is none or it cannot be trusted."""
        precision = check_precision(precision)
        files = self.index_files(cloud, digest, precision)
        if files is None:
            return False
        try:
            order, indptr, indices = read_index(self.path, files)
        except _Damaged as error:
            self._damaged(cloud, precision, files, str(error))
            return False
        try:
            cloud.adopt_index(order, {precision: (indptr, indices)})
        except ValueError as error:
            self._damaged(cloud, precision, files, f"does not fit the cloud ({error})")
            return False
        return True

    def _damaged(self, cloud: Cloud, precision: str, files: Sequence[tuple[str, int]], problem: str) -> None:
        # Which file is at fault, so that the report names it.
        culprit = files[0][0]
        for name, size in files:
            try:
                read_array(self.path / ARRAYS / f"{name}.npy", name, size, np.uint32)
            except _Damaged as error:
                culprit, problem = name, str(error)
                break
        self._report(
            culprit,
            f"{self.path / ARRAYS / culprit}.npy: {problem}; not used, the {precision} "
            f"index of {cloud.name} is rebuilt",
        )

    def save_index(self, cloud: Cloud, digest: str, precision: Precision) -> None:
        """Builds (if needed) and keeps the cloud's order and graph in `precision`."""
        precision = check_precision(precision)
        self._writable(f"keep the {precision} index of {cloud.name}")
        indptr, indices = cloud.graph(precision)
        order = cloud.order.astype(np.uint32)
        names = [self._save_array(array) for array in (order, np.asarray(indptr), np.asarray(indices))]
        self._write_manifest(
            cloud_row(cloud, digest, None, time.time()), precision, frame_text(cloud, precision), names
        )
        with self._write() as db:
            db.executemany("INSERT OR REPLACE INTO files VALUES (?, ?)", names)
            db.execute(
                "INSERT OR REPLACE INTO indexes VALUES (?, ?, ?, ?, ?, ?)",
                (digest, precision, frame_text(cloud, precision), *(name for name, _ in names)),
            )

    def _save_array(self, array: npt.NDArray[Any]) -> tuple[str, int]:
        array = np.ascontiguousarray(array)
        header, data = _npy_bytes(array)
        hasher = hashlib.sha256(header)
        hasher.update(data)
        digest = hasher.hexdigest()
        path = self.path / ARRAYS / f"{digest}.npy"
        size = len(header) + data.nbytes
        try:
            # Named by content: a whole file of the right size under this name is this
            # content, unless damaged, which is what reading checks.
            if path.stat().st_size == size and hashlib.sha256(path.read_bytes()).hexdigest() == digest:
                os.utime(path)  # fresh again: a prune running now leaves it for the row to come
                return digest, size
        except OSError:
            pass
        write_file_atomically(self.path / ARRAYS, path.name, [header, data])
        return digest, size

    def ensure_index(self, cloud: Cloud, digest: str, precision: Precision) -> bool:
        """The cloud's index in `precision` from the store, or built and kept; True if
        it was built here."""
        if cloud.cached_graph(precision) is None:
            if self.load_index(cloud, digest, precision):
                return False
            self._writable(f"keep the {precision} index of {cloud.name}")
        else:
            # Built already (in memory): keep it unless the store holds it whole.
            files = self.index_files(cloud, digest, precision)
            if files is not None and all(_size(self.path / ARRAYS / f"{name}.npy") == size for name, size in files):
                return False
        self.save_index(cloud, digest, precision)
        return True

    # -- mesh indexes ---------------------------------------------------------------

    def _mesh_index_files(self, mesh: Mesh, precision: str) -> list[tuple[str, int]] | None:
        """The (digest, size) of the files of the mesh's stored index in `precision`, or
        None where there is none; a row not as written is reported and dropped."""
        if not self._meshes:
            return None
        joins = " ".join(f"JOIN files f{k} ON f{k}.digest = m.{column}" for k, column in enumerate(MESH_FILES))
        sizes = ", ".join(f"f{k}.bytes" for k in range(len(MESH_FILES)))
        rows = self._read(
            f"SELECT m.rowid, {', '.join('m.' + c for c in MESH_INDEX_COLUMNS.split(', '))}, m.checksum, {sizes} "
            f"FROM mesh_indexes m {joins} WHERE m.mesh = ? AND m.precision = ?",
            (mesh.digest, precision),
        )
        if not rows:
            return None
        rowid, *row = rows[0]
        values, sizes_found = row[: len(MESH_FILES) + 5], row[len(MESH_FILES) + 5 :]
        if not _checked(values) or values[3] != len(mesh):
            self._drop_damaged(
                "mesh_indexes", [rowid], f"the {precision} index row of mesh {mesh.name} not as written (damaged)"
            )
            return None
        return list(zip(values[4:8], sizes_found))

    def load_mesh_index(self, mesh: Mesh, precision: Precision) -> bool:
        """Gives `mesh` its stored index in `precision`; False (the damage reported) where
        there is none or it cannot be trusted."""
        precision = check_precision(precision)
        files = self._mesh_index_files(mesh, precision)
        if files is None:
            return False
        arrays = []
        for (name, size), dtype in zip(
            files, (mesh_coordinate(precision), np.uint32, mesh_coordinate(precision), np.uint32)
        ):
            try:
                arrays.append(read_array(self.path / ARRAYS / f"{name}.npy", name, size, dtype))
            except _Damaged as error:
                self._report(
                    name,
                    f"{self.path / ARRAYS / name}.npy: {error}; not used, the {precision} index of mesh "
                    f"{mesh.name} is rebuilt",
                )
                return False
        try:
            mesh.adopt_index(precision, arrays)
        except ValueError as error:
            self._report(
                files[0][0],
                f"{self.path / ARRAYS / files[0][0]}.npy: does not fit the mesh ({error}); not used, "
                f"the {precision} index of mesh {mesh.name} is rebuilt",
            )
            return False
        return True

    def save_mesh_index(self, mesh: Mesh, precision: Precision) -> None:
        """Builds (if needed) and keeps the mesh's index in `precision`."""
        precision = check_precision(precision)
        self._writable(f"keep the {precision} index of mesh {mesh.name}")
        names = [self._save_array(np.ravel(array)) for array in mesh.index(precision)]
        row = (mesh.digest, precision, mesh.name, len(mesh), *(name for name, _ in names))
        with self._write() as db:
            db.executemany("INSERT OR REPLACE INTO files VALUES (?, ?)", names)
            db.execute(
                f"INSERT OR REPLACE INTO mesh_indexes ({MESH_INDEX_COLUMNS}, checksum) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (*row, row_checksum(row)),
            )

    def ensure_mesh_index(self, mesh: Mesh, precision: Precision) -> bool:
        """The mesh's index in `precision` from the store, or built and kept; True if it
        was built here."""
        if not mesh.has_index(precision):
            if self.load_mesh_index(mesh, precision):
                return False
            self._writable(f"keep the {precision} index of mesh {mesh.name}")
        else:
            files = self._mesh_index_files(mesh, precision)
            if files is not None and all(_size(self.path / ARRAYS / f"{name}.npy") == size for name, size in files):
                return False
        self.save_mesh_index(mesh, precision)
        return True

    # -- pairs ----------------------------------------------------------------------

    def pairs(self, digests: Sequence[str], precision: Precision) -> dict[tuple[str, str], tuple[float, float]]:
        """Stored (mean, max) of the ordered pairs (query, target) among `digests`."""
        return {(q, t): (mean, maximum) for q, t, _, mean, maximum, _ in self._pair_rows(precision, set(digests))}

    def _pair_rows(self, precision: str | None = None, wanted: set[str] | None = None) -> list[tuple[Any, ...]]:
        """The pair rows (of one precision, among the `wanted` clouds) that hold what was
        written; the others are reported (once) and dropped, so that they are computed
        again."""
        where, parameters = ("WHERE precision = ?", (precision,)) if precision else ("", ())
        rows = self._read(f"SELECT rowid, {PAIR_COLUMNS}, {self._checksum_column} FROM pairs {where}", parameters)
        good, damaged = [], []
        for rowid, *row in rows:
            if wanted is not None and not (row[0] in wanted and row[1] in wanted):
                continue  # a damaged key is not wanted either: it is never used
            if self._checksums and not _checked(row):
                damaged.append(rowid)
            else:
                good.append(tuple(row[:-1]))
        if damaged:
            self._drop_damaged(
                "pairs",
                damaged,
                f"{len(damaged)} stored pair{'s' if len(damaged) > 1 else ''} "
                "not as written (damaged); not used, computed again",
            )
        return good

    def put_pairs(self, rows: Sequence[tuple[str, str, str, float, float, int]]) -> None:
        """Keeps (query, target, precision, mean, max, count) rows, all or none."""
        if rows:
            self._writable(f"keep the {len(rows)} pairs computed")
            with self._write() as db:
                # As SQLite gives them back (a NumPy float's repr is not a float's).
                plain = [
                    (str(q), str(t), str(p), float(mean), float(maximum), int(count))
                    for q, t, p, mean, maximum, count in rows
                ]
                db.executemany(
                    f"INSERT OR REPLACE INTO pairs ({PAIR_COLUMNS}, checksum) VALUES (?, ?, ?, ?, ?, ?, ?)",
                    [(*row, row_checksum(row)) for row in plain],
                )

    # -- listing and pruning --------------------------------------------------------

    def summary(self) -> dict[str, Any]:
        """Counts and sizes: clouds, indexes, pairs per precision, bytes on disk."""
        arrays = sum(f.stat().st_size for f in (self.path / ARRAYS).iterdir() if f.is_file())
        database = sum(f.stat().st_size for f in self.path.iterdir() if f.name.startswith(DATABASE))
        pairs: dict[str, int] = {}
        for row in self._pair_rows():
            pairs[row[2]] = pairs.get(row[2], 0) + 1
        clouds = self._cloud_rows()
        return {
            "clouds": len(clouds),
            "points": sum(row[3] for row in clouds.values()),
            "indexes": self._read("SELECT count(*) FROM indexes")[0][0],
            "mesh_indexes": self._read("SELECT count(*) FROM mesh_indexes")[0][0] if self._meshes else 0,
            "pairs": pairs,
            "array_bytes": arrays,
            "database_bytes": database,
        }

    def prune(self, keep: Sequence[str] | None = None) -> dict[str, int]:
        """Removes array files no index uses (left by killed writers or replaced) and,
        if `keep` (digests) is given, every cloud not in it with its indexes and pairs.
        Returns what was removed."""
        removed = {"clouds": 0, "pairs": 0, "files": 0}
        self._writable("be pruned")
        dropped: set[str] = set()  # files of the indexes removed here
        with self._write() as db:
            if keep is not None:
                db.execute("CREATE TEMP TABLE IF NOT EXISTS keep (digest TEXT PRIMARY KEY)")
                db.execute("DELETE FROM keep")
                db.executemany("INSERT OR IGNORE INTO keep VALUES (?)", [(d,) for d in keep])
                removed["pairs"] = db.execute(
                    "DELETE FROM pairs WHERE query NOT IN (SELECT digest FROM keep) "
                    "OR target NOT IN (SELECT digest FROM keep)"
                ).rowcount
                for cloud, precision, *row in db.execute(
                    "SELECT cloud, precision, order_file, indptr_file, indices_file FROM indexes "
                    "WHERE cloud NOT IN (SELECT digest FROM keep)"
                ).fetchall():
                    dropped.update(row)
                    dropped.add(f"{cloud}-{precision}")
                db.execute("DELETE FROM indexes WHERE cloud NOT IN (SELECT digest FROM keep)")
                for row in db.execute(
                    f"SELECT {', '.join(MESH_FILES)} FROM mesh_indexes WHERE mesh NOT IN (SELECT digest FROM keep)"
                ).fetchall():
                    dropped.update(row)
                db.execute("DELETE FROM mesh_indexes WHERE mesh NOT IN (SELECT digest FROM keep)")
                removed["clouds"] = db.execute(
                    "DELETE FROM clouds WHERE digest NOT IN (SELECT digest FROM keep)"
                ).rowcount
            mesh_files = "".join(f" UNION SELECT {column} FROM mesh_indexes" for column in MESH_FILES)
            db.execute(
                "DELETE FROM files WHERE digest NOT IN (SELECT order_file FROM indexes UNION "
                f"SELECT indptr_file FROM indexes UNION SELECT indices_file FROM indexes{mesh_files})"
            )
            used = {row[0] for row in db.execute("SELECT digest FROM files")}
            for path in (self.path / ARRAYS).iterdir():
                if path.suffix == ".npy" and path.stem in used:
                    continue
                # Another process may have just written a file it has not yet recorded
                # (files first, rows after): only files whose rows went here, or that
                # nobody recorded for a minute, are left over.
                if path.stem not in dropped and not left_over(path):
                    continue
                path.unlink(missing_ok=True)
                removed["files"] += 1
            # Manifests of indexes no longer stored, under the same rule (not counted:
            # they are the store's bookkeeping, not what it keeps).
            indexed = {
                f"{cloud}-{precision}" for cloud, precision in db.execute("SELECT cloud, precision FROM indexes")
            }
            for path in (self.path / MANIFESTS).glob("*.json"):
                if path.stem in indexed:
                    continue
                if path.stem not in dropped and not left_over(path):
                    continue
                path.unlink(missing_ok=True)
        return removed

    @staticmethod
    def repair(path: str | PathLike[str]) -> dict[str, Any]:
        """Rebuilds the database of the store at `path` from what can still be trusted:
        the rows of the old database that can be read and match their checksums, and
        the index manifests whose array files are whole. The old database is kept
        beside, renamed; no other process may use the store meanwhile. Returns what was
        kept and lost."""
        return repair_database(Path(path))


def cloud_row(
    cloud: Cloud, digest: str, file_bytes: int | None, now: float, kept: Sequence[Any] | None = None
) -> tuple[Any, ...]:
    """A cloud's row, as CLOUD_COLUMNS; `kept`: the box and first sighting of its stored
    row, which its points determine (else measured here)."""
    # A cloud made from an array has its name for source; a loaded one, its path.
    from_file = cloud.source is not None and cloud.source != cloud.name
    size = file_bytes if file_bytes is not None else _file_size(cloud.source) if from_file else None
    # Where the file lay, wherever the command was run from.
    source = os.path.abspath(cloud.source) if size is not None and cloud.source else cloud.source
    if kept is None:
        lo, hi = bounding_box(cloud.points)
        kept = (*map(float, lo), *map(float, hi), now)
    return (digest, cloud.name, source, len(cloud), cloud.points.dtype.name, size, *kept, now)


# A damaged table is read row by row up to this many rows (a damaged count could be anything).
MAX_PROBED_ROWS = 10_000_000


def _salvage(db: sqlite3.Connection, table: str, columns: str) -> tuple[list[tuple[Any, ...]], bool]:
    """The rows of `table` that can be read, and whether some could not: the whole table
    at once, else row by row, skipping what a damaged page hides."""
    try:
        return [tuple(row) for row in db.execute(f"SELECT {columns} FROM {table}")], False
    except sqlite3.DatabaseError:
        pass
    try:
        last = min(int(db.execute(f"SELECT max(rowid) FROM {table}").fetchone()[0] or 0), MAX_PROBED_ROWS)
    except (sqlite3.DatabaseError, TypeError, ValueError):
        return [], True
    rows = []
    for rowid in range(1, last + 1):
        try:
            row = db.execute(f"SELECT {columns} FROM {table} WHERE rowid = ?", (rowid,)).fetchone()
        except sqlite3.DatabaseError:
            continue
        if row is not None:
            rows.append(tuple(row))
    return rows, True


def _old_rows(database: Path) -> dict[str, Any]:
    """What can be read of a store's database, table by table (nothing where it cannot
    be opened), with whether its rows carry checksums."""
    found: dict[str, Any] = {
        "meta": [],
        "clouds": [],
        "pairs": [],
        "indexes": [],
        "files": [],
        "checksums": False,
        "lost": False,
    }
    if not database.exists():
        return found
    try:
        # Read only: closing must not fold the old log into the damaged file, kept as it was.
        db = sqlite3.connect(f"file:{quote(str(database))}?mode=ro", uri=True, isolation_level=None)
    except sqlite3.DatabaseError:
        found["lost"] = True
        return found
    try:
        try:
            found["checksums"] = "checksum" in {row[1] for row in db.execute("PRAGMA table_info(pairs)")}
        except sqlite3.DatabaseError:
            found["lost"] = True
        checksum = ", checksum" if found["checksums"] else ""
        for table, columns in (
            ("meta", "key, value"),
            ("clouds", CLOUD_COLUMNS + checksum),
            ("pairs", PAIR_COLUMNS + checksum),
            ("indexes", "cloud, precision, frame, order_file, indptr_file, indices_file"),
            ("files", "digest, bytes"),
        ):
            found[table], lost = _salvage(db, table, columns)
            found["lost"] = found["lost"] or lost
    finally:
        db.close()
    return found


def _sound_cloud(row: Sequence[Any]) -> bool:
    return (
        len(row) == 14
        and isinstance(row[0], str)
        and DIGEST.fullmatch(row[0]) is not None
        and isinstance(row[1], str)
        and isinstance(row[3], int)
        and row[3] > 0
        and isinstance(row[4], str)
    )


def _sound_pair(row: Sequence[Any]) -> bool:
    return (
        len(row) == 6
        and all(isinstance(d, str) and DIGEST.fullmatch(d) for d in row[:2])
        and row[2] in ("f32", "f64")
        and all(isinstance(v, float) and 0 <= v < float("inf") for v in row[3:5])
        and isinstance(row[5], int)
        and row[5] > 0
    )


def _manifests(directory: Path) -> list[dict[str, Any]]:
    """The index manifests that match their checksums."""
    found = []
    for path in sorted((directory / MANIFESTS).glob("*.json")) if (directory / MANIFESTS).is_dir() else []:
        try:
            content = json.loads(path.read_bytes())
            checksum = content.pop("checksum")
            if checksum == row_checksum([json.dumps(content, sort_keys=True)]) and _sound_cloud(content["cloud"]):
                found.append(content)
        except (OSError, ValueError, KeyError, TypeError, AttributeError):
            continue
    return found


def repair_database(directory: Path) -> dict[str, Any]:
    """Store.repair: a new database from the old one's trusted rows and the manifests of
    whole indexes, put in the old one's place, which is kept beside under another name."""
    if not (directory / MARKER).exists() and not (directory / DATABASE).exists():
        raise StoreError(str(directory), "holds no ornel store" if directory.is_dir() else "no such directory")
    if not all(os.access(p, os.W_OK) for p in (directory, directory / ARRAYS) if p.exists()):
        raise StoreError(
            str(directory),
            "read-only here (its directory cannot be written), so it cannot be "
            "repaired; repair it where it may be written",
        )
    old = _old_rows(directory / DATABASE)
    checked = old["checksums"]
    clouds: dict[str, tuple[Any, ...]] = {}
    dropped = 0
    for row in old["clouds"]:
        values = row[:-1] if checked else row
        if (not checked or _checked(row)) and _sound_cloud(values):
            clouds[values[0]] = tuple(values)
        else:
            dropped += 1
    pairs = []
    for row in old["pairs"]:
        values = row[:-1] if checked else row
        if (not checked or _checked(row)) and _sound_pair(values):
            pairs.append(tuple(values))
        else:
            dropped += 1
    # Indexes: from the manifests first (checked), then from the old rows; each kept only
    # when its three array files are whole.
    sizes = {d: b for d, b in old["files"] if isinstance(d, str) and isinstance(b, int)}
    candidates: list[tuple[Any, Any, Any, list[tuple[Any, ...]], tuple[Any, ...] | None]] = [
        (m["cloud"][0], m["precision"], m["frame"], [tuple(f) for f in m["files"]], tuple(m["cloud"]))
        for m in _manifests(directory)
    ]
    candidates += [
        (row[0], row[1], row[2], [(d, sizes.get(d)) for d in row[3:6]], None)
        for row in old["indexes"]
        if len(row) == 6 and all(isinstance(v, str) for v in row)
    ]
    indexes: dict[tuple[str, str], tuple[str, list[tuple[str, int]]]] = {}
    for cloud, precision, frame, files, row in candidates:
        if (cloud, precision) in indexes or precision not in ("f32", "f64") or not isinstance(frame, str):
            continue
        try:
            if any(not isinstance(size, int) for _, size in files) or len(files) != 3:
                raise _Damaged("no size recorded")
            read_index(directory, files)
        except (_Damaged, TypeError, ValueError):
            continue
        indexes[cloud, precision] = (frame, files)
        if row is not None and cloud not in clouds:
            clouds[cloud] = row
    meta = dict(row for row in old["meta"] if len(row) == 2)
    identity = meta.get("id") if isinstance(meta.get("id"), str) and re.fullmatch(r"[0-9a-f]{32}", meta["id"]) else None
    identity = identity or store_identity(str(directory)) or uuid.uuid4().hex
    # The new database, whole under a temporary name before it takes the old one's place.
    (directory / ARRAYS).mkdir(exist_ok=True)
    (directory / MANIFESTS).mkdir(exist_ok=True)
    temporary = directory / f"{TEMPORARY_PREFIX}{uuid.uuid4().hex}.sqlite"
    try:
        db = sqlite3.connect(temporary, isolation_level=None)
        try:
            db.execute("BEGIN")
            for statement in filter(str.strip, SCHEMA.split(";")):
                db.execute(statement)
            db.execute("INSERT INTO meta VALUES ('format', ?), ('id', ?)", (str(FORMAT), identity))
            db.executemany(
                f"INSERT OR REPLACE INTO clouds ({CLOUD_COLUMNS}, checksum) VALUES "
                "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                [(*row, row_checksum(row)) for row in clouds.values()],
            )
            db.executemany(
                f"INSERT OR REPLACE INTO pairs ({PAIR_COLUMNS}, checksum) VALUES (?, ?, ?, ?, ?, ?, ?)",
                [(*row, row_checksum(row)) for row in pairs],
            )
            for (cloud, precision), (frame, files) in indexes.items():
                db.executemany("INSERT OR REPLACE INTO files VALUES (?, ?)", files)
                db.execute(
                    "INSERT OR REPLACE INTO indexes VALUES (?, ?, ?, ?, ?, ?)",
                    (cloud, precision, frame, *(name for name, _ in files)),
                )
            db.execute("COMMIT")
        finally:
            db.close()
        stamp = time.strftime("%Y%m%d-%H%M%S")
        kept_as = None
        if (directory / DATABASE).exists():
            kept_as = directory / f"damaged-{stamp}-{DATABASE}"
            os.replace(directory / DATABASE, kept_as)
        # The old log belongs to the old database: left in place, SQLite would apply it to the new one.
        for suffix in ("-wal", "-shm"):
            if (directory / f"{DATABASE}{suffix}").exists():
                if kept_as is not None:
                    os.replace(directory / f"{DATABASE}{suffix}", f"{kept_as}{suffix}")
                else:
                    (directory / f"{DATABASE}{suffix}").unlink()
        os.replace(temporary, directory / DATABASE)
    except OSError as error:
        raise StoreError(
            str(directory / DATABASE), f"cannot be rebuilt ({error.strerror or error}); the store is as it was"
        ) from None
    except sqlite3.DatabaseError as error:
        raise StoreError(str(directory / DATABASE), f"cannot be rebuilt ({error}); the store is as it was") from None
    finally:
        for leftover in (temporary, Path(f"{temporary}-journal")):
            leftover.unlink(missing_ok=True)
    # Every index kept gets its manifest, as if written by this version.
    with Store(directory, report=lambda message: None) as store:
        for (cloud, precision), (frame, files) in indexes.items():
            if cloud in clouds and not (directory / MANIFESTS / f"{cloud}-{precision}.json").exists():
                store._write_manifest(clouds[cloud], precision, frame, files)
    return {
        "clouds": len(clouds),
        "pairs": len(pairs),
        "indexes": len(indexes),
        "dropped": dropped,
        "unreadable": bool(old["lost"]),
        "kept_as": None if kept_as is None else str(kept_as),
    }


def _size(path: Path) -> int | None:
    try:
        return path.stat().st_size
    except OSError:
        return None


def _file_size(source: str | None) -> int | None:
    try:
        return os.path.getsize(source) if source else None
    except OSError:
        return None


StoreLike = Union[Store, str, "PathLike[str]"]


def as_store(store: StoreLike) -> tuple[Store, bool]:
    """A Store, and whether it was opened here (and so is to be closed here)."""
    return (store, False) if isinstance(store, Store) else (Store(store), True)


# -- the joins ----------------------------------------------------------------------


def rectangles(needed: npt.NDArray[np.bool_]) -> list[tuple[list[int], list[int]]]:
    """Cuts the needed entries of a pair table (needed[query, target]) into few
    (targets, queries) rectangles, each one join_tile call, computing little that is
    not needed: targets that need every query (but themselves) together, the other
    targets grouped by the queries they need. A collection from scratch is one
    rectangle; one cloud added to a stored table is two (it against all, all against it)."""
    size = len(needed)
    rows = [q for q in range(size) if needed[q].any()]
    complete: list[int] = []
    groups: dict[tuple[int, ...], list[int]] = {}
    for t in range(size):
        queries = tuple(int(q) for q in np.flatnonzero(needed[:, t]))
        if not queries:
            continue
        if set(queries) | {t} >= set(rows):
            complete.append(t)
        else:
            groups.setdefault(queries, []).append(t)
    # The groups first: their targets are then prepared when they join the complete
    # rectangle's query set, which reuses what was prepared.
    result = [(targets, list(queries)) for queries, targets in groups.items()]
    if complete:
        result.append((complete, sorted(set(rows) | set(complete))))
    return result


# At most this many bytes of answers are kept to seed the searches of reversed pairs.
ANSWERS_BUDGET = 2**28


def reversed_later(jobs: Sequence[tuple[list[int], list[int]]], sizes: Sequence[int]) -> list[tuple[int, int]]:
    """The (query, target) pairs of each rectangle that a later rectangle searches the
    other way round (one new cloud: it against every stored cloud, then every stored
    cloud against it), whose answers then seed those searches; as many as fit in
    ANSWERS_BUDGET."""
    pairs, budget = [], ANSWERS_BUDGET
    for i, (targets, queries) in enumerate(jobs):
        later = {(q, t) for later_targets, later_queries in jobs[i + 1 :] for t in later_targets for q in later_queries}
        for q in queries:
            for t in targets:
                if q != t and (t, q) in later and 4 * sizes[q] <= budget:
                    pairs.append((q, t))
                    budget -= 4 * sizes[q]
    return pairs


def split_narrow(
    jobs: Sequence[tuple[list[int], list[int]]], sizes: Sequence[int], threads: int
) -> list[list[tuple[list[int], list[int]]]]:
    """Each rectangle as the pieces to run at once: a rectangle with fewer targets than
    threads (one new cloud against a stored collection) would search on one thread
    only, so its queries are cut into `threads` pieces of about equal points."""
    result = []
    for targets, queries in jobs:
        if len(targets) >= threads or len(queries) < 2:
            result.append([(targets, queries)])
            continue
        bounds = np.searchsorted(
            np.cumsum([sizes[q] for q in queries]), np.arange(1, threads) * sum(sizes[q] for q in queries) / threads
        )
        pieces = np.split(np.asarray(queries), np.unique(np.clip(bounds + 1, 1, len(queries) - 1)))
        result.append([(targets, [int(q) for q in piece]) for piece in pieces if len(piece)])
    return result


@dataclass
class _Plan:
    """What a stored all-by-all has to do: distinct clouds, the table so far, the
    rectangles of missing pairs."""

    members: list[Cloud]
    digests: list[str]
    unique: list[int]  # position of each distinct cloud's first appearance
    mean: npt.NDArray[np.float64]
    maximum: npt.NDArray[np.float64]
    needed: npt.NDArray[np.bool_]  # over distinct clouds: [query, target]
    jobs: list[tuple[list[int], list[int]]]
    positions: list[list[int]]  # per distinct cloud, where it appears among the members

    def column_writer(
        self, store: Store, precision: Precision, targets: Sequence[int], queries: Sequence[int]
    ) -> Callable[[int, npt.NDArray[np.float64], npt.NDArray[np.float64]], None]:
        """Keeps each finished column's needed entries at once (Ctrl-C loses only
        the columns in flight)."""

        def write(j: int, means: npt.NDArray[np.float64], maxima: npt.NDArray[np.float64]) -> None:
            self.put(store, precision, [targets[j]], queries, means[:, None], maxima[:, None])

        return write

    def put(
        self,
        store: Store,
        precision: Precision,
        targets: Sequence[int],
        queries: Sequence[int],
        block_mean: npt.NDArray[np.float64],
        block_max: npt.NDArray[np.float64],
    ) -> None:
        rows = []
        for b, t in enumerate(targets):
            for a, q in enumerate(queries):
                if self.needed[q, t]:
                    rows.append(
                        (
                            self.digests[self.unique[q]],
                            self.digests[self.unique[t]],
                            precision,
                            float(block_mean[a, b]),
                            float(block_max[a, b]),
                            len(self.members[self.unique[q]]),
                        )
                    )
                    self.fill(q, t, float(block_mean[a, b]), float(block_max[a, b]))
        store.put_pairs(rows)

    def fill(self, q: int, t: int, mean: float, maximum: float) -> None:
        """Enters a distinct pair wherever its clouds appear among the members."""
        for i in self.positions[q]:
            for j in self.positions[t]:
                self.mean[i, j], self.maximum[i, j] = mean, maximum


def plan(
    store: Store, clouds: Sequence[Cloud | npt.ArrayLike], precision: Precision, executor: Executor | None = None
) -> _Plan:
    members = [as_cloud(cloud, f"cloud{i}") for i, cloud in enumerate(clouds)]
    hashing = (
        executor.map(lambda c: points_digest(c.points), members)
        if executor
        else map(lambda c: points_digest(c.points), members)
    )
    digests = list(hashing)
    store.add(members, digests)
    first: dict[str, int] = {}
    for i, digest in enumerate(digests):
        first.setdefault(digest, i)
    unique = list(first.values())
    size = len(members)
    mean, maximum = np.zeros((size, size)), np.zeros((size, size))
    known = store.pairs(list(first), precision)
    needed = np.zeros((len(unique), len(unique)), bool)
    positions: dict[str, list[int]] = {}
    for i, digest in enumerate(digests):
        positions.setdefault(digest, []).append(i)
    result = _Plan(members, digests, unique, mean, maximum, needed, [], [positions[digests[u]] for u in unique])
    for a, q in enumerate(unique):
        for b, t in enumerate(unique):
            if a == b:
                continue  # the same points: 0
            stored = known.get((digests[q], digests[t]))
            if stored is None:
                needed[a, b] = True
            else:
                result.fill(a, b, *stored)
    result.jobs = rectangles(needed)
    if result.jobs:  # refused before anything is computed for it
        store._writable(f"keep the {int(needed.sum())} pairs of these clouds it lacks")
    return result


def stored_all_by_all(
    clouds: Sequence[Cloud | npt.ArrayLike], store: StoreLike, *, threads: int, precision: Precision, progress: bool
) -> Matrix:
    """`all_by_all` that takes what `store` holds, computes only the missing pairs and
    keeps them, and keeps the index of every cloud it searches as a target."""
    precision = check_precision(precision)
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    opened, close = as_store(store)
    try:
        pool = ThreadPoolExecutor(threads, thread_name_prefix="ornel")
        try:
            work = plan(opened, clouds, precision, pool)
            names = [cloud.name for cloud in work.members]
            targets = sorted({t for job_targets, _ in work.jobs for t in job_targets})
            steps = len(targets) + sum(2 * len(job_targets) for job_targets, _ in work.jobs)
            with progress_bar(steps, "step", progress) as bar:
                # Indexes first, each kept as soon as it is built.
                list(run(pool, [partial(_ensure, opened, work, t, precision) for t in targets], bar.update))
                sizes = [len(work.members[u]) for u in work.unique]
                distinct = [work.members[u] for u in work.unique]
                answers: Answers = {(distinct[q], distinct[t]): None for q, t in reversed_later(work.jobs, sizes)}
                for pieces in split_narrow(work.jobs, sizes, threads):
                    calls = [
                        partial(
                            join_tile,
                            [distinct[k] for k in job_targets],
                            [distinct[k] for k in job_queries],
                            precision=precision,
                            executor=pool if len(pieces) == 1 else None,
                            on_column=work.column_writer(opened, precision, job_targets, job_queries),
                            answers=answers,
                        )
                        for job_targets, job_queries in pieces
                    ]
                    if len(calls) == 1:
                        calls[0](on_progress=bar.update)
                    else:
                        run(pool, calls, lambda: bar.update(2 * len(pieces[0][0]) / len(pieces)))
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
        return Matrix(names, work.mean, work.maximum)
    finally:
        if close:
            opened.close()


def _ensure(store: Store, work: _Plan, k: int, precision: Precision) -> None:
    u = work.unique[k]
    store.ensure_index(work.members[u], work.digests[u], precision)


def stored_nearest(b: Cloud, store: StoreLike, precision: Precision) -> None:
    """Gives `b` its stored index, or builds and keeps it: what `nearest` needs of b."""
    opened, close = as_store(store)
    try:
        digest = opened.add([b])[0]
        opened.ensure_index(b, digest, precision)
    finally:
        if close:
            opened.close()


def stored_mesh_index(mesh: Mesh, store: StoreLike, precision: Precision) -> None:
    """Gives `mesh` its stored index in `precision`, or builds and keeps it."""
    opened, close = as_store(store)
    try:
        opened.ensure_mesh_index(mesh, check_precision(precision))
    finally:
        if close:
            opened.close()
