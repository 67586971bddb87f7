"""Recording from asyncio without waiting on the disk in the event loop.

`Session.record` returns only once its line is flushed with `fdatasync`. An
`AsyncSession` hands every event to one writer thread of its own, in the order
of the `record` calls, so the event loop only queues work and collects results.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import os
import threading
from collections.abc import Awaitable
from types import TracebackType
from typing import TypeVar

from tallyvox import LedgerError, Session, SignedEvent, SigningKeypair
from tallyvox.events import AgentEvent

__all__ = ["AsyncSession"]

_T = TypeVar("_T")

CLOSED_MESSAGE = "the session is closed"


class AsyncSession:
    """A `Session` driven from asyncio through one writer thread.

    - `await AsyncSession.open(keypair=..., ledger_path=..., session_id=...)`
      opens (or resumes) the ledger on the writer thread.
    - `AsyncSession(session)` wraps a `Session` that is already open.
    - `await s.record(event)` gives the `SignedEvent`. The event takes its place
      in the queue when `record` is called, so the ledger's order is the order
      of the calls, however many are in flight; a failure (`LedgerError`, a
      wrong argument) is raised to the caller that awaits it. Cancelling the
      wait does not take the event back.
    - `s.submit(event)` queues from any thread, without an event loop, and gives
      a `concurrent.futures.Future`.
    - `await s.aclose()` (or leaving `async with`) stops taking events and
      waits until every queued one is written; `close()` does the same without
      waiting. `record` and `submit` on a closed session raise
      `LedgerError("the session is closed")`.
    """

    def __init__(self, session: Session) -> None:
        if not isinstance(session, Session):
            raise TypeError(f"expected a tallyvox.Session, got {type(session).__name__}")
        self._start(session, _new_writer())

    def _start(self, session: Session, writer: concurrent.futures.ThreadPoolExecutor) -> None:
        self._session, self._writer = session, writer
        self._lock = threading.Lock()
        self._closed: concurrent.futures.Future[None] | None = None

    @classmethod
    async def open(
        cls,
        *,
        keypair: SigningKeypair,
        ledger_path: str | os.PathLike[str],
        session_id: str,
    ) -> AsyncSession:
        """Open (or resume) a session writing to `ledger_path`, off the event loop."""
        writer = _new_writer()
        try:
            session = await _awaitable(
                writer.submit(
                    Session.open, keypair=keypair, ledger_path=ledger_path, session_id=session_id
                )
            )
        except BaseException:
            writer.shutdown(wait=False)
            raise
        self = cls.__new__(cls)
        self._start(session, writer)
        return self

    @property
    def session(self) -> Session:
        """The wrapped `Session`."""
        return self._session

    @property
    def session_id(self) -> str:
        return self._session.session_id

    @property
    def closed(self) -> bool:
        return self._closed is not None

    def submit(self, event: AgentEvent) -> concurrent.futures.Future[SignedEvent]:
        """Queue `event` from any thread; the future gives its `SignedEvent`."""
        with self._lock:
            if self._closed is not None:
                raise LedgerError(CLOSED_MESSAGE)
            return self._writer.submit(self._session.record, event)

    def record(self, event: AgentEvent) -> Awaitable[SignedEvent]:
        """Queue `event` now; awaiting the result gives its `SignedEvent`."""
        return _awaitable(self.submit(event))

    def close(self) -> concurrent.futures.Future[None]:
        """Stop taking events; the future completes once every queued event is
        written. Safe to call more than once and from any thread."""
        with self._lock:
            if self._closed is None:
                # One writer thread runs the queue in order: once this marker
                # runs, everything queued before it is on disk.
                self._closed = self._writer.submit(_nothing)
                self._writer.shutdown(wait=False)
            return self._closed

    async def aclose(self) -> None:
        """Stop taking events and wait until every queued event is written."""
        await _awaitable(self.close())

    async def __aenter__(self) -> AsyncSession:
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        await self.aclose()


def _new_writer() -> concurrent.futures.ThreadPoolExecutor:
    # One worker: a FIFO queue drained by a single thread, joined at exit.
    return concurrent.futures.ThreadPoolExecutor(
        max_workers=1, thread_name_prefix="tallyvox-writer"
    )


def _nothing() -> None:
    return None


def _awaitable(source: concurrent.futures.Future[_T]) -> asyncio.Future[_T]:
    """An asyncio future on the running loop that takes `source`'s outcome.

    Unlike `asyncio.wrap_future`, cancelling it leaves `source` queued: an
    event handed to the writer is written whether or not anyone waits."""
    loop = asyncio.get_running_loop()
    target: asyncio.Future[_T] = loop.create_future()

    def settle(done: concurrent.futures.Future[_T]) -> None:
        if target.cancelled():
            return
        if done.cancelled():
            target.cancel()
            return
        error = done.exception()
        if error is not None:
            target.set_exception(error)
        else:
            target.set_result(done.result())

    def deliver(done: concurrent.futures.Future[_T]) -> None:
        try:
            loop.call_soon_threadsafe(settle, done)
        except RuntimeError:  # the loop is closed: nobody is waiting any more
            pass

    source.add_done_callback(deliver)
    return target
