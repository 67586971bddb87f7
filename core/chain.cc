#include "core/chain.h"

#include "core/ledger.h"

namespace tallyvox {

void ChainWalk::add(const SignedEvent& record) {
  std::uint64_t position = count_++;
  if (broken_at_) return;  // the walk stopped at the first break
  if (record.seq != position) {
    broken_at_ = record.seq;
    reason_ = "expected seq " + std::to_string(position) + ", got " + std::to_string(record.seq);
    return;
  }
  if (record.parent_hash != previous_) {
    broken_at_ = position;
    reason_ = "parent_hash does not match previous self_hash";
    return;
  }
  if (auto verified = verify_signed_event(record, &verifiers_); !verified) {
    broken_at_ = position;
    reason_ = "event verification failed: " + display(verified.error());
    return;
  }
  previous_ = record.self_hash;
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

std::expected<ChainReport, LedgerError> verify_ledger_file(const std::string& path) {
  ChainWalk walk;
  auto read = read_ledger(path, [&](SignedEvent&& record) { walk.add(record); });
  if (!read) return std::unexpected(std::move(read.error()));
  return std::move(walk).finish();
}

std::expected<ChainReport, LedgerError> verify_ledger_file(const std::string& path,
                                                           std::vector<SignedEvent>& records) {
  ChainWalk walk;
  auto read = read_ledger(path, [&](SignedEvent&& record) {
    walk.add(record);
    records.push_back(std::move(record));
  });
  if (!read) return std::unexpected(std::move(read.error()));
  return std::move(walk).finish();
}

}  // namespace tallyvox
