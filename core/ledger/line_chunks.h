// A ledger's bytes cut into runs of whole lines, so that threads can read
// the runs apart: a run ends just after an LF (the last may end where the
// file does), never inside a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallyvox {

struct LineChunk {
  std::uint64_t index = 0;  // from 0, in file order
  std::string bytes;        // whole lines with their LFs; the file's last may lack its LF
};

// Takes the bytes as they are read and hands out runs of at least
// `chunk_bytes`, each cut at the first LF from there on. A line still
// without its LF is watched against `max_line_bytes`: it never grows the
// buffer much past the limit.
class LineCutter {
 public:
  LineCutter(std::size_t chunk_bytes, std::size_t max_line_bytes)
      : chunk_bytes_(chunk_bytes < 1 ? 1 : chunk_bytes), max_line_bytes_(max_line_bytes) {}

  void take(std::string_view bytes);
  // The next run that is due, if the bytes taken hold one.
  std::optional<LineChunk> next();
  // True when the line that has not ended yet is longer than the limit
  // (its LF not counted): the reader then takes no more bytes.
  bool line_too_long() const { return held() - line_start_ > max_line_bytes_; }
  // The whole lines held, even fewer than a run; none when there are none.
  std::optional<LineChunk> whole_lines();
  // At the end of the file: everything held, the last line with or without LF.
  std::optional<LineChunk> rest();

 private:
  std::size_t held() const { return buffer_.size() - front_; }
  LineChunk cut(std::size_t bytes);

  const std::size_t chunk_bytes_;
  const std::size_t max_line_bytes_;
  std::string buffer_;
  std::size_t front_ = 0;       // bytes of buffer_ already handed out
  std::size_t line_start_ = 0;  // where the line without its LF starts, from front_
  std::uint64_t index_ = 0;
};

}  // namespace tallyvox
