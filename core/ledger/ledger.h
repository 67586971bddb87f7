// The ledger file: NDJSON, one signed record per line, only ever appended.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ledger/signed.h"
#include "core/util/buffer.h"
#include "core/util/error.h"
#include "core/util/io.h"
#include "core/util/poison_mutex.h"

namespace tallyvox {

// Lines to append together: each record's line and its LF, in order, in
// one buffer, so that a batch costs one write and one flush.
class LedgerBatch {
 public:
  LedgerBatch();
  // Refuses (changing nothing) a record whose line could not be read back.
  std::expected<void, LedgerError> add(const SignedEvent& record);
  std::size_t count() const { return count_; }
  std::size_t bytes() const { return lines_.size() - 1; }

 private:
  friend class LedgerWriter;
  Buffer lines_;  // an LF first, sent only to end a last line that has none
  std::size_t count_ = 0;
};

class LedgerWriter {
 public:
  // Creates missing parent directories and the file; an existing file is
  // opened unchanged for appending. Only a regular file is opened, and only
  // while no other writer holds it (core/ledger/writer_lock.h): the lock is held
  // until the writer is destroyed.
  static std::expected<std::unique_ptr<LedgerWriter>, LedgerError> open(const std::string& path);

  // Appends the record's line and its LF in one write, then flushes the data
  // to stable storage. Safe to call from several threads. A failed append
  // leaves the file as it was: its bytes are cut off again. When they cannot
  // be (the cut fails, or the file's size shows another writer's bytes after
  // them), the writer stops and refuses this and every later append.
  std::expected<void, LedgerError> append(const SignedEvent& record);

  // Appends every line of the batch in one write and flushes once: all of
  // them or, cut back whole, none. An empty batch writes nothing.
  std::expected<void, LedgerError> append(const LedgerBatch& batch);

  const std::string& path() const { return path_; }

  // `ends_open`: the file's last line has no LF yet; the first append ends it.
  LedgerWriter(std::string path, File file, bool ends_open = false)
      : path_(std::move(path)), file_(std::move(file)), ends_open_(ends_open) {}

 private:
  std::expected<void, LedgerError> take_back(std::uint64_t size, std::size_t written,
                                             const IoError& cause);

  std::string path_;
  File file_;
  PoisonMutex mutex_{"ledger writer mutex poisoned"};
  bool ends_open_;        // guarded by mutex_
  bool stopped_ = false;  // guarded by mutex_
};

// The text of every append refused by a writer that stopped.
inline constexpr const char* kWriterStopped =
    "the ledger may end with a partial line; the session must be reopened";

// The longest line a reader takes unless told otherwise: far beyond any
// record this system writes, and a bound on what an endless or hostile file
// (a device, a huge sparse file) can make a reader hold.
inline constexpr std::size_t kDefaultMaxLineBytes = std::size_t{64} << 20;

// How much of a ledger a thread of a parallel read takes at once: enough
// that handing it over costs nothing next to reading it, little enough that
// the threads finish together.
inline constexpr std::size_t kDefaultChunkBytes = std::size_t{1} << 20;

struct ReadOptions {
  std::size_t max_line_bytes = kDefaultMaxLineBytes;  // its LF not counted
  KeepReading keep_reading;                           // asked between chunks
  // Threads for the walks that check seals (the chain and tree walks of a
  // file): more than one reads in parallel (core/ledger/parallel_read.h), taking
  // `chunk_bytes` at a time.
  unsigned jobs = 1;
  std::size_t chunk_bytes = kDefaultChunkBytes;
};

// Cuts ledger bytes into lines, which may arrive in pieces of any size, and
// reads each line: it must be UTF-8 (with its LF); CRLF ends are accepted;
// blank and white-space lines are skipped; any other line must be one record.
// A line longer than `max_line_bytes` is an error as soon as it is, before
// its LF comes. The reader keeps its own copy of `on_record`, so a temporary
// may be passed.
class LedgerReader {
 public:
  explicit LedgerReader(std::function<void(SignedEvent&&)> on_record,
                        std::size_t max_line_bytes = kDefaultMaxLineBytes);

  // What reads the text of a line that is not blank (UTF-8 checked, the CR
  // of a CRLF end removed): one record, or its error.
  using ReadText = std::function<std::expected<void, JsonError>(std::string_view text)>;
  // A reader that hands each such text to `read_text`.
  static LedgerReader of_texts(ReadText read_text, std::size_t max_line_bytes = kDefaultMaxLineBytes) {
    return LedgerReader(std::move(read_text), max_line_bytes);
  }

  std::expected<void, LedgerError> feed(std::string_view bytes);
  // The bytes after the last LF form a final line.
  std::expected<void, LedgerError> finish();

  std::size_t max_line_bytes() const { return max_line_bytes_; }
  // The lines ended by an LF so far.
  std::uint64_t lines() const { return lines_; }
  // The error of a line of `size` bytes, from 1, when it is too long.
  std::optional<LedgerError> too_long(std::uint64_t line, std::size_t size) const;

 private:
  LedgerReader(ReadText read_text, std::size_t max_line_bytes)
      : read_text_(std::move(read_text)), max_line_bytes_(max_line_bytes) {}
  std::expected<void, LedgerError> take_line(std::string_view line, bool had_lf);

  ReadText read_text_;
  std::size_t max_line_bytes_;
  std::uint64_t lines_ = 0;  // lines ended so far
  std::string pending_;      // the start of a line whose LF has not come yet
};

// Reads a ledger line by line, handing each record to `on_record` in file
// order. A path that cannot be examined reads as an empty ledger; one that
// is there but is not a regular file (a FIFO, a device, a directory) is
// refused before anything is read. Blank and white-space lines are skipped;
// any other line must be one record.
std::expected<void, LedgerError> read_ledger(const std::string& path,
                                             const std::function<void(SignedEvent&&)>& on_record,
                                             const ReadOptions& options = {});

std::expected<std::vector<SignedEvent>, LedgerError> read_ledger(const std::string& path,
                                                                 const ReadOptions& options = {});

// read_ledger for a reader that needs every line to be a record but not the
// records' events (resuming a ledger): each record is read into one
// SignedEvent, reused, whose event is never filled in.
std::expected<void, LedgerError> read_ledger_heads(
    const std::string& path, const std::function<void(const SignedEvent&)>& on_record,
    const ReadOptions& options = {});

}  // namespace tallyvox
