"""The checkpoint commands of the command line, run in a subprocess."""

import json
import subprocess
import sys

import pytest

import tallyvox
from tallyvox import events

SEED = bytes(range(32))


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "tallyvox", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


@pytest.fixture
def setup(tmp_path):
    key = tmp_path / "signing.key"
    key.write_bytes(SEED)
    key.chmod(0o600)  # private, as save makes it
    keypair = tallyvox.SigningKeypair.load(key)
    ledger = tmp_path / "ledger.ndjson"
    session = tallyvox.Session.open(keypair=keypair, ledger_path=ledger, session_id="s")
    session.record(events.session_started(agent_id="a", model_id="m", session_id="s"))
    for i in range(10):
        session.record(events.utterance_spoken(text_sha256="t", text=f"reply {i}", audio_sha256="a"))
    session.record(events.session_ended(reason="done", summary_sha256="s"))
    return tmp_path, key, keypair, ledger


def cut(ledger, keep):
    lines = ledger.read_bytes().splitlines(keepends=True)
    ledger.write_bytes(b"".join(lines[:keep]))


def test_checkpoint_then_verify(setup):
    tmp_path, key, keypair, ledger = setup
    result = run_cli("checkpoint", ledger, "--key", key, "--json")
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    written = tmp_path / "ledger.ndjson.checkpoint"
    assert document["ok"] and document["path"] == str(written) and document["size"] == 12
    assert tallyvox.open_checkpoint(written.read_text(), keypair.pubkey_hex).size == 12
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []
    result = run_cli("verify", ledger, "--checkpoint", written, "--require-end")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "checkpoint: the first 12 events match the checkpoint" in result.stdout
    assert "end:       ends with SessionEnded" in result.stdout
    cut(ledger, 9)
    result = run_cli("verify", ledger, "--checkpoint", written, "--require-end", "--json")
    assert result.returncode == 1
    summary = json.loads(result.stdout)["ledgers"][0]
    assert summary["checkpoint"] == {
        "ok": False, "reason": "truncated: 9 events, the checkpoint commits to 12"}
    assert summary["end"] == {
        "ok": False, "reason": "ends without SessionEnded (truncated, or still recording)"}
    result = run_cli("verify", ledger, "--checkpoint", written, "--expect-signer", "ab" * 32)
    assert result.returncode == 1
    assert f"the checkpoint is not signed by {'ab' * 32}" in result.stdout


def test_verify_with_a_file_that_is_not_a_checkpoint(setup):
    tmp_path, _, _, ledger = setup
    bogus = tmp_path / "bogus"
    bogus.write_bytes(b"tallyvox/x\n1\nAAAA\n\n")
    result = run_cli("verify", ledger, "--checkpoint", bogus)
    assert result.returncode == 2
    assert "not a checkpoint: the note has no signatures" in result.stdout
    bogus.write_bytes(b"\xe2\x80" * 4)  # not UTF-8
    assert run_cli("verify", ledger, "--checkpoint", bogus).returncode == 2
    assert run_cli("verify", ledger, "--checkpoint", tmp_path / "missing").returncode == 2


def test_checkpoint_refusals_write_nothing(setup):
    tmp_path, key, _, ledger = setup
    lines = ledger.read_text().splitlines(keepends=True)
    lines[3] = lines[3].replace("reply 2", "reply 9")
    ledger.write_text("".join(lines))
    out = tmp_path / "out.checkpoint"
    result = run_cli("checkpoint", ledger, "--key", key, "-o", out)
    assert result.returncode == 1 and not out.exists()
    assert "the chain is broken at seq 3" in result.stderr
    other = tmp_path / "other.key"
    other.write_bytes(bytes(32))
    cut(ledger, 3)
    result = run_cli("checkpoint", ledger, "--key", other, "-o", out)
    assert result.returncode == 1 and "event 0 is not signed by" in result.stderr
    for args in ([tmp_path / "missing", "--key", key], [ledger, "--key", tmp_path / "nokey"],
                 [ledger, "--key", key, "--origin", "has space"]):
        result = run_cli("checkpoint", *args, "-o", out)
        assert result.returncode == 2, result.stderr
        assert not out.exists()


def test_prove_and_verify_proof(setup):
    tmp_path, key, keypair, ledger = setup
    assert run_cli("checkpoint", ledger, "--key", key).returncode == 0
    checkpoint = tmp_path / "ledger.ndjson.checkpoint"
    proof = tmp_path / "event-4.tlog-proof"
    result = run_cli("prove", ledger, "--seq", 4, "--checkpoint", checkpoint, "-o", proof)
    assert result.returncode == 0, result.stderr
    printed = run_cli("prove", ledger, "--seq", 4, "--checkpoint", checkpoint)
    assert printed.stdout == proof.read_text()
    result = run_cli("verify-proof", proof, "--expect-signer", keypair.pubkey_hex, "--json")
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    assert document["ok"] and document["index"] == 4
    assert json.loads(document["line"])["event"]["payload"]["text"] == "reply 3"
    assert document["checkpoint"]["size"] == 12
    text = run_cli("verify-proof", proof, "--expect-signer", keypair.pubkey_hex).stdout
    assert text == f"{proof}: holds: event 4 (UtteranceSpoken) is in the checkpoint of 12 " \
                   f"events of {document['checkpoint']['origin']}\n"
    result = run_cli("verify-proof", proof, "--expect-signer", "ab" * 32)
    assert result.returncode == 1 and "not signed by" in result.stderr
    data = proof.read_bytes()
    proof.write_bytes(data.replace(b"\xe2\x80\x94", b"\xe2\x80"))  # a cut em dash
    assert run_cli("verify-proof", proof, "--expect-signer", keypair.pubkey_hex).returncode == 2
    assert run_cli("prove", ledger, "--seq", 12, "--checkpoint", checkpoint).returncode == 2
    assert run_cli("prove", ledger, "--seq", -1, "--checkpoint", checkpoint).returncode == 2
    cut(ledger, 4)
    result = run_cli("prove", ledger, "--seq", 1, "--checkpoint", checkpoint, "--json")
    assert result.returncode == 1
    assert json.loads(result.stdout)["error"] == "truncated: 4 events, the checkpoint commits to 12"


def test_require_end_on_a_session_still_recording(setup):
    _, _, _, ledger = setup
    cut(ledger, 11)
    result = run_cli("verify", ledger, "--require-end")
    assert result.returncode == 1
    assert "end:       ends without SessionEnded (truncated, or still recording)" in result.stdout
