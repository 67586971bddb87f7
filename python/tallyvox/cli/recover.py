"""`tallyvox recover`, and what `verify` says about a torn final line.

A process killed while appending can leave a last line without its LF that is
not a record. `verify` then still fails (exit 2), but says how big the torn
line is, whether the events before it verify, and that `recover` takes the
line aside; `recover` does that and leaves the complete lines as they were.
"""

from __future__ import annotations

import argparse
import json
import shlex
from typing import Any

import tallyvox
from tallyvox import _native
from tallyvox.cli.exit import EXIT_ERROR, EXIT_OK, PROG, complain, error_text


def torn_tail(path: str) -> dict[str, Any] | None:
    """The facts of a torn final line at `path`, or None when there is none
    (or when the ledger is damaged otherwise)."""
    try:
        report, torn_bytes = _native.verify_kept_lines(path)
    except (tallyvox.TallyvoxError, OSError, ValueError):
        return None
    if torn_bytes == 0:
        return None
    return {
        "bytes": torn_bytes,
        "events_before": report.event_count,
        "status_before": report.status,
        "broken_at": report.broken_at,
        "reason": report.reason,
        "root_hash": report.root_hash,
        "recover": f"{PROG} recover {shlex.quote(path)}",
    }


def torn_tail_text(torn: dict[str, Any]) -> str:
    """One line: the torn line, the events before it, the way back."""
    count = torn["events_before"]
    events = f"{count} event{'' if count == 1 else 's'}"
    if torn["status_before"] == "valid":
        before = f"the {events} before it verify"
    else:
        before = (f"the {events} before it break at seq {torn['broken_at']}: "
                  f"{torn['reason']}")
    return (f"the final line is torn ({torn['bytes']} bytes, no LF, not a record); "
            f"{before}; `{torn['recover']}` takes it aside")


def explain_torn_tail(summary: Any) -> None:
    """Turn the error of a `verify` summary into the torn-line explanation
    when that is the ledger's only damage."""
    torn = torn_tail(summary.path)
    if torn is not None:
        summary.error = torn_tail_text(torn)
        summary.torn_tail = torn


def recovery_lines(path: str, done: tallyvox.Recovery) -> list[str]:
    kept = f"  kept:      {done.kept_events} events ({done.kept_bytes} bytes)"
    if not done.recovered:
        return [f"{path}: intact, nothing changed", kept]
    return [f"{path}: recovered", kept,
            f"  removed:   a torn final line of {done.removed_bytes} bytes",
            f"  torn line: {done.torn_path}"]


def cmd_recover(args: argparse.Namespace) -> int:
    path: str = args.ledger
    try:
        done = tallyvox.recover_ledger(path)
    except (tallyvox.TallyvoxError, OSError, ValueError) as exc:
        complain(path, error_text(exc))
        return EXIT_ERROR
    if args.json:
        document = {"path": path, "status": "recovered" if done.recovered else "intact",
                    "kept_events": done.kept_events, "kept_bytes": done.kept_bytes,
                    "removed_lines": done.removed_lines, "removed_bytes": done.removed_bytes,
                    "torn_path": done.torn_path}
        print(json.dumps(document, indent=2, ensure_ascii=False))
    else:
        print("\n".join(recovery_lines(path, done)))
    return EXIT_OK
