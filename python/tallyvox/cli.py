"""Command line for tallyvox: verify and show ledgers, make keys, run a demo.

Exit codes: 0 when everything checked holds, 1 when a chain is broken or a
ledger carries a signer that was not expected, 2 when an input cannot be read
or is malformed (or the command line is wrong). Errors are one line on stderr.
"""

from __future__ import annotations

import argparse
import datetime
import hashlib
import json
import os
import string
import sys
import tempfile
from dataclasses import dataclass, field
from typing import Any, Sequence

import tallyvox
from tallyvox import events

PROG = "tallyvox"

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_ERROR = 2

# Characters the ledger reader treats as blank around a line (Unicode
# White_Space). A line made only of these is skipped and is not an event.
_WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    "\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
    "\u2028\u2029\u202f\u205f\u3000"
)

# Characters that some tools treat as line breaks although JSON leaves them
# unescaped; escaped in displayed text so that one event stays one line.
_LINE_BREAKS = {"\x85": "\\u0085", "\u2028": "\\u2028", "\u2029": "\\u2029"}

_TEXT_LIMIT = 60


class CliError(Exception):
    """An input that cannot be used; reported as one line with exit 2."""


# ---------------------------------------------------------------------------
# Reading ledgers


@dataclass
class Record:
    """The facts of one ledger line that the summary and timeline need."""

    seq: int
    timestamp_nanos: int
    event_type: str
    payload: dict[str, Any]
    self_hash: str
    signer_pubkey: str


@dataclass
class Ledger:
    """A ledger file after the chain walk, with its records."""

    path: str
    report: tallyvox.ChainReport
    records: list[Record]


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


def _record_from_json(value: Any) -> Record:
    # A line is an object, or the seven fields as an array in record order.
    if isinstance(value, list):
        keys = ("seq", "timestamp_nanos", "event", "parent_hash", "self_hash",
                "signature", "signer_pubkey")
        value = dict(zip(keys, value))
    event = value["event"]
    if isinstance(event, list):  # the event's array form: [type, payload]
        event_type, payload = event[0], event[1]
    else:
        event_type, payload = event["type"], event["payload"]
    return Record(
        seq=int(value["seq"]),
        timestamp_nanos=int(value["timestamp_nanos"]),
        event_type=str(event_type),
        payload=dict(payload),
        self_hash=str(value["self_hash"]),
        signer_pubkey=str(value["signer_pubkey"]),
    )


def _read_records(path: str, count: int) -> list[Record]:
    """Read the first `count` events of a ledger that has just verified.

    Lines are cut at LF exactly as the ledger reader cuts them. Reading stops
    after `count` events, so lines appended since the walk are not mixed in.
    """
    records: list[Record] = []
    with open(path, "rb") as handle:
        for number, raw in enumerate(handle, start=1):
            if len(records) == count:
                break
            if raw.endswith(b"\n"):
                raw = raw[:-1]
                if raw.endswith(b"\r"):
                    raw = raw[:-1]
            try:
                line = raw.decode("utf-8")
                if not line.strip(_WHITE_SPACE):
                    continue
                records.append(_record_from_json(json.loads(line)))
            except (ValueError, KeyError, IndexError, TypeError, RecursionError) as exc:
                raise CliError(f"cannot read the record on line {number}: {exc}") from None
    if len(records) != count:
        raise CliError("the file changed while it was being read")
    return records


def load_ledger(path: str) -> Ledger:
    """Walk the chain of the file at `path` and read its records."""
    _require_file(path)
    report = tallyvox.verify_file(path)
    return Ledger(path, report, _read_records(path, report.event_count))


# ---------------------------------------------------------------------------
# Summaries


def utc_text(nanos: int, digits: int = 9) -> str:
    """ISO 8601 UTC text of a nanosecond timestamp, with `digits` decimals."""
    seconds, rest = divmod(nanos, 1_000_000_000)
    moment = datetime.datetime.fromtimestamp(seconds, tz=datetime.timezone.utc)
    text = moment.strftime("%Y-%m-%dT%H:%M:%S")
    if digits:
        text += "." + f"{rest:09d}"[:digits]
    return text + "Z"


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

    @property
    def exit_code(self) -> int:
        if self.status == "error":
            return EXIT_ERROR
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
        }

    def text_lines(self) -> list[str]:
        if self.status == "error":
            return [f"{self.path}: ERROR: {self.error}"]
        if self.status == "broken":
            verdict = f"BROKEN at seq {self.broken_at}: {self.reason}"
        elif self.unexpected_signers:
            verdict = "chain intact, but signed by a key that was not expected"
        else:
            verdict = "valid"
        lines = [
            f"{self.path}: {verdict}",
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


def _error_text(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
    else:
        text = str(exc) or type(exc).__name__
    return " ".join(text.split("\n"))


def _complain(where: str, message: str) -> None:
    print(f"{PROG}: {where}: {message}", file=sys.stderr)


# ---------------------------------------------------------------------------
# Commands


def cmd_verify(args: argparse.Namespace) -> int:
    expected: list[str] | None = args.expect_signer
    summaries: list[Summary] = []
    for path in args.ledgers:
        try:
            summary = summarise(load_ledger(path), expected)
        except (CliError, tallyvox.TallyvoxError, OSError) as exc:
            summary = Summary(path=path, status="error", error=_error_text(exc))
            _complain(path, summary.error or "")
        summaries.append(summary)
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
    return code


def _shorten(text: str, limit: int = _TEXT_LIMIT) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"


def _one_line(json_text: str) -> str:
    for char, escape in _LINE_BREAKS.items():
        json_text = json_text.replace(char, escape)
    return json_text


def _quote(text: str, limit: int = _TEXT_LIMIT) -> str:
    """Shorten `text` to `limit` characters and quote it on one line."""
    return _one_line(json.dumps(_shorten(text, limit), ensure_ascii=False))


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
        parts = [f"tool={_quote(str(get('tool_name')))}", f"args={_one_line(_shorten(args))}"]
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
    break_index = None if report.ok else _break_index(ledger)
    lines = []
    for index, record in enumerate(ledger.records):
        line = (f"{record.seq:>{width}}  {utc_text(record.timestamp_nanos, 3)}  "
                f"{record.event_type:<17}  {event_fields(record.event_type, record.payload)}")
        if index == break_index:
            line += f"  <-- chain breaks here: {report.reason}"
        lines.append(line)
    return lines


def _break_index(ledger: Ledger) -> int | None:
    # The walk stops at the first event that fails; the root hash it reports
    # is the self hash of the event before it (genesis when none passed).
    if ledger.report.root_hash == tallyvox.GENESIS_PARENT_HASH:
        return 0 if ledger.records else None
    for index, record in enumerate(ledger.records):
        if record.self_hash == ledger.report.root_hash:
            return index + 1
    return None


def cmd_show(args: argparse.Namespace) -> int:
    try:
        ledger = load_ledger(args.ledger)
    except (CliError, tallyvox.TallyvoxError, OSError) as exc:
        _complain(args.ledger, _error_text(exc))
        return EXIT_ERROR
    if args.json:
        report = ledger.report
        document = {
            "path": ledger.path,
            "status": report.status,
            "broken_at": report.broken_at,
            "reason": report.reason,
            "events": [
                {
                    "seq": r.seq,
                    "timestamp_nanos": r.timestamp_nanos,
                    "time_utc": utc_text(r.timestamp_nanos),
                    "type": r.event_type,
                    "payload": r.payload,
                    "self_hash": r.self_hash,
                    "signer_pubkey": r.signer_pubkey,
                }
                for r in ledger.records
            ],
        }
        print(json.dumps(document, indent=2, ensure_ascii=False))
    else:
        for line in timeline_lines(ledger):
            print(line)
    return EXIT_OK


def cmd_keygen(args: argparse.Namespace) -> int:
    try:
        keypair = tallyvox.SigningKeypair.load_or_create(args.path)
    except (tallyvox.TallyvoxError, OSError) as exc:
        _complain(args.path, _error_text(exc))
        return EXIT_ERROR
    print(keypair.pubkey_hex)
    return EXIT_OK


def _sha256(data: bytes | str) -> str:
    if isinstance(data, str):
        data = data.encode("utf-8")
    return hashlib.sha256(data).hexdigest()


def record_demo(session: tallyvox.Session, session_id: str) -> None:
    """Record a short voice-agent conversation using all seven event types."""
    question = "What's the weather in Lisbon tomorrow? I'm flying there in the morning."
    args = {"city": "Lisbon", "date": "tomorrow", "units": "metric"}
    result = {"summary": "sunny", "high_c": 24, "low_c": 16}
    answer = "Tomorrow in Lisbon: sunny, from 16 up to 24 degrees. Enjoy the flight!"
    prompt = f"user: {question}\ntool: {json.dumps(result)}"
    session.record(events.session_started(
        agent_id="demo-voice-agent", model_id="demo-model-1", session_id=session_id))
    session.record(events.utterance_captured(
        audio_sha256=_sha256(b"caller audio, 2.4 s of PCM"), transcript=question,
        lang="en-GB", duration_ms=2400))
    session.record(events.model_invoked(
        model_id="demo-model-1", prompt_sha256=_sha256(question),
        response_sha256=_sha256(json.dumps(args)), prompt_tokens=41, response_tokens=17))
    session.record(events.tool_called(
        tool_name="weather.forecast", args_sha256=_sha256(tallyvox.canonical_json(args)),
        args_redacted=args))
    session.record(events.tool_returned(
        tool_name="weather.forecast", result_sha256=_sha256(tallyvox.canonical_json(result)),
        latency_ms=132, success=True))
    session.record(events.model_invoked(
        model_id="demo-model-1", prompt_sha256=_sha256(prompt),
        response_sha256=_sha256(answer), prompt_tokens=96, response_tokens=23))
    session.record(events.utterance_spoken(
        text_sha256=_sha256(answer), text=answer,
        audio_sha256=_sha256(b"synthesised reply audio")))
    session.record(events.session_ended(
        reason="caller hung up", summary_sha256=_sha256(f"{question}\n{answer}")))


def cmd_demo(args: argparse.Namespace) -> int:
    try:
        os.makedirs(args.dir, exist_ok=True)
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
        run_dir = tempfile.mkdtemp(prefix=f"run-{stamp}-", dir=args.dir)
        key_path = os.path.join(run_dir, "signing.key")
        ledger_path = os.path.join(run_dir, "ledger.ndjson")
        keypair = tallyvox.SigningKeypair.generate()
        keypair.save(key_path)
        session_id = os.path.basename(run_dir)
        session = tallyvox.Session.open(
            keypair=keypair, ledger_path=ledger_path, session_id=session_id)
        record_demo(session, session_id)
        del session
        ledger = load_ledger(ledger_path)
    except (CliError, tallyvox.TallyvoxError, OSError) as exc:
        _complain("demo", _error_text(exc))
        return EXIT_ERROR
    summary = summarise(ledger, [keypair.pubkey_hex])
    print(f"signing key: {key_path}")
    print(f"public key:  {keypair.pubkey_hex}")
    print(f"ledger:      {ledger_path}")
    print()
    for line in timeline_lines(ledger):
        print(line)
    print()
    print("\n".join(summary.text_lines()))
    print()
    print("Check it again, bound to its key, with:")
    print(f"  {PROG} verify {ledger_path} --expect-signer {keypair.pubkey_hex}")
    return summary.exit_code


# ---------------------------------------------------------------------------
# Argument parsing


def _public_key(text: str) -> str:
    if len(text) != 64 or any(c not in string.hexdigits for c in text):
        raise argparse.ArgumentTypeError(
            f"not a public key (64 hexadecimal characters): {text!r}")
    return text.lower()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Verify and inspect tallyvox ledgers: tamper-evident, signed "
                    "NDJSON records of what an AI agent did.",
        epilog="Exit status: 0 all checks hold, 1 a chain is broken or has an "
               "unexpected signer, 2 an input cannot be read or is malformed.")
    parser.add_argument("--version", action="version",
                        version=f"{PROG} {tallyvox.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    verify = commands.add_parser(
        "verify", help="verify ledger files and summarise them",
        description="Walk the chain of each ledger (sequence numbers, parent links, "
                    "hashes, signatures) and print a summary: event count, valid or "
                    "broken with the first break, root hash, signer keys and time span "
                    "(UTC). The walk checks each event against the key it carries; "
                    "use --expect-signer to bind a ledger to the keys you trust.",
        epilog="Exit status: 0 every ledger is valid (and signed only by the expected "
               "keys), 1 a chain is broken or carries another signer, 2 a file is "
               "missing, unreadable or malformed.")
    verify.add_argument("ledgers", nargs="+", metavar="LEDGER", help="ledger file (NDJSON)")
    verify.add_argument("--json", action="store_true", help="print one JSON document")
    verify.add_argument("--expect-signer", action="append", type=_public_key, metavar="HEX",
                        help="a public key (64 hex characters) allowed to have signed; "
                             "repeat for several keys")
    verify.set_defaults(func=cmd_verify)

    show = commands.add_parser(
        "show", help="print the timeline of a ledger",
        description="Print one line per event: seq, UTC time, type and its key fields, "
                    "long texts shortened. The event at which the chain breaks, if any, "
                    "is marked; use verify for the verdict and exit status.")
    show.add_argument("ledger", metavar="LEDGER", help="ledger file (NDJSON)")
    show.add_argument("--json", action="store_true",
                      help="print the events, payloads in full, as one JSON document")
    show.set_defaults(func=cmd_show)

    keygen = commands.add_parser(
        "keygen", help="load or create a secret-key file and print its public key",
        description="Load the 32-byte Ed25519 secret key at PATH, or create one "
                    "(mode 0600) if PATH does not exist, and print its public key.")
    keygen.add_argument("path", metavar="PATH", help="secret-key file")
    keygen.set_defaults(func=cmd_keygen)

    demo = commands.add_parser(
        "demo", help="record, verify and show a sample conversation",
        description="Record a short sample conversation using all seven event types "
                    "into a fresh ledger signed by a fresh key, in a new directory "
                    "under DIR, then verify it and print the timeline and summary.")
    demo.add_argument("--dir", default="tallyvox-demo", metavar="DIR",
                      help="where to create the run directory (default: ./tallyvox-demo)")
    demo.set_defaults(func=cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]); return the exit code."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
    args = build_parser().parse_args(argv)
    try:
        code: int = args.func(args)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (for example `| head`); stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 130
    return code


if __name__ == "__main__":
    sys.exit(main())
