// Ed25519 (RFC 8032, pure, no context) under the ledger's rules:
// cofactorless verification, S < L, public keys decoded without requiring
// y < p, and small-order keys and R accepted. The back end is chosen when the
// core is built (TALLYVOX_LIBSODIUM in CMake): libsodium, with the inputs it
// refuses by encoding routed to OpenSSL (core/crypto/ed25519_sodium.h), or OpenSSL
// alone (core/crypto/ed25519_openssl.h). Both give the same signatures and the same
// decisions; libsodium is faster.
#pragma once

#include <cstddef>

#include "core/crypto/ed25519_openssl.h"
#include "core/crypto/ed25519_types.h"
#include "core/crypto/library.h"
#if TALLYVOX_HAVE_LIBSODIUM
#include "core/crypto/ed25519_sodium.h"
#endif

namespace tallyvox::ed25519 {

#if TALLYVOX_HAVE_LIBSODIUM
namespace backend = sodium;
#else
namespace backend = openssl;
#endif

// The private key, ready to sign; its secret is wiped when it is destroyed
// or moved from. Signing from several threads at once is safe.
using Key = backend::Key;

// Verifies many messages under one public key; concurrent use is safe.
using Verifier = backend::Verifier;

// The private key of `seed`, with its public key derived. A back end that
// fails to initialise throws InternalFault.
inline Key private_key(const Seed& seed) { return Key(seed); }

inline PublicKey public_key(const Key& private_key) { return private_key.public_key(); }

// Deterministic signature of msg[0..n).
inline Signature sign(const Key& private_key, const unsigned char* msg, std::size_t n) {
  return private_key.sign(msg, n);
}

inline bool verify(const unsigned char pub[kPublicKeySize], const unsigned char sig[kSignatureSize],
                   const unsigned char* msg, std::size_t n) {
  return Verifier::verify_once(pub, sig, msg, n);
}

// The library that signs and verifies, with its run-time version.
Library library();

// Whether 32 bytes decode to a curve point: bit 255 is the sign of x, the
// other 255 bits are y (taken mod p, values >= p allowed), and the encoding
// is refused only when (y^2 - 1) / (d y^2 + 1) has no square root mod p.
// Slow; for error paths only.
bool is_curve_point(const unsigned char pub[kPublicKeySize]);

}  // namespace tallyvox::ed25519
