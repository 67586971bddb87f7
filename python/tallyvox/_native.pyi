# The extension's private namespace; the package exports these under the
# same names.
from tallyvox._tallyvox import SignedEvent, _StrPath

def read_ledger(path: _StrPath) -> list[SignedEvent]: ...
