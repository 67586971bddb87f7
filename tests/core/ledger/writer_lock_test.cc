// One writer per ledger: whoever holds a ledger (a writer, a session) keeps
// every other writer, session and recovery out until it is gone; readers
// neither lock nor drop the lock.
#include "core/ledger/writer_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/ledger/ledger.h"
#include "core/ledger/recover.h"
#include "core/ledger/session.h"
#include "core/util/io.h"
#include "tests/core/keypair_fixture.h"
#include "tests/core/temp_dir.h"

namespace tallyvox {
namespace {

const AgentEvent kEnd = SessionEnded{"done", "ab"};

// Something that holds a ledger until `release` runs.
struct Holder {
  const char* name;
  std::function<std::function<void()>(const std::string&)> take;
};

// Something that tries to write a ledger: "ok", or its error text.
struct Contender {
  const char* name;
  std::function<std::string(const std::string&)> attempt;
};

std::string outcome_of_writer(const std::string& p) {
  auto w = LedgerWriter::open(p);
  return w ? "ok" : display(w.error());
}

std::string outcome_of_session(const std::string& p) {
  auto s = Session::open(testing::keypair_filled(3), p, "second");
  return s ? "ok" : display(s.error());
}

std::string outcome_of_recovery(const std::string& p) {
  auto r = recover_ledger(p);
  return r ? "ok" : display(r.error());
}

const Holder kHolders[] = {
    {"writer",
     [](const std::string& p) -> std::function<void()> {
       auto w = std::shared_ptr<LedgerWriter>(LedgerWriter::open(p).value());
       return [w]() mutable { w.reset(); };
     }},
    {"session, destroyed",
     [](const std::string& p) -> std::function<void()> {
       auto s = std::shared_ptr<Session>(Session::open(testing::keypair_filled(1), p, "one").value());
       return [s]() mutable { s.reset(); };
     }},
    {"session, closed",
     [](const std::string& p) -> std::function<void()> {
       auto s = std::shared_ptr<Session>(Session::open(testing::keypair_filled(1), p, "one").value());
       return [s] { s->close(); };  // the object lives on; the lock goes
     }},
};

const Contender kContenders[] = {
    {"writer", outcome_of_writer},
    {"session", outcome_of_session},
    {"recovery", outcome_of_recovery},
};

class WriterLock : public testing::TempDir {};

TEST_F(WriterLock, EveryOtherWriterIsRefusedUntilTheHolderIsGone) {
  for (const Holder& holder : kHolders) {
    for (const Contender& contender : kContenders) {
      SCOPED_TRACE(std::string(holder.name) + " holds, " + contender.name + " tries");
      std::string p = path(std::string(holder.name) + "-" + contender.name + ".ndjson");
      auto release = holder.take(p);
      EXPECT_EQ(contender.attempt(p), "the ledger \"" + p + "\" is open by another writer");
      // Reading neither needs the lock nor drops it.
      EXPECT_TRUE(read_ledger(p));
      EXPECT_TRUE(scan_ledger(p, [](SignedEvent&&) {}));
      EXPECT_NE(contender.attempt(p), "ok");
      release();
      EXPECT_EQ(contender.attempt(p), "ok");
    }
  }
}

// A refused session leaves the file as it found it: the holder's records are
// all there, and the holder goes on appending to one chain.
TEST_F(WriterLock, ARefusedSessionTouchesNothing) {
  std::string p = path("l");
  auto first = Session::open(testing::keypair_filled(1), p, "one").value();
  ASSERT_TRUE(first->record(kEnd));
  std::string before = TempDir::read_file(p);
  ASSERT_FALSE(Session::open(testing::keypair_filled(2), p, "two"));
  EXPECT_EQ(TempDir::read_file(p), before);
  auto next = first->record(kEnd);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->seq, 1u);
  EXPECT_EQ(read_ledger(p)->size(), 2u);
}

// The lock is not a classic fcntl lock: a third descriptor of the same file,
// opened and closed in this process, does not release it.
TEST_F(WriterLock, ClosingAnotherDescriptorKeepsTheLock) {
  std::string p = path("l");
  auto held = LedgerWriter::open(p).value();
  for (int flags : {O_RDONLY, O_RDWR}) {
    auto other = open_file(p, flags);
    ASSERT_TRUE(other);
    ASSERT_TRUE(other->close());
    EXPECT_NE(outcome_of_writer(p), "ok") << flags;
  }
}

using SessionClose = testing::TempDir;

// Threads record while another closes: close waits for the record in
// progress, so every record that returned is in the file, in seq order, and
// every one after the close is refused without writing.
TEST_F(SessionClose, CloseWaitsForTheRecordInProgress) {
  std::string p = path("l");
  auto s = Session::open(testing::keypair_filled(1), p, "one").value();
  std::atomic<int> returned{0}, refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (;;) {
        auto r = s->record(kEnd);
        if (!r) {
          EXPECT_EQ(display(r.error()), "the session is closed");
          ++refused;
          return;
        }
        ++returned;
      }
    });
  }
  while (returned.load() < 20) std::this_thread::yield();
  s->close();
  for (auto& t : threads) t.join();
  EXPECT_EQ(refused.load(), 3);
  auto lines = read_ledger(p).value();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(returned.load()));
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].seq, i);
  // The lock went with the close: a new session resumes after the last.
  auto next = Session::open(testing::keypair_filled(2), p, "two").value()->record(kEnd);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->seq, lines.size());
}

}  // namespace
}  // namespace tallyvox
