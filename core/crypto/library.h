// The cryptographic libraries a build uses, named with the versions loaded
// at run time (a wheel may carry its own copy of a library).
#pragma once

#include <string>

namespace tallyvox {

struct Library {
  std::string name;     // "libsodium" or "OpenSSL"
  std::string version;  // "1.0.18", "3.0.19"
};

// OpenSSL's libcrypto, which hashes and verifies in every build.
Library openssl_library();

}  // namespace tallyvox
