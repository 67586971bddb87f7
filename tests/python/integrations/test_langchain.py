"""LangChain and LangGraph runs driven with LangChain's own fake models and
real tools, recorded through the callback handlers, then read back and
verified."""
import asyncio
from contextlib import nullcontext
import hashlib
import logging
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from langchain_core.language_models.fake import FakeListLLM
from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
from langchain_core.messages import AIMessage, AIMessageChunk, HumanMessage
from langchain_core.outputs import ChatGenerationChunk, LLMResult
from langchain_core.tools import ToolException, tool
from langgraph.graph import START, MessagesState, StateGraph
from langgraph.prebuilt import ToolNode, tools_condition

import tallyvox as t
from tallyvox.aio import AsyncSession
from tallyvox.integrations.langchain import AsyncLedgerCallbackHandler, LedgerCallbackHandler

pytestmark = pytest.mark.usefixtures("every_ledger_ends")


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


async def close(handler):
    if isinstance(handler, AsyncLedgerCallbackHandler):
        await handler.aclose()
    else:
        handler.close()


async def conversation(handler, run):
    """A model call, a good tool call, a failing tool call, a model call;
    then the session ends. Gives the top-level run ids."""
    roots = [uuid.uuid4() for _ in range(4)]
    config = [{"callbacks": [handler], "run_id": root} for root in roots]
    model = FakeChat(messages=iter([call("lookup", 1), "It is sunny."]))
    first = await run(model.invoke, model.ainvoke, [QUESTION], config[0])
    good = await run(lookup.invoke, lookup.ainvoke, first.tool_calls[0], config[1])
    with pytest.raises(ToolException):
        await run(explode.invoke, explode.ainvoke, {"city": "Paris"}, config[2])
    await run(model.invoke, model.ainvoke, [QUESTION, first, good], config[3])
    await close(handler)
    return [str(root) for root in roots]


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
    handler = handler_class(session, strict=True, own_session=True, agent_id="support",
                            model_id="fake-gpt")
    roots = asyncio.run(conversation(handler, run))
    finish(session)
    second_prompt = t.canonical_json([
        {"type": "human", "content": "weather in Paris?"},
        {"type": "ai", "content": "",
         "tool_calls": [{"name": "lookup", "args": {"city": "Paris"}, "id": "c1"}]},
        {"type": "tool", "content": "sunny in Paris", "tool_call_id": "c1"},
    ])
    assert recorded(path) == [
        ("SessionStarted", {"agent_id": "support", "model_id": "fake-gpt", "session_id": "c"}),
        model_event(FIRST_PROMPT, "", (12, 5)),
        *tool_events("lookup", "sunny in Paris", True),
        *tool_events("explode", "no such city: Paris", False),
        model_event(second_prompt, "It is sunny.", (0, 0)),
        ("SessionEnded", {"reason": "completed",
                          "summary_sha256": sha(t.canonical_json(roots))}),
    ]
    text = path.read_text()
    assert "Paris" not in text and "sunny" not in text  # nothing raw reaches the ledger


def test_a_text_model_a_handled_tool_error_and_an_own_redactor(tmp_path):
    path = tmp_path / "ledger.ndjson"
    session = open_session(path, "Session")
    with LedgerCallbackHandler(session, strict=True, own_session=True,
                               redact=lambda args: {"city": args["city"][:2] + "…"}) as handler:
        config = {"callbacks": [handler]}
        assert FakeListLLM(responses=["four"]).invoke("2 + 2 =", config) == "four"
        forgiving = explode.model_copy(update={"handle_tool_error": True})
        message = forgiving.invoke({"name": "explode", "args": {"city": "Rome"}, "id": "c9",
                                    "type": "tool_call"}, config)
    assert message.status == "error"
    (_, model, called, returned, _) = recorded(path)
    assert model == ("ModelInvoked", {"model_id": "fake-list", "prompt_sha256": sha("2 + 2 ="),
                                      "response_sha256": sha("four"), "prompt_tokens": 0,
                                      "response_tokens": 0})
    assert called[1] == {"tool_name": "explode", "args_sha256": sha(b'{"city":"Rome"}'),
                         "args_redacted": {"city": "Ro…"}}
    assert returned[1] == {"tool_name": "explode", "result_sha256": sha(message.content),
                           "success": False}


def test_each_run_is_recorded_once_however_often_a_callback_comes(tmp_path):
    path = tmp_path / "ledger.ndjson"
    handler = LedgerCallbackHandler(open_session(path, "Session"), strict=True,
                                    own_session=True)
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
    handler.close()
    handler.on_tool_start({"name": "lookup"}, "late", run_id=uuid.uuid4())  # after close
    got = recorded(path)
    assert [(kind, p.get("success")) for kind, p in got] == [
        ("SessionStarted", None), ("ToolCalled", None), ("ToolReturned", True),
        ("ModelInvoked", None), ("SessionEnded", None)]
    assert got[1][1] == {"tool_name": "lookup", "args_sha256": sha("Paris"),
                         "args_redacted": "***"}


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
    (tmp_path / "ledger.ndjson").unlink()  # the ledger that was never written


class Broken(FakeChat):
    """A model whose service fails, after streaming `partial` when it has one."""

    partial: str = ""

    def _generate(self, *args, **kwargs):
        raise RuntimeError("model down")

    def _stream(self, *args, **kwargs):
        yield ChatGenerationChunk(message=AIMessageChunk(content=self.partial))
        raise RuntimeError("connection reset")


@tool
async def slow(city: str) -> str:
    """Takes longer than anyone waits."""
    await asyncio.sleep(30)
    return "late"


async def cancelled_in_a_tool(config):
    running = asyncio.ensure_future(slow.ainvoke({"city": "Paris"}, config))
    await asyncio.sleep(0.05)
    running.cancel()
    await asyncio.gather(running, return_exceptions=True)


async def model_fails(config):
    with pytest.raises(RuntimeError):
        await Broken(messages=iter([])).ainvoke([QUESTION], config)


async def fails_mid_stream(config):
    with pytest.raises(RuntimeError):
        async for _ in Broken(messages=iter([]), partial="It is").astream([QUESTION], config):
            pass


async def tool_left_running(config):
    handler = config["callbacks"][0]
    await handler.on_tool_start({"name": "lookup"}, "Paris", run_id=uuid.uuid4())


async def block_raises(config):
    raise ValueError("the caller gave up")


async def nothing_ran(config):
    pass


async def langgraph_agent(config):
    """A LangGraph agent that calls a good then a failing tool, handed the
    handler through its config."""
    model = FakeChat(messages=iter([call("lookup", 1), call("explode", 2), "Done."]))
    graph = StateGraph(MessagesState)
    graph.add_node("model", lambda state: {"messages": [model.invoke(state["messages"])]})
    graph.add_node("tools", ToolNode([lookup, explode], handle_tool_errors=True))
    graph.add_edge(START, "model")
    graph.add_conditional_edges("model", tools_condition)
    graph.add_edge("tools", "model")
    result = await graph.compile().ainvoke({"messages": [QUESTION]}, config=config)
    assert result["messages"][-1].content == "Done."


async def two_calls(config):
    await FakeChat(messages=iter(["hello"])).ainvoke([QUESTION], config)
    await lookup.ainvoke({"city": "Paris"}, config)


@pytest.mark.parametrize("scenario,events", [
    (cancelled_in_a_tool, [("ToolCalled", "slow"), ("ToolReturned", False),
                           ("SessionEnded", "cancelled")]),
    (model_fails, [("SessionEnded", "error: RuntimeError")]),
    (fails_mid_stream, [("ModelInvoked", sha("It is")), ("SessionEnded", "error: RuntimeError")]),
    (tool_left_running, [("ToolCalled", "lookup"), ("ToolReturned", False),
                         ("SessionEnded", "completed")]),
    (block_raises, [("SessionEnded", "error: ValueError")]),
    (nothing_ran, [("SessionEnded", "completed")]),
    (langgraph_agent, [("ModelInvoked", sha("")), ("ToolCalled", "lookup"),
                       ("ToolReturned", True), ("ModelInvoked", sha("")), ("ToolCalled", "explode"),
                       ("ToolReturned", False), ("ModelInvoked", sha("Done.")),
                       ("SessionEnded", "completed")]),
], ids=["cancelled-in-a-tool", "model-fails", "fails-mid-stream", "tool-left-running",
        "block-raises", "nothing-ran", "langgraph-agent"])
def test_every_run_is_closed_and_the_end_says_why(tmp_path, scenario, events):
    path = tmp_path / "ledger.ndjson"

    async def main():
        handler = AsyncLedgerCallbackHandler(open_session(path, "Session"), own_session=True)
        with pytest.raises(ValueError) if scenario is block_raises else nullcontext():
            async with handler:
                await scenario({"callbacks": [handler]})

    asyncio.run(main())
    key = {"ModelInvoked": "response_sha256", "ToolCalled": "tool_name",
           "ToolReturned": "success", "SessionEnded": "reason"}
    got = recorded(path)
    assert got[0][0] == "SessionStarted"
    assert [(kind, payload[key[kind]]) for kind, payload in got[1:]] == events


def test_two_conversations_at_once_keep_their_own_ledgers(tmp_path):
    async def conversation_in(path):
        session = open_session(path, "AsyncSession")
        async with AsyncLedgerCallbackHandler(session, own_session=True) as handler:
            await two_calls({"callbacks": [handler]})
        await session.aclose()

    async def main():
        await asyncio.gather(*(conversation_in(tmp_path / f"{name}.ndjson") for name in "ab"))

    asyncio.run(main())
    for name in "ab":
        assert [kind for kind, _ in recorded(tmp_path / f"{name}.ndjson")] == [
            "SessionStarted", "ModelInvoked", "ToolCalled", "ToolReturned", "SessionEnded"]


@given(st.lists(st.tuples(st.sampled_from(["grow", "branch", "edit", "same"]),
                          st.integers(0, 3), st.text(max_size=5)), max_size=30))
@settings(max_examples=200, deadline=None)
def test_prompt_digests_as_conversations_grow_branch_and_change(steps):
    """The running digest against the digest of each prompt made whole."""
    from tallyvox.integrations.langchain import _PromptDigests

    digests, prompt = _PromptDigests(), []
    for step, n, text in steps:
        if step == "grow":
            prompt = prompt + [HumanMessage(text) for _ in range(n)]
        elif step == "branch":
            prompt = prompt[:n] + [AIMessage(text)]
        elif step == "edit" and prompt:
            prompt[min(n, len(prompt) - 1)].content = text  # the same object, changed
        whole = [{"content": m.content, "type": m.type} for m in prompt]
        assert digests.digest(prompt) == hashlib.sha256(t.canonical_json(whole)).hexdigest()
