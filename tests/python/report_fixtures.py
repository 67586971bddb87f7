"""What the report tests share: ledgers built in memory, the page read back
as a tree, and the verdict `verify --json` gives, spelled as the page shows it."""

from __future__ import annotations

import json
import subprocess
import sys
from html.parser import HTMLParser

import tallyvox
from tallyvox import events

VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source",
        "track", "wbr"}


def chain(event_list, keypair, start=0, parent=tallyvox.GENESIS_PARENT_HASH):
    """Signed records of `event_list`, linked as a session links them."""
    records = []
    for seq, event in enumerate(event_list, start):
        record = tallyvox.sign_event(event=event, seq=seq, parent_hash=parent, keypair=keypair)
        records.append(record)
        parent = record.self_hash
    return records


def write_ledger(path, records):
    path.write_text("".join(record.to_json() + "\n" for record in records), encoding="utf-8")
    return path


def file_lines(path):
    return path.read_text(encoding="utf-8").rstrip("\n").split("\n")


def conversation(transcript="Where is my parcel?", tool="track", failed=False):
    """A whole session: heard, a model call, a tool call and return, said."""
    return [
        events.session_started(agent_id="agent", model_id="model", session_id="s-1"),
        events.utterance_captured(audio_sha256="a", transcript=transcript, lang="en",
                                  duration_ms=1500),
        events.model_invoked(model_id="model", prompt_sha256="p", response_sha256="r",
                             prompt_tokens=12, response_tokens=5),
        events.tool_called(tool_name=tool, args_sha256="h", args_redacted={"id": transcript}),
        events.tool_returned(tool_name=tool, result_sha256="r", latency_ms=80,
                             success=not failed),
        events.utterance_spoken(text_sha256="t", text=f"About {transcript}", audio_sha256="b"),
        events.session_ended(reason="done", summary_sha256="s"),
    ]


def tamper(path, seq, old, new):
    """Change text in the line of `seq` without resealing it."""
    lines = file_lines(path)
    assert old in lines[seq]
    lines[seq] = lines[seq].replace(old, new, 1)
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")


def run_cli(*args, cwd=None, timeout=300):
    # The environment is inherited, so PYTHONPATH (a private build) still applies.
    return subprocess.run([sys.executable, "-m", "tallyvox", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=timeout)


def verify_entries(*paths):
    """verify --json's entry for each ledger, by path."""
    result = run_cli("verify", "--json", *paths)
    return {entry["path"]: entry for entry in json.loads(result.stdout)["ledgers"]}


def verdict_text(entry):
    """The verdict of a verify --json entry, in the words of the text summary."""
    if entry["status"] == "error":
        return f"ERROR: {entry['error']}"
    if entry["status"] == "broken":
        return f"BROKEN at seq {entry['broken_at']}: {entry['reason']}"
    if entry["unexpected_signers"]:
        return "chain intact, but signed by a key that was not expected"
    return "valid"


def counts_of(path):
    """Turns, tool calls, failed returns and model calls, from the file itself."""
    recorded = [json.loads(line)["event"] for line in file_lines(path)]
    kinds = [event["type"] for event in recorded]
    return {
        "turns": kinds.count("UtteranceCaptured") + kinds.count("UtteranceSpoken"),
        "tool-calls": kinds.count("ToolCalled"),
        "failed": sum(1 for e in recorded if e["type"] == "ToolReturned"
                      and not e["payload"]["success"]),
        "model-calls": kinds.count("ModelInvoked"),
    }


class Node:
    def __init__(self, tag, attrs, parent=None):
        self.tag, self.attrs, self.parent, self.children = tag, dict(attrs), parent, []

    @property
    def classes(self):
        return set((self.attrs.get("class") or "").split())

    def text(self):
        return "".join(c if isinstance(c, str) else c.text() for c in self.children)

    def all(self, tag=None, cls=None, **attrs):
        """Every element below this one with the tag, class and attributes given."""
        found = []
        for child in self.children:
            if isinstance(child, str):
                continue
            if ((tag is None or child.tag == tag) and (cls is None or cls in child.classes)
                    and all(child.attrs.get(k.replace("_", "-")) == v for k, v in attrs.items())):
                found.append(child)
            found.extend(child.all(tag, cls, **attrs))
        return found

    def one(self, tag=None, cls=None, **attrs):
        [found] = self.all(tag, cls, **attrs)
        return found


class _Builder(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.root = self.node = Node("#document", {})

    def handle_starttag(self, tag, attrs):
        node = Node(tag, attrs, self.node)
        self.node.children.append(node)
        if tag not in VOID:
            self.node = node

    def handle_startendtag(self, tag, attrs):
        self.node.children.append(Node(tag, attrs, self.node))

    def handle_endtag(self, tag):
        node = self.node
        while node is not None and node.tag != tag:
            node = node.parent
        if node is not None and node.parent is not None:
            self.node = node.parent

    def handle_data(self, data):
        self.node.children.append(data)


def parse_html(text):
    builder = _Builder()
    builder.feed(text)
    builder.close()
    return builder.root
