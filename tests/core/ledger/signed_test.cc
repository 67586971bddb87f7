#include "core/ledger/signed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "core/crypto/hex.h"
#include "core/crypto/keys.h"
#include "tests/core/keypair_fixture.h"

namespace tallyvox {
namespace {

SigningKeypair keypair(unsigned char fill) { return testing::keypair_filled(fill); }

SignedEvent sealed(const SigningKeypair& kp) {
  return seal_event(0, SessionEnded{"done", "ab"}, kGenesisParentHash, kp);
}

std::string verify_text(const SignedEvent& r) {
  auto result = verify_signed_event(r);
  return result ? std::string("ok") : display(result.error());
}

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

TEST(Seal, RecordVerifiesAndHashesItsOwnFields) {
  SigningKeypair kp = keypair(7);
  SignedEvent r = sealed(kp);
  EXPECT_EQ(verify_text(r), "ok");
  Digest d = compute_self_hash(r.seq, r.timestamp_nanos, r.event, r.parent_hash);
  ed25519::Verifier verifier(kp.public_key().data());
  EXPECT_TRUE(verifier.verify(kp.sign(d.data(), d.size()).data(), d.data(), d.size()));
  EXPECT_EQ(r.signer_pubkey, kp.pubkey_hex());
  EXPECT_GT(r.timestamp_nanos, 1700000000000000000u);
}

TEST(Seal, AnyParentHashIsKeptAndVerifies) {
  SigningKeypair kp = keypair(1);
  for (std::string parent : {std::string(), std::string(300, 'x'), std::string("P\xc3\xa9")}) {
    SignedEvent r = seal_event(9, ToolCalled{"t", "h", json::Value()}, parent, kp);
    EXPECT_EQ(r.parent_hash, parent);
    EXPECT_EQ(verify_text(r), "ok");
  }
}

struct Tamper {
  const char* name;
  void (*apply)(SignedEvent&);
  const char* expected;
};

class VerifyTampered : public ::testing::TestWithParam<Tamper> {};

TEST_P(VerifyTampered, ReportsTheFirstFailingCheck) {
  SignedEvent r = sealed(keypair(3));
  GetParam().apply(r);
  EXPECT_EQ(verify_text(r), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, VerifyTampered,
    ::testing::Values(
        Tamper{"upper_self_hash", [](SignedEvent& r) { r.self_hash = upper(r.self_hash); },
               "self_hash mismatch"},
        Tamper{"upper_pubkey", [](SignedEvent& r) { r.signer_pubkey = upper(r.signer_pubkey); },
               "ok"},
        Tamper{"upper_signature", [](SignedEvent& r) { r.signature = upper(r.signature); }, "ok"},
        Tamper{"seq", [](SignedEvent& r) { r.seq = 1; }, "self_hash mismatch"},
        Tamper{"timestamp", [](SignedEvent& r) { r.timestamp_nanos += 1; }, "self_hash mismatch"},
        Tamper{"event",
               [](SignedEvent& r) { std::get<SessionEnded>(r.event).reason = "undone"; },
               "self_hash mismatch"},
        Tamper{"other_key",
               [](SignedEvent& r) { r.signer_pubkey = keypair(4).pubkey_hex(); },
               "key: signature verification failed"},
        Tamper{"signature_digit",
               [](SignedEvent& r) { r.signature[10] = r.signature[10] == '0' ? '1' : '0'; },
               "key: signature verification failed"},
        Tamper{"signature_odd", [](SignedEvent& r) { r.signature.pop_back(); },
               "key: invalid hex: Odd number of digits"},
        Tamper{"signature_short", [](SignedEvent& r) { r.signature.resize(126); },
               "key: invalid key length: expected 64, got 63"},
        Tamper{"signature_bad_char", [](SignedEvent& r) { r.signature[5] = 'g'; },
               "key: invalid hex: Invalid character 'g' at position 5"},
        Tamper{"pubkey_zz", [](SignedEvent& r) { r.signer_pubkey.replace(0, 2, "zz"); },
               "key: invalid hex: Invalid character 'z' at position 0"},
        Tamper{"pubkey_short", [](SignedEvent& r) { r.signer_pubkey.resize(62); },
               "key: invalid key length: expected 32, got 31"},
        Tamper{"pubkey_tab", [](SignedEvent& r) { r.signer_pubkey[4] = '\t'; },
               "key: invalid hex: Invalid character '\\t' at position 4"},
        Tamper{"pubkey_checked_before_signature",
               [](SignedEvent& r) {
                 r.signer_pubkey.resize(62);
                 r.signature = "x";
               },
               "key: invalid key length: expected 32, got 31"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Verify, KeyThatIsNoCurvePointFailsBeforeTheSignatureIsDecoded) {
  // Find 32 bytes that decode to no point.
  ed25519::PublicKey bad{};
  for (int b = 2; b < 256; ++b) {
    bad[0] = static_cast<unsigned char>(b);
    if (!ed25519::is_curve_point(bad.data())) break;
  }
  ASSERT_FALSE(ed25519::is_curve_point(bad.data()));
  SignedEvent r = sealed(keypair(5));
  r.signer_pubkey = hex_encode(bad.data(), bad.size());
  r.signature = "abc";  // odd length: would be an InvalidHex error
  EXPECT_EQ(verify_text(r), "key: signature verification failed");
}

TEST(Verify, CacheFollowsTheKeyOfEachRecord) {
  SigningKeypair a = keypair(10), b = keypair(11);
  VerifierCache cache;
  SignedEvent ra = sealed(a), rb = sealed(b);
  for (int round = 0; round < 3; ++round) {
    EXPECT_TRUE(verify_signed_event(ra, &cache));
    EXPECT_TRUE(verify_signed_event(rb, &cache));
  }
  rb.signer_pubkey = ra.signer_pubkey;
  EXPECT_FALSE(verify_signed_event(rb, &cache));
}

TEST(Line, ExactBytesInRecordOrder) {
  SignedEvent r;
  r.seq = 0;
  r.timestamp_nanos = 1700000000000000000u;
  json::Object args;
  args.insert("z", json::Value::real(1e16));
  args.insert("a", json::Value("t\t\"\x01/\xc3\xa9"));
  r.event = ToolCalled{"search", "h", json::Value(std::move(args))};
  r.parent_hash = std::string(kGenesisParentHash);
  r.self_hash = "aa";
  r.signature = "bb";
  r.signer_pubkey = "cc";
  Buffer out;
  write_line(out, r);
  EXPECT_EQ(out.view(),
            "{\"seq\":0,\"timestamp_nanos\":1700000000000000000,\"event\":{\"type\":\"ToolCalled\","
            "\"payload\":{\"tool_name\":\"search\",\"args_sha256\":\"h\",\"args_redacted\":{\"z\":"
            "1e+16,\"a\":\"t\\t\\\"\\u0001/\xc3\xa9\"}}},\"parent_hash\":\"" +
                std::string(kGenesisParentHash) +
                "\",\"self_hash\":\"aa\",\"signature\":\"bb\",\"signer_pubkey\":\"cc\"}");
}

TEST(Hash, ExampleInputBytes) {
  Buffer input;
  write_self_hash_input(input, 0, 1700000000000000000u, SessionEnded{"done", "ab"},
                        kGenesisParentHash);
  EXPECT_EQ(input.view(),
            "{\"event\":{\"payload\":{\"reason\":\"done\",\"summary_sha256\":\"ab\"},\"type\":"
            "\"SessionEnded\"},\"parent_hash\":\"" +
                std::string(kGenesisParentHash) + "\",\"seq\":0,\"timestamp_nanos\":1700000000000000000}");
}

}  // namespace
}  // namespace tallyvox

namespace tallyvox {
namespace {

TEST(Sha256, KnownAnswers) {
  auto hex = [](const Digest& d) { return hex_encode(d.data(), d.size()); };
  EXPECT_EQ(hex(sha256("", 0)), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex(sha256("abc", 3)), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string million(1000000, 'a');
  EXPECT_EQ(hex(sha256(million.data(), million.size())),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace tallyvox
