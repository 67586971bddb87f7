"""What one finished OpenTelemetry span says, in ledger terms.

Spans are read by their GenAI semantic-convention attributes
(`gen_ai.operation.name`) or, failing those, by their OpenInference ones
(`openinference.span.kind`). Content (messages, tool arguments and results)
is taken from the first place that holds it: the span's attributes, then the
span events that carry the same attributes (`gen_ai.client.inference.
operation.details`), then the older message events (`gen_ai.<role>.message`,
`gen_ai.choice`). A text that is JSON is parsed first, so one value digests
alike whether a framework recorded it as a string or as structure.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any

from opentelemetry.sdk.trace import ReadableSpan
from opentelemetry.trace import StatusCode

from tallyvox import SigningError, canonical_json, events
from tallyvox.events import AgentEvent
from tallyvox.integrations._common import (
    Redactor,
    jsonable,
    sha256_hex,
    sha256_json,
    token_count,
)

MODEL, TOOL, AGENT = "model", "tool", "agent"

_OPERATIONS = {
    "chat": MODEL,
    "text_completion": MODEL,
    "generate_content": MODEL,
    "execute_tool": TOOL,
    "invoke_agent": AGENT,
}
_OPENINFERENCE_KINDS = {"LLM": MODEL, "TOOL": TOOL, "AGENT": AGENT}

_DETAILS_EVENT = "gen_ai.client.inference.operation.details"
_CHOICE_EVENT = "gen_ai.choice"
_MESSAGE_EVENTS = {
    "gen_ai.system.message": "system",
    "gen_ai.user.message": "user",
    "gen_ai.assistant.message": "assistant",
    "gen_ai.tool.message": "tool",
}

# Where each value is looked for, in order of preference.
_MODEL_NAMES = ("gen_ai.response.model", "gen_ai.request.model", "llm.model_name")
_AGENT_MODEL_NAMES = ("gen_ai.request.model", "gen_ai.response.model", "llm.model_name")
_AGENT_NAMES = ("gen_ai.agent.name", "agent.name", "agent_name")
_INPUT_TOKENS = ("gen_ai.usage.input_tokens", "gen_ai.usage.prompt_tokens",
                 "llm.token_count.prompt")
_OUTPUT_TOKENS = ("gen_ai.usage.output_tokens", "gen_ai.usage.completion_tokens",
                  "llm.token_count.completion")
_TOOL_NAMES = ("gen_ai.tool.name", "tool.name")
_ARGUMENTS = ("gen_ai.tool.call.arguments", "tool_arguments", "input.value")
_RESULTS = ("gen_ai.tool.call.result", "tool_response", "output.value")
_CONVERSATIONS = ("gen_ai.conversation.id", "session.id")

UNKNOWN = "unknown"
# The value the semantic conventions give `error.type` when nothing names the error.
OTHER_ERROR = "_OTHER"
NO_CONTENT = sha256_hex("")


class _Absent:
    """Marks content a span does not carry (distinct from a JSON null)."""


ABSENT: Any = _Absent()


@dataclass(slots=True)
class Agent:
    """The agent span of a trace, for the session that wraps it."""

    start: int
    agent_id: str
    model_id: str | None
    reason: str
    span_id: int


@dataclass(slots=True)
class Mapped:
    """One span's share of the ledger: its events, each with the time that
    orders it (a call at its span's start, a return at its end)."""

    timed: list[tuple[int, AgentEvent]] = field(default_factory=list)
    agent: Agent | None = None
    model_id: str | None = None
    conversation: str | None = None


def kind_of(attributes: Mapping[str, Any]) -> str | None:
    operation = attributes.get("gen_ai.operation.name")
    if operation is not None:
        return _OPERATIONS.get(operation)
    kind = attributes.get("openinference.span.kind")
    return _OPENINFERENCE_KINDS.get(kind.upper()) if isinstance(kind, str) else None


def map_span(span: ReadableSpan, redact: Redactor) -> Mapped | None:
    """The events of `span`, or None for a span the ledger does not record."""
    attributes = span.attributes or {}
    kind = kind_of(attributes)
    found = _first(attributes, _CONVERSATIONS)
    conversation = None if found is None else str(found)
    if kind is None:
        return None if conversation is None else Mapped(conversation=conversation)
    mapped = Mapped(conversation=conversation)
    start, end = span.start_time or 0, span.end_time or span.start_time or 0
    if kind == MODEL:
        mapped.model_id = str(_first(attributes, _MODEL_NAMES) or UNKNOWN)
        mapped.timed.append((start, _model_invoked(span, attributes, mapped.model_id)))
    elif kind == TOOL:
        mapped.timed.extend(_tool_events(span, attributes, redact, start, end))
    else:
        model = _first(attributes, _AGENT_MODEL_NAMES)
        mapped.agent = Agent(
            start=start,
            agent_id=str(_first(attributes, _AGENT_NAMES) or span.name or UNKNOWN),
            model_id=None if model is None else str(model),
            reason=ending_reason(span),
            span_id=span.context.span_id if span.context is not None else 0,
        )
    return mapped


def _model_invoked(span: ReadableSpan, attributes: Mapping[str, Any], model_id: str) -> AgentEvent:
    return events.model_invoked(
        model_id=model_id,
        prompt_sha256=digest(_messages(span, "gen_ai.input.messages", "input.value")),
        response_sha256=digest(_messages(span, "gen_ai.output.messages", "output.value")),
        prompt_tokens=token_count(_first(attributes, _INPUT_TOKENS)),
        response_tokens=token_count(_first(attributes, _OUTPUT_TOKENS)),
    )


def _tool_events(
    span: ReadableSpan, attributes: Mapping[str, Any], redact: Redactor, start: int, end: int
) -> list[tuple[int, AgentEvent]]:
    name = str(_first(attributes, _TOOL_NAMES) or _after_operation(span.name) or UNKNOWN)
    arguments = _content(attributes, _ARGUMENTS)
    if arguments is ABSENT:
        arguments = _from_events(span.events, "gen_ai.tool.message", "content")
    result = _content(attributes, _RESULTS)
    if result is ABSENT:
        result = _messages(span, "gen_ai.output.messages", None)
    return [
        (start, events.tool_called(
            tool_name=name,
            args_sha256=digest(arguments),
            args_redacted=jsonable(redact({} if arguments is ABSENT else arguments)),
        )),
        (end, events.tool_returned(
            tool_name=name,
            result_sha256=digest(result),
            latency_ms=max(end - start, 0) // 1_000_000,
            success=error_type(span) is None,
        )),
    ]


def digest(content: Any) -> str:
    """SHA-256 of the canonical JSON of `content`; of the empty string when absent."""
    if content is ABSENT:
        return NO_CONTENT
    try:
        # Parsed JSON and attribute values are JSON already: no copy needed,
        # except for what JSON cannot hold (NaN, huge integers).
        return sha256_hex(canonical_json(content))
    except SigningError:
        return sha256_json(content)


def error_type(span: ReadableSpan) -> str | None:
    """What failed in `span` (`error.type`, else the type of its last recorded
    exception, else `_OTHER`), or None when it did not fail."""
    named = (span.attributes or {}).get("error.type")
    if named is not None:
        return str(named)
    if span.status.status_code is not StatusCode.ERROR:
        return None
    for event in reversed(span.events):
        if event.name == "exception" and event.attributes and "exception.type" in event.attributes:
            return str(event.attributes["exception.type"])
    return OTHER_ERROR


def ending_reason(span: ReadableSpan) -> str:
    failure = error_type(span)
    return "completed" if failure is None else f"error: {failure}"


def _messages(span: ReadableSpan, attribute: str, openinference: str | None) -> Any:
    """A model span's input or output messages: the attribute, the OpenInference
    value, the events that carry the attribute, or the older message events."""
    attributes = span.attributes or {}
    found = _content(attributes, (attribute,) if openinference is None else (attribute, openinference))
    if found is ABSENT:
        found = _from_events(span.events, _DETAILS_EVENT, attribute)
    if found is ABSENT:
        found = _legacy_messages(span.events, output=attribute.endswith("output.messages"))
    return found


def _legacy_messages(span_events: Iterable[Any], *, output: bool) -> Any:
    """`gen_ai.<role>.message` events as `{"role", "content"}` (the input), or
    the `message` of each `gen_ai.choice` event (the output)."""
    found = []
    for event in span_events:
        attributes = event.attributes or {}
        if output and event.name == _CHOICE_EVENT and "message" in attributes:
            found.append(parsed(attributes["message"]))
        elif not output and event.name in _MESSAGE_EVENTS and "content" in attributes:
            role = attributes.get("role") or _MESSAGE_EVENTS[event.name]
            found.append({"role": str(role), "content": parsed(attributes["content"])})
    return found if found else ABSENT


def _from_events(span_events: Iterable[Any], name: str, attribute: str) -> Any:
    """The value of `attribute` on the events called `name`: the one value,
    or the list of them when several events carry it."""
    values = [parsed(e.attributes[attribute]) for e in span_events
              if e.name == name and e.attributes and attribute in e.attributes]
    if not values:
        return ABSENT
    return values[0] if len(values) == 1 else values


def _content(attributes: Mapping[str, Any], names: Iterable[str]) -> Any:
    for name in names:
        if name in attributes:
            return parsed(attributes[name])
    return ABSENT


def parsed(value: Any) -> Any:
    """A JSON text as the value it encodes; any other text as itself; an
    attribute sequence as a list."""
    if isinstance(value, str):
        try:
            return json.loads(value)
        except (ValueError, RecursionError):
            return value
    if isinstance(value, tuple):
        return list(value)
    return value


def _first(attributes: Mapping[str, Any], names: Iterable[str]) -> Any:
    for name in names:
        value = attributes.get(name)
        if value is not None and value != "":
            return value
    return None


def _after_operation(span_name: str | None) -> str | None:
    """`execute_tool get_weather` names its tool after the operation."""
    operation, _, rest = (span_name or "").partition(" ")
    return rest if operation == "execute_tool" and rest else None

