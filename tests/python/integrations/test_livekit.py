"""A scripted two-turn conversation through a real LiveKit AgentSession (a
scripted LLM, no room), recorded by record_session: spoken turns stood in for
by the session's own transcription events, or typed in text mode."""
import asyncio
import hashlib
import logging

import pytest

pytest.importorskip("livekit.agents")

from livekit.agents import (  # noqa: E402
    Agent, AgentSession, APIConnectionError, ToolError, function_tool, llm)
from livekit.agents.llm import (  # noqa: E402
    ChatChunk, ChoiceDelta, CompletionUsage, FunctionCall, FunctionCallOutput, FunctionToolCall)
from livekit.agents.types import APIConnectOptions, DEFAULT_API_CONNECT_OPTIONS  # noqa: E402
from livekit.agents.voice.agent_session import SessionConnectOptions  # noqa: E402
from livekit.agents.voice.events import (  # noqa: E402
    FunctionToolsExecutedEvent, ToolCallEnded, ToolCallStarted, ToolExecutionUpdatedEvent,
    UserInputTranscribedEvent, UserStateChangedEvent)

import tallyvox  # noqa: E402
from tallyvox.aio import AsyncSession  # noqa: E402
from tallyvox.integrations import livekit as recorder  # noqa: E402
from tallyvox.integrations.livekit import record_session  # noqa: E402

pytestmark = pytest.mark.usefixtures("every_ledger_ends")


def sha(data):
    return hashlib.sha256(data if isinstance(data, bytes) else data.encode()).hexdigest()


class ScriptedStream(llm.LLMStream):
    def __init__(self, owner, reply, **kwargs):
        super().__init__(owner, **kwargs)
        self._reply = reply

    async def _run(self):
        if isinstance(self._reply, Exception):
            raise self._reply
        request_id, text, calls, (prompt, completion) = self._reply
        self._event_ch.send_nowait(ChatChunk(
            id=request_id, delta=ChoiceDelta(role="assistant", content=text, tool_calls=calls)))
        self._event_ch.send_nowait(ChatChunk(id=request_id, usage=CompletionUsage(
            prompt_tokens=prompt, completion_tokens=completion,
            total_tokens=prompt + completion)))


class ScriptedLLM(llm.LLM):
    """Answers each request with the next scripted reply (an exception is
    raised by the stream)."""

    def __init__(self, replies):
        super().__init__()
        self._replies = list(replies)

    @property
    def model(self):
        return "scripted-1"

    def chat(self, *, chat_ctx, tools=None, conn_options=DEFAULT_API_CONNECT_OPTIONS, **_):
        return ScriptedStream(self, self._replies.pop(0), chat_ctx=chat_ctx,
                              tools=tools or [], conn_options=conn_options)


@function_tool
async def weather(city: str) -> str:
    """The weather in a city."""
    return f"sunny in {city}"


@function_tool
async def forecast(city: str) -> str:
    """Tomorrow's weather in a city."""
    raise ToolError(f"no forecast for {city}")


def call(name):
    return FunctionToolCall(name=name, arguments='{"city": "Oslo"}', call_id="call-1")


REPLIES = {
    name: [("req-1", None, [call(name)], (40, 7)), ("req-2", "It is sunny in Oslo.", [], (61, 6)),
           ("req-3", "Goodbye!", [], (70, 3))]
    for name in ("weather", "forecast")
}
TURNS = [("what is the weather in Oslo", 100.0, 101.25), ("thanks", 110.0, 110.5)]


async def speak(session, said, started, stopped):
    """What the session reports while the user speaks one turn, then the turn."""
    session.emit("user_state_changed", UserStateChangedEvent(
        old_state="listening", new_state="speaking", created_at=started))
    session.emit("user_state_changed", UserStateChangedEvent(
        old_state="speaking", new_state="listening", created_at=stopped))
    session.emit("user_input_transcribed", UserInputTranscribedEvent(
        transcript=said[:4], is_final=False, language="en"))
    session.emit("user_input_transcribed", UserInputTranscribedEvent(
        transcript=said, is_final=True, language="en"))
    await session.run(user_input=said)


async def type_in(session, said, started, stopped):
    await session.run(user_input=said)


def tool_events(session, call_id, status, output=None):
    """What the session reports of a tool call that another path ran: its
    start, its end, and its output when it has one."""
    fnc = FunctionCall(call_id=call_id, name="lookup", arguments='{"q": 1}')
    session.emit("tool_execution_updated", ToolExecutionUpdatedEvent(
        update=ToolCallStarted(function_call=fnc)))
    if status:
        session.emit("tool_execution_updated", ToolExecutionUpdatedEvent(
            update=ToolCallEnded(id=call_id, call_id=call_id, status=status)))
    if output is not None:
        session.emit("function_tools_executed", FunctionToolsExecutedEvent(
            function_calls=[fnc], function_call_outputs=[FunctionCallOutput(
                call_id=call_id, name="lookup", output=output, is_error=False)]))


async def interrupted_tool(session, *turn):
    tool_events(session, "call-9", "cancelled", output="partial")
    await speak(session, *turn)


async def speak_until_closed(session, *turn):
    await speak(session, *turn)
    await asyncio.Event().wait()


async def tool_left_open(session, *turn):
    tool_events(session, "call-9", None)
    await speak(session, *turn)


async def conversation(path, tool=weather, *, turn=speak, replies=None, ledger=None,
                       session_options=None, session_id="room-3", **options):
    """Runs the two turns into the ledger at `path` (until the session closes
    on its own); returns the tool outputs the framework reported and the
    session's final history."""
    outputs = []
    async with await AsyncSession.open(keypair=tallyvox.SigningKeypair.generate(),
                                       ledger_path=path, session_id=session_id) as own:
        session = AgentSession(llm=ScriptedLLM(replies or REPLIES[tool.__name__]),
                               **(session_options or {}))
        session.on("function_tools_executed", lambda ev: outputs.extend(
            o.output for o in ev.function_call_outputs))
        closed = asyncio.Event()
        session.on("close", lambda _: closed.set())
        recording = record_session(session, ledger or own, **options)
        await session.start(Agent(instructions="be brief", tools=[tool]))
        for said in TURNS:
            talk = asyncio.ensure_future(turn(session, *said))
            await asyncio.wait([talk, asyncio.ensure_future(closed.wait())],
                               return_when=asyncio.FIRST_COMPLETED)
            if closed.is_set():
                talk.cancel()
                await asyncio.gather(talk, return_exceptions=True)
                break
        await session.aclose()
        assert not recording.attached
        return outputs, session.history.items


def converse(path, tool=weather, **options):
    return asyncio.run(asyncio.wait_for(conversation(path, tool, **options), 30))


def payloads(path):
    return [(e.event["type"], e.event["payload"]) for e in tallyvox.read_ledger(path)]


def expected(tool, result, redacted):
    success = tool == "weather"
    model = {"model_id": "scripted-1"}
    return [
        ("SessionStarted", {"agent_id": "livekit-agents", "model_id": "scripted-1",
                            "session_id": "room-3"}),
        ("UtteranceCaptured", {"audio_sha256": sha(TURNS[0][0]), "transcript": TURNS[0][0],
                               "lang": "en", "duration_ms": 1250}),
        ("ModelInvoked", model | {"response_sha256": sha("req-1"), "prompt_tokens": 40,
                                  "response_tokens": 7}),
        ("ToolCalled", {"tool_name": tool, "args_sha256": sha('{"city": "Oslo"}'),
                        "args_redacted": redacted}),
        ("ToolReturned", {"tool_name": tool, "result_sha256": sha(result),
                          "success": success}),
        ("ModelInvoked", model | {"response_sha256": sha("req-2"), "prompt_tokens": 61,
                                  "response_tokens": 6}),
        ("UtteranceSpoken", {"text": "It is sunny in Oslo.", "text_sha256":
                             sha("It is sunny in Oslo."), "audio_sha256":
                             sha("It is sunny in Oslo.")}),
        ("UtteranceCaptured", {"audio_sha256": sha("thanks"), "transcript": "thanks",
                               "lang": "en", "duration_ms": 500}),
        ("ModelInvoked", model | {"response_sha256": sha("req-3"), "prompt_tokens": 70,
                                  "response_tokens": 3}),
        ("UtteranceSpoken", {"text": "Goodbye!", "text_sha256": sha("Goodbye!"),
                             "audio_sha256": sha("Goodbye!")}),
        ("SessionEnded", {"reason": "user_initiated", "summary_sha256": sha("\n".join([
            "user: " + TURNS[0][0], "tool: " + tool, "bot: It is sunny in Oslo.",
            "user: thanks", "bot: Goodbye!"]))}),
    ]


def history_prefixes(items):
    """The prompt digest of each history prefix, by its length: SHA-256 over
    each item's canonical JSON and a line feed, written out independently."""
    out, lines = {}, b""
    for n, item in enumerate(items, 1):
        form = item.model_dump(mode="json", exclude_none=True, exclude={"created_at", "metrics"})
        if form.get("type") == "message":
            form["content"] = [c for c in form["content"] if isinstance(c, str)]
        lines += tallyvox.canonical_json(form) + b"\n"
        out[sha(lines)] = n
    return out


@pytest.mark.parametrize("tool,redact,redacted", [
    (weather, None, {"city": "***"}),
    (forecast, None, {"city": "***"}),
    (weather, lambda args: sorted(args), ["city"]),
], ids=["good-tool", "failing-tool", "own-redactor"])
def test_two_turn_call_leaves_the_expected_verified_ledger(tmp_path, monkeypatch, tool, redact,
                                                           redacted):
    hashed, item_json = [], recorder.item_json
    monkeypatch.setattr(recorder, "item_json", lambda item: hashed.append(item.id) or
                        item_json(item))
    options = {"redact": redact} if redact else {}
    path = tmp_path / "call.ndjson"
    outputs, history = converse(path, tool, **options)
    got = payloads(path)
    prompts = [p.pop("prompt_sha256") for kind, p in got if kind == "ModelInvoked"]
    latency = [p.pop("latency_ms") for kind, p in got if kind == "ToolReturned"]
    assert got == expected(tool.__name__, outputs[0], redacted)
    # Each call's prompt covers a longer prefix of the history, each item
    # hashed once however many calls saw it.
    prefixes = history_prefixes(history)
    lengths = [prefixes[p] for p in prompts]
    assert lengths == sorted(set(lengths)) and len(lengths) == 3
    assert hashed == [item.id for item in history[:lengths[-1]]]
    assert len(latency) == 1 and 0 <= latency[0] < 5000


def summary(events):
    key = {"SessionStarted": "session_id", "UtteranceCaptured": "transcript",
           "ModelInvoked": "response_sha256", "ToolCalled": "tool_name",
           "ToolReturned": "success", "UtteranceSpoken": "text", "SessionEnded": "reason"}
    return [(kind, payload[key[kind]]) for kind, payload in events]


ASKED, SAID = TURNS[0][0], "It is sunny in Oslo."
STANDARD = [("SessionStarted", "room-3"), ("UtteranceCaptured", ASKED),
            ("ModelInvoked", sha("req-1")), ("ToolCalled", "weather"), ("ToolReturned", True),
            ("ModelInvoked", sha("req-2")), ("UtteranceSpoken", SAID),
            ("UtteranceCaptured", "thanks"), ("ModelInvoked", sha("req-3")),
            ("UtteranceSpoken", "Goodbye!"), ("SessionEnded", "user_initiated")]
FAILING = {"replies": [APIConnectionError("gone")], "turn": speak_until_closed,
           "session_options": {
    "conn_options": SessionConnectOptions(max_unrecoverable_errors=0,
                                          llm_conn_options=APIConnectOptions(max_retry=0))}}


@pytest.mark.parametrize("options,events", [
    ({"turn": type_in}, STANDARD),
    ({"redact_text": lambda text: text[:3] + "…"},
     [(k, v[:3] + "…" if k.startswith("Utterance") else v) for k, v in STANDARD]),
    (FAILING, [*STANDARD[:2], ("SessionEnded", "error: APIConnectionError")]),
    ({"turn": interrupted_tool}, [*STANDARD[:1], ("ToolCalled", "lookup"),
                                  ("ToolReturned", False), *STANDARD[1:]]),
    ({"turn": tool_left_open}, [*STANDARD[:-1], ("ToolCalled", "lookup"),
                                ("ToolReturned", False), STANDARD[-1]]),
], ids=["text-mode", "redact-text", "model-fails", "interrupted-tool", "tool-left-open"])
def test_the_ways_a_call_goes(tmp_path, options, events):
    path = tmp_path / "call.ndjson"
    converse(path, **options)
    got = payloads(path)
    assert summary(got) == events
    captured = [p for kind, p in got if kind == "UtteranceCaptured"]
    assert [p["audio_sha256"] for p in captured] == [sha(s) for s, _, _ in TURNS][:len(captured)]
    if options.get("turn") is type_in:  # what was typed has no language and no length
        assert {(p["lang"], p["duration_ms"]) for p in captured} == {("", 0)}


def test_two_sessions_at_once_keep_their_own_ledgers(tmp_path):
    async def both():
        await asyncio.gather(*(conversation(tmp_path / f"{room}.ndjson", session_id=room)
                               for room in ("a", "b")))

    asyncio.run(asyncio.wait_for(both(), 30))
    for room in ("a", "b"):
        assert summary(payloads(tmp_path / f"{room}.ndjson")) == [
            ("SessionStarted", room), *STANDARD[1:]]


def test_nothing_is_recorded_after_detach(tmp_path):
    path = tmp_path / "call.ndjson"

    async def main():
        async with await AsyncSession.open(keypair=tallyvox.SigningKeypair.generate(),
                                           ledger_path=path, session_id="room-4") as ledger:
            session = AgentSession(llm=ScriptedLLM([]))
            recording = record_session(session, ledger, model_id="m")
            session.emit("user_input_transcribed", UserInputTranscribedEvent(
                transcript="kept", is_final=True))
            recording.detach()
            session.emit("user_input_transcribed", UserInputTranscribedEvent(
                transcript="dropped", is_final=True))
            await asyncio.wrap_future(recording.flush())
            await ledger.record(tallyvox.events.session_ended(reason="test", summary_sha256=""))

    asyncio.run(main())
    assert [(k, p.get("transcript")) for k, p in payloads(path)] == [
        ("SessionStarted", None), ("UtteranceCaptured", "kept"), ("SessionEnded", None)]


@pytest.mark.parametrize("strict", [False, True])
def test_a_failing_ledger_never_breaks_the_agent(tmp_path, caplog, full_disk, strict):
    full_disk.room = 1  # SessionStarted, written while record_session runs
    with caplog.at_level(logging.ERROR):
        converse(tmp_path / "call.ndjson", ledger=full_disk, strict=strict)
    # Strict, the tool batch stops at its ToolCalled, so its ToolReturned is
    # never tried.
    assert full_disk.calls == len(expected("weather", "", {})) - strict
    assert "disk full" in caplog.text
    # Strict, the failure reaches the session's event emitter, which logs it.
    emitted = [r for r in caplog.records if r.name == "livekit"]
    assert bool(emitted) == strict
    (tmp_path / "call.ndjson").unlink(missing_ok=True)  # the ledger that went unused


def test_a_strict_recording_that_cannot_start_raises(full_disk):
    async def main():
        record_session(AgentSession(llm=ScriptedLLM([])), full_disk, strict=True)

    with pytest.raises(tallyvox.LedgerError, match="disk full"):
        asyncio.run(main())
