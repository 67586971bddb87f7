#include "core/json/source.h"

#include "core/json/write.h"

namespace tallyvox::json {

std::string found(const Value& value) {
  Buffer number;
  switch (value.kind()) {
    case Value::Kind::Null: return "null";
    case Value::Kind::Bool: return value.as_bool() ? "boolean `true`" : "boolean `false`";
    case Value::Kind::UInt:
    case Value::Kind::NegInt:
      write_scalar(number, value);
      return "integer `" + number.str() + "`";
    case Value::Kind::Float:
      write_scalar(number, value);
      return "floating point `" + number.str() + "`";
    case Value::Kind::String: return found_string(value.as_string());
    case Value::Kind::Array: return "sequence";
    case Value::Kind::Object: return "map";
  }
  return std::string();
}

std::string found(Token container) { return container == Token::Array ? "sequence" : "map"; }

namespace {

std::string expecting(std::string message, std::string_view expected) {
  message += ", expected ";
  message += expected;
  return message;
}

}  // namespace

std::string invalid_type(const std::string& found, std::string_view expected) {
  return expecting("invalid type: " + found, expected);
}

std::string invalid_value(const std::string& found, std::string_view expected) {
  return expecting("invalid value: " + found, expected);
}

std::string invalid_length(std::size_t length, std::string_view expected) {
  return expecting("invalid length " + std::to_string(length), expected);
}

}  // namespace tallyvox::json
