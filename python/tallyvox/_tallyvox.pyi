"""Type information for the tallyvox extension module."""

from collections.abc import Iterable, Sequence
from os import PathLike
from types import TracebackType
from typing import Any, Final, Literal, SupportsIndex, final

from tallyvox import _native as _native
from tallyvox import events as events
from tallyvox.checkpoint import Checkpoint
from tallyvox.events import AgentEvent
from tallyvox.policy import CheckpointPolicy

_StrPath = str | PathLike[str]

__all__ = [
    "__version__",
    "TallyvoxError",
    "KeyLoadError",
    "SigningError",
    "LedgerError",
    "ChainError",
    "SigningKeypair",
    "events",
    "SignedEvent",
    "sign_event",
    "compute_self_hash",
    "GENESIS_PARENT_HASH",
    "Session",
    "ChainReport",
    "verify_chain",
    "verify_file",
    "canonical_json",
]

__version__: str

GENESIS_PARENT_HASH: Final[str]
"""Parent hash of the first event of every chain: 64 "0" characters."""

class TallyvoxError(Exception):
    """Base class for all Tallyvox errors."""

class KeyLoadError(TallyvoxError):
    """Keypair load or save failure."""

class SigningError(TallyvoxError):
    """Event seal or hash failure."""

class LedgerError(TallyvoxError):
    """Ledger read or write failure."""

class ChainError(TallyvoxError):
    """Malformed verification input."""

@final
class SigningKeypair:
    """An Ed25519 signing key. Made only by generate, load and load_or_create."""

    @staticmethod
    def generate() -> SigningKeypair:
        """Generate a fresh Ed25519 keypair from the OS RNG."""

    @staticmethod
    def load(path: _StrPath) -> SigningKeypair:
        """Load a keypair from a 32-byte secret-key file."""

    @staticmethod
    def load_or_create(path: _StrPath) -> SigningKeypair:
        """Load the keypair at `path`, or generate and persist one if absent."""

    def save(self, path: _StrPath) -> None:
        """Persist the 32-byte secret key to `path` (0600 on unix)."""

    @property
    def pubkey_hex(self) -> str:
        """The 64-hex-character Ed25519 public key."""

@final
class SignedEvent:
    """Read-only view of a sealed, signed event. Construct via Session.record or
    sign_event; the fields are not settable from Python."""

    @property
    def seq(self) -> int: ...
    @property
    def timestamp_nanos(self) -> int: ...
    @property
    def event(self) -> dict[str, Any]:
        """The event as its tagged `{"type", "payload"}` mapping."""

    @property
    def parent_hash(self) -> str: ...
    @property
    def self_hash(self) -> str: ...
    @property
    def signature(self) -> str: ...
    @property
    def signer_pubkey(self) -> str: ...
    def to_json(self) -> str:
        """The exact NDJSON ledger line bytes for this event, as a `str`."""

def sign_event(
    *, event: AgentEvent, seq: SupportsIndex, parent_hash: str, keypair: SigningKeypair
) -> SignedEvent:
    """Low-level escape hatch: seal one event against a caller-managed parent hash
    and seq. Most callers use Session, which manages seq and parent chaining."""

def compute_self_hash(
    *, seq: SupportsIndex, timestamp_nanos: SupportsIndex, event: AgentEvent, parent_hash: str
) -> str:
    """Compute the self_hash hex for `(seq, timestamp_nanos, event, parent_hash)`
    without signing. Exposed for verifier implementations and byte-compat tests."""

@final
class Session:
    """One signing session bound to a single ledger file. `record` allocates the
    next seq, signs against the running parent hash, appends with fsync, and
    advances the chain. Resumes from any pre-existing events on open."""

    @staticmethod
    def open(
        *,
        keypair: SigningKeypair,
        ledger_path: _StrPath,
        session_id: str,
        checkpoints: CheckpointPolicy | None = None,
    ) -> Session:
        """Open (or resume) a session writing to `ledger_path`."""

    def record(self, event: AgentEvent) -> SignedEvent:
        """Seal `event`, append it to the ledger, and return the SignedEvent.

        This call fsyncs the ledger before returning (durability), which costs a
        few milliseconds. On an async backend, wrap it in `asyncio.to_thread`."""

    def record_many(self, events: Iterable[AgentEvent]) -> list[SignedEvent]:
        """Seal `events` in order, append them to the ledger with one write and one
        fsync, and return their SignedEvents. All or nothing: when the append
        fails, none of them is in the ledger and the chain is as it was."""

    def checkpoint(self, origin: str | None = None) -> Checkpoint:
        """Sign the checkpoint of every event recorded so far, without reading the
        ledger: the same Checkpoint as make_checkpoint of the ledger."""

    def close(self) -> None:
        """Close the ledger file, releasing its writer lock. A record in progress on
        another thread finishes first; `record` afterwards raises LedgerError.
        Closing again does nothing."""

    def __enter__(self) -> Session:
        """Return the session."""

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close the session."""

    @property
    def session_id(self) -> str: ...
    @property
    def closed(self) -> bool:
        """True once the session is closed."""

    @property
    def last_checkpoint(self) -> str | None:
        """The note of the latest checkpoint the session signed, or None."""

@final
class ChainReport:
    """Result of walking a chain: hashes, signatures, parent links, seq density."""

    @property
    def ok(self) -> bool:
        """True if every event passed hash, signature, parent-link, and seq checks."""

    @property
    def status(self) -> Literal["valid", "broken"]:
        """"valid" or "broken"."""

    @property
    def event_count(self) -> int: ...
    @property
    def broken_at(self) -> int | None:
        """Seq of the first failing event, or None if the chain is valid."""

    @property
    def reason(self) -> str | None: ...
    @property
    def root_hash(self) -> str:
        """self_hash of the last valid event walked (genesis sentinel if empty)."""

def verify_chain(events: Sequence[SignedEvent]) -> ChainReport:
    """Verify an in-memory list of SignedEvent objects."""

def verify_file(path: _StrPath) -> ChainReport:
    """Read an NDJSON ledger file and verify it. A missing file verifies as an
    empty, valid chain (event_count = 0)."""

def canonical_json(value: object) -> bytes:
    """Encode a JSON-able Python value to canonical-JSON bytes: sorted object keys,
    no whitespace, fixed escapes, non-ASCII as raw UTF-8."""
