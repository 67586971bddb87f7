"""Checkpoints from the session's own tree against make_checkpoint reading the
ledger, and many events per flush (AsyncSession batches, record_many)
against one flush per event, on a disk-backed file."""

from __future__ import annotations

import asyncio
import functools
import os
import shutil
import tempfile
from typing import Callable

import tallyvox
from tallyvox import checkpoint as cp
from tallyvox.aio import AsyncSession

from bench import fixtures
from bench.checkpoint import _signed_ledger
from bench.harness import Benchmark, CheckFailed, Target

CHECKPOINT_NAME = "session-checkpoint"
ASYNC_NAME = "group-commit"
MANY_NAME = "record-many"

PRODUCERS = 64
PER_PRODUCER = 4  # records each producer awaits per call, one after another
MANY = 100


def build_checkpoint(quick: bool = False) -> Benchmark:
    count = 10_000 if quick else 100_000
    path, keypair = _signed_ledger(count)
    # Resumed from the ledger, so the session's tree holds all its events; it
    # records nothing, and the cached ledger stays as it is.
    session = tallyvox.Session.open(keypair=keypair, ledger_path=path, session_id="bench")
    made = session.checkpoint()
    if made != cp.make_checkpoint(path, keypair) or made.size != count:
        session.close()
        raise CheckFailed(f"the session's checkpoint of {made.size} events is not make_checkpoint's")
    return Benchmark(
        name=CHECKPOINT_NAME,
        contenders={
            "session": session.checkpoint,
            "make_checkpoint": functools.partial(cp.make_checkpoint, path, keypair),
        },
        batch=1,
        rounds=3,
        quick_rounds=3,
        warmup=1,
        targets=[Target(contender="session", baseline="make_checkpoint", minimum=100.0)],
        notes=[f"a session resumed from {count} events ({path}); ns/op is per checkpoint"],
        finish=session.close,
    )


def _disk_workdir(prefix: str) -> tuple[str, str]:
    scratch = fixtures.scratch_dir(disk=True)
    mount, fstype = fixtures.filesystem(scratch)
    return tempfile.mkdtemp(prefix=prefix, dir=scratch), f"{fstype} (mounted at {mount})"


def _check_ledgers(paths: list[str]) -> None:
    for path in paths:
        report = tallyvox.verify_file(path)
        with open(path, "rb") as f:
            lines = sum(1 for _ in f)
        if not (report.ok and report.event_count == lines):
            raise CheckFailed(f"{path} after timing: {report!r} {report.reason}, {lines} lines")


async def _burst(s: AsyncSession, event: tallyvox.events.AgentEvent) -> None:
    async def producer() -> None:
        for _ in range(PER_PRODUCER):
            await s.record(event)

    await asyncio.gather(*(producer() for _ in range(PRODUCERS)))


def build_async(quick: bool = False) -> Benchmark:
    workdir, where = _disk_workdir("group-commit-")
    loop = asyncio.new_event_loop()
    kp = tallyvox.SigningKeypair.generate()
    event, _ = fixtures.tool_call()
    paths = [os.path.join(workdir, f"{name}.ndjson") for name in ("grouped", "one_by_one")]
    sessions = [loop.run_until_complete(AsyncSession.open(
        keypair=kp, ledger_path=path, session_id="bench", max_batch=max_batch))
        for path, max_batch in zip(paths, (256, 1))]
    try:
        for s in sessions:
            loop.run_until_complete(_burst(s, event))
        _check_ledgers(paths)
    except BaseException:
        _close(loop, sessions, workdir)
        raise

    def finish() -> None:
        try:
            for s in sessions:
                loop.run_until_complete(s.aclose())
            _check_ledgers(paths)
        finally:
            _close(loop, sessions, workdir)

    return _per_record(
        ASYNC_NAME, {name: _runner(loop, s, event)
                     for name, s in zip(("grouped", "one_by_one"), sessions)},
        PRODUCERS * PER_PRODUCER,
        [f"ledgers in {workdir} on {where}; {PRODUCERS} producer tasks each awaiting "
         f"{PER_PRODUCER} records per call; ns/op is per record; one_by_one: max_batch=1, "
         "one write and one fdatasync per event"],
        finish)


def _per_record(name: str, contenders: dict[str, Callable[[], object]], records: int,
                notes: list[str], finish: Callable[[], None]) -> Benchmark:
    """Many events per flush (the first contender) against one flush per
    event (the second), both making `records` records per call."""
    fast, slow = contenders
    return Benchmark(
        name=name,
        contenders=contenders,
        batch=1,
        rounds=7,
        quick_rounds=3,
        warmup=1,
        per_call=dict.fromkeys(contenders, records),
        targets=[Target(contender=fast, baseline=slow, minimum=5.0)],
        notes=notes,
        finish=finish,
    )


def _runner(loop: asyncio.AbstractEventLoop, s: AsyncSession,
            event: tallyvox.events.AgentEvent) -> Callable[[], None]:
    """One call: a fresh burst of the producers, run to its end."""
    return lambda: loop.run_until_complete(_burst(s, event))


def _close(loop: asyncio.AbstractEventLoop, sessions: list[AsyncSession], workdir: str) -> None:
    for s in sessions:
        s.close()
    loop.close()
    shutil.rmtree(workdir, ignore_errors=True)


def build_many(quick: bool = False) -> Benchmark:
    workdir, where = _disk_workdir("record-many-")
    kp = tallyvox.SigningKeypair.generate()
    event, _ = fixtures.tool_call()
    paths = [os.path.join(workdir, f"{name}.ndjson") for name in ("many", "single")]
    many, single = (tallyvox.Session.open(keypair=kp, ledger_path=p, session_id="bench")
                    for p in paths)
    batch = [event] * MANY

    def one_by_one() -> None:
        for e in batch:
            single.record(e)

    got = many.record_many(batch)
    with open(paths[0], "rb") as f:
        lines = f.readlines()
    if [r.seq for r in got] != list(range(MANY)) or \
            lines != [r.to_json().encode() + b"\n" for r in got]:
        raise CheckFailed("record_many did not append its events in order")

    def finish() -> None:
        try:
            many.close()
            single.close()
            _check_ledgers(paths)
        finally:
            shutil.rmtree(workdir, ignore_errors=True)

    return _per_record(
        MANY_NAME, {"record_many": functools.partial(many.record_many, batch),
                    "record": one_by_one},
        MANY, [f"ledgers in {workdir} on {where}; {MANY} events per call, ns/op is per event"],
        finish)
