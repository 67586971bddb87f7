#include "core/json/float_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace tallyvox::json {

namespace {

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                             1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17};
constexpr double kExactInt = 9007199254740992.0;  // 2^53

// Most floats met in practice are short decimals (0.25, 1234.5678). For a
// positive v, finds the fewest fraction digits k such that some integer m
// gives m / 10^k == v; with m <= 2^53 and k <= 17 that division is exact
// and correctly rounded, so m·10^-k reads back as v, and no shorter decimal
// does. When m - 1 or m + 1 would read back too, the nearest of them is not
// obvious and the general algorithm decides. Writes the digits of m without
// trailing zeros and returns their count, setting the decimal exponent; 0
// when v is not such a decimal.
int short_decimal(double v, char* digits, int& exponent) {
  for (int k = 0; k < 18; ++k) {
    double scaled = v * kPow10[k];
    if (scaled >= kExactInt) return 0;
    double m = std::nearbyint(scaled);
    if (m == 0 || m / kPow10[k] != v) continue;
    if ((m - 1) / kPow10[k] == v || (m + 1) / kPow10[k] == v) return 0;
    char buf[20];
    char* end = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint64_t>(m)).ptr;
    int n = static_cast<int>(end - buf);
    exponent = n - 1 - k;
    while (n > 1 && buf[n - 1] == '0') --n;
    std::memcpy(digits, buf, n);
    return n;
  }
  return 0;
}

// The shortest round-trip digits of a positive v (no trailing zeros) and
// the decimal exponent of the first digit.
int shortest_digits(double v, char* digits, int& exponent) {
  if (int n = short_decimal(v, digits, exponent)) return n;
  char sci[kFloatTextMax];
  char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  int n = 0;
  const char* s = sci;
  for (; *s != 'e'; ++s) {
    if (*s != '.') digits[n++] = *s;
  }
  std::from_chars(s + (s[1] == '+' ? 2 : 1), end, exponent);
  return n;
}

}  // namespace

std::size_t format_float(double v, char* out) {
  char* p = out;
  if (std::signbit(v)) {
    *p++ = '-';
    v = -v;
  }
  if (v == 0.0) {
    std::memcpy(p, "0.0", 3);
    return static_cast<std::size_t>(p + 3 - out);
  }

  char digits[20];
  int e = 0;
  int n = shortest_digits(v, digits, e);

  if (e < -5 || e > 15) {
    *p++ = digits[0];
    if (n > 1) {
      *p++ = '.';
      std::memcpy(p, digits + 1, n - 1);
      p += n - 1;
    }
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    p = std::to_chars(p, p + 4, e < 0 ? -e : e).ptr;
  } else if (e >= n - 1) {
    std::memcpy(p, digits, n);
    p += n;
    std::memset(p, '0', e - n + 1);
    p += e - n + 1;
    *p++ = '.';
    *p++ = '0';
  } else if (e >= 0) {
    std::memcpy(p, digits, e + 1);
    p += e + 1;
    *p++ = '.';
    std::memcpy(p, digits + e + 1, n - e - 1);
    p += n - e - 1;
  } else {
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', -e - 1);
    p += -e - 1;
    std::memcpy(p, digits, n);
    p += n;
  }
  return static_cast<std::size_t>(p - out);
}

}  // namespace tallyvox::json
