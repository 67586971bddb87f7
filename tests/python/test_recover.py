"""Recovery after a crash: recover_ledger, `tallyvox recover`, and what
`tallyvox verify` says about a torn final line."""
import json
import os

import pytest

import tallyvox as t
from tallyvox import cli
from tallyvox import events as ev

GENESIS = "0" * 64


@pytest.fixture(scope="module")
def lines():
    kp = t.SigningKeypair.generate()
    out, parent = [], GENESIS
    for seq in range(3):
        r = t.sign_event(event=ev.session_ended(reason=f"r{seq}", summary_sha256="s"), seq=seq,
                         parent_hash=parent, keypair=kp)
        out.append(r)
        parent = r.self_hash
    return out


def text(records):
    return b"".join(r.to_json().encode() + b"\n" for r in records)


def torn_files(path):
    return sorted(p for p in path.parent.iterdir() if p.name.startswith(path.name + ".torn-"))


# (ledger bytes from the three lines, kept events, kept bytes, torn bytes)
CASES = {
    "intact": (lambda ls: text(ls), 3, None, b""),
    "torn": (lambda ls: text(ls) + ls[0].to_json().encode()[:77], 3, None, None),
    "torn-inside-a-character": (lambda ls: text(ls[:2]) + b'{"seq":2,"x":"caf\xc3', 2, None, None),
    "whole-without-lf": (lambda ls: text(ls)[:-1], 3, None, b""),
    "blank-tail": (lambda ls: text(ls) + b" \t", 3, None, b""),
    "only-a-piece": (lambda ls: b'{"seq":0,', 0, 0, None),
    "empty": (lambda ls: b"", 0, 0, b""),
}


@pytest.mark.parametrize("case", CASES)
def test_recover_ledger_keeps_complete_lines(tmp_path, lines, case):
    make, events, kept, torn = CASES[case]
    data = make(lines)
    if kept is None:
        kept = data.rfind(b"\n") + 1 if torn is None else len(data)
    if torn is None:
        torn = data[kept:]
    path = tmp_path / "ledger.ndjson"
    path.write_bytes(data)
    done = t.recover_ledger(path)
    assert (done.kept_events, done.kept_bytes, done.removed_bytes) == (events, kept, len(torn))
    assert (done.recovered, done.removed_lines) == (bool(torn), int(bool(torn)))
    assert path.read_bytes() == data[:kept]
    aside = torn_files(path)
    assert [str(p) for p in aside] == ([done.torn_path] if torn else [])
    if torn:
        assert aside[0].read_bytes() == torn
    assert t.verify_file(path).event_count == events


@pytest.mark.parametrize("damage,message", [
    (lambda ls: text(ls[:1]) + b"{\n" + text(ls[1:]), "line 2: json: "),
    (lambda ls: text(ls[:2]) + b"\xff\xfe\n", "line 3: io: stream did not contain valid UTF-8"),
    (lambda ls: text(ls[:2]) + ls[2].to_json().encode() + ls[2].to_json().encode() + b"\n",
     "line 3: json: trailing characters"),
], ids=["torn-line-glued-before-others", "not-utf8", "two-records-on-a-line"])
def test_other_damage_changes_nothing(tmp_path, lines, damage, message, capsys):
    path = tmp_path / "ledger.ndjson"
    data = damage(lines)
    path.write_bytes(data)
    with pytest.raises(t.LedgerError) as excinfo:
        t.recover_ledger(path)
    assert str(excinfo.value).startswith(message)
    assert cli.main(["recover", str(path)]) == 2
    [line] = capsys.readouterr().err.splitlines()
    assert line == f"tallyvox: {path}: {excinfo.value}"
    assert path.read_bytes() == data and torn_files(path) == []


def test_recover_command(tmp_path, lines, capsys):
    path = tmp_path / "ledger.ndjson"
    path.write_bytes(text(lines) + b'{"seq":3')
    assert cli.main(["recover", str(path)]) == 0
    [aside] = torn_files(path)
    assert capsys.readouterr().out.splitlines() == [
        f"{path}: recovered", f"  kept:      3 events ({len(text(lines))} bytes)",
        "  removed:   a torn final line of 8 bytes", f"  torn line: {aside}"]
    assert cli.main(["recover", "--json", str(path)]) == 0
    assert json.loads(capsys.readouterr().out) == {
        "path": str(path), "status": "intact", "kept_events": 3,
        "kept_bytes": len(text(lines)), "removed_lines": 0, "removed_bytes": 0,
        "torn_path": None}
    assert cli.main(["recover", str(tmp_path / "missing")]) == 2
    assert "No such file or directory" in capsys.readouterr().err


@pytest.mark.parametrize("tamper,before", [
    (None, "the 3 events before it verify"),
    (1, "the 3 events before it break at seq 1: event verification failed: self_hash mismatch"),
], ids=["valid-before", "broken-before"])
def test_verify_explains_a_torn_tail(tmp_path, lines, capsys, tamper, before):
    records = [json.loads(r.to_json()) for r in lines]
    if tamper is not None:
        records[tamper]["event"]["payload"]["reason"] = "changed"
    data = b"".join(json.dumps(r, separators=(",", ":")).encode() + b"\n" for r in records)
    path = tmp_path / "ledger.ndjson"
    path.write_bytes(data + b'{"seq":3,"ti')
    assert cli.main(["verify", str(path)]) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err == (f"tallyvox: {path}: the final line is torn (12 bytes, no LF, not a record); "
                   f"{before}; `tallyvox recover {path}` takes it aside\n")
    assert cli.main(["verify", "--json", str(path)]) == 2
    [entry] = json.loads(capsys.readouterr().out)["ledgers"]
    assert entry["status"] == "error" and entry["error"] in err
    torn = entry["torn_tail"]
    assert (torn["bytes"], torn["events_before"], torn["recover"]) == (
        12, 3, f"tallyvox recover {path}")
    if tamper is None:
        assert (torn["status_before"], torn["broken_at"], torn["root_hash"]) == (
            "valid", None, lines[-1].self_hash)
    else:
        assert (torn["status_before"], torn["broken_at"], torn["root_hash"]) == (
            "broken", tamper, lines[tamper - 1].self_hash)
    # After recovery the kept events are judged as any ledger's.
    assert cli.main(["recover", str(path)]) == 0
    assert cli.main(["verify", str(path)]) == (0 if tamper is None else 1)
    capsys.readouterr()
    assert os.path.getsize(path) == len(data)
