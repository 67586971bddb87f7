"""Checkpoints: a signed commitment to a whole ledger, and proofs that stand on it.

A checkpoint is a signed note (c2sp.org/tlog-checkpoint) over the RFC 6962
Merkle tree of the ledger's events, the leaf data of an event being the 32
bytes of its ``self_hash``. Kept away from the ledger, it turns a cut tail or
a rewritten chain into a failed check; an inclusion proof (c2sp.org/tlog-proof)
shows one event to an auditor without the rest of the ledger; a consistency
proof shows a witness holding an old checkpoint that a new one extends it.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from tallyvox._tallyvox import SignedEvent, SigningKeypair, TallyvoxError, _native

_StrPath = str | os.PathLike[str]


class CheckpointError(TallyvoxError):
    """An input that is not a checkpoint or proof, or a ledger that cannot be read."""


class CheckpointFailed(TallyvoxError):
    """A check that does not hold: a broken chain, another signer, a bad signature."""


@dataclass(frozen=True)
class Checkpoint:
    """A checkpoint note and what it commits to."""

    origin: str
    size: int
    root: bytes  # the 32-byte Merkle root of the first `size` events
    note: str  # the signed note, byte for byte

    @classmethod
    def _of(cls, values: tuple[str, int, bytes, str]) -> Checkpoint:
        return cls(*values)

    def to_json(self) -> dict[str, Any]:
        return {"origin": self.origin, "size": self.size, "root": self.root.hex()}


@dataclass(frozen=True)
class CheckpointCheck:
    """A ledger (or a newer checkpoint) checked against a checkpoint."""

    ok: bool
    reason: str | None = None
    checkpoint: Checkpoint | None = None
    event_count: int | None = None
    signer: str | None = None  # the key that signed the checkpoint


@dataclass(frozen=True)
class ProofCheck:
    """An inclusion proof checked without the ledger."""

    ok: bool
    reason: str | None = None
    index: int | None = None
    line: str | None = None  # the disclosed ledger line
    checkpoint: Checkpoint | None = None
    record: SignedEvent | None = None  # the disclosed line, read by the native reader


def _value(result: tuple[int, Any]) -> tuple[bool, Any]:
    """(holds, value or reason); a malformed input raises CheckpointError."""
    code, payload = result
    if code == 2:
        raise CheckpointError(payload)
    return code == 0, payload


def _held(result: tuple[int, Any]) -> Any:
    holds, payload = _value(result)
    if not holds:
        raise CheckpointFailed(payload)
    return payload


def make_checkpoint(ledger: _StrPath, keypair: SigningKeypair, origin: str | None = None) -> Checkpoint:
    """Sign the checkpoint of every event of `ledger`.

    The whole chain must verify and every event must be signed by `keypair`
    (CheckpointFailed otherwise). The default origin is ``tallyvox/`` and the
    ``self_hash`` of the first event; an empty ledger needs `origin`.
    """
    return _made(_native.make_checkpoint(ledger, keypair, origin))


def _made(result: tuple[int, Any]) -> Checkpoint:
    """The checkpoint a session signed, or its refusal raised as make_checkpoint's."""
    return Checkpoint._of(_held(result))


def _signer(signer: str) -> tuple[str, str | None]:
    """The public key in hex, and the name a log's vkey gives it (None for hex)."""
    if "+" not in signer:
        return signer, None
    name, _, kind, key = _native.parse_vkey(signer)
    if kind != 0x01:
        raise ValueError(f"{name}: not the key of a log (a note signer key, type 0x01)")
    return key.hex(), name


def _named(checkpoint: Checkpoint, name: str | None) -> str | None:
    """Why a checkpoint signed by a vkey's key is not its log's, if it is not."""
    if name is None or checkpoint.origin == name:
        return None
    return f"the checkpoint's origin {checkpoint.origin} is not the key's name {name}"


def open_checkpoint(note: str, signer: str) -> Checkpoint:
    """Read a checkpoint note that `signer` (64 hex characters, or the log's
    vkey, named by the origin) has signed."""
    key, name = _signer(signer)
    checkpoint = Checkpoint._of(_held(_native.open_checkpoint(note, key)))
    problem = _named(checkpoint, name)
    if problem is not None:
        raise CheckpointFailed(problem)
    return checkpoint


def verify_checkpoint(
    ledger: _StrPath, note: str, expect_signers: Sequence[str] | None = None
) -> CheckpointCheck:
    """Check that `ledger` holds, as its first events, the tree `note` commits to.

    The note must be signed by one of `expect_signers`, or by the key of the
    ledger's first event when none is given. A ledger grown since is
    consistent.
    """
    holds, value = _value(_native.verify_checkpoint(ledger, note, list(expect_signers or ())))
    if not holds:
        return CheckpointCheck(ok=False, reason=value)
    checkpoint, count, signer = value
    return CheckpointCheck(ok=True, checkpoint=Checkpoint._of(checkpoint), event_count=count,
                           signer=signer)


def prove(ledger: _StrPath, seq: int, note: str) -> str:
    """The inclusion proof file of event `seq` against a checkpoint `ledger` matches."""
    result: str = _held(_native.prove(ledger, seq, note))
    return result


def verify_proof(proof: str, signer: str) -> ProofCheck:
    """Check an inclusion proof file against the key `signer` (hex, or the
    log's vkey), without the ledger."""
    key, name = _signer(signer)
    holds, value = _value(_native.verify_proof(proof, key))
    if not holds:
        return ProofCheck(ok=False, reason=value)
    index, line, checkpoint, record = value
    checked = Checkpoint._of(checkpoint)
    problem = _named(checked, name)
    if problem is not None:
        return ProofCheck(ok=False, reason=problem)
    return ProofCheck(ok=True, index=index, line=line, checkpoint=checked, record=record)


def consistency_proof(ledger: _StrPath, old_size: int, new_size: int) -> list[bytes]:
    """The proof that the tree of the first `old_size` events of `ledger` is a
    prefix of the tree of its first `new_size` events."""
    result: list[bytes] = _held(_native.ledger_consistency_proof(ledger, old_size, new_size))
    return result


def verify_consistency(old_note: str, new_note: str, proof: Sequence[bytes], signer: str) -> CheckpointCheck:
    """Check, without the ledger, that the newer checkpoint extends the older one.

    Both notes must be signed by `signer` and share one origin.
    """
    checkpoints = []
    for which, note in (("old", old_note), ("new", new_note)):
        holds, value = _value(_native.open_checkpoint(note, signer))
        if not holds:
            return CheckpointCheck(ok=False, reason=f"the {which} checkpoint: {value}")
        checkpoints.append(Checkpoint._of(value))
    old, new = checkpoints
    if old.origin != new.origin:
        return CheckpointCheck(ok=False, reason="the checkpoints have different origins")
    if not _native.verify_consistency(old.size, new.size, old.root, new.root, list(proof)):
        return CheckpointCheck(ok=False, reason=f"the tree of {new.size} events does not extend "
                                                f"the tree of {old.size} events")
    return CheckpointCheck(ok=True, checkpoint=new, signer=signer.lower())


# The tree itself, over leaf data given as bytes: for outside verifiers and tests.

def merkle_root(leaves: Sequence[bytes]) -> bytes:
    """The RFC 6962 root hash of the tree over `leaves` (leaf data)."""
    return _native.merkle_root(leaves)


def merkle_inclusion_proof(leaves: Sequence[bytes], index: int) -> list[bytes]:
    """The audit path of leaf `index`, from its sibling up."""
    return _native.inclusion_proof(leaves, index)


def merkle_verify_inclusion(leaf: bytes, index: int, size: int, proof: Sequence[bytes],
                            root: bytes) -> bool:
    """Whether `proof` leads from the leaf data at `index` to `root`."""
    return _native.verify_inclusion(leaf, index, size, proof, root)


def merkle_consistency_proof(leaves: Sequence[bytes], old_size: int) -> list[bytes]:
    """The proof that the first `old_size` leaves form a prefix of the tree."""
    return _native.consistency_proof(leaves, old_size)


def merkle_verify_consistency(old_size: int, new_size: int, old_root: bytes, new_root: bytes,
                              proof: Sequence[bytes]) -> bool:
    """Whether the tree of `old_size` leaves is a prefix of the one of `new_size`."""
    return _native.verify_consistency(old_size, new_size, old_root, new_root, proof)


# What the package exports; the tree functions stay in this module.
__all__ = [
    "Checkpoint",
    "CheckpointCheck",
    "CheckpointError",
    "CheckpointFailed",
    "ProofCheck",
    "consistency_proof",
    "make_checkpoint",
    "open_checkpoint",
    "prove",
    "verify_checkpoint",
    "verify_consistency",
    "verify_proof",
]
