"""The numbers behind the page's SVG: latencies over the session, placed on a
plot of fixed size, and per-tool totals.

A long session has more events than the plot has pixels, so each series
keeps one mark per pixel column, the slowest: the chart's size depends on
its width, not on the ledger's length, and no outlier disappears."""

from __future__ import annotations

import math
from dataclasses import dataclass

WIDTH = 760
HEIGHT = 230
LEFT, RIGHT, TOP, BOTTOM = 64, 16, 14, 34
PLOT_W = WIDTH - LEFT - RIGHT
PLOT_H = HEIGHT - TOP - BOTTOM

TOOLS_SHOWN = 30  # tools listed one by one; the rest share one row


@dataclass
class Mark:
    x: float
    y: float
    ms: float  # the slowest latency of its column
    count: int  # events in its column
    failed: bool = False


@dataclass
class Tick:
    at: float  # pixels
    label: str


@dataclass
class Chart:
    tool_marks: list[Mark]
    model_marks: list[Mark]
    y_ticks: list[Tick]
    x_ticks: list[Tick]
    tool_count: int
    model_count: int
    slowest_ms: float


def nice_ceiling(value: float) -> float:
    """The smallest of 1, 2, 5 times a power of ten that is at least `value`."""
    if value <= 0:
        return 1.0
    exponent = math.floor(math.log10(value))  # may be one too low after rounding
    while True:
        for step in (1, 2, 5):
            top = step * 10.0 ** exponent
            if top >= value:
                return top
        exponent += 1


def duration_text(seconds: float) -> str:
    """A span of time, in the unit that keeps it short."""
    if seconds < 1e-3:
        return f"{seconds * 1e6:.3g} \u00b5s"
    if seconds < 1:
        return f"{seconds * 1000:.3g} ms"
    if seconds < 120:
        return f"{seconds:.3g} s"
    if seconds < 7200:
        return f"{seconds / 60:.3g} min"
    return f"{seconds / 3600:.3g} h"


def _columns(points: list[tuple[int, float, bool]], start: int, span: int,
             top: float) -> list[Mark]:
    columns: dict[int, Mark] = {}
    for nanos, ms, failed in points:
        column = round((nanos - start) / span * PLOT_W) if span else 0
        mark = columns.get(column)
        if mark is None:
            columns[column] = mark = Mark(x=LEFT + column, y=0.0, ms=ms, count=0)
        mark.count += 1
        mark.ms = max(mark.ms, ms)
        mark.failed = mark.failed or failed
    for mark in columns.values():
        mark.y = TOP + PLOT_H - mark.ms / top * PLOT_H
    return sorted(columns.values(), key=lambda mark: mark.x)


def latency_chart(start: int, end: int, tool_points: list[tuple[int, int | None, bool]],
                  model_points: list[tuple[int, float | None]]) -> Chart | None:
    """Tool latencies (as recorded by each return) and model latencies (the
    time from each model call to the next event) against the time since
    `start`; None when there is nothing to draw."""
    tools = [(t, float(max(ms, 0)), failed) for t, ms, failed in tool_points if ms is not None]
    # A model call's latency is negative only when the clock went back.
    models = [(t, max(ms, 0.0), False) for t, ms in model_points if ms is not None]
    if not tools and not models:
        return None
    slowest = max(ms for _t, ms, _f in tools + models)
    top = nice_ceiling(slowest)
    span = end - start
    y_ticks = [Tick(at=TOP + PLOT_H - PLOT_H * i / 4, label=_ms_label(top * i / 4))
               for i in range(5)]
    x_ticks = [Tick(at=LEFT + PLOT_W * i / 4, label="+" + duration_text(span / 1e9 * i / 4))
               for i in range(5)]
    return Chart(tool_marks=_columns(tools, start, span, top),
                 model_marks=_columns(models, start, span, top), y_ticks=y_ticks,
                 x_ticks=x_ticks, tool_count=len(tools), model_count=len(models),
                 slowest_ms=slowest)


def _ms_label(ms: float) -> str:
    return f"{ms / 1000:g} s" if ms >= 1000 else f"{ms:g} ms"


@dataclass
class ToolTotal:
    name: str
    calls: int = 0
    returns: int = 0
    failed: int = 0
    total_ms: int = 0
    max_ms: int = 0
    bar: float = 0.0  # bar length in pixels, relative to the largest total

    @property
    def mean_ms(self) -> float | None:
        return self.total_ms / self.returns if self.returns else None

    def add(self, other: ToolTotal) -> None:
        self.calls += other.calls
        self.returns += other.returns
        self.failed += other.failed
        self.total_ms += other.total_ms
        self.max_ms = max(self.max_ms, other.max_ms)


BAR_W = 240


def tool_totals(kinds: list[str], tools: list[str | None], latency: list[int | None],
                failed: list[bool]) -> tuple[list[ToolTotal], ToolTotal | None]:
    """Per tool: calls, returns, failures and latency, slowest in total first;
    past TOOLS_SHOWN tools, the others summed in one total."""
    totals: dict[str, ToolTotal] = {}
    for kind, tool, ms, bad in zip(kinds, tools, latency, failed):
        if tool is None:
            continue
        total = totals.setdefault(tool, ToolTotal(tool))
        if kind == "call":
            total.calls += 1
        else:
            total.returns += 1
            total.failed += bad
            total.total_ms += ms or 0
            total.max_ms = max(total.max_ms, ms or 0)
    ranked = sorted(totals.values(), key=lambda t: (-t.total_ms, -t.calls, t.name))
    shown, rest = ranked[:TOOLS_SHOWN], ranked[TOOLS_SHOWN:]
    widest = max((t.total_ms for t in shown), default=0)
    for total in shown:
        total.bar = BAR_W * total.total_ms / widest if widest else 0.0
    more = None
    if rest:
        more = ToolTotal(f"{len(rest)} other tools")
        for total in rest:
            more.add(total)
    return shown, more
