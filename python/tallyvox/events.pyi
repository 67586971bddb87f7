"""Type information for tallyvox.events: AgentEvent and its factories."""

from typing import SupportsIndex, final

__all__ = [
    "AgentEvent",
    "session_started",
    "utterance_captured",
    "tool_called",
    "tool_returned",
    "model_invoked",
    "utterance_spoken",
    "session_ended",
    "from_dict",
]

@final
class AgentEvent:
    """Opaque handle around a tallyvox-core AgentEvent. Built only via the factory
    functions or from_dict; Python never constructs the tagged JSON by hand."""

def session_started(*, agent_id: str, model_id: str, session_id: str) -> AgentEvent: ...
def utterance_captured(
    *, audio_sha256: str, transcript: str, lang: str, duration_ms: SupportsIndex
) -> AgentEvent: ...
def tool_called(*, tool_name: str, args_sha256: str, args_redacted: object) -> AgentEvent: ...
def tool_returned(
    *, tool_name: str, result_sha256: str, latency_ms: SupportsIndex, success: bool
) -> AgentEvent: ...
def model_invoked(
    *,
    model_id: str,
    prompt_sha256: str,
    response_sha256: str,
    prompt_tokens: SupportsIndex,
    response_tokens: SupportsIndex,
) -> AgentEvent: ...
def utterance_spoken(*, text_sha256: str, text: str, audio_sha256: str) -> AgentEvent: ...
def session_ended(*, reason: str, summary_sha256: str) -> AgentEvent: ...
def from_dict(value: object) -> AgentEvent:
    """Rebuild an AgentEvent from its tagged `{"type", "payload"}` mapping. Rejects
    any shape that is not one of the seven core variants."""
