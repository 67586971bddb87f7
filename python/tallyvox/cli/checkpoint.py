"""The checkpoint commands: checkpoint, prove, verify-proof, and the
--checkpoint and --require-end checks of verify."""

from __future__ import annotations

import argparse
import json
from dataclasses import dataclass
from typing import Any, Callable, TypeVar

import tallyvox
from tallyvox import _native
from tallyvox import checkpoint as cp
from tallyvox._files import write_atomically
from tallyvox.cli.exit import (EXIT_ERROR, EXIT_FAILED, EXIT_OK, INPUT_ERRORS, complain, error_text,
                               one_line)

T = TypeVar("T")

NOT_ENDED = "ends without SessionEnded (truncated, or still recording)"

# A checkpoint is a few hundred bytes and a proof a few KiB: a larger file is
# neither, and is never read whole.
MAX_NOTE_BYTES = 1 << 20


@dataclass
class Check:
    """One more check verify makes of a ledger, beside its chain."""

    name: str  # its key in the JSON summary
    code: int
    text: str  # for EXIT_ERROR: the path at fault, then what is wrong with it
    checkpoint: cp.Checkpoint | None = None
    details: dict[str, Any] | None = None  # more members of its JSON
    fault: tuple[str, str] | None = None  # (path, error) of an input that could not be used

    @classmethod
    def unusable(cls, name: str, where: str, error: BaseException) -> Check:
        text = error_text(error)
        return cls(name, EXIT_ERROR, f"{where}: {text}", fault=(where, text))

    def to_json(self) -> dict[str, Any]:
        document: dict[str, Any] = {"ok": self.code == EXIT_OK, "reason": None
                                    if self.code == EXIT_OK else self.text}
        if self.checkpoint is not None:
            document["checkpoint"] = self.checkpoint.to_json()
        return {**document, **(self.details or {})}


class _Fault(Exception):
    """An input error, and the path at fault."""

    def __init__(self, where: str, error: BaseException) -> None:
        super().__init__(where)
        self.where = where
        self.error = error


def _at(where: str, call: Callable[[], T]) -> T:
    """`call()`, its input errors charged to the path `where`."""
    try:
        return call()
    except INPUT_ERRORS as exc:
        raise _Fault(where, exc) from exc


def _note_or_ledger(error: BaseException, note_file: str, ledger: str) -> str:
    """The path at fault for an error of a check of `ledger` against the
    note read from `note_file`."""
    return note_file if str(error).startswith("not a checkpoint:") else ledger


def read_note_file(path: str, what: str) -> str:
    """The text of a checkpoint or proof file. Anything but a regular file
    (a FIFO, a device) is refused before it is read, and a file past
    MAX_NOTE_BYTES is malformed."""
    data = _native.read_regular_file(path, MAX_NOTE_BYTES + 1)
    if len(data) > MAX_NOTE_BYTES:
        raise cp.CheckpointError(f"not a {what}: larger than {MAX_NOTE_BYTES} bytes")
    return data.decode("utf-8")


def checkpoint_check(ledger: str, checkpoint_file: str, signers: list[str] | None) -> Check:
    """The ledger against the checkpoint in `checkpoint_file`."""
    try:
        note = _at(checkpoint_file, lambda: read_note_file(checkpoint_file, "checkpoint"))
        result = cp.verify_checkpoint(ledger, note, signers)
    except _Fault as fault:
        return Check.unusable("checkpoint", fault.where, fault.error)
    except INPUT_ERRORS as exc:
        return Check.unusable("checkpoint", _note_or_ledger(exc, checkpoint_file, ledger), exc)
    if not result.ok:
        return Check("checkpoint", EXIT_FAILED, result.reason or "")
    assert result.checkpoint is not None
    size, count = result.checkpoint.size, result.event_count
    grown = "" if size == count else f", grown to {count} since"
    return Check("checkpoint", EXIT_OK, f"the first {size} events match the checkpoint{grown}",
                 result.checkpoint)


def verify_checks(args: argparse.Namespace, path: str,
                  records: list[tallyvox.SignedEvent]) -> list[Check]:
    """The checks verify's options ask for, of the ledger at `path`."""
    checks = []
    if args.checkpoint is not None:
        checks.append(checkpoint_check(path, args.checkpoint, args.expect_signer))
    if args.witness_key:
        from tallyvox.cli.witness import witness_check  # which builds on Check

        checks.append(witness_check(args))
    if args.require_end:
        ended = bool(records) and records[-1].event["type"] == "SessionEnded"
        checks.append(Check("end", EXIT_OK if ended else EXIT_FAILED,
                            "ends with SessionEnded" if ended else NOT_ENDED))
    return checks


def _report(args: argparse.Namespace, where: str, code: int, text: str,
            document: dict[str, Any]) -> int:
    """Print the outcome of a command (JSON or text) and return its exit code."""
    if args.json:
        print(json.dumps({"ok": code == EXIT_OK, **document,
                          "error": None if code == EXIT_OK else text}, indent=2, ensure_ascii=False))
    elif code == EXIT_OK:
        print("\n".join(map(one_line, text.split("\n"))))
    if code != EXIT_OK:
        complain(where, text)
    return code


def _failure(exc: BaseException) -> int:
    if isinstance(exc, cp.CheckpointFailed):
        return EXIT_FAILED
    return EXIT_ERROR


def cmd_checkpoint(args: argparse.Namespace) -> int:
    out = args.output or args.ledger + ".checkpoint"
    try:
        keypair = _at(args.key, lambda: tallyvox.SigningKeypair.load(args.key))
        made = _at(args.ledger, lambda: cp.make_checkpoint(args.ledger, keypair, args.origin))
        _at(out, lambda: write_atomically(out, made.note))
    except _Fault as fault:
        return _report(args, fault.where, _failure(fault.error), error_text(fault.error),
                       {"path": None})
    text = f"{out}: checkpoint of {made.size} events, origin {made.origin}, root {made.root.hex()}"
    return _report(args, args.ledger, EXIT_OK, text, {"path": out, **made.to_json()})


def cmd_prove(args: argparse.Namespace) -> int:
    try:
        note = _at(args.checkpoint, lambda: read_note_file(args.checkpoint, "checkpoint"))
        try:
            proof = cp.prove(args.ledger, args.seq, note)
        except INPUT_ERRORS as exc:
            raise _Fault(_note_or_ledger(exc, args.checkpoint, args.ledger), exc) from exc
        if args.output:
            _at(args.output, lambda: write_atomically(args.output, proof))
    except _Fault as fault:
        return _report(args, fault.where, _failure(fault.error), error_text(fault.error),
                       {"seq": args.seq})
    if args.json:
        return _report(args, args.ledger, EXIT_OK, "", {"seq": args.seq, "path": args.output,
                                                        "proof": proof})
    if args.output:
        print(one_line(f"{args.output}: proof of event {args.seq}"))
    else:
        print(proof, end="")
    return EXIT_OK


def cmd_verify_proof(args: argparse.Namespace) -> int:
    try:
        result = cp.verify_proof(read_note_file(args.proof, "proof"), args.expect_signer)
    except INPUT_ERRORS as exc:
        return _report(args, args.proof, EXIT_ERROR, error_text(exc), {})
    if not result.ok:
        return _report(args, args.proof, EXIT_FAILED, result.reason or "", {})
    assert result.checkpoint is not None and result.record is not None
    event_type = result.record.event["type"]
    text = (f"{args.proof}: holds: event {result.index} ({event_type}) is in the checkpoint "
            f"of {result.checkpoint.size} events of {result.checkpoint.origin}")
    document = {"index": result.index, "line": result.line, "checkpoint": result.checkpoint.to_json()}
    if args.witness_key:
        from tallyvox.cli.witness import cosignatures

        witnessed = cosignatures(result.checkpoint.note, args)
        document["witnesses"] = witnessed.to_json()
        if not witnessed.ok:
            return _report(args, args.proof, EXIT_FAILED, witnessed.text, document)
        text += f"\n  witnesses: {witnessed.text}"
    return _report(args, args.proof, EXIT_OK, text, document)
