"""tallyvox: a tamper-evident, signed ledger of what an AI agent did."""

import importlib as _importlib
import os as _os
import sys as _sys
import typing as _typing

from tallyvox import _tallyvox
from tallyvox._tallyvox import *  # noqa: F401,F403
from tallyvox._tallyvox import __version__  # noqa: F401

events = _tallyvox.events

# The native entry points beyond the seventeen public attributes, importable
# as tallyvox._native.
_sys.modules.setdefault("tallyvox._native", _tallyvox._native)

from tallyvox import line_limit  # noqa: E402

# The module reads no environment; the package hands it the line limit once.
_tallyvox._native.set_max_line_bytes(line_limit.max_line_bytes_from(_os.environ))

from tallyvox._native import KeyPermissionWarning  # noqa: E402
from tallyvox.about import build_info  # noqa: E402
from tallyvox.records import read_ledger  # noqa: E402

# The rest is imported when first used: the checkpoint classes, the policy,
# recovery and the fleet functions bring in dataclasses, logging and
# multiprocessing, which a session that only records, or a command line that
# only prints its version, never needs.
_CHECKPOINT_NAMES = [
    "Checkpoint", "CheckpointCheck", "CheckpointError", "CheckpointFailed", "ProofCheck",
    "consistency_proof", "make_checkpoint", "open_checkpoint", "prove", "verify_checkpoint",
    "verify_consistency", "verify_proof",
]
_LAZY = {
    "recover_ledger": "recover",
    "Recovery": "recover",
    **dict.fromkeys(_CHECKPOINT_NAMES, "checkpoint"),
    "CheckpointPolicy": "policy",
    **dict.fromkeys(["LedgerVerdict", "verify_file_parallel", "verify_many", "verify_stream"],
                    "fleet"),
}

if _typing.TYPE_CHECKING:
    from tallyvox import checkpoint as checkpoint, fleet as fleet, policy as policy
    from tallyvox import recover as recover
    from tallyvox.checkpoint import (Checkpoint as Checkpoint, CheckpointCheck as CheckpointCheck,
                                     CheckpointError as CheckpointError,
                                     CheckpointFailed as CheckpointFailed, ProofCheck as ProofCheck,
                                     consistency_proof as consistency_proof,
                                     make_checkpoint as make_checkpoint,
                                     open_checkpoint as open_checkpoint, prove as prove,
                                     verify_checkpoint as verify_checkpoint,
                                     verify_consistency as verify_consistency,
                                     verify_proof as verify_proof)
    from tallyvox.fleet import (LedgerVerdict as LedgerVerdict,
                                verify_file_parallel as verify_file_parallel,
                                verify_many as verify_many, verify_stream as verify_stream)
    from tallyvox.policy import CheckpointPolicy as CheckpointPolicy
    from tallyvox.recover import Recovery as Recovery, recover_ledger as recover_ledger


def __getattr__(name: str) -> object:
    # A lazy name, or one of the modules that hold them.
    module = _LAZY.get(name)
    if module is None and name not in _LAZY.values():
        raise AttributeError(f"module 'tallyvox' has no attribute {name!r}")
    loaded = _importlib.import_module(f"tallyvox.{module or name}")
    value = loaded if module is None else getattr(loaded, name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY, *_LAZY.values()})


__all__ = [*_tallyvox.__all__, "KeyPermissionWarning", "read_ledger", "recover_ledger", "Recovery",
           *_CHECKPOINT_NAMES, "CheckpointPolicy", "LedgerVerdict", "verify_file_parallel",
           "verify_many", "verify_stream", "build_info"]
