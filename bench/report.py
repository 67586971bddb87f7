"""`tallyvox report` on one ledger of 100,000 events against `tallyvox
verify --json` on it (the walk both make), and what the page costs on top:
the time from walked ledger to HTML, and the size of the HTML."""

from __future__ import annotations

import argparse
import contextlib
import io
import time

from tallyvox import cli
from tallyvox.cli.verify import judge
from tallyvox.report.model import ledger_view
from tallyvox.report.page import Page

from bench import fixtures
from bench.harness import Benchmark, CheckFailed, Target

NAME = "report"

# What a page of a 100,000-event ledger may cost.
RENDER_SECONDS = 5.0
PAGE_BYTES = 50_000_000

_OPTIONS = argparse.Namespace(expect_signer=None, checkpoint=None, require_end=False,
                              witness_key=None, quorum=None)


def _run(*argv: str) -> int:
    with contextlib.redirect_stdout(io.StringIO()):
        return cli.main(list(argv))


def _render(path: str) -> tuple[float, float, str]:
    """(walk seconds, render seconds, page) of one ledger, timed apart."""
    start = time.perf_counter()
    summary, ledger = judge(path, 2, _OPTIONS)
    walked = time.perf_counter()
    html = Page().render([ledger_view(summary, ledger)], index=False, totals=None)
    return walked - start, time.perf_counter() - walked, html


def build(quick: bool = False) -> Benchmark:
    count = 20_000 if quick else 100_000
    path = str(fixtures.ledger(count))
    page = str(fixtures.scratch_dir() / f"report-{count}.html")
    walk, render, html = _render(path)
    if "<p class=\"verdict-text\">valid</p>" not in html or f">{count}</dd>" not in html:
        raise CheckFailed(f"the page of {path} does not say valid with {count} events")
    size = len(html.encode("utf-8"))
    held = render < RENDER_SECONDS and size < PAGE_BYTES
    return Benchmark(
        name=NAME,
        contenders={
            "verify": lambda: _run("verify", "--json", "--jobs", "2", path),
            "report": lambda: _run("report", "--jobs", "2", path, "-o", page),
        },
        batch=1,
        rounds=3,
        quick_rounds=2,
        warmup=1,
        per_call={"verify": count, "report": count},
        targets=[Target(contender="report", baseline="verify", minimum=0.75)],
        notes=[f"one ledger of {count} events; ns/op is per event, the whole command run "
               "in this process with --jobs 2",
               f"walk {walk:.2f} s, then the page in {render:.2f} s: {size / 1e6:.2f} MB of HTML "
               f"({'PASS' if held else 'MISS'}: under {RENDER_SECONDS:g} s and "
               f"{PAGE_BYTES / 1e6:g} MB)"],
    )
