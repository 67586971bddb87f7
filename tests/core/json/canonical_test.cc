#include "core/json/canonical.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "core/json/write.h"

namespace tallyvox::json {
namespace {

Value object(std::initializer_list<std::pair<const char*, Value>> members) {
  Object o;
  for (const auto& [k, v] : members) o.insert(k, v);
  return Value(std::move(o));
}

Value array(std::initializer_list<Value> items) { return Value(Array(items)); }

TEST(Canonical, SortsKeysAtEveryDepthAndKeepsNoWhitespace) {
  Value v = object({{"b", Value::uint(1)}, {"a", array({Value(true), Value(), Value::real(1.5)})}});
  EXPECT_EQ(to_canonical_json(v), R"({"a":[true,null,1.5],"b":1})");

  Value nested = object({{"z", object({{"y", Value::uint(1)}, {"x", Value::uint(2)}})},
                         {"a", Value::uint(0)}});
  EXPECT_EQ(to_canonical_json(nested), R"({"a":0,"z":{"x":2,"y":1}})");
}

TEST(Canonical, KeyOrderIsByUtf8Bytes) {
  Value v = object({{"é", Value::uint(4)},
                    {"aa", Value::uint(3)},
                    {"a", Value::uint(2)},
                    {"B", Value::uint(1)},
                    {"\xef\xbd\x9e", Value::uint(5)},        // U+FF5E
                    {"\xf0\x9f\x98\x80", Value::uint(6)},    // U+1F600
                    {"z", Value::uint(0)}});
  EXPECT_EQ(to_canonical_json(v),
            "{\"B\":1,\"a\":2,\"aa\":3,\"z\":0,\"\xc3\xa9\":4,\"\xef\xbd\x9e\":5,"
            "\"\xf0\x9f\x98\x80\":6}");
}

TEST(Canonical, InsertionOrderNeverMatters) {
  Object forward, backward;
  for (int i = 0; i < 40; ++i) forward.insert("k" + std::to_string(i), Value::uint(i));
  for (int i = 39; i >= 0; --i) backward.insert("k" + std::to_string(i), Value::uint(i));
  EXPECT_EQ(to_canonical_json(Value(forward)), to_canonical_json(Value(backward)));
  EXPECT_EQ(to_canonical_json(Value(forward)), to_canonical_json(Value(forward)));
}

struct StringCase {
  std::string input;
  std::string encoded;
};

class CanonicalString : public ::testing::TestWithParam<StringCase> {};

TEST_P(CanonicalString, EscapesOnlyQuoteBackslashAndControls) {
  EXPECT_EQ(to_canonical_json(Value(GetParam().input)), GetParam().encoded);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CanonicalString,
    ::testing::Values(
        StringCase{"", "\"\""},
        StringCase{std::string("\x07\x0b\x1f\x7f/\xc3\xa9"),
                   "\"\\u0007\\u000b\\u001f\x7f/\xc3\xa9\""},
        StringCase{"\"\\\t\n", "\"\\\"\\\\\\t\\n\""},
        StringCase{"\b\f\r", "\"\\b\\f\\r\""},
        StringCase{std::string("\0", 1), "\"\\u0000\""},
        // C1 controls, U+2028 and U+2029 are written raw.
        StringCase{"\xc2\x85\xe2\x80\xa8\xe2\x80\xa9", "\"\xc2\x85\xe2\x80\xa8\xe2\x80\xa9\""}));

TEST(Canonical, IntegersAtTheirLimits) {
  EXPECT_EQ(to_canonical_json(Value::uint(std::numeric_limits<std::uint64_t>::max())),
            "18446744073709551615");
  EXPECT_EQ(to_canonical_json(Value::integer(std::numeric_limits<std::int64_t>::min())),
            "-9223372036854775808");
  EXPECT_EQ(to_canonical_json(Value::uint(0)), "0");
  EXPECT_EQ(to_canonical_json(Value::integer(-1)), "-1");
  // A non-negative value is always held in the unsigned form.
  EXPECT_EQ(Value::integer(7).kind(), Value::Kind::UInt);
}

TEST(Canonical, IntegerAndFloatStayDistinct) {
  EXPECT_EQ(to_canonical_json(Value::uint(1)), "1");
  EXPECT_EQ(to_canonical_json(Value::real(1.0)), "1.0");
  EXPECT_FALSE(Value::uint(1) == Value::real(1.0));
  EXPECT_TRUE(Value::real(std::numeric_limits<double>::quiet_NaN()).is_null());
  EXPECT_TRUE(Value::real(-std::numeric_limits<double>::infinity()).is_null());
}

TEST(Canonical, EmptyContainers) {
  EXPECT_EQ(to_canonical_json(Value(Object())), "{}");
  EXPECT_EQ(to_canonical_json(Value(Array())), "[]");
  EXPECT_EQ(to_canonical_json(Value()), "null");
  EXPECT_EQ(to_canonical_json(Value(false)), "false");
}

TEST(Object, InsertReplacesAndKeepsFirstPosition) {
  for (int size : {3, 40}) {  // below and above the hash index threshold
    Object o;
    for (int i = 0; i < size; ++i) o.insert("k" + std::to_string(i), Value::uint(i));
    o.insert("k1", Value("new"));
    ASSERT_EQ(o.size(), static_cast<std::size_t>(size));
    EXPECT_EQ(o[1].first, "k1");
    EXPECT_EQ(o[1].second, Value("new"));
    EXPECT_EQ(o[2].second, Value::uint(2));
    Object copy = o;  // the copy rebuilds its own index
    copy.insert("k0", Value::uint(99));
    copy.insert("new", Value());
    ASSERT_EQ(copy.size(), o.size() + 1);
    EXPECT_EQ(copy[0].second, Value::uint(99));
    EXPECT_EQ(copy[o.size()].first, "new");
    EXPECT_EQ(o[0].second, Value::uint(0));
  }
}

TEST(WriteOrdered, KeepsStoredMemberOrder) {
  Value v = object({{"type", Value("T")}, {"payload", object({{"b", Value::real(1e16)},
                                                               {"a", Value::integer(-3)}})}});
  Buffer out;
  write_ordered(out, v);
  EXPECT_EQ(out.view(), R"({"type":"T","payload":{"b":1e+16,"a":-3}})");
}

}  // namespace
}  // namespace tallyvox::json
