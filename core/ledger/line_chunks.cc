#include "core/ledger/line_chunks.h"

#include <cstring>

namespace tallyvox {

void LineCutter::take(std::string_view bytes) {
  // What was handed out goes only now, once per read, not once per run.
  buffer_.erase(0, front_);
  front_ = 0;
  std::size_t before = buffer_.size();
  buffer_.append(bytes);
  const void* lf = ::memrchr(buffer_.data() + before, '\n', bytes.size());
  if (lf != nullptr) line_start_ = static_cast<const char*>(lf) - buffer_.data() + 1;
}

LineChunk LineCutter::cut(std::size_t bytes) {
  LineChunk chunk{index_++, buffer_.substr(front_, bytes)};
  front_ += bytes;
  line_start_ -= bytes;
  return chunk;
}

std::optional<LineChunk> LineCutter::next() {
  // A line ends at or after the run's length: cut at the first such end.
  if (line_start_ < chunk_bytes_) return std::nullopt;
  const char* from = buffer_.data() + front_ + chunk_bytes_ - 1;
  const void* lf = std::memchr(from, '\n', line_start_ - (chunk_bytes_ - 1));
  return cut(static_cast<const char*>(lf) - (buffer_.data() + front_) + 1);
}

std::optional<LineChunk> LineCutter::whole_lines() {
  if (line_start_ == 0) return std::nullopt;
  return cut(line_start_);
}

std::optional<LineChunk> LineCutter::rest() {
  if (held() == 0) return std::nullopt;
  line_start_ = held();
  return cut(held());
}

}  // namespace tallyvox
