#include "core/parallel_walk.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/keys.h"
#include "keypair_fixture.h"
#include "temp_dir.h"

namespace tallyvox {
namespace {

// Two signers take turns, so that the threads' verifier caches change keys.
const std::vector<SignedEvent>& intact_chain() {
  static const std::vector<SignedEvent> records = [] {
    SigningKeypair keys[] = {testing::keypair_filled(3), testing::keypair_filled(4)};
    std::vector<SignedEvent> out;
    std::string parent(kGenesisParentHash);
    for (int i = 0; i < 200; ++i) {
      out.push_back(seal_event(i, ToolReturned{"t", "r", static_cast<std::uint64_t>(i), true}, parent,
                               keys[(i / 50) % 2]));
      parent = out.back().self_hash;
    }
    return out;
  }();
  return records;
}

ChainReport parallel_walk(const std::vector<SignedEvent>& records, unsigned jobs) {
  auto walk = ParallelChainWalk::start(jobs);
  EXPECT_TRUE(walk.has_value());
  for (SignedEvent record : records) walk->add(std::move(record));
  return std::move(*walk).finish();
}

void expect_same(const ChainReport& parallel, const ChainReport& single) {
  EXPECT_EQ(parallel.status, single.status);
  EXPECT_EQ(parallel.event_count, single.event_count);
  EXPECT_EQ(parallel.broken_at, single.broken_at);
  EXPECT_EQ(parallel.reason, single.reason);
  EXPECT_EQ(parallel.root_hash, single.root_hash);
}

void flip_signature(SignedEvent& r) { r.signature[5] = r.signature[5] == '0' ? '1' : '0'; }

using Edit = std::function<void(std::vector<SignedEvent>&)>;

struct Case {
  const char* name;
  Edit edit;
  std::optional<std::uint64_t> broken_at;  // as the single walk finds it
};

class ParallelTable : public ::testing::TestWithParam<Case> {};

// The first break in file order wins, whichever check finds it and however
// the records fall into batches (64 to a batch).
TEST_P(ParallelTable, SameReportAsTheSingleWalk) {
  std::vector<SignedEvent> records = intact_chain();
  GetParam().edit(records);
  ChainReport single = verify_events(records);
  ASSERT_EQ(single.broken_at, GetParam().broken_at);
  for (unsigned jobs : {1u, 2u, 3u, 8u}) {
    SCOPED_TRACE(jobs);
    expect_same(parallel_walk(records, jobs), single);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Breaks, ParallelTable,
    ::testing::Values(
        Case{"intact", [](auto&) {}, std::nullopt},
        Case{"empty", [](auto& r) { r.clear(); }, std::nullopt},
        Case{"one_record", [](auto& r) { r.resize(1); }, std::nullopt},
        Case{"signature_first", [](auto& r) { flip_signature(r[0]); }, 0},
        Case{"signature_last", [](auto& r) { flip_signature(r.back()); }, 199},
        Case{"signature_before_seq",
             [](auto& r) {
               flip_signature(r[70]);
               r.erase(r.begin() + 150);
             },
             70},
        Case{"seq_before_signature",
             [](auto& r) {
               r.erase(r.begin() + 30);
               flip_signature(r[120]);
             },
             31},
        Case{"hash_before_parent",
             [](auto& r) {
               r[63].timestamp_nanos++;
               r[64].parent_hash = r[10].self_hash;
             },
             63},
        Case{"two_signatures_one_batch",
             [](auto& r) {
               flip_signature(r[100]);
               flip_signature(r[90]);
             },
             90},
        Case{"signatures_in_later_batches_first",
             [](auto& r) {
               flip_signature(r[190]);
               flip_signature(r[128]);
             },
             128},
        Case{"parent_at_batch_edge", [](auto& r) { r[64].parent_hash = r[62].self_hash; }, 64},
        Case{"foreign_key",
             [](auto& r) { r[77].signer_pubkey = testing::keypair_filled(9).pubkey_hex(); }, 77},
        Case{"repeated_record", [](auto& r) { r.insert(r.begin() + 5, r[4]); }, 4}),
    [](const auto& info) { return std::string(info.param.name); });

// Random damage, up to four edits of any kind, against the single walk.
TEST(ParallelWalk, RandomlyBrokenChainsReportAsTheSingleWalk) {
  std::mt19937 rng(1234);
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  const Edit edits[] = {
      [&](auto& r) { flip_signature(r[pick(r.size())]); },
      [&](auto& r) { r[pick(r.size())].timestamp_nanos ^= 1; },
      [&](auto& r) { r.erase(r.begin() + pick(r.size())); },
      [&](auto& r) { r[pick(r.size())].parent_hash = r[pick(r.size())].self_hash; },
      [&](auto& r) { std::swap(r[pick(r.size())], r[pick(r.size())]); },
      [&](auto& r) { r[pick(r.size())].seq += 1; },
      [&](auto& r) { r[pick(r.size())].signer_pubkey[0] = 'x'; },
  };
  int broken = 0;
  for (int trial = 0; trial < 40; ++trial) {
    std::vector<SignedEvent> records(intact_chain().begin(),
                                     intact_chain().begin() + 1 + pick(intact_chain().size()));
    for (std::size_t n = 1 + pick(4); n > 0 && !records.empty(); --n) edits[pick(7)](records);
    ChainReport single = verify_events(records);
    broken += !single.ok();
    SCOPED_TRACE(trial);
    expect_same(parallel_walk(records, 1 + trial % 4), single);
  }
  EXPECT_GT(broken, 30);  // the edits do break chains
}

class ParallelFile : public testing::TempDir {
 protected:
  std::string write_ledger(const std::vector<SignedEvent>& records, const std::string& tail) {
    std::string bytes;
    for (const SignedEvent& record : records) {
      Buffer line;
      write_line(line, record);
      bytes.append(line.data(), line.size());
      bytes += '\n';
    }
    std::string p = path("ledger.ndjson");
    write_file(p, bytes + tail);
    return p;
  }
};

TEST_F(ParallelFile, KeepsTheRecordsAndTheReport) {
  std::vector<SignedEvent> records = intact_chain();
  flip_signature(records[150]);
  std::string p = write_ledger(records, "");
  for (unsigned jobs : {1u, 2u, 4u}) {
    std::vector<SignedEvent> kept;
    auto parallel = verify_ledger_file_parallel(p, jobs, &kept);
    ASSERT_TRUE(parallel.has_value());
    expect_same(*parallel, verify_events(records));
    EXPECT_EQ(kept, records);
  }
}

TEST_F(ParallelFile, AMalformedLineIsTheSameErrorAfterABreak) {
  std::vector<SignedEvent> records = intact_chain();
  flip_signature(records[3]);
  std::string p = write_ledger(records, "{\"seq\":\n");
  auto single = verify_ledger_file(p);
  auto parallel = verify_ledger_file_parallel(p, 3);
  ASSERT_FALSE(single.has_value());
  ASSERT_FALSE(parallel.has_value());
  EXPECT_EQ(display(parallel.error()), display(single.error()));
}

}  // namespace
}  // namespace tallyvox
