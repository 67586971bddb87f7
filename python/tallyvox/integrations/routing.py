"""One ledger per conversation: routing an integration's events by the
conversation they belong to.

An integration given a router instead of a session asks it for the ledger of
each conversation (a trace, a group, a conversation id) when the conversation
starts, and tells it when the conversation ends.

- `LedgerRouter(directory, keypair)` keeps `<directory>/<key>.ndjson` for each
  key: opened on first use (resumed when the file exists), written through an
  `AsyncSession`, and closed once the conversation has ended and its queued
  events are written. A key asked for again while its ledger is still closing
  is reopened once that close is done, so two sessions never append to one
  file. The key becomes a file name by percent-encoding every
  character but letters, digits, `-`, `_` and `.`, so two keys never share a
  file and no key leaves the directory.
- Any callable from a key to a `Session` or an `AsyncSession` routes too; the
  caller owns those sessions, and ending a conversation only flushes it.
"""

from __future__ import annotations

import concurrent.futures
import hashlib
import os
import threading
from collections.abc import Callable
from types import TracebackType
from typing import Protocol, Union, cast
from urllib.parse import quote

from tallyvox import Session, SigningKeypair
from tallyvox.aio import AsyncSession
from tallyvox.integrations._common import done_future

__all__ = ["Router", "LedgerRouter", "SessionTarget", "as_router", "file_name_for"]

SessionTarget = Union[Session, AsyncSession]

# Longer names do not fit a directory entry on common file systems.
_NAME_LIMIT = 200


class Router(Protocol):
    """Where the events of one conversation go."""

    def session_for(self, key: str) -> AsyncSession:
        """The ledger of conversation `key`, opened on first use."""
        ...

    def end(self, key: str) -> concurrent.futures.Future[None]:
        """Conversation `key` is over; the future completes once its events are
        written (and its ledger closed, when the router opened it)."""
        ...


def file_name_for(key: str, suffix: str = ".ndjson") -> str:
    """The file name of conversation `key`: distinct for distinct keys."""
    name = quote(key, safe="-_.") or "_"
    if name.startswith("."):
        name = "%2E" + name[1:]
    if len(name) > _NAME_LIMIT:
        name = name[: _NAME_LIMIT - 65] + "-" + hashlib.sha256(key.encode()).hexdigest()
    return name + suffix


class LedgerRouter:
    """One ledger per conversation key in `directory`, signed by `keypair`."""

    def __init__(
        self,
        directory: str | os.PathLike[str],
        keypair: SigningKeypair,
        *,
        suffix: str = ".ndjson",
    ) -> None:
        self.directory = os.fspath(directory)
        self.keypair = keypair
        self.suffix = suffix
        self._lock = threading.Lock()
        self._open: dict[str, AsyncSession] = {}
        self._closing: dict[str, concurrent.futures.Future[None]] = {}

    def path_for(self, key: str) -> str:
        return os.path.join(self.directory, file_name_for(key, self.suffix))

    def session_for(self, key: str) -> AsyncSession:
        while True:
            with self._lock:
                ledger = self._open.get(key)
                closing = self._closing.get(key)
                if ledger is None and closing is None:
                    session = Session.open(
                        keypair=self.keypair, ledger_path=self.path_for(key), session_id=key
                    )
                    ledger = self._open[key] = AsyncSession(session)
            if ledger is not None:
                return ledger
            if closing is not None:
                # Its last events are still being written: the file is free after.
                concurrent.futures.wait([closing])

    def end(self, key: str) -> concurrent.futures.Future[None]:
        with self._lock:
            ledger = self._open.pop(key, None)
            if ledger is None:
                return done_future()
            closed = self._closing[key] = _close(ledger)
        closed.add_done_callback(lambda _: self._closed(key, closed))
        return closed

    def _closed(self, key: str, closed: concurrent.futures.Future[None]) -> None:
        with self._lock:
            if self._closing.get(key) is closed:
                del self._closing[key]

    def open_keys(self) -> list[str]:
        with self._lock:
            return list(self._open)

    def close(self) -> None:
        """End every open conversation and wait until all is written."""
        for key in self.open_keys():
            self.end(key).result()
        with self._lock:
            closing = list(self._closing.values())
        concurrent.futures.wait(closing)

    def __enter__(self) -> LedgerRouter:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()


def _close(ledger: AsyncSession) -> concurrent.futures.Future[None]:
    """Drain the writer, then close the session it wrote to."""
    closed: concurrent.futures.Future[None] = concurrent.futures.Future()

    def then_close(drained: concurrent.futures.Future[None]) -> None:
        try:
            drained.result()
            ledger.session.close()
        except BaseException as error:  # handed to whoever waits
            closed.set_exception(error)
        else:
            closed.set_result(None)

    ledger.close().add_done_callback(then_close)
    return closed


class _CallableRouter:
    """Routes through a caller's function; the caller owns the sessions."""

    def __init__(self, route: Callable[[str], SessionTarget]) -> None:
        self._route = route
        self._lock = threading.Lock()
        self._writers: dict[int, tuple[Session, AsyncSession]] = {}
        self._keys: dict[str, AsyncSession] = {}

    def session_for(self, key: str) -> AsyncSession:
        target = self._route(key)
        if isinstance(target, AsyncSession):
            ledger = target
        elif isinstance(target, Session):
            with self._lock:
                held = self._writers.get(id(target))
                if held is None or held[0] is not target:
                    held = self._writers[id(target)] = (target, AsyncSession(target))
                ledger = held[1]
        else:
            raise TypeError(
                "a router must give a tallyvox.Session or tallyvox.aio.AsyncSession, "
                f"got {type(target).__name__}"
            )
        with self._lock:
            self._keys[key] = ledger
        return ledger

    def end(self, key: str) -> concurrent.futures.Future[None]:
        with self._lock:
            ledger = self._keys.pop(key, None)
        if ledger is None:
            return done_future()
        return ledger.flush()


def as_router(route: Router | Callable[[str], SessionTarget]) -> Router:
    """A `LedgerRouter` (or any object with `session_for` and `end`) as it is;
    a callable from a key to a session wrapped as a router."""
    if hasattr(route, "session_for") and hasattr(route, "end"):
        return cast(Router, route)
    if callable(route):
        return _CallableRouter(route)
    raise TypeError(f"expected a router or a callable, got {type(route).__name__}")
