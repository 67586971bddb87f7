// Reading rules (events, signed events) are written once, as templates over a
// source: a cursor over one JSON value that is either a value in memory
// (ValueSource) or JSON text being parsed (TextSource). A source offers:
//
//   std::expected<Token, JsonError> peek();
//       The kind of the next value, without consuming it. (Text: skips
//       whitespace; EOF and a byte that cannot start a value are errors.)
//   std::expected<json::Value, JsonError> scalar();
//       Consumes the next value, which peek() said is not an array or object.
//   std::expected<std::string, JsonError> string();
//   std::expected<void, JsonError> string(std::string& out);
//       Consumes the next value, which peek() said is a string (the second
//       form into `out`, reusing its storage).
//   std::expected<void, JsonError> begin_object();
//   std::expected<std::optional<std::string_view>, JsonError> next_key();
//       The next member's name (valid until the next call), positioned at its
//       value, or nullopt after the closing brace.
//   std::expected<void, JsonError> begin_array();
//   std::expected<bool, JsonError> next_element();
//       True when another element follows, positioned at it; false after the
//       closing bracket.
//   std::expected<void, JsonError> end_array(std::size_t taken);
//       After `taken` elements were read, the array must end here.
//   std::expected<void, JsonError> skip();
//       Consumes the next value of any kind (text: still checked).
//   std::expected<json::Value, JsonError> value();
//       Consumes the next value of any kind as a JSON value.
//   std::expected<void, JsonError> check();
//       Consumes it as value() does, with its errors, building nothing.
//   std::expected<Held, JsonError> hold();  Source open(const Held&) const;
//       Consumes the next value and keeps it, to be read later by a source
//       that open() makes.
//   JsonError error(std::string message) const;
//       An error at the current place (text: with its position).
#pragma once

#include <string>

#include "core/json/value.h"
#include "core/util/error.h"

// Returns the error of an std::expected from the enclosing reading function.
#define TALLYVOX_TRY(var, expr) \
  auto var = (expr);            \
  if (!var) return std::unexpected(std::move(var.error()))

namespace tallyvox::json {

enum class Token { Null, Bool, Number, String, Array, Object };

// The "found" text of a value-shape message: null, boolean `true`,
// integer `5`, floating point `1.5`, string "x", sequence, map.
std::string found(const Value& value);
std::string found(Token container);  // "sequence" or "map"

// Value-shape messages.
std::string invalid_type(const std::string& found, std::string_view expected);
std::string invalid_value(const std::string& found, std::string_view expected);
std::string invalid_length(std::size_t length, std::string_view expected);

// Reads the found text of the next value (consuming a scalar) and returns the
// invalid-type error for it.
template <class Source>
JsonError invalid_type_error(Source& src, Token token, std::string_view expected) {
  if (token == Token::Array || token == Token::Object) {
    return src.error(invalid_type(found(token), expected));
  }
  auto v = src.scalar();
  if (!v) return std::move(v.error());
  return src.error(invalid_type(found(*v), expected));
}

}  // namespace tallyvox::json
