"""Routing conversations to ledgers: one file per key, opened on first use,
closed when the conversation ends, and no two keys in one file."""
import os

import pytest

import tallyvox as t
from tallyvox import events as ev
from tallyvox.aio import AsyncSession
from tallyvox.integrations.routing import LedgerRouter, as_router, file_name_for

END = ev.session_ended(reason="done", summary_sha256="ab")

pytestmark = pytest.mark.usefixtures("every_ledger_ends")


@pytest.mark.parametrize("keys", [
    ["trace_1", "trace_2"], ["a/b", "a%2Fb", "a_b"], [".", "..", ""], ["x" * 300, "x" * 301],
    ["é", "e"],
])
def test_distinct_keys_get_distinct_files_inside_the_directory(keys):
    names = [file_name_for(k) for k in keys]
    assert len(set(names)) == len(keys)
    for name in names:
        assert "/" not in name and not name.startswith(".") and len(name) < 255


def test_each_conversation_gets_its_own_ledger_until_it_ends(tmp_path):
    keypair = t.SigningKeypair.generate()
    with LedgerRouter(tmp_path, keypair) as router:
        a, b = router.session_for("conv/a"), router.session_for("conv-b")
        assert router.session_for("conv/a") is a and a is not b
        a.submit(END).result()
        b.submit(END).result()
        router.end("conv/a").result()
        assert a.closed and router.open_keys() == ["conv-b"]
        again = router.session_for("conv/a")  # reopened: resumes after its event
        assert again.submit(END).result().seq == 1
    assert router.open_keys() == []
    counts = {p.name: t.verify_file(str(p)).event_count for p in tmp_path.iterdir()}
    assert counts == {file_name_for("conv/a"): 2, file_name_for("conv-b"): 1}


def test_a_callable_routes_to_sessions_the_caller_owns(tmp_path):
    keypair = t.SigningKeypair.generate()
    session = t.Session.open(keypair=keypair, ledger_path=str(tmp_path / "l.ndjson"),
                             session_id="s")
    router = as_router(lambda key: session)
    first, second = router.session_for("x"), router.session_for("y")
    assert isinstance(first, AsyncSession) and first is second
    first.submit(END)
    router.end("x").result()
    assert not first.closed and t.verify_file(str(tmp_path / "l.ndjson")).event_count == 1
    with pytest.raises(TypeError):
        as_router(lambda key: "not a session").session_for("z")
    first.close().result()


def test_a_conversation_reopened_while_closing_continues_the_same_chain(tmp_path):
    keypair = t.SigningKeypair.generate()
    with LedgerRouter(tmp_path, keypair) as router:
        for turn in range(3):
            ledger = router.session_for("conv")
            for _ in range(50):
                ledger.submit(END)
            router.end("conv")  # its events are still being written
    report = t.verify_file(str(tmp_path / file_name_for("conv")))
    assert report.ok and report.event_count == 150
