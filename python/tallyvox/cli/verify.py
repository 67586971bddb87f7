"""What `verify` says about a ledger: the summary, as text and as JSON."""

from __future__ import annotations

import argparse
import json
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Sequence

import tallyvox
from tallyvox.cli.exit import (EXIT_ERROR, EXIT_FAILED, EXIT_OK, INPUT_ERRORS, complain, error_text,
                               one_line)
from tallyvox.cli.fleet import judge_all, totals_line
from tallyvox.cli.ledger import Ledger, load_ledger, utc_text
from tallyvox.cli.recover import explain_torn_tail
from tallyvox.fleet import ledger_paths

if TYPE_CHECKING:
    from tallyvox.cli.checkpoint import Check


@dataclass
class Summary:
    """What `verify` says about one ledger."""

    path: str
    status: str  # "valid", "broken" or "error"
    event_count: int = 0
    broken_at: int | None = None
    reason: str | None = None
    root_hash: str | None = None
    signers: list[str] = field(default_factory=list)
    unexpected_signers: list[str] = field(default_factory=list)
    earliest_nanos: int | None = None
    latest_nanos: int | None = None
    timestamps_in_order: bool = True
    error: str | None = None
    torn_tail: dict[str, Any] | None = None  # a torn final line, when that is the damage
    checks: list[Check] = field(default_factory=list)

    @property
    def exit_code(self) -> int:
        if self.status == "error":
            return EXIT_ERROR
        if self.checks and max(check.code for check in self.checks) != EXIT_OK:
            return max(EXIT_FAILED, *(check.code for check in self.checks))
        if self.status == "broken" or self.unexpected_signers:
            return EXIT_FAILED
        return EXIT_OK

    def to_json(self) -> dict[str, Any]:
        def time_or_none(nanos: int | None) -> str | None:
            return None if nanos is None else utc_text(nanos)

        return {
            "path": self.path,
            "ok": self.exit_code == EXIT_OK,
            "status": self.status,
            "event_count": self.event_count,
            "broken_at": self.broken_at,
            "reason": self.reason,
            "root_hash": self.root_hash,
            "signers": self.signers,
            "unexpected_signers": self.unexpected_signers,
            "earliest_timestamp_nanos": self.earliest_nanos,
            "latest_timestamp_nanos": self.latest_nanos,
            "earliest_utc": time_or_none(self.earliest_nanos),
            "latest_utc": time_or_none(self.latest_nanos),
            "timestamps_in_order": self.timestamps_in_order,
            "error": self.error,
            "torn_tail": self.torn_tail,
            **{check.name: check.to_json() for check in self.checks},
        }

    @property
    def verdict(self) -> str:
        """The verdict on the ledger, as the first line of the summary says it."""
        if self.status == "error":
            return f"ERROR: {self.error}"
        if self.status == "broken":
            return f"BROKEN at seq {self.broken_at}: {self.reason}"
        if self.unexpected_signers:
            return "chain intact, but signed by a key that was not expected"
        return "valid"

    def text_lines(self) -> list[str]:
        if self.status == "error":
            return [f"{self.path}: {self.verdict}"]
        lines = [
            one_line(f"{self.path}: {self.verdict}"),
            f"  events:    {self.event_count}",
            f"  root hash: {self.root_hash}"
            + ("  (last event before the break)" if self.status == "broken" else ""),
        ]
        if self.signers:
            lines.append("  signers:   " + ("\n" + " " * 13).join(
                key + ("  (not expected)" if key in self.unexpected_signers else "")
                for key in self.signers))
        else:
            lines.append("  signers:   none")
        if self.earliest_nanos is not None and self.latest_nanos is not None:
            span = f"{utc_text(self.earliest_nanos)} .. {utc_text(self.latest_nanos)}"
            if not self.timestamps_in_order:
                span += "  (timestamps not in order)"
            lines.append(f"  time span: {span}")
        lines.extend(f"  {check.name + ':':<10} {one_line(check.text)}" for check in self.checks)
        return lines


def summarise(ledger: Ledger, expected: Sequence[str] | None) -> Summary:
    """Build the summary of a walked ledger, judging signers if `expected`."""
    report = ledger.report
    signers: list[str] = []
    for record in ledger.records:
        key = record.signer_pubkey.lower()  # the walk accepts either case
        if key not in signers:
            signers.append(key)
    stamps = [record.timestamp_nanos for record in ledger.records]
    unexpected = [] if expected is None else [k for k in signers if k not in expected]
    return Summary(
        path=ledger.path,
        status=report.status,
        event_count=report.event_count,
        broken_at=report.broken_at,
        reason=report.reason,
        root_hash=report.root_hash,
        signers=signers,
        unexpected_signers=unexpected,
        earliest_nanos=min(stamps) if stamps else None,
        latest_nanos=max(stamps) if stamps else None,
        timestamps_in_order=all(a <= b for a, b in zip(stamps, stamps[1:])),
    )


def judge(path: str, jobs: int, args: argparse.Namespace) -> tuple[Summary, Ledger | None]:
    """The summary of the ledger at `path`, with the checks verify's options in
    `args` ask for, and the walked ledger unless it could not be read."""
    try:
        ledger = load_ledger(path, jobs)
        summary = summarise(ledger, args.expect_signer)
        summary.checks = _checks(args, path, ledger)
    except INPUT_ERRORS as exc:
        summary = Summary(path=path, status="error", error=error_text(exc))
        if isinstance(exc, tallyvox.ChainError):  # a line that is not a record: torn?
            explain_torn_tail(summary)
        return summary, None
    return summary, ledger


def _checks(args: argparse.Namespace, path: str, ledger: Ledger) -> list[Check]:
    """The checks verify's options ask for; the checkpoint and witness code
    is imported only for them."""
    if args.checkpoint is None and not args.witness_key and not args.require_end:
        return []
    from tallyvox.cli.checkpoint import verify_checks

    return verify_checks(args, path, ledger.records)


def _judge(path: str, jobs: int, args: argparse.Namespace) -> Summary:
    return judge(path, jobs, args)[0]


def cmd_verify(args: argparse.Namespace) -> int:
    start = time.perf_counter()
    paths = ledger_paths(args.ledgers)
    summaries = judge_all(paths, lambda path, jobs: _judge(path, jobs, args), args.jobs,
                          progress=not args.json)
    for summary in summaries:
        if summary.status == "error":
            complain(summary.path, summary.error or "")
        for check in summary.checks:
            if check.fault is not None:
                complain(*check.fault)
    code = max(summary.exit_code for summary in summaries)
    if args.json:
        document = {"ok": code == EXIT_OK, "ledgers": [s.to_json() for s in summaries]}
        print(json.dumps(document, indent=2, ensure_ascii=False))
    else:
        for index, summary in enumerate(summaries):
            if summary.status == "error":
                continue  # already said on stderr
            if index:
                print()
            print("\n".join(summary.text_lines()))
        if len(paths) > 1 or paths != args.ledgers:  # several ledgers, or a directory
            if any(summary.status != "error" for summary in summaries):
                print()
            print(totals_line((s.exit_code for s in summaries),
                              sum(s.event_count for s in summaries), time.perf_counter() - start))
    return code
