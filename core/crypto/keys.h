// The Ed25519 signing keypair and its secret-key file: exactly 32 raw seed
// bytes, mode 0600, no header and no encoding.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <expected>
#include <string>

#include "core/crypto/ed25519.h"
#include "core/util/error.h"

namespace tallyvox {

// Who may reach a key file, as load found it.
struct KeyFileAccess {
  mode_t mode = 0;  // permission bits, st_mode & 07777
  uid_t owner = 0;
};

// Group or others may read or write the file, or a user other than `me`
// owns it: someone else may hold a copy of the key.
bool exposed(const KeyFileAccess& access, uid_t me);

// Immutable once made. Move-only: copy() re-derives an independent value
// from the seed. The seed is wiped on destruction. A moved-from keypair may
// only be destroyed or assigned to.
class SigningKeypair {
 public:
  static constexpr std::size_t kSeedSize = ed25519::kSeedSize;

  // 32 bytes from the OS random source; a failing source throws
  // InternalFault("Error: ...").
  static SigningKeypair generate();
  static SigningKeypair from_seed(const std::array<unsigned char, 32>& seed);
  // Reads the key file (links followed); only a regular file is opened.
  // `access`, when given, receives the file's permission bits and owner,
  // which are not judged here.
  static std::expected<SigningKeypair, KeyError> load(const std::string& path,
                                                      KeyFileAccess* access = nullptr);
  // Loads `path` if stat(2) finds it; otherwise generates and saves a new
  // key (`access` then tells 0600 and this user). An existing file is never
  // replaced.
  static std::expected<SigningKeypair, KeyError> load_or_create(
      const std::string& path, KeyFileAccess* access = nullptr);

  // Creates missing parent directories, writes the seed to a new 0600 file
  // beside the key and flushes it, renames it onto the key's path (onto a
  // link's target when the path is a link) and flushes the directory. Until
  // the rename the old key is untouched; a failure removes the new file.
  std::expected<void, KeyError> save(const std::string& path) const;

  SigningKeypair(SigningKeypair&& other) noexcept;
  SigningKeypair& operator=(SigningKeypair&& other) noexcept;
  SigningKeypair(const SigningKeypair&) = delete;
  SigningKeypair& operator=(const SigningKeypair&) = delete;
  ~SigningKeypair();

  SigningKeypair copy() const { return from_seed(seed_); }

  const std::array<unsigned char, 32>& seed() const { return seed_; }
  const std::array<unsigned char, 32>& public_key() const { return public_key_; }
  // 64 lowercase hexadecimal characters.
  std::string pubkey_hex() const;

  // Deterministic RFC 8032 signature; safe to call from several threads.
  std::array<unsigned char, 64> sign(const unsigned char* msg, std::size_t n) const;

 private:
  explicit SigningKeypair(const std::array<unsigned char, 32>& seed);

  std::array<unsigned char, 32> seed_;
  std::array<unsigned char, 32> public_key_;
  ed25519::Key key_;  // the back end's private key, ready to sign
};

namespace detail {

// The /dev/urandom fallback for kernels without getrandom(2): waits until
// `poll_path` is readable once (the pool is seeded), then reads n bytes from
// `read_path`. Throws InternalFault("Error: ...") on failure. Exposed for
// tests.
void read_random_device(const char* poll_path, const char* read_path, unsigned char* out,
                        std::size_t n);

}  // namespace detail

}  // namespace tallyvox
