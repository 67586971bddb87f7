#include "core/json/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tallyvox {
namespace {

TEST(Utf8, AppendsTheFormsAtEachLengthBoundary) {
  using namespace std::literals;
  const struct {
    std::uint32_t cp;
    std::string_view bytes;
  } cases[] = {
      {0x0, "\0"sv},        {0x7F, "\x7f"sv},         {0x80, "\xc2\x80"sv},
      {0x7FF, "\xdf\xbf"sv}, {0x800, "\xe0\xa0\x80"sv}, {0xFFFF, "\xef\xbf\xbf"sv},
      {0x10000, "\xf0\x90\x80\x80"sv}, {0x10FFFF, "\xf4\x8f\xbf\xbf"sv},
  };
  for (const auto& c : cases) {
    std::string out = "x";
    append_utf8(out, c.cp);
    EXPECT_EQ(out, "x" + std::string(c.bytes)) << c.cp;
  }
}

// Every scalar value encodes to well-formed UTF-8 of the length its range
// gives, and byte order follows code point order, so no two share a form.
TEST(Utf8, EveryScalarValueIsWellFormedAndOrdered) {
  std::string previous;
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp == 0xD800) cp = 0xE000;
    std::string out;
    append_utf8(out, cp);
    std::size_t length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    ASSERT_EQ(out.size(), length) << cp;
    ASSERT_TRUE(valid_utf8(out)) << cp;
    ASSERT_LT(previous, out) << cp;
    previous = std::move(out);
  }
}

}  // namespace
}  // namespace tallyvox
