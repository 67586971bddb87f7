// The JSON value model: null, boolean, three number forms, string, array, and
// objects whose members keep their insertion order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace tallyvox::json {

class Value;
using Array = std::vector<Value>;

// Members in insertion order; inserting a present key replaces its value and
// keeps its first position. Large objects get a hash index so that reading an
// object with many members stays linear.
class Object {
 public:
  using Member = std::pair<std::string, Value>;

  Object();
  Object(const Object& other);
  Object(Object&&) noexcept;
  Object& operator=(const Object& other);
  Object& operator=(Object&&) noexcept;
  ~Object();

  void insert(std::string key, Value value);
  // For sources whose keys are known to be unique (a Python dict).
  void append_unique(std::string key, Value value);
  void reserve(std::size_t n);

  // Defined below Value: their bodies need Value complete (clang checks
  // that where they stand, GCC only at the end of the file).
  std::size_t size() const;
  bool empty() const;
  const Member& operator[](std::size_t i) const;
  std::vector<Member>::const_iterator begin() const;
  std::vector<Member>::const_iterator end() const;

  friend bool operator==(const Object& a, const Object& b);

 private:
  std::size_t index_of(std::string_view key) const;  // size() when absent

  std::vector<Member> members_;
  // key -> position, built once the object grows past a few members.
  mutable std::unique_ptr<std::unordered_map<std::string, std::size_t>> index_;
};

class Value {
 public:
  enum class Kind : std::uint8_t { Null, Bool, UInt, NegInt, Float, String, Array, Object };

  Value() = default;
  Value(std::nullptr_t) {}
  explicit Value(bool b) : v_(b) {}
  explicit Value(std::string s) : v_(std::move(s)) {}
  explicit Value(std::string_view s) : v_(std::string(s)) {}
  explicit Value(const char* s) : v_(std::string(s)) {}
  explicit Value(Array a) : v_(std::move(a)) {}
  explicit Value(Object o) : v_(std::move(o)) {}

  static Value uint(std::uint64_t u) { Value v; v.v_ = u; return v; }
  // Negative integers only; a non-negative value is held in the unsigned form.
  static Value integer(std::int64_t i);
  // A non-finite double becomes null.
  static Value real(double d);

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::Null; }

  bool as_bool() const { return std::get<bool>(v_); }
  std::uint64_t as_uint() const { return std::get<std::uint64_t>(v_); }
  std::int64_t as_negint() const { return std::get<std::int64_t>(v_); }
  double as_float() const { return std::get<double>(v_); }
  const std::string& as_string() const { return std::get<std::string>(v_); }
  const Array& as_array() const { return std::get<Array>(v_); }
  Array& as_array() { return std::get<Array>(v_); }
  const Object& as_object() const { return std::get<Object>(v_); }
  Object& as_object() { return std::get<Object>(v_); }

  // Structural equality; object members compare in order. Floats compare by
  // value (the model holds no NaN).
  friend bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }

 private:
  std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, Array,
               Object>
      v_;
};

inline std::size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }
inline const Object::Member& Object::operator[](std::size_t i) const { return members_[i]; }
inline std::vector<Object::Member>::const_iterator Object::begin() const { return members_.begin(); }
inline std::vector<Object::Member>::const_iterator Object::end() const { return members_.end(); }

// The number of nested arrays and objects in `value` (0 for a scalar),
// counted no further than `limit`.
std::size_t nesting_depth(const Value& value, std::size_t limit);

}  // namespace tallyvox::json
