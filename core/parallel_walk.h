// The chain walk with the seals on worker threads: the records are read and
// linked (seq, parent) in file order on the calling thread, while their
// hashes and signatures are checked on `jobs` threads. The report is the
// one ChainWalk makes of the same records, the first break in file order.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/chain.h"
#include "core/error.h"
#include "core/signed.h"

namespace tallyvox {

class SealPool;

class ParallelChainWalk {
 public:
  // Starts `jobs` threads (at least one). When one cannot start (a thread
  // or address-space limit), those already started are stopped and joined.
  static std::expected<ParallelChainWalk, ThreadStartError> start(unsigned jobs);
  ~ParallelChainWalk();  // stops the threads, dropping the checks not done
  ParallelChainWalk(ParallelChainWalk&&) noexcept;
  ParallelChainWalk& operator=(ParallelChainWalk&&) = delete;

  // Blocks while the threads are behind by a few batches, so that memory
  // stays flat however long the ledger is.
  void add(SignedEvent&& record);
  // Waits for the checks handed out so far.
  ChainReport finish() &&;

 private:
  struct Stop {
    std::uint64_t position;
    ChainBreak broken;
    std::string root_hash;
  };
  explicit ParallelChainWalk(std::unique_ptr<SealPool> pool);
  void hand_out();

  std::unique_ptr<SealPool> pool_;
  std::uint64_t count_ = 0;
  std::string previous_{kGenesisParentHash};
  std::optional<Stop> link_break_;
  std::uint64_t batch_first_ = 0;
  std::vector<SignedEvent> batch_;
};

// verify_ledger_file with the seals checked on `jobs` threads (one job is
// the plain walk); `records`, when given, receives the records read. Threads
// that cannot start are the error ThreadStartError, before anything is read.
std::expected<ChainReport, LedgerError> verify_ledger_file_parallel(
    const std::string& path, unsigned jobs, std::vector<SignedEvent>* records = nullptr,
    const ReadOptions& options = {});

}  // namespace tallyvox
