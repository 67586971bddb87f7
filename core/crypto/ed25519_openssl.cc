#include "core/crypto/ed25519_openssl.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <string>

#include "core/util/error.h"

namespace tallyvox::ed25519::openssl {

void fault(const char* what) {
  ERR_clear_error();
  throw InternalFault(std::string("OpenSSL Ed25519 ") + what + " failed");
}

namespace {

using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

Context new_context() {
  Context ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (ctx == nullptr) fault("context allocation");
  return ctx;
}

// EVP_DigestSign and EVP_DigestVerify want a pointer even for no bytes.
const unsigned char* message(const unsigned char* msg) {
  static constexpr unsigned char kNothing = 0;
  return msg != nullptr ? msg : &kNothing;
}

}  // namespace

void PkeyFree::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

Key::Key(const Seed& seed)
    : pkey_(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size())) {
  if (pkey_ == nullptr) fault("key derivation");
  std::size_t size = pub_.size();
  if (EVP_PKEY_get_raw_public_key(pkey_.get(), pub_.data(), &size) != 1 || size != pub_.size()) {
    fault("public key export");
  }
}

Signature Key::sign(const unsigned char* msg, std::size_t n) const {
  Context ctx = new_context();
  Signature sig;
  std::size_t size = sig.size();
  if (EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, pkey_.get()) != 1 ||
      EVP_DigestSign(ctx.get(), sig.data(), &size, message(msg), n) != 1 || size != sig.size()) {
    fault("signing");
  }
  return sig;
}

// OpenSSL only copies the bytes here; the point is decoded at verification,
// so any 32 bytes make a verifier.
Pkey VerifierKey::setup(const unsigned char pub[kPublicKeySize]) {
  Pkey pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub, kPublicKeySize));
  if (pkey == nullptr) fault("public key setup");
  return pkey;
}

bool VerifierKey::verify(const Pkey& key, const unsigned char sig[kSignatureSize],
                         const unsigned char* msg, std::size_t n) {
  Context ctx = new_context();
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
    fault("verifier setup");
  }
  int rc = EVP_DigestVerify(ctx.get(), sig, kSignatureSize, message(msg), n);
  if (rc != 1) ERR_clear_error();  // a refused signature leaves an error queued
  return rc == 1;
}

}  // namespace tallyvox::ed25519::openssl
