#include "core/event.h"

#include "core/event_read.h"
#include "core/json_write.h"
#include "core/value_source.h"

namespace tallyvox {

namespace {

json::Value field_json(const std::string& v) { return json::Value(v); }
json::Value field_json(std::uint64_t v) { return json::Value::uint(v); }
json::Value field_json(std::uint32_t v) { return json::Value::uint(v); }
json::Value field_json(bool v) { return json::Value(v); }
json::Value field_json(const json::Value& v) { return v; }

void write_field(Buffer& out, const std::string& v) { json::write_string(out, v); }
void write_field(Buffer& out, std::uint64_t v) { json::write_uint(out, v); }
void write_field(Buffer& out, std::uint32_t v) { json::write_uint(out, v); }
void write_field(Buffer& out, bool v) { out.append(v ? "true" : "false"); }
void write_field(Buffer& out, const json::Value& v) { json::write_ordered(out, v); }

}  // namespace

std::string_view event_tag(const AgentEvent& event) {
  return std::visit([](const auto& v) { return std::decay_t<decltype(v)>::kTag; }, event);
}

json::Value event_to_json_value(const AgentEvent& event) {
  return std::visit(
      [](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        json::Object payload;
        payload.reserve(std::tuple_size_v<decltype(V::kFields)>);
        for_each_field(V::kFields, [&](const auto& field, std::size_t) {
          payload.append_unique(std::string(field.name), field_json(v.*(field.member)));
        });
        json::Object tagged;
        tagged.reserve(2);
        tagged.append_unique("type", json::Value(V::kTag));
        tagged.append_unique("payload", json::Value(std::move(payload)));
        return json::Value(std::move(tagged));
      },
      event);
}

void write_event(Buffer& out, const AgentEvent& event) {
  std::visit(
      [&](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        out.append(R"({"type":)");
        json::write_string(out, V::kTag);
        out.append(R"(,"payload":{)");
        for_each_field(V::kFields, [&](const auto& field, std::size_t index) {
          if (index) out.push_back(',');
          json::write_string(out, field.name);
          out.push_back(':');
          write_field(out, v.*(field.member));
        });
        out.append("}}");
      },
      event);
}

std::expected<AgentEvent, JsonError> event_from_json_value(const json::Value& value) {
  json::ValueSource src(value);
  return read_event(src);
}

}  // namespace tallyvox
