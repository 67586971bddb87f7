"""Session.record on a disk-backed file against its floor (one write of a line
of the same length, one fdatasync, one sign_event of the same event), and the
throughput of four threads recording on one session against one thread."""

from __future__ import annotations

import functools
import os
import shutil
import tempfile
from concurrent.futures import ThreadPoolExecutor

import tallyvox

from bench import fixtures
from bench.harness import Benchmark, CheckFailed, Target

NAME = "record"
THREADS = 4
PER_THREAD = 4  # records per thread per call: each threaded call records 16


def _record_many(session, event, count: int) -> None:
    for _ in range(count):
        session.record(event)


def _in_threads(pool: ThreadPoolExecutor, threads: int, each: int, session, event) -> None:
    for future in [pool.submit(_record_many, session, event, each) for _ in range(threads)]:
        future.result()


def build(quick: bool = False) -> Benchmark:
    scratch = fixtures.scratch_dir(disk=True)
    mount, fstype = fixtures.filesystem(scratch)
    workdir = tempfile.mkdtemp(prefix="record-", dir=scratch)
    try:
        return _build(workdir, f"{fstype} (mounted at {mount})")
    except BaseException:
        shutil.rmtree(workdir, ignore_errors=True)
        raise


def _build(workdir: str, where: str) -> Benchmark:
    path = os.path.join(workdir, "ledger.ndjson")
    kp = tallyvox.SigningKeypair.generate()
    event, _ = fixtures.tool_call()
    session = tallyvox.Session.open(keypair=kp, ledger_path=path, session_id="bench-record")

    first, second = session.record(event), session.record(event)
    report = tallyvox.verify_file(path)
    if not (report.ok and report.event_count == 2 and second.parent_hash == first.self_hash):
        raise CheckFailed(f"two records do not form a chain: {report!r} {report.reason}")
    with open(path, "rb") as f:
        if f.readline() != first.to_json().encode() + b"\n":
            raise CheckFailed("the ledger's first line is not the first record's line")

    # The floor appends the same line to a file of its own in the same directory.
    line = first.to_json().encode() + b"\n"
    fd = os.open(os.path.join(workdir, "floor.ndjson"),
                 os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
    write, fdatasync = os.write, os.fdatasync
    seal = functools.partial(tallyvox.sign_event, event=event, seq=0,
                             parent_hash=tallyvox.GENESIS_PARENT_HASH, keypair=kp)

    def floor():
        write(fd, line)
        fdatasync(fd)
        return seal()

    sealed = floor()
    if not tallyvox.verify_chain([sealed]).ok or os.fstat(fd).st_size != len(line):
        raise CheckFailed("the floor did not write the line or seal a valid event")

    one, four = ThreadPoolExecutor(1), ThreadPoolExecutor(THREADS)

    def finish():
        one.shutdown()
        four.shutdown()
        os.close(fd)
        try:
            # Every timed record, from all threads, must have landed in one chain.
            with open(path, "rb") as f:
                lines = sum(1 for text in f if text.strip())
            after = tallyvox.verify_file(path)
            if not (after.ok and after.event_count == lines):
                raise CheckFailed(f"ledger after timing: {after!r} {after.reason}, {lines} lines")
        finally:
            shutil.rmtree(workdir)

    return Benchmark(
        name=NAME,
        contenders={
            "tallyvox": functools.partial(session.record, event),
            "floor": floor,
            "threads_1": functools.partial(_in_threads, one, 1, THREADS * PER_THREAD,
                                           session, event),
            "threads_4": functools.partial(_in_threads, four, THREADS, PER_THREAD,
                                           session, event),
        },
        batch=4,
        rounds=50,
        quick_rounds=15,
        per_call={"threads_1": THREADS * PER_THREAD, "threads_4": THREADS * PER_THREAD},
        targets=[
            Target(contender="tallyvox", baseline="floor", minimum=1 / 1.10),
            Target(contender="threads_4", baseline="threads_1", minimum=0.9),
        ],
        notes=[f"ledger in {workdir} on {where}; line {len(line)} bytes",
               f"threads_N: one session, N threads, {THREADS * PER_THREAD} records per call; "
               "ns/op is per record, threads_1/threads_4 is the 4-thread throughput over 1"],
        finish=finish,
    )
