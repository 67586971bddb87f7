"""LangChain and LangGraph runs driven with LangChain's own fake models and
real tools, recorded through the callback handlers, then read back and
verified."""
import asyncio
import hashlib
import logging
import uuid

import pytest
from langchain_core.language_models.fake import FakeListLLM
from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
from langchain_core.messages import AIMessage, HumanMessage
from langchain_core.outputs import LLMResult
from langchain_core.tools import ToolException, tool
from langgraph.graph import START, MessagesState, StateGraph
from langgraph.prebuilt import ToolNode, tools_condition

import tallyvox as t
from tallyvox.aio import AsyncSession
from tallyvox.integrations.langchain import AsyncLedgerCallbackHandler, LedgerCallbackHandler


def sha(data):
    return hashlib.sha256(data if isinstance(data, bytes) else data.encode()).hexdigest()


class FakeChat(GenericFakeChatModel):
    model: str = "fake-gpt"

    def bind_tools(self, tools, **kwargs):
        return self


@tool
def lookup(city: str) -> str:
    """Weather in a city."""
    return "sunny in " + city


@tool
def explode(city: str) -> str:
    """Always fails."""
    raise ToolException("no such city: " + city)


def call(name, n):
    return AIMessage(content="", tool_calls=[{"name": name, "args": {"city": "Paris"},
                                              "id": f"c{n}"}],
                     usage_metadata={"input_tokens": 12, "output_tokens": 5, "total_tokens": 17})


QUESTION = HumanMessage("weather in Paris?")
# The prompt of the first model call, written out by hand.
FIRST_PROMPT = b'[{"content":"weather in Paris?","type":"human"}]'
ARGS = b'{"city":"Paris"}'


def model_event(prompt, response, tokens):
    return ("ModelInvoked", {"model_id": "fake-gpt", "prompt_sha256": sha(prompt),
                             "response_sha256": sha(response), "prompt_tokens": tokens[0],
                             "response_tokens": tokens[1]})


def tool_events(name, result, success):
    return [("ToolCalled", {"tool_name": name, "args_sha256": sha(ARGS),
                            "args_redacted": {"city": "***"}}),
            ("ToolReturned", {"tool_name": name, "result_sha256": sha(result),
                              "success": success})]


def recorded(path):
    """The ledger's events, latency left out, after checking that it verifies."""
    report = t.verify_file(path)
    assert report.ok, report.reason
    out = []
    for signed in t.read_ledger(path):
        payload = dict(signed.event["payload"])
        if signed.event["type"] == "ToolReturned":
            assert 0 <= payload.pop("latency_ms") < 60_000
        out.append((signed.event["type"], payload))
    return out


def open_session(path, kind):
    session = t.Session.open(keypair=t.SigningKeypair.generate(), ledger_path=path,
                             session_id="c")
    return session if kind == "Session" else AsyncSession(session)


def finish(session):
    if isinstance(session, AsyncSession):
        session.close().result()


async def conversation(handler, run):
    """A model call, a good tool call, a failing tool call, a model call."""
    config = {"callbacks": [handler]}
    model = FakeChat(messages=iter([call("lookup", 1), "It is sunny."]))
    first = await run(model.invoke, model.ainvoke, [QUESTION], config)
    good = await run(lookup.invoke, lookup.ainvoke, first.tool_calls[0], config)
    with pytest.raises(ToolException):
        await run(explode.invoke, explode.ainvoke, {"city": "Paris"}, config)
    await run(model.invoke, model.ainvoke, [QUESTION, first, good], config)
    return first, good


async def sync_run(invoke, ainvoke, *args):
    return invoke(*args)


async def async_run(invoke, ainvoke, *args):
    return await ainvoke(*args)


@pytest.mark.parametrize("handler_class, run", [
    (LedgerCallbackHandler, sync_run), (AsyncLedgerCallbackHandler, async_run),
    (LedgerCallbackHandler, async_run), (AsyncLedgerCallbackHandler, sync_run),
], ids=["sync", "async", "sync-handler-async-chain", "async-handler-sync-chain"])
@pytest.mark.parametrize("kind", ["Session", "AsyncSession"])
def test_a_run_leaves_its_events_in_order(tmp_path, handler_class, run, kind):
    path = tmp_path / "ledger.ndjson"
    session = open_session(path, kind)
    first, good = asyncio.run(conversation(handler_class(session, strict=True), run))
    finish(session)
    second_prompt = t.canonical_json([
        {"type": "human", "content": "weather in Paris?"},
        {"type": "ai", "content": "",
         "tool_calls": [{"name": "lookup", "args": {"city": "Paris"}, "id": "c1"}]},
        {"type": "tool", "content": "sunny in Paris", "tool_call_id": "c1"},
    ])
    assert recorded(path) == [
        model_event(FIRST_PROMPT, "", (12, 5)),
        *tool_events("lookup", "sunny in Paris", True),
        *tool_events("explode", "no such city: Paris", False),
        model_event(second_prompt, "It is sunny.", (0, 0)),
    ]
    text = path.read_text()
    assert "Paris" not in text and "sunny" not in text  # nothing raw reaches the ledger


def test_a_langgraph_agent_records_through_config_callbacks(tmp_path):
    path = tmp_path / "ledger.ndjson"
    model = FakeChat(messages=iter([call("lookup", 1), call("explode", 2), "Done."]))
    graph = StateGraph(MessagesState)
    graph.add_node("model", lambda state: {"messages": [model.invoke(state["messages"])]})
    graph.add_node("tools", ToolNode([lookup, explode], handle_tool_errors=True))
    graph.add_edge(START, "model")
    graph.add_conditional_edges("model", tools_condition)
    graph.add_edge("tools", "model")
    agent = graph.compile()

    async def main():
        async with await AsyncSession.open(keypair=t.SigningKeypair.generate(),
                                           ledger_path=path, session_id="c") as s:
            result = await agent.ainvoke({"messages": [QUESTION]},
                                         config={"callbacks": [AsyncLedgerCallbackHandler(s)]})
        return result["messages"][-1].content

    assert asyncio.run(main()) == "Done."
    kinds = [(kind, p.get("tool_name"), p.get("success")) for kind, p in recorded(path)]
    assert kinds == [("ModelInvoked", None, None),
                     ("ToolCalled", "lookup", None), ("ToolReturned", "lookup", True),
                     ("ModelInvoked", None, None),
                     ("ToolCalled", "explode", None), ("ToolReturned", "explode", False),
                     ("ModelInvoked", None, None)]


def test_a_text_model_and_a_handled_tool_error(tmp_path):
    path = tmp_path / "ledger.ndjson"
    session = open_session(path, "Session")
    config = {"callbacks": [LedgerCallbackHandler(session, strict=True)]}
    assert FakeListLLM(responses=["four"]).invoke("2 + 2 =", config) == "four"
    forgiving = explode.model_copy(update={"handle_tool_error": True})
    message = forgiving.invoke({"name": "explode", "args": {"city": "Rome"}, "id": "c9",
                                "type": "tool_call"}, config)
    assert message.status == "error"
    (model, called, returned) = recorded(path)
    assert model == ("ModelInvoked", {"model_id": "fake-list", "prompt_sha256": sha("2 + 2 ="),
                                      "response_sha256": sha("four"), "prompt_tokens": 0,
                                      "response_tokens": 0})
    assert called[1]["args_sha256"] == sha(b'{"city":"Rome"}')
    assert returned[1] == {"tool_name": "explode", "result_sha256": sha(message.content),
                           "success": False}


def test_each_run_is_recorded_once_however_often_a_callback_comes(tmp_path):
    path = tmp_path / "ledger.ndjson"
    handler = LedgerCallbackHandler(open_session(path, "Session"), strict=True)
    tool_run, model_run, failed_run = uuid.uuid4(), uuid.uuid4(), uuid.uuid4()
    for _ in range(2):
        handler.on_tool_start({"name": "lookup"}, "Paris", run_id=tool_run)
        handler.on_chat_model_start({}, [[QUESTION]], run_id=model_run)
        handler.on_chat_model_start({}, [[QUESTION]], run_id=failed_run)
    for _ in range(2):
        handler.on_tool_end("sunny", run_id=tool_run)
        handler.on_tool_error(ValueError("late"), run_id=tool_run)
        handler.on_llm_end(LLMResult(generations=[]), run_id=model_run)
        handler.on_llm_error(ValueError("down"), run_id=failed_run)
        handler.on_llm_end(LLMResult(generations=[]), run_id=failed_run)
        handler.on_tool_end("never started", run_id=uuid.uuid4())
    assert [(kind, p.get("success")) for kind, p in recorded(path)] == [
        ("ToolCalled", None), ("ToolReturned", True), ("ModelInvoked", None)]
    assert recorded(path)[0][1]["args_sha256"] == sha("Paris")
    assert recorded(path)[0][1]["args_redacted"] == "***"


def test_a_custom_redactor_decides_what_is_kept(tmp_path):
    path = tmp_path / "ledger.ndjson"
    handler = LedgerCallbackHandler(open_session(path, "Session"),
                                    redact=lambda args: {"city": args["city"][:2] + "…"})
    lookup.invoke({"city": "Paris"}, {"callbacks": [handler]})
    assert recorded(path)[0][1]["args_redacted"] == {"city": "Pa…"}


@pytest.mark.parametrize("handler_class, run", [
    (LedgerCallbackHandler, sync_run), (AsyncLedgerCallbackHandler, async_run)])
def test_a_ledger_error_is_logged_and_raised_only_when_strict(tmp_path, caplog, handler_class,
                                                             run):
    session = open_session(tmp_path / "ledger.ndjson", "AsyncSession")
    session.close().result()

    async def use(strict):
        config = {"callbacks": [handler_class(session, strict=strict)]}
        model = FakeChat(messages=iter(["hello"]))
        return (await run(model.invoke, model.ainvoke, [QUESTION], config)).content

    with caplog.at_level(logging.ERROR, logger="tallyvox.integrations"):
        assert asyncio.run(use(False)) == "hello"
    mine = [r for r in caplog.records if r.name == "tallyvox.integrations"]
    assert [(r.getMessage(), r.exc_info[0]) for r in mine] == [
        ("could not record ModelInvoked", t.LedgerError)]
    with pytest.raises(t.LedgerError, match="^the session is closed$"):
        asyncio.run(use(True))
