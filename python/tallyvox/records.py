"""A ledger's records, read with the same reader that Session.open uses."""

from __future__ import annotations

import os

from tallyvox import _native
from tallyvox._tallyvox import SignedEvent


def read_ledger(path: str | os.PathLike[str], *,
                max_line_bytes: int | None = None) -> list[SignedEvent]:
    """Every record of the NDJSON ledger at `path`, in file order.

    A missing file reads as an empty list; a path that is not a regular file
    (a FIFO, a device, a directory) raises LedgerError, and so does a line
    longer than `max_line_bytes` (default: tallyvox.line_limit). Nothing is
    verified: walk the records with verify_chain.
    """
    return _native.read_ledger(path, max_line_bytes)
