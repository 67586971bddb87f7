"""Records a Pipecat pipeline's conversation: attach `LedgerObserver` to the
pipeline worker's observers.

The observer is told of each frame's first push only (a frame is pushed
again by every processor that passes it on) and drops the sibling of a
broadcast frame, turns the frames that matter into tallyvox events, and queues
those on an `AsyncSession`'s writer thread: the pipeline's event loop never
waits on the disk.
"""

from __future__ import annotations

import hashlib
from collections.abc import Callable
from typing import Any

from pipecat.frames.frames import (
    CancelFrame,
    EndFrame,
    FunctionCallCancelFrame,
    FunctionCallInProgressFrame,
    FunctionCallResultFrame,
    InputAudioRawFrame,
    InterruptionFrame,
    LLMContextFrame,
    LLMFullResponseEndFrame,
    LLMFullResponseStartFrame,
    LLMTextFrame,
    MetricsFrame,
    StartFrame,
    TranscriptionFrame,
    TTSAudioRawFrame,
    TTSTextFrame,
    UserStartedSpeakingFrame,
    UserStoppedSpeakingFrame,
)
from pipecat.metrics.metrics import LLMUsageMetricsData
from pipecat.observers.base_observer import BaseObserver, FramePushed

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
from tallyvox.integrations._voice import (
    SeenIds,
    SpokenTurn,
    off_loop_recorder,
    result_bytes,
)

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
    """One LLM response, from its start frame to its end frame."""

    def __init__(self, prompt: str) -> None:
        self.prompt = prompt
        self.text: list[str] = []
        self.calls: list[dict[str, Any]] = []
        self.model: str | None = None
        self.prompt_tokens = 0
        self.response_tokens = 0
        self.deferred: list[Any] = []


class LedgerObserver(BaseObserver):
    """A Pipecat observer that writes the conversation to a tallyvox ledger.

    `session` is an open `tallyvox.aio.AsyncSession` (a `Session` is given a
    writer thread of its own). `redact` maps a tool call's arguments to what
    the ledger keeps (by default every value becomes "***"). With
    `hash_audio=False` the utterances' digests are of their text only. A
    failure to record is logged to `tallyvox.integrations`; with `strict=True`
    each write is waited for and its failure raised into the pipeline."""

    def __init__(
        self,
        session: Session | AsyncSession,
        *,
        redact: Redactor = redact_values,
        hash_audio: bool = True,
        strict: bool = False,
        agent_id: str = "pipecat",
        model_id: str = "unknown",
    ) -> None:
        # Only a frame's first push is observed; broadcast siblings are
        # dropped by id.
        super().__init__(observe_every_push=False)
        self._recorder = off_loop_recorder(session, strict)
        self._redact = redact
        self._hash_audio = hash_audio
        self._strict = strict
        self._agent_id = agent_id
        self._model_id = model_id
        self._seen = SeenIds()
        self._started = False
        self._ended = False
        self._terminal: EndFrame | CancelFrame | None = None
        self._user = _UserTurn()
        self._spoken = SpokenTurn()
        self._prompt = sha256_hex("")
        self._response: _Response | None = None
        # Start time of each tool call by id, None once it returned.
        self._calls: dict[str, int | None] = {}
        self._transcript: list[str] = []
        # The handler of each frame class met so far, None for the ignored ones.
        self._dispatch: dict[type, Callable[[Any, FramePushed], None] | None] = {}

    async def on_push_frame(self, data: FramePushed) -> None:
        if self._ended:
            return
        frame = data.frame
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
            (FunctionCallInProgressFrame, self._on_call),
            (FunctionCallResultFrame, self._on_result),
            (FunctionCallCancelFrame, self._on_cancel),
            (TTSTextFrame, self._on_tts_text),
            (TTSAudioRawFrame, self._on_tts_audio),
            (InterruptionFrame, self._on_interruption),
        ]

    async def cleanup(self) -> None:
        """Records the end of the call. The session stays open: closing it
        (`await session.aclose()`) waits for what is still queued."""
        await super().cleanup()
        if not self._ended:
            with never_break(self._strict, "SessionEnded"):
                self._end(self._terminal)

    def _record(self, event: Any) -> None:
        self._recorder.record(event, repr(event))

    def _put(self, event: Any) -> None:
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
            session_id=self._recorder.session.session_id))

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
        if turn.audio_bytes:
            digest = turn.digest.hexdigest()
        else:
            digest = sha256_hex(frame.text)
        lang = str(frame.language or "")  # Language is a StrEnum of the codes
        self._transcript.append(f"user: {frame.text}")
        self._prompt = sha256_hex(frame.text)
        self._record(events.utterance_captured(
            audio_sha256=digest, transcript=frame.text, lang=lang,
            duration_ms=turn.duration_ms()))

    def _on_context(self, frame: LLMContextFrame, data: FramePushed) -> None:
        self._prompt = sha256_json(list(frame.context.get_messages()))

    def _on_response_start(self, frame: LLMFullResponseStartFrame, data: FramePushed) -> None:
        self._response = _Response(self._prompt)
        model = getattr(data.source, "model_name", None)
        self._response.model = str(model) if model else None

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

    def _on_response_end(self, frame: LLMFullResponseEndFrame, data: FramePushed) -> None:
        response, self._response = self._response, None
        if response is None:
            return
        text = "".join(response.text)
        answer = sha256_hex(text) if text or not response.calls else sha256_json(response.calls)
        self._record(events.model_invoked(
            model_id=response.model or self._model_id,
            prompt_sha256=response.prompt,
            response_sha256=answer,
            prompt_tokens=token_count(response.prompt_tokens),
            response_tokens=token_count(response.response_tokens)))
        for event in response.deferred:
            self._record(event)

    def _on_call(self, frame: FunctionCallInProgressFrame, data: FramePushed) -> None:
        if frame.tool_call_id in self._calls:
            return
        self._calls[frame.tool_call_id] = data.timestamp
        if self._response is not None:
            self._response.calls.append(
                {"name": frame.function_name, "arguments": frame.arguments})
        self._transcript.append(f"tool: {frame.function_name}")
        self._put(events.tool_called(
            tool_name=frame.function_name,
            args_sha256=sha256_json(frame.arguments),
            args_redacted=jsonable(self._redact(frame.arguments))))

    def _on_result(self, frame: FunctionCallResultFrame, data: FramePushed) -> None:
        if frame.properties is not None and not frame.properties.is_final:
            return
        self._returned(frame.function_name, frame.tool_call_id, result_bytes(frame.result),
                       frame.error is None, data.timestamp)

    def _on_cancel(self, frame: FunctionCallCancelFrame, data: FramePushed) -> None:
        self._returned(frame.function_name, frame.tool_call_id, b"", False, data.timestamp)

    def _returned(self, name: str, call_id: str, result: bytes, success: bool, now: int) -> None:
        started = self._calls.get(call_id)
        if started is None:
            return
        self._calls[call_id] = None
        self._put(events.tool_returned(
            tool_name=name, result_sha256=sha256_hex(result),
            latency_ms=max(0, now - started) // 1_000_000, success=success))

    def _on_tts_text(self, frame: TTSTextFrame, data: FramePushed) -> None:
        self._spoken.add_text(frame.text, frame.includes_inter_frame_spaces)

    def _on_tts_audio(self, frame: TTSAudioRawFrame, data: FramePushed) -> None:
        if self._hash_audio:
            self._spoken.add_audio(frame.audio)

    def _on_interruption(self, frame: InterruptionFrame, data: FramePushed) -> None:
        self._flush_spoken()

    def _flush_spoken(self) -> None:
        event = self._spoken.take()
        if event is not None:
            self._transcript.append(f"bot: {event[1]}")
            self._record(event[0])

    def _end(self, frame: EndFrame | CancelFrame | None) -> None:
        self._ended = True
        if self._response is not None:
            self._on_response_end(LLMFullResponseEndFrame(), None)  # type: ignore[arg-type]
        self._flush_spoken()
        if frame is None:
            reason = "finished"
        elif frame.reason:
            reason = str(frame.reason)
        else:
            reason = "ended" if isinstance(frame, EndFrame) else "cancelled"
        self._record(events.session_ended(
            reason=reason, summary_sha256=sha256_hex("\n".join(self._transcript))))
