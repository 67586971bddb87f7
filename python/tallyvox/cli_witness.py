"""The witness commands: witness init and serve, checkpoint --witness, the
--witness-key checks of verify and verify-proof, and keygen --vkey."""

from __future__ import annotations

import argparse
import asyncio
import logging
import signal
import string
import sys
from typing import Any, Callable

import tallyvox
from tallyvox import checkpoint as cp
from tallyvox import cli_checkpoint
from tallyvox._files import write_atomically
from tallyvox._tallyvox import _native
from tallyvox.cli_checkpoint import Check, _report as report
from tallyvox.cli_exit import EXIT_ERROR, EXIT_FAILED, EXIT_OK, complain, error_text
from tallyvox.witness import client, state
from tallyvox.witness.verify import WitnessCheck, utc_seconds, verify_cosignatures
from tallyvox.witness.vkey import Vkey, cosigner_key, signer_key

SIZES_SUFFIX = ".witness-sizes.json"


# ---------------------------------------------------------------------------
# Argument types


def _argument(parse: Callable[[str], Any]) -> Callable[[str], Any]:
    def convert(text: str) -> Any:
        try:
            return parse(text)
        except (ValueError, tallyvox.TallyvoxError) as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
    return convert


def _quorum(text: str) -> int:
    if not text.isdigit() or not text.isascii() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive number of witnesses: {text!r}")
    return int(text)


def _log_prefix(text: str) -> tuple[str, bytes]:
    prefix, equals, key = text.rpartition("=")
    if not equals or not prefix or len(key) != 64 or not all(c in "0123456789abcdefABCDEF" for c in key):
        raise argparse.ArgumentTypeError(f"not PREFIX=HEX (a public key of 64 hexadecimal "
                                         f"characters): {text!r}")
    return prefix, bytes.fromhex(key)


def _listen(text: str) -> tuple[str, int]:
    host, colon, port = text.rpartition(":")
    host = host.removeprefix("[").removesuffix("]")
    if not colon or not host or not port.isdigit() or not port.isascii() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"not HOST:PORT: {text!r}")
    return host, int(port)


def _key_name(text: str) -> str:
    try:
        _native.format_vkey(text, bytes(32), 1)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def note_signer(text: str) -> str:
    """--expect-signer of verify-proof: 64 hex characters, or a log's vkey."""
    if "+" in text:
        return str(_argument(signer_key)(text))
    if len(text) != 64 or any(c not in string.hexdigits for c in text):
        raise argparse.ArgumentTypeError(
            f"not a public key (64 hexadecimal characters) or a vkey: {text!r}")
    return text.lower()


# ---------------------------------------------------------------------------
# keygen --vkey


def vkey_of(keypair: tallyvox.SigningKeypair, args: argparse.Namespace) -> str:
    """What keygen prints: the public key, or the vkey under --vkey's name."""
    if args.vkey is None:
        return keypair.pubkey_hex
    return str(Vkey.of(keypair, args.vkey, cosigner=args.cosigner))


def add_keygen_options(keygen: argparse.ArgumentParser) -> None:
    keygen.add_argument("--vkey", metavar="NAME", type=_key_name,
                        help="print the verifier key (vkey) of the key under NAME instead: a "
                             "log's origin, or a witness's name with --cosigner")
    keygen.add_argument("--cosigner", action="store_true",
                        help="with --vkey: the key of a witness (type 0x04), not of a log")


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


def add_witness_key_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--witness-key", action="append", type=_argument(cosigner_key),
                        metavar="VKEY", help="a witness whose cosignature counts (its vkey); "
                                             "repeat for several")
    parser.add_argument("--quorum", type=_quorum, metavar="N",
                        help="cosignatures required (default: every --witness-key)")


def add_witness_commands(commands: Any, add_command: Callable[..., argparse.ArgumentParser]) -> None:
    """Declare witness init and serve; add the witness options of checkpoint,
    verify and verify-proof."""
    witness = commands.add_parser(
        "witness", help="run a witness that cosigns logs' checkpoints",
        description="A witness (c2sp.org/tlog-witness) cosigns a checkpoint only when it "
                    "extends the last one it cosigned for that log.")
    actions = witness.add_subparsers(dest="witness_command", required=True, metavar="COMMAND")
    init = add_command(actions, "init", cmd_witness_init, help="create a witness database",
                       description="Create the SQLite database of a witness's state. serve "
                                   "refuses a database that is missing.")
    init.add_argument("--db", required=True, metavar="PATH", help="the database file to create")
    serve = add_command(
        actions, "serve", cmd_witness_serve, help="serve POST /add-checkpoint",
        description="Serve add-checkpoint (c2sp.org/tlog-witness) for the logs given, "
                    "cosigning (cosignature/v1) with KEYFILE's key as NAME. Prints its vkey "
                    "and URL, logs refused checkpoints that the log signed to stderr and "
                    "keeps them in the database. Stops on SIGTERM or SIGINT.")
    serve.add_argument("--db", required=True, metavar="PATH", help="database made by witness init")
    serve.add_argument("--key", required=True, metavar="KEYFILE", help="the witness's secret-key file")
    serve.add_argument("--name", required=True, help="the witness's name in its cosignatures")
    serve.add_argument("--log", action="append", type=_argument(signer_key),
                       metavar="VKEY", help="a log to witness: its vkey, named by its origin; "
                                            "repeat for several")
    serve.add_argument("--log-prefix", action="append", type=_log_prefix,
                       metavar="PREFIX=HEX",
                       help="witness every log whose origin starts with PREFIX and whose "
                            "checkpoints this public key (64 hex characters) signs, such as "
                            "each ledger of one agent; repeat for several")
    serve.add_argument("--listen", required=True, type=_listen, metavar="HOST:PORT",
                       help="address to listen on (port 0: any free port)")

    make = commands.choices["checkpoint"]
    make.add_argument("--witness", action="append", metavar="URL=VKEY",
                      type=_argument(client.Witness.parse),
                      help="a witness to cosign the checkpoint: its URL and vkey; repeat for "
                           "several. The sizes they hold are kept in OUT" + SIZES_SUFFIX)
    make.add_argument("--quorum", type=_quorum, metavar="N",
                      help="with --witness: cosignatures required, or exit 1 without writing "
                           "(default: every witness)")
    for name in ("verify", "verify-proof", "report"):
        add_witness_key_options(commands.choices[name])
    for name, command in (("checkpoint", cmd_checkpoint), ("verify", None), ("verify-proof", None),
                          ("report", None)):
        parser = commands.choices[name]
        parser.set_defaults(func=_checked(parser, command or parser.get_default("func")))


def _argument_problem(args: argparse.Namespace) -> str | None:
    """What is wrong between the witness options, that argparse cannot say."""
    given, option = (args.witness, "--witness") if args.command == "checkpoint" else (
        args.witness_key, "--witness-key")
    count = len({w.vkey if isinstance(w, client.Witness) else w for w in given or ()})
    if args.quorum is not None and not given:
        return f"--quorum needs {option}"
    if args.quorum is not None and args.quorum > count:
        return f"--quorum {args.quorum} is more than the {count} distinct {option} given"
    if args.command in ("verify", "report") and given and args.checkpoint is None:
        return "--witness-key needs --checkpoint"
    return None


def _checked(parser: argparse.ArgumentParser, command: Callable[[argparse.Namespace], int]
             ) -> Callable[[argparse.Namespace], int]:
    """`command`, once the witness options agree (a usage error otherwise)."""
    def run(args: argparse.Namespace) -> int:
        problem = _argument_problem(args)
        if problem is not None:
            parser.error(problem)
        return command(args)
    return run
