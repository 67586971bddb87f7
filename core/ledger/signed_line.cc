#include "core/json/text.h"
#include "core/ledger/signed.h"
#include "core/ledger/signed_read.h"

namespace tallyvox {

std::expected<void, JsonError> check_line_nesting(const SignedEvent& record) {
  const auto* called = std::get_if<ToolCalled>(&record.event);
  if (called == nullptr) return {};
  constexpr std::size_t kAround = 3;  // line, event, payload
  if (kAround + json::nesting_depth(called->args_redacted, json::kMaxNesting) < json::kMaxNesting) {
    return {};
  }
  return std::unexpected(JsonError{"recursion limit exceeded", std::nullopt});
}

std::expected<SignedEvent, JsonError> read_line(std::string_view line) {
  json::TextSource src(line);
  auto record = read_signed_event(src);
  if (!record) return record;
  if (auto end = src.finish(); !end) return std::unexpected(std::move(end.error()));
  return record;
}

std::expected<void, JsonError> read_line_head(std::string_view line, SignedEvent& record) {
  json::TextSource src(line);
  if (auto read = read_signed_head(src, record); !read) return read;
  return src.finish();
}

}  // namespace tallyvox
