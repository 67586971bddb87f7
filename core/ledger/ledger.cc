#include "core/ledger/ledger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/json/utf8.h"
#include "core/ledger/writer_lock.h"

namespace tallyvox {

namespace {

std::unexpected<LedgerError> io_error(IoError e) { return std::unexpected(LedgerError{e}); }

// The ancestors of `path` that do not exist yet, nearest first.
std::vector<std::string> missing_ancestors(const std::string& path) {
  std::vector<std::string> missing;
  for (auto dir = parent_path(path); dir && !dir->empty() && !exists(*dir); dir = parent_path(*dir)) {
    missing.push_back(*dir);
  }
  return missing;
}

// Opens for appending, creating the file when absent; `created` tells
// whether this call made it. Only a regular file is opened: a FIFO or a
// device is refused before a byte goes to it.
std::expected<File, IoError> open_for_append(const std::string& path, bool& created) {
  constexpr int kAppend = O_RDWR | O_APPEND;
  for (;;) {
    auto file = open_regular(path, kAppend);
    if (file || file.error().fixed != nullptr || file.error().code != ENOENT) return file;
    file = open_regular(path, kAppend | O_CREAT | O_EXCL, 0666);
    if (file) {
      created = true;
      return file;
    }
    if (file.error().fixed != nullptr || file.error().code != EEXIST) return file;
    // Another writer created it in between: open it as it is.
  }
}

// Whether the file is not empty and its last byte is not an LF: a record
// written there would be glued onto that last line.
std::expected<bool, IoError> ends_without_lf(int fd) {
  auto size = file_size(fd);
  if (!size) return std::unexpected(size.error());
  if (*size == 0) return false;
  auto last = read_at(fd, *size - 1, 1);
  if (!last) return std::unexpected(last.error());
  return *last != "\n";
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
  // Locked before the file is read: no other writer appends, and no
  // recovery cuts, while this one resumes from the last line.
  if (auto locked = lock_for_writing(file->fd(), path); !locked) {
    return std::unexpected(std::move(locked.error()));
  }
  auto ends_open = ends_without_lf(file->fd());
  if (!ends_open) return io_error(ends_open.error());

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
  return std::make_unique<LedgerWriter>(path, std::move(*file), *ends_open);
}

LedgerBatch::LedgerBatch() : lines_(128) { lines_.push_back('\n'); }

std::expected<void, LedgerError> LedgerBatch::add(const SignedEvent& record) {
  if (auto nesting = check_line_nesting(record); !nesting) {
    return std::unexpected(LedgerError{std::move(nesting.error())});
  }
  write_line(lines_, record);
  lines_.push_back('\n');
  ++count_;
  return {};
}

std::expected<void, LedgerError> LedgerWriter::append(const SignedEvent& record) {
  LedgerBatch batch;
  if (auto added = batch.add(record); !added) return added;
  return append(batch);
}

std::expected<void, LedgerError> LedgerWriter::append(const LedgerBatch& batch) {
  if (batch.count() == 0) return {};
  // The lines and their LFs go out in one write: an append-mode write lands
  // whole at the end of the file, so another writer's bytes can never split
  // a line from its LF.
  PoisonMutex::Lock lock(mutex_);
  if (stopped_) return io_error(IoError::message(kWriterStopped));
  auto before = file_size(file_.fd());
  if (!before) return io_error(before.error());
  std::size_t skip = ends_open_ ? 0 : 1;
  std::size_t written = 0;
  const Buffer& lines = batch.lines_;
  auto appended = write_all(file_.fd(), lines.data() + skip, lines.size() - skip, &written);
  if (appended) appended = sync_data(file_.fd());
  if (!appended) return take_back(*before, written, appended.error());
  ends_open_ = false;
  return {};
}

// Cuts the file back to `size` after a failed append of `written` bytes.
// Only a file of exactly `size + written` bytes is cut: any other size means
// another writer appended meanwhile, and its bytes are never cut.
std::expected<void, LedgerError> LedgerWriter::take_back(std::uint64_t size, std::size_t written,
                                                         const IoError& cause) {
  if (written == 0) return io_error(cause);  // nothing of this append landed
  auto now = file_size(file_.fd());
  bool cut = now && *now == size + written && truncate_file(file_.fd(), size) &&
             sync_data(file_.fd());
  if (!cut) {
    stopped_ = true;
    return io_error(IoError::message(kWriterStopped));
  }
  return io_error(cause);
}

LedgerReader::LedgerReader(std::function<void(SignedEvent&&)> on_record, std::size_t max_line_bytes)
    : LedgerReader(
          [on_record = std::move(on_record)](std::string_view text) -> std::expected<void, JsonError> {
            auto record = read_line(text);
            if (!record) return std::unexpected(std::move(record.error()));
            on_record(std::move(*record));
            return {};
          },
          max_line_bytes) {}

// One line as the file holds it (LF already removed): UTF-8 checked with its
// LF, then CR stripped, blank lines skipped, anything else parsed.
std::expected<void, LedgerError> LedgerReader::take_line(std::string_view line, bool had_lf) {
  if (!valid_utf8(line)) return io_error(IoError::message(kInvalidUtf8));
  if (had_lf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (all_white_space(line)) return {};
  if (auto read = read_text_(line); !read) return std::unexpected(LedgerError{std::move(read.error())});
  return {};
}

std::optional<LedgerError> LedgerReader::too_long(std::uint64_t line, std::size_t size) const {
  if (size <= max_line_bytes_) return std::nullopt;
  return LedgerError{LineTooLong{line, max_line_bytes_}};
}

std::expected<void, LedgerError> LedgerReader::feed(std::string_view bytes) {
  for (;;) {
    std::size_t lf = bytes.find('\n');
    if (lf == std::string_view::npos) break;
    if (auto error = too_long(lines_ + 1, pending_.size() + lf)) return std::unexpected(*error);
    std::expected<void, LedgerError> taken;
    if (pending_.empty()) {
      taken = take_line(bytes.substr(0, lf), true);
    } else {
      pending_.append(bytes.data(), lf);
      taken = take_line(pending_, true);
      pending_.clear();
    }
    if (!taken) return taken;
    ++lines_;
    bytes.remove_prefix(lf + 1);
  }
  // The start of a line still to come, refused as soon as it is too long:
  // an endless line never grows the buffer past the limit.
  if (auto error = too_long(lines_ + 1, pending_.size() + bytes.size())) {
    return std::unexpected(*error);
  }
  pending_.append(bytes);
  return {};
}

std::expected<void, LedgerError> LedgerReader::finish() {
  if (pending_.empty()) return {};
  auto taken = take_line(pending_, false);
  pending_.clear();
  return taken;
}

namespace {

std::expected<void, LedgerError> read_with(LedgerReader& reader, const std::string& path,
                                           const ReadOptions& options) {
  if (!exists(path)) return {};  // a ledger that cannot be found is empty
  auto file = open_regular(path, O_RDONLY);
  if (!file) return io_error(file.error());
  std::expected<void, LedgerError> fed;
  auto read = read_chunks(file->fd(), options.keep_reading, [&](std::string_view chunk) {
    fed = reader.feed(chunk);
    return fed.has_value();
  });
  if (!read) return io_error(read.error());
  if (!fed) return fed;
  return reader.finish();
}

}  // namespace

std::expected<void, LedgerError> read_ledger(const std::string& path,
                                             const std::function<void(SignedEvent&&)>& on_record,
                                             const ReadOptions& options) {
  LedgerReader reader(on_record, options.max_line_bytes);
  return read_with(reader, path, options);
}

std::expected<void, LedgerError> read_ledger_heads(
    const std::string& path, const std::function<void(const SignedEvent&)>& on_record,
    const ReadOptions& options) {
  SignedEvent record;
  auto reader = LedgerReader::of_texts(
      [&](std::string_view text) {
        auto read = read_line_head(text, record);
        if (read) on_record(record);
        return read;
      },
      options.max_line_bytes);
  return read_with(reader, path, options);
}

std::expected<std::vector<SignedEvent>, LedgerError> read_ledger(const std::string& path,
                                                                 const ReadOptions& options) {
  std::vector<SignedEvent> records;
  auto read = read_ledger(
      path, [&](SignedEvent&& r) { records.push_back(std::move(r)); }, options);
  if (!read) return std::unexpected(std::move(read.error()));
  return records;
}

}  // namespace tallyvox
