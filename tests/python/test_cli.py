"""The `tallyvox` command line, run as `python -m tallyvox` in a subprocess."""

import json
import os
import time

import pytest

import tallyvox

from report_fixtures import conversation as report_conversation, run_cli

LONG_TRANSCRIPT = "line one\nline two\u2028" + "and a very long tail " * 20


def conversation():
    return report_conversation(transcript=LONG_TRANSCRIPT, tool="search", failed=True)


def record(path, keypair, event_list):
    session = tallyvox.Session.open(keypair=keypair, ledger_path=path, session_id="test")
    return [session.record(event) for event in event_list]


def read_lines(path):
    # Ledger lines end at LF only; a transcript may hold U+2028 raw.
    return path.read_text().rstrip("\n").split("\n")


def write_lines(path, lines):
    path.write_text("\n".join(lines) + "\n")


def utc(nanos):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(nanos // 10**9)) + \
        f".{nanos % 10**9:09d}Z"


def verify_json(*args):
    result = run_cli("verify", "--json", *args)
    return result, json.loads(result.stdout)


@pytest.fixture
def keypair():
    return tallyvox.SigningKeypair.generate()


@pytest.fixture
def ledger(tmp_path, keypair):
    path = tmp_path / "ledger.ndjson"
    return path, record(path, keypair, conversation())


# ---------------------------------------------------------------------------
# verify: valid ledgers


def test_verify_valid_ledger_summary(ledger, keypair):
    path, signed = ledger
    result = run_cli("verify", path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    out = result.stdout
    assert f"{path}: valid" in out
    assert f"events:    {len(signed)}" in out
    assert signed[-1].self_hash in out
    assert keypair.pubkey_hex in out
    assert f"{utc(signed[0].timestamp_nanos)} .. {utc(signed[-1].timestamp_nanos)}" in out


def test_verify_json_matches_the_records(ledger, keypair):
    path, signed = ledger
    result, document = verify_json(path)
    assert result.returncode == 0
    assert document["ok"] is True
    [entry] = document["ledgers"]
    stamps = [s.timestamp_nanos for s in signed]
    assert entry == {
        "path": str(path),
        "ok": True,
        "status": "valid",
        "event_count": len(signed),
        "broken_at": None,
        "reason": None,
        "root_hash": signed[-1].self_hash,
        "signers": [keypair.pubkey_hex],
        "unexpected_signers": [],
        "earliest_timestamp_nanos": min(stamps),
        "latest_timestamp_nanos": max(stamps),
        "earliest_utc": utc(min(stamps)),
        "latest_utc": utc(max(stamps)),
        "timestamps_in_order": True,
        "error": None,
        "torn_tail": None,
    }


@pytest.mark.parametrize("content", ["", "\n  \n\t\n"], ids=["empty", "blank-lines"])
def test_verify_ledger_without_events(tmp_path, content):
    path = tmp_path / "ledger.ndjson"
    path.write_text(content)
    result, document = verify_json(path)
    assert result.returncode == 0
    [entry] = document["ledgers"]
    assert (entry["status"], entry["event_count"], entry["root_hash"], entry["signers"],
            entry["earliest_utc"]) == ("valid", 0, tallyvox.GENESIS_PARENT_HASH, [], None)


def test_verify_span_uses_earliest_and_latest_stamp(ledger):
    # The walk does not compare timestamps; a stamp moved back to the epoch
    # breaks the hash, and the summary's span and order flag still follow it.
    path, signed = ledger
    lines = read_lines(path)
    moved = json.loads(lines[2])
    moved["timestamp_nanos"] = 0
    lines[2] = json.dumps(moved)
    write_lines(path, lines)
    result, document = verify_json(path)
    assert result.returncode == 1
    [entry] = document["ledgers"]
    assert entry["earliest_timestamp_nanos"] == 0
    assert entry["earliest_utc"] == "1970-01-01T00:00:00.000000000Z"
    assert entry["latest_timestamp_nanos"] == max(s.timestamp_nanos for s in signed)
    assert entry["timestamps_in_order"] is False
    assert "(timestamps not in order)" in run_cli("verify", path).stdout


# ---------------------------------------------------------------------------
# verify and show: tampered ledgers


def edit_payload(lines, k):
    record_ = json.loads(lines[k])
    record_["event"]["payload"][next(iter(record_["event"]["payload"]))] = "edited"
    lines[k] = json.dumps(record_, separators=(",", ":"))
    return lines


def flip_signature(lines, k):
    record_ = json.loads(lines[k])
    sig = record_["signature"]
    record_["signature"] = ("1" if sig[0] == "0" else "0") + sig[1:]
    lines[k] = json.dumps(record_, separators=(",", ":"))
    return lines


def edit_timestamp(lines, k):
    record_ = json.loads(lines[k])
    record_["timestamp_nanos"] += 1
    lines[k] = json.dumps(record_, separators=(",", ":"))
    return lines


def drop_line(lines, k):
    del lines[k]
    return lines


def swap_lines(lines, k):
    lines[k], lines[k + 1] = lines[k + 1], lines[k]
    return lines


TAMPERS = [edit_payload, flip_signature, edit_timestamp, drop_line, swap_lines]


@pytest.fixture(params=[(t, k) for t in TAMPERS for k in (0, 3)],
                ids=lambda p: f"{p[0].__name__}-at-{p[1]}")
def tampered(request, ledger):
    tamper, k = request.param
    path, signed = ledger
    write_lines(path, tamper(read_lines(path), k))
    return path, signed, k


def test_verify_tampered_ledger_exits_1(tampered):
    path, signed, k = tampered
    result, document = verify_json(path)
    assert result.returncode == 1
    assert document["ok"] is False
    [entry] = document["ledgers"]
    report = tallyvox.verify_file(path)
    assert entry["status"] == "broken"
    assert entry["broken_at"] == report.broken_at
    assert entry["reason"] == report.reason
    expected_root = signed[k - 1].self_hash if k else tallyvox.GENESIS_PARENT_HASH
    assert entry["root_hash"] == report.root_hash == expected_root
    text = run_cli("verify", path)
    assert text.returncode == 1
    assert f"BROKEN at seq {report.broken_at}: {report.reason}" in text.stdout


def test_show_marks_where_a_tampered_chain_breaks(tampered):
    path, _, k = tampered
    result = run_cli("show", path)
    assert result.returncode == 0
    marked = [i for i, line in enumerate(result.stdout.splitlines())
              if "chain breaks here" in line]
    assert marked == [k]


# ---------------------------------------------------------------------------
# unreadable or malformed inputs


def torn(path, valid):
    text = valid.read_text()
    path.write_text(text[: len(text) - 40])


def garbage_line(path, valid):
    lines = read_lines(valid)
    lines.insert(2, "{")
    write_lines(path, lines)


def not_utf8(path, valid):
    path.write_bytes(valid.read_bytes() + b'{"seq": "\xff"}\n')


def key_file(path, valid):
    tallyvox.SigningKeypair.generate().save(path)


BAD_INPUTS = {
    "missing": (None, "no such file"),
    "torn-last-line": (torn, {"show": "malformed ledger input: ",
                              "verify": "the final line is torn ("}),
    "garbage-line": (garbage_line, "malformed ledger input: "),
    "not-utf8": (not_utf8, "io: "),
    "binary-key-file": (key_file, ""),
    "directory": ("dir", "io: "),
    "under-a-file": ("under-file", ""),
}


@pytest.fixture(params=BAD_INPUTS, ids=str)
def bad_input(request, ledger, tmp_path):
    make, fragment = BAD_INPUTS[request.param]
    valid, _ = ledger
    path = tmp_path / "bad.ndjson"
    if make == "dir":
        path.mkdir()
    elif make == "under-file":
        path = valid / "ledger.ndjson"
    elif make is not None:
        make(path, valid)
    return path, fragment


@pytest.mark.parametrize("command", [["verify"], ["verify", "--json"], ["show"],
                                     ["show", "--json"]], ids=" ".join)
def test_unusable_input_is_one_line_and_exit_2(bad_input, command):
    path, fragment = bad_input
    if isinstance(fragment, dict):
        fragment = fragment[command[0]]
    result = run_cli(*command, path)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    [line] = result.stderr.splitlines()
    assert line.startswith(f"tallyvox: {path}: {fragment}")
    if command == ["verify", "--json"]:
        [entry] = json.loads(result.stdout)["ledgers"]
        assert entry["status"] == "error" and line.endswith(entry["error"])
    elif "--json" not in command:
        assert result.stdout == ""


def test_missing_path_is_not_reported_valid(tmp_path):
    # The library reads a missing ledger as an empty, valid chain; the CLI must not.
    path = tmp_path / "typo.ndjson"
    assert tallyvox.verify_file(path).ok
    result = run_cli("verify", path)
    assert result.returncode == 2
    assert "valid" not in result.stdout + result.stderr
    assert "no such file" in result.stderr


# ---------------------------------------------------------------------------
# several ledgers


@pytest.mark.parametrize("kinds, code", [
    (["valid", "valid"], 0),
    (["valid", "broken"], 1),
    (["broken", "valid"], 1),
    (["valid", "missing"], 2),
    (["missing", "broken"], 2),
])
def test_verify_several_ledgers_worst_result_wins(tmp_path, keypair, kinds, code):
    paths = []
    for index, kind in enumerate(kinds):
        path = tmp_path / f"{index}.ndjson"
        if kind != "missing":
            record(path, keypair, conversation()[:3])
        if kind == "broken":
            write_lines(path, drop_line(read_lines(path), 1))
        paths.append(path)
    result, document = verify_json(*paths)
    assert result.returncode == code
    statuses = [entry["status"] for entry in document["ledgers"]]
    assert statuses == [{"missing": "error"}.get(kind, kind) for kind in kinds]
    assert [entry["path"] for entry in document["ledgers"]] == [str(p) for p in paths]
    text = run_cli("verify", *paths)
    assert text.returncode == code
    readable = [p for p, kind in zip(paths, kinds) if kind != "missing"]
    assert [line.split(":")[0] for line in text.stdout.splitlines()
            if line.startswith(str(tmp_path))] == [str(p) for p in readable]


# ---------------------------------------------------------------------------
# --expect-signer


@pytest.fixture
def two_signer_ledger(tmp_path):
    first, second = tallyvox.SigningKeypair.generate(), tallyvox.SigningKeypair.generate()
    path = tmp_path / "ledger.ndjson"
    record(path, first, conversation()[:2])
    record(path, second, conversation()[2:4])  # resumes the same chain with another key
    return path, first.pubkey_hex, second.pubkey_hex


@pytest.mark.parametrize("expect, code, unexpected", [
    (None, 0, []),
    ("a", 1, ["b"]),
    ("b", 1, ["a"]),
    ("ab", 0, []),
    ("A", 1, ["b"]),  # upper-case form of the first key
    ("AB", 0, []),
    ("x", 1, ["a", "b"]),  # an unrelated key
])
def test_expect_signer_binds_ledger_to_keys(two_signer_ledger, expect, code, unexpected):
    path, a, b = two_signer_ledger
    keys = {"a": a, "b": b, "A": a.upper(), "B": b.upper(),
            "x": tallyvox.SigningKeypair.generate().pubkey_hex}
    options = [] if expect is None else [
        item for letter in expect for item in ("--expect-signer", keys[letter])]
    result, document = verify_json(path, *options)
    assert result.returncode == code
    [entry] = document["ledgers"]
    assert entry["status"] == "valid"  # the chain itself holds
    assert entry["signers"] == [a, b]
    assert entry["unexpected_signers"] == [keys[letter] for letter in unexpected]
    assert entry["ok"] is (code == 0)
    text = run_cli("verify", path, *options)
    assert text.returncode == code
    assert ("not expected" in text.stdout) is bool(unexpected)


@pytest.mark.parametrize("key", ["abc", "g" * 64, "0" * 63, "0" * 65])
def test_expect_signer_refuses_what_is_not_a_key(ledger, key):
    path, _ = ledger
    result = run_cli("verify", path, "--expect-signer", key)
    assert result.returncode == 2
    assert "not a public key" in result.stderr


# ---------------------------------------------------------------------------
# show


def test_show_one_line_per_event(ledger):
    path, signed = ledger
    result = run_cli("show", path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == len(signed)
    for line, event in zip(lines, signed):
        seq, stamp, kind = line.split()[:3]
        assert int(seq) == event.seq
        assert kind == event.event["type"]
        assert stamp == utc(event.timestamp_nanos)[:23] + "Z"
    # The long transcript is shortened and kept on its own line.
    assert LONG_TRANSCRIPT not in result.stdout
    assert max(map(len, lines)) < 200
    assert "FAILED" in lines[4]  # the tool call that did not succeed


def test_show_json_holds_full_payloads(ledger):
    path, signed = ledger
    result = run_cli("show", "--json", path)
    assert result.returncode == 0
    document = json.loads(result.stdout)
    assert document["status"] == "valid"
    assert [(e["seq"], e["type"], e["payload"], e["self_hash"]) for e in document["events"]] == [
        (s.seq, s.event["type"], s.event["payload"], s.self_hash) for s in signed]


# ---------------------------------------------------------------------------
# keygen


def test_keygen_creates_once_then_loads(tmp_path):
    path = tmp_path / "keys" / "agent.key"
    first = run_cli("keygen", path)
    second = run_cli("keygen", path)
    assert first.returncode == second.returncode == 0
    assert first.stdout == second.stdout
    assert first.stdout.strip() == tallyvox.SigningKeypair.load(path).pubkey_hex
    assert path.stat().st_size == 32
    assert path.stat().st_mode & 0o777 == 0o600


@pytest.mark.parametrize("content, fragment", [
    (b"short", "invalid key length"),
    (b"x" * 33, "invalid key length"),
    (None, "io: "),  # a directory
])
def test_keygen_refuses_unusable_key_file(tmp_path, content, fragment):
    path = tmp_path / "agent.key"
    if content is None:
        path.mkdir()
    else:
        path.write_bytes(content)
    result = run_cli("keygen", path)
    assert result.returncode == 2
    [line] = result.stderr.splitlines()
    assert line.startswith(f"tallyvox: {path}: ") and fragment in line
    if content is not None:
        assert path.read_bytes() == content  # never replaced


# ---------------------------------------------------------------------------
# demo


def demo_runs(directory):
    return sorted(p for p in directory.iterdir() if p.is_dir())


def test_demo_records_all_event_types_in_a_fresh_ledger(tmp_path):
    for _ in range(2):
        result = run_cli("demo", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert ": valid" in result.stdout
    runs = demo_runs(tmp_path / "tallyvox-demo")
    assert len(runs) == 2
    keys = set()
    for run in runs:
        ledger_path = run / "ledger.ndjson"
        report = tallyvox.verify_file(ledger_path)
        lines = [json.loads(line) for line in read_lines(ledger_path)]
        assert report.ok and report.event_count == len(lines)
        assert {line["event"]["type"] for line in lines} == {
            "SessionStarted", "UtteranceCaptured", "ToolCalled", "ToolReturned",
            "ModelInvoked", "UtteranceSpoken", "SessionEnded"}
        key = tallyvox.SigningKeypair.load(run / "signing.key").pubkey_hex
        assert {line["signer_pubkey"] for line in lines} == {key}
        keys.add(key)
    assert len(keys) == 2  # a fresh key per run


def test_demo_dir_option_and_printed_command(tmp_path):
    target = tmp_path / "elsewhere" / "demo"
    result = run_cli("demo", "--dir", target)
    assert result.returncode == 0, result.stderr
    [run] = demo_runs(target)
    # The summary ends with a verify command line that holds when run.
    command = result.stdout.strip().splitlines()[-1].split()
    assert command[:2] == ["tallyvox", "verify"]
    again = run_cli(*command[1:])
    assert again.returncode == 0, again.stderr
    assert str(run / "ledger.ndjson") in again.stdout
    assert "the first 8 events match the checkpoint" in again.stdout
    # The session wrote its checkpoint at close: the latest and the one of 8 events.
    [latest] = (run / "checkpoints").glob("*.checkpoint")
    assert f"checkpoint:  {latest}\n" in result.stdout
    assert (latest.with_suffix("") / "8.checkpoint").read_text() == latest.read_text()


def test_demo_reports_unusable_dir(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    result = run_cli("demo", "--dir", blocker)
    assert result.returncode == 2
    [line] = result.stderr.splitlines()
    assert line.startswith("tallyvox: demo: ")


# ---------------------------------------------------------------------------
# command line


@pytest.mark.parametrize("command", [[], ["verify"], ["show"], ["keygen"], ["demo"]],
                         ids=lambda c: " ".join(c) or "top")
def test_help(command):
    result = run_cli(*command, "--help")
    assert result.returncode == 0
    assert result.stdout.startswith(" ".join(["usage: tallyvox", *command]))


@pytest.mark.parametrize("args", [[], ["verify"], ["show"], ["keygen"], ["nope"]],
                         ids=lambda a: " ".join(a) or "nothing")
def test_incomplete_command_line_exits_2(args):
    result = run_cli(*args)
    assert result.returncode == 2
    assert "usage: tallyvox" in result.stderr


def test_main_runs_in_process(ledger, capsys):
    from tallyvox.cli import main

    path, signed = ledger
    assert main(["verify", "--json", str(path)]) == 0
    assert json.loads(capsys.readouterr().out)["ledgers"][0]["event_count"] == len(signed)
    assert os.path.exists(path)


def test_verify_ignores_lines_appended_after_the_walk(ledger, capsys, monkeypatch):
    # A writer may be appending while an auditor verifies: the summary covers
    # the events that were walked, not a half-written line that came later.
    from tallyvox.cli import main

    path, signed = ledger
    walk = tallyvox.verify_file

    def walk_then_append(target):
        report = walk(target)
        with open(target, "a") as handle:
            handle.write(signed[0].to_json()[:50])
        return report

    monkeypatch.setattr(tallyvox, "verify_file", walk_then_append)
    assert main(["verify", "--json", str(path)]) == 0
    [entry] = json.loads(capsys.readouterr().out)["ledgers"]
    assert entry["event_count"] == len(signed)
    assert entry["latest_timestamp_nanos"] == signed[-1].timestamp_nanos
