"""AsyncSession: call order under gather, errors to the awaiting caller,
draining on close, and an event loop that keeps ticking while it records."""
import asyncio
import gc
import os
import random
import subprocess
import sys
import threading
import time

import pytest

import tallyvox as t
from tallyvox import events as ev
from tallyvox.aio import AsyncSession

# Records in flight while the loop's lag is measured (TALLYVOX_LAG_RECORDS=N
# pytest -s ... prints it). Group commit writes 300 in about 10 ms, within
# two switches of the interpreter lock, so the run must be longer than that
# for a quarter of it to tell a blocked loop from an ordinary thread switch.
RECORDS = int(os.environ.get("TALLYVOX_LAG_RECORDS", "2000"))


def numbered(i):
    return ev.tool_called(tool_name=f"t{i}", args_sha256="aa", args_redacted={"i": i})


def ledger_numbers(path):
    report = t.verify_file(path)
    assert report.ok, report.reason
    return [s.event["payload"]["args_redacted"]["i"] for s in t.read_ledger(path)]


async def opened(tmp_path, name="ledger.ndjson"):
    return await AsyncSession.open(keypair=t.SigningKeypair.generate(),
                                   ledger_path=tmp_path / name, session_id="c")


def test_gather_keeps_call_order_whatever_order_results_are_awaited(tmp_path):
    async def main():
        async with await opened(tmp_path) as s:
            pending = [s.record(numbered(i)) for i in range(300)]
            random.Random(7).shuffle(pending)
            return await asyncio.gather(*pending)

    signed = asyncio.run(main())
    assert sorted((x.seq, x.event["payload"]["args_redacted"]["i"]) for x in signed) == \
        [(i, i) for i in range(300)]
    assert ledger_numbers(tmp_path / "ledger.ndjson") == list(range(300))


def test_interleaved_tasks_leave_the_order_of_their_calls(tmp_path):
    calls = []  # the order in which record was called, across every task

    async def worker(s, k, rng):
        for j in range(40):
            n = k * 1000 + j
            calls.append(n)
            pending = s.record(numbered(n))
            if rng.random() < 0.5:
                await pending
            else:
                await asyncio.sleep(0)

    async def main():
        async with await opened(tmp_path) as s:
            await asyncio.gather(*(worker(s, k, random.Random(k)) for k in range(6)))

    asyncio.run(main())
    assert ledger_numbers(tmp_path / "ledger.ndjson") == calls


def test_failures_reach_the_awaiting_caller_and_the_queue_goes_on(tmp_path):
    async def main():
        s = await opened(tmp_path)
        first, bad, last = s.record(numbered(0)), s.record("not an event"), s.record(numbered(1))
        with pytest.raises(TypeError):
            await bad
        await s.aclose()
        return (await first).seq, (await last).seq

    assert asyncio.run(main()) == (0, 1)
    assert ledger_numbers(tmp_path / "ledger.ndjson") == [0, 1]


def test_open_failure_reaches_the_caller(tmp_path):
    (tmp_path / "file").write_text("")
    with pytest.raises(t.LedgerError, match="^io: "):
        asyncio.run(opened(tmp_path, "file/ledger.ndjson"))


def test_close_drains_the_queue_and_refuses_new_events(tmp_path):
    async def main():
        s = await opened(tmp_path)
        pending = [s.record(numbered(i)) for i in range(200)]
        closing = s.close()
        assert s.flush() is closing
        for late in (lambda: s.record(numbered(-1)), lambda: s.submit(numbered(-1))):
            with pytest.raises(t.LedgerError, match="^the session is closed$"):
                late()
        await s.aclose()  # again: waits for the same drain
        assert s.closed and all(p.done() for p in pending)

    asyncio.run(main())
    assert ledger_numbers(tmp_path / "ledger.ndjson") == list(range(200))


def test_a_cancelled_wait_still_writes_its_event(tmp_path):
    async def main():
        async with await opened(tmp_path) as s:
            pending = [s.record(numbered(i)) for i in range(50)]
            for p in pending[10:20]:
                p.cancel()
            await asyncio.sleep(0)

    asyncio.run(main())
    assert ledger_numbers(tmp_path / "ledger.ndjson") == list(range(50))


def test_wrapping_a_session_continues_its_chain_and_submit_needs_no_loop(tmp_path):
    path = tmp_path / "ledger.ndjson"
    session = t.Session.open(keypair=t.SigningKeypair.generate(), ledger_path=path,
                             session_id="c")
    session.record(numbered(0))
    s = AsyncSession(session)
    assert s.session is session and s.session_id == "c"
    pending = s.submit(numbered(1))
    s.flush().result()
    assert pending.done() and pending.result().seq == 1

    async def main():
        async with s:
            return (await s.record(numbered(2))).parent_hash

    parent = asyncio.run(main())
    assert parent == t.read_ledger(path)[1].self_hash
    assert ledger_numbers(path) == [0, 1, 2]
    with pytest.raises(TypeError, match="expected a tallyvox.Session, got str"):
        AsyncSession("ledger.ndjson")


def test_queued_events_are_written_before_the_interpreter_exits(tmp_path):
    path = tmp_path / "ledger.ndjson"
    # The first exit handler runs last, after the writers are drained: waiting
    # for a flush there must not hang.
    script = f"""
import atexit
late = []
atexit.register(lambda: [wait() for wait in late])
import tallyvox as t
from tallyvox import events as ev
from tallyvox.aio import AsyncSession
s = AsyncSession(t.Session.open(keypair=t.SigningKeypair.generate(),
                                ledger_path={str(path)!r}, session_id="c"))
for i in range(100):
    s.submit(ev.tool_called(tool_name="t", args_sha256="aa", args_redacted={{"i": i}}))
late.append(lambda: s.flush().result())
"""
    subprocess.run([sys.executable, "-c", script], check=True, timeout=120)
    assert ledger_numbers(path) == list(range(100))


def test_a_dropped_session_ends_its_writer_thread(tmp_path):
    before = set(threading.enumerate())
    s = AsyncSession(t.Session.open(keypair=t.SigningKeypair.generate(),
                                    ledger_path=tmp_path / "l.ndjson", session_id="c"))
    s.submit(numbered(0)).result()
    (writer,) = set(threading.enumerate()) - before
    assert writer.name == "tallyvox-writer"
    del s
    gc.collect()
    writer.join(timeout=10)
    assert not writer.is_alive()


def test_the_event_loop_keeps_ticking_while_records_are_in_flight(tmp_path):
    """A ticker asks for 1 ms sleeps while records are in flight; its worst
    oversleep is the loop's lag. A writer that blocked the loop would make
    that lag as long as the whole run."""

    async def main():
        s = await opened(tmp_path)
        worst, stop = 0.0, asyncio.Event()

        async def ticker():
            nonlocal worst
            while not stop.is_set():
                before = time.perf_counter()
                await asyncio.sleep(0.001)
                worst = max(worst, time.perf_counter() - before - 0.001)

        tick = asyncio.create_task(ticker())
        await asyncio.sleep(0.01)
        start, pending = time.perf_counter(), []
        for i in range(0, RECORDS, 25):
            pending += [s.record(numbered(n)) for n in range(i, i + 25)]
            await asyncio.sleep(0)
        await asyncio.gather(*pending)
        total = time.perf_counter() - start
        stop.set()
        await tick
        await s.aclose()
        return worst, total

    worst, total = asyncio.run(main())
    print(f"\nworst event-loop lag {worst * 1e3:.2f} ms over {total * 1e3:.0f} ms "
          f"for {RECORDS} records")
    assert worst < total / 4
    assert ledger_numbers(tmp_path / "ledger.ndjson") == list(range(RECORDS))


USAGE = '''\
import asyncio
import tallyvox
from tallyvox import events
from tallyvox.aio import AsyncSession
from tallyvox.integrations._common import Recorder

async def main() -> int:
    keypair = tallyvox.SigningKeypair.generate()
    async with await AsyncSession.open(keypair=keypair, ledger_path="l", session_id="c") as s:
        signed: tallyvox.SignedEvent = await s.record(events.session_ended(
            reason="done", summary_sha256="ab"))
        Recorder(s, strict=True).record(events.session_ended(reason="d", summary_sha256="a"), "x")
        await s.record({"type": "SessionEnded"})
    return signed.seq
'''


def test_the_modules_type_check_strictly(strict_mypy):
    """mypy --strict over the installed modules, then over a use of them: clean
    but for the one wrong call."""
    assert strict_mypy(USAGE, "-m", "tallyvox.aio", "-m", "tallyvox.integrations._common") == ""
    wrong = USAGE.splitlines().index('        await s.record({"type": "SessionEnded"})') + 1
    errors = strict_mypy(USAGE, "use.py").splitlines()
    assert [line.split(":")[:2] for line in errors] == [["use.py", str(wrong)]], errors
