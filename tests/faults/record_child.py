"""Runs a list of ledger steps and reports each outcome as one JSON line.

Usage: record_child.py PLAN, where PLAN is a JSON object:
  {"ledger": path, "event": tagged event mapping, "steps": ["open", "record", ...]}
"open" opens (or reopens) a session on the ledger, "record" records one
event on the open session. Every step prints
  {"step": ..., "ok": true, ...}   (record: seq, parent_hash, self_hash, line)
  {"step": ..., "ok": false, "type": exception class, "message": str(exc)}
and the next step runs regardless. Meant to run under the fault injector.
"""
import json
import sys

import tallyvox
from tallyvox import events


def main():
    plan = json.loads(sys.argv[1])
    keypair = tallyvox.SigningKeypair.generate()
    event = events.from_dict(plan["event"])
    session = None
    for step in plan["steps"]:
        out = {"step": step}
        try:
            if step == "open":
                session = None
                session = tallyvox.Session.open(keypair=keypair, ledger_path=plan["ledger"],
                                                session_id="faults")
            elif step == "record":
                if session is None:
                    raise RuntimeError("no open session")
                r = session.record(event)
                out.update(seq=r.seq, parent_hash=r.parent_hash, self_hash=r.self_hash,
                           line=r.to_json())
            else:
                raise ValueError(f"unknown step {step!r}")
            out["ok"] = True
        except BaseException as e:  # reported, including the internal fault
            out.update(ok=False, type=type(e).__name__, message=str(e))
        sys.stdout.write(json.dumps(out) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
