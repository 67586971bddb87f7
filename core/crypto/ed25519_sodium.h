// Ed25519 through libsodium, built only where CMake finds it: it signs about
// three times and verifies about twice as fast as OpenSSL 3.0
// (tests/core/crypto/ed25519_bench.cc). Its verification is the ledger's rules
// except for non-canonical keys and its list of small-order encodings, which
// it refuses whatever the signature; those few inputs go to OpenSSL
// (tests/core/crypto/ed25519_test.cc holds both to the rules).
#pragma once

#include <array>
#include <cstddef>

#include "core/crypto/ed25519_types.h"

namespace tallyvox::ed25519::sodium {

// libsodium's secret key: the seed followed by the public key. Wiped on
// destruction and when moved from. Signing from several threads at once is
// safe; libsodium wipes the SHA-512 expansion of the seed after each
// signature. libsodium failing to initialise throws InternalFault.
class Key {
 public:
  static constexpr std::size_t kSize = kSeedSize + kPublicKeySize;

  explicit Key(const Seed& seed);
  Key(Key&& other) noexcept;
  Key& operator=(Key&& other) noexcept;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key();

  PublicKey public_key() const;
  Signature sign(const unsigned char* msg, std::size_t n) const;
  const unsigned char* data() const { return bytes_.data(); }

 private:
  std::array<unsigned char, kSize> bytes_{};
};

// What a verifier keeps: the key's bytes, once libsodium is initialised.
// It routes to OpenSSL what libsodium refuses by encoding.
struct VerifierKey {
  static PublicKey setup(const unsigned char pub[kPublicKeySize]);
  static bool verify(const PublicKey& key, const unsigned char sig[kSignatureSize],
                     const unsigned char* msg, std::size_t n);
};
using Verifier = BasicVerifier<VerifierKey>;

// Whether libsodium refuses the key or R (the first half of a signature)
// by its encoding, whatever the rest of the signature; OpenSSL decides
// those. Exposed for tests and the fuzzer.
bool refuses_encoding(const unsigned char pub[kPublicKeySize],
                      const unsigned char r[kPublicKeySize]);

// libsodium's own decision, without the routing. For tests.
bool verify_unrouted(const unsigned char pub[kPublicKeySize],
                     const unsigned char sig[kSignatureSize], const unsigned char* msg,
                     std::size_t n);

}  // namespace tallyvox::ed25519::sodium
