"""Checkpoints a session makes as it records: after a number of events, after
a time, and at close; written to a directory and handed to witnesses.

A failed checkpoint never fails the record that triggered it: the failure is
logged to the ``tallyvox`` logger and the work is retried at the next
trigger, unless the policy is strict.
"""

from __future__ import annotations

import importlib
import logging
import math
import os
import string
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from tallyvox._files import make_directories, write_atomically
from tallyvox._tallyvox import Session
from tallyvox.checkpoint import Checkpoint, CheckpointError, CheckpointFailed

__all__ = ["CheckpointPolicy", "checkpoint_paths", "origin_file_name"]

logger = logging.getLogger("tallyvox")

# Read through the module, so that tests can move time.
_clock = time.monotonic

_PLAIN = frozenset((string.ascii_letters + string.digits + "-_.").encode())
_NAME_BYTES = 200  # well below the 255 bytes a file name may have


@dataclass(frozen=True)
class CheckpointPolicy:
    """When a session checkpoints itself, and what becomes of each checkpoint.

    - `every_events`: once at least this many events were recorded since the
      last checkpoint (a batch is never split, so sizes may overshoot).
    - `every_seconds`: with the first event recorded at least this long after
      the last checkpoint (or the open).
    - `at_close`: when the session is closed, if it recorded events since its
      last checkpoint or a write is still to be retried.
    - `directory`: where the notes are written (see `checkpoint_paths`);
      None keeps them only as the session's `last_checkpoint`.
    - `witnesses`, `quorum`: handed to `tallyvox.witness` with each checkpoint.
    - `strict`: a failed checkpoint raises from the call that triggered it
      (after the events are recorded) instead of being logged.
    """

    every_events: int | None = None
    every_seconds: float | None = None
    at_close: bool = True
    directory: str | os.PathLike[str] | None = None
    witnesses: Sequence[Any] = ()
    quorum: int = 0
    strict: bool = False

    def __post_init__(self) -> None:
        if self.every_events is not None and not (_whole(self.every_events) and self.every_events >= 1):
            raise ValueError(f"every_events must be a whole number from 1, or None: {self.every_events!r}")
        seconds = self.every_seconds
        if seconds is not None and not (_real(seconds) and math.isfinite(seconds) and seconds > 0):
            raise ValueError(f"every_seconds must be a finite number above 0, or None: {seconds!r}")
        for name in ("at_close", "strict"):
            if not isinstance(getattr(self, name), bool):
                raise TypeError(f"{name} must be True or False: {getattr(self, name)!r}")
        if self.directory is not None:
            directory = os.fspath(self.directory)
            if not isinstance(directory, str):
                raise TypeError(f"directory must be a str path, not {type(directory).__name__}")
            object.__setattr__(self, "directory", directory)
        if isinstance(self.witnesses, (str, bytes)):
            raise TypeError("witnesses must be a sequence of witnesses, not a single text")
        object.__setattr__(self, "witnesses", tuple(self.witnesses))
        if not (_whole(self.quorum) and 0 <= self.quorum <= len(self.witnesses)):
            raise ValueError(f"quorum must be a whole number from 0 to the {len(self.witnesses)} "
                             f"witnesses: {self.quorum!r}")


def _whole(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _real(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def origin_file_name(origin: str) -> str:
    """The origin as one file name, distinct for distinct origins: every byte
    of its UTF-8 but letters, digits, ``-``, ``_`` and ``.`` (and a leading
    ``.``) as ``%XX``; a name longer than 200 bytes is cut and ends with ``~``
    and 32 hexadecimal characters of the origin's SHA-256."""
    data = origin.encode("utf-8")
    name = "".join(chr(b) if b in _PLAIN and not (i == 0 and b == ord(".")) else f"%{b:02X}"
                   for i, b in enumerate(data))
    if len(name) <= _NAME_BYTES:
        return name
    import hashlib  # only here: it loads the system's libcrypto beside the package's own

    cut = name[:160]
    if "%" in cut[-2:]:  # not in the middle of an escape
        cut = cut[:cut.rindex("%")]
    return cut + "~" + hashlib.sha256(data).hexdigest()[:32]


def checkpoint_paths(directory: str | os.PathLike[str], origin: str, size: int) -> tuple[str, str]:
    """Where a policy writes the checkpoint of `size` events of the log
    `origin`: (the latest, ``<name>.checkpoint``; this size,
    ``<name>/<size>.checkpoint``), `<name>` being the origin's file name."""
    base = os.path.join(os.fspath(directory), origin_file_name(origin))
    return base + ".checkpoint", os.path.join(base, f"{size}.checkpoint")


def write_checkpoint(directory: str, made: Checkpoint, latest: bool = True) -> None:
    """Writes the checkpoint's file for its size and, when `latest`, the
    origin's latest file, each whole."""
    latest_path, each_path = checkpoint_paths(directory, made.origin, made.size)
    make_directories(os.path.dirname(each_path))
    write_atomically(each_path, made.note)
    if latest:
        write_atomically(latest_path, made.note)


def _submit_to_witnesses(note: str, ledger_path: str, policy: CheckpointPolicy) -> None:
    """Hands a checkpoint to the policy's witnesses: the one place that does.
    A quorum of 0 asks for all of them; fewer cosignatures than the quorum
    fail the submission like a write that failed."""
    if not policy.witnesses:
        return
    try:
        witness = importlib.import_module("tallyvox.witness")
    except ImportError:
        raise ValueError("witness submission needs tallyvox.witness") from None
    submission = witness.submit(note, ledger_path, policy.witnesses, policy.quorum or None)
    if not submission.ok:
        refused = "; ".join(f"{answer.witness.name}: {answer.reason}"
                            for answer in submission.answers if not answer.ok)
        raise ValueError(f"cosigned by {len(submission.cosigned)} of {len(submission.answers)} "
                         f"witnesses, {submission.quorum} required: {refused}")


class _Runner:
    """Carries out one session's policy. The extension calls `recorded` after
    each record (or batch) and `closing` before the session closes, handing
    the session in each time: the runner never holds it."""

    def __init__(self, policy: CheckpointPolicy, ledger_path: str) -> None:
        self._policy = policy
        self._ledger = ledger_path
        self._lock = threading.Lock()
        self._recorded = 0  # events recorded through the session
        self._covered = 0  # of them, those before the last checkpoint
        self._since = _clock()
        self._unwritten: list[Checkpoint] = []  # oldest first
        self._unsubmitted: Checkpoint | None = None

    def recorded(self, session: Session, count: int) -> None:
        with self._lock:
            self._recorded += count
            failure = self._checkpoint(session, closing=False) if self._due() else None
        self._raise(failure)

    def closing(self, session: Session) -> None:
        if self._policy.at_close:
            with self._lock:
                failure = self._checkpoint(session, closing=True)
            self._raise(failure)

    def _due(self) -> bool:
        policy = self._policy
        new = self._recorded - self._covered
        return new > 0 and (
            (policy.every_events is not None and new >= policy.every_events)
            or (policy.every_seconds is not None and _clock() - self._since >= policy.every_seconds))

    def _raise(self, failure: Exception | None) -> None:
        if failure is not None and self._policy.strict:
            raise failure

    def _checkpoint(self, session: Session, closing: bool) -> Exception | None:
        if self._recorded > self._covered:
            self._covered, self._since = self._recorded, _clock()
            try:
                made = session.checkpoint()
            except (CheckpointFailed, CheckpointError) as exc:
                logger.warning("%s: no checkpoint: %s", self._ledger, exc)
                return exc
            self._unwritten.append(made)
            self._unsubmitted = made
        elif not closing:
            return None
        written, submitted = self._write(), self._submit()
        return written or submitted

    def _write(self) -> Exception | None:
        directory = self._policy.directory
        if directory is None:
            self._unwritten.clear()
        while self._unwritten:
            made = self._unwritten[0]
            try:
                write_checkpoint(str(directory), made, latest=len(self._unwritten) == 1)
            except Exception as exc:  # logged or raised, never lost
                logger.warning("%s: the checkpoint of %d events was not written to %s (tried again "
                               "at the next checkpoint): %s", self._ledger, made.size, directory, exc)
                return exc
            del self._unwritten[0]
        return None

    def _submit(self) -> Exception | None:
        made = self._unsubmitted
        if made is None:
            return None
        try:
            _submit_to_witnesses(made.note, self._ledger, self._policy)
        except Exception as exc:  # logged or raised, never lost
            logger.warning("%s: the checkpoint of %d events was not submitted to witnesses (tried "
                           "again at the next checkpoint): %s", self._ledger, made.size, exc)
            return exc
        self._unsubmitted = None
        return None


def _runner(policy: object, ledger_path: str | os.PathLike[str]) -> _Runner:
    """The runner of `policy` for a session opening `ledger_path`."""
    if not isinstance(policy, CheckpointPolicy):
        raise TypeError(f"'{type(policy).__name__}' object is not an instance of 'CheckpointPolicy'")
    return _Runner(policy, os.fspath(ledger_path))
