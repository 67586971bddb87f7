#include "core/util/io.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tallyvox {

namespace {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

std::unexpected<IoError> os_error() { return std::unexpected(IoError::os(errno)); }
std::unexpected<IoError> nul_in_path() { return std::unexpected(IoError::message(kNulInPath)); }

template <class F>
auto retry(F&& call) {
  for (;;) {
    auto rc = call();
    if (rc >= 0 || errno != EINTR) return rc;
  }
}

// ".", "..", and bare names count as components; a run of slashes separates.
bool is_separator(char c) { return c == '/'; }

// Drops trailing slashes and trailing "." components, never the leading
// character of the path.
std::size_t trimmed_end(const std::string& path, std::size_t end) {
  for (;;) {
    while (end > 1 && is_separator(path[end - 1])) --end;
    if (end > 1 && path[end - 1] == '.' && is_separator(path[end - 2])) {
      --end;
      continue;
    }
    return end;
  }
}

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

// close(2) is not retried on EINTR: Linux has released the descriptor by
// then, and a retry could close one that another thread just opened.
File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<void, IoError> File::close() {
  int fd = release();
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return os_error();
  return {};
}

std::expected<File, IoError> open_file(const std::string& path, int flags, mode_t mode) {
  if (has_nul(path)) return nul_in_path();
  int fd = retry([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
  if (fd < 0) return os_error();
  return File(fd);
}

const char* not_regular_text(mode_t mode) {
  if (S_ISFIFO(mode)) return kNotRegularFifo;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return kNotRegularDevice;
  if (S_ISSOCK(mode)) return kNotRegularSocket;
  if (S_ISDIR(mode)) return kNotRegularDirectory;
  return kNotRegularOther;
}

std::expected<File, IoError> open_regular(const std::string& path, int flags, mode_t mode) {
  if (has_nul(path)) return nul_in_path();
  // A directory cannot be opened for writing and a socket not at all: say
  // what they are rather than the open's errno, and never open a device.
  struct stat st;
  if (retry([&] { return ::stat(path.c_str(), &st); }) == 0 && !S_ISREG(st.st_mode)) {
    return std::unexpected(IoError::message(not_regular_text(st.st_mode)));
  }
  // O_NONBLOCK keeps the open of a FIFO from waiting for its other end; the
  // type is then checked on the descriptor itself, so a path swapped after
  // the stat above is caught too.
  auto file = open_file(path, flags | O_NONBLOCK, mode);
  if (!file) return file;
  if (retry([&] { return ::fstat(file->fd(), &st); }) != 0) return os_error();
  if (!S_ISREG(st.st_mode)) return std::unexpected(IoError::message(not_regular_text(st.st_mode)));
  if ((flags & O_NONBLOCK) == 0) {
    int now = ::fcntl(file->fd(), F_GETFL);
    if (now < 0 || ::fcntl(file->fd(), F_SETFL, now & ~O_NONBLOCK) != 0) return os_error();
  }
  return file;
}

std::expected<std::string, IoError> read_regular_file(const std::string& path, std::size_t limit) {
  auto file = open_regular(path, O_RDONLY);
  if (!file) return std::unexpected(file.error());
  return read_all(file->fd(), limit);
}

std::expected<void, IoError> write_all(int fd, const void* data, std::size_t n,
                                       std::size_t* done) {
  const char* p = static_cast<const char*>(data);
  std::size_t unused = 0;
  std::size_t& count = done != nullptr ? *done : unused;
  count = 0;
  while (n > 0) {
    ssize_t k = retry([&] { return ::write(fd, p, n); });
    if (k < 0) return os_error();
    if (k == 0) return std::unexpected(IoError::message(kWriteZero));
    p += k;
    n -= static_cast<std::size_t>(k);
    count += static_cast<std::size_t>(k);
  }
  return {};
}

std::expected<std::string, IoError> read_all(int fd, std::size_t limit) {
  // The size is only a hint (the file may change while it is read); one
  // spare byte lets the read that sees end of file need no growth.
  std::size_t hint = 8192;
  struct stat st;
  if (retry([&] { return ::fstat(fd, &st); }) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    hint = static_cast<std::size_t>(st.st_size) + 1;
  }
  std::string out(std::min(hint, limit), '\0');
  std::size_t used = 0;
  while (used < limit) {
    if (used == out.size()) out.resize(std::min(out.size() * 2, limit));
    ssize_t k = retry([&] { return ::read(fd, out.data() + used, out.size() - used); });
    if (k < 0) return os_error();
    if (k == 0) break;
    used += static_cast<std::size_t>(k);
  }
  out.resize(used);
  return out;
}

std::expected<void, IoError> sync_all(int fd) {
  if (retry([&] { return ::fsync(fd); }) != 0) return os_error();
  return {};
}

std::expected<void, IoError> sync_data(int fd) {
  if (retry([&] { return ::fdatasync(fd); }) != 0) return os_error();
  return {};
}

std::expected<std::size_t, IoError> read_some(int fd, char* out, std::size_t n) {
  ssize_t k = retry([&] { return ::read(fd, out, n); });
  if (k < 0) return os_error();
  return static_cast<std::size_t>(k);
}

std::expected<void, IoError> read_chunks(int fd, const KeepReading& keep_reading,
                                         const std::function<bool(std::string_view)>& take) {
  constexpr std::size_t kChunk = std::size_t{1} << 16;
  std::string chunk(kChunk, '\0');
  for (;;) {
    ssize_t n = ::read(fd, chunk.data(), kChunk);
    if (n < 0) {
      if (errno != EINTR) return os_error();
      // Not retried blindly: the handler of that signal may want the read
      // to end (Ctrl-C on a blocked or endless read).
      if (keep_reading && !keep_reading(true)) return std::unexpected(IoError::os(EINTR));
      continue;
    }
    if (n == 0) return {};
    if (!take(std::string_view(chunk.data(), static_cast<std::size_t>(n)))) return {};
    if (keep_reading && !keep_reading(false)) return std::unexpected(IoError::os(EINTR));
  }
}

std::expected<std::string, IoError> read_at(int fd, std::uint64_t offset, std::size_t n) {
  std::string out(n, '\0');
  std::size_t used = 0;
  while (used < n) {
    ssize_t k = retry([&] {
      return ::pread(fd, out.data() + used, n - used, static_cast<off_t>(offset + used));
    });
    if (k < 0) return os_error();
    if (k == 0) break;
    used += static_cast<std::size_t>(k);
  }
  out.resize(used);
  return out;
}

std::expected<void, IoError> sync_directory(const std::string& dir) {
  auto file = open_file(dir.empty() ? "." : dir, O_RDONLY | O_DIRECTORY);
  if (!file) return std::unexpected(file.error());
  return sync_all(file->fd());
}

std::expected<std::uint64_t, IoError> file_size(int fd) {
  struct stat st;
  if (retry([&] { return ::fstat(fd, &st); }) != 0) return os_error();
  return static_cast<std::uint64_t>(st.st_size);
}

std::expected<void, IoError> truncate_file(int fd, std::uint64_t size) {
  if (retry([&] { return ::ftruncate(fd, static_cast<off_t>(size)); }) != 0) return os_error();
  return {};
}

std::expected<struct stat, IoError> stat_path(const std::string& path) {
  if (has_nul(path)) return nul_in_path();
  struct stat st;
  if (retry([&] { return ::stat(path.c_str(), &st); }) != 0) return os_error();
  return st;
}

bool exists(const std::string& path) { return stat_path(path).has_value(); }

bool is_directory(const std::string& path) {
  auto st = stat_path(path);
  return st && S_ISDIR(st->st_mode);
}

std::expected<void, IoError> chmod_path(const std::string& path, mode_t mode) {
  if (has_nul(path)) return nul_in_path();
  if (retry([&] { return ::chmod(path.c_str(), mode); }) != 0) return os_error();
  return {};
}

std::expected<void, IoError> link_path(const std::string& from, const std::string& to) {
  if (has_nul(from) || has_nul(to)) return nul_in_path();
  if (retry([&] { return ::link(from.c_str(), to.c_str()); }) != 0) return os_error();
  return {};
}

std::expected<void, IoError> unlink_path(const std::string& path) {
  if (has_nul(path)) return nul_in_path();
  if (retry([&] { return ::unlink(path.c_str()); }) != 0) return os_error();
  return {};
}

std::expected<void, IoError> rename_path(const std::string& from, const std::string& to) {
  if (has_nul(from) || has_nul(to)) return nul_in_path();
  if (retry([&] { return ::rename(from.c_str(), to.c_str()); }) != 0) return os_error();
  return {};
}

std::expected<void, IoError> create_dir_all(const std::string& path) {
  if (path.empty()) return {};
  if (has_nul(path)) return nul_in_path();
  auto make = [&] { return retry([&] { return ::mkdir(path.c_str(), 0777); }); };
  if (make() == 0) return {};
  if (errno != ENOENT) {
    int err = errno;
    if (is_directory(path)) return {};
    return std::unexpected(IoError::os(err));
  }
  auto parent = parent_path(path);
  if (!parent) return std::unexpected(IoError::message(kTreeIncomplete));
  if (auto made = create_dir_all(*parent); !made) return made;
  if (make() == 0) return {};
  int err = errno;
  // Another process may have made it meanwhile.
  if (is_directory(path)) return {};
  return std::unexpected(IoError::os(err));
}

std::optional<std::string> parent_path(const std::string& path) {
  std::size_t end = trimmed_end(path, path.size());
  if (end == 0 || (end == 1 && is_separator(path[0]))) return std::nullopt;
  std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return std::string();
  std::size_t parent_end = trimmed_end(path, slash + 1);
  // Only the root is left: keep its slash.
  if (parent_end == 1 && is_separator(path[0])) return std::string("/");
  return path.substr(0, parent_end);
}

}  // namespace tallyvox
