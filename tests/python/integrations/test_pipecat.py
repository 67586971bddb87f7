"""A scripted voice conversation through a real Pipecat pipeline, recorded by
LedgerObserver: the events it leaves, their digests, and what happens when
the ledger cannot be written."""
import asyncio
import hashlib
import json
import logging

import pytest

pytest.importorskip("pipecat")

from pipecat.frames.frames import (  # noqa: E402
    EndFrame,
    StartFrame,
    FunctionCallInProgressFrame,
    FunctionCallResultFrame,
    FunctionCallsStartedFrame,
    InputAudioRawFrame,
    InterruptionFrame,
    InterimTranscriptionFrame,
    LLMContextFrame,
    LLMFullResponseEndFrame,
    LLMFullResponseStartFrame,
    LLMTextFrame,
    MetricsFrame,
    TranscriptionFrame,
    TTSAudioRawFrame,
    TTSStartedFrame,
    TTSStoppedFrame,
    TTSTextFrame,
    UserStartedSpeakingFrame,
    UserStoppedSpeakingFrame,
)
from pipecat.metrics.metrics import LLMTokenUsage, LLMUsageMetricsData  # noqa: E402
from pipecat.observers.base_observer import FramePushed  # noqa: E402
from pipecat.pipeline.pipeline import Pipeline  # noqa: E402
from pipecat.pipeline.worker import PipelineWorker  # noqa: E402
from pipecat.processors.aggregators.llm_context import LLMContext  # noqa: E402
from pipecat.processors.frame_processor import FrameDirection, FrameProcessor  # noqa: E402
from pipecat.transcriptions.language import Language  # noqa: E402
from pipecat.workers.runner import WorkerRunner  # noqa: E402

import tallyvox  # noqa: E402
from tallyvox.aio import AsyncSession  # noqa: E402
from tallyvox.integrations.pipecat import LedgerObserver  # noqa: E402


def sha(data):
    return hashlib.sha256(data.encode() if isinstance(data, str) else data).hexdigest()


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


class Script(FrameProcessor):
    """Stands in for the transport, the speech services and the LLM: pushes
    the frames they would, broadcasting the ones they broadcast."""

    def __init__(self, turns, *, audio=True):
        super().__init__()
        self._turns = turns
        self._audio = audio

    async def process_frame(self, frame, direction):
        await super().process_frame(frame, direction)
        await self.push_frame(frame, direction)

    async def play(self):
        for turn in self._turns:
            await self._user(turn)
            usage = iter(turn["usage"])
            if turn["tool"]:
                await self._tool_response(turn["tool"], next(usage))
            await self._response(turn["answer"], next(usage))
            await self._speak(turn)

    async def _user(self, turn):
        await self.broadcast_frame(UserStartedSpeakingFrame)
        for chunk in turn["audio"] if self._audio else []:
            await self.push_frame(InputAudioRawFrame(audio=chunk, sample_rate=16000,
                                                     num_channels=1))
        await self.broadcast_frame(UserStoppedSpeakingFrame)
        await self.push_frame(InterimTranscriptionFrame(turn["said"][:4], "u", "t"))
        await self.push_frame(TranscriptionFrame(turn["said"], "u", "t",
                                                 language=Language.EN_US))
        context = LLMContext(messages=[{"role": "user", "content": turn["said"]}])
        await self.push_frame(LLMContextFrame(context=context))

    async def _tool_response(self, tool, usage):
        name, call_id, args, result = tool
        await self.push_frame(LLMFullResponseStartFrame())
        await self.broadcast_frame(FunctionCallsStartedFrame, function_calls=[])
        await self.broadcast_frame(FunctionCallInProgressFrame, function_name=name,
                                   tool_call_id=call_id, arguments=args)
        await self._usage(usage)
        await self.push_frame(LLMFullResponseEndFrame())
        await self.broadcast_frame(FunctionCallResultFrame, function_name=name,
                                   tool_call_id=call_id, arguments=args, result=result)

    async def _response(self, parts, usage):
        await self.push_frame(LLMFullResponseStartFrame())
        for part in parts:
            await self.push_frame(LLMTextFrame(part))
        await self._usage(usage)
        await self.push_frame(LLMFullResponseEndFrame())

    async def _usage(self, usage):
        prompt, completion = usage
        value = LLMTokenUsage(prompt_tokens=prompt, completion_tokens=completion,
                              total_tokens=prompt + completion)
        await self.push_frame(MetricsFrame(data=[
            LLMUsageMetricsData(processor="llm", model="gpt-test", value=value)]))

    async def _speak(self, turn):
        await self.push_frame(TTSStartedFrame(context_id="c"))
        for chunk in turn["voice"] if self._audio else []:
            await self.push_frame(TTSAudioRawFrame(chunk, 24000, 1, context_id="c"))
        for word in turn["spoken"]:
            await self.push_frame(TTSTextFrame(word, text_type="word", context_id="c"))
        await self.push_frame(TTSStoppedFrame(context_id="c"))


class Relay(FrameProcessor):
    """A processor that passes every frame on, so each is pushed again."""

    async def process_frame(self, frame, direction):
        await super().process_frame(frame, direction)
        await self.push_frame(frame, direction)


async def end_call(worker):
    await worker.queue_frame(EndFrame())


async def run_pipeline(script, observers, hops=3, finish=end_call):
    worker = PipelineWorker(Pipeline([script, *[Relay() for _ in range(hops)]]),
                            observers=observers, cancel_on_idle_timeout=False,
                            enable_rtvi=False, enable_turn_tracking=False)
    started = asyncio.Event()

    @worker.event_handler("on_pipeline_started")
    async def _started(worker, frame):
        started.set()

    async def drive():
        await asyncio.wait_for(started.wait(), 5)
        await script.play()
        await finish(worker)

    runner = WorkerRunner(handle_sigint=False)
    await runner.add_workers(worker)
    await asyncio.gather(runner.run(), drive())


def record(tmp_path, keypair, turns, script=Script, finish=end_call, **options):
    path = tmp_path / "call.ndjson"

    async def main():
        async with await AsyncSession.open(keypair=keypair, ledger_path=path,
                                           session_id="call-7") as session:
            await run_pipeline(script(turns, audio=options.pop("audio", True)),
                               [LedgerObserver(session, **options)], finish=finish)

    asyncio.run(main())
    return path


@pytest.fixture(scope="module")
def keypair():
    return tallyvox.SigningKeypair.generate()


def payloads(path):
    return [(e.event["type"], e.event["payload"]) for e in tallyvox.read_ledger(path)]


def expected(turns, *, audio=True, redact=lambda args: {k: "***" for k in args}):
    """The events the conversation must leave, built from the script alone."""
    out = [("SessionStarted", {"agent_id": "pipecat", "model_id": "unknown",
                               "session_id": "call-7"})]
    transcript = []
    for turn in turns:
        heard = b"".join(turn["audio"]) if audio else turn["said"]
        out.append(("UtteranceCaptured", {
            "audio_sha256": sha(heard), "transcript": turn["said"], "lang": "en-US",
            "duration_ms": round(len(b"".join(turn["audio"])) / 32) if audio else None}))
        transcript.append("user: " + turn["said"])
        usage = iter(turn["usage"])
        if turn["tool"]:
            name, _, args, result = turn["tool"]
            calls = [{"name": name, "arguments": args}]
            out.append(model(compact(calls),
                             turn["said"], next(usage)))
            out.append(("ToolCalled", {"tool_name": name, "args_redacted": redact(args),
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
    out.append(("SessionEnded", {"reason": "ended", "summary_sha256": sha("\n".join(transcript))}))
    return out


def compact(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"))


def model(response, said, usage):
    prompt = compact([{"role": "user", "content": said}])
    return ("ModelInvoked", {"model_id": "gpt-test", "prompt_sha256": sha(prompt),
                             "response_sha256": sha(response), "prompt_tokens": usage[0],
                             "response_tokens": usage[1]})


def comparable(events):
    """Drops what depends on the clock: tool latency, and the length of an
    utterance measured between speaking frames rather than from its audio."""
    out = []
    for kind, payload in events:
        payload = {k: v for k, v in payload.items() if k != "latency_ms"}
        if payload.get("duration_ms", 0) is None or kind == "UtteranceCaptured" and (
                payload["audio_sha256"] == sha(payload["transcript"])):
            payload.pop("duration_ms")
        out.append((kind, payload))
    return out


@pytest.mark.parametrize("audio,hash_audio", [(True, True), (False, True), (True, False)],
                         ids=["audio", "no-audio-frames", "audio-not-hashed"])
def test_two_turn_call_leaves_the_expected_verified_ledger(tmp_path, keypair, audio,
                                                           hash_audio):
    path = record(tmp_path, keypair, TURNS, audio=audio, hash_audio=hash_audio)
    assert tallyvox.verify_file(path).ok
    got = payloads(path)
    assert comparable(got) == comparable(expected(TURNS, audio=audio and hash_audio))
    latencies = [p["latency_ms"] for kind, p in got if kind == "ToolReturned"]
    assert len(latencies) == 1 and 0 <= latencies[0] < 5000


class Interrupted(Script):
    """The user barges in after the bot's second word of each turn."""

    async def _speak(self, turn):
        for i, word in enumerate(turn["spoken"]):
            if i == 2:
                await self.push_frame(InterruptionFrame())
            await self.push_frame(TTSTextFrame(word, text_type="word", context_id="c"))


async def hang_up(worker):
    await worker.queue_frame(EndFrame(reason="caller hung up"))


async def cancel(worker):
    await worker.cancel()


@pytest.mark.parametrize("script,finish,spoken,reason", [
    (Script, hang_up, ["It is sunny in Oslo.", "Goodbye!"], "caller hung up"),
    (Script, cancel, ["It is sunny in Oslo.", "Goodbye!"], "cancelled"),
    (Interrupted, end_call, ["It is", "sunny in Oslo.", "Goodbye!"], "ended"),
], ids=["hang-up", "cancel", "barge-in"])
def test_turn_boundaries_and_endings(tmp_path, keypair, script, finish, spoken, reason):
    path = record(tmp_path, keypair, TURNS, script=script, finish=finish)
    got = payloads(path)
    assert tallyvox.verify_file(path).ok
    assert [p["text"] for kind, p in got if kind == "UtteranceSpoken"] == spoken
    assert got[-1][0] == "SessionEnded" and got[-1][1]["reason"] == reason
    assert [kind for kind, _ in got].count("SessionEnded") == 1


def test_the_redactor_decides_what_arguments_the_ledger_keeps(tmp_path, keypair):
    keep_city = lambda args: {"city": args["city"][0] + "…"}  # noqa: E731
    path = record(tmp_path, keypair, TURNS, redact=keep_city)
    called = [p for kind, p in payloads(path) if kind == "ToolCalled"]
    assert called == [{"tool_name": "weather", "args_redacted": {"city": "O…"},
                       "args_sha256": sha('{"city":"Oslo"}')}]


def test_a_failing_ledger_is_logged_and_never_stops_the_pipeline(caplog, full_disk):
    with caplog.at_level(logging.ERROR, logger="tallyvox.integrations"):
        asyncio.run(asyncio.wait_for(
            run_pipeline(Script(TURNS), [LedgerObserver(full_disk)]), 20))
    assert full_disk.calls == len(expected(TURNS))
    assert "disk full" in caplog.text


def test_a_strict_observer_raises_the_failure_into_the_pipeline(full_disk):
    observer = LedgerObserver(full_disk, strict=True)
    start = FramePushed(source=None, destination=None, frame=StartFrame(),
                        direction=FrameDirection.DOWNSTREAM, timestamp=0)
    with pytest.raises(tallyvox.LedgerError, match="disk full"):
        asyncio.run(observer.on_push_frame(start))


@pytest.mark.parametrize("parts,spoken", [
    ([("Hi", False), ("there.", False)], "Hi there."),
    ([("Hi there. ", True), ("How are you?", True)], "Hi there. How are you?"),
    ([(" ", False), ("ok ", False), ("then", False)], "ok then"),
    ([("Sure", False), (", done.", True)], "Sure, done."),
], ids=["words", "sentences", "blank-word", "mixed"])
def test_spoken_text_is_joined_as_the_tts_spaced_it(tmp_path, keypair, parts, spoken):
    path = tmp_path / "spoken.ndjson"

    async def main():
        async with await AsyncSession.open(keypair=keypair, ledger_path=path,
                                           session_id="s") as session:
            observer = LedgerObserver(session)
            for text, spaced in parts:
                frame = TTSTextFrame(text, text_type="word")
                frame.includes_inter_frame_spaces = spaced
                await observer.on_push_frame(FramePushed(
                    source=None, destination=None, frame=frame,
                    direction=FrameDirection.DOWNSTREAM, timestamp=0))
            await observer.cleanup()

    asyncio.run(main())
    assert [(k, p["text"]) for k, p in payloads(path) if k == "UtteranceSpoken"] == [
        ("UtteranceSpoken", spoken)]
