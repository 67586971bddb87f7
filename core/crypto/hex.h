// Lowercase hexadecimal text of bytes, and its decoding (either case).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/util/error.h"

namespace tallyvox {

// The lowercase digit of each value 0 to 15.
inline constexpr char kHexDigits[] = "0123456789abcdef";

// The value of a digit 0-9, a-f or A-F; any other byte gives a value above 15.
std::uint8_t hex_nibble(char c);

// Two lowercase characters per byte, high nibble first.
std::string hex_encode(const unsigned char* data, std::size_t n);

// Decodes `text`, returning the decoded length (text.size() / 2). An odd
// length fails before any character is looked at; otherwise the first byte
// from the left that is not 0-9, a-f or A-F fails. The length is returned
// even when it exceeds `capacity`, so that callers can report it; only the
// first min(length, capacity) bytes are written.
std::expected<std::size_t, HexError> hex_decode(std::string_view text, unsigned char* out,
                                                std::size_t capacity);

std::expected<std::vector<unsigned char>, HexError> hex_decode(std::string_view text);

}  // namespace tallyvox
