"""Many threads on one session, and verification racing the writer."""
import json
import os
import pathlib
import threading
import time

import pytest

import tallyvox as t
from tallyvox import events as ev

GENESIS = "0" * 64
EVENTS = [
    ev.session_started(agent_id="bot", model_id="m", session_id="c"),
    ev.utterance_captured(audio_sha256="aa", transcript="where is it?", lang="en",
                          duration_ms=1800),
    ev.tool_called(tool_name="track", args_sha256="bb", args_redacted={"q": [1, 2.5, None]}),
    ev.tool_returned(tool_name="track", result_sha256="cc", latency_ms=95, success=True),
    ev.model_invoked(model_id="m", prompt_sha256="p", response_sha256="r", prompt_tokens=1,
                     response_tokens=2),
    ev.utterance_spoken(text_sha256="t", text="tomorrow", audio_sha256="a"),
    ev.session_ended(reason="done", summary_sha256="ab"),
]


def storage(kind, tmp_path):
    """A directory on the test's file system, or on tmpfs where fdatasync is
    almost free and the threads contend much harder."""
    if kind == "disk":
        return tmp_path
    shm = pathlib.Path("/dev/shm")
    if not (shm.is_dir() and os.access(shm, os.W_OK)):
        pytest.skip("no writable /dev/shm")
    d = shm / f"tallyvox-concurrency-{os.getpid()}-{tmp_path.name}"
    d.mkdir()
    return d


@pytest.fixture(params=["disk", "tmpfs"])
def ledger(request, tmp_path):
    d = storage(request.param, tmp_path)
    yield d / "ledger.ndjson", request.param
    if request.param == "tmpfs":
        for p in d.iterdir():
            p.unlink()
        d.rmdir()


def run_threads(count, work):
    """Runs work(k) in `count` threads started together; re-raises any failure."""
    barrier = threading.Barrier(count)
    errors = []

    def body(k):
        try:
            barrier.wait()
            work(k)
        except BaseException as e:  # surfaced in the test thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    if errors:
        raise errors[0]


@pytest.mark.parametrize("threads", [2, 8])
def test_threads_give_consecutive_seq_in_file_order(ledger, threads):
    path, kind = ledger
    per_thread = 40 if kind == "disk" else 300
    session = t.Session.open(keypair=t.SigningKeypair.generate(), ledger_path=path,
                             session_id="c")
    results = [[] for _ in range(threads)]

    def work(k):
        for i in range(per_thread):
            results[k].append(session.record(EVENTS[(k + i) % len(EVENTS)]))

    run_threads(threads, work)
    total = threads * per_thread
    by_seq = {r.seq: r for out in results for r in out}
    assert sorted(by_seq) == list(range(total))
    for out in results:  # one thread's calls take increasing seq
        assert [r.seq for r in out] == sorted(r.seq for r in out)
    lines = path.read_text(encoding="utf-8").split("\n")
    assert lines.pop() == ""
    parent = GENESIS
    for i, line in enumerate(lines):
        record = json.loads(line)
        assert record["seq"] == i
        assert record["parent_hash"] == parent
        assert line == by_seq[i].to_json()  # the returned object is what was written
        assert by_seq[i].parent_hash == parent
        parent = record["self_hash"]
    report = t.verify_file(path)
    assert (report.ok, report.event_count, report.root_hash) == (True, total, parent)


@pytest.mark.parametrize("recorders", [1, 4])
def test_verifying_while_recording(ledger, recorders):
    path, kind = ledger
    per_recorder = 60 if kind == "disk" else 400
    session = t.Session.open(keypair=t.SigningKeypair.generate(), ledger_path=path,
                             session_id="c")
    returned = {}
    seen = []     # (event_count, root_hash) of every report
    torn = []     # messages of the ChainErrors met
    done = threading.Event()
    finished = [0]
    lock = threading.Lock()

    def work(k):
        if k == recorders:  # the verifier
            while not done.is_set():
                try:
                    report = t.verify_file(path)
                except t.ChainError as e:
                    torn.append(str(e))
                    continue
                assert report.ok, report.reason
                seen.append((report.event_count, report.root_hash))
            return
        try:
            for i in range(per_recorder):
                r = session.record(EVENTS[(k + i) % len(EVENTS)])
                returned[r.seq] = r.self_hash
        finally:
            with lock:
                finished[0] += 1
                if finished[0] == recorders:
                    done.set()

    run_threads(recorders + 1, work)
    total = recorders * per_recorder
    assert sorted(returned) == list(range(total))
    assert seen, "the verifier never completed a walk"
    counts = [c for c, _ in seen]
    assert counts == sorted(counts)  # the file only grows
    for count, root in seen:  # each walk saw a prefix of the final chain
        assert root == (returned[count - 1] if count else GENESIS)
    for message in torn:  # only a line still being written
        assert message.startswith("malformed ledger input: EOF while parsing"), message
    report = t.verify_file(path)
    assert (report.ok, report.event_count) == (True, total)


def counted_during(call):
    """How far a counting thread gets while `call()` runs in this thread, as
    a share of what it counts alone over as long a time."""
    count = [0]
    stop = threading.Event()

    def counter():
        while not stop.is_set():
            count[0] += 1

    th = threading.Thread(target=counter)
    th.start()
    try:
        start, before = time.perf_counter(), count[0]
        result = call()
        during, elapsed = count[0] - before, time.perf_counter() - start
        before = count[0]
        time.sleep(elapsed)
        alone = count[0] - before
    finally:
        stop.set()
        th.join()
    return during / max(alone, 1), result


@pytest.fixture(scope="module")
def long_chain():
    kp, parent, records = t.SigningKeypair.generate(), GENESIS, []
    for i in range(3000):
        records.append(t.sign_event(event=EVENTS[i % len(EVENTS)], seq=i, parent_hash=parent,
                                    keypair=kp))
        parent = records[-1].self_hash
    return records


@pytest.mark.parametrize("how", ["verify_file", "verify_chain"])
def test_verification_lets_other_threads_run(long_chain, tmp_path, how):
    # Holding the interpreter lock would leave the counter a switch interval
    # (5 ms) of a walk that takes a good part of a second.
    path = tmp_path / "long.ndjson"
    path.write_text("".join(r.to_json() + "\n" for r in long_chain), encoding="utf-8")
    call = {"verify_file": lambda: t.verify_file(str(path)),
            "verify_chain": lambda: t.verify_chain(long_chain)}[how]
    share, report = counted_during(call)
    assert (report.ok, report.event_count, report.root_hash) == (
        True, len(long_chain), long_chain[-1].self_hash)
    assert share > 0.25
