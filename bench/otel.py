"""What the ledger span processor costs the threads that end spans.

A Pydantic AI-shaped trace of real SDK spans (an `invoke_agent` root, three
`chat` spans whose input messages grow to ~3 KB of JSON, two `execute_tool`
spans with arguments and results) is made once, then replayed into
`LedgerSpanProcessor.on_end` in end order, root last, while the processor's
own thread maps, seals and queues each trace onto a ledger's writer.

- `on_end`: the exporter-thread time per span, sealing included (the root's
  `on_end` is what seals its trace).
- `worker`: the same spans through the processor's worker step, run inline:
  the mapping, digests, sorting and queueing per span that its own thread
  does off the exporter thread.
- `50us`: a 50 us busy wait, the budget per span.
"""

from __future__ import annotations

import json
import os
import shutil
import tempfile
import time

from opentelemetry import trace as trace_api
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

import tallyvox
from tallyvox.integrations.otel import LedgerSpanProcessor

from bench.harness import Benchmark, CheckFailed, Target

NAME = "otel_span"
BUDGET_NS = 50_000


def _message(role: str, text: str) -> dict:
    return {"role": role, "parts": [{"type": "text", "content": text}]}


def _trace() -> list:
    """The spans of one agent run, in the order they end."""
    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    tracer = provider.get_tracer("bench")
    history = [_message("system", "You are a support agent. " * 20),
               _message("user", "Where is parcel 1234? " * 10)]
    agent = tracer.start_span("invoke_agent support", attributes={
        "gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "support",
        "gen_ai.request.model": "gpt-x", "gen_ai.conversation.id": "c-1"})
    context = trace_api.set_span_in_context(agent)
    for turn in range(3):
        answer = _message("assistant", f"Checking the parcel, step {turn}. " * 8)
        with tracer.start_as_current_span("chat gpt-x", context=context, attributes={
                "gen_ai.operation.name": "chat", "gen_ai.request.model": "gpt-x",
                "gen_ai.response.model": "gpt-x-2026", "gen_ai.usage.input_tokens": 900,
                "gen_ai.usage.output_tokens": 60,
                "gen_ai.input.messages": json.dumps(history),
                "gen_ai.output.messages": json.dumps([answer])}):
            pass
        history.append(answer)
        if turn < 2:
            with tracer.start_as_current_span("execute_tool track", context=context, attributes={
                    "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "track",
                    "gen_ai.tool.call.arguments": json.dumps({"parcel": "1234", "turn": turn}),
                    "gen_ai.tool.call.result": "out for delivery " * 10}):
                pass
    agent.end()
    spans = list(exporter.get_finished_spans())
    if spans[-1].parent is not None or len(spans) != 6:
        raise CheckFailed("the trace is not six spans ending with its root")
    return spans


def build(quick: bool = False) -> Benchmark:
    spans = _trace()
    # Memory-backed when the machine has it: the disk is not what is measured.
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
    directory = tempfile.mkdtemp(prefix="tallyvox-bench-otel-", dir=shm)
    path = os.path.join(directory, "ledger.ndjson")
    session = tallyvox.Session.open(keypair=tallyvox.SigningKeypair.generate(),
                                    ledger_path=path, session_id="bench")
    processor = LedgerSpanProcessor(session)
    inline = LedgerSpanProcessor(session)

    # Each contender times its own part, then lets the processors' threads
    # catch up untimed, so that no contender runs against the others' backlog.
    def settled(start: int) -> int:
        elapsed = time.perf_counter_ns() - start
        for each in (processor, inline):
            if not each.force_flush(120_000):
                raise CheckFailed("the ledger writes did not finish")
        return elapsed

    def on_end() -> int:
        start = time.perf_counter_ns()
        for span in spans:
            processor.on_end(span)
        return settled(start)

    def worker() -> int:
        start = time.perf_counter_ns()
        for span in spans:
            inline._take(span)
        return settled(start)

    def budget() -> int:
        start = time.perf_counter_ns()
        while time.perf_counter_ns() - start < BUDGET_NS * len(spans):
            pass
        return settled(start)

    on_end()
    if not processor.force_flush(120_000):
        raise CheckFailed("the first trace was not written")
    kinds = [e.event["type"] for e in tallyvox.read_ledger(path)]
    if kinds != ["SessionStarted", "ModelInvoked", "ToolCalled", "ToolReturned", "ModelInvoked",
                 "ToolCalled", "ToolReturned", "ModelInvoked", "SessionEnded"]:
        raise CheckFailed(f"the trace was recorded as {kinds}")

    def finish() -> None:
        for each in (processor, inline):
            each.shutdown()
        report = tallyvox.verify_file(path)
        shutil.rmtree(directory)
        if not report.ok or report.event_count % len(kinds):
            raise CheckFailed(f"the ledger does not verify as whole traces: {report.reason}")

    per_span = len(spans)
    return Benchmark(
        name=NAME,
        contenders={"on_end": on_end, "worker": worker, "50us": budget},
        batch=20 if quick else 50,
        rounds=5 if quick else 15,
        quick_rounds=5,
        per_call={"on_end": per_span, "worker": per_span, "50us": per_span},
        targets=[Target(contender="on_end", baseline="50us", minimum=1.0)],
        notes=[f"per span of a {per_span}-span trace, ledger in {directory} "
               f"(writes off the timed threads); target: on_end under 50 us a span"],
        finish=finish,
        self_timed=True,
    )
