import concurrent.futures
import contextlib
import io
import subprocess
import sys

import pytest

import tallyvox
from tallyvox import cli
from tallyvox.aio import AsyncSession


def verify_ended(*paths):
    """`tallyvox verify --require-end` over `paths`: each ledger is whole and
    its last event is SessionEnded."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
        code = cli.main(["verify", "--require-end", "--jobs", "1", *map(str, paths)])
    assert code == 0, out.getvalue()


@pytest.fixture
def every_ledger_ends(tmp_path):
    """Every ledger the test leaves under tmp_path passes verify --require-end."""
    yield
    ledgers = sorted(tmp_path.rglob("*.ndjson"))
    if ledgers:
        verify_ended(*ledgers)


class FullDisk(AsyncSession):
    """An AsyncSession whose disk refuses every write after the first
    `room` ones."""

    session_id = "full"

    def __init__(self):
        self.calls = 0
        self.room = 0

    def submit(self, event):
        self.calls += 1
        done = concurrent.futures.Future()
        if self.calls <= self.room:
            done.set_result(None)
        else:
            done.set_exception(tallyvox.LedgerError("disk full"))
        return done


@pytest.fixture
def full_disk():
    return FullDisk()


@pytest.fixture
def verified():
    """Checks a ledger as `tallyvox verify --require-end` does (exit 0), and
    gives its events as (type, payload) pairs."""

    def check(path):
        verify_ended(path)
        return [(s.event["type"], s.event["payload"]) for s in tallyvox.read_ledger(str(path))]

    return check


@pytest.fixture
def strict_mypy(tmp_path):
    """Runs `mypy --strict` in a scratch directory holding `use.py` (the text
    given); gives mypy's output for the targets named."""
    pytest.importorskip("mypy")

    def run(usage, *targets):
        (tmp_path / "use.py").write_text(usage)
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
             str(tmp_path / "cache"), *targets], cwd=tmp_path, capture_output=True, text=True,
            timeout=600).stdout

    return run
