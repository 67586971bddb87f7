// UTF-8: the checks used when the ledger is read, and the encoding of one
// code point.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallyvox {

// Well-formed UTF-8: no overlong forms, surrogates or values past U+10FFFF.
bool valid_utf8(std::string_view bytes);

// True when the valid UTF-8 text consists only of Unicode White_Space
// characters (the empty text included).
bool all_white_space(std::string_view text);

// Appends the UTF-8 form of `cp` (at most U+10FFFF).
void append_utf8(std::string& out, std::uint32_t cp);

}  // namespace tallyvox
