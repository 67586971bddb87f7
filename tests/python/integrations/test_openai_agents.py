"""Agents SDK runs with a fake model (or the SDK's own chat-completions model
over a scripted HTTP transport) and real function tools, and voice spans made
through the SDK's own tracing, recorded by the tracing processor into one
ledger or one ledger per conversation."""
import asyncio
import base64
import hashlib
import json
import logging

import httpx
import pytest
from agents import (Agent, OpenAIChatCompletionsModel, RunConfig, Runner, add_trace_processor,
                    function_tool, set_trace_processors)
from agents.items import ModelResponse
from agents.models.interface import Model
from agents.testing import assistant_message, function_call
from agents.tracing import (function_span, generation_span, response_span, speech_span, trace,
                            transcription_span)
from agents.usage import Usage
from openai import AsyncOpenAI
from openai.types.responses import Response, ResponseUsage

import tallyvox as t
from tallyvox.aio import AsyncSession
from tallyvox.integrations.openai_agents import LedgerTracingProcessor
from tallyvox.integrations.routing import LedgerRouter

pytestmark = pytest.mark.usefixtures("every_ledger_ends")


def sha(data):
    return hashlib.sha256(data if isinstance(data, bytes) else data.encode()).hexdigest()


class FakeModel(Model):
    """Answers from a script and traces each call as the chat-completions
    model does: a generation span with model, input, output and usage."""

    def __init__(self, script):
        self.script = list(script)

    async def get_response(self, system_instructions, input, model_settings, tools,
                           output_schema, handoffs, tracing, **kwargs):
        messages = [{"role": "user", "content": input}] if isinstance(input, str) else input
        output = [self.script.pop(0)]
        with generation_span(model="fake-gpt", input=[dict(m) for m in messages]) as span:
            span.span_data.output = [item.model_dump() for item in output]
            span.span_data.usage = {"input_tokens": 12, "output_tokens": 5}
        return ModelResponse(output=output, usage=Usage(requests=1, input_tokens=12,
                                                        output_tokens=5, total_tokens=17),
                             response_id=None)

    def stream_response(self, *args, **kwargs):
        raise NotImplementedError


@function_tool
def get_weather(city: str) -> str:
    """Weather in a city."""
    return "sunny in " + city


@function_tool
def explode(city: str) -> str:
    """Always fails."""
    raise ValueError("no such city: " + city)


@pytest.fixture
def processors():
    """Installs the processors a test gives, and only those, for its duration."""
    yield set_trace_processors
    set_trace_processors([])


def recorded(path):
    report = t.verify_file(path)
    assert report.ok, report.reason
    return [(s.event["type"], s.event["payload"]) for s in t.read_ledger(path)]


@pytest.fixture
def session(tmp_path):
    return AsyncSession(t.Session.open(keypair=t.SigningKeypair.generate(),
                                       ledger_path=tmp_path / "ledger.ndjson",
                                       session_id="call-7"))


def test_an_agent_run_with_tools_leaves_the_matching_events(tmp_path, session, processors):
    processor = LedgerTracingProcessor(session, own_session=True)
    processors([])  # no exporter of the SDK's own
    add_trace_processor(processor)
    model = FakeModel([function_call("get_weather", {"city": "Paris"}, call_id="c1"),
                       function_call("explode", {"city": "Paris"}, call_id="c2"),
                       assistant_message("It is sunny.")])
    agent = Agent(name="weather", instructions="Be brief.", model=model,
                  tools=[get_weather, explode])
    result = asyncio.run(Runner.run(agent, "weather in Paris?",
                                    run_config=RunConfig(workflow_name="weather-bot")))
    assert result.final_output == "It is sunny."
    processor.shutdown()

    got = recorded(tmp_path / "ledger.ndjson")
    assert [(kind, p.get("tool_name"), p.get("success")) for kind, p in got] == [
        ("SessionStarted", None, None),
        ("ModelInvoked", None, None),
        ("ToolCalled", "get_weather", None), ("ToolReturned", "get_weather", True),
        ("ModelInvoked", None, None),
        ("ToolCalled", "explode", None), ("ToolReturned", "explode", False),
        ("ModelInvoked", None, None),
        ("SessionEnded", None, None),
    ]
    assert got[0][1] == {"agent_id": "weather-bot", "model_id": "unknown",
                         "session_id": "call-7"}
    assert got[1][1] == {
        "model_id": "fake-gpt",
        "prompt_sha256": sha(b'[{"content":"weather in Paris?","role":"user"}]'),
        "response_sha256": got[1][1]["response_sha256"],
        "prompt_tokens": 12, "response_tokens": 5}
    assert got[2][1] == {"tool_name": "get_weather", "args_sha256": sha('{"city":"Paris"}'),
                         "args_redacted": {"city": "***"}}
    assert got[3][1]["result_sha256"] == sha("sunny in Paris")
    assert got[3][1]["latency_ms"] >= 0
    assert got[-1][1]["reason"] == "completed"
    assert "Paris" not in (tmp_path / "ledger.ndjson").read_text()


def pcm(ms):
    return bytes(range(256)) * (ms * 48 // 256) + bytes(ms * 48 % 256)


@pytest.mark.parametrize("redact_text", [None, str.upper])
def test_voice_and_response_spans(tmp_path, session, processors, redact_text):
    options = {"redact_text": redact_text} if redact_text else {}
    processor = LedgerTracingProcessor(session, own_session=True, **options)
    processors([processor])
    kept = redact_text or (lambda text: text)
    heard, said = pcm(1500), b"\x01\x02" * 300
    response = Response.model_construct(
        model="gpt-x", output=[assistant_message("Noted.")],
        usage=ResponseUsage.model_construct(input_tokens=3, output_tokens=4))
    with trace("voice"):
        with transcription_span(model="stt", input=base64.b64encode(heard).decode(),
                                input_format="pcm", output="where is my parcel?",
                                model_config={"language": "en"}):
            pass
        with response_span(response=response) as span:
            span.span_data.input = "where is my parcel?"
        with speech_span(model="tts", input="It arrives tomorrow.",
                         output=base64.b64encode(said).decode()):
            pass
        with speech_span(model="tts", input=""):  # sensitive data hidden
            pass
    processor.force_flush()
    assert recorded(tmp_path / "ledger.ndjson")[1:-1] == [
        ("UtteranceCaptured", {"audio_sha256": sha(heard), "transcript": kept("where is my parcel?"),
                               "lang": "en", "duration_ms": 1500}),
        ("ModelInvoked", {"model_id": "gpt-x", "prompt_sha256": sha("where is my parcel?"),
                          "response_sha256": sha("Noted."), "prompt_tokens": 3,
                          "response_tokens": 4}),
        ("UtteranceSpoken", {"text_sha256": sha("It arrives tomorrow."),
                             "text": kept("It arrives tomorrow."), "audio_sha256": sha(said)}),
        ("UtteranceSpoken", {"text_sha256": sha(""), "text": "", "audio_sha256": sha(b"")}),
    ]


def test_each_span_is_recorded_once_its_arguments_redacted_parsed_or_raw(tmp_path, session,
                                                                         processors):
    ended, seen = [], []

    class Spy(LedgerTracingProcessor):
        def on_span_end(self, span):
            ended.append(span)
            super().on_span_end(span)

    processor = Spy(session, redact=lambda a: seen.append(a) or "kept", own_session=True)
    processors([processor])
    with trace("redact"):
        with function_span("a", json.dumps({"card": "4111"}), "found"):
            pass
        with function_span("b", "not json", None):
            pass
    processor.on_span_end(ended[0])  # delivered twice
    processor.force_flush()
    assert seen == [{"card": "4111"}, "not json"]
    got = recorded(tmp_path / "ledger.ndjson")
    assert [(kind, p.get("args_redacted")) for kind, p in got] == [
        ("SessionStarted", None), ("ToolCalled", "kept"), ("ToolReturned", None),
        ("ToolCalled", "kept"), ("ToolReturned", None), ("SessionEnded", None)]


def test_a_ledger_error_is_logged_and_raised_only_when_strict(tmp_path, session, caplog,
                                                             processors):
    session.close().result()
    quiet, strict = LedgerTracingProcessor(session), LedgerTracingProcessor(session, strict=True)
    processors([quiet])
    with caplog.at_level(logging.ERROR, logger="tallyvox.integrations"):
        with trace("closed"), generation_span(model="m", usage={"input_tokens": 1}) as span:
            pass
    mine = [r for r in caplog.records if r.name == "tallyvox.integrations"]
    assert [(r.getMessage(), r.exc_info[0]) for r in mine] == [
        ("could not record the generation span", t.LedgerError)]
    with pytest.raises(t.LedgerError, match="^the session is closed$"):
        strict.on_span_end(span)
    (tmp_path / "ledger.ndjson").unlink()  # the ledger that was never written


SLOW_RUNS = []


@function_tool
async def slow_lookup(city: str) -> str:
    """Takes longer than anyone waits."""
    SLOW_RUNS.append(city)
    await asyncio.sleep(30)
    return "late"


def refusing_model():
    """The SDK's own chat-completions model, over a transport where every
    request fails."""
    transport = httpx.MockTransport(lambda request: httpx.Response(
        500, json={"error": {"message": "down", "type": "server_error"}}))
    client = AsyncOpenAI(api_key="none", max_retries=0,
                         http_client=httpx.AsyncClient(transport=transport))
    return OpenAIChatCompletionsModel(model="gpt-x", openai_client=client)


# Each conversation: its model, its tools, whether it is cancelled while its
# tool runs, and the events it leaves, each by its type and the field that
# tells it apart.
CONVERSATIONS = {
    "weather": (lambda: FakeModel([function_call("get_weather", {"city": "Paris"}, call_id="c1"),
                                   assistant_message("It is sunny.")]), [get_weather], False,
                [("ModelInvoked", "fake-gpt"), ("ToolCalled", "get_weather"),
                 ("ToolReturned", True), ("ModelInvoked", "fake-gpt"),
                 ("SessionEnded", "completed")]),
    "cancelled": (lambda: FakeModel([function_call("slow_lookup", {"city": "Paris"}, call_id="c1")]),
                  [slow_lookup], True,
                  [("ModelInvoked", "fake-gpt"), ("ToolCalled", "slow_lookup"),
                   ("ToolReturned", False), ("SessionEnded", "cancelled")]),
    "failing": (refusing_model, [], False, [("SessionEnded", "error: InternalServerError")]),
}


def summary(path):
    key = {"SessionStarted": "agent_id", "ModelInvoked": "model_id", "ToolCalled": "tool_name",
           "ToolReturned": "success", "SessionEnded": "reason"}
    return [(kind, payload[key[kind]]) for kind, payload in recorded(path)]


async def converse(name, turn):
    make_model, tools, cancel, _ = CONVERSATIONS[name]
    agent = Agent(name=name, instructions="Be brief.", model=make_model(), tools=tools)
    slow_runs = len(SLOW_RUNS)
    run = asyncio.ensure_future(Runner.run(agent, "weather in Paris?", run_config=RunConfig(
        workflow_name=name, group_id=f"conversation/{name}")))
    if cancel:
        while len(SLOW_RUNS) == slow_runs:
            await asyncio.sleep(0.01)
        run.cancel()
    await asyncio.gather(run, return_exceptions=True)


def by_group_in(directory, keypair):
    return {"router": directory, "keypair": keypair, "by": "group"}


def ledger_router(directory, keypair):
    return {"router": LedgerRouter(directory, keypair)}


def own_sessions(directory, keypair):  # a callable router; the sessions are the test's
    opened = {}

    def route(trace):
        if trace.group_id not in opened:
            opened[trace.group_id] = t.Session.open(
                keypair=keypair, session_id=trace.group_id,
                ledger_path=directory / (trace.group_id.split("/")[1] + ".ndjson"))
        return opened[trace.group_id]

    return {"router": route}


@pytest.mark.parametrize("routing,turns", [(by_group_in, 2), (ledger_router, 1),
                                           (own_sessions, 2)],
                         ids=["directory-by-group", "router-by-trace", "callable"])
def test_conversations_at_once_each_in_its_own_ledger(tmp_path, processors, routing, turns):
    keypair = t.SigningKeypair.generate()
    options = routing(tmp_path, keypair)
    processor = LedgerTracingProcessor(**options)
    processors([processor])

    async def main():
        for turn in range(turns):
            await asyncio.gather(*(converse(name, turn) for name in CONVERSATIONS))
        await asyncio.sleep(0.1)  # a tool cancelled with its run ends after it

    asyncio.run(main())
    processor.shutdown()
    router = options["router"]
    if isinstance(router, LedgerRouter):
        router.close()
    by_agent = {}
    for path in sorted(tmp_path.iterdir()):
        events = summary(path)
        assert events[0][0] == "SessionStarted"
        by_agent.setdefault(events[0][1], []).append(events)
    expected = {name: [[("SessionStarted", name), *c[3]] * turns]
                for name, c in CONVERSATIONS.items()}
    if routing is ledger_router:  # one ledger per trace
        expected = {name: runs * turns for name, runs in expected.items()}
    assert by_agent == expected
