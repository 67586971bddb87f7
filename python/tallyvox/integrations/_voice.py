"""What the voice integrations share beyond `_common`: frame de-duplication,
the bot's spoken turn, the call's summary lines, and the bytes a tool result's
digest is over."""

from __future__ import annotations

import hashlib
from collections import OrderedDict
from typing import Any

from tallyvox import canonical_json, events
from tallyvox.events import AgentEvent
from tallyvox.integrations._common import TextRedactor, jsonable, sha256_hex


class Transcript:
    """The lines `user: …`, `tool: …`, `bot: …` of a call, raw, whose digest
    is the `summary_sha256` of its `SessionEnded`."""

    def __init__(self) -> None:
        self._lines: list[str] = []

    def add(self, who: str, text: str) -> None:
        self._lines.append(f"{who}: {text}")

    def ended(self, reason: str) -> AgentEvent:
        return events.session_ended(reason=reason,
                                    summary_sha256=sha256_hex("\n".join(self._lines)))


def captured(text: str, redact_text: TextRedactor, *, audio_sha256: str | None = None,
             lang: str = "", duration_ms: int = 0) -> AgentEvent:
    """The `UtteranceCaptured` of a user turn: the transcript as `redact_text`
    gives it, the audio digest over the raw text when there was no audio."""
    return events.utterance_captured(
        audio_sha256=audio_sha256 if audio_sha256 is not None else sha256_hex(text),
        transcript=redact_text(text), lang=lang, duration_ms=duration_ms)


def spoken(text: str, redact_text: TextRedactor, audio_sha256: str | None = None) -> AgentEvent:
    """The `UtteranceSpoken` of a bot turn: digests over the raw text (and the
    audio when there was some), the text as `redact_text` gives it."""
    digest = sha256_hex(text)
    return events.utterance_spoken(text_sha256=digest, text=redact_text(text),
                                   audio_sha256=audio_sha256 if audio_sha256 is not None
                                   else digest)


def result_bytes(value: Any) -> bytes:
    """A tool result as the bytes its digest is over: a text's UTF-8 bytes,
    bytes as they are, anything else as canonical JSON."""
    if isinstance(value, str):
        return value.encode("utf-8", "surrogatepass")
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    return canonical_json(jsonable(value))


class SeenIds:
    """The ids of the last `limit` frames seen, so that a frame broadcast with
    a sibling going the other way is taken once."""

    def __init__(self, limit: int = 4096) -> None:
        self._ids: OrderedDict[int, None] = OrderedDict()
        self._limit = limit

    def first(self, frame: Any) -> bool:
        ids = self._ids
        if frame.id in ids:
            return False
        sibling = getattr(frame, "broadcast_sibling_id", None)
        if sibling is not None and sibling in ids:
            return False
        ids[frame.id] = None
        if len(ids) > self._limit:
            ids.popitem(last=False)
        return True


class SpokenTurn:
    """The text and audio the bot spoke since the last turn boundary."""

    def __init__(self) -> None:
        self._reset()

    def _reset(self) -> None:
        self._text = ""
        self._audio = hashlib.sha256()
        self._audio_bytes = 0

    def add_text(self, text: str, has_spaces: bool) -> None:
        if has_spaces or not self._text:
            self._text += text if has_spaces else text.strip()
        elif text.strip():
            self._text += ("" if self._text.endswith(" ") else " ") + text.strip()

    def add_audio(self, audio: bytes) -> None:
        self._audio.update(audio)
        self._audio_bytes += len(audio)

    def take(self, redact_text: TextRedactor) -> tuple[AgentEvent, str] | None:
        """The UtteranceSpoken of the turn and its raw text, or None when the
        bot said nothing; starts the next turn."""
        text = self._text.strip()
        if not text and not self._audio_bytes:
            return None
        audio = self._audio.hexdigest() if self._audio_bytes else None
        self._reset()
        return spoken(text, redact_text, audio), text
