#include "core/crypto/keys.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/crypto/hex.h"
#include "core/util/io.h"

namespace tallyvox {

namespace {

// The text of an unexpected end of file while filling a buffer.
constexpr const char* kFillZero = "failed to fill whole buffer";

[[noreturn]] void random_fault(const IoError& error) {
  throw InternalFault("Error: " + display(error));
}

void os_random(unsigned char* out, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    ssize_t k = ::getrandom(out + done, n - done, 0);
    if (k < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS) {
        detail::read_random_device("/dev/random", "/dev/urandom", out, n);
        return;
      }
      random_fault(IoError::os(errno));
    }
    done += static_cast<std::size_t>(k);
  }
}

std::unexpected<KeyError> io_error(const IoError& e) { return std::unexpected(KeyError{e}); }

// A new file in `dir` that holds the seed, flushed, readable by the owner
// only from its creation on; gives its path.
std::expected<std::string, IoError> write_private_temp(const std::string& dir,
                                                       const std::array<unsigned char, 32>& seed) {
  std::string prefix = (dir.empty() ? "" : dir + "/") + ".tallyvox-key-";
  for (;;) {
    unsigned char tag[8];
    os_random(tag, sizeof tag);
    std::string temp = prefix + hex_encode(tag, sizeof tag) + ".tmp";
    auto file = open_file(temp, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (!file && file.error().fixed == nullptr && file.error().code == EEXIST) continue;
    if (!file) return std::unexpected(file.error());
    auto done = chmod_path(temp, S_IRUSR | S_IWUSR);  // exactly 0600, whatever the umask
    if (done) done = write_all(file->fd(), seed.data(), seed.size());
    if (done) done = sync_all(file->fd());
    if (done) done = file->close();
    if (!done) {
      (void)unlink_path(temp);
      return std::unexpected(done.error());
    }
    return temp;
  }
}

// The text of the link at `path`. st_size gives its length on most file
// systems but 0 on some: the buffer grows until the text fits.
std::expected<std::string, IoError> read_link(const std::string& path, std::size_t size_hint) {
  std::string target(size_hint + 256, '\0');
  for (;;) {
    ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return std::unexpected(IoError::os(errno));
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

// The file that `path` names once symbolic links at its last component are
// followed, as open(2) follows them: each link is replaced by its target,
// which is relative to the link's directory unless absolute. The file need
// not exist (a dangling link names the file that save creates).
std::expected<std::string, IoError> follow_links(std::string path) {
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    if (hops == 40) return std::unexpected(IoError::os(ELOOP));  // the kernel's limit
    auto target = read_link(path, static_cast<std::size_t>(st.st_size));
    if (!target) return target;
    std::string dir = parent_path(path).value_or("");
    if (target->starts_with('/') || dir.empty()) {
      path = std::move(*target);
    } else {
      path = (dir == "/" ? dir : dir + "/") + *target;
    }
  }
}

// Moves the finished temporary onto `target` in one rename(2), so that the
// path always holds either the old key or the new one, then makes the
// rename durable. A failed rename takes the temporary away.
std::expected<void, IoError> put_in_place(const std::string& temp, const std::string& target,
                                          const std::string& dir) {
  if (auto moved = rename_path(temp, target); !moved) {
    (void)unlink_path(temp);
    return moved;
  }
  return sync_directory(dir);
}

}  // namespace

bool exposed(const KeyFileAccess& access, uid_t me) {
  return (access.mode & 077) != 0 || access.owner != me;
}

namespace detail {

void read_random_device(const char* poll_path, const char* read_path, unsigned char* out,
                        std::size_t n) {
  {
    auto random = open_file(poll_path, O_RDONLY);
    if (!random) random_fault(random.error());
    struct pollfd pfd = {random->fd(), POLLIN, 0};
    for (;;) {
      int rc = ::poll(&pfd, 1, -1);
      if (rc >= 0) break;
      if (errno != EINTR) random_fault(IoError::os(errno));
    }
  }
  auto urandom = open_file(read_path, O_RDONLY);
  if (!urandom) random_fault(urandom.error());
  std::size_t done = 0;
  while (done < n) {
    ssize_t k = ::read(urandom->fd(), out + done, n - done);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) random_fault(IoError::os(errno));
    if (k == 0) random_fault(IoError::message(kFillZero));
    done += static_cast<std::size_t>(k);
  }
}

}  // namespace detail

SigningKeypair::SigningKeypair(const std::array<unsigned char, 32>& seed)
    : seed_(seed), key_(ed25519::private_key(seed)) {
  public_key_ = ed25519::public_key(key_);
}

SigningKeypair::SigningKeypair(SigningKeypair&& other) noexcept
    : seed_(other.seed_), public_key_(other.public_key_), key_(std::move(other.key_)) {
  OPENSSL_cleanse(other.seed_.data(), other.seed_.size());
}

SigningKeypair& SigningKeypair::operator=(SigningKeypair&& other) noexcept {
  if (this != &other) {
    seed_ = other.seed_;
    public_key_ = other.public_key_;
    key_ = std::move(other.key_);
    OPENSSL_cleanse(other.seed_.data(), other.seed_.size());
  }
  return *this;
}

SigningKeypair::~SigningKeypair() { OPENSSL_cleanse(seed_.data(), seed_.size()); }

SigningKeypair SigningKeypair::generate() {
  std::array<unsigned char, 32> seed;
  os_random(seed.data(), seed.size());
  SigningKeypair keypair(seed);
  OPENSSL_cleanse(seed.data(), seed.size());
  return keypair;
}

SigningKeypair SigningKeypair::from_seed(const std::array<unsigned char, 32>& seed) {
  return SigningKeypair(seed);
}

std::expected<SigningKeypair, KeyError> SigningKeypair::load(const std::string& path,
                                                             KeyFileAccess* access) {
  // A FIFO or a device is refused before it is read: a FIFO would block.
  auto file = open_regular(path, O_RDONLY);
  if (!file) return io_error(file.error());
  if (access != nullptr) {
    struct stat st;
    if (::fstat(file->fd(), &st) != 0) return io_error(IoError::os(errno));
    *access = KeyFileAccess{st.st_mode & 07777, st.st_uid};
  }
  // Any length but 32 is refused, so a file that grows while it is read is
  // read no further than the limit; its length is then taken from fstat.
  constexpr std::size_t kReadLimit = std::size_t{1} << 20;
  auto bytes = read_all(file->fd(), kReadLimit);
  if (!bytes) return io_error(bytes.error());
  struct Wipe {
    std::string& s;
    ~Wipe() { OPENSSL_cleanse(s.data(), s.size()); }
  } wipe{*bytes};
  if (bytes->size() != kSeedSize) {
    std::size_t actual = bytes->size();
    struct stat st;
    if (actual == kReadLimit && ::fstat(file->fd(), &st) == 0 && S_ISREG(st.st_mode)) {
      actual = static_cast<std::size_t>(st.st_size);
    }
    return std::unexpected(KeyError{KeyError::InvalidKeyLength{kSeedSize, actual}});
  }
  std::array<unsigned char, 32> seed;
  for (std::size_t i = 0; i < kSeedSize; ++i) seed[i] = static_cast<unsigned char>((*bytes)[i]);
  SigningKeypair keypair(seed);
  OPENSSL_cleanse(seed.data(), seed.size());
  return keypair;
}

std::expected<SigningKeypair, KeyError> SigningKeypair::load_or_create(const std::string& path,
                                                                       KeyFileAccess* access) {
  if (exists(path)) return load(path, access);
  std::string dir = parent_path(path).value_or("");
  if (auto made = create_dir_all(dir); !made) return io_error(made.error());
  SigningKeypair keypair = generate();
  auto temp = write_private_temp(dir, keypair.seed_);
  if (!temp) return io_error(temp.error());
  // link(2), unlike rename(2), never replaces: of racing callers exactly one
  // puts its key in place, and the others load that one.
  auto linked = link_path(*temp, path);
  auto removed = unlink_path(*temp);
  if (!linked && linked.error().fixed == nullptr && linked.error().code == EEXIST) {
    return load(path, access);
  }
  if (!linked) return io_error(linked.error());
  if (!removed) return io_error(removed.error());
  if (auto synced = sync_directory(dir); !synced) return io_error(synced.error());
  if (access != nullptr) *access = KeyFileAccess{S_IRUSR | S_IWUSR, ::geteuid()};
  return keypair;
}

std::expected<void, KeyError> SigningKeypair::save(const std::string& path) const {
  if (path.find('\0') != std::string::npos) return io_error(IoError::message(kNulInPath));
  if (auto parent = parent_path(path)) {
    if (auto made = create_dir_all(*parent); !made) return io_error(made.error());
  }
  // A link at the path stays a link: the key replaces the file it points to.
  auto target = follow_links(path);
  if (!target) return io_error(target.error());
  std::string dir = parent_path(*target).value_or("");
  if (auto made = create_dir_all(dir); !made) return io_error(made.error());
  // The old key stays whole until the new one, complete and flushed, takes
  // its name; a failure on the way leaves no temporary behind.
  auto temp = write_private_temp(dir, seed_);
  if (!temp) return io_error(temp.error());
  if (auto placed = put_in_place(*temp, *target, dir); !placed) return io_error(placed.error());
  return {};
}

std::string SigningKeypair::pubkey_hex() const {
  return hex_encode(public_key_.data(), public_key_.size());
}

std::array<unsigned char, 64> SigningKeypair::sign(const unsigned char* msg, std::size_t n) const {
  return ed25519::sign(key_, msg, n);
}

}  // namespace tallyvox
