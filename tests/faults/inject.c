/* Fault injection for the ledger tests, loaded with LD_PRELOAD.
 *
 * Interposes open, open64, openat, openat64, mkdir, read, write, fsync,
 * fdatasync, ftruncate, ftruncate64 and close. Every call is forwarded to the next definition
 * (dlsym(RTLD_NEXT)) unless a rule matches. Only paths under one directory
 * are ever touched:
 *
 *   TALLYVOX_FAULTS_ROOT  absolute directory; an open or mkdir of this path or
 *                         of a path below it is "tracked", and so is the
 *                         descriptor such an open returns (until it is
 *                         closed). Nothing else is matched or logged.
 *   TALLYVOX_FAULTS_LOG   file that gets one line per tracked call:
 *                         op TAB path TAB arg TAB result TAB errno TAB injected
 *                         (arg: byte count for read/write, flags for open,
 *                         mode for mkdir, length for ftruncate, 0 otherwise).
 *   TALLYVOX_FAULTS       rules separated by ';', each OP[:key[=value]]...
 *                         OP is open, mkdir, read, write, fsync, fdatasync
 *                         or ftruncate.
 *       path=SUFFIX   the (descriptor's) path must end with SUFFIX
 *       nth=N         the first matching call that fires, from 1 (default 1)
 *       times=K       consecutive matching calls that fire (default 1, 0: all)
 *       errno=NAME    fail with -1 and this errno (ENOSPC, EIO, EINTR, ...)
 *       short=K       read/write: pass at most K bytes to the real call
 *       zero          read/write: return 0 without calling it
 *       creat         open: only opens with O_CREAT match
 *   Every rule counts its own matching calls; the first rule that fires
 *   decides the outcome of a call.
 *
 * Example: TALLYVOX_FAULTS="write:path=ledger.ndjson:nth=2:errno=ENOSPC"
 * fails the second write to the ledger with ENOSPC.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum op { OP_OPEN, OP_MKDIR, OP_READ, OP_WRITE, OP_FSYNC, OP_FDATASYNC, OP_FTRUNCATE, OP_COUNT };
static const char *const op_names[OP_COUNT] = {"open", "mkdir", "read", "write", "fsync",
                                               "fdatasync", "ftruncate"};

enum action { ACT_ERRNO, ACT_SHORT, ACT_ZERO };

struct rule {
  enum op op;
  char suffix[256];
  long nth;
  long times;
  enum action action;
  int err;
  size_t limit;
  int creat_only;
  long seen;
};

#define MAX_RULES 16
#define MAX_FDS 4096

static struct rule rules[MAX_RULES];
static int rule_count;
static char root[4096];
static size_t root_len;
static int log_fd = -1;
static char *fd_paths[MAX_FDS];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t once = PTHREAD_ONCE_INIT;

static int (*real_open)(const char *, int, ...);
static int (*real_open64)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_openat64)(int, const char *, int, ...);
static int (*real_mkdir)(const char *, mode_t);
static ssize_t (*real_read)(int, void *, size_t);
static ssize_t (*real_write)(int, const void *, size_t);
static int (*real_fsync)(int);
static int (*real_fdatasync)(int);
static int (*real_ftruncate)(int, off_t);
static int (*real_ftruncate64)(int, off64_t);
static int (*real_close)(int);

static void die(const char *what, const char *detail) {
  /* A rule that cannot be read must not silently inject nothing. */
  fprintf(stderr, "inject: %s: %s\n", what, detail);
  _exit(97);
}

static int errno_of(const char *name) {
  static const struct {
    const char *name;
    int value;
  } names[] = {{"ENOSPC", ENOSPC}, {"EIO", EIO},       {"EINTR", EINTR},   {"EACCES", EACCES},
               {"EPERM", EPERM},   {"EROFS", EROFS},   {"EDQUOT", EDQUOT}, {"EFBIG", EFBIG},
               {"EAGAIN", EAGAIN}, {"ENOENT", ENOENT}, {"EEXIST", EEXIST}, {"EMFILE", EMFILE},
               {"ENOTDIR", ENOTDIR}};
  for (size_t i = 0; i < sizeof names / sizeof names[0]; i++) {
    if (strcmp(names[i].name, name) == 0) return names[i].value;
  }
  die("unknown errno name", name);
  return 0;
}

static void parse_rule(char *text) {
  if (rule_count == MAX_RULES) die("too many rules", text);
  struct rule *r = &rules[rule_count++];
  memset(r, 0, sizeof *r);
  r->nth = 1;
  r->times = 1;
  r->action = ACT_ERRNO;
  r->err = -1;
  char *save = NULL;
  char *op = strtok_r(text, ":", &save);
  int found = 0;
  for (int i = 0; op != NULL && i < OP_COUNT; i++) {
    if (strcmp(op, op_names[i]) == 0) {
      r->op = (enum op)i;
      found = 1;
    }
  }
  if (!found) die("unknown operation", op ? op : "(none)");
  int has_action = 0;
  for (char *item = strtok_r(NULL, ":", &save); item; item = strtok_r(NULL, ":", &save)) {
    char *value = strchr(item, '=');
    if (value) *value++ = '\0';
    if (strcmp(item, "path") == 0 && value) {
      snprintf(r->suffix, sizeof r->suffix, "%s", value);
    } else if (strcmp(item, "nth") == 0 && value) {
      r->nth = atol(value);
    } else if (strcmp(item, "times") == 0 && value) {
      r->times = atol(value);
    } else if (strcmp(item, "errno") == 0 && value) {
      r->action = ACT_ERRNO;
      r->err = errno_of(value);
      has_action = 1;
    } else if (strcmp(item, "short") == 0 && value) {
      r->action = ACT_SHORT;
      r->limit = (size_t)atol(value);
      has_action = 1;
    } else if (strcmp(item, "zero") == 0) {
      r->action = ACT_ZERO;
      has_action = 1;
    } else if (strcmp(item, "creat") == 0) {
      r->creat_only = 1;
    } else {
      die("unknown rule item", item);
    }
  }
  if (!has_action) die("rule without errno, short or zero", op);
  if (r->action != ACT_ERRNO && r->op != OP_READ && r->op != OP_WRITE) {
    die("short and zero apply to read and write only", op);
  }
}

static void init(void) {
  real_open = dlsym(RTLD_NEXT, "open");
  real_open64 = dlsym(RTLD_NEXT, "open64");
  real_openat = dlsym(RTLD_NEXT, "openat");
  real_openat64 = dlsym(RTLD_NEXT, "openat64");
  real_mkdir = dlsym(RTLD_NEXT, "mkdir");
  real_read = dlsym(RTLD_NEXT, "read");
  real_write = dlsym(RTLD_NEXT, "write");
  real_fsync = dlsym(RTLD_NEXT, "fsync");
  real_fdatasync = dlsym(RTLD_NEXT, "fdatasync");
  real_ftruncate = dlsym(RTLD_NEXT, "ftruncate");
  real_ftruncate64 = dlsym(RTLD_NEXT, "ftruncate64");
  real_close = dlsym(RTLD_NEXT, "close");

  const char *r = getenv("TALLYVOX_FAULTS_ROOT");
  if (r && r[0] == '/') {
    snprintf(root, sizeof root, "%s", r);
    root_len = strlen(root);
    while (root_len > 1 && root[root_len - 1] == '/') root[--root_len] = '\0';
  }
  const char *rules_text = getenv("TALLYVOX_FAULTS");
  if (rules_text && *rules_text) {
    char *copy = strdup(rules_text);
    char *save = NULL;
    for (char *text = strtok_r(copy, ";", &save); text; text = strtok_r(NULL, ";", &save)) {
      if (*text) parse_rule(text);
    }
    free(copy);
  }
  const char *log_path = getenv("TALLYVOX_FAULTS_LOG");
  if (log_path && *log_path) {
    log_fd = real_open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) die("cannot open log", log_path);
  }
}

static void ensure_init(void) { pthread_once(&once, init); }

static int under_root(const char *path) {
  if (root_len == 0 || path == NULL) return 0;
  if (strncmp(path, root, root_len) != 0) return 0;
  return path[root_len] == '\0' || path[root_len] == '/' || root_len == 1;
}

/* Copies the tracked path of fd into out; 0 when fd is not tracked. */
static int tracked_path(int fd, char *out, size_t size) {
  int found = 0;
  if (fd < 0 || fd >= MAX_FDS) return 0;
  pthread_mutex_lock(&lock);
  if (fd_paths[fd]) {
    snprintf(out, size, "%s", fd_paths[fd]);
    found = 1;
  }
  pthread_mutex_unlock(&lock);
  return found;
}

static void track(int fd, const char *path) {
  if (fd < 0 || fd >= MAX_FDS) return;
  char *copy = strdup(path);
  pthread_mutex_lock(&lock);
  free(fd_paths[fd]);
  fd_paths[fd] = copy;
  pthread_mutex_unlock(&lock);
}

static int ends_with(const char *s, const char *suffix) {
  size_t n = strlen(s), k = strlen(suffix);
  return k <= n && memcmp(s + n - k, suffix, k) == 0;
}

/* Counts the call against every matching rule; returns the rule that fires. */
static struct rule *decide(enum op op, const char *path, int flags) {
  struct rule *fire = NULL;
  pthread_mutex_lock(&lock);
  for (int i = 0; i < rule_count; i++) {
    struct rule *r = &rules[i];
    if (r->op != op || !ends_with(path, r->suffix)) continue;
    if (r->creat_only && !(flags & O_CREAT)) continue;
    long n = ++r->seen;
    if (fire == NULL && n >= r->nth && (r->times == 0 || n < r->nth + r->times)) fire = r;
  }
  pthread_mutex_unlock(&lock);
  return fire;
}

static void log_call(enum op op, const char *path, long long arg, long long result, int err,
                     int injected) {
  if (log_fd < 0) return;
  char line[4096 + 128];
  int n = snprintf(line, sizeof line, "%s\t%s\t%lld\t%lld\t%d\t%d\n", op_names[op], path, arg,
                   result, result < 0 ? err : 0, injected);
  if (n > 0) real_write(log_fd, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

static int open_common(int dirfd, const char *path, int flags, mode_t mode, int which) {
  int fd;
  int ours = (dirfd == AT_FDCWD || (path && path[0] == '/')) && under_root(path);
  if (ours) {
    struct rule *r = decide(OP_OPEN, path, flags);
    if (r) {
      log_call(OP_OPEN, path, flags, -1, r->err, 1);
      errno = r->err;
      return -1;
    }
  }
  switch (which) {
    case 0: fd = real_open(path, flags, mode); break;
    case 1: fd = real_open64(path, flags, mode); break;
    case 2: fd = real_openat(dirfd, path, flags, mode); break;
    default: fd = real_openat64(dirfd, path, flags, mode); break;
  }
  if (ours) {
    int saved = errno;
    if (fd >= 0) track(fd, path);
    log_call(OP_OPEN, path, flags, fd, saved, 0);
    errno = saved;
  }
  return fd;
}

static mode_t mode_arg(int flags, va_list ap) {
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) return (mode_t)va_arg(ap, int);
  return 0;
}

int open(const char *path, int flags, ...) {
  ensure_init();
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common(AT_FDCWD, path, flags, mode, 0);
}

int open64(const char *path, int flags, ...) {
  ensure_init();
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common(AT_FDCWD, path, flags, mode, 1);
}

int openat(int dirfd, const char *path, int flags, ...) {
  ensure_init();
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common(dirfd, path, flags, mode, 2);
}

int openat64(int dirfd, const char *path, int flags, ...) {
  ensure_init();
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common(dirfd, path, flags, mode, 3);
}

int mkdir(const char *path, mode_t mode) {
  ensure_init();
  if (!under_root(path)) return real_mkdir(path, mode);
  struct rule *r = decide(OP_MKDIR, path, 0);
  if (r) {
    log_call(OP_MKDIR, path, mode, -1, r->err, 1);
    errno = r->err;
    return -1;
  }
  int rc = real_mkdir(path, mode);
  int saved = errno;
  log_call(OP_MKDIR, path, mode, rc, saved, 0);
  errno = saved;
  return rc;
}

static ssize_t transfer(enum op op, int fd, void *buf, size_t n) {
  char path[4096];
  ssize_t (*rd)(int, void *, size_t) = real_read;
  ssize_t (*wr)(int, const void *, size_t) = real_write;
  if (!tracked_path(fd, path, sizeof path)) {
    return op == OP_READ ? rd(fd, buf, n) : wr(fd, buf, n);
  }
  struct rule *r = decide(op, path, 0);
  int injected = r != NULL;
  size_t count = n;
  ssize_t k;
  if (r && r->action == ACT_ERRNO) {
    log_call(op, path, (long long)n, -1, r->err, 1);
    errno = r->err;
    return -1;
  }
  if (r && r->action == ACT_ZERO) {
    log_call(op, path, (long long)n, 0, 0, 1);
    return 0;
  }
  if (r && r->action == ACT_SHORT && r->limit < count) count = r->limit;
  k = op == OP_READ ? rd(fd, buf, count) : wr(fd, buf, count);
  int saved = errno;
  log_call(op, path, (long long)n, k, saved, injected);
  errno = saved;
  return k;
}

ssize_t read(int fd, void *buf, size_t n) {
  ensure_init();
  return transfer(OP_READ, fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n) {
  ensure_init();
  return transfer(OP_WRITE, fd, (void *)buf, n);
}

static int sync_common(enum op op, int fd) {
  char path[4096];
  int (*call)(int) = op == OP_FSYNC ? real_fsync : real_fdatasync;
  if (!tracked_path(fd, path, sizeof path)) return call(fd);
  struct rule *r = decide(op, path, 0);
  if (r) {
    log_call(op, path, 0, -1, r->err, 1);
    errno = r->err;
    return -1;
  }
  int rc = call(fd);
  int saved = errno;
  log_call(op, path, 0, rc, saved, 0);
  errno = saved;
  return rc;
}

int fsync(int fd) {
  ensure_init();
  return sync_common(OP_FSYNC, fd);
}

int fdatasync(int fd) {
  ensure_init();
  return sync_common(OP_FDATASYNC, fd);
}

static int truncate_common(int fd, long long length, int wide) {
  char path[4096];
  if (tracked_path(fd, path, sizeof path)) {
    struct rule *r = decide(OP_FTRUNCATE, path, 0);
    if (r) {
      log_call(OP_FTRUNCATE, path, length, -1, r->err, 1);
      errno = r->err;
      return -1;
    }
  }
  int rc = wide ? real_ftruncate64(fd, (off64_t)length) : real_ftruncate(fd, (off_t)length);
  if (tracked_path(fd, path, sizeof path)) {
    int saved = errno;
    log_call(OP_FTRUNCATE, path, length, rc, saved, 0);
    errno = saved;
  }
  return rc;
}

int ftruncate(int fd, off_t length) {
  ensure_init();
  return truncate_common(fd, (long long)length, 0);
}

int ftruncate64(int fd, off64_t length) {
  ensure_init();
  return truncate_common(fd, (long long)length, 1);
}

int close(int fd) {
  ensure_init();
  if (fd >= 0 && fd < MAX_FDS) {
    pthread_mutex_lock(&lock);
    char *old = fd_paths[fd];
    fd_paths[fd] = NULL;
    pthread_mutex_unlock(&lock);
    free(old);
  }
  return real_close(fd);
}
