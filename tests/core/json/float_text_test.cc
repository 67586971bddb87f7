#include "core/json/float_text.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace tallyvox::json {
namespace {

std::string text(double v) {
  char buf[kFloatTextMax];
  return std::string(buf, format_float(v, buf));
}

struct FloatCase {
  double value;
  const char* expected;
};

class FloatText : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatText, Layout) { EXPECT_EQ(text(GetParam().value), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Table, FloatText,
    ::testing::Values(FloatCase{1.0, "1.0"}, FloatCase{-0.0, "-0.0"}, FloatCase{0.0, "0.0"},
                      FloatCase{0.1, "0.1"}, FloatCase{100.0, "100.0"},
                      FloatCase{1e15, "1000000000000000.0"}, FloatCase{1e16, "1e+16"},
                      FloatCase{0.00001, "0.00001"}, FloatCase{0.000001, "1e-6"},
                      FloatCase{1.234e-5, "0.00001234"}, FloatCase{1.5e-7, "1.5e-7"},
                      FloatCase{1.5e300, "1.5e+300"}, FloatCase{5e-324, "5e-324"},
                      FloatCase{1.5, "1.5"}, FloatCase{123456.789, "123456.789"},
                      FloatCase{0.5, "0.5"}, FloatCase{0.001, "0.001"},
                      FloatCase{-2.5, "-2.5"},
                      FloatCase{std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
                      FloatCase{1.8446744073709552e19, "1.8446744073709552e+19"},
                      FloatCase{123456789012345680.0, "1.2345678901234568e+17"},
                      FloatCase{0.30000000000000004, "0.30000000000000004"}));

// Checks one text against the layout rules and the shortest-digits rule,
// independently of how it was produced.
void check_text(double v, const std::string& t) {
  double back = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), back);
  ASSERT_EQ(ec, std::errc()) << t;
  ASSERT_EQ(end, t.data() + t.size()) << t;
  ASSERT_EQ(std::memcmp(&back, &v, sizeof v), 0) << t;

  std::size_t e_at = t.find('e');
  std::size_t dot = t.find('.');
  ASSERT_TRUE(e_at != std::string::npos || dot != std::string::npos) << t;

  // Significant digits and decimal exponent of the text.
  std::string mantissa = t.substr(t[0] == '-' ? 1 : 0, e_at == std::string::npos
                                                            ? std::string::npos
                                                            : e_at - (t[0] == '-' ? 1 : 0));
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits.push_back(c);
  }
  std::size_t first = digits.find_first_not_of('0');
  std::size_t last = digits.find_last_not_of('0');
  std::string significant = digits.substr(first, last - first + 1);
  int n = static_cast<int>(significant.size());
  ASSERT_LE(n, 17) << t;

  int exponent;
  if (e_at != std::string::npos) {
    ASSERT_TRUE(t[e_at + 1] == '+' || t[e_at + 1] == '-') << t;
    ASSERT_NE(t[e_at + 2], '0') << t;  // no leading zeros in the exponent
    exponent = std::atoi(t.c_str() + e_at + 1);
    ASSERT_TRUE(exponent < -5 || exponent > 15) << t;
    ASSERT_EQ(mantissa.size(), n == 1 ? 1u : static_cast<std::size_t>(n) + 1) << t;
  } else {
    // Fixed layout: the exponent is where the first significant digit sits.
    std::size_t int_digits = dot;
    if (t[0] == '-') --int_digits;
    exponent = static_cast<int>(int_digits) - 1 - static_cast<int>(first);
    ASSERT_GE(exponent, -5) << t;
    ASSERT_LE(exponent, 15) << t;
    ASSERT_NE(t.back(), '.') << t;
    if (exponent >= n - 1) {
      ASSERT_EQ(t.substr(t.size() - 2), ".0") << t;
    } else {
      ASSERT_NE(t.back(), '0') << t;
    }
  }

  // The same digits as the standard shortest formatting.
  char sci[64];
  char* sci_end =
      std::to_chars(sci, sci + sizeof sci - 1, std::fabs(v), std::chars_format::scientific).ptr;
  *sci_end = '\0';
  std::string expected_digits;
  for (const char* c = sci; c < sci_end && *c != 'e'; ++c) {
    if (*c != '.') expected_digits.push_back(*c);
  }
  ASSERT_EQ(significant, expected_digits) << t;
  ASSERT_EQ(exponent, std::atoi(std::strchr(sci, 'e') + 1)) << t;

  // Shortest: one digit fewer never reads back as the same double.
  if (n > 1) {
    char shorter[64];
    std::snprintf(shorter, sizeof shorter, "%.*e", n - 2, std::fabs(v));
    ASSERT_NE(std::strtod(shorter, nullptr), std::fabs(v)) << t;
  }
}

TEST(FloatText, MillionRandomDoublesRoundTripWithTheLayoutRules) {
  std::mt19937_64 rng(20261208);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int checked = 0;
  for (int i = 0; i < 1000000; ++i) {
    double v;
    if (i % 3 == 0) {
      std::uint64_t bits = rng();
      std::memcpy(&v, &bits, sizeof v);
    } else if (i % 3 == 1) {
      // Short decimals: a few digits and a power of ten.
      v = static_cast<double>(rng() % 100000000) / std::pow(10.0, static_cast<int>(rng() % 20));
    } else {
      // Values around the layout boundaries.
      v = unit(rng) * std::pow(10.0, static_cast<int>(rng() % 44) - 22);
    }
    if (!std::isfinite(v)) continue;
    ASSERT_NO_FATAL_FAILURE(check_text(v, text(v)));
    ++checked;
  }
  EXPECT_GT(checked, 990000);
}

}  // namespace
}  // namespace tallyvox::json
