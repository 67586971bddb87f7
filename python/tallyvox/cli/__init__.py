"""Command line for tallyvox: verify and show ledgers, make keys, run a demo.

Exit codes: 0 when everything checked holds, 1 when a chain is broken or a
ledger carries a signer that was not expected, 2 when an input cannot be read
or is malformed (or the command line is wrong). Errors are one line on stderr.
"""

from __future__ import annotations

import argparse
import functools
import os
import string
import sys
import warnings
from typing import Any, Callable, Sequence

import tallyvox
from tallyvox.about import version_text
from tallyvox.cli.args import (RECOVER_TEXTS, REPORT_TEXTS, add_checkpoint_commands, add_jobs_option,
                               add_json_option, add_ledger_argument, add_ledgers_argument,
                               add_recover_arguments, add_report_arguments, add_signers_option,
                               add_verify_options)
from tallyvox.cli.exit import EXIT_ERROR, EXIT_FAILED, PROG, CliError, complain, error_text
from tallyvox.cli.lazy import command
from tallyvox.cli.witness_args import add_keygen_options, add_witness_commands, note_signer

# Each command's code is imported when it runs: `tallyvox --version` and
# `tallyvox verify` start without the checkpoint, fleet, witness and report
# modules (and what they import: dataclasses, asyncio, SQLite, Jinja2).


def _one_line_warning(show: Callable[..., None], message: Warning | str, category: type[Warning],
                      filename: str, lineno: int, file: Any = None, line: str | None = None) -> None:
    """A key that others may reach is one line on stderr, whichever command
    loaded it; any other warning is shown by `show`, as Python would."""
    if issubclass(category, tallyvox.KeyPermissionWarning):
        complain("warning", str(message))
    else:
        show(message, category, filename, lineno, file, line)


def _public_key(text: str) -> str:
    if len(text) != 64 or any(c not in string.hexdigits for c in text):
        raise argparse.ArgumentTypeError(
            f"not a public key (64 hexadecimal characters): {text!r}")
    return text.lower()


def add_command(commands: Any, name: str, func: Callable[[argparse.Namespace], int],
                **texts: Any) -> argparse.ArgumentParser:
    """A subcommand whose parsed arguments go to `func`."""
    parser: argparse.ArgumentParser = commands.add_parser(name, **texts)
    parser.set_defaults(func=func)
    return parser


VERIFY_TEXTS = dict(
    help="verify ledger files and summarise them",
    description="Walk the chain of each ledger (sequence numbers, parent links, "
                "hashes, signatures) and print a summary: event count, valid or "
                "broken with the first break, root hash, signer keys and time span "
                "(UTC). The walk checks each event against the key it carries; "
                "use --expect-signer to bind a ledger to the keys you trust.",
    epilog="Exit status: 0 every ledger is valid (and signed only by the expected "
           "keys), 1 a chain is broken or carries another signer, 2 a file is "
           "missing, unreadable or malformed.")

SHOW_TEXTS = dict(
    help="print the timeline of a ledger",
    description="Print one line per event: seq, UTC time, type and its key fields, "
                "long texts shortened. The event at which the chain breaks, if any, "
                "is marked; use verify for the verdict and exit status.")

KEYGEN_TEXTS = dict(
    help="load or create a secret-key file and print its public key",
    description="Load the 32-byte Ed25519 secret key at PATH, or create one "
                "(mode 0600) if PATH does not exist, and print its public key. A key "
                "file that group or others may read or write, or that another user "
                "owns, is still loaded, with a warning on stderr.")

DEMO_TEXTS = dict(
    help="record, verify and show a sample conversation",
    description="Record a short sample conversation using all seven event types "
                "into a fresh ledger signed by a fresh key, in a new directory "
                "under DIR, then verify it, print the timeline and summary, and "
                "write its HTML report beside it (with Jinja2 installed).")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Verify and inspect tallyvox ledgers: tamper-evident, signed "
                    "NDJSON records of what an AI agent did.",
        epilog="Exit status: 0 all checks hold, 1 a chain is broken or has an "
               "unexpected signer, 2 an input cannot be read or is malformed.")
    parser.add_argument("--version", action="version", version=version_text())
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    verify = add_command(commands, "verify", command("tallyvox.cli.verify", "cmd_verify"),
                         **VERIFY_TEXTS)
    add_ledgers_argument(verify)
    add_jobs_option(verify)
    add_json_option(verify)
    add_signers_option(verify, _public_key)
    add_verify_options(verify)

    show = add_command(commands, "show", command("tallyvox.cli.show", "cmd_show"), **SHOW_TEXTS)
    add_ledger_argument(show)
    add_json_option(show, "print the events, payloads in full, as one JSON document")

    keygen = add_command(commands, "keygen", command("tallyvox.cli.keys", "cmd_keygen"),
                         **KEYGEN_TEXTS)
    keygen.add_argument("path", metavar="PATH", help="secret-key file")
    add_keygen_options(keygen)

    add_recover_arguments(add_command(commands, "recover", command("tallyvox.cli.recover", "cmd_recover"),
                                      **RECOVER_TEXTS))
    add_report_arguments(add_command(commands, "report", command("tallyvox.cli.report", "cmd_report"),
                                     **REPORT_TEXTS), _public_key)

    demo = add_command(commands, "demo", command("tallyvox.cli.demo", "cmd_demo"), **DEMO_TEXTS)
    demo.add_argument("--dir", default="tallyvox-demo", metavar="DIR",
                      help="where to create the run directory (default: ./tallyvox-demo)")
    add_checkpoint_commands(commands, add_command, note_signer)
    add_witness_commands(commands, add_command)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]); return the exit code."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
    args = build_parser().parse_args(argv)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("always", tallyvox.KeyPermissionWarning)
            warnings.showwarning = functools.partial(_one_line_warning, warnings.showwarning)
            code: int = args.func(args)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (for example `| head`); stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 130
    except (CliError, MemoryError) as exc:
        complain(args.command, error_text(exc))
        return EXIT_ERROR
    return code


if __name__ == "__main__":
    sys.exit(main())
