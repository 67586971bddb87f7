"""A ledger as the commands see it: its chain walk and its records, read once
by the native ledger reader."""

from __future__ import annotations

import datetime
import os
from dataclasses import dataclass

import tallyvox
from tallyvox import _native
from tallyvox.cli.exit import CliError


@dataclass
class Ledger:
    """A ledger file after the chain walk, with its records."""

    path: str
    report: tallyvox.ChainReport
    records: list[tallyvox.SignedEvent]


def _require_file(path: str) -> None:
    """Refuse paths the chain walk would silently treat as an empty ledger."""
    try:
        os.stat(path)
    except FileNotFoundError:
        raise CliError("no such file") from None
    except OSError as exc:
        raise CliError(exc.strerror or str(exc)) from None
    except ValueError as exc:  # an embedded NUL byte
        raise CliError(str(exc)) from None


def load_ledger(path: str, jobs: int = 1) -> Ledger:
    """Read the file at `path` once, walking its chain as it is read (the
    seals checked on `jobs` threads)."""
    _require_file(path)
    records, report = _native.read_verified(path, jobs)
    return Ledger(path, report, records)


def utc_text(nanos: int, digits: int = 9) -> str:
    """ISO 8601 UTC text of a nanosecond timestamp, with `digits` decimals."""
    seconds, rest = divmod(nanos, 1_000_000_000)
    moment = datetime.datetime.fromtimestamp(seconds, tz=datetime.timezone.utc)
    text = moment.strftime("%Y-%m-%dT%H:%M:%S")
    if digits:
        text += "." + f"{rest:09d}"[:digits]
    return text + "Z"
