"""Checkpoints, inclusion and consistency proofs, held to an RFC 6962 tree and
a signed-note reader written here from the formats (hashlib and cryptography)."""

import base64
import hashlib
import json
import re

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from tlog_model import mth, model_consistency, model_leaf, model_node, model_path, model_sign, read_note

import tallyvox
from tallyvox import checkpoint as cp
from tallyvox import events

# ---------------------------------------------------------------------------
# Ledgers

SEED = bytes(range(32))
OTHER_SEED = bytes(range(1, 33))


def key_from(tmp_path, seed):
    path = tmp_path / f"key-{seed[0]}"
    path.write_bytes(seed)
    path.chmod(0o600)  # private, as save makes it
    return tallyvox.SigningKeypair.load(path)


@pytest.fixture
def keypair(tmp_path):
    return key_from(tmp_path, SEED)


def record(path, keypair, n, start=0, tag="r"):
    session = tallyvox.Session.open(keypair=keypair, ledger_path=path, session_id="s")
    return [session.record(events.session_ended(reason=f"{tag}{i}", summary_sha256="ab"))
            for i in range(start, start + n)]


def leaves_of(records):
    return [bytes.fromhex(r.self_hash) for r in records]


@pytest.fixture
def ledger(tmp_path, keypair):
    path = tmp_path / "ledger.ndjson"
    return path, record(path, keypair, 12)


# ---------------------------------------------------------------------------
# The tree, against the model


def synthetic(n):
    return [hashlib.sha256(str(i).encode()).digest() for i in range(n)]


def test_reference_roots():
    assert cp.merkle_root([]).hex() == \
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
    assert cp.merkle_root([b""]).hex() == \
        "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"
    for n in range(41):
        assert cp.merkle_root(synthetic(n)) == mth(synthetic(n))


@pytest.mark.parametrize("n", range(1, 41))
def test_inclusion_proof_of_every_index(n):
    leaves = synthetic(n)
    root = mth(leaves)
    for index in range(n):
        proof = cp.merkle_inclusion_proof(leaves, index)
        assert proof == model_path(index, leaves)
        assert cp.merkle_verify_inclusion(leaves[index], index, n, proof, root)
        assert not cp.merkle_verify_inclusion(leaves[index], index, n, proof, mth(leaves + [b""]))
        assert not cp.merkle_verify_inclusion(leaves[index] + b"x", index, n, proof, root)
        if proof:
            assert not cp.merkle_verify_inclusion(leaves[index], index, n, proof[:-1], root)
            assert not cp.merkle_verify_inclusion(leaves[index], index ^ 1 if index ^ 1 < n
                                                  else index - 1, n, proof, root)


@pytest.mark.parametrize("n", range(0, 41))
def test_consistency_proof_of_every_pair(n):
    leaves = synthetic(n)
    new_root = mth(leaves)
    for m in range(n + 1):
        old_root = mth(leaves[:m])
        proof = cp.merkle_consistency_proof(leaves, m)
        assert proof == model_consistency(m, leaves)
        assert cp.merkle_verify_consistency(m, n, old_root, new_root, proof)
        if m:  # any tree extends the empty one
            assert not cp.merkle_verify_consistency(m, n, old_root, mth(leaves + [b""]), proof)
        if proof:
            flipped = [proof[0][:-1] + bytes([proof[0][-1] ^ 1]), *proof[1:]]
            assert not cp.merkle_verify_consistency(m, n, old_root, new_root, flipped)
            assert not cp.merkle_verify_consistency(m, n, new_root, old_root, proof)


# ---------------------------------------------------------------------------
# Checkpoints of ledgers


def test_checkpoint_commits_to_every_event(ledger, keypair):
    path, records = ledger
    made = cp.make_checkpoint(path, keypair)
    origin = "tallyvox/" + records[0].self_hash
    assert (made.origin, made.size, made.root) == (origin, 12, mth(leaves_of(records)))
    assert read_note(made.note, keypair.pubkey_hex) == (origin, 12, made.root)
    # Deterministic signature: the note is exactly the model's.
    text = f"{origin}\n12\n{base64.b64encode(made.root).decode()}\n"
    assert made.note == model_sign(text, origin, Ed25519PrivateKey.from_private_bytes(SEED))
    assert cp.open_checkpoint(made.note, keypair.pubkey_hex) == made
    check = cp.verify_checkpoint(path, made.note)
    assert (check.ok, check.event_count, check.signer) == (True, 12, keypair.pubkey_hex)
    named = cp.make_checkpoint(path, keypair, origin="example.org/agent-7")
    assert read_note(named.note, keypair.pubkey_hex) == ("example.org/agent-7", 12, made.root)


def test_grown_ledger_is_consistent_and_proves_it(ledger, keypair):
    path, records = ledger
    old = cp.make_checkpoint(path, keypair)
    records += record(path, keypair, 5, start=12)
    check = cp.verify_checkpoint(path, old.note, [keypair.pubkey_hex])
    assert check.ok and check.event_count == 17 and check.checkpoint == old
    new = cp.make_checkpoint(path, keypair)
    assert new.origin == old.origin
    for m in range(18):
        proof = cp.consistency_proof(path, m, 17)
        assert proof == model_consistency(m, leaves_of(records))
    proof = cp.consistency_proof(path, 12, 17)
    assert cp.verify_consistency(old.note, new.note, proof, keypair.pubkey_hex).ok
    assert not cp.verify_consistency(new.note, old.note, proof, keypair.pubkey_hex).ok
    assert not cp.verify_consistency(old.note, new.note, proof[1:], keypair.pubkey_hex).ok
    other = cp.verify_consistency(old.note, new.note, proof, "ab" * 32)
    assert other.reason == f"the old checkpoint: the checkpoint is not signed by {'ab' * 32}"
    with pytest.raises(cp.CheckpointError, match="do not fit a ledger of 17 events"):
        cp.consistency_proof(path, 3, 18)


def cut(path, keep):
    lines = path.read_bytes().splitlines(keepends=True)
    path.write_bytes(b"".join(lines[:keep]))


def test_tampered_ledgers_fail(tmp_path, ledger, keypair):
    path, _ = ledger
    made = cp.make_checkpoint(path, keypair)
    cut(path, 9)
    check = cp.verify_checkpoint(path, made.note)
    assert (check.ok, check.reason) == (False, "truncated: 9 events, the checkpoint commits to 12")
    # The same key writes a different chain of the same length.
    path.unlink()
    record(path, keypair, 12, tag="rewritten")
    assert cp.verify_checkpoint(path, made.note).reason == \
        "differs: the first 12 events do not have the checkpoint's root hash"
    # Another key signs a checkpoint of the rewritten chain.
    other = key_from(tmp_path, OTHER_SEED)
    forged = model_sign(made.note.partition("\n\n")[0] + "\n", made.origin,
                        Ed25519PrivateKey.from_private_bytes(OTHER_SEED))
    assert cp.verify_checkpoint(path, forged).reason == \
        f"the checkpoint is not signed by {keypair.pubkey_hex}"
    assert cp.verify_checkpoint(path, forged, [other.pubkey_hex]).reason.startswith("differs")
    bad = made.note[:-10] + ("A" if made.note[-10] != "A" else "B") + made.note[-9:]
    assert cp.verify_checkpoint(path, bad).reason == \
        f"the checkpoint's signature by {keypair.pubkey_hex} does not verify"


def test_every_flipped_character_of_a_note_fails(ledger, keypair):
    path, _ = ledger
    note = cp.make_checkpoint(path, keypair).note
    for i in range(len(note)):
        flipped = note[:i] + chr(ord(note[i]) ^ 1) + note[i + 1:]
        try:
            check = cp.verify_checkpoint(path, flipped)
        except cp.CheckpointError:
            continue
        assert not check.ok, (i, flipped)


def test_checkpoint_refuses(tmp_path, ledger, keypair):
    path, _ = ledger
    with pytest.raises(cp.CheckpointFailed, match=f"^event 0 is not signed by "
                                                  f"{key_from(tmp_path, OTHER_SEED).pubkey_hex}$"):
        cp.make_checkpoint(path, key_from(tmp_path, OTHER_SEED))
    record(path, key_from(tmp_path, OTHER_SEED), 1, start=12)
    with pytest.raises(cp.CheckpointFailed, match=f"^event 12 is not signed by {keypair.pubkey_hex}$"):
        cp.make_checkpoint(path, keypair)
    lines = path.read_text().splitlines(keepends=True)
    lines[4] = lines[4].replace('"r4"', '"r5"')
    path.write_text("".join(lines))
    with pytest.raises(cp.CheckpointFailed, match="^the chain is broken at seq 4: event verification"):
        cp.make_checkpoint(path, keypair)
    empty = tmp_path / "empty.ndjson"
    empty.write_text("")
    with pytest.raises(cp.CheckpointError, match="^the ledger is empty: give an origin"):
        cp.make_checkpoint(empty, keypair)
    made = cp.make_checkpoint(empty, keypair, origin="example.org/empty")
    assert (made.size, made.root) == (0, hashlib.sha256(b"").digest())
    assert cp.verify_checkpoint(empty, made.note, [keypair.pubkey_hex]).ok
    with pytest.raises(cp.CheckpointError, match="No such file"):
        cp.make_checkpoint(tmp_path / "missing", keypair)


@pytest.mark.parametrize("origin, message", [
    ("", "the name is empty"),
    ("a b", "the name contains a space"),
    ("a+b", "the name contains '+'"),
    ("a\nb", "the name contains a control character"),
    ("a\x7fb", "the name contains a control character"),
])
def test_origin_rules(tmp_path, keypair, origin, message):
    path = tmp_path / "l.ndjson"
    record(path, keypair, 1)
    with pytest.raises(cp.CheckpointError, match=f"^invalid origin: {re.escape(message)}$"):
        cp.make_checkpoint(path, keypair, origin=origin)


@pytest.mark.parametrize("edit, message", [
    (lambda n: n.replace("\n12\n", "\n012\n"), "not a checkpoint: the tree size has leading zeros"),
    (lambda n: n.replace("\n", "\r\n"), "not a checkpoint: the note contains a CR character at byte"),
    (lambda n: n.replace("\n\n", "\n"), "not a checkpoint: the note has no blank line"),
    (lambda n: n.replace("\n12\n", "\n12\x07\n"), "not a checkpoint: the note contains a control"),
    (lambda n: n + n[n.index("\u2014"):] * 16, "not a checkpoint: the note has more than 16 signatures"),
    (lambda n: n.replace("=\n\n", "\n\n"), "not a checkpoint: root hash: invalid base64"),
])
def test_malformed_notes(ledger, keypair, edit, message):
    path, _ = ledger
    note = cp.make_checkpoint(path, keypair).note
    with pytest.raises(cp.CheckpointError, match="^" + re.escape(message)):
        cp.verify_checkpoint(path, edit(note))


def test_unknown_signatures_are_ignored(ledger, keypair):
    path, _ = ledger
    note = cp.make_checkpoint(path, keypair).note
    text, _, own = note.partition("\n\n")
    witness = model_sign(text + "\n", "witness.example", Ed25519PrivateKey.from_private_bytes(OTHER_SEED))
    cosigned = f"{text}\n\n{witness.partition(chr(10) * 2)[2]}{own}"
    assert cp.verify_checkpoint(path, cosigned).ok


# ---------------------------------------------------------------------------
# Inclusion proofs


def read_proof(proof, public_hex):
    """The model's check of a proof file: (line, index) when it holds."""
    head, _, note = proof.partition("\n\n")
    lines = head.split("\n")
    assert lines[0] == "c2sp.org/tlog-proof@v1"
    line = base64.b64decode(lines[1].removeprefix("extra "), validate=True).decode()
    index = int(lines[2].removeprefix("index "))
    path = [base64.b64decode(h, validate=True) for h in lines[3:]]
    origin, size, root = read_note(note, public_hex)
    leaf = bytes.fromhex(json.loads(line)["self_hash"])
    # RFC 9162 2.1.3.2
    fn, sn, r = index, size - 1, model_leaf(leaf)
    for p in path:
        if fn & 1 or fn == sn:
            r = model_node(p, r)
            while not fn & 1 and fn:
                fn, sn = fn >> 1, sn >> 1
        else:
            r = model_node(r, p)
        fn, sn = fn >> 1, sn >> 1
    assert sn == 0 and r == root
    return line, index


def test_proof_of_every_event(ledger, keypair):
    path, records = ledger
    note = cp.make_checkpoint(path, keypair).note
    for seq in range(12):
        proof = cp.prove(path, seq, note)
        assert read_proof(proof, keypair.pubkey_hex) == (records[seq].to_json(), seq)
        check = cp.verify_proof(proof, keypair.pubkey_hex)
        assert (check.ok, check.index, check.line) == (True, seq, records[seq].to_json())
        # The disclosed record, as the native reader reads it, is the one recorded.
        fields = ("seq", "timestamp_nanos", "event", "parent_hash", "self_hash", "signature",
                  "signer_pubkey")
        assert [getattr(check.record, f) for f in fields] == [getattr(records[seq], f) for f in fields]
    with pytest.raises(cp.CheckpointError, match="^seq 12 is not among the checkpoint's 12 events$"):
        cp.prove(path, 12, note)
    cut(path, 5)
    with pytest.raises(cp.CheckpointFailed, match="^truncated: 5 events"):
        cp.prove(path, 1, note)


def test_proofs_that_do_not_hold(tmp_path, ledger, keypair):
    path, _ = ledger
    note = cp.make_checkpoint(path, keypair).note
    proof = cp.prove(path, 3, note)
    other = key_from(tmp_path, OTHER_SEED)
    assert cp.verify_proof(proof, other.pubkey_hex).reason == \
        f"the checkpoint is not signed by {other.pubkey_hex}"
    head = proof.split("\n")

    def with_line(line):
        return "\n".join([head[0], "extra " + base64.b64encode(line.encode()).decode(), *head[2:]])

    changed = json.loads(base64.b64decode(head[1][6:]))
    changed["event"]["payload"]["reason"] = "changed"
    assert cp.verify_proof(with_line(json.dumps(changed)), keypair.pubkey_hex).reason == \
        "the disclosed event does not verify: self_hash mismatch"
    # A valid event at seq 3 of a rewritten chain by the same key.
    rewritten = record(tmp_path / "rewritten.ndjson", keypair, 4, tag="x")[3]
    assert cp.verify_proof(with_line(rewritten.to_json()), keypair.pubkey_hex).reason == \
        "the inclusion proof of event 3 does not lead to the checkpoint's root hash"
    stranger = record(tmp_path / "stranger.ndjson", other, 4)[3]
    assert cp.verify_proof(with_line(stranger.to_json()), keypair.pubkey_hex).reason == \
        f"the disclosed event is signed by {other.pubkey_hex}, not by {keypair.pubkey_hex}"
    moved = proof.replace("\nindex 3\n", "\nindex 2\n")
    assert cp.verify_proof(moved, keypair.pubkey_hex).reason == \
        "the disclosed event has seq 3, the proof's index is 2"


def test_every_flipped_character_of_a_proof_fails(tmp_path, keypair):
    path = tmp_path / "small.ndjson"
    record(path, keypair, 3)
    proof = cp.prove(path, 1, cp.make_checkpoint(path, keypair).note)
    assert cp.verify_proof(proof, keypair.pubkey_hex).ok
    for i in range(len(proof)):
        flipped = proof[:i] + chr(ord(proof[i]) ^ 1) + proof[i + 1:]
        try:
            check = cp.verify_proof(flipped, keypair.pubkey_hex)
        except cp.CheckpointError:
            continue
        assert not check.ok, (i, flipped)


@pytest.mark.parametrize("edit, message", [
    (lambda p: p.replace("@v1", "@v2", 1), "not a proof: not a proof file"),
    (lambda p: p.replace("\nindex 1\n", "\nindex 01\n"), "not a proof: the index has leading zeros"),
    (lambda p: p.replace("\n", "\r\n", 1), "not a proof: the proof contains a CR character"),
    (lambda p: p.replace("\nextra ", "\nextra !"), "not a proof: extra: invalid base64"),
    (lambda p: p.replace("\n\n", "\n", 1), "not a proof: proof hash: invalid base64: length 73"),
    (lambda p: p.replace("\nextra ", "\nextra e30=\nx"), "not a proof: the third line"),
])
def test_malformed_proofs(tmp_path, keypair, edit, message):
    path = tmp_path / "small.ndjson"
    record(path, keypair, 3)
    proof = cp.prove(path, 1, cp.make_checkpoint(path, keypair).note)
    with pytest.raises(cp.CheckpointError, match="^" + re.escape(message)):
        cp.verify_proof(edit(proof), keypair.pubkey_hex)


# ---------------------------------------------------------------------------
# The worked example of the README, byte for byte

README = __import__("pathlib").Path(__file__).parents[2] / "README.md"
EXAMPLE_EVENTS = [
    ("SessionStarted", {"agent_id": "agent", "model_id": "model", "session_id": "s-1"}),
    ("UtteranceSpoken", {"text_sha256": "ab", "text": "Hello.", "audio_sha256": "cd"}),
    ("SessionEnded", {"reason": "done", "summary_sha256": "ef"}),
]


def example_lines():
    """Ledger lines at fixed times, hashed by tallyvox, signed and written here."""
    private = Ed25519PrivateKey.from_private_bytes(SEED)
    public = private.public_key().public_bytes_raw().hex()
    parent, lines = tallyvox.GENESIS_PARENT_HASH, []
    for seq, (kind, payload) in enumerate(EXAMPLE_EVENTS):
        stamp = 1_700_000_000_000_000_000 + seq * 1_000_000_000
        digest = tallyvox.compute_self_hash(seq=seq, timestamp_nanos=stamp, parent_hash=parent,
                                            event=events.from_dict({"type": kind, "payload": payload}))
        lines.append(json.dumps({
            "seq": seq, "timestamp_nanos": stamp, "event": {"type": kind, "payload": payload},
            "parent_hash": parent, "self_hash": digest,
            "signature": private.sign(bytes.fromhex(digest)).hex(), "signer_pubkey": public,
        }, separators=(",", ":")))
        parent = digest
    return lines


def block(text):
    return f"```text\n{text if text.endswith(chr(10)) else text + chr(10)}```\n"


def test_readme_worked_example(tmp_path, keypair):
    lines = example_lines()
    path = tmp_path / "example.ndjson"
    path.write_text("\n".join(lines) + "\n")
    assert tallyvox.verify_file(path).ok
    assert [r.to_json() for r in tallyvox.read_ledger(path)] == lines
    hashes = [json.loads(line)["self_hash"] for line in lines]
    leaves = [bytes.fromhex(h) for h in hashes]
    made = cp.make_checkpoint(path, keypair)
    proof = cp.prove(path, 1, made.note)
    assert made.root == mth(leaves)
    assert read_note(made.note, keypair.pubkey_hex) == ("tallyvox/" + hashes[0], 3, made.root)
    assert read_proof(proof, keypair.pubkey_hex) == (lines[1], 1)
    assert proof.split("\n")[3:5] == [base64.b64encode(model_leaf(leaf)).decode()
                                      for leaf in (leaves[0], leaves[2])]
    readme = README.read_text(encoding="utf-8")
    assert f"(public key\n`{keypair.pubkey_hex}`)" in readme
    for text in ("\n".join(lines), "\n".join(hashes), made.root.hex(), made.note, proof):
        assert block(text) in readme, text
