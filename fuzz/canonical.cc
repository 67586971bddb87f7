// parse_json_text over arbitrary bytes; what it accepts goes through the
// canonical and the ordered writers and back.
#include "fuzz/fuzz_main.h"
#include "fuzz/properties.h"

TALLYVOX_FUZZ_TARGET(tallyvox::fuzz::check_canonical)
