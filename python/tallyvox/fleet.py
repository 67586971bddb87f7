"""Auditing many ledgers: a stream walked as it is read, one large ledger on
several threads, and many ledgers (paths or fsspec URLs) on a process pool
or any ``concurrent.futures`` executor, such as a Dask cluster's."""

from __future__ import annotations

import collections
import os
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Generator, Iterable, Iterator, Union

import tallyvox
from tallyvox import _native
from tallyvox.cli.exit import error_text

# The process pools (concurrent.futures.process, multiprocessing) are
# imported by the functions that start them: most callers walk one ledger.
if TYPE_CHECKING:
    import concurrent.futures as cf
    import multiprocessing.context

    from tallyvox._native import _Readable

Source = Union[str, "os.PathLike[str]"]

_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*://")


@dataclass(frozen=True)
class LedgerVerdict:
    """What the walk found in one ledger; `error` when it could not be read."""

    source: str
    ok: bool
    status: str  # "valid", "broken" or "error"
    event_count: int = 0
    broken_at: int | None = None
    reason: str | None = None
    root_hash: str | None = None
    error: str | None = None

    @classmethod
    def of_report(cls, source: str, report: tallyvox.ChainReport) -> LedgerVerdict:
        return cls(source=source, ok=report.ok, status=report.status,
                   event_count=report.event_count, broken_at=report.broken_at,
                   reason=report.reason, root_hash=report.root_hash)

    @classmethod
    def unreadable(cls, source: str, exc: BaseException) -> LedgerVerdict:
        return cls(source=source, ok=False, status="error", error=error_text(exc))

    @classmethod
    def worker_died(cls, source: str) -> LedgerVerdict:
        return cls(source=source, ok=False, status="error", error=WORKER_DIED)


# The verdict on a source whose worker process died while it held it
# (killed, out of memory, crashed), even when it had it alone.
WORKER_DIED = "the worker process verifying it died"


def usable_cores() -> int:
    """The cores this process may run on."""
    return _native.usable_cores()


def ledger_paths(arguments: Iterable[str]) -> list[str]:
    """Files as given; a directory stands for every *.ndjson below it, in
    sorted order (one with none stays, to be reported as unreadable)."""
    paths: list[str] = []
    for argument in arguments:
        if not os.path.isdir(argument):
            paths.append(argument)
            continue
        found = sorted(os.path.join(top, name)
                       for top, _dirs, names in os.walk(argument)
                       for name in names if name.endswith(".ndjson"))
        paths.extend(found or [argument])
    return paths


def _positive(name: str, value: int, most: int | None = None) -> int:
    if (isinstance(value, bool) or not isinstance(value, int) or value < 1
            or (most is not None and value > most)):
        raise ValueError(f"{name} must be a positive integer, not {value!r}")
    return value


def _jobs(jobs: int) -> int:
    return _positive("jobs", jobs)


def verify_stream(fileobj: "_Readable", *, max_line_bytes: int | None = None) -> tallyvox.ChainReport:
    """Walk the ledger read from a binary file object, 64 KiB at a time, with
    the rules and errors of verify_file; a line longer than `max_line_bytes`
    (default: tallyvox.line_limit) raises ChainError."""
    return _native.verify_stream(fileobj, max_line_bytes)


def verify_file_parallel(path: Source, *, jobs: int,
                         max_line_bytes: int | None = None) -> tallyvox.ChainReport:
    """verify_file with the hashes and signatures checked on `jobs` threads;
    the report is the same. Threads that cannot start raise LedgerError."""
    return _native.verify_file_jobs(path, _jobs(jobs), max_line_bytes)


def _walk(source: str, max_line_bytes: int | None = None) -> tallyvox.ChainReport:
    if _URL.match(source):
        try:
            import fsspec  # type: ignore[import-untyped]
        except ImportError:
            raise ImportError("reading URLs needs fsspec: pip install 'tallyvox[fsspec]'") from None
        with fsspec.open(source, "rb") as stream:
            return verify_stream(stream, max_line_bytes=max_line_bytes)
    os.stat(source)  # a ledger that is not there is unreadable, not empty
    return _native.verify_file_jobs(source, 1, max_line_bytes)


def verify_source(source: Source, max_line_bytes: int | None = None) -> LedgerVerdict:
    """The verdict on one path or URL; never raises for the ledger's sake.

    A top-level function, so that process pools and clusters can ship it."""
    name = os.fspath(source)
    try:
        return LedgerVerdict.of_report(name, _walk(name, max_line_bytes))
    except Exception as exc:  # noqa: BLE001 - storage back ends raise their own kinds
        return LedgerVerdict.unreadable(name, exc)


def _pool_context() -> multiprocessing.context.BaseContext:
    # A forked child of a threaded parent can inherit held locks; the fork
    # server forks from a clean process instead.
    import multiprocessing

    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


def _as_finished(executor: cf.Executor, names: list[str],
                 max_line_bytes: int | None) -> Iterator[LedgerVerdict]:
    from concurrent.futures import as_completed

    futures = {executor.submit(verify_source, name, max_line_bytes): name for name in names}
    try:
        for future in as_completed(futures):
            try:
                yield future.result()
            except Exception as exc:  # noqa: BLE001 - a lost worker fails one ledger
                yield LedgerVerdict.unreadable(futures[future], exc)
    finally:
        for future in futures:
            future.cancel()


def _pool_round(pending: collections.deque[str], workers: int,
                max_line_bytes: int | None) -> Generator[LedgerVerdict, None, list[str]]:
    """Verdicts from one process pool, taking sources from `pending`, until
    they are all judged or a worker dies. A dead worker breaks the whole pool
    without saying which source it held, so the sources in flight then are
    returned, to be judged again one by one."""
    import concurrent.futures as cf
    from concurrent.futures.process import BrokenProcessPool

    with cf.ProcessPoolExecutor(workers, mp_context=_pool_context()) as pool:
        running: dict[cf.Future[LedgerVerdict], str] = {}
        try:
            while pending or running:
                # Two per worker keep every worker busy while one result
                # travels back.
                while pending and len(running) < 2 * workers:
                    try:
                        future = pool.submit(verify_source, pending[0], max_line_bytes)
                    except BrokenProcessPool:
                        return list(running.values())
                    running[future] = pending.popleft()
                done, _ = cf.wait(running, return_when=cf.FIRST_COMPLETED)
                lost = False
                for future in done:
                    name = running.pop(future)
                    try:
                        verdict = future.result()
                    except BrokenProcessPool:
                        running[future] = name
                        lost = True
                        continue
                    except Exception as exc:  # noqa: BLE001
                        verdict = LedgerVerdict.unreadable(name, exc)
                    yield verdict
                if lost:
                    return list(running.values())
        finally:
            for future in running:
                future.cancel()
    return []


def _alone(name: str, max_line_bytes: int | None) -> LedgerVerdict:
    """The verdict on one source in a process of its own."""
    from concurrent.futures import ProcessPoolExecutor
    from concurrent.futures.process import BrokenProcessPool

    with ProcessPoolExecutor(1, mp_context=_pool_context()) as pool:
        try:
            return pool.submit(verify_source, name, max_line_bytes).result()
        except BrokenProcessPool:
            return LedgerVerdict.worker_died(name)
        except Exception as exc:  # noqa: BLE001
            return LedgerVerdict.unreadable(name, exc)


def _local(names: list[str], jobs: int, max_line_bytes: int | None) -> Iterator[LedgerVerdict]:
    if jobs == 1 or len(names) <= 1:
        yield from (verify_source(name, max_line_bytes) for name in names)
        return
    pending = collections.deque(names)
    while pending:
        # A worker died: the sources it may have held are judged alone, so
        # that only the one that kills its worker fails; a new pool takes
        # the rest.
        for name in (yield from _pool_round(pending, min(jobs, len(pending)), max_line_bytes)):
            yield _alone(name, max_line_bytes)


def verify_many(sources: Iterable[Source], *, jobs: int | None = None,
                executor: cf.Executor | None = None,
                max_line_bytes: int | None = None) -> Iterator[LedgerVerdict]:
    """Verdicts on many ledgers, in the order they finish.

    By default on a local pool of `jobs` processes (the usable cores); with
    `executor`, on that executor, which is left running. A directory
    stands for every *.ndjson below it. A source that
    cannot be read yields a verdict with `error` and the rest go on; so does
    a source whose worker process dies, and the pool is made anew for the
    rest. A line longer than `max_line_bytes` (default: tallyvox.line_limit)
    makes its source malformed."""
    if max_line_bytes is not None:
        _positive("max_line_bytes", max_line_bytes, most=2**64 - 1)
    names = ledger_paths(os.fspath(source) for source in sources)
    if executor is not None:
        return _as_finished(executor, names, max_line_bytes)
    return _local(names, usable_cores() if jobs is None else _jobs(jobs), max_line_bytes)
