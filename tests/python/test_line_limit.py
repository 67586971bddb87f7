"""The longest line a read takes: each reading function against a model of
the file's lines, the environment variable, and the bound on Session.open."""

import os
import random
import subprocess
import sys
import warnings

import pytest

import tallyvox
from tallyvox import events, line_limit

from report_fixtures import chain

MIB = 1024 * 1024


@pytest.fixture(scope="module")
def ledger(tmp_path_factory):
    """Records of several lengths, with a blank line and a CRLF end among them."""
    path = tmp_path_factory.mktemp("limit") / "ledger.ndjson"
    lines = [record.to_json().encode() for record in chain(
        [events.utterance_spoken(text_sha256="t", text="w" * size, audio_sha256="a")
         for size in (10, 400, 40, 1500, 0, 700)], tallyvox.SigningKeypair.generate())]
    lines.insert(2, b"   ")
    lines[4] += b"\r"
    path.write_bytes(b"\n".join(lines) + b"\n")
    return path


def first_too_long(path, limit):
    """The model: the first line (from 1, blank ones counted) whose bytes
    before its LF number more than `limit`."""
    for number, line in enumerate(path.read_bytes().split(b"\n"), start=1):
        if len(line) > limit:
            return number
    return None


def stream(path, limit):
    with open(path, "rb") as handle:
        return tallyvox.verify_stream(handle, max_line_bytes=limit)


def many(path, limit):
    [verdict] = tallyvox.verify_many([path], jobs=1, max_line_bytes=limit)
    if verdict.error is not None:
        raise tallyvox.ChainError(verdict.error)
    return verdict


def parallel(jobs):
    return lambda path, limit: tallyvox.verify_file_parallel(path, jobs=jobs, max_line_bytes=limit)


MALFORMED = (tallyvox.ChainError, "malformed ledger input: ")
READERS = {  # name: (call, the exception a long line raises, its prefix)
    "read_ledger": (lambda path, limit: tallyvox.read_ledger(path, max_line_bytes=limit),
                    tallyvox.LedgerError, ""),
    "verify_file_parallel-1": (parallel(1), *MALFORMED),
    "verify_file_parallel-3": (parallel(3), *MALFORMED),
    "verify_stream": (stream, *MALFORMED),
    "verify_many": (many, *MALFORMED),
}


def limits(path):
    """Every line length, one less and one more, and a few at random."""
    lengths = {len(line) for line in path.read_bytes().split(b"\n")}
    chosen = {n + d for n in lengths for d in (-1, 0, 1) if n + d > 0}
    return sorted(chosen | set(random.Random(7).sample(range(1, 2000), 8)))


@pytest.mark.parametrize("name", READERS)
def test_a_line_longer_than_the_limit_is_an_error_naming_it(ledger, name):
    call, error, prefix = READERS[name]
    for limit in limits(ledger):
        expected = first_too_long(ledger, limit)
        if expected is None:
            result = call(ledger, limit)
            assert len(result) == 6 if isinstance(result, list) else result.ok, limit
            continue
        with pytest.raises(error) as excinfo:
            call(ledger, limit)
        assert str(excinfo.value) == f"{prefix}line {expected}: longer than {limit} bytes", limit


@pytest.mark.parametrize("value, exception", [(0, ValueError), (-1, OverflowError),
                                              ("64", TypeError), (2**64, OverflowError)])
def test_the_limit_must_be_a_positive_number_of_bytes(ledger, value, exception):
    for name, (call, _, _) in READERS.items():
        if name == "verify_many":  # checked before any source is judged
            with pytest.raises(ValueError, match="max_line_bytes must be a positive integer"):
                call(ledger, value)
            continue
        with pytest.raises(exception) as excinfo:
            call(ledger, value)
        assert "while processing 'max_line_bytes'" in getattr(excinfo.value, "__notes__", [])


@pytest.mark.parametrize("text, limit, warns", [
    (None, 64 * MIB, False), ("", 64 * MIB, False), ("4096", 4096, False), (" 12 ", 12, False),
    (str(2**70), 2**64 - 1, False), ("0", 64 * MIB, True), ("-3", 64 * MIB, True),
    ("lots", 64 * MIB, True), ("1e6", 64 * MIB, True),
])
def test_the_environment_sets_the_default(text, limit, warns):
    environ = {} if text is None else {line_limit.ENVIRONMENT_VARIABLE: text}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert line_limit.max_line_bytes_from(environ) == limit
    assert [w.category for w in caught] == ([RuntimeWarning] if warns else [])


CHILD = """
import sys, tallyvox
keypair = tallyvox.SigningKeypair.generate()
for call in (lambda: tallyvox.verify_file(sys.argv[1]), lambda: tallyvox.read_ledger(sys.argv[1]),
             lambda: tallyvox.Session.open(keypair=keypair, ledger_path=sys.argv[1], session_id="s")):
    try:
        print(call())
    except tallyvox.TallyvoxError as exc:
        print(type(exc).__name__, exc)
"""


@pytest.mark.parametrize("lax", [False, True])
def test_verify_file_and_session_open_follow_the_environment(ledger, lax):
    first = len(ledger.read_bytes().split(b"\n")[0])
    setting = "lots" if lax else str(first)  # "lots": the default, after a warning
    result = subprocess.run([sys.executable, "-c", CHILD, ledger], capture_output=True, text=True,
                            env={**os.environ, line_limit.ENVIRONMENT_VARIABLE: setting},
                            timeout=60)
    assert result.returncode == 0, result.stderr
    printed = result.stdout.splitlines()
    if lax:
        assert printed[0] == "ChainReport(ok=true, event_count=6, broken_at=None)"
        assert printed[2] == "Session(session_id='s')"
        assert "RuntimeWarning" in result.stderr
    else:
        assert printed == [f"ChainError malformed ledger input: line 2: longer than {first} bytes",
                           f"LedgerError line 2: longer than {first} bytes",
                           f"LedgerError line 2: longer than {first} bytes"]


def test_session_open_is_bounded_too(tmp_path):
    path = tmp_path / "sparse.ndjson"
    with open(path, "wb") as handle:
        handle.truncate(64 * MIB + 1)
    keypair = tallyvox.SigningKeypair.generate()
    with pytest.raises(tallyvox.LedgerError) as excinfo:
        tallyvox.Session.open(keypair=keypair, ledger_path=path, session_id="s")
    assert str(excinfo.value) == f"line 1: longer than {64 * MIB} bytes"
