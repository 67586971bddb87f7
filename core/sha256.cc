#include "core/sha256.h"

#include <openssl/evp.h>

#include <memory>

#include "core/error.h"

namespace tallyvox {

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

}  // namespace tallyvox
