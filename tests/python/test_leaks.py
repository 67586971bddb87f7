"""Memory, reference counts and descriptors stay flat over many calls.

Each entry point runs a warm-up, then N more calls between two readings of
the resident set size (/proc/self/statm); the growth must stay under a small
bound. Reference counts of the classes and of the argument objects, and the
number of open descriptors, must come back exactly.

TALLYVOX_LEAK_CALLS (default 20000) calls per entry point (a quarter of it
for the two that check an Ed25519 signature on every call),
TALLYVOX_LEAK_RECORDS (default 20000) for Session.record, and
TALLYVOX_LEAK_SECONDS (default: no cap) caps each loop's time.
"""
import gc
import itertools
import math
import os
import pathlib
import sys
import time

import pytest

import tallyvox as t
from tallyvox import events as ev

if not os.path.exists("/proc/self/statm"):
    pytest.skip("needs /proc/self/statm", allow_module_level=True)

CALLS = int(os.environ.get("TALLYVOX_LEAK_CALLS", "20000"))
RECORDS = int(os.environ.get("TALLYVOX_LEAK_RECORDS", "20000"))
SECONDS = float(os.environ.get("TALLYVOX_LEAK_SECONDS", "0"))
PAGE = os.sysconf("SC_PAGE_SIZE")
GENESIS = "0" * 64
# Growth allowed over the measured calls: allocator noise, well below what
# keeping even one small object per call would add.
FLOOR = 256 * 1024
PER_CALL = 4



def asan_loaded():
    """AddressSanitizer keeps freed memory in quarantine, so the resident set
    grows without a leak; its own leak checker covers that build instead."""
    with open("/proc/self/maps") as f:
        return any("libasan" in line or "libclang_rt.asan" in line for line in f)


UNDER_ASAN = asan_loaded()

CLASSES = [t.SignedEvent, ev.AgentEvent, t.ChainReport, t.Session, t.SigningKeypair,
           t.SigningError, t.LedgerError, t.ChainError, t.TallyvoxError]


def text(s):
    """A str object of its own (not interned, not shared with constants)."""
    return "".join(list(s))


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def raises(exc, fn, *args, **kwargs):
    """One call that must fail with `exc`; returns its message."""
    try:
        fn(*args, **kwargs)
    except exc as e:
        return str(e)
    raise AssertionError(f"{fn} did not raise {exc.__name__}")


def failing(exc, prefix, fn, *args, **kwargs):
    """A step calling fn, which must fail with `exc` and a message starting
    with `prefix`, the same message every time."""
    message = raises(exc, fn, *args, **kwargs)
    assert message.startswith(prefix), message

    def step():
        again = raises(exc, fn, *args, **kwargs)
        if again != message:
            raise AssertionError(f"{again!r} != {message!r}")
    return step


KEYPAIR = t.SigningKeypair.generate()
FACTORIES = {
    "session_started": dict(agent_id="support-bot", model_id="m", session_id="s-1"),
    "utterance_captured": dict(audio_sha256="aa" * 32, transcript="Where is my parcel? \u00e9",
                               lang="en", duration_ms=2**64 - 1),
    "tool_called": dict(tool_name="track", args_sha256="bb" * 32,
                        args_redacted={"z": [1, -2.5, None, True], "\u00e9": {"k": "v"}}),
    "tool_returned": dict(tool_name="track", result_sha256="cc" * 32, latency_ms=95,
                          success=True),
    "model_invoked": dict(model_id="m", prompt_sha256="p", response_sha256="r",
                          prompt_tokens=812, response_tokens=2**32 - 1),
    "utterance_spoken": dict(text_sha256="t", text="It arrives tomorrow \U0001f4e6",
                             audio_sha256="a"),
    "session_ended": dict(reason="resolved", summary_sha256="22" * 32),
}
EVENT_DICTS = [
    {"type": "SessionStarted", "payload": {"agent_id": "a", "model_id": "m", "session_id": "s"}},
    {"type": "UtteranceCaptured", "payload": {"audio_sha256": "aa", "transcript": "q\u00e9",
                                              "lang": "en", "duration_ms": 1800}},
    {"type": "ToolCalled", "payload": {"tool_name": "t", "args_sha256": "h",
                                       "args_redacted": {"a": [1, 2.5, None], "b": "x"}}},
    {"type": "ToolReturned", "payload": {"tool_name": "t", "result_sha256": "r",
                                         "latency_ms": 0, "success": False}},
    {"type": "ModelInvoked", "payload": {"model_id": "m", "prompt_sha256": "p",
                                         "response_sha256": "r", "prompt_tokens": 1,
                                         "response_tokens": 2}},
    {"type": "UtteranceSpoken", "payload": {"text_sha256": "t", "text": "", "audio_sha256": ""}},
    {"type": "SessionEnded", "payload": {"reason": "done", "summary_sha256": "ab"}},
]


def shared(value):
    """Objects that the interpreter shares everywhere (their counts move)."""
    return value is None or isinstance(value, bool) or (
        type(value) is int and -5 <= value <= 256)


def all_objects(value):
    """value and every member inside it (keys too), shared singletons left out."""
    out = [] if shared(value) else [value]
    if isinstance(value, dict):
        for k, v in value.items():
            out += all_objects(k) + all_objects(v)
    elif isinstance(value, (list, tuple)):
        for v in value:
            out += all_objects(v)
    return out


def fresh(value):
    """A deep copy whose strings, large integers and floats are objects of their own."""
    if isinstance(value, dict):
        return {fresh(k): fresh(v) for k, v in value.items()}
    if isinstance(value, list):
        return [fresh(v) for v in value]
    if isinstance(value, str):
        return text(value)
    if type(value) is int and not shared(value):
        return int(str(value))
    if type(value) is float:
        return float(repr(value))
    return value


# --- entry points: each setup returns (one call, objects whose refcounts are kept) ----

CASES = {}


def case(name, calls=None):
    def register(setup):
        CASES[name] = (setup, calls)
        return setup
    return register


def factory_case(name):
    def setup(tmp):
        kwargs = fresh(FACTORIES[name])
        factory = getattr(ev, name)
        return (lambda: factory(**kwargs)), all_objects(kwargs)
    return setup


for _name in FACTORIES:
    CASES[f"factory-{_name}"] = (factory_case(_name), None)


@case("from_dict")
def _(tmp):
    dicts = [fresh(d) for d in EVENT_DICTS]
    cycle = itertools.cycle(dicts)
    return (lambda: ev.from_dict(next(cycle))), [o for d in dicts for o in all_objects(d)]


def from_dict_error(value, message):
    def setup(tmp):
        v = fresh(value)
        return failing(t.SigningError, message, ev.from_dict, v), all_objects(v)
    return setup


CASES["from_dict-missing-field"] = (from_dict_error(
    {"type": "SessionEnded", "payload": {"reason": "r"}},
    "json: missing field `summary_sha256`"), None)
CASES["from_dict-wrong-type"] = (from_dict_error(
    {"type": "ToolReturned", "payload": {"tool_name": "t", "result_sha256": "r",
                                         "latency_ms": "slow", "success": True}},
    'json: invalid type: string "slow", expected u64'), None)
CASES["from_dict-unknown-variant"] = (from_dict_error(
    {"type": "Nope", "payload": {}},
    "json: unknown variant `Nope`, expected one of `SessionStarted`, `UtteranceCaptured`, "
    "`ToolCalled`, `ToolReturned`, `ModelInvoked`, `UtteranceSpoken`, `SessionEnded`"), None)


@case("canonical_json")
def _(tmp):
    value = fresh({"b": [1, -2**63, 2.5e-7, 1e16, None, True, "caf\u00e9\n\u0001"],
                   "a": {"z": {}, "y": []}, "\u00e9": -0.0})
    assert t.canonical_json(value).startswith(b'{"a":{"y":[],"z":{}},"b":[1,')
    return (lambda: t.canonical_json(value)), all_objects(value)


def canonical_error(value, message):
    def setup(tmp):
        v = fresh(value)
        return failing(t.SigningError, message, t.canonical_json, v), all_objects(v)
    return setup


CASES["canonical_json-nan"] = (canonical_error([1, {"a": math.nan}], "non-finite"), None)
CASES["canonical_json-bytes"] = (canonical_error(
    {"a": [text("x"), b"raw"]}, "invalid type: byte array"), None)
CASES["canonical_json-key"] = (canonical_error(
    {"a": 1, 2: "b"}, "unexpected type: 'int' object is not an instance of 'str'"), None)
CASES["canonical_json-huge-int"] = (canonical_error([2**200], "OverflowError: "), None)


@case("sign_event")
def _(tmp):
    event, parent = ev.session_ended(reason="r", summary_sha256="s"), text(GENESIS)
    return (lambda: t.sign_event(event=event, seq=7, parent_hash=parent, keypair=KEYPAIR)), [
        event, parent, KEYPAIR]


@case("compute_self_hash")
def _(tmp):
    event, parent = ev.from_dict(fresh(EVENT_DICTS[2])), text("ab" * 32)
    return (lambda: t.compute_self_hash(seq=2**64 - 1, timestamp_nanos=1700000000000000000,
                                        event=event, parent_hash=parent)), [event, parent]


def signed_pair():
    e = ev.from_dict(EVENT_DICTS[2])
    s0 = t.sign_event(event=e, seq=0, parent_hash=GENESIS, keypair=KEYPAIR)
    s1 = t.sign_event(event=e, seq=1, parent_hash=s0.self_hash, keypair=KEYPAIR)
    return s0, s1


@case("verify_chain", calls=CALLS // 4)
def _(tmp):
    s0, _ = signed_pair()
    chain = [s0]
    assert t.verify_chain(chain).ok
    return (lambda: t.verify_chain(chain)), [chain, s0]


@case("verify_chain-broken")
def _(tmp):
    s0, s1 = signed_pair()
    chain = (s1, s0)
    assert t.verify_chain(chain).reason == "expected seq 0, got 1"
    return (lambda: t.verify_chain(chain)), [chain, s0, s1]


@case("verify_chain-bad-item")
def _(tmp):
    s0, _ = signed_pair()
    chain = [s0, text("not an event")]
    return failing(TypeError, "'str' object is not an instance of 'SignedEvent'",
                   t.verify_chain, chain), all_objects(chain)


@case("verify_file", calls=CALLS // 4)
def _(tmp):
    s0, _ = signed_pair()
    path = tmp / "valid.ndjson"
    path.write_text(s0.to_json() + "\n")
    p = str(path)
    assert t.verify_file(p).event_count == 1
    return (lambda: t.verify_file(p)), [p]


@case("verify_file-malformed")
def _(tmp):
    s0, _ = signed_pair()
    path = tmp / "torn.ndjson"
    path.write_text("\n" + s0.to_json()[:100])  # torn before any event is verified
    p = str(path)
    return failing(t.ChainError, "malformed ledger input: EOF", t.verify_file, p), [p]


@case("Session.record", calls=RECORDS)
def _(tmp):
    shm = pathlib.Path("/dev/shm")
    base = shm if shm.is_dir() and os.access(shm, os.W_OK) else tmp
    path = base / f"tallyvox-leak-{os.getpid()}-{time.monotonic_ns()}.ndjson"
    session = t.Session.open(keypair=KEYPAIR, ledger_path=path, session_id="leaks")
    event = ev.tool_called(tool_name="t", args_sha256="h", args_redacted={"k": [1, 2.5]})
    tmp.cleanup.append(path)
    return (lambda: session.record(event)), [session, event]


def shm_ledger(tmp, name):
    shm = pathlib.Path("/dev/shm")
    base = shm if shm.is_dir() and os.access(shm, os.W_OK) else tmp
    path = base / f"tallyvox-leak-{name}-{os.getpid()}-{time.monotonic_ns()}.ndjson"
    tmp.cleanup.append(path)
    return path


@case("Session.record_many", calls=RECORDS // 8)
def _(tmp):
    session = t.Session.open(keypair=KEYPAIR, ledger_path=shm_ledger(tmp, "many"),
                             session_id="leaks")
    batch = [ev.from_dict(d) for d in EVENT_DICTS] + [ev.tool_called(
        tool_name="t", args_sha256="h", args_redacted={"k": [1, 2.5]})]
    return (lambda: session.record_many(batch)), [session, batch, *batch]


@case("Session.record_many-wrong-item")
def _(tmp):
    session = t.Session.open(keypair=KEYPAIR, ledger_path=tmp / "l", session_id="leaks")
    batch = [ev.from_dict(EVENT_DICTS[6]), text("not an event")]
    return failing(TypeError, "'str' object is not an instance of 'AgentEvent'",
                   session.record_many, batch), [session, batch, *batch]


@case("record_batches", calls=RECORDS // 8)
def _(tmp):
    from tallyvox import _native
    session = t.Session.open(keypair=KEYPAIR, ledger_path=shm_ledger(tmp, "batches"),
                             session_id="leaks")
    closed = t.Session.open(keypair=KEYPAIR, ledger_path=tmp / "closed", session_id="x")
    closed.close()
    batch = [ev.from_dict(d) for d in EVENT_DICTS]

    def step():
        _native.record_batches(session, batch, 600)  # several batches
        for error in _native.record_batches(closed, batch[:2], 1 << 20):
            if str(error) != "the session is closed":
                raise AssertionError(error)
    return step, [session, closed, batch, *batch]


@case("Session.checkpoint")
def _(tmp):
    session = t.Session.open(keypair=KEYPAIR, ledger_path=tmp / "l", session_id="leaks")
    session.record_many([ev.from_dict(d) for d in EVENT_DICTS])
    origin = text("example.org/leaks")

    def step():
        session.checkpoint(origin)
        session.last_checkpoint
        try:
            session.checkpoint("bad origin")
        except t.CheckpointError:
            pass
    return step, [session, origin]


@case("Session.open-policy", calls=RECORDS // 20)  # an open, a record, a close: three flushes
def _(tmp):
    path, policy = str(tmp / "policy.ndjson"), t.CheckpointPolicy(every_events=1)
    event = ev.from_dict(EVENT_DICTS[6])

    def step():
        with t.Session.open(keypair=KEYPAIR, ledger_path=path, session_id="p",
                            checkpoints=policy) as s:
            s.record(event)  # checkpointed at once
        os.truncate(path, 0)  # so that every open starts from an empty ledger
    return step, [path, policy, event]


@case("SignedEvent-getters")
def _(tmp):
    s0, _ = signed_pair()

    def step():
        s0.seq, s0.timestamp_nanos, s0.event, s0.parent_hash, s0.self_hash
        s0.signature, s0.signer_pubkey, s0.to_json()
    return step, [s0]


@case("ChainReport-getters")
def _(tmp):
    s0, s1 = signed_pair()
    report = t.verify_chain([s1, s0])

    def step():
        report.ok, report.status, report.event_count, report.broken_at, report.reason
        report.root_hash, repr(report)
    return step, [report]


@case("argument-error")
def _(tmp):
    event, seq = ev.session_ended(reason="r", summary_sha256="s"), text("seven")

    def call():
        t.sign_event(event=event, seq=seq, parent_hash=GENESIS, keypair=KEYPAIR)
    return failing(TypeError, "'str' object cannot be interpreted as an integer", call), [
        event, seq]


@case("SigningKeypair.generate")
def _(tmp):
    return (lambda: t.SigningKeypair.generate().pubkey_hex), []


@case("Session.open")
def _(tmp):
    path = tmp / "resume.ndjson"
    t.Session.open(keypair=KEYPAIR, ledger_path=path, session_id="x").record(
        ev.from_dict(EVENT_DICTS[6]))
    p, sid = str(path), text("resume")
    return (lambda: t.Session.open(keypair=KEYPAIR, ledger_path=p, session_id=sid)), [p, sid,
                                                                                      KEYPAIR]


@case("Session.open-unparsable")
def _(tmp):
    path = tmp / "torn.ndjson"
    path.write_text('{"seq":0,"timestamp_nanos":1,"event":{"type":"Sess')
    p = str(path)
    return failing(t.LedgerError, "json: EOF while parsing a string", t.Session.open,
                   keypair=KEYPAIR, ledger_path=p, session_id="x"), [p, KEYPAIR]


class Scratch:
    def __init__(self, path):
        self.path = path
        self.cleanup = []

    def __truediv__(self, name):
        return self.path / name


def run_calls(step, n):
    """Runs up to n calls (fewer if the time cap is hit); returns how many ran."""
    deadline = time.monotonic() + SECONDS if SECONDS > 0 else None
    done = 0
    while done < n:
        batch = min(1000, n - done)
        for _ in range(batch):
            step()
        done += batch
        if deadline is not None and time.monotonic() > deadline:
            break
    return done


@pytest.mark.parametrize("name", list(CASES))
def test_flat_over_many_calls(tmp_path, name):
    setup, calls = CASES[name]
    scratch = Scratch(tmp_path)
    try:
        step, kept = setup(scratch)
        n = calls or CALLS
        fds = open_fds()
        run_calls(step, max(n // 10, 200))  # warm-up: caches, arenas, first growth
        assert open_fds() == fds
        gc.collect()
        refs = [sys.getrefcount(o) for o in kept]
        class_refs = [sys.getrefcount(c) for c in CLASSES]
        before = rss()
        done = run_calls(step, n)
        gc.collect()
        grown = rss() - before
        print(f"\nleak {name}: {done} calls, rss {grown / 1024:+.0f} KiB")
        if not UNDER_ASAN:
            assert grown < max(FLOOR, PER_CALL * done), f"{name}: +{grown} bytes over {done} calls"
        assert [sys.getrefcount(o) for o in kept] == refs
        assert [sys.getrefcount(c) for c in CLASSES] == class_refs
        assert open_fds() == fds
    finally:
        for path in scratch.cleanup:
            path.unlink(missing_ok=True)
