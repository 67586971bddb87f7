#include "core/ledger/event.h"

#include <array>

#include "core/json/canonical.h"
#include "core/json/value_source.h"
#include "core/json/write.h"
#include "core/ledger/event_read.h"

namespace tallyvox {

namespace {

json::Value field_json(const std::string& v) { return json::Value(v); }
json::Value field_json(std::uint64_t v) { return json::Value::uint(v); }
json::Value field_json(std::uint32_t v) { return json::Value::uint(v); }
json::Value field_json(bool v) { return json::Value(v); }
json::Value field_json(const json::Value& v) { return v; }

// Only a JSON value field has members whose order the two encodings treat
// differently: the line keeps insertion order, the canonical form sorts.
enum class Members { Ordered, Sorted };

void write_field(Buffer& out, const std::string& v, Members) { json::write_string(out, v); }
void write_field(Buffer& out, std::uint64_t v, Members) { json::write_uint(out, v); }
void write_field(Buffer& out, std::uint32_t v, Members) { json::write_uint(out, v); }
void write_field(Buffer& out, bool v, Members) { out.append(v ? "true" : "false"); }
void write_field(Buffer& out, const json::Value& v, Members members) {
  if (members == Members::Sorted) {
    json::write_canonical_json(out, v);
  } else {
    json::write_ordered(out, v);
  }
}

// The positions of a variant's fields in the byte order of their names.
template <class V>
constexpr auto sorted_field_order() {
  constexpr std::size_t n = std::tuple_size_v<decltype(V::kFields)>;
  std::array<std::string_view, n> names{};
  for_each_field(V::kFields, [&](const auto& field, std::size_t i) { names[i] = field.name; });
  std::array<std::size_t, n> order{};
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  for (std::size_t i = 1; i < n; ++i) {
    for (std::size_t j = i; j > 0 && names[order[j]] < names[order[j - 1]]; --j) {
      std::swap(order[j], order[j - 1]);
    }
  }
  return order;
}

// The payload object: fields in declaration order for the line, in the
// order of their names for the canonical form.
template <class V>
void write_payload(Buffer& out, const V& v, Members members) {
  static constexpr auto kSorted = sorted_field_order<V>();
  out.push_back('{');
  for (std::size_t k = 0; k < kSorted.size(); ++k) {
    std::size_t next = members == Members::Sorted ? kSorted[k] : k;
    for_each_field(V::kFields, [&](const auto& field, std::size_t index) {
      if (index != next) return;
      if (k) out.push_back(',');
      json::write_string(out, field.name);
      out.push_back(':');
      write_field(out, v.*(field.member), members);
    });
  }
  out.push_back('}');
}

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
        out.append(R"({"type":)");
        json::write_string(out, std::decay_t<decltype(v)>::kTag);
        out.append(R"(,"payload":)");
        write_payload(out, v, Members::Ordered);
        out.push_back('}');
      },
      event);
}

void write_canonical_event(Buffer& out, const AgentEvent& event) {
  std::visit(
      [&](const auto& v) {
        out.append(R"({"payload":)");  // "payload" sorts before "type"
        write_payload(out, v, Members::Sorted);
        out.append(R"(,"type":)");
        json::write_string(out, std::decay_t<decltype(v)>::kTag);
        out.push_back('}');
      },
      event);
}

std::expected<AgentEvent, JsonError> event_from_json_value(const json::Value& value) {
  json::ValueSource src(value);
  return read_event(src);
}

}  // namespace tallyvox
