// One signer writing one ledger: sequence numbers, the running parent hash,
// sealing and durable appends.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
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
  // and advances the chain. Safe to call from several threads.
  std::expected<SignedEvent, SessionError> record(const AgentEvent& event);

  const std::string& session_id() const { return session_id_; }

  Session(std::string session_id, std::unique_ptr<LedgerWriter> writer, SigningKeypair keypair,
          std::uint64_t next_seq, std::string parent_hash);

 private:
  const std::string session_id_;
  std::unique_ptr<LedgerWriter> writer_;
  const SigningKeypair keypair_;
  std::atomic<std::uint64_t> next_seq_;
  PoisonMutex mutex_{"parent_hash mutex poisoned"};
  std::string parent_hash_;  // guarded by mutex_
};

}  // namespace tallyvox
