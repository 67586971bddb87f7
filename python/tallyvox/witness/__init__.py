"""Witnesses: independent parties that cosign a log's checkpoints.

A checkpoint signed by the ledger's own key proves nothing against whoever
holds that key: they can rewrite the ledger and sign again. A witness
(c2sp.org/tlog-witness) cosigns a checkpoint only after checking that it
extends the last one it cosigned for that log, so a checkpoint that carries
cosignatures by a quorum of witnesses an auditor trusts cannot be quietly
replaced by another history.

- ``submit`` / ``submit_async``: get a checkpoint cosigned (needs aiohttp,
  the ``witness`` extra);
- ``verify_cosignatures``: check a quorum of cosignatures as an auditor;
- ``Vkey``: the verifier keys by which logs and witnesses are named;
- ``tallyvox.witness.server`` and ``tallyvox.witness.state``: a witness.
"""

from tallyvox.witness.client import (
    Submission,
    Witness,
    WitnessAnswer,
    WitnessError,
    load_sizes,
    save_sizes,
    submit,
    submit_async,
)
from tallyvox.witness.verify import Cosignature, Uncounted, WitnessCheck, verify_cosignatures
from tallyvox.witness.vkey import COSIGNER, NOTE_SIGNER, Vkey

__all__ = [
    "COSIGNER",
    "Cosignature",
    "NOTE_SIGNER",
    "Submission",
    "Uncounted",
    "Vkey",
    "Witness",
    "WitnessAnswer",
    "WitnessCheck",
    "WitnessError",
    "load_sizes",
    "save_sizes",
    "submit",
    "submit_async",
    "verify_cosignatures",
]
