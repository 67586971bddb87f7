// A source (see source.h) over a JSON value in memory. Errors carry no
// position.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/source.h"
#include "core/json/value.h"

namespace tallyvox::json {

class ValueSource {
 public:
  using Held = const Value*;

  explicit ValueSource(const Value& root) : next_(&root) {}

  std::expected<Token, JsonError> peek() const;
  std::expected<Value, JsonError> scalar() { return *next_; }
  std::expected<std::string, JsonError> string() { return next_->as_string(); }
  std::expected<void, JsonError> string(std::string& out) {
    out = next_->as_string();
    return {};
  }
  std::expected<void, JsonError> begin_object();
  std::expected<std::optional<std::string_view>, JsonError> next_key();
  std::expected<void, JsonError> begin_array();
  std::expected<bool, JsonError> next_element();
  std::expected<void, JsonError> end_array(std::size_t taken);
  std::expected<void, JsonError> skip() { return {}; }
  std::expected<Value, JsonError> value() { return *next_; }
  std::expected<void, JsonError> check() { return {}; }  // a value in memory is one
  std::expected<Held, JsonError> hold() { return next_; }
  ValueSource open(Held held) const { return ValueSource(*held); }
  JsonError error(std::string message) const { return JsonError{std::move(message), std::nullopt}; }

 private:
  struct Frame {
    const Value* container;
    std::size_t index;
  };

  const Value* next_;  // the value the next read consumes
  std::vector<Frame> frames_;
};

}  // namespace tallyvox::json
