#include "core/ledger/event.h"

#include <gtest/gtest.h>

#include <string>

#include "core/json/canonical.h"
#include "core/json/text.h"
#include "core/json/write.h"
#include "core/ledger/event_read.h"

namespace tallyvox {
namespace {

constexpr const char* kVariants =
    "`SessionStarted`, `UtteranceCaptured`, `ToolCalled`, `ToolReturned`, `ModelInvoked`, "
    "`UtteranceSpoken`, `SessionEnded`";

// Reads an event from JSON text twice: as text, and as the JSON value the
// text parses to. Both go through the same rules.
struct Both {
  std::expected<AgentEvent, JsonError> from_text;
  std::expected<AgentEvent, JsonError> from_value;
};

Both read_both(const std::string& text) {
  json::TextSource src(text);
  auto from_text = read_event(src);
  auto value = json::parse_json_text(text);
  EXPECT_TRUE(value) << text;
  return Both{std::move(from_text), event_from_json_value(*value)};
}

struct ErrorCase {
  std::string text;
  std::string message;
};

class EventReadError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(EventReadError, SameMessageFromTextAndFromValue) {
  Both both = read_both(GetParam().text);
  ASSERT_FALSE(both.from_value) << GetParam().text;
  ASSERT_FALSE(both.from_text) << GetParam().text;
  EXPECT_EQ(display(both.from_value.error()), GetParam().message);
  EXPECT_EQ(both.from_text.error().message, GetParam().message);
  ASSERT_TRUE(both.from_text.error().position.has_value());
  EXPECT_EQ(both.from_text.error().position->line, 1u);
}

const std::string kEnded = R"({"reason":"r","summary_sha256":"s"})";

// An event of `type` whose payload holds one member, `field`: `value`.
ErrorCase member(const char* type, const char* field, const char* value, const char* message) {
  return {std::string(R"({"type":")") + type + R"(","payload":{")" + field + "\":" + value + "}}", message};
}

INSTANTIATE_TEST_SUITE_P(
    Table, EventReadError,
    ::testing::Values(
        ErrorCase{R"({"type":"sessionEnded","payload":{}})",
                  std::string("unknown variant `sessionEnded`, expected one of ") + kVariants},
        ErrorCase{R"({"type":3,"payload":{}})", "invalid type: integer `3`, expected variant identifier"},
        ErrorCase{R"({"type":{},"payload":{}})", "invalid type: map, expected variant identifier"},
        ErrorCase{R"({"payload":{}})", "missing field `type`"},
        ErrorCase{R"({"payload":)" + kEnded + "}", "missing field `type`"},
        ErrorCase{R"({"type":"SessionEnded"})", "missing field `payload`"},
        ErrorCase{R"({"type":"SessionEnded","payload":{"reason":"r"}})",
                  "missing field `summary_sha256`"},
        ErrorCase{R"({"payload":{"reason":1},"type":"SessionEnded"})",
                  "invalid type: integer `1`, expected a string"},
        member("ModelInvoked", "prompt_tokens", "4294967296", "invalid value: integer `4294967296`, expected u32"),
        member("ModelInvoked", "prompt_tokens", "-1", "invalid value: integer `-1`, expected u32"),
        member("ModelInvoked", "prompt_tokens", "7.0", "invalid type: floating point `7.0`, expected u32"),
        member("ModelInvoked", "prompt_tokens", "\"7\"", "invalid type: string \"7\", expected u32"),
        member("ToolReturned", "success", "1", "invalid type: integer `1`, expected a boolean"),
        member("ToolReturned", "latency_ms", "-5", "invalid value: integer `-5`, expected u64"),
        member("ToolReturned", "latency_ms", "18446744073709551616",
               "invalid type: floating point `1.8446744073709552e+19`, expected u64"),
        member("ToolReturned", "latency_ms", "null", "invalid type: null, expected u64"),
        ErrorCase{R"({"type":"ToolCalled","payload":{"tool_name":"t","args_sha256":"h"}})",
                  "missing field `args_redacted`"},
        ErrorCase{R"({"type":"ToolCalled","payload":[1]})",
                  "invalid type: sequence, expected struct variant AgentEvent::ToolCalled"},
        ErrorCase{R"({"type":"ToolCalled","payload":null})",
                  "invalid type: null, expected struct variant AgentEvent::ToolCalled"},
        ErrorCase{R"("x")", "invalid type: string \"x\", expected adjacently tagged enum AgentEvent"},
        ErrorCase{"true", "invalid type: boolean `true`, expected adjacently tagged enum AgentEvent"},
        ErrorCase{"[]", "invalid length 0, expected adjacently tagged enum AgentEvent"},
        ErrorCase{R"(["SessionEnded"])", "invalid length 1, expected adjacently tagged enum AgentEvent"},
        ErrorCase{R"(["Nope",{}])", std::string("unknown variant `Nope`, expected one of ") + kVariants}));

// Only text can repeat a member: a JSON value keeps one member per key.
TEST(EventRead, DuplicateMembersFailWhenMet) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"type":"SessionEnded","type":"SessionEnded","payload":{}})", "duplicate field `type`"},
      {R"({"payload":{},"payload":{},"type":"SessionEnded"})", "duplicate field `payload`"},
      {R"({"type":"SessionEnded","payload":{"reason":"r","reason":"q"}})",
       "duplicate field `reason`"},
      {R"({"type":"SessionEnded","payload":{"reason":1,"reason":"q"}})",
       "invalid type: integer `1`, expected a string"},
  };
  for (const auto& [text, expected] : cases) {
    json::TextSource src(text);
    auto event = read_event(src);
    ASSERT_FALSE(event) << text;
    EXPECT_EQ(event.error().message, expected) << text;
  }
}

TEST(EventRead, ExtraArrayElementsDifferByForm) {
  std::string text = R"(["SessionEnded",)" + kEnded + ",1]";
  Both both = read_both(text);
  EXPECT_EQ(display(both.from_value.error()), "invalid length 3, expected fewer elements in array");
  EXPECT_EQ(both.from_text.error().message, "trailing characters");
  std::string trailing_comma = R"(["SessionEnded",)" + kEnded + ",]";
  json::TextSource comma(trailing_comma);
  EXPECT_EQ(read_event(comma).error().message, "trailing comma");
}

TEST(EventRead, HeldPayloadErrorsComeAfterAValidTag) {
  // A bad payload held before an unknown tag: the tag is reported.
  Both both = read_both(R"({"payload":{"reason":1},"type":"Nope"})");
  EXPECT_EQ(both.from_text.error().message,
            std::string("unknown variant `Nope`, expected one of ") + kVariants);
  // Syntax inside a held payload is checked when it is met.
  json::TextSource broken(R"({"payload":{"reason":tru},"type":"SessionEnded"})");
  EXPECT_EQ(read_event(broken).error().message, "expected ident");
}

TEST(EventRead, AcceptedShapesGiveTheSameEvent) {
  AgentEvent expected = SessionEnded{"r", "s"};
  for (std::string text : {R"({"type":"SessionEnded","payload":)" + kEnded + "}",
                           R"({"payload":)" + kEnded + R"(,"type":"SessionEnded"})",
                           R"(["SessionEnded",)" + kEnded + "]",
                           std::string(R"({"type":"SessionEnded","payload":{"reason":"r",)"
                                       R"("summary_sha256":"s","extra":[1,{"x":null}]},"note":true})"),
                           std::string(R"( { "type" : "Session\u0045nded" , "payload" : )") + kEnded + " }"}) {
    Both both = read_both(text);
    ASSERT_TRUE(both.from_text) << text << ": " << display(both.from_text.error());
    ASSERT_TRUE(both.from_value) << text;
    EXPECT_EQ(*both.from_text, expected) << text;
    EXPECT_EQ(*both.from_value, expected) << text;
  }
}

std::vector<AgentEvent> every_variant() {
  json::Object args;
  args.insert("z", json::Value::real(0.1));
  args.insert("a", json::Value(json::Array{json::Value(), json::Value(true), json::Value::integer(-7),
                                           json::Value::uint(18446744073709551615u)}));
  return {SessionStarted{"agent", "model", "s1"},
          UtteranceCaptured{"ab", "he said \"hi\"\n\t\x01 \xc3\xa9", "en", 18446744073709551615u},
          ToolCalled{"search", "h", json::Value(std::move(args))},
          ToolCalled{"search", "h", json::Value()},
          ToolReturned{"search", "r", 120, true},
          ModelInvoked{"m", "p", "r", 4294967295u, 0},
          UtteranceSpoken{"t", "", "a"},
          SessionEnded{"done", "ab"}};
}

TEST(EventRoundTrip, EveryVariantReadsBackEqualFromBothForms) {
  for (const AgentEvent& event : every_variant()) {
    Buffer text;
    write_event(text, event);
    Both both = read_both(text.str());
    ASSERT_TRUE(both.from_text) << text.view();
    EXPECT_EQ(*both.from_text, event) << text.view();
    auto from_value = event_from_json_value(event_to_json_value(event));
    ASSERT_TRUE(from_value);
    EXPECT_EQ(*from_value, event);
    // The text is the tagged mapping written in member order.
    Buffer again;
    json::write_ordered(again, event_to_json_value(event));
    EXPECT_EQ(text.view(), again.view());
    // The canonical form written directly is the canonical writer's, members sorted.
    Buffer canonical;
    write_canonical_event(canonical, event);
    EXPECT_EQ(canonical.str(), json::to_canonical_json(event_to_json_value(event)));
  }
}

TEST(EventWrite, ToolReturnedExample) {
  Buffer text;
  write_event(text, ToolReturned{"search", "ab12", 120, true});
  EXPECT_EQ(text.view(),
            R"({"type":"ToolReturned","payload":{"tool_name":"search","result_sha256":"ab12",)"
            R"("latency_ms":120,"success":true}})");
  EXPECT_EQ(event_tag(ToolReturned{}), "ToolReturned");
}

}  // namespace
}  // namespace tallyvox
