"""Recording OpenAI Agents SDK runs: a tracing processor that turns finished
spans into ledger events.

    agents.add_trace_processor(LedgerTracingProcessor(session))

| Span | Event |
|---|---|
| generation or response span | `ModelInvoked` |
| function span | `ToolCalled`, then `ToolReturned` |
| transcription span | `UtteranceCaptured` |
| speech span | `UtteranceSpoken` |
| trace start / end, with `own_session=True` | `SessionStarted` / `SessionEnded` |

Every event is recorded when its span ends (a function span's arguments are
known only then); other spans are ignored. Fields:

- `ModelInvoked.model_id`: the span's model (a response's `model`), else
  `"unknown"`. `prompt_sha256`: SHA-256 of the canonical JSON of the span's
  input messages (of the UTF-8 text when the input is a text).
  `response_sha256`: for a generation span, SHA-256 of the canonical JSON of
  its output messages; for a response span, of the UTF-8 `output_text`.
  Tokens from the usage's `input_tokens` and `output_tokens`, else 0.
- `ToolCalled.args_sha256`: SHA-256 of the UTF-8 argument text (the JSON the
  model wrote); `args_redacted` is the redactor's view of the parsed
  arguments (of the text if it is not JSON). `ToolReturned.result_sha256`:
  SHA-256 of the output's UTF-8 text (`str` of a non-text output);
  `latency_ms` from the span's start and end; `success` false when the span
  carries an error.
- `UtteranceCaptured`: `audio_sha256` over the audio bytes (the span input,
  base64-decoded), `transcript` the span output, `lang` the configured
  language or `""`, `duration_ms` of 16-bit mono PCM at 24 kHz (the SDK's
  voice format), 0 for other formats.
- `UtteranceSpoken`: `text` the span input, `text_sha256` over its UTF-8
  bytes, `audio_sha256` over the audio bytes (the span output, decoded).
- `SessionStarted`: `agent_id` the trace's workflow name, `model_id` the
  trace metadata's `model_id` or `"unknown"`, `session_id` the session's.
  `SessionEnded`: `reason` `"completed"`, `summary_sha256` over the canonical
  JSON of the trace's export (id, workflow name, group id, metadata).

The SDK hides span inputs and outputs unless sensitive data is traced
(`RunConfig(trace_include_sensitive_data=True)`, the default); hidden values
are digested as empty. The SDK logs and drops what a processor raises, so
`strict=True` only makes the failure show as the SDK's own error.
"""

from __future__ import annotations

import base64
import binascii
import json
from datetime import datetime
from collections.abc import Callable
from typing import Any

from agents.tracing import Span, Trace, TracingProcessor
from agents.tracing.span_data import (
    FunctionSpanData,
    GenerationSpanData,
    ResponseSpanData,
    SpeechSpanData,
    TranscriptionSpanData,
)

from tallyvox import Session, events
from tallyvox.aio import AsyncSession
from tallyvox.events import AgentEvent
from tallyvox.integrations._common import (
    Recorder,
    Redactor,
    Runs,
    jsonable,
    never_break,
    redact_values,
    sha256_hex,
    sha256_json,
    token_count,
)

__all__ = ["LedgerTracingProcessor"]

_PCM_BYTES_PER_MS = 24_000 * 2 // 1000


class LedgerTracingProcessor(TracingProcessor):
    """Records finished Agents SDK spans onto a `Session` or an `AsyncSession`.

    A `Session` gets a writer thread of its own, so the agent's event loop never
    waits on the disk; `force_flush()` and `shutdown()` wait until every event
    is written. `redact` makes `args_redacted` from a tool's arguments (default:
    names kept, values `"***"`). With `own_session=True` each trace's start and
    end are recorded as `SessionStarted` and `SessionEnded`. A failure to
    record is logged to `tallyvox.integrations`, and raised with `strict=True`.
    """

    def __init__(
        self,
        session: Session | AsyncSession,
        *,
        redact: Redactor = redact_values,
        strict: bool = False,
        own_session: bool = False,
    ) -> None:
        self._writer = session if isinstance(session, AsyncSession) else AsyncSession(session)
        self._recorder = Recorder(self._writer, strict=strict)
        self._redact = redact
        self._own_session = own_session
        self._traces: Runs[str, None] = Runs()
        self._spans: Runs[str, None] = Runs()

    def on_trace_start(self, trace: Trace) -> None:
        if self._own_session and self._traces.begin(trace.trace_id, None):
            self._emit("SessionStarted", self._session_started, trace)

    def on_trace_end(self, trace: Trace) -> None:
        if self._own_session and self._traces.end(trace.trace_id) is not None:
            self._emit("SessionEnded", self._session_ended, trace)

    def on_span_start(self, span: Span[Any]) -> None:
        return None

    def on_span_end(self, span: Span[Any]) -> None:
        data = span.span_data
        build = next((b for kind, b in _BUILDERS.items() if isinstance(data, kind)), None)
        if build is not None and self._spans.once(span.span_id):
            what = f"the {data.type} span"
            built: list[AgentEvent] | None = None
            with never_break(self._recorder.strict, what):
                built = build(self, span)
            for event in built or ():
                self._recorder.record(event, what)

    def force_flush(self) -> None:
        self._writer.flush().result()

    def shutdown(self) -> None:
        self.force_flush()

    def _emit(self, what: str, build: Callable[[Trace], AgentEvent], trace: Trace) -> None:
        event: AgentEvent | None = None
        with never_break(self._recorder.strict, what):
            event = build(trace)
        if event is not None:
            self._recorder.record(event, what)

    def _session_started(self, trace: Trace) -> AgentEvent:
        metadata = getattr(trace, "metadata", None) or {}
        return events.session_started(
            agent_id=trace.name,
            model_id=str(metadata.get("model_id") or "unknown"),
            session_id=self._writer.session_id,
        )

    def _session_ended(self, trace: Trace) -> AgentEvent:
        return events.session_ended(
            reason="completed", summary_sha256=sha256_json(trace.export() or {})
        )

    def _generation(self, span: Span[GenerationSpanData]) -> list[AgentEvent]:
        data = span.span_data
        return [_model_invoked(data.model, data.input, sha256_json(data.output or []), data.usage)]

    def _response(self, span: Span[ResponseSpanData]) -> list[AgentEvent]:
        data, response = span.span_data, span.span_data.response
        text = response.output_text if response is not None else ""
        usage = data.usage
        if usage is None and response is not None and response.usage is not None:
            usage = response.usage.model_dump()
        model = response.model if response is not None else None
        return [_model_invoked(model, data.input, sha256_hex(text), usage)]

    def _function(self, span: Span[FunctionSpanData]) -> list[AgentEvent]:
        data = span.span_data
        text = data.input or ""
        output = data.output if isinstance(data.output, str) else _text(data.output)
        return [
            events.tool_called(
                tool_name=data.name,
                args_sha256=sha256_hex(text),
                args_redacted=jsonable(self._redact(_parsed(text))),
            ),
            events.tool_returned(
                tool_name=data.name,
                result_sha256=sha256_hex(output),
                latency_ms=_elapsed_ms(span),
                success=span.error is None,
            ),
        ]

    def _transcription(self, span: Span[TranscriptionSpanData]) -> list[AgentEvent]:
        data = span.span_data
        audio = _audio(data.input)
        return [
            events.utterance_captured(
                audio_sha256=sha256_hex(audio),
                transcript=data.output or "",
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
                text=text,
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
    try:
        start = datetime.fromisoformat(span.started_at or "")
        end = datetime.fromisoformat(span.ended_at or "")
    except ValueError:
        return 0
    return max(int((end - start).total_seconds() * 1000), 0)
