import importlib.metadata
import subprocess
import sys

import pytest

import tallyvox
from tallyvox import _tallyvox

EXCEPTIONS = {
    "TallyvoxError": "Base class for all Tallyvox errors.",
    "KeyLoadError": "Keypair load or save failure.",
    "SigningError": "Event seal or hash failure.",
    "LedgerError": "Ledger read or write failure.",
    "ChainError": "Malformed verification input.",
}


def test_all_lists_names_in_registration_order():
    names = list(_tallyvox.__all__)
    assert names[0] == "__version__"
    assert names[1:6] == list(EXCEPTIONS)
    assert names[-1] == "canonical_json"
    assert names.index("events") < names.index("GENESIS_PARENT_HASH")
    for name in names:
        assert hasattr(_tallyvox, name)
    assert tallyvox.__all__[: len(names)] == names


def test_constants():
    assert _tallyvox.__version__ == "0.1.1"
    # The wheel takes its version from the extension's source.
    assert importlib.metadata.version("tallyvox") == _tallyvox.__version__
    assert _tallyvox.GENESIS_PARENT_HASH == "0" * 64
    assert _tallyvox.__doc__ == ""


@pytest.mark.parametrize("name,doc", EXCEPTIONS.items())
def test_exception_classes(name, doc):
    cls = getattr(_tallyvox, name)
    assert cls.__doc__ == doc
    assert cls.__module__ == "tallyvox"
    assert cls.__name__ == cls.__qualname__ == name
    assert issubclass(cls, _tallyvox.TallyvoxError)
    assert issubclass(cls, Exception)
    err = cls("some text")
    assert str(err) == "some text"


def test_events_submodule_is_registered():
    assert sys.modules["tallyvox.events"] is _tallyvox.events
    assert _tallyvox.events.__name__ == "events"
    import tallyvox.events as ev

    assert ev is _tallyvox.events
    assert not hasattr(_tallyvox, "AgentEvent")


def test_internal_fault_class_is_not_exported():
    for name in _tallyvox.__all__:
        obj = getattr(_tallyvox, name)
        if isinstance(obj, type):
            assert not (issubclass(obj, BaseException) and not issubclass(obj, Exception))


def test_function_conventions():
    f = _tallyvox.canonical_json
    assert f.__module__ == "tallyvox._tallyvox"
    assert f.__self__ is _tallyvox
    assert f.__text_signature__ == "(value)"
    assert f.__doc__ == (
        "Encode a JSON-able Python value to canonical-JSON bytes: sorted object keys,\n"
        "no whitespace, fixed escapes, non-ASCII as raw UTF-8."
    )


# What each import loads, in a fresh interpreter: the names printed are the
# package's modules (and the heavy standard ones) it holds after the code ran.
LOADED = """
import contextlib, io, sys
ledger = sys.argv[2]
with contextlib.redirect_stdout(io.StringIO()):
    try:
        exec(sys.argv[1])
    except SystemExit as exit:
        assert exit.code == 0, exit.code
watched = ("tallyvox.", "dataclasses", "asyncio", "sqlite3", "multiprocessing", "logging",
           "concurrent.futures.process", "jinja2", "tqdm", "fsspec", "aiohttp")
print(" ".join(sorted(m for m in sys.modules if m.startswith(watched))))
"""


def loaded_after(code, ledger):
    done = subprocess.run([sys.executable, "-c", LOADED, code, ledger], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return set(done.stdout.split())


BASE = {"tallyvox._native", "tallyvox._tallyvox", "tallyvox.about", "tallyvox.events",
        "tallyvox.line_limit", "tallyvox.records"}
CLI = BASE | {"tallyvox.cli", "tallyvox.cli.args", "tallyvox.cli.exit", "tallyvox.cli.lazy",
              "tallyvox.cli.witness_args"}


@pytest.mark.parametrize("code, expected", [
    ("import tallyvox", BASE),
    ("import tallyvox.cli", CLI),
    ("from tallyvox.cli import main; main(['--version'])", CLI),
    # Verifying a ledger without checkpoint or witness options needs neither.
    ("from tallyvox.cli import main; main(['verify', ledger])",
     CLI | {"dataclasses", "tallyvox.cli.fleet", "tallyvox.cli.ledger", "tallyvox.cli.recover",
            "tallyvox.cli.verify", "tallyvox.fleet"}),
    ("import tallyvox; tallyvox.make_checkpoint", BASE | {"dataclasses", "tallyvox.checkpoint"}),
    ("import tallyvox; tallyvox.CheckpointPolicy",
     BASE | {"dataclasses", "logging", "tallyvox._files", "tallyvox.checkpoint", "tallyvox.policy"}),
])
def test_imports_load_what_they_use(tmp_path, code, expected):
    ledger = tmp_path / "ledger.ndjson"
    session = tallyvox.Session.open(keypair=tallyvox.SigningKeypair.generate(), ledger_path=ledger,
                                    session_id="s")
    session.record(tallyvox.events.session_ended(reason="r", summary_sha256="s"))
    session.close()
    assert loaded_after(code, str(ledger)) == expected


# Every lazy name is the object of the module that defines it, listed in
# __all__ and by dir(), and `from tallyvox import *` binds them all.
def test_names_imported_on_first_use_are_the_modules_own():
    from tallyvox import checkpoint, fleet, policy, recover

    owners = {**dict.fromkeys(checkpoint.__all__, checkpoint), "CheckpointPolicy": policy,
              **dict.fromkeys(["LedgerVerdict", "verify_file_parallel", "verify_many",
                               "verify_stream"], fleet),
              "Recovery": recover, "recover_ledger": recover}
    for name, module in owners.items():
        assert getattr(tallyvox, name) is getattr(module, name), name
        assert name in tallyvox.__all__ and name in dir(tallyvox), name
    assert tallyvox.__all__ == [
        *_tallyvox.__all__, "KeyPermissionWarning", "read_ledger", "recover_ledger", "Recovery",
        *checkpoint.__all__, "CheckpointPolicy", "LedgerVerdict", "verify_file_parallel",
        "verify_many", "verify_stream", "build_info"]
    namespace: dict = {}
    exec("from tallyvox import *", namespace)
    assert set(tallyvox.__all__) <= set(namespace)
    with pytest.raises(AttributeError, match="module 'tallyvox' has no attribute 'nothing'"):
        tallyvox.nothing  # noqa: B018
