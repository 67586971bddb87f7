import os
import pathlib
import shutil
import subprocess
import sys

import pytest

FAULTS = pathlib.Path(__file__).resolve().parent.parent / "faults"


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


@pytest.fixture
def raises_with_note():
    """Asserts an exception of `cls`, message `message` and the argument note."""

    def check(cls, message, name, fn, *args, **kwargs):
        with pytest.raises(cls) as excinfo:
            fn(*args, **kwargs)
        if message is not None:
            assert str(excinfo.value) == message
        assert f"while processing '{name}'" in notes(excinfo)
        return excinfo.value

    return check


@pytest.fixture(scope="session")
def child_env():
    """The environment of a child process that imports the same tallyvox as
    this one, with `extra` variables added."""
    import tallyvox

    package_parent = str(pathlib.Path(tallyvox.__file__).resolve().parent.parent)

    def make(extra=()):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            p for p in [package_parent, env.get("PYTHONPATH")] if p)
        env.update(extra)
        return env

    return make


@pytest.fixture(scope="session")
def injector(tmp_path_factory):
    """The fault-injection library (tests/faults/inject.c), built once."""
    compiler = shutil.which(os.environ.get("CC", "cc"))
    if compiler is None:
        pytest.skip("no C compiler (cc) to build the fault-injection library")
    if not sys.platform.startswith("linux"):
        pytest.skip("fault injection relies on LD_PRELOAD and glibc (Linux only)")
    out = tmp_path_factory.mktemp("inject") / "inject.so"
    built = subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", str(out),
                            str(FAULTS / "inject.c"), "-ldl", "-lpthread"],
                           capture_output=True, text=True)
    if built.returncode != 0:
        pytest.fail("building the fault-injection library failed:\n" + built.stderr)
    return out
