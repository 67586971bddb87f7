#include "core/ledger/writer_lock.h"

#include <fcntl.h>

#include <cerrno>

namespace tallyvox {

std::expected<void, LedgerError> lock_for_writing(int fd, const std::string& path) {
  struct flock whole{};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;  // from offset 0, length 0: the whole file, however it grows
  for (;;) {
    if (::fcntl(fd, F_OFD_SETLK, &whole) == 0) return {};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EACCES) {
      return std::unexpected(LedgerError{LedgerError::Held{path}});
    }
    return std::unexpected(LedgerError{IoError::os(errno)});
  }
}

}  // namespace tallyvox
