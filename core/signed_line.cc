#include "core/json_text.h"
#include "core/signed.h"
#include "core/signed_read.h"

namespace tallyvox {

std::expected<SignedEvent, JsonError> read_line(std::string_view line) {
  json::TextSource src(line);
  auto record = read_signed_event(src);
  if (!record) return record;
  if (auto end = src.finish(); !end) return std::unexpected(std::move(end.error()));
  return record;
}

}  // namespace tallyvox
