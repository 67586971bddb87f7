"""One task per recorder that hands events to an AsyncSession in the order the
framework reported them, so that a voice framework's callbacks only append to
a queue and never wait on the disk."""

from __future__ import annotations

import asyncio
import hashlib
import json
import logging
from collections.abc import Callable
from typing import Any

import tallyvox

log = logging.getLogger("tallyvox.integrations")

_STOP = object()


def sha256_hex(data: str | bytes) -> str:
    """SHA-256 of the exact UTF-8 text, or of the bytes, as 64 hex characters."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    return hashlib.sha256(data).hexdigest()


def json_bytes(value: Any) -> bytes:
    """The canonical JSON of a value, or, for values canonical JSON refuses
    (floats out of range, objects), the sorted json.dumps text with str()
    standing in for what is not JSON."""
    try:
        return tallyvox.canonical_json(value)
    except tallyvox.TallyvoxError:
        text = json.dumps(value, sort_keys=True, ensure_ascii=False, separators=(",", ":"),
                          default=str)
        return text.encode("utf-8")


class EventPump:
    """Records events through `session.record` one after another from a task of
    its own. `put` never blocks; a failed record is logged on the
    `tallyvox.integrations` logger and, when strict, raised by every later
    `put`, `drain` and `aclose`."""

    def __init__(self, session: Any, *, strict: bool) -> None:
        self._session = session
        self._strict = strict
        self._queue: asyncio.Queue[Any] = asyncio.Queue()
        self._task: asyncio.Task[None] | None = None
        self._error: BaseException | None = None

    @property
    def session_id(self) -> str:
        return str(getattr(self._session, "session_id", ""))

    def put(self, event: Any) -> None:
        self.raise_pending()
        if self._task is None:
            self._task = asyncio.get_running_loop().create_task(self._run())
        self._queue.put_nowait(event)

    def raise_pending(self) -> None:
        if self._strict and self._error is not None:
            raise self._error.with_traceback(None)

    async def drain(self) -> None:
        """Waits until every event put so far has been recorded (or failed)."""
        if self._task is not None:
            await self._queue.join()
        self.raise_pending()

    async def aclose(self) -> None:
        """Records what is queued, then ends the task; the session stays open."""
        if self._task is not None:
            self._queue.put_nowait(_STOP)
            task, self._task = self._task, None
            await task
        self.raise_pending()

    async def _run(self) -> None:
        while True:
            event = await self._queue.get()
            try:
                if event is _STOP:
                    return
                await self._session.record(event)
            except tallyvox.TallyvoxError as error:
                log.error("recording to the ledger failed: %s", error)
                self._error = error
            finally:
                self._queue.task_done()


def guarded(strict: bool, what: str, call: Callable[[], None]) -> None:
    """Runs one callback's mapping so that a fault in it never reaches the agent
    unless the recorder is strict."""
    try:
        call()
    except Exception as error:
        if strict:
            raise
        log.exception("tallyvox could not record %s: %s", what, error)
