"""The way back after a crash: a torn final line taken aside.

A process killed while appending can leave the ledger ending in a torn line
(no LF, not a record); `Session.open` and `verify_file` then refuse the file.
`recover_ledger` copies that line to `<ledger>.torn-<UTC time>` and cuts the
ledger after its last LF, so that it opens and verifies again.
"""

from __future__ import annotations

import dataclasses
import os

from tallyvox import _tallyvox


@dataclasses.dataclass(frozen=True)
class Recovery:
    """What `recover_ledger` found and did."""

    kept_events: int
    kept_bytes: int
    removed_bytes: int
    torn_path: str | None  # None when the ledger was intact and nothing was written

    @property
    def recovered(self) -> bool:
        """True when a torn line was taken aside."""
        return self.torn_path is not None

    @property
    def removed_lines(self) -> int:
        return 1 if self.recovered else 0


def recover_ledger(path: str | os.PathLike[str]) -> Recovery:
    """Take a torn final line of the ledger at `path` aside.

    The torn bytes go to a new file beside the ledger (flushed, with its
    directory) before the ledger is cut after its last LF and flushed. An
    intact ledger is left alone. Any other damage (a line before the last that
    is not a record, a complete line that is not UTF-8) raises `LedgerError`
    with the line at fault, and nothing is changed. While a session holds the
    ledger (in this process or another on this host), a line may be only half
    written: recovery then raises `LedgerError` ("the ledger ... is open by
    another writer") and touches nothing, and no session opens the ledger
    while recovery runs.
    """
    kept_events, kept_bytes, removed_bytes, torn_path = _tallyvox._native.recover_ledger(path)
    return Recovery(kept_events, kept_bytes, removed_bytes, torn_path)
