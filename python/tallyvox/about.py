"""What this build of tallyvox is made of: its version and the libraries that
sign (Ed25519) and hash (SHA-256), named with the versions loaded at run time.

Imports nothing but the extension, so that `tallyvox --version` stays cheap.
"""

from __future__ import annotations

from typing import TypedDict

from tallyvox._tallyvox import __version__, _native


class BuildInfo(TypedDict):
    version: str          # the package's version, as tallyvox.__version__
    ed25519: str          # "libsodium" or "OpenSSL"
    ed25519_version: str  # e.g. "1.0.18"
    sha256: str           # "OpenSSL"
    sha256_version: str   # e.g. "3.0.19"


def build_info() -> BuildInfo:
    """The version and the Ed25519 and SHA-256 libraries of this build."""
    libraries = _native.build_info()
    return BuildInfo(version=__version__, ed25519=libraries["ed25519"],
                     ed25519_version=libraries["ed25519_version"], sha256=libraries["sha256"],
                     sha256_version=libraries["sha256_version"])


def version_text() -> str:
    """`tallyvox --version`: e.g. `tallyvox 0.1.1 (Ed25519: libsodium 1.0.18,
    SHA-256: OpenSSL 3.0.19)`."""
    info = build_info()
    return (f"tallyvox {info['version']} (Ed25519: {info['ed25519']} {info['ed25519_version']}, "
            f"SHA-256: {info['sha256']} {info['sha256_version']})")
