// POSIX file helpers shared by the key file and the ledger: every call is
// retried on EINTR, every descriptor is close-on-exec, paths are byte strings
// (a path holding a NUL byte is refused before any call).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "core/error.h"

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

// Writes all n bytes, continuing short writes.
std::expected<void, IoError> write_all(int fd, const void* data, std::size_t n);

// Reads from the current offset to end of file, or until `limit` bytes.
std::expected<std::string, IoError> read_all(int fd, std::size_t limit = SIZE_MAX);

std::expected<void, IoError> sync_all(int fd);   // fsync
std::expected<void, IoError> sync_data(int fd);  // fdatasync

// stat(2), following symbolic links.
std::expected<struct stat, IoError> stat_path(const std::string& path);
bool exists(const std::string& path);
bool is_directory(const std::string& path);

std::expected<void, IoError> chmod_path(const std::string& path, mode_t mode);

// Creates `path` and every missing ancestor with mode 0777 (less the umask);
// directories that already exist are fine. The empty path is a no-op.
std::expected<void, IoError> create_dir_all(const std::string& path);

// The path without its last component, trailing slashes (and "." components)
// ignored: "a/b/ledger" -> "a/b", "ledger" -> "", "/x" -> "/", "a/b/" -> "a".
// No value for a path with no component to drop ("/", "").
std::optional<std::string> parent_path(const std::string& path);

}  // namespace tallyvox
