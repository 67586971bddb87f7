// The Ed25519 signing keypair and its secret-key file: exactly 32 raw seed
// bytes, mode 0600, no header and no encoding.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <string>

#include "core/ed25519.h"
#include "core/error.h"

namespace tallyvox {

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
  // Reads the key file (links followed); its permissions are not inspected.
  static std::expected<SigningKeypair, KeyError> load(const std::string& path);
  // Loads `path` if stat(2) finds it; otherwise generates and saves a new
  // key. An existing file is never replaced.
  static std::expected<SigningKeypair, KeyError> load_or_create(const std::string& path);

  // Creates missing parent directories, writes the seed and syncs it, then
  // sets the mode to exactly 0600.
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
