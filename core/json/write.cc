#include "core/json/write.h"

#include <array>
#include <charconv>
#include <cstring>

#include "core/crypto/hex.h"
#include "core/json/float_text.h"

namespace tallyvox::json {

namespace {

// 0: copy unchanged; otherwise the character after the backslash ('u' for
// the \u00XX form).
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

}  // namespace

// Index of the first byte that needs an escape, or n. Eight bytes at a time:
// a byte below 0x20, a '"' or a '\'.
std::size_t first_escape(const char* s, std::size_t n) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x;
    std::memcpy(&x, s + i, 8);
    std::uint64_t quote = x ^ (kOnes * '"');
    std::uint64_t backslash = x ^ (kOnes * '\\');
    std::uint64_t hit = ((x - kOnes * 0x20) | (quote - kOnes) | (backslash - kOnes)) & ~x & kHigh;
    if (hit != 0) break;
  }
  for (; i < n; ++i) {
    if (kEscape[static_cast<unsigned char>(s[i])] != 0) return i;
  }
  return n;
}

void write_string(Buffer& out, std::string_view s) {
  const char* p = s.data();
  std::size_t n = s.size();
  std::size_t run = first_escape(p, n);
  if (run == n) {  // nothing to escape: one copy between the quotes
    char* buf = out.tail(n + 2);
    buf[0] = '"';
    std::memcpy(buf + 1, p, n);
    buf[n + 1] = '"';
    out.advance(n + 2);
    return;
  }
  out.push_back('"');
  for (;; run = first_escape(p, n)) {
    out.append(p, run);
    if (run == n) break;
    unsigned char c = static_cast<unsigned char>(p[run]);
    char esc = kEscape[c];
    if (esc == 'u') {
      const char u[6] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 15]};
      out.append(u, 6);
    } else {
      const char two[2] = {'\\', esc};
      out.append(two, 2);
    }
    p += run + 1;
    n -= run + 1;
  }
  out.push_back('"');
}

void write_uint(Buffer& out, std::uint64_t u) {
  char* buf = out.tail(24);
  out.advance(static_cast<std::size_t>(std::to_chars(buf, buf + 24, u).ptr - buf));
}

void write_negint(Buffer& out, std::int64_t i) {
  char* buf = out.tail(24);
  out.advance(static_cast<std::size_t>(std::to_chars(buf, buf + 24, i).ptr - buf));
}

void write_float(Buffer& out, double d) {
  out.advance(format_float(d, out.tail(kFloatTextMax)));
}

void write_scalar(Buffer& out, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: out.append("null"); break;
    case Value::Kind::Bool: out.append(v.as_bool() ? "true" : "false"); break;
    case Value::Kind::UInt: write_uint(out, v.as_uint()); break;
    case Value::Kind::NegInt: write_negint(out, v.as_negint()); break;
    case Value::Kind::Float: write_float(out, v.as_float()); break;
    default: break;
  }
}

void write_value(Buffer& out, const Value& v, ObjectWriter write_object) {
  switch (v.kind()) {
    case Value::Kind::String:
      write_string(out, v.as_string());
      return;
    case Value::Kind::Array: {
      out.push_back('[');
      bool first = true;
      for (const Value& item : v.as_array()) {
        if (!first) out.push_back(',');
        first = false;
        write_value(out, item, write_object);
      }
      out.push_back(']');
      return;
    }
    case Value::Kind::Object:
      write_object(out, v.as_object());
      return;
    default:
      write_scalar(out, v);
  }
}

namespace {

void write_ordered_object(Buffer& out, const Object& object) {
  out.push_back('{');
  bool first = true;
  for (const auto& [key, item] : object) {
    if (!first) out.push_back(',');
    first = false;
    write_string(out, key);
    out.push_back(':');
    write_value(out, item, write_ordered_object);
  }
  out.push_back('}');
}

}  // namespace

void write_ordered(Buffer& out, const Value& v) { write_value(out, v, write_ordered_object); }

}  // namespace tallyvox::json
