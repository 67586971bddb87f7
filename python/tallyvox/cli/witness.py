"""The witness commands: witness init and serve, checkpoint --witness, the
--witness-key checks of verify and verify-proof. Their arguments, and
keygen's --vkey, are in witness_args."""

from __future__ import annotations

import argparse
import asyncio
import logging
import signal
import sys
from typing import Any

import tallyvox
from tallyvox import checkpoint as cp
from tallyvox._files import write_atomically
from tallyvox.cli import checkpoint as cli_checkpoint
from tallyvox.cli.checkpoint import Check, _report as report
from tallyvox.cli.exit import EXIT_ERROR, EXIT_FAILED, EXIT_OK, complain, error_text
from tallyvox.cli.witness_args import SIZES_SUFFIX
from tallyvox.witness import client, state
from tallyvox.witness.verify import WitnessCheck, utc_seconds, verify_cosignatures
from tallyvox.witness.vkey import Vkey

# ---------------------------------------------------------------------------
# witness init / serve


def cmd_witness_init(args: argparse.Namespace) -> int:
    try:
        state.create(args.db)
    except (state.WitnessStateError, OSError) as exc:
        complain(args.db, error_text(exc))
        return EXIT_ERROR
    print(f"{args.db}: witness database created")
    return EXIT_OK


def cmd_witness_serve(args: argparse.Namespace) -> int:
    from tallyvox.witness import server  # aiohttp, only for the server

    if not args.log and not args.log_prefix:
        complain("witness", "no log to witness: give --log VKEY or --log-prefix PREFIX=HEX")
        return EXIT_ERROR
    try:
        keypair = tallyvox.SigningKeypair.load(args.key)
        identity = Vkey.of(keypair, args.name, cosigner=True)
        opened = state.WitnessState(args.db)
    except (tallyvox.TallyvoxError, state.WitnessStateError, ValueError, OSError) as exc:
        complain("witness", error_text(exc))
        return EXIT_ERROR
    logging.basicConfig(level=logging.INFO, stream=sys.stderr,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")

    def ready(url: str) -> None:
        print(f"witness {identity} listening on {url}", flush=True)

    async def run() -> None:
        stop = asyncio.Event()
        for signum in (signal.SIGINT, signal.SIGTERM):
            asyncio.get_running_loop().add_signal_handler(signum, stop.set)
        await server.serve(opened, keypair, args.name, args.log or (), *args.listen,
                           prefixes=args.log_prefix or (), ready=ready, stop=stop)

    try:
        asyncio.run(run())
    except OSError as exc:
        complain("witness", error_text(exc))
        return EXIT_ERROR
    finally:
        opened.close()
    return EXIT_OK


# ---------------------------------------------------------------------------
# checkpoint --witness


def _answer_line(answer: client.WitnessAnswer) -> str:
    if answer.ok:
        assert answer.time is not None
        return f"  {answer.witness.name} cosigned at {utc_seconds(answer.time)} ({answer.witness.url})"
    return f"  {answer.witness.name} refused: {answer.reason} ({answer.witness.url})"


def cmd_checkpoint(args: argparse.Namespace) -> int:
    """checkpoint, and with --witness the cosignatures of a quorum."""
    if not args.witness:
        return cli_checkpoint.cmd_checkpoint(args)
    out = args.output or args.ledger + ".checkpoint"
    document: dict[str, Any] = {"path": None, "quorum": args.quorum, "witnesses": []}
    try:
        keypair = tallyvox.SigningKeypair.load(args.key)
        made = cp.make_checkpoint(args.ledger, keypair, args.origin)
        document.update(made.to_json())
        result = client.submit(made.note, args.ledger, args.witness, args.quorum,
                               sizes_file=out + SIZES_SUFFIX)
    except (tallyvox.TallyvoxError, OSError, ValueError) as exc:
        code = EXIT_FAILED if isinstance(exc, cp.CheckpointFailed) else EXIT_ERROR
        return report(args, args.ledger, code, error_text(exc), document)
    document.update(quorum=result.quorum, witnesses=[a.to_json() for a in result.answers])
    head = (f"cosigned by {len(result.cosigned)} of {len(result.answers)} witnesses, "
            f"{result.quorum} required")
    if not result.ok:
        refused = "; ".join(f"{a.witness.name} refused: {a.reason}" for a in result.answers if not a.ok)
        return report(args, args.ledger, EXIT_FAILED, f"{head}: {refused}; {out} not written", document)
    try:
        write_atomically(out, result.note)
    except OSError as exc:
        return report(args, args.ledger, EXIT_ERROR, error_text(exc), document)
    document["path"] = out
    lines = [f"{out}: checkpoint of {made.size} events, origin {made.origin}, root {made.root.hex()}",
             f"  {head}", *map(_answer_line, result.answers)]
    return report(args, args.ledger, EXIT_OK, "\n".join(lines), document)


# ---------------------------------------------------------------------------
# verify --witness-key, verify-proof --witness-key


def cosignatures(note: str, args: argparse.Namespace) -> WitnessCheck:
    """The cosignatures --witness-key and --quorum ask of a checkpoint note."""
    return verify_cosignatures(note, args.witness_key, args.quorum)


def witness_check(args: argparse.Namespace) -> Check:
    """verify's check of the cosignatures on --checkpoint."""
    try:
        result = cosignatures(cli_checkpoint.read_note_file(args.checkpoint, "checkpoint"), args)
    except (OSError, UnicodeDecodeError, ValueError, cp.CheckpointError) as exc:
        return Check.unusable("witnesses", args.checkpoint, exc)
    details = result.to_json()
    del details["ok"], details["reason"]
    return Check("witnesses", EXIT_OK if result.ok else EXIT_FAILED, result.text, details=details)
