// Ed25519 (RFC 8032, pure, no context) over OpenSSL's EVP interface.
// OpenSSL's verification is cofactorless, requires S < L, decodes the public
// key without requiring y < p and accepts small-order keys and R: exactly
// the ledger's rules (tests/core/ed25519_test.cc holds it to them).
#pragma once

#include <array>
#include <cstddef>
#include <memory>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace tallyvox::ed25519 {

inline constexpr std::size_t kSeedSize = 32;
inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSignatureSize = 64;

using Seed = std::array<unsigned char, kSeedSize>;
using PublicKey = std::array<unsigned char, kPublicKeySize>;
using Signature = std::array<unsigned char, kSignatureSize>;

// An OpenSSL key; frees it on destruction. Read-only use from several
// threads at once is safe.
class Key {
 public:
  Key() = default;
  explicit Key(EVP_PKEY* pkey) : pkey_(pkey) {}
  Key(Key&& other) noexcept : pkey_(other.pkey_) { other.pkey_ = nullptr; }
  Key& operator=(Key&& other) noexcept;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key();

  EVP_PKEY* get() const { return pkey_; }

 private:
  EVP_PKEY* pkey_ = nullptr;
};

// The private key of `seed`; OpenSSL derives (and keeps) the public key and
// wipes the SHA-512 expansion. OpenSSL failures (out of memory) throw
// InternalFault.
Key private_key(const Seed& seed);

PublicKey public_key(const Key& private_key);

// Deterministic signature of msg[0..n).
Signature sign(const Key& private_key, const unsigned char* msg, std::size_t n);

// Verifies many messages under one public key without rebuilding the key.
// Not for concurrent use.
class Verifier {
 public:
  explicit Verifier(const unsigned char pub[kPublicKeySize]);

  bool verify(const unsigned char sig[kSignatureSize], const unsigned char* msg,
              std::size_t n) const;

 private:
  struct FreeContext {
    void operator()(EVP_MD_CTX* ctx) const;
  };
  Key key_;
  std::unique_ptr<EVP_MD_CTX, FreeContext> ctx_;  // reused between calls
};

bool verify(const unsigned char pub[kPublicKeySize], const unsigned char sig[kSignatureSize],
            const unsigned char* msg, std::size_t n);

// Whether 32 bytes decode to a curve point: bit 255 is the sign of x, the
// other 255 bits are y (taken mod p, values >= p allowed), and the encoding
// is refused only when (y^2 - 1) / (d y^2 + 1) has no square root mod p.
// Slow; for error paths only.
bool is_curve_point(const unsigned char pub[kPublicKeySize]);

}  // namespace tallyvox::ed25519
