"""Verifier keys, cosignatures, the auditor's quorum and the witness's state,
held to the model of tests/python/tlog_model.py (hashlib and cryptography)."""

import base64
import sqlite3

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from hypothesis import given, settings
from hypothesis import strategies as st
from tlog_model import (COSIGNER, NOTE_SIGNER, ModelLog, checkpoint_text, model_cosign,
                        model_sign, model_vkey, mth, public_of, synthetic_leaves)

import tallyvox
from tallyvox import checkpoint as cp
from tallyvox._tallyvox import _native
from tallyvox.witness import Vkey, WitnessError, load_sizes, save_sizes, verify_cosignatures
from tallyvox.witness import Witness, state

SEEDS = [bytes([i]) * 32 for i in range(1, 7)]
ORIGIN = "example.org/log"


def keypair(tmp_path, seed):
    path = tmp_path / f"k{seed[0]}"
    path.write_bytes(seed)
    path.chmod(0o600)
    return tallyvox.SigningKeypair.load(path)


def private(seed):
    return Ed25519PrivateKey.from_private_bytes(seed)


# ---------------------------------------------------------------------------
# Verifier keys and cosignatures against the model


@pytest.mark.parametrize("name", ["example.org/log", "w", "sum.example", "λ.example/ünï"])
@pytest.mark.parametrize("cosigner", [False, True])
def test_vkeys_are_the_models(tmp_path, name, cosigner):
    for seed in SEEDS:
        kind = COSIGNER if cosigner else NOTE_SIGNER
        text = model_vkey(name, public_of(private(seed)), kind)
        made = Vkey.of(keypair(tmp_path, seed), name, cosigner=cosigner)
        assert str(made) == text
        assert Vkey.parse(text) == made
        assert (made.name, made.type, made.cosigner, made.public_key) == (
            name, kind, cosigner, public_of(private(seed)))
        assert made.key_id.to_bytes(4, "big") == bytes.fromhex(text.split("+")[1])


@pytest.mark.parametrize("text", ["", "a+b", "a+0000000+AQ==", "a b+01234567+" + "A" * 44,
                                  "a+01234567+" + base64.b64encode(bytes(33)).decode()])
def test_malformed_vkeys_raise(text):
    with pytest.raises(ValueError):
        Vkey.parse(text)


@pytest.mark.parametrize("time", [0, 1, 1_700_000_000, 2**63, 2**64 - 1])
def test_cosignatures_are_the_models(tmp_path, time):
    text = checkpoint_text(ORIGIN, synthetic_leaves(5))
    witness = keypair(tmp_path, SEEDS[1])
    line = _native.cosign(text, "w.example", witness, time)
    assert line == model_cosign(text, "w.example", private(SEEDS[1]), time)  # Ed25519 is deterministic
    note = model_sign(text, ORIGIN, private(SEEDS[0])) + line
    vkey = model_vkey("w.example", public_of(private(SEEDS[1])), COSIGNER)
    assert _native.check_cosignatures(note, [vkey]) == (0, [(0, time)])


def test_quorum_of_cosignatures(tmp_path):
    text = checkpoint_text(ORIGIN, synthetic_leaves(3))
    note = model_sign(text, ORIGIN, private(SEEDS[0]))
    names = ["w1", "w2", "w3", "w4", "w5"]
    keys = {n: model_vkey(n, public_of(private(s)), COSIGNER) for n, s in zip(names, SEEDS[1:])}
    now = 2_000_000_000
    note += model_cosign(text, "w1", private(SEEDS[1]), now - 60)
    note += model_cosign(text, "w2", private(SEEDS[2]), now + 1)  # in the future
    note += model_cosign(text + "x\n", "w3", private(SEEDS[3]), now)  # over another text
    note += model_cosign(text, "w5", private(SEEDS[5]), now)  # a witness nobody asked about
    note += model_cosign(text, "w4", private(SEEDS[1]), now)  # w4's name, w1's key
    trusted = [keys["w1"], keys["w2"], keys["w3"], keys["w4"]]
    check = verify_cosignatures(note, trusted, 1, now=now)
    assert check.ok and check.quorum == 1
    assert [(c.witness.name, c.time) for c in check.cosigned] == [("w1", now - 60)]
    assert [(u.witness.name, u.reason) for u in check.uncounted] == [
        ("w2", "cosigned at 2033-05-18T03:33:21Z, in the future"),
        ("w3", "has a cosignature that does not verify"),
        ("w4", "did not cosign"),
    ]
    assert check.text.startswith("cosigned by 1 of 4 witnesses, 1 required: w1 at 2033-05-18T03:32:20Z; w2 ")
    assert not verify_cosignatures(note, trusted, 2, now=now).ok
    assert verify_cosignatures(note, trusted[:2], now=now + 1).ok  # w2's time has come
    assert verify_cosignatures(note, [keys["w5"], keys["w1"], keys["w1"]], 2, now=now).ok
    document = verify_cosignatures(note, trusted[:1], now=now).to_json()
    assert document == {"ok": True, "reason": None, "quorum": 1, "uncounted": [], "cosigned": [
        {"witness": "w1", "vkey": keys["w1"], "time": now - 60, "utc": "2033-05-18T03:32:20Z"}]}
    for quorum in (0, 5):
        with pytest.raises(ValueError, match=f"a quorum of {quorum} out of 4 witnesses"):
            verify_cosignatures(note, trusted, quorum)
    with pytest.raises(ValueError, match="not the key of a witness"):
        verify_cosignatures(note, [model_vkey("w1", public_of(private(SEEDS[1])), NOTE_SIGNER)])
    with pytest.raises(cp.CheckpointError, match="not a checkpoint: the note has no blank line"):
        verify_cosignatures(text, trusted)


def test_every_flipped_character_of_a_cosignature_fails(tmp_path):
    text = checkpoint_text(ORIGIN, synthetic_leaves(7))
    note = model_sign(text, ORIGIN, private(SEEDS[0]))
    line = _native.cosign(text, "w.example", keypair(tmp_path, SEEDS[1]), 1_700_000_000)
    vkey = model_vkey("w.example", public_of(private(SEEDS[1])), COSIGNER)
    assert verify_cosignatures(note + line, [vkey], now=2**64 - 1).ok
    for i in range(len(line) - 1):
        flipped = line[:i] + chr(ord(line[i]) ^ 1) + line[i + 1:]
        try:
            check = verify_cosignatures(note + flipped, [vkey], now=2**64 - 1)
        except cp.CheckpointError:
            continue
        assert not check.ok, (i, flipped)


VALID_BODY = ModelLog(ORIGIN, SEEDS[0], synthetic_leaves(9)).body(5, 9)


@settings(max_examples=300, deadline=None)
@given(st.one_of(st.binary(max_size=600),
                 st.tuples(st.integers(0, len(VALID_BODY)), st.integers(0, 8), st.binary(max_size=8)).map(
                     lambda m: VALID_BODY[:m[0]] + m[2] + VALID_BODY[m[0] + m[1]:])))
def test_any_body_gets_a_protocol_answer(body):
    keys = {ORIGIN: [public_of(private(SEEDS[0]))]}
    status, reason, parsed = _native.read_add_checkpoint(body, keys)
    assert status in (0, 400, 403, 404) and (status == 0) == (reason == "")
    # The request comes back when the log's signature verified: accepted, or
    # refused with 400 although the body reads (a log with no keys: 404).
    readable = _native.read_add_checkpoint(body, {})[0] == 404
    assert (parsed is not None) == (status == 0 or (status == 400 and readable))
    if status == 0:
        assert parsed[-1].encode() in body


# ---------------------------------------------------------------------------
# Note reading: extension lines, failing lines of the key, log vkeys


def test_note_reading(tmp_path):
    log = keypair(tmp_path, SEEDS[0])
    text = checkpoint_text(ORIGIN, synthetic_leaves(4))
    extended = model_sign(text + "tile 4\nfoo bar\n", ORIGIN, private(SEEDS[0]))
    opened = cp.open_checkpoint(extended, log.pubkey_hex)
    assert (opened.origin, opened.size, opened.note) == (ORIGIN, 4, extended)
    good = model_sign(text, ORIGIN, private(SEEDS[0]))
    bad_line = model_sign(checkpoint_text(ORIGIN, synthetic_leaves(5)), ORIGIN, private(SEEDS[0]))
    bad_line = bad_line[bad_line.rindex("\u2014"):]
    for note in (good + bad_line, text + "\n" + bad_line + good[good.rindex("\u2014"):]):
        with pytest.raises(cp.CheckpointFailed, match="signature by .* does not verify"):
            cp.open_checkpoint(note, log.pubkey_hex)
    vkey = str(Vkey.of(log, ORIGIN))
    assert cp.open_checkpoint(good, vkey) == cp.open_checkpoint(good, log.pubkey_hex)
    with pytest.raises(cp.CheckpointFailed, match=f"origin {ORIGIN} is not the key's name other"):
        cp.open_checkpoint(model_sign(text, ORIGIN, private(SEEDS[0])), str(Vkey.of(log, "other")))
    with pytest.raises(ValueError, match="not the key of a log"):
        cp.open_checkpoint(good, str(Vkey.of(log, ORIGIN, cosigner=True)))


# ---------------------------------------------------------------------------
# The state, against a model witness that knows the trees


def model_verdict(held, tree, old_size, size):
    """The status the protocol gives, from the whole trees rather than proofs."""
    held_size, held_tree = held
    if old_size != held_size:
        return 409
    if size == held_size and mth(tree[:size]) != mth(held_tree):
        return 409
    return 200 if mth(tree[:old_size]) == mth(held_tree) else 422


BRANCHES = [synthetic_leaves(30), synthetic_leaves(12) + synthetic_leaves(18, b"b"),
            synthetic_leaves(3) + synthetic_leaves(27, b"c")]


def request(tree, old_size, size):
    log = ModelLog(ORIGIN, SEEDS[0], tree)
    status, reason, parsed = _native.read_add_checkpoint(log.body(old_size, size),
                                                         {ORIGIN: [public_of(log.private)]})
    assert status == 0, reason
    return state.Request(*parsed)


@settings(max_examples=25, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 2), st.integers(0, 30), st.integers(0, 30), st.booleans()),
                min_size=1, max_size=12),
       st.randoms(use_true_random=False))
def test_state_follows_the_model(tmp_path_factory, steps, rng):
    path = tmp_path_factory.mktemp("state") / "w.db"
    state.create(path)
    held, expected_refusals = (0, []), 0
    with state.WitnessState(path) as db:
        batch, model = [], []
        for branch, a, b, flush in steps:
            old_size, size = sorted((a, b))
            if rng.random() < 0.5:  # often the size the witness holds
                old_size = min(held[0], size)
            tree = BRANCHES[branch]
            status = model_verdict(held, tree, old_size, size)
            if status == 200:
                held = (size, tree[:size]) if size > held[0] else held
            expected_refusals += status != 200
            batch.append(request(tree, old_size, size))
            model.append(status)
            if flush:
                assert [v.status for v in db.apply(batch)] == model
                batch, model = [], []
        assert [v.status for v in db.apply(batch)] == model
        assert (db.latest(ORIGIN) or (0, mth([]))) == (held[0], mth(held[1]))
        assert sum(row[4] for row in db.refusals()) == expected_refusals


def test_state_file_rules(tmp_path):
    path = tmp_path / "w.db"
    with pytest.raises(state.WitnessStateError, match="no witness database at .*witness init"):
        state.WitnessState(path)
    state.create(path)
    with pytest.raises(state.WitnessStateError, match="exists already"):
        state.create(path)
    with sqlite3.connect(path) as db:
        assert db.execute("PRAGMA journal_mode").fetchone() == ("wal",)
    other = tmp_path / "other.db"
    sqlite3.connect(other).execute("CREATE TABLE t (x)").connection.close()
    garbage = tmp_path / "garbage.db"
    garbage.write_bytes(bytes(range(256)) * 16)
    for wrong in (other, garbage):
        with pytest.raises(state.WitnessStateError, match="is not a witness database"):
            state.WitnessState(wrong)
    with state.WitnessState(path) as db:
        assert db.apply([request(BRANCHES[0], 0, 3)])[0].status == 200
        # Sizes are kept as text: SQLite's integers stop at 2^63 - 1.
        db._db.execute("UPDATE checkpoints SET size = ?", (str(2**64 - 1),))
        assert db.latest(ORIGIN)[0] == 2**64 - 1


# ---------------------------------------------------------------------------
# The client's inputs


def test_witness_specs_and_sizes_file(tmp_path):
    vkey = model_vkey("w.example", public_of(private(SEEDS[1])), COSIGNER)
    witness = Witness.parse(f"http://127.0.0.1:8080/prefix/={vkey}")
    assert (witness.url, str(witness.vkey), witness.name) == ("http://127.0.0.1:8080/prefix", vkey, "w.example")
    for bad, message in [(vkey, "not URL=VKEY"), (f"ftp://x={vkey}", "not URL=VKEY"),
                         ("http://x=" + model_vkey("w", public_of(private(SEEDS[1])), NOTE_SIGNER),
                          "not the key of a witness"), ("http://x=nope", "http://x: not a verifier key")]:
        with pytest.raises(WitnessError, match=message):
            Witness.parse(bad)
    sizes = tmp_path / "cp.witness-sizes.json"
    assert load_sizes(sizes) == {}
    origins = {ORIGIN: {vkey: 12}, "λ/other": {vkey: 2**64 - 1}}
    save_sizes(sizes, origins)
    assert load_sizes(sizes) == origins
    for text in ("[]", "{", '{"format": "x", "origins": {}}',
                 '{"format": "tallyvox-witness-sizes/1", "origins": {"o": {"k": -1}}}'):
        sizes.write_text(text)
        with pytest.raises(WitnessError, match="cp.witness-sizes.json"):
            load_sizes(sizes)


# ---------------------------------------------------------------------------
# The witnessed worked example of the README, byte for byte

README = __import__("pathlib").Path(__file__).parents[2] / "README.md"


def test_readme_witnessed_example():
    # The vkeys and cosignatures of the code are the model's (above), so the
    # README's example is checked against the model.
    readme = README.read_text(encoding="utf-8")
    witness, log = private(bytes(range(32, 64))), private(bytes(range(32)))
    origin = "tallyvox/c174628c7fd71f93273edeecd8b9d48be18cac81534304a7a4457c5aa12b62c5"
    text = f"{origin}\n3\nAPkw7C7wd0EOizXT/ncGLh4a1kgdpyacpgPQueHfcq0=\n"
    vkeys = [model_vkey("witness.example.org", public_of(witness), COSIGNER),
             model_vkey(origin, public_of(log), NOTE_SIGNER)]
    note = model_sign(text, origin, log) + model_cosign(text, "witness.example.org", witness,
                                                        1_700_000_000)
    for block in ("\n".join(vkeys) + "\n", note):
        assert f"```text\n{block}```\n" in readme, block
    assert f"(public key\n`{public_of(witness).hex()}`)" in readme
    # The other vkey of the README's commands is that of its log key too.
    assert model_vkey("example.org/agent-7", public_of(log), NOTE_SIGNER) in readme
