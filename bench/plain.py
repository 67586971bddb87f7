"""The ledger's sealing and verification written in plain Python.

These are the baselines the native code is measured against: the standard
library's json and hashlib and the `cryptography` package's Ed25519, used
the way a careful Python programmer would. They follow the ledger's formats
exactly, which the benchmarks confirm against tallyvox before timing.
"""

from __future__ import annotations

import hashlib
import json
import os
import tempfile
import time

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey

GENESIS = "0" * 64


def canonical(value) -> bytes:
    """Sorted keys, no whitespace, UTF-8: the encoding that is hashed."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def hash_input(event: dict, parent_hash: str, seq: int, timestamp_nanos: int) -> bytes:
    """The bytes whose SHA-256 is an event's self_hash."""
    return canonical({"event": event, "parent_hash": parent_hash, "seq": seq,
                      "timestamp_nanos": timestamp_nanos})


def private_key(keypair, scratch: str) -> Ed25519PrivateKey:
    """The `cryptography` key of a tallyvox keypair, through its secret-key file."""
    fd, path = tempfile.mkstemp(dir=scratch)
    os.close(fd)
    try:
        keypair.save(path)
        with open(path, "rb") as f:
            seed = f.read()
    finally:
        os.unlink(path)
    key = Ed25519PrivateKey.from_private_bytes(seed)
    if key.public_key().public_bytes_raw().hex() != keypair.pubkey_hex:
        raise RuntimeError("the saved secret key does not give the keypair's public key")
    return key


def seal(event: dict, seq: int, parent_hash: str, key: Ed25519PrivateKey, pubkey_hex: str,
         timestamp_nanos: int | None = None) -> dict:
    """Seals the tagged event mapping into a signed record (a dict in line order)."""
    ts = time.time_ns() if timestamp_nanos is None else timestamp_nanos
    digest = hashlib.sha256(hash_input(event, parent_hash, seq, ts)).digest()
    return {
        "seq": seq,
        "timestamp_nanos": ts,
        "event": event,
        "parent_hash": parent_hash,
        "self_hash": digest.hex(),
        "signature": key.sign(digest).hex(),
        "signer_pubkey": pubkey_hex,
    }


def line(record: dict) -> str:
    """The ledger line of a record (members in their stored order), without LF."""
    return json.dumps(record, separators=(",", ":"), ensure_ascii=False)


def read(path: str) -> list[dict]:
    """Every non-blank line of a ledger, parsed."""
    with open(path, encoding="utf-8") as f:
        return [json.loads(text) for text in f if text.strip()]


def verify_records(records: list[dict]) -> tuple[bool, int, int | None, str]:
    """Walks the chain: seq, parent link, self hash, signature, stopping at the
    first failure. Returns (ok, event_count, broken_at, root_hash).

    Assumes lines as a conforming writer makes them: a payload member this
    walk does not know would be hashed here, while the ledger ignores it.
    """
    keys: dict[str, Ed25519PublicKey] = {}
    previous = GENESIS
    for i, r in enumerate(records):
        seq = r["seq"]
        if seq != i:
            return False, len(records), seq, previous
        parent = r["parent_hash"]
        if parent != previous:
            return False, len(records), i, previous
        digest = hashlib.sha256(hash_input(r["event"], parent, seq, r["timestamp_nanos"])).digest()
        if digest.hex() != r["self_hash"]:
            return False, len(records), i, previous
        signer = r["signer_pubkey"]
        try:
            key = keys.get(signer)
            if key is None:
                key = keys[signer] = Ed25519PublicKey.from_public_bytes(bytes.fromhex(signer))
            key.verify(bytes.fromhex(r["signature"]), digest)
        except (ValueError, InvalidSignature):
            return False, len(records), i, previous
        previous = r["self_hash"]
    return True, len(records), None, previous


def verify_file(path: str) -> tuple[bool, int, int | None, str]:
    """Reads the whole ledger first, then walks it, as tallyvox.verify_file does."""
    return verify_records(read(path))
