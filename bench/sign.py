"""sign_event against the same sealing in plain Python and against what a
user of OpenSSL's Ed25519 pays at least, one SHA-256 and one signature."""

from __future__ import annotations

import functools
import hashlib

import tallyvox

from bench import fixtures, plain, syscrypto
from bench.harness import Benchmark, CheckFailed, Target

NAME = "sign"


def build(quick: bool = False) -> Benchmark:
    kp = tallyvox.SigningKeypair.generate()
    key = plain.private_key(kp, str(fixtures.scratch_dir()))
    event, tagged = fixtures.tool_call()
    seq, parent = 7, "5" * 64

    # Ed25519 is deterministic, so the plain sealing of the same inputs at the
    # same timestamp must give tallyvox's record and line byte for byte.
    signed = tallyvox.sign_event(event=event, seq=seq, parent_hash=parent, keypair=kp)
    if signed.event != tagged:
        raise CheckFailed(f"tagged mapping differs: {signed.event!r} != {tagged!r}")
    record = plain.seal(tagged, seq, parent, key, kp.pubkey_hex, signed.timestamp_nanos)
    ts = signed.timestamp_nanos
    expected_hash = tallyvox.compute_self_hash(seq=seq, timestamp_nanos=ts, event=event,
                                               parent_hash=parent)
    if record["self_hash"] != expected_hash:
        raise CheckFailed(f"plain self_hash {record['self_hash']} != {expected_hash}")
    if plain.line(record) != signed.to_json():
        raise CheckFailed(f"plain record differs:\n{plain.line(record)}\n{signed.to_json()}")
    # ... and a fresh plain seal (its own clock reading) must verify as a chain.
    fresh = plain.seal(tagged, 0, tallyvox.GENESIS_PARENT_HASH, key, kp.pubkey_hex)
    path = fixtures.scratch_dir() / "sign-check.ndjson"
    path.write_text(plain.line(fresh) + "\n", encoding="utf-8")
    report = tallyvox.verify_file(str(path))
    path.unlink()
    if not (report.ok and report.event_count == 1 and report.root_hash == fresh["self_hash"]):
        raise CheckFailed(f"a plain-sealed record does not verify: {report!r} {report.reason}")

    # The floor hashes the same canonical bytes and signs the digest.
    data = plain.hash_input(tagged, parent, seq, ts)
    sign, sha256 = key.sign, hashlib.sha256

    def floor():
        return sign(sha256(data).digest())

    if floor().hex() != signed.signature:
        raise CheckFailed("the floor's signature differs from sign_event's")

    # The same floor on the system libcrypto that the extension links.
    signer, system_sha256 = syscrypto.Signer(key.private_bytes_raw()), syscrypto.sha256

    def floor_system():
        return signer.sign(system_sha256(data))

    if floor_system().hex() != signed.signature:
        raise CheckFailed("the system floor's signature differs from sign_event's")

    return Benchmark(
        name=NAME,
        contenders={
            "tallyvox": functools.partial(tallyvox.sign_event, event=event, seq=seq,
                                          parent_hash=parent, keypair=kp),
            "plain_python": functools.partial(plain.seal, tagged, seq, parent, key,
                                              kp.pubkey_hex),
            "floor": floor,
            "floor_system": floor_system,
        },
        batch=100,
        rounds=300,
        quick_rounds=60,
        targets=[
            Target(contender="tallyvox", baseline="plain_python", minimum=1.0),
            Target(contender="tallyvox", baseline="floor", minimum=1.6),
            Target(contender="tallyvox", baseline="floor_system", minimum=1.6),
        ],
        notes=[f"ToolCalled with {len(plain.canonical(tagged['payload']['args_redacted']))}"
               f"-byte args_redacted; hash input {len(data)} bytes, line "
               f"{len(signed.to_json().encode())} bytes",
               f"floor: cryptography's own OpenSSL; floor_system: {syscrypto.VERSION} "
               f"(through ctypes); tallyvox signs with {tallyvox.build_info()['ed25519']}"],
    )
