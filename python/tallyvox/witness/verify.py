"""What an auditor checks of a witnessed checkpoint: cosignatures by a
quorum of the witnesses it trusts (cosignatures of others are ignored)."""

from __future__ import annotations

import datetime
import time as _time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from tallyvox._tallyvox import _native
from tallyvox.checkpoint import CheckpointError
from tallyvox.witness.vkey import Vkey, cosigner_key

_VERIFIED, _NOT_SIGNED = 0, 1


def utc_seconds(seconds: int) -> str:
    """ISO 8601 UTC text of seconds since the epoch (the number past year 9999)."""
    try:
        moment = datetime.datetime.fromtimestamp(seconds, tz=datetime.timezone.utc)
    except (OverflowError, OSError, ValueError):
        return f"{seconds} s after the epoch"
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


@dataclass(frozen=True)
class Cosignature:
    """A witness's valid cosignature: who, and when (seconds since the epoch)."""

    witness: Vkey
    time: int

    def to_json(self) -> dict[str, Any]:
        return {"witness": self.witness.name, "vkey": str(self.witness), "time": self.time,
                "utc": utc_seconds(self.time)}


@dataclass(frozen=True)
class Uncounted:
    """A trusted witness whose cosignature does not count, and why."""

    witness: Vkey
    reason: str

    def to_json(self) -> dict[str, Any]:
        return {"witness": self.witness.name, "vkey": str(self.witness), "reason": self.reason}


@dataclass(frozen=True)
class WitnessCheck:
    """The cosignatures of a checkpoint against a quorum of trusted witnesses."""

    ok: bool
    quorum: int
    cosigned: tuple[Cosignature, ...]
    uncounted: tuple[Uncounted, ...]

    @property
    def text(self) -> str:
        """One line: how many cosigned, who and when, and who did not and why."""
        total = len(self.cosigned) + len(self.uncounted)
        head = f"cosigned by {len(self.cosigned)} of {total} witnesses, {self.quorum} required"
        parts = [f"{c.witness.name} at {utc_seconds(c.time)}" for c in self.cosigned]
        parts += [f"{u.witness.name} {u.reason}" for u in self.uncounted]
        return head + (": " + "; ".join(parts) if parts else "")

    def to_json(self) -> dict[str, Any]:
        return {"ok": self.ok, "reason": None if self.ok else self.text, "quorum": self.quorum,
                "cosigned": [c.to_json() for c in self.cosigned],
                "uncounted": [u.to_json() for u in self.uncounted]}


def witness_keys(witnesses: Sequence[Vkey | str]) -> list[Vkey]:
    """The distinct cosigner keys among `witnesses`, in order."""
    keys: list[Vkey] = []
    for witness in witnesses:
        key = cosigner_key(witness) if isinstance(witness, str) else witness
        if not key.cosigner:
            raise ValueError(f"{key.name}: not the key of a witness (a cosigner key, type 0x04)")
        if key not in keys:
            keys.append(key)
    return keys


def check_quorum(quorum: int | None, count: int) -> int:
    """The quorum out of `count` witnesses: all of them when not given."""
    if quorum is None:
        quorum = count
    if not 1 <= quorum <= count:
        raise ValueError(f"a quorum of {quorum} out of {count} witnesses")
    return quorum


def verify_cosignatures(note: str, witnesses: Sequence[Vkey | str], quorum: int | None = None, *,
                        now: int | None = None) -> WitnessCheck:
    """Check that at least `quorum` of `witnesses` (default: all) cosigned `note`.

    A cosignature counts when it verifies and its time is not after `now`
    (default: this machine's clock). The note's own signature is not checked
    here: read it with open_checkpoint or verify_checkpoint first.
    Raises CheckpointError for a note that cannot be read.
    """
    keys = witness_keys(witnesses)
    quorum = check_quorum(quorum, len(keys))
    code, value = _native.check_cosignatures(note, [str(key) for key in keys])
    if code != 0:
        raise CheckpointError(f"not a checkpoint: {value}")
    now = int(_time.time()) if now is None else now
    cosigned, uncounted = [], []
    for key, (status, stamp) in zip(keys, value):
        if status == _VERIFIED and stamp <= now:
            cosigned.append(Cosignature(key, stamp))
        elif status == _VERIFIED:
            uncounted.append(Uncounted(key, f"cosigned at {utc_seconds(stamp)}, in the future"))
        else:
            uncounted.append(Uncounted(key, "did not cosign" if status == _NOT_SIGNED
                                       else "has a cosignature that does not verify"))
    return WitnessCheck(ok=len(cosigned) >= quorum, quorum=quorum, cosigned=tuple(cosigned),
                        uncounted=tuple(uncounted))
