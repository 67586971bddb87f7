"""How a command ends: exit codes, and the one-line complaint on stderr."""

from __future__ import annotations

import re
import sys

from tallyvox._tallyvox import TallyvoxError

PROG = "tallyvox"

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_ERROR = 2


class CliError(Exception):
    """An input that cannot be used; reported as one line with exit 2."""


# What reading an input can raise, each reported as one line with exit 2.
INPUT_ERRORS = (CliError, TallyvoxError, OSError, UnicodeDecodeError, MemoryError)


# What a terminal would act on rather than show: C0 and C1 controls (CR
# returns to the start of the line, ESC starts a command that can erase
# it), DEL, line and paragraph separators, and the bidirectional controls
# that reorder what follows them.
_HIDDEN = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069]")
_SHORT = {"\n": "\\n", "\r": "\\r", "\t": "\\t", "\b": "\\b", "\f": "\\f"}


def _escape(match: re.Match[str]) -> str:
    char = match.group()
    return _SHORT.get(char) or f"\\u{ord(char):04x}"


def one_line(text: str) -> str:
    """`text` as it is, on one line: every character a terminal would act on
    written as its escape (\\r, \\u001b, \\u2028), as JSON writes it."""
    return _HIDDEN.sub(_escape, text)


def error_text(exc: BaseException) -> str:
    """The text of an exception on one line, safe to print."""
    if isinstance(exc, MemoryError):
        text = "out of memory"
    elif isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
    else:
        text = str(exc) or type(exc).__name__
    return one_line(text)


def complain(where: str, message: str) -> None:
    """One line on stderr naming what is at fault: a path, or a command."""
    print(f"{PROG}: {one_line(where)}: {one_line(message)}", file=sys.stderr)
