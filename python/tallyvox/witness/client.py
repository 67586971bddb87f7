"""Getting a checkpoint cosigned: add-checkpoint (c2sp.org/tlog-witness) to
each witness at once, on aiohttp.

Each witness is first sent the old size it last cosigned for the log, as
far as we know (from a sizes file, or 0). A witness that holds another size
answers 409 with it; we then ask once more, with that size and the
consistency proof from it, made from the ledger. A witness whose tree is
not a prefix of the ledger's refuses that proof: that is the witness doing
its job.
"""

from __future__ import annotations

import asyncio
import base64
import json
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from tallyvox._files import write_atomically
from tallyvox._tallyvox import TallyvoxError, _native
from tallyvox.checkpoint import Checkpoint, consistency_proof
from tallyvox.witness.verify import check_quorum
from tallyvox.witness.vkey import Vkey, cosigner_key

SIZES_FORMAT = "tallyvox-witness-sizes/1"
SIZE_TYPE = "text/x.tlog.size"
_StrPath = str | os.PathLike[str]


class WitnessError(TallyvoxError):
    """A witness, note or sizes file that cannot be used as given."""


@dataclass(frozen=True)
class Witness:
    """A witness to ask: its base URL and its verifier key (type 0x04)."""

    url: str
    vkey: Vkey

    @classmethod
    def parse(cls, text: str) -> Witness:
        """Read ``URL=VKEY``: the URL ends at the first '='."""
        url, equals, vkey = text.partition("=")
        if not equals or not url.startswith(("http://", "https://")):
            raise WitnessError(f"not URL=VKEY with an http(s) URL: {text!r}")
        try:
            return cls(url.rstrip("/"), cosigner_key(vkey))
        except ValueError as exc:
            raise WitnessError(f"{url}: {exc}") from None

    @property
    def name(self) -> str:
        return self.vkey.name


@dataclass(frozen=True)
class WitnessAnswer:
    """What one witness made of the checkpoint."""

    witness: Witness
    cosignature: str | None = None  # the witness's signature line(s), when it cosigned
    time: int | None = None  # the cosignature's time, seconds since the epoch
    status: int | None = None  # the last HTTP status; None when there was no answer
    reason: str | None = None  # why it did not cosign
    size: int | None = None  # the size it holds for the log afterwards, when known

    @property
    def ok(self) -> bool:
        return self.cosignature is not None

    def to_json(self) -> dict[str, Any]:
        return {"witness": self.witness.name, "url": self.witness.url, "vkey": str(self.witness.vkey),
                "ok": self.ok, "status": self.status, "time": self.time, "reason": self.reason}


@dataclass(frozen=True)
class Submission:
    """The checkpoint with the cosignatures it got, and every witness's answer."""

    note: str
    quorum: int
    answers: tuple[WitnessAnswer, ...] = field(default_factory=tuple)

    @property
    def cosigned(self) -> list[WitnessAnswer]:
        return [answer for answer in self.answers if answer.ok]

    @property
    def ok(self) -> bool:
        return len(self.cosigned) >= self.quorum


def _witnesses(witnesses: Sequence[Witness | str]) -> list[Witness]:
    out: list[Witness] = []
    for witness in witnesses:
        parsed = Witness.parse(witness) if isinstance(witness, str) else witness
        if parsed.vkey in (w.vkey for w in out):
            raise WitnessError(f"{parsed.name}: the same witness twice")
        out.append(parsed)
    return out


def _read_checkpoint(note: str) -> Checkpoint:
    code, value = _native.read_checkpoint(note)
    if code != 0:
        raise WitnessError(value)
    return Checkpoint._of(value)


# ---------------------------------------------------------------------------
# The sizes file: {"format": ..., "origins": {origin: {witness vkey: size}}}


def load_sizes(path: _StrPath) -> dict[str, dict[str, int]]:
    """The sizes each witness last held, by origin; empty when there is no file."""
    try:
        with open(path, encoding="utf-8") as handle:
            document = json.load(handle)
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as exc:
        raise WitnessError(f"{os.fspath(path)}: {exc}") from None
    if not _is_sizes(document):
        raise WitnessError(f"{os.fspath(path)}: not a witness sizes file ({SIZES_FORMAT})")
    origins: dict[str, dict[str, int]] = document["origins"]
    return origins


def _is_sizes(document: Any) -> bool:
    if not isinstance(document, dict) or document.get("format") != SIZES_FORMAT:
        return False
    origins = document.get("origins")
    return isinstance(origins, dict) and all(
        isinstance(sizes, dict) and all(type(n) is int and n >= 0 for n in sizes.values())
        for sizes in origins.values())


def save_sizes(path: _StrPath, origins: Mapping[str, Mapping[str, int]]) -> None:
    write_atomically(path, json.dumps({"format": SIZES_FORMAT, "origins": origins}, indent=2,
                                      sort_keys=True, ensure_ascii=False) + "\n")


# ---------------------------------------------------------------------------
# One witness


def _request_body(old_size: int, proof: Sequence[bytes], note: str) -> bytes:
    lines = [f"old {old_size}", *(base64.b64encode(h).decode() for h in proof), ""]
    return ("\n".join(lines) + "\n" + note).encode()


def _own_lines(witness: Witness, note: str, answer: str) -> tuple[str, int] | None:
    """The witness's lines of a 200 answer and their time, when they verify."""
    prefix = f"\u2014 {witness.name} "
    lines = "".join(line + "\n" for line in answer.split("\n") if line.startswith(prefix))
    if not lines:
        return None
    code, value = _native.check_cosignatures(note + lines, [str(witness.vkey)])
    if code != 0 or value[0][0] != 0:
        return None
    return lines, value[0][1]


class _Refused(Exception):
    def __init__(self, reason: str, status: int | None = None, size: int | None = None):
        super().__init__(reason)
        self.status, self.size = status, size


class _Conflict(_Refused):
    """409 with a size the ledger may prove the checkpoint consistent with."""


async def _post(session: Any, url: str, body: bytes) -> tuple[int, str, str]:
    import aiohttp

    try:
        async with session.post(url, data=body) as response:
            return response.status, response.content_type, await response.text(errors="replace")
    except (aiohttp.ClientError, asyncio.TimeoutError) as exc:
        raise _Refused(f"no answer from {url}: {str(exc) or type(exc).__name__}") from None


def _size_of(text: str) -> int:
    number = text.removesuffix("\n")
    if not number.isdigit() or not number.isascii() or (len(number) > 1 and number[0] == "0"):
        raise _Refused(f"409 with a malformed size: {text[:40]!r}", 409)
    return int(number)


async def _proof(ledger: _StrPath, old_size: int, size: int) -> list[bytes]:
    if old_size in (0, size):
        return []
    try:
        return await asyncio.to_thread(consistency_proof, ledger, old_size, size)
    except TallyvoxError as exc:
        raise _Refused(f"409: it holds size {old_size}, and the ledger gives no consistency "
                       f"proof from it: {exc}", 409, old_size) from None


async def _attempt(session: Any, witness: Witness, checkpoint: Checkpoint, ledger: _StrPath,
                   old_size: int, last: bool) -> WitnessAnswer:
    proof = await _proof(ledger, old_size, checkpoint.size)
    status, content_type, text = await _post(session, witness.url + "/add-checkpoint",
                                             _request_body(old_size, proof, checkpoint.note))
    if status == 200:
        own = _own_lines(witness, checkpoint.note, text)
        if own is None:
            raise _Refused("200 without a cosignature by its key that verifies", 200)
        return WitnessAnswer(witness, own[0], own[1], 200, size=checkpoint.size)
    if status != 409 or content_type != SIZE_TYPE:
        raise _Refused(f"{status}: {text.strip()[:200]}", status)
    held = _size_of(text)
    if held > checkpoint.size:
        raise _Refused(f"409: it holds size {held}, beyond the checkpoint's {checkpoint.size}",
                       409, held)
    if last:
        raise _Refused(f"409 again: it holds size {held}" + (
            ", another tree of that size" if held == checkpoint.size else ""), 409, held)
    raise _Conflict(f"409: it holds size {held}", 409, held)


async def _ask(session: Any, witness: Witness, checkpoint: Checkpoint, ledger: _StrPath,
               old_size: int) -> WitnessAnswer:
    try:
        try:
            return await _attempt(session, witness, checkpoint, ledger, old_size, last=False)
        except _Conflict as conflict:
            assert conflict.size is not None
            return await _attempt(session, witness, checkpoint, ledger, conflict.size, last=True)
    except _Refused as refusal:
        return WitnessAnswer(witness, status=refusal.status, reason=str(refusal), size=refusal.size)


# ---------------------------------------------------------------------------
# All of them


async def submit_async(note: str, ledger: _StrPath, witnesses: Sequence[Witness | str],
                       quorum: int | None = None, *, sizes_file: _StrPath | None = None,
                       timeout: float = 10.0) -> Submission:
    """Ask every witness at once to cosign `note`, a checkpoint of `ledger`.

    `witnesses` are Witness values or ``URL=VKEY`` texts; `quorum` (default:
    all of them) is how many must cosign for the result to be ok. The sizes
    each witness last held are read from and written back to `sizes_file`
    when one is given. Never raises for what a witness answers: each answer
    says whether it cosigned and why not.
    """
    import aiohttp

    chosen = _witnesses(witnesses)
    quorum = check_quorum(quorum, len(chosen))
    checkpoint = _read_checkpoint(note)
    origins = load_sizes(sizes_file) if sizes_file is not None else {}
    known = origins.get(checkpoint.origin, {})
    async with aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=timeout)) as session:
        answers = await asyncio.gather(*(
            _ask(session, w, checkpoint, ledger, known.get(str(w.vkey), 0)) for w in chosen))
    if sizes_file is not None:
        held = {str(a.witness.vkey): a.size for a in answers if a.size is not None}
        origins[checkpoint.origin] = {**known, **held}
        save_sizes(sizes_file, origins)
    lines = "".join(answer.cosignature or "" for answer in answers)
    return Submission(note + lines, quorum, tuple(answers))


def submit(note: str, ledger: _StrPath, witnesses: Sequence[Witness | str], quorum: int | None = None,
           *, sizes_file: _StrPath | None = None, timeout: float = 10.0) -> Submission:
    """submit_async, from a thread that runs no event loop (it runs its own)."""
    return asyncio.run(submit_async(note, ledger, witnesses, quorum, sizes_file=sizes_file,
                                    timeout=timeout))
