#include "core/tlog/proof.h"

#include <gtest/gtest.h>

#include <string>

namespace tallyvox {
namespace {

const std::string kCheckpoint = "o\n2\nAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n\n\u2014 o AAAAAAA=\n";
const std::string kHash = "AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=";

TEST(ProofFile, RoundTrip) {
  ProofFile proof{"{\"seq\":1}", 1, {}, kCheckpoint};
  proof.path.emplace_back().fill(1);
  std::string text = format_proof(proof);
  EXPECT_EQ(text, "c2sp.org/tlog-proof@v1\nextra eyJzZXEiOjF9\nindex 1\n" + kHash + "\n\n" + kCheckpoint);
  auto back = parse_proof(text);
  ASSERT_TRUE(back) << back.error();
  EXPECT_EQ(back->extra, proof.extra);
  EXPECT_EQ(back->index, 1u);
  EXPECT_EQ(back->path, proof.path);
  EXPECT_EQ(back->checkpoint, kCheckpoint);
  proof.path.clear();  // a tree of one leaf has an empty path
  EXPECT_EQ(parse_proof(format_proof(proof))->path.size(), 0u);
}

TEST(ProofFile, RefusesMalformedFiles) {
  const std::string head = "c2sp.org/tlog-proof@v1\nextra eyJzZXEiOjF9\n";
  std::string long_path;
  for (int i = 0; i < 64; ++i) long_path += kHash + "\n";
  const std::pair<std::string, std::string> cases[] = {
      {"c2sp.org/tlog-proof@v2\n", "not a proof file: the first line is not c2sp.org/tlog-proof@v1"},
      {"c2sp.org/tlog-proof@v1\r\n", "the proof contains a CR character"},
      {"c2sp.org/tlog-proof@v1\nindex 1\n", "the second line is not \"extra <base64>\""},
      {"c2sp.org/tlog-proof@v1\nextra eyJzZXEiOjF\n", "extra: invalid base64: length 11 is not a multiple of 4"},
      {head + "index 01\n", "the index has leading zeros"},
      {head + "index x\n", "the index is not a decimal number"},
      {head + "1\n", "the third line is not \"index <N>\""},
      {head + "index 1\n" + kHash + "\n", "the proof ends before its checkpoint"},
      {head + "index 1\nAAAA\n\n" + kCheckpoint, "a proof hash is not 32 bytes"},
      {head + "index 1\n" + kHash + "\t\n\n" + kCheckpoint, "the proof contains a control or non-ASCII character"},
      {head + "index 1\n" + long_path + "\n" + kCheckpoint, "the proof has more than 63 hashes"},
      {head + "index 1\n\n", "the proof has no checkpoint after its empty line"},
  };
  for (const auto& [text, message] : cases) {
    auto proof = parse_proof(text);
    ASSERT_FALSE(proof) << text;
    EXPECT_EQ(proof.error(), message);
  }
}

}  // namespace
}  // namespace tallyvox
