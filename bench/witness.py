"""A witness under load, and the consistency check it makes of each request.

add-checkpoint: `tallyvox witness serve` in a subprocess on a loopback port,
its database on disk under build/bench-tmp, 8 clients on keep-alive
connections (aiohttp), each growing its own log by one leaf a request,
against the floor: as many SQLite commits (WAL, synchronous=FULL, one small
upsert each) one after another in the same directory. The witness must be
bound by its durable write, not by HTTP or Python.

consistency: merkle_verify_consistency from 10^6 to 10^6 + 1000 leaves
against a millisecond.
"""

from __future__ import annotations

import asyncio
import base64
import functools
import hashlib
import os
import sqlite3
import subprocess
import sys
import time

import aiohttp
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from tallyvox import checkpoint as cp
from tallyvox._tallyvox import _native
from tallyvox.witness import NOTE_SIGNER
from tallyvox.witness import state

from bench import fixtures
from bench.checkpoint import under_a_millisecond
from bench.harness import Benchmark, CheckFailed, Target

NAME = "add-checkpoint"
PROOF_NAME = "consistency"
CLIENTS = 8
PER_CLIENT = 6  # requests per client per timed call


def _leaf(tag: str, i: int) -> bytes:
    return hashlib.sha256(f"{tag}/{i}".encode()).digest()


class _Log:
    """A log of `count` synthetic leaves and the add-checkpoint body of each step."""

    def __init__(self, origin: str, seed: bytes, count: int):
        self.origin, self.private = origin, Ed25519PrivateKey.from_private_bytes(seed)
        leaves = [_leaf(origin, i) for i in range(count)]
        self.bodies = [self._body(leaves, n) for n in range(1, count + 1)]
        self.next = 0

    def _body(self, leaves: list[bytes], n: int) -> bytes:
        text = f"{self.origin}\n{n}\n{base64.b64encode(cp.merkle_root(leaves[:n])).decode()}\n"
        public = self.private.public_key().public_bytes_raw()
        key_id = hashlib.sha256(self.origin.encode() + b"\n\x01" + public).digest()[:4]
        signature = base64.b64encode(key_id + self.private.sign(text.encode())).decode()
        proof = cp.merkle_consistency_proof(leaves[:n], n - 1)
        lines = [f"old {n - 1}", *(base64.b64encode(h).decode() for h in proof)]
        return ("\n".join(lines) + "\n\n" + text + f"\n\u2014 {self.origin} {signature}\n").encode()

    @property
    def vkey(self) -> str:
        return _native.format_vkey(self.origin, self.private.public_key().public_bytes_raw(), NOTE_SIGNER)


class _Clients:
    """CLIENTS keep-alive connections on one event loop, one log each."""

    def __init__(self, url: str, logs: list[_Log]):
        self.url, self.logs = url + "/add-checkpoint", logs
        self.loop = asyncio.new_event_loop()
        self.session = self.loop.run_until_complete(self._session())

    @staticmethod
    async def _session() -> aiohttp.ClientSession:
        return aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=CLIENTS))

    async def _one_client(self, log: _Log) -> None:
        for _ in range(PER_CLIENT):
            body = log.bodies[log.next]
            async with self.session.post(self.url, data=body) as response:
                text = await response.text()
                if response.status != 200:
                    raise CheckFailed(f"{log.origin} step {log.next + 1}: {response.status} {text}")
            log.next += 1

    async def _all_clients(self) -> None:
        await asyncio.gather(*(self._one_client(log) for log in self.logs))

    def round(self) -> None:
        self.loop.run_until_complete(self._all_clients())

    def close(self) -> None:
        self.loop.run_until_complete(self.session.close())
        self.loop.close()


class _Floor:
    """One SQLite commit (WAL, synchronous=FULL) of a small upsert per call."""

    def __init__(self, path: str):
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(path + suffix):
                os.unlink(path + suffix)
        self.db = sqlite3.connect(path, isolation_level=None)
        self.db.execute("PRAGMA journal_mode = WAL")
        self.db.execute("PRAGMA synchronous = FULL")
        self.db.execute("CREATE TABLE t (k TEXT PRIMARY KEY, n TEXT, note TEXT)")
        self.n = 0

    def commit(self) -> None:
        self.n += 1
        self.db.execute("BEGIN IMMEDIATE")
        self.db.execute("INSERT INTO t VALUES (?, ?, ?) ON CONFLICT (k) DO UPDATE SET n = excluded.n, "
                        "note = excluded.note", (str(self.n % CLIENTS), str(self.n), "x" * 200))
        self.db.execute("COMMIT")

    def batch(self) -> None:
        for _ in range(CLIENTS * PER_CLIENT):
            self.commit()


def _start_witness(directory: str, logs: list[_Log]) -> tuple[subprocess.Popen[str], str]:
    db, key = os.path.join(directory, "witness.db"), os.path.join(directory, "witness.key")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(db + suffix):
            os.unlink(db + suffix)
    with open(key, "wb") as handle:
        handle.write(bytes([9]) * 32)
    state.create(db)
    command = [sys.executable, "-m", "tallyvox", "witness", "serve", "--db", db, "--key", key,
               "--name", "bench.example", "--listen", "127.0.0.1:0"]
    for log in logs:
        command += ["--log", log.vkey]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    assert process.stdout is not None
    line = process.stdout.readline()
    if " listening on " not in line:
        process.kill()
        raise CheckFailed(f"the witness did not start: {line!r}")
    return process, line.split()[-1]


def build(quick: bool = False) -> Benchmark:
    rounds = 3 if quick else 7
    directory = str(fixtures.scratch_dir(disk=True))
    steps = (1 + 2 + rounds) * PER_CLIENT  # the check, the warm-up rounds, the rounds
    logs = [_Log(f"bench.example/log-{i}", bytes([i + 1]) * 32, steps) for i in range(CLIENTS)]
    process, url = _start_witness(directory, logs)
    clients = _Clients(url, logs)
    floor = _Floor(os.path.join(directory, "floor.db"))
    clients.round()  # every request must be cosigned, or nothing is measured

    def finish() -> None:
        clients.close()
        process.terminate()
        process.wait(timeout=30)
        floor.db.close()

    operations = CLIENTS * PER_CLIENT
    return Benchmark(
        name=NAME,
        contenders={"floor": floor.batch, "witness": clients.round},
        batch=1,
        rounds=rounds,
        quick_rounds=rounds,
        per_call={"floor": operations, "witness": operations},
        targets=[Target(contender="witness", baseline="floor", minimum=0.5)],
        finish=finish,
        notes=[f"{CLIENTS} keep-alive clients x {PER_CLIENT} add-checkpoint calls per round, each "
               f"growing its log by one leaf; floor: {operations} SQLite commits (WAL, "
               f"synchronous=FULL) in {directory} (file system {fixtures.filesystem(directory)[1]}); "
               "ns/op is per request or commit"],
    )


def build_proof(quick: bool = False) -> Benchmark:
    old, new = 10**6, 10**6 + 1000
    started = time.perf_counter()
    leaves = [hashlib.sha256(i.to_bytes(8, "big")).digest() for i in range(new)]
    proof = cp.merkle_consistency_proof(leaves, old)
    old_root, new_root = cp.merkle_root(leaves[:old]), cp.merkle_root(leaves)
    setup = time.perf_counter() - started
    del leaves
    check = functools.partial(cp.merkle_verify_consistency, old, new, old_root, new_root, proof)
    if not check() or cp.merkle_verify_consistency(old, new, new_root, old_root, proof):
        raise CheckFailed("the consistency proof does not behave")
    return under_a_millisecond(PROOF_NAME, "verify", check, f"a proof of {len(proof)} hashes from "
                               f"{old} to {new} leaves (built in {setup:.1f} s)")
