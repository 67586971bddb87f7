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
from tallyvox.cli_exit import (EXIT_ERROR, EXIT_FAILED, EXIT_OK, INPUT_ERRORS, complain, error_text,
                               one_line)

T = TypeVar("T")

NOT_ENDED = "ends without SessionEnded (truncated, or still recording)"

# A checkpoint is a few hundred bytes and a proof a few KiB: a larger file is
# neither, and is never read whole.
MAX_NOTE_BYTES = 1 << 20
MAX_SEQ = (1 << 64) - 1


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


def _seq(text: str) -> int:
    if not text.isdigit() or not text.isascii() or len(text) > 20 or int(text) > MAX_SEQ:
        raise argparse.ArgumentTypeError(f"not a seq (a decimal number up to {MAX_SEQ}): {text!r}")
    return int(text)


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
        from tallyvox.cli_witness import witness_check  # which builds on Check

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
    assert result.checkpoint is not None and result.line is not None
    event_type = json.loads(result.line)["event"]["type"]
    text = (f"{args.proof}: holds: event {result.index} ({event_type}) is in the checkpoint "
            f"of {result.checkpoint.size} events of {result.checkpoint.origin}")
    document = {"index": result.index, "line": result.line, "checkpoint": result.checkpoint.to_json()}
    if args.witness_key:
        from tallyvox.cli_witness import cosignatures

        witnessed = cosignatures(result.checkpoint.note, args)
        document["witnesses"] = witnessed.to_json()
        if not witnessed.ok:
            return _report(args, args.proof, EXIT_FAILED, witnessed.text, document)
        text += f"\n  witnesses: {witnessed.text}"
    return _report(args, args.proof, EXIT_OK, text, document)


def add_verify_options(verify: argparse.ArgumentParser) -> None:
    verify.add_argument("--checkpoint", metavar="FILE",
                        help="a checkpoint the ledger must match: signed by its signer (or "
                             "an expected one), its first events having the checkpoint's root")
    verify.add_argument("--require-end", action="store_true",
                        help="the last event must be SessionEnded")


def add_checkpoint_commands(commands: Any, add_command: Callable[..., argparse.ArgumentParser],
                            public_key: Callable[[str], str]) -> None:
    """Declare checkpoint, prove and verify-proof."""
    make = add_command(
        commands, "checkpoint", cmd_checkpoint,
        help="sign a checkpoint of a whole, valid ledger",
        description="Verify the whole chain and, when every event is valid and signed by "
                    "KEYFILE's key, write a signed checkpoint (c2sp.org/tlog-checkpoint) of "
                    "the Merkle tree of its events. Keep it anywhere but beside the ledger.",
        epilog="Exit status: 0 written, 1 the chain is broken or has another signer, "
               "2 an input cannot be read.")
    make.add_argument("ledger", metavar="LEDGER", help="ledger file (NDJSON)")
    make.add_argument("--key", required=True, metavar="KEYFILE", help="secret-key file")
    make.add_argument("--origin", help="the checkpoint's origin (default: tallyvox/ and the "
                                       "self_hash of the first event)")
    make.add_argument("-o", "--output", metavar="OUT", help="default: LEDGER.checkpoint")
    make.add_argument("--json", action="store_true", help="print one JSON document")

    prove = add_command(
        commands, "prove", cmd_prove,
        help="write the inclusion proof of one event",
        description="Write the proof (c2sp.org/tlog-proof) that event N is in the tree "
                    "of a checkpoint the ledger matches: its line, its audit path and the "
                    "checkpoint.",
        epilog="Exit status: 0 written, 1 the ledger does not match the checkpoint, "
               "2 an input cannot be read or N is not in the checkpoint.")
    prove.add_argument("ledger", metavar="LEDGER", help="ledger file (NDJSON)")
    prove.add_argument("--seq", required=True, type=_seq, metavar="N", help="the event's seq")
    prove.add_argument("--checkpoint", required=True, metavar="FILE", help="checkpoint file")
    prove.add_argument("-o", "--output", metavar="OUT", help="default: standard output")
    prove.add_argument("--json", action="store_true", help="print one JSON document")

    check = add_command(
        commands, "verify-proof", cmd_verify_proof,
        help="check an inclusion proof without the ledger",
        description="Check the checkpoint's signature by HEX (or the log's VKEY), the "
                    "disclosed event's hash, signature and signer, its inclusion in the "
                    "checkpoint's tree, and with --witness-key the witnesses' cosignatures.",
        epilog="Exit status: 0 the proof holds, 1 it does not, 2 the file is malformed.")
    check.add_argument("proof", metavar="PROOF", help="proof file (.tlog-proof)")
    check.add_argument("--expect-signer", required=True, type=public_key, metavar="HEX|VKEY",
                       help="the public key (64 hex characters) that signed, or the log's vkey")
    check.add_argument("--json", action="store_true", help="print one JSON document")
