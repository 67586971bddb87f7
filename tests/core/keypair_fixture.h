// A deterministic signing key for tests: every seed byte is `fill`.
#pragma once

#include <array>

#include "core/crypto/keys.h"

namespace tallyvox::testing {

inline SigningKeypair keypair_filled(unsigned char fill) {
  std::array<unsigned char, 32> seed;
  seed.fill(fill);
  return SigningKeypair::from_seed(seed);
}

}  // namespace tallyvox::testing
