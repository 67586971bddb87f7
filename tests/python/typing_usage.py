"""Typed use of the whole public API.

test_typing.py checks this file with `mypy --strict` (every assert_type below
must hold against the shipped stubs) and also runs `exercise` for real, so the
keyword names and return values used here exist at run time too.
"""

from __future__ import annotations

import asyncio
import hashlib
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, Literal, assert_type

import tallyvox
import tallyvox.cli
from tallyvox import events
from tallyvox import witness as tw
from tallyvox.about import BuildInfo
from tallyvox.aio import AsyncSession
from tallyvox.events import AgentEvent


def every_event() -> list[AgentEvent]:
    digest = hashlib.sha256(b"x").hexdigest()
    return [
        events.session_started(agent_id="a", model_id="m", session_id="s"),
        events.utterance_captured(audio_sha256=digest, transcript="hi", lang="en", duration_ms=900),
        events.model_invoked(model_id="m", prompt_sha256=digest, response_sha256=digest,
                             prompt_tokens=10, response_tokens=4),
        events.tool_called(tool_name="search", args_sha256=digest, args_redacted={"q": "x"}),
        events.tool_returned(tool_name="search", result_sha256=digest, latency_ms=12, success=True),
        events.utterance_spoken(text_sha256=digest, text="hello", audio_sha256=digest),
        events.from_dict({"type": "SessionEnded",
                          "payload": {"reason": "done", "summary_sha256": digest}}),
    ]


async def record_async(session: tallyvox.Session, event: AgentEvent) -> tallyvox.SignedEvent:
    return await asyncio.to_thread(session.record, event)


def use_checkpoints(ledger: Path, keypair: tallyvox.SigningKeypair) -> None:
    made = tallyvox.make_checkpoint(ledger, keypair, origin=None)
    assert_type(made, tallyvox.Checkpoint)
    assert_type(made.root, bytes)
    assert_type(made.size, int)
    check = tallyvox.verify_checkpoint(ledger, made.note, [keypair.pubkey_hex])
    assert_type(check, tallyvox.CheckpointCheck)
    assert check.ok and check.event_count == made.size
    proof = tallyvox.prove(ledger, 0, made.note)
    assert_type(proof, str)
    proved = tallyvox.verify_proof(proof, keypair.pubkey_hex)
    assert_type(proved.index, int | None)
    assert proved.ok and proved.index == 0
    assert_type(proved.record, tallyvox.SignedEvent | None)
    assert proved.record is not None and proved.record.seq == 0
    steps = tallyvox.consistency_proof(ledger, 1, made.size)
    assert_type(steps, list[bytes])
    assert tallyvox.verify_consistency(made.note, made.note, [], keypair.pubkey_hex).ok
    assert_type(tallyvox.open_checkpoint(made.note, keypair.pubkey_hex), tallyvox.Checkpoint)
    assert_type(tallyvox.checkpoint.merkle_root([b"a"]), bytes)
    try:
        tallyvox.make_checkpoint(ledger.parent / "missing", keypair)
    except tallyvox.CheckpointError as exc:
        failure: tallyvox.TallyvoxError = exc
        assert str(failure)


def use_group_commit_and_policy(directory: Path, keypair: tallyvox.SigningKeypair) -> None:
    policy = tallyvox.CheckpointPolicy(every_events=3, directory=directory / "checkpoints")
    ledger = directory / "batched.ndjson"
    with tallyvox.Session.open(keypair=keypair, ledger_path=ledger, session_id="b",
                               checkpoints=policy) as session:
        batch = session.record_many(every_event())
        assert_type(batch, list[tallyvox.SignedEvent])
        made = session.checkpoint()
        assert_type(made, tallyvox.Checkpoint)
        assert_type(session.last_checkpoint, str | None)
        assert session.last_checkpoint == made.note

    async def in_loop() -> tallyvox.Checkpoint:
        async with await AsyncSession.open(keypair=keypair, ledger_path=ledger, session_id="a",
                                           checkpoints=policy, max_batch=64) as s:
            signed = await s.record(every_event()[0])
            assert_type(signed, tallyvox.SignedEvent)
            assert_type(s.last_checkpoint, str | None)
            return await s.checkpoint()

    assert asyncio.run(in_loop()).size == len(batch) + 1


def use_witnesses(ledger: Path, keypair: tallyvox.SigningKeypair) -> None:
    made = tallyvox.make_checkpoint(ledger, keypair, origin="example.org/typed")
    log_key = tw.Vkey.of(keypair, "example.org/typed")
    assert_type(log_key.key_id, int)
    witness_key = tw.Vkey.of(keypair, "w.example", cosigner=True)
    assert witness_key.cosigner and not log_key.cosigner
    assert tallyvox.open_checkpoint(made.note, str(log_key)) == made
    check = tw.verify_cosignatures(made.note, [witness_key], quorum=1, now=None)
    assert_type(check, tw.WitnessCheck)
    assert_type(check.cosigned, tuple[tw.Cosignature, ...])
    assert not check.ok and check.uncounted[0].reason == "did not cosign"
    spec = tw.Witness.parse(f"http://127.0.0.1:1={witness_key}")
    assert_type(spec.vkey, tw.Vkey)
    asks: Callable[..., tw.Submission] = tw.submit
    answer = tw.WitnessAnswer(spec, status=409, reason="409: it holds size 3", size=3)
    assert_type(answer.size, int | None)
    assert not answer.ok and callable(asks) and callable(tw.submit_async)
    tw.save_sizes(ledger.parent / "sizes.json", {made.origin: {str(witness_key): answer.size or 0}})
    assert_type(tw.load_sizes(ledger.parent / "sizes.json"), dict[str, dict[str, int]])


def exercise(directory: Path) -> tallyvox.ChainReport:
    keypair = tallyvox.SigningKeypair.load_or_create(directory / "signing.key")
    assert_type(keypair, tallyvox.SigningKeypair)
    assert_type(keypair.pubkey_hex, str)
    keypair.save(path=str(directory / "copy.key"))
    assert tallyvox.SigningKeypair.load(directory / "copy.key").pubkey_hex == keypair.pubkey_hex

    warning: type[UserWarning] = tallyvox.KeyPermissionWarning
    assert issubclass(warning, UserWarning)

    ledger = directory / "ledger.ndjson"
    with tallyvox.Session.open(keypair=keypair, ledger_path=ledger, session_id="typed") as session:
        assert_type(session, tallyvox.Session)
        assert_type(session.session_id, str)
        recorded = [session.record(event) for event in every_event()]
        recorded.append(asyncio.run(record_async(session, events.session_ended(
            reason="done", summary_sha256=""))))
    assert_type(session.closed, bool)
    assert session.closed
    session.close()

    last = recorded[-1]
    assert_type(last.seq, int)
    assert_type(last.timestamp_nanos, int)
    assert_type(last.event, dict[str, Any])
    assert_type(last.parent_hash, str)
    assert_type(last.signature, str)
    assert_type(last.signer_pubkey, str)
    assert_type(last.to_json(), str)

    report = tallyvox.verify_file(ledger)
    assert_type(report.ok, bool)
    assert_type(report.status, Literal["valid", "broken"])
    assert_type(report.event_count, int)
    assert_type(report.broken_at, int | None)
    assert_type(report.reason, str | None)
    assert_type(report.root_hash, str)
    assert report.ok and report.root_hash == last.self_hash

    chain: Sequence[tallyvox.SignedEvent] = tuple(recorded)
    assert tallyvox.verify_chain(chain).event_count == len(recorded)

    event = events.session_ended(reason="done", summary_sha256="ab")
    loose = tallyvox.sign_event(event=event, seq=0, parent_hash=tallyvox.GENESIS_PARENT_HASH,
                                keypair=keypair)
    assert_type(loose, tallyvox.SignedEvent)
    digest = tallyvox.compute_self_hash(seq=loose.seq, timestamp_nanos=loose.timestamp_nanos,
                                        event=event, parent_hash=loose.parent_hash)
    assert_type(digest, str)
    assert digest == loose.self_hash

    assert_type(tallyvox.canonical_json({"b": 1, "a": [True, None]}), bytes)
    assert_type(tallyvox.GENESIS_PARENT_HASH, str)
    assert_type(tallyvox.__version__, str)
    info = tallyvox.build_info()
    assert_type(info, BuildInfo)
    assert_type(info["ed25519_version"], str)
    assert info["version"] == tallyvox.__version__ and info["sha256"] == "OpenSSL"

    try:
        tallyvox.SigningKeypair.load(directory / "missing.key")
    except tallyvox.KeyLoadError as exc:
        base: tallyvox.TallyvoxError = exc
        assert str(base).startswith("io: ")
    try:
        tallyvox.verify_file(directory)
    except tallyvox.LedgerError:
        pass

    use_checkpoints(ledger, keypair)
    use_group_commit_and_policy(directory, keypair)
    use_witnesses(ledger, keypair)
    with open(ledger, "rb") as stream:
        assert_type(tallyvox.verify_stream(stream, max_line_bytes=1 << 20), tallyvox.ChainReport)
    assert tallyvox.verify_file_parallel(ledger, jobs=2).root_hash == report.root_hash
    assert tallyvox.verify_file_parallel(ledger, jobs=1, max_line_bytes=None).ok
    for verdict in tallyvox.verify_many([ledger], jobs=1, max_line_bytes=1 << 20):
        assert_type(verdict, tallyvox.LedgerVerdict)
        assert_type(verdict.error, str | None)
    records = tallyvox.read_ledger(ledger, max_line_bytes=1 << 20)
    assert_type(records, list[tallyvox.SignedEvent])
    assert_type(tallyvox.line_limit.max_line_bytes_from({}), int)
    try:
        tallyvox.read_ledger(ledger, max_line_bytes=10)
    except tallyvox.LedgerError as exc:
        assert str(exc) == "line 1: longer than 10 bytes"

    entry: Callable[[Sequence[str] | None], int] = tallyvox.cli.main
    assert callable(entry)
    return report
