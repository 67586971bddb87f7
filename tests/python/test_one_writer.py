"""One writer per ledger: while a session holds a ledger, every other
Session, AsyncSession and recovery, in this process or another, is refused
and changes nothing; the lock goes when the session is closed, collected or
its process killed. Readers neither take the lock nor drop it."""
import asyncio
import gc
import os
import subprocess
import sys
import threading

import pytest

import tallyvox as t
from tallyvox import cli
from tallyvox import events as ev
from tallyvox.aio import AsyncSession

END = ev.session_ended(reason="done", summary_sha256="ab")
KEY = t.SigningKeypair.generate()

HOLD_IN_CHILD = """
import sys, tallyvox as t
s = t.Session.open(keypair=t.SigningKeypair.generate(), ledger_path=sys.argv[1], session_id="h")
s.record(t.events.session_ended(reason="held", summary_sha256="ab"))
print("ready", flush=True)
sys.stdin.read()
"""

OPEN_IN_CHILD = """
import sys, tallyvox as t
try:
    t.Session.open(keypair=t.SigningKeypair.generate(), ledger_path=sys.argv[1],
                   session_id="c").close()
    print("ok")
except t.LedgerError as e:
    print(e)
"""


def refused(path):
    return f'the ledger "{path}" is open by another writer'


def open_session(path):
    return t.Session.open(keypair=KEY, ledger_path=path, session_id="s")


async def open_async(path):
    return await AsyncSession.open(keypair=KEY, ledger_path=path, session_id="a")


def outcome(attempt, *args):
    """"ok", or the text of the LedgerError that refused the attempt."""
    try:
        attempt(*args)
        return "ok"
    except t.LedgerError as e:
        return str(e)


# --- holders: take the ledger, record one event, give back a release ---------
# (A with block lets go as close does: test_a_with_block_closes_the_session...)


def held_until_closed(path):
    s = open_session(path)
    s.record(END)
    return s.close


def held_until_collected(path):
    s = open_session(path)
    s.record(END)
    cycle = [s]
    cycle.append(cycle)  # once dropped, only the cycle collector frees it
    kept = [cycle]
    del s, cycle

    def drop():
        kept.clear()
        gc.collect()

    return drop


def held_by_an_async_session(path):
    async def start():
        s = await open_async(path)
        await s.record(END)
        return s

    s = asyncio.run(start())
    return lambda: asyncio.run(s.aclose())


def held_by_a_child_killed(path, child_env):
    child = subprocess.Popen([sys.executable, "-c", HOLD_IN_CHILD, str(path)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=child_env())
    assert child.stdout.readline() == b"ready\n"

    def kill():
        child.kill()  # SIGKILL: the kernel drops the lock with the process
        child.wait()
        child.stdin.close()
        child.stdout.close()

    return kill


HOLDERS = {"closed": held_until_closed, "collected": held_until_collected,
           "async": held_by_an_async_session, "child": held_by_a_child_killed}


# --- contenders: try to write; "ok" (and let go again) or the refusal ---------


def session_here(path, *_):
    return outcome(lambda: open_session(path).close())


async def open_and_aclose(path):
    await (await open_async(path)).aclose()


def session_in_a_child(path, capsys, child_env):
    run = subprocess.run([sys.executable, "-c", OPEN_IN_CHILD, str(path)], capture_output=True,
                         text=True, env=child_env(), timeout=60)
    assert run.returncode == 0, run.stderr
    return run.stdout.strip()


def recover_command(path, capsys, child_env):
    capsys.readouterr()
    code = cli.main(["recover", str(path)])
    out, err = capsys.readouterr()
    if code == 0:
        return "ok"
    assert code == 2
    [line] = err.splitlines()
    prefix = f"tallyvox: {path}: "
    assert line.startswith(prefix)
    return line[len(prefix):]


CONTENDERS = {"session": session_here,
              "async": lambda path, *_: outcome(asyncio.run, open_and_aclose(path)),
              "child": session_in_a_child,
              "recover": lambda path, *_: outcome(t.recover_ledger, path),
              "recover-command": recover_command}


@pytest.mark.parametrize("contender", CONTENDERS)
@pytest.mark.parametrize("holder", HOLDERS)
def test_a_second_writer_is_refused_until_the_first_lets_go(tmp_path, holder, contender,
                                                          capsys, child_env):
    path = tmp_path / "ledger.ndjson"
    take = HOLDERS[holder]
    release = take(path, child_env) if holder == "child" else take(path)
    attempt = CONTENDERS[contender]
    before = path.read_bytes()
    assert attempt(path, capsys, child_env) == refused(path)
    assert path.read_bytes() == before
    # Readers take no lock, and opening and closing the file drops none.
    assert [r.seq for r in t.read_ledger(path)] == [0]
    assert t.verify_file(path).ok
    assert cli.main(["verify", str(path)]) == 0
    assert cli.main(["show", str(path)]) == 0
    assert attempt(path, capsys, child_env) == refused(path)
    release()
    assert attempt(path, capsys, child_env) == "ok"
    with open_session(path) as s:
        assert s.record(END).seq == 1  # the chain goes on from the holder's event
    assert t.verify_file(path).event_count == 2


def test_a_with_block_closes_the_session_and_lets_its_exception_through(tmp_path):
    with pytest.raises(ZeroDivisionError):
        with open_session(tmp_path / "l") as s:
            assert isinstance(s, t.Session) and not s.closed
            s.record(END)
            1 / 0
    assert (s.closed, s.close(), s.closed) == (True, None, True)  # closing again is quiet
    with pytest.raises(t.LedgerError) as excinfo:
        s.record(END)
    assert str(excinfo.value) == "the session is closed"
    assert (s.session_id, repr(s)) == ("s", "Session(session_id='s')")
    with open_session(tmp_path / "l") as again:  # the with block let go of the ledger
        assert again.record(END).seq == 1  # and the refused record wrote nothing
    with pytest.raises(TypeError) as excinfo:
        again.__exit__(None, None)
    assert str(excinfo.value) == "Session.__exit__() missing 1 required positional argument: " \
                                 "'traceback'"


def test_close_waits_for_the_records_in_flight(tmp_path):
    """Threads record while the main thread closes: every record that returned
    is in the file, in seq order; every later one is refused unwritten."""
    s = open_session(tmp_path / "l")
    returned, refusals, started = [], [], threading.Barrier(5)

    def work():
        started.wait()
        while True:
            try:
                returned.append(s.record(END).seq)
            except t.LedgerError as e:
                refusals.append(str(e))
                return

    threads = [threading.Thread(target=work) for _ in range(4)]
    for th in threads:
        th.start()
    started.wait()
    while len(returned) < 20:
        pass
    s.close()
    for th in threads:
        th.join()
    assert refusals == ["the session is closed"] * 4
    assert [r.seq for r in t.read_ledger(tmp_path / "l")] == sorted(returned) == \
        list(range(len(returned)))


def test_an_async_session_closes_the_session_it_opened_but_not_one_it_was_given(tmp_path):
    path = tmp_path / "l"

    async def opened_then_closed():
        async with await open_async(path) as s:
            await s.record(END)
        return s.session.closed

    assert asyncio.run(opened_then_closed()) is True
    given = open_session(path)

    async def wrapped_then_closed():
        async with AsyncSession(given) as s:
            await s.record(END)

    asyncio.run(wrapped_then_closed())
    assert not given.closed
    assert given.record(END).seq == 2  # still the caller's to use
    assert session_here(path) == refused(path)
    given.close()
    assert session_here(path) == "ok"


DROPPED_AT_EXIT = {
    # 300 records queued from a loop; the session dropped, the loop closed.
    "record-dropped": """
async def main():
    s = await AsyncSession.open(keypair=KEY, ledger_path=PATH, session_id="c")
    for i in range(300):
        s.record(numbered(i))
asyncio.run(main())
""",
    # Queued without a loop, the session dropped at once.
    "submit-dropped": """
s = AsyncSession(tallyvox.Session.open(keypair=KEY, ledger_path=PATH, session_id="c"))
for i in range(300):
    s.submit(numbered(i))
del s
""",
    # Queued from another thread, which ends before the main thread does.
    "thread-dropped": """
def fill():
    s = asyncio.run(AsyncSession.open(keypair=KEY, ledger_path=PATH, session_id="c"))
    for i in range(300):
        s.submit(numbered(i))
th = threading.Thread(target=fill)
th.start()
th.join()
""",
}


@pytest.mark.parametrize("case", DROPPED_AT_EXIT)
def test_events_queued_at_exit_are_all_written(tmp_path, case, child_env):
    path = tmp_path / "l.ndjson"
    script = f"""
import asyncio, threading
import tallyvox
from tallyvox import events
from tallyvox.aio import AsyncSession
KEY, PATH = tallyvox.SigningKeypair.generate(), {str(path)!r}
def numbered(i):
    return events.tool_called(tool_name="t", args_sha256="aa", args_redacted={{"i": i}})
{DROPPED_AT_EXIT[case]}"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=child_env(), timeout=120)
    assert (run.returncode, run.stderr) == (0, "")
    assert t.verify_file(path).ok
    assert [r.event["payload"]["args_redacted"]["i"] for r in t.read_ledger(path)] == \
        list(range(300))


@pytest.mark.parametrize("path,text", [
    ("/dev/null", "io: not a regular file (a device)"),
    ("fifo", "io: not a regular file (a FIFO)"),
])
def test_only_a_regular_file_is_opened_for_writing(tmp_path, child_env, path, text):
    # (A directory: test_session.py; recover on each: test_hostile.py.) In a child, so that a FIFO
    # that blocked the open would fail by timeout.
    if path == "fifo":
        os.mkfifo(tmp_path / "fifo")
    run = subprocess.run([sys.executable, "-c", OPEN_IN_CHILD, path], cwd=tmp_path,
                         capture_output=True, text=True, env=child_env(), timeout=60)
    assert (run.stdout, run.returncode) == (text + "\n", 0)
