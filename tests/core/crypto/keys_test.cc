#include "core/crypto/keys.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/crypto/hex.h"
#include "core/util/io.h"
#include "tests/core/file_size_limit.h"
#include "tests/core/temp_dir.h"

namespace tallyvox {
namespace {

using testing::TempDir;
using testing::Umask;

// RFC 8032 section 7.1, TEST 2.
constexpr const char* kSeedHex = "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb";
constexpr const char* kPublicHex =
    "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";
constexpr const char* kSignatureHex =
    "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
    "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00";

std::string seed_bytes() {
  auto bytes = hex_decode(kSeedHex).value();
  return std::string(bytes.begin(), bytes.end());
}

std::array<unsigned char, 32> seed_array() {
  std::array<unsigned char, 32> seed;
  EXPECT_EQ(hex_decode(kSeedHex, seed.data(), seed.size()).value(), 32u);
  return seed;
}

void expect_rfc_key(const SigningKeypair& keypair) {
  EXPECT_EQ(keypair.pubkey_hex(), kPublicHex);
  const unsigned char msg[] = {0x72};
  auto sig = keypair.sign(msg, 1);
  EXPECT_EQ(hex_encode(sig.data(), sig.size()), kSignatureHex);
}

TEST(SigningKeypair, Rfc8032VectorFromSeed) {
  SigningKeypair keypair = SigningKeypair::from_seed(seed_array());
  expect_rfc_key(keypair);
  EXPECT_EQ(hex_encode(keypair.public_key().data(), 32), kPublicHex);
  EXPECT_EQ(keypair.seed(), seed_array());
}

TEST(SigningKeypair, CopyIsIndependentAndMoveLeavesNoSeed) {
  SigningKeypair original = SigningKeypair::from_seed(seed_array());
  SigningKeypair copy = original.copy();
  SigningKeypair moved = std::move(original);
  expect_rfc_key(copy);
  expect_rfc_key(moved);
  EXPECT_EQ(original.seed(), (std::array<unsigned char, 32>{}));  // NOLINT(bugprone-use-after-move)
}

TEST(SigningKeypair, GenerateGivesFreshKeys) {
  SigningKeypair a = SigningKeypair::generate();
  SigningKeypair b = SigningKeypair::generate();
  EXPECT_NE(a.pubkey_hex(), b.pubkey_hex());
  EXPECT_NE(a.seed(), b.seed());
  EXPECT_EQ(a.pubkey_hex(), SigningKeypair::from_seed(a.seed()).pubkey_hex());
}

TEST(SigningKeypair, ConcurrentSignaturesAgree) {
  SigningKeypair keypair = SigningKeypair::from_seed(seed_array());
  std::vector<std::thread> threads;
  std::vector<int> wrong(6, 0);
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      const unsigned char msg[] = {0x72};
      for (int i = 0; i < 100; ++i) {
        auto sig = keypair.sign(msg, 1);
        wrong[t] += hex_encode(sig.data(), sig.size()) != kSignatureHex;
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int w : wrong) EXPECT_EQ(w, 0);
}

TEST(RandomDevice, FallbackReadsTheDevice) {
  unsigned char a[32] = {}, b[32] = {};
  detail::read_random_device("/dev/random", "/dev/urandom", a, sizeof a);
  detail::read_random_device("/dev/random", "/dev/urandom", b, sizeof b);
  EXPECT_NE(std::string(a, a + 32), std::string(b, b + 32));
  EXPECT_NE(std::string(a, a + 32), std::string(32, '\0'));
}

class RandomFault : public TempDir {};

TEST_F(RandomFault, FailuresAreInternalFaultsWithTheOsText) {
  unsigned char out[32];
  auto fault_text = [&](const std::string& poll, const std::string& read) {
    try {
      detail::read_random_device(poll.c_str(), read.c_str(), out, sizeof out);
    } catch (const InternalFault& e) {
      return std::string(e.what());
    }
    return std::string("no fault");
  };
  const std::string missing = "Error: No such file or directory (os error 2)";
  EXPECT_EQ(fault_text(path("none"), "/dev/urandom"), missing);
  EXPECT_EQ(fault_text("/dev/random", path("none")), missing);
  write_file(path("short"), "12345");
  EXPECT_EQ(fault_text("/dev/random", path("short")), "Error: failed to fill whole buffer");
}

class KeyFile : public TempDir {};

TEST_F(KeyFile, SaveThenLoadRoundTrips) {
  SigningKeypair keypair = SigningKeypair::generate();
  ASSERT_TRUE(keypair.save(path("key")).has_value());
  std::string raw = read_file(path("key"));
  EXPECT_EQ(raw.size(), 32u);
  EXPECT_EQ(raw, std::string(keypair.seed().begin(), keypair.seed().end()));
  EXPECT_EQ(mode_of(path("key")), 0600u);
  auto loaded = SigningKeypair::load(path("key"));
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->pubkey_hex(), keypair.pubkey_hex());
}

TEST_F(KeyFile, Rfc8032SeedFileGivesTheVectorKey) {
  write_file(path("rfc"), seed_bytes());
  auto loaded = SigningKeypair::load(path("rfc"));
  ASSERT_TRUE(loaded.has_value());
  expect_rfc_key(*loaded);
}

TEST_F(KeyFile, SaveNarrowsAWiderExistingFile) {
  Umask mask(0);
  write_file(path("key"), "old contents that are longer than thirty-two bytes");
  ASSERT_EQ(::chmod(path("key").c_str(), 0644), 0);
  SigningKeypair keypair = SigningKeypair::from_seed(seed_array());
  ASSERT_TRUE(keypair.save(path("key")).has_value());
  EXPECT_EQ(mode_of(path("key")), 0600u);
  EXPECT_EQ(read_file(path("key")), seed_bytes());
}

TEST_F(KeyFile, NewFileIs0600WhateverTheUmask) {
  Umask mask(0);
  ASSERT_TRUE(SigningKeypair::generate().save(path("key")).has_value());
  EXPECT_EQ(mode_of(path("key")), 0600u);
}

TEST_F(KeyFile, SaveCreatesParentsWithTheUmask) {
  Umask mask(027);
  ASSERT_TRUE(SigningKeypair::generate().save(path("x/y/z/key")).has_value());
  EXPECT_EQ(read_file(path("x/y/z/key")).size(), 32u);
  EXPECT_EQ(mode_of(path("x")), 0750u);
  EXPECT_EQ(mode_of(path("x/y/z")), 0750u);
}

TEST_F(KeyFile, BareFileNameGoesToTheWorkingDirectory) {
  auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  auto saved = SigningKeypair::from_seed(seed_array()).save("bare.key");
  auto loaded = SigningKeypair::load("bare.key");
  std::filesystem::current_path(old);
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(read_file(path("bare.key")), seed_bytes());
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->pubkey_hex(), kPublicHex);
}

TEST_F(KeyFile, LinksAreFollowed) {
  ASSERT_TRUE(SigningKeypair::from_seed(seed_array()).save(path("real")).has_value());
  ASSERT_EQ(::symlink(path("real").c_str(), path("link").c_str()), 0);
  EXPECT_EQ(SigningKeypair::load(path("link")).value().pubkey_hex(), kPublicHex);
  EXPECT_EQ(SigningKeypair::load_or_create(path("link")).value().pubkey_hex(), kPublicHex);
}

class WrongLength : public KeyFile, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(WrongLength, IsRefusedWithTheLengthFound) {
  std::size_t n = GetParam();
  write_file(path("key"), std::string(n, 'a'));
  for (bool create : {false, true}) {
    auto result = create ? SigningKeypair::load_or_create(path("key"))
                         : SigningKeypair::load(path("key"));
    ASSERT_FALSE(result.has_value());
    auto* length = std::get_if<KeyError::InvalidKeyLength>(&result.error().kind);
    ASSERT_NE(length, nullptr);
    EXPECT_EQ(length->expected, 32u);
    EXPECT_EQ(length->actual, n);
    EXPECT_EQ(display(result.error()),
              "invalid key length: expected 32, got " + std::to_string(n));
  }
  // load_or_create never replaces an existing file.
  EXPECT_EQ(read_file(path("key")), std::string(n, 'a'));
}

// 64 and 65: the key written as hex text, without and with a newline.
INSTANTIATE_TEST_SUITE_P(Lengths, WrongLength, ::testing::Values(0, 5, 31, 33, 64, 65, 100000));

TEST_F(KeyFile, IoFailuresCarryTheOsText) {
  ASSERT_EQ(::mkdir(path("dir").c_str(), 0700), 0);
  write_file(path("file"), "x");
  auto load_error = [](const std::string& p) {
    auto r = SigningKeypair::load(p);
    return r ? std::string("loaded") : display(r.error());
  };
  EXPECT_EQ(load_error(path("missing")), "io: No such file or directory (os error 2)");
  EXPECT_EQ(load_error(path("dir")), "io: not a regular file (a directory)");
  EXPECT_EQ(load_error(path("k") + std::string("\0", 1)),
            "io: file name contained an unexpected NUL byte");

  SigningKeypair keypair = SigningKeypair::generate();
  // The parent exists but is not a directory.
  auto under_file = keypair.save(path("file/key"));
  ASSERT_FALSE(under_file.has_value());
  EXPECT_EQ(display(under_file.error()), "io: File exists (os error 17)");
  auto onto_dir = keypair.save(path("dir"));
  ASSERT_FALSE(onto_dir.has_value());
  EXPECT_EQ(display(onto_dir.error()), "io: Is a directory (os error 21)");
  auto nul = keypair.save(path("k") + std::string("\0", 1));
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(display(nul.error()), "io: file name contained an unexpected NUL byte");
  // Links that lead round in a circle name no file to replace.
  ASSERT_EQ(::symlink("loop-b", path("loop-a").c_str()), 0);
  ASSERT_EQ(::symlink("loop-a", path("loop-b").c_str()), 0);
  auto circle = keypair.save(path("loop-a"));
  ASSERT_FALSE(circle.has_value());
  EXPECT_EQ(display(circle.error()), "io: Too many levels of symbolic links (os error 40)");
}

TEST_F(KeyFile, LoadOrCreateCreatesOnceThenLoads) {
  std::string key = path("deep/er/key");
  auto first = SigningKeypair::load_or_create(key);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(mode_of(key), 0600u);
  // A rewrite would set the mode back to 0600.
  ASSERT_EQ(::chmod(key.c_str(), 0640), 0);
  std::string before = read_file(key);
  auto second = SigningKeypair::load_or_create(key);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->pubkey_hex(), first->pubkey_hex());
  EXPECT_EQ(mode_of(key), 0640u);
  EXPECT_EQ(read_file(key), before);
}

// Threads racing on one absent path all end with the one key on disk; the
// private temporary files are gone and the key is 0600 whatever the umask.
TEST_F(KeyFile, LoadOrCreateRacersAllGetTheKeyOnDisk) {
  testing::Umask open_umask(0);
  std::string key = path("race/key");
  std::vector<std::string> got(6);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < got.size(); ++i) {
    threads.emplace_back([&, i] {
      auto r = SigningKeypair::load_or_create(key);
      got[i] = r ? r->pubkey_hex() : display(r.error());
    });
  }
  for (auto& t : threads) t.join();
  std::string on_disk = SigningKeypair::load(key).value().pubkey_hex();
  for (const std::string& g : got) EXPECT_EQ(g, on_disk);
  EXPECT_EQ(mode_of(key), 0600u);
  auto entries = std::distance(std::filesystem::directory_iterator(path("race")), {});
  EXPECT_EQ(entries, 1);
}

// A dangling link is never written through: the path exists, so the key
// that is (not) there is loaded.
TEST_F(KeyFile, LoadOrCreateDoesNotWriteThroughADanglingLink) {
  ASSERT_EQ(::symlink(path("nowhere").c_str(), path("link").c_str()), 0);
  auto result = SigningKeypair::load_or_create(path("link"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(display(result.error()), "io: No such file or directory (os error 2)");
  EXPECT_FALSE(exists(path("nowhere")));
}

TEST_F(KeyFile, LoadOrCreateOnADirectoryCreatesNothing) {
  ASSERT_EQ(::mkdir(path("dir").c_str(), 0700), 0);
  auto result = SigningKeypair::load_or_create(path("dir"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(display(result.error()), "io: not a regular file (a directory)");
  EXPECT_TRUE(std::filesystem::is_empty(path("dir")));
}

TEST_F(KeyFile, LoadOrCreateFailsBeforeGeneratingWhenParentsCannotBeMade) {
  write_file(path("file"), "x");
  auto result = SigningKeypair::load_or_create(path("file/sub/key"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(display(result.error()), "io: Not a directory (os error 20)");
  auto nul = SigningKeypair::load_or_create(std::string("k\0", 2));
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(display(nul.error()), "io: file name contained an unexpected NUL byte");
}

// The names in a directory, sorted.
std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A link at the key's path stays a link: save replaces the file that load
// would read through it, wherever the link points.
struct LinkCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> links;  // link -> target, made in order
  const char* real;  // the file that ends up holding the key
};

TEST_F(KeyFile, SaveThroughALinkReplacesItsTarget) {
  const LinkCase cases[] = {
      {"relative", {{"key", "real.key"}}, "real.key"},
      {"into a subdirectory", {{"key", "sub/real.key"}}, "sub/real.key"},
      {"relative to the link's directory", {{"sub/key", "../real.key"}}, "real.key"},
      {"absolute", {{"key", "@/real.key"}}, "real.key"},
      {"a chain", {{"key", "mid"}, {"mid", "sub/real.key"}}, "sub/real.key"},
      {"dangling", {{"key", "new/real.key"}}, "new/real.key"},
  };
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string root = path(c.name);
    ASSERT_TRUE(create_dir_all(root + "/sub"));
    std::string real = root + "/" + c.real;
    if (std::string(c.name) != "dangling") write_file(real, "old");
    for (const auto& [link, target] : c.links) {
      std::string to = target.starts_with("@") ? root + target.substr(1) : target;
      ASSERT_EQ(::symlink(to.c_str(), (root + "/" + link).c_str()), 0);
    }
    std::string key = root + "/" + c.links.front().first;
    ASSERT_TRUE(SigningKeypair::from_seed(seed_array()).save(key));
    EXPECT_EQ(read_file(real), seed_bytes());
    EXPECT_EQ(mode_of(real), 0600u);
    for (const auto& [link, target] : c.links) {
      struct stat st;
      ASSERT_EQ(::lstat((root + "/" + link).c_str(), &st), 0);
      EXPECT_TRUE(S_ISLNK(st.st_mode)) << link;
    }
    EXPECT_EQ(SigningKeypair::load(key).value().pubkey_hex(), kPublicHex);
  }
}

// A save that fails, while writing the new key or while putting it in
// place, leaves the old key whole and nothing else in the directory.
TEST_F(KeyFile, AFailedSaveKeepsTheOldKey) {
  SigningKeypair old_key = SigningKeypair::generate();
  ASSERT_TRUE(old_key.save(path("key")));
  std::string before = read_file(path("key"));
  for (rlim_t limit : {rlim_t{0}, rlim_t{16}, rlim_t{31}}) {
    std::expected<void, KeyError> saved;
    {
      testing::FileSizeLimit stop_at(limit);
      saved = SigningKeypair::from_seed(seed_array()).save(path("key"));
    }
    ASSERT_FALSE(saved) << limit;
    EXPECT_EQ(display(saved.error()), "io: File too large (os error 27)") << limit;
    EXPECT_EQ(read_file(path("key")), before) << limit;
    EXPECT_EQ(names_in(dir_), std::vector<std::string>{"key"}) << limit;
  }
  // The rename itself fails: a directory is in the way.
  ASSERT_EQ(::mkdir(path("sub").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(path("sub/key").c_str(), 0700), 0);
  auto onto_dir = old_key.save(path("sub/key"));
  ASSERT_FALSE(onto_dir);
  EXPECT_EQ(display(onto_dir.error()), "io: Is a directory (os error 21)");
  EXPECT_EQ(names_in(path("sub")), std::vector<std::string>{"key"});
}

// load reports the file's permission bits and owner; `exposed` judges them.
TEST_F(KeyFile, LoadReportsWhoMayReachTheFile) {
  const std::pair<mode_t, bool> modes[] = {{0600, false}, {0400, false}, {0640, true},
                                           {0604, true},  {0620, true},  {0602, true},
                                           {0700, false}, {0644, true}};
  write_file(path("key"), seed_bytes());
  for (const auto& [mode, open_to_others] : modes) {
    ASSERT_EQ(::chmod(path("key").c_str(), mode), 0);
    KeyFileAccess access;
    ASSERT_TRUE(SigningKeypair::load(path("key"), &access));
    EXPECT_EQ(access.mode, mode);
    EXPECT_EQ(access.owner, ::geteuid());
    EXPECT_EQ(exposed(access, ::geteuid()), open_to_others) << std::oct << mode;
    EXPECT_TRUE(exposed(access, ::geteuid() + 1)) << "another user owns it";
    KeyFileAccess via_create;
    ASSERT_TRUE(SigningKeypair::load_or_create(path("key"), &via_create));
    EXPECT_EQ(via_create.mode, mode);
  }
  KeyFileAccess created;
  ASSERT_TRUE(SigningKeypair::load_or_create(path("fresh/key"), &created));
  EXPECT_EQ(created.mode, 0600u);
  EXPECT_FALSE(exposed(created, ::geteuid()));
}

}  // namespace
}  // namespace tallyvox

namespace tallyvox {
namespace {

// A key file is 32 bytes; a device that never ends is not even opened, and
// a large regular file still reports its true length.
TEST(KeysUnbounded, EndlessStreamIsRefusedBeforeItIsRead) {
  auto zero = SigningKeypair::load("/dev/zero");
  ASSERT_FALSE(zero);
  EXPECT_EQ(display(zero.error()), "io: not a regular file (a device)");
}

class KeysLarge : public testing::TempDir {};

TEST_F(KeysLarge, LargeFileReportsItsLength) {
  std::string p = path("big.key");
  write_file(p, std::string((std::size_t{1} << 20) + 5, 'k'));
  auto big = SigningKeypair::load(p);
  ASSERT_FALSE(big);
  EXPECT_EQ(display(big.error()), "invalid key length: expected 32, got 1048581");
}

}  // namespace
}  // namespace tallyvox
