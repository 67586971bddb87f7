#include "core/ledger/parallel_walk.h"

#include <utility>

#include "core/ledger/parallel_read.h"

namespace tallyvox {

std::expected<ChainReport, LedgerError> verify_ledger_file_parallel(
    const std::string& path, unsigned jobs, std::vector<SignedEvent>* records,
    const ReadOptions& options) {
  if (jobs <= 1) {
    if (records != nullptr) return verify_ledger_file(path, *records, options);
    return verify_ledger_file(path, options);
  }
  ReadOptions threads = options;
  threads.jobs = jobs;
  ChainWalk walk;
  auto read = read_ledger_parallel(
      path, threads, [&](SignedEvent&& record, const std::optional<std::string>& fault) {
        walk.add(record, fault);
        if (records != nullptr) records->push_back(std::move(record));
        return !walk.broken();
      });
  if (!read) return std::unexpected(std::move(read.error()));
  return std::move(walk).finish();
}

}  // namespace tallyvox
