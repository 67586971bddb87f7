#include "core/keys.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/hex.h"
#include "core/io.h"

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

}  // namespace

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

std::expected<SigningKeypair, KeyError> SigningKeypair::load(const std::string& path) {
  auto file = open_file(path, O_RDONLY);
  if (!file) return io_error(file.error());
  // Any length but 32 is refused, so a stream without end (a device, a pipe)
  // is read no further than the limit; a regular file reports its length.
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

std::expected<SigningKeypair, KeyError> SigningKeypair::load_or_create(const std::string& path) {
  if (exists(path)) return load(path);
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
    return load(path);
  }
  if (!linked) return io_error(linked.error());
  if (!removed) return io_error(removed.error());
  if (auto synced = sync_directory(dir); !synced) return io_error(synced.error());
  return keypair;
}

std::expected<void, KeyError> SigningKeypair::save(const std::string& path) const {
  if (auto parent = parent_path(path)) {
    if (auto made = create_dir_all(*parent); !made) return io_error(made.error());
  }
  // Created 0600 so the seed is never readable by others, even briefly.
  auto file = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!file) return io_error(file.error());
  if (auto written = write_all(file->fd(), seed_.data(), seed_.size()); !written) {
    return io_error(written.error());
  }
  if (auto synced = sync_all(file->fd()); !synced) return io_error(synced.error());
  if (auto closed = file->close(); !closed) return io_error(closed.error());
  // A file that existed before keeps its old mode through open(2).
  if (auto st = stat_path(path); !st) return io_error(st.error());
  if (auto mode = chmod_path(path, S_IRUSR | S_IWUSR); !mode) return io_error(mode.error());
  return {};
}

std::string SigningKeypair::pubkey_hex() const {
  return hex_encode(public_key_.data(), public_key_.size());
}

std::array<unsigned char, 64> SigningKeypair::sign(const unsigned char* msg, std::size_t n) const {
  return ed25519::sign(key_, msg, n);
}

}  // namespace tallyvox
