"""Recording any agent that emits OpenTelemetry spans: a span processor that
seals each finished trace into a ledger.

    provider.add_span_processor(LedgerSpanProcessor(session))

| Span | Event |
|---|---|
| `gen_ai.operation.name` `chat`, `text_completion`, `generate_content`; OpenInference `LLM` | `ModelInvoked` |
| `execute_tool`; OpenInference `TOOL` | `ToolCalled`, then `ToolReturned` |
| `invoke_agent`; OpenInference `AGENT` (the trace's first) | `SessionStarted` / `SessionEnded` around the trace |

Spans reach `on_end` in the order they end, on whatever thread ends them.
`on_end` only hands the span to a thread of the processor's own, which maps
it, keeps the trace's events, and when the trace's root span ends (or at
`force_flush()` / `shutdown()`) sorts them by time and queues them on the
ledger's writer. So the thread that ends a span never waits on the disk, and
a failure never reaches the SDK: it is logged to `tallyvox.integrations`, and
raised by the next `force_flush()` / `shutdown()` when `strict=True`.

Given a router (`tallyvox.integrations.routing`) instead of a session, each
trace goes to the ledger of its `gen_ai.conversation.id` (OpenInference
`session.id`), else of its trace id, and that conversation is ended when the
trace's root span ends.
"""

from __future__ import annotations

import concurrent.futures
import itertools
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Protocol

from opentelemetry.context import Context
from opentelemetry.sdk.trace import ReadableSpan, Span, SpanProcessor

from tallyvox import Session, events
from tallyvox.aio import AsyncSession, _Writer
from tallyvox.events import AgentEvent
from tallyvox.integrations._common import Redactor, logger, redact_values, sha256_json
from tallyvox.integrations._otel_spans import UNKNOWN, Agent, Mapped, ending_reason, map_span
from tallyvox.integrations.routing import Router, SessionTarget, as_router

__all__ = ["LedgerSpanProcessor", "UNFINISHED"]

UNFINISHED = "unfinished"
"""The `SessionEnded` reason of a trace sealed before its root span ended."""

DEFAULT_MAX_PENDING_SPANS = 10_000

_Report = Callable[["concurrent.futures.Future[Any]"], None]
_Make = Callable[[str], list[AgentEvent]]


class LedgerSpanProcessor(SpanProcessor):
    """Records finished GenAI / OpenInference spans onto a `Session`, an
    `AsyncSession`, or a router of one ledger per conversation.

    `redact` makes `args_redacted` from a tool's parsed arguments (default:
    names kept, values `"***"`). At most `max_pending_spans` recorded spans of
    unfinished traces are held: past that, the oldest trace is sealed as it
    stands (`SessionEnded` reason `"unfinished"`), as every held trace is at
    `force_flush()` and `shutdown()`.
    """

    def __init__(
        self,
        session_or_router: SessionTarget | Router | Callable[[str], SessionTarget],
        *,
        redact: Redactor = redact_values,
        strict: bool = False,
        max_pending_spans: int = DEFAULT_MAX_PENDING_SPANS,
    ) -> None:
        self._owned: AsyncSession | None = None
        target: _Target
        if isinstance(session_or_router, Session):
            self._owned = AsyncSession(session_or_router)
            target = _SessionTarget(self._owned)
        elif isinstance(session_or_router, AsyncSession):
            target = _SessionTarget(session_or_router)
        else:
            target = _RouterTarget(as_router(session_or_router))
        self._target = target
        self._redact = redact
        self._strict = strict
        self._max_pending = max(max_pending_spans, 1)
        self._errors: list[BaseException] = []
        self._errors_lock = threading.Lock()
        self._shut = False
        self._worker = _Writer()
        # Touched only on the worker thread.
        self._traces: dict[int, _Trace] = {}
        self._held = 0
        self._order = itertools.count()

    # -- the SDK's side: called on the threads that end spans -------------

    def on_start(self, span: Span, parent_context: Context | None = None) -> None:
        return None

    def on_end(self, span: ReadableSpan) -> None:
        if self._shut:
            return
        try:
            self._worker.put(self._take, span, self._after_take)
        except Exception as error:
            if not self._shut:  # else shut down meanwhile: spans are ignored from then on
                self._failed(error, "a span")

    def force_flush(self, timeout_millis: int = 30_000) -> bool:
        """Seal every held trace and wait until all is written; False if that
        took longer than `timeout_millis`. With `strict`, raises the first
        failure since the last flush."""
        done = self._flush(timeout_millis)
        self._raise_if_strict()
        return done

    def shutdown(self) -> None:
        if self._shut:
            return
        self._shut = True
        try:
            self._flush(30_000)
        finally:
            self._worker.stop()
            if self._owned is not None:
                self._owned.close()
        self._raise_if_strict()

    # -- the worker thread ------------------------------------------------

    def _take(self, span: ReadableSpan) -> None:
        context = span.context
        if context is None:
            return
        mapped: Mapped | None = None
        try:
            mapped = map_span(span, self._redact)
        except Exception as error:
            self._failed(error, f"the span {span.name!r}")
        if mapped is not None:
            trace = self._traces.get(context.trace_id)
            if trace is None:
                trace = self._traces[context.trace_id] = _Trace(context.trace_id)
            trace.add(mapped, next(self._order))
            self._held += 1
        if span.parent is None or span.parent.is_remote:
            held = self._traces.pop(context.trace_id, None)
            if held is not None:
                self._held -= held.spans
                self._seal(held, span)
        while self._held > self._max_pending and self._traces:
            self._seal_oldest()

    def _after_take(self, result: Any, error: BaseException | None) -> None:
        if error is not None:
            self._failed(error, "a span")

    def _seal_oldest(self) -> None:
        oldest = self._traces.pop(next(iter(self._traces)))
        self._held -= oldest.spans
        self._seal(oldest, None)

    def _seal_all(self, _: Any) -> list[concurrent.futures.Future[Any]]:
        while self._traces:
            self._seal_oldest()
        return self._target.flush()

    def _seal(self, trace: _Trace, root: ReadableSpan | None) -> None:
        if trace.agent is None and not trace.timed:
            return
        what = f"the trace {trace.trace_id:032x}"
        try:
            make = trace.sealed(root)
            self._target.deliver(trace.key, make, lambda pending: self._report(pending, what))
        except Exception as error:
            self._failed(error, what)

    # -- failures ----------------------------------------------------------

    def _report(self, pending: concurrent.futures.Future[Any], what: str) -> None:
        def check(done: concurrent.futures.Future[Any]) -> None:
            error = None if done.cancelled() else done.exception()
            if error is not None:
                self._failed(error, what)

        pending.add_done_callback(check)

    def _failed(self, error: BaseException, what: str) -> None:
        logger.error("could not record %s", what, exc_info=error)
        if self._strict:
            with self._errors_lock:
                self._errors.append(error)

    def _raise_if_strict(self) -> None:
        with self._errors_lock:
            first = self._errors[0] if self._errors else None
            self._errors.clear()
        if first is not None:
            raise first

    def _flush(self, timeout_millis: int) -> bool:
        if self._worker.stopped:  # shut down: everything was sealed then
            return True
        deadline = time.monotonic() + max(timeout_millis, 0) / 1000
        try:
            writes = self._worker.call(self._seal_all, None).result(
                timeout=max(deadline - time.monotonic(), 0))
        except concurrent.futures.TimeoutError:
            return False
        except Exception as error:
            self._failed(error, "the held traces")
            return True
        _, late = concurrent.futures.wait(writes, timeout=max(deadline - time.monotonic(), 0))
        return not late


@dataclass(slots=True)
class _Trace:
    """What a trace has given so far: its timed events, its first agent span,
    its first model and the conversation it belongs to."""

    trace_id: int
    timed: list[tuple[int, int, AgentEvent]] = field(default_factory=list)
    agent: Agent | None = None
    model: tuple[int, str] | None = None
    conversation: str | None = None
    spans: int = 0

    def add(self, mapped: Mapped, order: int) -> None:
        self.spans += 1
        self.timed.extend((at, order, event) for at, event in mapped.timed)
        if mapped.agent is not None and (self.agent is None or mapped.agent.start < self.agent.start):
            self.agent = mapped.agent
        if mapped.model_id is not None and mapped.timed:
            start = mapped.timed[0][0]
            if self.model is None or start < self.model[0]:
                self.model = (start, mapped.model_id)
        if self.conversation is None:
            self.conversation = mapped.conversation

    @property
    def key(self) -> str:
        return self.conversation if self.conversation is not None else f"{self.trace_id:032x}"

    def sealed(self, root: ReadableSpan | None) -> _Make:
        """The ledger events of this trace, given the session id they go to:
        a session around the events in time order."""
        agent, first_model = self.agent, (self.model[1] if self.model else None)
        if agent is not None:
            agent_id, model_id = agent.agent_id, agent.model_id or first_model
            reason, span_id = agent.reason, agent.span_id
        elif root is not None and root.context is not None:
            agent_id, model_id = root.name or UNKNOWN, first_model
            reason, span_id = ending_reason(root), root.context.span_id
        else:
            agent_id, model_id, reason, span_id = UNKNOWN, first_model, UNFINISHED, None
        body = [event for _, _, event in sorted(self.timed, key=lambda t: (t[0], t[1]))]
        summary = sha256_json({
            "trace_id": f"{self.trace_id:032x}",
            "span_id": "" if span_id is None else f"{span_id:016x}",
        })

        def make(session_id: str) -> list[AgentEvent]:
            return [
                events.session_started(agent_id=agent_id, model_id=model_id or UNKNOWN,
                                       session_id=session_id),
                *body,
                events.session_ended(reason=reason, summary_sha256=summary),
            ]

        return make


class _Target(Protocol):
    def deliver(self, key: str, make: _Make, report: _Report) -> None: ...

    def flush(self) -> list[concurrent.futures.Future[Any]]: ...


class _SessionTarget:
    """Every trace into one ledger, through its writer's queue."""

    def __init__(self, ledger: AsyncSession) -> None:
        self._ledger = ledger

    def deliver(self, key: str, make: _Make, report: _Report) -> None:
        for event in make(self._ledger.session_id):
            report(self._ledger.submit(event))

    def flush(self) -> list[concurrent.futures.Future[Any]]:
        return [self._ledger.flush()]


class _RouterTarget:
    """Each trace into the ledger of its conversation, which ends with it."""

    _MEMORY = 1024

    def __init__(self, router: Router) -> None:
        self._router = router
        self._ends: dict[str, concurrent.futures.Future[None]] = {}

    def deliver(self, key: str, make: _Make, report: _Report) -> None:
        previous = self._ends.pop(key, None)
        if previous is not None:
            # The conversation's ledger may still be closing: reopening it
            # before then would resume from a stale end and fork the chain.
            concurrent.futures.wait([previous])
        ledger = self._router.session_for(key)
        for event in make(ledger.session_id):
            report(ledger.submit(event))
        ended = self._router.end(key)
        report(ended)
        self._ends[key] = ended
        if len(self._ends) > self._MEMORY:
            self._ends = {k: f for k, f in self._ends.items() if not f.done()}

    def flush(self) -> list[concurrent.futures.Future[Any]]:
        return list(self._ends.values())
