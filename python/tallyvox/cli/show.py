"""The timeline of a ledger: one line per event, its key fields shortened."""

from __future__ import annotations

import argparse
import json
from typing import Any

import tallyvox
from tallyvox.cli.exit import EXIT_ERROR, EXIT_OK, INPUT_ERRORS, complain, error_text, one_line
from tallyvox.cli.ledger import Ledger, load_ledger, utc_text

_TEXT_LIMIT = 60


def _shorten(text: str, limit: int = _TEXT_LIMIT) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"


def _quote(text: str, limit: int = _TEXT_LIMIT) -> str:
    """Shorten `text` to `limit` characters and quote it on one line."""
    return one_line(json.dumps(_shorten(text, limit), ensure_ascii=False))


def event_fields(event_type: str, payload: dict[str, Any]) -> str:
    """The key fields of one event, shortened, as `name=value` text."""
    get = payload.get
    if event_type == "SessionStarted":
        parts = [f"agent={_quote(str(get('agent_id')))}",
                 f"model={_quote(str(get('model_id')))}",
                 f"session={_quote(str(get('session_id')))}"]
    elif event_type == "UtteranceCaptured":
        parts = [f"lang={get('lang')}", f"{get('duration_ms')}ms",
                 f"transcript={_quote(str(get('transcript')))}"]
    elif event_type == "ToolCalled":
        args = json.dumps(get("args_redacted"), ensure_ascii=False, separators=(",", ":"))
        parts = [f"tool={_quote(str(get('tool_name')))}", f"args={one_line(_shorten(args))}"]
    elif event_type == "ToolReturned":
        parts = [f"tool={_quote(str(get('tool_name')))}",
                 "ok" if get("success") else "FAILED", f"{get('latency_ms')}ms"]
    elif event_type == "ModelInvoked":
        parts = [f"model={_quote(str(get('model_id')))}",
                 f"tokens={get('prompt_tokens')}->{get('response_tokens')}"]
    elif event_type == "UtteranceSpoken":
        parts = [f"text={_quote(str(get('text')))}"]
    elif event_type == "SessionEnded":
        parts = [f"reason={_quote(str(get('reason')))}"]
    else:
        parts = [_quote(json.dumps(payload, ensure_ascii=False))]
    return " ".join(parts)


def timeline_lines(ledger: Ledger) -> list[str]:
    """One line per event; the event at which the chain breaks is marked."""
    width = max((len(str(r.seq)) for r in ledger.records), default=1)
    report = ledger.report
    broken = None if report.ok else break_index(ledger)
    lines = []
    for index, record in enumerate(ledger.records):
        event = record.event
        line = (f"{record.seq:>{width}}  {utc_text(record.timestamp_nanos, 3)}  "
                f"{event['type']:<17}  {event_fields(event['type'], event['payload'])}")
        if index == broken:
            line += f"  <-- chain breaks here: {one_line(report.reason or '')}"
        lines.append(line)
    return lines


def break_index(ledger: Ledger) -> int | None:
    """The position of the event at which the chain breaks, if any."""
    # The walk stops at the first event that fails; the root hash it reports
    # is the self hash of the event before it (genesis when none passed).
    if ledger.report.root_hash == tallyvox.GENESIS_PARENT_HASH:
        return 0 if ledger.records else None
    for index, record in enumerate(ledger.records):
        if record.self_hash == ledger.report.root_hash:
            return index + 1
    return None


def _event_json(record: tallyvox.SignedEvent) -> dict[str, Any]:
    event = record.event
    return {
        "seq": record.seq,
        "timestamp_nanos": record.timestamp_nanos,
        "time_utc": utc_text(record.timestamp_nanos),
        "type": event["type"],
        "payload": event["payload"],
        "self_hash": record.self_hash,
        "signer_pubkey": record.signer_pubkey,
    }


def cmd_show(args: argparse.Namespace) -> int:
    try:
        ledger = load_ledger(args.ledger)
    except INPUT_ERRORS as exc:
        complain(args.ledger, error_text(exc))
        return EXIT_ERROR
    if args.json:
        report = ledger.report
        document = {
            "path": ledger.path,
            "status": report.status,
            "broken_at": report.broken_at,
            "reason": report.reason,
            "events": [
                _event_json(r) for r in ledger.records
            ],
        }
        print(json.dumps(document, indent=2, ensure_ascii=False))
    else:
        for line in timeline_lines(ledger):
            print(line)
    return EXIT_OK
