#include "core/ledger/chain.h"

#include "core/ledger/ledger.h"

namespace tallyvox {

std::optional<ChainBreak> check_link(const SignedEvent& record, std::uint64_t position,
                                     std::string_view previous) {
  if (record.seq != position) {
    return ChainBreak{record.seq, "expected seq " + std::to_string(position) + ", got " +
                                      std::to_string(record.seq)};
  }
  if (record.parent_hash != previous) {
    return ChainBreak{position, "parent_hash does not match previous self_hash"};
  }
  return std::nullopt;
}

std::optional<std::string> seal_fault(const SignedEvent& record, VerifierCache* cache) {
  auto verified = verify_signed_event(record, cache);
  if (verified) return std::nullopt;
  return "event verification failed: " + display(verified.error());
}

std::optional<ChainBreak> check_seal(const SignedEvent& record, std::uint64_t position,
                                     VerifierCache* cache) {
  auto fault = seal_fault(record, cache);
  if (!fault) return std::nullopt;
  return ChainBreak{position, std::move(*fault)};
}

// `fault()` gives the seal's fault, asked only once the link holds.
template <class Fault>
void ChainWalk::step(const SignedEvent& record, Fault&& fault) {
  std::uint64_t position = count_++;
  if (broken_at_) return;  // the walk stopped at the first break
  auto broken = check_link(record, position, previous_);
  if (!broken) {
    if (std::optional<std::string> reason = fault()) broken = ChainBreak{position, std::move(*reason)};
  }
  if (broken) {
    broken_at_ = broken->broken_at;
    reason_ = std::move(broken->reason);
    return;
  }
  previous_ = record.self_hash;
}

void ChainWalk::add(const SignedEvent& record) {
  step(record, [&] { return seal_fault(record, &verifiers_); });
}

void ChainWalk::add(const SignedEvent& record, const std::optional<std::string>& fault) {
  step(record, [&] { return fault; });
}

ChainReport ChainWalk::finish() && {
  ChainReport report;
  report.status = broken_at_ ? ChainReport::Status::Broken : ChainReport::Status::Valid;
  report.event_count = count_;
  report.broken_at = broken_at_;
  report.reason = std::move(reason_);
  report.root_hash = std::move(previous_);
  return report;
}

ChainReport verify_events(const std::vector<SignedEvent>& records) {
  ChainWalk walk;
  for (const SignedEvent& record : records) walk.add(record);
  return std::move(walk).finish();
}

std::expected<ChainReport, LedgerError> verify_ledger_file(const std::string& path,
                                                           const ReadOptions& options) {
  ChainWalk walk;
  auto read = read_ledger(path, [&](SignedEvent&& record) { walk.add(record); }, options);
  if (!read) return std::unexpected(std::move(read.error()));
  return std::move(walk).finish();
}

std::expected<ChainReport, LedgerError> verify_ledger_file(const std::string& path,
                                                           std::vector<SignedEvent>& records,
                                                           const ReadOptions& options) {
  ChainWalk walk;
  auto read = read_ledger(
      path,
      [&](SignedEvent&& record) {
        walk.add(record);
        records.push_back(std::move(record));
      },
      options);
  if (!read) return std::unexpected(std::move(read.error()));
  return std::move(walk).finish();
}

}  // namespace tallyvox
