// LedgerReader over arbitrary bytes cut into pieces whose sizes the input
// chooses: the records and the error must not depend on the cuts.
#include "fuzz/fuzz_main.h"
#include "fuzz/properties.h"

TALLYVOX_FUZZ_TARGET(tallyvox::fuzz::check_ledger)
