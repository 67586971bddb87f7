// The rules for reading a signed record, over any source (in practice the
// JSON text of one ledger line).
#pragma once

#include <array>
#include <expected>
#include <limits>
#include <string_view>

#include "core/ledger/event_read.h"
#include "core/ledger/signed.h"

namespace tallyvox {

namespace signed_read {

using json::Token;
using event_read::Read;

inline constexpr std::array<std::string_view, 7> kMembers = {
    "seq", "timestamp_nanos", "event", "parent_hash", "self_hash", "signature", "signer_pubkey"};

// Reads member `index` (record order) into `record`; unless kKeep, the
// event is checked and left out.
template <bool kKeep, class S>
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
      TALLYVOX_TRY(v, read_event<kKeep>(src));
      if constexpr (kKeep) record.event = std::move(*v);
      return {};
    }
    default: {
      std::string SignedEvent::*texts[] = {&SignedEvent::parent_hash, &SignedEvent::self_hash,
                                           &SignedEvent::signature, &SignedEvent::signer_pubkey};
      return event_read::text(src, record.*texts[index - 3]);
    }
  }
}

template <bool kKeep, class S>
Read<void> from_object(S& src, SignedEvent& record) {
  TALLYVOX_TRY(begin, src.begin_object());
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
    TALLYVOX_TRY(read, member<kKeep>(src, index, record));
  }
  for (std::size_t i = 0; i < kMembers.size(); ++i) {
    if (!seen[i]) return std::unexpected(src.error(event_read::missing_field(kMembers[i])));
  }
  return {};
}

inline constexpr std::string_view kArrayExpected = "struct SignedEvent with 7 elements";

template <bool kKeep, class S>
Read<void> from_array(S& src, SignedEvent& record) {
  TALLYVOX_TRY(begin, src.begin_array());
  for (std::size_t i = 0; i < kMembers.size(); ++i) {
    TALLYVOX_TRY(more, src.next_element());
    if (!*more) return std::unexpected(src.error(json::invalid_length(i, kArrayExpected)));
    TALLYVOX_TRY(read, member<kKeep>(src, i, record));
  }
  TALLYVOX_TRY(end, src.end_array(kMembers.size()));
  return {};
}

template <bool kKeep, class S>
Read<void> read_into(S& src, SignedEvent& record) {
  auto token = src.peek();
  if (!token) return std::unexpected(std::move(token.error()));
  if (*token == json::Token::Object) return from_object<kKeep>(src, record);
  if (*token == json::Token::Array) return from_array<kKeep>(src, record);
  return std::unexpected(json::invalid_type_error(src, *token, "struct SignedEvent"));
}

}  // namespace signed_read

template <class S>
std::expected<SignedEvent, JsonError> read_signed_event(S& src) {
  SignedEvent record;
  TALLYVOX_TRY(read, signed_read::read_into<true>(src, record));
  return record;
}

// A record by the same rules, its event checked but not kept: `record`'s
// event is left as it was, and its texts reuse their storage.
template <class S>
std::expected<void, JsonError> read_signed_head(S& src, SignedEvent& record) {
  return signed_read::read_into<false>(src, record);
}

}  // namespace tallyvox
