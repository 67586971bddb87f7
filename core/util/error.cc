#include "core/util/error.h"

#include <cstring>

#include "core/crypto/hex.h"
#include "core/json/utf8.h"

namespace tallyvox {

namespace {

template <class... F>
struct Overload : F... {
  using F::operator()...;
};

// strerror_r comes in a GNU flavour (returns the text) and an XSI one
// (returns 0 and fills the buffer).
[[maybe_unused]] const char* strerror_text(char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_text(int rc, const char* buf) {
  return rc == 0 ? buf : "Unknown error";
}

// The C library's text of an error number.
std::string os_text(int code) {
  char buf[256];
  buf[0] = '\0';
  return strerror_text(strerror_r(code, buf, sizeof buf), buf);
}

void append_hex(std::string& out, std::uint32_t v) {
  char buf[8];
  int n = 0;
  do {
    buf[n++] = kHexDigits[v & 15];
    v >>= 4;
  } while (v != 0);
  while (n > 0) out.push_back(buf[--n]);
}

bool printable(std::uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD) return false;
  if (cp <= 0xFF) return true;
  // Above U+00FF: format characters, separators, private use and
  // noncharacters are shown escaped.
  return !((cp >= 0x600 && cp <= 0x605) || cp == 0x61C || cp == 0x6DD || cp == 0x70F ||
           cp == 0x180E || (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
           (cp >= 0x2060 && cp <= 0x206F) || (cp >= 0xD800 && cp <= 0xF8FF) ||
           (cp >= 0xFDD0 && cp <= 0xFDEF) || cp == 0xFEFF || (cp >= 0xFFF9 && cp <= 0xFFFB) ||
           (cp & 0xFFFE) == 0xFFFE || (cp >= 0xE0000 && cp <= 0xE007F) || cp >= 0xF0000);
}

// One character escaped as in a Rust debug literal; `quote` is the quote
// character of the literal, which is escaped too.
void append_debug_char(std::string& out, std::uint32_t cp, char quote) {
  switch (cp) {
    case 0: out.append("\\0"); return;
    case '\t': out.append("\\t"); return;
    case '\n': out.append("\\n"); return;
    case '\r': out.append("\\r"); return;
    case '\\': out.append("\\\\"); return;
    default: break;
  }
  if (cp == static_cast<std::uint32_t>(quote)) {
    out.push_back('\\');
    out.push_back(quote);
  } else if (!printable(cp)) {
    out.append("\\u{");
    append_hex(out, cp);
    out.push_back('}');
  } else {
    append_utf8(out, cp);
  }
}

// Decodes one code point of valid UTF-8 at s[i], advancing i.
std::uint32_t next_code_point(std::string_view s, std::size_t& i) {
  auto b = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(s[k])); };
  std::uint32_t c = b(i);
  int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
  if (extra == 0) {
    ++i;
    return c;
  }
  if (i + extra >= s.size()) {
    ++i;  // truncated sequence: show the byte itself
    return c;
  }
  std::uint32_t cp = c & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (b(i + k) & 0x3F);
  i += extra + 1;
  return cp;
}

// The length of the well-formed UTF-8 sequence at s[i]; 0 when the byte
// there starts none.
std::size_t sequence_length(std::string_view s, std::size_t i) {
  auto c = static_cast<unsigned char>(s[i]);
  std::size_t n = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
  if (n == 0 || n > s.size() - i) return 0;
  return valid_utf8(s.substr(i, n)) ? n : 0;
}

}  // namespace

std::string quoted_path(std::string_view path) {
  std::string out = "\"";
  for (std::size_t i = 0; i < path.size();) {
    if (sequence_length(path, i) == 0) {
      out.append("\\x");
      out.push_back(kHexDigits[static_cast<unsigned char>(path[i]) >> 4]);
      out.push_back(kHexDigits[static_cast<unsigned char>(path[i]) & 15]);
      ++i;
    } else {
      append_debug_char(out, next_code_point(path, i), '"');
    }
  }
  out.push_back('"');
  return out;
}

std::string char_literal(std::uint8_t c) {
  std::string out = "'";
  append_debug_char(out, c, '\'');
  out.push_back('\'');
  return out;
}

std::string found_string(std::string_view utf8) {
  std::string out = "string \"";
  for (std::size_t i = 0; i < utf8.size();) append_debug_char(out, next_code_point(utf8, i), '"');
  out.push_back('"');
  return out;
}

std::string display(const JsonError& e) {
  if (!e.position) return e.message;
  return e.message + " at line " + std::to_string(e.position->line) + " column " +
         std::to_string(e.position->column);
}

std::string display(const IoError& e) {
  if (e.fixed != nullptr) return e.fixed;
  return os_text(e.code) + " (os error " + std::to_string(e.code) + ")";
}

std::string display(const HexError& e) {
  return std::visit(
      Overload{[](const HexError::InvalidCharacter& c) {
                 return "Invalid character " + char_literal(c.character) + " at position " +
                        std::to_string(c.position);
               },
               [](const HexError::OddLength&) { return std::string("Odd number of digits"); }},
      e.kind);
}

std::string display(const KeyError& e) {
  return std::visit(
      Overload{[](const IoError& io) { return "io: " + display(io); },
               [](const KeyError::InvalidKeyLength& l) {
                 return "invalid key length: expected " + std::to_string(l.expected) + ", got " +
                        std::to_string(l.actual);
               },
               [](const HexError& h) { return "invalid hex: " + display(h); },
               [](const KeyError::SignatureVerification&) {
                 return std::string("signature verification failed");
               }},
      e.kind);
}

std::string display(const SealError& e) {
  return std::visit(Overload{[](const JsonError& j) { return "json: " + display(j); },
                             [](const KeyError& k) { return "key: " + display(k); },
                             [](const SealError::SelfHashMismatch&) {
                               return std::string("self_hash mismatch");
                             }},
                    e.kind);
}

std::string display(const LedgerError& e) {
  return std::visit(
      Overload{[](const IoError& io) { return "io: " + display(io); },
               [](const JsonError& j) { return "json: " + display(j); },
               [](const LedgerError::Held& h) {
                 return "the ledger " + quoted_path(h.path) + " is open by another writer";
               },
               [](const LineTooLong& l) {
                 return "line " + std::to_string(l.line) + ": longer than " +
                        std::to_string(l.limit) + " bytes";
               },
               [](const ThreadStartError& t) {
                 return "cannot start " + std::to_string(t.requested) + " threads: " +
                        os_text(t.code);
               }},
      e.kind);
}

std::string display(const SessionError& e) {
  return std::visit(Overload{[](const SessionError::Closed&) {
                               return std::string("the session is closed");
                             },
                             [](const auto& inner) { return display(inner); }},
                    e.kind);
}

}  // namespace tallyvox
