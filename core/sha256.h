// SHA-256 through OpenSSL, with the algorithm fetched once and one digest
// context per thread: the one-shot SHA256() looks the algorithm up on every
// call, which costs more than hashing a typical event.
#pragma once

#include <array>
#include <cstddef>

namespace tallyvox {

using Digest = std::array<unsigned char, 32>;

Digest sha256(const void* data, std::size_t n);

}  // namespace tallyvox
