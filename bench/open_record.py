"""A short session's life: Session.open on a small ledger (taking its writer
lock), one record, and the session dropped (closing the file). Against the
same with the extension of another revision, loaded beside this one, when
TALLYVOX_BENCH_BASELINE names a directory holding its `tallyvox` package
(`make bench BENCH_BASE=main` builds one from that git ref)."""

from __future__ import annotations

import functools
import glob
import importlib.util
import os
import shutil
import sys
import tempfile
from types import ModuleType

import tallyvox

from bench import fixtures
from bench.harness import Benchmark, CheckFailed, Target

NAME = "open_record"
EVENTS = 100


def baseline_module() -> ModuleType | None:
    """The other revision's `_tallyvox`, or None when none is given."""
    where = os.environ.get("TALLYVOX_BENCH_BASELINE")
    if not where:
        return None
    found = glob.glob(os.path.join(where, "tallyvox", "_tallyvox*.so"))
    if len(found) != 1:
        raise CheckFailed(f"expected one tallyvox/_tallyvox*.so under {where}, found {found}")
    spec = importlib.util.spec_from_file_location("tallyvox_baseline._tallyvox", found[0])
    assert spec is not None and spec.loader is not None
    # Its initialisation registers its own events module as tallyvox.events.
    ours = sys.modules["tallyvox.events"]
    try:
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    finally:
        sys.modules["tallyvox.events"] = ours
    return module


def open_record(api: ModuleType, keypair: object, path: str, event: object) -> None:
    api.Session.open(keypair=keypair, ledger_path=path, session_id="bench").record(event)


def build(quick: bool = False) -> Benchmark:
    workdir = tempfile.mkdtemp(prefix="open-record-", dir=fixtures.scratch_dir())
    try:
        return _build(workdir)
    except BaseException:
        shutil.rmtree(workdir, ignore_errors=True)
        raise


def _build(workdir: str) -> Benchmark:
    source = fixtures.ledger(EVENTS)
    apis: dict[str, ModuleType] = {"tallyvox": tallyvox._tallyvox}
    other = baseline_module()
    if other is not None:
        apis["baseline"] = other
    contenders, ledgers = {}, {}
    for name, api in apis.items():
        ledgers[name] = os.path.join(workdir, f"{name}.ndjson")
        shutil.copyfile(source, ledgers[name])
        event = api.events.tool_called(tool_name="web.search", args_sha256="ab" * 32,
                                       args_redacted=fixtures.tool_call_args())
        contenders[name] = functools.partial(open_record, api, api.SigningKeypair.generate(),
                                             ledgers[name], event)

    # The lock is there: a second session on a held ledger is refused.
    held = tallyvox.Session.open(keypair=tallyvox.SigningKeypair.generate(),
                                 ledger_path=ledgers["tallyvox"], session_id="held")
    try:
        contenders["tallyvox"]()
        raise CheckFailed("a second session opened a held ledger")
    except tallyvox.LedgerError as exc:
        if "is open by another writer" not in str(exc):
            raise
    finally:
        held.close()

    def finish() -> None:
        try:
            counts = {name: tallyvox.verify_file(path) for name, path in ledgers.items()}
            for name, report in counts.items():
                if not report.ok or report.event_count <= EVENTS:
                    raise CheckFailed(f"{name}'s ledger after timing: {report!r} {report.reason}")
        finally:
            shutil.rmtree(workdir)

    mount, fstype = fixtures.filesystem(fixtures.scratch_dir())
    return Benchmark(
        name=NAME,
        contenders=contenders,
        batch=10,
        rounds=30,
        quick_rounds=8,
        targets=[Target(contender="tallyvox", baseline="baseline", minimum=1 / 1.05)],
        notes=[f"ledgers of {EVENTS}+ events in {workdir} on {fstype} (mounted at {mount})",
               "baseline: " + (os.environ["TALLYVOX_BENCH_BASELINE"] if other is not None
                               else "none (set TALLYVOX_BENCH_BASELINE, or make bench "
                                    "BENCH_BASE=<git ref>)")],
        finish=finish,
    )
