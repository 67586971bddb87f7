"""read_ledger against the reading that Session.open does: the same records,
or the same error, on every kind of damaged or unusual ledger."""

import pytest

import tallyvox
from tallyvox import _native, events


@pytest.fixture(scope="module")
def lines(tmp_path_factory):
    """Three good ledger lines (bytes, no LF) from one session."""
    path = tmp_path_factory.mktemp("src") / "ledger.ndjson"
    keypair = tallyvox.SigningKeypair.generate()
    session = tallyvox.Session.open(keypair=keypair, ledger_path=str(path), session_id="s")
    for n in range(3):
        session.record(events.session_ended(reason=f"r{n}", summary_sha256="ab"))
    del session
    return path.read_bytes().split(b"\n")[:3]


def build(lines, name):
    a, b, c = lines
    return {
        "plain": a + b"\n" + b + b"\n" + c + b"\n",
        "no-final-lf": a + b"\n" + b + b"\n" + c,
        "crlf": a + b"\r\n" + b + b"\r\n" + c + b"\r\n",
        "blank-lines": b"\n \t\n" + a + b"\n\n" + b + b"\n\r\n" + c + b"\n\n",
        "nbsp-line": a + b"\n\xc2\xa0\xe3\x80\x80\n" + b + b"\n",
        "nbsp-prefixed": a + b"\n\xc2\xa0" + b + b"\n",
        "torn": a + b"\n" + b + b"\n" + c[: len(c) // 2],
        "torn-in-utf8": a + b"\n" + b + b"\n\xe2\x80",
        "invalid-utf8": a + b"\n\xff" + b + b"\n",
        "garbage": a + b"\nnot json\n" + b + b"\n",
        "bare-cr-inside": a + b"\r" + b + b"\n",
        "empty": b"",
    }[name]


CASES = ["plain", "no-final-lf", "crlf", "blank-lines", "nbsp-line", "nbsp-prefixed", "torn",
         "torn-in-utf8", "invalid-utf8", "garbage", "bare-cr-inside", "empty"]


def outcome(fn):
    try:
        return "ok", fn()
    except tallyvox.TallyvoxError as exc:
        return type(exc).__name__, str(exc)


@pytest.mark.parametrize("name", CASES)
def test_read_ledger_agrees_with_session_open(tmp_path, lines, name):
    path = tmp_path / "ledger.ndjson"
    path.write_bytes(build(lines, name))
    kind, records = outcome(lambda: tallyvox.read_ledger(str(path)))
    opened_kind, session = outcome(lambda: tallyvox.Session.open(
        keypair=tallyvox.SigningKeypair.generate(), ledger_path=str(path), session_id="s"))
    if kind != "ok":
        assert (opened_kind, session) == (kind, records)
        assert kind == "LedgerError"
        return
    assert opened_kind == "ok"
    # The session resumes after exactly the records that read_ledger returns.
    if name != "no-final-lf":  # a record appended there would join the last line
        nxt = session.record(events.session_ended(reason="next", summary_sha256="ab"))
        last = records[-1] if records else None
        assert nxt.seq == (last.seq + 1 if last else 0)
        assert nxt.parent_hash == (last.self_hash if last else tallyvox.GENESIS_PARENT_HASH)
    assert [r.to_json().encode() for r in records] == [
        l for l in lines if l in build(lines, name)]


@pytest.mark.parametrize("name,message", [
    ("invalid-utf8", "io: stream did not contain valid UTF-8"),
    ("torn-in-utf8", "io: stream did not contain valid UTF-8"),
    ("garbage", "json: expected ident at line 1 column 2"),
])
def test_read_ledger_error_texts(tmp_path, lines, name, message):
    path = tmp_path / "ledger.ndjson"
    path.write_bytes(build(lines, name))
    with pytest.raises(tallyvox.LedgerError) as excinfo:
        tallyvox.read_ledger(str(path))
    assert str(excinfo.value) == message


@pytest.mark.parametrize("name", CASES)
def test_read_verified_is_read_ledger_plus_the_walk(tmp_path, lines, name):
    path = tmp_path / "ledger.ndjson"
    path.write_bytes(build(lines, name))
    kind, records = outcome(lambda: tallyvox.read_ledger(str(path)))
    verified_kind, pair = outcome(lambda: _native.read_verified(str(path)))
    file_kind, report = outcome(lambda: tallyvox.verify_file(str(path)))
    assert (verified_kind == "ok") == (kind == "ok")
    if kind != "ok":
        assert (verified_kind, pair) == (file_kind, report)
        return
    got, got_report = pair
    assert [r.to_json() for r in got] == [r.to_json() for r in records]
    assert repr(got_report) == repr(report)
    assert (got_report.root_hash, got_report.reason) == (report.root_hash, report.reason)


def test_missing_path_reads_as_empty(tmp_path):
    assert tallyvox.read_ledger(str(tmp_path / "absent.ndjson")) == []
