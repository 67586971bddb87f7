"""The arguments of the commands whose code is imported only when they run
(checkpoint, prove, verify-proof, recover, report) and the options verify
shares with them."""

from __future__ import annotations

import argparse
from typing import Any, Callable

from tallyvox import _native
from tallyvox.cli.lazy import command

MAX_SEQ = (1 << 64) - 1


def positive_jobs(text: str) -> int:
    """The --jobs argument."""
    try:
        jobs = int(text)
    except ValueError:
        jobs = 0
    if jobs < 1:
        raise argparse.ArgumentTypeError(f"not a positive number of jobs: {text!r}")
    return jobs


def usable_cores() -> int:
    """The default of --jobs: the cores this process may run on."""
    return _native.usable_cores()


def _seq(text: str) -> int:
    if not text.isdigit() or not text.isascii() or len(text) > 20 or int(text) > MAX_SEQ:
        raise argparse.ArgumentTypeError(f"not a seq (a decimal number up to {MAX_SEQ}): {text!r}")
    return int(text)


def add_ledger_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("ledger", metavar="LEDGER", help="ledger file (NDJSON)")


def add_json_option(parser: argparse.ArgumentParser,
                    text: str = "print one JSON document") -> None:
    parser.add_argument("--json", action="store_true", help=text)


def add_ledgers_argument(parser: argparse.ArgumentParser) -> None:
    """The ledgers of verify and report."""
    parser.add_argument("ledgers", nargs="+", metavar="LEDGER",
                        help="ledger file (NDJSON), or a directory: every *.ndjson below it")


def add_jobs_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--jobs", type=positive_jobs, default=usable_cores(), metavar="N",
                        help="ledgers verified at once, or threads for the walk of a single "
                             "ledger (default: the usable cores)")


def add_signers_option(parser: argparse.ArgumentParser, public_key: Callable[[str], str]) -> None:
    parser.add_argument("--expect-signer", action="append", type=public_key, metavar="HEX",
                        help="a public key (64 hex characters) allowed to have signed; "
                             "repeat for several keys")


def add_verify_options(verify: argparse.ArgumentParser) -> None:
    verify.add_argument("--checkpoint", metavar="FILE",
                        help="a checkpoint the ledger must match: signed by its signer (or "
                             "an expected one), its first events having the checkpoint's root")
    verify.add_argument("--require-end", action="store_true",
                        help="the last event must be SessionEnded")


CHECKPOINT_TEXTS = dict(
    help="sign a checkpoint of a whole, valid ledger",
    description="Verify the whole chain and, when every event is valid and signed by "
                "KEYFILE's key, write a signed checkpoint (c2sp.org/tlog-checkpoint) of "
                "the Merkle tree of its events. Keep it anywhere but beside the ledger.",
    epilog="Exit status: 0 written, 1 the chain is broken or has another signer, "
           "2 an input cannot be read.")

PROVE_TEXTS = dict(
    help="write the inclusion proof of one event",
    description="Write the proof (c2sp.org/tlog-proof) that event N is in the tree "
                "of a checkpoint the ledger matches: its line, its audit path and the "
                "checkpoint.",
    epilog="Exit status: 0 written, 1 the ledger does not match the checkpoint, "
           "2 an input cannot be read or N is not in the checkpoint.")

VERIFY_PROOF_TEXTS = dict(
    help="check an inclusion proof without the ledger",
    description="Check the checkpoint's signature by HEX (or the log's VKEY), the "
                "disclosed event's hash, signature and signer, its inclusion in the "
                "checkpoint's tree, and with --witness-key the witnesses' cosignatures.",
    epilog="Exit status: 0 the proof holds, 1 it does not, 2 the file is malformed.")


def add_checkpoint_commands(commands: Any, add_command: Callable[..., argparse.ArgumentParser],
                            public_key: Callable[[str], str]) -> None:
    """Declare checkpoint, prove and verify-proof."""
    make = add_command(commands, "checkpoint", command("tallyvox.cli.checkpoint", "cmd_checkpoint"),
                       **CHECKPOINT_TEXTS)
    add_ledger_argument(make)
    make.add_argument("--key", required=True, metavar="KEYFILE", help="secret-key file")
    make.add_argument("--origin", help="the checkpoint's origin (default: tallyvox/ and the "
                                       "self_hash of the first event)")
    make.add_argument("-o", "--output", metavar="OUT", help="default: LEDGER.checkpoint")
    add_json_option(make)

    prove = add_command(commands, "prove", command("tallyvox.cli.checkpoint", "cmd_prove"),
                        **PROVE_TEXTS)
    add_ledger_argument(prove)
    prove.add_argument("--seq", required=True, type=_seq, metavar="N", help="the event's seq")
    prove.add_argument("--checkpoint", required=True, metavar="FILE", help="checkpoint file")
    prove.add_argument("-o", "--output", metavar="OUT", help="default: standard output")
    add_json_option(prove)

    check = add_command(commands, "verify-proof", command("tallyvox.cli.checkpoint", "cmd_verify_proof"),
                        **VERIFY_PROOF_TEXTS)
    check.add_argument("proof", metavar="PROOF", help="proof file (.tlog-proof)")
    check.add_argument("--expect-signer", required=True, type=public_key, metavar="HEX|VKEY",
                       help="the public key (64 hex characters) that signed, or the log's vkey")
    add_json_option(check)


RECOVER_TEXTS = dict(
    help="take a torn final line aside after a crash",
    description="When every complete line of LEDGER is a record and only the final "
                "line is torn (no LF, not a record), copy that line to "
                "LEDGER.torn-<UTC time>, cut the ledger after its last LF and flush "
                "both, so that the ledger opens and verifies again. An intact ledger "
                "is left alone; any other damage changes nothing. While a session "
                "holds the ledger it is refused and changes nothing.",
    epilog="Exit status: 0 recovered or intact, 2 the ledger is missing, unreadable, "
           "damaged otherwise or open by another writer (the reason is printed).")


def add_recover_arguments(recover: argparse.ArgumentParser) -> None:
    add_ledger_argument(recover)
    add_json_option(recover)


REPORT_TEXTS = dict(
    help="write an HTML report of ledgers for auditors",
    description="Verify each ledger as verify does and write one self-contained HTML page "
                "(no script, style or font from elsewhere): the verdict, the conversation "
                "as a timeline of what was heard and said, model and tool calls with their "
                "latencies, a latency chart, per-tool totals, and each event's hashes, "
                "signer and ledger line. Several ledgers, or a directory, get an index. "
                "The middle of a long session is folded into counts.",
    epilog="Exit status: 0 every ledger is valid (and signed only by the expected keys), "
           "1 a chain is broken or carries another signer, 2 a ledger or the output cannot "
           "be read or written (the page is still written when only ledgers fail). "
           "Needs Jinja2: pip install 'tallyvox[report]'.")


def add_report_arguments(report: argparse.ArgumentParser,
                         public_key: Callable[[str], str]) -> None:
    add_ledgers_argument(report)
    report.add_argument("-o", "--output", required=True, metavar="FILE.html",
                        help="where to write the page")
    add_jobs_option(report)
    add_signers_option(report, public_key)
    add_verify_options(report)
