// A source (see source.h) over one JSON text, and the parse of a whole
// text into a JSON value. The text is UTF-8 that the caller has already
// checked; the reader checks the JSON syntax and decodes escapes.
//
// Errors carry a position: the line is 1 + the LF bytes before the offending
// offset, and the column counts the bytes of that line up to and including
// the offending byte (for an error at the end of the text, up to the last
// byte; 0 when nothing of the line was read). Positions are computed only
// when an error is made.
//
// A text that ends early always gets an EOF message, so that a torn line is
// told apart from a damaged one: where a value, a key or a digit is due
// (after a comma, after '-', '.' or an exponent mark) it is "EOF while
// parsing a value"; inside an unclosed array, object or string, the
// message of that container.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/json/source.h"
#include "core/json/value.h"
#include "core/util/error.h"

namespace tallyvox::json {

// Arrays and objects nested this deep (the outermost counting as 1) are
// refused.
inline constexpr std::uint32_t kMaxNesting = 128;

class TextSource {
 public:
  // A value consumed by hold(): where it starts and how many containers
  // enclose it, so that reading it later counts nesting and reports
  // positions as if it were read in place.
  struct Held {
    std::size_t offset = 0;
    std::uint32_t depth = 0;
  };

  explicit TextSource(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  // The operations of the source contract.
  std::expected<Token, JsonError> peek();
  std::expected<Value, JsonError> scalar();
  std::expected<std::string, JsonError> string();
  std::expected<void, JsonError> begin_object();
  std::expected<std::optional<std::string_view>, JsonError> next_key();
  std::expected<void, JsonError> begin_array();
  std::expected<bool, JsonError> next_element();
  // `taken` is not needed for text: whatever follows the taken elements
  // must be the closing bracket.
  std::expected<void, JsonError> end_array(std::size_t taken);
  // skip() and hold() check the syntax only: a number too large for a
  // binary64 is refused when it is converted (scalar(), value(), check()),
  // not here.
  std::expected<void, JsonError> skip();
  std::expected<Value, JsonError> value();
  // value() that builds nothing: the same checks, the same errors.
  std::expected<void, JsonError> check();
  // string() into `out`, whose storage is reused.
  std::expected<void, JsonError> string(std::string& out);
  std::expected<Held, JsonError> hold();
  TextSource open(const Held& held) const;
  // A value-shape error at the current offset: the next unread byte is the
  // offending one (before a value that peek() looked at, after one that was
  // consumed).
  JsonError error(std::string message) const;

  // After the top value: only whitespace may remain.
  std::expected<void, JsonError> finish();

  std::size_t offset() const { return static_cast<std::size_t>(p_ - begin_); }

 private:
  TextSource(const char* begin, const char* at, const char* end, std::uint32_t depth)
      : begin_(begin), p_(at), end_(end), depth_(depth) {}

  struct Number;
  // What a walk over a value does with it: checks its syntax only (Skip),
  // also converts its numbers (Check), or builds it (Build).
  enum class Walk { Skip, Check, Build };

  std::expected<void, JsonError> begin_container(Token kind, std::string_view expected);
  std::expected<bool, JsonError> close_array();
  void skip_ws();
  // Records a syntax error (a fixed message at a byte, or at end_ for EOF)
  // and returns false; the public operations turn it into a JsonError.
  bool fail(const char* message, const char* at);
  JsonError failure() const;
  JsonError error_at(std::string message, const char* at) const;

  template <Walk kWalk>
  bool walk(Value* out, std::uint32_t depth);
  template <Walk kWalk>
  bool built(Value* out, Value value);
  template <Walk kWalk>
  bool walk_number(Value* out);
  template <Walk kWalk>
  bool walk_string(Value* out);
  template <Walk kWalk>
  bool walk_object(Value* out, std::uint32_t depth);
  template <Walk kWalk>
  bool walk_array(Value* out, std::uint32_t depth);
  template <class Item>
  bool items(char close, const char* eof, const char* expected, Item&& item);
  bool enter(std::uint32_t depth);
  bool colon();
  bool after_comma(char close);
  bool after_item(char close, const char* eof, const char* expected, bool& closed);
  bool literal(const char* word, std::size_t length);
  bool scan_number(Number& n);
  bool convert(const Number& n, Value& out);
  // p_ at the opening quote. The contents: the text itself when there is no
  // escape, else `buf` holding the decoded bytes; a view with a null data()
  // when the string is malformed (the failure recorded). Returned by value,
  // in registers: a view written through a reference and read back whole
  // stalls the load on every key.
  std::string_view scan_string(std::string& buf);
  std::string_view scan_escaped(const char* run, const char* stop, std::string& buf);
  std::string_view failed_string(const char* message, const char* at);
  bool hex4(const char*& p, std::uint32_t& cp);
  bool unicode_escape(const char*& e, std::string& buf);
  bool skip_string();
  bool string_value(std::string& out);

  const char* begin_;
  const char* p_;
  const char* end_;
  std::uint32_t depth_ = 0;  // containers opened by begin_* and not yet closed
  // True right after begin_*: the next member or element needs no comma.
  bool first_ = false;
  const char* fail_message_ = nullptr;
  const char* fail_at_ = nullptr;
  std::string key_;      // decoded key with escapes, for next_key()
  std::string scratch_;  // decoded strings that skip() throws away
};

// Exactly one JSON value surrounded by optional whitespace.
std::expected<Value, JsonError> parse_json_text(std::string_view text);

}  // namespace tallyvox::json
