"""How fast the command line starts: `import tallyvox.cli` as
`python -X importtime` counts it, and `tallyvox --version` and `tallyvox
verify FILE` as whole processes beside a bare interpreter."""

from __future__ import annotations

import os
import re
import subprocess
import sys

import tallyvox

from bench import fixtures
from bench.harness import Benchmark, CheckFailed, Target

IMPORT_NAME = "import"
NAME = "startup"

_IMPORT_LINE = re.compile(r"import time:\s+\d+ \|\s+(\d+) \| (\s*)(\S+)$")


def _env() -> dict[str, str]:
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(tallyvox.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    return env


def import_times(module: str) -> dict[str, int]:
    """Cumulative nanoseconds of each tallyvox module that importing `module`
    in a fresh interpreter imports, as -X importtime reports them."""
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                          env=_env(), capture_output=True, text=True, check=True)
    times = {}
    for line in done.stderr.splitlines():
        match = _IMPORT_LINE.match(line)
        if match and match[3].startswith("tallyvox"):
            times[match[3]] = int(match[1]) * 1000
    if module not in times:
        raise CheckFailed(f"-X importtime did not report {module}: {done.stderr[-500:]}")
    return times


def build_import(quick: bool = False) -> Benchmark:
    """-X importtime's cumulative time of tallyvox.cli against 30 ms."""
    heavy = {"tallyvox.fleet", "tallyvox.checkpoint", "tallyvox.policy", "tallyvox.recover",
             "tallyvox.witness", "tallyvox.report", "tallyvox.cli.verify", "tallyvox.cli.witness"}
    loaded = heavy & set(import_times("tallyvox.cli"))
    if loaded:
        raise CheckFailed(f"import tallyvox.cli loads {sorted(loaded)}, which only commands need")
    return Benchmark(
        name=IMPORT_NAME,
        contenders={
            "tallyvox_cli": lambda: import_times("tallyvox.cli")["tallyvox.cli"],
            "tallyvox": lambda: import_times("tallyvox")["tallyvox"],
            "budget_30ms": lambda: 30_000_000,
        },
        batch=1,
        rounds=15,
        quick_rounds=5,
        warmup=1,
        self_timed=True,
        targets=[Target(contender="tallyvox_cli", baseline="budget_30ms", minimum=1.0)],
        notes=["ns/op: the cumulative time -X importtime reports for the module (its own "
               "imports and what they import), in a fresh interpreter; budget_30ms: the target"],
    )


def _run(command: list[str]) -> None:
    done = subprocess.run(command, env=_env(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True)
    if done.returncode != 0:
        raise CheckFailed(f"{command} exited {done.returncode}: {done.stderr}")


def build(quick: bool = False) -> Benchmark:
    """Whole processes: the interpreter alone, --version and verify FILE."""
    path = str(fixtures.ledger(32))
    tally = [sys.executable, "-m", "tallyvox"]
    return Benchmark(
        name=NAME,
        contenders={
            "python": lambda: _run([sys.executable, "-c", "pass"]),
            "version": lambda: _run([*tally, "--version"]),
            "verify": lambda: _run([*tally, "verify", path]),
        },
        batch=1,
        rounds=21,
        quick_rounds=7,
        warmup=2,
        notes=["ns/op: one whole process; python: the bare interpreter with this "
               "environment's site-packages (its .pth files run at every start), the floor "
               "under the others; verify: a 32-event ledger"],
    )
