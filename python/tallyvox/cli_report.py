"""`tallyvox report`: the verdicts of `verify`, and the conversations they
cover, as one self-contained HTML page."""

from __future__ import annotations

import argparse
import time
from typing import Any, Callable

from tallyvox._files import write_atomically
from tallyvox.cli_checkpoint import add_verify_options
from tallyvox.cli_exit import EXIT_ERROR, CliError, complain, error_text
from tallyvox.cli_fleet import judge_all, positive_jobs, totals_line
from tallyvox.cli_summary import judge
from tallyvox.fleet import ledger_paths, usable_cores
from tallyvox.report.model import LedgerView, ledger_view

NO_JINJA = "the HTML report needs Jinja2: pip install 'tallyvox[report]'"


def _page() -> Any:
    """The page renderer, or CliError when Jinja2 is missing."""
    try:
        from tallyvox.report.page import Page
    except ImportError:
        raise CliError(NO_JINJA) from None
    return Page()


def write_report(path: str, views: list[LedgerView], index: bool,
                 totals: str | None = None) -> None:
    """Write the page of `views` to `path`; `index` adds the table of them."""
    write_atomically(path, _page().render(views, index, totals))


def _view(path: str, jobs: int, args: argparse.Namespace) -> LedgerView:
    # Built where the ledger is walked, so that only what the page shows of
    # it is kept while the others are walked.
    return ledger_view(*judge(path, jobs, args))


def cmd_report(args: argparse.Namespace) -> int:
    start = time.perf_counter()
    try:
        _page()  # before the walks, which a missing Jinja2 would waste
    except CliError as exc:
        complain("report", str(exc))
        return EXIT_ERROR
    paths = ledger_paths(args.ledgers)
    views = judge_all(paths, lambda path, jobs: _view(path, jobs, args), args.jobs,
                      progress=True)
    summaries = [view.summary for view in views]
    for summary in summaries:
        if summary.status == "error":
            complain(summary.path, summary.error or "")
    index = len(paths) > 1 or paths != args.ledgers  # several ledgers, or a directory
    totals = totals_line((s.exit_code for s in summaries),
                         sum(s.event_count for s in summaries), time.perf_counter() - start)
    try:
        write_report(args.output, views, index, totals if index else None)
    except OSError as exc:
        complain(args.output, error_text(exc))
        return EXIT_ERROR
    print(args.output)
    return max(summary.exit_code for summary in summaries)


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
    report.add_argument("ledgers", nargs="+", metavar="LEDGER",
                        help="ledger file (NDJSON), or a directory: every *.ndjson below it")
    report.add_argument("-o", "--output", required=True, metavar="FILE.html",
                        help="where to write the page")
    report.add_argument("--jobs", type=positive_jobs, default=usable_cores(), metavar="N",
                        help="ledgers verified at once, or threads for the walk of a single "
                             "ledger (default: the usable cores)")
    report.add_argument("--expect-signer", action="append", type=public_key, metavar="HEX",
                        help="a public key (64 hex characters) allowed to have signed; "
                             "repeat for several keys")
    add_verify_options(report)
