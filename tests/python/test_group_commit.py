"""Many events per flush: Session.record_many, and AsyncSession's writer
taking every queued event into one batch. (How a batch reaches the disk, and
how a failed one is taken back, is in test_faults.py.)"""
import asyncio
import concurrent.futures
import threading

import pytest

import tallyvox as t
from tallyvox import events as ev
from tallyvox.aio import AsyncSession

GENESIS = "0" * 64


def numbered(i):
    return ev.tool_called(tool_name=f"t{i}", args_sha256="aa", args_redacted={"i": i})


def number(signed):
    return signed.event["payload"]["args_redacted"]["i"]


def assert_ledger_is(path, signed):
    """The file holds exactly these records' lines, in this order, in one chain."""
    assert path.read_text() == "".join(s.to_json() + "\n" for s in signed)
    report = t.verify_file(path)
    assert (report.ok, report.event_count) == (True, len(signed))
    parent = GENESIS
    for seq, s in enumerate(signed):
        assert (s.seq, s.parent_hash) == (seq, parent)
        parent = s.self_hash


@pytest.fixture
def keypair():
    return t.SigningKeypair.generate()


def test_record_many_takes_any_iterable_and_keeps_its_order(keypair, tmp_path):
    path = tmp_path / "l.ndjson"
    signed = []
    with t.Session.open(keypair=keypair, ledger_path=path, session_id="m") as s:
        for kind in (list, iter, tuple):
            for size in (0, 1, 4, 40):
                got = s.record_many(kind([numbered(len(signed) + i) for i in range(size)]))
                assert isinstance(got, list) and len(got) == size
                signed += got
                signed.append(s.record(numbered(len(signed))))
    assert [number(x) for x in signed] == list(range(len(signed)))
    assert_ledger_is(path, signed)


def broken():
    yield numbered(0)
    raise RuntimeError("the producer failed")


@pytest.mark.parametrize("events,error,message,note", [
    (5, TypeError, "'int' object is not iterable", True),
    ("ab", TypeError, "'str' object is not an instance of 'AgentEvent'", True),
    ([numbered(0), {"type": "SessionEnded"}], TypeError,
     "'dict' object is not an instance of 'AgentEvent'", True),
    (None, TypeError, "'NoneType' object is not iterable", True),
    (broken, RuntimeError, "the producer failed", False),
], ids=["int", "str", "dict-item", "None", "producer-fails"])
def test_record_many_writes_nothing_of_a_batch_that_is_not_all_there(
        keypair, tmp_path, events, error, message, note, raises_with_note):
    path = tmp_path / "l.ndjson"
    with t.Session.open(keypair=keypair, ledger_path=path, session_id="m") as s:
        if note:
            raises_with_note(error, message, "events", s.record_many, events)
        else:
            with pytest.raises(error, match=f"^{message}$"):
                s.record_many(events())
        assert path.read_bytes() == b""
        assert s.record(numbered(0)).seq == 0
    with pytest.raises(t.LedgerError, match="^the session is closed$"):
        s.record_many([numbered(0)])


def test_record_many_from_threads_beside_single_records(keypair, tmp_path):
    """Batches from several threads never interleave: each batch's events are
    consecutive in the ledger, and the chain holds."""
    path = tmp_path / "l.ndjson"
    with t.Session.open(keypair=keypair, ledger_path=path, session_id="m") as s:
        def work(k):
            out = []
            for j in range(10):
                base = (k * 10 + j) * 100
                if j % 2:
                    out.append([s.record(numbered(base))])
                else:
                    out.append(s.record_many(numbered(base + i) for i in range(1 + j)))
            return out

        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            batches = [b for done in pool.map(work, range(4)) for b in done]
    records = t.read_ledger(path)
    assert t.verify_file(path).ok
    for batch in batches:
        seqs = [x.seq for x in batch]
        assert seqs == list(range(seqs[0], seqs[0] + len(batch)))
        assert [number(records[q]) for q in seqs] == [number(x) for x in batch]
    assert len(records) == sum(map(len, batches))


# --- AsyncSession ------------------------------------------------------------


@pytest.mark.parametrize("max_batch", [1, 3, 256])
def test_records_submits_and_calls_share_one_queue_in_order(keypair, tmp_path, max_batch):
    """Records queued from the loop and from threads, with checkpoints and
    flushes among them, keep the order of their calls whatever the batches."""
    path = tmp_path / "l.ndjson"
    order, lock = [], threading.Lock()

    async def main():
        async with await AsyncSession.open(keypair=keypair, ledger_path=path, session_id="a",
                                           max_batch=max_batch) as s:
            def from_thread(k):
                futures = []
                for j in range(30):
                    with lock:
                        order.append(1000 + k * 100 + j)
                        futures.append(s.submit(numbered(1000 + k * 100 + j)))
                return [f.result() for f in futures]

            threads = [asyncio.to_thread(from_thread, k) for k in range(3)]
            waits, checkpoints = [], []
            for i in range(60):
                with lock:
                    order.append(i)
                    waits.append(s.record(numbered(i)))
                    if i % 20 == 19:
                        checkpoints.append((len(order), s.checkpoint()))
                await asyncio.sleep(0)
            await asyncio.gather(*threads, *waits)
            await asyncio.wrap_future(s.flush())
            return [(size, await c) for size, c in checkpoints]

    made = asyncio.run(main())
    assert [number(x) for x in t.read_ledger(path)] == order
    assert t.verify_file(path).event_count == len(order)
    # Each checkpoint holds exactly the events queued before it.
    for size, checkpoint in made:
        assert checkpoint.size == size
        assert checkpoint.root == t.checkpoint.merkle_root(
            [bytes.fromhex(r.self_hash) for r in t.read_ledger(path)[:size]])


@pytest.mark.parametrize("max_batch", [0, -1, 1.5, True, "8"])
def test_max_batch_is_a_whole_number_from_1(keypair, tmp_path, max_batch):
    session = t.Session.open(keypair=keypair, ledger_path=tmp_path / "l", session_id="a")
    for make in (lambda: AsyncSession(session, max_batch=max_batch),
                 lambda: asyncio.run(AsyncSession.open(keypair=keypair, ledger_path=tmp_path / "m",
                                                       session_id="a", max_batch=max_batch))):
        with pytest.raises(ValueError, match=r"^max_batch must be a whole number from 1: "):
            make()
    assert not (tmp_path / "m").exists()
