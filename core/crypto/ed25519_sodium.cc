#include "core/crypto/ed25519_sodium.h"

#include <sodium.h>

#include <cstring>

#include "core/crypto/ed25519_openssl.h"
#include "core/util/error.h"

namespace tallyvox::ed25519::sodium {

namespace {

// Runs once, before the first key or verifier is made; the function-local
// static makes the first call safe from several threads at once.
void init_sodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw InternalFault("libsodium initialisation failed");
}

}  // namespace

Key::Key(const Seed& seed) {
  init_sodium();
  PublicKey pub;
  if (crypto_sign_seed_keypair(pub.data(), bytes_.data(), seed.data()) != 0) {
    throw InternalFault("libsodium key derivation failed");
  }
}

Key::Key(Key&& other) noexcept : bytes_(other.bytes_) {
  sodium_memzero(other.bytes_.data(), other.bytes_.size());
}

Key& Key::operator=(Key&& other) noexcept {
  if (this != &other) {
    bytes_ = other.bytes_;
    sodium_memzero(other.bytes_.data(), other.bytes_.size());
  }
  return *this;
}

Key::~Key() { sodium_memzero(bytes_.data(), bytes_.size()); }

PublicKey Key::public_key() const {
  PublicKey out;
  std::memcpy(out.data(), bytes_.data() + kSeedSize, out.size());
  return out;
}

Signature Key::sign(const unsigned char* msg, std::size_t n) const {
  Signature sig;
  if (crypto_sign_detached(sig.data(), nullptr, msg, n, bytes_.data()) != 0) {
    throw InternalFault("libsodium signing failed");
  }
  return sig;
}

PublicKey VerifierKey::setup(const unsigned char pub[kPublicKeySize]) {
  init_sodium();
  PublicKey key;
  std::memcpy(key.data(), pub, key.size());
  return key;
}

bool VerifierKey::verify(const PublicKey& key, const unsigned char sig[kSignatureSize],
                         const unsigned char* msg, std::size_t n) {
  if (refuses_encoding(key.data(), sig)) return openssl::Verifier::verify_once(key.data(), sig, msg, n);
  return crypto_sign_verify_detached(sig, msg, n, key.data()) == 0;
}

bool verify_unrouted(const unsigned char pub[kPublicKeySize],
                     const unsigned char sig[kSignatureSize], const unsigned char* msg,
                     std::size_t n) {
  init_sodium();
  return crypto_sign_verify_detached(sig, msg, n, pub) == 0;
}

bool refuses_encoding(const unsigned char pub[kPublicKeySize],
                      const unsigned char r[kPublicKeySize]) {
  // libsodium's small-order encodings, compared without the sign bit: y = 0
  // (order 4), y = 1 (the identity), the two y of order 8, y = p - 1 (order
  // 2), and y = p and p + 1, the other spellings of 0 and 1. The points with
  // x = 0 (y = 1 and p - 1), which libsodium also refuses with the sign bit
  // set, are among them.
  static constexpr unsigned char kSmallOrder[7][kPublicKeySize] = {
      {0x00},
      {0x01},
      {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
       0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
      {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
       0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
      {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
       0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
      {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
       0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
      {0xee, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
       0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
  };
  auto small_order = [](const unsigned char* point) {
    for (const auto& entry : kSmallOrder) {
      if (std::memcmp(point, entry, kPublicKeySize - 1) == 0 && (point[31] & 0x7F) == entry[31]) {
        return true;
      }
    }
    return false;
  };
  // y >= p = 2^255 - 19: bytes 1 to 30 all 0xff, byte 31 0x7f without the
  // sign bit, byte 0 at least 0xed.
  auto y_at_least_p = [](const unsigned char* point) {
    for (std::size_t i = 1; i < kPublicKeySize - 1; ++i) {
      if (point[i] != 0xFF) return false;
    }
    return (point[31] & 0x7F) == 0x7F && point[0] >= 0xED;
  };
  return y_at_least_p(pub) || small_order(pub) || small_order(r);
}

}  // namespace tallyvox::ed25519::sodium
