"""System-call faults under the ledger, injected with an LD_PRELOAD library.

The library (tests/faults/inject.c) is compiled by a fixture; each case runs
tests/faults/record_child.py under it, with rules that make chosen calls on
the ledger (or on the directories around it) fail, return short or return 0.
The library logs every call it sees on the ledger's directory tree, so each
case also checks that its fault really fired.
"""
import dataclasses
import errno
import json
import os
import pathlib
import subprocess
import sys

import pytest

import tallyvox as t

FAULTS = pathlib.Path(__file__).resolve().parent.parent / "faults"
CHILD = FAULTS / "record_child.py"
GENESIS = "0" * 64
LEDGER = "ledger.ndjson"

# Non-ASCII text and a float, so that short reads can split a character.
EVENT = {"type": "ToolCalled", "payload": {
    "tool_name": "track_parcel", "args_sha256": "ab" * 32,
    "args_redacted": {"parcel": "***1234", "note": "caf\u00e9 \U0001f4e6", "w": 2.5}}}
RECORD_LINE_BYTES = len((t.sign_event(event=t.events.from_dict(EVENT), seq=1,
                                      parent_hash=GENESIS, keypair=t.SigningKeypair.generate())
                         .to_json() + "\n").encode())


def child_env(extra):
    """The environment of a child that imports the same tallyvox as this process."""
    env = dict(os.environ)
    package_parent = str(pathlib.Path(t.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [package_parent, env.get("PYTHONPATH")] if p)
    env.update(extra)
    return env


@dataclasses.dataclass
class Call:
    op: str
    path: str
    arg: int
    result: int
    err: int
    injected: bool


@dataclasses.dataclass
class Run:
    outcomes: list
    calls: list
    ledger: pathlib.Path

    def records(self):
        """Every record that returned, in the order of the calls."""
        out = []
        for o in self.outcomes:
            if o["step"] == "record" and o["ok"]:
                out.append(o)
            out += o.get("records", []) + [e for e in o.get("outcomes", []) if e["ok"]]
        return out

    def ledger_calls(self, op):
        return [c for c in self.calls if c.op == op and c.path == str(self.ledger)]

    def injected(self):
        return [c for c in self.calls if c.injected]


@pytest.fixture
def run(injector, tmp_path):
    """Runs the child's steps on root/<layout> with the given rules."""
    root = tmp_path / "root"
    root.mkdir()

    def go(steps, faults="", layout=LEDGER, **options):
        ledger = root / layout
        log = tmp_path / "calls.log"
        log.unlink(missing_ok=True)
        preload = " ".join(p for p in [os.environ.get("LD_PRELOAD"), str(injector)] if p)
        env = child_env({"LD_PRELOAD": preload, "TALLYVOX_FAULTS_ROOT": str(root),
                         "TALLYVOX_FAULTS_LOG": str(log), "TALLYVOX_FAULTS": faults})
        plan = {"ledger": str(ledger), "event": EVENT, "steps": steps, **options}
        proc = subprocess.run([sys.executable, str(CHILD), json.dumps(plan)], env=env,
                              capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr
        outcomes = [json.loads(line) for line in proc.stdout.splitlines()]
        assert [o["step"] for o in outcomes] == steps
        calls = []
        if log.exists():
            for line in log.read_text().splitlines():
                op, path, arg, result, err, injected = line.split("\t")
                calls.append(Call(op, path, int(arg), int(result), int(err), injected == "1"))
        # Nothing outside the ledger's tree is ever matched.
        assert all(c.path == str(root) or c.path.startswith(str(root) + "/") for c in calls)
        return Run(outcomes, calls, ledger)

    go.root = root
    return go


def os_error_text(code):
    return f"io: {os.strerror(code)} (os error {code})"


def assert_clean_chain(run, count):
    """All steps worked; the file is exactly the returned lines, linked in order."""
    failed = [o for o in run.outcomes if not o["ok"]]
    assert not failed
    assert_returned_lines(run, count)


def assert_returned_lines(run, count):
    """The file is exactly the lines of the records that returned, linked in order."""
    records = run.records()
    assert [r["seq"] for r in records] == list(range(count))
    parent = GENESIS
    for r in records:
        assert r["parent_hash"] == parent
        parent = r["self_hash"]
    assert run.ledger.read_bytes() == "".join(r["line"] + "\n" for r in records).encode()
    report = t.verify_file(run.ledger)
    assert (report.ok, report.event_count, report.root_hash) == (True, count, parent)


def resume_and_record(path):
    session = t.Session.open(keypair=t.SigningKeypair.generate(), ledger_path=path,
                             session_id="after")
    return session.record(t.events.from_dict(EVENT))


# --- the injector itself -------------------------------------------------------


def test_injector_refuses_a_rule_it_cannot_read(injector, tmp_path):
    env = child_env({"LD_PRELOAD": str(injector), "TALLYVOX_FAULTS_ROOT": str(tmp_path),
                     "TALLYVOX_FAULTS": "write:errno=ENOTANERRNO"})
    proc = subprocess.run([sys.executable, "-c", "print(1)"], env=env, capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 97
    assert "unknown errno name: ENOTANERRNO" in proc.stderr


# --- how a healthy append reaches the disk -------------------------------------


def test_each_record_is_one_write_of_line_and_lf_then_one_fdatasync(run):
    r = run(["open"] + ["record"] * 5)
    assert_clean_chain(r, 5)
    ops = [(c.op, c.arg, c.result) for c in r.calls
           if c.path == str(r.ledger) and c.op in ("write", "fdatasync")]
    expected = []
    for rec in r.records():
        n = len(rec["line"].encode()) + 1
        expected += [("write", n, n), ("fdatasync", 0, 0)]
    assert ops == expected


@pytest.mark.parametrize("layout,existing,synced", [
    ("ledger.ndjson", [], [""]),
    ("a/b/ledger.ndjson", [], ["a/b", "a", ""]),
    ("a/b/ledger.ndjson", ["a"], ["a/b", "a"]),
    ("a/ledger.ndjson", ["a"], ["a"]),
    ("a/ledger.ndjson", ["a", "a/ledger.ndjson"], []),
], ids=["new-file", "new-tree", "new-subdir", "new-file-in-dir", "existing-file"])
def test_open_syncs_the_directories_of_what_it_creates(run, layout, existing, synced):
    for name in existing:
        target = run.root / name
        if name.endswith(".ndjson"):
            target.write_bytes(b"")
        else:
            target.mkdir()
    r = run(["open", "record"], layout=layout)
    assert_clean_chain(r, 1)
    as_path = [str(run.root / d) if d else str(run.root) for d in synced]
    fsyncs = [c for c in r.calls if c.op == "fsync"]
    assert [c.path for c in fsyncs] == as_path
    assert all(c.result == 0 for c in fsyncs)
    # Each directory is flushed through a descriptor opened on it, after
    # the entry it lists was made.
    for d in as_path:
        opened = [i for i, c in enumerate(r.calls)
                  if c.op == "open" and c.path == d and c.arg & os.O_DIRECTORY]
        assert opened
        made = [i for i, c in enumerate(r.calls) if c.result >= 0 and (
            (c.op == "mkdir" and os.path.dirname(c.path) == d) or
            (c.op == "open" and c.path == str(r.ledger) and c.arg & os.O_CREAT))]
        assert made and max(made) < opened[0]


# --- failed appends leave no trace ---------------------------------------------

W = f"write:path={LEDGER}"
ENOSPC = "io: No space left on device (os error 28)"
STOPPED = "io: the ledger may end with a partial line; the session must be reopened"


@pytest.mark.parametrize("rules,failures,message,cut", [
    (f"{W}:nth=2:errno=ENOSPC", 1, ENOSPC, False),
    (f"{W}:nth=2:short=40;{W}:nth=3:errno=ENOSPC", 1, ENOSPC, True),
    (f"{W}:nth=2:short={RECORD_LINE_BYTES - 1};{W}:nth=3:errno=ENOSPC", 1, ENOSPC, True),
    (f"{W}:nth=2:short=1;{W}:nth=3:zero", 1, "io: failed to write whole buffer", True),
    (f"{W}:nth=2:zero", 1, "io: failed to write whole buffer", False),
    (f"fdatasync:path={LEDGER}:nth=2:errno=EIO", 1, "io: Input/output error (os error 5)", True),
    (f"fdatasync:path={LEDGER}:nth=2:errno=ENOSPC", 1, ENOSPC, True),
    (f"{W}:nth=2:errno=EDQUOT", 1, os_error_text(errno.EDQUOT), False),
    (f"{W}:nth=2:errno=ENOSPC:times=3", 3, ENOSPC, False),
    (f"{W}:nth=2:short=40;{W}:nth=3:errno=EIO;{W}:nth=4:short=1;{W}:nth=5:errno=EIO", 2,
     "io: Input/output error (os error 5)", True),
], ids=["enospc-before-any-byte", "enospc-mid-line", "enospc-before-lf", "zero-after-a-byte",
        "zero-byte-write", "fdatasync-eio", "fdatasync-enospc", "edquot", "enospc-x3",
        "part-lines-x2"])
def test_failed_append_leaves_no_trace(run, rules, failures, message, cut):
    r = run(["open"] + ["record"] * (failures + 3), faults=rules)
    outcomes = r.outcomes[1:]
    assert [o["ok"] for o in outcomes] == [True] + [False] * failures + [True, True]
    for o in outcomes[1:1 + failures]:
        assert (o["type"], o["message"]) == ("LedgerError", message)
    # The failed records took no seq: the file is exactly the returned lines.
    assert_returned_lines(r, 3)
    cuts = r.ledger_calls("ftruncate")
    assert len(cuts) == (failures if cut else 0)
    head = len(outcomes[0]["line"].encode()) + 1
    assert all(c.result == 0 and c.arg == head for c in cuts)
    resumed = resume_and_record(r.ledger)
    assert (resumed.seq, resumed.parent_hash) == (3, r.records()[-1]["self_hash"])


def test_a_writer_that_cannot_take_back_stops(run):
    # The cut itself fails: the piece stays, and nothing more is written.
    r = run(["open", "record", "record", "record", "open"],
            faults=f"{W}:nth=2:short=40;{W}:nth=3:errno=ENOSPC;ftruncate:errno=EIO")
    assert [o["ok"] for o in r.outcomes] == [True, True, False, False, False]
    assert [o["message"] for o in r.outcomes[2:4]] == [STOPPED, STOPPED]
    first = r.records()[0]
    data = r.ledger.read_bytes()
    head = (first["line"] + "\n").encode()
    assert len(data) == len(head) + 40 and data.startswith(head)
    assert sum(max(c.result, 0) for c in r.ledger_calls("write")) == len(head) + 40
    assert r.outcomes[4]["message"].startswith("json: EOF while parsing")
    # The way back: the piece goes aside, and a new session resumes.
    done = t.recover_ledger(r.ledger)
    assert (done.kept_events, done.kept_bytes, done.removed_bytes) == (1, len(head), 40)
    assert pathlib.Path(done.torn_path).read_bytes() == data[len(head):]
    resumed = resume_and_record(r.ledger)
    assert (resumed.seq, resumed.parent_hash) == (1, first["self_hash"])
    assert t.verify_file(r.ledger).ok


# --- batches: one write and one flush each, taken back whole --------------------


def flushes(run):
    """The ledger's writes and flushes: (bytes of each write, then "sync")."""
    return [c.arg if c.op == "write" else "sync" for c in run.calls
            if c.path == str(run.ledger) and c.op in ("write", "fdatasync")]


@pytest.mark.parametrize("step,options,groups", [
    ("many", {"batch": 10}, [10]),
    ("async", {"batch": 10}, [10]),
    ("async", {"batch": 10, "max_batch": 4}, [4, 4, 2]),
    ("async", {"batch": 4, "max_batch": 1}, [1, 1, 1, 1]),
    # Past 1 MiB of lines a batch closes: three lines of 400 kB each.
    ("async", {"batch": 6, "blob": 400_000}, [3, 3]),
    ("many", {"batch": 6, "blob": 400_000}, [6]),
], ids=["record_many", "async", "async-max-4", "async-max-1", "async-1-mib", "record_many-big"])
def test_a_batch_is_one_write_and_one_fdatasync(run, step, options, groups):
    r = run(["open", step], **options)
    assert_clean_chain(r, sum(groups))
    lines, expected = [len(rec["line"].encode()) + 1 for rec in r.records()], []
    for size in groups:
        expected += [sum(lines[:size]), "sync"]
        del lines[:size]
    assert flushes(r) == expected


@pytest.mark.parametrize("step", ["many", "async"])
@pytest.mark.parametrize("rules,message,cut", [
    (f"{W}:nth=2:errno=ENOSPC", ENOSPC, False),
    (f"{W}:nth=2:short=40;{W}:nth=3:errno=ENOSPC", ENOSPC, True),
    (f"fdatasync:path={LEDGER}:nth=2:errno=EIO", "io: Input/output error (os error 5)", True),
], ids=["before-any-byte", "part-way", "flush"])
def test_a_failed_batch_is_taken_back_whole(run, step, rules, message, cut):
    r = run(["open", "record", step, step], faults=rules, batch=5)
    failed = r.outcomes[2]
    # Every caller of the failed batch gets the error, and none of its lines stays.
    callers = failed["outcomes"] if step == "async" else [failed]
    assert len(callers) == (5 if step == "async" else 1)
    assert all((o["ok"], o["type"], o["message"]) == (False, "LedgerError", message)
               for o in callers)
    assert len(r.ledger_calls("ftruncate")) == (1 if cut else 0)
    # The next batch takes the seq and parent the failed one had.
    assert_returned_lines(r, 6)
    assert [rec["seq"] for rec in r.records()] == list(range(6))


# --- faults the caller never sees -----------------------------------------------

STEPS = ["open", "record", "record", "record", "open", "record", "record"]
WRITES = 5


@pytest.mark.parametrize("rules,layout,injected", [
    (f"write:path={LEDGER}:errno=EINTR", LEDGER, 1),
    (f"write:path={LEDGER}:nth=3:times=5:errno=EINTR", LEDGER, 5),
    (f"fdatasync:path={LEDGER}:nth=2:errno=EINTR", LEDGER, 1),
    (f"open:path={LEDGER}:errno=EINTR", LEDGER, 1),
    (f"open:path={LEDGER}:creat:errno=EINTR", LEDGER, 1),
    ("mkdir:path=/b:times=3:errno=EINTR", "a/b/" + LEDGER, 3),
    ("fsync:times=2:errno=EINTR", "a/" + LEDGER, 2),
    (f"read:path={LEDGER}:nth=2:times=2:errno=EINTR", LEDGER, 2),
    (f"write:path={LEDGER}:short=1:times=0", LEDGER, WRITES * RECORD_LINE_BYTES),
    (f"write:path={LEDGER}:nth=2:short=1", LEDGER, 1),
    (f"write:path={LEDGER}:nth=2:short=100:times=2", LEDGER, 2),
    (f"write:path={LEDGER}:nth=1:short={RECORD_LINE_BYTES - 1}", LEDGER, 1),
    (f"write:path={LEDGER}:nth=2:short=10;write:path={LEDGER}:nth=3:errno=EINTR", LEDGER, 2),
    (f"read:path={LEDGER}:short=1:times=0", LEDGER, None),
    (f"read:path={LEDGER}:short=7:times=0", LEDGER, None),
], ids=["write-eintr", "write-eintr-x5", "fdatasync-eintr", "open-eintr",
        "create-eintr", "mkdir-eintr", "dir-fsync-eintr", "read-eintr", "write-1-byte-each",
        "write-1-byte-once", "write-100-bytes", "write-all-but-lf", "short-then-eintr",
        "read-1-byte-each", "read-7-bytes-each"])
def test_interrupted_and_short_calls_are_invisible(run, rules, layout, injected):
    r = run(STEPS, faults=rules, layout=layout)
    assert_clean_chain(r, WRITES)
    hit = r.injected()
    if injected is None:
        assert len(hit) > WRITES
    else:
        assert len(hit) == injected
    writes = r.ledger_calls("write")
    assert sum(max(c.result, 0) for c in writes) == WRITES * RECORD_LINE_BYTES


# --- failures while opening ------------------------------------------------------


@pytest.mark.parametrize("rule,layout,message,left", [
    (f"open:path={LEDGER}:errno=EACCES", LEDGER, "io: Permission denied (os error 13)", []),
    (f"open:path={LEDGER}:creat:errno=ENOSPC", LEDGER,
     "io: No space left on device (os error 28)", []),
    (f"open:path={LEDGER}:creat:errno=EROFS", "a/" + LEDGER, os_error_text(errno.EROFS), ["a"]),
    ("mkdir:path=/a:errno=EACCES", "a/b/" + LEDGER, "io: Permission denied (os error 13)", []),
    ("mkdir:path=/a/b:nth=2:errno=ENOSPC", "a/b/" + LEDGER,
     "io: No space left on device (os error 28)", ["a"]),
    ("fsync:path=/root:errno=EIO", LEDGER, "io: Input/output error (os error 5)", [LEDGER]),
    ("open:path=/a:errno=EACCES", "a/" + LEDGER, "io: Permission denied (os error 13)",
     ["a", "a/" + LEDGER]),
], ids=["open-eacces", "create-enospc", "create-erofs", "mkdir-eacces", "mkdir-enospc-inner",
        "dir-fsync-eio", "dir-open-eacces"])
def test_open_failures(run, rule, layout, message, left):
    r = run(["open", "record"], faults=rule, layout=layout)
    assert (r.outcomes[0]["ok"], r.outcomes[0].get("type"), r.outcomes[0].get("message")) == (
        False, "LedgerError", message)
    assert len(r.injected()) == 1
    # What was made before the failure stays; nothing else exists.
    made = sorted(str(p.relative_to(run.root)) for p in run.root.rglob("*"))
    assert made == sorted(left)
    # Without the fault the same path opens and records from seq 0.
    again = resume_and_record(r.ledger)
    assert (again.seq, again.parent_hash) == (0, GENESIS)


def test_read_failure_while_resuming(run):
    r = run(["open", "record", "record", "open"],
            faults=f"read:path={LEDGER}:nth=2:errno=EIO")
    assert [o["ok"] for o in r.outcomes] == [True, True, True, False]
    assert (r.outcomes[3]["type"], r.outcomes[3]["message"]) == (
        "LedgerError", "io: Input/output error (os error 5)")
    assert t.verify_file(r.ledger).event_count == 2
