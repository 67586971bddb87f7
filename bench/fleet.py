"""`tallyvox verify --jobs 2` against `--jobs 1`: over a directory of small
ledgers (verified at once on threads, the command run in this process) and
over one large ledger (read and seal-checked on threads, the whole command
as a user runs it: a process, start-up included); plus the peak memory of
verifying 240 and 2,400 ledgers and the large one, each in a fresh
process."""

from __future__ import annotations

import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import tallyvox
from tallyvox import cli

from bench import fixtures
from bench.harness import Benchmark, CheckFailed, Target

NAME = "fleet"

# Runs the command line in a fresh interpreter and prints its peak RSS.
_PEAK = r"""
import contextlib, io, sys
from tallyvox import cli
with contextlib.redirect_stdout(io.StringIO()):
    code = cli.main(sys.argv[1:])
with open("/proc/self/status") as f:
    peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
print(code, peak)
"""


def fleet_dir(ledgers: int, events: int) -> Path:
    """`ledgers` copies of one ledger of `events` events in nested folders,
    cached by size."""
    root = fixtures.scratch_dir() / f"fleet-{ledgers}x{events}"
    source = fixtures.ledger(events)
    if root.is_dir() and sum(1 for _ in root.rglob("*.ndjson")) == ledgers:
        return root
    shutil.rmtree(root, ignore_errors=True)
    for index in range(ledgers):
        target = root / f"{index % 16:02d}" / f"call-{index:05d}.ndjson"
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)
    return root


def verify(path: Path, jobs: int) -> dict:
    """The --json document of `verify --jobs N PATH`, run in this process."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        code = cli.main(["verify", "--json", "--jobs", str(jobs), str(path)])
    document = json.loads(out.getvalue())
    if code != 0 or not document["ok"]:
        raise CheckFailed(f"verify --jobs {jobs} {path} exited {code}")
    return document


def verify_process(path: Path, jobs: int) -> None:
    """`tallyvox verify --jobs N PATH` as a process of its own."""
    done = subprocess.run([sys.executable, "-m", "tallyvox", "verify", "--jobs", str(jobs), str(path)],
                          env=_env(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise CheckFailed(f"verify --jobs {jobs} {path} exited {done.returncode}: {done.stderr}")


def _env() -> dict[str, str]:
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(tallyvox.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    return env


def peak_rss(path: Path) -> int:
    done = subprocess.run([sys.executable, "-c", _PEAK, "verify", "--jobs", "2", str(path)],
                          env=_env(), check=True, capture_output=True, text=True)
    code, peak = map(int, done.stdout.split())
    if code != 0:
        raise CheckFailed(f"verify {path} exited {code}")
    return peak


def build(quick: bool = False) -> Benchmark:
    many, small, large = (60, 32, 3000) if quick else (240, 32, 12_000)
    fleet = fleet_dir(many, small)
    big = fixtures.ledger(large)
    for path in (fleet, big):
        if verify(path, 1) != verify(path, 2):
            raise CheckFailed(f"--jobs 2 does not say what --jobs 1 says of {path}")
    peaks = {f"{n} ledgers": peak_rss(fleet_dir(n, small)) for n in ((many, 10 * many))}
    peaks[f"one of {large} events"] = peak_rss(big)
    return Benchmark(
        name=NAME,
        contenders={
            "many_jobs1": lambda: verify(fleet, 1),
            "many_jobs2": lambda: verify(fleet, 2),
            "large_jobs1": lambda: verify_process(big, 1),
            "large_jobs2": lambda: verify_process(big, 2),
        },
        batch=1,
        rounds=3 if quick else 5,
        quick_rounds=3,
        warmup=1,
        per_call={"many_jobs1": many * small, "many_jobs2": many * small,
                  "large_jobs1": large, "large_jobs2": large},
        targets=[
            Target(contender="many_jobs2", baseline="many_jobs1", minimum=1.6),
            Target(contender="large_jobs2", baseline="large_jobs1", minimum=1.6),
        ],
        notes=[f"many: {many} ledgers of {small} events, the command run in this process; "
               f"large: one ledger of {large} events ({os.path.getsize(big) / 1e6:.1f} MB), "
               "the whole command as a process; ns/op is per event",
               "peak RSS of verify --jobs 2 in a fresh process: "
               + ", ".join(f"{what} {peak / 1e6:.1f} MB" for what, peak in peaks.items())],
    )
