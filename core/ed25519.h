// Ed25519 (RFC 8032, pure, no context). libsodium signs and verifies; the
// few inputs that libsodium refuses by their encoding alone go to OpenSSL.
// The ledger's rules are cofactorless verification, S < L, public keys
// decoded without requiring y < p, and small-order keys and R accepted:
// OpenSSL's verification is exactly that, libsodium's is that except for
// non-canonical keys and its list of small-order encodings
// (tests/core/ed25519_test.cc holds both to the rules).
#pragma once

#include <array>
#include <cstddef>

namespace tallyvox::ed25519 {

inline constexpr std::size_t kSeedSize = 32;
inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSignatureSize = 64;

using Seed = std::array<unsigned char, kSeedSize>;
using PublicKey = std::array<unsigned char, kPublicKeySize>;
using Signature = std::array<unsigned char, kSignatureSize>;

// libsodium's secret key: the seed followed by the public key. Wiped on
// destruction and when moved from. Read-only use from several threads at
// once is safe.
class Key {
 public:
  static constexpr std::size_t kSize = kSeedSize + kPublicKeySize;

  Key() = default;
  Key(Key&& other) noexcept;
  Key& operator=(Key&& other) noexcept;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key();

  const unsigned char* data() const { return bytes_.data(); }

 private:
  friend Key private_key(const Seed& seed);
  std::array<unsigned char, kSize> bytes_{};
};

// The private key of `seed`, with its public key derived. libsodium failing
// to initialise throws InternalFault.
Key private_key(const Seed& seed);

PublicKey public_key(const Key& private_key);

// Deterministic signature of msg[0..n); libsodium wipes the SHA-512
// expansion of the seed after each signature.
Signature sign(const Key& private_key, const unsigned char* msg, std::size_t n);

// Verifies many messages under one public key. Holds no state besides the
// key, so concurrent use is safe.
class Verifier {
 public:
  explicit Verifier(const unsigned char pub[kPublicKeySize]);

  bool verify(const unsigned char sig[kSignatureSize], const unsigned char* msg,
              std::size_t n) const;

 private:
  PublicKey pub_;
};

bool verify(const unsigned char pub[kPublicKeySize], const unsigned char sig[kSignatureSize],
            const unsigned char* msg, std::size_t n);

// Whether 32 bytes decode to a curve point: bit 255 is the sign of x, the
// other 255 bits are y (taken mod p, values >= p allowed), and the encoding
// is refused only when (y^2 - 1) / (d y^2 + 1) has no square root mod p.
// Slow; for error paths only.
bool is_curve_point(const unsigned char pub[kPublicKeySize]);

namespace detail {

// Whether libsodium refuses the key or R (the first half of a signature)
// by its encoding, whatever the rest of the signature; OpenSSL decides
// those. Exposed for tests and the fuzzer.
bool sodium_refuses_encoding(const unsigned char pub[kPublicKeySize],
                             const unsigned char r[kPublicKeySize]);

// OpenSSL's verification alone.
bool openssl_verify(const unsigned char pub[kPublicKeySize],
                    const unsigned char sig[kSignatureSize], const unsigned char* msg,
                    std::size_t n);

}  // namespace detail

}  // namespace tallyvox::ed25519
