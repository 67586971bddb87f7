// The Ed25519 back ends against the vector files, RFC 8032 and each other.
// Built twice by CI: with libsodium (where both back ends are compiled and
// compared) and with OpenSSL alone (TALLYVOX_LIBSODIUM=OFF).
#include "core/crypto/ed25519.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#if TALLYVOX_HAVE_LIBSODIUM
#include <sodium.h>
#endif

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/crypto/hex.h"
#include "fuzz/ed25519_property.h"

namespace tallyvox::ed25519 {
namespace {

// One vector of the JSON files: string members and the `accept` flag.
struct Vector {
  std::string source, secret_key, public_key, signature, message_hex;
  bool accept = true;  // the known-answer vectors carry no flag
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The vector files are flat: an object holding "vectors", an array of
// objects (the only braces in the file) whose members are strings without
// escapes, booleans or arrays of strings. This reads just that shape.
std::vector<Vector> load_vectors(const char* name) {
  std::string text = read_file(std::string(TALLYVOX_VECTORS_DIR) + "/" + name);
  std::vector<Vector> out;
  for (std::size_t open = text.find('{', text.find("\"vectors\"")); open != std::string::npos;
       open = text.find('{', open + 1)) {
    std::string_view object = std::string_view(text).substr(open, text.find('}', open) - open);
    // The text of a member's value: a string without its quotes, or a word.
    auto member = [&](const std::string& key) {
      std::size_t at = object.find('"' + key + '"');
      if (at == std::string_view::npos) return std::string();
      at = object.find_first_not_of(" \n\t:", at + key.size() + 2);
      if (object[at] == '"') return std::string(object.substr(at + 1, object.find('"', at + 1) - at - 1));
      return std::string(object.substr(at, object.find_first_of(",\n", at) - at));
    };
    out.push_back({member("source"), member("secret_key"), member("public_key"), member("signature"),
                   member("message_hex"), member("accept") != "false"});
  }
  return out;
}

template <std::size_t N>
std::array<unsigned char, N> fixed(const std::string& hex) {
  std::array<unsigned char, N> out{};
  auto n = hex_decode(hex, out.data(), N);
  EXPECT_TRUE(n.has_value() && *n == N) << hex;
  return out;
}

std::vector<unsigned char> bytes(const std::string& hex) { return hex_decode(hex).value(); }

struct VectorFile {
  const char* name;
  std::size_t count;
  int min_accepted, max_accepted;
  bool routes;  // holds accepted signatures that libsodium refuses
};

class VectorFiles : public ::testing::TestWithParam<VectorFile> {};

// Every accept/refuse decision of the ledger's rules (cofactorless, S < L,
// y >= p allowed in keys, small-order keys and R allowed), by the built back
// end and by OpenSSL alone. Runs of consecutive vectors share a key: one
// reused verifier per run, checked against a fresh one, with refusals
// interleaved with acceptances.
TEST_P(VectorFiles, VerificationAgreesWithEveryVector) {
  auto vectors = load_vectors(GetParam().name);
  ASSERT_EQ(vectors.size(), GetParam().count);
  int accepted = 0;
  for (std::size_t i = 0; i < vectors.size();) {
    const std::string& key_text = vectors[i].public_key;
    auto pub = fixed<kPublicKeySize>(key_text);
    // Every key decodes, those whose y is p or more after reduction.
    EXPECT_TRUE(is_curve_point(pub.data())) << vectors[i].source;
    Verifier verifier(pub.data());
    for (; i < vectors.size() && vectors[i].public_key == key_text; ++i) {
      const Vector& v = vectors[i];
      auto sig = fixed<kSignatureSize>(v.signature);
      auto msg = bytes(v.message_hex);
      bool ok = verifier.verify(sig.data(), msg.data(), msg.size());
      EXPECT_EQ(ok, v.accept) << v.source;
      EXPECT_EQ(verify(pub.data(), sig.data(), msg.data(), msg.size()), ok) << v.source;
      EXPECT_EQ(openssl::Verifier::verify_once(pub.data(), sig.data(), msg.data(), msg.size()), ok) << v.source;
      accepted += ok;
    }
  }
  // Both decisions occur, so neither a constant true nor false passes.
  EXPECT_GE(accepted, GetParam().min_accepted);
  EXPECT_LE(accepted, GetParam().max_accepted);
}

#if TALLYVOX_HAVE_LIBSODIUM
// libsodium alone, on the same vectors: wherever the routing leaves an input
// to it, it decides as the rules do; every input routed away is one it
// refuses whatever the signature; and each kind of routed input (an odd key,
// a small-order R) holds signatures the rules accept in the edge cases, so
// none of the routing is idle.
TEST_P(VectorFiles, LibsodiumAgreesWhereverItDecides) {
  // The base point's encoding stands in for the other half: canonical and
  // of large order, it is never a reason to route.
  const auto base = fixed<kPublicKeySize>(
      "5866666666666666666666666666666666666666666666666666666666666666");
  int routed_keys = 0, routed_r = 0;
  for (const Vector& v : load_vectors(GetParam().name)) {
    auto pub = fixed<kPublicKeySize>(v.public_key);
    auto sig = fixed<kSignatureSize>(v.signature);
    auto msg = bytes(v.message_hex);
    bool alone = sodium::verify_unrouted(pub.data(), sig.data(), msg.data(), msg.size());
    if (!sodium::refuses_encoding(pub.data(), sig.data())) {
      EXPECT_EQ(alone, v.accept) << v.source;
      continue;
    }
    EXPECT_FALSE(alone) << v.source;
    if (!v.accept) continue;
    routed_keys += sodium::refuses_encoding(pub.data(), base.data());
    routed_r += sodium::refuses_encoding(base.data(), sig.data());
  }
  EXPECT_EQ(routed_keys > 0, GetParam().routes);
  EXPECT_EQ(routed_r > 0, GetParam().routes);
}
#endif

INSTANTIATE_TEST_SUITE_P(
    Files, VectorFiles,
    ::testing::Values(VectorFile{"ed25519_edge_cases.json", 926, 100, 900, true},
                      VectorFile{"ed25519_generated.json", 1692, 100, 1600, false},
                      VectorFile{"ed25519_rfc8032.json", 3, 3, 3, false}),
    [](const auto& info) {
      std::string name = info.param.name;
      return name.substr(8, name.find('.') - 8);
    });

// The inputs of the differential fuzz target (its seed corpus and any saved
// failures) against the built back end.
TEST(Ed25519, FuzzInputsHoldTheProperty) {
  namespace fs = std::filesystem;
  int inputs = 0;
  for (const char* dir : {TALLYVOX_FUZZ_DIR "/corpus/ed25519_verify",
                          TALLYVOX_FUZZ_REGRESSIONS_DIR "/ed25519_verify"}) {
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      std::string input = read_file(entry.path().string());
      EXPECT_EQ(fuzz::check_ed25519_verify(input), "") << entry.path();
      ++inputs;
    }
  }
  EXPECT_GE(inputs, 10) << "the seed corpus is missing";
}

// The build names its back end; the version is the loaded library's, of the
// same release series as the headers it was compiled with.
TEST(Ed25519, LibraryNamesTheBuiltBackEnd) {
  Library lib = library();
#if TALLYVOX_HAVE_LIBSODIUM
  EXPECT_EQ(lib.name, "libsodium");
  std::string series = SODIUM_VERSION_STRING;
#else
  EXPECT_EQ(lib.name, "OpenSSL");
  std::string series = std::to_string(OPENSSL_VERSION_MAJOR) + "." +
                       std::to_string(OPENSSL_VERSION_MINOR) + ".";
#endif
  EXPECT_EQ(lib.version.substr(0, series.size()), series);
  EXPECT_EQ(openssl_library().name, "OpenSSL");
  EXPECT_EQ(openssl_library().version.substr(0, 2), std::to_string(OPENSSL_VERSION_MAJOR) + ".");
}

// OpenSSL's signature, made independently of the code under test: a fresh
// EVP key from the seed for every signature.
Signature openssl_sign(const Seed& seed, const std::vector<unsigned char>& msg) {
  EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  Signature sig{};
  std::size_t n = sig.size();
  EXPECT_EQ(EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key), 1);
  EXPECT_EQ(EVP_DigestSign(ctx, sig.data(), &n, msg.data(), msg.size()), 1);
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return sig;
}

// Whether a moved-from key still holds any secret.
bool wiped(const openssl::Key& key) { return key.empty(); }
#if TALLYVOX_HAVE_LIBSODIUM
bool wiped(const sodium::Key& key) {
  std::array<unsigned char, sodium::Key::kSize> zero{};
  return std::memcmp(key.data(), zero.data(), zero.size()) == 0;
}
#endif

// Signing, for every back end compiled in (both beside libsodium).
template <typename K>
class Signing : public ::testing::Test {};
#if TALLYVOX_HAVE_LIBSODIUM
using KeyTypes = ::testing::Types<openssl::Key, sodium::Key>;
#else
using KeyTypes = ::testing::Types<openssl::Key>;
#endif
TYPED_TEST_SUITE(Signing, KeyTypes);

TYPED_TEST(Signing, Rfc8032KnownAnswers) {
  auto vectors = load_vectors("ed25519_rfc8032.json");
  ASSERT_EQ(vectors.size(), 3u);
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.public_key);
    TypeParam key(fixed<kSeedSize>(v.secret_key));
    EXPECT_EQ(key.public_key(), fixed<kPublicKeySize>(v.public_key));
    auto msg = bytes(v.message_hex);
    Signature sig = key.sign(msg.data(), msg.size());
    EXPECT_EQ(sig, fixed<kSignatureSize>(v.signature));
  }
}

// Random seeds and messages of every length up to 300 bytes, one key signing
// several: the same signature as OpenSSL's, accepted, and refused once a bit
// of the message flips; the key is a curve point. Beside libsodium, neither
// the key nor R is ever sent to the slow path.
TYPED_TEST(Signing, SignaturesMatchOpenSslOnRandomKeysAndMessages) {
  std::mt19937 rng(20240611);
  auto fill = [&](unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(rng());
  };
  for (std::size_t len = 0; len <= 300; len += 3) {
    Seed seed;
    fill(seed.data(), seed.size());
    TypeParam key(seed);
    for (int round = 0; round < 2; ++round) {
      std::vector<unsigned char> msg(len + round);
      fill(msg.data(), msg.size());
      Signature sig = key.sign(msg.data(), msg.size());
      ASSERT_EQ(sig, openssl_sign(seed, msg)) << "length " << msg.size();
      PublicKey pub = key.public_key();
      EXPECT_TRUE(is_curve_point(pub.data()));
#if TALLYVOX_HAVE_LIBSODIUM
      EXPECT_FALSE(sodium::refuses_encoding(pub.data(), sig.data()));
#endif
      EXPECT_TRUE(verify(pub.data(), sig.data(), msg.data(), msg.size()));
      if (!msg.empty()) {
        msg[msg.size() / 2] ^= 0x10;
        EXPECT_FALSE(verify(pub.data(), sig.data(), msg.data(), msg.size()));
      }
    }
  }
}

// One key and one verifier shared by several threads, as a session's
// keypair and a chain walk's verifier are: every signature comes out right
// and every check accepts.
TYPED_TEST(Signing, ShareAKeyAndAVerifierBetweenThreads) {
  Seed seed{};
  seed[0] = 42;
  const TypeParam key(seed);
  const PublicKey pub = key.public_key();
  const Verifier verifier(pub.data());
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (unsigned char i = 0; i < 40; ++i) {
        std::vector<unsigned char> msg{static_cast<unsigned char>(t), i};
        Signature sig = key.sign(msg.data(), msg.size());
        wrong[t] += sig != openssl_sign(seed, msg);
        wrong[t] += !verifier.verify(sig.data(), msg.data(), msg.size());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

// A moved key signs as the original did; the one moved from, by
// construction or assignment, holds no secret any more.
TYPED_TEST(Signing, MovingAKeyWipesTheSource) {
  Seed seed{};
  seed[3] = 9;
  TypeParam a(seed);
  Signature before = a.sign(seed.data(), seed.size());
  ASSERT_FALSE(wiped(a));
  TypeParam b(std::move(a));
  EXPECT_EQ(b.sign(seed.data(), seed.size()), before);
  EXPECT_TRUE(wiped(a));
  TypeParam c(Seed{});
  c = std::move(b);
  EXPECT_EQ(c.sign(seed.data(), seed.size()), before);
  EXPECT_TRUE(wiped(b));
}

// y values as 255-bit little-endian numbers with the sign bit set or not.
PublicKey encode(std::vector<unsigned char> y_le, bool sign_bit) {
  PublicKey out{};
  for (std::size_t i = 0; i < y_le.size() && i < out.size(); ++i) out[i] = y_le[i];
  out[31] = static_cast<unsigned char>((out[31] & 0x7F) | (sign_bit ? 0x80 : 0));
  return out;
}

// p + delta for -0xed <= delta <= 0x12, as 32 little-endian bytes:
// p = 2^255 - 19 is 0x7fff...ffed.
std::vector<unsigned char> p_plus(int delta) {
  std::vector<unsigned char> y(32, 0xFF);
  y[31] = 0x7F;
  y[0] = static_cast<unsigned char>(0xED + delta);
  return y;
}

struct PointCase {
  const char* name;
  std::vector<unsigned char> y;
  bool point;
};

class CurvePoint : public ::testing::TestWithParam<PointCase> {};

TEST_P(CurvePoint, DecidesByTheSquareRootOfX) {
  for (bool sign_bit : {false, true}) {
    PublicKey pub = encode(GetParam().y, sign_bit);
    EXPECT_EQ(is_curve_point(pub.data()), GetParam().point) << "sign " << sign_bit;
    if (!GetParam().point) {
      // No signature can verify under a key that does not decode.
      auto rfc = load_vectors("ed25519_rfc8032.json");
      auto sig = fixed<kSignatureSize>(rfc[0].signature);
      EXPECT_FALSE(verify(pub.data(), sig.data(), nullptr, 0));
    }
  }
}

// Squares and non-squares computed independently of the code under test.
INSTANTIATE_TEST_SUITE_P(
    Table, CurvePoint,
    ::testing::Values(PointCase{"y0", {0}, true}, PointCase{"y1", {1}, true},
                      PointCase{"y2", {2}, false}, PointCase{"y3", {3}, true},
                      PointCase{"y7", {7}, false}, PointCase{"y8", {8}, false},
                      PointCase{"y9", {9}, true}, PointCase{"y11", {11}, false},
                      PointCase{"p_minus_1", p_plus(-1), true},
                      PointCase{"p", p_plus(0), true},         // y >= p reduces to 0
                      PointCase{"p_plus_1", p_plus(1), true},
                      PointCase{"p_plus_2", p_plus(2), false},  // reduces to 2
                      PointCase{"p_plus_3", p_plus(3), true},
                      // 2^255 - 1 = p + 18
                      PointCase{"all_ones", std::vector<unsigned char>(32, 0xFF), true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tallyvox::ed25519
