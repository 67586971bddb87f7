import collections
import dataclasses
import types

import pytest

from tallyvox import SigningError, _tallyvox
from tallyvox import events as ev

SAMPLES = {
    "SessionStarted": (ev.session_started, dict(agent_id="a", model_id="m", session_id="s")),
    "UtteranceCaptured": (
        ev.utterance_captured,
        dict(audio_sha256="ab", transcript="hi \u00e9\n", lang="en", duration_ms=2**64 - 1),
    ),
    "ToolCalled": (
        ev.tool_called,
        dict(tool_name="t", args_sha256="h", args_redacted={"z": 1, "a": [1.5, None, "x"]}),
    ),
    "ToolReturned": (
        ev.tool_returned,
        dict(tool_name="t", result_sha256="r", latency_ms=120, success=True),
    ),
    "ModelInvoked": (
        ev.model_invoked,
        dict(model_id="m", prompt_sha256="p", response_sha256="r", prompt_tokens=4294967295,
             response_tokens=0),
    ),
    "UtteranceSpoken": (ev.utterance_spoken, dict(text_sha256="t", text="", audio_sha256="a")),
    "SessionEnded": (ev.session_ended, dict(reason="done", summary_sha256="x")),
}


def test_submodule_names_and_docs():
    assert ev.__all__ == [
        "AgentEvent", "session_started", "utterance_captured", "tool_called", "tool_returned",
        "model_invoked", "utterance_spoken", "session_ended", "from_dict",
    ]
    assert ev.AgentEvent.__doc__ == (
        "Opaque handle around a tallyvox-core AgentEvent. Built only via the factory\n"
        "functions or from_dict; Python never constructs the tagged JSON by hand."
    )
    assert ev.AgentEvent.__module__ == "builtins"
    assert ev.from_dict.__text_signature__ == "(value)"
    for tag, (factory, kwargs) in SAMPLES.items():
        assert factory.__doc__ is None
        assert factory.__text_signature__ == "(*, " + ", ".join(kwargs) + ")"
        assert factory.__module__ == "events"


@pytest.mark.parametrize("tag", SAMPLES)
def test_factories_build_the_variant(tag):
    factory, kwargs = SAMPLES[tag]
    event = factory(**kwargs)
    assert repr(event) == f"AgentEvent(type='{tag}')"
    assert event != factory(**kwargs)  # identity equality


@pytest.mark.parametrize("tag", SAMPLES)
def test_from_dict_agrees_with_the_factory(tag):
    factory, kwargs = SAMPLES[tag]
    shuffled = dict(reversed(list(kwargs.items())))
    rebuilt = ev.from_dict({"payload": shuffled, "type": tag, "extra": 1})
    assert repr(rebuilt) == repr(factory(**kwargs))
    h = dict(seq=3, timestamp_nanos=7, parent_hash="p")
    compute = getattr(_tallyvox, "compute_self_hash", None)
    if compute is not None:
        assert compute(event=rebuilt, **h) == compute(event=factory(**kwargs), **h)


def test_class_cannot_be_made_or_subclassed():
    with pytest.raises(TypeError):
        ev.AgentEvent()
    with pytest.raises(TypeError):
        type("X", (ev.AgentEvent,), {})


@pytest.mark.parametrize(
    "call,cls,message,note",
    [
        (lambda: ev.session_started("a", "b", "c"), TypeError,
         "session_started() takes 0 positional arguments but 3 were given", None),
        (lambda: ev.session_ended(reason="r"), TypeError,
         "session_ended() missing 1 required keyword argument: 'summary_sha256'", None),
        (lambda: ev.session_ended(), TypeError,
         "session_ended() missing 2 required keyword arguments: 'reason' and 'summary_sha256'",
         None),
        (lambda: ev.session_started(), TypeError,
         "session_started() missing 3 required keyword arguments: 'agent_id', 'model_id', and "
         "'session_id'", None),
        (lambda: ev.session_ended(reason="r", summary_sha256="s", note=1), TypeError,
         "session_ended() got an unexpected keyword argument 'note'", None),
        (lambda: ev.session_started(agent_id=1, model_id="", session_id=""), TypeError,
         "'int' object is not an instance of 'str'", "agent_id"),
        (lambda: ev.tool_returned(tool_name="t", result_sha256="r", latency_ms=5, success=1),
         TypeError, "'int' object is not an instance of 'bool'", "success"),
        (lambda: ev.tool_returned(tool_name="t", result_sha256="r", latency_ms=-1, success=True),
         OverflowError, None, "latency_ms"),
        (lambda: ev.utterance_captured(audio_sha256="", transcript="", lang="", duration_ms=-1),
         OverflowError, None, "duration_ms"),
        (lambda: ev.utterance_captured(audio_sha256="", transcript="", lang="", duration_ms=2**64),
         OverflowError, None, "duration_ms"),
        (lambda: ev.utterance_captured(audio_sha256="", transcript="", lang="", duration_ms="1"),
         TypeError, None, "duration_ms"),
        (lambda: ev.model_invoked(model_id="", prompt_sha256="", response_sha256="",
                                  prompt_tokens=4294967296, response_tokens=0),
         OverflowError, "out of range integral type conversion attempted", "prompt_tokens"),
        (lambda: ev.model_invoked(model_id="", prompt_sha256="", response_sha256="",
                                  prompt_tokens=0, response_tokens=-1),
         OverflowError, "out of range integral type conversion attempted", "response_tokens"),
        (lambda: ev.model_invoked(model_id="", prompt_sha256="", response_sha256="",
                                  prompt_tokens=1.0, response_tokens=0),
         TypeError, None, "prompt_tokens"),
        (lambda: ev.tool_called(tool_name="t", args_sha256="h", args_redacted={"q": float("nan")}),
         SigningError, "non-finite float (NaN or Infinity) cannot be signed", None),
        (lambda: ev.tool_called(tool_name="t", args_sha256="h", args_redacted=object()),
         SigningError, "unsupported type object", None),
    ],
)
def test_factory_argument_errors(call, cls, message, note):
    with pytest.raises(cls) as excinfo:
        call()
    if message is not None:
        assert str(excinfo.value) == message
    notes = getattr(excinfo.value, "__notes__", [])
    assert notes == ([f"while processing '{note}'"] if note else [])


def test_factory_conversions_that_succeed():
    assert ev.tool_returned(tool_name="t", result_sha256="r", latency_ms=True, success=False)
    assert ev.tool_called(tool_name="t", args_sha256="h", args_redacted=None)
    assert ev.tool_called(tool_name="t", args_sha256="h", args_redacted=[1, "x", {"k": 2.5}])
    assert ev.session_started(agent_id="", model_id="", session_id="")

    class Index:
        def __index__(self):
            return 9

    assert ev.utterance_captured(audio_sha256="", transcript="", lang="", duration_ms=Index())
    assert ev.model_invoked(model_id="", prompt_sha256="", response_sha256="",
                            prompt_tokens=True, response_tokens=Index())


def test_numpy_booleans_are_accepted():
    np = pytest.importorskip("numpy")
    for value in (np.bool_(True), np.bool_(False)):
        ev.tool_returned(tool_name="t", result_sha256="r", latency_ms=0, success=value)
    with pytest.raises(TypeError) as excinfo:
        ev.tool_returned(tool_name="t", result_sha256="r", latency_ms=0, success=np.int64(1))
    assert str(excinfo.value) == "'int64' object is not an instance of 'bool'"


ENDED = {"reason": "r", "summary_sha256": "s"}


@pytest.mark.parametrize(
    "value,message",
    [
        ({"type": "SessionEnded"}, "json: missing field `payload`"),
        ({"payload": {}}, "json: missing field `type`"),
        ({"payload": ENDED}, "json: missing field `type`"),
        ({"type": "SessionEnded", "payload": {}}, "json: missing field `reason`"),
        ({"type": "SessionEnded", "payload": {"reason": "r"}}, "json: missing field `summary_sha256`"),
        ({"type": "sessionEnded", "payload": ENDED},
         "json: unknown variant `sessionEnded`, expected one of `SessionStarted`, "
         "`UtteranceCaptured`, `ToolCalled`, `ToolReturned`, `ModelInvoked`, `UtteranceSpoken`, "
         "`SessionEnded`"),
        ({"type": 3, "payload": ENDED}, "json: invalid type: integer `3`, expected variant identifier"),
        ({"type": ["x"], "payload": ENDED}, "json: invalid type: sequence, expected variant identifier"),
        ("SessionEnded",
         'json: invalid type: string "SessionEnded", expected adjacently tagged enum AgentEvent'),
        (None, "json: invalid type: null, expected adjacently tagged enum AgentEvent"),
        (1.5, "json: invalid type: floating point `1.5`, expected adjacently tagged enum AgentEvent"),
        ([], "json: invalid length 0, expected adjacently tagged enum AgentEvent"),
        (["SessionEnded"], "json: invalid length 1, expected adjacently tagged enum AgentEvent"),
        (["SessionEnded", ENDED, None], "json: invalid length 3, expected fewer elements in array"),
        ({"type": "ToolCalled", "payload": None},
         "json: invalid type: null, expected struct variant AgentEvent::ToolCalled"),
        ({"type": "ToolCalled", "payload": [1]},
         "json: invalid type: sequence, expected struct variant AgentEvent::ToolCalled"),
        ({"type": "ToolCalled", "payload": {"tool_name": "t", "args_sha256": "h"}},
         "json: missing field `args_redacted`"),
        ({"type": "ToolReturned", "payload": {"tool_name": "t", "result_sha256": "r",
                                              "latency_ms": True, "success": True}},
         "json: invalid type: boolean `true`, expected u64"),
        ({"type": "ToolReturned", "payload": {"success": 1}},
         "json: invalid type: integer `1`, expected a boolean"),
        ({"type": "ToolReturned", "payload": {"latency_ms": -5}},
         "json: invalid value: integer `-5`, expected u64"),
        ({"type": "ToolReturned", "payload": {"latency_ms": 3.0}},
         "json: invalid type: floating point `3.0`, expected u64"),
        ({"type": "ModelInvoked", "payload": {"prompt_tokens": 4294967296}},
         "json: invalid value: integer `4294967296`, expected u32"),
        ({"type": "ModelInvoked", "payload": {"prompt_tokens": -1}},
         "json: invalid value: integer `-1`, expected u32"),
        ({"type": "ModelInvoked", "payload": {"prompt_tokens": 7.0}},
         "json: invalid type: floating point `7.0`, expected u32"),
        ({"type": "ModelInvoked", "payload": {"prompt_tokens": "7"}},
         'json: invalid type: string "7", expected u32'),
        ({"type": "SessionEnded", "payload": {"reason": None}},
         "json: invalid type: null, expected a string"),
        ({"type": "SessionEnded", "payload": {"reason": {"a": 1}}},
         "json: invalid type: map, expected a string"),
        ({"type": 'a"b\\c\t', "payload": {}},
         "json: unknown variant `a\"b\\c\t`, expected one of `SessionStarted`, "
         "`UtteranceCaptured`, `ToolCalled`, `ToolReturned`, `ModelInvoked`, `UtteranceSpoken`, "
         "`SessionEnded`"),
        ({"type": "SessionEnded", "payload": {"reason": False}},
         "json: invalid type: boolean `false`, expected a string"),
        ({"type": "SessionEnded", "payload": {"summary_sha256": 5}},
         "json: invalid type: integer `5`, expected a string"),
    ],
)
def test_from_dict_reading_errors(value, message):
    with pytest.raises(SigningError) as excinfo:
        ev.from_dict(value)
    assert str(excinfo.value) == message


def test_found_string_shows_debug_escapes():
    text = "it's\t\"q\"\\ \x00\x01\x7f\u00a0\u00ad\u00e9"
    with pytest.raises(SigningError) as excinfo:
        ev.from_dict({"type": "ToolReturned", "payload": {"latency_ms": text}})
    assert str(excinfo.value) == (
        'json: invalid type: string "it\'s\\t\\"q\\"\\\\ \\0\\u{1}\\u{7f}\\u{a0}\\u{ad}\u00e9", '
        "expected u64"
    )


def test_duplicate_fields_through_a_mapping_with_repeated_keys():
    class Pairs(collections.abc.Mapping):
        def __init__(self, pairs):
            self.pairs = pairs

        def __getitem__(self, key):
            return dict(self.pairs)[key]

        def __iter__(self):
            return iter(k for k, _ in self.pairs)

        def __len__(self):
            return len(self.pairs)

        def keys(self):
            return [k for k, _ in self.pairs]

        def values(self):
            return [v for _, v in self.pairs]

    # Repeated keys collapse into one member (the later value wins), so the
    # event reads as if the key appeared once.
    event = ev.from_dict(Pairs([("type", "X"), ("type", "SessionEnded"), ("payload", ENDED)]))
    assert repr(event) == "AgentEvent(type='SessionEnded')"


def test_from_dict_accepts_other_mapping_shapes():
    assert ev.from_dict(["SessionEnded", ENDED])
    assert ev.from_dict(("SessionEnded", ENDED))
    assert ev.from_dict(types.MappingProxyType({"type": "SessionEnded", "payload": ENDED}))

    @dataclasses.dataclass
    class Tagged:
        type: str
        payload: dict

    assert repr(ev.from_dict(Tagged("SessionEnded", ENDED))) == "AgentEvent(type='SessionEnded')"
    assert ev.from_dict(value={"type": "ToolCalled",
                               "payload": {"tool_name": "t", "args_sha256": "h",
                                           "args_redacted": None}})
    with pytest.raises(TypeError) as excinfo:
        ev.from_dict()
    assert str(excinfo.value) == "from_dict() missing 1 required positional argument: 'value'"
    with pytest.raises(SigningError, match="^JSON number out of range$"):
        ev.from_dict({"type": 2**64})
