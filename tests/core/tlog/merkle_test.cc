#include "core/tlog/merkle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/crypto/base64.h"
#include "core/crypto/hex.h"

namespace tallyvox {
namespace {

// The eight leaves of the RFC 6962 reference tests and the roots of their
// prefixes.
const std::vector<std::string> kLeaves = {
    "", std::string(1, '\0'), "\x10", "\x20\x21", "\x30\x31", "\x40\x41\x42\x43",
    "\x50\x51\x52\x53\x54\x55\x56\x57", "\x60\x61\x62\x63\x64\x65\x66\x67\x68\x69\x6a\x6b\x6c\x6d\x6e\x6f"};
const char* const kRoots[] = {
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
    "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d",
    "fac54203e7cc696cf0dfcb42c92a1d9dbaf70ad9e621f4bd8d98662f00e3c125",
    "aeb6bcfe274b70a14fb067a5e5578264db0fa9b51af5e0ba159158f329e06e77",
    "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7",
    "4e3bbb1f7b478dcfe71fb631631519a3bca12c9aefca1612bfce4c13a86264d4",
    "76e67dadbcdf1e10e1b74ddc608abd2f98dfb16fbce75277b5232a127f2087ef",
    "ddb89be403809e325750d3d263cd78929c2942b7942a34b77e122c9594a74c8c",
    "5dc9da79a70659a9ad559cb701ded9a2ab9d823aad2f4960cfe370eff4604328",
};

std::string hex(const Digest& d) { return hex_encode(d.data(), d.size()); }

std::vector<Digest> leaf_hashes(std::size_t n) {
  std::vector<Digest> out;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char data[8];
    for (int b = 0; b < 8; ++b) data[b] = static_cast<unsigned char>(i >> (8 * b));
    out.push_back(merkle::leaf_hash(data, sizeof data));
  }
  return out;
}

TEST(Merkle, ReferenceRootsOfEveryPrefix) {
  merkle::Builder builder;
  std::vector<Digest> hashes;
  EXPECT_EQ(hex(builder.root()), kRoots[0]);
  for (std::size_t n = 1; n <= kLeaves.size(); ++n) {
    const std::string& data = kLeaves[n - 1];
    hashes.push_back(merkle::leaf_hash(reinterpret_cast<const unsigned char*>(data.data()), data.size()));
    builder.add(hashes.back());
    EXPECT_EQ(builder.size(), n);
    EXPECT_EQ(hex(builder.root()), kRoots[n]) << n;
    EXPECT_EQ(hex(merkle::root(hashes)), kRoots[n]) << n;
  }
}

TEST(Merkle, InclusionProofsHoldOnlyForTheirLeaf) {
  for (std::size_t n = 1; n <= 33; ++n) {
    auto leaves = leaf_hashes(n);
    Digest root = merkle::root(leaves);
    for (std::size_t i = 0; i < n; ++i) {
      auto proof = merkle::inclusion_proof(leaves, i);
      ASSERT_TRUE(merkle::verify_inclusion(i, n, leaves[i], proof, root)) << n << " " << i;
      EXPECT_FALSE(merkle::verify_inclusion(i, n, leaves[i], proof, merkle::root(leaf_hashes(n + 1))));
      if (n > 1) {
        EXPECT_FALSE(merkle::verify_inclusion((i + 1) % n, n, leaves[i], proof, root));
        EXPECT_FALSE(merkle::verify_inclusion(i, n, leaves[(i + 1) % n], proof, root));
        proof.back()[31] ^= 1;
        EXPECT_FALSE(merkle::verify_inclusion(i, n, leaves[i], proof, root));
      }
    }
    EXPECT_FALSE(merkle::verify_inclusion(n, n, leaves[0], {}, root));
  }
}

TEST(Merkle, ConsistencyProofsHoldOnlyForTheirSizes) {
  auto leaves = leaf_hashes(33);
  for (std::size_t n = 1; n <= leaves.size(); ++n) {
    std::span<const Digest> tree(leaves.data(), n);
    Digest new_root = merkle::root(tree);
    for (std::size_t m = 0; m <= n; ++m) {
      Digest old_root = merkle::root(tree.first(m));
      auto proof = merkle::consistency_proof(tree, m);
      ASSERT_TRUE(merkle::verify_consistency(m, n, old_root, new_root, proof)) << m << " " << n;
      EXPECT_EQ(proof.empty(), m == 0 || m == n);
      EXPECT_FALSE(merkle::verify_consistency(m, n, new_root == old_root ? Digest{} : new_root,
                                              new_root, proof)) << m << " " << n;
      if (!proof.empty()) {
        proof.front()[0] ^= 0x80;
        EXPECT_FALSE(merkle::verify_consistency(m, n, old_root, new_root, proof)) << m << " " << n;
      }
    }
    EXPECT_FALSE(merkle::verify_consistency(n, n - 1, new_root, new_root, {}));
  }
}

struct Base64Case {
  std::string bytes;
  std::string text;
};

TEST(Base64, Rfc4648Vectors) {
  const Base64Case cases[] = {{"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},
                              {"foo", "Zm9v"},   {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"}, {"\xfb\xff\xbf", "+/+/"}};
  for (const auto& c : cases) {
    EXPECT_EQ(base64_encode(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size()), c.text);
    auto decoded = base64_decode(c.text);
    ASSERT_TRUE(decoded) << c.text;
    EXPECT_EQ(std::string(decoded->begin(), decoded->end()), c.bytes);
  }
}

TEST(Base64, StrictDecodingRefuses) {
  const std::pair<const char*, const char*> cases[] = {
      {"Zg=", "invalid base64: length 3 is not a multiple of 4"},
      {"Zg", "invalid base64: length 2 is not a multiple of 4"},
      {"Zh==", "invalid base64: non-zero bits after the last byte"},
      {"Zm9=", "invalid base64: non-zero bits after the last byte"},
      {"Z===", "invalid base64: misplaced padding at position 1"},
      {"====", "invalid base64: misplaced padding at position 0"},
      {"Zg==Zm9v", "invalid base64: misplaced padding at position 2"},
      {"Zm=v", "invalid base64: misplaced padding at position 2"},
      {"Zm9-", "invalid base64: character '-' at position 3"},
      {"Zm9_", "invalid base64: character '_' at position 3"},
      {"Zm 9", "invalid base64: character ' ' at position 2"},
      {"Zm9\n", "invalid base64: character '\\n' at position 3"},
  };
  for (const auto& [text, message] : cases) {
    auto decoded = base64_decode(text);
    ASSERT_FALSE(decoded) << text;
    EXPECT_EQ(decoded.error(), message);
  }
}

}  // namespace
}  // namespace tallyvox
