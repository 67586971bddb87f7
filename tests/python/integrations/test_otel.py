"""Hand-made SDK spans through the ledger span processor: each mapping row of
both conventions, missing attributes, spans ending out of order, one ledger
per conversation, held traces, and failures that never reach the SDK."""
import concurrent.futures
import hashlib
import json
import logging
import random
import re
import threading
from dataclasses import dataclass, field

import pytest
from hypothesis import given, settings, strategies as st

pytest.importorskip("opentelemetry.sdk")
from opentelemetry import trace as trace_api  # noqa: E402
from opentelemetry.sdk.trace import TracerProvider  # noqa: E402
from opentelemetry.trace import Status, StatusCode  # noqa: E402

import tallyvox as t  # noqa: E402
from tallyvox.aio import AsyncSession  # noqa: E402
from tallyvox.integrations.otel import LedgerSpanProcessor  # noqa: E402
from tallyvox.integrations.routing import LedgerRouter, file_name_for  # noqa: E402

MS = 1_000_000
T0 = 1_700_000_000_000 * MS
SECRET = "Zanzibar-4111"
ARGS = {"city": SECRET, "days": 3}
IN = [{"role": "user", "parts": [{"type": "text", "content": "weather?"}]}]
OUT = [{"role": "assistant", "parts": [{"type": "text", "content": "sunny"}]}]
DETAILS = "gen_ai.client.inference.operation.details"


def digest(value):
    """The ledger's digest of a value, from its definition: SHA-256 over
    JSON with sorted keys, no spaces, UTF-8."""
    return hashlib.sha256(json.dumps(value, sort_keys=True, separators=(",", ":"),
                                     ensure_ascii=False).encode()).hexdigest()


EMPTY = hashlib.sha256(b"").hexdigest()


@dataclass
class S:
    """A span to emit: name, attributes, events, status, start and end (ms)."""
    name: str
    attrs: dict = field(default_factory=dict)
    events: list = field(default_factory=list)
    status: tuple | None = None
    at: tuple = (0, 100)
    children: list = field(default_factory=list)
    raises: Exception | None = None
    remote_parent: bool = False


REMOTE = trace_api.NonRecordingSpan(trace_api.SpanContext(
    trace_id=0x5EED, span_id=0xCA11, is_remote=True, trace_flags=trace_api.TraceFlags(trace_api.TraceFlags.SAMPLED)))


def emit(tracer, spec, parent=None, out=None):
    """Starts `spec` and its children; gives (span, spec) in start order."""
    out = [] if out is None else out
    if spec.remote_parent:
        parent = REMOTE
    context = trace_api.set_span_in_context(parent) if parent is not None else None
    span = tracer.start_span(spec.name, context=context, attributes=spec.attrs,
                             start_time=T0 + spec.at[0] * MS)
    for name, attrs in spec.events:
        span.add_event(name, attrs)
    if spec.raises is not None:
        span.record_exception(spec.raises)
    if spec.status is not None:
        span.set_status(Status(*spec.status))
    out.append((span, spec))
    for child in spec.children:
        emit(tracer, child, span, out)
    return out


def end(started, order=reversed):
    for span, spec in order(started):
        span.end(end_time=T0 + spec.at[1] * MS)


@pytest.fixture
def ledger(tmp_path):
    path = tmp_path / "ledger.ndjson"
    session = t.Session.open(keypair=t.SigningKeypair.generate(), ledger_path=str(path),
                             session_id="s-1")
    return path, session


def run(target, *roots, order=reversed, **options):
    """Emits each tree through a fresh provider with the processor on it
    (dropped after the test, not kept until exit)."""
    provider = TracerProvider(shutdown_on_exit=False)
    processor = LedgerSpanProcessor(target, **options)
    provider.add_span_processor(processor)
    tracer = provider.get_tracer("test")
    started = [emit(tracer, root) for root in roots]
    for spans in started:
        end(spans, order)
    assert provider.force_flush()
    return processor, started


def called(name, args, redacted):
    return ("ToolCalled", {"tool_name": name, "args_sha256": args, "args_redacted": redacted})


def returned(name, result, ms, ok):
    return ("ToolReturned", {"tool_name": name, "result_sha256": result, "latency_ms": ms,
                             "success": ok})


def invoked(model, prompt, response, tokens_in=0, tokens_out=0):
    return ("ModelInvoked", {"model_id": model, "prompt_sha256": prompt,
                             "response_sha256": response, "prompt_tokens": tokens_in,
                             "response_tokens": tokens_out})


REDACTED = {"city": "***", "days": "***"}
TOOL_AT = (10, 17)

# One span under an agent root, and what it leaves between SessionStarted and SessionEnded.
SPANS = {
    "chat: messages and usage as attributes": (
        S("chat m", {"gen_ai.operation.name": "chat", "gen_ai.request.model": "m-req",
                     "gen_ai.response.model": "m-resp", "gen_ai.input.messages": json.dumps(IN),
                     "gen_ai.output.messages": json.dumps(OUT),
                     "gen_ai.usage.input_tokens": 12, "gen_ai.usage.output_tokens": 5}),
        [invoked("m-resp", digest(IN), digest(OUT), 12, 5)]),
    "text_completion: no content, no usage": (
        S("completion", {"gen_ai.operation.name": "text_completion",
                         "gen_ai.request.model": "m-req"}),
        [invoked("m-req", EMPTY, EMPTY)]),
    "generate_content: messages in details events, older token names": (
        S("generate", {"gen_ai.operation.name": "generate_content",
                       "gen_ai.usage.prompt_tokens": 3, "gen_ai.usage.completion_tokens": 4},
          events=[(DETAILS, {"gen_ai.input.messages": json.dumps(IN)}),
                  (DETAILS, {"gen_ai.output.messages": json.dumps(OUT)})]),
        [invoked("unknown", digest(IN), digest(OUT), 3, 4)]),
    "chat: older message events": (
        S("chat", {"gen_ai.operation.name": "chat"},
          events=[("gen_ai.system.message", {"content": "Be brief."}),
                  ("gen_ai.user.message", {"content": '[{"text": "hi"}]'}),
                  ("gen_ai.choice", {"message": '[{"text": "sunny"}]', "finish_reason": "stop"})]),
        [invoked("unknown", digest([{"role": "system", "content": "Be brief."},
                                    {"role": "user", "content": [{"text": "hi"}]}]),
                 digest([[{"text": "sunny"}]]))]),
    "execute_tool: arguments and result attributes": (
        S("execute_tool lookup", {"gen_ai.operation.name": "execute_tool",
                                  "gen_ai.tool.name": "lookup",
                                  "gen_ai.tool.call.arguments": json.dumps(ARGS),
                                  "gen_ai.tool.call.result": "sunny in " + SECRET},
          status=(StatusCode.OK,), at=TOOL_AT),
        [called("lookup", digest(ARGS), REDACTED),
         returned("lookup", digest("sunny in " + SECRET), 7, True)]),
    "execute_tool: older attribute names, error.type": (
        S("running tool", {"gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "lookup",
                           "tool_arguments": json.dumps(ARGS), "tool_response": '{"temp": 21}',
                           "error.type": "TimeoutError"}, at=TOOL_AT),
        [called("lookup", digest(ARGS), REDACTED), returned("lookup", digest({"temp": 21}), 7, False)]),
    "execute_tool: error status, name from the span, content from events": (
        S("execute_tool lookup", {"gen_ai.operation.name": "execute_tool"},
          events=[("gen_ai.tool.message", {"role": "tool", "content": json.dumps(ARGS)}),
                  ("gen_ai.choice", {"message": '[{"text": "Error"}]'})],
          raises=ValueError(SECRET), status=(StatusCode.ERROR, SECRET), at=TOOL_AT),
        [called("lookup", digest(ARGS), REDACTED),
         returned("lookup", digest([[{"text": "Error"}]]), 7, False)]),
    "execute_tool: nothing but the operation": (
        S("tool", {"gen_ai.operation.name": "execute_tool"}, at=TOOL_AT),
        [called("unknown", EMPTY, {}), returned("unknown", EMPTY, 7, True)]),
    "OpenInference LLM": (
        S("llm", {"openinference.span.kind": "LLM", "llm.model_name": "oi-model",
                  "llm.token_count.prompt": 9, "llm.token_count.completion": 2,
                  "input.value": json.dumps(IN), "output.value": "sunny"}),
        [invoked("oi-model", digest(IN), digest("sunny"), 9, 2)]),
    "OpenInference TOOL, failed": (
        S("tool", {"openinference.span.kind": "TOOL", "tool.name": "lookup",
                   "input.value": json.dumps(ARGS), "output.value": "no"},
          status=(StatusCode.ERROR,), at=TOOL_AT),
        [called("lookup", digest(ARGS), REDACTED), returned("lookup", digest("no"), 7, False)]),
    "neither convention": (S("GET /weather", {"http.method": "GET"}), []),
    "an operation the ledger does not record": (
        S("embeddings", {"gen_ai.operation.name": "embeddings"}), []),
    "OpenInference CHAIN": (S("chain", {"openinference.span.kind": "CHAIN"}), []),
}

AGENT = {"gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "weather",
         "gen_ai.request.model": "m-agent"}


def summary(root, span):
    return digest({"trace_id": f"{root.context.trace_id:032x}",
                   "span_id": f"{span.context.span_id:016x}"})


@pytest.mark.parametrize("child, expected", SPANS.values(), ids=SPANS)
def test_each_span_maps_as_the_table_says(ledger, verified, child, expected):
    path, session = ledger
    _, [spans] = run(session, S("invoke_agent weather", AGENT, children=[child], at=(0, 200)))
    root = spans[0][0]
    assert verified(path) == [
        ("SessionStarted", {"agent_id": "weather", "model_id": "m-agent", "session_id": "s-1"}),
        *expected,
        ("SessionEnded", {"reason": "completed", "summary_sha256": summary(root, root)}),
    ]
    assert SECRET not in path.read_text()


CHAT = {"gen_ai.operation.name": "chat"}

# The root of a trace, and the session it gives: agent, model, reason and the
# span the summary names (by its position in start order).
ROOTS = {
    "invoke_agent": (S("agent", AGENT), ("weather", "m-agent", "completed", 0)),
    "an agent without a model takes its first model call's": (
        S("agent", {"gen_ai.operation.name": "invoke_agent", "agent_name": "old-name"}, children=[
            S("chat b", {**CHAT, "gen_ai.response.model": "m-late"}, at=(50, 60)),
            S("chat a", {**CHAT, "gen_ai.response.model": "m-early"}, at=(20, 30))]),
        ("old-name", "m-early", "completed", 0)),
    "failed, with error.type": (
        S("agent", {**AGENT, "error.type": "UsageLimitExceeded"}, status=(StatusCode.ERROR,)),
        ("weather", "m-agent", "error: UsageLimitExceeded", 0)),
    "failed, with an exception event": (
        S("agent", AGENT, raises=KeyError("x"), status=(StatusCode.ERROR, "boom")),
        ("weather", "m-agent", "error: KeyError", 0)),
    "failed, nothing said": (
        S("agent", AGENT, status=(StatusCode.ERROR,)), ("weather", "m-agent", "error: _OTHER", 0)),
    "OpenInference AGENT": (
        S("oi", {"openinference.span.kind": "agent", "agent.name": "oi-agent"}),
        ("oi-agent", "unknown", "completed", 0)),
    "no agent: the root stands in": (
        S("POST /chat", {"http.method": "POST"}, status=(StatusCode.ERROR,), children=[
            S("chat", {**CHAT, "gen_ai.request.model": "m-1"})]),
        ("POST /chat", "m-1", "error: _OTHER", 0)),
    "continued from another process: its local root": (
        S("POST /chat", {}, remote_parent=True, children=[S("chat", CHAT)]),
        ("POST /chat", "unknown", "completed", 0)),
    "the first agent below a plain root": (
        S("POST /chat", {}, children=[
            S("agent", AGENT, at=(5, 90), children=[S("inner", {**AGENT, "gen_ai.agent.name": "sub"},
                                                       at=(6, 50))])]),
        ("weather", "m-agent", "completed", 1)),
}


@pytest.mark.parametrize("root, expected", ROOTS.values(), ids=ROOTS)
def test_the_session_comes_from_the_first_agent_or_the_root(ledger, verified, root, expected):
    path, session = ledger
    agent_id, model_id, reason, named = expected
    _, [spans] = run(session, root)
    got = verified(path)
    assert got[0] == ("SessionStarted", {"agent_id": agent_id, "model_id": model_id,
                                         "session_id": "s-1"})
    assert got[-1] == ("SessionEnded", {"reason": reason,
                                        "summary_sha256": summary(spans[0][0], spans[named][0])})


def test_a_trace_with_nothing_to_record_leaves_nothing(ledger):
    path, session = ledger
    run(session, S("GET /", {"http.method": "GET"}, children=[S("db", {"db.system": "pg"})]))
    assert path.read_text() == ""


tool_spans = st.lists(st.tuples(st.integers(1, 40), st.integers(0, 40)), min_size=1, max_size=6)


@settings(max_examples=25, deadline=None)
@given(tools=tool_spans, seed=st.integers(0, 2**32))
def test_events_follow_the_times_whatever_order_spans_end_in(tmp_path_factory, tools, seed):
    path = tmp_path_factory.mktemp("order") / "l.ndjson"
    session = t.Session.open(keypair=t.SigningKeypair.generate(), ledger_path=str(path),
                             session_id="s")
    children = [S(f"execute_tool t{i}", {"gen_ai.operation.name": "execute_tool",
                                         "gen_ai.tool.name": f"t{i}"}, at=(start, start + length))
                for i, (start, length) in enumerate(tools)]
    ended = []

    def shuffled_then_root(started):
        rest = started[1:]
        random.Random(seed).shuffle(rest)
        ended[:] = [*rest, started[0]]
        return ended

    run(session, S("agent", AGENT, children=children, at=(0, 100)), order=shuffled_then_root)
    end_rank = {spec.name: rank for rank, (_, spec) in enumerate(ended)}
    # Independently: a call at its span's start, a return at its end; ties
    # in the order the spans ended, a span's call before its return.
    model = sorted([(start, end_rank[c.name], 0, "ToolCalled", c.attrs["gen_ai.tool.name"])
                    for c, (start, _) in zip(children, tools)]
                   + [(start + length, end_rank[c.name], 1, "ToolReturned",
                       c.attrs["gen_ai.tool.name"])
                      for c, (start, length) in zip(children, tools)])
    got = [(s.event["type"], s.event["payload"].get("tool_name")) for s in t.read_ledger(str(path))]
    assert got[1:-1] == [(kind, name) for *_, kind, name in model]


def conversation(key, agent="weather"):
    attrs = {**AGENT, "gen_ai.agent.name": agent}
    if key is not None:
        attrs["gen_ai.conversation.id"] = key
    return S("agent", attrs, children=[S("chat", {**CHAT, "gen_ai.input.messages": "[]"})])


def test_the_router_puts_each_conversation_in_its_own_ledger(tmp_path, verified):
    router = LedgerRouter(tmp_path, t.SigningKeypair.generate())
    _, started = run(router, conversation("c/1", "first"), conversation(None),
                     conversation("c-2"), conversation("c/1", "again"))
    anonymous = f"{started[1][0][0].context.trace_id:032x}"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        file_name_for(k) for k in ("c/1", "c-2", anonymous))
    assert router.open_keys() == []
    agents = {key: [(p["agent_id"], p["session_id"]) for kind, p in
                    verified(tmp_path / file_name_for(key)) if kind == "SessionStarted"]
              for key in ("c/1", "c-2", anonymous)}
    assert agents == {"c/1": [("first", "c/1"), ("again", "c/1")], "c-2": [("weather", "c-2")],
                      anonymous: [("weather", anonymous)]}


def test_a_conversation_is_reopened_only_once_its_ledger_is_closed(tmp_path, verified):
    """Two traces of one conversation sealed back to back: the second must
    not open the ledger while the first is still being closed."""
    inner = LedgerRouter(tmp_path, t.SigningKeypair.generate())
    closing, early = {}, []

    class SlowToClose:
        def session_for(self, key):
            if key in closing and not closing[key].done():
                early.append(key)
            return inner.session_for(key)

        def end(self, key):
            closed = concurrent.futures.Future()
            ended = inner.end(key)
            threading.Timer(0.2, lambda: closed.set_result(ended.result())).start()
            closing[key] = closed
            return closed

    run(SlowToClose(), conversation("c"), conversation("c"))
    assert early == []
    assert [kind for kind, _ in verified(tmp_path / "c.ndjson")].count("SessionEnded") == 2


def test_a_callable_router_writes_to_the_callers_sessions(ledger, verified):
    path, session = ledger
    seen = []
    run(lambda key: seen.append(key) or session, conversation("c-1"), conversation("c-2"))
    assert seen == ["c-1", "c-2"]
    assert [kind for kind, _ in verified(path)] == ["SessionStarted", "ModelInvoked",
                                                     "SessionEnded"] * 2


def tool(i, at):
    return S(f"execute_tool t{i}", {"gen_ai.operation.name": "execute_tool",
                                    "gen_ai.tool.name": f"t{i}"}, at=at)


def test_held_traces_are_capped_and_sealed_at_flush(ledger, verified):
    path, session = ledger
    provider = TracerProvider(shutdown_on_exit=False)
    provider.add_span_processor(LedgerSpanProcessor(session, max_pending_spans=2))
    tracer = provider.get_tracer("test")
    spans = emit(tracer, S("agent", AGENT, at=(0, 100),
                           children=[tool(i, (10 * i, 10 * i + 5)) for i in range(5)]))
    end(spans[1:4])  # three spans of a trace whose root has not ended: past the cap
    assert provider.force_flush()
    end(spans[4:])  # the rest, then the root
    end(spans[:1])
    assert provider.force_flush()
    sessions, current = [], None
    for kind, payload in verified(path):
        if kind == "SessionStarted":
            current = [payload["agent_id"]]
        elif kind == "SessionEnded":
            sessions.append((*current, payload["reason"]))
        elif kind == "ToolCalled":
            current.append(payload["tool_name"])
    assert sessions == [("unknown", "t0", "t1", "t2", "unfinished"),
                        ("weather", "t3", "t4", "completed")]


def test_flush_seals_a_trace_in_flight(ledger, verified):
    path, session = ledger
    provider = TracerProvider(shutdown_on_exit=False)
    provider.add_span_processor(LedgerSpanProcessor(session))
    tracer = provider.get_tracer("test")
    spans = emit(tracer, S("agent", AGENT, children=[tool(0, (1, 2))]))
    end(spans[1:])
    provider.force_flush()
    assert [kind for kind, _ in verified(path)][-1] == "SessionEnded"
    end(spans[:1])
    provider.shutdown()
    reasons = [p["reason"] for kind, p in verified(path) if kind == "SessionEnded"]
    assert reasons == ["unfinished", "completed"]


def test_failures_are_logged_never_raised_and_raised_at_flush_when_strict(ledger, caplog):
    path, session = ledger
    closed = AsyncSession(session)
    closed.close().result()

    def refuse(args):
        raise RuntimeError("redactor down")

    quiet = LedgerSpanProcessor(closed)
    strict = LedgerSpanProcessor(closed, strict=True, redact=refuse)
    provider = TracerProvider(shutdown_on_exit=False)
    for processor in (quiet, strict):
        provider.add_span_processor(processor)
    tracer = provider.get_tracer("test")
    with caplog.at_level(logging.ERROR, logger="tallyvox.integrations"):
        spans = emit(tracer, S("agent", AGENT, children=[tool(0, (1, 2))]))
        end(spans)  # never raises into the code that ends spans
        assert quiet.force_flush()
        with pytest.raises(RuntimeError, match="^redactor down$"):
            strict.force_flush()  # the first failure since the last flush
        assert strict.force_flush()
        end(emit(tracer, S("agent", AGENT)))
        with pytest.raises(t.LedgerError, match="^the session is closed$"):
            strict.shutdown()
        quiet.shutdown()
    mine = {(re.sub("[0-9a-f]{32}", "<id>", r.getMessage()), r.exc_info[0])
            for r in caplog.records if r.name == "tallyvox.integrations"}
    assert mine == {("could not record the trace <id>", t.LedgerError),
                    ("could not record the span 'execute_tool t0'", RuntimeError)}
    assert path.read_text() == ""


def test_after_shutdown_spans_are_ignored(ledger, verified, caplog):
    path, session = ledger
    processor, _ = run(session, conversation("c"))
    processor.shutdown()
    processor.shutdown()
    provider = TracerProvider(shutdown_on_exit=False)
    provider.add_span_processor(processor)
    end(emit(provider.get_tracer("test"), conversation("c")))
    assert processor.force_flush()
    assert len(verified(path)) == 3
    assert not [r for r in caplog.records if r.name == "tallyvox.integrations"]


USE = '''
import tallyvox
from tallyvox.integrations.otel import LedgerSpanProcessor
from tallyvox.integrations.routing import LedgerRouter

def build(session: tallyvox.Session, router: LedgerRouter) -> bool:
    LedgerSpanProcessor(router, redact=lambda args: {"n": len(args)}, max_pending_spans=10)
    LedgerSpanProcessor(lambda key: session, strict=True)
    processor = LedgerSpanProcessor(session)
    processor.shutdown()
    LedgerSpanProcessor(session, strict="yes")
    return processor.force_flush(timeout_millis=1000)
'''


def test_the_processor_type_checks_strictly(strict_mypy):
    modules = ["-m", "tallyvox.integrations.otel", "-m", "tallyvox.integrations._otel_spans"]
    assert strict_mypy(USE, *modules) == ""
    wrong = USE.splitlines().index('    LedgerSpanProcessor(session, strict="yes")') + 1
    errors = strict_mypy(USE, "use.py").splitlines()
    assert [line.split(":")[:2] for line in errors] == [["use.py", str(wrong)]], errors
