// read_line over arbitrary bytes (the ledger only hands it UTF-8, but no
// bytes may crash it); what it reads is written and read back unchanged.
#include "fuzz/fuzz_main.h"
#include "fuzz/properties.h"

TALLYVOX_FUZZ_TARGET(tallyvox::fuzz::check_line)
