// Checkpoints of a ledger: making one, checking a ledger against one, and
// the inclusion and consistency proofs that stand on one.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/crypto/ed25519.h"
#include "core/ledger/chain.h"
#include "core/ledger/ledger.h"
#include "core/tlog/note.h"

namespace tallyvox {

class SigningKeypair;

struct CheckpointFailure {
  // DoesNotHold: the ledger, note or proof was read and a check failed.
  // Malformed: an input could not be read or is not what it should be.
  enum class Kind { DoesNotHold = 1, Malformed = 2 };
  Kind kind;
  std::string message;
};

template <class T>
using CheckpointResult = std::expected<T, CheckpointFailure>;

// "tallyvox/" followed by the self_hash of the ledger's first event.
std::string default_origin(std::string_view first_self_hash);

struct SignedCheckpoint {
  Checkpoint checkpoint;
  std::string note;
};

// What signing a checkpoint of a whole ledger needs to know of it, however
// it was learnt: by walking the file, or by the session that wrote it.
struct LedgerSummary {
  std::uint64_t size = 0;
  Digest root{};
  std::string_view first_self_hash;            // empty for an empty ledger
  std::optional<ChainBreak> chain_break;       // the first break found
  std::optional<std::uint64_t> foreign_at;     // the first event not signed by the key
};

// Signs the tree the summary describes, unless the chain is broken or an
// event is another key's. An empty ledger needs an explicit origin.
CheckpointResult<SignedCheckpoint> sign_checkpoint(const LedgerSummary& ledger,
                                                   const SigningKeypair& keypair,
                                                   const std::optional<std::string>& origin);

// Signs the tree of every event, after the whole chain verifies and every
// event is signed by `keypair`. An empty ledger needs an explicit origin.
CheckpointResult<SignedCheckpoint> make_checkpoint(const std::string& path,
                                                   const SigningKeypair& keypair,
                                                   const std::optional<std::string>& origin,
                                                   const ReadOptions& read = {});

// Reads a checkpoint note without checking any signature.
CheckpointResult<Checkpoint> read_checkpoint(std::string_view note);

// Reads a checkpoint note and checks its signature by `key`.
CheckpointResult<Checkpoint> open_checkpoint(std::string_view note, const ed25519::PublicKey& key);

struct LedgerMatch {
  Checkpoint checkpoint;
  std::uint64_t event_count = 0;
  ed25519::PublicKey signer{};  // the key that signed the checkpoint
};

// The checkpoint must be signed by one of `signers` (by the key of the
// ledger's first event when none is given), the ledger must hold at least
// its size, and the tree of its first `size` events must have its root.
CheckpointResult<LedgerMatch> verify_ledger_checkpoint(const std::string& path, std::string_view note,
                                                       const std::vector<ed25519::PublicKey>& signers,
                                                       const ReadOptions& read = {});

// The proof file of the event at `seq`, against a checkpoint the ledger
// matches (signed by the ledger's key).
CheckpointResult<std::string> make_inclusion_proof(const std::string& path, std::uint64_t seq,
                                                   std::string_view note, const ReadOptions& read = {});

struct ProofCheck {
  Checkpoint checkpoint;
  std::string note;  // the checkpoint's note
  std::uint64_t index = 0;
  std::string line;
  SignedEvent record;  // the line as read, so that no caller reads it again
};

// Checks a proof file without the ledger: the checkpoint signed by `key`,
// the disclosed line a valid record signed by `key` at `index`, and its leaf
// included in the checkpoint's tree.
CheckpointResult<ProofCheck> verify_inclusion_proof(std::string_view text,
                                                    const ed25519::PublicKey& key);

// The consistency proof between the trees of the first `old_size` and
// `new_size` events of a ledger.
CheckpointResult<std::vector<Digest>> ledger_consistency_proof(const std::string& path,
                                                               std::uint64_t old_size,
                                                               std::uint64_t new_size,
                                                               const ReadOptions& read = {});

}  // namespace tallyvox
