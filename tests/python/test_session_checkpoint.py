"""Checkpoints while recording: Session.checkpoint against make_checkpoint of
the same ledger, and the checkpoint policy a session carries out."""
import asyncio
import logging
import os
import pathlib
import random
import sys

import pytest

import tallyvox as t
from tallyvox import checkpoint as cp
from tallyvox import events as ev
from tallyvox import policy as pol
from tallyvox.aio import AsyncSession

from witness_harness import run_cli, start_witness

LOGGER = "tallyvox"


KEY = t.SigningKeypair.generate()
END = ev.session_ended(reason="r", summary_sha256="s")


def random_event(rng, i):
    """An event whose line differs from event to event (the leaves are the
    lines' hashes, whatever their kind)."""
    text = "".join(rng.choice("ab\u00e9\U0001f4e6 ") for _ in range(rng.randrange(8)))
    return ev.utterance_spoken(text_sha256=f"{i:064x}", text=text, audio_sha256="a")


@pytest.fixture
def foreign(tmp_path):
    """A ledger whose first event another key signed, and the refusal of it."""
    path = tmp_path / "l.ndjson"
    with t.Session.open(keypair=t.SigningKeypair.generate(), ledger_path=path,
                        session_id="x") as s:
        s.record(END)
    return path, f"event 0 is not signed by {KEY.pubkey_hex}"


@pytest.fixture
def blocked(tmp_path):
    """A checkpoint directory that cannot be made: a file stands in its place."""
    directory = tmp_path / "checkpoints"
    directory.write_text("a file where the directory should be")
    return directory


def outcome(fn, *args):
    """A checkpoint, or the class and text of its refusal."""
    try:
        return fn(*args)
    except t.TallyvoxError as exc:
        return type(exc), str(exc)


# --- Session.checkpoint is make_checkpoint of the same ledger -----------------


def test_checkpoint_equals_make_checkpoint_at_every_size_and_after_resumes(tmp_path):
    """From 0 to 300 events, recorded one at a time or through record_many,
    with the session closed and resumed at random sizes, the session's
    checkpoint is byte for byte the one make_checkpoint reads from the file
    (and an empty ledger is refused by both in the same words)."""
    rng = random.Random(2024)
    path = tmp_path / "l.ndjson"
    resumes = set(rng.sample(range(1, 300), 3)) | {0}
    session = None
    for size in range(301):
        if size in resumes:
            if session is not None:
                session.close()
            session = t.Session.open(keypair=KEY, ledger_path=path, session_id="p")
        for origin in [None] + ([f"example.org/log-{size}"] if size % 7 == 0 else []):
            mine = outcome(session.checkpoint, origin)
            assert mine == outcome(cp.make_checkpoint, path, KEY, origin), (size, origin)
            if size == 0 and origin is None:
                assert mine == (cp.CheckpointError, "the ledger is empty: give an origin, "
                                                    "there is no first event to name it by")
            else:
                assert session.last_checkpoint == mine.note
        if rng.random() < 0.5:
            session.record(random_event(rng, size))
        else:
            session.record_many([random_event(rng, size)])
    session.close()


def test_checkpoint_refuses_what_it_cannot_vouch_for(tmp_path, foreign):
    """A resumed ledger with another signer is refused as make_checkpoint
    refuses it; a bad origin too; a closed session raises LedgerError."""
    path, refusal = foreign
    s = t.Session.open(keypair=KEY, ledger_path=path, session_id="y")
    s.record(END)
    for origin in (None, "bad origin"):
        refused = outcome(s.checkpoint, origin)
        assert refused == outcome(cp.make_checkpoint, path, KEY, origin)
    assert refused == (cp.CheckpointFailed, refusal)
    assert s.last_checkpoint is None
    s.close()
    with pytest.raises(t.LedgerError, match="^the session is closed$"):
        s.checkpoint()
    with pytest.raises(cp.CheckpointError, match="^invalid origin: "):
        t.Session.open(keypair=KEY, ledger_path=tmp_path / "m", session_id="z").checkpoint("a b")


# --- where a policy writes -------------------------------------------------------


@pytest.mark.parametrize("origin,name", [
    ("tallyvox/" + "c1" * 32, "tallyvox%2F" + "c1" * 32),
    ("log.example.org/a_b-c", "log.example.org%2Fa_b-c"),
    (".hidden", "%2Ehidden"),
    ("..", "%2E."),
    ("caf\u00e9%~", "caf%C3%A9%25%7E"),
])
def test_checkpoint_paths(tmp_path, origin, name):
    assert pol.origin_file_name(origin) == name
    assert pol.checkpoint_paths(tmp_path, origin, 12) == (
        str(tmp_path / f"{name}.checkpoint"), str(tmp_path / name / "12.checkpoint"))


def test_origin_file_names_are_distinct_single_names():
    rng = random.Random(5)
    alphabet = "aZ9._-/%~ \u00e9\U0001f4e6"
    origins = {"".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 300)))
               for _ in range(3000)}
    origins |= {"x" * 400 + tail for tail in ("a", "b", "%", "\u00e9")}
    names = {pol.origin_file_name(o) for o in origins}
    assert len(names) == len(origins)
    for n in names:
        assert "/" not in n and not n.startswith(".") and len(n.encode()) <= 200


# --- the policy --------------------------------------------------------------------


@pytest.mark.parametrize("fields,error,message", [
    ({"every_events": 0}, ValueError, "every_events must be a whole number from 1, or None: 0"),
    ({"every_events": 2.0}, ValueError, "every_events must be"),
    ({"every_events": True}, ValueError, "every_events must be"),
    ({"every_seconds": 0}, ValueError, "every_seconds must be a finite number above 0, or None: 0"),
    ({"every_seconds": float("inf")}, ValueError, "every_seconds must be"),
    ({"every_seconds": "5"}, ValueError, "every_seconds must be"),
    ({"at_close": 1}, TypeError, "at_close must be True or False: 1"),
    ({"strict": None}, TypeError, "strict must be True or False: None"),
    ({"directory": b"d"}, TypeError, "directory must be a str path, not bytes"),
    ({"witnesses": "w"}, TypeError, "witnesses must be a sequence of witnesses"),
    ({"quorum": 1}, ValueError, "quorum must be a whole number from 0 to the 0 witnesses: 1"),
    ({"witnesses": ["a", "b"], "quorum": -1}, ValueError, "quorum must be"),
])
def test_policy_fields_are_checked(fields, error, message):
    with pytest.raises(error) as excinfo:
        t.CheckpointPolicy(**fields)
    assert str(excinfo.value).startswith(message)


def test_policy_normalises_its_paths_and_witnesses(tmp_path):
    policy = t.CheckpointPolicy(every_seconds=1, directory=tmp_path, witnesses=["a"], quorum=1)
    assert (policy.directory, policy.witnesses) == (str(tmp_path), ("a",))


def test_a_policy_that_is_not_one_is_refused_before_the_ledger_is_made(tmp_path,
                                                                        raises_with_note):
    path = tmp_path / "new" / "l.ndjson"
    raises_with_note(TypeError, "'dict' object is not an instance of 'CheckpointPolicy'",
                     "checkpoints", t.Session.open, keypair=t.SigningKeypair.generate(),
                     ledger_path=path, session_id="s", checkpoints={"every_events": 1})
    assert not path.parent.exists()


@pytest.fixture
def clock(monkeypatch):
    now = [1000.0]
    monkeypatch.setattr(pol, "_clock", lambda: now[0])
    return now


def written(directory, origin):
    """The sizes of the per-size files, and the size of the latest."""
    latest, each = pol.checkpoint_paths(directory, origin, 0)
    each = os.path.dirname(each)
    sizes = sorted(int(n.split(".")[0]) for n in os.listdir(each)) if os.path.isdir(each) else []
    last = None
    if os.path.exists(latest):
        last = t.open_checkpoint(pathlib.Path(latest).read_text(), KEY.pubkey_hex).size
    return sizes, last


# (policy fields, steps, checkpoint sizes written). A step is a batch size
# recorded through record_many (1: record), or ("wait", seconds).
POLICIES = [
    ({"every_events": 3}, [1, 1, 1, 1, 5, 1, 1], [3, 9, 11]),
    ({"every_events": 3, "at_close": False}, [1, 1, 1, 1, 5, 1, 1], [3, 9]),
    ({"every_events": 1}, [1, 0, 2, 1], [1, 3, 4]),
    ({}, [4, 1], [5]),
    ({"at_close": False}, [4, 1], []),
    ({"every_seconds": 10}, [1, ("wait", 9), 1, ("wait", 1), 1, 1, ("wait", 10), 2], [3, 6]),
    ({"every_seconds": 10, "every_events": 2}, [1, ("wait", 10), 1, 1, 1, ("wait", 5), 1],
     [2, 4, 5]),
    ({"every_events": 2}, [], []),
]


@pytest.mark.parametrize("fields,steps,sizes", POLICIES)
def test_policy_writes_checkpoints_when_due(tmp_path, clock, fields, steps, sizes):
    directory = tmp_path / "checkpoints"
    path = tmp_path / "l.ndjson"
    policy = t.CheckpointPolicy(directory=directory, **fields)
    notes = {}
    with t.Session.open(keypair=KEY, ledger_path=path, session_id="p",
                        checkpoints=policy) as s:
        for step in steps:
            if isinstance(step, tuple):
                clock[0] += step[1]
            elif step == 1:
                s.record(ev.session_ended(reason="r", summary_sha256=str(clock[0])))
            else:
                s.record_many([END] * step)
            if s.last_checkpoint is not None:
                made = t.open_checkpoint(s.last_checkpoint, KEY.pubkey_hex)
                notes[made.size] = s.last_checkpoint
    if not sizes:
        assert not directory.exists()
        return
    origin = t.open_checkpoint(s.last_checkpoint, KEY.pubkey_hex).origin
    assert written(directory, origin) == (sizes, sizes[-1])
    for size in sizes:
        _, each = pol.checkpoint_paths(directory, origin, size)
        note = pathlib.Path(each).read_text()
        assert note == notes.get(size, s.last_checkpoint)
        check = t.verify_checkpoint(path, note)
        assert check.ok and check.checkpoint.size == size


def test_without_a_directory_the_note_is_only_kept(tmp_path):
    with t.Session.open(keypair=KEY, ledger_path=tmp_path / "l", session_id="p",
                        checkpoints=t.CheckpointPolicy(every_events=2)) as s:
        s.record_many([END] * 2)
        assert s.last_checkpoint == cp.make_checkpoint(tmp_path / "l", KEY).note
    assert sorted(os.listdir(tmp_path)) == ["l"]


def test_a_failed_write_is_logged_and_retried_at_the_next_trigger(tmp_path, blocked, caplog):
    path = tmp_path / "l.ndjson"
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        with t.Session.open(keypair=KEY, ledger_path=path, session_id="p",
                            checkpoints=t.CheckpointPolicy(every_events=2, directory=blocked)) as s:
            assert [s.record(END).seq for _ in range(5)] == [0, 1, 2, 3, 4]
            assert len(caplog.records) == 2
            blocked.unlink()
            s.record(END)  # the next trigger writes what failed, and its own
    assert all(r.name == LOGGER and r.levelno == logging.WARNING for r in caplog.records)
    # The second trigger tried the first checkpoint again, oldest first.
    for record in caplog.records:
        assert record.getMessage().startswith(
            f"{path}: the checkpoint of 2 events was not written to "
            f"{blocked} (tried again at the next checkpoint): ")
    origin = t.open_checkpoint(s.last_checkpoint, KEY.pubkey_hex).origin
    assert written(blocked, origin) == ([2, 4, 6], 6)
    assert t.verify_file(path).event_count == 6


def test_strict_raises_from_the_call_that_triggered_it(tmp_path, blocked):
    path = tmp_path / "l.ndjson"
    policy = t.CheckpointPolicy(every_events=2, directory=blocked, strict=True)
    s = t.Session.open(keypair=KEY, ledger_path=path, session_id="p", checkpoints=policy)
    s.record(END)
    for call in (lambda: s.record(END), lambda: s.record_many([END] * 3),
                 s.close):  # at close too, and the session is closed all the same
        with pytest.raises(OSError):
            call()
    assert s.closed
    s.close()  # nothing more to do
    # The events were recorded all the same.
    assert t.verify_file(path).event_count == 5


def test_a_ledger_that_cannot_be_checkpointed_is_logged_or_raised(foreign, caplog):
    path, refusal = foreign
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        with t.Session.open(keypair=KEY, ledger_path=path, session_id="p",
                            checkpoints=t.CheckpointPolicy(every_events=1)) as s:
            s.record(END)
    # Refused once: at close nothing is new, and nothing is left to retry.
    assert [r.getMessage() for r in caplog.records] == [f"{path}: no checkpoint: {refusal}"]
    strict = t.CheckpointPolicy(every_events=1, strict=True, at_close=False)
    with t.Session.open(keypair=KEY, ledger_path=path, session_id="p", checkpoints=strict) as s:
        with pytest.raises(cp.CheckpointFailed, match=f"^{refusal}$"):
            s.record(END)
    assert t.verify_file(path).event_count == 3


def test_witnesses_without_the_witness_module(tmp_path, caplog, monkeypatch):
    for name in ("tallyvox.witness", "tallyvox.witness.client"):
        monkeypatch.setitem(sys.modules, name, None)  # cannot be imported
    policy = t.CheckpointPolicy(every_events=1, witnesses=["w"], directory=tmp_path / "c")
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        with t.Session.open(keypair=KEY, ledger_path=tmp_path / "l", session_id="p",
                            checkpoints=policy) as s:
            s.record(END)
    # Sent from the policy's own thread, once or again at close.
    assert {r.getMessage() for r in caplog.records} == {
        f"{tmp_path / 'l'}: the checkpoint of 1 events was not submitted to witnesses (tried "
        "again at the next checkpoint): witness submission needs tallyvox.witness"}
    # Written all the same: the write does not wait for the witnesses.
    assert len(os.listdir(tmp_path / "c")) == 2
    strict = t.CheckpointPolicy(every_events=1, witnesses=["w"], strict=True, at_close=False)
    with t.Session.open(keypair=KEY, ledger_path=tmp_path / "l", session_id="p",
                        checkpoints=strict) as s:
        with pytest.raises(ValueError, match="^witness submission needs tallyvox.witness$"):
            s.record(END)


@pytest.fixture
def witnesses(tmp_path):
    """Two witnesses serving every ledger KEY signs under tallyvox/."""
    pytest.importorskip("aiohttp")
    family = [("prefix", "tallyvox/", KEY.pubkey_hex)]
    started = [start_witness(tmp_path, name, bytes([i]) * 32, family)
               for i, name in ((7, "w1.example"), (8, "w2.example"))]
    yield started
    for witness in started:
        witness.stop()


@pytest.mark.parametrize("reachable, quorum, cosigned", [
    (2, 0, True), (1, 1, True), (1, 0, False),
])
def test_a_policy_gets_its_checkpoints_cosigned(tmp_path, caplog, witnesses, reachable, quorum,
                                                cosigned):
    path, directory = tmp_path / "l", tmp_path / "c"
    urls = [f"{w.url}={w.vkey}" for w in witnesses[:reachable]]
    urls += [f"http://127.0.0.1:9={w.vkey}" for w in witnesses[reachable:]]  # nobody listens
    policy = t.CheckpointPolicy(every_events=2, directory=directory, witnesses=urls, quorum=quorum)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        with t.Session.open(keypair=KEY, ledger_path=path, session_id="p",
                            checkpoints=policy) as s:
            s.record_many([END] * 3)
            s.record(END)
    latest, each = pol.checkpoint_paths(directory, cp.make_checkpoint(path, KEY).origin, 4)
    assert pathlib.Path(latest).read_text() == pathlib.Path(each).read_text()
    assert run_cli("verify", path, "--checkpoint", latest).returncode == 0
    keys = [o for w in witnesses[:reachable] for o in ("--witness-key", w.vkey)]
    check = run_cli("verify", path, "--checkpoint", latest, *keys)
    assert check.returncode == (0 if cosigned else 1), check.stdout + check.stderr
    if cosigned:
        assert not caplog.records
    else:  # written all the same, unwitnessed; tried again at close
        assert caplog.records and all(
            "was not submitted to witnesses (tried again at the next checkpoint): cosigned by 1 "
            "of 2 witnesses, 2 required: w2.example: no answer" in r.getMessage()
            for r in caplog.records)


def record_async(path, policy, count):
    """`count` records gathered through an AsyncSession: their outcomes, and
    the session's last checkpoint before and after it is closed."""
    async def main():
        async with await AsyncSession.open(keypair=KEY, ledger_path=path, session_id="a",
                                           checkpoints=policy) as s:
            outcomes = await asyncio.gather(*(s.record(END) for _ in range(count)),
                                            return_exceptions=True)
            during = s.last_checkpoint
        return outcomes, during, s.last_checkpoint

    return asyncio.run(main())


def test_async_session_checkpoints_by_policy(tmp_path):
    directory, path = tmp_path / "checkpoints", tmp_path / "l.ndjson"
    outcomes, during, last = record_async(
        path, t.CheckpointPolicy(every_events=10, directory=directory), 64)
    assert [o.seq for o in outcomes] == list(range(64))
    assert t.open_checkpoint(during, KEY.pubkey_hex).size >= 10
    assert last == cp.make_checkpoint(path, KEY).note  # at close, of all 64
    sizes, latest = written(directory, t.open_checkpoint(last, KEY.pubkey_hex).origin)
    assert latest == 64 and sizes[-1] == 64 and all(b - a >= 10 for a, b in zip(sizes, sizes[1:-1]))


def test_async_strict_failure_reaches_the_batch_that_triggered_it(tmp_path, blocked):
    path = tmp_path / "l.ndjson"
    policy = t.CheckpointPolicy(every_events=1, directory=blocked, strict=True, at_close=False)
    outcomes, _, _ = record_async(path, policy, 5)
    assert all(isinstance(o, OSError) for o in outcomes), outcomes
    # Recorded all the same: the failure is the checkpoint's, not the events'.
    assert t.verify_file(path).event_count == 5
