#include "core/json_write.h"

#include <array>
#include <charconv>

#include "core/float_text.h"

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

void write_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char esc = kEscape[static_cast<unsigned char>(s[i])];
    if (esc == 0) continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    if (esc == 'u') {
      unsigned char c = static_cast<unsigned char>(s[i]);
      const char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out.append(u, 6);
    } else {
      const char two[2] = {'\\', esc};
      out.append(two, 2);
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

void write_uint(std::string& out, std::uint64_t u) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, u).ptr);
}

void write_negint(std::string& out, std::int64_t i) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, i).ptr);
}

void write_float(std::string& out, double d) {
  char buf[kFloatTextMax];
  out.append(buf, format_float(d, buf));
}

void write_scalar(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: out.append("null"); break;
    case Value::Kind::Bool: out.append(v.as_bool() ? "true" : "false"); break;
    case Value::Kind::UInt: write_uint(out, v.as_uint()); break;
    case Value::Kind::NegInt: write_negint(out, v.as_negint()); break;
    case Value::Kind::Float: write_float(out, v.as_float()); break;
    default: break;
  }
}

void write_ordered(std::string& out, const Value& v) {
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
        write_ordered(out, item);
      }
      out.push_back(']');
      return;
    }
    case Value::Kind::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : v.as_object()) {
        if (!first) out.push_back(',');
        first = false;
        write_string(out, key);
        out.push_back(':');
        write_ordered(out, item);
      }
      out.push_back('}');
      return;
    }
    default:
      write_scalar(out, v);
  }
}

}  // namespace tallyvox::json
