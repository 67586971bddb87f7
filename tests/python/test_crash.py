"""Crash consistency: a process recording from several threads is killed with
SIGKILL at a random moment; `tallyvox recover` and `tallyvox verify` then both
exit 0, and the ledger is resumed and killed again.

Trials: TALLYVOX_CRASH_TRIALS (default 15), each with TALLYVOX_CRASH_ROUNDS
kills on one ledger (default 2); TALLYVOX_CRASH_SEED fixes the random delays.
The same with group commits (AsyncSession producers and record_many):
TALLYVOX_GROUP_CRASH_TRIALS (default 30) of TALLYVOX_GROUP_CRASH_ROUNDS kills
(default 1).

Also `recover` run against a live writer of 2 MB events for
TALLYVOX_RACE_SECONDS (default 3): refused every time, nothing lost.
"""
import contextlib
import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

import tallyvox as t
from tallyvox import cli
from tallyvox import events as ev

CHILD = pathlib.Path(__file__).resolve().parent.parent / "faults" / "crash_child.py"
GROUP_CHILD = CHILD.parent / "group_child.py"
GENESIS = "0" * 64
TRIALS = int(os.environ.get("TALLYVOX_CRASH_TRIALS", "15"))
ROUNDS = int(os.environ.get("TALLYVOX_CRASH_ROUNDS", "2"))
SEED = int(os.environ.get("TALLYVOX_CRASH_SEED", str(time.time_ns() % 2**32)))
THREADS = 4
MAX_DELAY = 0.15
# The race of recovery against a writer: its length, and the size of each event.
RACE_SECONDS = float(os.environ.get("TALLYVOX_RACE_SECONDS", "3"))
BIG_EVENT_BYTES = 2 * 1024 * 1024
GROUP_TRIALS = int(os.environ.get("TALLYVOX_GROUP_CRASH_TRIALS", "30"))
GROUP_ROUNDS = int(os.environ.get("TALLYVOX_GROUP_CRASH_ROUNDS", "1"))
PRODUCERS = 16
MAX_MANY = 20  # the largest record_many of the group child


def slow_writes(injector, ledger):
    """Every write to the ledger passes one byte at a time, so that a kill
    often lands inside a line and leaves it torn."""
    preload = " ".join(p for p in [os.environ.get("LD_PRELOAD"), str(injector)] if p)
    return {"LD_PRELOAD": preload, "TALLYVOX_FAULTS_ROOT": str(ledger.parent),
            "TALLYVOX_FAULTS": f"write:path={ledger.name}:short=1:times=0"}


@contextlib.contextmanager
def live_child(ledger, env, *args, child=CHILD):
    """Runs the recording child on `ledger` and gives it once its session is
    open; on leaving, kills it with SIGKILL (it must still be running) and
    fills the set given with the (seq, self_hash) pairs of the record calls
    that returned."""
    proc = subprocess.Popen([sys.executable, str(child), str(ledger), *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    chunks = []
    ready = threading.Event()

    def drain():
        for line in proc.stdout:
            if line == b"ready\n":
                ready.set()
            chunks.append(line)
        ready.set()

    reader = threading.Thread(target=drain)
    reader.start()
    printed = set()
    try:
        assert ready.wait(60), "the child did not start"
        yield printed
        assert proc.poll() is None, proc.stderr.read().decode()
        os.kill(proc.pid, signal.SIGKILL)
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        reader.join()
        proc.stderr.close()
    assert proc.returncode == -signal.SIGKILL
    assert chunks and chunks[0] == b"ready\n"
    for line in chunks[1:]:
        assert line.endswith(b"\n")  # each line went out in one pipe write
        seq, self_hash = line.split()
        printed.add((int(seq), self_hash.decode()))


def run_and_kill(ledger, delay, walks, env):
    """Kills the child `delay` seconds after it is ready, verifying the ledger
    meanwhile (outcomes appended to `walks`); returns the (seq, self_hash)
    pairs of the record calls that returned."""
    with live_child(ledger, env, THREADS) as printed:
        deadline = time.monotonic() + delay
        while time.monotonic() < deadline:
            try:
                report = t.verify_file(ledger)
                walks.append((report.ok, report.event_count, report.root_hash, report.reason))
            except t.ChainError as e:  # a line still being written
                walks.append((None, 0, None, str(e)))
    return printed


def read_back(ledger):
    """The records of the ledger's lines (the last may lack its LF)."""
    data = ledger.read_bytes() if ledger.exists() else b""
    *complete, tail = data.split(b"\n")
    return [json.loads(line) for line in complete + ([tail] if tail else [])]


def assert_one_chain_holding(ledger, printed, in_flight, note):
    """File order is seq order and the chain links, whatever was cut off;
    every call that returned is in the file with its hash, and at most
    `in_flight` events are there without their call having returned."""
    records = read_back(ledger)
    assert [r["seq"] for r in records] == list(range(len(records))), note
    parent = GENESIS
    for r in records:
        assert r["parent_hash"] == parent, note
        parent = r["self_hash"]
    in_file = {(r["seq"], r["self_hash"]) for r in records}
    assert printed <= in_file, note
    assert len(in_file - printed) <= in_flight, note
    return records


def recover_then_verify(ledger, note):
    """Runs `tallyvox recover` then `tallyvox verify`, both exiting 0; all
    that recovery may add is the torn line's file."""
    before = set(ledger.parent.iterdir())
    assert cli.main(["recover", str(ledger)]) == 0, note
    assert cli.main(["verify", str(ledger)]) == 0, note
    aside = set(ledger.parent.iterdir()) - before
    assert all(p.name.startswith(ledger.name + ".torn-") for p in aside), note


@pytest.mark.parametrize("trial", range(TRIALS))
def test_killed_while_recording(tmp_path, trial, capsys, injector, child_env):
    rng = random.Random(SEED + trial)
    note = f"seed {SEED} trial {trial}"
    ledger = tmp_path / "crash" / "ledger.ndjson"
    # Odd trials write byte by byte, so that torn lines are common.
    env = child_env(slow_writes(injector, ledger) if trial % 2 else {})
    printed = set()
    walks = []
    for _ in range(ROUNDS):
        printed |= run_and_kill(ledger, rng.uniform(0, MAX_DELAY), walks, env)
        recover_then_verify(ledger, note)
        # Only calls still in flight (one per thread at most) may be in the
        # file without having returned.
        records = assert_one_chain_holding(ledger, printed, THREADS * ROUNDS, note)
    capsys.readouterr()

    # Walks made while the child ran saw a valid prefix of the final chain, or
    # a last line still being written.
    by_seq = {r["seq"]: r["self_hash"] for r in records}
    for ok, count, root, reason in walks:
        if ok is None:
            assert reason.startswith("malformed ledger input: EOF while parsing"), note
        else:
            assert ok, (reason, note)
            assert root == (by_seq[count - 1] if count else GENESIS), note
    session = t.Session.open(keypair=t.SigningKeypair.generate(), ledger_path=ledger,
                             session_id="after")
    r = session.record(ev.session_ended(reason="after", summary_sha256="ab"))
    assert (r.seq, r.parent_hash) == (len(records), records[-1]["self_hash"] if records
                                      else GENESIS), note
    assert t.verify_file(ledger).event_count == len(records) + 1


@pytest.mark.parametrize("trial", range(GROUP_TRIALS))
def test_killed_during_group_commits(tmp_path, trial, capsys, injector, child_env):
    """Killed while AsyncSession batches and record_many batches are written:
    every event whose await or record_many returned is in the ledger after
    recovery, in one chain that verifies and resumes."""
    rng = random.Random(SEED + 7919 * trial)
    note = f"seed {SEED} group trial {trial}"
    ledger = tmp_path / "group" / "ledger.ndjson"
    # Every third trial writes byte by byte, so that kills land inside batches.
    env = child_env(slow_writes(injector, ledger) if trial % 3 == 2 else {})
    printed = set()
    for done in range(1, GROUP_ROUNDS + 1):
        with live_child(ledger, env, PRODUCERS, child=GROUP_CHILD) as returned:
            time.sleep(rng.uniform(0, MAX_DELAY))
        printed |= returned
        recover_then_verify(ledger, note)
        # In flight at a kill: one record per producer and one record_many.
        records = assert_one_chain_holding(ledger, printed, (PRODUCERS + MAX_MANY) * done, note)
    capsys.readouterr()
    with t.Session.open(keypair=t.SigningKeypair.generate(), ledger_path=ledger,
                        session_id="after") as session:
        assert session.record_many([ev.session_ended(reason="after", summary_sha256="ab")])[0].seq \
            == len(records), note
    assert t.verify_file(ledger).event_count == len(records) + 1


# --- recovery racing a live writer ------------------------------------------------


def test_recover_racing_a_writer_of_big_events(tmp_path, capsys, child_env):
    """`recover` run over and over against a process recording 2 MB events is
    refused every time, so it cannot take a line still being written for a
    torn one; once the writer is killed, recovery takes its torn line aside
    and every record that returned is in the ledger, in one valid chain."""
    ledger = tmp_path / "race" / "ledger.ndjson"
    refusal = f'the ledger "{ledger}" is open by another writer'
    attempts = 0
    with live_child(ledger, child_env(), 2, BIG_EVENT_BYTES) as printed:
        deadline = time.monotonic() + RACE_SECONDS
        while time.monotonic() < deadline or attempts == 0:
            with pytest.raises(t.LedgerError) as excinfo:
                t.recover_ledger(ledger)
            assert str(excinfo.value) == refusal
            attempts += 1
        assert cli.main(["recover", str(ledger)]) == 2
        assert capsys.readouterr().err == f"tallyvox: {ledger}: {refusal}\n"
    assert printed, "no record returned while recovery was refused"
    recover_then_verify(ledger, f"after {attempts} refused recoveries")
    in_file = {(r["seq"], r["self_hash"]) for r in read_back(ledger)}
    assert printed <= in_file
    assert sorted(seq for seq, _ in in_file) == list(range(len(in_file)))


# --- a torn last line, cut at every byte -----------------------------------------


@pytest.fixture(scope="module")
def chain():
    kp = t.SigningKeypair.generate()
    first = t.sign_event(event=ev.session_ended(reason="done", summary_sha256="ab"), seq=0,
                         parent_hash=GENESIS, keypair=kp)
    ascii_last = t.sign_event(
        event=ev.tool_called(tool_name="x", args_sha256="y",
                             args_redacted={"k": [1, -2.5e-7, None, True, False, "s"]}),
        seq=1, parent_hash=first.self_hash, keypair=kp)
    wide_last = t.sign_event(
        event=ev.utterance_spoken(text_sha256="t", text="caf\u00e9 \u20ac \U0001f4e6",
                                  audio_sha256="a"),
        seq=1, parent_hash=first.self_hash, keypair=kp)
    return kp, first, ascii_last, wide_last


@pytest.mark.parametrize("which", ["ascii", "non-ascii"])
def test_every_cut_of_the_last_line(tmp_path, chain, which):
    kp, first, ascii_last, wide_last = chain
    last = (ascii_last if which == "ascii" else wide_last).to_json().encode()
    head = first.to_json().encode() + b"\n"
    path = tmp_path / "l"
    outcomes = set()
    for cut in range(1, len(last) + 1):
        piece = last[:cut]
        path.write_bytes(head + piece)
        try:
            piece.decode("utf-8")
            whole_characters = True
        except UnicodeDecodeError:
            whole_characters = False
        if cut == len(last):
            # A complete line without its LF is read normally.
            report = t.verify_file(path)
            assert (report.ok, report.event_count) == (True, 2)
            r = t.Session.open(keypair=kp, ledger_path=path, session_id="s").record(
                ev.session_ended(reason="x", summary_sha256="y"))
            assert r.seq == 2
            kind = "whole"
        elif whole_characters:
            with pytest.raises(t.LedgerError) as excinfo:
                t.Session.open(keypair=kp, ledger_path=path, session_id="s")
            assert str(excinfo.value).startswith("json: EOF while parsing"), piece
            with pytest.raises(t.ChainError) as excinfo:
                t.verify_file(path)
            assert str(excinfo.value).startswith(
                "malformed ledger input: EOF while parsing"), piece
            kind = "torn"
        else:
            # Cut inside a character: the line is not UTF-8, which is an
            # io error for both, before any JSON is read.
            for call in (lambda: t.Session.open(keypair=kp, ledger_path=path, session_id="s"),
                         lambda: t.verify_file(path)):
                with pytest.raises(t.LedgerError) as excinfo:
                    call()
                assert str(excinfo.value) == "io: stream did not contain valid UTF-8"
            kind = "split-character"
        assert path.read_bytes().startswith(head + piece)
        if kind != "whole" and kind not in outcomes:
            # The way back: the piece goes aside and the ledger resumes.
            done = t.recover_ledger(path)
            assert (done.kept_events, done.kept_bytes, done.removed_bytes) == (1, len(head), cut)
            assert path.read_bytes() == head
            r = t.Session.open(keypair=kp, ledger_path=path, session_id="s").record(
                ev.session_ended(reason="x", summary_sha256="y"))
            assert (r.seq, r.parent_hash) == (1, first.self_hash)
        outcomes.add(kind)
    expected = {"whole", "torn"} | ({"split-character"} if which == "non-ascii" else set())
    assert outcomes == expected
