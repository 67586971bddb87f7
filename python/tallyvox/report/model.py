"""What the report shows of one ledger: the verdict `verify` gives, the
conversation as timeline items, the latencies and per-tool totals, and the
middle of a long session folded into counts.

One pass over every record gathers what covers the whole session (counts,
tool calls paired with their returns, latencies); only the events shown in
full are then turned into items, so a long ledger costs a pass, not a page.
"""

from __future__ import annotations

import json
from collections import Counter, deque
from dataclasses import dataclass, field
from typing import Any

from tallyvox.cli.ledger import Ledger, utc_text
from tallyvox.cli.verify import Summary
from tallyvox.cli.show import break_index
from tallyvox.report.chart import Chart, ToolTotal, latency_chart, tool_totals

KINDS = {
    "SessionStarted": "start",
    "UtteranceCaptured": "heard",
    "UtteranceSpoken": "said",
    "ModelInvoked": "model",
    "ToolCalled": "call",
    "ToolReturned": "return",
    "SessionEnded": "end",
}


@dataclass(frozen=True)
class Folding:
    """How much of a long session is shown in full: its first `head` and last
    `tail` events, and `around` events on each side of a break. A gap shorter
    than `min_fold` is shown rather than folded: its summary would be no
    shorter."""

    head: int = 200
    tail: int = 200
    around: int = 20
    min_fold: int = 20


# Characters of redacted tool arguments, and of an utterance, shown on the
# timeline; the event's ledger line, folded below it, holds them whole.
ARGS_LIMIT = 300
TEXT_LIMIT = 4000

FOLD_FAILURES = 20  # failed calls listed by seq in a fold


def shorten(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"


@dataclass
class Pair:
    """The other half of a tool call or return."""

    index: int
    seq: int
    latency_ms: int | None = None
    success: bool | None = None


@dataclass
class Item:
    """One event shown in full."""

    index: int
    seq: int
    kind: str
    type: str
    time: str  # UTC, milliseconds
    utc: str  # UTC, nanoseconds
    payload: dict[str, Any]
    self_hash: str
    parent_hash: str
    signature: str
    signer: str
    line: str  # the ledger line of the event
    signer_expected: bool = True
    mark: str | None = None  # "break" at the failing event, "unverified" after it
    pair: Pair | None = None
    next_ms: float | None = None  # time to the next event, for model calls
    args: str | None = None  # redacted tool arguments, shortened
    text: str | None = None  # what was heard or said, shortened

    @property
    def failed(self) -> bool:
        if self.kind == "return":
            return not self.payload["success"]
        return self.kind == "call" and self.pair is not None and self.pair.success is False


@dataclass
class Fold:
    """Events in the middle of a long session, summarised."""

    first_seq: int
    last_seq: int
    count: int
    start: str
    end: str
    kinds: dict[str, int]
    failed: list[tuple[int, str]]  # (seq, tool) of the first failed returns
    failed_count: int


@dataclass
class Segment:
    items: list[Item] = field(default_factory=list)
    fold: Fold | None = None


@dataclass
class LedgerView:
    """Everything the page says about one ledger."""

    summary: Summary
    facts: dict[str, Any]  # verify --json's document of the ledger
    number: int = 0  # its place on the page, for anchors
    counts: dict[str, int] = field(default_factory=dict)
    tokens: tuple[int, int] = (0, 0)
    segments: list[Segment] = field(default_factory=list)
    chart: Chart | None = None
    tools: list[ToolTotal] = field(default_factory=list)
    tools_more: ToolTotal | None = None

    @property
    def turns(self) -> int:
        return self.counts.get("heard", 0) + self.counts.get("said", 0)

    @property
    def verdict_class(self) -> str:
        """valid, broken, error, or doubtful: an intact chain that another
        signer or a failed check keeps from passing."""
        if self.facts["ok"]:
            return "valid"
        return "doubtful" if self.summary.status == "valid" else self.summary.status


@dataclass
class _Pass:
    """What one pass over every record gathers."""

    kinds: list[str]
    nanos: list[int]
    tools: list[str | None]  # tool name of calls and returns
    failed: list[bool]
    latency: list[int | None]  # latency_ms of returns
    pairs: dict[int, int]  # call index <-> return index, both ways
    tokens: tuple[int, int]


def _gather(ledger: Ledger) -> _Pass:
    kinds, nanos, tools, failed, latency = [], [], [], [], []
    pending: dict[str, deque[int]] = {}
    pairs: dict[int, int] = {}
    prompt = response = 0
    for index, record in enumerate(ledger.records):
        event = record.event
        payload = event["payload"]
        kind = KINDS[event["type"]]
        kinds.append(kind)
        nanos.append(record.timestamp_nanos)
        tool = payload["tool_name"] if kind in ("call", "return") else None
        tools.append(tool)
        failed.append(kind == "return" and not payload["success"])
        latency.append(payload["latency_ms"] if kind == "return" else None)
        if kind == "model":
            prompt += payload["prompt_tokens"]
            response += payload["response_tokens"]
        elif kind == "call":
            pending.setdefault(payload["tool_name"], deque()).append(index)
        elif kind == "return":
            # A return answers the oldest open call of the same tool.
            waiting = pending.get(payload["tool_name"])
            if waiting:
                call = waiting.popleft()
                pairs[call], pairs[index] = index, call
    return _Pass(kinds, nanos, tools, failed, latency, pairs, (prompt, response))


def shown_ranges(count: int, broken: int | None,
                 folding: Folding = Folding()) -> list[tuple[int, int]]:
    """The [start, stop) ranges of events shown in full; the rest is folded."""
    wanted = [(0, min(count, folding.head)), (max(0, count - folding.tail), count)]
    if broken is not None:
        wanted.append((max(0, broken - folding.around),
                       min(count, broken + folding.around + 1)))
    merged: list[tuple[int, int]] = []
    for start, stop in sorted(wanted):
        if start >= stop:
            continue
        if merged and start - merged[-1][1] < folding.min_fold:
            merged[-1] = (merged[-1][0], max(merged[-1][1], stop))
        else:
            merged.append((start, stop))
    return merged


def _next_ms(gathered: _Pass, index: int) -> float | None:
    if index + 1 >= len(gathered.nanos):
        return None
    return (gathered.nanos[index + 1] - gathered.nanos[index]) / 1e6


def _item(ledger: Ledger, gathered: _Pass, index: int, broken: int | None,
          unexpected: list[str]) -> Item:
    record = ledger.records[index]
    event = record.event
    kind = KINDS[event["type"]]
    signer = record.signer_pubkey.lower()
    item = Item(index=index, seq=record.seq, kind=kind, type=event["type"],
                time=utc_text(record.timestamp_nanos, 3), utc=utc_text(record.timestamp_nanos),
                payload=event["payload"], self_hash=record.self_hash,
                parent_hash=record.parent_hash, signature=record.signature, signer=signer,
                line=record.to_json(), signer_expected=signer not in unexpected)
    if broken is not None and index >= broken:
        item.mark = "break" if index == broken else "unverified"
    other = gathered.pairs.get(index)
    if other is not None:
        returned = other if kind == "call" else index
        item.pair = Pair(index=other, seq=ledger.records[other].seq,
                         latency_ms=gathered.latency[returned],
                         success=not gathered.failed[returned])
    if kind == "model":
        item.next_ms = _next_ms(gathered, index)
    elif kind == "call":
        item.args = shorten(json.dumps(event["payload"]["args_redacted"], ensure_ascii=False,
                                       separators=(",", ":")), ARGS_LIMIT)
    elif kind in ("heard", "said"):
        item.text = shorten(event["payload"]["transcript" if kind == "heard" else "text"],
                            TEXT_LIMIT)
    return item


def _fold(ledger: Ledger, gathered: _Pass, start: int, stop: int) -> Fold:
    failed = [i for i in range(start, stop) if gathered.failed[i]]
    return Fold(first_seq=ledger.records[start].seq, last_seq=ledger.records[stop - 1].seq,
                count=stop - start, start=utc_text(gathered.nanos[start], 3),
                end=utc_text(gathered.nanos[stop - 1], 3),
                kinds=dict(Counter(gathered.kinds[start:stop])),
                failed=[(ledger.records[i].seq, gathered.tools[i] or "")
                        for i in failed[:FOLD_FAILURES]],
                failed_count=len(failed))


def ledger_view(summary: Summary, ledger: Ledger | None,
                folding: Folding = Folding()) -> LedgerView:
    """The view of one judged ledger (None when it could not be read)."""
    view = LedgerView(summary=summary, facts=summary.to_json())
    if ledger is None or not ledger.records:
        return view
    gathered = _gather(ledger)
    broken = None if ledger.report.ok else break_index(ledger)
    view.counts = dict(Counter(gathered.kinds))
    view.counts["failed"] = sum(gathered.failed)
    view.tokens = gathered.tokens
    count = len(ledger.records)
    position = 0
    for start, stop in [*shown_ranges(count, broken, folding), (count, count)]:
        if start > position:
            view.segments.append(Segment(fold=_fold(ledger, gathered, position, start)))
        if stop > start:
            view.segments.append(Segment(items=[
                _item(ledger, gathered, i, broken, summary.unexpected_signers)
                for i in range(start, stop)]))
        position = stop
    model_ms = [(gathered.nanos[i], _next_ms(gathered, i)) for i, kind in
                enumerate(gathered.kinds) if kind == "model"]
    tool_ms = [(gathered.nanos[i], gathered.latency[i], gathered.failed[i])
               for i, kind in enumerate(gathered.kinds) if kind == "return"]
    view.chart = latency_chart(min(gathered.nanos), max(gathered.nanos), tool_ms, model_ms)
    view.tools, view.tools_more = tool_totals(gathered.kinds, gathered.tools, gathered.latency,
                                              gathered.failed)
    return view
