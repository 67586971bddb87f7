"""Auditing many ledgers: directories on the command line, verify_many on a
process pool and on a Dask cluster, streams, and the walk on threads."""

import io
import json
import os
import pickle
import random
import subprocess
import sys
import threading
from dataclasses import FrozenInstanceError

import pytest

import tallyvox
from tallyvox import _native, events

KEYPAIR = tallyvox.SigningKeypair.generate()


def ledger_lines(count, seed=0):
    rng = random.Random(seed)
    parent, lines = tallyvox.GENESIS_PARENT_HASH, []
    for seq in range(count):
        event = events.tool_returned(tool_name="t" * rng.randint(1, 300), result_sha256="r",
                                     latency_ms=seq, success=True)
        signed = tallyvox.sign_event(event=event, seq=seq, parent_hash=parent, keypair=KEYPAIR)
        lines.append(signed.to_json())
        parent = signed.self_hash
    return lines


def flip_signature(lines, k):
    record = json.loads(lines[k])
    record["signature"] = ("1" if record["signature"][0] == "0" else "0") + record["signature"][1:]
    lines[k] = json.dumps(record, separators=(",", ":"))


def drop(lines, k):
    del lines[k]


def bump_timestamp(lines, k):
    record = json.loads(lines[k])
    record["timestamp_nanos"] += 1
    lines[k] = json.dumps(record, separators=(",", ":"))


TAMPERS = [flip_signature, drop, bump_timestamp]


def write(path, lines, tail="\n"):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(lines) + tail, encoding="utf-8")
    return path


def report_fields(report):
    return (report.ok, report.status, report.event_count, report.broken_at, report.reason,
            report.root_hash)


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """Valid ledgers at several depths, one broken at seq 5, one torn; and
    files that are not ledgers. Returns (root, {path: expected status})."""
    root = tmp_path_factory.mktemp("fleet")
    expected = {}
    for index, name in enumerate(["a.ndjson", "x/b.ndjson", "x/y/c.ndjson", "z/d.ndjson"]):
        expected[str(write(root / name, ledger_lines(20 + index, seed=index)))] = "valid"
    broken = ledger_lines(12)
    flip_signature(broken, 5)
    expected[str(write(root / "x/broken.ndjson", broken))] = "broken"
    torn = "\n".join(ledger_lines(8))
    (root / "y").mkdir()
    (root / "y/torn.ndjson").write_text(torn[:-30], encoding="utf-8")
    expected[str(root / "y/torn.ndjson")] = "error"
    (root / "notes.txt").write_text("not a ledger")
    return root, expected


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "tallyvox", *map(str, args)],
                          capture_output=True, text=True, timeout=300)


# ---------------------------------------------------------------------------
# the command line over directories


@pytest.mark.parametrize("jobs", [1, 3])
def test_verify_directory_judges_and_lists_every_ledger(tree, jobs):
    root, expected = tree
    document = json.loads(run_cli("verify", "--json", "--jobs", jobs, root).stdout)
    assert [entry["path"] for entry in document["ledgers"]] == sorted(expected)
    assert {e["path"]: e["status"] for e in document["ledgers"]} == expected
    broken = next(e for e in document["ledgers"] if e["status"] == "broken")
    assert (broken["broken_at"], broken["event_count"]) == (5, 12)

    result = run_cli("verify", "--jobs", jobs, root)
    assert result.returncode == 2
    listed = [line.split(":")[0] for line in result.stdout.splitlines() if line.startswith("/")]
    assert listed == sorted(p for p, status in expected.items() if status != "error")
    # Off a terminal stderr holds the complaints and no progress bar.
    [complaint] = result.stderr.splitlines()
    assert complaint.startswith(f"tallyvox: {root / 'y/torn.ndjson'}: the final line is torn (")
    totals = result.stdout.splitlines()[-1]
    events_total = sum(e["event_count"] for e in document["ledgers"])
    assert totals.startswith(f"6 ledgers: 4 valid, 1 broken, 1 unreadable; {events_total} events; ")


@pytest.mark.parametrize("drop_names, code", [(["y/torn.ndjson"], 1),
                                              (["y/torn.ndjson", "x/broken.ndjson"], 0)])
def test_verify_directory_exit_code_is_the_worst(tree, tmp_path, drop_names, code):
    root, _ = tree
    for path in root.rglob("*.ndjson"):
        relative = str(path.relative_to(root))
        if relative not in drop_names:
            write(tmp_path / relative, path.read_text().rstrip("\n").split("\n"))
    result = run_cli("verify", "--jobs", 2, tmp_path, tmp_path / "a.ndjson")
    assert result.returncode == code, result.stderr
    assert f"{7 - len(drop_names)} ledgers:"  # a.ndjson twice in result.stdout.splitlines()[-1]


def test_directory_without_ledgers_is_unreadable(tmp_path):
    result = run_cli("verify", tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith(f"tallyvox: {tmp_path}: ")


@pytest.mark.parametrize("jobs", ["0", "-2", "two"])
def test_jobs_must_be_positive(tmp_path, jobs):
    result = run_cli("verify", "--jobs", jobs, tmp_path)
    assert result.returncode == 2
    assert "not a positive number of jobs" in result.stderr


# ---------------------------------------------------------------------------
# verify_many


def check_verdicts(verdicts, expected):
    by_source = {v.source: v for v in verdicts}
    assert len(by_source) == len(verdicts) == len(expected)
    for source, status in expected.items():
        verdict = by_source[source]
        assert verdict.status == status and verdict.ok == (status == "valid")
        assert (verdict.error is not None) == (status == "error")
        if status != "error":
            path = source.removeprefix("file://")
            report = tallyvox.verify_file(path)
            assert (verdict.event_count, verdict.broken_at, verdict.reason,
                    verdict.root_hash) == report_fields(report)[2:]


@pytest.mark.parametrize("jobs", [1, 2])
def test_verify_many_on_the_local_pool(tree, jobs):
    root, expected = tree
    sources = dict(expected)
    sources[str(root / "missing.ndjson")] = "error"
    sources["file://" + str(root / "a.ndjson")] = "valid"
    sources["nowhere://bucket/ledger.ndjson"] = "error"  # no such protocol
    check_verdicts(list(tallyvox.verify_many(sources, jobs=jobs)), sources)


# A hook for the tests only, which every interpreter of the child below loads
# through sitecustomize: a source whose name holds "kill-me" kills its worker.
KILLER = """
import os, signal
import tallyvox.fleet as fleet
walk = fleet._walk
def killing_walk(source, *args):
    if "kill-me" in source:
        os.kill(os.getpid(), signal.SIGKILL)
    return walk(source, *args)
fleet._walk = killing_walk
"""
MANY = """
import pickle, sys, tallyvox
sys.stdout.buffer.write(pickle.dumps(list(tallyvox.verify_many(sys.argv[2:], jobs=int(sys.argv[1])))))
"""


@pytest.mark.parametrize("jobs", [2, 4])
def test_a_dead_worker_fails_only_the_ledger_it_held(tree, tmp_path, jobs):
    root, expected = tree
    (tmp_path / "hook").mkdir()
    (tmp_path / "hook" / "sitecustomize.py").write_text(KILLER)
    sources = dict(expected)
    for name in ("kill-me-1.ndjson", "x/kill-me-2.ndjson"):
        sources[str(write(tmp_path / name, ledger_lines(3)))] = "error"
    path = os.pathsep.join(filter(None, [str(tmp_path / "hook"), os.environ.get("PYTHONPATH")]))
    result = subprocess.run([sys.executable, "-c", MANY, str(jobs), *sources], capture_output=True,
                            timeout=300, env={**os.environ, "PYTHONPATH": path})
    assert result.returncode == 0, result.stderr.decode()
    verdicts = pickle.loads(result.stdout)
    check_verdicts(verdicts, sources)
    died = {v.source for v in verdicts if v.error == tallyvox.fleet.WORKER_DIED}
    assert died == {source for source in sources if "kill-me" in source}


def test_verify_many_on_a_dask_cluster(tree):
    distributed = pytest.importorskip("distributed")
    root, expected = tree
    sources = dict(expected)
    for path, status in expected.items():
        sources["file://" + path] = status
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            verdicts = list(tallyvox.verify_many(sources, executor=client.get_executor()))
            pids = client.run(os.getpid)
    check_verdicts(verdicts, sources)
    assert len(set(pids.values())) == 2 and os.getpid() not in pids.values()


def test_verify_many_expands_directories_into_frozen_picklable_verdicts(tree):
    root, expected = tree
    verdicts = list(tallyvox.verify_many([root], jobs=1))
    assert [v.source for v in verdicts] == sorted(expected)
    for verdict in verdicts:
        assert pickle.loads(pickle.dumps(verdict)) == verdict
        with pytest.raises(FrozenInstanceError):
            verdict.ok = True


# ---------------------------------------------------------------------------
# streams


class Trickle(io.RawIOBase):
    """Returns reads of 1 to 97 bytes, so lines arrive cut anywhere."""

    def __init__(self, data, seed):
        self.data, self.rng = memoryview(data), random.Random(seed)

    def readable(self):
        return True

    def read(self, size=-1):
        n = min(size, self.rng.randint(1, 97))
        chunk, self.data = bytes(self.data[:n]), self.data[n:]
        return chunk


def piped(data):
    read_fd, write_fd = os.pipe()

    def feed():
        with os.fdopen(write_fd, "wb") as f:
            f.write(data)

    threading.Thread(target=feed, daemon=True).start()
    return os.fdopen(read_fd, "rb", buffering=0)


def fsspec_file(data, tmp_path):
    fsspec = pytest.importorskip("fsspec")
    path = tmp_path / "stream.ndjson"
    path.write_bytes(data)
    return fsspec.open("file://" + str(path), "rb").open()


OPENERS = {
    "bytesio": lambda data, tmp_path: io.BytesIO(data),
    "bytearray": lambda data, tmp_path: type("R", (), {"read": io.BytesIO(bytearray(data)).read1})(),
    "pipe": lambda data, tmp_path: piped(data),
    "trickle": lambda data, tmp_path: Trickle(data, len(data)),
    "fsspec": fsspec_file,
}


def stream_cases():
    lines = ledger_lines(300)
    broken = list(lines)
    flip_signature(broken, 250)
    body = ("\n".join(lines) + "\n").encode()
    return {
        "valid": body,
        "crlf_and_blank": body.replace(b"\n", b"\r\n", 3) + b"\n  \n",
        "no_final_lf": body[:-1],
        "broken": ("\n".join(broken) + "\n").encode(),
        "torn": body[:-50],
        "not_utf8": body + b'{"seq": "\xff"}\n',
        "empty": b"",
    }


@pytest.mark.parametrize("opener", OPENERS)
@pytest.mark.parametrize("case, data", stream_cases().items(), ids=list(stream_cases()))
def test_stream_walk_is_the_file_walk(tmp_path, opener, case, data):
    path = tmp_path / "ledger.ndjson"
    path.write_bytes(data)
    try:
        expected = report_fields(tallyvox.verify_file(path))
    except tallyvox.TallyvoxError as exc:
        with pytest.raises(type(exc)) as raised:
            tallyvox.verify_stream(OPENERS[opener](data, tmp_path))
        assert str(raised.value) == str(exc)
    else:
        assert report_fields(tallyvox.verify_stream(OPENERS[opener](data, tmp_path))) == expected


@pytest.mark.parametrize("fileobj, error", [
    (io.StringIO("{}\n"), TypeError),
    (object(), AttributeError),
    (type("Failing", (), {"read": lambda self, n: 1 / 0})(), ZeroDivisionError),
])
def test_stream_that_is_not_binary_raises(fileobj, error):
    with pytest.raises(error):
        tallyvox.verify_stream(fileobj)


# ---------------------------------------------------------------------------
# one ledger on several threads


@pytest.mark.parametrize("seed", range(12))
def test_parallel_walk_is_the_single_walk(tmp_path, seed):
    rng = random.Random(seed)
    lines = ledger_lines(rng.randint(1, 400), seed)
    for _ in range(rng.randint(0, 3)):
        rng.choice(TAMPERS)(lines, rng.randrange(len(lines)))
        if not lines:
            break
    path = write(tmp_path / "ledger.ndjson", lines)
    single = report_fields(tallyvox.verify_file(path))
    records = [r.to_json() for r in _native.read_ledger(path)]
    for jobs in (1, 2, 5):
        assert report_fields(tallyvox.verify_file_parallel(path, jobs=jobs)) == single
        kept, report = _native.read_verified(path, jobs)
        assert report_fields(report) == single
        assert [r.to_json() for r in kept] == records


def test_parallel_walk_fails_as_verify_file(tmp_path):
    path = write(tmp_path / "ledger.ndjson", ledger_lines(100) + ["{"])
    with pytest.raises(tallyvox.ChainError, match="^malformed ledger input: "):
        tallyvox.verify_file_parallel(path, jobs=2)


@pytest.mark.parametrize("jobs", [0, -1, 1.5, True, None])
def test_parallel_walk_needs_a_positive_job_count(tmp_path, jobs):
    with pytest.raises(ValueError, match="jobs must be a positive integer"):
        tallyvox.verify_file_parallel(tmp_path / "x.ndjson", jobs=jobs)
