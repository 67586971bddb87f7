// Standard base64 (RFC 4648 section 4) with padding, decoded strictly: one
// text for every byte string, so that a signed text cannot be re-encoded.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox {

std::string base64_encode(const unsigned char* data, std::size_t n);

// Refuses a length that is not a multiple of 4, characters outside the
// alphabet, padding anywhere but at the end (at most two), and non-zero bits
// after the last byte. The error is a one-line message.
std::expected<std::vector<unsigned char>, std::string> base64_decode(std::string_view text);

}  // namespace tallyvox
