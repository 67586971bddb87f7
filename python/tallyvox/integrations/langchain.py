"""Recording LangChain and LangGraph runs: callback handlers that turn model
and tool runs into ledger events.

    handler = LedgerCallbackHandler(session)
    chain.invoke(inputs, config={"callbacks": [handler]})

| Callback | Event |
|---|---|
| `on_chat_model_start` / `on_llm_start`, then `on_llm_end` | `ModelInvoked` |
| `on_tool_start` | `ToolCalled` |
| `on_tool_end` / `on_tool_error` | `ToolReturned` |

Fields:

- `ModelInvoked.model_id`: the model's name (`ls_model_name` in the run's
  metadata, else `model`, `model_name` or `model_id` of its invocation
  parameters, else its type), `"unknown"` if none is known.
- `prompt_sha256`: for a chat model, SHA-256 of the canonical JSON of the
  prompt's messages, each as `{"type", "content"}` plus `"tool_calls"` (name,
  args, id of each) or `"tool_call_id"` when it has them; for a text model,
  SHA-256 of the prompt's UTF-8 text.
- `response_sha256`: SHA-256 of the UTF-8 text of the first generation.
- `prompt_tokens`, `response_tokens`: from the response message's
  `usage_metadata` (`input_tokens`, `output_tokens`), else from the result's
  `token_usage` (`prompt_tokens`, `completion_tokens`), else 0.
- `ToolCalled.args_sha256`: SHA-256 of the canonical JSON of the tool's
  argument mapping, or of the UTF-8 input text when the tool got a text.
  `args_redacted`: what the redactor makes of the same arguments.
- `ToolReturned.result_sha256`: SHA-256 of the output's UTF-8 text (a tool
  message's content), of the canonical JSON of any other output, or of the
  error's text (`str(error)`) on failure; `latency_ms` from the start callback;
  `success` false on error or when the tool message's status is `"error"`.

A model run that fails leaves no event. Runs pair by `run_id`; each start and
each end is recorded once, however often it is delivered.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any
from uuid import UUID

from langchain_core.callbacks import AsyncCallbackHandler, BaseCallbackHandler
from langchain_core.messages import BaseMessage
from langchain_core.outputs import LLMResult

from tallyvox import Session, events
from tallyvox.aio import AsyncSession
from tallyvox.events import AgentEvent
from tallyvox.integrations._common import (
    Recorder,
    Redactor,
    Runs,
    jsonable,
    never_break,
    redact_values,
    sha256_hex,
    sha256_json,
    token_count,
)

__all__ = ["LedgerCallbackHandler", "AsyncLedgerCallbackHandler"]


class _Mapping:
    """Builds the events of LangChain runs; the handlers only record them."""

    def __init__(self, redact: Redactor) -> None:
        self.redact = redact
        self.models: Runs[UUID, tuple[str, str]] = Runs()
        self.tools: Runs[UUID, str] = Runs()

    def chat_started(self, run_id: UUID, serialized: Any, messages: Any, kw: Any) -> None:
        prompt = [[_message_fields(m) for m in prompt] for prompt in messages]
        self.models.begin(run_id, (_model_name(serialized, kw), sha256_json(_single(prompt))))

    def llm_started(self, run_id: UUID, serialized: Any, prompts: list[str], kw: Any) -> None:
        digest = sha256_hex(prompts[0]) if len(prompts) == 1 else sha256_json(prompts)
        self.models.begin(run_id, (_model_name(serialized, kw), digest))

    def model_ended(self, run_id: UUID, response: LLMResult) -> AgentEvent | None:
        started = self.models.end(run_id)
        if started is None:
            return None
        (model_id, prompt_digest), _ = started
        candidates = response.generations[0] if response.generations else []
        first = candidates[0] if candidates else None
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


def _single(prompts: list[Any]) -> Any:
    return prompts[0] if len(prompts) == 1 else prompts


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


class _Handler:
    """What both handlers share: the mapping, the recorder and the guard around
    building an event (a framework value of an unexpected shape is logged like
    a recording failure)."""

    def __init__(
        self,
        session: Session | AsyncSession,
        *,
        redact: Redactor = redact_values,
        strict: bool = False,
    ) -> None:
        super().__init__()  # the framework's handler class, next in line
        self._recorder = Recorder(session, strict=strict)
        self._map = _Mapping(redact)
        # LangChain swallows what a handler raises unless it asks otherwise.
        self.raise_error = strict

    def _build(self, what: str, build: _Build, *args: Any) -> AgentEvent | None:
        with never_break(self._recorder.strict, what):
            return build(*args)
        return None


class LedgerCallbackHandler(_Handler, BaseCallbackHandler):
    """Records model and tool runs onto a `Session` or an `AsyncSession`.

    `redact` makes `args_redacted` from a tool's arguments (default: argument
    names kept, values `"***"`). A failure to record is logged to
    `tallyvox.integrations`; with `strict=True` it is raised into the run."""

    def _emit(self, what: str, build: _Build, *args: Any) -> None:
        event = self._build(what, build, *args)
        if event is not None:
            self._recorder.record(event, what)

    def on_chat_model_start(
        self, serialized: dict[str, Any], messages: list[list[BaseMessage]], *, run_id: UUID,
        **kw: Any,
    ) -> None:
        self._build("a chat model start", self._map.chat_started, run_id, serialized, messages, kw)

    def on_llm_start(
        self, serialized: dict[str, Any], prompts: list[str], *, run_id: UUID, **kw: Any
    ) -> None:
        self._build("a model start", self._map.llm_started, run_id, serialized, prompts, kw)

    def on_llm_end(self, response: LLMResult, *, run_id: UUID, **kw: Any) -> None:
        self._emit("ModelInvoked", self._map.model_ended, run_id, response)

    def on_llm_error(self, error: BaseException, *, run_id: UUID, **kw: Any) -> None:
        self._map.models.end(run_id)

    def on_tool_start(
        self, serialized: dict[str, Any], input_str: str, *, run_id: UUID,
        inputs: dict[str, Any] | None = None, **kw: Any,
    ) -> None:
        self._emit("ToolCalled", self._map.tool_started, run_id, serialized, input_str, inputs, kw)

    def on_tool_end(self, output: Any, *, run_id: UUID, **kw: Any) -> None:
        self._emit("ToolReturned", self._map.tool_ended, run_id, output)

    def on_tool_error(self, error: BaseException, *, run_id: UUID, **kw: Any) -> None:
        self._emit("ToolReturned", self._map.tool_failed, run_id, error)


class AsyncLedgerCallbackHandler(_Handler, AsyncCallbackHandler):
    """`LedgerCallbackHandler` for async chains and graphs: every event is
    written by a writer thread (the `AsyncSession`'s, or one made for a
    `Session`), so the event loop never waits on the disk. LangChain itself
    logs and drops what an async handler raises when it calls it from
    synchronous code (a synchronous tool run from `ainvoke`), `strict` or not."""

    async def _emit(self, what: str, build: _Build, *args: Any) -> None:
        event = self._build(what, build, *args)
        if event is not None:
            await self._recorder.arecord(event, what)

    async def on_chat_model_start(
        self, serialized: dict[str, Any], messages: list[list[BaseMessage]], *, run_id: UUID,
        **kw: Any,
    ) -> None:
        self._build("a chat model start", self._map.chat_started, run_id, serialized, messages, kw)

    async def on_llm_start(
        self, serialized: dict[str, Any], prompts: list[str], *, run_id: UUID, **kw: Any
    ) -> None:
        self._build("a model start", self._map.llm_started, run_id, serialized, prompts, kw)

    async def on_llm_end(self, response: LLMResult, *, run_id: UUID, **kw: Any) -> None:
        await self._emit("ModelInvoked", self._map.model_ended, run_id, response)

    async def on_llm_error(self, error: BaseException, *, run_id: UUID, **kw: Any) -> None:
        self._map.models.end(run_id)

    async def on_tool_start(
        self, serialized: dict[str, Any], input_str: str, *, run_id: UUID,
        inputs: dict[str, Any] | None = None, **kw: Any,
    ) -> None:
        await self._emit(
            "ToolCalled", self._map.tool_started, run_id, serialized, input_str, inputs, kw
        )

    async def on_tool_end(self, output: Any, *, run_id: UUID, **kw: Any) -> None:
        await self._emit("ToolReturned", self._map.tool_ended, run_id, output)

    async def on_tool_error(self, error: BaseException, *, run_id: UUID, **kw: Any) -> None:
        await self._emit("ToolReturned", self._map.tool_failed, run_id, error)
