"""tallyvox: a tamper-evident, signed ledger of what an AI agent did."""

import os as _os
import sys as _sys

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
from tallyvox.recover import Recovery, recover_ledger  # noqa: E402

from tallyvox import checkpoint  # noqa: E402
from tallyvox.checkpoint import *  # noqa: E402,F401,F403
from tallyvox.policy import CheckpointPolicy  # noqa: E402
from tallyvox.fleet import (  # noqa: E402
    LedgerVerdict,
    verify_file_parallel,
    verify_many,
    verify_stream,
)

__all__ = [*_tallyvox.__all__, "KeyPermissionWarning", "read_ledger", "recover_ledger", "Recovery",
           *checkpoint.__all__, "CheckpointPolicy",
           "LedgerVerdict", "verify_file_parallel", "verify_many", "verify_stream", "build_info"]
