"""The shipped type information: stubs, py.typed, and what mypy makes of them."""

import importlib.util
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tallyvox

pytest.importorskip("mypy")

HERE = Path(__file__).parent
USAGE = HERE / "typing_usage.py"
PACKAGE = Path(tallyvox.__file__).parent


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(cache, workdir, *files):
    # Run where no project config is found, with the caller's environment, so
    # the package resolves exactly as an installed (or PYTHONPATH) package.
    command = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
               "--show-error-codes", "--cache-dir", str(cache), *map(str, files)]
    return subprocess.run(command, cwd=workdir, capture_output=True, text=True, timeout=600)


@pytest.mark.parametrize("name", ["py.typed", "_tallyvox.pyi", "events.pyi"])
def test_package_ships_type_information(name):
    assert (PACKAGE / name).is_file()


def test_stubs_match_the_extension_at_run_time():
    # stubtest imports the extension and compares every name, parameter name,
    # parameter kind and default with the stubs.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tallyvox._tallyvox", "tallyvox.events",
         "tallyvox._native"],
        capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def test_usage_file_type_checks_clean(mypy_cache, tmp_path):
    result = run_mypy(mypy_cache, tmp_path, USAGE)
    assert result.returncode == 0, result.stdout + result.stderr


def test_usage_file_runs(tmp_path):
    spec = importlib.util.spec_from_file_location("typing_usage", USAGE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    report = module.exercise(tmp_path)
    assert report.ok and report.event_count == 8


# Each wrong use, and the mypy error code with a fragment of its message.
MISUSES = {
    "sign_event positional": (
        "tallyvox.sign_event(event, 0, tallyvox.GENESIS_PARENT_HASH, keypair)",
        "call-arg", "Too many positional arguments"),
    "factory positional": (
        'events.session_ended("done", "ab")', "call-arg", "Too many positional arguments"),
    "factory missing keyword": (
        'events.session_ended(reason="done")', "call-arg", '"summary_sha256"'),
    "factory unknown keyword": (
        'events.session_ended(reason="done", summary_sha256="ab", note=1)',
        "call-arg", '"note"'),
    "success given an int": (
        'events.tool_returned(tool_name="t", result_sha256="r", latency_ms=1, success=1)',
        "arg-type", '"success"'),
    "tokens given a str": (
        'events.model_invoked(model_id="m", prompt_sha256="p", response_sha256="r", '
        'prompt_tokens="7", response_tokens=1)', "arg-type", '"prompt_tokens"'),
    "bytes key path": (
        'tallyvox.SigningKeypair.load(b"signing.key")', "arg-type", '"load"'),
    "record a dict": (
        'session.record({"type": "SessionEnded"})', "arg-type", '"record"'),
    "open positional": (
        'tallyvox.Session.open(keypair, "l.ndjson", "s")', "call-arg",
        "Too many positional arguments"),
    "record_many one event": ("session.record_many(event)", "arg-type", '"record_many"'),
    "policy count as text": ('tallyvox.CheckpointPolicy(every_events="5")', "arg-type",
                             '"CheckpointPolicy"'),
    "checkpoint note is text": ("size: int = session.last_checkpoint", "assignment", "str | None"),
    "read-only property": ("signed.seq = 1", "misc", "read-only"),
    "read-only report": ('report.reason = "fine"', "misc", "read-only"),
    "optional broken_at": ("report.broken_at + 1", "operator", "None"),
    "bytes result": ("text: str = tallyvox.canonical_json({})", "assignment", "bytes"),
    "final class": ("class Mine(tallyvox.SignedEvent): ...", "misc", "final"),
    "final constant": ('tallyvox.GENESIS_PARENT_HASH = "1" * 64', "misc", "final"),
    "status literal": ('flag: bool = report.status == "valid" and report.status', "assignment",
                       "Literal"),
}

PRELUDE = textwrap.dedent("""\
    import tallyvox
    from tallyvox import events

    keypair = tallyvox.SigningKeypair.generate()
    event = events.session_ended(reason="done", summary_sha256="ab")
    session = tallyvox.Session.open(keypair=keypair, ledger_path="l.ndjson", session_id="s")
    signed = session.record(event)
    report = tallyvox.verify_chain([signed])
    """)


@pytest.fixture(scope="module")
def misuse_errors(mypy_cache, tmp_path_factory):
    """mypy's errors on a file of wrong uses, by line number."""
    workdir = tmp_path_factory.mktemp("misuse")
    lines = PRELUDE.splitlines()
    line_of = {}
    for name, (code, _, _) in MISUSES.items():
        lines.append(code)
        line_of[name] = len(lines)
    path = workdir / "misuse.py"
    path.write_text("\n".join(lines) + "\n")
    result = run_mypy(mypy_cache, workdir, path)
    errors = {}
    for match in re.finditer(r"^misuse\.py:(\d+): error: (.*)  \[([a-z-]+)\]$",
                             result.stdout, re.MULTILINE):
        errors.setdefault(int(match[1]), []).append((match[3], match[2]))
    return line_of, errors


def test_misuse_file_has_errors_only_on_the_wrong_lines(misuse_errors):
    line_of, errors = misuse_errors
    assert set(errors) == set(line_of.values())


@pytest.mark.parametrize("name", MISUSES)
def test_wrong_use_is_reported(misuse_errors, name):
    line_of, errors = misuse_errors
    _, code, fragment = MISUSES[name]
    reported = errors.get(line_of[name], [])
    assert any(c == code and fragment in message for c, message in reported), reported
