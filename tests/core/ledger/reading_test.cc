// Reads against hostile input: the line limit of the reader (against a model
// of the lines), the check that lets a caller stop a read, files that are not
// regular, and thread pools that cannot start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/ledger/chain.h"
#include "core/ledger/ledger.h"
#include "core/ledger/parallel_walk.h"
#include "core/ledger/recover.h"
#include "core/ledger/session.h"
#include "tests/core/keypair_fixture.h"
#include "tests/core/ledger_lines.h"
#include "tests/core/temp_dir.h"

namespace tallyvox {
namespace {

using testing::line_of;

// Records whose lines differ in length, by the length of their text.
std::vector<std::string> record_lines(std::mt19937& rng, int n) {
  SigningKeypair kp = testing::keypair_filled(5);
  std::vector<std::string> lines;
  std::string parent(kGenesisParentHash);
  for (int i = 0; i < n; ++i) {
    std::string text(std::uniform_int_distribution<int>(0, 600)(rng), 'x');
    SignedEvent r = seal_event(i, UtteranceSpoken{"t", text, "a"}, parent, kp);
    parent = r.self_hash;
    lines.push_back(line_of(r));
  }
  return lines;
}

// The model: the first line (from 1) whose bytes before its LF exceed
// `limit`, blank lines counted; a final line without LF counts too.
std::optional<std::uint64_t> first_too_long(const std::string& text, std::size_t limit) {
  std::uint64_t number = 1;
  std::size_t start = 0;
  for (;;) {
    std::size_t lf = text.find('\n', start);
    std::size_t end = lf == std::string::npos ? text.size() : lf;
    if (end - start > limit) return number;
    if (lf == std::string::npos) return std::nullopt;
    start = lf + 1;
    ++number;
  }
}

std::expected<std::size_t, LedgerError> read_in_pieces(const std::string& text, std::size_t limit,
                                                        std::size_t piece) {
  std::size_t records = 0;
  LedgerReader reader([&](SignedEvent&&) { ++records; }, limit);
  for (std::size_t at = 0; at < text.size(); at += piece) {
    if (auto fed = reader.feed(std::string_view(text).substr(at, piece)); !fed) {
      return std::unexpected(fed.error());
    }
  }
  if (auto done = reader.finish(); !done) return std::unexpected(done.error());
  return records;
}

// Random ledgers (blank lines, CRLF ends, with or without a final LF) cut
// in random pieces, against random limits around their line lengths.
TEST(LineLimit, ALineLongerThanTheLimitIsAnErrorNamingIt) {
  std::mt19937 rng(99);
  int refused = 0;
  for (int trial = 0; trial < 60; ++trial) {
    std::vector<std::string> lines = record_lines(rng, 1 + trial % 7);
    std::string text;
    for (const std::string& line : lines) {
      if (rng() % 4 == 0) text += std::string(rng() % 40, ' ') + "\n";
      text += line + (rng() % 3 == 0 ? "\r\n" : "\n");
    }
    if (rng() % 2 == 0) text.pop_back();  // no final LF
    std::size_t longest = 0;
    for (const std::string& line : lines) longest = std::max(longest, line.size());
    std::size_t limit = std::uniform_int_distribution<std::size_t>(400, longest + 2)(rng);
    std::size_t piece = std::uniform_int_distribution<std::size_t>(1, 3000)(rng);
    SCOPED_TRACE(::testing::Message() << "trial " << trial << " limit " << limit << " piece " << piece);
    auto read = read_in_pieces(text, limit, piece);
    auto expected = first_too_long(text, limit);
    ASSERT_EQ(read.has_value(), !expected.has_value());
    if (read) {
      EXPECT_EQ(*read, lines.size());
      continue;
    }
    ++refused;
    EXPECT_EQ(display(read.error()), "line " + std::to_string(*expected) + ": longer than " +
                                         std::to_string(limit) + " bytes");
  }
  EXPECT_GT(refused, 10);  // the limits do cut lines
}

// An endless line is refused once it passes the limit: the reader never
// holds more, however much more comes.
TEST(LineLimit, AnEndlessLineStopsAtTheLimit) {
  for (std::size_t limit : {1u, 1000u, 65536u, 1000000u}) {
    std::size_t fed = 0;
    LedgerReader reader([](SignedEvent&&) {}, limit);
    std::string chunk(4096, '\0');
    std::expected<void, LedgerError> result;
    while (result && fed < 10 * limit + chunk.size()) {
      result = reader.feed(chunk);
      fed += chunk.size();
    }
    ASSERT_FALSE(result) << limit;
    EXPECT_LE(fed, limit + chunk.size()) << limit;
    EXPECT_EQ(display(result.error()), "line 1: longer than " + std::to_string(limit) + " bytes");
  }
}

// A chain of one key's records, at least `bytes` long, one line per record.
std::string chain_text(std::size_t bytes) {
  SigningKeypair kp = testing::keypair_filled(2);
  std::string text, parent(kGenesisParentHash);
  for (std::uint64_t seq = 0; text.size() < bytes; ++seq) {
    SignedEvent r = seal_event(seq, SessionEnded{"r", "s"}, parent, kp);
    parent = r.self_hash;
    text += line_of(r) + "\n";
  }
  return text;
}

using Reading = testing::TempDir;

// Every reader and writer of a ledger path: what is not a regular file is
// refused before a byte is read (a FIFO without a writer never blocks), a
// missing path reads as empty, and a huge sparse file stops at the limit.
TEST_F(Reading, EveryLedgerReadAndWriteRefusesHostileFiles) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  {
    int fd = ::open(path("sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 30), 0);
    ::close(fd);
  }
  const ReadOptions small{.max_line_bytes = 1 << 20, .keep_reading = {}};
  auto text = [](const auto& outcome) { return outcome ? std::string("ok") : display(outcome.error()); };
  const std::function<std::string(const std::string&)> ways[] = {
      [&](const std::string& p) { return text(read_ledger(p, small)); },
      [&](const std::string& p) { return text(verify_ledger_file_parallel(p, 3, nullptr, small)); },
      [&](const std::string& p) { return text(scan_ledger(p, [](SignedEvent&&) {}, small)); },  // the line named once
      [&](const std::string& p) { return text(LedgerWriter::open(p)); },
      [&](const std::string& p) { return text(Session::open(testing::keypair_filled(3), p, "s")); },
      [&](const std::string& p) { return text(recover_ledger(p)); },
  };
  const struct {
    std::string path;
    std::string text;
    int ways;  // the first `ways` of the above
  } cases[] = {
      {path("fifo"), "io: not a regular file (a FIFO)", 6},
      {"/dev/zero", "io: not a regular file (a device)", 6},
      {"/dev/null", "io: not a regular file (a device)", 6},
      {dir_, "io: not a regular file (a directory)", 6},
      {path("sparse"), "line 1: longer than 1048576 bytes", 3},
  };
  for (const auto& c : cases) {
    for (int way = 0; way < c.ways; ++way) EXPECT_EQ(ways[way](c.path), c.text) << c.path << " " << way;
  }
  auto missing = read_ledger(path("missing"), small);
  ASSERT_TRUE(missing);
  EXPECT_TRUE(missing->empty());
}

// The check is asked after every chunk; false ends the read with EINTR. A
// read on threads asks it on the calling thread after each chunk and while
// it waits for the threads (here, for one run of a whole chain whose seals
// take a while), and hands on no record of a run not taken back.
TEST_F(Reading, TheCheckIsAskedAfterEachChunkAndCanStopTheRead) {
  const std::string text = chain_text(16 * 65536);
  write_file(path("l"), text);
  const auto lines = static_cast<std::uint64_t>(std::ranges::count(text, '\n'));
  const int reads = static_cast<int>((text.size() + 65535) / 65536);
  for (int stop_after : {1, 3, 1000}) {
    int asked = 0;
    std::uint64_t seen = 0;
    ReadOptions options{.max_line_bytes = kDefaultMaxLineBytes,
                        .keep_reading = [&](bool signalled) {
                          EXPECT_FALSE(signalled);
                          return ++asked < stop_after;
                        }};
    auto read = read_ledger(path("l"), [&](SignedEvent&&) { ++seen; }, options);
    if (stop_after > reads) {
      EXPECT_TRUE(read);
      EXPECT_EQ(asked, reads);
      EXPECT_EQ(seen, lines);
    } else {
      ASSERT_FALSE(read) << stop_after;
      EXPECT_EQ(display(read.error()), "io: Interrupted system call (os error 4)");
      EXPECT_EQ(asked, stop_after);
      EXPECT_LT(seen, lines);
    }
  }
  for (int stop_after : {1, reads + 1, 1 << 20}) {
    int asked = 0;
    ReadOptions options{.max_line_bytes = kDefaultMaxLineBytes,
                        .keep_reading = [&](bool) { return ++asked < stop_after; },
                        .chunk_bytes = text.size()};
    std::vector<SignedEvent> kept;
    auto report = verify_ledger_file_parallel(path("l"), 2, &kept, options);
    SCOPED_TRACE(stop_after);
    if (stop_after == 1 << 20) {
      ASSERT_TRUE(report);
      EXPECT_TRUE(report->ok());
      EXPECT_GT(asked, reads);  // the waits asked too
      continue;
    }
    ASSERT_FALSE(report);
    EXPECT_EQ(display(report.error()), "io: Interrupted system call (os error 4)");
    EXPECT_EQ(asked, stop_after);
    EXPECT_TRUE(kept.empty());
  }
}

void on_signal(int) {}

// A read that a signal interrupts asks the check at once (signalled), and
// goes on reading when the check says so.
TEST(ReadChunks, ASignalInterruptingAReadAsksTheCheck) {
  struct sigaction action{};
  action.sa_handler = on_signal;  // no SA_RESTART: the read returns EINTR
  struct sigaction old{};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);
  for (bool go_on : {false, true}) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    std::atomic<int> signalled{0};
    pthread_t reader = ::pthread_self();
    std::thread poker([&] {
      while (signalled == 0) {
        ::pthread_kill(reader, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      EXPECT_EQ(::write(fds[1], "abc", 3), 3);
      ::close(fds[1]);
    });
    std::string got;
    auto read = read_chunks(
        fds[0],
        [&](bool interrupted) {
          if (interrupted) ++signalled;
          return !interrupted || go_on;
        },
        [&](std::string_view chunk) {
          got += chunk;
          return true;
        });
    poker.join();
    ::close(fds[0]);
    EXPECT_GE(signalled.load(), 1);
    if (go_on) {
      EXPECT_TRUE(read);
      EXPECT_EQ(got, "abc");
    } else {
      ASSERT_FALSE(read);
      EXPECT_EQ(read.error().code, EINTR);
      EXPECT_EQ(got, "");
    }
  }
  ::sigaction(SIGUSR1, &old, nullptr);
}

std::size_t threads_of_this_process() {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++n;
  }
  return n;
}

// With little address space left, a pool of many threads cannot start: it
// says so, and the threads it did start are gone; a small pool still starts.
[[noreturn]] void start_pools_with_little_room() {
  std::ifstream status("/proc/self/status");
  std::string text((std::istreambuf_iterator<char>(status)), {});
  std::smatch size;
  std::regex_search(text, size, std::regex(R"(VmSize:\s+(\d+))"));
  rlim_t room = (std::stoull(size[1]) << 10) + (96u << 20);
  struct rlimit limit{room, room};
  ::setrlimit(RLIMIT_AS, &limit);
  std::size_t before = threads_of_this_process();
  auto walk = verify_ledger_file_parallel("/nonexistent/ledger.ndjson", 200);
  const auto* error = walk ? nullptr : std::get_if<ThreadStartError>(&walk.error().kind);
  bool refused = error != nullptr && error->code == EAGAIN && error->requested == 200;
  bool joined = threads_of_this_process() == before;
  auto small = verify_ledger_file_parallel("/nonexistent/ledger.ndjson", 2);
  std::_Exit(refused && joined && small.has_value() ? 0 : 1);
}

// Run in a child process, which alone gets the limit.
TEST(ThreadStart, APoolThatCannotStartIsAnErrorAndLeavesNoThread) {
  EXPECT_EXIT(start_pools_with_little_room(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tallyvox
