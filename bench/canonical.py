"""canonical_json against json.dumps and orjson on a ~1 KB event record."""

from __future__ import annotations

import functools
import json

import tallyvox

from bench.harness import Benchmark, CheckFailed, Target

NAME = "canonical_json"


def sample_event() -> dict:
    """A tool-call record of the kind an agent ledger holds."""
    return {
        "kind": "tool_call",
        "seq": 42,
        "ts_ns": 1733616000123456789,
        "session": "c0ffee00-1234-4abc-9def-0123456789ab",
        "parent": "9f2c4e1ab37d5c08e6f1a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f7",
        "tool": {
            "name": "web.search",
            "version": "2.3.1",
            "args": {
                "query": "Grüße, 東京 ☕ — opening hours",
                "max_results": 10,
                "safe": True,
                "region": None,
                "filters": {"lang": ["de", "ja", "en"], "freshness_days": 7},
            },
        },
        "result": {
            "ok": True,
            "latency_ms": 1234.5678,
            "score": 0.25,
            "hits": [
                {"rank": 1, "url": "https://example.org/tokyo/cafe", "weight": 0.75},
                {"rank": 2, "url": "https://example.net/gruesse", "weight": 0.5},
                {"rank": 3, "url": "https://example.com/☕", "weight": 0.125},
            ],
            "truncated": False,
        },
        "metadata": {
            "model": "agent-large-2024-11",
            "temperature": 0.5,
            "tokens": {"prompt": 812, "completion": 64, "total": 876},
            "tags": ["search", "travel", "日本"],
            "retries": 0,
        },
        "transcript": [
            {"role": "user", "text": "Find a café in Tokyo open early — Grüße!"},
            {"role": "assistant", "text": "Searching for early cafés in 東京 ☕."},
            {"role": "tool", "text": "3 results, top: \"Kissa Asa\" opens 06:30.\n"},
        ],
    }


def _floats(value):
    if isinstance(value, float):
        yield value
    elif isinstance(value, dict):
        for v in value.values():
            yield from _floats(v)
    elif isinstance(value, list):
        for v in value:
            yield from _floats(v)


def _json_dumps(value) -> bytes:
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def build(quick: bool = False) -> Benchmark:
    event = sample_event()
    # A float whose text differs between the encoders would make the
    # comparison meaningless, so pin that down one float at a time first.
    for f in _floats(event):
        if tallyvox.canonical_json(f) != _json_dumps(f):
            raise CheckFailed(f"float {f!r} encodes differently from json.dumps")
    expected = _json_dumps(event)
    got = tallyvox.canonical_json(event)
    if got != expected:
        raise CheckFailed(f"canonical_json differs from json.dumps:\n{got!r}\n{expected!r}")

    contenders = {
        "tallyvox": functools.partial(tallyvox.canonical_json, event),
        "json.dumps": functools.partial(_json_dumps, event),
    }
    notes = [f"event encodes to {len(expected)} bytes"]
    try:
        import orjson
    except ImportError:
        notes.append("orjson not importable: skipped (pip install orjson)")
    else:
        contenders["orjson"] = functools.partial(orjson.dumps, event, option=orjson.OPT_SORT_KEYS)
        if contenders["orjson"]() != expected:
            notes.append("orjson output differs from json.dumps for this event")

    return Benchmark(
        name=NAME,
        contenders=contenders,
        batch=200,
        rounds=1500,
        quick_rounds=300,
        targets=[
            Target(contender="tallyvox", baseline="json.dumps", minimum=5.0),
            Target(contender="tallyvox", baseline="orjson", minimum=1.0),
        ],
        notes=notes,
    )
