"""Runs a list of ledger steps and reports each outcome as one JSON line.

Usage: record_child.py PLAN, where PLAN is a JSON object:
  {"ledger": path, "event": tagged event mapping, "steps": ["open", "record", ...],
   "batch": events per "many" or "async" step (default 3),
   "max_batch": the AsyncSession's max_batch (default 256),
   "blob": bytes of redacted arguments per event of "many" and "async" (default none)}
"open" opens (or reopens) a session on the ledger, "record" records one
event on the open session, "many" records a batch with record_many, and
"async" queues a batch on an AsyncSession wrapping the session while its
writer is held, so that the writer finds the whole batch queued when it
wakes. Every step prints
  {"step": ..., "ok": true, ...}   (record: seq, parent_hash, self_hash, line;
                                    many: records, a list of those)
  {"step": ..., "ok": false, "type": exception class, "message": str(exc)}
  {"step": "async", "ok": true, "outcomes": [one of the two above per event]}
and the next step runs regardless. Meant to run under the fault injector.
"""
import asyncio
import json
import sys
import threading

import tallyvox
from tallyvox import events
from tallyvox.aio import AsyncSession


def described(r):
    return {"ok": True, "seq": r.seq, "parent_hash": r.parent_hash, "self_hash": r.self_hash,
            "line": r.to_json()}


def failure(e):
    return {"ok": False, "type": type(e).__name__, "message": str(e)}


async def queued_at_once(session, batch, max_batch):
    """Queues the batch behind a call that holds the writer, then lets it go."""
    released = threading.Event()
    wrapper = AsyncSession(session, max_batch=max_batch)
    held = wrapper._writer.call(lambda _: released.wait(), None)
    waits = [wrapper.record(e) for e in batch]
    released.set()
    held.result()
    outcomes = []
    for wait in waits:
        try:
            outcomes.append(described(await wait))
        except tallyvox.TallyvoxError as e:
            outcomes.append(failure(e))
    await wrapper.aclose()
    return outcomes


def main():
    plan = json.loads(sys.argv[1])
    keypair = tallyvox.SigningKeypair.generate()
    event = events.from_dict(plan["event"])
    batch = [event] * plan.get("batch", 3)
    if "blob" in plan:
        batch = [events.tool_called(tool_name=f"t{i}", args_sha256="ab",
                                    args_redacted={"blob": "x" * plan["blob"]})
                 for i in range(plan.get("batch", 3))]
    session = None
    for step in plan["steps"]:
        out = {"step": step}
        try:
            if step == "open":
                session = None
                session = tallyvox.Session.open(keypair=keypair, ledger_path=plan["ledger"],
                                                session_id="faults")
            elif session is None:
                raise RuntimeError("no open session")
            elif step == "record":
                out.update(described(session.record(event)))
            elif step == "many":
                out["records"] = [described(r) for r in session.record_many(batch)]
            elif step == "async":
                out["outcomes"] = asyncio.run(queued_at_once(session, batch,
                                                             plan.get("max_batch", 256)))
            else:
                raise ValueError(f"unknown step {step!r}")
            out["ok"] = True
        except BaseException as e:  # reported, including the internal fault
            out.update(failure(e))
        sys.stdout.write(json.dumps(out) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
