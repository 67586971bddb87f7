"""Records in batches until it is killed.

Usage: group_child.py LEDGER PRODUCERS
Prints "ready" once the session is open. Then PRODUCERS asyncio tasks each
await AsyncSession.record in a loop, while a thread calls record_many on the
same session with batches of 1 to 20 events; after every await or
record_many that returned, one line "SEQ SELF_HASH" per event (a single
write per batch, so lines never mix). Meant to be killed with SIGKILL.
"""
import asyncio
import os
import random
import sys
import threading

import tallyvox
from tallyvox import events
from tallyvox.aio import AsyncSession

MAX_MANY = 20


def event(k, i):
    return events.tool_called(tool_name=f"p{k}", args_sha256="bb" * 32,
                              args_redacted={"i": i, "w": [1.5, None, "caf\u00e9"]})


def printed(records):
    os.write(1, "".join(f"{r.seq} {r.self_hash}\n" for r in records).encode())


def batches(session):
    rng = random.Random()
    i = 0
    while True:
        n = rng.randint(1, MAX_MANY)
        printed(session.record_many(event(-1, i + j) for j in range(n)))
        i += n


async def produce(recorder, k):
    i = 0
    while True:
        printed([await recorder.record(event(k, i))])
        i += 1


async def main(ledger, producers):
    session = tallyvox.Session.open(keypair=tallyvox.SigningKeypair.generate(),
                                    ledger_path=ledger, session_id="group")
    recorder = AsyncSession(session)
    os.write(1, b"ready\n")
    threading.Thread(target=batches, args=(session,), daemon=True).start()
    await asyncio.gather(*(produce(recorder, k) for k in range(producers)))


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], int(sys.argv[2])))
