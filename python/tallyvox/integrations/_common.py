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
- `Runs`: pairs the start and the end of a run by its id, at most once each.
- `Recorder(session, strict=False)`: records onto a `Session` or an
  `AsyncSession` from synchronous (`record`) or asynchronous (`arecord`) code.
  Any failure is logged to the `tallyvox.integrations` logger and swallowed,
  or re-raised when `strict` is true.
"""

from __future__ import annotations

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

from tallyvox import Session, SignedEvent, canonical_json
from tallyvox.aio import AsyncSession
from tallyvox.events import AgentEvent

__all__ = [
    "REDACTED",
    "Redactor",
    "logger",
    "redact_values",
    "sha256_hex",
    "sha256_json",
    "jsonable",
    "token_count",
    "never_break",
    "Runs",
    "Recorder",
]

logger = logging.getLogger("tallyvox.integrations")

REDACTED = "***"

Redactor = Callable[[Any], Any]
"""Takes a tool's arguments (a mapping of names to values, or the raw input)
and gives the JSON-able value stored as `args_redacted`."""

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

    - With a `Session`, `record` writes in the calling thread and returns once
      the line is on disk; `arecord` does the same on a writer thread of its
      own (one, in call order) so the event loop does not wait.
    - With an `AsyncSession`, `arecord` awaits the writer; `record` only queues
      the event and logs a failure when the writer reports it, except with
      `strict`, where it waits for the write and raises.
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

    def record(self, event: AgentEvent, what: str) -> SignedEvent | None:
        """Record from synchronous code; gives the `SignedEvent` when written here."""
        with never_break(self.strict, what):
            if isinstance(self.session, Session):
                return self.session.record(event)
            pending = self.session.submit(event)
            if self.strict:
                return pending.result()
            pending.add_done_callback(lambda done: _log_failure(done, what))
        return None

    async def arecord(self, event: AgentEvent, what: str) -> SignedEvent | None:
        """Record from a coroutine without blocking the event loop."""
        with never_break(self.strict, what):
            return await self._async_writer().record(event)
        return None

    def _async_writer(self) -> AsyncSession:
        with self._lock:
            if self._writer is None:
                assert isinstance(self.session, Session)
                self._writer = AsyncSession(self.session)
            return self._writer


def _log_failure(done: concurrent.futures.Future[SignedEvent], what: str) -> None:
    if done.cancelled():
        return
    error = done.exception()
    if error is not None:
        logger.error("could not record %s", what, exc_info=error)
