#include "core/crypto/hex.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace tallyvox {
namespace {

TEST(Hex, EncodesEveryByteLowercaseHighNibbleFirst) {
  std::vector<unsigned char> all(256);
  for (int b = 0; b < 256; ++b) all[b] = static_cast<unsigned char>(b);
  std::string text = hex_encode(all.data(), all.size());
  ASSERT_EQ(text.size(), 512u);
  EXPECT_EQ(text.substr(0, 8), "00010203");
  EXPECT_EQ(text.substr(2 * 0xa9, 2), "a9");
  EXPECT_EQ(text.substr(508), "feff");
  EXPECT_EQ(hex_decode(text).value(), all);
  EXPECT_EQ(hex_encode(nullptr, 0), "");
}

TEST(Hex, NibbleOfEveryByte) {
  for (int c = 0; c < 256; ++c) {
    std::uint8_t v = hex_nibble(static_cast<char>(c));
    if (std::isxdigit(c)) {
      EXPECT_EQ(v, std::stoi(std::string(1, static_cast<char>(c)), nullptr, 16)) << c;
    } else {
      EXPECT_GT(v, 15) << c;
    }
  }
}

// Every pair of bytes: valid exactly when both are hexadecimal digits, and
// then it decodes to their value; otherwise the first bad one is reported.
TEST(Hex, EveryTwoCharacterText) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const char text[2] = {static_cast<char>(a), static_cast<char>(b)};
      unsigned char out = 0;
      auto n = hex_decode(std::string_view(text, 2), &out, 1);
      if (std::isxdigit(a) && std::isxdigit(b)) {
        ASSERT_TRUE(n.has_value()) << a << " " << b;
        EXPECT_EQ(*n, 1u);
        EXPECT_EQ(out, std::stoi(std::string(text, 2), nullptr, 16));
      } else {
        ASSERT_FALSE(n.has_value()) << a << " " << b;
        auto* bad = std::get_if<HexError::InvalidCharacter>(&n.error().kind);
        ASSERT_NE(bad, nullptr);
        std::size_t at = std::isxdigit(a) ? 1 : 0;
        EXPECT_EQ(bad->position, at);
        EXPECT_EQ(bad->character, at == 0 ? a : b);
      }
    }
  }
}

struct DecodeCase {
  const char* name;
  std::string text;
  const char* error;  // display text, or nullptr for success
};

class HexDecodeError : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(HexDecodeError, ReportsTheFirstFault) {
  auto decoded = hex_decode(GetParam().text);
  if (GetParam().error == nullptr) {
    EXPECT_TRUE(decoded.has_value());
  } else {
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(display(decoded.error()), GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HexDecodeError,
    ::testing::Values(
        DecodeCase{"empty", "", nullptr}, DecodeCase{"mixed_case", "aBcDeF09", nullptr},
        DecodeCase{"odd", "abc", "Odd number of digits"},
        // The length is judged before any character.
        DecodeCase{"odd_and_bad", "zzz", "Odd number of digits"},
        DecodeCase{"tab", "0123\t567", "Invalid character '\\t' at position 4"},
        // The first byte of a two-byte character; the next is never reached.
        DecodeCase{"non_ascii", "0123456789\xc3\xa9",
                   "Invalid character '\xc3\x83' at position 10"},
        DecodeCase{"left_of_two", "00zq", "Invalid character 'z' at position 2"},
        DecodeCase{"low_nibble", "0z", "Invalid character 'z' at position 1"},
        DecodeCase{"nul", std::string("00\0" "0", 4), "Invalid character '\\0' at position 2"},
        DecodeCase{"prefix", "0x00", "Invalid character 'x' at position 1"},
        DecodeCase{"g", "ag", "Invalid character 'g' at position 1"},
        DecodeCase{"space", " 0", "Invalid character ' ' at position 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Hex, DecodedLengthIsReportedWhateverTheCapacity) {
  unsigned char out[65];
  out[64] = 0xAA;  // guard byte past a 64-byte capacity
  std::string sig(126, 'f');
  EXPECT_EQ(hex_decode(sig, out, 64).value(), 63u);
  EXPECT_EQ(hex_decode(std::string(130, '1'), out, 64).value(), 65u);
  EXPECT_EQ(out[64], 0xAA);
  EXPECT_EQ(out[63], 0x11);
  // A bad character past the capacity is still found.
  std::string late(130, '1');
  late[129] = 'x';
  auto bad = hex_decode(late, out, 64);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(display(bad.error()), "Invalid character 'x' at position 129");
}

}  // namespace
}  // namespace tallyvox
