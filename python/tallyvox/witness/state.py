"""A witness's state: the latest checkpoint it cosigned for each log, and the
refused requests the log had signed (the evidence of a fork), in SQLite.
A refused note is kept once per status however often it comes (with a
count, and the old size and reason of its latest coming): what a client
chooses beside the signed note cannot grow the database.

The database runs in WAL mode with ``synchronous=FULL``, so a commit is on
disk when it returns. Requests are judged and the state updated in one
``BEGIN IMMEDIATE`` transaction, which holds the write lock from the first
read: two requests, from one process or several, can never both start from
the same old size, and the state never moves back. Tree sizes go up to
2^64 - 1, beyond SQLite's integers, so they are kept as decimal text.
"""

from __future__ import annotations

import os
import sqlite3
import time
from collections.abc import Sequence
from dataclasses import dataclass

from tallyvox._tallyvox import _native

FORMAT = "tallyvox-witness/1"
EMPTY_ROOT = bytes.fromhex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")

_SCHEMA = f"""
CREATE TABLE witness (format TEXT NOT NULL);
INSERT INTO witness VALUES ('{FORMAT}');
CREATE TABLE checkpoints (
  origin TEXT PRIMARY KEY,
  size TEXT NOT NULL,
  root BLOB NOT NULL,
  note TEXT NOT NULL,
  cosigned_at INTEGER NOT NULL
);
CREATE TABLE refusals (
  origin TEXT NOT NULL,
  note TEXT NOT NULL,
  old_size TEXT NOT NULL,
  status INTEGER NOT NULL,
  reason TEXT NOT NULL,
  first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL,
  count INTEGER NOT NULL,
  PRIMARY KEY (origin, note, status)
);
"""


class WitnessStateError(Exception):
    """A database that is missing, already there, or not a witness's."""


@dataclass(frozen=True)
class Request:
    """An add-checkpoint request whose log signature verified."""

    old_size: int
    proof: list[bytes]
    origin: str
    size: int
    root: bytes
    text: str  # the checkpoint, what a cosignature signs
    note: str  # the signed note as the log sent it

    # A refusal already decided without the state (400), kept as evidence.
    status: int = 0
    reason: str = ""


@dataclass(frozen=True)
class Verdict:
    """The answer to a request: 200, or the refusal with its reason; for 409,
    the size of the latest cosigned checkpoint."""

    status: int
    reason: str = ""
    size: int | None = None


def judge(request: Request, latest_size: int, latest_root: bytes) -> Verdict:
    """The add-checkpoint rules that need the latest cosigned tree of the log."""
    if request.old_size != latest_size:
        return Verdict(409, f"the old size {request.old_size} is not the latest cosigned "
                            f"size, {latest_size}", latest_size)
    if request.size == latest_size and request.root != latest_root:
        return Verdict(409, f"another tree of size {latest_size} was cosigned", latest_size)
    if not _native.verify_consistency(latest_size, request.size, latest_root, request.root,
                                      request.proof):
        return Verdict(422, f"the consistency proof from size {latest_size} to {request.size} "
                            "does not verify")
    return Verdict(200)


def create(path: str | os.PathLike[str]) -> None:
    """Create a witness database at `path`, which must not exist."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    except FileExistsError:
        raise WitnessStateError("it exists already: a witness's state is created once and "
                                "never replaced") from None
    os.close(fd)
    db = _connect(os.fspath(path))
    try:
        db.executescript(f"BEGIN IMMEDIATE; {_SCHEMA} COMMIT;")
    finally:
        db.close()


def _connect(path: str) -> sqlite3.Connection:
    """An existing database file, in WAL mode, each commit synced."""
    uri = "file:" + path.replace("%", "%25").replace("?", "%3f").replace("#", "%23")
    db = sqlite3.connect(uri + "?mode=rw", uri=True, isolation_level=None, check_same_thread=False)
    try:
        db.execute("PRAGMA busy_timeout = 30000")
        db.execute("PRAGMA journal_mode = WAL")
        db.execute("PRAGMA synchronous = FULL")
    except BaseException:
        db.close()
        raise
    return db


class WitnessState:
    """An open witness database; one thread at a time uses it."""

    def __init__(self, path: str | os.PathLike[str]):
        self.path = os.fspath(path)
        if not os.path.isfile(self.path):
            raise WitnessStateError(f"no witness database at {self.path}: create it with "
                                    "`tallyvox witness init` (a witness that lost its state "
                                    "must not start again from nothing)")
        db = None
        try:
            db = _connect(self.path)
            row = db.execute("SELECT format FROM witness").fetchone()
        except sqlite3.DatabaseError:
            row = None
        if db is None or row is None or row[0] != FORMAT:
            if db is not None:
                db.close()
            raise WitnessStateError(f"{self.path} is not a witness database ({FORMAT})")
        self._db = db

    def close(self) -> None:
        self._db.close()

    def __enter__(self) -> WitnessState:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def latest(self, origin: str) -> tuple[int, bytes] | None:
        """The size and root of the latest checkpoint cosigned for `origin`."""
        row = self._db.execute("SELECT size, root FROM checkpoints WHERE origin = ?",
                               (origin,)).fetchone()
        return None if row is None else (int(row[0]), bytes(row[1]))

    def refusals(self) -> list[tuple[str, int, str, str, int]]:
        """The refused requests kept: (origin, status, reason, note, count)."""
        return self._db.execute("SELECT origin, status, reason, note, count FROM refusals "
                                "ORDER BY first_seen, rowid").fetchall()

    def apply(self, requests: Sequence[Request]) -> list[Verdict]:
        """Judge `requests` in order against the state and the ones before them,
        record what is cosigned and what is refused, and commit, all in one
        transaction: every verdict is durable when this returns."""
        now = int(time.time())
        self._db.execute("BEGIN IMMEDIATE")
        try:
            verdicts = [self._apply_one(request, now) for request in requests]
            self._db.execute("COMMIT")
        except BaseException:
            self._db.execute("ROLLBACK")
            raise
        return verdicts

    def _apply_one(self, request: Request, now: int) -> Verdict:
        if request.status:
            verdict = Verdict(request.status, request.reason)
        else:
            latest_size, latest_root = self.latest(request.origin) or (0, EMPTY_ROOT)
            verdict = judge(request, latest_size, latest_root)
            if verdict.status == 200 and request.size > latest_size:
                self._db.execute(
                    "INSERT INTO checkpoints VALUES (?, ?, ?, ?, ?) ON CONFLICT (origin) DO UPDATE "
                    "SET size = excluded.size, root = excluded.root, note = excluded.note, "
                    "cosigned_at = excluded.cosigned_at",
                    (request.origin, str(request.size), request.root, request.note, now))
        if verdict.status != 200:
            self._db.execute(
                "INSERT INTO refusals VALUES (?, ?, ?, ?, ?, ?, ?, 1) ON CONFLICT DO UPDATE SET "
                "old_size = excluded.old_size, reason = excluded.reason, "
                "last_seen = excluded.last_seen, count = count + 1",
                (request.origin, request.note, str(request.old_size), verdict.status,
                 verdict.reason, now, now))
        return verdict
