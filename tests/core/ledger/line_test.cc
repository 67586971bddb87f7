#include <gtest/gtest.h>

#include <string>

#include "core/crypto/keys.h"
#include "core/ledger/signed.h"

namespace tallyvox {
namespace {

SignedEvent sample() {
  std::array<unsigned char, 32> seed{};
  seed[0] = 9;
  SigningKeypair kp = SigningKeypair::from_seed(seed);
  json::Object args;
  args.insert("q", json::Value("caf\xc3\xa9 \"x\"\t\x01"));
  args.insert("n", json::Value::real(1.5e-7));
  return seal_event(3, ToolCalled{"search", "h", json::Value(std::move(args))},
                    kGenesisParentHash, kp);
}

std::string line_of(const SignedEvent& r) {
  Buffer out;
  write_line(out, r);
  return out.str();
}

// What a reader that does not keep the event (resuming a ledger) reads: the
// record but its event, into a record that held another one before.
void expect_head(const std::string& line, const SignedEvent& expected) {
  SignedEvent head = sample();
  head.seq = 99;
  head.self_hash = std::string(200, 'z');
  auto read = read_line_head(line, head);
  ASSERT_TRUE(read) << display(read.error());
  head.event = expected.event;
  EXPECT_EQ(head, expected);
}

TEST(Line, RoundTripGivesTheSameRecordAndBytes) {
  SignedEvent r = sample();
  std::string line = line_of(r);
  EXPECT_EQ(line.find(' ', line.find("\"signer_pubkey\"")), std::string::npos);
  auto back = read_line(line);
  ASSERT_TRUE(back) << display(back.error());
  EXPECT_EQ(*back, r);
  EXPECT_EQ(line_of(*back), line);
  expect_head(line, r);
}

TEST(Line, OtherMemberOrderSpacesAndExtraMembersReadTheSame) {
  SignedEvent r = sample();
  std::string reordered = " {\"signer_pubkey\" : \"" + r.signer_pubkey + "\", \"extra\": [1, {\"a\": null}]," +
                          "\"signature\":\"" + r.signature + "\",\"self_hash\":\"" + r.self_hash +
                          "\",\"parent_hash\":\"" + r.parent_hash + "\",\"event\":" +
                          line_of(r).substr(line_of(r).find("{\"type\""),
                                            line_of(r).find(",\"parent_hash\"") -
                                                line_of(r).find("{\"type\"")) +
                          ",\"timestamp_nanos\":" + std::to_string(r.timestamp_nanos) +
                          ",\"seq\":3}\r\n\t";
  auto back = read_line(reordered);
  ASSERT_TRUE(back) << display(back.error());
  EXPECT_EQ(*back, r);
  expect_head(reordered, r);
}

TEST(Line, ArrayFormOfSevenValues) {
  SignedEvent r = sample();
  std::string line = line_of(r);
  std::size_t ev = line.find("{\"type\"");
  std::string event = line.substr(ev, line.find(",\"parent_hash\"") - ev);
  std::string seven = "[3," + std::to_string(r.timestamp_nanos) + "," + event + ",\"" +
                      r.parent_hash + "\",\"" + r.self_hash + "\",\"" + r.signature + "\",\"" +
                      r.signer_pubkey + "\"]";
  auto back = read_line(seven);
  ASSERT_TRUE(back) << display(back.error());
  EXPECT_EQ(*back, r);
  expect_head(seven, r);

  std::string six = seven.substr(0, seven.rfind(",\"")) + "]";
  EXPECT_EQ(read_line(six).error().message, "invalid length 6, expected struct SignedEvent with 7 elements");
  std::string eight = seven.substr(0, seven.size() - 1) + ",1]";
  EXPECT_EQ(read_line(eight).error().message, "trailing characters");
}

struct Refusal {
  const char* name;
  std::string (*edit)(std::string line);
  const char* message;
};

std::string replace(std::string s, const std::string& from, const std::string& to) {
  return s.replace(s.find(from), from.size(), to);
}

class LineRefusal : public ::testing::TestWithParam<Refusal> {};

// The reader that does not keep the event refuses the same lines, at the
// same place.
TEST_P(LineRefusal, Message) {
  std::string line = GetParam().edit(line_of(sample()));
  auto read = read_line(line);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().message, GetParam().message);
  ASSERT_TRUE(read.error().position);
  EXPECT_EQ(read.error().position->line, 1u);
  SignedEvent head;
  auto read_head = read_line_head(line, head);
  ASSERT_FALSE(read_head);
  EXPECT_EQ(display(read_head.error()), display(read.error()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, LineRefusal,
    ::testing::Values(
        Refusal{"seq_twice", [](std::string l) { return replace(l, "{\"seq\":3", "{\"seq\":3,\"seq\":3"); },
                "duplicate field `seq`"},
        Refusal{"no_signature",
                [](std::string l) { return replace(l, "\"signature\":", "\"signaturE\":"); },
                "missing field `signature`"},
        Refusal{"seq_negative", [](std::string l) { return replace(l, "\"seq\":3", "\"seq\":-1"); },
                "invalid value: integer `-1`, expected u64"},
        Refusal{"seq_float", [](std::string l) { return replace(l, "\"seq\":3", "\"seq\":1.0"); },
                "invalid type: floating point `1.0`, expected u64"},
        Refusal{"seq_too_large",
                [](std::string l) { return replace(l, "\"seq\":3", "\"seq\":18446744073709551616"); },
                "invalid type: floating point `1.8446744073709552e+19`, expected u64"},
        Refusal{"seq_string", [](std::string l) { return replace(l, "\"seq\":3", "\"seq\":\"1\""); },
                "invalid type: string \"1\", expected u64"},
        Refusal{"hash_number",
                [](std::string l) { return replace(l, "\"parent_hash\":\"", "\"parent_hash\":1,\"x\":\""); },
                "invalid type: integer `1`, expected a string"},
        Refusal{"two_records", [](std::string l) { return l + l; }, "trailing characters"},
        Refusal{"not_an_object", [](std::string) { return std::string("\"x\""); },
                "invalid type: string \"x\", expected struct SignedEvent"},
        Refusal{"torn", [](std::string l) { return l.substr(0, l.rfind('"')); },
                "EOF while parsing a string"},
        Refusal{"empty", [](std::string) { return std::string(); }, "EOF while parsing a value"},
        Refusal{"args_out_of_range", [](std::string l) { return replace(l, "1.5e-7", "1e999"); },
                "number out of range"},
        Refusal{"tool_name_number",
                [](std::string l) { return replace(l, "\"tool_name\":\"search\"", "\"tool_name\":7"); },
                "invalid type: integer `7`, expected a string"},
        Refusal{"payload_first_bad",
                [](std::string l) {
                  l = replace(l, "{\"type\":\"ToolCalled\",\"payload\":", "{\"payload\":");
                  l = replace(l, "}},\"parent_hash\"", "},\"type\":\"ToolCalled\"},\"parent_hash\"");
                  return replace(l, "\"args_redacted\"", "\"args_redacteD\"");
                },
                "missing field `args_redacted`"},
        Refusal{"bad_event",
                [](std::string l) { return replace(l, "\"ToolCalled\"", "\"Tool\""); },
                "unknown variant `Tool`, expected one of `SessionStarted`, `UtteranceCaptured`, "
                "`ToolCalled`, `ToolReturned`, `ModelInvoked`, `UtteranceSpoken`, `SessionEnded`"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Line, EveryTornPrefixIsAnEofError) {
  std::string line = line_of(sample());
  for (std::size_t n = 0; n < line.size(); ++n) {
    auto read = read_line(line.substr(0, n));
    ASSERT_FALSE(read) << n;
    EXPECT_EQ(read.error().message.rfind("EOF while parsing", 0), 0u) << n << ": " << read.error().message;
    SignedEvent head;
    auto read_head = read_line_head(line.substr(0, n), head);
    ASSERT_FALSE(read_head) << n;
    EXPECT_EQ(display(read_head.error()), display(read.error())) << n;
  }
}

}  // namespace
}  // namespace tallyvox
