"""A scripted voice conversation through a real Pipecat pipeline, recorded by
LedgerObserver: a scripted stand-in for the transport and the speech services
in front of a real OpenAI LLM service fed scripted completion chunks, so the
frames come in the order Pipecat really pushes them. The events the call
leaves, their digests, the ways a call goes wrong, and what happens when the
ledger cannot be written."""
import asyncio
import dataclasses
import hashlib
import json
import logging

import pytest

pytest.importorskip("pipecat")

from openai.types.chat import ChatCompletionChunk  # noqa: E402
from openai.types.chat.chat_completion_chunk import (  # noqa: E402
    Choice, ChoiceDelta, ChoiceDeltaToolCall, ChoiceDeltaToolCallFunction)
from openai.types.completion_usage import CompletionUsage  # noqa: E402
from pipecat.frames.frames import (  # noqa: E402
    EndFrame, FunctionCallInProgressFrame, FunctionCallResultFrame, InputAudioRawFrame,
    InterimTranscriptionFrame, InterruptionFrame, LLMContextFrame, LLMFullResponseEndFrame,
    LLMTextFrame, StartFrame, TranscriptionFrame, TTSAudioRawFrame, TTSStartedFrame,
    TTSStoppedFrame, TTSTextFrame, UserStartedSpeakingFrame, UserStoppedSpeakingFrame)
from pipecat.observers.base_observer import FramePushed  # noqa: E402
from pipecat.pipeline.pipeline import Pipeline  # noqa: E402
from pipecat.pipeline.worker import (  # noqa: E402
    PipelineParams, PipelineWorker, ProcessorUnusablePolicy)
from pipecat.processors.aggregators.llm_context import LLMContext  # noqa: E402
from pipecat.processors.frame_processor import FrameDirection, FrameProcessor  # noqa: E402
from pipecat.services.openai.llm import OpenAILLMService  # noqa: E402
from pipecat.transcriptions.language import Language  # noqa: E402
from pipecat.workers.runner import WorkerRunner  # noqa: E402

import tallyvox  # noqa: E402
from tallyvox.aio import AsyncSession  # noqa: E402
from tallyvox.integrations.pipecat import LedgerObserver  # noqa: E402

pytestmark = pytest.mark.usefixtures("every_ledger_ends")


def sha(data):
    return hashlib.sha256(data.encode() if isinstance(data, str) else data).hexdigest()


def compact(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"))


# Two turns: the user asks, the model calls one tool and then answers, the bot
# speaks; the user thanks, the model answers, the bot speaks, the call ends.
TURNS = [
    {"audio": [b"\x01\x02" * 160, b"\x03\x04" * 160], "said": "what is the weather in Oslo",
     "tool": ("weather", "call-1", {"city": "Oslo"}, "sunny, 21 C"),
     "answer": ["It is sunny ", "in Oslo."], "spoken": ["It", "is", "sunny", "in", "Oslo."],
     "voice": [b"\x10" * 480, b"\x11" * 480], "usage": [(40, 7), (55, 6)]},
    {"audio": [b"\x05\x06" * 320], "said": "thanks", "tool": None,
     "answer": ["Goodbye!"], "spoken": ["Goodbye!"], "voice": [b"\x12" * 480],
     "usage": [(70, 3)]},
]
MODEL = "gpt-scripted"
KEYPAIR = tallyvox.SigningKeypair.generate()


def chunk(delta=None, usage=None):
    return ChatCompletionChunk(
        id="c", created=0, model=MODEL, object="chat.completion.chunk", usage=usage,
        choices=[Choice(index=0, delta=delta, finish_reason=None)] if delta else [])


def usage_chunk(usage):
    return chunk(usage=CompletionUsage(prompt_tokens=usage[0], completion_tokens=usage[1],
                                       total_tokens=sum(usage)))


def replies(turns):
    """The completion chunks the model streams, one list per request."""
    out = []
    for turn in turns:
        usage = iter(turn["usage"])
        if turn["tool"]:
            name, call_id, args, _ = turn["tool"]
            call = ChoiceDeltaToolCall(index=0, id=call_id, type="function",
                                       function=ChoiceDeltaToolCallFunction(
                                           name=name, arguments=json.dumps(args)))
            out.append([chunk(ChoiceDelta(tool_calls=[call])), usage_chunk(next(usage))])
        answer = [chunk(ChoiceDelta(content=part)) for part in turn["answer"]]
        out.append([*answer[:1], *turn.get("pause", []), *answer[1:], usage_chunk(next(usage))])
    return out


class ScriptedLLM(OpenAILLMService):
    """Pipecat's OpenAI service with the network replaced by scripted chunks;
    "pause" in a reply waits before the next chunk."""

    def __init__(self, turns, tool_seconds=0.0):
        super().__init__(api_key="none", settings=OpenAILLMService.Settings(model=MODEL))
        self._replies = replies(turns)
        for turn in turns:
            if turn["tool"]:
                self.register_function(turn["tool"][0], self._tool(turn["tool"][3], tool_seconds))

    @staticmethod
    def _tool(result, seconds):
        async def run(params):
            await asyncio.sleep(seconds)
            await params.result_callback(result)
        return run

    async def get_chat_completions(self, context):
        reply = self._replies.pop(0)

        async def stream():
            for item in reply:
                if item == "pause":
                    await asyncio.sleep(0.2)
                else:
                    yield item
        return stream()


class Relay(FrameProcessor):
    """A processor that passes every frame on, so each is pushed again."""

    async def process_frame(self, frame, direction):
        await super().process_frame(frame, direction)
        await self.push_frame(frame, direction)


class Tap(Relay):
    """After the LLM: lets the script wait for what the LLM has pushed."""

    def __init__(self):
        super().__init__()
        self.seen = asyncio.Queue()

    async def process_frame(self, frame, direction):
        if isinstance(frame, (LLMFullResponseEndFrame, FunctionCallResultFrame,
                              FunctionCallInProgressFrame, LLMTextFrame)):
            self.seen.put_nowait(type(frame))
        await super().process_frame(frame, direction)

    async def next(self, kind):
        while await self.seen.get() is not kind:
            pass


class Script(Relay):
    """Stands in for the transport and the speech services: pushes what they
    would, broadcasting what they broadcast."""

    def __init__(self, tap, *, audio=True):
        super().__init__()
        self._tap = tap
        self._audio = audio

    async def play(self, turns):
        for turn in turns:
            await self.user(turn)
            await self.ask(turn)
            if turn["tool"]:
                await self._tap.next(FunctionCallResultFrame)
                await self.ask(turn)
            await self._tap.next(LLMFullResponseEndFrame)
            await self.speak(turn["spoken"], turn["voice"])

    async def user(self, turn):
        await self.broadcast_frame(UserStartedSpeakingFrame)
        for part in turn["audio"] if self._audio else []:
            await self.push_frame(InputAudioRawFrame(audio=part, sample_rate=16000,
                                                     num_channels=1))
        await self.broadcast_frame(UserStoppedSpeakingFrame)
        await self.push_frame(InterimTranscriptionFrame(turn["said"][:4], "u", "t"))
        await self.push_frame(TranscriptionFrame(turn["said"], "u", "t",
                                                 language=Language.EN_US))

    async def ask(self, turn):
        context = LLMContext(messages=[{"role": "user", "content": turn["said"]}])
        await self.push_frame(LLMContextFrame(context=context))

    async def speak(self, words, voice=()):
        await self.push_frame(TTSStartedFrame(context_id="c"))
        for part in voice if self._audio else []:
            await self.push_frame(TTSAudioRawFrame(part, 24000, 1, context_id="c"))
        for word in words:
            await self.push_frame(TTSTextFrame(word, text_type="word", context_id="c"))
        await self.push_frame(TTSStoppedFrame(context_id="c"))


async def end_call(worker, script, reason=None):
    await worker.queue_frame(EndFrame(reason=reason))


@dataclasses.dataclass
class Call:
    """One call: its turns, how it is played and ended, how it is recorded."""

    turns: list = dataclasses.field(default_factory=lambda: TURNS)
    audio: bool = True
    usage_metrics: bool = True
    tool_seconds: float = 0.0
    play: object = None  # a coroutine function (script, tap, turns), else Script.play
    finish: object = end_call
    options: dict = dataclasses.field(default_factory=dict)


async def run_call(call, observers):
    tap = Tap()
    script = Script(tap, audio=call.audio)
    llm = ScriptedLLM(call.turns, call.tool_seconds)
    worker = PipelineWorker(
        Pipeline([script, llm, tap, *[Relay() for _ in range(2)]]), observers=observers,
        params=PipelineParams(enable_metrics=call.usage_metrics,
                              enable_usage_metrics=call.usage_metrics),
        processor_unusable_policy=ProcessorUnusablePolicy.CANCEL,
        cancel_on_idle_timeout=False, enable_rtvi=False, enable_turn_tracking=False)
    started = asyncio.Event()

    @worker.event_handler("on_pipeline_started")
    async def _started(worker, frame):
        started.set()

    async def drive():
        await asyncio.wait_for(started.wait(), 5)
        if call.play is None:
            await script.play(call.turns)
        else:
            await call.play(script, tap, call.turns)
        await call.finish(worker, script)

    runner = WorkerRunner(handle_sigint=False)
    await runner.add_workers(worker)
    await asyncio.wait_for(asyncio.gather(runner.run(), drive()), 20)


async def recorded_call(path, call, session_id="call-7"):
    async with await AsyncSession.open(keypair=KEYPAIR, ledger_path=path,
                                       session_id=session_id) as session:
        await run_call(call, [LedgerObserver(session, **call.options)])


def record(path, call):
    asyncio.run(recorded_call(path, call))
    return payloads(path)


def payloads(path):
    return [(e.event["type"], e.event["payload"]) for e in tallyvox.read_ledger(path)]


def model(response, said, usage):
    return ("ModelInvoked", {"model_id": MODEL, "prompt_sha256": sha(compact([
        {"role": "user", "content": said}])), "response_sha256": sha(response),
        "prompt_tokens": usage[0], "response_tokens": usage[1]})


def expected(turns, *, audio=True, usage_metrics=True, session_id="call-7"):
    """The events the conversation must leave, built from the script alone."""
    out = [("SessionStarted", {"agent_id": "pipecat", "model_id": "unknown",
                               "session_id": session_id})]
    transcript = []
    for turn in turns:
        heard = b"".join(turn["audio"]) if audio else turn["said"]
        out.append(("UtteranceCaptured", {
            "audio_sha256": sha(heard), "transcript": turn["said"], "lang": "en-US",
            "duration_ms": round(len(b"".join(turn["audio"])) / 32) if audio else None}))
        transcript.append("user: " + turn["said"])
        usage = iter(turn["usage"] if usage_metrics else [(0, 0)] * 2)
        if turn["tool"]:
            name, _, args, result = turn["tool"]
            out.append(model(compact([{"name": name, "arguments": args}]), turn["said"],
                             next(usage)))
            out.append(("ToolCalled", {"tool_name": name, "args_redacted": {"city": "***"},
                                       "args_sha256": sha(compact(args))}))
            out.append(("ToolReturned", {"tool_name": name, "result_sha256": sha(result),
                                         "success": True}))
            transcript.append("tool: " + name)
        out.append(model("".join(turn["answer"]), turn["said"], next(usage)))
        text = " ".join(turn["spoken"])
        out.append(("UtteranceSpoken", {
            "text": text, "text_sha256": sha(text),
            "audio_sha256": sha(b"".join(turn["voice"]) if audio else text)}))
        transcript.append("bot: " + text)
    out.append(("SessionEnded", {"reason": "completed",
                                 "summary_sha256": sha("\n".join(transcript))}))
    return out


def comparable(events):
    """Drops what depends on the clock: tool latency (checked to be in range),
    and the length of an utterance measured between speaking frames rather
    than from its audio."""
    out = []
    for kind, payload in events:
        payload = dict(payload)
        assert 0 <= payload.pop("latency_ms", 0) < 5000
        if payload.get("duration_ms", 0) is None or kind == "UtteranceCaptured" and (
                payload["audio_sha256"] == sha(payload["transcript"])):
            payload.pop("duration_ms")
        out.append((kind, payload))
    return out


def summary(events):
    """Each event by its type and the field that tells it apart."""
    key = {"SessionStarted": "session_id", "UtteranceCaptured": "transcript",
           "ModelInvoked": "response_sha256", "ToolCalled": "tool_name",
           "ToolReturned": "success", "UtteranceSpoken": "text", "SessionEnded": "reason"}
    return [(kind, payload[key[kind]]) for kind, payload in events]


async def barge_in(script, tap, turns):
    """The user cuts in while the model is still streaming its only answer,
    after the bot spoke its first words."""
    await script.user(turns[0])
    await script.ask(turns[0])
    await tap.next(LLMTextFrame)
    await script.speak(["It", "is"])
    await script.push_frame(InterruptionFrame())


async def until_tool_runs(script, tap, turns):
    await script.user(turns[0])
    await script.ask(turns[0])
    await tap.next(FunctionCallInProgressFrame)


async def processor_fails(worker, script):
    # The speech service loses its connection for good: the worker cancels.
    await script.push_error("speech service gone", exception=ConnectionError("gone"),
                            force_treat_as_permanent=True)


SPOKEN = "It is sunny in Oslo."
ASKED, THANKS = TURNS[0]["said"], TURNS[1]["said"]
TOOL_ONLY = sha(compact([{"name": "weather", "arguments": {"city": "Oslo"}}]))
STANDARD = [("SessionStarted", "call-7"), ("UtteranceCaptured", ASKED),
            ("ModelInvoked", TOOL_ONLY), ("ToolCalled", "weather"), ("ToolReturned", True),
            ("ModelInvoked", sha(SPOKEN)), ("UtteranceSpoken", SPOKEN),
            ("UtteranceCaptured", THANKS), ("ModelInvoked", sha("Goodbye!")),
            ("UtteranceSpoken", "Goodbye!")]
INTERRUPTED = {**TURNS[0], "tool": None, "pause": ["pause"] * 10, "usage": [(40, 9)]}


# Rows whose events are whole payloads are compared whole; the others by
# summary(). Without usage metrics the model is the service's settings.model.
@pytest.mark.parametrize("call,events", [
    (Call(), expected(TURNS)),
    (Call(audio=False), expected(TURNS, audio=False)),
    (Call(options={"hash_audio": False}), expected(TURNS, audio=False)),
    (Call(usage_metrics=False), expected(TURNS, usage_metrics=False)),
    (Call(finish=lambda worker, _: end_call(worker, _, "caller hung up")),
     [*STANDARD, ("SessionEnded", "caller hung up")]),
    (Call(tool_seconds=30, play=until_tool_runs, finish=lambda worker, _: worker.cancel()),
     [*STANDARD[:4], ("ToolReturned", False), ("SessionEnded", "cancelled")]),
    (Call(turns=[INTERRUPTED], play=barge_in),
     [*STANDARD[:2], ("ModelInvoked", sha("It is sunny ")), ("UtteranceSpoken", "It is"),
      ("SessionEnded", "completed")]),
    (Call(finish=processor_fails), [*STANDARD, ("SessionEnded", "error: ConnectionError")]),
    (Call(options={"redact_text": lambda text: text[:2] + "…"}),
     [(k, v[:2] + "…" if k.startswith("Utterance") else v) for k, v in STANDARD]
     + [("SessionEnded", "completed")]),
], ids=["whole-call", "no-audio-frames", "audio-not-hashed", "no-usage-metrics", "hang-up",
        "cancel-during-tool", "barge-in-while-generating", "failing-processor", "redact-text"])
def test_the_ways_a_call_goes(tmp_path, call, events):
    got = record(tmp_path / "call.ndjson", call)
    if isinstance(events[0][1], dict):
        assert comparable(got) == comparable(events)
    else:
        assert summary(got) == events
    for kind, payload in got:  # digests stay over the raw text, redacted or not
        if kind == "UtteranceSpoken":
            assert payload["text_sha256"] in {sha(SPOKEN), sha("Goodbye!"), sha("It is")}


def test_two_calls_at_once_keep_their_own_ledgers(tmp_path):
    calls = {"call-a": Call(turns=TURNS[:1]), "call-b": Call(turns=TURNS[1:])}

    async def both():
        await asyncio.gather(*(recorded_call(tmp_path / f"{k}.ndjson", c, k)
                               for k, c in calls.items()))

    asyncio.run(both())
    for session_id, call in calls.items():
        got = payloads(tmp_path / f"{session_id}.ndjson")
        assert comparable(got) == comparable(expected(call.turns, session_id=session_id))


def pushed(frame):
    return FramePushed(source=None, destination=None, frame=frame,
                       direction=FrameDirection.DOWNSTREAM, timestamp=0)


def test_a_failing_ledger_is_logged_and_stops_the_pipeline_only_when_strict(caplog, full_disk):
    with caplog.at_level(logging.ERROR, logger="tallyvox.integrations"):
        asyncio.run(run_call(Call(), [LedgerObserver(full_disk)]))
    assert full_disk.calls == len(expected(TURNS))
    assert "disk full" in caplog.text
    strict = LedgerObserver(full_disk, strict=True)
    with pytest.raises(tallyvox.LedgerError, match="disk full"):
        asyncio.run(strict.on_push_frame(pushed(StartFrame())))


@pytest.mark.parametrize("parts,spoken", [
    ([("Hi", False), ("there.", False)], "Hi there."),
    ([("Hi there. ", True), ("How are you?", True)], "Hi there. How are you?"),
    ([(" ", False), ("ok ", False), ("then", False)], "ok then"),
    ([("Sure", False), (", done.", True)], "Sure, done."),
], ids=["words", "sentences", "blank-word", "mixed"])
def test_spoken_text_is_joined_as_the_tts_spaced_it(tmp_path, parts, spoken):
    path = tmp_path / "spoken.ndjson"

    async def main():
        async with await AsyncSession.open(keypair=KEYPAIR, ledger_path=path,
                                           session_id="s") as session:
            observer = LedgerObserver(session)
            for text, spaced in parts:
                frame = TTSTextFrame(text, text_type="word")
                frame.includes_inter_frame_spaces = spaced
                await observer.on_push_frame(pushed(frame))
            await observer.cleanup()

    asyncio.run(main())
    assert [(k, p["text"]) for k, p in payloads(path) if k == "UtteranceSpoken"] == [
        ("UtteranceSpoken", spoken)]
