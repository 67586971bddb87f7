"""Hostile and careless inputs on the command line: files that are not regular
files, endless or huge ones, texts that a terminal would act on, numbers out
of range, and the path each complaint names. Every case ends quickly, with
exit 2 and one line on stderr."""

import json
import os
import socket
import stat
import subprocess
import sys

import pytest

import tallyvox
from tallyvox import events

SEED = bytes(range(32))
LEDGER_LIMIT = 64 * 1024 * 1024
NOTE_LIMIT = 1024 * 1024


# The command line with 384 MiB of address space to spare.
LIMITED = """
import re, resource, sys
import tallyvox.cli
size = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read()).group(1)) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (384 << 20),) * 2)
sys.exit(tallyvox.cli.main(sys.argv[1:]))
"""


def run(*args, env=None, timeout=60, limited=False):
    return subprocess.run([sys.executable, *(["-c", LIMITED] if limited else ["-m", "tallyvox"]),
                           *map(str, args)], capture_output=True, text=True, timeout=timeout,
                          env=None if env is None else {**os.environ, **env})


def one_complaint(result, where):
    """The single stderr line of a failed command, which names `where`."""
    assert result.returncode == 2, (result.stdout, result.stderr)
    assert "Traceback" not in result.stderr
    [line] = result.stderr.splitlines()
    assert line.startswith(f"tallyvox: {where}: "), line
    return line[len(f"tallyvox: {where}: "):]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A valid ledger, its key, a checkpoint of it and a proof of event 1."""
    root = tmp_path_factory.mktemp("hostile")
    key = root / "signing.key"
    key.write_bytes(SEED)
    key.chmod(0o600)
    keypair = tallyvox.SigningKeypair.load(key)
    ledger = root / "ledger.ndjson"
    session = tallyvox.Session.open(keypair=keypair, ledger_path=ledger, session_id="s")
    for i in range(3):
        session.record(events.utterance_spoken(text_sha256="t", text=f"reply {i}", audio_sha256="a"))
    note = tallyvox.make_checkpoint(ledger, keypair).note
    checkpoint = root / "ledger.checkpoint"
    checkpoint.write_text(note)
    proof = root / "event-1.tlog-proof"
    proof.write_text(tallyvox.prove(ledger, 1, note))
    return {"root": root, "key": key, "ledger": ledger, "checkpoint": checkpoint,
            "proof": proof, "pubkey": keypair.pubkey_hex}


def make_input(kind, root, huge):
    """A path of the given kind; "huge" is a sparse regular file of `huge` bytes."""
    path = root / kind
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "directory":
        path.mkdir()
    elif kind == "socket":
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(str(path))
        listener.close()  # the socket file stays
    elif kind == "device":
        os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, 3))  # a null device of its own
    elif kind == "huge":
        with open(path, "wb") as handle:
            handle.truncate(huge)
    else:
        return f"/dev/{kind}"
    return path


NOT_REGULAR = {"fifo": "a FIFO", "directory": "a directory", "socket": "a socket",
               "device": "a device", "null": "a device", "zero": "a device"}


def expected_refusal(kind, role):
    if kind in NOT_REGULAR:
        return f"not a regular file ({NOT_REGULAR[kind]})"
    if role == "ledger":
        return f"line 1: longer than {LEDGER_LIMIT} bytes"
    return f"not a {role}: larger than {NOTE_LIMIT} bytes"


# (command line with X for the hostile path, what X stands for)
READERS = [
    (["verify", "X"], "ledger"),
    (["verify", "X", "--jobs", "2"], "ledger"),
    (["show", "X"], "ledger"),
    (["recover", "X"], "ledger"),
    (["checkpoint", "X", "--key", "KEY", "-o", "ROOT/out.checkpoint"], "ledger"),
    (["prove", "X", "--seq", "0", "--checkpoint", "CHECKPOINT"], "ledger"),
    (["verify", "LEDGER", "--checkpoint", "X"], "checkpoint"),
    (["prove", "LEDGER", "--seq", "0", "--checkpoint", "X"], "checkpoint"),
    (["verify-proof", "X", "--expect-signer", "PUBKEY"], "proof"),
]
KINDS = ["fifo", "null", "zero", "directory", "socket", "huge"]


def command_line(template, files, hostile):
    names = {"X": hostile, "KEY": files["key"], "LEDGER": files["ledger"],
             "CHECKPOINT": files["checkpoint"], "PUBKEY": files["pubkey"]}
    return [str(names.get(word, word)).replace("ROOT", str(files["root"])) for word in template]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("template, role", READERS, ids=[" ".join(t) for t, _ in READERS])
def test_what_is_not_a_usable_file_is_refused_in_one_line(files, tmp_path, template, role, kind):
    hostile = make_input(kind, tmp_path, 4 * LEDGER_LIMIT if role == "ledger" else 2 * NOTE_LIMIT)
    result = run(*command_line(template, files, hostile), timeout=30)
    message = one_complaint(result, hostile)
    assert message.endswith(expected_refusal(kind, role)), message
    assert not (files["root"] / "out.checkpoint").exists()


@pytest.mark.parametrize("kind", ["fifo", "device", "directory", "socket"])
@pytest.mark.parametrize("command", [
    ["checkpoint", "LEDGER", "--key", "KEY", "-o", "X"],
    ["prove", "LEDGER", "--seq", "1", "--checkpoint", "CHECKPOINT", "-o", "X"],
], ids=["checkpoint", "prove"])
def test_an_output_that_is_not_a_regular_file_is_never_replaced(files, tmp_path, command, kind):
    hostile = make_input(kind, tmp_path, 0)
    before = os.lstat(hostile)
    result = run(*command_line(command, files, hostile), timeout=30)
    assert one_complaint(result, hostile) == f"not a regular file ({NOT_REGULAR[kind]})"
    after = os.lstat(hostile)
    assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)
    assert sorted(p.name for p in tmp_path.iterdir()) == [kind]  # no temporary left


# ---------------------------------------------------------------------------
# The path each complaint names


def test_each_complaint_names_the_path_at_fault(files, tmp_path):
    f = files
    bad_key = tmp_path / "short.key"
    bad_key.write_bytes(b"short")
    bad_key.chmod(0o600)
    bad_note = tmp_path / "bogus.checkpoint"
    bad_note.write_text("tallyvox/x\n1\nAAAA\n\n")
    missing_dir = tmp_path / "no" / "such"
    cases = [  # (command line, path at fault, start of the message)
        (["checkpoint", f["ledger"], "--key", bad_key], bad_key, "invalid key length"),
        (["checkpoint", f["ledger"], "--key", f["key"], "-o", missing_dir / "c"],
         missing_dir / "c", "No such file or directory"),
        (["prove", f["ledger"], "--seq", 1, "--checkpoint", bad_note], bad_note,
         "not a checkpoint: "),
        (["prove", f["ledger"], "--seq", 1, "--checkpoint", tmp_path / "absent"],
         tmp_path / "absent", "No such file or directory"),
        (["prove", tmp_path / "absent.ndjson", "--seq", 1, "--checkpoint", f["checkpoint"]],
         tmp_path / "absent.ndjson", "io: No such file or directory"),
        (["prove", f["ledger"], "--seq", 1, "--checkpoint", f["checkpoint"], "-o",
          missing_dir / "p"], missing_dir / "p", "No such file or directory"),
        (["verify", f["ledger"], "--checkpoint", bad_note], bad_note, "not a checkpoint: "),
    ]
    for args, where, start in cases:
        assert one_complaint(run(*args), where).startswith(start), args


@pytest.mark.parametrize("seq", ["18446744073709551616", "-1", "9" * 5000, "1e3", "0x10", "٣"])
def test_a_seq_outside_the_format_is_a_usage_error(files, seq):
    result = run("prove", files["ledger"], "--seq", seq, "--checkpoint", files["checkpoint"])
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert result.stderr.splitlines()[-1].startswith(
        "tallyvox prove: error: argument --seq: not a seq (a decimal number up to "
        "18446744073709551615)")


def test_the_largest_seq_is_read_and_refused_by_the_checkpoint(files):
    result = run("prove", files["ledger"], "--seq", 2**64 - 1, "--checkpoint", files["checkpoint"])
    assert one_complaint(result, files["ledger"]) == (
        f"seq {2**64 - 1} is not among the checkpoint's 3 events")


# ---------------------------------------------------------------------------
# Texts a terminal would act on


HOSTILE = ["\r", "\x1b[2K", "\x07", "\x08", "\t", "\x7f", "\x85", "\x9b", "\u2028", "\u2029",
           "\u202e", "\u2066", "\n"]


def escaped(char):
    # The independent model: JSON's own escape of each character.
    return json.dumps(char)[1:-1]


def clean_line(text):
    assert not any(c[0] in text for c in HOSTILE), repr(text)
    return text


@pytest.mark.parametrize("hostile", HOSTILE, ids=[f"U+{ord(c[0]):04X}" for c in HOSTILE])
def test_hostile_text_is_escaped_in_every_complaint(files, tmp_path, hostile):
    # In an event type, which the reader's message quotes.
    line = files["ledger"].read_text().splitlines()[0]
    record = json.loads(line)
    fake = f"x{hostile}\rledger.ndjson: valid"
    record["event"]["type"] = fake
    ledger = tmp_path / "ledger.ndjson"
    ledger.write_text(json.dumps(record) + "\n")
    for command in (["verify"], ["show"], ["recover"]):
        message = clean_line(one_complaint(run(*command, ledger), ledger))
        assert "".join(map(escaped, fake)) in message, message
    # In a file name, which every complaint starts with.
    named = tmp_path / f"a{hostile}b.ndjson"
    result = run("verify", named)
    assert result.returncode == 2
    [complaint] = result.stderr.splitlines()
    assert clean_line(complaint) == f"tallyvox: {tmp_path}/a{escaped(hostile)}b.ndjson: no such file"
    # And the first line of a summary, on stdout.
    named.write_bytes(files["ledger"].read_bytes())
    result = run("verify", named)
    assert result.returncode == 0
    assert clean_line(result.stdout.splitlines()[0]) == (
        f"{tmp_path}/a{escaped(hostile)}b.ndjson: valid")


# ---------------------------------------------------------------------------
# Limits of the process: memory and threads


@pytest.mark.parametrize("command", [["verify"], ["show"]])
def test_out_of_memory_is_one_line(tmp_path, command):
    huge = make_input("huge", tmp_path, 4 << 30)
    result = run(*command, huge, env={"TALLYVOX_MAX_LINE_BYTES": str(1 << 40)}, timeout=120,
                 limited=True)
    assert one_complaint(result, huge) == "out of memory"


def test_threads_that_cannot_start_are_one_line(files, tmp_path):
    single = run("verify", files["ledger"], "--jobs", 5000, timeout=120, limited=True)
    assert one_complaint(single, files["ledger"]) == (
        "cannot start 256 threads: Resource temporarily unavailable")
    many = tmp_path / "many"
    many.mkdir()
    for i in range(80):
        (many / f"{i}.ndjson").write_bytes(files["ledger"].read_bytes())
    result = run("verify", many, "--jobs", 5000, timeout=120, limited=True)
    assert one_complaint(result, "verify").startswith("cannot start 80 threads: ")
