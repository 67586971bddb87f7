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


def _time_batch(fn: Callable[[], object], batch: int) -> int:
    start = time.perf_counter_ns()
    for _ in repeat(None, batch):
        fn()
    return time.perf_counter_ns() - start


def measure(
    contenders: dict[str, Callable[[], object]],
    batch: int,
    rounds: int,
    warmup: int = 2,
) -> dict[str, float]:
    """Returns the median nanoseconds per call of each contender."""
    if not contenders or batch < 1 or rounds < 1:
        raise ValueError("need at least one contender, batch >= 1, rounds >= 1")
    names = list(contenders)
    samples: dict[str, list[float]] = {name: [] for name in names}
    gc.collect()
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(warmup + rounds):
            shift = r % len(names)
            for name in names[shift:] + names[:shift]:
                elapsed = _time_batch(contenders[name], batch)
                if r >= warmup:
                    samples[name].append(elapsed / batch)
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
