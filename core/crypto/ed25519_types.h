// Sizes and byte arrays of Ed25519 (RFC 8032), and the verifier, shared by
// both back ends.
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

// Verifies many messages under one public key, set up once; concurrent use
// is safe. A back end gives how it sets up what it keeps of the key
// (`KeyOf::setup`) and how it verifies with that (`KeyOf::verify`).
template <class KeyOf>
class BasicVerifier {
 public:
  explicit BasicVerifier(const unsigned char pub[kPublicKeySize]) : key_(KeyOf::setup(pub)) {}

  bool verify(const unsigned char sig[kSignatureSize], const unsigned char* msg,
              std::size_t n) const {
    return KeyOf::verify(key_, sig, msg, n);
  }

  // One message under a key used once.
  static bool verify_once(const unsigned char pub[kPublicKeySize],
                          const unsigned char sig[kSignatureSize], const unsigned char* msg,
                          std::size_t n) {
    return BasicVerifier(pub).verify(sig, msg, n);
  }

 private:
  decltype(KeyOf::setup(nullptr)) key_;
};

}  // namespace tallyvox::ed25519
