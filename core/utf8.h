// UTF-8 checks used when the ledger is read.
#pragma once

#include <string_view>

namespace tallyvox {

// Well-formed UTF-8: no overlong forms, surrogates or values past U+10FFFF.
bool valid_utf8(std::string_view bytes);

// True when the valid UTF-8 text consists only of Unicode White_Space
// characters (the empty text included).
bool all_white_space(std::string_view text);

}  // namespace tallyvox
