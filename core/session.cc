#include "core/session.h"

namespace tallyvox {

Session::Session(std::string session_id, std::unique_ptr<LedgerWriter> writer,
                 SigningKeypair keypair, std::uint64_t next_seq, std::string parent_hash)
    : session_id_(std::move(session_id)),
      writer_(std::move(writer)),
      keypair_(std::move(keypair)),
      next_seq_(next_seq),
      parent_hash_(std::move(parent_hash)) {}

std::expected<std::unique_ptr<Session>, SessionError> Session::open(const SigningKeypair& keypair,
                                                                    const std::string& path,
                                                                    std::string session_id) {
  auto writer = LedgerWriter::open(path);
  if (!writer) return std::unexpected(SessionError{std::move(writer.error())});
  SigningKeypair own = keypair.copy();

  // Resume from the last record; nothing is verified here, but every line
  // must parse.
  std::uint64_t next_seq = 0;
  std::string parent_hash(kGenesisParentHash);
  auto read = read_ledger((*writer)->path(), [&](SignedEvent&& record) {
    next_seq = record.seq + 1;  // wraps at 2^64
    parent_hash = std::move(record.self_hash);
  });
  if (!read) return std::unexpected(SessionError{std::move(read.error())});
  return std::make_unique<Session>(std::move(session_id), std::move(*writer), std::move(own),
                                   next_seq, std::move(parent_hash));
}

std::expected<SignedEvent, SessionError> Session::record(const AgentEvent& event) {
  PoisonMutex::Lock lock(mutex_);
  if (!writer_) return std::unexpected(SessionError{SessionError::Closed{}});
  // The seq and the parent move on only once the line is durable: a failed
  // append left nothing in the file, so the next record takes the same seq.
  std::uint64_t seq = next_seq_.load(std::memory_order_acquire);
  SignedEvent sealed = seal_event(seq, event, parent_hash_, *keypair_);
  if (auto appended = writer_->append(sealed); !appended) {
    return std::unexpected(SessionError{std::move(appended.error())});
  }
  next_seq_.store(seq + 1, std::memory_order_release);  // wraps at 2^64
  parent_hash_ = sealed.self_hash;
  return sealed;
}

void Session::close() {
  mutex_.teardown([this] {
    writer_.reset();
    keypair_.reset();
    closed_.store(true, std::memory_order_release);
  });
}

}  // namespace tallyvox
