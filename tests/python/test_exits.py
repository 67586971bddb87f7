"""How long calls end: at interpreter exit with daemon threads inside them,
on Ctrl-C, and when their threads cannot start. Each runs in a subprocess."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

import tallyvox
from tallyvox import events

from report_fixtures import chain, write_ledger

# Threads that loop inside one call each, still running when the interpreter
# exits: CPython ends each as it asks for the GIL back.
DAEMONS = textwrap.dedent("""
    import io, sys, threading, time
    import tallyvox
    from tallyvox import events
    ledger, call = sys.argv[1], sys.argv[2]
    event = events.session_ended(reason="r", summary_sha256="s")
    keypair = tallyvox.SigningKeypair.generate()
    session = tallyvox.Session.open(keypair=keypair, ledger_path=ledger + ".own", session_id="s")
    data = open(ledger, "rb").read()
    calls = {
        "record": lambda: session.record(event),
        "verify_file": lambda: tallyvox.verify_file(ledger),
        "verify_stream": lambda: tallyvox.verify_stream(io.BytesIO(data)),
    }
    def loop():
        while True:
            calls[call]()
    for _ in range(4):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.3)
    print("exiting", flush=True)
""")


def ledger_of(path, count):
    """A valid ledger of `count` events, made without a session (fast)."""
    keypair = tallyvox.SigningKeypair.generate()
    event = events.tool_returned(tool_name="t", result_sha256="r", latency_ms=1, success=True)
    write_ledger(path, chain([event] * count, keypair))
    return keypair


@pytest.mark.parametrize("call", ["record", "verify_file", "verify_stream"])
def test_daemon_threads_inside_a_call_at_exit(tmp_path, call):
    # Short calls, so that threads often ask for the GIL back.
    ledger = tmp_path / "ledger.ndjson"
    ledger_of(ledger, 300)
    for attempt in range(3):  # the exit meets the threads at random points
        result = subprocess.run([sys.executable, "-c", DAEMONS, ledger, call],
                                capture_output=True, text=True, timeout=120)
        assert (result.returncode, result.stdout) == (0, "exiting\n"), result.stderr
        assert "FATAL" not in result.stderr and "terminate" not in result.stderr


@pytest.fixture(scope="module")
def big_ledger(tmp_path_factory):
    """A ledger that takes seconds to verify, made without a session, and
    beside it the checkpoint of another ledger (so that a check against it
    reads the whole ledger before it fails), and a ledger of blank lines
    that takes seconds to resume."""
    root = tmp_path_factory.mktemp("big")
    path = root / "ledger.ndjson"
    keypair = ledger_of(path, 30_000)
    small = root / "small.ndjson"
    tallyvox.Session.open(keypair=keypair, ledger_path=small, session_id="s").record(
        events.session_ended(reason="r", summary_sha256="s"))
    (root / "small.checkpoint").write_text(tallyvox.make_checkpoint(small, keypair).note)
    (root / "blank.ndjson").write_bytes(b"\n" * (256 << 20))
    return path


# A call that prints "ready" first, so that the signal comes mid-call.
INTERRUPTED = {
    "cli verify": "sys.exit(tallyvox.cli.main(['verify', '--jobs', '1', path]))",
    "cli verify --jobs 3": "sys.exit(tallyvox.cli.main(['verify', '--jobs', '3', path]))",
    # Two ledgers, one walk on each of two threads.
    "cli verify DIR": "sys.exit(tallyvox.cli.main(['verify', '--jobs', '2', dirname(path)]))",
    "cli show": "sys.exit(tallyvox.cli.main(['show', path]))",
    "verify_file": "tallyvox.verify_file(path)",
    "verify_checkpoint": "tallyvox.verify_checkpoint(path, note)",
    "verify_stream": "tallyvox.verify_stream(open(path, 'rb'))",
    "Session.open": "tallyvox.Session.open(keypair=tallyvox.SigningKeypair.generate(), "
                    "ledger_path=path.replace('ledger.ndjson', 'blank.ndjson'), session_id='s')",
}
# Ctrl-C raises KeyboardInterrupt in the child as at a terminal, even where
# the tests run as a background job, whose children start with SIGINT ignored
# (and an interpreter that starts so installs no handler of its own).
PRELUDE = textwrap.dedent("""
    import signal, sys, tallyvox, tallyvox.cli
    signal.signal(signal.SIGINT, signal.default_int_handler)
    from os.path import dirname
    path = sys.argv[1]
    note = open(path.replace("ledger.ndjson", "small.checkpoint")).read()
    print("ready", flush=True)
""")


@pytest.mark.parametrize("name", INTERRUPTED)
def test_ctrl_c_stops_a_long_read_within_a_second(big_ledger, name):
    started = time.monotonic()
    child = subprocess.Popen([sys.executable, "-c", PRELUDE + INTERRUPTED[name], big_ledger],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    time.sleep(0.4)
    child.send_signal(signal.SIGINT)
    sent = time.monotonic()
    out, err = child.communicate(timeout=60)
    took = time.monotonic() - sent
    if name.startswith("cli"):
        assert child.returncode == 130 and err == "", err
    else:
        # Uncaught, it ends the interpreter by the signal itself.
        assert child.returncode == -signal.SIGINT, err
        assert err.rstrip().endswith("KeyboardInterrupt"), err
    assert took < 1.0, f"{name}: {took:.2f} s after the signal ({sent - started:.2f} s in)"


LIMITED = textwrap.dedent("""
    import os, re, resource, sys
    import tallyvox
    size = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read()).group(1))
    resource.setrlimit(resource.RLIMIT_AS, ((size << 10) + (384 << 20),) * 2)
    for jobs in (256, 2):
        try:
            report = tallyvox.verify_file_parallel(sys.argv[1], jobs=jobs)
            print(jobs, report.ok, len(os.listdir("/proc/self/task")))
        except tallyvox.LedgerError as exc:
            print(jobs, exc, len(os.listdir("/proc/self/task")))
""")


def test_a_pool_that_cannot_start_raises_and_leaves_no_thread(big_ledger):
    result = subprocess.run([sys.executable, "-c", LIMITED, big_ledger], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "256 cannot start 256 threads: Resource temporarily unavailable 1",
        "2 True 1",
    ]
