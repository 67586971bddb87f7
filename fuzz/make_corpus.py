"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The ledger lines are real: events made by the factories, sealed by
sign_event with a fixed key and written by SignedEvent.to_json. Run it with
the extension installed (`make fuzz-corpus`); it replaces the corpus
directories. Timestamps come from the clock, so each run gives other bytes.
"""

import json
import os
import shutil
import sys
import tempfile
from pathlib import Path

from tallyvox import GENESIS_PARENT_HASH, SigningKeypair, sign_event
from tallyvox import events as ev

ROOT = Path(__file__).resolve().parent / "corpus"

H1 = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"
H2 = "60303ae22b998861bce3b28f33eec1be758a213c86c93c076dbe9f558c11c752"

# Arrays and objects in turn, 120 levels: with the line, the event and the
# payload around it, just under the reader's nesting limit.
DEEP = None
for level in range(120):
    DEEP = [DEEP] if level % 2 else {"d": DEEP}

ARGS = {
    "q": 'caf\u00e9 "quoted" \\ back/slash',
    "control": "\x00\x01\x08\t\n\x0c\r\x1f\x7f",
    "separators": "\u2028\u2029\ufeff",
    "emoji": "\U0001f600 \u65e5\u672c\u8a9e",
    "ints": [0, 1, -1, 2**63 - 1, -(2**63), 2**64 - 1],
    "floats": [0.1, -0.0, 0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
               1e15, 1e16, 1e-5, 1e-6, 123456.789, -2.5, 1.5e-7, 0.30000000000000004],
    "nested": {"b": [None, True, False, {"z": [], "a": {}}], "a": ""},
}


def keypair():
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "key")
        with open(path, "wb") as f:
            f.write(bytes(range(1, 33)))
        return SigningKeypair.load(path)


def events():
    return [
        ("session_started", ev.session_started(agent_id="agent-7", model_id="model-\u00e9",
                                               session_id="s-1")),
        ("utterance_captured", ev.utterance_captured(
            audio_sha256=H1, transcript='h\u00e9llo \u201cthere\u201d\n\t"x" \U0001f3a4',
            lang="fr-CA", duration_ms=2**64 - 1)),
        ("tool_called", ev.tool_called(tool_name="search", args_sha256=H2, args_redacted=ARGS)),
        ("tool_called_deep", ev.tool_called(tool_name="deep", args_sha256=H2, args_redacted=DEEP)),
        ("tool_called_scalar", ev.tool_called(tool_name="t", args_sha256="", args_redacted=-7)),
        ("tool_returned", ev.tool_returned(tool_name="search", result_sha256=H1, latency_ms=0,
                                           success=False)),
        ("model_invoked", ev.model_invoked(model_id="m", prompt_sha256=H1, response_sha256=H2,
                                           prompt_tokens=2**32 - 1, response_tokens=0)),
        ("utterance_spoken", ev.utterance_spoken(text_sha256=H2, text="\u3053\u3093\u306b\u3061\u306f \\n",
                                                 audio_sha256=H1)),
        ("session_ended", ev.session_ended(reason="", summary_sha256=H1)),
    ]


def signed_lines():
    kp = keypair()
    parent = GENESIS_PARENT_HASH
    out = []
    for seq, (name, event) in enumerate(events()):
        signed = sign_event(event=event, seq=seq, parent_hash=parent, keypair=kp)
        parent = signed.self_hash
        out.append((name, signed.to_json().encode()))
    return out


def write(target, name, data):
    directory = ROOT / target
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(data)


def text(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode()


def line_variants(lines):
    name, line = lines[2]  # tool_called
    record = json.loads(line)
    # The record as an array, the event as [tag, payload].
    event = record["event"]
    seven = [record["seq"], record["timestamp_nanos"], [event["type"], event["payload"]],
             record["parent_hash"], record["self_hash"], record["signature"],
             record["signer_pubkey"]]
    yield "array_form", json.dumps(seven, ensure_ascii=False).encode()
    # Members in another order, payload before type, an extra member, spaces
    # and a CRLF end.
    event_text = json.dumps({"payload": event["payload"], "extra": [1, {"x": None}],
                             "type": event["type"]}, indent=1)
    reordered = ('{ "signer_pubkey" : "%s", "event" : %s, "seq": %d, "timestamp_nanos": %d,'
                 ' "note": "\\u00e9\\ud83d\\ude00", "self_hash": "%s", "signature": "%s",'
                 ' "parent_hash": "%s" }\r\n' % (
                     record["signer_pubkey"], event_text, record["seq"], record["timestamp_nanos"],
                     record["self_hash"], record["signature"], record["parent_hash"]))
    yield "reordered", reordered.encode()
    # Escaped forms of what the writer leaves raw.
    escaped = line.decode().replace("\u00e9", "\\u00e9").replace("/", "\\/")
    yield "escaped", escaped.encode()
    yield "torn", line[: len(line) // 2]
    yield "two_records", line + lines[0][1]


def witness_inputs(lines):
    """add-checkpoint bodies over a ledger of the lines, and verifier keys."""
    import base64

    from tallyvox import checkpoint as cp
    from tallyvox._tallyvox import _native

    kp = keypair()
    with tempfile.TemporaryDirectory() as tmp:
        ledger = os.path.join(tmp, "ledger.ndjson")
        with open(ledger, "wb") as f:
            f.write(b"".join(line + b"\n" for _, line in lines))
        note = cp.make_checkpoint(ledger, kp, origin="example.org/log").note
        proof = cp.consistency_proof(ledger, 3, len(lines))

    def body(old, hashes, text):
        return ("".join(f"{x}\n" for x in [f"old {old}", *(base64.b64encode(h).decode() for h in hashes)])
                + "\n" + text).encode()

    public = bytes.fromhex(kp.pubkey_hex)
    text, _, signature = note.rpartition("\n\n")
    cosigned = note + _native.cosign(text + "\n", "w.example", kp, 1700000000)
    yield "body_old_0", body(0, [], note)
    yield "body_with_proof", body(3, proof, note)
    yield "body_equal_sizes", body(len(lines), [], note)
    yield "body_cosigned_note", body(3, proof, cosigned)
    yield "body_extension_lines", body(0, [], f"{text}\nextension line\n\n{signature}")
    yield "vkey_log", _native.format_vkey("example.org/log", public, 1).encode()
    yield "vkey_witness", _native.format_vkey("w.example", public, 4).encode()


def main():
    if ROOT.exists():
        shutil.rmtree(ROOT)
    lines = signed_lines()

    for name, line in lines:
        write("line_reader", name, line)
    for name, data in line_variants(lines):
        write("line_reader", name, data)

    # Ledger inputs: byte 0 % 8 is how many piece sizes follow; 0 feeds the
    # ledger byte by byte.
    plain = b"".join(line + b"\n" for _, line in lines)
    crlf = b"".join(line + b"\r\n" for _, line in lines[:3])
    ledgers = {
        "lf": b"\x03\x05\x40\x01" + plain,
        "crlf_blank": b"\x02\x00\x11" + b"\n \t\n" + crlf + b"\xc2\xa0\n\xe3\x80\x80\r\n",
        "no_final_lf": b"\x01\xff" + plain.rstrip(b"\n"),
        "torn_last": b"\x01\x07" + plain + lines[0][1][:50],
        "bad_utf8": b"\x02\x03\x09" + lines[0][1] + b"\n\xed\xa0\x80\n" + lines[1][1] + b"\n",
        "bom": b"\x01\x20" + b"\xef\xbb\xbf" + plain,
        "two_on_a_line": b"\x01\x80" + lines[0][1] + lines[1][1] + b"\n",
        "byte_by_byte": b"\x00" + b"\n".join(line for _, line in lines[5:]) + b"\n\n",
        "blank_only": b"\x04\x01\x02\x03\x04" + b" \n\r\n\t\n\x0b\x0c\n",
    }
    for name, data in ledgers.items():
        write("ledger_reader", name, data)

    values = {
        "args": ARGS,
        "deep": DEEP,
        "scalars": [None, True, False, 0, -0.0, "", [], {}],
        "big_ints": [18446744073709551615, -9223372036854775808, 9223372036854775807],
        "floats": ARGS["floats"],
    }
    for name, value in values.items():
        write("canonical", name, text(value))
    texts = {
        "too_big_uint": b"[18446744073709551616, -9223372036854775809]",
        "exponents": b"[1e308, 1E-324, 2.5e+3, -0e0, 0.000001e6, 1e-400, 123456789012345678901234567890]",
        "escapes": b'"\\u0000\\u001f\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\uD83D\\uDE00\\u2028"',
        "duplicate_keys": b'{"b":1,"a":2,"b":{"c":3},"\\u0062":4}',
        "whitespace": b' \t\r\n{ "k" : [ 1 , 2 ] }\n ',
        "unicode_keys": '{"\u00e9":1,"e":2,"\uff5e":3,"\U0001f600":4,"E":5,"":6}'.encode(),
        "number_edges": b"[-0, 0.0, -1.5e-323, 4.9406564584124654e-324, 1.7976931348623157e308,"
                        b" 9007199254740993, 0.1e1, 100e-2]",
    }
    for name, data in texts.items():
        write("canonical", name, data)

    for name, data in witness_inputs(lines):
        write("witness", name, data)

    count = sum(1 for _ in ROOT.rglob("*") if _.is_file())
    print(f"wrote {count} files under {ROOT}", file=sys.stderr)


if __name__ == "__main__":
    main()
