// RLIMIT_FSIZE for one scope, with SIGXFSZ ignored: a write that would
// pass the limit stops there (EFBIG) instead of killing the process. The
// limit is the process's, so only single-threaded tests may use it.
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace tallyvox::testing {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : old_handler_(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    struct rlimit limit = old_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  struct rlimit old_{};
  void (*old_handler_)(int);
};

}  // namespace tallyvox::testing
