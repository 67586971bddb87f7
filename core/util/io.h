// POSIX file helpers shared by the key file and the ledger: every call is
// retried on EINTR, every descriptor is close-on-exec, paths are byte strings
// (a path holding a NUL byte is refused before any call).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/util/error.h"

namespace tallyvox {

// Owns one file descriptor; closes it on destruction.
class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(File&& other) noexcept : fd_(other.release()) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  int fd() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports the error that the destructor would swallow.
  std::expected<void, IoError> close();

 private:
  int fd_ = -1;
};

// open(2) with O_CLOEXEC added.
std::expected<File, IoError> open_file(const std::string& path, int flags, mode_t mode = 0);

// open_file, but only for a regular file (links followed): a FIFO, device,
// socket or directory is refused before anything is read from or written to
// it, and a FIFO with no writer does not block the open. `flags` may hold
// O_CREAT; the descriptor returned is blocking unless `flags` asks otherwise.
std::expected<File, IoError> open_regular(const std::string& path, int flags, mode_t mode = 0);

// Up to `limit` bytes of the regular file at `path` (open_regular's refusals).
std::expected<std::string, IoError> read_regular_file(const std::string& path, std::size_t limit);

// The text of a path that is not a regular file, by its type.
const char* not_regular_text(mode_t mode);

// Writes all n bytes, continuing short writes. `done`, when given, counts
// the bytes that were written, also when the write fails part way.
std::expected<void, IoError> write_all(int fd, const void* data, std::size_t n,
                                       std::size_t* done = nullptr);

// Reads from the current offset to end of file, or until `limit` bytes.
std::expected<std::string, IoError> read_all(int fd, std::size_t limit = SIZE_MAX);

std::expected<void, IoError> sync_all(int fd);   // fsync
std::expected<void, IoError> sync_data(int fd);  // fdatasync
// Makes a directory's new (or removed) entries durable; "" is ".".
std::expected<void, IoError> sync_directory(const std::string& dir);

// Asked by a long read after each chunk (`signalled` false) and after a read
// that a signal interrupted (true). False stops the read with EINTR: the
// caller's signal handlers ran and want it to end. Empty: never stops.
using KeepReading = std::function<bool(bool signalled)>;

// Reads from the current offset to end of file in chunks of 64 KiB, handing
// each to `take`; `take` returning false ends the read early, without error.
std::expected<void, IoError> read_chunks(int fd, const KeepReading& keep_reading,
                                         const std::function<bool(std::string_view)>& take);

// One read(2) into `out`: the byte count, 0 at end of file.
std::expected<std::size_t, IoError> read_some(int fd, char* out, std::size_t n);

// Reads up to n bytes at `offset` (pread(2)), fewer only at end of file.
std::expected<std::string, IoError> read_at(int fd, std::uint64_t offset, std::size_t n);

// The size of the open file (fstat(2)).
std::expected<std::uint64_t, IoError> file_size(int fd);
// ftruncate(2): cuts (or extends) the open file to `size` bytes.
std::expected<void, IoError> truncate_file(int fd, std::uint64_t size);

// stat(2), following symbolic links.
std::expected<struct stat, IoError> stat_path(const std::string& path);
bool exists(const std::string& path);
bool is_directory(const std::string& path);

std::expected<void, IoError> chmod_path(const std::string& path, mode_t mode);
// link(2): fails with EEXIST rather than replace `to`.
std::expected<void, IoError> link_path(const std::string& from, const std::string& to);
std::expected<void, IoError> unlink_path(const std::string& path);
// rename(2): replaces `to` in one step.
std::expected<void, IoError> rename_path(const std::string& from, const std::string& to);

// Creates `path` and every missing ancestor with mode 0777 (less the umask);
// directories that already exist are fine. The empty path is a no-op.
std::expected<void, IoError> create_dir_all(const std::string& path);

// The path without its last component, trailing slashes (and "." components)
// ignored: "a/b/ledger" -> "a/b", "ledger" -> "", "/x" -> "/", "a/b/" -> "a".
// No value for a path with no component to drop ("/", "").
std::optional<std::string> parent_path(const std::string& path);

}  // namespace tallyvox
