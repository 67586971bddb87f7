// Ed25519 through OpenSSL's EVP interface. OpenSSL's verification is exactly
// the ledger's rules, so this back end needs no routing. It is always built:
// alone when libsodium is not there, and beside libsodium for the inputs that
// libsodium refuses by encoding (and to time one against the other).
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <memory>

#include "core/crypto/ed25519_types.h"

namespace tallyvox::ed25519::openssl {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const;
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// The private key, derived once from the seed so that a signature does not
// redo the scalar multiplication. OpenSSL keeps the seed in its secure heap
// and wipes it when the key is freed; a moved-from key holds nothing. Signing
// from several threads at once is safe.
class Key {
 public:
  explicit Key(const Seed& seed);

  const PublicKey& public_key() const { return pub_; }
  Signature sign(const unsigned char* msg, std::size_t n) const;
  bool empty() const { return pkey_ == nullptr; }

 private:
  Pkey pkey_;
  PublicKey pub_{};
};

// What a verifier keeps: OpenSSL's object of the public key.
struct VerifierKey {
  static Pkey setup(const unsigned char pub[kPublicKeySize]);
  static bool verify(const Pkey& key, const unsigned char sig[kSignatureSize],
                     const unsigned char* msg, std::size_t n);
};
using Verifier = BasicVerifier<VerifierKey>;

// Throws InternalFault("OpenSSL Ed25519 <what> failed"). OpenSSL fails only
// when it cannot allocate or the Ed25519 provider is missing, neither of
// which any input can cause.
[[noreturn]] void fault(const char* what);

}  // namespace tallyvox::ed25519::openssl
