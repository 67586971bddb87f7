// Sealing an event into a signed record, checking one record on its own, and
// the record's one text form: a line of compact JSON.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/crypto/ed25519.h"
#include "core/crypto/sha256.h"
#include "core/ledger/event.h"
#include "core/util/buffer.h"
#include "core/util/error.h"

namespace tallyvox {

class SigningKeypair;

inline constexpr std::string_view kGenesisParentHash =
    "0000000000000000000000000000000000000000000000000000000000000000";


// Fields in the order of the ledger line.
struct SignedEvent {
  std::uint64_t seq = 0;
  std::uint64_t timestamp_nanos = 0;
  AgentEvent event;
  std::string parent_hash;
  std::string self_hash;
  std::string signature;
  std::string signer_pubkey;

  friend bool operator==(const SignedEvent&, const SignedEvent&) = default;
};

// The canonical bytes that are hashed: {"event", "parent_hash", "seq",
// "timestamp_nanos"} with sorted keys.
void write_self_hash_input(Buffer& out, std::uint64_t seq, std::uint64_t timestamp_nanos,
                           const AgentEvent& event, std::string_view parent_hash);

// SHA-256 of the self-hash input. Events of the model always convert, so
// this cannot fail.
Digest compute_self_hash(std::uint64_t seq, std::uint64_t timestamp_nanos, const AgentEvent& event,
                         std::string_view parent_hash);

// Nanoseconds since the Unix epoch, modulo 2^64; 0 before 1970.
std::uint64_t wall_clock_nanos();

// Stamps, hashes and signs. The clock is read here, once.
SignedEvent seal_event(std::uint64_t seq, AgentEvent event, std::string_view parent_hash,
                       const SigningKeypair& keypair);

// Keeps the verifier of the last public key met: a chain is usually signed
// by one key, and building a verifier costs more than hashing an event.
class VerifierCache {
 public:
  const ed25519::Verifier& get(const ed25519::PublicKey& key);

 private:
  ed25519::PublicKey key_{};
  std::optional<ed25519::Verifier> verifier_;
};

// Recomputes the hash, compares it as text, then checks the signature with
// the record's own public key.
std::expected<void, SealError> verify_signed_event(const SignedEvent& record,
                                                   VerifierCache* cache = nullptr);

// The record as one line of compact JSON, without the LF.
void write_line(Buffer& out, const SignedEvent& record);

// A line nests the record, its event and the payload around args_redacted;
// a line nested past the reader's limit could never be read back, so the
// ledger refuses to write it ("recursion limit exceeded").
std::expected<void, JsonError> check_line_nesting(const SignedEvent& record);

// Reads one line (as the ledger cut it, not trimmed): exactly one record,
// with only space, tab, CR and LF around it. Errors carry their position.
std::expected<SignedEvent, JsonError> read_line(std::string_view line);

// The same checks and errors, reading into `record` all but the event (which
// keeps what it held): for readers that need every line to be a record but
// not its event, such as resuming a ledger.
std::expected<void, JsonError> read_line_head(std::string_view line, SignedEvent& record);

}  // namespace tallyvox
