"""Real agent frameworks, offline, traced into the ledger span processor:
Pydantic AI with its TestModel and Strands Agents with a scripted model, each
with two tools of which one raises, in each of their telemetry formats. An
in-memory exporter beside the processor keeps the spans, from which the
expected digests are computed independently."""
import hashlib
import json
import warnings
from typing import Literal

import pytest

pytest.importorskip("opentelemetry.sdk")
from opentelemetry.sdk.trace import TracerProvider  # noqa: E402
from opentelemetry.sdk.trace.export import SimpleSpanProcessor  # noqa: E402
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter  # noqa: E402

import tallyvox as t  # noqa: E402
from tallyvox.integrations.otel import LedgerSpanProcessor  # noqa: E402
from tallyvox.integrations.routing import LedgerRouter  # noqa: E402

SECRET = "Zanzibar-4111"


def digest(value):
    return hashlib.sha256(json.dumps(value, sort_keys=True, separators=(",", ":"),
                                     ensure_ascii=False).encode()).hexdigest()


def traced(target):
    """A provider with the ledger processor and an in-memory exporter beside it."""
    exporter = InMemorySpanExporter()
    provider = TracerProvider(shutdown_on_exit=False)
    provider.add_span_processor(LedgerSpanProcessor(target))
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    return provider, exporter


def spans_named(exporter, prefix):
    found = [s for s in exporter.get_finished_spans() if s.name.startswith(prefix)]
    return sorted(found, key=lambda s: s.start_time)


def open_session(tmp_path, name="ledger.ndjson"):
    return t.Session.open(keypair=t.SigningKeypair.generate(),
                          ledger_path=str(tmp_path / name), session_id="run-1")


def shape(events):
    return [(kind, p.get("tool_name"), p.get("success")) for kind, p in events]


def timeline(exporter):
    """Independently of the processor, the ledger's shape from the spans: a
    session around each model call at its start, each tool's call at its
    start and its return (failed when the span's status is an error) at its end."""
    marks = []
    for s in exporter.get_finished_spans():
        operation, tool = s.attributes.get("gen_ai.operation.name"), s.attributes.get("gen_ai.tool.name")
        if operation == "chat":
            marks.append((s.start_time, "ModelInvoked", None, None))
        elif operation == "execute_tool":
            marks += [(s.start_time, "ToolCalled", tool, None),
                      (s.end_time, "ToolReturned", tool, s.status.status_code.name != "ERROR")]
    return ([("SessionStarted", None, None)] + [m[1:] for m in sorted(marks)]
            + [("SessionEnded", None, None)])


# -- Pydantic AI ------------------------------------------------------------

def pydantic_agent(provider, version, failing=True):
    pydantic_ai = pytest.importorskip("pydantic_ai")
    from pydantic_ai.models.instrumented import InstrumentationSettings
    from pydantic_ai.models.test import TestModel

    agent = pydantic_ai.Agent(TestModel(), name="weather")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the older formats are deprecated, still emitted
        agent.instrument = InstrumentationSettings(tracer_provider=provider, version=version)

    # One after the other: run concurrently, the weather call may be cancelled
    # when the other raises, and its span then ends failed.
    @agent.tool_plain(sequential=True)
    def get_weather(city: Literal["Zanzibar-4111"]) -> str:
        """Weather in a city."""
        return "sunny in " + city

    def explode(city: Literal["Zanzibar-4111"]) -> str:
        """Always fails."""
        raise ValueError("no such city: " + city)

    if failing:
        agent.tool_plain(sequential=True)(explode)
    return agent


# version 2 names tool content `tool_arguments` / `tool_response`, later ones
# `gen_ai.tool.call.arguments` / `gen_ai.tool.call.result`.
@pytest.mark.parametrize("version, arguments, result", [
    (2, "tool_arguments", "tool_response"),
    (5, "gen_ai.tool.call.arguments", "gen_ai.tool.call.result"),
])
def test_a_pydantic_ai_run_whose_tool_raises(tmp_path, verified, version, arguments, result):
    provider, exporter = traced(open_session(tmp_path))
    agent = pydantic_agent(provider, version)
    with pytest.raises(ValueError, match=SECRET):
        agent.run_sync("weather in Zanzibar?")
    assert provider.force_flush()

    got = verified(tmp_path / "ledger.ndjson")
    assert shape(got) == timeline(exporter)
    assert shape(got) == [
        ("SessionStarted", None, None), ("ModelInvoked", None, None),
        ("ToolCalled", "get_weather", None), ("ToolReturned", "get_weather", True),
        ("ToolCalled", "explode", None), ("ToolReturned", "explode", False),
        ("SessionEnded", None, None)]
    assert got[0][1] == {"agent_id": "weather", "model_id": "test", "session_id": "run-1"}
    assert got[-1][1]["reason"] == "error: ValueError"

    [chat] = spans_named(exporter, "chat")
    tools = spans_named(exporter, "execute_tool" if version > 2 else "running tool")
    assert got[1][1] == {
        "model_id": "test",
        "prompt_sha256": digest(json.loads(chat.attributes["gen_ai.input.messages"])),
        "response_sha256": digest(json.loads(chat.attributes["gen_ai.output.messages"])),
        "prompt_tokens": chat.attributes["gen_ai.usage.input_tokens"],
        "response_tokens": chat.attributes["gen_ai.usage.output_tokens"]}
    assert [p["args_sha256"] for kind, p in got if kind == "ToolCalled"] == [
        digest({"city": SECRET})] * 2
    assert {p["tool_name"]: p["result_sha256"] for kind, p in got if kind == "ToolReturned"} == {
        "get_weather": digest("sunny in " + SECRET),
        "explode": hashlib.sha256(b"").hexdigest()}
    assert all(arguments in s.attributes for s in tools)
    assert result in tools[0].attributes
    assert SECRET not in (tmp_path / "ledger.ndjson").read_text()


def test_pydantic_ai_conversations_each_get_a_ledger(tmp_path, verified):
    router = LedgerRouter(tmp_path / "ledgers", t.SigningKeypair.generate())
    provider, exporter = traced(router)
    agent = pydantic_agent(provider, 5, failing=False)
    first = agent.run_sync("weather?")
    agent.run_sync("and tomorrow?", message_history=first.all_messages())  # the same conversation
    agent.run_sync("a new one")
    assert provider.force_flush()

    conversations = {s.attributes["gen_ai.conversation.id"]
                     for s in spans_named(exporter, "invoke_agent")}
    ledgers = sorted((tmp_path / "ledgers").iterdir())
    assert len(conversations) == len(ledgers) == 2
    sessions = sorted(sum(kind == "SessionStarted" for kind, _ in verified(p)) for p in ledgers)
    assert sessions == [1, 2]
    assert {p["session_id"] for path in ledgers for kind, p in verified(path)
            if kind == "SessionStarted"} == conversations


# -- Strands Agents -----------------------------------------------------------

def strands_agent(provider, monkeypatch, latest):
    strands = pytest.importorskip("strands")
    from strands.models.model import Model
    from strands.telemetry.tracer import get_tracer

    tracer = get_tracer()
    monkeypatch.setattr(tracer, "tracer", provider.get_tracer("strands"))
    monkeypatch.setattr(tracer, "use_latest_genai_conventions", latest)

    class Scripted(Model):
        """Answers from a script: first both tools, then a text."""

        def __init__(self):
            self.config = {"model_id": "scripted-1"}
            self.turns = [[("get_weather", {"city": SECRET}), ("explode", {"city": SECRET})],
                          "It is sunny."]

        def update_config(self, **config):
            pass

        def get_config(self):
            return self.config

        async def structured_output(self, *args, **kwargs):
            raise NotImplementedError
            yield

        async def stream(self, messages, tool_specs=None, system_prompt=None, **kwargs):
            turn = self.turns.pop(0)
            yield {"messageStart": {"role": "assistant"}}
            for i, (name, args) in enumerate([] if isinstance(turn, str) else turn):
                yield {"contentBlockStart": {"start": {"toolUse": {"name": name,
                                                                   "toolUseId": f"t{i}"}}}}
                yield {"contentBlockDelta": {"delta": {"toolUse": {"input": json.dumps(args)}}}}
                yield {"contentBlockStop": {}}
            if isinstance(turn, str):
                yield {"contentBlockStart": {"start": {}}}
                yield {"contentBlockDelta": {"delta": {"text": turn}}}
                yield {"contentBlockStop": {}}
            yield {"messageStop": {"stopReason": "end_turn" if isinstance(turn, str) else "tool_use"}}
            yield {"metadata": {"usage": {"inputTokens": 11, "outputTokens": 4, "totalTokens": 15},
                                "metrics": {"latencyMs": 1}}}

    @strands.tool
    def get_weather(city: str) -> str:
        """Weather in a city."""
        return "sunny in " + city

    @strands.tool
    def explode(city: str) -> str:
        """Always fails."""
        raise ValueError("no such city: " + city)

    return strands.Agent(model=Scripted(), tools=[get_weather, explode], name="weather",
                         callback_handler=None)


@pytest.mark.parametrize("latest", [False, True], ids=["message events", "latest conventions"])
def test_a_strands_run_whose_tool_fails(tmp_path, verified, monkeypatch, latest):
    provider, exporter = traced(open_session(tmp_path))
    agent = strands_agent(provider, monkeypatch, latest)
    assert str(agent("weather in Zanzibar?")).strip() == "It is sunny."
    assert provider.force_flush()

    got = verified(tmp_path / "ledger.ndjson")
    assert shape(got) == timeline(exporter)
    assert sorted(shape(got)[2:6]) == [("ToolCalled", "explode", None),
                                       ("ToolCalled", "get_weather", None),
                                       ("ToolReturned", "explode", False),
                                       ("ToolReturned", "get_weather", True)]
    assert got[0][1] == {"agent_id": "weather", "model_id": "scripted-1", "session_id": "run-1"}
    assert got[-1][1]["reason"] == "completed"

    chats = spans_named(exporter, "chat")
    assert [(p["model_id"], p["prompt_tokens"], p["response_tokens"])
            for kind, p in got if kind == "ModelInvoked"] == [("scripted-1", 11, 4)] * 2
    if latest:
        last_in = [json.loads(e.attributes["gen_ai.input.messages"]) for e in chats[1].events
                   if "gen_ai.input.messages" in e.attributes]
    else:
        last_in = [{"role": e.name.split(".")[1], "content": json.loads(e.attributes["content"])}
                   for e in chats[1].events if e.name.endswith(".message")]
    assert [p["prompt_sha256"] for kind, p in got if kind == "ModelInvoked"][1] == digest(
        last_in[0] if latest else last_in)
    assert [p["args_sha256"] for kind, p in got if kind == "ToolCalled"] == [
        digest({"city": SECRET})] * 2
    assert SECRET not in (tmp_path / "ledger.ndjson").read_text()
