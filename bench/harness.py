"""Interleaved timing of several contenders in one process.

Every round runs each contender once for a batch of calls, and the order of
the contenders rotates from round to round, so slow drift of the machine
(frequency scaling, other load, cache state) lands on all of them alike
instead of on whichever happened to run last. The result per contender is
the median over rounds of the time per call.
"""

from __future__ import annotations

import gc
import statistics
import time
from dataclasses import dataclass, field
from itertools import repeat
from typing import Callable


@dataclass
class Target:
    """``baseline`` time / ``contender`` time must be at least ``minimum``."""

    contender: str
    baseline: str
    minimum: float

    @property
    def label(self) -> str:
        return f"{self.baseline}/{self.contender}"


@dataclass
class Benchmark:
    name: str
    contenders: dict[str, Callable[[], object]]
    batch: int
    rounds: int
    quick_rounds: int
    targets: list[Target] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    # Untimed rounds first; 0 for runs so long that the checks warmed them.
    warmup: int = 2
    # Operations one call of a contender performs (default 1), so that the
    # medians are per operation (e.g. per record when a call records several).
    per_call: dict[str, int] = field(default_factory=dict)
    # Runs after timing (closing files, checking what the timed calls left);
    # raising there fails the benchmark like a failed check before timing.
    finish: Callable[[], None] | None = None
    # Contenders return the nanoseconds of the part they time themselves
    # (work in another thread), which then replace the time of the call.
    self_timed: bool = False


class CheckFailed(RuntimeError):
    """The contenders of a benchmark do not do the same work."""


def _time_batch(fn: Callable[[], object], batch: int, self_timed: bool = False) -> int:
    if self_timed:
        return sum(fn() for _ in repeat(None, batch))
    start = time.perf_counter_ns()
    for _ in repeat(None, batch):
        fn()
    return time.perf_counter_ns() - start


def measure(
    contenders: dict[str, Callable[[], object]],
    batch: int,
    rounds: int,
    warmup: int = 2,
    per_call: dict[str, int] | None = None,
    self_timed: bool = False,
) -> dict[str, float]:
    """Returns the median nanoseconds per operation of each contender."""
    if not contenders or batch < 1 or rounds < 1 or warmup < 0:
        raise ValueError("need at least one contender, batch >= 1, rounds >= 1, warmup >= 0")
    names = list(contenders)
    ops = {name: batch * (per_call or {}).get(name, 1) for name in names}
    samples: dict[str, list[float]] = {name: [] for name in names}
    gc.collect()
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(warmup + rounds):
            shift = r % len(names)
            for name in names[shift:] + names[:shift]:
                elapsed = _time_batch(contenders[name], batch, self_timed)
                if r >= warmup:
                    samples[name].append(elapsed / ops[name])
    finally:
        if gc_was_enabled:
            gc.enable()
    return {name: statistics.median(s) for name, s in samples.items()}


def ratio(baseline_ns: float, contender_ns: float) -> float:
    """How many times faster the contender is than the baseline."""
    return baseline_ns / contender_ns


def check(target: Target, medians: dict[str, float]) -> tuple[float, bool] | None:
    """Returns (ratio, held) for the target, or None if either side did not run."""
    if target.contender not in medians or target.baseline not in medians:
        return None
    r = ratio(medians[target.baseline], medians[target.contender])
    return r, r >= target.minimum
