"""What every framework recorder shares: redaction, digests, run pairing and a
recording front that never breaks the agent.

- `redact_values(args)`, the default redactor: a mapping keeps its argument
  names and every value becomes `"***"`; anything else becomes `"***"`.
- `sha256_hex(data)`: SHA-256 over the exact UTF-8 bytes of a text (or over
  the bytes given), as 64 lowercase hex characters.
- `sha256_json(value)`: `sha256_hex` of the canonical JSON of `jsonable(value)`
  (`tallyvox.canonical_json`), for structured content such as a list of chat
  messages or a mapping of tool arguments.
- `jsonable(value)`: a JSON-able copy of a framework value.
- `token_count(value)`: a token count as the ledger holds it (0 when unknown).
- `keep_text(text)`, the default text redactor: the text as it is.
- `end_reason(error)`: `SessionEnded.reason` for a run that ended on `error`
  (`"completed"`, `"cancelled"` or `"error: <type>"`).
- `unfinished_call(name, latency_ms)`: the `ToolReturned` of a tool call that
  never returned (cancelled, or still open when its session ended).
- `Runs`: pairs the start and the end of a run by its id, at most once each.
- `Recorder(session, strict=False)`: records onto a `Session` or an
  `AsyncSession` from synchronous (`record`) or asynchronous (`arecord`) code
  through the session's writer queue; `flush()` and `close()` say when it is
  written. Any failure is logged to the `tallyvox.integrations` logger and
  swallowed, or re-raised when `strict` is true.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import dataclasses
import hashlib
import logging
import math
import threading
import time
from collections import OrderedDict
from collections.abc import Callable, Iterator, Mapping
from typing import Any, Generic, TypeVar

from tallyvox import Session, SignedEvent, canonical_json, events
from tallyvox.aio import AsyncSession
from tallyvox.events import AgentEvent

__all__ = [
    "REDACTED",
    "COMPLETED",
    "CANCELLED",
    "Redactor",
    "TextRedactor",
    "logger",
    "redact_values",
    "keep_text",
    "end_reason",
    "unfinished_call",
    "sha256_hex",
    "sha256_json",
    "jsonable",
    "token_count",
    "never_break",
    "done_future",
    "Runs",
    "Recorder",
]

logger = logging.getLogger("tallyvox.integrations")

REDACTED = "***"

Redactor = Callable[[Any], Any]
"""Takes a tool's arguments (a mapping of names to values, or the raw input)
and gives the JSON-able value stored as `args_redacted`."""

TextRedactor = Callable[[str], str]
"""Takes a transcript or a spoken text and gives the text the ledger keeps."""

COMPLETED = "completed"
CANCELLED = "cancelled"

_K = TypeVar("_K")
_V = TypeVar("_V")

_JSON_INTEGERS = range(-(2**63), 2**64)
_TOKEN_LIMIT = 2**32 - 1


def redact_values(args: Any) -> Any:
    """Keep the argument names of a mapping, replace every value by `"***"`;
    any other input becomes `"***"` as a whole."""
    if isinstance(args, Mapping):
        return {str(name): REDACTED for name in args}
    return REDACTED


def keep_text(text: str) -> str:
    """The default text redactor: transcripts and spoken texts are kept whole."""
    return text


def end_reason(error: BaseException | None) -> str:
    """`"completed"` without an error, `"cancelled"` for a cancellation, else
    `"error: "` and the error's type name."""
    if error is None:
        return COMPLETED
    if isinstance(error, (asyncio.CancelledError, concurrent.futures.CancelledError)):
        return CANCELLED
    return f"error: {type(error).__name__}"


def unfinished_call(name: str, latency_ms: int) -> AgentEvent:
    """A call that never gave a result: failed, digest of the empty text."""
    return events.tool_returned(tool_name=name, result_sha256=sha256_hex(""),
                                latency_ms=max(latency_ms, 0), success=False)


def sha256_hex(data: str | bytes) -> str:
    """SHA-256 of a text's exact UTF-8 bytes (or of `data` itself), lowercase hex."""
    raw = data.encode("utf-8", "surrogatepass") if isinstance(data, str) else bytes(data)
    return hashlib.sha256(raw).hexdigest()


def sha256_json(value: Any) -> str:
    """SHA-256 of the canonical JSON bytes of `jsonable(value)`, lowercase hex."""
    return sha256_hex(canonical_json(jsonable(value)))


def jsonable(value: Any) -> Any:
    """A copy of `value` made only of JSON values: mappings (keys as text),
    lists, text, booleans, null, 64-bit integers and finite floats. Pydantic
    models and dataclasses become their field mappings; anything else,
    including numbers that JSON cannot hold, becomes its `str`."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return value if value in _JSON_INTEGERS else str(value)
    if isinstance(value, float):
        return value if math.isfinite(value) else str(value)
    if isinstance(value, Mapping):
        return {str(k): jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [jsonable(v) for v in value]
    dump = getattr(value, "model_dump", None)
    if callable(dump):
        return jsonable(dump(mode="json"))
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return jsonable(dataclasses.asdict(value))
    return str(value)


def token_count(value: Any) -> int:
    """An integer count clamped to 0..2^32-1; 0 for anything that is not one."""
    if isinstance(value, bool) or not isinstance(value, int):
        return 0
    return min(max(value, 0), _TOKEN_LIMIT)


@contextlib.contextmanager
def never_break(strict: bool, what: str) -> Iterator[None]:
    """Log any failure inside the block to `tallyvox.integrations` as
    "could not record <what>", and re-raise it only when `strict`."""
    try:
        yield
    except Exception:
        logger.exception("could not record %s", what)
        if strict:
            raise


@dataclasses.dataclass(frozen=True)
class _Started(Generic[_V]):
    data: _V
    started_ns: int


class Runs(Generic[_K, _V]):
    """Runs in flight keyed by id. `begin` and `end` each succeed once per id,
    so a callback delivered twice records nothing the second time. Thread-safe;
    remembers the last `memory` finished ids."""

    def __init__(self, memory: int = 4096) -> None:
        self._lock = threading.Lock()
        self._open: dict[_K, _Started[_V]] = {}
        self._done: OrderedDict[_K, None] = OrderedDict()
        self._memory = memory

    def begin(self, key: _K, data: _V) -> bool:
        """Start run `key` with `data`; False if it was started before."""
        with self._lock:
            if key in self._open or key in self._done:
                return False
            self._open[key] = _Started(data, time.monotonic_ns())
            return True

    def end(self, key: _K) -> tuple[_V, int] | None:
        """Finish run `key`: its data and the whole milliseconds since `begin`,
        or None if it never began or already ended."""
        with self._lock:
            started = self._open.pop(key, None)
            if started is None:
                return None
            self._remember(key)
        return started.data, (time.monotonic_ns() - started.started_ns) // 1_000_000

    def take_open(self) -> list[tuple[_K, _V, int]]:
        """Finish every run still open: each one's key, data and milliseconds
        since `begin`, in the order they began."""
        now = time.monotonic_ns()
        with self._lock:
            taken, self._open = self._open, {}
            for key in taken:
                self._remember(key)
        return [(k, s.data, (now - s.started_ns) // 1_000_000) for k, s in taken.items()]

    def __contains__(self, key: object) -> bool:
        """Whether run `key` is open or among the finished ones remembered."""
        with self._lock:
            return key in self._open or key in self._done

    def once(self, key: _K) -> bool:
        """Mark a run seen only at its end as done; False if it was seen before."""
        with self._lock:
            if key in self._open or key in self._done:
                return False
            self._remember(key)
            return True

    def _remember(self, key: _K) -> None:
        self._done[key] = None
        if len(self._done) > self._memory:
            self._done.popitem(last=False)


class Recorder:
    """Records events for a framework callback onto a `Session` or an
    `AsyncSession`, never breaking the agent unless `strict`.

    - `record` and `arecord` queue the event on the session's writer thread (a
      `Session` is given one of its own), so the framework never waits on the
      disk; a failure is logged when the writer reports it. `flush()` gives a
      future that completes once everything queued so far is written.
    - With `strict`, each event is waited for and its failure raised: `record`
      writes a `Session` in the calling thread (or waits for the
      `AsyncSession`'s writer), `arecord` awaits the writer.
    - `close()` flushes and stops the writer thread made for a `Session`; the
      session itself stays open, it belongs to the caller.
    """

    def __init__(self, session: Session | AsyncSession, *, strict: bool = False) -> None:
        if not isinstance(session, (Session, AsyncSession)):
            raise TypeError(
                "expected a tallyvox.Session or tallyvox.aio.AsyncSession, "
                f"got {type(session).__name__}"
            )
        self.session = session
        self.strict = strict
        self._lock = threading.Lock()
        self._writer: AsyncSession | None = session if isinstance(session, AsyncSession) else None
        self._owns_writer = False

    @property
    def session_id(self) -> str:
        return self.session.session_id

    def record(self, event: AgentEvent, what: str) -> SignedEvent | None:
        """Record from synchronous code; gives the `SignedEvent` when strict."""
        with never_break(self.strict, what):
            if self.strict and isinstance(self.session, Session):
                return self.session.record(event)
            pending = self._async_writer().submit(event)
            if self.strict:
                return pending.result()
            pending.add_done_callback(lambda done: _log_failure(done, what))
        return None

    async def arecord(self, event: AgentEvent, what: str) -> SignedEvent | None:
        """Record from a coroutine without blocking the event loop; awaits the
        write only when strict."""
        if not self.strict:
            return self.record(event, what)
        with never_break(self.strict, what):
            return await self._async_writer().record(event)
        return None

    def flush(self) -> concurrent.futures.Future[None]:
        """A future that completes once every event queued so far is written."""
        return self._writer.flush() if self._writer is not None else done_future()

    def close(self) -> concurrent.futures.Future[None]:
        """Flush, and stop the writer thread made for a `Session`."""
        with self._lock:
            writer, owned = self._writer, self._owns_writer
        if writer is None:
            return done_future()
        return writer.close() if owned else writer.flush()

    def _async_writer(self) -> AsyncSession:
        with self._lock:
            if self._writer is None:
                assert isinstance(self.session, Session)
                self._writer, self._owns_writer = AsyncSession(self.session), True
            return self._writer


def done_future() -> concurrent.futures.Future[None]:
    """A future that has already completed."""
    done: concurrent.futures.Future[None] = concurrent.futures.Future()
    done.set_result(None)
    return done


def _log_failure(done: concurrent.futures.Future[SignedEvent], what: str) -> None:
    if done.cancelled():
        return
    error = done.exception()
    if error is not None:
        logger.error("could not record %s", what, exc_info=error)
