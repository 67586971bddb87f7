#include "core/ledger/recover.h"

#include <fcntl.h>
#include <time.h>

#include <cstdio>
#include <string_view>

#include "core/ledger/ledger.h"
#include "core/ledger/writer_lock.h"
#include "core/util/io.h"

namespace tallyvox {

namespace {

constexpr const char* kChanged = "the ledger changed while it was read; nothing was changed";

std::unexpected<ScanError> io_failure(const IoError& e) {
  return std::unexpected(ScanError{LedgerError{e}, 0});
}

// Feeds the reader one line at a time, so that a failure names its line.
class LineScan {
 public:
  LineScan(const std::function<void(SignedEvent&&)>& on_record, std::size_t max_line_bytes)
      : reader_(
            [this, &on_record](SignedEvent&& r) {
              ++scan_.kept_records;
              on_record(std::move(r));
            },
            max_line_bytes) {}
  LineScan(const LineScan&) = delete;  // the reader's callable refers to this object
  LineScan& operator=(const LineScan&) = delete;

  std::expected<void, ScanError> feed(std::string_view bytes) {
    for (std::size_t lf; (lf = bytes.find('\n')) != std::string_view::npos;) {
      line_.append(bytes.substr(0, lf + 1));
      bytes.remove_prefix(lf + 1);
      ++number_;
      if (auto fed = reader_.feed(line_); !fed) {
        return std::unexpected(ScanError{std::move(fed.error()), number_});
      }
      scan_.kept_bytes += line_.size();
      line_.clear();
    }
    // The reader sees a line only once it is whole: bound it here too.
    if (auto error = reader_.too_long(number_ + 1, line_.size() + bytes.size())) {
      return std::unexpected(ScanError{std::move(*error), number_ + 1});
    }
    line_.append(bytes);
    return {};
  }

  // The bytes after the last LF: a record, a blank line, or torn.
  LedgerScan finish() && {
    if (line_.empty()) return std::move(scan_);
    if (reader_.feed(line_) && reader_.finish()) {
      scan_.kept_bytes += line_.size();
    } else {
      scan_.torn = std::move(line_);
    }
    return std::move(scan_);
  }

 private:
  LedgerScan scan_;
  LedgerReader reader_;
  std::string line_;  // the line read so far
  std::uint64_t number_ = 0;
};

std::expected<LedgerScan, ScanError> scan_file(
    int fd, const std::function<void(SignedEvent&&)>& on_record, const ReadOptions& options) {
  LineScan lines(on_record, options.max_line_bytes);
  std::expected<void, ScanError> fed;
  auto read = read_chunks(fd, options.keep_reading, [&](std::string_view chunk) {
    fed = lines.feed(chunk);
    return fed.has_value();
  });
  if (!read) return io_failure(read.error());
  if (!fed) return std::unexpected(std::move(fed.error()));
  return std::move(lines).finish();
}

// "20261208T130512.123456789Z": sortable, and distinct for every recovery.
std::string utc_stamp() {
  struct timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts{};
  ::gmtime_r(&now.tv_sec, &parts);
  char text[40];
  std::size_t n = std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &parts);
  std::snprintf(text + n, sizeof text - n, ".%09ldZ", static_cast<long>(now.tv_nsec));
  return text;
}

// Writes the torn bytes to a new file beside the ledger, durably.
std::expected<std::string, IoError> put_aside(const std::string& path, const std::string& torn) {
  std::string aside = path + ".torn-" + utc_stamp();
  auto file = open_file(aside, O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (!file) return std::unexpected(file.error());
  auto done = write_all(file->fd(), torn.data(), torn.size());
  if (done) done = sync_all(file->fd());
  if (done) done = file->close();
  if (done) done = sync_directory(parent_path(aside).value_or(""));
  if (!done) return std::unexpected(done.error());
  return aside;
}

}  // namespace

std::string display(const ScanError& e) {
  std::string text = display(e.error);
  // A line too long names its line itself.
  if (e.line == 0 || std::holds_alternative<LineTooLong>(e.error.kind)) return text;
  return "line " + std::to_string(e.line) + ": " + text;
}

std::expected<LedgerScan, ScanError> scan_ledger(
    const std::string& path, const std::function<void(SignedEvent&&)>& on_record,
    const ReadOptions& options) {
  auto file = open_regular(path, O_RDONLY);
  if (!file) return io_failure(file.error());
  return scan_file(file->fd(), on_record, options);
}

std::expected<Recovery, ScanError> recover_ledger(const std::string& path) {
  auto file = open_regular(path, O_RDWR);
  if (!file) return io_failure(file.error());
  // A live writer may be in the middle of a line that looks torn: while any
  // writer holds the ledger, nothing is read or cut, and while this holds
  // it no writer opens.
  if (auto locked = lock_for_writing(file->fd(), path); !locked) {
    return std::unexpected(ScanError{std::move(locked.error()), 0});
  }
  auto scan = scan_file(file->fd(), [](SignedEvent&&) {}, ReadOptions{});
  if (!scan) return std::unexpected(std::move(scan.error()));
  Recovery done{scan->kept_records, scan->kept_bytes, scan->torn.size(), ""};
  if (scan->torn.empty()) return done;

  // A writer that appended since the read would lose its line to the cut.
  auto size = file_size(file->fd());
  if (!size) return io_failure(size.error());
  if (*size != scan->kept_bytes + scan->torn.size()) return io_failure(IoError::message(kChanged));
  // The torn bytes are on disk elsewhere before the ledger lets them go.
  auto aside = put_aside(path, scan->torn);
  if (!aside) return io_failure(aside.error());
  done.torn_path = std::move(*aside);
  auto cut = truncate_file(file->fd(), scan->kept_bytes);
  if (cut) cut = sync_all(file->fd());
  if (!cut) return io_failure(cut.error());
  return done;
}

}  // namespace tallyvox
