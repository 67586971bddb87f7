#include "core/ed25519.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/error.h"

namespace tallyvox::ed25519 {

namespace {

// OpenSSL fails here only when it cannot allocate or the Ed25519 provider is
// missing, neither of which any input can cause.
[[noreturn]] void fault(const char* what) {
  ERR_clear_error();
  throw InternalFault(std::string("OpenSSL Ed25519 ") + what + " failed");
}

EVP_MD_CTX* new_context() {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) fault("context allocation");
  return ctx;
}

struct BnFree {
  void operator()(BIGNUM* bn) const { BN_free(bn); }
  void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn bn(BIGNUM* b) {
  if (b == nullptr) fault("bignum allocation");
  return Bn(b);
}

void check(int ok) {
  if (ok != 1) fault("bignum arithmetic");
}

// Runs once, before the first key or verifier is made; the function-local
// static makes the first call safe from several threads at once.
void init_sodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw InternalFault("libsodium initialisation failed");
}

}  // namespace

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

Key private_key(const Seed& seed) {
  init_sodium();
  Key key;
  PublicKey pub;
  if (crypto_sign_seed_keypair(pub.data(), key.bytes_.data(), seed.data()) != 0) {
    throw InternalFault("libsodium key derivation failed");
  }
  return key;
}

PublicKey public_key(const Key& private_key) {
  PublicKey out;
  std::memcpy(out.data(), private_key.data() + kSeedSize, out.size());
  return out;
}

Signature sign(const Key& private_key, const unsigned char* msg, std::size_t n) {
  Signature sig;
  if (crypto_sign_detached(sig.data(), nullptr, msg, n, private_key.data()) != 0) {
    throw InternalFault("libsodium signing failed");
  }
  return sig;
}

Verifier::Verifier(const unsigned char pub[kPublicKeySize]) {
  init_sodium();
  std::memcpy(pub_.data(), pub, pub_.size());
}

bool Verifier::verify(const unsigned char sig[kSignatureSize], const unsigned char* msg,
                      std::size_t n) const {
  if (detail::sodium_refuses_encoding(pub_.data(), sig)) {
    return detail::openssl_verify(pub_.data(), sig, msg, n);
  }
  return crypto_sign_verify_detached(sig, msg, n, pub_.data()) == 0;
}

bool verify(const unsigned char pub[kPublicKeySize], const unsigned char sig[kSignatureSize],
            const unsigned char* msg, std::size_t n) {
  return Verifier(pub).verify(sig, msg, n);
}

namespace detail {

bool sodium_refuses_encoding(const unsigned char pub[kPublicKeySize],
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

bool openssl_verify(const unsigned char pub[kPublicKeySize],
                    const unsigned char sig[kSignatureSize], const unsigned char* msg,
                    std::size_t n) {
  // OpenSSL only copies the bytes here; the point is decoded at verification.
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub, kPublicKeySize), EVP_PKEY_free);
  if (key == nullptr) fault("public key setup");
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(new_context(), EVP_MD_CTX_free);
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
    fault("verifier setup");
  }
  int rc = EVP_DigestVerify(ctx.get(), sig, kSignatureSize, msg, n);
  if (rc != 1) ERR_clear_error();  // a refused signature leaves an error queued
  return rc == 1;
}

}  // namespace detail

bool is_curve_point(const unsigned char pub[kPublicKeySize]) {
  std::unique_ptr<BN_CTX, BnFree> ctx(BN_CTX_new());
  if (ctx == nullptr) fault("bignum allocation");
  BN_CTX* c = ctx.get();

  // p = 2^255 - 19
  Bn p = bn(BN_new());
  check(BN_set_bit(p.get(), 255));
  check(BN_sub_word(p.get(), 19));

  // d = -121665 / 121666 mod p
  Bn d = bn(BN_new());
  Bn denominator = bn(BN_new());
  check(BN_set_word(denominator.get(), 121666));
  if (BN_mod_inverse(denominator.get(), denominator.get(), p.get(), c) == nullptr) {
    fault("bignum arithmetic");
  }
  check(BN_set_word(d.get(), 121665));
  check(BN_sub(d.get(), p.get(), d.get()));
  check(BN_mod_mul(d.get(), d.get(), denominator.get(), p.get(), c));

  // y: the low 255 bits, little-endian, reduced mod p.
  unsigned char bytes[kPublicKeySize];
  for (std::size_t i = 0; i < kPublicKeySize; ++i) bytes[i] = pub[i];
  bytes[31] &= 0x7F;
  Bn y = bn(BN_lebin2bn(bytes, sizeof bytes, nullptr));
  check(BN_nnmod(y.get(), y.get(), p.get(), c));

  // u = y^2 - 1, v = d y^2 + 1; v is never 0 since -1/d is not a square.
  Bn y2 = bn(BN_new());
  check(BN_mod_sqr(y2.get(), y.get(), p.get(), c));
  Bn u = bn(BN_new());
  check(BN_mod_sub(u.get(), y2.get(), BN_value_one(), p.get(), c));
  if (BN_is_zero(u.get())) return true;  // x = 0
  Bn v = bn(BN_new());
  check(BN_mod_mul(v.get(), d.get(), y2.get(), p.get(), c));
  check(BN_mod_add(v.get(), v.get(), BN_value_one(), p.get(), c));

  // x^2 = u / v exists iff u v^-1 is a quadratic residue: (u/v)^((p-1)/2) = 1.
  if (BN_mod_inverse(v.get(), v.get(), p.get(), c) == nullptr) fault("bignum arithmetic");
  Bn w = bn(BN_new());
  check(BN_mod_mul(w.get(), u.get(), v.get(), p.get(), c));
  Bn e = bn(BN_dup(p.get()));
  check(BN_sub_word(e.get(), 1));
  check(BN_rshift1(e.get(), e.get()));
  check(BN_mod_exp(w.get(), w.get(), e.get(), p.get(), c));
  return BN_is_one(w.get());
}

}  // namespace tallyvox::ed25519
