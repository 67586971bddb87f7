"""A scripted two-turn conversation through a real LiveKit AgentSession (text
mode, a scripted LLM, no room), recorded by record_session."""
import asyncio
import hashlib
import logging

import pytest

pytest.importorskip("livekit.agents")

from livekit.agents import Agent, AgentSession, ToolError, function_tool, llm  # noqa: E402
from livekit.agents.llm import (  # noqa: E402
    ChatChunk,
    ChoiceDelta,
    CompletionUsage,
    FunctionToolCall,
)
from livekit.agents.types import DEFAULT_API_CONNECT_OPTIONS  # noqa: E402
from livekit.agents.voice.events import (  # noqa: E402
    UserInputTranscribedEvent,
    UserStateChangedEvent,
)

import tallyvox  # noqa: E402
from tallyvox.aio import AsyncSession  # noqa: E402
from tallyvox.integrations.livekit import record_session  # noqa: E402


def sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


class ScriptedStream(llm.LLMStream):
    def __init__(self, owner, reply, **kwargs):
        super().__init__(owner, **kwargs)
        self._reply = reply

    async def _run(self):
        request_id, text, calls, (prompt, completion) = self._reply
        self._event_ch.send_nowait(ChatChunk(
            id=request_id, delta=ChoiceDelta(role="assistant", content=text, tool_calls=calls)))
        self._event_ch.send_nowait(ChatChunk(id=request_id, usage=CompletionUsage(
            prompt_tokens=prompt, completion_tokens=completion,
            total_tokens=prompt + completion)))


class ScriptedLLM(llm.LLM):
    """Answers each request with the next scripted reply."""

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


REPLIES = {
    "weather": [("req-1", None, [FunctionToolCall(name="weather", arguments='{"city": "Oslo"}',
                                                  call_id="call-1")], (40, 7)),
                ("req-2", "It is sunny in Oslo.", [], (61, 6)),
                ("req-3", "Goodbye!", [], (70, 3))],
}
REPLIES["forecast"] = [("req-1", None, [FunctionToolCall(
    name="forecast", arguments='{"city": "Oslo"}', call_id="call-1")], (40, 7)),
    *REPLIES["weather"][1:]]
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


def converse(tmp_path, tool, session_factory=None, **options):
    """Runs the two turns; returns the ledger path and the tool outputs the
    framework reported."""
    path = tmp_path / "call.ndjson"
    outputs = []

    async def main():
        async with await AsyncSession.open(keypair=tallyvox.SigningKeypair.generate(),
                                           ledger_path=path, session_id="room-3") as ledger:
            session = AgentSession(llm=ScriptedLLM(REPLIES[tool.__name__]))
            session.on("function_tools_executed", lambda ev: outputs.extend(
                o.output for o in ev.function_call_outputs))
            recording = record_session(session, session_factory() if session_factory
                                       else ledger, **options)
            await session.start(Agent(instructions="be brief", tools=[tool]))
            for turn in TURNS:
                await speak(session, *turn)
            await session.aclose()
            assert not recording.attached

    asyncio.run(asyncio.wait_for(main(), 30))
    return path, outputs


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


@pytest.mark.parametrize("tool,redact,redacted", [
    (weather, None, {"city": "***"}),
    (forecast, None, {"city": "***"}),
    (weather, lambda args: sorted(args), ["city"]),
], ids=["good-tool", "failing-tool", "own-redactor"])
def test_two_turn_call_leaves_the_expected_verified_ledger(tmp_path, tool, redact, redacted):
    options = {"redact": redact} if redact else {}
    path, outputs = converse(tmp_path, tool, **options)
    assert tallyvox.verify_file(path).ok
    got = payloads(path)
    prompts = [p.pop("prompt_sha256") for kind, p in got if kind == "ModelInvoked"]
    latency = [p.pop("latency_ms") for kind, p in got if kind == "ToolReturned"]
    assert got == expected(tool.__name__, outputs[0], redacted)
    # Each model call saw a longer history than the one before it.
    assert len(set(prompts)) == 3 and all(len(p) == 64 for p in prompts)
    assert len(latency) == 1 and 0 <= latency[0] < 5000


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

    asyncio.run(main())
    assert [(k, p.get("transcript")) for k, p in payloads(path)] == [
        ("SessionStarted", None), ("UtteranceCaptured", "kept")]


@pytest.mark.parametrize("strict", [False, True])
def test_a_failing_ledger_never_breaks_the_agent(tmp_path, caplog, full_disk, strict):
    full_disk.room = 1  # SessionStarted, written while record_session runs
    with caplog.at_level(logging.ERROR):
        converse(tmp_path, weather, lambda: full_disk, strict=strict)
    # Strict, the tool batch stops at its ToolCalled, so its ToolReturned is
    # never tried.
    assert full_disk.calls == len(expected("weather", "", {})) - strict
    assert "disk full" in caplog.text
    # Strict, the failure reaches the session's event emitter, which logs it.
    emitted = [r for r in caplog.records if r.name == "livekit"]
    assert bool(emitted) == strict


def test_a_strict_recording_that_cannot_start_raises(full_disk):
    async def main():
        record_session(AgentSession(llm=ScriptedLLM([])), full_disk, strict=True)

    with pytest.raises(tallyvox.LedgerError, match="disk full"):
        asyncio.run(main())
