"""What several benchmarks share: sample events, a disk-backed scratch
directory, and ledgers of a given size, generated once and cached."""

from __future__ import annotations

import os
from pathlib import Path

import tallyvox
from tallyvox import events

from bench.harness import CheckFailed

SCRATCH = Path(__file__).resolve().parent.parent / "build" / "bench-tmp"
_MEMORY_FS = {"tmpfs", "ramfs", "devtmpfs"}


def tool_call_args() -> dict:
    """Redacted arguments of a search call: about 220 bytes of JSON."""
    return {
        "query": "Grüße aus 東京 — cafés open before 7",
        "max_results": 10,
        "safe": True,
        "region": None,
        "filters": {"lang": ["de", "ja", "en"], "freshness_days": 7},
        "score_min": 0.25,
        "session_hint": "c0ffee00-1234-4abc-9def-0123456789ab",
    }


def tool_call() -> tuple[tallyvox.events.AgentEvent, dict]:
    """A typical small event, as tallyvox's object and as its tagged mapping."""
    fields = {"tool_name": "web.search", "args_sha256": "9f2c4e1ab37d5c08e6f1a2b3c4d5e6f7"
              "08192a3b4c5d6e7f8091a2b3c4d5e6f7", "args_redacted": tool_call_args()}
    return events.tool_called(**fields), {"type": "ToolCalled", "payload": fields}


def conversation() -> list:
    """One event of each kind, in the order of a short voice-agent turn."""
    h = "3a7bd3e2360a3d29eea436fcfb7e44c735d117c42d1c1835420b6b9942dd4f1b"
    return [
        events.session_started(agent_id="voice-agent-7", model_id="agent-large-2024-11",
                               session_id="c0ffee00-1234-4abc-9def-0123456789ab"),
        events.utterance_captured(audio_sha256=h, transcript="Find a café in Tokyo that opens "
                                  "early — Grüße!", lang="en", duration_ms=2350),
        events.model_invoked(model_id="agent-large-2024-11", prompt_sha256=h, response_sha256=h,
                             prompt_tokens=812, response_tokens=64),
        tool_call()[0],
        events.tool_returned(tool_name="web.search", result_sha256=h, latency_ms=1234,
                             success=True),
        events.utterance_spoken(text_sha256=h, text="Kissa Asa in 東京 opens at 06:30.",
                                audio_sha256=h),
        events.session_ended(reason="user_hangup", summary_sha256=h),
    ]


def filesystem(path: Path) -> tuple[str, str]:
    """(mount point, file system type) of the mount holding `path`."""
    real = os.path.realpath(path)
    best = ("", "unknown")
    with open("/proc/mounts", encoding="utf-8") as f:
        for entry in f:
            fields = entry.split()
            mount = fields[1].replace("\\040", " ")
            inside = real == mount or real.startswith(mount.rstrip("/") + "/")
            if inside and len(mount) >= len(best[0]):
                best = (mount, fields[2])
    return best


def scratch_dir(disk: bool = False) -> Path:
    """build/bench-tmp, created if missing; with disk=True it must not be in memory."""
    SCRATCH.mkdir(parents=True, exist_ok=True)
    if disk:
        mount, fstype = filesystem(SCRATCH)
        if fstype in _MEMORY_FS:
            raise CheckFailed(f"{SCRATCH} is on {fstype} ({mount}): flushes would cost nothing")
    return SCRATCH


def ledger(count: int, keypair: tallyvox.SigningKeypair | None = None) -> Path:
    """A valid ledger of `count` events (the conversation repeated), cached by size.

    Written with sign_event and to_json, chaining seq and parent hash as a
    session does, but without a flush per event. Signed by `keypair` (its own
    cache) when one is given, else by a fresh key.
    """
    name = "ledger" if keypair is None else f"ledger-{keypair.pubkey_hex[:16]}"
    path = scratch_dir() / f"{name}-{count}.ndjson"
    if path.exists():
        with open(path, "rb") as f:
            if sum(1 for _ in f) == count:
                return path
    kp = keypair or tallyvox.SigningKeypair.generate()
    kinds = conversation()
    parent = tallyvox.GENESIS_PARENT_HASH
    partial = path.with_suffix(".partial")
    with open(partial, "w", encoding="utf-8") as f:
        for seq in range(count):
            signed = tallyvox.sign_event(event=kinds[seq % len(kinds)], seq=seq,
                                         parent_hash=parent, keypair=kp)
            f.write(signed.to_json() + "\n")
            parent = signed.self_hash
    os.replace(partial, path)
    return path
