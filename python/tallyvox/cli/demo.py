"""The demo: a sample conversation recorded, verified and shown."""

from __future__ import annotations

import argparse
import datetime
import hashlib
import json
import os
import tempfile

import tallyvox
from tallyvox import events
from tallyvox.cli.exit import EXIT_ERROR, PROG, CliError, complain, error_text
from tallyvox.cli.ledger import Ledger, load_ledger
from tallyvox.cli.report import write_report
from tallyvox.cli.verify import Summary, summarise
from tallyvox.cli.show import timeline_lines
from tallyvox.policy import checkpoint_paths
from tallyvox.report.model import ledger_view


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


def _write_report(run_dir: str, summary: Summary, ledger: Ledger) -> str:
    """The HTML report beside the ledger: its path, or why there is none."""
    path = os.path.join(run_dir, "report.html")
    try:
        write_report(path, [ledger_view(summary, ledger)], index=False)
    except CliError as exc:  # no Jinja2: the demo goes on without the page
        return f"not written: {exc}"
    except OSError as exc:
        return f"not written: {error_text(exc)}"
    return path


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
        # The session checkpoints itself when it closes.
        checkpoints = tallyvox.CheckpointPolicy(directory=os.path.join(run_dir, "checkpoints"),
                                                strict=True)
        with tallyvox.Session.open(keypair=keypair, ledger_path=ledger_path,
                                   session_id=session_id, checkpoints=checkpoints) as session:
            record_demo(session, session_id)
        made = tallyvox.open_checkpoint(session.last_checkpoint or "", keypair.pubkey_hex)
        checkpoint_path, _ = checkpoint_paths(checkpoints.directory or "", made.origin, made.size)
        ledger = load_ledger(ledger_path)
    except (CliError, tallyvox.TallyvoxError, OSError) as exc:
        complain("demo", error_text(exc))
        return EXIT_ERROR
    summary = summarise(ledger, [keypair.pubkey_hex])
    print(f"signing key: {key_path}")
    print(f"public key:  {keypair.pubkey_hex}")
    print(f"ledger:      {ledger_path}")
    print(f"checkpoint:  {checkpoint_path}")
    print(f"report:      {_write_report(run_dir, summary, ledger)}")
    print()
    for line in timeline_lines(ledger):
        print(line)
    print()
    print("\n".join(summary.text_lines()))
    print()
    print("Check it again, bound to its key and its checkpoint, with:")
    print(f"  {PROG} verify {ledger_path} --expect-signer {keypair.pubkey_hex} "
          f"--checkpoint {checkpoint_path} --require-end")
    return summary.exit_code
