"""`verify` over many ledgers: ledgers judged on several threads (the walks
run without the interpreter lock), a progress bar on a terminal, and the
totals line."""

from __future__ import annotations

import queue
import sys
import threading
from typing import Any, Callable, Iterable, Sequence, TypeVar

from tallyvox.cli.exit import EXIT_ERROR, EXIT_FAILED, EXIT_OK, CliError

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

    One ledger gets every job for its walk; several share the jobs out, on
    daemon threads: Ctrl-C then ends the command at once, not after every
    walk in flight (the interpreter ends those threads at exit)."""
    step = _progress(len(paths), progress)
    walk_jobs = max(1, jobs // max(1, len(paths)))
    if jobs == 1 or len(paths) < 2:
        in_order = []
        for path in paths:
            in_order.append(judge(path, walk_jobs))
            step()
        return in_order
    todo: queue.SimpleQueue[int | None] = queue.SimpleQueue()
    done: queue.SimpleQueue[tuple[int, T | BaseException]] = queue.SimpleQueue()

    def work() -> None:
        while (index := todo.get()) is not None:
            try:
                done.put((index, judge(paths[index], walk_jobs)))
            except BaseException as exc:  # noqa: BLE001 - raised again below
                done.put((index, exc))

    threads = _start_daemons(min(jobs, len(paths)), work, todo)
    for index in [*range(len(paths)), *[None] * len(threads)]:
        todo.put(index)
    results: dict[int, T] = {}
    for _ in paths:
        index, outcome = done.get()
        if isinstance(outcome, BaseException):
            raise outcome
        results[index] = outcome
        step()
    return [results[index] for index in range(len(paths))]


def _start_daemons(count: int, work: Callable[[], None],
                   todo: queue.SimpleQueue[Any]) -> list[threading.Thread]:
    """`count` daemon threads running `work`, which stops at a None in `todo`.
    When one cannot start, those started are stopped and joined."""
    threads: list[threading.Thread] = []
    try:
        for _ in range(count):
            thread = threading.Thread(target=work, daemon=True)
            thread.start()
            threads.append(thread)
    except RuntimeError as exc:  # a thread or memory limit reached
        for _ in threads:
            todo.put(None)
        for thread in threads:
            thread.join()
        raise CliError(f"cannot start {count} threads: {exc}") from None
    return threads


def totals_line(codes: Iterable[int], events: int, seconds: float) -> str:
    codes = list(codes)
    count = {code: codes.count(code) for code in (EXIT_OK, EXIT_FAILED, EXIT_ERROR)}
    noun = "ledger" if len(codes) == 1 else "ledgers"
    return (f"{len(codes)} {noun}: {count[EXIT_OK]} valid, {count[EXIT_FAILED]} broken, "
            f"{count[EXIT_ERROR]} unreadable; {events} events; {seconds:.2f} s")
