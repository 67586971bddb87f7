"""The arguments of the witness commands (witness init and serve), the
witness options of checkpoint, verify, verify-proof and report, and keygen's
--vkey: the witness modules (asyncio, SQLite) are imported only when a
witness option is given or a witness command runs."""

from __future__ import annotations

import argparse
import string
from typing import Any, Callable

from tallyvox._tallyvox import SigningKeypair, _native
from tallyvox.cli.lazy import argument_type, command, deferred_type, imported

SIZES_SUFFIX = ".witness-sizes.json"


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
        return str(argument_type(imported("tallyvox.witness.vkey", "signer_key"))(text))
    if len(text) != 64 or any(c not in string.hexdigits for c in text):
        raise argparse.ArgumentTypeError(
            f"not a public key (64 hexadecimal characters) or a vkey: {text!r}")
    return text.lower()


def vkey_of(keypair: SigningKeypair, args: argparse.Namespace) -> str:
    """What keygen prints: the public key, or the vkey under --vkey's name."""
    if args.vkey is None:
        return keypair.pubkey_hex
    return str(imported("tallyvox.witness.vkey", "Vkey").of(keypair, args.vkey, cosigner=args.cosigner))


def add_keygen_options(keygen: argparse.ArgumentParser) -> None:
    keygen.add_argument("--vkey", metavar="NAME", type=_key_name,
                        help="print the verifier key (vkey) of the key under NAME instead: a "
                             "log's origin, or a witness's name with --cosigner")
    keygen.add_argument("--cosigner", action="store_true",
                        help="with --vkey: the key of a witness (type 0x04), not of a log")


def add_witness_key_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--witness-key", action="append",
                        type=deferred_type("tallyvox.witness.vkey", "cosigner_key"),
                        metavar="VKEY", help="a witness whose cosignature counts (its vkey); "
                                             "repeat for several")
    parser.add_argument("--quorum", type=_quorum, metavar="N",
                        help="cosignatures required (default: every --witness-key)")


WITNESS_INIT_TEXTS = dict(
    help="create a witness database",
    description="Create the SQLite database of a witness's state. serve "
                "refuses a database that is missing.")

WITNESS_SERVE_TEXTS = dict(
    help="serve POST /add-checkpoint",
    description="Serve add-checkpoint (c2sp.org/tlog-witness) for the logs given, "
                "cosigning (cosignature/v1) with KEYFILE's key as NAME. Prints its vkey "
                "and URL, logs refused checkpoints that the log signed to stderr and "
                "keeps them in the database. Stops on SIGTERM or SIGINT.")


def add_witness_commands(commands: Any, add_command: Callable[..., argparse.ArgumentParser]) -> None:
    """Declare witness init and serve; add the witness options of checkpoint,
    verify, verify-proof and report."""
    witness = commands.add_parser(
        "witness", help="run a witness that cosigns logs' checkpoints",
        description="A witness (c2sp.org/tlog-witness) cosigns a checkpoint only when it "
                    "extends the last one it cosigned for that log.")
    actions = witness.add_subparsers(dest="witness_command", required=True, metavar="COMMAND")
    init = add_command(actions, "init", command("tallyvox.cli.witness", "cmd_witness_init"),
                       **WITNESS_INIT_TEXTS)
    init.add_argument("--db", required=True, metavar="PATH", help="the database file to create")
    serve = add_command(actions, "serve", command("tallyvox.cli.witness", "cmd_witness_serve"),
                        **WITNESS_SERVE_TEXTS)
    serve.add_argument("--db", required=True, metavar="PATH", help="database made by witness init")
    serve.add_argument("--key", required=True, metavar="KEYFILE", help="the witness's secret-key file")
    serve.add_argument("--name", required=True, help="the witness's name in its cosignatures")
    serve.add_argument("--log", action="append",
                       type=deferred_type("tallyvox.witness.vkey", "signer_key"),
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
                      type=deferred_type("tallyvox.witness.client", "Witness.parse"),
                      help="a witness to cosign the checkpoint: its URL and vkey; repeat for "
                           "several. The sizes they hold are kept in OUT" + SIZES_SUFFIX)
    make.add_argument("--quorum", type=_quorum, metavar="N",
                      help="with --witness: cosignatures required, or exit 1 without writing "
                           "(default: every witness)")
    for name in ("verify", "verify-proof", "report"):
        add_witness_key_options(commands.choices[name])
    for name, run in (("checkpoint", command("tallyvox.cli.witness", "cmd_checkpoint")),
                      ("verify", None), ("verify-proof", None), ("report", None)):
        parser = commands.choices[name]
        parser.set_defaults(func=_checked(parser, run or parser.get_default("func")))


def _argument_problem(args: argparse.Namespace) -> str | None:
    """What is wrong between the witness options, that argparse cannot say."""
    given, option = (args.witness, "--witness") if args.command == "checkpoint" else (
        args.witness_key, "--witness-key")
    count = 0
    if given:  # parsed, so the witness modules are imported already
        from tallyvox.witness.client import Witness

        count = len({w.vkey if isinstance(w, Witness) else w for w in given})
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
