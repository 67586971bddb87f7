"""Runs the benchmarks: python -m bench [--only NAME] [--quick]."""

from __future__ import annotations

import argparse
import json
import platform
import sys
import time

import tallyvox

from bench import canonical, harness

# Each entry builds its Benchmark (doing any setup and correctness checks).
REGISTRY = {
    canonical.NAME: canonical.build,
}


def run_one(bench: harness.Benchmark, quick: bool) -> dict:
    rounds = bench.quick_rounds if quick else bench.rounds
    start = time.perf_counter()
    medians = harness.measure(bench.contenders, bench.batch, rounds)
    seconds = time.perf_counter() - start

    print(f"== {bench.name}  ({rounds} rounds x {bench.batch} calls, {seconds:.1f} s)")
    for note in bench.notes:
        print(f"   note: {note}")
    ref = next(iter(medians))
    for name, ns in medians.items():
        rel = "" if name == ref else f"  ({ns / medians[ref]:.2f}x the time of {ref})"
        print(f"   {name:<12} {ns:>12.1f} ns/op{rel}")

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
    results = {name: run_one(REGISTRY[name](), args.quick) for name in names}

    statuses = [t["status"] for r in results.values() for t in r["targets"]]
    summary = {
        "bench": "tallyvox",
        "version": tallyvox.__version__,
        "python": platform.python_version(),
        "quick": args.quick,
        "all_pass": "MISS" not in statuses,
        "results": results,
    }
    print(json.dumps(summary, separators=(",", ":")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
