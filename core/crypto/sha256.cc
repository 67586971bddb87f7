// OpenSSL 3 marks its SHA256_* functions deprecated in favour of EVP; they
// stay, and the EVP layer costs about as much as hashing the 33 and 65
// bytes of a Merkle leaf or node (a digest state allocated per hash, a
// provider call per step), which resuming a ledger does twice a line.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "core/crypto/sha256.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <memory>

#include "core/util/error.h"

namespace tallyvox {

#if !defined(OPENSSL_NO_DEPRECATED_3_0)

Digest sha256(const void* data, std::size_t n) {
  SHA256_CTX ctx;
  Digest digest;
  if (SHA256_Init(&ctx) != 1 || SHA256_Update(&ctx, data, n) != 1 || SHA256_Final(digest.data(), &ctx) != 1) {
    throw InternalFault("OpenSSL SHA-256 failed");
  }
  return digest;
}

#else  // an OpenSSL built without its deprecated functions: through EVP

namespace {

const EVP_MD* algorithm() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);  // kept for the process
  if (md == nullptr) throw InternalFault("OpenSSL SHA-256 is not available");
  return md;
}

EVP_MD_CTX* context() {
  thread_local std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                             EVP_MD_CTX_free);
  if (ctx == nullptr) throw InternalFault("OpenSSL SHA-256 context allocation failed");
  return ctx.get();
}

}  // namespace

Digest sha256(const void* data, std::size_t n) {
  EVP_MD_CTX* ctx = context();
  Digest digest;
  unsigned int size = 0;
  if (EVP_DigestInit_ex2(ctx, algorithm(), nullptr) != 1 || EVP_DigestUpdate(ctx, data, n) != 1 ||
      EVP_DigestFinal_ex(ctx, digest.data(), &size) != 1 || size != digest.size()) {
    throw InternalFault("OpenSSL SHA-256 failed");
  }
  return digest;
}

#endif

}  // namespace tallyvox
