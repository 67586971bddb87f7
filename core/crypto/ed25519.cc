#include "core/crypto/ed25519.h"

#include <openssl/bn.h>
#if TALLYVOX_HAVE_LIBSODIUM
#include <sodium.h>
#endif

#include <memory>

namespace tallyvox::ed25519 {

namespace {

using openssl::fault;

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

Library library() {
#if TALLYVOX_HAVE_LIBSODIUM
  return {"libsodium", sodium_version_string()};
#else
  return openssl_library();
#endif
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
