#include "core/float_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace tallyvox::json {

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

  // Shortest digits in scientific form: d[.ddd]e(+|-)XX.
  char sci[kFloatTextMax];
  char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  char digits[20];
  int n = 0;
  const char* s = sci;
  for (; *s != 'e'; ++s) {
    if (*s != '.') digits[n++] = *s;
  }
  int e = 0;
  std::from_chars(s + (s[1] == '+' ? 2 : 1), end, e);

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
