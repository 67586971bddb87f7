import collections.abc
import decimal
import hashlib
import json
import math
import pathlib
import random
import struct

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey

import tallyvox as t
from tallyvox import events as ev

GENESIS = "0" * 64
LINE_KEYS = ["seq", "timestamp_nanos", "event", "parent_hash", "self_hash", "signature",
             "signer_pubkey"]


@pytest.fixture(scope="module")
def keypair():
    return t.SigningKeypair.generate()


def chain(keypair, n, parent=GENESIS, start=0):
    out = []
    for i in range(start, start + n):
        event = ev.tool_returned(tool_name=f"t{i}\u00e9", result_sha256="r", latency_ms=i,
                                 success=True)
        r = t.sign_event(event=event, seq=i, parent_hash=parent, keypair=keypair)
        out.append(r)
        parent = r.self_hash
    return out


@pytest.fixture(scope="module")
def ten(keypair):
    return chain(keypair, 10)


def write_records(path, records):
    path.write_text("".join(r.to_json() + "\n" for r in records), encoding="utf-8")


def fields(report):
    return (report.ok, report.status, report.event_count, report.broken_at, report.reason,
            report.root_hash)


# --- ChainReport -------------------------------------------------------------


def test_report_class_shape():
    cls = t.ChainReport
    assert cls.__doc__ == (
        "Result of walking a chain: hashes, signatures, parent links, seq density.")
    assert (cls.__module__, cls.__qualname__) == ("builtins", "ChainReport")
    with pytest.raises(TypeError, match="builtins.ChainReport"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    docs = {name: getattr(cls, name).__doc__ for name in
            ["ok", "status", "event_count", "broken_at", "reason", "root_hash"]}
    assert docs == {
        "ok": "True if every event passed hash, signature, parent-link, and seq checks.",
        "status": "\"valid\" or \"broken\".",
        "event_count": None,
        "broken_at": "Seq of the first failing event, or None if the chain is valid.",
        "reason": None,
        "root_hash": "self_hash of the last valid event walked (genesis sentinel if empty).",
    }
    assert [n for n in vars(cls) if not n.startswith("__")] == list(docs)


def test_function_docstrings():
    assert t.verify_chain.__text_signature__ == "(events)"
    assert t.verify_chain.__doc__ == "Verify an in-memory list of SignedEvent objects."
    assert t.verify_file.__text_signature__ == "(path)"
    assert t.verify_file.__doc__ == (
        "Read an NDJSON ledger file and verify it. A missing file verifies as an\n"
        "empty, valid chain (event_count = 0).")
    assert t.verify_file.__module__ == "tallyvox._tallyvox"


def test_empty_chain_report():
    report = t.verify_chain([])
    assert fields(report) == (True, "valid", 0, None, None, GENESIS)
    assert repr(report) == "ChainReport(ok=true, event_count=0, broken_at=None)"
    for name in ["ok", "status", "event_count", "broken_at", "reason", "root_hash"]:
        with pytest.raises(AttributeError):
            setattr(report, name, 1)
    assert fields(t.verify_chain(())) == fields(t.verify_chain(range(0))) == fields(report)


def test_three_valid_events(ten):
    three = ten[:3]
    report = t.verify_chain(three)
    assert fields(report) == (True, "valid", 3, None, None, three[2].self_hash)
    assert repr(report) == "ChainReport(ok=true, event_count=3, broken_at=None)"
    assert fields(t.verify_chain(tuple(three))) == fields(report)
    assert fields(t.verify_chain(events=three)) == fields(report)


# --- breaks in a list --------------------------------------------------------


def swap(c, i, j):
    c = list(c)
    c[i], c[j] = c[j], c[i]
    return c


def resigned(keypair, c, i, parent):
    """The chain with event i sealed again against `parent`."""
    c = list(c)
    c[i] = t.sign_event(event=ev.session_ended(reason="x", summary_sha256="y"), seq=i,
                        parent_hash=parent, keypair=keypair)
    return c


BREAKS = {
    # name: (list from the ten events, broken_at, reason, index of root_hash or None)
    "wrong-order": (lambda c, k: [c[1], c[0]], 1, "expected seq 0, got 1", None),
    "starts-at-1": (lambda c, k: c[1:], 1, "expected seq 0, got 1", None),
    "swap-3-4": (lambda c, k: swap(c, 3, 4), 4, "expected seq 3, got 4", 2),
    "drop-3": (lambda c, k: c[:3] + c[4:], 4, "expected seq 3, got 4", 2),
    "repeat-3": (lambda c, k: c[:4] + c[3:], 3, "expected seq 4, got 3", 3),
    "first-parent-not-genesis": (lambda c, k: resigned(k, c, 0, "1" * 64), 0,
                                 "parent_hash does not match previous self_hash", None),
    "empty-parent": (lambda c, k: resigned(k, c, 0, ""), 0,
                     "parent_hash does not match previous self_hash", None),
    "relinked-5": (lambda c, k: resigned(k, c, 5, c[3].self_hash), 5,
                   "parent_hash does not match previous self_hash", 4),
    "parent-uppercase": (lambda c, k: resigned(k, c, 5, c[4].self_hash.upper()), 5,
                         "parent_hash does not match previous self_hash", 4),
}


@pytest.mark.parametrize("name", BREAKS)
def test_breaks_in_a_list(keypair, ten, tmp_path, name):
    build, broken_at, reason, root = BREAKS[name]
    events = build(ten, keypair)
    report = t.verify_chain(events)
    root_hash = GENESIS if root is None else ten[root].self_hash
    assert fields(report) == (False, "broken", len(events), broken_at, reason, root_hash)
    assert repr(report) == (
        f"ChainReport(ok=false, event_count={len(events)}, broken_at=Some({broken_at}))")
    # The file walk agrees with the list walk.
    write_records(tmp_path / "l", events)
    assert fields(t.verify_file(tmp_path / "l")) == fields(report)


def test_two_signers_are_valid(ten):
    other = t.SigningKeypair.generate()
    tail = chain(other, 5, parent=ten[4].self_hash, start=5)
    events = ten[:5] + tail
    assert {e.signer_pubkey for e in events} == {ten[0].signer_pubkey, other.pubkey_hex}
    assert fields(t.verify_chain(events)) == (True, "valid", 10, None, None, tail[-1].self_hash)


# --- tampered ledger lines ---------------------------------------------------


def other_pubkey():
    return t.SigningKeypair.generate().pubkey_hex


def flip_last(text):
    return text[:-1] + ("0" if text[-1] != "0" else "1")


def set_payload(name, value):
    def edit(rec):
        rec["event"]["payload"][name] = value
    return edit


def set_field(name, fn):
    def edit(rec):
        rec[name] = fn(rec[name])
    return edit


MISMATCH = "event verification failed: self_hash mismatch"
BAD_SIGNATURE = "event verification failed: key: signature verification failed"
LINK = "parent_hash does not match previous self_hash"

TAMPERED = {
    "latency": (set_payload("latency_ms", 99), MISMATCH),
    "success": (set_payload("success", False), MISMATCH),
    "tool-name": (set_payload("tool_name", "t5"), MISMATCH),
    "timestamp": (set_field("timestamp_nanos", lambda v: v + 1), MISMATCH),
    "self-hash-uppercase": (set_field("self_hash", str.upper), MISMATCH),
    "parent-hash": (set_field("parent_hash", lambda v: "f" * 64), LINK),
    "signature-digit": (set_field("signature", flip_last), BAD_SIGNATURE),
    "signature-odd": (set_field("signature", lambda v: v[:-1]),
                      "event verification failed: key: invalid hex: Odd number of digits"),
    "signature-short": (set_field("signature", lambda v: v[:-2]),
                        "event verification failed: key: invalid key length: expected 64, got 63"),
    "pubkey-zz": (set_field("signer_pubkey", lambda v: "zz" + v[2:]),
                  "event verification failed: key: invalid hex: Invalid character 'z' at "
                  "position 0"),
    "pubkey-31-bytes": (set_field("signer_pubkey", lambda v: v[:-2]),
                        "event verification failed: key: invalid key length: expected 32, got 31"),
    "pubkey-other": (set_field("signer_pubkey", lambda v: other_pubkey()), BAD_SIGNATURE),
}


def rewrite_line(path, index, edit, dump=lambda rec: json.dumps(rec, separators=(",", ":"),
                                                                 ensure_ascii=False)):
    lines = path.read_text(encoding="utf-8").splitlines()
    rec = json.loads(lines[index])
    result = edit(rec)
    lines[index] = dump(rec if result is None else result)
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")


@pytest.mark.parametrize("name", TAMPERED)
def test_tampered_line_breaks_at_it(ten, tmp_path, name):
    edit, reason = TAMPERED[name]
    path = tmp_path / "l"
    write_records(path, ten)
    rewrite_line(path, 5, edit)
    assert fields(t.verify_file(path)) == (False, "broken", 10, 5, reason, ten[4].self_hash)


def reorder(rec):
    return {k: rec[k] for k in reversed(LINE_KEYS)}


HARMLESS = {
    "signature-uppercase": (set_field("signature", str.upper), None),
    "pubkey-uppercase": (set_field("signer_pubkey", str.upper), None),
    "extra-payload-member": (set_payload("note", [1, {"x": None}]), None),
    "extra-event-member": (set_field("event", lambda e: dict(e, extra=True)), None),
    "extra-line-member": (lambda rec: {**rec, "note": {"a": [1, "x"]}}, None),
    "members-reordered": (reorder, None),
    "payload-reordered": (set_field("event", lambda e: {
        "payload": dict(reversed(list(e["payload"].items()))), "type": e["type"]}), None),
    "array-form": (lambda rec: [rec[k] for k in LINE_KEYS], None),
    "ascii-escapes": (lambda rec: None,
                      lambda rec: json.dumps(rec, separators=(",", ":"), ensure_ascii=True)),
    "spaces": (lambda rec: None, lambda rec: " " + json.dumps(rec, indent=None) + " \t"),
}


@pytest.mark.parametrize("name", HARMLESS)
def test_line_changes_the_hash_does_not_cover(ten, tmp_path, name):
    edit, dump = HARMLESS[name]
    path = tmp_path / "l"
    write_records(path, ten)
    if dump is None:
        rewrite_line(path, 5, edit)
    else:
        rewrite_line(path, 5, edit, dump)
    assert fields(t.verify_file(path)) == (True, "valid", 10, None, None, ten[9].self_hash)


# --- verify_file -------------------------------------------------------------


@pytest.mark.parametrize("content", [None, b"", b"\n", b"\n \n\t\r\n\xc2\xa0\n\xe3\x80\x80"],
                         ids=["missing", "empty", "lf", "white-space"])
def test_files_without_events(tmp_path, content):
    path = tmp_path / "does" / "not" / "exist.ndjson"
    if content is not None:
        path.parent.mkdir(parents=True)
        path.write_bytes(content)
    report = t.verify_file(path)
    assert fields(report) == (True, "valid", 0, None, None, GENESIS)
    if content is None:
        assert not path.parent.exists()  # reading creates nothing


def test_session_ledger_verifies(keypair, tmp_path):
    path = tmp_path / "l"
    s = t.Session.open(keypair=keypair, ledger_path=path, session_id="s")
    records = [s.record(ev.session_ended(reason=str(i), summary_sha256="x")) for i in range(3)]
    report = t.verify_file(path)
    assert fields(report) == (True, "valid", 3, None, None, records[2].self_hash)
    assert fields(t.verify_file(str(path))) == fields(report)
    assert fields(t.verify_chain(records)) == fields(report)


def test_crlf_and_blank_lines_read_like_lf(ten, tmp_path):
    path = tmp_path / "l"
    path.write_text("\r\n".join(r.to_json() for r in ten) + "\r\n\r\n  \n", encoding="utf-8")
    assert fields(t.verify_file(path)) == (True, "valid", 10, None, None, ten[9].self_hash)


@pytest.mark.parametrize("tail,message", [
    (lambda line: line[:-1], "EOF while parsing an object"),
    (lambda line: line[:40], "EOF while parsing"),
    (lambda line: "{", "EOF while parsing an object"),
    (lambda line: line + line, "trailing characters"),
    (lambda line: "\ufeff" + line, "expected value"),
    (lambda line: "\u00a0" + line, "expected value"),
    (lambda line: '{"seq":-1}', "invalid value: integer `-1`, expected u64"),
], ids=["torn-last", "torn-middle", "brace", "two-records", "bom", "nbsp", "negative-seq"])
def test_malformed_line_is_a_chain_error(ten, tmp_path, tail, message):
    path = tmp_path / "l"
    line = ten[1].to_json()
    path.write_text(ten[0].to_json() + "\n" + tail(line), encoding="utf-8")
    with pytest.raises(t.ChainError) as excinfo:
        t.verify_file(path)
    text = str(excinfo.value)
    assert text.startswith("malformed ledger input: " + message), text
    assert " at line 1 column " in text
    assert not isinstance(excinfo.value, t.LedgerError)


def test_read_failures_are_ledger_errors(ten, tmp_path):
    with pytest.raises(t.LedgerError) as excinfo:
        t.verify_file(tmp_path)
    assert str(excinfo.value) == "io: not a regular file (a directory)"
    path = tmp_path / "l"
    path.write_bytes(ten[0].to_json().encode() + b"\n\x80\n")
    with pytest.raises(t.LedgerError) as excinfo:
        t.verify_file(path)
    assert str(excinfo.value) == "io: stream did not contain valid UTF-8"
    assert not isinstance(excinfo.value, t.ChainError)


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


def test_path_argument(ten, tmp_path, raises_with_note):
    path = tmp_path / "l"
    write_records(path, ten[:2])
    expected = fields(t.verify_file(str(path)))
    assert fields(t.verify_file(path)) == expected
    assert fields(t.verify_file(FsPath(str(path)))) == expected
    assert fields(t.verify_file(path=str(path))) == expected
    raises_with_note(TypeError, "'bytes' object is not an instance of 'str'", "path",
                     t.verify_file, str(path).encode())
    raises_with_note(TypeError, "'bytes' object is not an instance of 'str'", "path",
                     t.verify_file, FsPath(b"x"))
    raises_with_note(TypeError, None, "path", t.verify_file, 7)
    with pytest.raises(TypeError) as excinfo:
        t.verify_file()
    assert str(excinfo.value) == "verify_file() missing 1 required positional argument: 'path'"


# --- verify_chain arguments --------------------------------------------------


class Str(str):
    pass


def gen(items):
    yield from items


@pytest.mark.parametrize("make,message", [
    (lambda s: "abc", "Can't extract `str` to `Vec`"),
    (lambda s: "", "Can't extract `str` to `Vec`"),
    (lambda s: Str("x"), "Can't extract `str` to `Vec`"),
    (lambda s: iter(s), "'list_iterator' object is not an instance of 'Sequence'"),
    (lambda s: gen(s), "'generator' object is not an instance of 'Sequence'"),
    (lambda s: {0: s[0]}, "'dict' object is not an instance of 'Sequence'"),
    (lambda s: set(), "'set' object is not an instance of 'Sequence'"),
    (lambda s: 3, "'int' object is not an instance of 'Sequence'"),
    (lambda s: None, "'NoneType' object is not an instance of 'Sequence'"),
    (lambda s: [s[0], "x"], "'str' object is not an instance of 'SignedEvent'"),
    (lambda s: [s[0], None], "'NoneType' object is not an instance of 'SignedEvent'"),
    (lambda s: [ev.session_ended(reason="r", summary_sha256="s")],
     "'AgentEvent' object is not an instance of 'SignedEvent'"),
    (lambda s: b"ab", "'int' object is not an instance of 'SignedEvent'"),
], ids=["str", "empty-str", "str-subclass", "iterator", "generator", "dict", "set", "int", "none",
        "str-item", "none-item", "event-item", "bytes"])
def test_verify_chain_refuses(ten, raises_with_note, make, message):
    raises_with_note(TypeError, message, "events", t.verify_chain, make(ten))


class IterOnly(collections.abc.Sequence):
    """Iterates its items, cannot be indexed and fails to report its length."""

    def __init__(self, items, fail=None):
        self.items, self.fail = items, fail

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        raise AssertionError("indexed")

    def __iter__(self):
        yield from self.items
        if self.fail:
            raise self.fail


def test_verify_chain_iterates(ten, raises_with_note):
    assert fields(t.verify_chain(IterOnly(ten[:4]))) == fields(t.verify_chain(ten[:4]))
    raises_with_note(ValueError, "boom", "events", t.verify_chain,
                     IterOnly(ten[:2], ValueError("boom")))


def test_verify_chain_binding():
    for call, message in [
        (lambda: t.verify_chain(),
         "verify_chain() missing 1 required positional argument: 'events'"),
        (lambda: t.verify_chain([], []),
         "verify_chain() takes 1 positional arguments but 2 were given"),
    ]:
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == message


# --- interoperability with an independent implementation ---------------------
#
# The helpers below rebuild the ledger format with the standard library and
# the cryptography package only: the float text, the canonical encoding, the
# line text, the self hash and the Ed25519 signature over the digest bytes.


def float_text(v):
    sign = "-" if math.copysign(1.0, v) < 0 else ""
    v = abs(v)
    if v == 0:
        return sign + "0.0"
    # repr gives the shortest digits that round-trip.
    _, digit_tuple, exponent = decimal.Decimal(repr(v)).normalize().as_tuple()
    digits = "".join(map(str, digit_tuple))
    n = len(digits)
    e = exponent + n - 1
    if e < -5 or e > 15:
        mantissa = digits[0] + ("." + digits[1:] if n > 1 else "")
        return f"{sign}{mantissa}e{'-' if e < 0 else '+'}{abs(e)}"
    if e >= n - 1:
        return sign + digits + "0" * (e - n + 1) + ".0"
    if e >= 0:
        return sign + digits[:e + 1] + "." + digits[e + 1:]
    return sign + "0." + "0" * (-e - 1) + digits


def encode(value, sort):
    """Canonical JSON when `sort`, else the compact line text in member order."""
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return float_text(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, list):
        return "[" + ",".join(encode(v, sort) for v in value) + "]"
    items = sorted(value.items()) if sort else value.items()
    return "{" + ",".join(encode(k, sort) + ":" + encode(v, sort) for k, v in items) + "}"


def hash_input(seq, timestamp, event, parent):
    return encode({"event": event, "parent_hash": parent, "seq": seq,
                   "timestamp_nanos": timestamp}, sort=True).encode()


def has_float(value):
    if isinstance(value, float):
        return True
    if isinstance(value, dict):
        value = list(value.values())
    return isinstance(value, list) and any(has_float(v) for v in value)


def independent_verify(path):
    """Checks a ledger line by line; returns (event count, last self_hash)."""
    raw = pathlib.Path(path).read_bytes()
    assert raw.endswith(b"\n")
    parent = GENESIS
    lines = raw.decode("utf-8").split("\n")[:-1]
    for seq, line in enumerate(lines):
        rec = json.loads(line)
        assert list(rec) == LINE_KEYS
        assert list(rec["event"]) == ["type", "payload"]
        assert encode(rec, sort=False) == line
        assert rec["seq"] == seq
        assert rec["parent_hash"] == parent
        data = hash_input(rec["seq"], rec["timestamp_nanos"], rec["event"], rec["parent_hash"])
        if not has_float(rec):  # then the standard library's encoder agrees
            assert data == json.dumps(
                {k: rec[k] for k in ["event", "parent_hash", "seq", "timestamp_nanos"]},
                sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()
        digest = hashlib.sha256(data).digest()
        assert digest.hex() == rec["self_hash"]
        key = Ed25519PublicKey.from_public_bytes(bytes.fromhex(rec["signer_pubkey"]))
        key.verify(bytes.fromhex(rec["signature"]), digest)
        parent = rec["self_hash"]
    return len(lines), parent


FLOATS = [1.5, 0.1, -2.25, 1.0, -0.0, 0.0, 1e15, 1e16, 1e-5, 1e-6, 1.5e-7, 1.234e-5, 123456.789,
          100.0, 0.30000000000000004, 5e-324, 1.7976931348623157e308, 2.2250738585072014e-308,
          9007199254740993.0, 1.5e300, 4.35e-6, 12345678901234567.0, 0.001]

FLOAT_TABLE = [
    (1.0, "1.0"), (-0.0, "-0.0"), (0.1, "0.1"), (1e15, "1000000000000000.0"), (1e16, "1e+16"),
    (0.00001, "0.00001"), (0.000001, "1e-6"), (1.5e300, "1.5e+300"), (5e-324, "5e-324"),
    (1.5e-7, "1.5e-7"), (100.0, "100.0"), (123456.789, "123456.789"), (0.5, "0.5"),
    (1.234e-5, "0.00001234"), (1.7976931348623157e308, "1.7976931348623157e+308"),
]


@pytest.mark.parametrize("value,text", FLOAT_TABLE, ids=[t for _, t in FLOAT_TABLE])
def test_float_text_table(value, text):
    assert float_text(value) == text
    assert t.canonical_json(value) == text.encode()


def test_float_text_matches_on_random_doubles():
    rng = random.Random(20240611)
    values = []
    while len(values) < 2000:
        v = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(v):
            values.append(v)
    values += [round(rng.uniform(-1e6, 1e6), rng.randrange(0, 8)) for _ in range(1000)]
    values += [rng.randrange(1, 10**6) * 10.0 ** rng.randrange(-30, 30) for _ in range(1000)]
    mismatches = [(v, float_text(v), t.canonical_json(v)) for v in values
                  if t.canonical_json(v) != float_text(v).encode()]
    assert mismatches == []


def test_canonical_encoding_matches():
    value = {"z": {"\U0001f600": 1, "\uff5e": 2, "\u00e9": 3, "z": 4, "B": 5, "a": 6, "aa": 7},
             "": [None, True, False, 2**64 - 1, -2**63, "\u0000\u0007\u000b\u001f\u007f/\u2028"],
             "f": FLOATS}
    assert t.canonical_json(value) == encode(value, sort=True).encode()


INTEROP_EVENTS = [
    {"type": "SessionStarted",
     "payload": {"agent_id": "agent-\u00e9\u4e2d", "model_id": "m\u0000\u001f\u007f\u0085",
                 "session_id": "\U0001f600 \u2028 \"q\" \\ /"}},
    {"type": "UtteranceCaptured",
     "payload": {"audio_sha256": "AB" * 32, "transcript": "l1\nl2\r\t\b\f\u000b\ud7ff\ue000",
                 "lang": "", "duration_ms": 2**64 - 1}},
    {"type": "ToolCalled",
     "payload": {"tool_name": "search", "args_sha256": "",
                 "args_redacted": {"z": 1.5, "B": FLOATS, "\u00e9": {"\uff5e": 2**64 - 1,
                                                                     "\U0001f600": -2**63,
                                                                     "e": None, "d": True},
                                   "": [[], {}, "", 0, -1, 1.0, [[[1e-7]]]]}}},
    {"type": "ToolReturned",
     "payload": {"tool_name": "t", "result_sha256": "r", "latency_ms": 2**64 - 1,
                 "success": True}},
    {"type": "ModelInvoked",
     "payload": {"model_id": "m", "prompt_sha256": "p", "response_sha256": "r",
                 "prompt_tokens": 2**32 - 1, "response_tokens": 0}},
    {"type": "UtteranceSpoken",
     "payload": {"text_sha256": "t", "text": "\u0001\u001e caf\u00e9 \U0010ffff",
                 "audio_sha256": "a"}},
    {"type": "SessionEnded", "payload": {"reason": "", "summary_sha256": "s"}},
]
TIMESTAMPS = [0, 2**64 - 1, 1700000000000000000, 5, 4, 3, 2]  # falling times are allowed
SEED = bytes(range(32))


def independent_write(path, events, timestamps, fault_at=None, fault=None):
    """Writes a ledger with cryptography's Ed25519; returns the self_hashes.
    `fault` replaces the hash input or the signed message at `fault_at`."""
    key = Ed25519PrivateKey.from_private_bytes(SEED)
    pubkey = key.public_key().public_bytes_raw().hex()
    parent, hashes, text = GENESIS, [], ""
    for seq, (event, ts) in enumerate(zip(events, timestamps)):
        data = hash_input(seq, ts, event, parent)
        message = None
        if seq == fault_at:
            data, message = fault(seq, ts, event, parent, data)
        digest = hashlib.sha256(data).digest()
        signature = key.sign(message if message is not None else digest)
        rec = {"seq": seq, "timestamp_nanos": ts, "event": event, "parent_hash": parent,
               "self_hash": digest.hex(), "signature": signature.hex(), "signer_pubkey": pubkey}
        text += encode(rec, sort=False) + "\n"
        parent = digest.hex()
        hashes.append(parent)
    pathlib.Path(path).write_text(text, encoding="utf-8")
    return hashes


def test_independent_writer_ledger_verifies_and_resumes(keypair, tmp_path):
    path = tmp_path / "l"
    hashes = independent_write(path, INTEROP_EVENTS, TIMESTAMPS)
    written = path.read_bytes()
    report = t.verify_file(path)
    assert fields(report) == (True, "valid", 7, None, None, hashes[-1])
    # The same hashes from Python objects, through the value conversion.
    parent = GENESIS
    for seq, (mapping, ts) in enumerate(zip(INTEROP_EVENTS, TIMESTAMPS)):
        event = ev.from_dict(mapping)
        assert t.compute_self_hash(seq=seq, timestamp_nanos=ts, event=event,
                                   parent_hash=parent) == hashes[seq]
        parent = hashes[seq]
    s = t.Session.open(keypair=keypair, ledger_path=path, session_id="resume")
    r = s.record(ev.from_dict(INTEROP_EVENTS[2]))
    assert (r.seq, r.parent_hash) == (7, hashes[-1])
    assert path.read_bytes() == written + (r.to_json() + "\n").encode()
    assert fields(t.verify_file(path)) == (True, "valid", 8, None, None, r.self_hash)
    assert independent_verify(path) == (8, r.self_hash)


def test_session_ledger_passes_the_independent_verifier(keypair, tmp_path):
    path = tmp_path / "l"
    s = t.Session.open(keypair=keypair, ledger_path=path, session_id="s")
    records = [s.record(ev.from_dict(m)) for m in INTEROP_EVENTS + INTEROP_EVENTS[::-1]]
    assert [r.event for r in records] == INTEROP_EVENTS + INTEROP_EVENTS[::-1]
    assert independent_verify(path) == (14, records[-1].self_hash)


def sign_hex_text(seq, ts, event, parent, data):
    return data, hashlib.sha256(data).hexdigest().encode()


def unsorted_input(seq, ts, event, parent, data):
    return encode({"seq": seq, "timestamp_nanos": ts, "event": event, "parent_hash": parent},
                  sort=False).encode(), None


def ascii_escaped_input(seq, ts, event, parent, data):
    return json.dumps(json.loads(data), sort_keys=True, separators=(",", ":")).encode(), None


def repr_floats_input(seq, ts, event, parent, data):
    return json.dumps(json.loads(data), sort_keys=True, separators=(",", ":"),
                      ensure_ascii=False).encode(), None


def sign_canonical_bytes(seq, ts, event, parent, data):
    return data, data


@pytest.mark.parametrize("fault,at,reason", [
    (sign_hex_text, 3, BAD_SIGNATURE),
    (sign_canonical_bytes, 3, BAD_SIGNATURE),
    (unsorted_input, 3, MISMATCH),
    (ascii_escaped_input, 0, MISMATCH),   # non-ASCII text, no floats
    (repr_floats_input, 2, MISMATCH),     # floats such as 1e-06
])
def test_independent_writer_mistakes_are_caught(tmp_path, fault, at, reason):
    path = tmp_path / "l"
    hashes = independent_write(path, INTEROP_EVENTS, TIMESTAMPS, fault_at=at, fault=fault)
    root = hashes[at - 1] if at else GENESIS
    assert fields(t.verify_file(path)) == (False, "broken", 7, at, reason, root)
