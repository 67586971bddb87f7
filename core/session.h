// One signer writing one ledger: sequence numbers, the running parent hash,
// sealing and durable appends.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/keys.h"
#include "core/ledger.h"
#include "core/poison_mutex.h"
#include "core/signed.h"

namespace tallyvox {

class Session {
 public:
  // Opens (or resumes) the ledger at `path` with a private copy of the key.
  static std::expected<std::unique_ptr<Session>, SessionError> open(const SigningKeypair& keypair,
                                                                    const std::string& path,
                                                                    std::string session_id);

  // Seals `event` with the next seq and the running parent hash, appends it
  // and advances the chain. Safe to call from several threads. Closed once
  // the session is.
  std::expected<SignedEvent, SessionError> record(const AgentEvent& event);

  // Closes the ledger, which releases its writer lock, and wipes the key
  // copy, after a record in progress on another thread has returned. Closing
  // again does nothing; a session poisoned by a fault closes too.
  void close();
  bool closed() const { return closed_.load(std::memory_order_acquire); }

  const std::string& session_id() const { return session_id_; }

  Session(std::string session_id, std::unique_ptr<LedgerWriter> writer, SigningKeypair keypair,
          std::uint64_t next_seq, std::string parent_hash);

 private:
  const std::string session_id_;
  std::unique_ptr<LedgerWriter> writer_;    // guarded by mutex_; null once closed
  std::optional<SigningKeypair> keypair_;   // guarded by mutex_; empty once closed
  std::atomic<std::uint64_t> next_seq_;
  PoisonMutex mutex_{"parent_hash mutex poisoned"};
  std::string parent_hash_;  // guarded by mutex_
  std::atomic<bool> closed_{false};
};

}  // namespace tallyvox
