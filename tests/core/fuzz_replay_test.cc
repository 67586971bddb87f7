// Replays the fuzz targets' inputs through the checks they run
// (fuzz/properties.h): the seed corpus in fuzz/corpus/<target>/ and the
// inputs kept in tests/core/fuzz_regressions/<target>/, so that the ordinary
// build checks them too, without clang or libFuzzer.
//
// A failing input that a fuzz run finds (build/fuzz/artifacts) goes into
// fuzz_regressions/<target>/ once the fault is fixed. The first inputs there
// were found with faults planted on purpose in a scratch copy of the core,
// to show that the checks catch them: a ledger reader that checks UTF-8 per
// piece instead of per line (a character split between two pieces), and a
// float text that drops a zero for numbers in the 1e-3 decade (the value
// reads back as another).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/properties.h"

namespace tallyvox::fuzz {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> files_in(const fs::path& dir) {
  std::vector<fs::path> out;
  if (!fs::is_directory(dir)) return out;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) out.push_back(entry.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string bytes_of(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Target {
  const char* name;
  std::string (*check)(std::string_view);
};

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, SeedCorpusHoldsTheProperties) {
  auto seeds = files_in(fs::path(TALLYVOX_FUZZ_DIR) / "corpus" / GetParam().name);
  ASSERT_GE(seeds.size(), 5u) << "the seed corpus is missing";
  for (const auto& p : seeds) EXPECT_EQ(GetParam().check(bytes_of(p)), "") << p;
}

TEST_P(FuzzReplay, SavedInputsHoldTheProperties) {
  auto saved = files_in(fs::path(TALLYVOX_FUZZ_REGRESSIONS_DIR) / GetParam().name);
  ASSERT_FALSE(saved.empty()) << "the saved inputs are missing";
  for (const auto& p : saved) EXPECT_EQ(GetParam().check(bytes_of(p)), "") << p;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay,
                         ::testing::Values(Target{"line_reader", check_line},
                                           Target{"ledger_reader", check_ledger},
                                           Target{"canonical", check_canonical},
                                           Target{"witness", check_witness}),
                         [](const auto& info) { return std::string(info.param.name); });

// The seeds must reach past the error paths: most lines and values are read.
TEST(FuzzSeeds, MostSeedsAreAccepted) {
  int lines = 0, values = 0;
  for (const auto& p : files_in(fs::path(TALLYVOX_FUZZ_DIR) / "corpus/line_reader")) {
    lines += read_line(bytes_of(p)).has_value();
  }
  for (const auto& p : files_in(fs::path(TALLYVOX_FUZZ_DIR) / "corpus/canonical")) {
    values += json::parse_json_text(bytes_of(p)).has_value();
  }
  EXPECT_GE(lines, 10);
  EXPECT_GE(values, 8);
  int bodies = 0, vkeys = 0;
  for (const auto& p : files_in(fs::path(TALLYVOX_FUZZ_DIR) / "corpus/witness")) {
    bodies += parse_add_checkpoint(bytes_of(p)).has_value();
    vkeys += parse_vkey(bytes_of(p)).has_value();
  }
  EXPECT_GE(bodies, 5);
  EXPECT_GE(vkeys, 2);
}

// ------------------------------------------------------ the checks themselves

TEST(FuzzChecks, IdenticalTellsSignedZerosAndMemberOrderApart) {
  EXPECT_TRUE(identical(json::Value::real(-0.0), json::Value::real(-0.0)));
  EXPECT_FALSE(identical(json::Value::real(-0.0), json::Value::real(0.0)));
  EXPECT_FALSE(identical(json::Value::real(1.0), json::Value::uint(1)));
  json::Object ab, ba;
  ab.insert("a", json::Value::uint(1));
  ab.insert("b", json::Value::uint(2));
  ba.insert("b", json::Value::uint(2));
  ba.insert("a", json::Value::uint(1));
  EXPECT_FALSE(identical(json::Value(ab), json::Value(ba)));
  EXPECT_TRUE(identical(json::Value(json::Array{json::Value(ab)}), json::Value(json::Array{json::Value(ab)})));
}

TEST(FuzzChecks, PositionCheckRefusesMissingOrOutOfRangePositions) {
  EXPECT_EQ(check_position("ab\ncd", JsonError{"m", Position{2, 3}}), "");
  EXPECT_NE(check_position("ab\ncd", JsonError{"m", std::nullopt}), "");
  EXPECT_NE(check_position("ab\ncd", JsonError{"m", Position{3, 1}}), "");
  EXPECT_NE(check_position("ab\ncd", JsonError{"m", Position{1, 4}}), "");
  EXPECT_NE(check_position("ab", JsonError{"", Position{1, 1}}), "");
}

TEST(FuzzChecks, CutCoversTheBytesInTheChosenSizes) {
  auto joined = [](const std::vector<std::string_view>& pieces) {
    std::string out;
    for (auto p : pieces) out += p;
    return out;
  };
  std::string_view bytes;
  auto pieces = cut(std::string_view("\x02\x03\x00" "abcdefgh", 11), bytes);
  EXPECT_EQ(bytes, "abcdefgh");
  // Sizes 3, 0, 3, 0, then what is left.
  EXPECT_EQ(pieces, (std::vector<std::string_view>{"abc", "", "def", "", "gh"}));
  EXPECT_EQ(joined(pieces), "abcdefgh");

  pieces = cut("\x08xyz", bytes);  // 8 % 8 == 0: byte by byte
  EXPECT_EQ(bytes, "xyz");
  EXPECT_EQ(pieces.size(), 3u);

  pieces = cut(std::string_view("\x01\x00pq", 4), bytes);  // only empty sizes: one piece
  EXPECT_EQ(pieces, std::vector<std::string_view>{"pq"});
  pieces = cut("", bytes);
  EXPECT_TRUE(pieces.empty());
}

TEST(FuzzChecks, LedgerCheckComparesWholeAndSplitReads) {
  // One record, then bytes that are not UTF-8: the error text must be the
  // same however the bytes are cut, and the check says so.
  auto seeds = files_in(fs::path(TALLYVOX_FUZZ_DIR) / "corpus/line_reader");
  ASSERT_FALSE(seeds.empty());
  std::string line = bytes_of(fs::path(TALLYVOX_FUZZ_DIR) / "corpus/line_reader/session_ended");
  ASSERT_TRUE(read_line(line)) << "seed session_ended is not a record";
  std::string input = "\x01\x05" + line + "\n\xff\n";  // pieces of 5 bytes
  std::string_view bytes;
  auto pieces = cut(input, bytes);
  EXPECT_EQ(pieces.size(), (line.size() + 3 + 4) / 5);
  LedgerOutcome split = read_pieces(pieces);
  EXPECT_EQ(split.records.size(), 1u);
  EXPECT_EQ(split.error, "io: stream did not contain valid UTF-8");
  EXPECT_EQ(check_ledger(input), "");
}

}  // namespace
}  // namespace tallyvox::fuzz
