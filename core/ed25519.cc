#include "core/ed25519.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>

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

}  // namespace

Key& Key::operator=(Key&& other) noexcept {
  if (this != &other) {
    EVP_PKEY_free(pkey_);
    pkey_ = other.pkey_;
    other.pkey_ = nullptr;
  }
  return *this;
}

Key::~Key() { EVP_PKEY_free(pkey_); }

Key private_key(const Seed& seed) {
  EVP_PKEY* pkey =
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
  if (pkey == nullptr) fault("private key setup");
  return Key(pkey);
}

PublicKey public_key(const Key& private_key) {
  PublicKey out;
  std::size_t n = out.size();
  if (EVP_PKEY_get_raw_public_key(private_key.get(), out.data(), &n) != 1 || n != out.size()) {
    fault("public key export");
  }
  return out;
}

Signature sign(const Key& private_key, const unsigned char* msg, std::size_t n) {
  // A context per call: concurrent seals share one key.
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(new_context(), EVP_MD_CTX_free);
  Signature sig;
  std::size_t sig_len = sig.size();
  if (EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, private_key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), sig.data(), &sig_len, msg, n) != 1 || sig_len != sig.size()) {
    fault("signing");
  }
  return sig;
}

void Verifier::FreeContext::operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }

Verifier::Verifier(const unsigned char pub[kPublicKeySize]) : ctx_(new_context()) {
  // OpenSSL only copies the bytes here; the point is decoded at verification.
  EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub, kPublicKeySize);
  if (pkey == nullptr) fault("public key setup");
  key_ = Key(pkey);
}

bool Verifier::verify(const unsigned char sig[kSignatureSize], const unsigned char* msg,
                      std::size_t n) const {
  EVP_MD_CTX* ctx = ctx_.get();
  EVP_MD_CTX_reset(ctx);
  if (EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key_.get()) != 1) {
    fault("verifier setup");
  }
  int rc = EVP_DigestVerify(ctx, sig, kSignatureSize, msg, n);
  if (rc != 1) ERR_clear_error();  // a refused signature leaves an error queued
  return rc == 1;
}

bool verify(const unsigned char pub[kPublicKeySize], const unsigned char sig[kSignatureSize],
            const unsigned char* msg, std::size_t n) {
  return Verifier(pub).verify(sig, msg, n);
}

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
