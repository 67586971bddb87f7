"""What recording a model call costs a LiveKit session as its history grows:
python -m bench.livekit_history.

One typed user turn makes a scripted LLM call a tool CALLS times, then answer,
in a real AgentSession (text mode, no room) recorded by record_session onto a
disk-backed ledger. Each of the session's callbacks to the recording is timed
on the event loop; the model calls' prompt digest grows with the history (each
tool call adds two items). It prints, for each CALLS (ROUNDS sessions each),
the median recording time per model call over all calls and over the last 50
(the largest histories), and for comparison what digesting the whole history
each time (`history.to_dict` as canonical JSON, the definition before the
running digest) costs over the last 50.
"""

from __future__ import annotations

import asyncio
import pathlib
import statistics
import time
from typing import Any

from livekit.agents import Agent, AgentSession, function_tool, llm
from livekit.agents.llm import ChatChunk, ChoiceDelta, CompletionUsage, FunctionToolCall
from livekit.agents.types import DEFAULT_API_CONNECT_OPTIONS

import tallyvox
from tallyvox.aio import AsyncSession
from tallyvox.integrations import livekit as recording
from tallyvox.integrations._common import sha256_json

SIZES = (50, 100, 200, 400)
TAIL = 50
ROUNDS = 3


class Stream(llm.LLMStream):
    def __init__(self, owner: Any, reply: tuple[str | None, list[Any]], **kwargs: Any) -> None:
        super().__init__(owner, **kwargs)
        self._reply = reply

    async def _run(self) -> None:
        text, calls = self._reply
        self._event_ch.send_nowait(ChatChunk(id="r", delta=ChoiceDelta(
            role="assistant", content=text, tool_calls=calls)))
        self._event_ch.send_nowait(ChatChunk(id="r", usage=CompletionUsage(
            prompt_tokens=50, completion_tokens=5, total_tokens=55)))


class Scripted(llm.LLM):
    def __init__(self, calls: int) -> None:
        super().__init__()
        self._replies: list[tuple[str | None, list[Any]]] = [
            (None, [FunctionToolCall(name="lookup", arguments='{"n": %d}' % n,
                                     call_id=f"call-{n}")]) for n in range(calls)]
        self._replies.append(("Done.", []))

    @property
    def model(self) -> str:
        return "scripted"

    def chat(self, *, chat_ctx: Any, tools: Any = None,
             conn_options: Any = DEFAULT_API_CONNECT_OPTIONS, **_: Any) -> Stream:
        return Stream(self, self._replies.pop(0), chat_ctx=chat_ctx, tools=tools or [],
                      conn_options=conn_options)


@function_tool
async def lookup(n: int) -> str:
    """Looks something up."""
    return f"result {n}"


async def one_session(calls: int, ledger_dir: pathlib.Path) -> tuple[list[float], list[float]]:
    metrics: list[float] = []
    whole: list[float] = []
    session = AgentSession(llm=Scripted(calls), max_tool_steps=calls + 1)
    original = recording.LedgerRecording._on_metrics

    def timed(self: Any, event: Any) -> None:
        begin = time.perf_counter()
        original(self, event)
        metrics.append(time.perf_counter() - begin)
        begin = time.perf_counter()
        sha256_json(session.history.to_dict(exclude_timestamp=True, exclude_metrics=True))
        whole.append(time.perf_counter() - begin)

    recording.LedgerRecording._on_metrics = timed  # type: ignore[method-assign]
    try:
        async with await AsyncSession.open(keypair=tallyvox.SigningKeypair.generate(),
                                           ledger_path=ledger_dir / f"calls-{calls}.ndjson",
                                           session_id=f"calls-{calls}") as ledger:
            recording.record_session(session, ledger)
            await session.start(Agent(instructions="be brief", tools=[lookup]))
            await session.run(user_input="go")
            await session.aclose()
    finally:
        recording.LedgerRecording._on_metrics = original  # type: ignore[method-assign]
    return metrics, whole


def main() -> None:
    ledger_dir = pathlib.Path("build/bench-tmp/livekit")
    ledger_dir.mkdir(parents=True, exist_ok=True)
    for old in ledger_dir.glob("*.ndjson"):
        old.unlink()
    print("model calls   recording per call (all, last 50)   whole-history digest (last 50)")
    for calls in SIZES:
        metrics: list[float] = []
        tail: list[float] = []
        whole: list[float] = []
        for _ in range(ROUNDS):
            spent, digested = asyncio.run(one_session(calls, ledger_dir))
            assert len(spent) == calls + 1, len(spent)
            metrics += spent
            tail += spent[-TAIL:]
            whole += digested[-TAIL:]
        print(f"{calls:>11}   {statistics.median(metrics) * 1e6:9.0f} us "
              f"{statistics.median(tail) * 1e6:9.0f} us   "
              f"{statistics.median(whole) * 1e6:12.0f} us")


if __name__ == "__main__":
    main()
