# The extension's private namespace; the package exports these under the
# same names.
from tallyvox._tallyvox import ChainReport, SignedEvent, _StrPath

def read_ledger(path: _StrPath) -> list[SignedEvent]: ...

# (kept_events, kept_bytes, removed_bytes, torn_path or None when intact)
def recover_ledger(path: _StrPath) -> tuple[int, int, int, str | None]: ...
# The walk of the complete lines, and the size of a torn final line (0: none).
def verify_kept_lines(path: _StrPath) -> tuple[ChainReport, int]: ...
