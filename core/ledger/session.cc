#include "core/ledger/session.h"

namespace tallyvox {

Session::Session(std::string session_id, std::unique_ptr<LedgerWriter> writer,
                 SigningKeypair keypair, std::uint64_t next_seq, std::string parent_hash,
                 LedgerFrontier frontier)
    : session_id_(std::move(session_id)),
      writer_(std::move(writer)),
      keypair_(std::move(keypair)),
      next_seq_(next_seq),
      parent_hash_(std::move(parent_hash)),
      frontier_(std::move(frontier)) {}

std::expected<std::unique_ptr<Session>, SessionError> Session::open(const SigningKeypair& keypair,
                                                                    const std::string& path,
                                                                    std::string session_id,
                                                                    const ReadOptions& read_options) {
  auto writer = LedgerWriter::open(path);
  if (!writer) return std::unexpected(SessionError{std::move(writer.error())});
  SigningKeypair own = keypair.copy();

  // Resume from the last record; nothing is verified here, but every line
  // must parse. The tree of the records read is built on the way.
  std::uint64_t next_seq = 0;
  std::string parent_hash(kGenesisParentHash);
  LedgerFrontier frontier(own.pubkey_hex());
  auto read = read_ledger_heads((*writer)->path(), [&](const SignedEvent& record) {
    frontier.add_read(record);
    next_seq = record.seq + 1;  // wraps at 2^64
    parent_hash = record.self_hash;
  }, read_options);
  if (!read) return std::unexpected(SessionError{std::move(read.error())});
  return std::make_unique<Session>(std::move(session_id), std::move(*writer), std::move(own),
                                   next_seq, std::move(parent_hash), std::move(frontier));
}

std::expected<std::vector<SignedEvent>, SessionError> Session::commit(
    std::span<const AgentEvent* const> events, std::size_t max_bytes, std::size_t& taken) {
  taken = 0;
  PoisonMutex::Lock lock(mutex_);
  if (!writer_) {
    taken = events.empty() ? 0 : 1;
    return std::unexpected(SessionError{SessionError::Closed{}});
  }
  // The seq and the parent move on only once the batch is durable: a failed
  // append left nothing in the file, so the next record takes the same seq.
  std::uint64_t seq = next_seq_.load(std::memory_order_acquire);
  std::vector<SignedEvent> sealed;
  LedgerBatch batch;
  for (const AgentEvent* event : events) {
    if (!sealed.empty() && batch.bytes() >= max_bytes) break;
    const std::string& parent = sealed.empty() ? parent_hash_ : sealed.back().self_hash;
    sealed.push_back(seal_event(seq + sealed.size(), *event, parent, *keypair_));  // wraps at 2^64
    ++taken;
    if (auto added = batch.add(sealed.back()); !added) {
      return std::unexpected(SessionError{std::move(added.error())});
    }
  }
  if (auto appended = writer_->append(batch); !appended) {
    return std::unexpected(SessionError{std::move(appended.error())});
  }
  if (sealed.empty()) return sealed;
  next_seq_.store(seq + sealed.size(), std::memory_order_release);
  parent_hash_ = sealed.back().self_hash;
  for (const SignedEvent& record : sealed) frontier_.add_sealed(record);
  return sealed;
}

std::expected<SignedEvent, SessionError> Session::record(const AgentEvent& event) {
  const AgentEvent* one[] = {&event};
  std::size_t taken;
  auto sealed = commit(one, SIZE_MAX, taken);
  if (!sealed) return std::unexpected(std::move(sealed.error()));
  return std::move(sealed->front());
}

std::expected<std::vector<SignedEvent>, SessionError> Session::record_many(
    std::span<const AgentEvent* const> events) {
  std::size_t taken;
  return commit(events, SIZE_MAX, taken);
}

std::vector<std::expected<SignedEvent, SessionError>> Session::record_batches(
    std::span<const AgentEvent* const> events, std::size_t max_bytes) {
  std::vector<std::expected<SignedEvent, SessionError>> outcomes;
  outcomes.reserve(events.size());
  while (outcomes.size() < events.size()) {
    std::size_t taken;
    auto sealed = commit(events.subspan(outcomes.size()), max_bytes, taken);
    if (sealed) {
      for (SignedEvent& record : *sealed) outcomes.emplace_back(std::move(record));
    } else {
      for (std::size_t i = 0; i < taken; ++i) outcomes.emplace_back(std::unexpected(sealed.error()));
    }
  }
  return outcomes;
}

std::expected<CheckpointResult<SignedCheckpoint>, SessionError> Session::checkpoint(
    const std::optional<std::string>& origin) {
  PoisonMutex::Lock lock(mutex_);
  if (!writer_) return std::unexpected(SessionError{SessionError::Closed{}});
  auto made = sign_checkpoint(frontier_.summary(), *keypair_, origin);
  if (made) last_note_ = made->note;
  return made;
}

std::optional<std::string> Session::last_checkpoint() {
  PoisonMutex::Lock lock(mutex_);
  return last_note_;
}

void Session::close() {
  mutex_.teardown([this] {
    writer_.reset();
    keypair_.reset();
    closed_.store(true, std::memory_order_release);
  });
}

}  // namespace tallyvox
