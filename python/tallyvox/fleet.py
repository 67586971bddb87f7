"""Auditing many ledgers: a stream walked as it is read, one large ledger on
several threads, and many ledgers (paths or fsspec URLs) on a process pool
or any ``concurrent.futures`` executor, such as a Dask cluster's."""

from __future__ import annotations

import concurrent.futures as cf
import multiprocessing
import os
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Iterable, Iterator, Union

import tallyvox
from tallyvox import _native
from tallyvox.cli_exit import error_text

if TYPE_CHECKING:
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


def usable_cores() -> int:
    """The cores this process may run on."""
    return len(os.sched_getaffinity(0))


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


def _jobs(jobs: int) -> int:
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"jobs must be a positive integer, not {jobs!r}")
    return jobs


def verify_stream(fileobj: "_Readable") -> tallyvox.ChainReport:
    """Walk the ledger read from a binary file object, 64 KiB at a time, with
    the rules and errors of verify_file."""
    return _native.verify_stream(fileobj)


def verify_file_parallel(path: Source, *, jobs: int) -> tallyvox.ChainReport:
    """verify_file with the hashes and signatures checked on `jobs` threads;
    the report is the same."""
    return _native.verify_file_jobs(path, _jobs(jobs))


def _walk(source: str) -> tallyvox.ChainReport:
    if _URL.match(source):
        try:
            import fsspec  # type: ignore[import-untyped]
        except ImportError:
            raise ImportError("reading URLs needs fsspec: pip install 'tallyvox[fsspec]'") from None
        with fsspec.open(source, "rb") as stream:
            return verify_stream(stream)
    os.stat(source)  # a ledger that is not there is unreadable, not empty
    return tallyvox.verify_file(source)


def verify_source(source: Source) -> LedgerVerdict:
    """The verdict on one path or URL; never raises for the ledger's sake.

    A top-level function, so that process pools and clusters can ship it."""
    name = os.fspath(source)
    try:
        return LedgerVerdict.of_report(name, _walk(name))
    except Exception as exc:  # noqa: BLE001 - storage back ends raise their own kinds
        return LedgerVerdict.unreadable(name, exc)


def _pool_context() -> multiprocessing.context.BaseContext:
    # A forked child of a threaded parent can inherit held locks; the fork
    # server forks from a clean process instead.
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


def _as_finished(executor: cf.Executor, names: list[str]) -> Iterator[LedgerVerdict]:
    futures = {executor.submit(verify_source, name): name for name in names}
    try:
        for future in cf.as_completed(futures):
            try:
                yield future.result()
            except Exception as exc:  # noqa: BLE001 - a lost worker fails one ledger
                yield LedgerVerdict.unreadable(futures[future], exc)
    finally:
        for future in futures:
            future.cancel()


def _local(names: list[str], jobs: int) -> Iterator[LedgerVerdict]:
    if jobs == 1 or len(names) <= 1:
        yield from map(verify_source, names)
        return
    with cf.ProcessPoolExecutor(min(jobs, len(names)), mp_context=_pool_context()) as pool:
        yield from _as_finished(pool, names)


def verify_many(sources: Iterable[Source], *, jobs: int | None = None,
                executor: cf.Executor | None = None) -> Iterator[LedgerVerdict]:
    """Verdicts on many ledgers, in the order they finish.

    By default on a local pool of `jobs` processes (the usable cores); with
    `executor`, on that executor, which is left running. A directory
    stands for every *.ndjson below it. A source that
    cannot be read yields a verdict with `error` and the rest go on."""
    names = ledger_paths(os.fspath(source) for source in sources)
    if executor is not None:
        return _as_finished(executor, names)
    return _local(names, usable_cores() if jobs is None else _jobs(jobs))
