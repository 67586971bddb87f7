// libFuzzer target: the built Ed25519 verifier against OpenSSL alone
// (fuzz/ed25519_property.h).
#include "fuzz/ed25519_property.h"
#include "fuzz/fuzz_main.h"

TALLYVOX_FUZZ_TARGET(tallyvox::fuzz::check_ed25519_verify)
