"""What recording costs a LangChain run: python -m bench.langchain_tools.

A LangGraph agent (a fake chat model that asks for a tool CALLS times, then
answers, and a ToolNode running a real tool) is invoked without callbacks,
with a callback handler that does nothing (what LangChain's callback machinery
costs by itself), with a LedgerCallbackHandler that queues its events (the
default) and with a strict one that waits for each write, the ledger on disk,
interleaved over ROUNDS rounds. It prints the median wall time of the run, and of the run plus
the handler's close (which waits until every event is written), each as a
ratio of the run without recording.
"""

from __future__ import annotations

import pathlib
import statistics
import time
from typing import Any

from langchain_core.callbacks import BaseCallbackHandler
from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
from langchain_core.messages import AIMessage
from langchain_core.tools import tool
from langgraph.graph import START, MessagesState, StateGraph
from langgraph.prebuilt import ToolNode, tools_condition

import tallyvox
from tallyvox.integrations.langchain import LedgerCallbackHandler

CALLS = 200
ROUNDS = 7


class FakeChat(GenericFakeChatModel):
    def bind_tools(self, tools: Any, **kwargs: Any) -> FakeChat:
        return self


@tool
def lookup(city: str) -> str:
    """Weather in a city."""
    return "sunny in " + city


def agent() -> Any:
    replies = [AIMessage(content="", tool_calls=[{"name": "lookup", "args": {"city": "Oslo"},
                                                  "id": f"c{n}"}]) for n in range(CALLS)]
    model = FakeChat(messages=iter([*replies, AIMessage(content="Done.")]))
    graph = StateGraph(MessagesState)
    graph.add_node("model", lambda state: {"messages": [model.invoke(state["messages"])]})
    graph.add_node("tools", ToolNode([lookup]))
    graph.add_edge(START, "model")
    graph.add_conditional_edges("model", tools_condition)
    graph.add_edge("tools", "model")
    return graph.compile()


def one_run(kind: str, ledger_dir: pathlib.Path, n: int) -> tuple[float, float, int]:
    graph = agent()  # built outside the timing
    handler: Any = BaseCallbackHandler() if kind == "noop" else None
    if kind in ("queued", "strict"):
        session = tallyvox.Session.open(keypair=tallyvox.SigningKeypair.generate(),
                                        ledger_path=ledger_dir / f"{kind}-{n}.ndjson",
                                        session_id=f"{kind}-{n}")
        handler = LedgerCallbackHandler(session, own_session=True, strict=kind == "strict")
    config = {"recursion_limit": 4 * CALLS + 10,
              "callbacks": [handler] if handler is not None else []}
    begin = time.perf_counter()
    result = graph.invoke({"messages": [("user", "weather?")]}, config=config)
    ran = time.perf_counter() - begin
    events = 0
    if isinstance(handler, LedgerCallbackHandler):
        handler.close()
    written = time.perf_counter() - begin
    if isinstance(handler, LedgerCallbackHandler):  # checked outside the timing
        events = tallyvox.verify_file(ledger_dir / f"{kind}-{n}.ndjson").event_count
    assert result["messages"][-1].content == "Done."
    return ran, written, events


def main() -> None:
    ledger_dir = pathlib.Path("build/bench-tmp/langchain")
    ledger_dir.mkdir(parents=True, exist_ok=True)
    for old in ledger_dir.glob("*.ndjson"):
        old.unlink()
    kinds = ["none", "noop", "queued", "strict"]
    ran: dict[str, list[float]] = {k: [] for k in kinds}
    written: dict[str, list[float]] = {k: [] for k in kinds}
    events = 0
    for n in range(ROUNDS):
        for kind in kinds[n % 4:] + kinds[:n % 4]:
            r, w, count = one_run(kind, ledger_dir, n)
            ran[kind].append(r)
            written[kind].append(w)
            events = max(events, count)
    base = statistics.median(ran["none"])
    print(f"LangGraph agent, {CALLS} tool calls, {events} events per ledger, "
          f"median of {ROUNDS} rounds:")
    for kind in kinds:
        r, w = statistics.median(ran[kind]), statistics.median(written[kind])
        print(f"  {kind:<7} run {r * 1000:8.1f} ms ({r / base:5.2f}x)   "
              f"run and all written {w * 1000:8.1f} ms ({w / base:5.2f}x)")


if __name__ == "__main__":
    main()
