"""A Python thread counting in a loop, alone and while verify_file walks a
6,000-event ledger in another thread: the share of its rate that it keeps
(verify_file runs without the interpreter lock)."""

from __future__ import annotations

import threading
import time

import tallyvox

from bench import fixtures
from bench.harness import Benchmark, CheckFailed, Target

NAME = "threads"
EVENTS = 6_000
COUNT = 2_000_000  # counts per call: a fraction of a walk on an idle machine


def _counted(count: int) -> int:
    """Nanoseconds that a fresh thread takes to count to `count`."""
    out = []

    def body():
        start = time.perf_counter_ns()
        i = 0
        while i < count:
            i += 1
        out.append(time.perf_counter_ns() - start)

    th = threading.Thread(target=body)
    th.start()
    th.join()
    return out[0]


def build(quick: bool = False) -> Benchmark:
    path = str(fixtures.ledger(EVENTS))
    report = tallyvox.verify_file(path)
    if not (report.ok and report.event_count == EVENTS):
        raise CheckFailed(f"the ledger does not verify: {report!r} {report.reason}")
    walks: list[tuple] = []  # what each walk beside a count found
    calls = [0]

    def beside_verify_file() -> int:
        # Walks start before the count and go on until it ends.
        counting = threading.Event()
        counting.set()

        def walker():
            while counting.is_set():
                r = tallyvox.verify_file(path)
                walks.append((r.ok, r.event_count))

        th = threading.Thread(target=walker)
        th.start()
        try:
            return _counted(COUNT)
        finally:
            counting.clear()
            th.join()
            calls[0] += 1

    def finish():
        if len(walks) < calls[0] or any(w != (True, EVENTS) for w in walks):
            raise CheckFailed(f"{len(walks)} walks beside {calls[0]} counts, found {set(walks)}")

    return Benchmark(
        name=NAME,
        contenders={
            "alone": lambda: _counted(COUNT),
            "beside_verify_file": beside_verify_file,
        },
        batch=1,
        rounds=15,
        quick_rounds=5,
        warmup=1,
        per_call=dict.fromkeys(("alone", "beside_verify_file"), COUNT),
        self_timed=True,
        targets=[Target(contender="beside_verify_file", baseline="alone", minimum=0.70)],
        notes=[f"a thread counts to {COUNT:,} in a while loop; beside_verify_file: another "
               f"thread runs verify_file on {EVENTS:,} events ({path}) until the count ends; "
               "ns/op is per count, alone/beside_verify_file is the rate kept"],
        finish=finish,
    )
