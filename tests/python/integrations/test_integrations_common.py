"""The pieces every framework recorder shares: redaction, digests, JSON-able
copies, run pairing and the recording front that never breaks the agent."""
import asyncio
import concurrent.futures
import dataclasses
import hashlib
import logging
import threading
import time

import pytest

import tallyvox as t
from tallyvox import events as ev
from tallyvox.aio import AsyncSession
from tallyvox.integrations import _common as c

ABC = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
EMPTY = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"


@pytest.mark.parametrize("args, expected", [
    ({"city": "Paris", "card": {"number": "4111"}}, {"city": "***", "card": "***"}),
    ({1: "x", None: 2}, {"1": "***", "None": "***"}),
    ({}, {}),
    ("card 4111 1111", "***"),
    (["a", "b"], "***"),
    (None, "***"),
])
def test_default_redactor_keeps_names_and_hides_every_value(args, expected):
    assert c.redact_values(args) == expected


@pytest.mark.parametrize("data, digest", [
    ("abc", ABC), (b"abc", ABC), ("", EMPTY), (bytearray(b"abc"), ABC),
    ("é", hashlib.sha256(b"\xc3\xa9").hexdigest()),
])
def test_sha256_hex_is_over_the_exact_utf8_bytes(data, digest):
    assert c.sha256_hex(data) == digest


class Model:  # stands in for a pydantic model
    def model_dump(self, mode):
        assert mode == "json"
        return {"when": (2026, 12)}


@dataclasses.dataclass
class Point:
    x: int
    y: float


@pytest.mark.parametrize("value, expected", [
    ({"b": (1, 2), 3: [None, True]}, {"b": [1, 2], "3": [None, True]}),
    (2**64 - 1, 2**64 - 1), (2**64, str(2**64)), (-(2**63) - 1, str(-(2**63) - 1)),
    (float("nan"), "nan"), (float("-inf"), "-inf"), (1.5, 1.5),
    (Model(), {"when": [2026, 12]}),
    (Point(1, 2.5), {"x": 1, "y": 2.5}),
    (Point, str(Point)), (frozenset(), "frozenset()"), (b"\x00", "b'\\x00'"),
])
def test_jsonable_copies(value, expected):
    assert c.jsonable(value) == expected
    t.canonical_json(c.jsonable(value))  # always encodable


def test_sha256_json_digests_the_canonical_encoding():
    messages = [{"role": "user", "content": "héllo"}, ("x", 1.0)]
    canonical = '[{"content":"héllo","role":"user"},["x",1.0]]'.encode()
    assert c.sha256_json(messages) == hashlib.sha256(canonical).hexdigest()


class TestNeverBreak:
    def test_logs_and_swallows(self, caplog):
        with caplog.at_level(logging.ERROR, logger="tallyvox.integrations"):
            with c.never_break(False, "ToolCalled for 'x'"):
                raise t.LedgerError("io: disk full")
        (entry,) = caplog.records
        assert entry.name == "tallyvox.integrations"
        assert entry.getMessage() == "could not record ToolCalled for 'x'"
        assert str(entry.exc_info[1]) == "io: disk full"

    def test_strict_re_raises_and_interrupts_always_pass(self, caplog):
        with pytest.raises(t.LedgerError), c.never_break(True, "x"):
            raise t.LedgerError("io: disk full")
        assert len(caplog.records) == 1
        with pytest.raises(KeyboardInterrupt), c.never_break(False, "x"):
            raise KeyboardInterrupt


class TestRuns:
    def test_each_run_begins_and_ends_once(self):
        runs = c.Runs()
        assert runs.begin("a", "data") and not runs.begin("a", "other")
        time.sleep(0.02)
        data, ms = runs.end("a")
        assert data == "data" and 20 <= ms < 2000
        assert runs.end("a") is None and runs.end("never") is None
        assert not runs.begin("a", "again")  # a late duplicate start
        assert runs.once("b") and not runs.once("b") and not runs.begin("b", 1)

    def test_remembers_only_the_last_finished_ids(self):
        runs = c.Runs(memory=2)
        for key in "abc":
            assert runs.once(key)
        assert runs.once("a") and not runs.once("c")

    def test_threads_racing_on_one_id_record_it_once(self):
        runs, wins, barrier = c.Runs(), [], threading.Barrier(8)

        def race():
            barrier.wait()
            for key in range(200):
                if runs.begin(key, None):
                    wins.append(("begin", key))
                if runs.end(key) is not None:
                    wins.append(("end", key))

        threads = [threading.Thread(target=race) for _ in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        assert sorted(wins) == sorted([(w, k) for k in range(200) for w in ("begin", "end")])


def ended(i):
    return ev.session_ended(reason=f"r{i}", summary_sha256="ab")


def reasons(path):
    assert t.verify_file(path).ok
    return [s.event["payload"]["reason"] for s in t.read_ledger(path)]


@pytest.fixture(params=["Session", "AsyncSession"])
def front(request, tmp_path):
    """A Recorder over a Session or an AsyncSession, and a way to finish it."""
    path = tmp_path / "ledger.ndjson"
    session = t.Session.open(keypair=t.SigningKeypair.generate(), ledger_path=path,
                             session_id="c")
    target = session if request.param == "Session" else AsyncSession(session)
    made = []

    def make(strict=False):
        made.append(c.Recorder(target, strict=strict))
        return made[-1]

    def finish():
        for recorder in made:
            recorder.close().result()
        if isinstance(target, AsyncSession):
            target.close().result()
        return reasons(path)

    return make, finish, target


class TestRecorder:
    def test_sync_and_async_records_land_in_order(self, front):
        make, finish, _ = front
        recorder = make()

        async def main():
            recorder.record(ended(0), "a")
            await recorder.arecord(ended(1), "b")
            await asyncio.gather(*(recorder.arecord(ended(i), "c") for i in (2, 3, 4)))

        asyncio.run(main())
        recorder.record(ended(5), "d")
        assert finish() == [f"r{i}" for i in range(6)]

    @pytest.mark.parametrize("mode", ["sync", "async"])
    def test_failures_are_logged_or_raised_when_strict(self, front, mode, caplog):
        make, finish, target = front

        def attempt(recorder):
            if mode == "sync":
                return recorder.record("not an event", "the bad one")
            return asyncio.run(recorder.arecord("not an event", "the bad one"))

        attempt(make())
        with pytest.raises(TypeError):
            attempt(make(strict=True))
        finish()  # the writer has reported everything by now
        assert [r.getMessage() for r in caplog.records] == ["could not record the bad one"] * 2
        assert all(r.exc_info[0] is TypeError for r in caplog.records)

    def test_a_closed_async_session_is_a_logged_ledger_error(self, tmp_path, caplog):
        s = AsyncSession(t.Session.open(keypair=t.SigningKeypair.generate(),
                                        ledger_path=tmp_path / "l.ndjson", session_id="c"))
        s.close().result()
        assert c.Recorder(s).record(ended(0), "late") is None
        with pytest.raises(t.LedgerError, match="^the session is closed$"):
            c.Recorder(s, strict=True).record(ended(0), "late")
        assert [r.exc_info[0] for r in caplog.records] == [t.LedgerError] * 2

    def test_refuses_what_is_not_a_session(self):
        with pytest.raises(TypeError, match="got str$"):
            c.Recorder("ledger.ndjson")


@pytest.mark.parametrize("strict", [False, True])
def test_only_a_strict_recorder_waits_for_the_write(strict):
    gate = threading.Event()

    class Gated(AsyncSession):  # its writer finishes once the gate opens
        session_id = "g"

        def __init__(self):
            pass

        def submit(self, event):
            done = concurrent.futures.Future()
            threading.Thread(target=lambda: gate.wait() and done.set_result("signed")).start()
            return done

    threading.Timer(0.2, gate.set).start()
    assert c.Recorder(Gated(), strict=strict).record(ended(0), "x") == ("signed" if strict
                                                                        else None)
    assert gate.is_set() == strict


@pytest.mark.parametrize("error, reason", [
    (None, "completed"), (asyncio.CancelledError(), "cancelled"),
    (concurrent.futures.CancelledError(), "cancelled"), (ValueError("x"), "error: ValueError"),
    (KeyboardInterrupt(), "error: KeyboardInterrupt"), (t.LedgerError("io"), "error: LedgerError"),
])
def test_the_end_reason_names_what_ended_the_run(error, reason):
    assert c.end_reason(error) == reason


def test_runs_still_open_are_taken_once_and_a_call_never_returned_failed():
    runs = c.Runs()
    for key in "abc":
        runs.begin(key, key.upper())
    runs.end("b")
    assert [(k, d) for k, d, ms in runs.take_open()] == [("a", "A"), ("c", "C")]
    assert runs.take_open() == [] and runs.end("a") is None and not runs.begin("c", 1)
    assert "a" in runs and "z" not in runs
    signed = t.sign_event(event=c.unfinished_call("lookup", -5), seq=0,
                          parent_hash=t.GENESIS_PARENT_HASH, keypair=t.SigningKeypair.generate())
    assert signed.event["payload"] == {"tool_name": "lookup", "result_sha256": EMPTY, "latency_ms": 0,
                        "success": False}
