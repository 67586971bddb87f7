import concurrent.futures
import subprocess
import sys

import pytest

import tallyvox
from tallyvox.aio import AsyncSession


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
def verified(capsys):
    """Checks a ledger as `tallyvox verify --require-end` does (exit 0), and
    gives its events as (type, payload) pairs."""
    from tallyvox.cli import main

    def check(path):
        code = main(["verify", "--require-end", str(path)])
        assert code == 0, capsys.readouterr()
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
