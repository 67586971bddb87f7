#include "core/tlog/note.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/crypto/base64.h"
#include "tests/core/keypair_fixture.h"

namespace tallyvox {
namespace {

// The example note and key of the Go signed-note package (golang.org/x/mod
// sumdb/note): "PeterNeumann+c74f20a3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW".
const std::string kGoText =
    "If you think cryptography is the answer to your problem,\n"
    "then you don't know what your problem is.\n";
const std::string kGoNote = kGoText +
    "\n\u2014 PeterNeumann x08go/ZJkuBS9UG/SffcvIAQxVBtiFupLLr8pAcElZInNIuGUgYN1FFYC2pZSNXgKvqfqdngotpRZb6KE6RyyBwJnAM=\n";

ed25519::PublicKey go_key() {
  auto bytes = base64_decode("ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW");
  ed25519::PublicKey key;
  std::memcpy(key.data(), bytes->data() + 1, key.size());  // after the algorithm byte
  return key;
}

TEST(Note, ReadsAndVerifiesTheGoExample) {
  EXPECT_EQ(note_key_id("PeterNeumann", go_key()), 0xc74f20a3u);
  auto note = parse_note(kGoNote);
  ASSERT_TRUE(note) << note.error();
  EXPECT_EQ(note->text, kGoText);
  ASSERT_EQ(note->signatures.size(), 1u);
  EXPECT_EQ(note->signatures[0].key_id, 0xc74f20a3u);
  EXPECT_EQ(check_note(*note, "PeterNeumann", go_key()), NoteCheck::Verified);
  EXPECT_EQ(check_note(*note, "PeterNeumann2", go_key()), NoteCheck::NotSigned);
  note->text[0] = 'i';
  EXPECT_EQ(check_note(*note, "PeterNeumann", go_key()), NoteCheck::BadSignature);
}

TEST(Note, SignsWhatItReadsAndIgnoresOtherKeys) {
  SigningKeypair key = testing::keypair_filled(3), other = testing::keypair_filled(4);
  std::string signed_note = sign_note("a\nb\n", "example.org/log", key);
  // A signature of an unknown key, before and after.
  std::string foreign = sign_note("a\nb\n", "other", other);
  std::string foreign_line = foreign.substr(foreign.rfind("\u2014"));
  std::string both = signed_note.substr(0, 5) + foreign_line + signed_note.substr(5) + foreign_line;
  for (const std::string& text : {signed_note, both}) {
    auto note = parse_note(text);
    ASSERT_TRUE(note) << note.error();
    EXPECT_EQ(note->text, "a\nb\n");
    EXPECT_EQ(check_note(*note, "example.org/log", key.public_key()), NoteCheck::Verified);
    EXPECT_EQ(check_note(*note, "example.org/log", other.public_key()), NoteCheck::NotSigned);
  }
}

// A line of the key that fails rejects the note whatever else it carries,
// as the reference note reader does; lines of other keys never count.
TEST(Note, OneFailingLineOfTheKeyRejectsTheNote) {
  SigningKeypair key = testing::keypair_filled(3), other = testing::keypair_filled(4);
  auto line_of = [](const std::string& note) { return note.substr(note.rfind("\u2014")); };
  const std::string good = sign_note("a\n", "k", key);
  const std::string good_line = line_of(good);
  const std::string bad_line = line_of(sign_note("b\n", "k", key));
  const std::string foreign_bad = line_of(sign_note("b\n", "k", other));
  const std::pair<std::string, NoteCheck> cases[] = {
      {good, NoteCheck::Verified},
      {good + good_line, NoteCheck::Verified},
      {good + bad_line, NoteCheck::BadSignature},
      {"a\n\n" + bad_line + good_line, NoteCheck::BadSignature},
      {good + foreign_bad, NoteCheck::Verified},
      {"a\n\n" + foreign_bad, NoteCheck::NotSigned},
  };
  for (const auto& [text, expected] : cases) {
    auto note = parse_note(text);
    ASSERT_TRUE(note) << note.error();
    EXPECT_EQ(check_note(*note, "k", key.public_key()), expected) << text;
  }
}

TEST(Note, AtMostSixteenSignatures) {
  SigningKeypair key = testing::keypair_filled(3);
  std::string note = sign_note("t\n", "k", key);
  std::string line = note.substr(note.rfind("\u2014"));
  for (int i = 1; i < 16; ++i) note += line;
  EXPECT_TRUE(parse_note(note));
  EXPECT_EQ(parse_note(note + line).error(), "the note has more than 16 signatures");
}

TEST(Note, RefusesMalformedNotes) {
  const std::string sig = "\u2014 k AAAAAAA=\n";
  const std::pair<std::string, std::string> cases[] = {
      {"t\n" + sig, "the note has no blank line before its signatures"},
      {"t\n\n", "the note has no signatures"},
      {"t\r\n\n" + sig, "the note contains a CR character at byte 1"},
      {"t\x01\n\n" + sig, "the note contains a control character at byte 1"},
      {"t\t\n\n" + sig, "the note contains a control character at byte 1"},
      {"t\xff\n\n" + sig, "the note is not UTF-8"},
      {"t\n\n\u2014 k AAAAAAA=", "the note does not end with a newline"},
      {"t\n\n- k AAAAAAA=\n", "a signature line does not start with \u2014"},
      {"t\n\n\u2014 kAAAAAAA=\n", "a signature line has no signature after the key name"},
      {"t\n\n\u2014 k+1 AAAAAAA=\n", "signature key name: the name contains '+'"},
      {"t\n\n\u2014  AAAAAAA=\n", "signature key name: the name is empty"},
      {"t\n\n\u2014 k AAAAAA==\n", "a signature is too short to hold a key ID"},
      {"t\n\n\u2014 k AAAAAAA\n", "signature: invalid base64: length 7 is not a multiple of 4"},
      {"t\n\n\u2014 k AAAAAAA=\n\n", "the note has no signatures"},
  };
  for (const auto& [text, message] : cases) {
    auto note = parse_note(text);
    ASSERT_FALSE(note) << text;
    EXPECT_EQ(note.error(), message);
  }
}

TEST(Checkpoint, TextRoundTrip) {
  const std::string head = "example.com/log\n18446744073709551615\nq6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6s=\n";
  for (const std::vector<std::string>& extensions :
       {std::vector<std::string>{}, {"ext"}, {"\u2014 x y", "tile 5 AAAA"}}) {
    Checkpoint c{"example.com/log", 18446744073709551615u, {}, extensions};
    c.root.fill(0xAB);
    std::string text = checkpoint_text(c);
    std::string expected = head;
    for (const std::string& line : extensions) expected += line + "\n";
    EXPECT_EQ(text, expected);
    auto back = parse_checkpoint_text(text);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(back->origin, c.origin);
    EXPECT_EQ(back->size, c.size);
    EXPECT_EQ(back->root, c.root);
    EXPECT_EQ(back->extensions, extensions);
  }
}

TEST(Checkpoint, RefusesMalformedTexts) {
  const std::string root = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=\n";
  const std::pair<std::string, std::string> cases[] = {
      {"o\n1\n", "the checkpoint has fewer than three lines"},
      {"o\n1\n" + root + "ext\n\nmore\n", "the checkpoint has an empty extension line"},
      {"o\n1\n" + root + "ext", "the checkpoint does not end with a newline"},
      {"\n1\n" + root, "origin: the name is empty"},
      {"a b\n1\n" + root, "origin: the name contains a space"},
      {"a+b\n1\n" + root, "origin: the name contains '+'"},
      {"o\n01\n" + root, "the tree size has leading zeros"},
      {"o\n\n" + root, "the tree size is empty"},
      {"o\n-1\n" + root, "the tree size is not a decimal number"},
      {"o\n18446744073709551616\n" + root, "the tree size is too large"},
      {"o\n1\nAAAA\n", "the root hash is not 32 bytes"},
      {"o\n1\n47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFV=\n",
       "root hash: invalid base64: non-zero bits after the last byte"},
  };
  for (const auto& [text, message] : cases) {
    auto checkpoint = parse_checkpoint_text(text);
    ASSERT_FALSE(checkpoint) << text;
    EXPECT_EQ(checkpoint.error(), message);
  }
  EXPECT_TRUE(parse_checkpoint_text("o\n0\n" + root));
}

}  // namespace
}  // namespace tallyvox
