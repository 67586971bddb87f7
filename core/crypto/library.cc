#include "core/crypto/library.h"

#include <openssl/crypto.h>

namespace tallyvox {

Library openssl_library() { return {"OpenSSL", OpenSSL_version(OPENSSL_VERSION_STRING)}; }

}  // namespace tallyvox
