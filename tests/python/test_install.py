"""What a build is made of, and installing on a machine without development
files.

The scenarios run in a mount namespace in which overlays hide the listed
headers and libraries (the machine itself is left alone): a fresh virtual
environment, no system site packages, installs the package there and runs
the command line from it. The wheel scenario needs `make wheel` first; the
source build takes minutes and runs with TALLYVOX_SOURCE_BUILD_TEST=1
(`make test-install`).
"""

from __future__ import annotations

import ctypes
import json
import os
import re
import shlex
import subprocess
import sys
import sysconfig
from dataclasses import dataclass
from pathlib import Path

import pytest

import tallyvox

REPO = Path(__file__).resolve().parents[2]
LIB = Path("/usr/lib") / (sysconfig.get_config_var("MULTIARCH") or "x86_64-linux-gnu")
INCLUDE = Path("/usr/include")
SODIUM_HEADER = INCLUDE / "sodium" / "version.h"

SODIUM_DEV = [INCLUDE / "sodium", INCLUDE / "sodium.h", LIB / "libsodium.so", LIB / "libsodium.a",
              LIB / "pkgconfig" / "libsodium.pc"]
SODIUM_RUNTIME = [LIB / "libsodium.so.23", *LIB.glob("libsodium.so.23.*")]
OPENSSL_DEV = [INCLUDE / "openssl", INCLUDE / LIB.name / "openssl",
               *(LIB / f"{name}{suffix}" for name in ("libcrypto", "libssl")
                 for suffix in (".so", ".a")),
               *(LIB / "pkgconfig" / f"{name}.pc" for name in ("libcrypto", "libssl", "openssl"))]


def mapped_libraries(maps: str) -> list[str]:
    """The shared objects in a /proc/PID/maps text, each path once."""
    paths = (line.split(maxsplit=5)[-1] for line in maps.splitlines() if ".so" in line)
    return sorted({p for p in paths if p.startswith("/")})


def sodium_header_version() -> str | None:
    if not SODIUM_HEADER.is_file():
        return None
    found = re.search(r'SODIUM_VERSION_STRING\s+"([^"]+)"', SODIUM_HEADER.read_text())
    return found.group(1) if found else None


def openssl_version_of(path: str) -> str:
    """Asks a libcrypto file itself, apart from the extension's answer."""
    lib = ctypes.CDLL(path)
    lib.OpenSSL_version.restype = ctypes.c_char_p
    lib.OpenSSL_version.argtypes = [ctypes.c_int]
    return lib.OpenSSL_version(6).decode()  # OPENSSL_VERSION_STRING


def expected_version_line(info: dict) -> str:
    return (f"tallyvox {tallyvox.__version__} (Ed25519: {info['ed25519']} "
            f"{info['ed25519_version']}, SHA-256: OpenSSL {info['sha256_version']})\n")


def check_build(version_line: str, info: dict, maps: str, ed25519: str | None,
                crypto_at: str | None) -> None:
    """The facts of one installed build against the libraries it has loaded."""
    assert set(info) == {"version", "ed25519", "ed25519_version", "sha256", "sha256_version"}
    assert info["version"] == tallyvox.__version__ and info["sha256"] == "OpenSSL"
    assert ed25519 is None or info["ed25519"] == ed25519
    assert version_line == expected_version_line(info)
    libraries = mapped_libraries(maps)
    crypto = [p for p in libraries if os.path.basename(p).startswith("libcrypto")]
    assert len(crypto) == 1 and (crypto_at is None or crypto_at in crypto[0]), libraries
    assert info["sha256_version"] == openssl_version_of(crypto[0])
    # libsodium is linked in or not used: never loaded at run time.
    assert not [p for p in libraries if "libsodium" in p], libraries
    if info["ed25519"] == "OpenSSL":
        assert info["ed25519_version"] == info["sha256_version"]
    else:
        assert info["ed25519"] == "libsodium"
        assert info["ed25519_version"] == (sodium_header_version() or info["ed25519_version"])


PROBE = ("import json, tallyvox; print(json.dumps({'info': tallyvox.build_info(), "
         "'maps': open('/proc/self/maps').read()}))")


def test_this_build_names_the_libraries_it_loaded():
    version = subprocess.run([sys.executable, "-m", "tallyvox", "--version"],
                             capture_output=True, text=True, timeout=60)
    assert version.returncode == 0, version.stderr
    probe = json.loads(subprocess.check_output([sys.executable, "-c", PROBE], text=True))
    check_build(version.stdout, probe["info"], probe["maps"], None, None)


@dataclass
class Scenario:
    name: str
    hidden: list[Path]
    ed25519: str
    crypto_at: str  # in the path of the libcrypto loaded
    gate: str | None  # environment variable that must be 1 to run
    build_says: str | None = None  # CMake's line on the back end, when it builds


SCENARIOS = [
    Scenario("wheel", SODIUM_DEV + SODIUM_RUNTIME + OPENSSL_DEV, "libsodium",
             "/tallyvox.libs/libcrypto-", None),
    Scenario("source without libsodium", SODIUM_DEV + SODIUM_RUNTIME, "OpenSSL", f"{LIB}/",
             "TALLYVOX_SOURCE_BUILD_TEST",
             r"-- tallyvox: Ed25519 by OpenSSL 3\.\S+ \(libsodium not found; signing is faster "
             r"with libsodium-dev\)\n"),
]


def repaired_wheel() -> Path | None:
    wheels = sorted((REPO / "dist").glob(
        f"tallyvox-{tallyvox.__version__}-cp311-abi3-manylinux_*_x86_64.whl"))
    return wheels[-1] if wheels else None


def namespace_command(script: str) -> list[str]:
    as_root = ["unshare", "--mount", "--propagation", "private"]
    return (as_root if os.geteuid() == 0 else as_root + ["--map-root-user"]) + ["sh", "-c", script]


def hiding_script(hidden: list[Path], scratch: Path) -> str:
    """Shell lines that overlay each directory holding a hidden path and
    remove the path from the overlay, then check it is gone."""
    lines = ["set -eu", f"mount -t tmpfs tmpfs {scratch}"]
    for i, parent in enumerate(sorted({p.parent for p in hidden})):
        upper, work = scratch / f"{i}-upper", scratch / f"{i}-work"
        lines += [f"mkdir {upper} {work}",
                  f"mount -t overlay overlay -o lowerdir={parent},upperdir={upper},"
                  f"workdir={work} {parent}"]
    for path in hidden:
        lines += [f"rm -rf {shlex.quote(str(path))}",
                  f"test ! -e {shlex.quote(str(path))}"]
    return "\n".join(lines)


def install_script(target: str, venv: Path, out: Path) -> str:
    """Installs into a fresh venv, then runs the command line from it; each
    step's output goes to a file in `out`."""
    py, tv = venv / "bin" / "python", venv / "bin" / "tallyvox"
    return "\n".join([
        f"{shlex.quote(sys.executable)} -m venv {venv}",
        f"{py} -m pip install -v --disable-pip-version-check {shlex.quote(target)} "
        f"> {out}/pip.log 2>&1 || {{ cat {out}/pip.log >&2; exit 1; }}",
        f"cd {out}",
        f"{tv} --version > version.txt",
        f"{tv} demo --dir demo > demo.txt",
        f"{tv} verify demo/*/ledger.ndjson > verify.txt",
        f'{py} -c "{PROBE}" > probe.json',
    ])


@pytest.mark.parametrize("scenario", SCENARIOS, ids=lambda s: s.name)
def test_installs_and_runs_without_development_files(scenario, tmp_path):
    if scenario.gate and os.environ.get(scenario.gate) != "1":
        pytest.skip(f"takes minutes: {scenario.gate}=1 (make test-install) runs it")
    target = str(REPO)
    if scenario.name == "wheel":
        wheel = repaired_wheel()
        if wheel is None:
            pytest.skip("no repaired wheel in dist/: make wheel builds it")
        target = str(wheel)
    if subprocess.run(namespace_command("true"), capture_output=True).returncode != 0:
        pytest.skip("cannot make a mount namespace here (unshare)")
    scratch, out = tmp_path / "scratch", tmp_path / "out"
    scratch.mkdir()
    out.mkdir()
    hidden = [p for p in scenario.hidden if p.exists() or p.is_symlink()]
    script = hiding_script(hidden, scratch) + "\n" + install_script(target, tmp_path / "venv", out)
    run = subprocess.run(namespace_command(script), capture_output=True, text=True, timeout=1500)
    assert run.returncode == 0, run.stdout + run.stderr
    # The machine itself still has what the namespace hid.
    assert all(p.exists() or p.is_symlink() for p in hidden)

    probe = json.loads((out / "probe.json").read_text())
    check_build((out / "version.txt").read_text(), probe["info"], probe["maps"],
                scenario.ed25519, scenario.crypto_at)
    ledgers = list(out.glob("demo/*/ledger.ndjson"))
    assert len(ledgers) == 1
    assert "valid" in (out / "demo.txt").read_text()
    verified = (out / "verify.txt").read_text()
    assert verified.startswith(f"{ledgers[0].relative_to(out)}: valid\n")
    assert re.search(r"^  events:\s+8$", verified, re.M), verified
    if scenario.build_says:
        assert re.search(scenario.build_says, (out / "pip.log").read_text())
