"""Records a LiveKit Agents conversation: `record_session(agent_session, ledger)`
subscribes to the session's events and returns a handle that detaches.

The session's callbacks run on its event loop; each one only builds the event
and queues it on the `AsyncSession`'s writer thread.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from typing import Any

from livekit.agents.metrics import LLMMetrics

from tallyvox import Session, events
from tallyvox.aio import AsyncSession
from tallyvox.integrations._common import (
    Redactor,
    jsonable,
    never_break,
    redact_values,
    sha256_hex,
    sha256_json,
    token_count,
)
from tallyvox.integrations._voice import off_loop_recorder

__all__ = ["LedgerRecording", "record_session"]


def _arguments(text: str) -> Any:
    """A tool call's arguments as the redactor sees them: the parsed JSON
    object, or the text itself when it is not JSON."""
    try:
        return json.loads(text)
    except ValueError:
        return text


class LedgerRecording:
    """The subscription `record_session` made; `detach()` ends it (the
    session's `close` event does too). The ledger stays open: closing it
    (`await ledger.aclose()`) waits for what is still queued."""

    def __init__(self, agent_session: Any, ledger: Session | AsyncSession, *,
                 redact: Redactor, strict: bool) -> None:
        self._agent_session = agent_session
        self._recorder = off_loop_recorder(ledger, strict)
        self._redact = redact
        self._strict = strict
        self._speaking: tuple[float | None, float | None] = (None, None)
        self._transcript: list[str] = []
        self._listeners = {
            "user_state_changed": self._on_user_state,
            "user_input_transcribed": self._on_transcribed,
            "conversation_item_added": self._on_item,
            "function_tools_executed": self._on_tools,
            "metrics_collected": self._on_metrics,
            "close": self._on_close,
        }
        self._bound: dict[str, Callable[[Any], None]] = {}

    @property
    def attached(self) -> bool:
        return bool(self._bound)

    def attach(self, agent_id: str, model_id: str) -> None:
        self._record(events.session_started(
            agent_id=agent_id, model_id=model_id,
            session_id=self._recorder.session.session_id))
        for name, handler in self._listeners.items():
            self._bound[name] = self._guard(name, handler)
            self._agent_session.on(name, self._bound[name])

    def detach(self) -> None:
        for name, callback in self._bound.items():
            self._agent_session.off(name, callback)
        self._bound.clear()

    def _record(self, event: Any) -> None:
        self._recorder.record(event, repr(event))

    def _guard(self, name: str, handler: Callable[[Any], None]) -> Callable[[Any], None]:
        def callback(event: Any) -> None:
            with never_break(self._strict, name):
                handler(event)
        return callback

    def _on_user_state(self, event: Any) -> None:
        started = self._speaking[0]
        if event.new_state == "speaking":
            self._speaking = (event.created_at, None)
        elif event.old_state == "speaking":
            self._speaking = (started, event.created_at)

    def _on_transcribed(self, event: Any) -> None:
        if not event.is_final:
            return
        started, stopped = self._speaking
        self._speaking = (None, None)
        duration = 0
        if started is not None and stopped is not None and stopped > started:
            duration = round((stopped - started) * 1000)
        self._transcript.append(f"user: {event.transcript}")
        self._record(events.utterance_captured(
            audio_sha256=sha256_hex(event.transcript), transcript=event.transcript,
            lang=str(event.language or ""), duration_ms=duration))

    def _on_item(self, event: Any) -> None:
        item = event.item
        if getattr(item, "type", None) != "message" or item.role != "assistant":
            return
        text = item.text_content or ""
        if not text:
            return
        self._transcript.append(f"bot: {text}")
        self._record(events.utterance_spoken(
            text_sha256=sha256_hex(text), text=text, audio_sha256=sha256_hex(text)))

    def _on_tools(self, event: Any) -> None:
        for call, output in event.zipped():
            self._transcript.append(f"tool: {call.name}")
            self._record(events.tool_called(
                tool_name=call.name, args_sha256=sha256_hex(call.arguments),
                args_redacted=jsonable(self._redact(_arguments(call.arguments)))))
            latency = max(0.0, output.created_at - call.created_at)
            self._record(events.tool_returned(
                tool_name=call.name, result_sha256=sha256_hex(output.output),
                latency_ms=round(latency * 1000), success=not output.is_error))

    def _on_metrics(self, event: Any) -> None:
        metrics = event.metrics
        if not isinstance(metrics, LLMMetrics):
            return
        model = (metrics.metadata.model_name if metrics.metadata else None) or metrics.label
        history = self._agent_session.history.to_dict(exclude_timestamp=True,
                                                      exclude_metrics=True)
        self._record(events.model_invoked(
            model_id=model, prompt_sha256=sha256_json(history),
            response_sha256=sha256_hex(metrics.request_id),
            prompt_tokens=token_count(metrics.prompt_tokens),
            response_tokens=token_count(metrics.completion_tokens)))

    def _on_close(self, event: Any) -> None:
        self.detach()
        reason = getattr(event.reason, "value", event.reason)
        if event.error is not None:
            reason = f"{reason}: {event.error}"
        self._record(events.session_ended(
            reason=str(reason), summary_sha256=sha256_hex("\n".join(self._transcript))))


def record_session(agent_session: Any, ledger: Session | AsyncSession, *,
                   redact: Redactor = redact_values, strict: bool = False,
                   agent_id: str = "livekit-agents",
                   model_id: str | None = None) -> LedgerRecording:
    """Records `agent_session`'s conversation into `ledger`, an open
    `tallyvox.aio.AsyncSession` (a `Session` is given a writer thread of its
    own), from the next event on: call it before `agent_session.start(...)`."""
    recording = LedgerRecording(agent_session, ledger, redact=redact, strict=strict)
    if model_id is None:
        model_id = str(getattr(agent_session.llm, "model", None) or "unknown")
    recording.attach(agent_id, model_id)
    return recording
