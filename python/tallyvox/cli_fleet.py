"""`verify` over many ledgers: ledgers judged on several threads (the walks
run without the interpreter lock), a progress bar on a terminal, and the
totals line."""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import sys
from typing import Callable, Iterable, Sequence, TypeVar

from tallyvox.cli_exit import EXIT_ERROR, EXIT_FAILED, EXIT_OK, CliError

T = TypeVar("T")

# Below this many seconds a run ends before a bar would help.
PROGRESS_DELAY = 0.5


def _progress(total: int, shown: bool) -> Callable[[], None]:
    """A step of the bar on stderr, or nothing unless both outputs are a
    terminal (a bar would garble a pager or a log)."""
    if not shown or total < 2 or not (sys.stdout.isatty() and sys.stderr.isatty()):
        return lambda: None
    # tqdm: one small, pure-Python dependency that draws on stderr and
    # stays away from pipes.
    from tqdm import tqdm  # type: ignore[import-untyped]

    bar = tqdm(total=total, unit="ledger", delay=PROGRESS_DELAY, leave=False, file=sys.stderr)

    def step() -> None:
        bar.update()
        if bar.n == total:
            bar.close()

    return step


def judge_all(paths: Sequence[str], judge: Callable[[str, int], T], jobs: int,
              progress: bool) -> list[T]:
    """`judge(path, walk_jobs)` for every path, results in the order given.

    One ledger gets every job for its walk; several share the jobs out."""
    step = _progress(len(paths), progress)
    walk_jobs = max(1, jobs // max(1, len(paths)))
    if jobs == 1 or len(paths) < 2:
        results = []
        for path in paths:
            results.append(judge(path, walk_jobs))
            step()
        return results
    workers = min(jobs, len(paths))
    with cf.ThreadPoolExecutor(workers) as pool:
        try:
            futures = [pool.submit(judge, path, walk_jobs) for path in paths]
        except RuntimeError as exc:  # a thread that cannot start (a limit reached)
            pool.shutdown(cancel_futures=True)
            raise CliError(f"cannot start {workers} threads: {exc}") from None
        for future in cf.as_completed(futures):
            step()
        return [future.result() for future in futures]


def totals_line(codes: Iterable[int], events: int, seconds: float) -> str:
    codes = list(codes)
    count = {code: codes.count(code) for code in (EXIT_OK, EXIT_FAILED, EXIT_ERROR)}
    noun = "ledger" if len(codes) == 1 else "ledgers"
    return (f"{len(codes)} {noun}: {count[EXIT_OK]} valid, {count[EXIT_FAILED]} broken, "
            f"{count[EXIT_ERROR]} unreadable; {events} events; {seconds:.2f} s")


def positive_jobs(text: str) -> int:
    """The --jobs argument."""
    try:
        jobs = int(text)
    except ValueError:
        jobs = 0
    if jobs < 1:
        raise argparse.ArgumentTypeError(f"not a positive number of jobs: {text!r}")
    return jobs
