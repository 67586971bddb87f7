// Sign and verify speed of each Ed25519 back end compiled in, in one process
// and on the same inputs: what the ledger signs, a 32-byte digest. Beside
// libsodium both back ends are timed (OpenSSL's is always compiled, for the
// inputs libsodium refuses); the OpenSSL-only build times OpenSSL alone.
// Rounds of the back ends alternate, so that a busy machine slows them alike;
// the median round is printed. `ed25519_bench [ROUNDS [CALLS]]`.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/crypto/ed25519.h"

namespace {

namespace e = tallyvox::ed25519;
using Digest = std::array<unsigned char, 32>;

struct Contender {
  std::string name;
  std::function<bool()> sign;    // one signature; false if it came out wrong
  std::function<bool()> verify;  // one verification; false if it refused
  std::vector<double> sign_us, verify_us;
};

template <typename K, typename V>
Contender contender(std::string name, const e::Seed& seed, const Digest& msg) {
  auto key = std::make_shared<K>(seed);
  auto sig = key->sign(msg.data(), msg.size());
  auto pub = key->public_key();
  auto verifier = std::make_shared<V>(pub.data());
  return {std::move(name),
          [=] { return key->sign(msg.data(), msg.size()) == sig; },
          [=] { return verifier->verify(sig.data(), msg.data(), msg.size()); },
          {},
          {}};
}

double time_us(const std::function<bool()>& call, int calls) {
  auto start = std::chrono::steady_clock::now();
  bool ok = true;
  for (int i = 0; i < calls; ++i) ok &= call();
  std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
  if (!ok) {
    std::fprintf(stderr, "ed25519_bench: a back end gave a wrong result\n");
    std::exit(1);
  }
  return spent.count() / calls;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
  int calls = argc > 2 ? std::atoi(argv[2]) : 400;
  if (rounds < 1 || calls < 1) {
    std::fprintf(stderr, "usage: ed25519_bench [ROUNDS [CALLS]]\n");
    return 2;
  }
  e::Seed seed{};
  Digest digest{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<unsigned char>(7 * i + 1);
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<unsigned char>(3 * i);

  std::vector<Contender> all;
#if TALLYVOX_HAVE_LIBSODIUM
  all.push_back(contender<e::sodium::Key, e::sodium::Verifier>(
      "libsodium " + e::library().version, seed, digest));
#endif
  all.push_back(contender<e::openssl::Key, e::openssl::Verifier>(
      "OpenSSL " + tallyvox::openssl_library().version, seed, digest));

  for (int r = 0; r < rounds; ++r) {
    for (Contender& c : all) {
      c.sign_us.push_back(time_us(c.sign, calls));
      c.verify_us.push_back(time_us(c.verify, calls));
    }
  }
  std::printf("== Ed25519 over a 32-byte digest (median of %d rounds x %d calls; built: %s)\n",
              rounds, calls, e::library().name.c_str());
  const double sign0 = median(all[0].sign_us), verify0 = median(all[0].verify_us);
  for (const Contender& c : all) {
    double s = median(c.sign_us), v = median(c.verify_us);
    std::printf("   %-18s sign %8.1f us %9.0f/s  verify %8.1f us %9.0f/s", c.name.c_str(), s,
                1e6 / s, v, 1e6 / v);
    if (&c != &all[0]) {
      std::printf("  (%.2fx and %.2fx the time of %s)", s / sign0, v / verify0,
                  all[0].name.c_str());
    }
    std::printf("\n");
  }
  return 0;
}
