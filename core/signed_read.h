// The rules for reading a signed record, over any source (in practice the
// JSON text of one ledger line).
#pragma once

#include <array>
#include <expected>
#include <limits>
#include <string_view>

#include "core/event_read.h"
#include "core/signed.h"

namespace tallyvox {

namespace signed_read {

using json::Token;
using event_read::Read;

inline constexpr std::array<std::string_view, 7> kMembers = {
    "seq", "timestamp_nanos", "event", "parent_hash", "self_hash", "signature", "signer_pubkey"};

// Reads member `index` (record order) into `record`.
template <class S>
Read<void> member(S& src, std::size_t index, SignedEvent& record) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  switch (index) {
    case 0: {
      TALLYVOX_TRY(v, event_read::unsigned_int(src, kMax, "u64"));
      record.seq = *v;
      return {};
    }
    case 1: {
      TALLYVOX_TRY(v, event_read::unsigned_int(src, kMax, "u64"));
      record.timestamp_nanos = *v;
      return {};
    }
    case 2: {
      TALLYVOX_TRY(v, read_event(src));
      record.event = std::move(*v);
      return {};
    }
    default: {
      std::string SignedEvent::*texts[] = {&SignedEvent::parent_hash, &SignedEvent::self_hash,
                                           &SignedEvent::signature, &SignedEvent::signer_pubkey};
      TALLYVOX_TRY(v, event_read::text(src));
      record.*texts[index - 3] = std::move(*v);
      return {};
    }
  }
}

template <class S>
Read<SignedEvent> from_object(S& src) {
  TALLYVOX_TRY(begin, src.begin_object());
  SignedEvent record;
  std::array<bool, kMembers.size()> seen{};
  for (;;) {
    TALLYVOX_TRY(key, src.next_key());
    if (!*key) break;
    std::size_t index = 0;
    while (index < kMembers.size() && kMembers[index] != **key) ++index;
    if (index == kMembers.size()) {
      TALLYVOX_TRY(skipped, src.skip());
      continue;
    }
    if (seen[index]) return std::unexpected(src.error(event_read::duplicate_field(kMembers[index])));
    seen[index] = true;
    TALLYVOX_TRY(read, member(src, index, record));
  }
  for (std::size_t i = 0; i < kMembers.size(); ++i) {
    if (!seen[i]) return std::unexpected(src.error(event_read::missing_field(kMembers[i])));
  }
  return record;
}

inline constexpr std::string_view kArrayExpected = "struct SignedEvent with 7 elements";

template <class S>
Read<SignedEvent> from_array(S& src) {
  TALLYVOX_TRY(begin, src.begin_array());
  SignedEvent record;
  for (std::size_t i = 0; i < kMembers.size(); ++i) {
    TALLYVOX_TRY(more, src.next_element());
    if (!*more) return std::unexpected(src.error(json::invalid_length(i, kArrayExpected)));
    TALLYVOX_TRY(read, member(src, i, record));
  }
  TALLYVOX_TRY(end, src.end_array(kMembers.size()));
  return record;
}

}  // namespace signed_read

template <class S>
std::expected<SignedEvent, JsonError> read_signed_event(S& src) {
  auto token = src.peek();
  if (!token) return std::unexpected(std::move(token.error()));
  if (*token == json::Token::Object) return signed_read::from_object(src);
  if (*token == json::Token::Array) return signed_read::from_array(src);
  return std::unexpected(json::invalid_type_error(src, *token, "struct SignedEvent"));
}

}  // namespace tallyvox
