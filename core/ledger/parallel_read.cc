#include "core/ledger/parallel_read.h"

#include <fcntl.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/ledger/chain.h"
#include "core/ledger/line_chunks.h"
#include "core/util/io.h"

namespace tallyvox {

namespace {

constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
// Runs in memory at once, over all threads, whatever their number.
constexpr std::size_t kBytesInFlight = std::size_t{32} << 20;
// How often the calling thread, waiting for a run, asks whether to go on.
constexpr auto kPoll = std::chrono::milliseconds(20);

struct SealedRecord {
  SignedEvent record;
  std::optional<std::string> fault;
};

// A run and what a thread read from it.
struct ChunkWork {
  LineChunk chunk;
  std::vector<SealedRecord> records;
  std::uint64_t lines = 0;  // LFs in the run
  std::optional<LedgerError> error;
  bool done = false;
};

// The worker threads, and the runs handed to them, oldest first.
class ChunkPool {
 public:
  explicit ChunkPool(std::size_t max_line_bytes) : max_line_bytes_(max_line_bytes) {}
  ~ChunkPool() { stop(); }

  // A thread that cannot start leaves the pool stopped, its threads joined:
  // a joinable std::thread destroyed on the way out would terminate.
  std::expected<void, ThreadStartError> start(unsigned jobs) {
    threads_.reserve(jobs);
    for (unsigned i = 0; i < jobs; ++i) {
      try {
        threads_.emplace_back([this] { run(); });
      } catch (const std::system_error& e) {
        stop();
        return std::unexpected(ThreadStartError{jobs, e.code().value()});
      }
    }
    return {};
  }

  std::size_t in_flight() const { return in_flight_.size(); }  // calling thread only

  void submit(LineChunk&& chunk) {
    auto work = std::make_unique<ChunkWork>();
    work->chunk = std::move(chunk);
    std::lock_guard lock(mutex_);
    todo_.push_back(work.get());
    in_flight_.push_back(std::move(work));
    work_.notify_one();
  }

  // The oldest run once it is read; null when `keep_reading` says to stop
  // while it waits. A fault met on a thread is raised here.
  std::unique_ptr<ChunkWork> take_oldest(const KeepReading& keep_reading) {
    std::unique_lock lock(mutex_);
    while (!in_flight_.front()->done && !fault_) {
      if (done_.wait_for(lock, kPoll) == std::cv_status::no_timeout || !keep_reading) continue;
      lock.unlock();
      bool go_on = keep_reading(false);
      lock.lock();
      if (!go_on) return nullptr;
    }
    if (fault_) std::rethrow_exception(fault_);
    std::unique_ptr<ChunkWork> work = std::move(in_flight_.front());
    in_flight_.pop_front();
    return work;
  }

  // Records from run `index` on need no seal check.
  void no_seals_from(std::uint64_t index) {
    std::uint64_t now = seals_before_.load(std::memory_order_relaxed);
    while (index < now && !seals_before_.compare_exchange_weak(now, index, std::memory_order_relaxed)) {
    }
  }

 private:
  void stop() {
    no_seals_from(0);  // what is still being read is read quickly
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      todo_.clear();
    }
    work_.notify_all();
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  ChunkWork* take() {
    std::unique_lock lock(mutex_);
    work_.wait(lock, [&] { return !todo_.empty() || closed_; });
    if (todo_.empty()) return nullptr;
    ChunkWork* work = todo_.front();
    todo_.pop_front();
    return work;
  }

  bool seals_wanted(std::uint64_t index) const {
    return index < seals_before_.load(std::memory_order_relaxed);
  }

  void read(ChunkWork& work, VerifierCache& cache) {
    const std::uint64_t index = work.chunk.index;
    LedgerReader reader(
        [&](SignedEvent&& record) {
          SealedRecord& sealed = work.records.emplace_back(std::move(record), std::nullopt);
          if (!seals_wanted(index)) return;
          sealed.fault = seal_fault(sealed.record, &cache);
          // The walk breaks here at the latest: nothing after needs a check.
          if (sealed.fault) no_seals_from(index + 1);
        },
        max_line_bytes_);
    auto read = reader.feed(work.chunk.bytes);
    if (read) read = reader.finish();
    if (!read) work.error = std::move(read.error());
    work.lines = reader.lines();
    work.chunk.bytes = std::string();
  }

  void run() {
    VerifierCache cache;
    while (ChunkWork* work = take()) {
      try {
        read(*work, cache);
      } catch (...) {
        std::lock_guard lock(mutex_);
        if (!fault_) fault_ = std::current_exception();
      }
      {
        std::lock_guard lock(mutex_);
        work->done = true;
      }
      done_.notify_one();
    }
  }

  const std::size_t max_line_bytes_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_;
  std::deque<std::unique_ptr<ChunkWork>> in_flight_;  // file order; guarded by mutex_
  std::deque<ChunkWork*> todo_;                       // guarded by mutex_
  bool closed_ = false;                               // guarded by mutex_
  std::exception_ptr fault_;                          // guarded by mutex_
  std::atomic<std::uint64_t> seals_before_{kNone};
  std::vector<std::thread> threads_;
};

// The calling thread's side: hands runs out, at most `capacity` at once,
// and takes them back in file order, numbering their lines.
class OrderedRead {
 public:
  OrderedRead(ChunkPool& pool, const ReadOptions& options, const OnSealedRecord& on_record,
              std::size_t capacity)
      : pool_(pool), options_(options), on_record_(on_record), capacity_(capacity) {}

  // False once the read has to stop.
  bool hand_out(LineChunk&& chunk) {
    while (pool_.in_flight() >= capacity_) {
      if (!take_back()) return false;
    }
    pool_.submit(std::move(chunk));
    return true;
  }

  bool take_all() {
    while (pool_.in_flight() > 0) {
      if (!take_back()) return false;
    }
    return true;
  }

  std::uint64_t lines() const { return lines_; }
  bool interrupted() const { return interrupted_; }
  std::optional<LedgerError>& error() { return error_; }

 private:
  bool take_back() {
    std::unique_ptr<ChunkWork> work = pool_.take_oldest(options_.keep_reading);
    if (!work) {
      interrupted_ = true;
      return false;
    }
    for (SealedRecord& sealed : work->records) {
      if (!on_record_(std::move(sealed.record), sealed.fault)) pool_.no_seals_from(work->chunk.index + 1);
    }
    if (work->error) {
      // The run's reader counted its lines from 1.
      if (auto* too_long = std::get_if<LineTooLong>(&work->error->kind)) too_long->line += lines_;
      error_ = std::move(work->error);
      return false;
    }
    lines_ += work->lines;
    return true;
  }

  ChunkPool& pool_;
  const ReadOptions& options_;
  const OnSealedRecord& on_record_;
  const std::size_t capacity_;
  std::uint64_t lines_ = 0;
  bool interrupted_ = false;
  std::optional<LedgerError> error_;
};

std::unexpected<LedgerError> io_error(IoError e) { return std::unexpected(LedgerError{e}); }

}  // namespace

std::expected<void, LedgerError> read_ledger_parallel(const std::string& path,
                                                      const ReadOptions& options,
                                                      const OnSealedRecord& on_record) {
  const unsigned jobs = std::max(options.jobs, 1u);
  ChunkPool pool(options.max_line_bytes);
  if (auto started = pool.start(jobs); !started) return std::unexpected(LedgerError{started.error()});
  if (!exists(path)) return {};  // a ledger that cannot be found is empty
  auto file = open_regular(path, O_RDONLY);
  if (!file) return io_error(file.error());

  const std::size_t chunk_bytes = std::max<std::size_t>(options.chunk_bytes, 1);
  const std::size_t capacity = std::clamp<std::size_t>(kBytesInFlight / chunk_bytes, 2, 2 * std::size_t{jobs});
  OrderedRead ordered(pool, options, on_record, capacity);
  LineCutter cutter(chunk_bytes, options.max_line_bytes);
  bool too_long = false;
  auto read = read_chunks(file->fd(), options.keep_reading, [&](std::string_view bytes) {
    cutter.take(bytes);
    while (auto chunk = cutter.next()) {
      if (!ordered.hand_out(std::move(*chunk))) return false;
    }
    if (!cutter.line_too_long()) return true;
    // The lines before the long one may hold an earlier error.
    too_long = true;
    if (auto chunk = cutter.whole_lines()) ordered.hand_out(std::move(*chunk));
    return false;
  });
  // Ctrl-C: nothing more is waited for.
  if (ordered.interrupted() || (!read && read.error().code == EINTR)) return io_error(IoError::os(EINTR));
  if (read && !too_long && !ordered.error()) {
    if (auto chunk = cutter.rest()) ordered.hand_out(std::move(*chunk));
  }
  if (!ordered.error()) ordered.take_all();
  if (ordered.interrupted()) return io_error(IoError::os(EINTR));
  if (ordered.error()) return std::unexpected(std::move(*ordered.error()));
  if (too_long) return std::unexpected(LedgerError{LineTooLong{ordered.lines() + 1, options.max_line_bytes}});
  if (!read) return io_error(read.error());
  return {};
}

unsigned usable_cores() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::max(CPU_COUNT(&set), 1);
}

}  // namespace tallyvox
