"""A witness served by `tallyvox witness serve` on a loopback port, held to
the add-checkpoint protocol (c2sp.org/tlog-witness) with requests and
checks written from the formats (tests/python/tlog_model.py): every answer,
its cosignatures, its state across kill -9, and racing clients."""

import os
import random
import re
import signal
import sqlite3
import threading
import time

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from tlog_model import (COSIGNER, ModelLog, add_checkpoint_body, cosignature_times, model_consistency,
                        model_sign, model_vkey, mth, public_of, synthetic_leaves)
from witness_harness import run_cli, start_witness

pytest.importorskip("aiohttp")

ORIGIN = "example.org/log"
LOG_SEED, OTHER_LOG_SEED, WITNESS_SEED, STRANGER_SEED = (bytes([i]) * 32 for i in (1, 2, 3, 4))
TEXT = "text/plain; charset=utf-8"
SIZE = "text/x.tlog.size"


def logs(fork_at=6, n=12):
    """A log and a fork of it by the same key: the same first `fork_at` leaves."""
    trunk = synthetic_leaves(n)
    return (ModelLog(ORIGIN, LOG_SEED, trunk),
            ModelLog(ORIGIN, LOG_SEED, trunk[:fork_at] + synthetic_leaves(n - fork_at, b"fork")))


@pytest.fixture
def witness(tmp_path):
    log, _ = logs()
    served = start_witness(tmp_path, "w.example", WITNESS_SEED,
                           [log.vkey, ModelLog("example.org/other", OTHER_LOG_SEED, []).vkey])
    yield served
    served.stop()


def latest(db, origin=ORIGIN):
    with sqlite3.connect(db) as connection:
        row = connection.execute("SELECT size, root FROM checkpoints WHERE origin = ?", (origin,)).fetchone()
    return None if row is None else (int(row[0]), bytes(row[1]))


def refusals(db):
    with sqlite3.connect(db) as connection:
        return connection.execute("SELECT status, old_size, count FROM refusals ORDER BY rowid").fetchall()


def test_every_answer_of_the_protocol(witness):
    trunk, fork = logs()
    stranger = Ed25519PrivateKey.from_private_bytes(STRANGER_SEED)
    note6 = trunk.note(6)
    tampered_sig = note6[:-10] + ("A" if note6[-10] != "A" else "B") + note6[-9:]
    bad_proof = [bytes(32)] + model_consistency(6, trunk.leaves[:8])[1:]
    assert model_consistency(6, trunk.leaves[:8])[0] != bytes(32)
    steps = [
        # (body, status, the answer's text or None, kept as evidence of the log's)
        (trunk.body(0, 4), 200, None, False),
        (trunk.body(0, 6), 409, "4\n", True),
        (trunk.body(4, 6), 200, None, False),
        (trunk.body(6, 6), 200, None, False),
        (fork.body(6, 6), 200, None, False),  # the fork shares the first 6 leaves
        (trunk.body(6, 8, bad_proof), 422, "the consistency proof from size 6 to 8 does not verify\n", True),
        (trunk.body(6, 8), 200, None, False),
        (fork.body(8, 8), 409, "8\n", True),  # the same size, another tree
        (fork.body(8, 9), 422, None, True),
        (trunk.body(9, 8, []), 400, "the old size 9 is beyond the checkpoint's 8\n", True),
        (trunk.body(0, 4, [bytes(32)]), 400, "a consistency proof from size 0 to 4 must be empty\n", True),
        (trunk.body(8, 8, [bytes(32)]), 400, "a consistency proof from size 8 to 8 must be empty\n", True),
        (b"old 0\n\n", 400, None, False),
        (b"new 0\n\n" + note6.encode(), 400, 'the first line is not "old <size>"\n', False),
        (b"old 0\n\n" + note6.encode()[:-1], 400, None, False),
        (b"old 0\n\n\xff" + note6.encode(), 400, "not a checkpoint: the note is not UTF-8\n", False),
        (add_checkpoint_body(0, [], ModelLog("example.org/nobody", LOG_SEED, []).note(0)), 404,
         "unknown log example.org/nobody\n", False),
        (add_checkpoint_body(0, [], model_sign(note6.partition("\n\n")[0] + "\n", ORIGIN, stranger)),
         403, f"the checkpoint is not signed by a key of {ORIGIN}\n", False),
        (add_checkpoint_body(0, [], tampered_sig), 403, None, False),
    ]
    connection = witness.connect()  # one keep-alive connection for them all
    try:
        for body, status, answer, kept in steps:
            before = int(time.time())
            got_status, content_type, text = witness.post(body, connection)
            assert got_status == status, (body, text)
            assert content_type == (SIZE if status == 409 else TEXT)
            if answer is not None:
                assert text == answer
            if status == 200:
                note = body.decode().split("\n\n", 1)[1]
                [stamp] = cosignature_times(note + text, "w.example", witness.public)
                assert before <= stamp <= int(time.time())
                assert text.startswith("\u2014 w.example ") and text.count("\n") == 1
    finally:
        connection.close()
    assert latest(witness.db) == (8, mth(trunk.leaves[:8]))
    # Each signed note is kept once per status, counted each time it comes,
    # whatever old size and proof come with it.
    kept = {}
    for body, status, _, keep in steps:
        if keep:
            key = (body.decode().split("\n\n", 1)[1], status)
            kept[key] = kept.get(key, 0) + 1
    assert [(row[0], row[2]) for row in refusals(witness.db)] == [(s, n) for (_, s), n in kept.items()]
    for old in (0, 1, 2, 3):
        assert witness.post(trunk.body(old, 6, []))[0] == 409
    assert refusals(witness.db)[0] == (409, "3", 1 + 4)
    assert witness.post(b"x" * (64 * 1024 + 1))[0] == 413
    assert witness.post(b"", method="GET")[0] == 405
    witness.stop()
    log = witness.stderr
    assert log.count("refused a checkpoint signed by the log") == 11
    assert log.count("WARNING") == 3  # the fork evidence: 422, and another tree of size 8
    assert "409 another tree of size 8 was cosigned (old size 8, size 8)" in log


def test_a_log_prefix_serves_a_family_of_logs_by_one_key(tmp_path):
    public = public_of(Ed25519PrivateKey.from_private_bytes(LOG_SEED)).hex()
    served = start_witness(tmp_path, "w.example", WITNESS_SEED,
                           [("prefix", "example.org/agent/", public)])
    leaves = synthetic_leaves(3)
    try:
        for origin, seed, status in [
            ("example.org/agent/call-1", LOG_SEED, 200), ("example.org/agent/call-2", LOG_SEED, 200),
            ("example.org/agent/call-3", STRANGER_SEED, 403), ("example.org/agentX", LOG_SEED, 404),
        ]:
            got, _, text = served.post(ModelLog(origin, seed, leaves).body(0, 3))
            assert got == status, (origin, text)
        assert latest(served.db, "example.org/agent/call-2") == (3, mth(leaves))
    finally:
        served.stop()


def test_serve_refuses_what_it_cannot_use(tmp_path):
    trunk, _ = logs()
    stranger = Ed25519PrivateKey.from_private_bytes(STRANGER_SEED)
    key, db = tmp_path / "w.key", tmp_path / "w.db"
    key.write_bytes(WITNESS_SEED)
    (tmp_path / "other.db").write_bytes(b"not sqlite" * 100)
    assert run_cli("witness", "init", "--db", db).returncode == 0
    again = run_cli("witness", "init", "--db", db)
    assert again.returncode == 2 and "exists already" in again.stderr
    usable = {"--db": db, "--log": trunk.vkey, "--listen": "127.0.0.1:0"}
    for change, message in [
        ({"--db": tmp_path / "missing.db"}, "no witness database at .*witness init"),
        ({"--db": tmp_path / "other.db"}, "is not a witness database"),
        ({"--listen": "127.0.0.1"}, "error: argument"), ({"--listen": "h:99999"}, "error: argument"),
        ({"--log": trunk.vkey[:-2]}, "error: argument"),
        ({"--log": model_vkey("w", public_of(stranger), COSIGNER)}, "error: argument"),
    ]:
        args = [x for pair in {**usable, **change}.items() for x in pair]
        result = run_cli("witness", "serve", "--key", key, "--name", "w", *args)
        assert result.returncode == 2 and re.search(message, result.stderr), change


def _client(witness, branches, stop, cosigned, rng):
    """Submits random checkpoints of either branch until `stop` or a dead server."""
    old = 0
    try:
        connection = witness.connect()
        while not stop.is_set():
            branch = rng.choice(branches)
            size = rng.randint(old, len(branch.leaves))
            status, _, text = witness.post(branch.body(old, size), connection)
            if status == 409:
                old = int(text)
            elif status == 200:
                cosigned.append((size, mth(branch.leaves[:size])))
                old = size
            elif status == 422 or status == 400:
                old = 0 if rng.random() < 0.2 else old
    except OSError:
        return  # killed


def test_kill_9_never_leads_to_two_inconsistent_cosignatures(tmp_path):
    trials = int(os.environ.get("TALLYVOX_WITNESS_KILLS", "4"))
    rng = random.Random(1)
    trunk, fork = logs(fork_at=20, n=120)
    served = start_witness(tmp_path, "w.example", WITNESS_SEED, [trunk.vkey])
    served.stop()
    cosigned, durable = [], 0
    for _ in range(trials):
        served.start()
        stop = threading.Event()
        clients = [threading.Thread(target=_client, args=(served, [trunk, fork], stop, cosigned,
                                                          random.Random(rng.random())))
                   for _ in range(3)]
        for thread in clients:
            thread.start()
        time.sleep(rng.uniform(0.05, 0.4))
        answered = max((size for size, _ in cosigned), default=0)
        served.stop(signal.SIGKILL)
        stop.set()
        for thread in clients:
            thread.join(timeout=30)
        state = latest(served.db)
        # Whatever was answered is on disk; the state never moves back.
        assert state is None or state[0] >= max(answered, durable)
        durable = state[0] if state else 0
    beyond_fork = {root in {mth(trunk.leaves[:size])} for size, root in cosigned if size > 20}
    assert len(beyond_fork) <= 1, "cosigned both sides of the fork"
    for size, root in cosigned:
        assert root in (mth(trunk.leaves[:size]), mth(fork.leaves[:size]))
    assert len(cosigned) > trials  # the clients did get through


def test_racing_submissions_never_roll_the_state_back(witness):
    trunk = ModelLog(ORIGIN, LOG_SEED, synthetic_leaves(70))
    assert witness.post(trunk.body(0, 10))[0] == 200
    targets = list(range(11, 61))
    random.Random(2).shuffle(targets)
    barrier = threading.Barrier(len(targets))
    moves, lock = [], threading.Lock()

    def race(target):
        old, connection = 10, witness.connect()
        barrier.wait()
        for _ in range(len(targets) + 5):
            if old > target:
                return
            status, _, text = witness.post(trunk.body(old, target), connection)
            if status == 200:
                with lock:
                    moves.append((old, target))
                return
            assert status == 409, text
            old = int(text)

    threads = [threading.Thread(target=race, args=(t,)) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    # The moves that grew the tree form one chain from 10: no two started
    # from the same size, none from a size the state had left.
    chain = sorted(move for move in moves if move[0] < move[1])
    state = 10
    for old, new in sorted(chain, key=lambda move: move[1]):
        assert old == state, chain
        state = new
    assert state == 60 == latest(witness.db)[0]
    states = {10, *(new for _, new in chain)}
    assert {old for old, new in moves if old == new} <= states
