// The seven agent events. Each variant lists its fields once, in declaration
// order (the order they are written in); writing, reading and the Python
// factories all walk these lists.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>

#include "core/json/value.h"
#include "core/util/buffer.h"
#include "core/util/error.h"

namespace tallyvox {

template <class V, class T>
struct Field {
  std::string_view name;
  T V::*member;
  using Type = T;
};

template <class V, class T>
constexpr Field<V, T> field(std::string_view name, T V::*member) {
  return Field<V, T>{name, member};
}

// Calls fn(field, index) for each field of a variant's list, in order.
template <class Fields, class Fn>
constexpr void for_each_field(const Fields& fields, Fn&& fn) {
  std::apply([&](const auto&... each) {
    std::size_t index = 0;
    (fn(each, index++), ...);
  }, fields);
}

struct SessionStarted {
  static constexpr std::string_view kTag = "SessionStarted";
  friend bool operator==(const SessionStarted&, const SessionStarted&) = default;
  std::string agent_id, model_id, session_id;
  static constexpr auto kFields =
      std::make_tuple(field("agent_id", &SessionStarted::agent_id),
                      field("model_id", &SessionStarted::model_id),
                      field("session_id", &SessionStarted::session_id));
};

struct UtteranceCaptured {
  static constexpr std::string_view kTag = "UtteranceCaptured";
  friend bool operator==(const UtteranceCaptured&, const UtteranceCaptured&) = default;
  std::string audio_sha256, transcript, lang;
  std::uint64_t duration_ms = 0;
  static constexpr auto kFields =
      std::make_tuple(field("audio_sha256", &UtteranceCaptured::audio_sha256),
                      field("transcript", &UtteranceCaptured::transcript),
                      field("lang", &UtteranceCaptured::lang),
                      field("duration_ms", &UtteranceCaptured::duration_ms));
};

struct ToolCalled {
  static constexpr std::string_view kTag = "ToolCalled";
  friend bool operator==(const ToolCalled&, const ToolCalled&) = default;
  std::string tool_name, args_sha256;
  json::Value args_redacted;
  static constexpr auto kFields =
      std::make_tuple(field("tool_name", &ToolCalled::tool_name),
                      field("args_sha256", &ToolCalled::args_sha256),
                      field("args_redacted", &ToolCalled::args_redacted));
};

struct ToolReturned {
  static constexpr std::string_view kTag = "ToolReturned";
  friend bool operator==(const ToolReturned&, const ToolReturned&) = default;
  std::string tool_name, result_sha256;
  std::uint64_t latency_ms = 0;
  bool success = false;
  static constexpr auto kFields =
      std::make_tuple(field("tool_name", &ToolReturned::tool_name),
                      field("result_sha256", &ToolReturned::result_sha256),
                      field("latency_ms", &ToolReturned::latency_ms),
                      field("success", &ToolReturned::success));
};

struct ModelInvoked {
  static constexpr std::string_view kTag = "ModelInvoked";
  friend bool operator==(const ModelInvoked&, const ModelInvoked&) = default;
  std::string model_id, prompt_sha256, response_sha256;
  std::uint32_t prompt_tokens = 0, response_tokens = 0;
  static constexpr auto kFields =
      std::make_tuple(field("model_id", &ModelInvoked::model_id),
                      field("prompt_sha256", &ModelInvoked::prompt_sha256),
                      field("response_sha256", &ModelInvoked::response_sha256),
                      field("prompt_tokens", &ModelInvoked::prompt_tokens),
                      field("response_tokens", &ModelInvoked::response_tokens));
};

struct UtteranceSpoken {
  static constexpr std::string_view kTag = "UtteranceSpoken";
  friend bool operator==(const UtteranceSpoken&, const UtteranceSpoken&) = default;
  std::string text_sha256, text, audio_sha256;
  static constexpr auto kFields =
      std::make_tuple(field("text_sha256", &UtteranceSpoken::text_sha256),
                      field("text", &UtteranceSpoken::text),
                      field("audio_sha256", &UtteranceSpoken::audio_sha256));
};

struct SessionEnded {
  static constexpr std::string_view kTag = "SessionEnded";
  friend bool operator==(const SessionEnded&, const SessionEnded&) = default;
  std::string reason, summary_sha256;
  static constexpr auto kFields = std::make_tuple(
      field("reason", &SessionEnded::reason), field("summary_sha256", &SessionEnded::summary_sha256));
};

// Declaration order matters: it is the order of the "unknown variant" list.
using AgentEvent = std::variant<SessionStarted, UtteranceCaptured, ToolCalled, ToolReturned,
                                ModelInvoked, UtteranceSpoken, SessionEnded>;

std::string_view event_tag(const AgentEvent& event);

// The tagged mapping {"type": tag, "payload": {fields in order}}. Cannot fail.
json::Value event_to_json_value(const AgentEvent& event);

// Appends the tagged mapping as compact JSON text in member order.
void write_event(Buffer& out, const AgentEvent& event);

// Appends the tagged mapping in canonical form, without building it as a
// value: the bytes the canonical writer gives for event_to_json_value(event).
void write_canonical_event(Buffer& out, const AgentEvent& event);

// Reads an event by the reading rules; errors carry no position.
std::expected<AgentEvent, JsonError> event_from_json_value(const json::Value& value);

}  // namespace tallyvox
