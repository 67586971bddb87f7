"""How a command ends: exit codes, and the one-line complaint on stderr."""

from __future__ import annotations

import sys

PROG = "tallyvox"

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_ERROR = 2


class CliError(Exception):
    """An input that cannot be used; reported as one line with exit 2."""


def error_text(exc: BaseException) -> str:
    """The text of an exception on one line."""
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
    else:
        text = str(exc) or type(exc).__name__
    return " ".join(text.split("\n"))


def complain(where: str, message: str) -> None:
    print(f"{PROG}: {where}: {message}", file=sys.stderr)
