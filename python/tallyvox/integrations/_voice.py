"""What the voice integrations share: frame de-duplication, the bot's spoken
turn, and the text a digest is taken over."""

from __future__ import annotations

import hashlib
from collections import OrderedDict
from collections.abc import Mapping
from typing import Any

from tallyvox import events
from tallyvox.integrations._pump import json_bytes, sha256_hex


def default_redact(args: Any) -> Any:
    """Keeps the argument names and replaces every value by "***"."""
    if isinstance(args, Mapping):
        return {str(name): "***" for name in args}
    return "***"


def text_bytes(value: Any) -> bytes:
    """A tool result as the bytes its digest is over: a string's UTF-8 text,
    bytes as they are, anything else as JSON."""
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    return json_bytes(value)


class SeenIds:
    """The ids of the last `limit` frames seen, so that a frame pushed on by
    several processors, or broadcast with a sibling going the other way, is
    taken once."""

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
