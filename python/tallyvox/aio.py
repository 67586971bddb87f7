"""Recording from asyncio without waiting on the disk in the event loop.

`Session.record` returns only once its line is flushed with `fdatasync`. An
`AsyncSession` hands every event to one writer thread of its own, in the order
of the `record` calls, so the event loop only queues work and collects results.
The writer takes every event queued when it wakes and writes them together:
one write and one `fdatasync` for many events (group commit).
"""

from __future__ import annotations

import asyncio
import atexit
import collections
import concurrent.futures
import functools
import os
import queue
import threading
import weakref
from collections.abc import Awaitable, Callable
from types import TracebackType
from typing import Any, TypeVar

from tallyvox import LedgerError, Session, SignedEvent, SigningKeypair, _native
from tallyvox.checkpoint import Checkpoint
from tallyvox.events import AgentEvent
from tallyvox.policy import CheckpointPolicy

__all__ = ["AsyncSession"]

_T = TypeVar("_T")

CLOSED_MESSAGE = "the session is closed"

# A batch closes at this many events, or once its lines reach MAX_BATCH_BYTES.
MAX_BATCH = 256
MAX_BATCH_BYTES = 1 << 20

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
    - Group commit: the writer takes every event queued when it wakes (up to
      `max_batch` events, or about 1 MiB of lines) and appends them with one
      write and one `fdatasync`; each await returns only once its batch is on
      stable storage. A batch that fails is cut back whole and every caller
      in it gets the error. `max_batch=1` writes one event per flush.
    - `await s.checkpoint()` signs the checkpoint of everything queued before
      it; `last_checkpoint` is the note of the latest.
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

    def __init__(self, session: Session, *, max_batch: int = MAX_BATCH) -> None:
        if not isinstance(session, Session):
            raise TypeError(f"expected a tallyvox.Session, got {type(session).__name__}")
        batch = _Batch(session, max_batch)
        self._start(session, _Writer(), batch)

    def _start(self, session: Session, writer: _Writer, batch: _Batch) -> None:
        self._session, self._writer, self._batch = session, writer, batch
        # Dropped unclosed: the writer still writes what is queued, then ends.
        weakref.finalize(self, writer.stop).atexit = False

    @classmethod
    async def open(
        cls,
        *,
        keypair: SigningKeypair,
        ledger_path: str | os.PathLike[str],
        session_id: str,
        checkpoints: CheckpointPolicy | None = None,
        max_batch: int = MAX_BATCH,
    ) -> AsyncSession:
        """Open (or resume) a session writing to `ledger_path`, off the event loop."""
        _check_max_batch(max_batch)
        writer = _Writer()

        def opening(_: Any) -> Session:
            session = Session.open(keypair=keypair, ledger_path=ledger_path, session_id=session_id,
                                   checkpoints=checkpoints)
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
        self._start(session, writer, _Batch(session, max_batch))
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

    @property
    def last_checkpoint(self) -> str | None:
        """The note of the latest checkpoint the session signed, or None."""
        return self._session.last_checkpoint

    def submit(self, event: AgentEvent) -> concurrent.futures.Future[SignedEvent]:
        """Queue `event` from any thread; the future gives its `SignedEvent`."""
        return self._writer.call(self._batch, event)

    def record(self, event: AgentEvent) -> Awaitable[SignedEvent]:
        """Queue `event` now; awaiting the result gives its `SignedEvent`."""
        return self._queue_on_loop(self._batch, event)

    def checkpoint(self, origin: str | None = None) -> Awaitable[Checkpoint]:
        """Queue a checkpoint now; awaiting the result gives the `Checkpoint` of
        every event queued before it (`Session.checkpoint`)."""
        return self._queue_on_loop(self._session.checkpoint, origin)

    def _queue_on_loop(self, fn: Callable[[Any], _T], arg: Any) -> Awaitable[_T]:
        loop = asyncio.get_running_loop()
        target: asyncio.Future[_T] = loop.create_future()
        self._writer.put(fn, arg, _to_loop(loop, target))
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


def _check_max_batch(max_batch: object) -> None:
    if not isinstance(max_batch, int) or isinstance(max_batch, bool) or max_batch < 1:
        raise ValueError(f"max_batch must be a whole number from 1: {max_batch!r}")


class _Batch:
    """The records of one session: queued one by one, written together."""

    def __init__(self, session: Session, max_events: int) -> None:
        _check_max_batch(max_events)
        self.session, self.max_events = session, max_events

    def __call__(self, event: AgentEvent) -> SignedEvent:
        return self.session.record(event)

    def run(self, items: list[_Item]) -> None:
        """Records the events of `items` in order and hands each its outcome.
        What is not an event gets its own TypeError and writes nothing."""
        events = []
        for item in items:
            if isinstance(item[1], AgentEvent):
                events.append(item)
            else:
                _call(item)
        try:
            outcomes = _native.record_batches(self.session, [arg for _, arg, _ in events],
                                              MAX_BATCH_BYTES)
        except BaseException as error:  # a strict policy's failure: for the whole batch
            outcomes = [error] * len(events)
        _deliver_all([(deliver, None, outcome) if isinstance(outcome, BaseException)
                      else (deliver, outcome, None)
                      for (_, _, deliver), outcome in zip(events, outcomes)])


def _nothing(_: Any) -> None:
    return None


def _drain(items: queue.SimpleQueue[_Item | None]) -> None:
    held: collections.deque[_Item | None] = collections.deque()  # taken, not yet run
    while (item := held.popleft() if held else items.get()) is not None:
        _run(item, items, held)
        del item  # hold nothing while waiting for the next


def _run(item: _Item, items: queue.SimpleQueue[_Item | None],
         held: collections.deque[_Item | None]) -> None:
    """Runs one queued call, or the batch of records that `item` starts:
    it and the records of the same session queued right behind it."""
    fn = item[0]
    if isinstance(fn, _Batch):
        batch = [item]
        while len(batch) < fn.max_events:
            try:
                following = items.get_nowait()
            except queue.Empty:
                break
            if following is None or following[0] is not fn:
                held.append(following)
                break
            batch.append(following)
        fn.run(batch)
    else:
        _call(item)


def _call(item: _Item) -> None:
    fn, arg, deliver = item
    try:
        result = fn(arg)
    except BaseException as error:  # handed to whoever waits for it
        deliver(None, error)
    else:
        deliver(result, None)


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


class _ToLoop:
    """Delivers an outcome to a future of an event loop, from any thread."""

    def __init__(self, loop: asyncio.AbstractEventLoop, target: asyncio.Future[Any]) -> None:
        self.loop, self.target = loop, target

    def __call__(self, result: Any, error: BaseException | None) -> None:
        _post(self.loop, _settle, self.target, result, error)


def _to_loop(loop: asyncio.AbstractEventLoop, target: asyncio.Future[Any]) -> _Deliver:
    return _ToLoop(loop, target)


def _post(loop: asyncio.AbstractEventLoop, fn: Callable[..., None], *args: Any) -> None:
    try:
        loop.call_soon_threadsafe(fn, *args)
    except RuntimeError:  # the loop is closed: nobody is waiting any more
        pass


def _settle_all(outcomes: list[tuple[asyncio.Future[Any], Any, BaseException | None]]) -> None:
    for target, result, error in outcomes:
        _settle(target, result, error)


def _deliver_all(outcomes: list[tuple[_Deliver, Any, BaseException | None]]) -> None:
    """Hands out the outcomes of a batch: those of one event loop in a single
    call to it, so that the writer wakes each loop once per batch."""
    by_loop: dict[asyncio.AbstractEventLoop, list[Any]] = {}
    for deliver, result, error in outcomes:
        if isinstance(deliver, _ToLoop):
            by_loop.setdefault(deliver.loop, []).append((deliver.target, result, error))
        else:
            deliver(result, error)
    for loop, settled in by_loop.items():
        _post(loop, _settle_all, settled)


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
