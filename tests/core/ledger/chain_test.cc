#include "core/ledger/chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "core/crypto/keys.h"
#include "tests/core/keypair_fixture.h"

namespace tallyvox {
namespace {

std::vector<SignedEvent> chain(int n) {
  SigningKeypair kp = testing::keypair_filled(7);
  std::vector<SignedEvent> out;
  std::string parent(kGenesisParentHash);
  for (int i = 0; i < n; ++i) {
    out.push_back(seal_event(i, ToolReturned{"t", "r", static_cast<std::uint64_t>(i), true}, parent, kp));
    parent = out.back().self_hash;
  }
  return out;
}

struct Break {
  const char* name;
  std::function<void(std::vector<SignedEvent>&)> edit;
  std::optional<std::uint64_t> broken_at;
  std::string reason;
  int root;  // index of the event whose self_hash is the root, -1 for genesis
};

class ChainBreak : public ::testing::TestWithParam<Break> {};

TEST_P(ChainBreak, FirstFailureIsReported) {
  auto records = chain(10);
  const std::vector<SignedEvent> original = records;
  GetParam().edit(records);
  ChainReport report = verify_events(records);
  EXPECT_EQ(report.ok(), !GetParam().broken_at);
  EXPECT_EQ(report.broken_at, GetParam().broken_at);
  EXPECT_EQ(report.reason.value_or(""), GetParam().reason);
  EXPECT_EQ(report.event_count, records.size());
  EXPECT_EQ(report.root_hash,
            GetParam().root < 0 ? std::string(kGenesisParentHash) : original[GetParam().root].self_hash);
}

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChainBreak,
    ::testing::Values(
        Break{"intact", [](auto&) {}, std::nullopt, "", 9},
        Break{"empty", [](auto& r) { r.clear(); }, std::nullopt, "", -1},
        Break{"first_seq_1", [](auto& r) { r.erase(r.begin()); }, 1, "expected seq 0, got 1", -1},
        Break{"swap_3_4", [](auto& r) { std::swap(r[3], r[4]); }, 4, "expected seq 3, got 4", 2},
        Break{"drop_3", [](auto& r) { r.erase(r.begin() + 3); }, 4, "expected seq 3, got 4", 2},
        Break{"repeat_3", [](auto& r) { r.insert(r.begin() + 4, r[3]); }, 3, "expected seq 4, got 3", 3},
        Break{"first_parent", [](auto& r) { r[0].parent_hash = std::string(64, '1'); }, 0,
              "parent_hash does not match previous self_hash", -1},
        Break{"payload_changed",
              [](auto& r) { std::get<ToolReturned>(r[5].event).success = false; }, 5,
              "event verification failed: self_hash mismatch", 4},
        Break{"timestamp_changed", [](auto& r) { r[5].timestamp_nanos++; }, 5,
              "event verification failed: self_hash mismatch", 4},
        Break{"parent_changed", [](auto& r) { r[5].parent_hash = r[3].self_hash; }, 5,
              "parent_hash does not match previous self_hash", 4},
        Break{"upper_self_hash", [](auto& r) { r[9].self_hash = upper(r[9].self_hash); }, 9,
              "event verification failed: self_hash mismatch", 8},
        Break{"foreign_signature", [](auto& r) { r[2].signature = r[1].signature; }, 2,
              "event verification failed: key: signature verification failed", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Chain, EachEventIsCheckedAgainstItsOwnKey) {
  std::vector<SignedEvent> records;
  std::string parent(kGenesisParentHash);
  for (int i = 0; i < 4; ++i) {
    records.push_back(seal_event(i, SessionEnded{"r", "s"}, parent,
                                 testing::keypair_filled(static_cast<unsigned char>(i + 1))));
    parent = records.back().self_hash;
  }
  EXPECT_TRUE(verify_events(records).ok());
}

}  // namespace
}  // namespace tallyvox
