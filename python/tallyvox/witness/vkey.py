"""Verifier keys (c2sp.org/signed-note): the text by which a log or a witness
publishes the key that checks its signatures, ``<name>+<key ID>+<key>``."""

from __future__ import annotations

from dataclasses import dataclass

from tallyvox._tallyvox import SigningKeypair, _native

NOTE_SIGNER = 0x01  # a log signing its checkpoints
COSIGNER = 0x04  # a witness cosigning them (cosignature/v1)


@dataclass(frozen=True)
class Vkey:
    """A verifier key: the key name, its 4-byte ID, its type and the Ed25519 key."""

    name: str
    key_id: int
    type: int
    public_key: bytes

    @classmethod
    def parse(cls, text: str) -> Vkey:
        """Read a verifier key; ValueError says what is wrong with it."""
        return cls(*_native.parse_vkey(text))

    @classmethod
    def of(cls, keypair: SigningKeypair, name: str, *, cosigner: bool = False) -> Vkey:
        """The verifier key of `keypair` as log (note signer) or witness `name`."""
        return cls.parse(_native.format_vkey(name, bytes.fromhex(keypair.pubkey_hex),
                                             COSIGNER if cosigner else NOTE_SIGNER))

    @property
    def cosigner(self) -> bool:
        return self.type == COSIGNER

    @property
    def pubkey_hex(self) -> str:
        return self.public_key.hex()

    def __str__(self) -> str:
        return _native.format_vkey(self.name, self.public_key, self.type)


def cosigner_key(text: str) -> Vkey:
    """A witness's verifier key (type 0x04); ValueError otherwise."""
    vkey = Vkey.parse(text)
    if not vkey.cosigner:
        raise ValueError(f"{vkey.name}: not the key of a witness (a cosigner key, type 0x04)")
    return vkey


def signer_key(text: str) -> Vkey:
    """A log's verifier key (type 0x01); ValueError otherwise."""
    vkey = Vkey.parse(text)
    if vkey.cosigner:
        raise ValueError(f"{vkey.name}: not the key of a log (a note signer key, type 0x01)")
    return vkey
