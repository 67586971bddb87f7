"""Recording OpenAI Agents SDK runs: a tracing processor that turns finished
spans into ledger events.

    agents.add_trace_processor(LedgerTracingProcessor(router=LedgerRouter(directory, keypair)))

| Span | Event |
|---|---|
| trace start / end, with a router or `own_session=True` | `SessionStarted` / `SessionEnded` |
| generation or response span | `ModelInvoked` |
| function span | `ToolCalled`, then `ToolReturned` |
| transcription span | `UtteranceCaptured` |
| speech span | `UtteranceSpoken` |

Trace processors are global: one processor sees every run of the process.
With a session, all of them go to its ledger; with a router, each trace (or,
`by="group"`, each group of traces) goes to a ledger of its own.

Every event is recorded when its span ends (a function span's arguments are
known only then); other spans are ignored. A function span still open when its
trace ends (the run was cancelled while the tool ran) is recorded then, as
`ToolCalled` and a failed `ToolReturned`, and ignored when it ends later.
Fields:

- `ModelInvoked.model_id`: the span's model (a response's `model`), else
  `"unknown"`. `prompt_sha256`: SHA-256 of the canonical JSON of the span's
  input messages (of the UTF-8 text when the input is a text).
  `response_sha256`: for a generation span, SHA-256 of the canonical JSON of
  its output messages; for a response span, of the UTF-8 `output_text`.
  Tokens from the usage's `input_tokens` and `output_tokens`, else 0. A model
  call that brought nothing back (no output and no usage, or no response: it
  failed or was cancelled) leaves no event.
- `ToolCalled.args_sha256`: SHA-256 of the UTF-8 argument text (the JSON the
  model wrote); `args_redacted` is the redactor's view of the parsed
  arguments (of the text if it is not JSON). `ToolReturned.result_sha256`:
  SHA-256 of the output's UTF-8 text (`str` of a non-text output);
  `latency_ms` from the span's start and end; `success` false when the span
  carries an error or never ended.
- `UtteranceCaptured`: `audio_sha256` over the audio bytes (the span input,
  base64-decoded), `transcript` the span output as `redact_text` gives it,
  `lang` the configured language or `""`, `duration_ms` of 16-bit mono PCM at
  24 kHz (the SDK's voice format), 0 for other formats.
- `UtteranceSpoken`: `text` the span input as `redact_text` gives it,
  `text_sha256` over its raw UTF-8 bytes, `audio_sha256` over the audio bytes
  (the span output, decoded).
- `SessionStarted`: `agent_id` the trace's workflow name, `model_id` the
  trace metadata's `model_id` or `"unknown"`, `session_id` the ledger
  session's. `SessionEnded`: `reason` `"completed"`; `"cancelled"` or
  `"error: <type>"` when an exception ended the trace; `"cancelled"` when a
  tool was still running; `"error: <message>"` when the run's agent span
  carries an error the processor could not see raised (a streamed run);
  `summary_sha256` over the canonical JSON of the trace's export (id, workflow
  name, group id, metadata).

The SDK hides span inputs and outputs unless sensitive data is traced
(`RunConfig(trace_include_sensitive_data=True)`, the default); hidden values
are digested as empty. The SDK logs and drops what a processor raises, so
`strict=True` only makes the failure show as the SDK's own error.
"""

from __future__ import annotations

import base64
import binascii
import concurrent.futures
import dataclasses
import json
import os
import sys
import threading
from collections.abc import Callable
from datetime import datetime, timezone
from typing import Any, Literal

from agents.tracing import Span, Trace, TracingProcessor
from agents.tracing.span_data import (AgentSpanData, FunctionSpanData, GenerationSpanData,
                                      ResponseSpanData, SpeechSpanData, TranscriptionSpanData)

from tallyvox import Session, SigningKeypair, events
from tallyvox.aio import AsyncSession
from tallyvox.events import AgentEvent
from tallyvox.integrations._common import (CANCELLED, Recorder, Redactor, Runs, TextRedactor,
                                           end_reason, jsonable, keep_text, logger, never_break,
                                           redact_values, sha256_hex, sha256_json, token_count,
                                           unfinished_call)
from tallyvox.integrations.routing import LedgerRouter, Router, SessionTarget, as_router

__all__ = ["LedgerTracingProcessor"]

_PCM_BYTES_PER_MS = 24_000 * 2 // 1000

RouteTarget = Router | Callable[[Trace], SessionTarget] | str | os.PathLike[str]


@dataclasses.dataclass
class _Trace:
    """A trace in flight: where its events go and what its end must close."""

    recorder: Recorder
    key: str | None = None  # the router's key, None without a router
    started: bool = False  # SessionStarted recorded
    # The exception already being handled when the trace started: seeing it
    # again at the end says nothing about the run.
    ambient: BaseException | None = None
    tools: dict[str, Span[Any]] = dataclasses.field(default_factory=dict)
    failure: str | None = None  # the error an agent span of the run carries


class LedgerTracingProcessor(TracingProcessor):
    """Records finished Agents SDK spans onto a ledger, or one ledger per
    conversation.

    - `LedgerTracingProcessor(session)`: every trace goes to `session`, a
      `Session` or an `AsyncSession`; with `own_session=True` each trace's
      start and end are recorded as `SessionStarted` and `SessionEnded`.
    - `LedgerTracingProcessor(router=...)`: each trace goes to the ledger the
      router gives for its key, the trace id (`by="trace"`) or its group id
      (`by="group"`; the trace id when it has none), from `SessionStarted` to
      `SessionEnded`. `router` is a `LedgerRouter`, a directory (with
      `keypair=`: a `LedgerRouter` the processor owns and closes at
      `shutdown()`), or a callable from the `Trace` to the `Session` or
      `AsyncSession` it goes to (the caller owns those).

    Events are queued on each ledger's writer thread, so the agent's event
    loop never waits on the disk; `force_flush()` and `shutdown()` wait until
    every event is written. `redact` makes `args_redacted` from a tool's
    arguments (default: names kept, values `"***"`); `redact_text` makes the
    recorded transcript and spoken text (default: kept whole). A failure to
    record is logged to `tallyvox.integrations`, and raised with
    `strict=True`.
    """

    def __init__(
        self,
        session: Session | AsyncSession | None = None,
        *,
        router: RouteTarget | None = None,
        keypair: SigningKeypair | None = None,
        by: Literal["trace", "group"] = "trace",
        redact: Redactor = redact_values,
        redact_text: TextRedactor = keep_text,
        strict: bool = False,
        own_session: bool = False,
    ) -> None:
        if (session is None) == (router is None):
            raise TypeError("give either a session or a router")
        if by not in ("trace", "group"):
            raise ValueError(f"by must be 'trace' or 'group', not {by!r}")
        self._strict = strict
        self._redact = redact
        self._redact_text = redact_text
        self._by = by
        self._lock = threading.Lock()
        self._traces: dict[str, _Trace] = {}
        self._ended: Runs[str, None] = Runs()
        self._spans: Runs[str, None] = Runs()
        self._recorder = Recorder(session, strict=strict) if session is not None else None
        self._router: Router | None = None
        self._owned_router: LedgerRouter | None = None
        self._routing: dict[str, Trace] = {}  # the trace a callable router is asked about
        self._keys: dict[str, int] = {}  # traces in flight per router key
        self._ending: list[concurrent.futures.Future[None]] = []  # ledgers being closed
        if router is not None:
            self._router = self._router_for(router, keypair)
        self._own_session = own_session or router is not None

    def _router_for(self, router: RouteTarget, keypair: SigningKeypair | None) -> Router:
        if isinstance(router, (str, os.PathLike)):
            if keypair is None:
                raise TypeError("a directory router needs keypair=")
            self._owned_router = LedgerRouter(router, keypair)
            return self._owned_router
        if hasattr(router, "session_for") and hasattr(router, "end"):
            return as_router(router)
        if callable(router):
            route = router
            return as_router(lambda key: route(self._routing[key]))
        raise TypeError(f"expected a router, a directory or a callable, got "
                        f"{type(router).__name__}")

    def on_trace_start(self, trace: Trace) -> None:
        with never_break(self._strict, "the trace start"):
            state = self._open(trace)
            if state is not None and self._own_session:
                state.started = True
                state.recorder.record(self._session_started(trace, state), "SessionStarted")

    def on_trace_end(self, trace: Trace) -> None:
        # Runner.run ends its trace while the exception that ends the run, if
        # any, is being handled.
        error = sys.exc_info()[1]
        with self._lock:
            state = self._traces.pop(trace.trace_id, None)
            self._ended.once(trace.trace_id)
        if state is None:
            return
        with never_break(self._strict, "the trace end"):
            self._close(trace, state, None if error is state.ambient else error)

    def on_span_start(self, span: Span[Any]) -> None:
        if isinstance(span.span_data, FunctionSpanData):
            state = self._state_of(span.trace_id)
            if state is not None:
                state.tools[span.span_id] = span

    def on_span_end(self, span: Span[Any]) -> None:
        state = self._state_of(span.trace_id)
        if state is None or not self._spans.once(span.span_id):
            return
        data = span.span_data
        state.tools.pop(span.span_id, None)
        if isinstance(data, AgentSpanData) and span.error is not None:
            state.failure = state.failure or str(span.error.get("message") or "")
        build = next((b for kind, b in _BUILDERS.items() if isinstance(data, kind)), None)
        if build is not None:
            what = f"the {data.type} span"
            built: list[AgentEvent] | None = None
            with never_break(self._strict, what):
                built = build(self, span)
            for event in built or ():
                state.recorder.record(event, what)

    def force_flush(self) -> None:
        with self._lock:
            pending = [s.recorder.flush() for s in self._traces.values()] + self._ending
        if self._recorder is not None:
            pending.append(self._recorder.flush())
        concurrent.futures.wait(pending)

    def shutdown(self) -> None:
        self.force_flush()
        if self._owned_router is not None:
            self._owned_router.close()

    def _open(self, trace: Trace) -> _Trace | None:
        """The state of a trace that starts, its ledger opened when routed."""
        state = _Trace(self._recorder) if self._recorder is not None else None
        if self._router is not None:
            group = getattr(trace, "group_id", None) if self._by == "group" else None
            key = group or trace.trace_id
            with self._lock:
                self._routing[key] = trace
                try:
                    ledger = self._router.session_for(key)
                finally:
                    del self._routing[key]
                self._keys[key] = self._keys.get(key, 0) + 1
            state = _Trace(Recorder(ledger, strict=self._strict), key)
        if state is not None:
            state.ambient = sys.exc_info()[1]
            with self._lock:
                self._traces[trace.trace_id] = state
        return state

    def _state_of(self, trace_id: str) -> _Trace | None:
        """The trace's state; spans of a trace begun before the processor
        was added go to its session, when it has one."""
        with self._lock:
            state = self._traces.get(trace_id)
            if state is None and self._recorder is not None and trace_id not in self._ended:
                state = self._traces[trace_id] = _Trace(self._recorder)
            return state

    def _close(self, trace: Trace, state: _Trace, error: BaseException | None) -> None:
        """Closes the tools still running, records the end, and lets the
        router close the ledger once no trace of its key is left."""
        open_tools = list(state.tools.values())
        for span in open_tools:
            for event in self._function(span, finished=False):
                state.recorder.record(event, "the unfinished function span")
        if state.started:
            if error is not None:
                reason = end_reason(error)
            elif open_tools:
                reason = CANCELLED
            elif state.failure is not None:
                reason = f"error: {state.failure}"
            else:
                reason = end_reason(None)
            state.recorder.record(events.session_ended(
                reason=reason, summary_sha256=sha256_json(trace.export() or {})), "SessionEnded")
        if state.key is not None and self._router is not None:
            with self._lock:  # a trace of the same key starting now waits
                self._keys[state.key] -= 1
                if not self._keys[state.key]:
                    del self._keys[state.key]
                    ending = self._router.end(state.key)
                    ending.add_done_callback(_log_failure)
                    self._ending = [f for f in self._ending if not f.done()] + [ending]

    def _session_started(self, trace: Trace, state: _Trace) -> AgentEvent:
        metadata = getattr(trace, "metadata", None) or {}
        return events.session_started(
            agent_id=trace.name,
            model_id=str(metadata.get("model_id") or "unknown"),
            session_id=state.recorder.session_id,
        )

    def _generation(self, span: Span[GenerationSpanData]) -> list[AgentEvent]:
        data = span.span_data
        if data.output is None and data.usage is None:
            return []  # failed or cancelled before anything came back
        return [_model_invoked(data.model, data.input, sha256_json(data.output or []), data.usage)]

    def _response(self, span: Span[ResponseSpanData]) -> list[AgentEvent]:
        data, response = span.span_data, span.span_data.response
        if response is None:
            return []  # failed or cancelled before anything came back
        text = response.output_text
        usage = data.usage
        if usage is None and response.usage is not None:
            usage = response.usage.model_dump()
        return [_model_invoked(response.model, data.input, sha256_hex(text), usage)]

    def _function(self, span: Span[FunctionSpanData], finished: bool = True) -> list[AgentEvent]:
        data = span.span_data
        text = data.input or ""
        output = data.output if isinstance(data.output, str) else _text(data.output)
        if not finished:
            return [self._called(data.name, text), unfinished_call(data.name, _elapsed_ms(span))]
        return [
            self._called(data.name, text),
            events.tool_returned(
                tool_name=data.name,
                result_sha256=sha256_hex(output),
                latency_ms=_elapsed_ms(span),
                success=span.error is None,
            ),
        ]

    def _called(self, name: str, text: str) -> AgentEvent:
        return events.tool_called(tool_name=name, args_sha256=sha256_hex(text),
                                  args_redacted=jsonable(self._redact(_parsed(text))))

    def _transcription(self, span: Span[TranscriptionSpanData]) -> list[AgentEvent]:
        data = span.span_data
        audio = _audio(data.input)
        return [
            events.utterance_captured(
                audio_sha256=sha256_hex(audio),
                transcript=self._redact_text(data.output or ""),
                lang=str((data.model_config or {}).get("language") or ""),
                duration_ms=len(audio) // _PCM_BYTES_PER_MS if data.input_format == "pcm" else 0,
            )
        ]

    def _speech(self, span: Span[SpeechSpanData]) -> list[AgentEvent]:
        data = span.span_data
        text = data.input or ""
        return [
            events.utterance_spoken(
                text_sha256=sha256_hex(text),
                text=self._redact_text(text),
                audio_sha256=sha256_hex(_audio(data.output)),
            )
        ]


_BUILDERS: dict[type, Any] = {
    GenerationSpanData: LedgerTracingProcessor._generation,
    ResponseSpanData: LedgerTracingProcessor._response,
    FunctionSpanData: LedgerTracingProcessor._function,
    TranscriptionSpanData: LedgerTracingProcessor._transcription,
    SpeechSpanData: LedgerTracingProcessor._speech,
}


def _model_invoked(model: Any, prompt: Any, response_digest: str, usage: Any) -> AgentEvent:
    usage = usage or {}
    return events.model_invoked(
        model_id=str(model or "unknown"),
        prompt_sha256=sha256_hex(prompt) if isinstance(prompt, str) else sha256_json(prompt or []),
        response_sha256=response_digest,
        prompt_tokens=token_count(usage.get("input_tokens")),
        response_tokens=token_count(usage.get("output_tokens")),
    )


def _text(value: Any) -> str:
    return "" if value is None else str(value)


def _parsed(text: str) -> Any:
    try:
        return json.loads(text)
    except ValueError:
        return text


def _audio(encoded: str | None) -> bytes:
    """The audio bytes of a base64 span field; the text's own bytes if it is
    not base64, nothing if absent."""
    if not encoded:
        return b""
    try:
        return base64.b64decode(encoded, validate=True)
    except (binascii.Error, ValueError):
        return encoded.encode("utf-8", "surrogatepass")


def _elapsed_ms(span: Span[Any]) -> int:
    """From the span's start to its end, or to now while it is still open."""
    try:
        start = datetime.fromisoformat(span.started_at or "")
        end = (datetime.fromisoformat(span.ended_at) if span.ended_at
               else datetime.now(start.tzinfo or timezone.utc))
    except ValueError:
        return 0
    return max(int((end - start).total_seconds() * 1000), 0)


def _log_failure(done: concurrent.futures.Future[None]) -> None:
    error = done.exception()
    if error is not None:
        logger.error("could not close a conversation's ledger", exc_info=error)
