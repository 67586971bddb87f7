import importlib.metadata
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
