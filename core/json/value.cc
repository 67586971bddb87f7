#include "core/json/value.h"

#include <algorithm>
#include <cmath>

namespace tallyvox::json {

namespace {
constexpr std::size_t kIndexThreshold = 16;
}

Object::Object() = default;
Object::Object(const Object& other) : members_(other.members_) {}
Object::Object(Object&&) noexcept = default;
Object& Object::operator=(const Object& other) {
  if (this != &other) {
    members_ = other.members_;
    index_.reset();
  }
  return *this;
}
Object& Object::operator=(Object&&) noexcept = default;
Object::~Object() = default;

void Object::reserve(std::size_t n) { members_.reserve(n); }

std::size_t Object::index_of(std::string_view key) const {
  if (members_.size() < kIndexThreshold) {
    for (std::size_t i = 0; i < members_.size(); ++i) {
      if (members_[i].first == key) return i;
    }
    return members_.size();
  }
  if (!index_) {
    index_ = std::make_unique<std::unordered_map<std::string, std::size_t>>();
    index_->reserve(members_.size() * 2);
    for (std::size_t i = 0; i < members_.size(); ++i) index_->emplace(members_[i].first, i);
  }
  auto it = index_->find(std::string(key));
  return it == index_->end() ? members_.size() : it->second;
}

void Object::insert(std::string key, Value value) {
  std::size_t i = index_of(key);
  if (i < members_.size()) {
    members_[i].second = std::move(value);
    return;
  }
  append_unique(std::move(key), std::move(value));
}

void Object::append_unique(std::string key, Value value) {
  if (index_) index_->emplace(key, members_.size());
  members_.emplace_back(std::move(key), std::move(value));
}

bool operator==(const Object& a, const Object& b) { return a.members_ == b.members_; }

Value Value::integer(std::int64_t i) {
  Value v;
  if (i >= 0) {
    v.v_ = static_cast<std::uint64_t>(i);
  } else {
    v.v_ = i;
  }
  return v;
}

Value Value::real(double d) {
  Value v;
  if (std::isfinite(d)) v.v_ = d;
  return v;
}

std::size_t nesting_depth(const Value& value, std::size_t limit) {
  if (limit == 0) return 0;
  std::size_t deepest = 0;
  if (value.kind() == Value::Kind::Array) {
    for (const Value& item : value.as_array()) {
      deepest = std::max(deepest, nesting_depth(item, limit - 1));
      if (deepest + 1 >= limit) break;
    }
  } else if (value.kind() == Value::Kind::Object) {
    for (const auto& member : value.as_object()) {
      deepest = std::max(deepest, nesting_depth(member.second, limit - 1));
      if (deepest + 1 >= limit) break;
    }
  } else {
    return 0;
  }
  return deepest + 1;
}

}  // namespace tallyvox::json
