// SHA-256 through OpenSSL's own SHA-256 functions, on the stack: the
// one-shot SHA256() looks the algorithm up on every call, and the EVP layer
// allocates per hash, both costing more than hashing a Merkle node.
#pragma once

#include <array>
#include <cstddef>

namespace tallyvox {

using Digest = std::array<unsigned char, 32>;

Digest sha256(const void* data, std::size_t n);

}  // namespace tallyvox
