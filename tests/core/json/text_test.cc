#include "core/json/text.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/json/write.h"
#include "core/util/buffer.h"

namespace tallyvox::json {
namespace {

// Equality that also tells -0.0 from 0.0 and compares floats bit for bit.
::testing::AssertionResult Identical(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return ::testing::AssertionFailure() << "kinds differ";
  switch (a.kind()) {
    case Value::Kind::Float:
      if (std::bit_cast<std::uint64_t>(a.as_float()) != std::bit_cast<std::uint64_t>(b.as_float())) {
        return ::testing::AssertionFailure()
               << "floats differ: " << a.as_float() << " vs " << b.as_float();
      }
      return ::testing::AssertionSuccess();
    case Value::Kind::Array: {
      const Array& x = a.as_array();
      const Array& y = b.as_array();
      if (x.size() != y.size()) return ::testing::AssertionFailure() << "array sizes differ";
      for (std::size_t i = 0; i < x.size(); ++i) {
        auto r = Identical(x[i], y[i]);
        if (!r) return r << " at [" << i << "]";
      }
      return ::testing::AssertionSuccess();
    }
    case Value::Kind::Object: {
      const Object& x = a.as_object();
      const Object& y = b.as_object();
      if (x.size() != y.size()) return ::testing::AssertionFailure() << "object sizes differ";
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].first != y[i].first) {
          return ::testing::AssertionFailure() << "key " << i << ": " << x[i].first << " vs "
                                               << y[i].first;
        }
        auto r = Identical(x[i].second, y[i].second);
        if (!r) return r << " at ." << x[i].first;
      }
      return ::testing::AssertionSuccess();
    }
    default:
      if (a == b) return ::testing::AssertionSuccess();
      return ::testing::AssertionFailure() << "values differ";
  }
}

std::string outcome(const std::expected<Value, JsonError>& r) {
  return r ? std::string("accepted") : display(r.error());
}

std::string outcome(const std::expected<void, JsonError>& r) {
  return r ? std::string("accepted") : display(r.error());
}

// Reads a whole value through the streaming operations only (peek, scalar,
// string, begin_*/next_key/next_element), as the record readers do.
std::expected<Value, JsonError> stream_value(TextSource& src) {
  auto token = src.peek();
  if (!token) return std::unexpected(token.error());
  switch (*token) {
    case Token::Object: {
      if (auto b = src.begin_object(); !b) return std::unexpected(b.error());
      Object object;
      for (;;) {
        auto key = src.next_key();
        if (!key) return std::unexpected(key.error());
        if (!*key) return Value(std::move(object));
        std::string name(**key);
        auto item = stream_value(src);
        if (!item) return item;
        object.insert(std::move(name), std::move(*item));
      }
    }
    case Token::Array: {
      if (auto b = src.begin_array(); !b) return std::unexpected(b.error());
      Array items;
      for (;;) {
        auto more = src.next_element();
        if (!more) return std::unexpected(more.error());
        if (!*more) return Value(std::move(items));
        auto item = stream_value(src);
        if (!item) return item;
        items.push_back(std::move(*item));
      }
    }
    case Token::String: {
      auto s = src.string();
      if (!s) return std::unexpected(s.error());
      return Value(std::move(*s));
    }
    default:
      return src.scalar();
  }
}

std::expected<Value, JsonError> stream_text(std::string_view text) {
  TextSource src(text);
  auto v = stream_value(src);
  if (!v) return v;
  if (auto end = src.finish(); !end) return std::unexpected(end.error());
  return v;
}

std::expected<void, JsonError> skip_text(std::string_view text) {
  TextSource src(text);
  if (auto s = src.skip(); !s) return s;
  return src.finish();
}

// The check a reader that keeps nothing makes: value()'s verdict, numbers
// converted, nothing built.
std::expected<void, JsonError> check_text(std::string_view text) {
  TextSource src(text);
  if (auto c = src.check(); !c) return c;
  return src.finish();
}

std::expected<Value, JsonError> held_text(std::string_view text) {
  TextSource src(text);
  auto held = src.hold();
  if (!held) return std::unexpected(held.error());
  if (auto end = src.finish(); !end) return std::unexpected(end.error());
  return src.open(*held).value();
}

// The next member name, "}" after the closing brace, or the error text.
std::string next_name(TextSource& src) {
  auto key = src.next_key();
  if (!key) return display(key.error());
  return *key ? std::string(**key) : "}";
}

std::string nested(std::size_t levels, bool objects) {
  std::string s;
  for (std::size_t i = 0; i < levels; ++i) s += objects ? "{\"k\":" : "[";
  s += "0";
  for (std::size_t i = 0; i < levels; ++i) s += objects ? "}" : "]";
  return s;
}

// ------------------------------------------------------------ syntax errors

struct ErrorCase {
  std::string text;
  std::string expected;  // display text of the error
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.text); }

class JsonTextError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(JsonTextError, ParseReportsMessageAndPosition) {
  EXPECT_EQ(outcome(parse_json_text(GetParam().text)), GetParam().expected);
}

// The record readers go through peek/next_key/next_element rather than
// value(); they must refuse the same texts at the same places.
TEST_P(JsonTextError, StreamingOperationsReportTheSame) {
  EXPECT_EQ(outcome(stream_text(GetParam().text)), GetParam().expected);
  EXPECT_EQ(outcome(check_text(GetParam().text)), GetParam().expected);
}

// Skipping and holding check the same syntax (a too-large number is only
// refused once it is converted, which held_text does).
TEST_P(JsonTextError, SkipAndHoldReportTheSame) {
  const auto& [text, expected] = GetParam();
  EXPECT_EQ(outcome(held_text(text)), expected);
  if (expected.starts_with("number out of range")) {
    EXPECT_EQ(outcome(skip_text(text)), "accepted");
  } else {
    EXPECT_EQ(outcome(skip_text(text)), expected);
  }
}

ErrorCase at(std::string text, std::string message, int column, int line = 1) {
  return ErrorCase{std::move(text), message + " at line " + std::to_string(line) + " column " +
                                        std::to_string(column)};
}

const char* const kEofValue = "EOF while parsing a value";
const char* const kEofList = "EOF while parsing a list";
const char* const kEofObject = "EOF while parsing an object";
const char* const kEofString = "EOF while parsing a string";
const char* const kControl = "control character (\\u0000-\\u001F) found while parsing a string";
const char* const kLone = "lone leading surrogate in hex escape";
const char* const kHexEnd = "unexpected end of hex escape";

INSTANTIATE_TEST_SUITE_P(
    JsonSyntax, JsonTextError,
    ::testing::Values(
        // Where a value is due.
        at("", kEofValue, 0), at("  \t", kEofValue, 3), at("x", "expected value", 1),
        at("]", "expected value", 1), at("[,1]", "expected value", 2),
        at("{\"a\":}", "expected value", 6), at(".5", "expected value", 1),
        at("+1", "expected value", 1),
        // Only space, tab, CR and LF are whitespace.
        at("\f1", "expected value", 1), at("\v1", "expected value", 1),
        at("\xc2\xa0" "1", "expected value", 1), at("1\f", "trailing characters", 2),
        // Literals.
        at("tru", kEofValue, 3), at("trux", "expected ident", 4), at("nul", kEofValue, 3),
        at("nulL", "expected ident", 4), at("fals e", "expected ident", 5),
        at("f", kEofValue, 1), at("[tru]", "expected ident", 5),
        at("{\"a\":nil}", "expected ident", 7),
        // Arrays.
        at("[", kEofList, 1), at("[1", kEofList, 2), at("[1 ", kEofList, 3),
        at("[1,", kEofValue, 3), at("[1 2]", "expected `,` or `]`", 4),
        at("[1:2]", "expected `,` or `]`", 3), at("[1,]", "trailing comma", 4),
        at("[1, \n]", "trailing comma", 1, 2), at("[{} {}]", "expected `,` or `]`", 5),
        at("[[] []]", "expected `,` or `]`", 5), at("[[],,]", "expected value", 5),
        // Objects.
        at("{", kEofObject, 1), at("{\"a\"", kEofObject, 4), at("{\"a\":", kEofValue, 5),
        at("{\"a\":1", kEofObject, 6), at("{\"a\":1,", kEofValue, 7),
        at("{1:2}", "key must be a string", 2), at("{,}", "key must be a string", 2),
        at("{\"a\":1,2:3}", "key must be a string", 8), at("{\"a\" 1}", "expected `:`", 6),
        at("{\"a\",1}", "expected `:`", 5), at("{\"a\":1 \"b\":2}", "expected `,` or `}`", 8),
        at("{\"a\":1]", "expected `,` or `}`", 7), at("{\"a\":1,}", "trailing comma", 8),
        at("{\"a\":{} \"b\":1}", "expected `,` or `}`", 9),
        at("{\"a\":[] \"b\":1}", "expected `,` or `}`", 9),
        // After the value.
        at("[1]x", "trailing characters", 4), at("1 2", "trailing characters", 3),
        at("{} {}", "trailing characters", 4), at("\"a\"\"b\"", "trailing characters", 4),
        at("1.5.3", "trailing characters", 4), at("truex", "trailing characters", 5),
        // Strings.
        at("\"abc", kEofString, 4), at("\"", kEofString, 1), at("\"abcdefghijklmnop", kEofString, 17),
        at("\"a\x01\"", kControl, 3), at(std::string("\"\0\"", 3), kControl, 2),
        at("\"a\x1f\"", kControl, 3), at("\"a\nb\"", kControl, 3), at("\"a\tb\"", kControl, 3),
        at("{\"k\x02\":1}", kControl, 4), at("\"\\x\"", "invalid escape", 3),
        at("\"\\U0041\"", "invalid escape", 3), at("\"\\'\"", "invalid escape", 3),
        at("\"\\", kEofString, 2), at("\"\\u12\"", kHexEnd, 6), at("\"\\u12", kEofString, 5),
        at("\"\\u12g4\"", kHexEnd, 6), at("\"\\u\"", kHexEnd, 4),
        at("\"\\ud800\"", kLone, 8), at("\"\\ud800x\"", kLone, 8), at("\"\\ud800\\n\"", kLone, 9),
        at("\"\\ud800\\u0041\"", kLone, 13), at("\"\\udbff\\ud800\"", kLone, 13),
        at("\"\\ud800\\ue000\"", kLone, 13), at("\"\\ud800\\u00\"", kHexEnd, 12),
        at("\"\\ud800", kEofString, 7), at("\"\\ud800\\", kEofString, 8),
        at("\"\\ud800\\u", kEofString, 9), at("\"\\ud800\\udc", kEofString, 11),
        at("\"\\udc00\"", "invalid unicode code point", 7),
        at("\"\\uDFFF\\ud800\"", "invalid unicode code point", 7),
        // Numbers.
        at("01", "invalid number", 2), at("-01", "invalid number", 3),
        at("00", "invalid number", 2), at("-x", "invalid number", 2),
        at("-", kEofValue, 1), at("[-]", "invalid number", 3), at("1.", kEofValue, 2),
        at("1.x", "invalid number", 3), at("1.e5", "invalid number", 3),
        at("[1.]", "invalid number", 4), at("1e", kEofValue, 2), at("1e+", kEofValue, 3),
        at("1e+]", "invalid number", 4), at("1ex", "invalid number", 3),
        at("-.5", "invalid number", 2),
        at("1e400", "number out of range", 5), at("-1e400", "number out of range", 6),
        at("[1.7976931348623159e308]", "number out of range", 23),
        at("1" + std::string(309, '0'), "number out of range", 310),
        at("0.00001e314", "number out of range", 11),
        at("1e99999999999999999999", "number out of range", 22),
        // Nesting: the 128th level is refused where it opens.
        at(nested(128, false), "recursion limit exceeded", 128),
        at(nested(128, true), "recursion limit exceeded", 128 * 5 - 4),
        at(std::string(100000, '['), "recursion limit exceeded", 128),
        // Lines and columns past line breaks.
        at("[1,\n", kEofValue, 0, 2), at("\n\n  x", "expected value", 3, 3),
        at("{\r\n\"a\":\n tru}", "expected ident", 5, 3), at("\n", kEofValue, 0, 2)));

// ------------------------------------------------------------ accepted texts

struct AcceptCase {
  std::string text;
  Value expected;
};

void PrintTo(const AcceptCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.text); }

class JsonTextAccept : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(JsonTextAccept, ParsesTo) {
  auto v = parse_json_text(GetParam().text);
  ASSERT_TRUE(v) << display(v.error());
  EXPECT_TRUE(Identical(*v, GetParam().expected));
}

TEST_P(JsonTextAccept, StreamingOperationsReadTheSame) {
  auto v = stream_text(GetParam().text);
  ASSERT_TRUE(v) << display(v.error());
  EXPECT_TRUE(Identical(*v, GetParam().expected));
  EXPECT_EQ(outcome(skip_text(GetParam().text)), "accepted");
  EXPECT_EQ(outcome(check_text(GetParam().text)), "accepted");
}

AcceptCase reads(std::string text, Value expected) {
  return AcceptCase{std::move(text), std::move(expected)};
}

Value array(std::initializer_list<Value> items) { return Value(Array(items)); }

Value object(std::initializer_list<std::pair<const char*, Value>> members) {
  Object o;
  for (const auto& [k, v] : members) o.insert(k, v);
  return Value(std::move(o));
}

INSTANTIATE_TEST_SUITE_P(
    JsonNumbers, JsonTextAccept,
    ::testing::Values(
        reads("0", Value::uint(0)), reads("7", Value::uint(7)), reads("-1", Value::integer(-1)),
        reads("18446744073709551615", Value::uint(18446744073709551615ull)),
        reads("18446744073709551616", Value::real(1.8446744073709552e19)),
        reads("99999999999999999999", Value::real(1e20)),
        reads("100000000000000000000", Value::real(1e20)),
        reads("-9223372036854775808", Value::integer(std::numeric_limits<std::int64_t>::min())),
        reads("-9223372036854775809", Value::real(-9223372036854775809.0)),
        reads("-10000000000000000000", Value::real(-1e19)),
        reads("-0", Value::real(-0.0)), reads("-0.0", Value::real(-0.0)),
        reads("0.0", Value::real(0.0)), reads("0e400", Value::real(0.0)),
        reads("1e-400", Value::real(0.0)), reads("-1e-400", Value::real(-0.0)),
        reads("1e-99999999999999999999", Value::real(0.0)),
        reads("0.0000000000000000000000000000000000000001e-300", Value::real(0.0)),
        reads("1.5", Value::real(1.5)), reads("1E2", Value::real(100.0)),
        reads("1e+2", Value::real(100.0)), reads("1e-2", Value::real(0.01)),
        reads("12.5E-1", Value::real(1.25)), reads("0.1", Value::real(0.1)),
        reads("1.0", Value::real(1.0)), reads("5e-324", Value::real(5e-324)),
        reads("2.2250738585072014e-308", Value::real(2.2250738585072014e-308)),
        reads("1.7976931348623157e308", Value::real(1.7976931348623157e308)),
        reads("123456789012345678901234567890", Value::real(1.2345678901234568e29)),
        // Halfway between two doubles: must round to even, not drift.
        reads("9007199254740993", Value::uint(9007199254740993ull)),
        reads("9007199254740993.0", Value::real(9007199254740992.0)),
        reads("2.4703282292062328e-324", Value::real(5e-324)),
        reads(" \t\r\n7 \n", Value::uint(7))));

INSTANTIATE_TEST_SUITE_P(
    JsonStrings, JsonTextAccept,
    ::testing::Values(
        reads("\"\"", Value("")), reads("\"abc\"", Value("abc")),
        reads(R"("\" \\ \/ \b \f \n \r \t")", Value("\" \\ / \b \f \n \r \t")),
        reads(R"("\u0041\u00e9\u00E9\u00c9")", Value("A\xc3\xa9\xc3\xa9\xc3\x89")),
        reads(R"("\u0000")", Value(std::string("\0", 1))),
        reads(R"("\u20AC\u20ac")", Value("\xe2\x82\xac\xe2\x82\xac")),
        reads(R"("\ud83d\ude00")", Value("\xf0\x9f\x98\x80")),
        reads(R"("\uD83D\uDE00x")", Value("\xf0\x9f\x98\x80x")),
        reads(R"("\ud800\udc00")", Value("\xf0\x90\x80\x80")),
        reads(R"("\udbff\udfff")", Value("\xf4\x8f\xbf\xbf")),
        reads("\"\xc3\xa9\xf0\x9f\x98\x80/\x7f\"", Value("\xc3\xa9\xf0\x9f\x98\x80/\x7f")),
        reads(R"("0123456789abcdef\n0123456789abcdef\\")",
              Value("0123456789abcdef\n0123456789abcdef\\")),
        reads(R"("\"\"\"\"\"\"\"\"\"\"")", Value("\"\"\"\"\"\"\"\"\"\""))));

INSTANTIATE_TEST_SUITE_P(
    JsonContainers, JsonTextAccept,
    ::testing::Values(
        reads("true", Value(true)), reads("false", Value(false)), reads("null", Value()),
        reads("[]", array({})), reads("[ ]", array({})), reads("{}", object({})),
        reads("{ \n}", object({})),
        reads("\t[ 1 ,\r\n \"a\" ,null,[true] ]\n",
              array({Value::uint(1), Value("a"), Value(), array({Value(true)})})),
        reads(R"({"b" : [] , "a":{"c":-2}})",
              object({{"b", array({})}, {"a", object({{"c", Value::integer(-2)}})}})),
        reads(R"({"a\u0062":1,"":2})", object({{"ab", Value::uint(1)}, {"", Value::uint(2)}})),
        // A repeated key keeps its first place and takes the later value.
        reads(R"({"a":1,"b":2,"a":3})", object({{"a", Value::uint(3)}, {"b", Value::uint(2)}})),
        reads(R"({"a":1,"\u0061":[]})", object({{"a", array({})}}))));

TEST(JsonTextNesting, LimitHoldsForEveryWayIn) {
  for (bool objects : {false, true}) {
    for (std::size_t levels : {127u, 128u}) {
      std::string text = nested(levels, objects);
      std::string expected = levels == 127 ? "accepted" : "recursion limit exceeded";
      SCOPED_TRACE(text.substr(0, 12) + " x" + std::to_string(levels));
      EXPECT_TRUE(outcome(parse_json_text(text)).starts_with(expected));
      EXPECT_TRUE(outcome(stream_text(text)).starts_with(expected));
      EXPECT_TRUE(outcome(skip_text(text)).starts_with(expected));
      EXPECT_TRUE(outcome(held_text(text)).starts_with(expected));
    }
  }
  // Levels opened by begin_* count for what is skipped, held, streamed or
  // read inside: 126 more are the limit, 127 one too many.
  for (std::size_t levels : {126u, 127u}) {
    for (bool objects : {false, true}) {
      std::string wrapped = objects ? "{\"k\":" + nested(levels, true) + "}" : "[" + nested(levels, false) + "]";
      for (int way = 0; way < 4; ++way) {
        TextSource src(wrapped);
        if (objects) {
          ASSERT_TRUE(src.begin_object());
          ASSERT_EQ(next_name(src), "k");
        } else {
          ASSERT_TRUE(src.begin_array());
          ASSERT_EQ(src.next_element(), true);
        }
        std::string got = way == 0   ? outcome(src.skip())
                          : way == 1 ? outcome(src.value())
                          : way == 2 ? outcome(stream_value(src))
                                     : (src.hold() ? "accepted" : "recursion limit exceeded");
        EXPECT_TRUE(got.starts_with(levels == 126 ? "accepted" : "recursion limit exceeded"))
            << levels << " " << objects << " " << way << ": " << got;
      }
    }
  }
}

// ------------------------------------------------------------ string scanning

// Strings are scanned a word at a time: every special byte must be found at
// every offset within a word, and bytes next to the special ones (or equal
// to them but for the high bit) must pass through untouched.
TEST(JsonTextStrings, SpecialBytesFoundAtEveryOffset) {
  for (std::size_t i = 0; i < 40; ++i) {
    std::string filler(i, 'a');
    for (unsigned char c : {0x00, 0x01, 0x1f}) {
      std::string text = "\"" + filler + std::string(1, static_cast<char>(c)) + "bcdefghijk\"";
      EXPECT_EQ(outcome(parse_json_text(text)),
                std::string(kControl) + " at line 1 column " + std::to_string(i + 2))
          << i << " " << int(c);
    }
    std::string escaped = "\"" + filler + "\\n" + filler + "\"";
    auto v = parse_json_text(escaped);
    ASSERT_TRUE(v) << display(v.error());
    EXPECT_EQ(v->as_string(), filler + "\n" + filler);

    std::string early = "\"" + filler + "\"" + filler + "\"";
    EXPECT_EQ(outcome(parse_json_text(early)),
              "trailing characters at line 1 column " + std::to_string(i + 3));

    for (unsigned char c : {0x20, 0x21, 0x23, 0x5b, 0x5d, 0x7f, 0x80, 0x9f, 0xa0, 0xa2, 0xdc,
                            0xff}) {
      std::string body = filler + std::string(1, static_cast<char>(c)) + "bcdefghijk";
      auto plain = parse_json_text("\"" + body + "\"");
      ASSERT_TRUE(plain) << i << " " << int(c) << ": " << display(plain.error());
      EXPECT_EQ(plain->as_string(), body);
    }
  }
}

// ------------------------------------------------------------ the operations

TEST(JsonTextSource, PeekNamesTheNextValueWithoutConsumingIt) {
  struct Row {
    const char* text;
    Token token;
  };
  for (const Row& row : {Row{" null", Token::Null}, Row{"true", Token::Bool},
                         Row{"false", Token::Bool}, Row{"-1", Token::Number},
                         Row{"0", Token::Number}, Row{"\"x\"", Token::String},
                         Row{"\n[ ]", Token::Array}, Row{"{}", Token::Object}}) {
    TextSource src(row.text);
    EXPECT_EQ(src.peek(), row.token) << row.text;
    EXPECT_EQ(src.peek(), row.token) << row.text;
    EXPECT_TRUE(src.value()) << row.text;
    EXPECT_TRUE(src.finish()) << row.text;
  }
  TextSource empty(" ");
  EXPECT_EQ(display(empty.peek().error()), "EOF while parsing a value at line 1 column 1");
  TextSource bad("  ?");
  EXPECT_EQ(display(bad.peek().error()), "expected value at line 1 column 3");
}

TEST(JsonTextSource, ObjectMembersOneByOne) {
  const std::string text = R"( { "plain" : "v" , "esc\u0061ped":[1, 2] ,"n":-5 } )";
  TextSource src(text);
  ASSERT_TRUE(src.begin_object());

  auto key = src.next_key();
  ASSERT_TRUE(key && *key);
  EXPECT_EQ(**key, "plain");
  // A key without escapes is a view into the text itself.
  EXPECT_GE((*key)->data(), text.data());
  EXPECT_LT((*key)->data(), text.data() + text.size());
  EXPECT_EQ(src.string(), std::string("v"));

  key = src.next_key();
  ASSERT_TRUE(key && *key);
  EXPECT_EQ(**key, "escaped");
  ASSERT_TRUE(src.begin_array());
  EXPECT_EQ(src.next_element(), true);
  EXPECT_EQ(src.scalar(), Value::uint(1));
  EXPECT_EQ(src.next_element(), true);
  EXPECT_EQ(src.scalar(), Value::uint(2));
  EXPECT_EQ(src.next_element(), false);

  key = src.next_key();
  ASSERT_TRUE(key && *key);
  EXPECT_EQ(**key, "n");
  EXPECT_EQ(src.scalar(), Value::integer(-5));
  key = src.next_key();
  ASSERT_TRUE(key);
  EXPECT_FALSE(*key);
  EXPECT_TRUE(src.finish());
}

TEST(JsonTextSource, SkipConsumesExactlyOneValue) {
  TextSource src(R"({"a":[1,{"b":"x\"y"},[]],"c":2,"d":{"e":null}})");
  ASSERT_TRUE(src.begin_object());
  EXPECT_EQ(next_name(src), "a");
  ASSERT_TRUE(src.skip());
  EXPECT_EQ(next_name(src), "c");
  EXPECT_EQ(src.scalar(), Value::uint(2));
  EXPECT_EQ(next_name(src), "d");
  ASSERT_TRUE(src.skip());
  EXPECT_EQ(next_name(src), "}");
  EXPECT_TRUE(src.finish());
}

struct EndCase {
  const char* text;
  std::size_t take;
  const char* expected;
};

class JsonTextEndArray : public ::testing::TestWithParam<EndCase> {};

TEST_P(JsonTextEndArray, AfterTakenElements) {
  const auto& [text, take, expected] = GetParam();
  TextSource src(text);
  ASSERT_TRUE(src.begin_array());
  for (std::size_t i = 0; i < take; ++i) {
    ASSERT_EQ(src.next_element(), true);
    ASSERT_TRUE(src.skip());
  }
  EXPECT_EQ(outcome(src.end_array(take)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    JsonEndArray, JsonTextEndArray,
    ::testing::Values(EndCase{"[1,2]", 2, "accepted"}, EndCase{"[1,2 ]", 2, "accepted"},
                      EndCase{"[]", 0, "accepted"},
                      EndCase{"[1,2,3]", 2, "trailing characters at line 1 column 6"},
                      EndCase{"[1,2 3]", 2, "trailing characters at line 1 column 6"},
                      EndCase{"[1,2,]", 2, "trailing comma at line 1 column 6"},
                      EndCase{"[1,2, \n ]", 2, "trailing comma at line 2 column 2"},
                      EndCase{"[1,2", 2, "EOF while parsing a list at line 1 column 4"},
                      EndCase{"[1,2,", 2, "EOF while parsing a list at line 1 column 5"}));

TEST(JsonTextSource, EndArrayClosesTheLevel) {
  TextSource src("[[1],2]");
  ASSERT_TRUE(src.begin_array());
  ASSERT_EQ(src.next_element(), true);
  ASSERT_TRUE(src.begin_array());
  ASSERT_EQ(src.next_element(), true);
  ASSERT_TRUE(src.skip());
  ASSERT_TRUE(src.end_array(1));
  // The outer array has taken one element, so a comma is due.
  EXPECT_EQ(src.next_element(), true);
  EXPECT_EQ(src.scalar(), Value::uint(2));
  EXPECT_EQ(src.next_element(), false);
  EXPECT_TRUE(src.finish());
}

TEST(JsonTextSource, HoldChecksAtOnceAndOpenReadsLater) {
  const std::string text = R"({"payload":{"x":[1,2]}, "type":"T"})";
  TextSource src(text);
  ASSERT_TRUE(src.begin_object());
  ASSERT_EQ(next_name(src), "payload");
  auto held = src.hold();
  ASSERT_TRUE(held);
  ASSERT_EQ(next_name(src), "type");
  EXPECT_EQ(src.string(), std::string("T"));
  EXPECT_EQ(next_name(src), "}");
  EXPECT_TRUE(src.finish());

  // Opened twice: each source reads the held value from its start.
  for (int i = 0; i < 2; ++i) {
    auto again = src.open(*held);
    EXPECT_EQ(again.value(), object({{"x", array({Value::uint(1), Value::uint(2)})}}));
  }

  // Syntax errors surface at hold(); conversion errors when the held value
  // is read, at their place in the whole text.
  TextSource broken(R"({"payload":{"x":tru}})");
  ASSERT_TRUE(broken.begin_object());
  ASSERT_TRUE(broken.next_key());
  EXPECT_EQ(display(broken.hold().error()), "expected ident at line 1 column 20");

  // The held place keeps its nesting level: what is read from it counts on.
  TextSource outer("[[]]");
  EXPECT_TRUE(outer.open(TextSource::Held{1, 126}).value());
  EXPECT_EQ(display(outer.open(TextSource::Held{1, 127}).value().error()),
            "recursion limit exceeded at line 1 column 2");

  TextSource big("{\"payload\":\n{\"x\":1e999}}");
  ASSERT_TRUE(big.begin_object());
  ASSERT_TRUE(big.next_key());
  auto later = big.hold();
  ASSERT_TRUE(later);
  EXPECT_EQ(display(big.open(*later).value().error()),
            "number out of range at line 2 column 10");
}

TEST(JsonTextSource, ShapeErrorsTakeTheCurrentPlace) {
  TextSource src("{\"seq\":\n  [1], \"n\": -1}");
  ASSERT_TRUE(src.begin_object());
  ASSERT_TRUE(src.next_key());
  ASSERT_EQ(src.peek(), Token::Array);
  // Not consumed: the error stands at the bracket.
  EXPECT_EQ(display(src.error("invalid type: sequence, expected u64")),
            "invalid type: sequence, expected u64 at line 2 column 3");
  ASSERT_TRUE(src.skip());
  ASSERT_TRUE(src.next_key());
  ASSERT_TRUE(src.scalar());
  // Consumed: the error stands at the byte after the value.
  EXPECT_EQ(display(src.error("x")), "x at line 2 column 15");
  ASSERT_TRUE(src.next_key());
  EXPECT_EQ(display(src.error("missing field `a`")), "missing field `a` at line 2 column 15");
}

TEST(JsonTextSource, CallsOutOfTurnFailWithoutHarm) {
  TextSource src("[1]");
  EXPECT_EQ(display(src.string().error()),
            "invalid type: sequence, expected a string at line 1 column 1");
  EXPECT_FALSE(src.begin_object());
  EXPECT_FALSE(src.scalar());
  TextSource number("5");
  EXPECT_EQ(display(number.begin_array().error()),
            "invalid type: integer `5`, expected a sequence at line 1 column 1");
}

// A ledger line cut anywhere must say that the text ended.
TEST(JsonTextSource, EveryTornPrefixReportsEof) {
  const std::string line =
      R"({"seq":12,"timestamp_nanos":1700000000000000000,"event":{"type":"ToolCalled",)"
      R"("payload":{"tool_name":"s\u00e9","args_sha256":"ab\"cd","args_redacted":)"
      R"({"q":[-1.5e-7,true,false,null,{}],"e":"\ud83d\ude00"}}},"parent_hash":"00",)"
      R"("self_hash":"11","signature":"22","signer_pubkey":"33"})";
  ASSERT_TRUE(parse_json_text(line));
  for (std::size_t n = 0; n < line.size(); ++n) {
    std::string prefix = line.substr(0, n);
    std::string got = outcome(parse_json_text(prefix));
    EXPECT_TRUE(got.starts_with("EOF while parsing ")) << prefix << " -> " << got;
    EXPECT_TRUE(got.ends_with(" at line 1 column " + std::to_string(n))) << got;
    EXPECT_EQ(outcome(stream_text(prefix)), got);
    EXPECT_EQ(outcome(skip_text(prefix)), got);
  }
}

// ------------------------------------------------------------ round trip

class RandomValues {
 public:
  explicit RandomValues(std::uint32_t seed) : rng_(seed) {}

  Value make(int depth) {
    int kind = pick(depth > 0 ? 9 : 7);
    switch (kind) {
      case 0: return Value();
      case 1: return Value(pick(2) == 1);
      case 2: return Value::uint(pick(2) ? rng_() : rng_() % 1000);
      case 3: return Value::integer(-static_cast<std::int64_t>(rng_() >> 1) - 1);
      case 4: return Value::real(real());
      case 5:
      case 6: return Value(text());
      case 7: {
        Array items;
        for (int i = pick(5); i > 0; --i) items.push_back(make(depth - 1));
        return Value(std::move(items));
      }
      default: {
        Object members;
        for (int i = pick(6); i > 0; --i) members.insert(text(), make(depth - 1));
        return Value(std::move(members));
      }
    }
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }

  double real() {
    static constexpr double kEdges[] = {0.0, -0.0, 5e-324, 2.2250738585072014e-308,
                                        1.7976931348623157e308, 1e16, 1e15, 0.1, 1e-7};
    switch (pick(4)) {
      case 0: return kEdges[pick(std::size(kEdges))];
      case 1: return static_cast<double>(rng_() % 100000) / 64.0;
      default: {
        double d;
        do d = std::bit_cast<double>(rng_()); while (!std::isfinite(d));
        return d;
      }
    }
  }

  std::string text() {
    static constexpr std::string_view kPieces[] = {
        "a", "Z", "\"", "\\", "/", "\n", "\t", "\x01", "\x1f", std::string_view("\0", 1), " ",
        "\x7f", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "0123456789abcdef"};
    std::string s;
    for (int i = pick(12); i > 0; --i) s += kPieces[pick(std::size(kPieces))];
    return s;
  }

  std::mt19937_64 rng_;
};

TEST(JsonTextRoundTrip, WrittenValuesReadBackIdentical) {
  RandomValues gen(20240611);
  for (int i = 0; i < 3000; ++i) {
    Value v = gen.make(4);
    Buffer out;
    write_ordered(out, v);
    auto back = parse_json_text(out.view());
    ASSERT_TRUE(back) << out.view() << ": " << display(back.error());
    ASSERT_TRUE(Identical(*back, v)) << out.view();
    auto streamed = stream_text(out.view());
    ASSERT_TRUE(streamed) << out.view();
    ASSERT_TRUE(Identical(*streamed, v)) << out.view();
  }
}

// Damaged texts: every way of reading must refuse (or accept) the same text
// with the same message at the same place, and never crash.
TEST(JsonTextRoundTrip, DamagedTextsGetTheSameVerdictEveryWay) {
  static constexpr char kBytes[] = {'"', '\\', ',', ':', '[', ']', '{', '}', '-', '.', 'e', '0',
                                    '1', 'u', 't', ' ', '\n', '\x01', 'x', '+'};
  RandomValues gen(7);
  std::mt19937 rng(99);
  int refused = 0;
  for (int i = 0; i < 3000; ++i) {
    Buffer out;
    write_ordered(out, gen.make(3));
    std::string text = out.str();
    for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0 && !text.empty(); --edits) {
      std::size_t at = rng() % text.size();
      switch (rng() % 3) {
        case 0: text[at] = kBytes[rng() % std::size(kBytes)]; break;
        case 1: text.erase(at, 1); break;
        default: text.insert(at, 1, kBytes[rng() % std::size(kBytes)]);
      }
    }
    std::string verdict = outcome(parse_json_text(text));
    if (verdict != "accepted") ++refused;
    ASSERT_EQ(outcome(stream_text(text)), verdict) << text;
    ASSERT_EQ(outcome(check_text(text)), verdict) << text;
    // Skipping checks syntax only, so past a too-large number it may go on
    // to accept the text or to refuse it further on; holding checks syntax
    // first and converts afterwards.
    std::string skipped = outcome(skip_text(text));
    if (!verdict.starts_with("number out of range")) {
      ASSERT_EQ(skipped, verdict) << text;
    }
    ASSERT_EQ(outcome(held_text(text)), skipped == "accepted" ? verdict : skipped) << text;
  }
  EXPECT_GT(refused, 1000);  // the damage did reach the error paths
}

}  // namespace
}  // namespace tallyvox::json
