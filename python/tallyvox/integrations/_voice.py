"""What the voice integrations share beyond `_common`: a recorder that never
writes on the event loop, frame de-duplication, the bot's spoken turn, and the
bytes a tool result's digest is over."""

from __future__ import annotations

import hashlib
from collections import OrderedDict
from typing import Any

from tallyvox import Session, canonical_json, events
from tallyvox.aio import AsyncSession
from tallyvox.integrations._common import Recorder, jsonable, sha256_hex


def off_loop_recorder(session: Session | AsyncSession, strict: bool) -> Recorder:
    """A `Recorder` whose `record` only queues: a plain `Session` is given a
    writer thread of its own, so a voice framework's callbacks, which run on its
    event loop, never wait on the disk (unless `strict`, where each write is
    waited for so that its failure reaches the framework)."""
    if isinstance(session, Session):
        session = AsyncSession(session)
    return Recorder(session, strict=strict)


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

    def take(self) -> tuple[Any, str] | None:
        """The UtteranceSpoken of the turn and its text, or None when the bot
        said nothing; starts the next turn."""
        text = self._text.strip()
        if not text and not self._audio_bytes:
            return None
        audio = self._audio.hexdigest() if self._audio_bytes else sha256_hex(text)
        self._reset()
        event = events.utterance_spoken(text_sha256=sha256_hex(text), text=text,
                                        audio_sha256=audio)
        return event, text
