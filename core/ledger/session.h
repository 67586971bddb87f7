// One signer writing one ledger: sequence numbers, the running parent hash,
// sealing, durable appends, and the tree its checkpoints are signed over.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/crypto/keys.h"
#include "core/ledger/ledger.h"
#include "core/ledger/signed.h"
#include "core/tlog/checkpoint.h"
#include "core/tlog/ledger_tree.h"
#include "core/util/error.h"
#include "core/util/poison_mutex.h"

namespace tallyvox {

class Session {
 public:
  // Opens (or resumes) the ledger at `path` with a private copy of the key,
  // reading what it holds with `read`'s line limit and interruption check.
  static std::expected<std::unique_ptr<Session>, SessionError> open(const SigningKeypair& keypair,
                                                                    const std::string& path,
                                                                    std::string session_id,
                                                                    const ReadOptions& read = {});

  // Seals `event` with the next seq and the running parent hash, appends it
  // and advances the chain. Safe to call from several threads. Closed once
  // the session is.
  std::expected<SignedEvent, SessionError> record(const AgentEvent& event);

  // Seals `events` in order and appends them as one batch: one write, one
  // flush. All or nothing: a batch that fails is cut back whole and the
  // seq and parent stay as they were. No events, no write.
  std::expected<std::vector<SignedEvent>, SessionError> record_many(
      std::span<const AgentEvent* const> events);

  // Records `events` in order, in batches that each close once their lines
  // reach `max_bytes` (a batch holds at least one event). One outcome per
  // event: its record, or the error of its batch. A failed batch does not
  // stop the next one.
  std::vector<std::expected<SignedEvent, SessionError>> record_batches(
      std::span<const AgentEvent* const> events, std::size_t max_bytes);

  // The signed checkpoint of every event appended so far, from the tree the
  // session keeps: no file is read. The outer error says the session is
  // closed; the inner one is make_checkpoint's refusal, with its texts.
  std::expected<CheckpointResult<SignedCheckpoint>, SessionError> checkpoint(
      const std::optional<std::string>& origin);

  // The note of the latest checkpoint signed by `checkpoint`, if any.
  std::optional<std::string> last_checkpoint();

  // Closes the ledger, which releases its writer lock, and wipes the key
  // copy, after a record in progress on another thread has returned. Closing
  // again does nothing; a session poisoned by a fault closes too.
  void close();
  bool closed() const { return closed_.load(std::memory_order_acquire); }

  const std::string& session_id() const { return session_id_; }

  Session(std::string session_id, std::unique_ptr<LedgerWriter> writer, SigningKeypair keypair,
          std::uint64_t next_seq, std::string parent_hash, LedgerFrontier frontier);

 private:
  // Seals from the front of `events` until the batch's lines reach
  // `max_bytes`, then appends that batch; `taken` tells how many it held.
  std::expected<std::vector<SignedEvent>, SessionError> commit(
      std::span<const AgentEvent* const> events, std::size_t max_bytes, std::size_t& taken);

  const std::string session_id_;
  std::unique_ptr<LedgerWriter> writer_;    // guarded by mutex_; null once closed
  std::optional<SigningKeypair> keypair_;   // guarded by mutex_; empty once closed
  std::atomic<std::uint64_t> next_seq_;
  PoisonMutex mutex_{"parent_hash mutex poisoned"};
  std::string parent_hash_;                 // guarded by mutex_
  LedgerFrontier frontier_;                 // guarded by mutex_
  std::optional<std::string> last_note_;    // guarded by mutex_
  std::atomic<bool> closed_{false};
};

}  // namespace tallyvox
