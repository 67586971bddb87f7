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
from dataclasses import dataclass, replace
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
    - `origin`: the origin of every checkpoint (None: the ledger's default,
      ``tallyvox/`` and the first event's self_hash).
    - `witnesses`, `quorum`: each checkpoint is handed to these witnesses
      (``URL=VKEY`` texts or `tallyvox.witness.Witness` values) on a thread of
      the policy's own; `quorum` of them must cosign (0: all of them).
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
    origin: str | None = None

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
        if self.origin is not None and not isinstance(self.origin, str):
            raise TypeError(f"origin must be a str, or None: {self.origin!r}")
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


def _submit_to_witnesses(made: Checkpoint, ledger_path: str, policy: CheckpointPolicy) -> str:
    """Hands a checkpoint to the policy's witnesses, the one place that does,
    and gives the note with their cosignatures. A quorum of 0 asks for all of
    them; fewer cosignatures than the quorum fail the submission like a write
    that failed. The sizes the witnesses hold are kept beside the checkpoints
    (``<name>.witness-sizes.json``), when there is a directory."""
    try:
        client = importlib.import_module("tallyvox.witness.client")
    except ImportError:
        raise ValueError("witness submission needs tallyvox.witness") from None
    sizes = None
    if policy.directory is not None:
        sizes = os.path.join(str(policy.directory),
                             origin_file_name(made.origin) + ".witness-sizes.json")
    try:
        submission = client.submit(made.note, ledger_path, policy.witnesses, policy.quorum or None,
                                   sizes_file=sizes)
    except ImportError:
        raise ValueError("witness submission needs aiohttp: pip install 'tallyvox[witness]'") from None
    if not submission.ok:
        refused = "; ".join(f"{answer.witness.name}: {answer.reason}"
                            for answer in submission.answers if not answer.ok)
        raise ValueError(f"cosigned by {len(submission.cosigned)} of {len(submission.answers)} "
                         f"witnesses, {submission.quorum} required: {refused}")
    note_with_cosignatures: str = submission.note
    return note_with_cosignatures


class _Submitter:
    """Hands checkpoints to witnesses on a thread of its own, so that no
    record waits on the network. Only the newest checkpoint waiting is sent
    (a witness needs no older one); once cosigned by the quorum, it is
    written again, with the cosignatures, over the file of its size, and over
    the latest while it is the latest."""

    def __init__(self, runner: _Runner) -> None:
        self._runner = runner
        self._ready = threading.Condition()
        self._waiting: Checkpoint | None = None
        self._running = False
        self._failure: Exception | None = None

    def offer(self, made: Checkpoint) -> None:
        with self._ready:
            self._waiting = made
            if not self._running:
                self._running = True
                threading.Thread(target=self._run, name="tallyvox-witness-submit",
                                 daemon=True).start()

    def failure(self) -> Exception | None:
        """The failure of a submission since the last call, once."""
        with self._ready:
            failure, self._failure = self._failure, None
            return failure

    def wait(self) -> None:
        """Until every checkpoint offered so far has been sent."""
        with self._ready:
            self._ready.wait_for(lambda: not self._running)

    def _run(self) -> None:
        while True:
            with self._ready:
                made, self._waiting = self._waiting, None
                if made is None:
                    self._running = False
                    self._ready.notify_all()
                    return
            failure = self._runner.submit(made)
            if failure is not None:
                with self._ready:
                    self._failure = failure


class _Runner:
    """Carries out one session's policy. The extension calls `recorded` after
    each record (or batch) and `closing` before the session closes, handing
    the session in each time: the runner never holds it."""

    def __init__(self, policy: CheckpointPolicy, ledger_path: str) -> None:
        self._policy = policy
        self._ledger = ledger_path
        self._lock = threading.Lock()
        self._files = threading.Lock()  # the runner and the submitter both write
        self._marks = threading.Lock()  # _newest and _unwitnessed, for the submitter
        self._recorded = 0  # events recorded through the session
        self._covered = 0  # of them, those before the last checkpoint
        self._since = _clock()
        self._unwritten: list[Checkpoint] = []  # oldest first
        self._newest: Checkpoint | None = None
        self._unwitnessed: Checkpoint | None = None  # the newest, until cosigned
        self._submitter = _Submitter(self) if policy.witnesses else None

    def recorded(self, session: Session, count: int) -> None:
        with self._lock:
            self._recorded += count
            failure = self._checkpoint(session, closing=False) if self._due() else None
        self._raise(failure)

    def closing(self, session: Session) -> None:
        if not self._policy.at_close:
            return
        with self._lock:
            failure = self._checkpoint(session, closing=True)
        if self._submitter is not None:
            self._submitter.wait()
            failure = failure or self._submitter.failure()
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
                made = session.checkpoint(self._policy.origin)
            except (CheckpointFailed, CheckpointError) as exc:
                logger.warning("%s: no checkpoint: %s", self._ledger, exc)
                return exc
            self._unwritten.append(made)
            with self._marks:
                self._newest = self._unwitnessed = made
        elif not closing:
            return None
        written = self._write()
        submitted = None
        if self._submitter is not None:
            with self._marks:
                unwitnessed = self._unwitnessed
            if unwitnessed is not None:
                self._submitter.offer(unwitnessed)
                if self._policy.strict:  # the trigger raises what the witnesses said
                    self._submitter.wait()
            submitted = self._submitter.failure()
        return written or submitted

    def _write(self) -> Exception | None:
        directory = self._policy.directory
        if directory is None:
            self._unwritten.clear()
        while self._unwritten:
            made = self._unwritten[0]
            try:
                with self._files:
                    write_checkpoint(str(directory), made, latest=len(self._unwritten) == 1)
            except Exception as exc:  # logged or raised, never lost
                logger.warning("%s: the checkpoint of %d events was not written to %s (tried again "
                               "at the next checkpoint): %s", self._ledger, made.size, directory, exc)
                return exc
            del self._unwritten[0]
        return None

    def submit(self, made: Checkpoint) -> Exception | None:
        """On the submitter's thread: the witnesses' cosignatures on `made`,
        written over its files."""
        try:
            cosigned = replace(made, note=_submit_to_witnesses(made, self._ledger, self._policy))
            directory = self._policy.directory
            with self._files:
                # Over its files only once they are written, and over the
                # latest only while no newer checkpoint is there.
                if directory is not None and made not in self._unwritten:
                    with self._marks:
                        newest = made is self._newest
                    write_checkpoint(str(directory), cosigned, latest=newest)
        except Exception as exc:  # logged, and raised by a strict policy's next trigger
            logger.warning("%s: the checkpoint of %d events was not submitted to witnesses (tried "
                           "again at the next checkpoint): %s", self._ledger, made.size, exc)
            return exc
        with self._marks:
            if self._unwitnessed is made:
                self._unwitnessed = None
        return None


def _runner(policy: object, ledger_path: str | os.PathLike[str]) -> _Runner:
    """The runner of `policy` for a session opening `ledger_path`."""
    if not isinstance(policy, CheckpointPolicy):
        raise TypeError(f"'{type(policy).__name__}' object is not an instance of 'CheckpointPolicy'")
    return _Runner(policy, os.fspath(ledger_path))
