"""Records a Pipecat pipeline's conversation: attach `LedgerObserver` to the
pipeline worker's observers.

The observer is told of each frame's first push only (a frame is pushed
again by every processor that passes it on) and drops the sibling of a
broadcast frame, turns the frames that matter into tallyvox events, and queues
those on an `AsyncSession`'s writer thread: the pipeline's event loop never
waits on the disk.
"""

from __future__ import annotations

import concurrent.futures
import hashlib
from collections.abc import Callable
from typing import Any

from pipecat.frames.frames import (CancelFrame, EndFrame, ErrorFrame, FunctionCallCancelFrame,
                                   FunctionCallInProgressFrame, FunctionCallResultFrame,
                                   FunctionCallsStartedFrame, InputAudioRawFrame, InterruptionFrame,
                                   LLMContextFrame, LLMFullResponseEndFrame,
                                   LLMFullResponseStartFrame, LLMTextFrame, MetricsFrame,
                                   StartFrame, TranscriptionFrame, TTSAudioRawFrame, TTSTextFrame,
                                   UserStartedSpeakingFrame, UserStoppedSpeakingFrame)
from pipecat.metrics.metrics import LLMUsageMetricsData
from pipecat.observers.base_observer import BaseObserver, FramePushed

from tallyvox import Session, events
from tallyvox.aio import AsyncSession
from tallyvox.events import AgentEvent
from tallyvox.integrations._common import (CANCELLED, COMPLETED, Recorder, Redactor, TextRedactor,
                                           end_reason, jsonable, keep_text, never_break,
                                           redact_values, sha256_hex, sha256_json, token_count,
                                           unfinished_call)
from tallyvox.integrations._voice import (SeenIds, SpokenTurn, Transcript, captured, result_bytes)

__all__ = ["LedgerObserver"]


class _UserTurn:
    """The user audio of one turn: its digest and length, from the first
    audio frame after the user started speaking to the final transcription."""

    def __init__(self) -> None:
        self.digest = hashlib.sha256()
        self.audio_bytes = 0
        self.audio_ms = 0.0
        self.started_ns: int | None = None
        self.stopped_ns: int | None = None

    def add_audio(self, frame: InputAudioRawFrame) -> None:
        self.digest.update(frame.audio)
        self.audio_bytes += len(frame.audio)
        per_second = 2 * frame.num_channels * frame.sample_rate
        if per_second > 0:
            self.audio_ms += 1000.0 * len(frame.audio) / per_second

    def duration_ms(self) -> int:
        if self.audio_bytes:
            return round(self.audio_ms)
        if self.started_ns is not None and self.stopped_ns is not None:
            return max(0, (self.stopped_ns - self.started_ns) // 1_000_000)
        return 0


class _Response:
    """One LLM response, from its start frame to its end frame (or to the
    interruption or the end of the call that cut it short)."""

    def __init__(self, prompt: str, model: str | None) -> None:
        self.prompt = prompt
        self.model = model
        self.text: list[str] = []
        self.calls: list[dict[str, Any]] = []
        self.prompt_tokens = 0
        self.response_tokens = 0
        self.deferred: list[AgentEvent] = []

    def produced(self) -> bool:
        return bool(self.text or self.calls or self.prompt_tokens or self.response_tokens)

    def invoked(self, fallback_model: str) -> AgentEvent:
        text = "".join(self.text)
        answer = sha256_hex(text) if text or not self.calls else sha256_json(self.calls)
        return events.model_invoked(
            model_id=self.model or fallback_model, prompt_sha256=self.prompt,
            response_sha256=answer, prompt_tokens=token_count(self.prompt_tokens),
            response_tokens=token_count(self.response_tokens))


def _service_model(source: Any) -> str | None:
    """The model a Pipecat service is set to (`settings.model` since 1.x)."""
    model = getattr(getattr(source, "settings", None), "model", None)
    return model if isinstance(model, str) and model else None


class LedgerObserver(BaseObserver):
    """A Pipecat observer that writes the conversation to a tallyvox ledger.

    `session` is an open `tallyvox.aio.AsyncSession` or a `Session`; events are
    queued on its writer thread and `flush()` gives a future that completes
    once they are written. `redact` maps a tool call's arguments to what the
    ledger keeps (by default every value becomes "***"); `redact_text` maps a
    transcript or a spoken text to what the ledger keeps (by default all of
    it). With `hash_audio=False` the utterances' digests are of their text
    only. A failure to record is logged to `tallyvox.integrations`; with
    `strict=True` each write is waited for and its failure raised into the
    pipeline."""

    def __init__(self, session: Session | AsyncSession, *, redact: Redactor = redact_values,
                 redact_text: TextRedactor = keep_text, hash_audio: bool = True,
                 strict: bool = False, agent_id: str = "pipecat", model_id: str = "unknown") -> None:
        # Only a frame's first push is observed; broadcast siblings are
        # dropped by id.
        super().__init__(observe_every_push=False)
        self._recorder = Recorder(session, strict=strict)
        self._redact = redact
        self._redact_text = redact_text
        self._hash_audio = hash_audio
        self._strict = strict
        self._agent_id = agent_id
        self._model_id = model_id
        self._seen = SeenIds()
        self._started = False
        self._ended = False
        self._terminal: EndFrame | CancelFrame | None = None
        self._failure: BaseException | None = None
        self._user = _UserTurn()
        self._spoken = SpokenTurn()
        self._prompt = sha256_hex("")
        self._response: _Response | None = None
        # Name and start time of each tool call by id, None once it returned.
        self._calls: dict[str, tuple[str, int] | None] = {}
        self._now = 0
        self._transcript = Transcript()
        # The handler of each frame class met so far, None for the ignored ones.
        self._dispatch: dict[type, Callable[[Any, FramePushed], None] | None] = {}

    def flush(self) -> concurrent.futures.Future[None]:
        """A future that completes once every event recorded so far is written."""
        return self._recorder.flush()

    async def on_push_frame(self, data: FramePushed) -> None:
        if self._ended:
            return
        frame = data.frame
        self._now = max(self._now, data.timestamp)
        if isinstance(frame, (EndFrame, CancelFrame)):
            # What the processors still push on their way to the end belongs
            # to the call: the end is recorded once the worker cleans up.
            self._terminal = self._terminal or frame
            return
        handler = self._handler(type(frame))
        if handler is not None and self._seen.first(frame):
            with never_break(self._strict, type(frame).__name__):
                handler(frame, data)

    def _handler(self, cls: type) -> Callable[[Any, FramePushed], None] | None:
        if cls not in self._dispatch:
            found = (handler for kind, handler in self._handlers() if issubclass(cls, kind))
            self._dispatch[cls] = next(found, None)
        return self._dispatch[cls]

    def _handlers(self) -> list[tuple[type, Callable[[Any, FramePushed], None]]]:
        return [
            (StartFrame, self._on_start),
            (InputAudioRawFrame, self._on_user_audio),
            (UserStartedSpeakingFrame, self._on_user_started),
            (UserStoppedSpeakingFrame, self._on_user_stopped),
            (TranscriptionFrame, self._on_transcription),
            (LLMContextFrame, self._on_context),
            (LLMFullResponseStartFrame, self._on_response_start),
            (LLMFullResponseEndFrame, self._on_response_end),
            (LLMTextFrame, self._on_llm_text),
            (MetricsFrame, self._on_metrics),
            (FunctionCallsStartedFrame, self._on_calls_started),
            (FunctionCallInProgressFrame, self._on_call),
            (FunctionCallResultFrame, self._on_result),
            (FunctionCallCancelFrame, self._on_cancel),
            (TTSTextFrame, self._on_tts_text),
            (TTSAudioRawFrame, self._on_tts_audio),
            (InterruptionFrame, self._on_interruption),
            (ErrorFrame, self._on_error),
        ]

    async def cleanup(self) -> None:
        """Records the end of the call. The session stays open: closing it
        (`await session.aclose()`) waits for what is still queued."""
        await super().cleanup()  # type: ignore[no-untyped-call]
        if not self._ended:
            with never_break(self._strict, "SessionEnded"):
                self._end(self._terminal)

    def _record(self, event: AgentEvent) -> None:
        self._recorder.record(event, repr(event))

    def _put(self, event: AgentEvent) -> None:
        """Records a tool event, after the model call it came from when that
        is still open."""
        if self._response is not None:
            self._response.deferred.append(event)
        else:
            self._record(event)

    def _on_start(self, frame: StartFrame, data: FramePushed) -> None:
        if self._started:
            return
        self._started = True
        self._record(events.session_started(
            agent_id=self._agent_id, model_id=self._model_id,
            session_id=self._recorder.session_id))

    def _on_user_audio(self, frame: InputAudioRawFrame, data: FramePushed) -> None:
        if self._hash_audio:
            self._user.add_audio(frame)

    def _on_user_started(self, frame: UserStartedSpeakingFrame, data: FramePushed) -> None:
        self._flush_spoken()
        self._user = _UserTurn()
        self._user.started_ns = data.timestamp

    def _on_user_stopped(self, frame: UserStoppedSpeakingFrame, data: FramePushed) -> None:
        self._user.stopped_ns = data.timestamp

    def _on_transcription(self, frame: TranscriptionFrame, data: FramePushed) -> None:
        self._flush_spoken()
        turn, self._user = self._user, _UserTurn()
        digest = turn.digest.hexdigest() if turn.audio_bytes else None
        self._transcript.add("user", frame.text)
        self._prompt = sha256_hex(frame.text)
        # Language is a StrEnum of the codes.
        self._record(captured(frame.text, self._redact_text, audio_sha256=digest,
                              lang=str(frame.language or ""), duration_ms=turn.duration_ms()))

    def _on_context(self, frame: LLMContextFrame, data: FramePushed) -> None:
        self._prompt = sha256_json(list(frame.context.get_messages()))

    def _on_response_start(self, frame: LLMFullResponseStartFrame, data: FramePushed) -> None:
        self._close_response(cut_short=True)
        self._response = _Response(self._prompt, _service_model(data.source))

    def _on_llm_text(self, frame: LLMTextFrame, data: FramePushed) -> None:
        if self._response is not None:
            self._response.text.append(frame.text)

    def _on_metrics(self, frame: MetricsFrame, data: FramePushed) -> None:
        if self._response is None:
            return
        for item in frame.data:
            if isinstance(item, LLMUsageMetricsData):
                self._response.prompt_tokens += item.value.prompt_tokens
                self._response.response_tokens += item.value.completion_tokens
                self._response.model = item.model or self._response.model

    def _on_calls_started(self, frame: FunctionCallsStartedFrame, data: FramePushed) -> None:
        # The calls are announced before the response ends; they are what a
        # response without text answered.
        if self._response is not None:
            self._response.calls.extend(
                {"name": call.function_name, "arguments": call.arguments}
                for call in frame.function_calls)

    def _on_response_end(self, frame: LLMFullResponseEndFrame, data: FramePushed) -> None:
        self._close_response(cut_short=False)

    def _close_response(self, *, cut_short: bool) -> None:
        """Records the open response's `ModelInvoked`, then the tool events
        held for it. A response cut short is recorded only if something came
        back (text, calls or token counts)."""
        response, self._response = self._response, None
        if response is None:
            return
        if not cut_short or response.produced():
            self._record(response.invoked(self._model_id))
        for event in response.deferred:
            self._record(event)

    def _on_call(self, frame: FunctionCallInProgressFrame, data: FramePushed) -> None:
        if frame.tool_call_id in self._calls:
            return
        self._calls[frame.tool_call_id] = (frame.function_name, data.timestamp)
        self._transcript.add("tool", frame.function_name)
        self._put(events.tool_called(
            tool_name=frame.function_name,
            args_sha256=sha256_json(frame.arguments),
            args_redacted=jsonable(self._redact(frame.arguments))))

    def _on_result(self, frame: FunctionCallResultFrame, data: FramePushed) -> None:
        if frame.properties is not None and not frame.properties.is_final:
            return
        self._returned(frame.tool_call_id, result_bytes(frame.result), frame.error is None,
                       data.timestamp)

    def _on_cancel(self, frame: FunctionCallCancelFrame, data: FramePushed) -> None:
        self._returned(frame.tool_call_id, b"", False, data.timestamp)

    def _returned(self, call_id: str, result: bytes, success: bool, now: int) -> None:
        started = self._calls.get(call_id)
        if started is None:
            return
        self._calls[call_id] = None
        name, at = started
        self._put(events.tool_returned(
            tool_name=name, result_sha256=sha256_hex(result),
            latency_ms=max(0, now - at) // 1_000_000, success=success))

    def _on_tts_text(self, frame: TTSTextFrame, data: FramePushed) -> None:
        self._spoken.add_text(frame.text, frame.includes_inter_frame_spaces)

    def _on_tts_audio(self, frame: TTSAudioRawFrame, data: FramePushed) -> None:
        if self._hash_audio:
            self._spoken.add_audio(frame.audio)

    def _on_interruption(self, frame: InterruptionFrame, data: FramePushed) -> None:
        # The answer being generated stops here: its model call is recorded
        # with what it produced, before the words that were spoken of it.
        self._close_response(cut_short=True)
        self._flush_spoken()

    def _on_error(self, frame: ErrorFrame, data: FramePushed) -> None:
        # A fatal error, or one that left its processor unusable, is what the
        # worker cancels the call for.
        unusable = frame.processor is not None and not frame.processor.is_usable
        if (frame.fatal or unusable) and frame.exception is not None:
            self._failure = self._failure or frame.exception

    def _flush_spoken(self) -> None:
        taken = self._spoken.take(self._redact_text)
        if taken is not None:
            self._transcript.add("bot", taken[1])
            self._record(taken[0])

    def _end(self, frame: EndFrame | CancelFrame | None) -> None:
        self._ended = True
        self._close_response(cut_short=True)
        self._flush_spoken()
        for call_id, started in self._calls.items():
            if started is not None:
                self._calls[call_id] = None
                self._record(unfinished_call(started[0], (self._now - started[1]) // 1_000_000))
        self._record(self._transcript.ended(self._end_reason(frame)))

    def _end_reason(self, frame: EndFrame | CancelFrame | None) -> str:
        if isinstance(frame, CancelFrame) and self._failure is not None:
            return end_reason(self._failure)
        if frame is not None and frame.reason:
            return str(frame.reason)
        return CANCELLED if isinstance(frame, CancelFrame) else COMPLETED
