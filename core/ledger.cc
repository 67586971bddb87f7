#include "core/ledger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/utf8.h"

namespace tallyvox {

namespace {

std::unexpected<LedgerError> io_error(IoError e) { return std::unexpected(LedgerError{e}); }

// Makes a directory's new entries durable.
std::expected<void, IoError> sync_directory(const std::string& dir) {
  auto file = open_file(dir.empty() ? "." : dir, O_RDONLY | O_DIRECTORY);
  if (!file) return std::unexpected(file.error());
  return sync_all(file->fd());
}

// The ancestors of `path` that do not exist yet, nearest first.
std::vector<std::string> missing_ancestors(const std::string& path) {
  std::vector<std::string> missing;
  for (auto dir = parent_path(path); dir && !dir->empty() && !exists(*dir); dir = parent_path(*dir)) {
    missing.push_back(*dir);
  }
  return missing;
}

// Opens for appending, creating the file when absent; `created` tells
// whether this call made it.
std::expected<File, IoError> open_for_append(const std::string& path, bool& created) {
  constexpr int kAppend = O_RDWR | O_APPEND;
  for (;;) {
    auto file = open_file(path, kAppend);
    if (file || file.error().fixed != nullptr || file.error().code != ENOENT) return file;
    file = open_file(path, kAppend | O_CREAT | O_EXCL, 0666);
    if (file) {
      created = true;
      return file;
    }
    if (file.error().fixed != nullptr || file.error().code != EEXIST) return file;
    // Another writer created it in between: open it as it is.
  }
}

}  // namespace

std::expected<std::unique_ptr<LedgerWriter>, LedgerError> LedgerWriter::open(
    const std::string& path) {
  std::vector<std::string> new_dirs = missing_ancestors(path);
  if (auto parent = parent_path(path); parent && !parent->empty()) {
    if (auto made = create_dir_all(*parent); !made) return io_error(made.error());
  }
  bool created = false;
  auto file = open_for_append(path, created);
  if (!file) return io_error(file.error());

  // A new file (or directory) exists durably only once the directory that
  // lists it is flushed; otherwise a power loss after the first durable
  // append could lose the whole ledger.
  if (created) {
    if (auto synced = sync_directory(parent_path(path).value_or("")); !synced) {
      return io_error(synced.error());
    }
  }
  for (const std::string& dir : new_dirs) {
    if (auto synced = sync_directory(parent_path(dir).value_or("")); !synced) {
      return io_error(synced.error());
    }
  }
  return std::make_unique<LedgerWriter>(path, std::move(*file));
}

std::expected<void, LedgerError> LedgerWriter::append(const SignedEvent& record) {
  if (auto nesting = check_line_nesting(record); !nesting) {
    return std::unexpected(LedgerError{std::move(nesting.error())});
  }
  Buffer line(128);
  write_line(line, record);
  // The line and its LF go out in one write: an append-mode write lands
  // whole at the end of the file, so another writer's bytes can never split
  // a line from its LF.
  line.push_back('\n');
  PoisonMutex::Lock lock(mutex_);
  if (auto written = write_all(file_.fd(), line.data(), line.size()); !written) {
    return io_error(written.error());
  }
  if (auto synced = sync_data(file_.fd()); !synced) return io_error(synced.error());
  return {};
}

// One line as the file holds it (LF already removed): UTF-8 checked with its
// LF, then CR stripped, blank lines skipped, anything else parsed.
std::expected<void, LedgerError> LedgerReader::take_line(std::string_view line, bool had_lf) {
  if (!valid_utf8(line)) return io_error(IoError::message(kInvalidUtf8));
  if (had_lf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (all_white_space(line)) return {};
  auto record = read_line(line);
  if (!record) return std::unexpected(LedgerError{std::move(record.error())});
  on_record_(std::move(*record));
  return {};
}

std::expected<void, LedgerError> LedgerReader::feed(std::string_view bytes) {
  for (;;) {
    std::size_t lf = bytes.find('\n');
    if (lf == std::string_view::npos) break;
    std::expected<void, LedgerError> taken;
    if (pending_.empty()) {
      taken = take_line(bytes.substr(0, lf), true);
    } else {
      pending_.append(bytes.data(), lf);
      taken = take_line(pending_, true);
      pending_.clear();
    }
    if (!taken) return taken;
    bytes.remove_prefix(lf + 1);
  }
  pending_.append(bytes);  // the start of a line still to come
  return {};
}

std::expected<void, LedgerError> LedgerReader::finish() {
  if (pending_.empty()) return {};
  auto taken = take_line(pending_, false);
  pending_.clear();
  return taken;
}

std::expected<void, LedgerError> read_ledger(
    const std::string& path, const std::function<void(SignedEvent&&)>& on_record) {
  if (!exists(path)) return {};  // a ledger that cannot be found is empty
  auto file = open_file(path, O_RDONLY);
  if (!file) return io_error(file.error());

  LedgerReader reader(on_record);
  constexpr std::size_t kChunk = 1 << 16;
  std::string chunk(kChunk, '\0');
  for (;;) {
    ssize_t n;
    do {
      n = ::read(file->fd(), chunk.data(), kChunk);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return io_error(IoError::os(errno));
    if (n == 0) return reader.finish();
    if (auto fed = reader.feed(std::string_view(chunk.data(), static_cast<std::size_t>(n))); !fed) {
      return fed;
    }
  }
}

std::expected<std::vector<SignedEvent>, LedgerError> read_ledger(const std::string& path) {
  std::vector<SignedEvent> records;
  auto read = read_ledger(path, [&](SignedEvent&& r) { records.push_back(std::move(r)); });
  if (!read) return std::unexpected(std::move(read.error()));
  return records;
}

}  // namespace tallyvox
