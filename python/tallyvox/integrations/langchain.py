"""Recording LangChain and LangGraph runs: callback handlers that turn model
and tool runs into ledger events.

    with LedgerCallbackHandler(session, own_session=True) as handler:
        chain.invoke(inputs, config={"callbacks": [handler]})

| Callback | Event |
|---|---|
| the first run's start, with `own_session=True` | `SessionStarted` |
| `on_chat_model_start` / `on_llm_start`, then `on_llm_end` | `ModelInvoked` |
| `on_llm_error`, when something came back | `ModelInvoked` |
| `on_tool_start` | `ToolCalled` |
| `on_tool_end` / `on_tool_error` | `ToolReturned` |
| `close()` or the end of the `with` block, with `own_session=True` | `SessionEnded` |

Fields:

- `SessionStarted`: `agent_id` and `model_id` as given, `session_id` the
  session's. `SessionEnded.reason`: `"error: <type>"` or `"cancelled"` when the
  `with` block ends on an exception, else how the last top-level run ended
  (`"completed"`, `"cancelled"`, `"error: <type>"`); `summary_sha256`: SHA-256
  of the canonical JSON of the top-level run ids, as text, in the order they
  started.
- `ModelInvoked.model_id`: the model's name (`ls_model_name` in the run's
  metadata, else `model`, `model_name` or `model_id` of its invocation
  parameters, else its type), `"unknown"` if none is known.
- `prompt_sha256`: for a chat model, SHA-256 of the canonical JSON of the
  prompt's messages, each as `{"type", "content"}` plus `"tool_calls"` (name,
  args, id of each) or `"tool_call_id"` when it has them; for a text model,
  SHA-256 of the prompt's UTF-8 text.
- `response_sha256`: SHA-256 of the UTF-8 text of the first generation (of a
  failed run: of the first generation that has text or token usage, such as
  the part streamed before the failure).
- `prompt_tokens`, `response_tokens`: from the response message's
  `usage_metadata` (`input_tokens`, `output_tokens`), else from the result's
  `token_usage` (`prompt_tokens`, `completion_tokens`), else 0.
- `ToolCalled.args_sha256`: SHA-256 of the canonical JSON of the tool's
  argument mapping, or of the UTF-8 input text when the tool got a text.
  `args_redacted`: what the redactor makes of the same arguments.
- `ToolReturned.result_sha256`: SHA-256 of the output's UTF-8 text (a tool
  message's content), of the canonical JSON of any other output, or of the
  error's text (`str(error)`) on failure; `latency_ms` from the start callback;
  `success` false on error or when the tool message's status is `"error"`. A
  tool run still open at `close()` is returned failed, over the empty text.

A model run that fails with nothing back leaves no event. Runs pair by
`run_id`; each start and each end is recorded once, however often it is
delivered. Nothing is recorded after `close()`.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import hashlib
import threading
from collections.abc import Awaitable, Callable, Sequence
from types import TracebackType
from typing import Any, TypeVar
from uuid import UUID

from langchain_core.callbacks import AsyncCallbackHandler, BaseCallbackHandler
from langchain_core.messages import BaseMessage
from langchain_core.outputs import LLMResult

from tallyvox import Session, canonical_json, events
from tallyvox.aio import AsyncSession
from tallyvox.events import AgentEvent
from tallyvox.integrations._common import (Recorder, Redactor, Runs, end_reason, jsonable,
                                           never_break, redact_values, sha256_hex, sha256_json,
                                           token_count, unfinished_call)

__all__ = ["LedgerCallbackHandler", "AsyncLedgerCallbackHandler"]


class _Mapping:
    """Builds the events of LangChain runs; the handlers only record them."""

    def __init__(self, redact: Redactor) -> None:
        self.redact = redact
        self.models: Runs[UUID, tuple[str, str]] = Runs()
        self.tools: Runs[UUID, str] = Runs()
        self.prompts = _PromptDigests()

    def chat_started(self, run_id: UUID, serialized: Any, messages: Any, kw: Any) -> None:
        if len(messages) == 1:
            digest = self.prompts.digest(messages[0])
        else:  # a batch of prompts: rare, hashed whole
            digest = sha256_hex(_array([_array([_encoded(m) for m in p]) for p in messages]))
        self.models.begin(run_id, (_model_name(serialized, kw), digest))

    def llm_started(self, run_id: UUID, serialized: Any, prompts: list[str], kw: Any) -> None:
        digest = sha256_hex(prompts[0]) if len(prompts) == 1 else sha256_json(prompts)
        self.models.begin(run_id, (_model_name(serialized, kw), digest))

    def model_ended(self, run_id: UUID, response: LLMResult) -> AgentEvent | None:
        candidates = response.generations[0] if response.generations else []
        return self._invoked(run_id, response, candidates[0] if candidates else None)

    def model_failed(self, run_id: UUID, response: LLMResult | None) -> AgentEvent | None:
        """What a failed run got back before failing (streamed text, token
        usage), if anything."""
        if response is not None:
            for generation in (g for gs in response.generations for g in gs):
                if generation.text or _usage(response, generation) != (0, 0):
                    return self._invoked(run_id, response, generation)
        self.models.end(run_id)
        return None

    def _invoked(self, run_id: UUID, response: LLMResult, first: Any) -> AgentEvent | None:
        started = self.models.end(run_id)
        if started is None:
            return None
        (model_id, prompt_digest), _ = started
        prompt_tokens, response_tokens = _usage(response, first)
        return events.model_invoked(
            model_id=model_id,
            prompt_sha256=prompt_digest,
            response_sha256=sha256_hex(first.text if first is not None else ""),
            prompt_tokens=prompt_tokens,
            response_tokens=response_tokens,
        )

    def tool_started(
        self, run_id: UUID, serialized: Any, input_str: str, inputs: Any, kw: Any
    ) -> AgentEvent | None:
        name = str(kw.get("name") or (serialized or {}).get("name") or "unknown")
        if not self.tools.begin(run_id, name):
            return None
        args = inputs if inputs is not None else input_str
        digest = sha256_hex(args) if isinstance(args, str) else sha256_json(args)
        return events.tool_called(
            tool_name=name, args_sha256=digest, args_redacted=jsonable(self.redact(args))
        )

    def tool_ended(self, run_id: UUID, output: Any) -> AgentEvent | None:
        content = getattr(output, "content", output)
        failed = getattr(output, "status", None) == "error"
        digest = sha256_hex(content) if isinstance(content, str) else sha256_json(content)
        return self._returned(run_id, digest, not failed)

    def tool_failed(self, run_id: UUID, error: BaseException) -> AgentEvent | None:
        return self._returned(run_id, sha256_hex(str(error)), False)

    def _returned(self, run_id: UUID, digest: str, success: bool) -> AgentEvent | None:
        finished = self.tools.end(run_id)
        if finished is None:
            return None
        name, latency_ms = finished
        return events.tool_returned(
            tool_name=name, result_sha256=digest, latency_ms=latency_ms, success=success
        )


class _PromptDigests:
    """The digest of a prompt, its messages as one canonical JSON array,
    made as the conversation grows. An agent's every call sends the whole
    conversation again; hashing it anew each time would make a call cost the
    whole history. So the hash state after the messages of the last prompt is
    kept with them, and a prompt that extends them hashes only what is new. A
    message counts as the one seen before when it is the same object with the
    same content."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._seen: list[tuple[BaseMessage, Any]] = []
        self._state = hashlib.sha256(b"[")  # "[" and the encodings seen, comma-separated

    def digest(self, prompt: Sequence[BaseMessage]) -> str:
        with self._lock:
            seen = self._seen
            grows = len(prompt) >= len(seen) > 0 and all(
                m is old and m.content is content for m, (old, content) in zip(prompt, seen))
            if not grows:
                seen, self._state = [], hashlib.sha256(b"[")
            for message in prompt[len(seen):]:
                if seen:
                    self._state.update(b",")
                self._state.update(_encoded(message))
                seen.append((message, message.content))
            self._seen = seen
            whole = self._state.copy()
        whole.update(b"]")
        return whole.hexdigest()


def _encoded(message: BaseMessage) -> bytes:
    return canonical_json(jsonable(_message_fields(message)))


def _array(elements: list[bytes]) -> bytes:
    """The canonical JSON of an array, from that of its elements."""
    return b"[" + b",".join(elements) + b"]"


def _message_fields(message: BaseMessage) -> dict[str, Any]:
    fields: dict[str, Any] = {"type": message.type, "content": message.content}
    tool_calls = getattr(message, "tool_calls", None)
    if tool_calls:
        fields["tool_calls"] = [
            {"name": c.get("name"), "args": c.get("args"), "id": c.get("id")} for c in tool_calls
        ]
    tool_call_id = getattr(message, "tool_call_id", None)
    if tool_call_id:
        fields["tool_call_id"] = tool_call_id
    return fields


def _model_name(serialized: Any, kw: Any) -> str:
    metadata = kw.get("metadata") or {}
    params = kw.get("invocation_params") or {}
    for value in (
        metadata.get("ls_model_name"),
        params.get("model"),
        params.get("model_name"),
        params.get("model_id"),
        params.get("_type"),
        (serialized or {}).get("name"),
    ):
        if isinstance(value, str) and value:
            return value
    return "unknown"


def _usage(response: LLMResult, first: Any) -> tuple[int, int]:
    usage = getattr(getattr(first, "message", None), "usage_metadata", None)
    if usage:
        pair = usage.get("input_tokens"), usage.get("output_tokens")
    else:
        totals = (response.llm_output or {}).get("token_usage") or {}
        pair = totals.get("prompt_tokens"), totals.get("completion_tokens")
    return token_count(pair[0]), token_count(pair[1])


_Build = Callable[..., "AgentEvent | None"]
_Built = tuple[str, AgentEvent] | None
_Self = TypeVar("_Self", bound="_Handler")


class _Handler:
    """What both handlers share: the mapping, the recorder, the session's
    start and end, and each callback as a function giving the event to record
    (a framework value of an unexpected shape is logged like a recording
    failure). The handlers differ only in how they hand the event over."""

    def __init__(self, session: Session | AsyncSession, *, redact: Redactor = redact_values,
                 strict: bool = False, own_session: bool = False, agent_id: str = "langchain",
                 model_id: str = "unknown") -> None:
        super().__init__()  # the framework's handler class, next in line
        self._recorder = Recorder(session, strict=strict)
        self._map = _Mapping(redact)
        self._own_session = own_session
        self._agent_id, self._model_id = agent_id, model_id
        self._lock = threading.Lock()
        self._started = self._closed = False
        self._roots: list[str] = []
        self._outcome: BaseException | None = None
        # LangChain swallows what a handler raises unless it asks otherwise.
        self.raise_error = strict

    def flush(self) -> concurrent.futures.Future[None]:
        """A future that completes once every event recorded so far is written."""
        return self._recorder.flush()

    def _build(self, what: str, build: _Build, *args: Any) -> _Built:
        if self._closed:
            return None
        with never_break(self._recorder.strict, what):
            event = build(*args)
            return None if event is None else (what, event)
        return None

    def _run_started(self, run_id: UUID, parent_run_id: UUID | None) -> None:
        """Counts a top-level run, and records `SessionStarted` before the
        first run's first event."""
        with self._lock:
            if self._closed:
                return
            if parent_run_id is None:
                self._roots.append(str(run_id))
            if self._own_session and not self._started:
                self._started = True
                self._recorder.record(self._session_started(), "SessionStarted")

    def _run_ended(self, parent_run_id: UUID | None, error: BaseException | None) -> None:
        if parent_run_id is None:
            self._outcome = error

    def _session_started(self) -> AgentEvent:
        return events.session_started(agent_id=self._agent_id, model_id=self._model_id,
                                      session_id=self._recorder.session_id)

    def _closing(self, error: BaseException | None) -> list[AgentEvent]:
        """The events that end the session: tool runs still open, returned
        failed, then (`own_session`) `SessionEnded`. Empty once closed."""
        with self._lock:
            if self._closed:
                return []
            self._closed = True
            started = self._started
        out = [unfinished_call(name, ms) for _, name, ms in self._map.tools.take_open()]
        if self._own_session:
            reason = end_reason(error if error is not None else self._outcome)
            out.append(events.session_ended(reason=reason, summary_sha256=sha256_json(self._roots)))
            if not started:
                out.insert(0, self._session_started())
        return out

    # The callbacks, by the name LangChain calls them with, less the "on".

    def _chain_start(self, serialized: Any, inputs: Any, *, run_id: UUID,
                     parent_run_id: UUID | None = None, **kw: Any) -> _Built:
        self._run_started(run_id, parent_run_id)
        return None

    def _chain_end(self, outputs: Any, *, run_id: UUID, parent_run_id: UUID | None = None,
                   **kw: Any) -> _Built:
        self._run_ended(parent_run_id, None)
        return None

    def _chain_error(self, error: BaseException, *, run_id: UUID,
                     parent_run_id: UUID | None = None, **kw: Any) -> _Built:
        self._run_ended(parent_run_id, error)
        return None

    def _chat_model_start(self, serialized: dict[str, Any], messages: list[list[BaseMessage]],
                          *, run_id: UUID, parent_run_id: UUID | None = None,
                          **kw: Any) -> _Built:
        self._run_started(run_id, parent_run_id)
        self._build("a chat model start", self._map.chat_started, run_id, serialized, messages, kw)
        return None

    def _llm_start(self, serialized: dict[str, Any], prompts: list[str], *, run_id: UUID,
                   parent_run_id: UUID | None = None, **kw: Any) -> _Built:
        self._run_started(run_id, parent_run_id)
        self._build("a model start", self._map.llm_started, run_id, serialized, prompts, kw)
        return None

    def _llm_end(self, response: LLMResult, *, run_id: UUID,
                 parent_run_id: UUID | None = None, **kw: Any) -> _Built:
        self._run_ended(parent_run_id, None)
        return self._build("ModelInvoked", self._map.model_ended, run_id, response)

    def _llm_error(self, error: BaseException, *, run_id: UUID,
                   parent_run_id: UUID | None = None, **kw: Any) -> _Built:
        self._run_ended(parent_run_id, error)
        return self._build("ModelInvoked", self._map.model_failed, run_id, kw.get("response"))

    def _tool_start(self, serialized: dict[str, Any], input_str: str, *, run_id: UUID,
                    parent_run_id: UUID | None = None, inputs: dict[str, Any] | None = None,
                    **kw: Any) -> _Built:
        self._run_started(run_id, parent_run_id)
        return self._build("ToolCalled", self._map.tool_started, run_id, serialized, input_str,
                           inputs, kw)

    def _tool_end(self, output: Any, *, run_id: UUID, parent_run_id: UUID | None = None,
                  **kw: Any) -> _Built:
        self._run_ended(parent_run_id, None)
        return self._build("ToolReturned", self._map.tool_ended, run_id, output)

    def _tool_error(self, error: BaseException, *, run_id: UUID,
                    parent_run_id: UUID | None = None, **kw: Any) -> _Built:
        self._run_ended(parent_run_id, error)
        return self._build("ToolReturned", self._map.tool_failed, run_id, error)


_CALLBACKS = ("chain_start", "chain_end", "chain_error", "chat_model_start", "llm_start",
              "llm_end", "llm_error", "tool_start", "tool_end", "tool_error")


class LedgerCallbackHandler(_Handler, BaseCallbackHandler):
    """Records model and tool runs onto a `Session` or an `AsyncSession`.

    Events are queued on the session's writer thread (a `Session` is given one
    of its own), so a run never waits on the disk; `flush()` gives a future
    that completes once they are written. `redact` makes `args_redacted` from
    a tool's arguments (default: argument names kept, values `"***"`). With
    `own_session=True` the first run records `SessionStarted`, and `close()`
    (or the end of a `with` block) `SessionEnded`; `close()` waits until every
    event is written. A failure to record is logged to
    `tallyvox.integrations`; with `strict=True` each event is written before
    the callback returns and a failure is raised into the run."""

    def close(self) -> None:
        """Ends the session (see the class) and waits until all is written."""
        self._finish(None)

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self._finish(exc)

    def _finish(self, error: BaseException | None) -> None:
        for event in self._closing(error):
            self._recorder.record(event, "the end of the session")
        self._recorder.close().result()


class AsyncLedgerCallbackHandler(_Handler, AsyncCallbackHandler):
    """`LedgerCallbackHandler` for async chains and graphs: the same events,
    queued the same way (with `strict=True`, each write awaited on the writer
    thread), so the event loop never waits on the disk. `await aclose()` (or
    leaving `async with`) ends the session like `close()`, without blocking
    the loop. LangChain itself logs and drops what an async handler raises
    when it calls it from synchronous code (a synchronous tool run from
    `ainvoke`), `strict` or not."""

    async def aclose(self) -> None:
        """Ends the session and waits, off the event loop, until all is written."""
        await self._finish(None)

    async def __aenter__(self: _Self) -> _Self:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        await self._finish(exc)

    async def _finish(self, error: BaseException | None) -> None:
        for event in self._closing(error):
            await self._recorder.arecord(event, "the end of the session")
        await asyncio.wrap_future(self._recorder.close())


def _sync_callback(name: str) -> Callable[..., None]:
    handle = getattr(_Handler, "_" + name)

    def callback(self: LedgerCallbackHandler, *args: Any, **kw: Any) -> None:
        built = handle(self, *args, **kw)
        if built is not None:
            self._recorder.record(built[1], built[0])

    return callback


def _async_callback(name: str) -> Callable[..., Awaitable[None]]:
    handle = getattr(_Handler, "_" + name)

    async def callback(self: AsyncLedgerCallbackHandler, *args: Any, **kw: Any) -> None:
        built = handle(self, *args, **kw)
        if built is not None:
            await self._recorder.arecord(built[1], built[0])

    return callback


for _name in _CALLBACKS:
    setattr(LedgerCallbackHandler, "on_" + _name, _sync_callback(_name))
    setattr(AsyncLedgerCallbackHandler, "on_" + _name, _async_callback(_name))
del _name
