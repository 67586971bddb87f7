import concurrent.futures
import contextlib
import io

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
