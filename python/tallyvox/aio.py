"""Recording from asyncio without waiting on the disk in the event loop.

`Session.record` returns only once its line is flushed with `fdatasync`. An
`AsyncSession` hands every event to one writer thread of its own, in the order
of the `record` calls, so the event loop only queues work and collects results.
"""

from __future__ import annotations

import asyncio
import atexit
import concurrent.futures
import functools
import os
import queue
import threading
import weakref
from collections.abc import Awaitable, Callable
from types import TracebackType
from typing import Any, TypeVar

from tallyvox import LedgerError, Session, SignedEvent, SigningKeypair
from tallyvox.events import AgentEvent

__all__ = ["AsyncSession"]

_T = TypeVar("_T")

CLOSED_MESSAGE = "the session is closed"

# A queued call: the function, its argument, and who gets the outcome.
_Deliver = Callable[[Any, "BaseException | None"], None]
_Item = tuple[Callable[[Any], Any], Any, _Deliver]


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
      a `concurrent.futures.Future`; `s.flush()` gives one that completes once
      everything queued before it is written.
    - `await s.aclose()` (or leaving `async with`) stops taking events and
      waits until every queued one is written; `close()` does the same without
      waiting. A `Session` that `AsyncSession.open` opened is closed then too,
      which releases the ledger for another writer; a `Session` you wrapped
      stays open (close it yourself). `record` and `submit` on a closed
      session raise `LedgerError("the session is closed")`.
    - Nothing queued is lost: an `AsyncSession` dropped without `aclose()`
      still writes what it queued, and at interpreter exit every writer
      thread is drained and joined.
    """

    def __init__(self, session: Session) -> None:
        if not isinstance(session, Session):
            raise TypeError(f"expected a tallyvox.Session, got {type(session).__name__}")
        self._start(session, _Writer())

    def _start(self, session: Session, writer: _Writer) -> None:
        self._session, self._writer = session, writer
        # Dropped unclosed: the writer still writes what is queued, then ends.
        weakref.finalize(self, writer.stop).atexit = False

    @classmethod
    async def open(
        cls,
        *,
        keypair: SigningKeypair,
        ledger_path: str | os.PathLike[str],
        session_id: str,
    ) -> AsyncSession:
        """Open (or resume) a session writing to `ledger_path`, off the event loop."""
        writer = _Writer()

        def opening(_: Any) -> Session:
            session = Session.open(keypair=keypair, ledger_path=ledger_path, session_id=session_id)
            # Closed after the last queued event, however the writer stops,
            # even if nobody awaits this open any more.
            writer.at_end(session.close)
            return session

        try:
            session = await _awaitable(writer.call(opening, None))
        except BaseException:
            writer.stop()
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
        return self._writer.stopped

    def submit(self, event: AgentEvent) -> concurrent.futures.Future[SignedEvent]:
        """Queue `event` from any thread; the future gives its `SignedEvent`."""
        return self._writer.call(self._session.record, event)

    def record(self, event: AgentEvent) -> Awaitable[SignedEvent]:
        """Queue `event` now; awaiting the result gives its `SignedEvent`."""
        loop = asyncio.get_running_loop()
        target: asyncio.Future[SignedEvent] = loop.create_future()
        self._writer.put(self._session.record, event, _to_loop(loop, target))
        return target

    def flush(self) -> concurrent.futures.Future[None]:
        """A future that completes once every event queued so far is written."""
        return self._writer.flush()

    def close(self) -> concurrent.futures.Future[None]:
        """Stop taking events; the future completes once every queued event is
        written. Safe to call more than once and from any thread."""
        return self._writer.stop()

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


class _Writer:
    """One daemon thread running queued calls in order.

    A writer stays in `_live`, with everything its queue holds (the session
    among it), until its thread has run the last call: one whose
    `AsyncSession` was dropped unclosed is stopped by a finalizer and still
    writes what was queued. At exit every live writer is stopped and its
    thread joined, so the interpreter does not end in the middle of a queue.
    """

    _live: set[_Writer] = set()
    _live_lock = threading.Lock()

    def __init__(self) -> None:
        self._queue: queue.SimpleQueue[_Item | None] = queue.SimpleQueue()
        self._lock = threading.Lock()
        self._stopped: concurrent.futures.Future[None] | None = None
        self._end: Callable[[], object] | None = None
        with self._live_lock:
            self._live.add(self)
        self._thread = threading.Thread(target=self._run, name="tallyvox-writer", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        try:
            _drain(self._queue)
        finally:
            with self._live_lock:
                self._live.discard(self)

    @property
    def stopped(self) -> bool:
        return self._stopped is not None

    def at_end(self, fn: Callable[[], object]) -> None:
        """Run `fn` after the last queued call, once the writer is stopped."""
        self._end = fn

    def put(self, fn: Callable[[Any], Any], arg: Any, deliver: _Deliver) -> None:
        """Queue `fn(arg)`; once stopped, raise `LedgerError` instead."""
        with self._lock:
            if self._stopped is not None:
                raise LedgerError(CLOSED_MESSAGE)
            self._queue.put((fn, arg, deliver))

    def call(self, fn: Callable[[Any], _T], arg: Any) -> concurrent.futures.Future[_T]:
        done: concurrent.futures.Future[_T] = concurrent.futures.Future()
        self.put(fn, arg, functools.partial(_to_future, done))
        return done

    def flush(self) -> concurrent.futures.Future[None]:
        """Completes once everything queued so far has run."""
        with self._lock:
            return self._stopped or self._marker(_nothing)

    def stop(self) -> concurrent.futures.Future[None]:
        """Let the thread end after what is queued and the `at_end` call; the
        future says when, with the error of that call if it failed."""
        with self._lock:
            if self._stopped is None:
                self._stopped = self._marker(self._finish)
                self._queue.put(None)
            return self._stopped

    def _finish(self, _: Any) -> None:
        # Read on the writer thread: an open still in the queue sets it.
        if self._end is not None:
            self._end()

    def _marker(self, fn: Callable[[Any], None]) -> concurrent.futures.Future[None]:
        # One thread runs the queue in order: once this runs, all before it has.
        done: concurrent.futures.Future[None] = concurrent.futures.Future()
        self._queue.put((fn, None, functools.partial(_to_future, done)))
        return done

    @classmethod
    def drain_all(cls) -> None:
        with cls._live_lock:
            writers = list(cls._live)
        for writer in writers:
            writer.stop()
        for writer in writers:
            writer._thread.join()


atexit.register(_Writer.drain_all)


def _nothing(_: Any) -> None:
    return None


def _drain(items: queue.SimpleQueue[_Item | None]) -> None:
    while (item := items.get()) is not None:
        fn, arg, deliver = item
        try:
            result = fn(arg)
        except BaseException as error:  # handed to whoever waits for it
            deliver(None, error)
        else:
            deliver(result, None)
        del item, fn, arg, deliver  # hold nothing while waiting for the next


def _to_future(
    done: concurrent.futures.Future[Any], result: Any, error: BaseException | None
) -> None:
    if not done.set_running_or_notify_cancel():
        return
    if error is not None:
        done.set_exception(error)
    else:
        done.set_result(result)


def _settle(target: asyncio.Future[Any], result: Any, error: BaseException | None) -> None:
    if target.cancelled():
        return
    if error is not None:
        target.set_exception(error)
    else:
        target.set_result(result)


def _to_loop(loop: asyncio.AbstractEventLoop, target: asyncio.Future[Any]) -> _Deliver:
    def deliver(result: Any, error: BaseException | None) -> None:
        try:
            loop.call_soon_threadsafe(_settle, target, result, error)
        except RuntimeError:  # the loop is closed: nobody is waiting any more
            pass

    return deliver


def _awaitable(source: concurrent.futures.Future[_T]) -> asyncio.Future[_T]:
    """An asyncio future on the running loop that takes `source`'s outcome.

    Unlike `asyncio.wrap_future`, cancelling it leaves `source` queued: an
    event handed to the writer is written whether or not anyone waits."""
    loop = asyncio.get_running_loop()
    target: asyncio.Future[_T] = loop.create_future()
    deliver = _to_loop(loop, target)

    def done(finished: concurrent.futures.Future[_T]) -> None:
        try:
            result = finished.result()
        except BaseException as error:  # raised to the awaiting caller
            deliver(None, error)
        else:
            deliver(result, None)

    source.add_done_callback(done)
    return target
