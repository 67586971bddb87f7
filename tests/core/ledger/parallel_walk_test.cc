// The walks on several threads against the single walk: for every ledger,
// damaged or not, the same report, the same records, the same tree and the
// same error text, however the file falls into runs (runs of one byte put a
// boundary after every line; others fall inside lines and at their edges).
#include "core/ledger/parallel_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/crypto/keys.h"
#include "core/json/text.h"
#include "core/ledger/line_chunks.h"
#include "core/tlog/ledger_tree.h"
#include "tests/core/keypair_fixture.h"
#include "tests/core/ledger_lines.h"
#include "tests/core/temp_dir.h"

namespace tallyvox {
namespace {

// Lines of different kinds and lengths (about 400 to 700 bytes); two
// signers take turns, so that the threads' verifier caches change keys.
const std::vector<SignedEvent>& intact_chain() {
  static const std::vector<SignedEvent> records = [] {
    SigningKeypair keys[] = {testing::keypair_filled(3), testing::keypair_filled(4)};
    json::Value args = *json::parse_json_text(R"({"q":"caf\u00e9 \"7\"","n":[1,2.5,{"k":null}]})");
    std::vector<SignedEvent> out;
    std::string parent(kGenesisParentHash);
    for (std::uint64_t i = 0; i < 120; ++i) {
      std::string text(i * 37 % 200, static_cast<char>('a' + i % 26));
      AgentEvent event = i % 3 == 0 ? AgentEvent(ToolCalled{"search", std::string(64, 'b'), args})
                         : i % 3 == 1 ? AgentEvent(UtteranceSpoken{"h", text, "a"})
                                      : AgentEvent(ToolReturned{text, "r", i, i % 2 == 0});
      out.push_back(seal_event(i, event, parent, keys[(i / 50) % 2]));
      parent = out.back().self_hash;
    }
    return out;
  }();
  return records;
}

void flip_signature(SignedEvent& r) { r.signature[5] = r.signature[5] == '0' ? '1' : '0'; }

// Each line with its end, so that edits can change ends as well as bytes.
using Lines = std::vector<std::string>;

Lines lines_of(const std::vector<SignedEvent>& records) {
  Lines lines;
  for (const SignedEvent& r : records) lines.push_back(testing::line_of(r) + "\n");
  return lines;
}

std::string joined(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

using RecordEdit = std::function<void(std::vector<SignedEvent>&)>;
using LineEdit = std::function<void(Lines&)>;

struct Case {
  const char* name;
  const char* outcome;  // of the single walk: "valid", "broken N" or the error's text
  RecordEdit records = nullptr;  // none: the intact chain
  LineEdit lines = nullptr;      // none: its lines as written
  std::size_t max_line_bytes = kDefaultMaxLineBytes;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// The runs and threads each ledger is read with: every line its own run,
// and boundaries inside the first line, near a line's length, and after
// several lines.
constexpr struct {
  unsigned jobs;
  std::size_t chunk_bytes;
} kSplits[] = {{2, 1}, {3, 61}, {2, 333}, {8, 2000}};

const TreeWalkOptions kTree{.prefix = 57, .keep_leaves = true, .keep = 9};

template <class T>
void expect_same_outcome(const std::expected<T, LedgerError>& parallel,
                         const std::expected<T, LedgerError>& single) {
  ASSERT_EQ(parallel.has_value(), single.has_value())
      << (single ? display(parallel.error()) : display(single.error()));
  if (!single) {
    EXPECT_EQ(display(parallel.error()), display(single.error()));
    EXPECT_EQ(parallel.error().kind.index(), single.error().kind.index());
  }
}

void expect_same(const ChainReport& parallel, const ChainReport& single) {
  EXPECT_EQ(parallel.status, single.status);
  EXPECT_EQ(parallel.event_count, single.event_count);
  EXPECT_EQ(parallel.broken_at, single.broken_at);
  EXPECT_EQ(parallel.reason, single.reason);
  EXPECT_EQ(parallel.root_hash, single.root_hash);
}

void expect_same(const LedgerTree& parallel, const LedgerTree& single) {
  expect_same(parallel.chain, single.chain);
  EXPECT_EQ(parallel.root, single.root);
  EXPECT_EQ(parallel.prefix_root, single.prefix_root);
  EXPECT_EQ(parallel.leaves, single.leaves);
  EXPECT_EQ(parallel.kept, single.kept);
  EXPECT_EQ(parallel.first_self_hash, single.first_self_hash);
  EXPECT_EQ(parallel.signer, single.signer);
  EXPECT_EQ(parallel.other_signer_at, single.other_signer_at);
}

// The chain walk (keeping the records) and the tree walk of the file at
// `path`, on one thread and on several with the given runs. Returns the
// single walk's outcome, for the callers that check it.
std::expected<ChainReport, LedgerError> expect_same_walks(const std::string& path, ReadOptions options,
                                                          unsigned jobs, std::size_t chunk_bytes) {
  std::vector<SignedEvent> single_records;
  auto single = verify_ledger_file(path, single_records, options);
  auto single_tree = walk_ledger_tree(path, kTree, options);
  options.chunk_bytes = chunk_bytes;
  std::vector<SignedEvent> records;
  auto parallel = verify_ledger_file_parallel(path, jobs, &records, options);
  expect_same_outcome(parallel, single);
  if (single && parallel) expect_same(*parallel, *single);
  // Up to a line that is not a record, the same records are handed on.
  EXPECT_EQ(records, single_records);
  options.jobs = jobs;
  auto tree = walk_ledger_tree(path, kTree, options);
  expect_same_outcome(tree, single_tree);
  if (single_tree && tree) expect_same(*tree, *single_tree);
  return single;
}

std::string outcome(const std::expected<ChainReport, LedgerError>& walk) {
  if (!walk) return display(walk.error());
  return walk->ok() ? "valid" : "broken " + std::to_string(*walk->broken_at);
}

class DamagedLedgers : public testing::TempDir, public ::testing::WithParamInterface<Case> {};

TEST_P(DamagedLedgers, ReadOnThreadsAsOnOne) {
  std::vector<SignedEvent> records = intact_chain();
  if (GetParam().records) GetParam().records(records);
  Lines lines = lines_of(records);
  if (GetParam().lines) GetParam().lines(lines);
  std::string p = path("ledger.ndjson");
  write_file(p, joined(lines));
  ReadOptions options{.max_line_bytes = GetParam().max_line_bytes, .keep_reading = {}};
  for (const auto& split : kSplits) {
    SCOPED_TRACE(::testing::Message() << split.jobs << " jobs, runs of " << split.chunk_bytes);
    auto single = expect_same_walks(p, options, split.jobs, split.chunk_bytes);
    EXPECT_EQ(outcome(single), GetParam().outcome);
  }
}

// Damage of the text keeps the records' lines apart from these.
std::string padded(std::string line, std::size_t bytes) {
  line.insert(line.size() - 2, bytes, ' ');  // before the closing brace
  return line;
}

std::string replaced(std::string line, std::string_view from, std::string_view to) {
  line.replace(line.find(from), from.size(), to);
  return line;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DamagedLedgers,
    ::testing::Values(
        // The chain: breaks of every kind, wherever the runs are cut.
        Case{"intact", "valid"},
        Case{"empty", "valid", [](auto& r) { r.clear(); }},
        Case{"one_record", "valid", [](auto& r) { r.resize(1); }},
        Case{"signature_first", "broken 0", [](auto& r) { flip_signature(r[0]); }},
        Case{"signature_last", "broken 119", [](auto& r) { flip_signature(r.back()); }},
        Case{"signature_before_seq", "broken 70",
             [](auto& r) {
               flip_signature(r[70]);
               r.erase(r.begin() + 100);
             }},
        Case{"seq_before_signature", "broken 31",
             [](auto& r) {
               r.erase(r.begin() + 30);
               flip_signature(r[100]);
             }},
        Case{"hash_before_parent", "broken 63",
             [](auto& r) {
               r[63].timestamp_nanos++;
               r[64].parent_hash = r[10].self_hash;
             }},
        Case{"two_signatures_close", "broken 40", [](auto& r) { flip_signature(r[41]), flip_signature(r[40]); }},
        Case{"later_signature_first", "broken 60", [](auto& r) { flip_signature(r[110]), flip_signature(r[60]); }},
        Case{"parent", "broken 64", [](auto& r) { r[64].parent_hash = r[62].self_hash; }},
        Case{"foreign_key", "broken 77", [](auto& r) { r[77].signer_pubkey = testing::keypair_filled(9).pubkey_hex(); }},
        Case{"uppercase_key", "valid",
             [](auto& r) {
               std::ranges::transform(r[55].signer_pubkey, r[55].signer_pubkey.begin(), ::toupper);
             }},
        Case{"repeated_record", "broken 4", [](auto& r) { r.insert(r.begin() + 5, r[4]); }},
        Case{"swapped_records", "broken 21", [](auto& r) { std::swap(r[20], r[21]); }},
        Case{"seq_jump_at_end", "broken 124", [](auto& r) { r.back().seq += 5; }},
        // Lines that are not records, and what the reader skips or accepts.
        Case{"blank_lines", "valid", {},
             [](Lines& l) {
               l.insert(l.begin() + 50, "  \t \n");
               l.insert(l.begin() + 7, "\n");
               l.insert(l.begin(), "\r\n");
               l.push_back(" \n");
             }},
        Case{"crlf_ends", "valid", {}, [](Lines& l) { std::ranges::for_each(l, [](auto& s) { s.insert(s.size() - 1, "\r"); }); }},
        Case{"no_final_lf", "valid", {}, [](Lines& l) { l.back().pop_back(); }},
        Case{"cr_ends_the_file", "valid", {}, [](Lines& l) { l.back().back() = '\r'; }},
        Case{"blank_line_ends_the_file", "valid", {}, [](Lines& l) { l.push_back("   "); }},
        Case{"only_blank_lines", "valid", [](auto& r) { r.clear(); }, [](Lines& l) { l = {"\n", " \n", "\r\n", "\t"}; }},
        Case{"torn_last_line", "json: EOF while parsing a string at line 1 column 275", {}, [](Lines& l) { l.back().resize(l.back().size() / 2); }},
        Case{"torn_line_inside", "json: EOF while parsing a string at line 1 column 100", {}, [](Lines& l) { l[40] = l[40].substr(0, 100) + "\n"; }},
        Case{"garbage_first_line", "json: trailing comma at line 1 column 10", {}, [](Lines& l) { l[0] = "{\"seq\":0,}\n"; }},
        Case{"invalid_utf8", "io: stream did not contain valid UTF-8", {}, [](Lines& l) { l[60] = replaced(l[60], "signature", "sign\xff" "ture"); }},
        Case{"invalid_utf8_alone", "io: stream did not contain valid UTF-8", {}, [](Lines& l) { l.insert(l.begin() + 33, "\xc3\n"); }},
        Case{"control_character", "json: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 109", {}, [](Lines& l) { l[13] = replaced(l[13], "\"h\"", std::string("\"\0\"", 3)); }},
        Case{"trailing_characters", "json: trailing characters at line 1 column 700", {}, [](Lines& l) { l[10].insert(l[10].size() - 1, " x"); }},
        Case{"missing_field", "json: missing field `signature` at line 1 column 585", {}, [](Lines& l) { l[88] = replaced(l[88], "\"signature\"", "\"signatures\""); }},
        Case{"duplicate_field", "json: duplicate field `seq` at line 1 column 16", {}, [](Lines& l) { l[3] = replaced(l[3], "\"seq\":3", "\"seq\":3,\"seq\":3"); }},
        Case{"unknown_fields", "valid", {}, [](Lines& l) { l[19] = replaced(l[19], "{", "{\"x\":[1e999,{}],"); }},
        Case{"not_an_object", "json: invalid type: null, expected struct SignedEvent at line 1 column 4", {}, [](Lines& l) { l.insert(l.begin() + 90, "null\n"); }},
        Case{"break_then_malformed", "json: EOF while parsing a value at line 1 column 7", [](auto& r) { flip_signature(r[3]); }, [](Lines& l) { l.push_back("{\"seq\":\n"); }},
        // The line limit: just above the longest record, so that only the
        // lines made long here pass it.
        Case{"long_line_inside", "line 46: longer than 800 bytes", {}, [](Lines& l) { l[45] = padded(l[45], 900); }, 800},
        Case{"long_blank_line", "line 3: longer than 800 bytes", {}, [](Lines& l) { l.insert(l.begin() + 2, std::string(801, ' ') + "\n"); }, 800},
        Case{"long_last_line_without_lf", "line 121: longer than 800 bytes", {}, [](Lines& l) { l.push_back(std::string(5000, 'x')); }, 800},
        Case{"long_line_after_malformed", "json: EOF while parsing a list at line 1 column 1", {},
             [](Lines& l) {
               l[30] = "[\n";
               l.push_back(std::string(5000, 'x'));
             },
             800},
        Case{"long_line_after_break", "line 101: longer than 800 bytes", [](auto& r) { flip_signature(r[5]); },
             [](Lines& l) { l[100] = padded(l[100], 5000); }, 800},
        Case{"line_at_the_limit", "valid", {}, [](Lines& l) { l[70] = padded(l[70], 800 - (l[70].size() - 1)); }, 800}),
    [](const auto& info) { return std::string(info.param.name); });

// Random ledgers, damaged in their records and their text, read in runs of
// random length on a random number of threads.
class RandomLedgers : public testing::TempDir {};

TEST_F(RandomLedgers, ReadOnThreadsAsOnOne) {
  std::mt19937 rng(4321);
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  const RecordEdit record_edits[] = {
      [&](auto& r) { flip_signature(r[pick(r.size())]); },
      [&](auto& r) { r[pick(r.size())].timestamp_nanos ^= 1; },
      [&](auto& r) { r.erase(r.begin() + pick(r.size())); },
      [&](auto& r) { r[pick(r.size())].parent_hash = r[pick(r.size())].self_hash; },
      [&](auto& r) { std::swap(r[pick(r.size())], r[pick(r.size())]); },
      [&](auto& r) { r[pick(r.size())].seq += 1; },
  };
  const LineEdit line_edits[] = {
      [&](Lines& l) { l.insert(l.begin() + pick(l.size() + 1), std::string(pick(4), ' ') + "\n"); },
      [&](Lines& l) { l[pick(l.size())].insert(0, "\r"); },
      [&](Lines& l) { std::string& s = l[pick(l.size())]; s[pick(s.size())] = static_cast<char>(pick(256)); },
      [&](Lines& l) { l.back().pop_back(); },
      [&](Lines& l) { std::string& s = l[pick(l.size())]; s.resize(pick(s.size())); },
  };
  int errors = 0, broken = 0;
  for (int trial = 0; trial < 40; ++trial) {
    std::vector<SignedEvent> records(intact_chain().begin(), intact_chain().begin() + 1 + pick(80));
    for (std::size_t n = pick(3); n > 0 && !records.empty(); --n) record_edits[pick(6)](records);
    Lines lines = lines_of(records);
    for (std::size_t n = pick(3); n > 0 && !lines.empty(); --n) line_edits[pick(5)](lines);
    std::string p = path("ledger-" + std::to_string(trial));
    write_file(p, joined(lines));
    ReadOptions options{.max_line_bytes = pick(3) == 0 ? 500 + pick(300) : kDefaultMaxLineBytes,
                        .keep_reading = {}};
    unsigned jobs = 2 + static_cast<unsigned>(pick(3));
    std::size_t chunk = 1 + pick(pick(2) == 0 ? 700 : 20000);
    SCOPED_TRACE(::testing::Message() << "trial " << trial << ": " << jobs << " jobs, runs of " << chunk
                                      << ", limit " << options.max_line_bytes);
    auto single = expect_same_walks(p, options, jobs, chunk);
    errors += !single.has_value();
    broken += single && !single->ok();
  }
  // The damage does reach both outcomes.
  EXPECT_GT(errors, 8);
  EXPECT_GT(broken, 8);
}

// The runs against a model: together they are the text; each ends with an
// LF at or after its length from its start, but the last, and is not longer
// than needed. A line still without its LF when a read makes it longer than
// the limit stops the cutter, after the lines before it were handed out; a
// line longer than the limit by a read always does.
TEST(LineCutter, RunsAreWholeLinesOfTheGivenLength) {
  std::mt19937 rng(77);
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  int stopped = 0;
  for (int trial = 0; trial < 300; ++trial) {
    std::string text;
    for (std::size_t n = pick(30); n > 0; --n) text += std::string(pick(pick(4) == 0 ? 400 : 40), 'x') + "\n";
    if (pick(2) == 0) text += std::string(pick(300), 'y');
    const std::size_t chunk = 1 + pick(200), limit = 1 + pick(500), piece = 1 + pick(100);
    SCOPED_TRACE(::testing::Message() << "trial " << trial << " chunk " << chunk << " limit " << limit
                                      << " piece " << piece);
    LineCutter cutter(chunk, limit);
    std::vector<LineChunk> runs;
    bool too_long = false;
    std::size_t taken = 0;
    while (taken < text.size() && !too_long) {
      std::string_view bytes = std::string_view(text).substr(taken, piece);
      cutter.take(bytes);
      taken += bytes.size();
      while (auto run = cutter.next()) runs.push_back(std::move(*run));
      too_long = cutter.line_too_long();
    }
    if (auto rest = too_long ? cutter.whole_lines() : cutter.rest()) runs.push_back(std::move(*rest));
    std::string together;
    for (std::size_t i = 0; i < runs.size(); ++i) {
      EXPECT_EQ(runs[i].index, i);
      together += runs[i].bytes;
      if (i + 1 == runs.size()) break;
      const std::string& bytes = runs[i].bytes;
      ASSERT_GE(bytes.size(), chunk);
      EXPECT_EQ(bytes.find('\n', chunk - 1), bytes.size() - 1);
    }
    // The model: where each line starts and ends, and the first line that
    // no cut of the reads can keep from passing the limit unseen.
    std::size_t start = 0, sure_long = text.size();
    while (start < text.size() && sure_long == text.size()) {
      std::size_t end = std::min(text.find('\n', start), text.size());
      if (end - start >= limit + piece) sure_long = start;
      start = end + 1;
    }
    if (!too_long) {
      EXPECT_EQ(sure_long, text.size());
      EXPECT_EQ(together, text);
      continue;
    }
    ++stopped;
    const std::size_t at = together.size();  // the long line starts here
    EXPECT_TRUE(at == 0 || text[at - 1] == '\n');
    EXPECT_LE(at, sure_long);
    EXPECT_EQ(together, text.substr(0, at));
    EXPECT_GT(std::min(text.find('\n', at), text.size()) - at, limit);
    EXPECT_LE(taken, at + limit + piece);
  }
  EXPECT_GT(stopped, 30);
}

}  // namespace
}  // namespace tallyvox
