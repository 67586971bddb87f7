#include "core/ledger/recover.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/ledger/ledger.h"
#include "tests/core/keypair_fixture.h"
#include "tests/core/temp_dir.h"

namespace tallyvox {
namespace {

class Recover : public testing::TempDir {
 protected:
  // Three linked lines, the last with non-ASCII text so that a cut can
  // split a character.
  static std::string three_lines() {
    SigningKeypair kp = testing::keypair_filled(7);
    std::string text, parent(kGenesisParentHash);
    for (int i = 0; i < 3; ++i) {
      SignedEvent r = seal_event(i, SessionEnded{i == 2 ? "caf\xc3\xa9 \xe2\x82\xac" : "r", "s"},
                                 parent, kp);
      parent = r.self_hash;
      Buffer line;
      write_line(line, r);
      text += line.str() + "\n";
    }
    return text;
  }

  // Cut points: every byte near a line end or inside a multi-byte character,
  // and a spread of others (each torn cut costs three flushes).
  static std::vector<std::size_t> cuts(const std::string& text) {
    std::vector<std::size_t> out;
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      bool near_lf = false;
      for (std::size_t d = 0; d <= 2; ++d) {
        near_lf |= (cut + d < text.size() && text[cut + d] == '\n') ||
                   (cut >= d + 1 && text[cut - d - 1] == '\n');
      }
      bool in_character = cut < text.size() && (text[cut] & 0x80) != 0;
      if (cut < 3 || near_lf || in_character || cut % 41 == 0) out.push_back(cut);
    }
    return out;
  }

  // Files beside the ledger other than the ledger itself.
  std::vector<std::string> asides(const std::string& ledger) const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      if (entry.path().string() != ledger) out.push_back(entry.path().string());
    }
    return out;
  }
};

// Every cut of a ledger against a model: the complete lines stay, a final
// piece that is not a record goes aside byte for byte, a complete last line
// without its LF is no damage.
TEST_F(Recover, EveryCutKeepsTheCompleteLines) {
  const std::string text = three_lines();
  const std::string ledger = path("ledger.ndjson");
  for (std::size_t cut : cuts(text)) {
    std::string piece = text.substr(0, cut);
    std::size_t lf = piece.rfind('\n');
    std::size_t kept = lf == std::string::npos ? 0 : lf + 1;
    std::uint64_t lines = std::count(piece.begin(), piece.end(), '\n');
    // Nothing after the last LF, or a whole line that only lacks its LF.
    bool intact = kept == cut || text[cut] == '\n';
    write_file(ledger, piece);

    auto done = recover_ledger(ledger);
    ASSERT_TRUE(done) << cut << ": " << display(done.error());
    EXPECT_EQ(done->kept_records, lines + (intact && kept != cut ? 1 : 0)) << cut;
    EXPECT_EQ(done->kept_bytes, intact ? cut : kept) << cut;
    EXPECT_EQ(done->removed_bytes, intact ? 0 : cut - kept) << cut;
    EXPECT_EQ(done->torn_path.empty(), intact) << cut;
    EXPECT_EQ(read_file(ledger), intact ? piece : piece.substr(0, kept)) << cut;
    auto left = asides(ledger);
    ASSERT_EQ(left.size(), intact ? 0u : 1u) << cut;
    if (!intact) {
      EXPECT_EQ(left[0], done->torn_path);
      EXPECT_EQ(left[0].rfind(ledger + ".torn-", 0), 0u);
      EXPECT_EQ(read_file(left[0]), piece.substr(kept)) << cut;
      std::filesystem::remove(left[0]);
    }
    // Recovered, the ledger reads, and recovering again changes nothing.
    auto read = read_ledger(ledger);
    ASSERT_TRUE(read) << cut;
    EXPECT_EQ(read->size(), done->kept_records);
    auto again = recover_ledger(ledger);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->torn_path.empty());
  }
}

// Damage on a line that ends with an LF is no torn tail: nothing changes,
// and the error names the line.
struct Damage {
  const char* name;
  std::string bytes;  // appended after the three good lines
  const char* error;
};

TEST_F(Recover, OtherDamageChangesNothing) {
  const std::string text = three_lines();
  const Damage cases[] = {
      {"glued", "{\"seq\":3,\"times\n" + text.substr(0, 30), "line 4: json: "},
      {"not-utf8", "\xff\n", "line 4: io: stream did not contain valid UTF-8"},
      {"bom", "\xef\xbb\xbf\n", "line 4: json: expected value at line 1 column 1"},
      {"blank-then-bad", "\n \nnot json\n{", "line 6: json: "},
  };
  for (const Damage& d : cases) {
    std::string ledger = path(d.name);
    write_file(ledger, text + d.bytes);
    auto done = recover_ledger(ledger);
    ASSERT_FALSE(done) << d.name;
    EXPECT_EQ(display(done.error()).rfind(d.error, 0), 0u) << display(done.error());
    EXPECT_EQ(read_file(ledger), text + d.bytes) << d.name;
  }
  EXPECT_EQ(asides(path("none")).size(), std::size(cases));  // only the ledgers themselves
  auto missing = recover_ledger(path("missing"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(display(missing.error()), "io: No such file or directory (os error 2)");
}

// The scan hands over the records of complete lines only, with CRLF ends
// and blank lines read as the ledger reader reads them.
TEST_F(Recover, ScanGivesTheRecordsBeforeATornLine) {
  std::string text = three_lines();
  std::string crlf;
  for (std::size_t at = 0, lf; (lf = text.find('\n', at)) != std::string::npos; at = lf + 1) {
    crlf += text.substr(at, lf - at) + "\r\n \n";
  }
  std::string ledger = path("l");
  write_file(ledger, crlf + text.substr(0, 50));
  std::vector<std::uint64_t> seqs;
  auto scan = scan_ledger(ledger, [&](SignedEvent&& r) { seqs.push_back(r.seq); });
  ASSERT_TRUE(scan);
  EXPECT_EQ(seqs, (std::vector<std::uint64_t>{0, 1, 2}));
  EXPECT_EQ(scan->kept_bytes, crlf.size());
  EXPECT_EQ(scan->torn, text.substr(0, 50));
  EXPECT_EQ(read_file(ledger), crlf + text.substr(0, 50));  // scanning writes nothing
}

}  // namespace
}  // namespace tallyvox
