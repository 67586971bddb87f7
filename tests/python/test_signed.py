import hashlib
import json

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

import tallyvox as t
from tallyvox import events as ev

HEX = set("0123456789abcdef")
LINE_KEYS = ["seq", "timestamp_nanos", "event", "parent_hash", "self_hash", "signature",
             "signer_pubkey"]


@pytest.fixture(scope="module")
def keypair():
    return t.SigningKeypair.generate()


def independent_check(record):
    """Recomputes the hash with hashlib and checks the signature with the
    cryptography package, from the record's public fields only."""
    hash_input = json.dumps(
        {"event": record.event, "parent_hash": record.parent_hash, "seq": record.seq,
         "timestamp_nanos": record.timestamp_nanos},
        sort_keys=True, separators=(",", ":"), ensure_ascii=False,
    ).encode()
    digest = hashlib.sha256(hash_input).digest()
    assert digest.hex() == record.self_hash
    key = Ed25519PublicKey.from_public_bytes(bytes.fromhex(record.signer_pubkey))
    key.verify(bytes.fromhex(record.signature), digest)  # raises if it does not verify


EVENTS = [
    ev.session_started(agent_id="agent", model_id="m", session_id="s-1"),
    ev.utterance_captured(audio_sha256="aa", transcript='say "hi"\\\t\u0001 / \u00e9 \U0001f600',
                          lang="en", duration_ms=2**64 - 1),
    ev.tool_called(tool_name="search", args_sha256="h",
                   args_redacted={"q": "caf\u00e9", "n": [1, -2, None, True], "z": {"b": 0, "a": 1}}),
    ev.tool_returned(tool_name="search", result_sha256="r", latency_ms=120, success=True),
    ev.model_invoked(model_id="m", prompt_sha256="p", response_sha256="r", prompt_tokens=7,
                     response_tokens=4294967295),
    ev.utterance_spoken(text_sha256="t", text="", audio_sha256="a"),
    ev.session_ended(reason="done", summary_sha256="ab"),
]


@pytest.mark.parametrize("event", EVENTS, ids=lambda e: repr(e))
def test_sealed_record_verifies_independently(keypair, event):
    record = t.sign_event(event=event, seq=5, parent_hash=t.GENESIS_PARENT_HASH, keypair=keypair)
    independent_check(record)
    assert record.seq == 5
    assert record.parent_hash == "0" * 64
    assert record.signer_pubkey == keypair.pubkey_hex
    assert len(record.self_hash) == 64 and set(record.self_hash) <= HEX
    assert len(record.signature) == 128 and set(record.signature) <= HEX
    assert t.compute_self_hash(seq=record.seq, timestamp_nanos=record.timestamp_nanos,
                               event=event, parent_hash=record.parent_hash) == record.self_hash


@pytest.mark.parametrize("event", EVENTS, ids=lambda e: repr(e))
def test_line_text(keypair, event):
    record = t.sign_event(event=event, seq=0, parent_hash="p", keypair=keypair)
    line = record.to_json()
    assert not line.endswith("\n")
    assert "\n" not in line and "\r" not in line
    parsed = json.loads(line)
    assert list(parsed) == LINE_KEYS
    assert list(parsed["event"]) == ["type", "payload"]
    assert parsed["event"] == record.event
    # Compact: the same text as json.dumps without spaces, in member order.
    assert line == json.dumps(parsed, separators=(",", ":"), ensure_ascii=False)


def test_hash_input_example():
    event = ev.session_ended(reason="done", summary_sha256="ab")
    expected_input = (
        b'{"event":{"payload":{"reason":"done","summary_sha256":"ab"},"type":"SessionEnded"},'
        b'"parent_hash":"' + b"0" * 64 + b'","seq":0,"timestamp_nanos":1700000000000000000}'
    )
    got = t.compute_self_hash(seq=0, timestamp_nanos=1700000000000000000, event=event,
                              parent_hash=t.GENESIS_PARENT_HASH)
    assert got == hashlib.sha256(expected_input).hexdigest()


def test_hash_changes_with_every_input():
    event = ev.session_ended(reason="done", summary_sha256="ab")
    base = dict(seq=1, timestamp_nanos=2, event=event, parent_hash="p")
    h = t.compute_self_hash(**base)
    assert t.compute_self_hash(**base) == h
    for change in [dict(seq=2), dict(timestamp_nanos=3), dict(parent_hash="q"),
                   dict(event=ev.session_ended(reason="done", summary_sha256="ac"))]:
        assert t.compute_self_hash(**{**base, **change}) != h


def test_event_getter_and_repr(keypair):
    event = ev.tool_called(tool_name="t", args_sha256="h", args_redacted={"b": [1.5], "a": 2**63})
    record = t.sign_event(event=event, seq=0, parent_hash="not-a-hash", keypair=keypair)
    assert record.parent_hash == "not-a-hash"
    got = record.event
    assert got == {"type": "ToolCalled",
                   "payload": {"tool_name": "t", "args_sha256": "h",
                               "args_redacted": {"b": [1.5], "a": 2**63}}}
    assert list(got["payload"]["args_redacted"]) == ["b", "a"]
    assert record.event is not got
    got["type"] = "changed"
    assert record.event["type"] == "ToolCalled"
    assert repr(record) == f"SignedEvent(seq=0, self_hash='{record.self_hash}')"


def test_class_conventions(keypair):
    record = t.sign_event(event=EVENTS[0], seq=0, parent_hash="", keypair=keypair)
    assert record.parent_hash == ""
    with pytest.raises(AttributeError):
        record.seq = 1
    with pytest.raises(TypeError):
        t.SignedEvent()
    with pytest.raises(TypeError):
        type("X", (t.SignedEvent,), {})
    assert t.SignedEvent.__doc__ == (
        "Read-only view of a sealed, signed event. Construct via Session.record or\n"
        "sign_event; the fields are not settable from Python.")
    assert t.SignedEvent.event.__doc__ == 'The event as its tagged `{"type", "payload"}` mapping.'
    assert t.SignedEvent.to_json.__text_signature__ == "($self)"
    assert t.sign_event.__text_signature__ == "(*, event, seq, parent_hash, keypair)"
    assert t.compute_self_hash.__text_signature__ == "(*, seq, timestamp_nanos, event, parent_hash)"


@pytest.mark.parametrize(
    "kwargs,cls,message,note",
    [
        (dict(seq=-1), OverflowError, None, "seq"),
        (dict(seq=2**64), OverflowError, None, "seq"),
        (dict(event="x"), TypeError, "'str' object is not an instance of 'AgentEvent'", "event"),
        (dict(event=None), TypeError, "'None' is not an instance of 'AgentEvent'", "event"),
        (dict(parent_hash=b"x"), TypeError, "'bytes' object is not an instance of 'str'",
         "parent_hash"),
        (dict(keypair="k"), TypeError, "'str' object is not an instance of 'SigningKeypair'",
         "keypair"),
    ],
)
def test_sign_event_argument_errors(keypair, kwargs, cls, message, note):
    args = dict(event=EVENTS[0], seq=0, parent_hash="", keypair=keypair, **{})
    args.update(kwargs)
    with pytest.raises(cls) as excinfo:
        t.sign_event(**args)
    if message:
        assert str(excinfo.value) == message
    assert excinfo.value.__notes__ == [f"while processing '{note}'"]


def test_binding_errors(keypair):
    with pytest.raises(TypeError) as excinfo:
        t.sign_event(EVENTS[0], 0, "h", keypair)
    assert str(excinfo.value) == "sign_event() takes 0 positional arguments but 4 were given"
    with pytest.raises(OverflowError) as excinfo:
        t.compute_self_hash(seq=2**64, timestamp_nanos=0, event=EVENTS[0], parent_hash="")
    assert excinfo.value.__notes__ == ["while processing 'seq'"]
    with pytest.raises(TypeError) as excinfo:
        t.compute_self_hash(seq=0, timestamp_nanos=0, event=EVENTS[0])
    assert str(excinfo.value) == (
        "compute_self_hash() missing 1 required keyword argument: 'parent_hash'")


def test_sealing_twice_differs_only_by_time(keypair):
    a = t.sign_event(event=EVENTS[0], seq=0, parent_hash="", keypair=keypair)
    b = t.sign_event(event=EVENTS[0], seq=0, parent_hash="", keypair=keypair)
    if a.timestamp_nanos != b.timestamp_nanos:
        assert a.self_hash != b.self_hash and a.signature != b.signature
    else:
        assert a.to_json() == b.to_json()  # deterministic signatures
