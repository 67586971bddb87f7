// What a witness reads from the network: add-checkpoint bodies and verifier
// keys, from arbitrary bytes.
#include "fuzz/fuzz_main.h"
#include "fuzz/properties.h"

TALLYVOX_FUZZ_TARGET(tallyvox::fuzz::check_witness)
