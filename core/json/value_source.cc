#include "core/json/value_source.h"

namespace tallyvox::json {

std::expected<Token, JsonError> ValueSource::peek() const {
  switch (next_->kind()) {
    case Value::Kind::Null: return Token::Null;
    case Value::Kind::Bool: return Token::Bool;
    case Value::Kind::String: return Token::String;
    case Value::Kind::Array: return Token::Array;
    case Value::Kind::Object: return Token::Object;
    default: return Token::Number;
  }
}

std::expected<void, JsonError> ValueSource::begin_object() {
  frames_.push_back(Frame{next_, 0});
  return {};
}

std::expected<std::optional<std::string_view>, JsonError> ValueSource::next_key() {
  Frame& top = frames_.back();
  const Object& object = top.container->as_object();
  if (top.index == object.size()) {
    frames_.pop_back();
    return std::nullopt;
  }
  const auto& member = object[top.index++];
  next_ = &member.second;
  return std::string_view(member.first);
}

std::expected<void, JsonError> ValueSource::begin_array() {
  frames_.push_back(Frame{next_, 0});
  return {};
}

std::expected<bool, JsonError> ValueSource::next_element() {
  Frame& top = frames_.back();
  const Array& items = top.container->as_array();
  if (top.index == items.size()) {
    frames_.pop_back();
    return false;
  }
  next_ = &items[top.index++];
  return true;
}

std::expected<void, JsonError> ValueSource::end_array(std::size_t taken) {
  std::size_t size = frames_.back().container->as_array().size();
  frames_.pop_back();
  if (size > taken) return std::unexpected(error(invalid_length(size, "fewer elements in array")));
  return {};
}

}  // namespace tallyvox::json
