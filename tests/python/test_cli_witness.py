"""Witnessed checkpoints end to end: two witnesses served on loopback ports,
`tallyvox checkpoint --witness`, `verify --witness-key`, `verify-proof
--witness-key`, and a ledger rewritten by the key holder."""

import asyncio
import json
import threading

import pytest
from tlog_model import COSIGNER, NOTE_SIGNER, cosignature_times, model_vkey, read_note
from witness_harness import run_cli, start_witness

import tallyvox
from tallyvox import events
from tallyvox import witness as tw

pytest.importorskip("aiohttp")

ORIGIN = "example.org/agent"
LOG_SEED = bytes(range(32))


def record(ledger, keypair, n, tag="r"):
    session = tallyvox.Session.open(keypair=keypair, ledger_path=ledger, session_id="s")
    for i in range(n):
        session.record(events.session_ended(reason=f"{tag}{i}", summary_sha256="ab"))


def log_key(tmp_path):
    key = tmp_path / "log.key"
    key.write_bytes(LOG_SEED)
    key.chmod(0o600)
    return key, tallyvox.SigningKeypair.load(key)


@pytest.fixture
def setup(tmp_path):
    key, keypair = log_key(tmp_path)
    log_vkey = run_cli("keygen", key, "--vkey", ORIGIN).stdout.strip()
    witnesses = [start_witness(tmp_path, name, bytes([i]) * 32, [log_vkey])
                 for i, name in ((7, "w1.example"), (8, "w2.example"))]
    ledger = tmp_path / "ledger.ndjson"
    record(ledger, keypair, 12)
    yield tmp_path, key, keypair, ledger, witnesses
    for witness in witnesses:
        witness.stop()


def witness_args(witnesses, option="--witness"):
    return [x for w in witnesses
            for x in (option, f"{w.url}={w.vkey}" if option == "--witness" else w.vkey)]


def checkpoint(setup, out, *extra, witnesses=None):
    tmp_path, key, _, ledger, all_witnesses = setup
    return run_cli("checkpoint", ledger, "--key", key, "--origin", ORIGIN, "-o", out,
                   *witness_args(witnesses or all_witnesses), *extra)


def test_keygen_prints_vkeys(tmp_path):
    key, keypair = log_key(tmp_path)
    public = bytes.fromhex(keypair.pubkey_hex)
    assert run_cli("keygen", key, "--vkey", ORIGIN).stdout == model_vkey(ORIGIN, public, NOTE_SIGNER) + "\n"
    assert run_cli("keygen", key, "--vkey", "w", "--cosigner").stdout == model_vkey("w", public, COSIGNER) + "\n"
    assert run_cli("keygen", key).stdout == public.hex() + "\n"
    bad = run_cli("keygen", tmp_path / "new", "--vkey", "a b")
    assert bad.returncode == 2 and "the name contains a space" in bad.stderr
    assert not (tmp_path / "new").exists()


def test_quorum_of_two_then_a_rewritten_ledger(setup):
    tmp_path, key, keypair, ledger, witnesses = setup
    out = tmp_path / "ledger.checkpoint"
    result = checkpoint(setup, out, "--quorum", "2")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith(f"{out}: checkpoint of 12 events, origin {ORIGIN}, root ")
    assert lines[1] == "  cosigned by 2 of 2 witnesses, 2 required"
    assert [line.split()[:2] for line in lines[2:]] == [["w1.example", "cosigned"], ["w2.example", "cosigned"]]
    note = out.read_text()
    assert read_note(note, keypair.pubkey_hex)[:2] == (ORIGIN, 12)
    for witness in witnesses:
        assert len(cosignature_times(note, witness.name, witness.public)) == 1
    sizes = json.loads((tmp_path / "ledger.checkpoint.witness-sizes.json").read_text())
    assert sizes["origins"][ORIGIN] == {w.vkey: 12 for w in witnesses}

    verified = run_cli("verify", ledger, "--checkpoint", out, *witness_args(witnesses, "--witness-key"),
                       "--quorum", "2", "--json")
    assert verified.returncode == 0, verified.stdout
    summary = json.loads(verified.stdout)["ledgers"][0]
    assert summary["checkpoint"]["ok"] and summary["witnesses"]["ok"]
    assert [c["witness"] for c in summary["witnesses"]["cosigned"]] == ["w1.example", "w2.example"]
    text = run_cli("verify", ledger, "--checkpoint", out, *witness_args(witnesses, "--witness-key")).stdout
    assert "  witnesses: cosigned by 2 of 2 witnesses, 2 required: w1.example at " in text

    # The key holder rewrites the ledger, longer (422) and of the same length (409).
    for count, status in ((15, "422"), (12, "409 again: it holds size 12, another tree of that size")):
        ledger.unlink()
        record(ledger, keypair, count, tag="rewritten")
        forged = tmp_path / f"forged-{count}.checkpoint"
        refused = checkpoint(setup, forged, "--quorum", "1", "--json")
        assert refused.returncode == 1 and not forged.exists()
        answers = json.loads(refused.stdout)["witnesses"]
        assert [(a["witness"], a["ok"]) for a in answers] == [("w1.example", False), ("w2.example", False)]
        assert all(a["reason"].startswith(status) for a in answers), answers
        assert "w1.example refused: " + status in refused.stderr and "not written" in refused.stderr
        failed = run_cli("verify", ledger, "--checkpoint", out, *witness_args(witnesses, "--witness-key"))
        assert failed.returncode == 1
        assert "differs: the first 12 events do not have the checkpoint's root hash" in failed.stdout
    for witness in witnesses:
        witness.stop()
        assert witness.stderr.count("WARNING") == 2  # the fork is on record: 422, another tree of 12


def test_grown_ledger_and_a_lost_sizes_file(setup):
    tmp_path, key, keypair, ledger, witnesses = setup
    out = tmp_path / "cp"
    assert checkpoint(setup, out).returncode == 0
    record(ledger, keypair, 3, tag="more")
    assert checkpoint(setup, out).returncode == 0  # old size 12 from the sizes file
    (tmp_path / "cp.witness-sizes.json").unlink()
    record(ledger, keypair, 2, tag="again")
    result = checkpoint(setup, out, "--json")  # 0, 409 with 15, then 15 with a proof
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    assert document["size"] == 17 and [a["status"] for a in document["witnesses"]] == [200, 200]
    assert json.loads((tmp_path / "cp.witness-sizes.json").read_text())["origins"][ORIGIN] == {
        w.vkey: 17 for w in witnesses}


def test_quorum_shortfalls_and_unreachable_witnesses(setup):
    tmp_path, key, keypair, ledger, witnesses = setup
    one = tmp_path / "one.checkpoint"
    assert checkpoint(setup, one, witnesses=witnesses[:1]).returncode == 0
    short = run_cli("verify", ledger, "--checkpoint", one, *witness_args(witnesses, "--witness-key"),
                    "--quorum", "2")
    assert short.returncode == 1
    assert ("witnesses: cosigned by 1 of 2 witnesses, 2 required: w1.example at " in short.stdout
            and "; w2.example did not cosign" in short.stdout)
    witnesses[1].stop()
    down = checkpoint(setup, tmp_path / "down.checkpoint")
    assert down.returncode == 1 and "w2.example refused: no answer from http://127.0.0.1:" in down.stderr
    assert checkpoint(setup, tmp_path / "down.checkpoint", "--quorum", "1").returncode == 0
    usage = [
        (["verify", ledger, "--witness-key", witnesses[0].vkey], "--witness-key needs --checkpoint"),
        (["verify", ledger, "--checkpoint", one, "--quorum", "1"], "--quorum needs --witness-key"),
        (["verify", ledger, "--checkpoint", one, "--witness-key", witnesses[0].vkey, "--witness-key",
          witnesses[0].vkey, "--quorum", "2"], "--quorum 2 is more than the 1 distinct --witness-key given"),
        (["checkpoint", ledger, "--key", key, "--quorum", "1"], "--quorum needs --witness"),
        (["verify", ledger, "--checkpoint", one, "--witness-key", model_vkey("x", bytes(32), NOTE_SIGNER)],
         "not the key of a witness"),
        (["checkpoint", ledger, "--key", key, "--witness", witnesses[0].vkey], "not URL=VKEY"),
    ]
    for args, message in usage:
        result = run_cli(*args)
        assert result.returncode == 2 and message in result.stderr, (args, result.stderr)


def test_verify_proof_with_witnesses(setup):
    tmp_path, key, keypair, ledger, witnesses = setup
    out = tmp_path / "cp"
    assert checkpoint(setup, out).returncode == 0
    proof = tmp_path / "event-3.tlog-proof"
    assert run_cli("prove", ledger, "--seq", 3, "--checkpoint", out, "-o", proof).returncode == 0
    log_vkey = run_cli("keygen", key, "--vkey", ORIGIN).stdout.strip()
    keys = witness_args(witnesses, "--witness-key")
    result = run_cli("verify-proof", proof, "--expect-signer", log_vkey, *keys, "--quorum", "2")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1].startswith(
        "  witnesses: cosigned by 2 of 2 witnesses, 2 required: w1.example at ")
    document = json.loads(run_cli("verify-proof", proof, "--expect-signer", keypair.pubkey_hex, *keys,
                                  "--json").stdout)
    assert document["ok"] and len(document["witnesses"]["cosigned"]) == 2
    stranger = model_vkey("w3.example", bytes(range(1, 33)), COSIGNER)
    short = run_cli("verify-proof", proof, "--expect-signer", log_vkey, "--witness-key", stranger)
    assert short.returncode == 1 and "w3.example did not cosign" in short.stderr
    renamed = run_cli("keygen", key, "--vkey", "example.org/other").stdout.strip()
    wrong = run_cli("verify-proof", proof, "--expect-signer", renamed)
    assert wrong.returncode == 1
    assert f"the checkpoint's origin {ORIGIN} is not the key's name example.org/other" in wrong.stderr


def test_submit_from_a_thread_and_from_asyncio(setup):
    tmp_path, _, keypair, ledger, witnesses = setup
    made = tallyvox.make_checkpoint(ledger, keypair, origin=ORIGIN)
    specs = [f"{w.url}={w.vkey}" for w in witnesses]
    results = []
    thread = threading.Thread(target=lambda: results.append(tw.submit(made.note, ledger, specs, 2)))
    thread.start()
    thread.join()
    record(ledger, keypair, 4, tag="more")
    grown = tallyvox.make_checkpoint(ledger, keypair, origin=ORIGIN)
    sizes = tmp_path / "sizes.json"
    tw.save_sizes(sizes, {ORIGIN: {w.vkey: 12 for w in witnesses}})
    results.append(asyncio.run(tw.submit_async(grown.note, ledger, [tw.Witness.parse(s) for s in specs],
                                               sizes_file=sizes)))
    for result, size in zip(results, (12, 16)):
        assert result.ok and [a.status for a in result.answers] == [200, 200]
        check = tw.verify_cosignatures(result.note, [w.vkey for w in witnesses], 2)
        assert check.ok and [c.witness.name for c in check.cosigned] == ["w1.example", "w2.example"]
        assert tallyvox.verify_checkpoint(ledger, result.note).checkpoint.size == size
    assert tw.load_sizes(sizes)[ORIGIN] == {w.vkey: 16 for w in witnesses}
