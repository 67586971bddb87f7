#include "core/json/text.h"

#include <bit>
#include <charconv>
#include <cstring>
#include <system_error>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/crypto/hex.h"
#include "core/json/utf8.h"

namespace tallyvox::json {

namespace {

// Arrays and objects nested this deep (the outermost being level 1) are
// refused; the walk recurses once per level, so this also bounds the stack.

constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kEofString = "EOF while parsing a string";
constexpr const char* kExpectedColon = "expected `:`";
constexpr const char* kExpectedListEnd = "expected `,` or `]`";
constexpr const char* kExpectedObjectEnd = "expected `,` or `}`";
constexpr const char* kExpectedIdent = "expected ident";
constexpr const char* kExpectedValue = "expected value";
constexpr const char* kInvalidEscape = "invalid escape";
constexpr const char* kInvalidNumber = "invalid number";
constexpr const char* kOutOfRange = "number out of range";
constexpr const char* kInvalidCodePoint = "invalid unicode code point";
constexpr const char* kControl = "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char* kKeyNotString = "key must be a string";
constexpr const char* kLoneLeading = "lone leading surrogate in hex escape";
constexpr const char* kTrailingComma = "trailing comma";
constexpr const char* kTrailingCharacters = "trailing characters";
constexpr const char* kHexEnd = "unexpected end of hex escape";
constexpr const char* kRecursion = "recursion limit exceeded";

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

inline bool is_ws(char c) {
  constexpr std::uint64_t kMask = (1ull << ' ') | (1ull << '\t') | (1ull << '\n') | (1ull << '\r');
  unsigned char u = static_cast<unsigned char>(c);
  return u <= ' ' && ((kMask >> u) & 1) != 0;
}

inline bool ends_run(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u < 0x20 || c == '"' || c == '\\';
}

// The first '"', '\' or byte below 0x20 at or after p, or end. Sixteen
// bytes at a time where SSE2 is (every x86-64), then eight at a time; each
// test sets the high bit of exactly the matching bytes, so the first match
// is the lowest set bit and no byte-wise recheck is needed.
inline const char* find_run_end(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1f);
  while (end - p >= 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(x, control_max), control_max);  // x <= 0x1f
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)), control);
    if (int mask = _mm_movemask_epi8(hit); mask != 0) return p + std::countr_zero(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  while (end - p >= 8) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    std::uint64_t quote = x ^ (kOnes * '"');
    std::uint64_t backslash = x ^ (kOnes * '\\');
    std::uint64_t is_quote = ~(((quote & kLow7) + kLow7) | quote);
    std::uint64_t is_backslash = ~(((backslash & kLow7) + kLow7) | backslash);
    std::uint64_t is_control = ~((x & kLow7) + kOnes * 0x60) & ~x;
    std::uint64_t hit = (is_quote | is_backslash | is_control) & kHigh;
    if (hit != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return p + (std::countr_zero(hit) >> 3);
      } else {
        return p + (std::countl_zero(hit) >> 3);
      }
    }
    p += 8;
  }
  while (p < end && !ends_run(*p)) ++p;
  return p;
}

}  // namespace

// The pieces of a number's text, found by scan_number.
struct TextSource::Number {
  const char* start;   // the '-' or the first digit
  const char* digits;  // the first digit of the integer part
  const char* end;
  std::uint64_t magnitude;  // integer part; wrapped when it has over 19 digits
  bool negative;
  bool integral;  // no fraction, no exponent
};

// ---------------------------------------------------------------- errors

bool TextSource::fail(const char* message, const char* at) {
  fail_message_ = message;
  fail_at_ = at;
  return false;
}

JsonError TextSource::failure() const { return error_at(fail_message_, fail_at_); }

JsonError TextSource::error_at(std::string message, const char* at) const {
  std::uint64_t line = 1;
  const char* line_start = begin_;
  for (const char* q = begin_;
       (q = static_cast<const char*>(std::memchr(q, '\n', static_cast<std::size_t>(at - q))));
       ++q) {
    ++line;
    line_start = q + 1;
  }
  const char* upto = at < end_ ? at + 1 : end_;
  return JsonError{std::move(message),
                   Position{line, static_cast<std::uint64_t>(upto - line_start)}};
}

JsonError TextSource::error(std::string message) const { return error_at(std::move(message), p_); }

// ---------------------------------------------------------------- lexing

void TextSource::skip_ws() {
  while (p_ < end_ && is_ws(*p_)) ++p_;
}

// p_ at the word's first letter, which peek() or walk() has matched.
bool TextSource::literal(const char* word, std::size_t length) {
  for (std::size_t i = 1; i < length; ++i) {
    if (p_ + i == end_) return fail(kEofValue, end_);
    if (p_[i] != word[i]) return fail(kExpectedIdent, p_ + i);
  }
  p_ += length;
  return true;
}

bool TextSource::scan_number(Number& n) {
  const char* p = p_;
  n.start = p;
  n.negative = *p == '-';
  if (n.negative && ++p == end_) return fail(kEofValue, end_);
  n.digits = p;
  n.magnitude = 0;
  if (*p == '0') {
    ++p;
    if (p < end_ && is_digit(*p)) return fail(kInvalidNumber, p);
  } else if (is_digit(*p)) {
    std::uint64_t v = 0;
    do {
      v = v * 10 + static_cast<std::uint64_t>(*p - '0');
      ++p;
    } while (p < end_ && is_digit(*p));
    n.magnitude = v;
  } else {
    return fail(kInvalidNumber, p);
  }
  n.integral = true;
  if (p < end_ && *p == '.') {
    n.integral = false;
    if (++p == end_) return fail(kEofValue, end_);
    if (!is_digit(*p)) return fail(kInvalidNumber, p);
    while (p < end_ && is_digit(*p)) ++p;
  }
  if (p < end_ && (*p == 'e' || *p == 'E')) {
    n.integral = false;
    if (++p < end_ && (*p == '+' || *p == '-')) ++p;
    if (p == end_) return fail(kEofValue, end_);
    if (!is_digit(*p)) return fail(kInvalidNumber, p);
    while (p < end_ && is_digit(*p)) ++p;
  }
  n.end = p;
  p_ = p;
  return true;
}

namespace {

// Whether the decimal number [digits, end) (syntax already checked, sign
// excluded) is at least 1 in magnitude: the decimal exponent of its leading
// significant digit is >= 0. Only asked when from_chars reports a result out
// of range, where this tells overflow (>= 1e308) from underflow (< 1e-323).
bool at_least_one(const char* p, const char* end) {
  std::int64_t lead;
  if (*p != '0') {
    const char* q = p;
    while (q < end && is_digit(*q)) ++q;
    lead = q - p - 1;
    p = q;
  } else {
    ++p;
    lead = -1;
    bool found = false;
    if (p < end && *p == '.') {
      for (++p; p < end && is_digit(*p); ++p, --lead) {
        if (*p != '0') {
          found = true;
          break;
        }
      }
    }
    if (!found) return false;  // zero; never out of range
  }
  while (p < end && *p != 'e' && *p != 'E') ++p;
  std::int64_t exponent = 0;
  if (p < end) {
    ++p;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    constexpr std::int64_t kCap = 1'000'000'000;  // far beyond any binary64
    for (; p < end && exponent < kCap; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative) exponent = -exponent;
  }
  return lead + exponent >= 0;
}

}  // namespace

bool TextSource::convert(const Number& n, Value& out) {
  if (n.integral) {
    std::size_t count = static_cast<std::size_t>(n.end - n.digits);
    if (!n.negative) {
      if (count < 20 || (count == 20 && std::memcmp(n.digits, "18446744073709551615", 20) <= 0)) {
        out = Value::uint(n.magnitude);
        return true;
      }
    } else if (n.magnitude != 0 &&  // "-0" is the float -0.0
               (count < 19 || (count == 19 && std::memcmp(n.digits, "9223372036854775808", 19) <= 0))) {
      out = Value::integer(static_cast<std::int64_t>(0 - n.magnitude));
      return true;
    }
  }
  // scan_number checked the syntax, which from_chars reads whole.
  double d = 0;
  if (std::from_chars(n.start, n.end, d).ec == std::errc::result_out_of_range) {
    if (at_least_one(n.digits, n.end)) return fail(kOutOfRange, n.end - 1);
    d = n.negative ? -0.0 : 0.0;
  }
  out = Value::real(d);
  return true;
}

bool TextSource::hex4(const char*& p, std::uint32_t& cp) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i, ++p) {
    if (p == end_) return fail(kEofString, end_);
    std::uint8_t h = hex_nibble(*p);
    if (h > 15) return fail(kHexEnd, p);
    v = v * 16 + h;
  }
  cp = v;
  return true;
}

// `e` after the 'u' of a \u escape: its four digits, and for a leading
// surrogate the \u escape of the trailing one, appended to `buf` as UTF-8.
bool TextSource::unicode_escape(const char*& e, std::string& buf) {
  std::uint32_t cp;
  if (!hex4(e, cp)) return false;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(kInvalidCodePoint, e - 1);
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    // The low half must follow at once as another \u escape.
    if (e == end_) return fail(kEofString, end_);
    if (*e != '\\') return fail(kLoneLeading, e);
    if (++e == end_) return fail(kEofString, end_);
    if (*e != 'u') return fail(kLoneLeading, e);
    ++e;
    std::uint32_t low;
    if (!hex4(e, low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail(kLoneLeading, e - 1);
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(buf, cp);
  return true;
}

std::string_view TextSource::scan_string(std::string& buf) {
  const char* run = p_ + 1;
  const char* stop = find_run_end(run, end_);
  if (stop < end_ && *stop == '"') {
    p_ = stop + 1;
    return std::string_view(run, static_cast<std::size_t>(stop - run));
  }
  return scan_escaped(run, stop, buf);
}

std::string_view TextSource::failed_string(const char* message, const char* at) {
  fail(message, at);
  return {};
}

// The rest of a string from the first byte that is not copied as is.
std::string_view TextSource::scan_escaped(const char* run, const char* stop, std::string& buf) {
  buf.clear();
  for (;;) {
    if (stop == end_) return failed_string(kEofString, end_);
    buf.append(run, static_cast<std::size_t>(stop - run));
    if (*stop == '"') break;
    if (*stop != '\\') return failed_string(kControl, stop);
    const char* e = stop + 1;
    if (e == end_) return failed_string(kEofString, end_);
    char c = *e++;
    switch (c) {
      case '"': buf.push_back('"'); break;
      case '\\': buf.push_back('\\'); break;
      case '/': buf.push_back('/'); break;
      case 'b': buf.push_back('\b'); break;
      case 'f': buf.push_back('\f'); break;
      case 'n': buf.push_back('\n'); break;
      case 'r': buf.push_back('\r'); break;
      case 't': buf.push_back('\t'); break;
      case 'u':
        if (!unicode_escape(e, buf)) return {};
        break;
      default:
        return failed_string(kInvalidEscape, e - 1);
    }
    run = e;
    stop = find_run_end(run, end_);
  }
  p_ = stop + 1;
  // Never null, even when empty: null tells a failure.
  return std::string_view(buf.c_str(), buf.size());
}

bool TextSource::string_value(std::string& out) {
  std::string_view v = scan_string(out);
  if (v.data() == nullptr) return false;
  if (v.data() != out.data()) out.assign(v);
  return true;
}

// ---------------------------------------------------------------- values

// After an item: the closing bracket ends the container (`closed`), a comma
// must be followed by another item.
bool TextSource::after_item(char close, const char* eof, const char* expected, bool& closed) {
  skip_ws();
  if (p_ == end_) return fail(eof, end_);
  closed = *p_ == close;
  if (closed) return true;
  if (*p_ != ',') return fail(expected, p_);
  return after_comma(close);
}

// After a comma another item is due, not the closing bracket.
bool TextSource::after_comma(char close) {
  ++p_;
  skip_ws();
  if (p_ == end_) return fail(kEofValue, end_);
  if (*p_ == close) return fail(kTrailingComma, p_);
  return true;
}

// p_ at a '[' or '{' that opens level depth + 1.
bool TextSource::enter(std::uint32_t depth) {
  if (depth + 1 >= kMaxNesting) return fail(kRecursion, p_);
  ++p_;
  return true;
}

// After a member's key: the colon, then the value is due.
bool TextSource::colon() {
  skip_ws();
  if (p_ == end_) return fail(kEofObject, end_);
  if (*p_ != ':') return fail(kExpectedColon, p_);
  ++p_;
  return true;
}

bool TextSource::skip_string() {
  return scan_string(scratch_).data() != nullptr;
}

// p_ just inside an array or object: reads its items with `item` up to the
// closing bracket, which it consumes.
template <class Item>
bool TextSource::items(char close, const char* eof, const char* expected, Item&& item) {
  skip_ws();
  if (p_ == end_) return fail(eof, end_);
  for (bool closed = *p_ == close; !closed;) {
    if (!item() || !after_item(close, eof, expected, closed)) return false;
  }
  ++p_;
  return true;
}

namespace {
struct Nothing {};  // stands in for what a walk that does not build skips
template <bool kBuild, class T>
using Built = std::conditional_t<kBuild, T, Nothing>;
}  // namespace

// One whole value; builds it into *out for Walk::Build, else only checks it.
// `depth` counts the containers around the value.
template <TextSource::Walk kWalk>
bool TextSource::walk(Value* out, std::uint32_t depth) {
  skip_ws();
  if (p_ == end_) return fail(kEofValue, end_);
  switch (*p_) {
    case '"': return walk_string<kWalk>(out);
    case '{': return walk_object<kWalk>(out, depth);
    case '[': return walk_array<kWalk>(out, depth);
    case 't': return literal("true", 4) && built<kWalk>(out, Value(true));
    case 'f': return literal("false", 5) && built<kWalk>(out, Value(false));
    case 'n': return literal("null", 4) && built<kWalk>(out, Value());
    default: return walk_number<kWalk>(out);
  }
}

template <TextSource::Walk kWalk>
bool TextSource::built(Value* out, Value value) {
  if constexpr (kWalk == Walk::Build) *out = std::move(value);
  return true;
}

template <TextSource::Walk kWalk>
bool TextSource::walk_number(Value* out) {
  if (*p_ != '-' && !is_digit(*p_)) return fail(kExpectedValue, p_);
  Number n;
  if (!scan_number(n)) return false;
  if constexpr (kWalk == Walk::Skip) return true;
  Value converted;
  if (!convert(n, converted)) return false;
  return built<kWalk>(out, std::move(converted));
}

template <TextSource::Walk kWalk>
bool TextSource::walk_string(Value* out) {
  if constexpr (kWalk == Walk::Build) {
    std::string s;
    if (!string_value(s)) return false;
    *out = Value(std::move(s));
    return true;
  } else {
    return skip_string();
  }
}

template <TextSource::Walk kWalk>
bool TextSource::walk_object(Value* out, std::uint32_t depth) {
  constexpr bool kBuild = kWalk == Walk::Build;
  if (!enter(depth)) return false;
  [[maybe_unused]] Built<kBuild, Object> object;
  auto member = [&] {
    if (*p_ != '"') return fail(kKeyNotString, p_);
    if constexpr (kBuild) {
      std::string key;
      Value item;
      if (!string_value(key) || !colon() || !walk<kWalk>(&item, depth + 1)) return false;
      object.insert(std::move(key), std::move(item));
      return true;
    } else {
      return skip_string() && colon() && walk<kWalk>(nullptr, depth + 1);
    }
  };
  if (!items('}', kEofObject, kExpectedObjectEnd, member)) return false;
  if constexpr (kBuild) *out = Value(std::move(object));
  return true;
}

template <TextSource::Walk kWalk>
bool TextSource::walk_array(Value* out, std::uint32_t depth) {
  constexpr bool kBuild = kWalk == Walk::Build;
  if (!enter(depth)) return false;
  [[maybe_unused]] Built<kBuild, Array> array;
  auto element = [&] {
    if constexpr (kBuild) {
      return walk<kWalk>(&array.emplace_back(), depth + 1);
    } else {
      return walk<kWalk>(nullptr, depth + 1);
    }
  };
  if (!items(']', kEofList, kExpectedListEnd, element)) return false;
  if constexpr (kBuild) *out = Value(std::move(array));
  return true;
}

// ---------------------------------------------------------------- contract

std::expected<Token, JsonError> TextSource::peek() {
  skip_ws();
  if (p_ == end_) return std::unexpected(error_at(kEofValue, end_));
  switch (*p_) {
    case '"': return Token::String;
    case '{': return Token::Object;
    case '[': return Token::Array;
    case 't':
    case 'f': return Token::Bool;
    case 'n': return Token::Null;
    default:
      if (*p_ == '-' || is_digit(*p_)) return Token::Number;
      return std::unexpected(error_at(kExpectedValue, p_));
  }
}

std::expected<Value, JsonError> TextSource::scalar() {
  auto token = peek();
  if (!token) return std::unexpected(std::move(token.error()));
  if (*token == Token::Array || *token == Token::Object) {
    // Callers peek first; a container here is their mistake, not the text's.
    return std::unexpected(error(invalid_type(found(*token), "a scalar")));
  }
  Value v;
  if (!walk<Walk::Build>(&v, depth_)) return std::unexpected(failure());
  return v;
}

std::expected<std::string, JsonError> TextSource::string() {
  std::string s;
  TALLYVOX_TRY(read, string(s));
  return s;
}

std::expected<void, JsonError> TextSource::string(std::string& out) {
  auto token = peek();
  if (!token) return std::unexpected(std::move(token.error()));
  if (*token != Token::String) return std::unexpected(invalid_type_error(*this, *token, "a string"));
  if (!string_value(out)) return std::unexpected(failure());
  return {};
}

// Opens the next value, which must be a container of kind `kind`.
std::expected<void, JsonError> TextSource::begin_container(Token kind, std::string_view expected) {
  auto token = peek();
  if (!token) return std::unexpected(std::move(token.error()));
  if (*token != kind) return std::unexpected(invalid_type_error(*this, *token, expected));
  if (!enter(depth_)) return std::unexpected(failure());
  ++depth_;
  first_ = true;
  return {};
}

std::expected<void, JsonError> TextSource::begin_object() {
  return begin_container(Token::Object, "a map");
}

std::expected<std::optional<std::string_view>, JsonError> TextSource::next_key() {
  skip_ws();
  if (p_ == end_) return std::unexpected(error_at(kEofObject, end_));
  bool close = false;
  if (first_) {
    first_ = false;
    close = *p_ == '}';
  } else if (*p_ == '}') {
    close = true;
  } else if (*p_ == ',') {
    if (!after_comma('}')) return std::unexpected(failure());
  } else {
    return std::unexpected(error_at(kExpectedObjectEnd, p_));
  }
  if (close) {
    ++p_;
    --depth_;
    return std::nullopt;
  }
  if (*p_ != '"') return std::unexpected(error_at(kKeyNotString, p_));
  std::string_view key = scan_string(key_);
  if (key.data() == nullptr || !colon()) return std::unexpected(failure());
  return key;
}

std::expected<void, JsonError> TextSource::begin_array() {
  return begin_container(Token::Array, "a sequence");
}

// Inside an open array: whether a ']' comes next, consumed when it does.
std::expected<bool, JsonError> TextSource::close_array() {
  skip_ws();
  if (p_ == end_) return std::unexpected(error_at(kEofList, end_));
  if (*p_ != ']') return false;
  ++p_;
  --depth_;
  first_ = false;
  return true;
}

std::expected<bool, JsonError> TextSource::next_element() {
  TALLYVOX_TRY(closed, close_array());
  if (*closed) return false;
  if (first_) {
    first_ = false;
    return true;
  }
  if (*p_ != ',') return std::unexpected(error_at(kExpectedListEnd, p_));
  if (!after_comma(']')) return std::unexpected(failure());
  return true;
}

std::expected<void, JsonError> TextSource::end_array(std::size_t) {
  TALLYVOX_TRY(closed, close_array());
  if (*closed) return {};
  if (*p_ == ',') {
    ++p_;
    skip_ws();
    if (p_ == end_) return std::unexpected(error_at(kEofList, end_));
    if (*p_ == ']') return std::unexpected(error_at(kTrailingComma, p_));
  }
  return std::unexpected(error_at(kTrailingCharacters, p_));
}

std::expected<void, JsonError> TextSource::skip() {
  if (!walk<Walk::Skip>(nullptr, depth_)) return std::unexpected(failure());
  return {};
}

std::expected<void, JsonError> TextSource::check() {
  if (!walk<Walk::Check>(nullptr, depth_)) return std::unexpected(failure());
  return {};
}

std::expected<Value, JsonError> TextSource::value() {
  Value v;
  if (!walk<Walk::Build>(&v, depth_)) return std::unexpected(failure());
  return v;
}

std::expected<TextSource::Held, JsonError> TextSource::hold() {
  skip_ws();
  Held held{offset(), depth_};
  if (!walk<Walk::Skip>(nullptr, depth_)) return std::unexpected(failure());
  return held;
}

TextSource TextSource::open(const Held& held) const {
  return TextSource(begin_, begin_ + held.offset, end_, held.depth);
}

std::expected<void, JsonError> TextSource::finish() {
  skip_ws();
  if (p_ != end_) return std::unexpected(error_at(kTrailingCharacters, p_));
  return {};
}

std::expected<Value, JsonError> parse_json_text(std::string_view text) {
  TextSource src(text);
  auto v = src.value();
  if (!v) return v;
  auto end = src.finish();
  if (!end) return std::unexpected(std::move(end.error()));
  return v;
}

}  // namespace tallyvox::json
