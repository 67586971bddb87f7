#include "core/ledger/ledger.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/crypto/keys.h"
#include "core/json/text.h"
#include "core/ledger/chain.h"
#include "core/ledger/session.h"
#include "tests/core/file_size_limit.h"
#include "tests/core/keypair_fixture.h"
#include "tests/core/ledger_lines.h"
#include "tests/core/temp_dir.h"

namespace tallyvox {
namespace {

SigningKeypair key(unsigned char fill) { return testing::keypair_filled(fill); }

using testing::line_of;
using testing::text_of;

class Ledger : public testing::TempDir {
 protected:
  // A valid chain of n records, as the lines a session would write.
  std::vector<SignedEvent> chain(int n, unsigned char signer = 1) {
    SigningKeypair kp = key(signer);
    std::vector<SignedEvent> out;
    std::string parent(kGenesisParentHash);
    for (int i = 0; i < n; ++i) {
      out.push_back(seal_event(i, SessionEnded{"r" + std::to_string(i), "s"}, parent, kp));
      parent = out.back().self_hash;
    }
    return out;
  }
  std::string read_error(const std::string& p) {
    auto read = read_ledger(p);
    return read ? std::string("ok ") + std::to_string(read->size()) : display(read.error());
  }
};

TEST_F(Ledger, OpenCreatesDirectoriesAndAnEmptyFile) {
  std::string p = path("a/b/ledger.ndjson");
  auto writer = LedgerWriter::open(p);
  ASSERT_TRUE(writer) << display(writer.error());
  EXPECT_TRUE(is_directory(path("a/b")));
  EXPECT_EQ(read_file(p), "");
  EXPECT_EQ(mode_of(p) & 0600, 0600);
}

// Opening changes nothing; the first line is not glued onto a last line
// that lacks its LF.
TEST_F(Ledger, AppendsExactLinesAfterExistingBytes) {
  auto records = chain(2);
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"prefix\n", "prefix\n"}, {"prefix", "prefix\n"}, {" \r", " \r\n"}};
  for (const auto& [existing, kept] : cases) {
    std::string p = path("l" + std::to_string(existing.size()));
    write_file(p, existing);
    {
      auto writer = LedgerWriter::open(p);
      ASSERT_TRUE(writer);
      EXPECT_EQ(read_file(p), existing);
      for (const auto& r : records) ASSERT_TRUE((*writer)->append(r));
    }
    EXPECT_EQ(read_file(p), kept + text_of(records)) << existing;
  }
}

TEST_F(Ledger, ReadsBackWhatWasAppended) {
  std::string p = path("l.ndjson");
  auto records = chain(3);
  auto writer = LedgerWriter::open(p);
  for (const auto& r : records) ASSERT_TRUE((*writer)->append(r));
  auto read = read_ledger(p);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, records);
}

TEST_F(Ledger, FramingTolerance) {
  auto records = chain(2);
  std::string lf = text_of(records);
  const std::pair<std::string, std::string> files[] = {
      {"", "ok 0"},
      {"\n\n  \t\n\xc2\xa0\n\xe3\x80\x80\r\n", "ok 0"},
      {text_of(records, "\r\n"), "ok 2"},
      {lf.substr(0, lf.size() - 1), "ok 2"},  // no final LF
      {"\n" + lf + "\n \n", "ok 2"},
      {"\xef\xbb\xbf" + lf, "json: expected value at line 1 column 1"},
      {"\xc2\xa0" + lf, "json: expected value at line 1 column 1"},
      {lf + "\xff\n", "io: stream did not contain valid UTF-8"},
      {"\xed\xa0\x80\n" + lf, "io: stream did not contain valid UTF-8"},
      {lf + lf.substr(0, 40), "json: EOF while parsing an object at line 1 column 40"},
      {line_of(records[0]) + line_of(records[1]) + "\n", "json: trailing characters at line 1 column " +
                                                             std::to_string(line_of(records[0]).size() + 1)},
  };
  int i = 0;
  for (const auto& [text, expected] : files) {
    std::string p = path("f" + std::to_string(i++));
    write_file(p, text);
    EXPECT_EQ(read_error(p), expected) << i;
  }
}

TEST_F(Ledger, UnreadablePaths) {
  EXPECT_EQ(read_error(path("missing/ledger")), "ok 0");
  EXPECT_EQ(read_error(std::string("with\0nul", 8)), "ok 0");
  EXPECT_EQ(read_error(dir_), "io: not a regular file (a directory)");
  auto writer = LedgerWriter::open(dir_);
  ASSERT_FALSE(writer);
  EXPECT_EQ(display(writer.error()), "io: not a regular file (a directory)");
  auto nul = LedgerWriter::open(path(std::string("a\0b", 3)));
  ASSERT_FALSE(nul);
  EXPECT_EQ(display(nul.error()), "io: file name contained an unexpected NUL byte");
}

TEST_F(Ledger, SessionStartsAndResumes) {
  std::string p = path("s/ledger.ndjson");
  SigningKeypair kp = key(2);
  std::vector<SignedEvent> written;
  {
    auto session = Session::open(kp, p, "one");
    ASSERT_TRUE(session);
    for (int i = 0; i < 3; ++i) {
      auto r = (*session)->record(SessionStarted{"a", "m", "s"});
      ASSERT_TRUE(r);
      written.push_back(*r);
    }
  }
  EXPECT_EQ(written[0].seq, 0u);
  EXPECT_EQ(written[0].parent_hash, kGenesisParentHash);
  EXPECT_EQ(written[2].parent_hash, written[1].self_hash);
  EXPECT_EQ(read_file(p), text_of(written));

  // Resume after blank lines, with another key.
  write_file(p, read_file(p) + "\n  \n");
  auto again = Session::open(key(3), p, "");
  ASSERT_TRUE(again);
  auto next = (*again)->record(SessionEnded{"done", "x"});
  ASSERT_TRUE(next);
  EXPECT_EQ(next->seq, 3u);
  EXPECT_EQ(next->parent_hash, written[2].self_hash);
  auto report = verify_ledger_file(p);
  ASSERT_TRUE(report);
  EXPECT_TRUE(report->ok());
  EXPECT_EQ(report->event_count, 4u);
  EXPECT_EQ(report->root_hash, next->self_hash);
}

TEST_F(Ledger, SessionResumesFromTheLastSeqWhateverCameBefore) {
  std::string p = path("l");
  SignedEvent last = seal_event(41, SessionEnded{"r", "s"}, "anything", key(4));
  write_file(p, text_of(chain(2)) + line_of(last) + "\n");
  auto session = Session::open(key(5), p, "x");
  ASSERT_TRUE(session);
  auto r = (*session)->record(SessionEnded{"r", "s"});
  EXPECT_EQ(r->seq, 42u);
  EXPECT_EQ(r->parent_hash, last.self_hash);
}

TEST_F(Ledger, SessionRefusesALedgerWithATornLine) {
  std::string p = path("l");
  std::string text = text_of(chain(2));
  write_file(p, text.substr(0, text.size() - 10));
  auto session = Session::open(key(1), p, "x");
  ASSERT_FALSE(session);
  EXPECT_EQ(display(session.error()).rfind("json: EOF while parsing a string at line 1 column ", 0), 0u);
  EXPECT_EQ(read_file(p), text.substr(0, text.size() - 10));
}

// Resuming reads as read_ledger reads, with the options given: it opens
// what read_ledger reads, after its last record, and refuses what it
// refuses with the same text (the line limit naming the line, the check
// stopping the read). Ledgers of records of every kind, damaged at random.
TEST_F(Ledger, SessionResumesWhatTheReaderReadsAndRefusesWhatItRefuses) {
  std::mt19937 rng(5);
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  const AgentEvent kinds[] = {SessionStarted{"a", "m", "s"}, UtteranceCaptured{"h", "caf\xc3\xa9", "en", 5},
                              ToolCalled{"t", "h", *json::parse_json_text(R"({"k":[1,-2,3.5e300,"\u00e9"]})")},
                              ToolReturned{"t", "h", 7, true}, ModelInvoked{"m", "p", "r", 1, 2},
                              UtteranceSpoken{"h", "text", "a"}, SessionEnded{"r", "s"}};
  std::string parent(kGenesisParentHash);
  std::vector<std::string> lines;
  for (std::uint64_t seq = 0; seq < 40; ++seq) {
    SignedEvent r = seal_event(seq, kinds[seq % 7], parent, key(1 + seq % 2));
    parent = r.self_hash;
    lines.push_back(line_of(r) + "\n");
  }
  const std::string damage[] = {"\n", "  \r\n", "\r", "\xff", "}", "1e999", "\"", ","};
  int refused = 0;
  for (int trial = 0; trial < 60; ++trial) {
    std::vector<std::string> text(lines.begin(), lines.begin() + pick(lines.size() + 1));
    for (std::size_t n = pick(3); n > 0 && !text.empty(); --n) {
      std::string& line = text[pick(text.size())];
      line.insert(pick(line.size() + 1), damage[pick(std::size(damage))]);
    }
    std::string p = path("l" + std::to_string(trial));
    write_file(p, std::accumulate(text.begin(), text.end(), std::string()));
    ReadOptions options{.max_line_bytes = pick(4) == 0 ? 300 : kDefaultMaxLineBytes,
                        .keep_reading = [&](bool) { return trial % 5 != 0; }};
    auto expected = read_ledger(p, options);
    auto session = Session::open(key(3), p, "s", options);
    SCOPED_TRACE(::testing::Message() << "trial " << trial);
    ASSERT_EQ(session.has_value(), expected.has_value());
    if (!expected) {
      ++refused;
      EXPECT_EQ(display(session.error()), display(expected.error()));
      continue;
    }
    auto next = (*session)->record(SessionEnded{"r", "s"});
    ASSERT_TRUE(next);
    EXPECT_EQ(next->seq, expected->empty() ? 0 : expected->back().seq + 1);
    EXPECT_EQ(next->parent_hash, expected->empty() ? std::string(kGenesisParentHash) : expected->back().self_hash);
  }
  EXPECT_GT(refused, 15);
}

TEST_F(Ledger, ConcurrentRecordsFormOneChainInFileOrder) {
  std::string p = path("l");
  auto session = Session::open(key(6), p, "threads");
  ASSERT_TRUE(session);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) ASSERT_TRUE((*session)->record(SessionEnded{"r", "s"}));
    });
  }
  for (auto& t : threads) t.join();
  auto read = read_ledger(p);
  ASSERT_TRUE(read);
  ASSERT_EQ(read->size(), 100u);
  for (std::size_t i = 0; i < read->size(); ++i) EXPECT_EQ((*read)[i].seq, i);
  EXPECT_TRUE(verify_events(*read).ok());
}

}  // namespace
}  // namespace tallyvox

namespace tallyvox {
namespace {

json::Value nested(int levels) {
  json::Value v = json::Value::uint(1);
  for (int i = 0; i < levels; ++i) v = json::Value(json::Array{std::move(v)});
  return v;
}

// The deepest line the reader accepts holds args_redacted nested 124 levels
// (the line, the event and the payload make the other three); one level more
// is refused before anything is written, and its seq goes to the next record.
TEST_F(Ledger, ALineTooDeepToReadBackIsNeverWritten) {
  std::string p = path("deep");
  auto session = Session::open(key(8), p, "deep");
  ASSERT_TRUE(session);
  auto fits = (*session)->record(ToolCalled{"t", "h", nested(124)});
  ASSERT_TRUE(fits) << display(fits.error());
  std::string before = read_file(p);
  auto refused = (*session)->record(ToolCalled{"t", "h", nested(125)});
  ASSERT_FALSE(refused);
  EXPECT_EQ(display(refused.error()), "json: recursion limit exceeded");
  EXPECT_EQ(read_file(p), before);
  auto next = (*session)->record(SessionEnded{"r", "s"});
  ASSERT_TRUE(next);
  EXPECT_EQ(next->seq, 1u);
  EXPECT_EQ(next->parent_hash, fits->self_hash);
  EXPECT_TRUE(verify_ledger_file(p)->ok());
  auto read = read_ledger(p);
  ASSERT_TRUE(read) << display(read.error());
  EXPECT_EQ(read->size(), 2u);
}

}  // namespace
}  // namespace tallyvox

namespace tallyvox {
namespace {

// Whatever the size of the pieces the bytes arrive in, the same records or
// the same error come out.
TEST_F(Ledger, PiecesOfAnySizeReadTheSame) {
  auto records = chain(3);
  std::string good = text_of(records, "\r\n") + " \n";
  std::string bad = text_of(records) + "\xc3\n";
  for (const std::string& bytes : {good, bad}) {
    std::vector<SignedEvent> whole;
    LedgerReader all([&](SignedEvent&& r) { whole.push_back(r); });
    auto all_fed = all.feed(bytes);
    auto expected = all_fed ? all.finish() : all_fed;
    for (std::size_t piece : {1u, 2u, 7u, 100u, 4096u}) {
      std::vector<SignedEvent> got;
      // A temporary callable: the reader holds its own copy.
      LedgerReader reader([&](SignedEvent&& r) { got.push_back(r); });
      std::expected<void, LedgerError> result;
      for (std::size_t at = 0; at < bytes.size() && result; at += piece) {
        result = reader.feed(std::string_view(bytes).substr(at, piece));
      }
      if (result) result = reader.finish();
      EXPECT_EQ(got, whole) << piece;
      ASSERT_EQ(result.has_value(), expected.has_value()) << piece;
      if (!result) {
        EXPECT_EQ(display(result.error()), display(expected.error())) << piece;
      }
    }
  }
}

}  // namespace
}  // namespace tallyvox

namespace tallyvox {
namespace {

// A record that fails before any byte, part way or just before its LF leaves
// the file as it was, and the next record takes the same seq.
TEST_F(Ledger, AFailedAppendLeavesNoTrace) {
  std::string p = path("l");
  auto session = Session::open(key(9), p, "limits");
  ASSERT_TRUE(session);
  std::vector<SignedEvent> kept{*(*session)->record(SessionEnded{"r", "s"})};
  std::size_t line = read_file(p).size();
  for (std::size_t allowed : {std::size_t{0}, std::size_t{1}, std::size_t{100}, line - 1}) {
    std::string before = read_file(p);
    {
      testing::FileSizeLimit limit(before.size() + allowed);
      auto failed = (*session)->record(SessionEnded{"r", "s"});
      ASSERT_FALSE(failed) << allowed;
      EXPECT_EQ(display(failed.error()), "io: File too large (os error 27)");
    }
    EXPECT_EQ(read_file(p), before) << allowed;
    auto next = (*session)->record(SessionEnded{"r", "s"});
    ASSERT_TRUE(next) << display(next.error());
    EXPECT_EQ(next->seq, kept.size());
    kept.push_back(*next);
  }
  EXPECT_EQ(read_file(p), text_of(kept));
  auto report = verify_ledger_file(p);
  ASSERT_TRUE(report);
  EXPECT_TRUE(report->ok());
  EXPECT_EQ(report->event_count, kept.size());
}

}  // namespace
}  // namespace tallyvox
