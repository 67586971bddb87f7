// The property of the fuzz target ed25519_verify, kept apart so that the
// Ed25519 tests replay its inputs against whichever back end is built: the
// built signer and verifier (libsodium, routed to OpenSSL for what it
// refuses by encoding, or OpenSSL alone) against OpenSSL alone, on mutated
// keys, signatures and messages.
//
// Input: one mode byte, 32 key bytes, 64 signature bytes, then the message.
// Mode bit 0 signs the message honestly with the 32 bytes as the seed, so
// that acceptances are common; bit 1 then XORs the 64 bytes into that
// signature, bit 2 their first 32 into the key. Without bit 0 the key and
// signature bytes are taken as they are (the seeds include the small-order
// and non-canonical cases of the vector files).
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "core/crypto/ed25519.h"

namespace tallyvox::fuzz {

inline std::string check_ed25519_verify(std::string_view in) {
  namespace e = ed25519;
  if (in.size() < 1 + e::kPublicKeySize + e::kSignatureSize) return "";
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const unsigned char mode = p[0];
  const unsigned char* key_bytes = p + 1;
  const unsigned char* sig_bytes = key_bytes + e::kPublicKeySize;
  const unsigned char* msg = sig_bytes + e::kSignatureSize;
  const std::size_t n = in.size() - (msg - p);

  e::PublicKey pub;
  e::Signature sig;
  std::memcpy(pub.data(), key_bytes, pub.size());
  std::memcpy(sig.data(), sig_bytes, sig.size());
  if (mode & 1) {
    e::Seed seed;
    std::memcpy(seed.data(), key_bytes, seed.size());
    e::Key key = e::private_key(seed);
    pub = e::public_key(key);
    sig = e::sign(key, msg, n);
    if (sig != e::openssl::Key(seed).sign(msg, n)) return "the signature differs from OpenSSL's";
    if (!(mode & 6) && !e::verify(pub.data(), sig.data(), msg, n)) {
      return "an honest signature is refused";
    }
    if (mode & 2) {
      for (std::size_t i = 0; i < sig.size(); ++i) sig[i] ^= sig_bytes[i];
    }
    if (mode & 4) {
      for (std::size_t i = 0; i < pub.size(); ++i) pub[i] ^= sig_bytes[i];
    }
  }
  bool expected = e::openssl::Verifier::verify_once(pub.data(), sig.data(), msg, n);
  if (e::Verifier(pub.data()).verify(sig.data(), msg, n) != expected) {
    return std::string("the verifier disagrees with OpenSSL, which ") +
           (expected ? "accepts" : "refuses");
  }
  if (e::verify(pub.data(), sig.data(), msg, n) != expected) {
    return "verify() disagrees with the verifier";
  }
  return "";
}

}  // namespace tallyvox::fuzz
