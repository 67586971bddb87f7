// The rules for reading an event, written once over any source (a JSON value
// or JSON text), so that from_dict and the ledger reader cannot drift apart.
// Each read either keeps the event (kKeep) or only checks it, by the same
// rules and with the same errors, keeping none of its texts and values: what
// resuming a ledger needs of its events is that every line holds one.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/json/source.h"
#include "core/ledger/event.h"

namespace tallyvox {

namespace event_read {

using json::Token;
using json::Value;

template <class T>
using Read = std::expected<T, JsonError>;

// What a read that keeps nothing gives for an event.
struct Checked {};
template <bool kKeep>
using EventOf = std::conditional_t<kKeep, AgentEvent, Checked>;

// A string into `out`, or, unless kKeep, only checked.
template <bool kKeep = true, class S>
Read<void> text(S& src, std::string& out) {
  TALLYVOX_TRY(token, src.peek());
  if (*token != Token::String) return std::unexpected(json::invalid_type_error(src, *token, "a string"));
  if constexpr (kKeep) {
    return src.string(out);
  } else {
    return src.skip();  // a string is checked as it is skipped
  }
}

template <class S>
Read<std::string> text(S& src) {
  std::string out;
  TALLYVOX_TRY(read, text(src, out));
  return out;
}

template <class S>
Read<bool> boolean(S& src) {
  TALLYVOX_TRY(token, src.peek());
  if (*token != Token::Bool) return std::unexpected(json::invalid_type_error(src, *token, "a boolean"));
  TALLYVOX_TRY(v, src.scalar());
  return v->as_bool();
}

// An unsigned integer up to `max`; `expected` names the field type.
template <class S>
Read<std::uint64_t> unsigned_int(S& src, std::uint64_t max, std::string_view expected) {
  TALLYVOX_TRY(token, src.peek());
  if (*token != Token::Number) return std::unexpected(json::invalid_type_error(src, *token, expected));
  TALLYVOX_TRY(v, src.scalar());
  if (v->kind() == Value::Kind::UInt && v->as_uint() <= max) return v->as_uint();
  if (v->kind() == Value::Kind::Float) {
    return std::unexpected(src.error(json::invalid_type(json::found(*v), expected)));
  }
  return std::unexpected(src.error(json::invalid_value(json::found(*v), expected)));
}

template <bool kKeep, class S>
Read<void> field_value(S& src, std::string& out) {
  return text<kKeep>(src, out);
}
template <bool kKeep, class S>
Read<void> field_value(S& src, bool& out) {
  TALLYVOX_TRY(v, boolean(src));
  out = *v;
  return {};
}
template <bool kKeep, class S>
Read<void> field_value(S& src, std::uint64_t& out) {
  TALLYVOX_TRY(v, unsigned_int(src, std::numeric_limits<std::uint64_t>::max(), "u64"));
  out = *v;
  return {};
}
template <bool kKeep, class S>
Read<void> field_value(S& src, std::uint32_t& out) {
  TALLYVOX_TRY(v, unsigned_int(src, std::numeric_limits<std::uint32_t>::max(), "u32"));
  out = static_cast<std::uint32_t>(*v);
  return {};
}
template <bool kKeep, class S>
Read<void> field_value(S& src, Value& out) {
  if constexpr (!kKeep) return src.check();
  TALLYVOX_TRY(v, src.value());
  out = std::move(*v);
  return {};
}

inline std::string backquoted(std::string_view name) {
  std::string out = "`";
  out += name;
  out += "`";
  return out;
}

inline std::string duplicate_field(std::string_view name) {
  return "duplicate field " + backquoted(name);
}

inline std::string missing_field(std::string_view name) { return "missing field " + backquoted(name); }

// Members in any order; known names read as their field, others skipped.
template <class V, bool kKeep, class S>
Read<V> payload(S& src) {
  TALLYVOX_TRY(token, src.peek());
  if (*token != Token::Object) {
    std::string expected = "struct variant AgentEvent::";
    expected += V::kTag;
    return std::unexpected(json::invalid_type_error(src, *token, expected));
  }
  TALLYVOX_TRY(begin, src.begin_object());
  constexpr std::size_t kCount = std::tuple_size_v<decltype(V::kFields)>;
  V event{};
  std::array<bool, kCount> seen{};
  for (;;) {
    TALLYVOX_TRY(key, src.next_key());
    if (!*key) break;
    bool matched = false;
    Read<void> read;
    for_each_field(V::kFields, [&](const auto& field, std::size_t i) {
      if (matched || field.name != **key) return;
      matched = true;
      if (seen[i]) {
        read = std::unexpected(src.error(duplicate_field(field.name)));
      } else {
        seen[i] = true;
        read = field_value<kKeep>(src, event.*(field.member));
      }
    });
    if (!read) return std::unexpected(std::move(read.error()));
    if (!matched) {
      TALLYVOX_TRY(skipped, src.skip());
    }
  }
  std::optional<std::string_view> missing;
  for_each_field(V::kFields, [&](const auto& field, std::size_t i) {
    if (!missing && !seen[i]) missing = field.name;
  });
  if (missing) return std::unexpected(src.error(missing_field(*missing)));
  return event;
}

// The tag: a string naming one of the seven variants.
template <class S>
Read<std::size_t> tag(S& src) {
  TALLYVOX_TRY(token, src.peek());
  if (*token != Token::String) {
    return std::unexpected(json::invalid_type_error(src, *token, "variant identifier"));
  }
  TALLYVOX_TRY(name, src.string());
  constexpr std::size_t kVariants = std::variant_size_v<AgentEvent>;
  std::size_t found = kVariants;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((std::variant_alternative_t<I, AgentEvent>::kTag == *name ? (found = I, 0) : 0), ...);
  }(std::make_index_sequence<kVariants>());
  if (found < kVariants) return found;
  std::string list;  // only for the error: every line names a variant
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((list += (I ? ", `" : "`"), list += std::variant_alternative_t<I, AgentEvent>::kTag, list += "`"), ...);
  }(std::make_index_sequence<kVariants>());
  return std::unexpected(src.error("unknown variant " + backquoted(*name) + ", expected one of " + list));
}

template <bool kKeep, class S>
Read<EventOf<kKeep>> payload_of(S& src, std::size_t variant) {
  Read<EventOf<kKeep>> out = std::unexpected(JsonError{});
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((variant == I ? (void)(out = [&]() -> Read<EventOf<kKeep>> {
       auto p = payload<std::variant_alternative_t<I, AgentEvent>, kKeep>(src);
       if (!p) return std::unexpected(std::move(p.error()));
       if constexpr (kKeep) {
         return AgentEvent(std::in_place_index<I>, std::move(*p));
       } else {
         return Checked{};
       }
     }())
                   : (void)0),
     ...);
  }(std::make_index_sequence<std::variant_size_v<AgentEvent>>());
  return out;
}

inline constexpr std::string_view kEventExpected = "adjacently tagged enum AgentEvent";

template <bool kKeep, class S>
Read<EventOf<kKeep>> from_object(S& src) {
  TALLYVOX_TRY(begin, src.begin_object());
  std::optional<std::size_t> variant;
  std::optional<EventOf<kKeep>> event;
  std::optional<typename S::Held> held;
  bool seen_payload = false;
  for (;;) {
    TALLYVOX_TRY(key, src.next_key());
    if (!*key) break;
    if (**key == "type") {
      if (variant) return std::unexpected(src.error(duplicate_field("type")));
      TALLYVOX_TRY(t, tag(src));
      variant = *t;
      if (held) {
        // The payload came first: read it now that the variant is known.
        S payload_src = src.open(*held);
        TALLYVOX_TRY(e, payload_of<kKeep>(payload_src, *variant));
        event = std::move(*e);
      }
    } else if (**key == "payload") {
      if (seen_payload) return std::unexpected(src.error(duplicate_field("payload")));
      seen_payload = true;
      if (variant) {
        TALLYVOX_TRY(e, payload_of<kKeep>(src, *variant));
        event = std::move(*e);
      } else {
        TALLYVOX_TRY(h, src.hold());
        held = *h;
      }
    } else {
      TALLYVOX_TRY(skipped, src.skip());
    }
  }
  if (!variant) return std::unexpected(src.error(missing_field("type")));
  if (!seen_payload) return std::unexpected(src.error(missing_field("payload")));
  return std::move(*event);
}

template <bool kKeep, class S>
Read<EventOf<kKeep>> from_array(S& src) {
  TALLYVOX_TRY(begin, src.begin_array());
  TALLYVOX_TRY(has_tag, src.next_element());
  if (!*has_tag) return std::unexpected(src.error(json::invalid_length(0, kEventExpected)));
  TALLYVOX_TRY(t, tag(src));
  TALLYVOX_TRY(has_payload, src.next_element());
  if (!*has_payload) return std::unexpected(src.error(json::invalid_length(1, kEventExpected)));
  TALLYVOX_TRY(e, payload_of<kKeep>(src, *t));
  TALLYVOX_TRY(end, src.end_array(2));
  return std::move(*e);
}

}  // namespace event_read

// Reads an event, in its object form (members in any order) or its array
// form [tag, payload]; unless kKeep, only checked.
template <bool kKeep = true, class S>
std::expected<event_read::EventOf<kKeep>, JsonError> read_event(S& src) {
  auto token = src.peek();
  if (!token) return std::unexpected(std::move(token.error()));
  if (*token == json::Token::Object) return event_read::from_object<kKeep>(src);
  if (*token == json::Token::Array) return event_read::from_array<kKeep>(src);
  return std::unexpected(json::invalid_type_error(src, *token, event_read::kEventExpected));
}

}  // namespace tallyvox
