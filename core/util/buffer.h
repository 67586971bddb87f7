// A growable byte buffer for the JSON writers: appends inline, with one
// capacity check and no terminator upkeep.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace tallyvox {

class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t capacity) { bytes_.resize(capacity); }

  // Room for n more bytes at the end; advance() commits what was written.
  char* tail(std::size_t n) {
    if (bytes_.size() - size_ < n) grow(n);
    return bytes_.data() + size_;
  }
  void advance(std::size_t n) { size_ += n; }

  void push_back(char c) {
    *tail(1) = c;
    ++size_;
  }
  void append(const char* p, std::size_t n) {
    std::memcpy(tail(n), p, n);
    size_ += n;
  }
  void append(std::string_view s) { append(s.data(), s.size()); }

  std::size_t size() const { return size_; }
  const char* data() const { return bytes_.data(); }
  std::string_view view() const { return std::string_view(bytes_.data(), size_); }
  std::string str() const { return std::string(view()); }
  void clear() { size_ = 0; }
  // Drops the storage when it grew past `limit` bytes.
  void trim(std::size_t limit) {
    if (bytes_.size() > limit) std::string().swap(bytes_);
    size_ = 0;
  }

 private:
  // Out of line, so that tail() and push_back() stay small enough to inline.
  [[gnu::noinline]] void grow(std::size_t n) {
    std::size_t want = bytes_.size() * 2;
    if (want < size_ + n) want = size_ + n;
    if (want < 64) want = 64;
    bytes_.resize(want);
  }

  std::string bytes_;  // storage; bytes past size_ are scratch
  std::size_t size_ = 0;
};

}  // namespace tallyvox
