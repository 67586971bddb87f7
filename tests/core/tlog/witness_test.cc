// Verifier keys, cosignatures and the stateless half of add-checkpoint. The
// cosignature line's bytes and the cosigner key IDs are held to an
// independent model in Python (tests/python/test_witness.py); here the
// published example key of the Go note package, round trips and every refusal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/crypto/base64.h"
#include "core/tlog/cosignature.h"
#include "core/tlog/merkle.h"
#include "core/tlog/vkey.h"
#include "core/tlog/witness_request.h"
#include "tests/core/keypair_fixture.h"

namespace tallyvox {
namespace {

const std::string kGoVkey = "PeterNeumann+c74f20a3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW";

TEST(Vkey, ReadsAndWritesTheGoExample) {
  auto vkey = parse_vkey(kGoVkey);
  ASSERT_TRUE(vkey) << vkey.error();
  EXPECT_EQ(vkey->name, "PeterNeumann");
  EXPECT_EQ(vkey->key_id, 0xc74f20a3u);
  EXPECT_EQ(vkey->type, kNoteSignatureType);
  EXPECT_EQ(format_vkey(vkey->name, vkey->type, vkey->key).value(), kGoVkey);
}

TEST(Vkey, KeysWhoseBase64HoldsAPlus) {
  // The base64 of a key may contain '+': only the first two split the text.
  for (unsigned char fill = 0; fill < 64; ++fill) {
    ed25519::PublicKey key;
    key.fill(fill);
    std::string text = format_vkey("example.org/w", kCosignatureType, key).value();
    auto back = parse_vkey(text);
    ASSERT_TRUE(back) << text << ": " << back.error();
    EXPECT_EQ(back->key, key);
  }
}

TEST(Vkey, RefusesMalformedKeys) {
  const std::string rest = "+c74f20a3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW";
  const std::pair<std::string, std::string> cases[] = {
      {"PeterNeumann", "not a verifier key: it is not name+keyid+key"},
      {"PeterNeumann+c74f20a3", "not a verifier key: it is not name+keyid+key"},
      {rest, "key name: the name is empty"},
      {"Peter Neumann" + rest, "key name: the name contains a space"},
      {"PeterNeumann+c74f20a+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW",
       "the key ID is not 8 hexadecimal digits"},
      {"PeterNeumann+C74F20A3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW",
       "the key ID is not 8 lowercase hexadecimal digits"},
      {"PeterNeumann+c74f20a4+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW",
       "the key ID c74f20a4 is not that of the name and key (c74f20a3)"},
      {"PeterNeumanm" + rest, "the key ID c74f20a3 is not that of the name and key (549681aa)"},
      {"PeterNeumann+c74f20a3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10T",
       "key: invalid base64: length 43 is not a multiple of 4"},
      {"PeterNeumann+c74f20a3+", "the key is empty"},
      {"PeterNeumann+c74f20a3+Ahpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW",
       "unsupported key type 0x02 (0x01 for a note signer, 0x04 for a cosigner)"},
      {"PeterNeumann+c74f20a3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy", "an Ed25519 key is 32 bytes, not 29"},
  };
  for (const auto& [text, message] : cases) {
    auto vkey = parse_vkey(text);
    ASSERT_FALSE(vkey) << text;
    EXPECT_EQ(vkey.error(), message) << text;
  }
  ed25519::PublicKey key{};
  EXPECT_EQ(format_vkey("a+b", kNoteSignatureType, key).error(), "key name: the name contains '+'");
  EXPECT_EQ(format_vkey("ab", 0x02, key).error(),
            "unsupported key type 0x02 (0x01 for a note signer, 0x04 for a cosigner)");
}

const std::string kText = "example.org/log\n5\nq6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6s=\n";

Note noted(const std::string& text) {
  auto note = parse_note(text);
  EXPECT_TRUE(note) << note.error();
  return note.value_or(Note{});
}

TEST(Cosignature, RefusesWhatDoesNotVerify) {
  SigningKeypair log = testing::keypair_filled(1), witness = testing::keypair_filled(2);
  const std::string signed_note = sign_note(kText, "example.org/log", log);
  const std::string good = cosign(kText, "w", witness, 1000);
  const std::string other_text = cosign("example.org/log\n6\n" + kText.substr(18), "w", witness, 1000);
  std::string later_time = good;  // the time changed after signing: byte 4 of the blob
  const std::size_t b64 = std::strlen("\u2014 w ");
  later_time[b64 + 8] = later_time[b64 + 8] == 'A' ? 'B' : 'A';
  struct Case {
    std::string lines;
    NoteCheck status;
    std::uint64_t time;
  };
  const Case cases[] = {
      {good, NoteCheck::Verified, 1000},
      {good + cosign(kText, "w", witness, 2000), NoteCheck::Verified, 2000},
      {other_text, NoteCheck::BadSignature, 0},
      {later_time, NoteCheck::BadSignature, 0},
      {good + other_text, NoteCheck::BadSignature, 0},
      {cosign(kText, "w", testing::keypair_filled(3), 1000), NoteCheck::NotSigned, 0},
      {cosign(kText, "w2", witness, 1000), NoteCheck::NotSigned, 0},
      // A note signature by the witness's key under its name: another key ID.
      {sign_note(kText, "w", witness).substr(kText.size() + 1), NoteCheck::NotSigned, 0},
  };
  for (const Case& c : cases) {
    CosignatureCheck check = check_cosignature(noted(signed_note + c.lines), "w", witness.public_key());
    EXPECT_EQ(check.status, c.status) << c.lines;
    EXPECT_EQ(check.time, c.time) << c.lines;
  }
  // The log's line is no cosignature, nor the witness's line a note signature.
  const Note both = noted(signed_note + good);
  EXPECT_EQ(check_cosignature(both, "example.org/log", log.public_key()).status, NoteCheck::NotSigned);
  EXPECT_EQ(check_note(both, "w", witness.public_key()), NoteCheck::NotSigned);
  EXPECT_EQ(check_note(both, "example.org/log", log.public_key()), NoteCheck::Verified);
}

// Requests ------------------------------------------------------------------

std::string b64(const Digest& d) { return base64_encode(d.data(), d.size()); }

struct Log {
  SigningKeypair key = testing::keypair_filled(7);
  std::vector<Digest> leaves;
  explicit Log(int n) {
    for (int i = 0; i < n; ++i) leaves.push_back(merkle::leaf_hash(reinterpret_cast<unsigned char*>(&i), sizeof i));
  }
  std::string note(std::uint64_t size, const std::string& origin = "example.org/log") const {
    Checkpoint c{origin, size, merkle::root(std::span(leaves).first(size)), {}};
    return sign_note(checkpoint_text(c), origin, key);
  }
  std::string body(std::uint64_t old_size, std::uint64_t size) const {
    std::string out = "old " + std::to_string(old_size) + "\n";
    for (const Digest& d : merkle::consistency_proof(std::span(leaves).first(size), old_size)) out += b64(d) + "\n";
    return out + "\n" + note(size);
  }
};

TEST(AddCheckpoint, ReadsTheBody) {
  Log log(9);
  auto request = parse_add_checkpoint(log.body(5, 9));
  ASSERT_TRUE(request) << request.error().reason;
  EXPECT_EQ(request->old_size, 5u);
  EXPECT_EQ(request->proof, merkle::consistency_proof(log.leaves, 5));
  EXPECT_EQ(request->note, log.note(9));
  EXPECT_EQ(request->checkpoint.size, 9u);
  EXPECT_EQ(request->checkpoint.root, merkle::root(log.leaves));
}

TEST(AddCheckpoint, RefusesMalformedBodies) {
  Log log(3);
  const std::string note = log.note(3), hash = b64(log.leaves[0]);
  const std::pair<std::string, std::string> cases[] = {
      {"", "the proof ends before its checkpoint"},
      {"new 0\n\n" + note, "the first line is not \"old <size>\""},
      {"old\n\n" + note, "the first line is not \"old <size>\""},
      {"old 01\n\n" + note, "the old size has leading zeros"},
      {"old -1\n\n" + note, "the old size is not a decimal number"},
      {"old 18446744073709551616\n\n" + note, "the old size is too large"},
      {"old 0\r\n\n" + note, "the proof contains a CR character"},
      {"old 0\n" + note, "proof hash: invalid base64: length 15 is not a multiple of 4"},
      {"old 1\nAAAA\n\n" + note, "a proof hash is not 32 bytes"},
      {"old 0\n" + hash + "\n", "the proof ends before its checkpoint"},
      {"old 0\n\n", "not a checkpoint: the note has no blank line before its signatures"},
      {"old 0\n\nexample.org/log\n3\n\n\u2014 o AAAAAAA=\n", "not a checkpoint: the checkpoint has fewer than three lines"},
      {"old 0\n\n" + note.substr(0, note.size() - 1), "not a checkpoint: the note does not end with a newline"},
  };
  for (const auto& [body, reason] : cases) {
    auto request = parse_add_checkpoint(body);
    ASSERT_FALSE(request) << body;
    EXPECT_EQ(request.error().status, 400) << body;
    EXPECT_EQ(request.error().reason, reason) << body;
  }
  std::string long_proof = "old 1\n";
  for (int i = 0; i < 64; ++i) long_proof += hash + "\n";
  EXPECT_EQ(parse_add_checkpoint(long_proof + "\n" + note).error().reason, "the proof has more than 63 hashes");
}

TEST(AddCheckpoint, RefusalsAfterReading) {
  Log log(8);
  const SigningKeypair stranger = testing::keypair_filled(9);
  const ed25519::PublicKey mine[] = {log.key.public_key()};
  const ed25519::PublicKey theirs[] = {stranger.public_key()};
  const ed25519::PublicKey both[] = {stranger.public_key(), log.key.public_key()};
  const std::string hash = b64(log.leaves[0]);
  std::string tampered = log.body(0, 8);
  tampered[tampered.find("\n8\n") + 1] = '7';
  const std::string note8 = log.note(8);
  const std::string note7 = log.note(7);  // same name and key ID, another text
  const std::string stray = "old 0\n\n" + note8 + note7.substr(note7.rfind("\u2014"));
  struct Case {
    std::string body;
    std::span<const ed25519::PublicKey> keys;
    int status;  // 0: accepted
    std::string reason;
  };
  const Case cases[] = {
      {log.body(3, 8), mine, 0, ""},
      {log.body(3, 8), both, 0, ""},
      {log.body(0, 8), mine, 0, ""},
      {log.body(8, 8), mine, 0, ""},
      {log.body(3, 8), {}, 404, "unknown log example.org/log"},
      {log.body(3, 8), theirs, 403, "the checkpoint is not signed by a key of example.org/log"},
      {tampered, mine, 403, "the signature by " + log.key.pubkey_hex() + " does not verify"},
      {stray, both, 403, "the signature by " + log.key.pubkey_hex() + " does not verify"},
      {"old 9\n\n" + note8, mine, 400, "the old size 9 is beyond the checkpoint's 8"},
      {"old 0\n" + hash + "\n\n" + note8, mine, 400, "a consistency proof from size 0 to 8 must be empty"},
      {"old 8\n" + hash + "\n\n" + note8, mine, 400, "a consistency proof from size 8 to 8 must be empty"},
  };
  for (const Case& c : cases) {
    auto request = parse_add_checkpoint(c.body);
    ASSERT_TRUE(request) << c.body << request.error().reason;
    auto checked = check_add_checkpoint(*request, c.keys);
    EXPECT_EQ(checked ? 0 : checked.error().status, c.status) << c.body;
    EXPECT_EQ(checked ? "" : checked.error().reason, c.reason) << c.body;
  }
}

}  // namespace
}  // namespace tallyvox
