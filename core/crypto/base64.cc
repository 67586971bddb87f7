#include "core/crypto/base64.h"

#include <array>
#include <cstdint>

#include "core/util/error.h"

namespace tallyvox {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_values() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = kInvalid;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  return t;
}

constexpr std::array<std::uint8_t, 256> kValue = make_values();

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected("invalid base64: " + std::move(message));
}

// The number of '=' at the end of a quad-aligned text, or an error for
// padding elsewhere.
std::expected<std::size_t, std::string> padding_of(std::string_view text) {
  std::size_t pad = 0;
  while (pad < text.size() && pad < 2 && text[text.size() - 1 - pad] == '=') ++pad;
  std::size_t first = text.find('=');
  if (first != std::string_view::npos && first < text.size() - pad) {
    return fail("misplaced padding at position " + std::to_string(first));
  }
  return pad;
}

}  // namespace

std::string base64_encode(const unsigned char* data, std::size_t n) {
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  for (std::size_t i = 0; i < n; i += 3) {
    std::uint32_t bits = std::uint32_t{data[i]} << 16;
    if (i + 1 < n) bits |= std::uint32_t{data[i + 1]} << 8;
    if (i + 2 < n) bits |= data[i + 2];
    out.push_back(kAlphabet[bits >> 18]);
    out.push_back(kAlphabet[(bits >> 12) & 63]);
    out.push_back(i + 1 < n ? kAlphabet[(bits >> 6) & 63] : '=');
    out.push_back(i + 2 < n ? kAlphabet[bits & 63] : '=');
  }
  return out;
}

std::expected<std::vector<unsigned char>, std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) {
    return fail("length " + std::to_string(text.size()) + " is not a multiple of 4");
  }
  auto pad = padding_of(text);
  if (!pad) return std::unexpected(std::move(pad.error()));
  const std::size_t digits = text.size() - *pad;
  std::vector<unsigned char> out;
  out.reserve(digits * 3 / 4);
  std::uint32_t bits = 0;
  int held = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    std::uint8_t v = kValue[static_cast<unsigned char>(text[i])];
    if (v == kInvalid) {
      return fail("character " + char_literal(static_cast<std::uint8_t>(text[i])) +
                  " at position " + std::to_string(i));
    }
    bits = (bits << 6) | v;
    held += 6;
    if (held >= 8) {
      held -= 8;
      out.push_back(static_cast<unsigned char>(bits >> held));
      bits &= (1u << held) - 1;
    }
  }
  if (bits != 0) return fail("non-zero bits after the last byte");
  return out;
}

}  // namespace tallyvox
