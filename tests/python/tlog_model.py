"""An independent model of the transparency-log formats, written from their
texts with hashlib and cryptography only: the RFC 6962 tree and its proofs,
signed notes and checkpoints (c2sp.org/signed-note, tlog-checkpoint),
verifier keys, cosignatures (tlog-cosignature) and the add-checkpoint body
(tlog-witness). The tests hold tallyvox to it."""

import base64
import hashlib
import re
import struct

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey

# ---------------------------------------------------------------------------
# RFC 6962 section 2.1


def model_leaf(data):
    return hashlib.sha256(b"\x00" + data).digest()


def model_node(left, right):
    return hashlib.sha256(b"\x01" + left + right).digest()


def split(n):
    k = 1
    while k * 2 < n:
        k *= 2
    return k


def mth(leaves):
    if not leaves:
        return hashlib.sha256(b"").digest()
    if len(leaves) == 1:
        return model_leaf(leaves[0])
    k = split(len(leaves))
    return model_node(mth(leaves[:k]), mth(leaves[k:]))


def model_path(m, leaves):
    if len(leaves) <= 1:
        return []
    k = split(len(leaves))
    if m < k:
        return model_path(m, leaves[:k]) + [mth(leaves[k:])]
    return model_path(m - k, leaves[k:]) + [mth(leaves[:k])]


def model_subproof(m, leaves, whole):
    n = len(leaves)
    if m == n:
        return [] if whole else [mth(leaves)]
    k = split(n)
    if m <= k:
        return model_subproof(m, leaves[:k], whole) + [mth(leaves[k:])]
    return model_subproof(m - k, leaves[k:], False) + [mth(leaves[:k])]


def model_consistency(m, leaves):
    return [] if m in (0, len(leaves)) else model_subproof(m, leaves, True)


# ---------------------------------------------------------------------------
# Signed notes, checkpoints, verifier keys

NOTE_SIGNER, COSIGNER = 0x01, 0x04


def key_id(name, public, kind=NOTE_SIGNER):
    return hashlib.sha256(name.encode() + b"\n" + bytes([kind]) + public).digest()[:4]


def model_vkey(name, public, kind):
    return f"{name}+{key_id(name, public, kind).hex()}+{base64.b64encode(bytes([kind]) + public).decode()}"


def public_of(private):
    return private.public_key().public_bytes_raw()


def signature_lines(note):
    """The note's text and its signature lines as (name, blob)."""
    text, _, signatures = note.rpartition("\n\n")
    lines = signatures.split("\n")
    assert lines.pop() == "" and 1 <= len(lines) <= 16
    return text + "\n", [re.fullmatch("\u2014 (\\S+) (\\S+)", line).groups() for line in lines]


def read_note(note, public_hex):
    """The (origin, size, root) of a checkpoint note signed by the key."""
    public = bytes.fromhex(public_hex)
    text, lines = signature_lines(note)
    origin, size, root = re.fullmatch(r"([^\s+]+)\n(0|[1-9][0-9]*)\n([A-Za-z0-9+/]{43}=)\n",
                                      text).groups()
    for name, blob in lines:
        blob = base64.b64decode(blob, validate=True)
        if name == origin and blob[:4] == key_id(name, public):
            Ed25519PublicKey.from_public_bytes(public).verify(blob[4:], text.encode())
            return origin, int(size), base64.b64decode(root)
    raise AssertionError("no signature by the key")


def model_sign(text, name, private):
    blob = key_id(name, public_of(private)) + private.sign(text.encode())
    return f"{text}\n\u2014 {name} {base64.b64encode(blob).decode()}\n"


def checkpoint_text(origin, leaves):
    return f"{origin}\n{len(leaves)}\n{base64.b64encode(mth(leaves)).decode()}\n"


# ---------------------------------------------------------------------------
# Cosignatures (cosignature/v1)


def cosigned_message(text, time):
    return f"cosignature/v1\ntime {time}\n{text}".encode()


def model_cosign(text, name, private, time):
    blob = key_id(name, public_of(private), COSIGNER) + struct.pack(">Q", time) + \
        private.sign(cosigned_message(text, time))
    return f"\u2014 {name} {base64.b64encode(blob).decode()}\n"


def cosignature_times(note, name, public):
    """The times of the witness's cosignatures on the note; each must verify."""
    text, lines = signature_lines(note)
    times = []
    for line_name, blob in lines:
        blob = base64.b64decode(blob, validate=True)
        if line_name == name and blob[:4] == key_id(name, public, COSIGNER):
            assert len(blob) == 4 + 8 + 64
            (time,) = struct.unpack(">Q", blob[4:12])
            Ed25519PublicKey.from_public_bytes(public).verify(blob[12:], cosigned_message(text, time))
            times.append(time)
    return times


# ---------------------------------------------------------------------------
# The add-checkpoint body


def add_checkpoint_body(old_size, proof, note):
    return ("".join(line + "\n" for line in [f"old {old_size}",
                                             *(base64.b64encode(h).decode() for h in proof)])
            + "\n" + note).encode()


class ModelLog:
    """A log of synthetic leaves signed by a fixed key under its origin."""

    def __init__(self, origin, seed, leaves):
        self.origin, self.private = origin, Ed25519PrivateKey.from_private_bytes(seed)
        self.leaves = list(leaves)

    @property
    def vkey(self):
        return model_vkey(self.origin, public_of(self.private), NOTE_SIGNER)

    def note(self, size):
        return model_sign(checkpoint_text(self.origin, self.leaves[:size]), self.origin, self.private)

    def body(self, old_size, size, proof=None):
        if proof is None:
            proof = model_consistency(old_size, self.leaves[:size])
        return add_checkpoint_body(old_size, proof, self.note(size))


def synthetic_leaves(n, tag=b""):
    return [hashlib.sha256(tag + str(i).encode()).digest() for i in range(n)]
