"""Checkpoints on a large ledger: the Merkle tree as a share of verify_file,
make_checkpoint (chain walk and tree in one read) against verify_file, and
verify_proof against a millisecond."""

from __future__ import annotations

import functools
import time
from typing import Callable

import tallyvox
from tallyvox import checkpoint as cp

from bench import fixtures
from bench.harness import Benchmark, CheckFailed, Target

NAME = "checkpoint"
PROOF_NAME = "verify-proof"


def _signed_ledger(count: int) -> tuple[str, tallyvox.SigningKeypair]:
    """A valid ledger of `count` events and the key that signed it, cached."""
    keypair = tallyvox.SigningKeypair.load_or_create(fixtures.scratch_dir() / "checkpoint.key")
    return str(fixtures.ledger(count, keypair)), keypair


def build(quick: bool = False) -> Benchmark:
    count = 10_000 if quick else 100_000
    path, keypair = _signed_ledger(count)
    records = tallyvox.read_ledger(path)
    leaves = [bytes.fromhex(r.self_hash) for r in records]
    del records
    made = cp.make_checkpoint(path, keypair)
    report = tallyvox.verify_file(path)
    if not report.ok or made.size != count or made.root != cp.merkle_root(leaves):
        raise CheckFailed(f"checkpoint of {made.size} events, verify_file {report}")
    return Benchmark(
        name=NAME,
        contenders={
            "verify_file": functools.partial(tallyvox.verify_file, path),
            "tree": functools.partial(cp.merkle_root, leaves),
            "checkpoint": functools.partial(cp.make_checkpoint, path, keypair),
        },
        batch=1,
        rounds=3,
        quick_rounds=3,
        warmup=1,
        per_call=dict.fromkeys(("verify_file", "tree", "checkpoint"), count),
        targets=[
            Target(contender="tree", baseline="verify_file", minimum=20.0),
            Target(contender="checkpoint", baseline="verify_file", minimum=1 / 1.10),
        ],
        notes=[f"{count} events ({path}); ns/op is per event; tree: the root over the "
               "self_hash leaves given as bytes (target: at most 5% of verify_file)"],
    )


def _millisecond() -> None:
    end = time.perf_counter_ns() + 1_000_000
    while time.perf_counter_ns() < end:
        pass


def under_a_millisecond(name: str, contender: str, check: Callable[[], object], note: str) -> Benchmark:
    """`check` against a 1 ms busy wait: the target is the check under 1 ms."""
    return Benchmark(
        name=name,
        contenders={contender: check, "millisecond": _millisecond},
        batch=100,
        rounds=5,
        quick_rounds=3,
        targets=[Target(contender=contender, baseline="millisecond", minimum=1.0)],
        notes=[f"{note}; millisecond: a 1 ms busy wait (target: {contender} under 1 ms)"],
    )


def build_proof(quick: bool = False) -> Benchmark:
    count = 10_000 if quick else 100_000
    path, keypair = _signed_ledger(count)
    note = cp.make_checkpoint(path, keypair).note
    proof = cp.prove(path, count // 3, note)
    if not cp.verify_proof(proof, keypair.pubkey_hex).ok:
        raise CheckFailed("the proof does not hold")
    return under_a_millisecond(PROOF_NAME, "verify_proof",
                               functools.partial(cp.verify_proof, proof, keypair.pubkey_hex),
                               f"the proof of event {count // 3} of {count}: {len(proof)} bytes")
