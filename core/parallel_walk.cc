#include "core/parallel_walk.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "core/ledger.h"

namespace tallyvox {

namespace {

// Records go to the threads in batches: one handover per record would cost
// more in locking than a short event takes to hash.
constexpr std::size_t kBatch = 64;
constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

struct Batch {
  std::uint64_t first = 0;
  std::vector<SignedEvent> records;
};

}  // namespace

// The worker threads and the bounded queue of batches they take from; keeps
// the earliest seal break found.
class SealPool {
 public:
  struct Found {
    std::uint64_t position = kNone;
    ChainBreak broken;
    std::string root_hash;
  };

  explicit SealPool(unsigned jobs) : capacity_(2 * std::size_t{jobs}) {}

  ~SealPool() { stop(true); }

  // A thread that cannot start leaves the pool stopped, its threads joined:
  // a joinable std::thread destroyed on the way out would terminate.
  std::expected<void, ThreadStartError> start(unsigned jobs) {
    threads_.reserve(jobs);
    for (unsigned i = 0; i < jobs; ++i) {
      try {
        threads_.emplace_back([this] { run(); });
      } catch (const std::system_error& e) {
        stop(true);
        return std::unexpected(ThreadStartError{jobs, e.code().value()});
      }
    }
    return {};
  }

  void push(Batch&& batch) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return queue_.size() < capacity_ || dropping_; });
    if (dropping_) return;
    queue_.push_back(std::move(batch));
    work_.notify_one();
  }

  // Lets the threads finish the queue (or drop it), then joins them; a
  // fault met on a thread is raised here, on the caller's.
  void stop(bool drop) {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      if (drop) dropping_ = true;
    }
    work_.notify_all();
    room_.notify_all();
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
    if (fault_ && !drop) std::rethrow_exception(std::exchange(fault_, nullptr));
  }

  // The earliest position known to break; later records need no check.
  std::uint64_t earliest() const { return earliest_.load(std::memory_order_relaxed); }
  Found& found() { return found_; }

 private:
  bool take(Batch& batch) {
    std::unique_lock lock(mutex_);
    work_.wait(lock, [&] { return !queue_.empty() || closed_; });
    if (queue_.empty() || dropping_) return false;
    batch = std::move(queue_.front());
    queue_.pop_front();
    room_.notify_one();
    return true;
  }

  void check(const Batch& batch, VerifierCache& cache) {
    for (std::size_t i = 0; i < batch.records.size(); ++i) {
      std::uint64_t position = batch.first + i;
      if (position >= earliest()) return;
      auto broken = check_seal(batch.records[i], position, &cache);
      if (!broken) continue;
      std::lock_guard lock(mutex_);
      if (position < found_.position) {
        found_ = Found{position, std::move(*broken), batch.records[i].parent_hash};
        earliest_.store(position, std::memory_order_relaxed);
      }
      return;
    }
  }

  void run() {
    VerifierCache cache;
    Batch batch;
    try {
      while (take(batch)) check(batch, cache);
    } catch (...) {
      std::lock_guard lock(mutex_);
      if (!fault_) fault_ = std::current_exception();
      dropping_ = true;
      room_.notify_all();
      work_.notify_all();
    }
  }

  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable room_;
  std::deque<Batch> queue_;
  bool closed_ = false;
  bool dropping_ = false;
  std::exception_ptr fault_;
  Found found_;
  std::atomic<std::uint64_t> earliest_{kNone};
  std::vector<std::thread> threads_;
};

std::expected<ParallelChainWalk, ThreadStartError> ParallelChainWalk::start(unsigned jobs) {
  jobs = jobs < 1 ? 1 : jobs;
  auto pool = std::make_unique<SealPool>(jobs);
  if (auto started = pool->start(jobs); !started) return std::unexpected(started.error());
  return ParallelChainWalk(std::move(pool));
}

ParallelChainWalk::ParallelChainWalk(std::unique_ptr<SealPool> pool) : pool_(std::move(pool)) {
  batch_.reserve(kBatch);
}

ParallelChainWalk::ParallelChainWalk(ParallelChainWalk&&) noexcept = default;
ParallelChainWalk::~ParallelChainWalk() = default;

void ParallelChainWalk::hand_out() {
  if (batch_.empty()) return;
  Batch batch{batch_first_, std::move(batch_)};
  batch_ = {};
  batch_.reserve(kBatch);
  pool_->push(std::move(batch));
}

void ParallelChainWalk::add(SignedEvent&& record) {
  std::uint64_t position = count_++;
  // After a break only the count goes on, as in ChainWalk.
  if (link_break_ || pool_->earliest() < position) return;
  if (auto broken = check_link(record, position, previous_)) {
    link_break_ = Stop{position, std::move(*broken), previous_};
    return;
  }
  previous_ = record.self_hash;
  if (batch_.empty()) batch_first_ = position;
  batch_.push_back(std::move(record));
  if (batch_.size() == kBatch) hand_out();
}

ChainReport ParallelChainWalk::finish() && {
  hand_out();
  pool_->stop(false);
  // Seals are only checked before a link break, so a seal break found is
  // the first in file order.
  SealPool::Found& sealed = pool_->found();
  std::optional<Stop> stop = std::move(link_break_);
  if (sealed.position != kNone) {
    stop = Stop{sealed.position, std::move(sealed.broken), std::move(sealed.root_hash)};
  }
  ChainReport report;
  report.event_count = count_;
  if (stop) {
    report.status = ChainReport::Status::Broken;
    report.broken_at = stop->broken.broken_at;
    report.reason = std::move(stop->broken.reason);
    report.root_hash = std::move(stop->root_hash);
  } else {
    report.root_hash = std::move(previous_);
  }
  return report;
}

std::expected<ChainReport, LedgerError> verify_ledger_file_parallel(
    const std::string& path, unsigned jobs, std::vector<SignedEvent>* records,
    const ReadOptions& options) {
  if (jobs <= 1) {
    if (records != nullptr) return verify_ledger_file(path, *records, options);
    return verify_ledger_file(path, options);
  }
  auto walk = ParallelChainWalk::start(jobs);
  if (!walk) return std::unexpected(LedgerError{walk.error()});
  auto read = read_ledger(
      path,
      [&](SignedEvent&& record) {
        if (records != nullptr) records->push_back(record);
        walk->add(std::move(record));
      },
      options);
  if (!read) return std::unexpected(std::move(read.error()));
  return std::move(*walk).finish();
}

}  // namespace tallyvox
