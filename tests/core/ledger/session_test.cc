#include "core/ledger/session.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "core/crypto/keys.h"
#include "core/ledger/chain.h"
#include "core/tlog/checkpoint.h"
#include "tests/core/file_size_limit.h"
#include "tests/core/keypair_fixture.h"
#include "tests/core/ledger_lines.h"
#include "tests/core/temp_dir.h"

namespace tallyvox {
namespace {

SigningKeypair key(unsigned char fill) { return testing::keypair_filled(fill); }

using testing::text_of;

// A record's line with its LF: what one record adds to the file.
std::size_t line_size(const SignedEvent& r) { return testing::line_of(r).size() + 1; }

json::Value nested(int levels) {
  json::Value v = json::Value::uint(1);
  for (int i = 0; i < levels; ++i) v = json::Value(json::Array{std::move(v)});
  return v;
}

// Events with distinct payloads, and the pointers record_many takes.
struct Events {
  explicit Events(int n, int from = 0) {
    for (int i = 0; i < n; ++i) owned.push_back(SessionEnded{"r" + std::to_string(from + i), "s"});
    for (const AgentEvent& e : owned) pointers.push_back(&e);
  }
  std::vector<AgentEvent> owned;
  std::vector<const AgentEvent*> pointers;
};

// The bytes of the lines of `events` at seq `first` on: hashes, signature and
// timestamp have a fixed width, so the key and the parent do not matter.
std::size_t lines_size(const Events& events, std::uint64_t first, std::size_t count) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < count; ++i) {
    n += line_size(seal_event(first + i, events.owned[i], kGenesisParentHash, key(1)));
  }
  return n;
}

class SessionBatch : public testing::TempDir {
 protected:
  std::unique_ptr<Session> open(const std::string& p, unsigned char signer = 1) {
    auto session = Session::open(key(signer), p, "batch");
    EXPECT_TRUE(session) << display(session.error());
    return std::move(*session);
  }
};

// Batches of any size, mixed with single records, make one chain whose
// lines are exactly those returned, in order; an empty batch writes nothing.
TEST_F(SessionBatch, RecordManyAppendsExactlyTheReturnedLines) {
  std::string p = path("l");
  auto session = open(p);
  std::vector<SignedEvent> all;
  int made = 0;
  for (int size : {1, 0, 3, 7, 0, 2}) {
    Events events(size, made);
    made += size;
    auto batch = session->record_many(events.pointers);
    ASSERT_TRUE(batch) << display(batch.error());
    ASSERT_EQ(batch->size(), static_cast<std::size_t>(size));
    all.insert(all.end(), batch->begin(), batch->end());
    EXPECT_EQ(read_file(p), text_of(all)) << size;
    auto one = session->record(SessionEnded{"single", "s"});
    ASSERT_TRUE(one);
    all.push_back(*one);
  }
  auto read = read_ledger(p);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, all);
  EXPECT_TRUE(verify_events(*read).ok());
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].seq, i);
}

// A batch cut off at any byte, or refused before writing because one of its
// lines could not be read back, leaves the file, the seq and the parent as
// they were: the next batch takes the same seq.
TEST_F(SessionBatch, AFailedBatchIsTakenBackWhole) {
  std::string p = path("l");
  auto session = open(p);
  std::vector<SignedEvent> kept{*session->record(SessionEnded{"first", "s"})};
  Events four(4);
  for (int cut : {0, 1, 2, 3}) {
    // None, one byte, half of the batch, all but its last LF.
    std::size_t bytes = lines_size(four, kept.size(), 4);
    std::size_t allowed = cut < 2 ? cut : cut == 2 ? bytes / 2 : bytes - 1;
    std::string before = read_file(p);
    {
      testing::FileSizeLimit limit(before.size() + allowed);
      auto failed = session->record_many(four.pointers);
      ASSERT_FALSE(failed) << allowed;
      EXPECT_EQ(display(failed.error()), "io: File too large (os error 27)");
    }
    EXPECT_EQ(read_file(p), before) << allowed;
    auto next = session->record_many(four.pointers);
    ASSERT_TRUE(next) << display(next.error());
    EXPECT_EQ(next->front().seq, kept.size());
    EXPECT_EQ(next->front().parent_hash, kept.back().self_hash);
    kept.insert(kept.end(), next->begin(), next->end());
  }
  std::vector<AgentEvent> deep{SessionEnded{"a", "s"}, ToolCalled{"t", "h", nested(125)},
                               SessionEnded{"b", "s"}};
  std::vector<const AgentEvent*> pointers{&deep[0], &deep[1], &deep[2]};
  std::string before = read_file(p);
  auto refused = session->record_many(pointers);
  ASSERT_FALSE(refused);
  EXPECT_EQ(display(refused.error()), "json: recursion limit exceeded");
  EXPECT_EQ(read_file(p), before);
  auto after = session->record(SessionEnded{"after", "s"});
  ASSERT_TRUE(after);
  EXPECT_EQ(after->seq, kept.size());
  kept.push_back(*after);
  EXPECT_EQ(read_file(p), text_of(kept));
  EXPECT_TRUE(verify_ledger_file(p)->ok());
}

// Batches close once their lines reach max_bytes; each event gets the
// outcome of its own batch, and a failed batch does not stop the next.
TEST_F(SessionBatch, RecordBatchesSplitsByBytes) {
  std::string p = path("l");
  auto session = open(p);
  Events ten(10);
  std::size_t line = lines_size(ten, 0, 1);
  // Every line of these events is `line` bytes long: 2.5 lines close a
  // batch at its third line.
  auto outcomes = session->record_batches(ten.pointers, line * 5 / 2);
  ASSERT_EQ(outcomes.size(), 10u);
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    ASSERT_TRUE(outcomes[i]);
    EXPECT_EQ(outcomes[i]->seq, i);
  }
  // Room for one more batch of three: the next two batches fail alone.
  Events seven(7, 10);
  std::string before = read_file(p);
  std::size_t three = lines_size(seven, 10, 3);
  std::vector<std::expected<SignedEvent, SessionError>> limited;
  {
    testing::FileSizeLimit limit(before.size() + three + line / 2);
    limited = session->record_batches(seven.pointers, line * 5 / 2);
  }
  ASSERT_EQ(limited.size(), 7u);
  for (std::size_t i = 0; i < limited.size(); ++i) {
    EXPECT_EQ(limited[i].has_value(), i < 3) << i;
    if (!limited[i]) {
      EXPECT_EQ(display(limited[i].error()), "io: File too large (os error 27)");
    }
  }
  EXPECT_EQ(read_file(p).size(), before.size() + three);
  auto next = session->record(SessionEnded{"next", "s"});
  ASSERT_TRUE(next);
  EXPECT_EQ(next->seq, 13u);
  EXPECT_TRUE(verify_ledger_file(p)->ok());
}

// --- checkpoints from the session's own tree ------------------------------

std::string outcome_text(const CheckpointResult<SignedCheckpoint>& made) {
  if (made) return made->note;
  return std::to_string(static_cast<int>(made.error().kind)) + " " + made.error().message;
}

std::string session_text(Session& session, const std::optional<std::string>& origin) {
  auto made = session.checkpoint(origin);
  if (!made) return "session error: " + display(made.error());
  return outcome_text(*made);
}

// The session's checkpoint is make_checkpoint's, note for note (or refusal
// for refusal), at every size and after a resume, with either origin.
TEST_F(SessionBatch, CheckpointEqualsMakeCheckpointAsTheLedgerGrows) {
  std::string p = path("l");
  SigningKeypair kp = key(3);
  int made = 0;
  for (int reopen = 0; reopen < 2; ++reopen) {
    auto session = open(p, 3);
    for (int step = 0; step < 12; ++step) {
      for (const std::optional<std::string>& origin : {std::optional<std::string>{}, std::optional<std::string>{"log.example/a"}}) {
        EXPECT_EQ(session_text(*session, origin), outcome_text(make_checkpoint(p, kp, origin)))
            << made;
      }
      Events events(step % 4, made);
      made += step % 4;
      ASSERT_TRUE(session->record_many(events.pointers));
    }
  }
}

struct Resumed {
  const char* name;
  // Rewrites the lines of a valid chain of 4 events by key 5.
  std::function<void(std::vector<SignedEvent>&)> change;
};

// A session that resumed a ledger with a broken link or another signer
// refuses as make_checkpoint does, in the same words. It takes hashes and
// signatures as read: a rewritten payload is signed over, and the checkpoint
// still fails every check of the ledger against it.
TEST_F(SessionBatch, CheckpointRefusesWhatMakeCheckpointRefuses) {
  const Resumed cases[] = {
      {"first by another key", [](auto& r) { r[0] = seal_event(0, r[0].event, kGenesisParentHash, key(6)); }},
      {"third by another key",
       [](auto& r) { r[2] = seal_event(2, r[2].event, r[1].self_hash, key(6)); }},
      {"seq gap", [](auto& r) { r[2] = seal_event(3, r[2].event, r[1].self_hash, key(5)); }},
      {"parent mismatch", [](auto& r) { r[1] = seal_event(1, r[1].event, r[3].self_hash, key(5)); }},
  };
  for (const Resumed& c : cases) {
    std::string p = path(c.name);
    std::vector<SignedEvent> records;
    std::string parent(kGenesisParentHash);
    for (int i = 0; i < 4; ++i) {
      records.push_back(seal_event(i, SessionEnded{"r", std::to_string(i)}, parent, key(5)));
      parent = records.back().self_hash;
    }
    c.change(records);
    write_file(p, text_of(records));
    auto session = open(p, 5);
    ASSERT_TRUE(session->record(SessionEnded{"more", "s"}));
    std::string expected = outcome_text(make_checkpoint(p, key(5), std::nullopt));
    EXPECT_EQ(expected.rfind("1 ", 0), 0u) << c.name << ": " << expected;
    EXPECT_EQ(session_text(*session, std::nullopt), expected) << c.name;
  }

  std::string p = path("tampered");
  {
    auto session = open(p, 5);
    Events events(3);
    ASSERT_TRUE(session->record_many(events.pointers));
  }
  std::string text = read_file(p);
  text.replace(text.find("\"r1\""), 4, "\"R1\"");
  write_file(p, text);
  auto session = open(p, 5);
  auto made = session->checkpoint(std::nullopt);
  ASSERT_TRUE(made && *made);
  EXPECT_EQ(outcome_text(make_checkpoint(p, key(5), std::nullopt)),
            "1 the chain is broken at seq 1: event verification failed: self_hash mismatch");
  auto check = verify_ledger_checkpoint(p, (*made)->note, {});
  ASSERT_FALSE(check);
  EXPECT_EQ(check.error().message,
            "the chain breaks at seq 1, within the checkpoint's events: event verification "
            "failed: self_hash mismatch");
}

// A closed session refuses every call, once or twice closed, and writes
// nothing more; the last checkpoint made stays readable.
TEST_F(SessionBatch, LastCheckpointAndClose) {
  std::string p = path("l");
  auto session = open(p);
  EXPECT_EQ(session->last_checkpoint(), std::nullopt);
  ASSERT_TRUE(session->record(SessionEnded{"r", "s"}));
  auto refused = session->checkpoint("bad origin");
  ASSERT_TRUE(refused && !*refused);
  EXPECT_EQ(session->last_checkpoint(), std::nullopt);
  auto made = session->checkpoint(std::nullopt);
  ASSERT_TRUE(made && *made);
  EXPECT_FALSE(session->closed());
  session->close();
  session->close();
  EXPECT_TRUE(session->closed());
  EXPECT_EQ(session->session_id(), "batch");
  EXPECT_EQ(session->last_checkpoint(), (*made)->note);
  auto record = session->record(SessionEnded{"r", "s"});
  ASSERT_FALSE(record);
  EXPECT_TRUE(std::holds_alternative<SessionError::Closed>(record.error().kind));
  auto closed = session->checkpoint(std::nullopt);
  ASSERT_FALSE(closed);
  Events two(2);
  auto outcomes = session->record_batches(two.pointers, SIZE_MAX);
  ASSERT_EQ(outcomes.size(), 2u);
  for (const std::string& text : {display(record.error()), display(closed.error()), display(outcomes[0].error()),
                                  display(outcomes[1].error())}) {
    EXPECT_EQ(text, "the session is closed");
  }
  EXPECT_EQ(read_ledger(p)->size(), 1u);
}

}  // namespace
}  // namespace tallyvox
