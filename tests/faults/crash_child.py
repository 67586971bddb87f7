"""Records from several threads until it is killed.

Usage: crash_child.py LEDGER THREADS [PAYLOAD_BYTES]
Prints "ready" once the session is open, then, after every record call that
returned, one line "SEQ SELF_HASH" (a single write each, so lines from
different threads never mix). Meant to be killed with SIGKILL at any moment.
With PAYLOAD_BYTES, every event is a tool call carrying that many bytes of
redacted arguments, so that each line takes a while to write.
"""
import os
import sys
import threading

import tallyvox
from tallyvox import events

EVENTS = [
    events.session_started(agent_id="support-bot", model_id="model-x", session_id="crash"),
    events.utterance_captured(audio_sha256="aa" * 32, transcript="Where is my parcel?",
                              lang="en", duration_ms=1800),
    events.tool_called(tool_name="track_parcel", args_sha256="bb" * 32,
                       args_redacted={"parcel": "***1234", "weights": [1.5, 2, None]}),
    events.tool_returned(tool_name="track_parcel", result_sha256="cc" * 32, latency_ms=95,
                         success=True),
    events.model_invoked(model_id="model-x", prompt_sha256="dd" * 32,
                         response_sha256="ee" * 32, prompt_tokens=812, response_tokens=64),
    events.utterance_spoken(text_sha256="ff" * 32, text="It arrives tomorrow.",
                            audio_sha256="11" * 32),
    events.session_ended(reason="resolved", summary_sha256="22" * 32),
]


def main():
    ledger, threads = sys.argv[1], int(sys.argv[2])
    kinds = EVENTS
    if len(sys.argv) > 3:
        blob = "x" * int(sys.argv[3])
        kinds = [events.tool_called(tool_name=f"t{k}", args_sha256="bb" * 32,
                                    args_redacted={"blob": blob}) for k in range(2)]
    session = tallyvox.Session.open(keypair=tallyvox.SigningKeypair.generate(),
                                    ledger_path=ledger, session_id="crash")
    os.write(1, b"ready\n")

    def work(k):
        i = k
        while True:
            r = session.record(kinds[i % len(kinds)])
            os.write(1, f"{r.seq} {r.self_hash}\n".encode())
            i += 1

    workers = [threading.Thread(target=work, args=(k,), daemon=True) for k in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()


if __name__ == "__main__":
    main()
