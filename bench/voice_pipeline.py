"""What recording costs a Pipecat pipeline: python -m bench.voice_pipeline.

One scripted call (TURNS turns, each 50 user audio frames of 20 ms, a
transcription, an LLM response with usage metrics, 25 TTS audio frames and the
spoken words; a tool call every other turn) is pushed through a pipeline of a
source and three relays: without an observer, with an observer that does
nothing (what the framework's observer queue costs) and with a LedgerObserver
writing to a disk-backed ledger, interleaved over ROUNDS rounds; then the
observer's callback alone, replaying the script's pushes. It
prints the median time for the frames to pass the last processor (per call
and per frame), the CPU time the event loop's thread spent meanwhile (the
ledger's writer thread is not in it), and the worst lag of the event loop (a task that sleeps 1 ms and measures how late it wakes).
"""

from __future__ import annotations

import asyncio
import pathlib
import statistics
import sys
import time

from loguru import logger
from pipecat.frames.frames import (
    EndFrame,
    FunctionCallInProgressFrame,
    FunctionCallResultFrame,
    InputAudioRawFrame,
    LLMFullResponseEndFrame,
    LLMFullResponseStartFrame,
    LLMTextFrame,
    MetricsFrame,
    StartFrame,
    TranscriptionFrame,
    TTSAudioRawFrame,
    TTSTextFrame,
    UserStartedSpeakingFrame,
)
from pipecat.metrics.metrics import LLMTokenUsage, LLMUsageMetricsData
from pipecat.observers.base_observer import BaseObserver, FramePushed
from pipecat.pipeline.pipeline import Pipeline
from pipecat.pipeline.worker import PipelineWorker
from pipecat.processors.frame_processor import FrameDirection, FrameProcessor
from pipecat.workers.runner import WorkerRunner

import tallyvox
from tallyvox.aio import AsyncSession
from tallyvox.integrations.pipecat import LedgerObserver

TURNS = 20
ROUNDS = 12
USAGE = LLMTokenUsage(prompt_tokens=50, completion_tokens=9, total_tokens=59)


class Script(FrameProcessor):
    frames = 0

    async def process_frame(self, frame, direction):
        await super().process_frame(frame, direction)
        await self.push_frame(frame, direction)

    async def push(self, frame):
        # A transport hands frames over as they arrive, letting the loop run
        # between them.
        self.frames += 1
        await self.push_frame(frame)
        await asyncio.sleep(0)

    async def play(self):
        for turn in range(TURNS):
            await self.broadcast_frame(UserStartedSpeakingFrame)
            for _ in range(50):
                await self.push(InputAudioRawFrame(b"\x01\x02" * 320, 16000, 1))
            await self.push(TranscriptionFrame(f"question {turn}", "u", "t"))
            if turn % 2:
                await self.broadcast_frame(FunctionCallInProgressFrame, function_name="f",
                                           tool_call_id=f"c{turn}", arguments={"n": turn})
                await self.broadcast_frame(FunctionCallResultFrame, function_name="f",
                                           tool_call_id=f"c{turn}", arguments={"n": turn},
                                           result="ok")
            await self.push(LLMFullResponseStartFrame())
            await self.push(LLMTextFrame(f"answer {turn}"))
            await self.push(MetricsFrame([LLMUsageMetricsData(processor="l", value=USAGE)]))
            await self.push(LLMFullResponseEndFrame())
            for _ in range(25):
                await self.push(TTSAudioRawFrame(b"\x03" * 960, 24000, 1))
            for word in ("answer", str(turn)):
                await self.push(TTSTextFrame(word, text_type="word"))


class Relay(FrameProcessor):
    def __init__(self, through: asyncio.Event | None = None):
        super().__init__()
        self._through = through

    async def process_frame(self, frame, direction):
        await super().process_frame(frame, direction)
        await self.push_frame(frame, direction)
        if self._through is not None and isinstance(frame, EndFrame):
            self._through.set()


async def lag_probe(stop: asyncio.Event, worst: list[float]) -> None:
    while not stop.is_set():
        start = time.perf_counter()
        await asyncio.sleep(0.001)
        worst[0] = max(worst[0], time.perf_counter() - start - 0.001)


async def one_call(name: str, ledger_dir: pathlib.Path, n: int) -> tuple[float, float, float, int]:
    script = Script()
    session = None
    observers: list[BaseObserver] = []
    if name == "noop":
        observers.append(BaseObserver(observe_every_push=False))
    if name == "ledger":
        session = await AsyncSession.open(keypair=tallyvox.SigningKeypair.generate(),
                                          ledger_path=ledger_dir / f"call-{n}.ndjson",
                                          session_id=f"call-{n}")
        observers.append(LedgerObserver(session))
    through = asyncio.Event()
    worker = PipelineWorker(Pipeline([script, Relay(), Relay(), Relay(through)]),
                            observers=observers,
                            cancel_on_idle_timeout=False, enable_rtvi=False)
    started = asyncio.Event()

    @worker.event_handler("on_pipeline_started")
    async def _started(worker, frame):
        started.set()

    stop, worst = asyncio.Event(), [0.0]
    pushed = cpu = 0.0

    async def drive():
        nonlocal pushed, cpu
        await started.wait()
        probe = asyncio.create_task(lag_probe(stop, worst))
        begin, begin_cpu = time.perf_counter(), time.thread_time()
        await script.play()
        await worker.queue_frame(EndFrame())
        await through.wait()
        pushed, cpu = time.perf_counter() - begin, time.thread_time() - begin_cpu
        stop.set()
        await probe

    runner = WorkerRunner(handle_sigint=False)
    await runner.add_workers(worker)
    await asyncio.gather(runner.run(), drive())
    if session is not None:
        await session.aclose()
    return pushed, cpu, worst[0], script.frames


class Tape(Script):
    """Keeps the pushes the script makes, to replay to an observer."""

    def __init__(self) -> None:
        super().__init__()
        self.pushes: list[FramePushed] = []

    async def push_frame(self, frame, direction=FrameDirection.DOWNSTREAM):
        self.pushes.append(FramePushed(source=self, destination=self, frame=frame,
                                       direction=direction, timestamp=time.monotonic_ns()))


async def callback_cost(ledger_dir: pathlib.Path) -> tuple[float, int]:
    """CPU time of the event loop's thread per first push, LedgerObserver's
    on_push_frame alone, replaying the script's pushes once."""
    tape = Tape()
    await tape.play()
    session = await AsyncSession.open(keypair=tallyvox.SigningKeypair.generate(),
                                      ledger_path=ledger_dir / "callbacks.ndjson",
                                      session_id="callbacks")
    observer = LedgerObserver(session)
    await observer.on_push_frame(FramePushed(tape, tape, StartFrame(),
                                             FrameDirection.DOWNSTREAM, 0))
    begin = time.thread_time()
    for push in tape.pushes:
        await observer.on_push_frame(push)
    spent = time.thread_time() - begin
    await session.aclose()
    return spent / len(tape.pushes), len(tape.pushes)


def main() -> None:
    logger.remove()
    logger.add(sys.stderr, level="WARNING")
    ledger_dir = pathlib.Path("build/bench-tmp/voice")
    ledger_dir.mkdir(parents=True, exist_ok=True)
    for old in ledger_dir.glob("call-*.ndjson"):
        old.unlink()
    names = ["none", "noop", "ledger"]
    times: dict[str, list[float]] = {name: [] for name in names}
    cpus: dict[str, list[float]] = {name: [] for name in names}
    lags: dict[str, list[float]] = {name: [] for name in names}
    frames = 0
    for n in range(ROUNDS):
        for name in names[n % 3:] + names[:n % 3]:
            elapsed, end, lag, frames = asyncio.run(one_call(name, ledger_dir, n))
            times[name].append(elapsed)
            cpus[name].append(end)
            lags[name].append(lag)
    events = len(tallyvox.read_ledger(ledger_dir / "call-0.ndjson"))
    print(f"{TURNS} turns, {frames} frames pushed through 4 processors, {events} events"
          f" recorded, {ROUNDS} rounds")
    for name in names:
        median = statistics.median(times[name])
        print(f"  observer {name:6}: {median * 1000:8.1f} ms per call,"
              f" {median / frames * 1e6:6.1f} us per frame,"
              f" event loop CPU {statistics.median(cpus[name]) * 1000:7.1f} ms,"
              f" worst loop lag {max(lags[name]) * 1000:.2f} ms")
    per_push, pushes = asyncio.run(callback_cost(ledger_dir))
    print(f"  LedgerObserver.on_push_frame alone: {per_push * 1e6:.1f} us of event loop CPU"
          f" per first push ({pushes} pushes)")
    for label, table in (("time", times), ("event loop CPU", cpus)):
        for name in names[1:]:
            ratio = statistics.median(table[name]) / statistics.median(table["none"])
            print(f"  {name}/none, {label}: {ratio:.2f}")


if __name__ == "__main__":
    main()
