"""verify_file on a 20,000-event ledger against a plain-Python verifier and
against as many bare OpenSSL Ed25519 verifications; plus the peak
memory per event of verify_file, measured in a fresh process."""

from __future__ import annotations

import functools
import json
import os
import subprocess
import sys

import tallyvox
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

from bench import fixtures, plain, syscrypto
from bench.harness import Benchmark, CheckFailed, Target

NAME = "verify"

# Runs in a fresh interpreter: the growth of the peak resident set across one
# call, and what the call found.
_PEAK = r"""
import json, sys
import tallyvox

def peak():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

path, how = sys.argv[1], sys.argv[2]
before = peak()
if how == "verify_file":
    r = tallyvox.verify_file(path)
    found = [r.ok, r.event_count, r.broken_at, r.root_hash]
else:
    with open(path, encoding="utf-8") as f:
        records = [json.loads(text) for text in f if text.strip()]
    found = [True, len(records), None, records[-1]["self_hash"]]
print(json.dumps({"growth": peak() - before, "found": found}))
"""


def peak_growth(path: str, how: str) -> tuple[int, tuple]:
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(tallyvox.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", _PEAK, path, how], env=env, check=True,
                          capture_output=True, text=True)
    out = json.loads(done.stdout)
    return out["growth"], tuple(out["found"])


def _report(r) -> tuple:
    return r.ok, r.event_count, r.broken_at, r.root_hash


def _tampered_agree(records: list[dict]) -> None:
    """Both verifiers must find the same break in a changed copy of a prefix."""
    path = str(fixtures.scratch_dir() / "verify-check.ndjson")
    for at, change in ((20, "timestamp_nanos"), (30, "signature")):
        changed = [dict(r) for r in records[:50]]
        if change == "signature":
            sig = changed[at]["signature"]
            changed[at]["signature"] = sig[:10] + ("0" if sig[10] != "0" else "1") + sig[11:]
        else:
            changed[at]["timestamp_nanos"] += 1
        with open(path, "w", encoding="utf-8") as f:
            f.writelines(plain.line(r) + "\n" for r in changed)
        ours, theirs = _report(tallyvox.verify_file(path)), plain.verify_file(path)
        expected = (False, 50, at, records[at - 1]["self_hash"])
        if ours != expected or theirs != expected:
            raise CheckFailed(f"changed {change} at {at}: tallyvox {ours}, plain {theirs}")
    os.unlink(path)


def build(quick: bool = False) -> Benchmark:
    count = 5_000 if quick else 20_000
    path = str(fixtures.ledger(count))

    # The checks are full runs of both verifiers (and so also the warm-up):
    # tallyvox's in a fresh process, which also gives its peak memory.
    growth, ours = peak_growth(path, "verify_file")
    records = plain.read(path)
    theirs = plain.verify_records(records)
    if ours != theirs or ours[:3] != (True, count, None):
        raise CheckFailed(f"verify_file found {ours}, the plain verifier {theirs}")
    _tampered_agree(records)
    loads_growth, _ = peak_growth(path, "json_loads")

    signers = {r["signer_pubkey"] for r in records}
    if len(signers) != 1:
        raise CheckFailed(f"expected one signer in the ledger, found {len(signers)}")
    signer = bytes.fromhex(signers.pop())
    public = Ed25519PublicKey.from_public_bytes(signer)
    system = syscrypto.Verifier(signer)
    pairs = [(bytes.fromhex(r["signature"]), bytes.fromhex(r["self_hash"])) for r in records]
    del records

    def floor():
        verify = public.verify
        for signature, digest in pairs:
            verify(signature, digest)

    def floor_system():
        verify = system.verify
        for signature, digest in pairs:
            if not verify(signature, digest):
                raise CheckFailed("the system floor refused a signature")

    if not all(system.verify(s, d) for s, d in pairs[:100]):
        raise CheckFailed("the system floor refuses the ledger's signatures")

    return Benchmark(
        name=NAME,
        contenders={
            "tallyvox": functools.partial(tallyvox.verify_file, path),
            "plain": functools.partial(plain.verify_file, path),
            "floor": floor,
            "floor_system": floor_system,
        },
        batch=1,
        rounds=5,
        quick_rounds=3,
        warmup=0,
        per_call=dict.fromkeys(("tallyvox", "plain", "floor", "floor_system"), count),
        targets=[
            Target(contender="tallyvox", baseline="plain", minimum=1.6),
            Target(contender="tallyvox", baseline="floor", minimum=1.6),
            Target(contender="tallyvox", baseline="floor_system", minimum=1.6),
        ],
        notes=[f"{count} events, {os.path.getsize(path) / 1e6:.1f} MB ({path}); "
               "ns/op is per event",
               f"peak memory growth (VmHWM, fresh process): verify_file "
               f"{growth / 1e6:.1f} MB = {growth / count:.0f} bytes/event; json.loads of every "
               f"line {loads_growth / 1e6:.1f} MB = {loads_growth / count:.0f} bytes/event; "
               f"lines on disk {os.path.getsize(path) / count:.0f} bytes/event",
               f"floor: cryptography's own OpenSSL; floor_system: {syscrypto.VERSION} "
               f"(through ctypes); tallyvox verifies with {tallyvox.build_info()['ed25519']}"],
    )
