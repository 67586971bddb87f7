"""Runs the benchmarks: python -m bench [--only NAME] [--quick]."""

from __future__ import annotations

import argparse
import json
import platform
import sys
import time
import traceback

import tallyvox

from bench import (canonical, checkpoint, fleet, group_commit, harness, open as open_bench,
                   open_record, otel, record, report, sign, startup, threads, verify, witness)

# Each entry builds its Benchmark (doing any setup and correctness checks);
# it is called with quick=True for the smaller sizes of --quick.
REGISTRY = {
    canonical.NAME: canonical.build,
    sign.NAME: sign.build,
    record.NAME: record.build,
    open_bench.NAME: open_bench.build,
    open_record.NAME: open_record.build,
    verify.NAME: verify.build,
    checkpoint.NAME: checkpoint.build,
    checkpoint.PROOF_NAME: checkpoint.build_proof,
    group_commit.CHECKPOINT_NAME: group_commit.build_checkpoint,
    group_commit.ASYNC_NAME: group_commit.build_async,
    group_commit.MANY_NAME: group_commit.build_many,
    threads.NAME: threads.build,
    fleet.NAME: fleet.build,
    otel.NAME: otel.build,
    witness.NAME: witness.build,
    witness.PROOF_NAME: witness.build_proof,
    report.NAME: report.build,
    startup.IMPORT_NAME: startup.build_import,
    startup.NAME: startup.build,
}


def run_one(bench: harness.Benchmark, quick: bool) -> dict:
    rounds = bench.quick_rounds if quick else bench.rounds
    start = time.perf_counter()
    try:
        medians = harness.measure(bench.contenders, bench.batch, rounds,
                                  warmup=bench.warmup, per_call=bench.per_call,
                                  self_timed=bench.self_timed)
    finally:
        if bench.finish is not None:
            bench.finish()
    seconds = time.perf_counter() - start

    print(f"== {bench.name}  ({rounds} rounds x {bench.batch} calls, {seconds:.1f} s)")
    for note in bench.notes:
        print(f"   note: {note}")
    ref = next(iter(medians))
    for name, ns in medians.items():
        rel = "" if name == ref else f"  ({ns / medians[ref]:.2f}x the time of {ref})"
        print(f"   {name:<12} {ns:>14.1f} ns/op {1e9 / ns:>12.1f} op/s{rel}")

    ratios, targets = {}, []
    for t in bench.targets:
        outcome = harness.check(t, medians)
        if outcome is None:
            print(f"   target {t.label} >= {t.minimum:g}: SKIP (contender missing)")
            targets.append({"target": t.label, "min": t.minimum, "ratio": None, "status": "SKIP"})
            continue
        r, held = outcome
        status = "PASS" if held else "MISS"
        ratios[t.label] = round(r, 3)
        print(f"   target {t.label} >= {t.minimum:g}: {r:.2f}  {status}")
        targets.append({"target": t.label, "min": t.minimum, "ratio": round(r, 3), "status": status})

    return {
        "batch": bench.batch,
        "per_call": bench.per_call,
        "rounds": rounds,
        "median_ns": {name: round(ns, 1) for name, ns in medians.items()},
        "ratios": ratios,
        "targets": targets,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench")
    parser.add_argument("--only", metavar="NAME", choices=sorted(REGISTRY),
                        help="run a single benchmark")
    parser.add_argument("--quick", action="store_true", help="few rounds, a few seconds")
    args = parser.parse_args(argv)

    names = [args.only] if args.only else list(REGISTRY)
    print(f"tallyvox {tallyvox.__version__}, Python {platform.python_version()}, "
          f"{platform.machine()}, {'quick' if args.quick else 'full'} run")
    results, failed = {}, []
    for name in names:
        # A failed check (or a broken build) fails this benchmark only; the
        # others still run, and the exit status says that something failed.
        try:
            results[name] = run_one(REGISTRY[name](args.quick), args.quick)
        except Exception as exc:  # noqa: BLE001 - reported, then exit status 1
            traceback.print_exc()
            print(f"== {name}: FAILED: {type(exc).__name__}: {exc}")
            results[name] = {"error": f"{type(exc).__name__}: {exc}"}
            failed.append(name)
        sys.stdout.flush()

    statuses = [t["status"] for r in results.values() for t in r.get("targets", [])]
    summary = {
        "bench": "tallyvox",
        "version": tallyvox.__version__,
        "python": platform.python_version(),
        "quick": args.quick,
        "all_pass": not failed and "MISS" not in statuses,
        "failed": failed,
        "results": results,
    }
    print(json.dumps(summary, separators=(",", ":")))
    # A missed target is a result, not an error: only failed checks exit non-zero.
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
