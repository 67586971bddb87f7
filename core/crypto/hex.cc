#include "core/crypto/hex.h"

#include <array>
#include <cstdint>

namespace tallyvox {

namespace {

constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_nibbles() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = kInvalid;
  for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<std::uint8_t>(c);
  for (int c = 0; c < 6; ++c) {
    t['a' + c] = static_cast<std::uint8_t>(10 + c);
    t['A' + c] = static_cast<std::uint8_t>(10 + c);
  }
  return t;
}

constexpr std::array<std::uint8_t, 256> kNibble = make_nibbles();

// The two characters of every byte value, so encoding is one load per byte.
constexpr std::array<char, 512> make_pairs() {
  std::array<char, 512> t{};
  for (int b = 0; b < 256; ++b) {
    t[2 * b] = kHexDigits[b >> 4];
    t[2 * b + 1] = kHexDigits[b & 15];
  }
  return t;
}

constexpr std::array<char, 512> kPairs = make_pairs();

std::unexpected<HexError> invalid_at(std::string_view text, std::size_t i) {
  return std::unexpected(
      HexError{HexError::InvalidCharacter{static_cast<std::uint8_t>(text[i]), i}});
}

}  // namespace

std::uint8_t hex_nibble(char c) { return kNibble[static_cast<unsigned char>(c)]; }

std::string hex_encode(const unsigned char* data, std::size_t n) {
  std::string out(2 * n, '\0');
  char* p = out.data();
  for (std::size_t i = 0; i < n; ++i) {
    const char* pair = &kPairs[2 * data[i]];
    p[2 * i] = pair[0];
    p[2 * i + 1] = pair[1];
  }
  return out;
}

std::expected<std::size_t, HexError> hex_decode(std::string_view text, unsigned char* out,
                                                std::size_t capacity) {
  if (text.size() % 2 != 0) return std::unexpected(HexError{HexError::OddLength{}});
  const std::size_t length = text.size() / 2;
  for (std::size_t i = 0; i < length; ++i) {
    std::uint8_t hi = kNibble[static_cast<unsigned char>(text[2 * i])];
    std::uint8_t lo = kNibble[static_cast<unsigned char>(text[2 * i + 1])];
    if ((hi | lo) > 15) {  // valid nibbles are below 16, kInvalid is not
      return invalid_at(text, hi == kInvalid ? 2 * i : 2 * i + 1);
    }
    if (i < capacity) out[i] = static_cast<unsigned char>((hi << 4) | lo);
  }
  return length;
}

std::expected<std::vector<unsigned char>, HexError> hex_decode(std::string_view text) {
  std::vector<unsigned char> out(text.size() / 2);
  auto n = hex_decode(text, out.data(), out.size());
  if (!n) return std::unexpected(n.error());
  return out;
}

}  // namespace tallyvox
