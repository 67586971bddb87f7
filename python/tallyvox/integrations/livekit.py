"""Records a LiveKit Agents conversation: `record_session(agent_session, ledger)`
subscribes to the session's events and returns a handle that detaches.

The session's callbacks run on its event loop; each one only builds the event
and queues it on the ledger's writer thread.
"""

from __future__ import annotations

import concurrent.futures
import hashlib
import json
from collections.abc import Callable, Sequence
from typing import Any

from livekit.agents.llm import ChatContext
from livekit.agents.metrics import LLMMetrics

from tallyvox import Session, canonical_json, events
from tallyvox.aio import AsyncSession
from tallyvox.events import AgentEvent
from tallyvox.integrations._common import (Recorder, Redactor, Runs, TextRedactor, end_reason,
                                           jsonable, keep_text, never_break, redact_values,
                                           sha256_hex, token_count, unfinished_call)
from tallyvox.integrations._voice import Transcript, captured, spoken

__all__ = ["LedgerRecording", "record_session"]


def _arguments(text: str) -> Any:
    """A tool call's arguments as the redactor sees them: the parsed JSON
    object, or the text itself when it is not JSON."""
    try:
        return json.loads(text)
    except ValueError:
        return text


def item_json(item: Any) -> bytes:
    """A history item as canonical JSON, in the form
    `ChatContext.to_dict(exclude_timestamp=True, exclude_metrics=True)` gives
    each item."""
    form = ChatContext([item]).to_dict(exclude_timestamp=True, exclude_metrics=True)
    return canonical_json(form["items"][0] if form["items"] else {})


class HistoryDigest:
    """A running SHA-256 over a conversation's history: each item, the first
    time a call sees it, as its canonical JSON followed by a line feed. A call
    hashes only the items added since the one before, so its cost does not
    grow with the conversation."""

    def __init__(self) -> None:
        self._hash = hashlib.sha256()
        self._seen: set[str] = set()
        self._length = 0

    def update(self, items: Sequence[Any]) -> str:
        """Adds the items not seen before, in history order; the digest so far."""
        start = len(items)
        while start > 0 and items[start - 1].id not in self._seen:
            start -= 1
        new = list(items[start:])
        if len(items) != self._length + len(new):
            # Items were inserted before the end, or removed: look at them all.
            new = [item for item in items if item.id not in self._seen]
        for item in new:
            self._seen.add(item.id)
            self._hash.update(item_json(item) + b"\n")
        self._length = len(items)
        return self._hash.copy().hexdigest()


class LedgerRecording:
    """The subscription `record_session` made; `detach()` ends it (the
    session's `close` event does too). The ledger stays open: closing it
    (`await ledger.aclose()`) waits for what is still queued, and `flush()`
    gives a future that completes once what is recorded so far is written."""

    def __init__(self, agent_session: Any, ledger: Session | AsyncSession, *,
                 redact: Redactor, redact_text: TextRedactor, strict: bool) -> None:
        self._agent_session = agent_session
        self._recorder = Recorder(ledger, strict=strict)
        self._redact = redact
        self._redact_text = redact_text
        self._strict = strict
        self._speaking: tuple[float | None, float | None] = (None, None)
        self._heard = 0  # final transcripts since the last user message
        self._history = HistoryDigest()
        self._tools: Runs[str, Any] = Runs()
        self._tool_ends: dict[str, str] = {}  # the status each call ended with
        self._transcript = Transcript()
        self._listeners = {
            "user_state_changed": self._on_user_state,
            "user_input_transcribed": self._on_transcribed,
            "conversation_item_added": self._on_item,
            "tool_execution_updated": self._on_tool_update,
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
            agent_id=agent_id, model_id=model_id, session_id=self._recorder.session_id))
        for name, handler in self._listeners.items():
            self._bound[name] = self._guard(name, handler)
            self._agent_session.on(name, self._bound[name])

    def detach(self) -> None:
        for name, callback in self._bound.items():
            self._agent_session.off(name, callback)
        self._bound.clear()

    def flush(self) -> concurrent.futures.Future[None]:
        """A future that completes once every event recorded so far is written."""
        return self._recorder.flush()

    def _record(self, event: AgentEvent) -> None:
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
        self._heard += 1
        self._transcript.add("user", event.transcript)
        self._record(captured(event.transcript, self._redact_text,
                              lang=str(event.language or ""), duration_ms=duration))

    def _on_item(self, event: Any) -> None:
        item = event.item
        if getattr(item, "type", None) != "message":
            return
        text = item.text_content or ""
        if item.role == "user":
            # A user message that no final transcript announced was typed.
            heard, self._heard = self._heard, 0
            if not heard and text:
                self._transcript.add("user", text)
                self._record(captured(text, self._redact_text))
        elif item.role == "assistant" and text:
            self._transcript.add("bot", text)
            self._record(spoken(text, self._redact_text))

    def _on_tool_update(self, event: Any) -> None:
        update = event.update
        if update.type == "tool_call_started":
            self._tools.begin(update.function_call.call_id, update.function_call)
        elif update.type == "tool_call_ended":
            self._tool_ends[update.call_id] = update.status

    def _on_tools(self, event: Any) -> None:
        for call, output in event.zipped():
            if self._tools.end(call.call_id) is None and not self._tools.once(call.call_id):
                continue
            # A call cancelled by an interruption still reports an output.
            ended = self._tool_ends.pop(call.call_id, "done")
            latency = max(0.0, output.created_at - call.created_at)
            self._called(call)
            self._record(events.tool_returned(
                tool_name=call.name, result_sha256=sha256_hex(output.output),
                latency_ms=round(latency * 1000),
                success=not output.is_error and ended == "done"))

    def _called(self, call: Any) -> None:
        self._transcript.add("tool", call.name)
        self._record(events.tool_called(
            tool_name=call.name, args_sha256=sha256_hex(call.arguments),
            args_redacted=jsonable(self._redact(_arguments(call.arguments)))))

    def _on_metrics(self, event: Any) -> None:
        metrics = event.metrics
        if not isinstance(metrics, LLMMetrics):
            return
        model = (metrics.metadata.model_name if metrics.metadata else None) or metrics.label
        self._record(events.model_invoked(
            model_id=model, prompt_sha256=self._history.update(self._agent_session.history.items),
            response_sha256=sha256_hex(metrics.request_id),
            prompt_tokens=token_count(metrics.prompt_tokens),
            response_tokens=token_count(metrics.completion_tokens)))

    def _on_close(self, event: Any) -> None:
        self.detach()
        for _, call, latency_ms in self._tools.take_open():
            self._called(call)
            self._record(unfinished_call(call.name, latency_ms))
        reason = str(getattr(event.reason, "value", event.reason))
        if event.error is not None:
            reason = end_reason(getattr(event.error, "error", None) or event.error)
        self._record(self._transcript.ended(reason))


def record_session(agent_session: Any, ledger: Session | AsyncSession, *,
                   redact: Redactor = redact_values, redact_text: TextRedactor = keep_text,
                   strict: bool = False, agent_id: str = "livekit-agents",
                   model_id: str | None = None) -> LedgerRecording:
    """Records `agent_session`'s conversation into `ledger`, an open
    `tallyvox.aio.AsyncSession` or `Session` (whose writes then go through a
    writer thread of its own), from the next event on: call it before
    `agent_session.start(...)`."""
    recording = LedgerRecording(agent_session, ledger, redact=redact,
                                redact_text=redact_text, strict=strict)
    if model_id is None:
        model_id = str(getattr(agent_session.llm, "model", None) or "unknown")
    recording.attach(agent_id, model_id)
    return recording
