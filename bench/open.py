"""Session.open, which reads a whole ledger to resume it, against reading the
same lines with json.loads and taking the last seq and self_hash."""

from __future__ import annotations

import functools
import json
import os
import shutil

import tallyvox

from bench import fixtures
from bench.harness import Benchmark, CheckFailed, Target

NAME = "open"


def json_loads(path: str) -> tuple[int, str]:
    with open(path, encoding="utf-8") as f:
        records = [json.loads(text) for text in f if text.strip()]
    return records[-1]["seq"], records[-1]["self_hash"]


def build(quick: bool = False) -> Benchmark:
    count = 5_000 if quick else 20_000
    path = str(fixtures.ledger(count))
    kp = tallyvox.SigningKeypair.generate()
    last_seq, last_hash = json_loads(path)
    if last_seq != count - 1:
        raise CheckFailed(f"the cached ledger ends at seq {last_seq}, not {count - 1}")

    # Resuming must pick up where json.loads says the ledger ends; check it on a
    # copy, since recording appends.
    copy = path + ".resume"
    shutil.copyfile(path, copy)
    try:
        resumed = tallyvox.Session.open(keypair=kp, ledger_path=copy, session_id="check")
        nxt = resumed.record(fixtures.tool_call()[0])
        del resumed
    finally:
        os.unlink(copy)
    if (nxt.seq, nxt.parent_hash) != (last_seq + 1, last_hash):
        raise CheckFailed(f"Session.open resumed at seq {nxt.seq} after {nxt.parent_hash}, "
                          f"json.loads says {last_seq + 1} after {last_hash}")

    return Benchmark(
        name=NAME,
        contenders={
            "tallyvox": functools.partial(tallyvox.Session.open, keypair=kp, ledger_path=path,
                                          session_id="bench-open"),
            "json_loads": functools.partial(json_loads, path),
        },
        batch=1,
        rounds=30,
        quick_rounds=10,
        warmup=1,
        per_call=dict.fromkeys(("tallyvox", "json_loads"), count),
        targets=[Target(contender="tallyvox", baseline="json_loads", minimum=5.0)],
        notes=[f"{count} events, {os.path.getsize(path) / 1e6:.1f} MB ({path}); "
               "ns/op is per event"],
    )
