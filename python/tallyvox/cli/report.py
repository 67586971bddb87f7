"""`tallyvox report`: the verdicts of `verify`, and the conversations they
cover, as one self-contained HTML page."""

from __future__ import annotations

import argparse
import time
from typing import Any

from tallyvox._files import write_atomically
from tallyvox.cli.exit import EXIT_ERROR, CliError, complain, error_text
from tallyvox.cli.fleet import judge_all, totals_line
from tallyvox.cli.verify import judge
from tallyvox.fleet import ledger_paths
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
