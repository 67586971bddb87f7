"""Bare Ed25519 and SHA-256 from the system's libcrypto, the very library the
extension links, called through ctypes.

The `cryptography` package carries an OpenSSL of its own, which may be a
different (faster or slower) release; a floor measured with it compares two
libraries rather than tallyvox's work with the library it must use. These
floors call the same libcrypto the extension maps. Each operation costs two
or three foreign calls of overhead (well under a microsecond each), which
makes this floor slightly slower than a C loop would be.
"""

from __future__ import annotations

import ctypes
import ctypes.util

import tallyvox  # noqa: F401  (maps the extension's libcrypto first)

_EVP_PKEY_ED25519 = 1087


def _mapped_libcrypto() -> str:
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if "/libcrypto.so" in path and "site-packages" not in path:
                return path
    found = ctypes.util.find_library("crypto")
    if found is None:
        raise RuntimeError("no system libcrypto")
    return found


_lib = ctypes.CDLL(_mapped_libcrypto())
_vp, _sz = ctypes.c_void_p, ctypes.c_size_t
_lib.OpenSSL_version.restype = ctypes.c_char_p
_lib.OpenSSL_version.argtypes = [ctypes.c_int]
_lib.EVP_PKEY_new_raw_private_key.restype = _vp
_lib.EVP_PKEY_new_raw_private_key.argtypes = [ctypes.c_int, _vp, ctypes.c_char_p, _sz]
_lib.EVP_PKEY_new_raw_public_key.restype = _vp
_lib.EVP_PKEY_new_raw_public_key.argtypes = [ctypes.c_int, _vp, ctypes.c_char_p, _sz]
_lib.EVP_MD_CTX_new.restype = _vp
_lib.EVP_MD_CTX_new.argtypes = []
_lib.EVP_DigestSignInit.argtypes = [_vp, _vp, _vp, _vp, _vp]
_lib.EVP_DigestSign.argtypes = [_vp, ctypes.c_char_p, ctypes.POINTER(_sz), ctypes.c_char_p, _sz]
_lib.EVP_DigestVerifyInit.argtypes = [_vp, _vp, _vp, _vp, _vp]
_lib.EVP_DigestVerify.argtypes = [_vp, ctypes.c_char_p, _sz, ctypes.c_char_p, _sz]
_lib.SHA256.restype = _vp
_lib.SHA256.argtypes = [ctypes.c_char_p, _sz, ctypes.c_char_p]

VERSION = _lib.OpenSSL_version(0).decode()


def sha256(data: bytes, _out=ctypes.create_string_buffer(32)) -> bytes:
    _lib.SHA256(data, len(data), _out)
    return _out.raw


class Signer:
    def __init__(self, seed: bytes):
        self._key = _lib.EVP_PKEY_new_raw_private_key(_EVP_PKEY_ED25519, None, seed, 32)
        self._ctx = _lib.EVP_MD_CTX_new()
        self._sig = ctypes.create_string_buffer(64)
        self._len = _sz(64)

    def sign(self, message: bytes) -> bytes:
        _lib.EVP_DigestSignInit(self._ctx, None, None, None, self._key)
        self._len.value = 64
        if _lib.EVP_DigestSign(self._ctx, self._sig, ctypes.byref(self._len), message,
                               len(message)) != 1:
            raise RuntimeError("EVP_DigestSign failed")
        return self._sig.raw


class Verifier:
    def __init__(self, public_key: bytes):
        self._key = _lib.EVP_PKEY_new_raw_public_key(_EVP_PKEY_ED25519, None, public_key, 32)
        self._ctx = _lib.EVP_MD_CTX_new()

    def verify(self, signature: bytes, message: bytes) -> bool:
        _lib.EVP_DigestVerifyInit(self._ctx, None, None, None, self._key)
        return _lib.EVP_DigestVerify(self._ctx, signature, 64, message, len(message)) == 1
