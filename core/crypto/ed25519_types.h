// Sizes and byte arrays of Ed25519 (RFC 8032), shared by both back ends.
#pragma once

#include <array>
#include <cstddef>

namespace tallyvox::ed25519 {

inline constexpr std::size_t kSeedSize = 32;
inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSignatureSize = 64;

using Seed = std::array<unsigned char, kSeedSize>;
using PublicKey = std::array<unsigned char, kPublicKeySize>;
using Signature = std::array<unsigned char, kSignatureSize>;

}  // namespace tallyvox::ed25519
