import errno
import gc
import json
import os
import pathlib
import resource
import signal
import stat
import sys
import threading

import pytest

import tallyvox as t
from tallyvox import events as ev

GENESIS = "0" * 64

EVENT_DICTS = [
    {"type": "SessionStarted", "payload": {"agent_id": "a\u00e9", "model_id": "m",
                                           "session_id": "s-1"}},
    {"type": "UtteranceCaptured", "payload": {"audio_sha256": "aa",
                                              "transcript": 'q"\\\t\u0001/\U0001f600\u2028',
                                              "lang": "en", "duration_ms": 2**64 - 1}},
    {"type": "ToolCalled", "payload": {"tool_name": "search", "args_sha256": "h",
                                       "args_redacted": {"z": [1, -2**63, None, True],
                                                         "\u00e9": {"b": "", "a": 0}}}},
    {"type": "ToolReturned", "payload": {"tool_name": "search", "result_sha256": "r",
                                         "latency_ms": 0, "success": False}},
    {"type": "ModelInvoked", "payload": {"model_id": "m", "prompt_sha256": "p",
                                         "response_sha256": "r", "prompt_tokens": 0,
                                         "response_tokens": 2**32 - 1}},
    {"type": "UtteranceSpoken", "payload": {"text_sha256": "t", "text": "", "audio_sha256": ""}},
    {"type": "SessionEnded", "payload": {"reason": "done", "summary_sha256": "ab"}},
]
EVENTS = [ev.from_dict(d) for d in EVENT_DICTS]
END = ev.session_ended(reason="done", summary_sha256="ab")


@pytest.fixture(scope="module")
def keypair():
    return t.SigningKeypair.generate()


def open_session(keypair, path, session_id="s"):
    return t.Session.open(keypair=keypair, ledger_path=path, session_id=session_id)


def lines_of(path):
    return [json.loads(line) for line in pathlib.Path(path).read_text().splitlines()
            if line.strip()]


def write_chain(keypair, path, n):
    """A ledger of n records, written by a session that is closed afterwards."""
    session = open_session(keypair, path)
    records = [session.record(END) for _ in range(n)]
    del session
    return records


def assert_links(records):
    parent = GENESIS
    for i, r in enumerate(records):
        assert r.seq == i
        assert r.parent_hash == parent
        parent = r.self_hash


# --- class shape -------------------------------------------------------------


def test_class_shape(keypair, tmp_path):
    with pytest.raises(TypeError, match="builtins.Session"):
        t.Session()
    with pytest.raises(TypeError):
        type("Sub", (t.Session,), {})
    assert (t.Session.__module__, t.Session.__qualname__) == ("builtins", "Session")
    assert t.Session.__doc__ == (
        "One signing session bound to a single ledger file. `record` allocates the\n"
        "next seq, signs against the running parent hash, appends with fsync, and\n"
        "advances the chain. Resumes from any pre-existing events on open.")
    assert t.Session.open.__text_signature__ == (
        "(*, keypair, ledger_path, session_id, checkpoints=None)")
    assert t.Session.open.__doc__ == "Open (or resume) a session writing to `ledger_path`."
    assert t.Session.record.__text_signature__ == "($self, event)"
    assert t.Session.record.__doc__ == (
        "Seal `event`, append it to the ledger, and return the SignedEvent.\n\n"
        "This call fsyncs the ledger before returning (durability), which costs a\n"
        "few milliseconds. On an async backend, wrap it in `asyncio.to_thread`.")
    assert [n for n in vars(t.Session) if not n.startswith("__")] == [
        "open", "record", "record_many", "checkpoint", "close", "session_id", "closed",
        "last_checkpoint"]
    s = open_session(keypair, tmp_path / "l", "x")
    with pytest.raises(AttributeError):
        s.session_id = "y"
    with pytest.raises(AttributeError):
        s.other = 1  # no instance dictionary
    assert s.session_id == "x"


@pytest.mark.parametrize("session_id", ["demo-1", "", "it's \"q\"\n\\", "s\u00e9ance-\U0001f600"])
def test_repr_inserts_the_id_unchanged(keypair, tmp_path, session_id):
    s = open_session(keypair, tmp_path / "l", session_id)
    assert repr(s) == "Session(session_id='" + session_id + "')"
    assert s.session_id == session_id
    s.record(END)
    if session_id:
        # The label is not part of the ledger.
        assert session_id.encode() not in (tmp_path / "l").read_bytes()


# --- recording ---------------------------------------------------------------


def test_file_is_the_concatenation_of_the_returned_lines(keypair, tmp_path):
    path = tmp_path / "a" / "b" / "ledger.ndjson"
    umask = os.umask(0o022)
    os.umask(umask)
    s = open_session(keypair, path)
    assert path.read_bytes() == b""
    assert stat.S_IMODE(path.stat().st_mode) == 0o666 & ~umask  # not private, unlike keys
    records, expected = [], ""
    for event, mapping in zip(EVENTS, EVENT_DICTS):
        r = s.record(event)
        records.append(r)
        expected += r.to_json() + "\n"
        # Each line is on disk, complete, when record returns.
        assert path.read_text(encoding="utf-8") == expected
        assert r.event == mapping
        assert r.signer_pubkey == keypair.pubkey_hex
    assert_links(records)
    report = t.verify_file(path)
    assert (report.ok, report.event_count, report.root_hash) == (True, 7, records[-1].self_hash)


def test_relative_path_creates_missing_directories(keypair, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    s = open_session(keypair, "a/b/ledger.ndjson")
    assert (tmp_path / "a" / "b" / "ledger.ndjson").read_bytes() == b""
    os.chdir(tmp_path / "a")  # later appends go through the open handle
    s.record(END)
    assert len(lines_of(tmp_path / "a" / "b" / "ledger.ndjson")) == 1


class StrPath:
    def __init__(self, p):
        self.p = p

    def __fspath__(self):
        return self.p


@pytest.mark.parametrize("wrap", [str, pathlib.Path, lambda p: StrPath(str(p))],
                         ids=["str", "Path", "PathLike"])
def test_path_forms(keypair, tmp_path, wrap):
    s = open_session(keypair, wrap(tmp_path / "l.ndjson"))
    s.record(END)
    assert len(lines_of(tmp_path / "l.ndjson")) == 1


def test_record_accepts_keyword_and_keeps_the_key_copy(tmp_path):
    kp = t.SigningKeypair.generate()
    pub = kp.pubkey_hex
    s = open_session(kp, tmp_path / "l")
    del kp
    gc.collect()
    r = s.record(event=END)
    assert r.signer_pubkey == pub


# --- resuming ----------------------------------------------------------------


def raw_lines(keypair, seqs, parent=GENESIS):
    """Lines of sign_event records with the given seqs, each linked to the last."""
    out = []
    for seq in seqs:
        r = t.sign_event(event=END, seq=seq, parent_hash=parent, keypair=keypair)
        out.append(r)
        parent = r.self_hash
    return out


def test_resume_after_three_records(keypair, tmp_path):
    path = tmp_path / "l"
    first = write_chain(keypair, path, 3)
    before = path.read_bytes()
    s = open_session(keypair, path)
    assert path.read_bytes() == before  # nothing written at open
    r = s.record(END)
    assert (r.seq, r.parent_hash) == (3, first[2].self_hash)
    assert path.read_bytes() == before + (r.to_json() + "\n").encode()
    assert t.verify_file(path).ok


@pytest.mark.parametrize("layout", [
    "{0}\n{1}\n{2}\n",
    "{0}\n{1}\n{2}",                      # no final LF
    "{0}\r\n{1}\r\n{2}\r\n",
    "{0}\n{1}\n{2}\n\n\n",
    "\n{0}\n \t\n{1}\n\u00a0\n{2}\n\u3000\r\n  \n",
], ids=["lf", "no-final-lf", "crlf", "trailing-blank", "white-space-lines"])
def test_resume_skips_blank_lines(keypair, tmp_path, layout):
    path = tmp_path / "l"
    records = raw_lines(keypair, [0, 1, 2])
    path.write_text(layout.format(*(r.to_json() for r in records)), encoding="utf-8")
    s = open_session(keypair, path)
    r = s.record(END)
    assert (r.seq, r.parent_hash) == (3, records[2].self_hash)


def test_append_after_a_line_without_lf_ends_that_line_first(keypair, tmp_path):
    path = tmp_path / "l"
    records = raw_lines(keypair, [0])
    path.write_text(records[0].to_json())
    r = open_session(keypair, path).record(END)
    assert path.read_text() == records[0].to_json() + "\n" + r.to_json() + "\n"
    report = t.verify_file(path)
    assert (report.ok, report.event_count, report.root_hash) == (True, 2, r.self_hash)


@pytest.mark.parametrize("seqs,expected", [
    ([41], 42),
    ([0, 1, 41], 42),
    ([41, 7, 3], 4),                      # only the last line counts
    ([2**64 - 1], 0),                     # wraps
], ids=["alone", "after-gap", "last-wins", "wraps"])
def test_resume_takes_the_last_seq(keypair, tmp_path, seqs, expected):
    path = tmp_path / "l"
    records = raw_lines(keypair, seqs)
    path.write_text("".join(r.to_json() + "\n" for r in records))
    r = open_session(keypair, path).record(END)
    assert (r.seq, r.parent_hash) == (expected, records[-1].self_hash)


def test_resume_from_another_keys_ledger(keypair, tmp_path):
    path = tmp_path / "l"
    other = t.SigningKeypair.generate()
    first = write_chain(other, path, 2)
    r = open_session(keypair, path).record(END)
    assert (r.seq, r.parent_hash, r.signer_pubkey) == (2, first[1].self_hash, keypair.pubkey_hex)
    # Each event is checked against its own key, so two signers still chain.
    report = t.verify_file(path)
    assert (report.ok, report.event_count) == (True, 3)


def test_resume_from_a_broken_chain(keypair, tmp_path):
    path = tmp_path / "l"
    records = raw_lines(keypair, [0, 5])
    path.write_text("".join(r.to_json() + "\n" for r in records))
    r = open_session(keypair, path).record(END)
    assert (r.seq, r.parent_hash) == (6, records[1].self_hash)
    report = t.verify_file(path)
    assert (report.broken_at, report.reason) == (5, "expected seq 1, got 5")


# --- open failures -----------------------------------------------------------


def os_error_text(code):
    return f"io: {os.strerror(code)} (os error {code})"


@pytest.mark.parametrize("content,message", [
    (b'{"seq":0,"timestamp_nanos":1,"event":{"type":"Sess', "json: EOF while parsing a string"),
    (b"{\n", "json: EOF while parsing an object"),
    (b"[0,1\n", "json: EOF while parsing a list"),
    (b"\xef\xbb\xbf{}\n", "json: expected value"),  # a byte-order mark is not white space
    (b"\xc2\xa0{}\n", "json: expected value"),
], ids=["torn-string", "torn-object", "torn-list", "bom", "nbsp-before-json"])
def test_open_refuses_an_unparsable_line(keypair, tmp_path, content, message):
    path = tmp_path / "l"
    good = raw_lines(keypair, [0])[0].to_json().encode() + b"\n"
    path.write_bytes(good + content)
    with pytest.raises(t.LedgerError) as excinfo:
        open_session(keypair, path)
    text = str(excinfo.value)
    assert text.startswith(message + " at line 1 column "), text
    assert isinstance(excinfo.value, t.TallyvoxError)
    assert path.read_bytes() == good + content


def test_open_refuses_a_line_that_is_not_utf8(keypair, tmp_path):
    path = tmp_path / "l"
    good = raw_lines(keypair, [0])[0].to_json().encode()
    path.write_bytes(good + b"\n\xff\xfe\n" + good + b"\n")
    with pytest.raises(t.LedgerError) as excinfo:
        open_session(keypair, path)
    assert str(excinfo.value) == "io: stream did not contain valid UTF-8"


def test_open_fails_on_paths_that_cannot_be_files(keypair, tmp_path):
    with pytest.raises(t.LedgerError) as excinfo:
        open_session(keypair, tmp_path)
    assert str(excinfo.value) == "io: not a regular file (a directory)"
    (tmp_path / "f").write_bytes(b"")
    with pytest.raises(t.LedgerError) as excinfo:
        open_session(keypair, tmp_path / "f" / "l")
    assert str(excinfo.value).startswith("io: ")
    with pytest.raises(t.LedgerError) as excinfo:
        open_session(keypair, str(tmp_path / "x\0y"))
    assert str(excinfo.value) == "io: file name contained an unexpected NUL byte"


# --- argument errors ---------------------------------------------------------


def test_open_binding_errors(keypair, tmp_path):
    p = str(tmp_path / "l")
    cases = [
        (lambda: t.Session.open(keypair, p, "s"),
         "Session.open() takes 0 positional arguments but 3 were given"),
        (lambda: t.Session.open(keypair=keypair, ledger_path=p),
         "Session.open() missing 1 required keyword argument: 'session_id'"),
        (lambda: t.Session.open(),
         "Session.open() missing 3 required keyword arguments: 'keypair', 'ledger_path', and "
         "'session_id'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == message
    assert not os.path.exists(p)


@pytest.mark.parametrize("kwargs,cls,message,name", [
    (dict(keypair=None, session_id=5), TypeError,
     "'None' is not an instance of 'SigningKeypair'", "keypair"),
    (dict(keypair="k"), TypeError, "'str' object is not an instance of 'SigningKeypair'",
     "keypair"),
    (dict(ledger_path=b"/tmp/l"), TypeError, "'bytes' object is not an instance of 'str'",
     "ledger_path"),
    (dict(ledger_path=StrPath(b"/tmp/l")), TypeError,
     "'bytes' object is not an instance of 'str'", "ledger_path"),
    (dict(ledger_path=3), TypeError, None, "ledger_path"),
    (dict(session_id=b"s"), TypeError, "'bytes' object is not an instance of 'str'",
     "session_id"),
    (dict(session_id="\ud800"), UnicodeEncodeError, None, "session_id"),
], ids=["none-keypair", "str-keypair", "bytes-path", "bytes-fspath", "int-path", "bytes-id",
        "surrogate-id"])
def test_open_conversion_errors(keypair, tmp_path, raises_with_note, kwargs, cls, message,
                                name):
    path = tmp_path / "sub" / "l"
    args = dict(keypair=keypair, ledger_path=str(path), session_id="s")
    args.update(kwargs)
    raises_with_note(cls, message, name, t.Session.open, **args)
    assert not (tmp_path / "sub").exists()  # refused before touching the file system


def test_record_argument_errors(keypair, tmp_path, raises_with_note):
    path = tmp_path / "l"
    s = open_session(keypair, path)
    first = s.record(END)
    before = path.read_bytes()
    raises_with_note(TypeError, "'dict' object is not an instance of 'AgentEvent'", "event",
                     s.record, EVENT_DICTS[0])
    raises_with_note(TypeError, "'None' is not an instance of 'AgentEvent'", "event",
                     s.record, None)
    raises_with_note(TypeError, "'SignedEvent' object is not an instance of 'AgentEvent'",
                     "event", s.record, first)
    for call, message in [
        (lambda: s.record(), "Session.record() missing 1 required positional argument: 'event'"),
        (lambda: s.record(END, END),
         "Session.record() takes 1 positional arguments but 2 were given"),
    ]:
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == message
    assert path.read_bytes() == before
    # Refused calls consume no seq.
    assert s.record(END).seq == 1


# --- append failure ----------------------------------------------------------


@pytest.mark.parametrize("room", [0, 1, 200], ids=["no-byte", "one-byte", "part-line"])
def test_failed_append_leaves_no_trace(keypair, tmp_path, room):
    path = tmp_path / "l"
    s = open_session(keypair, path)
    first = s.record(END)
    size = path.stat().st_size
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    old_handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    try:
        resource.setrlimit(resource.RLIMIT_FSIZE, (size + room, hard))
        with pytest.raises(t.LedgerError) as excinfo:
            s.record(END)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, old_handler)
    assert str(excinfo.value) == os_error_text(errno.EFBIG)
    assert path.stat().st_size == size
    # The failed record took neither the seq nor the parent.
    r = s.record(END)
    assert (r.seq, r.parent_hash) == (1, first.self_hash)
    assert path.read_text() == first.to_json() + "\n" + r.to_json() + "\n"
    report = t.verify_file(path)
    assert (report.ok, report.event_count, report.root_hash) == (True, 2, r.self_hash)


def nested_list(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def test_line_too_deep_to_read_back_is_not_written(keypair, tmp_path):
    # The line itself, the event and the payload add three levels; a reader
    # accepts up to 127.
    path = tmp_path / "l"
    s = open_session(keypair, path)
    deepest = s.record(ev.tool_called(tool_name="x", args_sha256="y",
                                      args_redacted=nested_list(124)))
    before = path.read_bytes()
    with pytest.raises(t.LedgerError) as excinfo:
        s.record(ev.tool_called(tool_name="x", args_sha256="y", args_redacted=nested_list(125)))
    assert str(excinfo.value) == "json: recursion limit exceeded"
    assert path.read_bytes() == before
    r = s.record(END)
    assert (r.seq, r.parent_hash) == (1, deepest.self_hash)
    s.close()
    assert open_session(keypair, path).record(END).seq == 2


# --- threads -----------------------------------------------------------------


def test_threads_share_a_session(keypair, tmp_path):
    path = tmp_path / "l"
    s = open_session(keypair, path)
    per_thread = 50
    results = [[], []]
    errors = []

    def work(out):
        try:
            for _ in range(per_thread):
                out.append(s.record(END))
        except BaseException as e:  # surfaced in the main thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(out,)) for out in results]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors
    assert sorted(r.seq for out in results for r in out) == list(range(2 * per_thread))
    for out in results:  # each thread sees its own calls in order
        assert [r.seq for r in out] == sorted(r.seq for r in out)
    lines = lines_of(path)
    assert [line["seq"] for line in lines] == list(range(2 * per_thread))
    parent = GENESIS
    for line in lines:
        assert line["parent_hash"] == parent
        parent = line["self_hash"]
    report = t.verify_file(path)
    assert (report.ok, report.event_count, report.root_hash) == (True, 100, parent)


def test_record_releases_the_gil(keypair, tmp_path):
    s = open_session(keypair, tmp_path / "l")
    count = 0
    stop = False

    def spin():
        nonlocal count
        while not stop:
            count += 1
            os.sched_yield()  # keeps the GIL free for the main thread between steps

    # With a huge switch interval the spinning thread can only run while the
    # main thread gives the GIL up by itself.
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    th = threading.Thread(target=spin)
    try:
        th.start()
        before = count
        x = 0
        for i in range(200000):  # control: pure Python keeps the GIL
            x += i
        during_python = count - before
        before = count
        for _ in range(20):
            s.record(END)
        during_record = count - before
    finally:
        stop = True
        sys.setswitchinterval(old_interval)
        th.join()
    assert during_python == 0
    assert during_record > 0
